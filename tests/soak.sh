#!/usr/bin/env bash
# The soak and fault tests in their long versions, against a build folder.
# Usage: tests/soak.sh MINUTES [BUILD_DIR]      (BUILD_DIR defaults to build/)
# MINUTES is the time given to each timed scenario; the connection scenario
# makes 2,000 connections per minute; the publisher soak (a chip tree changing
# every few seconds) runs for at least 10 minutes, and so does the slow chip (attributes
# that take 100 ms each, fanotify: root). Uses the product's section name and port
# 8881: stop Telvane and telvane-publish first.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ $# -lt 1 ] || [ $# -gt 2 ] || ! [[ "$1" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 MINUTES [BUILD_DIR]" >&2
    exit 2
fi
minutes="$1"
build="${2:-$root/build}"
for program in telvane telvane-publish tests/soak_sectionchurn tests/tst_linuxsensors; do
    if [ ! -x "$build/$program" ]; then
        echo "$build/$program is missing: build first (cmake --build $build)" >&2
        exit 1
    fi
done

soak=(python3 "$root/tests/soak/soak.py" --build "$build")
failed=0
run() {
    echo "== $*"
    "${soak[@]}" "$@" | grep -v '^ok: ' || failed=1
}
run connections --count $((2000 * minutes))
run stuck --seconds $((60 * minutes))
run churn --seconds $((60 * minutes))
run shrink --seconds $((60 * minutes))
run replies --count 1000000
run publisher-killed
run restart
run swap --count $((10 * minutes))
run publisher --seconds $((60 * (minutes > 10 ? minutes : 10)))
echo "== slow chip (fanotify: root)"
TELVANE_SOAK_SECONDS=$((60 * (minutes > 10 ? minutes : 10))) "$build/tests/tst_linuxsensors" -silent slowReadsAreBounded \
    || failed=1
if [ -x "$build/telvane-hub" ]; then
    echo "== hub viewers"
    python3 "$root/tests/hub/viewers.py" "$build/telvane-hub" --seconds $((60 * minutes)) || failed=1
    for crowd in slow pages; do
        echo "== hub crowd: $crowd"
        python3 "$root/tests/hub/viewers.py" "$build/telvane-hub" --clients 1 --crowd "$crowd" \
            --seconds $((60 * minutes)) || failed=1
    done
fi
run publisher-restarted
[ "$failed" -eq 0 ] && echo "soak: all scenarios passed" || echo "soak: FAILED"
exit "$failed"
