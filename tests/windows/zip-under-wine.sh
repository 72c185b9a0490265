#!/usr/bin/env bash
# The Windows download, end to end under Wine: unpacks the zip into a private
# Wine prefix on a private X server, inside a network namespace of its own
# (wineserver owns the listening socket, so it is started in there too), and
#  - without a section, telvane.exe logs failure path A, keeps its window, and
#    its About dialog opens;
#  - telvane-publish.exe --demo creates "Global\HWiNFO_SENS_SM2", telvane.exe
#    logs its start-up lines, and the Linux telvane-client gets the whole
#    catalogue over 127.0.0.1:8881 and fresh values on later ticks;
#  - a request split across two writes is answered;
#  - the publisher, killed, starts again while Telvane holds the section, and
#    Telvane's client keeps getting fresh values; a second publisher refuses;
#  - telvane-hub.exe 127.0.0.1 serves every reading in /metrics (telvane_up 1),
#    /api/readings and its page to the Linux curl; when telvane.exe stops,
#    telvane_up falls to 0 within 6 s; Ctrl+C in its console stops it cleanly.
# Usage: zip-under-wine.sh ZIP LINUX_CLIENT WORK_DIR [SCREENSHOT]
# Exits 77 (the test's skip code) when the zip or a tool is missing.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../scriptlib.sh"
keep_going=1
need_args "ZIP LINUX_CLIENT WORK_DIR [SCREENSHOT]" "$@"
# Absolute, since the checks run from the unpacked folder.
zip="$(realpath -m "$1")"
client="$(realpath -m "$2")"
work="$(realpath -m "$3")"
screenshot="${4:+$(realpath -m "$4")}"

if [ ! -f "$zip" ]; then
    echo "SKIP: $zip was not built: the Windows build needs the cached Qt for MinGW (scripts/windows-qt.sh), then a new cmake run"
    exit 77
fi
source "$here/winecommon.sh"
source "$here/../../scripts/x11capture.sh"
missing="$(wine_missing_tools) $(x11_missing_tools)"
for tool in unzip python3 curl; do
    command -v "$tool" >/dev/null 2>&1 || missing+=" $tool"
done
if [ -n "${missing// /}" ]; then
    echo "SKIP: not installed: $missing"
    exit 77
fi
wine_enter_namespace "$0" "$@" || exit $?

mkdir -p "$work"
logs="$work/logs"
rm -rf "$logs" "$work/unpacked"
mkdir -p "$logs" "$work/unpacked"

wine_cleanup() {
    wine_stop
    x11_cleanup
}
trap wine_cleanup EXIT

unzip -q "$zip" -d "$work/unpacked" || { echo "FAIL: cannot unpack $zip"; exit 1; }
folder="$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
for file in telvane.exe telvane-publish.exe telvane-client.exe telvane-hub.exe platforms/qwindows.dll \
            styles/qwindowsvistastyle.dll README.txt LICENSE.txt; do
    [ -f "$folder/$file" ] || fail "the zip lacks $file"
done
mqtt_library_beside "$folder" || fail "the zip lacks libmosquitto.dll or mosquitto-copyright.txt"

x11_start_server || exit 1
# Started here, the server and with it every socket it opens stays inside the namespace.
wine_start "$work/prefix" || exit 1
cd "$folder" || exit 1

visible_windows() { xdotool search --onlyvisible --name '' 2>/dev/null | wc -l; }
more_windows_than() { [ "$(visible_windows)" -gt "$1" ]; }

# 1. No section: failure path A, the window stays, About opens.
windows telvane.exe "$logs/telvane-nosection.log"
if x11_wait_until 90 has_line "$logs/telvane-nosection.log" "Start HWiNFO with Shared Memory option and restart Telvane..."; then
    expected=$'initialisation...\nchecking HWiNFO\'s Shared Memory...\nHWiNFO not running or Shared Memory option is disabled!\nStart HWiNFO with Shared Memory option and restart Telvane...'
    actual="$(log_lines "$logs/telvane-nosection.log" | grep -v -e '^wine' -e '^[0-9a-f]*:fixme' || true)"
    [ "$actual" = "$expected" ] || fail "without a section the log is:"$'\n'"$actual"
else
    fail "telvane.exe did not log failure path A; its output:"$'\n'"$(log_lines "$logs/telvane-nosection.log")"
fi
main_window=""
if x11_wait_until 30 x11_window_found Telvane $$ && [ -n "$x11_window" ]; then
    main_window="$x11_window"
    echo "main window without a section: $(x11_window_size "$main_window")"
    # Help, then its only entry; the menu bar is at the window's top left.
    before="$(visible_windows)"
    xdotool mousemove --window "$main_window" 20 10 click 1
    x11_wait_until 20 more_windows_than "$before" || fail "the Help menu did not open"
    xdotool mousemove --window "$main_window" 40 32 click 1
    if x11_wait_until 20 x11_window_found About $$ && [ -n "$x11_window" ]; then
        echo "About opened: $(x11_window_size "$x11_window")"
    else
        fail "the About dialog did not open"
    fi
    x11_window_found Telvane $$ && [ -n "$x11_window" ] || fail "the main window went away"
else
    fail "no window titled Telvane without a section"
fi
stop_windows_programs

# 2. The demo publisher and Telvane, the Linux client over the loopback.
wine_demo_and_telvane "$logs"

# The whole catalogue, once, as a table: one row per reading under a heading.
catalogue_ok() {
    timeout 30 "$client" 127.0.0.1 >"$logs/client-table.txt" 2>"$logs/client-table.err" || return 1
    rows="$(grep -c . "$logs/client-table.txt")"
    [ -n "$readings" ] && [ "$rows" -gt "$readings" ]
}
if x11_wait_until 60 catalogue_ok; then
    echo "the client got $rows lines for $readings readings"
else
    fail "the client did not get the whole catalogue ($readings readings):"$'\n'"$(head -n 5 "$logs/client-table.txt")"$'\n'"$(cat "$logs/client-table.err")"
fi

# Fresh values on later ticks, split requests: a raw protocol client.
python3 "$here/protocolcheck.py" 127.0.0.1 8881 "${readings:-0}" || fail "the protocol check failed"

if [ -n "$screenshot" ] && x11_window_found Telvane $$ && [ -n "$x11_window" ]; then
    mkdir -p "$(dirname "$screenshot")"
    x11_photograph "$x11_window" "$screenshot" 64 && echo "screenshot $screenshot: $(x11_window_size "$x11_window")" \
        || fail "could not photograph the main window"
fi

# 3. The publisher dies and starts again while Telvane holds the section.
wine taskkill /f /im telvane-publish.exe >/dev/null 2>&1 || fail "could not stop telvane-publish.exe"
windows telvane-publish.exe "$logs/publish-again.log" --demo
if x11_wait_until 60 publishing "$logs/publish-again.log"; then
    log_lines "$logs/publish-again.log" | grep -q '^telvane-publish: taking over ' \
        || fail "the restarted publisher did not take over the section Telvane holds"
    python3 "$here/protocolcheck.py" 127.0.0.1 8881 "${readings:-0}" \
        || fail "after the publisher's restart Telvane's values stay still"
else
    fail "a restarted publisher did not publish:"$'\n'"$(log_lines "$logs/publish-again.log")"
fi
# ... and a second live publisher still refuses.
wine cmd /c "telvane-publish.exe --demo" >"$logs/publish-second.log" 2>&1
status=$?
if [ "$status" -ne 1 ] || ! log_lines "$logs/publish-second.log" | grep -q 'is already published by process '; then
    fail "a second publisher did not refuse (exit $status):"$'\n'"$(log_lines "$logs/publish-second.log")"
fi

# 4. The hub in the same Wine, read from Linux.
# In a console window of its own, where Ctrl+C is pressed at the end; its
# log beside it (wineconsole takes no quoted path there).
hub_log="$folder/hub.log"
start_hub_console() {
    wine wineconsole cmd /c "telvane-hub.exe 127.0.0.1 2> hub.log" >>"$logs/hub-console.log" 2>&1 &
}
hub_answers() { curl -s --max-time 2 -o /dev/null http://127.0.0.1:9881/metrics; }
# Now and then wineconsole starts no program at all (no log, no window): the
# hub's own checks below are what this step is about, so it gets one more try.
start_hub_console
if ! x11_wait_until 30 hub_answers; then
    echo "the hub's console did not start the hub; one more try"
    kill %% 2>/dev/null
    start_hub_console
fi
# Whole answers are read before grep looks: grep -q leaving early would make
# curl fail on the closed pipe, and pipefail the check with it.
hub_up_is() { curl -s --max-time 2 http://127.0.0.1:9881/metrics | grep -x "telvane_up{instance=\"127.0.0.1:8881\"} $1" >/dev/null; }
every_reading() {
    curl -s --max-time 2 http://127.0.0.1:9881/metrics >"$logs/metrics.txt" && hub_up_is 1 &&
        [ "$(grep -c '^telvane_reading{' "$logs/metrics.txt")" = "$readings" ]
}
x11_wait_until 60 every_reading || fail "the hub's /metrics lacks readings:"$'\n'"$(log_lines "$hub_log")"
curl -s --max-time 5 http://127.0.0.1:9881/api/readings | python3 -c '
import json, sys
computers = json.load(sys.stdin)["computers"]
sys.exit(len(computers) != 1 or len(computers[0]["readings"]) != int(sys.argv[1]))' "${readings:-0}" ||
    fail "the hub's /api/readings lacks readings"
curl -s --max-time 5 http://127.0.0.1:9881/ | grep '<title>Telvane hub</title>' >/dev/null || fail "the hub serves no page"
wine taskkill /f /im telvane.exe >/dev/null 2>&1 || fail "could not stop telvane.exe"
stopped=$(date +%s%N)
x11_wait_until 20 hub_up_is 0 || fail "telvane_up did not fall to 0"
took=$((($(date +%s%N) - stopped) / 1000000))
echo "the hub served all ${readings:-no} readings; telvane_up fell to 0 ${took} ms after telvane.exe stopped"
[ "$took" -le 6000 ] || fail "telvane_up fell to 0 only after $took ms"
# Ctrl+C in that console: the console control handler stops the hub cleanly.
# The search is retried: xdotool gives up on the whole search when a window
# goes away while it reads the names (telvane.exe's just did), and Wine may
# title the console after the program it runs rather than cmd.exe.
console=
find_console() {
    console="$( (xdotool search --onlyvisible --name 'cmd\.exe$|telvane-hub' ||
                 xdotool search --onlyvisible --class 'conhost|wineconsole') 2>/dev/null | head -n 1)"
    [ -n "$console" ]
}
if x11_wait_until 10 find_console; then
    xdotool mousemove --window "$console" 50 50 click 1 sleep 1 windowfocus --sync "$console" key ctrl+c
    x11_wait_until 20 has_line "$hub_log" "telvane-hub: stopped" ||
        fail "Ctrl+C in its console did not stop the hub:"$'\n'"$(log_lines "$hub_log")"
else
    fail "the hub's console window is missing; the visible windows:"$'\n'"$(
        for window in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
            echo "$window $(xdotool getwindowname "$window" 2>/dev/null)"
        done)"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; logs in $logs"
    exit 1
fi
echo "PASS: the zip under Wine: failure path A with About, catalogue and fresh values for the Linux client, split request, publisher restart, the hub and its Ctrl+C"
