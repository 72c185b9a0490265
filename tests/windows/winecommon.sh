# Shared by the checks that run Windows programs under Wine: a network
# namespace of their own, a private Wine prefix, and a wineserver started
# inside the namespace (it owns every socket the programs open) and stopped
# at the end; starting the programs and reading their logs. Sourced, not run.

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
    # No Mono or Gecko installer prompts when the prefix is created, and no
    # menu entries on the Linux desktop for shortcuts made in the prefix.
    export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
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
stop_windows_programs() {
    wine_stop
    wineserver -p
}

# mqtt_library_beside FOLDER: a telvane-hub.exe there that imports
# libmosquitto.dll has the DLL and its licence beside it.
mqtt_library_beside() {
    grep -q -a -F libmosquitto.dll "$1/telvane-hub.exe" 2>/dev/null || return 0
    [ -f "$1/libmosquitto.dll" ] && [ -f "$1/mosquitto-copyright.txt" ]
}

publishing() { [ -s "$1" ] && log_lines "$1" | grep -q '^telvane-publish: publishing'; }
# The last start-up line; the namespace has no address but the loopback to show.
started() { [ -s "$1" ] && log_lines "$1" | grep -q -x -e '[0-9]* Readings found!'; }

# wine_demo_and_telvane LOGS: starts telvane-publish.exe --demo and then
# telvane.exe from the current folder (on the X server x11capture.sh
# started), and checks Telvane's start-up lines against the publisher's
# counts, which it leaves in readings and sensors. Failures go to fail.
wine_demo_and_telvane() {
    local logs="$1" line
    windows telvane-publish.exe "$logs/publish.log" --demo
    x11_wait_until 60 publishing "$logs/publish.log" || fail "telvane-publish.exe --demo did not publish:"$'\n'"$(log_lines "$logs/publish.log")"
    readings="$(log_lines "$logs/publish.log" | sed -n -E 's/^telvane-publish: publishing ([0-9]+) readings.*/\1/p' | head -n 1)"
    sensors="$(log_lines "$logs/publish.log" | sed -n -E 's/^telvane-publish: publishing [0-9]+ readings of ([0-9]+) sensors.*/\1/p' | head -n 1)"
    echo "the publisher publishes ${readings:-no} readings of ${sensors:-no} sensors"

    windows telvane.exe "$logs/telvane.log"
    if ! x11_wait_until 90 started "$logs/telvane.log"; then
        fail "telvane.exe did not log its start-up lines:"$'\n'"$(log_lines "$logs/telvane.log")"
    fi
    log_lines "$logs/telvane.log" | head -n 6
    for line in "initialisation..." "checking HWiNFO's Shared Memory..." "HWiNFO running..." "Checking Sensors..." \
                "$sensors Sensors found!" "Checking Readings..." "$readings Readings found!"; do
        has_line "$logs/telvane.log" "$line" || fail "telvane.exe did not log \"$line\""
    done
}
