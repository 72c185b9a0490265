#!/bin/sh
# The whole road on Linux: telvane-publish reads a fixture sysfs/procfs tree
# into the product's section, telvane (offscreen) serves it on port 8881, and
# telvane-client --json --watch receives the catalogue and then fresh values
# for every reading, tick after tick.
#
# usage: endtoend.sh TELVANE-PUBLISH TELVANE TELVANE-CLIENT FIXTURE-TREE
set -u
. "$(dirname "$0")/scriptlib.sh"
need_args "TELVANE-PUBLISH TELVANE TELVANE-CLIENT FIXTURE-TREE" "$@"
publish=$1 telvane=$2 client=$3 fixture=$4
start_work

# Another Telvane or publisher of this machine (a developer's, another build's
# test) owns the port or the section: skip rather than disturb it.
"$client" --settle 100 --timeout 1000 >/dev/null 2>&1
case $? in 0|5|6) echo "SKIP: something already serves port 8881"; exit 77 ;; esac
if [ -e /dev/shm/HWiNFO_SENS_SM2 ]; then echo "SKIP: the section /HWiNFO_SENS_SM2 exists already"; exit 77; fi

cp -a "$fixture/." "$work/tree" || fail "cannot copy the fixture"
sys="$work/tree/sys" proc="$work/tree/proc"

# What the publisher will publish once rates are known (their second look).
expected=$("$publish" --list --sysfs-root "$sys" --proc-root "$proc" | sed -n 's/^\([0-9][0-9]*\) readings of .*/\1/p')
[ -n "$expected" ] && [ "$expected" -gt 40 ] || fail "telvane-publish --list gave no count"

"$publish" --sysfs-root "$sys" --proc-root "$proc" --interval 0.5 >"$work/publish.log" 2>&1 &
pids="$pids $!"
within 10 grep -q publishing "$work/publish.log" || fail "the publisher did not start"

QT_QPA_PLATFORM=offscreen "$telvane" >"$work/telvane.log" 2>&1 &
pids="$pids $!"
within 20 "$client" --settle 200 >/dev/null 2>&1 || fail "telvane did not serve the catalogue"

"$client" --json --watch >"$work/client.jsonl" 2>"$work/client.log" &
client_pid=$!
pids="$pids $client_pid"

hashes() { grep -o '"hash":"[0-9a-f]*"' "$work/client.jsonl" | sort | uniq -c; }
every_reading_answered() {
    [ "$(hashes | wc -l)" -eq "$expected" ] || return 1
    # the catalogue and at least three answers, one per tick
    [ "$(hashes | awk '$1 < 4' | wc -l)" -eq 0 ]
}
within 30 every_reading_answered || fail "not every reading was answered on following ticks: $(hashes | head -5)"

# Telvane's hash of a reading is SHA-1 of label:sensor, as the publisher numbers it.
package=$(printf 'Package id 0:9' | sha1sum | cut -c1-40)
grep -q "\"hash\":\"$package\",\"label\":\"Package id 0\"" "$work/client.jsonl" || fail "no reading with hash $package"
grep -q '"label":"SYSTIN","time":"[^"]*","unit":"°C","value":38.5}' "$work/client.jsonl" || fail "SYSTIN not as in the tree"

# A value that changes in the tree arrives as a fresh value.
printf '46250\n' >"$sys/devices/platform/coretemp.0/hwmon/hwmon0/temp1_input"
within 15 grep -q '"label":"Package id 0","time":"[^"]*","unit":"°C","value":46.25}' "$work/client.jsonl" ||
    fail "the changed value did not arrive"

kill -0 "$client_pid" 2>/dev/null || fail "the client ended early"
if grep -q 'skipped a reply' "$work/client.log"; then fail "the client skipped replies"; fi
echo "PASS: $expected readings, each answered tick after tick; a changed value arrived"
exit 0
