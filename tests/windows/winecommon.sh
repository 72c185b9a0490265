# Shared by the checks that run Windows programs under Wine: a network
# namespace of their own, a private Wine prefix, and a wineserver started
# inside the namespace (it owns every socket the programs open) and stopped
# at the end. Sourced, not run.

# wine_enter_namespace SCRIPT ARGUMENTS...: runs SCRIPT again inside a new
# network namespace whose loopback is up; returns 77 if none can be made.
# In the namespace (TELVANE_WINE_NAMESPACE set) it returns at once.
wine_enter_namespace() {
    [ -n "${TELVANE_WINE_NAMESPACE:-}" ] && return 0
    local as_root=()
    [ "$(id -u)" -ne 0 ] && as_root=(-r)
    if ! unshare -n "${as_root[@]}" true 2>/dev/null; then
        echo "SKIP: cannot make a network namespace here (unshare -n)"
        return 77
    fi
    export TELVANE_WINE_NAMESPACE=1
    exec unshare -n "${as_root[@]}" -- bash -c 'ip link set lo up && exec "$0" "$@"' "$@"
}

# wine_missing_tools: the tools missing for a Wine check, with their packages.
wine_missing_tools() {
    local tool missing=()
    for tool in wine:wine wineserver:wine wineboot:wine unshare:util-linux ip:iproute2; do
        command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool%%:*} (${tool##*:})")
    done
    echo "${missing[*]}"
}

# wine_start PREFIX: uses (and on the first run creates) the Wine prefix
# PREFIX, and starts its wineserver here.
wine_start() {
    mkdir -p "$1"
    WINEPREFIX="$(cd "$1" && pwd)" # Wine wants it absolute
    export WINEPREFIX
    export WINEDEBUG=-all
    export WINEARCH=win64
    # No Mono or Gecko installer prompts when the prefix is created.
    export WINEDLLOVERRIDES="mscoree=;mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the Wine prefix $WINEPREFIX"
        if ! timeout 300 wineboot --init >"$WINEPREFIX.log" 2>&1; then
            echo "FAIL: could not create the Wine prefix:"
            cat "$WINEPREFIX.log"
            return 1
        fi
        # The server that made the prefix lingers; ours must be started here.
        wine_stop
    fi
    if ! wineserver -p; then
        echo "FAIL: could not start the wineserver of $WINEPREFIX"
        return 1
    fi
}

# Ends every Windows program of the prefix, and the server with them.
wine_stop() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
}

# A Unix folder as an entry of WINEPATH (Wine's drive Z: is the Unix root).
wine_path_of() {
    local path="$1"
    echo "Z:${path//\//\\}"
}

# windows PROGRAM LOG [ARGUMENTS...]: starts a Windows program in the
# background with Qt's debug output on stderr; its stdout and stderr go to LOG.
# Wine drops QT_ variables from the Unix side, so cmd sets it.
windows() {
    local program="$1" log="$2"
    shift 2
    wine cmd /c "set QT_FORCE_STDERR_LOGGING=1&& $program $*" >"$log" 2>&1 &
}

# Lines of a log as the program wrote them, without carriage returns.
log_lines() { tr -d '\r' <"$1"; }
has_line() { [ -s "$1" ] && log_lines "$1" | grep -q -x -F -e "$2"; }

# wine_zip_usable ZIP TOOL...: exits 77 (skipped) unless the zip is built and
# Wine, an X server (scripts/x11capture.sh, sourced) and the TOOLs are installed.
wine_zip_usable() {
    local zip="$1" tool missing
    shift
    if [ ! -f "$zip" ]; then
        echo "SKIP: $zip was not built: the Windows build needs the cached Qt for MinGW (scripts/windows-qt.sh), then a new cmake run"
        exit 77
    fi
    missing="$(wine_missing_tools) $(x11_missing_tools)"
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || missing+=" $tool"
    done
    if [ -n "${missing// /}" ]; then
        echo "SKIP: not installed: $missing"
        exit 77
    fi
}

# wine_unpack_zip ZIP WORK_DIR: unpacks the zip below WORK_DIR into $folder,
# with an empty $logs beside it; Wine and X stop when the script ends.
wine_unpack_zip() {
    logs="$2/logs"
    rm -rf "$logs" "$2/unpacked"
    mkdir -p "$logs" "$2/unpacked"
    trap 'wine_stop; x11_cleanup' EXIT
    unzip -q "$1" -d "$2/unpacked" || { echo "FAIL: cannot unpack $1"; exit 1; }
    folder="$(find "$2/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
}
