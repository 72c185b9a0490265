#!/usr/bin/env bash
# telvane-hub.exe from the Windows download under Wine, in a network namespace
# and Wine prefix of its own: telvane-publish.exe --demo, telvane.exe, then
# telvane-hub.exe 127.0.0.1 in the same Wine, and the Linux curl fetching
# /metrics (every reading, telvane_up 1), /api/readings and the page. Then
# telvane.exe stops: telvane_up must fall to 0 within 6 s.
# Usage: hub-under-wine.sh ZIP WORK_DIR
# Exits 77 (the test's skip code) when the zip, its hub or a tool is missing.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../scriptlib.sh"
keep_going=1
need_args "ZIP WORK_DIR" "$@"
zip="$(realpath -m "$1")"
work="$(realpath -m "$2")"

source "$here/winecommon.sh"
source "$here/../../scripts/x11capture.sh"
wine_zip_usable "$zip" unzip curl python3
wine_enter_namespace "$0" "$@" || exit $?
wine_unpack_zip "$zip" "$work"
if [ ! -f "$folder/telvane-hub.exe" ]; then
    echo "FAIL: the zip lacks telvane-hub.exe"
    exit 1
fi
x11_start_server || exit 1
wine_start "$work/prefix" || exit 1
cd "$folder" || exit 1

windows telvane-publish.exe "$logs/publish.log" --demo
publishing() { [ -s "$1" ] && log_lines "$1" | grep -q '^telvane-publish: publishing'; }
x11_wait_until 60 publishing "$logs/publish.log" || fail "telvane-publish.exe --demo did not publish"
readings="$(log_lines "$logs/publish.log" | sed -n -E 's/^telvane-publish: publishing ([0-9]+) readings.*/\1/p' | head -n 1)"
windows telvane.exe "$logs/telvane.log"
started() { [ -s "$1" ] && log_lines "$1" | grep -q -x -e '[0-9]* Readings found!'; }
x11_wait_until 90 started "$logs/telvane.log" || fail "telvane.exe did not start:"$'\n'"$(log_lines "$logs/telvane.log")"
windows telvane-hub.exe "$logs/hub.log" 127.0.0.1

hub="http://127.0.0.1:9881"
up_is() { curl -s --max-time 2 "$hub/metrics" | grep -q -x "telvane_up{instance=\"127.0.0.1:8881\"} $1"; }
every_reading() {
    curl -s --max-time 2 "$hub/metrics" >"$logs/metrics.txt" || return 1
    grep -q -x 'telvane_up{instance="127.0.0.1:8881"} 1' "$logs/metrics.txt" &&
        [ "$(grep -c '^telvane_reading{' "$logs/metrics.txt")" = "$readings" ]
}
if x11_wait_until 60 every_reading; then
    echo "ok: /metrics has all $readings readings and telvane_up 1"
else
    fail "/metrics lacks readings (the publisher has ${readings:-none}):"$'\n'"$(grep -v '^#' "$logs/metrics.txt")"$'\n'"$(log_lines "$logs/hub.log")"
fi
curl -s --max-time 5 "$hub/api/readings" | python3 -c '
import json, sys
computers = json.load(sys.stdin)["computers"]
sys.exit(0 if len(computers) == 1 and len(computers[0]["readings"]) == int(sys.argv[1]) else 1)' "${readings:-0}" ||
    fail "/api/readings does not carry the readings"
curl -s --max-time 5 "$hub/" | grep -q '<title>Telvane hub</title>' || fail "the page is not served"

wine taskkill /f /im telvane.exe >/dev/null 2>&1 || fail "could not stop telvane.exe"
stopped=$(date +%s%N)
if x11_wait_until 20 up_is 0; then
    took=$(( ($(date +%s%N) - stopped) / 1000000 ))
    echo "ok: telvane_up fell to 0 after $took ms"
    [ "$took" -le 6000 ] || fail "telvane_up fell to 0 only after $took ms"
else
    fail "telvane_up did not fall to 0"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; logs in $logs"
    exit 1
fi
echo "PASS: telvane-hub.exe under Wine serves /metrics, /api/readings and the page, and notices Telvane stopping"
