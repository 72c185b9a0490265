#!/usr/bin/env bash
# telvane-hub.exe of the Windows zip publishing over MQTT under Wine, against
# Debian's mosquitto broker and a Linux Telvane with the demo publisher (its
# own /dev/shm), all in a network namespace of their own with the wineserver.
# A subscriber on the broker checks:
#  - with --mqtt on an anonymous listener: the hub's online status, the
#    computer's, one discovery config per reading whose state topic gets a
#    state, and the hub's Last Will offline once the hub is killed;
#  - with a config file on a listener that wants a user and password: the same.
# Usage: hub-mqtt-under-wine.sh ZIP TELVANE PUBLISH WORK_DIR
# Exits 77 (the test's skip code) without root, the zip or a tool.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../scriptlib.sh"
keep_going=1
need_args "ZIP TELVANE PUBLISH WORK_DIR" "$@"
zip="$(realpath -m "$1")" telvane="$(realpath -m "$2")" publish="$(realpath -m "$3")" work="$(realpath -m "$4")"

if [ ! -f "$zip" ]; then
    echo "SKIP: $zip was not built: the Windows build needs the cached Qt and libraries for MinGW, then a new cmake run"
    exit 77
fi
[ "$(id -u)" = 0 ] || { echo "SKIP: a private /dev/shm for the Linux Telvane needs root"; exit 77; }
source "$here/winecommon.sh"
skip_without wine:wine wineserver:wine wineboot:wine unshare:util-linux ip:iproute2 mosquitto:mosquitto mosquitto_passwd:mosquitto mosquitto_sub:mosquitto-clients \
    mosquitto_pub:mosquitto-clients nsenter:util-linux unzip:unzip python3:python3
wine_enter_namespace "$0" "$@" || exit $?

logs="$work/logs"
rm -rf "$logs" "$work/unpacked"
mkdir -p "$logs" "$work/unpacked"
pids=""
stop_all() {
    wine_stop
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}
trap stop_all EXIT

unzip -q "$zip" -d "$work/unpacked" || { echo "FAIL: cannot unpack $zip"; exit 1; }
folder="$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
for file in telvane-hub.exe libmosquitto.dll mosquitto-copyright.txt; do
    [ -f "$folder/$file" ] || fail "the zip lacks $file"
done

# The broker: anonymous on 1883, a user and password on 1884.
user=telvane password='wine secret'
mosquitto_passwd -c -b "$work/passwords" "$user" "$password" || { echo "FAIL: mosquitto_passwd"; exit 1; }
cat >"$work/mosquitto.conf" <<CONF
user root
persistence false
per_listener_settings true
listener 1883 127.0.0.1
allow_anonymous true
listener 1884 127.0.0.1
allow_anonymous false
password_file $work/passwords
CONF
mosquitto -c "$work/mosquitto.conf" >"$logs/mosquitto.log" 2>&1 &
pids="$pids $!"
broker_up() { mosquitto_pub -h 127.0.0.1 -p 1883 -t telvane-test/ready -n 2>/dev/null; }
within 10 broker_up || { echo "FAIL: the broker did not start"; exit 1; }
mosquitto_sub -h 127.0.0.1 -p 1883 -v -t '#' >"$logs/messages.txt" 2>"$logs/subscriber.log" &
pids="$pids $!"

# The Linux Telvane and its demo publisher, sharing a /dev/shm of their own.
unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /dev/shm && touch /dev/shm/ours && exec sleep 100000' &
holder=$!
pids="$pids $holder"
within 10 test -f "/proc/$holder/root/dev/shm/ours" || { echo "FAIL: no private /dev/shm"; exit 1; }
nsenter -t "$holder" -m "$publish" --demo >"$logs/publish.log" 2>&1 &
pids="$pids $!"
within 10 grep -qs '^telvane-publish: publishing' "$logs/publish.log" || { echo "FAIL: the demo publisher did not start"; exit 1; }
readings="$(sed -n -E 's/^telvane-publish: publishing ([0-9]+) readings.*/\1/p' "$logs/publish.log" | head -n 1)"
nsenter -t "$holder" -m env QT_QPA_PLATFORM=offscreen "$telvane" >"$logs/telvane.log" 2>&1 &
pids="$pids $!"

# hub_published FROM_LINE: waits up to 120 s for the subscriber to get, from
# that line on, the hub's and the computer's online status and a config for
# each reading, each with a state on its state topic; says what it got.
hub_published() {
    python3 - "$logs/messages.txt" "$1" "$readings" <<'PY'
import json, sys, time
computer, readings, problems = "127_0_0_1_8881", int(sys.argv[3]), ["nothing read"]
for _ in range(120):
    lines = open(sys.argv[1], encoding="utf-8", errors="replace").read().splitlines()[int(sys.argv[2]):]
    messages = [line.partition(" ")[::2] for line in lines]
    configs = [json.loads(p) for t, p in messages if t.startswith(f"homeassistant/sensor/telvane_{computer}/") and p]
    states = {t for t, p in messages if t.startswith(f"telvane/{computer}/") and t.endswith("/state")}
    problems = [f"no {t} online" for t in ("telvane/hub/status", f"telvane/{computer}/status") if (t, "online") not in messages]
    problems += [f"{len(configs)} configs for {readings} readings"] if len(configs) != readings else []
    problems += [f"no Telvane device or no state for {c}" for c in configs
                 if c.get("device", {}).get("manufacturer") != "Telvane" or c.get("state_topic") not in states][:1]
    if not problems:
        sys.exit(print(f"{len(configs)} configs, states on {len(states)} topics"))
    time.sleep(1)
sys.exit("; ".join(problems))
PY
}
offline_from() { tail -n +"$(($1 + 1))" "$logs/messages.txt" | grep -q -x -F 'telvane/hub/status offline'; }
message_count() { wc -l <"$logs/messages.txt"; }

wine_start "$work/prefix" || exit 1
cd "$folder" || exit 1

# 1. --mqtt, anonymous; then SIGKILL, and the broker's Last Will.
from="$(message_count)"
wine telvane-hub.exe --mqtt mqtt://127.0.0.1:1883 127.0.0.1 >"$logs/hub-mqtt.log" 2>&1 &
hub=$!
hub_published "$from" || fail "with --mqtt; the hub's log:"$'\n'"$(log_lines "$logs/hub-mqtt.log" | tail -n 20)"
from="$(message_count)"
{ kill -KILL "$hub" && wait "$hub"; } 2>/dev/null
within 30 offline_from "$from" || fail "no Last Will offline after the hub was killed"
stop_windows_programs

# 2. A config file with the user and password.
cat >"$work/hub.yaml" <<YML
telvanes: [127.0.0.1]
mqtt:
  broker: mqtt://127.0.0.1:1884
  username: $user
  password: "$password"
YML
from="$(message_count)"
wine telvane-hub.exe --config "$(wine_path_of "$work/hub.yaml")" >"$logs/hub-config.log" 2>&1 &
pids="$pids $!"
hub_published "$from" || fail "from a config file; the hub's log:"$'\n'"$(log_lines "$logs/hub-config.log" | tail -n 20)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; logs in $logs"
    exit 1
fi
echo "PASS: telvane-hub.exe under Wine published its status, configs and states to the Linux broker, with --mqtt and with a password; its Last Will came when killed"
