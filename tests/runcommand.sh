#!/bin/bash
# The run command as a user meets it, in namespaces of its own (the product's
# port and section): its output before Telvane's log is one short banner, not
# the build's; Telvane serves port 8881; Ctrl+C at the terminal (SIGINT to the
# command's process group) stops Telvane and the publisher, which removes its
# section.
#
# usage: runcommand.sh SOURCE-DIR BUILD-DIR   (the build is up to date: the
# run command only checks it)
set -u
. "$(dirname "$0")/scriptlib.sh"
need_args "SOURCE-DIR BUILD-DIR" "$@"
source_dir=$1 build_dir=$2

if [ -z "${TELVANE_RUNCOMMAND_INNER:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare -mn --propagation private true 2>/dev/null; then
        echo "SKIP: needs root and unshare for a port and a /dev/shm of its own"
        exit 77
    fi
    # The run command installs what is missing; a test installs nothing.
    missing=$(bash -c 'source "$1/scripts/common.sh" && telvane_missing_packages run' _ "$source_dir")
    if [ -n "$missing" ]; then
        echo "SKIP: packages the run command would install first:" $missing
        exit 77
    fi
    TELVANE_RUNCOMMAND_INNER=1 exec unshare -mn --propagation private \
        sh -c 'mount -t tmpfs tmpfs /dev/shm && ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi

start_work
# No display: the banner must say the window is offscreen.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

# With job control the command gets a process group of its own, with SIGINT
# handled as in a terminal's foreground job.
set -m
TELVANE_BUILD_DIR=$build_dir "$source_dir/scripts/run.sh" >"$work/run.log" 2>&1 &
run=$!
pids="$run"
set +m
# Whatever the command leaves behind goes too, with the test.
trap 'pkill -KILL -g "$run" 2>/dev/null; cleanup' EXIT

# The command has ended (not even a zombie left to reap).
run_ended() { ! ps -o stat= -p "$run" | grep -qv Z; }

within 60 grep -q 'Readings found!' "$work/run.log" || fail "Telvane did not start"
sed -n '1,/^Telvane.s log follows/p' "$work/run.log" >"$work/banner.txt"
lines=$(wc -l <"$work/banner.txt")
[ "$lines" -le 8 ] || fail "$lines lines before Telvane's log"
for expected in '^Building ' '^Publishing: ' '^Serving:    TCP port 8881 on ' \
                '^Window:     offscreen' '^Stop:       Ctrl+C stops Telvane and the publisher$'; do
    grep -q "$expected" "$work/banner.txt" || { cat "$work/banner.txt"; fail "no line '$expected' in the banner"; }
done

# What the banner says: port 8881 serves the catalogue.
head=$(timeout 10 bash -c 'exec 3<>/dev/tcp/127.0.0.1/8881 && head -c 6 <&3')
[ "$head" = "v2sd::" ] || fail "port 8881 answered '$head', not a catalogue"
[ -e /dev/shm/HWiNFO_SENS_SM2 ] || fail "no section while the publisher runs"
processes=$(pgrep -g "$run" | wc -l)
[ "$processes" -eq 3 ] || fail "$processes processes in the run command's group, not the script, telvane-publish and telvane"

kill -INT -- "-$run"
within 20 run_ended || fail "the run command still runs 20 s after Ctrl+C"
status=0
wait "$run" || status=$?
pids=
[ "$status" -eq 130 ] || fail "the run command ended with $status after Ctrl+C, not 130"
left=$(pgrep -g "$run" -a)
[ -z "$left" ] || fail "still running after Ctrl+C: $left"
[ ! -e /dev/shm/HWiNFO_SENS_SM2 ] || fail "the section is left after Ctrl+C"
grep -q '^run: Telvane and the publisher stopped$' "$work/run.log" || fail "no word that both stopped"
echo "PASS: banner of $lines lines, port 8881 served, Ctrl+C stopped both and removed the section"
