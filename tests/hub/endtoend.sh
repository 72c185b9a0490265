#!/bin/sh
# The hub with real parts: two Telvanes, each in a network namespace of its
# own with its own demo publisher and a private /dev/shm, telvane-hub
# connected to both, Debian's prometheus scraping the hub every second, and
# headless Chromium showing the hub's page. Stopping one Telvane must make
# telvane_up 0 for it within 5 s while the other's readings keep coming;
# restarting it brings it back. The shipped Grafana dashboard's queries all
# return data, and the shipped alert rules fire for the stopped Telvane alone.
# The hub runs from a config file: a user, HTTPS, a renamed reading, a hidden
# one and limits that the demo values cross, whose alert must fire.
#
# usage: endtoend.sh TELVANE PUBLISH CLIENT HUB [SCREENSHOT.png]   (the programs' paths)
# Needs root (network namespaces); skips (77) otherwise or without the tools.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scriptlib.sh"
need_args "TELVANE PUBLISH CLIENT HUB [SCREENSHOT.png]" "$@"
telvane=$(realpath "$1") publish=$(realpath "$2") client=$(realpath "$3") hub=$(realpath "$4") shot=${5:-}

[ "$(id -u)" = 0 ] || { echo "SKIP: network namespaces need root"; exit 77; }
skip_without prometheus:prometheus chromium:chromium ip:iproute2 nsenter:util-linux unshare:util-linux python3:python3 \
    openssl:openssl curl:curl
# Everything in a network namespace of its own: ports 9881 and 9090 are ours.
. "$here/computers.sh"
own_network "$@"
two_computers

# The hub's config: a user, HTTPS with a pair made here, the CPU temperature
# renamed and always beyond its critical limit (the demo's is near 57 °C), the
# motherboard's beyond its warning limit, a fan hidden.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -keyout "$work/hub.key" -out "$work/hub.crt" >"$work/openssl.log" 2>&1 || fail "openssl made no pair: $(cat "$work/openssl.log")"
password='e2e secret'
hash=$(printf '%s\n' "$password" | "$hub" --hash-password) || fail "--hash-password failed"
cat >"$work/hub.yaml" <<YML
telvanes: [10.213.1.2, 10.213.2.2]
users:
  alice: "$hash"
tls:
  certificate: $work/hub.crt
  key: $work/hub.key
readings:
  - match: CPU (Tctl/Tdie)
    name: CPU temperature
    critical_above: 20
  - match: Motherboard
    warn_above: 10
  - match: Chassis Fan 2
    hide: true
YML
"$hub" --config "$work/hub.yaml" >"$work/hub.log" 2>&1 &
pids="$pids $!"
hub_url=https://127.0.0.1:9881
status() { curl -s -o /dev/null -w '%{http_code}' --cacert "$work/hub.crt" "$@"; }
refuses() { [ "$(status "$hub_url/metrics")" = 401 ]; }
within 20 refuses || fail "the hub does not refuse a request without credentials: $(status "$hub_url/metrics")"
[ "$(status -u "alice:wrong" "$hub_url/metrics")" = 401 ] || fail "the hub takes a wrong password"
[ "$(status -u "alice:$password" "$hub_url/metrics")" = 200 ] || fail "the hub refuses alice over HTTPS"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:9881/metrics")" != 200 ] || fail "the hub answers plain HTTP too"
echo "ok: HTTPS only, 401 without or with wrong credentials, 200 with them"

# The shipped alert rules, held for 2 s instead of their minute.
sed -E 's/^( +for:) [0-9]+[smh]$/\1 2s/' "$here/../../res/prometheus/telvane-alerts.yml" >"$work/alerts.yml"
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: ['$work/alerts.yml']
scrape_configs:
  - job_name: telvane
    honor_labels: true
    scheme: https
    tls_config:
      ca_file: $work/hub.crt
    basic_auth:
      username: alice
      password: '$password'
    static_configs:
      - targets: ['127.0.0.1:9881']
YML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address=127.0.0.1:9090 >"$work/prometheus.log" 2>&1 &
pids="$pids $!"
prom() { python3 "$here/prom.py" http://127.0.0.1:9090 "$1" 2>/dev/null; }
one="10.213.1.2:8881" two="10.213.2.2:8881"

# Both computers' readings, as many as each publishes but the hidden one.
counts_right() {
    prom 'count by (instance) (telvane_reading)' >"$work/counts"
    grep -qx "$one 24" "$work/counts" && grep -qx "$two 29" "$work/counts"
}
within 60 counts_right || fail "prometheus does not have both computers' readings: $(cat "$work/counts")"
# Values that change over time, on both.
changing() {
    prom 'count by (instance) (changes(telvane_reading[20s]) > 0)' >"$work/changing"
    [ "$(wc -l <"$work/changing")" -eq 2 ]
}
within 30 changing || fail "the values do not change: $(cat "$work/changing")"
echo "ok: prometheus has $(tr '\n' ' ' <"$work/counts")readings, changing"
python3 "$here/dashboard.py" http://127.0.0.1:9090 "$here/../../res/grafana/telvane-dashboard.json" ||
    fail "the Grafana dashboard's queries do not all return data"

# The page in a real browser: both computers and their readings in the DOM.
browse() {
    HOME="$work" chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$work/chromium" --virtual-time-budget=4000 --window-size=1100,1400 "$@" \
        --ignore-certificate-errors "https://alice:$(echo "$password" | sed 's/ /%20/g')@127.0.0.1:9881/" 2>>"$work/chromium.log"
}
browse --dump-dom >"$work/dom.html"
for instance in "$one" "$two"; do
    grep -q "class=\"name\">$instance<" "$work/dom.html" || fail "the page lacks $instance"
done
values=$(grep -o '<td class="value"[^>]*>[-0-9.]*</td>' "$work/dom.html" | wc -l)
[ "$values" -eq 53 ] || fail "the page shows $values values, not 53"
grep -q '<td class="label">CPU Package Power</td>' "$work/dom.html" || fail "the page lacks the readings' labels"
grep -q '>CPU temperature<' "$work/dom.html" || fail "the page lacks the renamed reading"
! grep -q '>CPU (Tctl/Tdie)<' "$work/dom.html" || fail "the page shows the renamed reading's label as its name"
! grep -q 'Chassis Fan 2' "$work/dom.html" || fail "the page shows the hidden reading"
grep -q '<tr class="[a-z ]*critical"' "$work/dom.html" && grep -q '<tr class="[a-z ]*warning"' "$work/dom.html" ||
    fail "the page marks no reading critical or warning"
echo "ok: the browser shows both computers and $values values, renamed, hidden and marked as configured"
if [ -n "$shot" ]; then
    # For a picture with some history in its sparklines: TELVANE_HUB_SHOT_AFTER=SECONDS.
    sleep "${TELVANE_HUB_SHOT_AFTER:-0}"
    browse --screenshot="$work/shot.png" >/dev/null && cp "$work/shot.png" "$shot" || fail "no screenshot"
    echo "ok: screenshot in $shot"
fi

# One Telvane stops: down within 5 s, while the other's readings keep coming.
kill "$telvane1"
stopped=$(date +%s.%N)
down() { prom "telvane_up{instance=\"$one\"}" | grep -qx "$one 0"; }
within 10 down || fail "telvane_up did not fall to 0"
took=$(python3 -c "import time; print(round(time.time() - $stopped, 1))")
python3 -c "import sys; sys.exit(0 if float('$took') <= 5 else 1)" || fail "telvane_up fell to 0 only after $took s"
echo "ok: telvane_up fell to 0 after $took s"
last=$(prom "telvane_last_answer_timestamp_seconds{instance=\"$two\"}" | cut -d' ' -f2)
newer() { now=$(prom "telvane_last_answer_timestamp_seconds{instance=\"$two\"}" | cut -d' ' -f2);
          python3 -c "import sys; sys.exit(0 if float('${now:-0}') > float('${last:-0}') + 1 else 1)"; }
within 10 newer || fail "the other Telvane's readings stopped too"
prom "telvane_up{instance=\"$two\"}" | grep -qx "$two 1" || fail "the other Telvane is not up"
echo "ok: the other Telvane keeps answering"
firing() { prom 'ALERTS{alertname="TelvaneDown",alertstate="firing"}' | grep -qx "$one 1"; }
within 15 firing || fail "TelvaneDown did not fire for $one"
! prom 'ALERTS{alertname="TelvaneDown"}' | grep -q "^$two " || fail "TelvaneDown pending or firing for $two, which is up"
echo "ok: TelvaneDown fired for $one alone"
# The renamed reading's critical limit, crossed all along on the running one.
critical() { python3 "$here/prom.py" --alerts http://127.0.0.1:9090 TelvaneReadingCriticalHigh >"$work/alerts" 2>&1 &&
             grep -qx "$two firing CPU temperature" "$work/alerts"; }
within 15 critical || fail "no firing TelvaneReadingCriticalHigh for $two's CPU temperature: $(cat "$work/alerts")"
echo "ok: TelvaneReadingCriticalHigh firing for $two's CPU temperature"

# Back again.
start_telvane 1
up() { prom "telvane_up{instance=\"$one\"}" | grep -qx "$one 1"; }
within 30 up || fail "telvane_up did not come back"
within 10 counts_right || fail "the readings did not come back: $(cat "$work/counts")"
echo "PASS: two Telvanes through the hub into Prometheus and a browser; one stopped and restarted"
exit 0
