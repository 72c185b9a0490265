#!/bin/sh
# telvane-publish on a shared-memory file system that is nearly full: it must
# exit 1 with a clear message and leave nothing behind, never die of SIGBUS
# and leave a zeroed section. Runs in a mount namespace of its own with a
# small tmpfs on /dev/shm, so it needs root (or unshare); exits 77 otherwise.
# Usage: fullshm.sh TELVANE_PUBLISH
set -u
publish="$1"
if [ "$(id -u)" -ne 0 ] || ! unshare -m --propagation private true 2>/dev/null; then
    echo "SKIP: needs root and unshare to mount a small /dev/shm of its own"
    exit 77
fi
exec unshare -m --propagation private sh -c '
    set -u
    publish="$1"
    . "$2"
    keep_going=1
    out="$(mktemp)"
    err="$(mktemp)"
    trap "rm -f \"\$out\" \"\$err\"" EXIT
    mount -t tmpfs -o size=512k tmpfs /dev/shm || { echo "SKIP: cannot mount a tmpfs"; exit 77; }
    head -c 393216 /dev/zero > /dev/shm/filler
    # 1,000 readings take about 290 KB: more than is left.
    "$publish" --demo --readings 1000 --section /telvane-full > /dev/null 2> "$err"
    code=$?
    error="$(cat "$err")"
    left="$(ls /dev/shm)"
    [ "$code" -eq 1 ] || fail "exit code $code, not 1 ($error)"
    case "$error" in
    *"cannot publish /telvane-full: no room for a section of"*"(shared memory is full)"*) ;;
    *) fail "message: $error" ;;
    esac
    [ "$left" = filler ] || fail "left in /dev/shm: $left"
    # A sparse leftover of ours, big enough already, is taken over: its pages
    # must be reserved as a new one'"'"'s are, or the first write into a hole dies of SIGBUS.
    truncate -s 300k /dev/shm/telvane-full
    "$publish" --demo --readings 1000 --section /telvane-full > /dev/null 2> "$err"
    code=$?
    [ "$code" -eq 1 ] && grep -q "no room for a section of" "$err" || fail "sparse takeover: exit $code: $(cat "$err")"
    [ "$(ls /dev/shm)" = filler ] || fail "left after a sparse takeover: $(ls /dev/shm)"
    # With room again it publishes.
    rm /dev/shm/filler
    "$publish" --demo --readings 1000 --section /telvane-full --interval 600 > "$out" 2>&1 &
    pid=$!
    within 10 grep -q publishing "$out" || fail "no start with room: $(cat "$out")"
    kill -TERM $pid; wait $pid
    [ -z "$(ls /dev/shm)" ] || fail "left after a stop: $(ls /dev/shm)"
    checks_done
    echo "PASS: a full /dev/shm is refused cleanly: $error"
' sh "$publish" "$(cd "$(dirname "$0")" && pwd)/scriptlib.sh"
