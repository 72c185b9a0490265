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
