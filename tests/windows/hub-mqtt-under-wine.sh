#!/usr/bin/env bash
# The zip's telvane-hub.exe under Wine publishing to Debian's mosquitto broker,
# fed by a Linux Telvane and demo publisher (own /dev/shm), all in a network
# namespace of their own with the wineserver. A subscriber checks the statuses,
# states and configs with --mqtt, the Last Will after SIGKILL, and a login over
# TLS with a password from a config file.
# Usage: hub-mqtt-under-wine.sh ZIP TELVANE PUBLISH WORK_DIR (skips, 77, without root, the zip or a tool)
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
    mosquitto_pub:mosquitto-clients nsenter:util-linux unzip:unzip python3:python3 openssl:openssl
wine_enter_namespace "$0" "$@" || exit $?

logs="$work/logs"
rm -rf "$logs" "$work/unpacked"
mkdir -p "$logs" "$work/unpacked"
pids=""
trap 'wine_stop; kill $pids 2>/dev/null; wait' EXIT

unzip -q "$zip" -d "$work/unpacked" || { echo "FAIL: cannot unpack $zip"; exit 1; }
folder="$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
[ -f "$folder/libmosquitto.dll" ] && mqtt_library_beside "$folder" || fail "the zip lacks libmosquitto.dll or its licence"

# The broker: anonymous on 1883; TLS, a user and a password on 8883.
user=telvane password='wine secret'
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$work/broker.key" -out "$work/broker.crt" >"$logs/openssl.log" 2>&1 || { echo "FAIL: no certificate"; exit 1; }
mosquitto_passwd -c -b "$work/passwords" "$user" "$password" || { echo "FAIL: mosquitto_passwd"; exit 1; }
cat >"$work/mosquitto.conf" <<CONF
user root
persistence false
per_listener_settings true
listener 1883 127.0.0.1
allow_anonymous true
listener 8883 127.0.0.1
allow_anonymous false
password_file $work/passwords
certfile $work/broker.crt
keyfile $work/broker.key
CONF
mosquitto -c "$work/mosquitto.conf" >"$logs/mosquitto.log" 2>&1 &
pids="$pids $!"
broker_up() { mosquitto_pub -h 127.0.0.1 -p 1883 -t telvane-test/ready -n 2>/dev/null; }
within 10 broker_up || { echo "FAIL: the broker did not start"; exit 1; }
log="$logs/messages.txt"
mosquitto_sub -h 127.0.0.1 -p 1883 -F '@s.@N %t %p' -t '#' >"$log" 2>"$logs/subscriber.log" &
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

# got FROM_LINE TOPIC PAYLOAD: the subscriber got that message after that line.
got() { awk -v from="$1" -v t="$2" -v p="$3" 'NR > from && $2 == t && $3 == p { f = 1 } END { exit !f }' "$log"; }
computer=127_0_0_1_8881
state_topics() { awk -v s="telvane/$computer/" 'index($2, s) == 1 && $2 ~ /\/state$/ { print $2 }' "$log" | sort -u | wc -l; }
all_published() { got 0 telvane/hub/status online && got 0 "telvane/$computer/status" online && [ "$(state_topics)" -eq "$readings" ]; }

wine_start "$work/prefix" || exit 1
cd "$folder" || exit 1

# 1. --mqtt, anonymous: the statuses, a state for every reading, every config
# field right; then SIGKILL, and the broker's Last Will.
wine telvane-hub.exe --mqtt mqtt://127.0.0.1:1883 127.0.0.1 >"$logs/hub-mqtt.log" 2>&1 &
hub=$!
within 120 all_published || fail "with --mqtt: not every status and state; the hub's log:"$'\n'"$(log_lines "$logs/hub-mqtt.log" | tail -n 20)"
python3 "$here/../hub/mqttlog.py" configs "$log" 10 "$computer=$readings" || fail "the hub's configs are not right"
echo "with --mqtt: the statuses, states of $(state_topics) readings and their configs"
killed="$(wc -l <"$log")"
{ kill -KILL "$hub" && wait "$hub"; } 2>/dev/null
within 30 got "$killed" telvane/hub/status offline || fail "no Last Will offline after the hub was killed"
stop_windows_programs

# 2. A config file: TLS with the broker's certificate as the CA, a user and password.
cat >"$work/hub.yaml" <<YML
telvanes: [127.0.0.1]
mqtt:
  broker: mqtts://127.0.0.1:8883
  ca: '$(wine_path_of "$work/broker.crt")'
  username: $user
  password: "$password"
YML
wine telvane-hub.exe --config "$(wine_path_of "$work/hub.yaml")" >"$logs/hub-config.log" 2>&1 &
pids="$pids $!"
within 60 got "$killed" telvane/hub/status online ||
    fail "over TLS with a password: not online; the hub's log:"$'\n'"$(log_lines "$logs/hub-config.log" | tail -n 20)"

checks_done
echo "PASS: telvane-hub.exe under Wine published its statuses, configs and states to the Linux broker with --mqtt, its Last Will came when it was killed, and it logged in over TLS with a password"
