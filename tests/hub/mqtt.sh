#!/bin/sh
# The hub publishing to Home Assistant through MQTT, with real parts: two
# Telvanes with demo publishers in namespaces, Debian's mosquitto with a
# password file, the hub with mqtt in its config file, and mosquitto_sub
# writing down every message, whose discovery, states and availability it checks.
# usage: mqtt.sh TELVANE PUBLISH CLIENT HUB   (the programs' paths)
# Needs root (network namespaces); skips (77) otherwise or without the tools.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scriptlib.sh"
need_args "TELVANE PUBLISH CLIENT HUB" "$@"
telvane=$(realpath "$1") publish=$(realpath "$2") client=$(realpath "$3") hub=$(realpath "$4")

[ "$(id -u)" = 0 ] || { echo "SKIP: network namespaces need root"; exit 77; }
skip_without mosquitto:mosquitto mosquitto_sub:mosquitto-clients mosquitto_pub:mosquitto-clients \
    mosquitto_passwd:mosquitto ip:iproute2 nsenter:util-linux unshare:util-linux python3:python3 curl:curl
. "$here/computers.sh"
own_network "$@"
two_computers
one=10_213_1_2_8881 two=10_213_2_2_8881 interval=2

password='mqtt secret'
mosquitto_passwd -b -c "$work/passwords" telvane "$password" >"$work/passwd.log" 2>&1 || fail "mosquitto_passwd failed"
printf 'listener 1883 127.0.0.1\nallow_anonymous false\npassword_file %s\npersistence false\nuser root\n' \
    "$work/passwords" >"$work/mosquitto.conf"
start_broker() {
    mosquitto -c "$work/mosquitto.conf" >>"$work/mosquitto.log" 2>&1 &
    broker=$!
    pids="$pids $broker"
    within 10 mosquitto_pub -u telvane -P "$password" -t probe -m up 2>/dev/null || fail "the broker does not start"
}
# Every message with its arrival time, into LOG.
listen() {
    mosquitto_sub -u telvane -P "$password" -v -F '@s.@N %t %p' -t '#' >"$1" 2>>"$work/sub.log" &
    pids="$pids $!"
    heard() { mosquitto_pub -u telvane -P "$password" -t probe -m up && grep -q ' probe ' "$1"; }
    within 10 heard "$1" || fail "the subscriber does not listen"
}
now() { date +%s.%N; }
# The time of the first message after $1 on topic $2 with payload $3, if any.
first() { awk -v t="$1" -v topic="$2" -v payload="$3" '$1 > t && $2 == topic && $3 == payload { print $1; exit }' "$4"; }
seen() { [ -n "$(first "$@")" ]; }
# Messages after $1 whose topic ends in $2 (config: those not empty; removed: the empty configs) in $3.
count() { awk -v t="$1" -v kind="$2" '$1 > t && $2 ~ ("/" kind "$") && NF >= 3 { n++ }
          $1 > t && kind == "removed" && $2 ~ /\/config$/ && NF == 2 { n++ } END { print n + 0 }' "$3"; }

start_broker
listen "$work/messages"
# The hub's config, with more reading rules in $1.
hub_config() {
    cat >"$work/hub.yaml" <<YML
telvanes: [10.213.1.2, 10.213.2.2]
readings: [{match: CPU (Tctl/Tdie), name: CPU temperature}, {match: Chassis Fan 2, hide: true}$1]
mqtt: {broker: "mqtt://127.0.0.1:1883", username: telvane, password: '$password', interval: $interval}
YML
}
hub_config ""
"$hub" --config "$work/hub.yaml" >"$work/hub.log" 2>&1 &
hub_pid=$!
pids="$pids $hub_pid"
log="$work/messages"

# configs LOG SENSORS_OF_1 SENSORS_OF_2 [--named NAME]...
check_configs() { log_=$1 first=$2 second=$3; shift 3
                  python3 "$here/mqttlog.py" configs "$log_" "$interval" "$one=$first" "$two=$second" \
                      --named "CPU temperature" --absent "CPU (Tctl/Tdie)" --absent "Chassis Fan 2" "$@" >"$work/configs.out"; }
within 30 check_configs "$log" 24 29 || fail "the discovery configs are not right: $(cat "$work/configs.out")"
echo "ok: one device per computer, 24 and 29 sensors with every field, renamed and hidden as configured"
within 30 seen 0 "telvane/$one/status" online "$log" && seen 0 telvane/hub/status online "$log" ||
    fail "the hub or computer 1 is not online"
enough_states() { [ "$(count 0 state "$log")" -ge $((53 * 4)) ]; }
within 30 enough_states || fail "too few states: $(count 0 state "$log")"
python3 "$here/mqttlog.py" intervals "$log" "$interval" || fail "the states do not come at the interval"

# Computer 1's Telvane stops: offline within 6 s; back: online.
kill "$telvane1"
stopped=$(now)
within 10 seen "$stopped" "telvane/$one/status" offline "$log" || fail "computer 1 did not go offline"
took=$(python3 -c "print(round($(first "$stopped" "telvane/$one/status" offline "$log") - $stopped, 1))")
python3 -c "import sys; sys.exit(0 if $took <= 6 else 1)" || fail "computer 1 went offline only after $took s"
! seen "$stopped" "telvane/$two/status" offline "$log" || fail "computer 2 went offline too"
echo "ok: computer 1 offline after $took s"
back=$(now)
start_telvane 1
within 30 seen "$back" "telvane/$one/status" online "$log" || fail "computer 1 did not come back online"
echo "ok: computer 1 online again"

# Home Assistant starts: every config again, then the states.
birth=$(now)
mosquitto_pub -u telvane -P "$password" -t homeassistant/status -m online
again() { [ "$(count "$birth" config "$log")" -ge 53 ]; }
within 15 again || fail "only $(count "$birth" config "$log") configs after homeassistant/status online"
echo "ok: the configs again after Home Assistant's online"

# The config read again: a reading renamed, another hidden, whose sensors go.
reread=$(now)
hub_config ", {match: Motherboard, name: Board}, {match: GPU Fan1, hide: true}"
kill -HUP "$hub_pid"
removed() { [ "$(count "$reread" removed "$log")" -eq 2 ]; }
within 15 removed && within 15 check_configs "$log" 23 28 --named Board --absent "GPU Fan1" --absent Motherboard ||
    fail "the config read again did not rename and remove sensors: $(cat "$work/configs.out")"
echo "ok: SIGHUP renamed a sensor and removed the hidden one's"

# The broker restarts: the hub connects again and sends everything again.
kill "$broker"
wait "$broker" 2>/dev/null
start_broker
listen "$work/after"
restarted=0
within 30 check_configs "$work/after" 23 28 || fail "no configs after the broker's restart: $(cat "$work/configs.out")"
more_states() { [ "$(count "$restarted" state "$work/after")" -ge 53 ]; }
within 15 more_states || fail "no states after the broker's restart"
curl -s -o /dev/null http://127.0.0.1:9881/metrics || fail "the hub stopped serving HTTP"
echo "ok: the hub connected again after the broker's restart and sent configs and states"

killed=$(now)
kill -KILL "$hub_pid"
within 10 seen "$killed" telvane/hub/status offline "$work/after" || fail "no Last Will after the hub was killed"
echo "PASS: Home Assistant discovery, states, availability, its restart, the broker's restart and the Last Will"
exit 0
