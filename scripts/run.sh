#!/usr/bin/env bash
# Installs what running needs, builds the programs, and runs the main job:
# this computer's sensors published into the section, and Telvane relaying
# them. Arguments go to Telvane.
# Environment: TELVANE_BUILD_DIR, the build folder (default build/).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build="${TELVANE_BUILD_DIR:-$TELVANE_ROOT/build}"
programs=(telvane telvane-publish telvane-client telvane-hub)
mkdir -p "$build"
# apt-get's and the build's output, shown only when a step fails.
export TELVANE_QUIET_LOG="$build/run.log"
: >"$TELVANE_QUIET_LOG"

telvane_install_packages run

shown="${build#"$TELVANE_ROOT"/}"
echo "Building ${programs[*]} in $shown/ (output in $shown/run.log)"
if [ ! -f "$build/CMakeCache.txt" ]; then
    # A build of its own: only the programs, no tests and no Windows build.
    # A unity build (one compiler run per library instead of one per file)
    # takes about 40% less time; the test command builds the same way.
    telvane_step "configuring the build" cmake -S "$TELVANE_ROOT" -B "$build" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=ON -DBUILD_TESTING=OFF -DTELVANE_WINDOWS=OFF
elif [ ! -f "$build/Makefile" ] && [ ! -f "$build/build.ninja" ]; then
    # Configured before (perhaps by the test command) but not to the end:
    # finish it as it was set up.
    telvane_step "configuring the build" cmake -S "$TELVANE_ROOT" -B "$build"
fi
# A build/ that the test command set up keeps its tests; only the programs
# are brought up to date here.
telvane_step "building the programs" cmake --build "$build" -j "$(nproc)" --target "${programs[@]}"

telvane_choose_platform

publish=("$build/telvane-publish")
what="this computer's own sensors"
if ! "${publish[@]}" --list --hardware-only >/dev/null 2>&1; then
    publish+=(--demo)
    what="a made-up computer (telvane-publish --demo): this computer shows no hardware sensors, as in many virtual machines"
fi
publisher_log="$build/run-publisher.log"
"${publish[@]}" >"$publisher_log" &
publisher=$!
telvane=

# Ctrl+C (or a SIGTERM or SIGHUP to this script) stops both programs; the
# publisher removes its section as it stops. Each is signalled and waited for.
stop_both() {
    trap - INT TERM HUP EXIT
    local pid
    for pid in $telvane $publisher; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $telvane $publisher; do
        wait "$pid" 2>/dev/null || true
    done
    echo "run: Telvane and the publisher stopped"
}
trap 'stop_both; exit 130' INT
trap 'stop_both; exit 143' TERM
trap 'stop_both; exit 129' HUP
trap 'stop_both' EXIT

# Telvane maps the section once at start-up: wait until the publisher says it publishes.
for _ in $(seq 100); do
    grep -q '^telvane-publish: publishing' "$publisher_log" && break
    kill -0 "$publisher" 2>/dev/null || { echo "run: telvane-publish stopped:" >&2; cat "$publisher_log" >&2; exit 1; }
    sleep 0.1
done
published="$(sed -n 's/^telvane-publish: publishing \([0-9]* readings of [0-9]* sensors\) as .* every \([^;]*\);.*/\1, every \2/p' "$publisher_log")"

addresses=()
read -r -a addresses < <(hostname -I 2>/dev/null) || true
if [ ${#addresses[@]} -gt 0 ]; then
    serving="TCP port 8881 on ${addresses[*]} (and on 127.0.0.1 and ::1 here)"
else
    serving="TCP port 8881 on 127.0.0.1 and ::1 only: this computer has no network address"
fi
if [ "${QT_QPA_PLATFORM:-}" = offscreen ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    window="offscreen (invisible): there is no display, DISPLAY and WAYLAND_DISPLAY are unset"
elif [ -n "${QT_QPA_PLATFORM:-}" ]; then
    window="on Qt's platform $QT_QPA_PLATFORM (QT_QPA_PLATFORM)"
else
    window="on display ${WAYLAND_DISPLAY:-${DISPLAY:-}}; closing it stops the publisher too"
fi
cat <<EOF
Publishing: $what${published:+
            $published}
Serving:    $serving
Window:     $window
Stop:       Ctrl+C stops Telvane and the publisher
Telvane's log follows.
EOF

# In the background, so that a signal to this script is handled at once.
"$build/telvane" "$@" &
telvane=$!
status=0
wait "$telvane" || status=$?
telvane=
exit "$status"
