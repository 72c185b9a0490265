#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: this computer's
# sensors published into the section, and Telvane relaying them.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

telvane_install_packages
telvane_build "$TELVANE_ROOT/build" -DCMAKE_BUILD_TYPE=Release
telvane_choose_platform

publish=("$TELVANE_ROOT/build/telvane-publish")
if ! "${publish[@]}" --list --hardware-only >/dev/null 2>&1; then
    echo "run: this computer has no hardware sensors (as in many virtual machines); publishing a made-up computer (telvane-publish --demo) instead" >&2
    publish+=(--demo)
fi
publisher_log="$(mktemp)"
"${publish[@]}" > >(tee "$publisher_log") &
publisher=$!
trap 'kill "$publisher" 2>/dev/null; wait "$publisher" 2>/dev/null; rm -f "$publisher_log"' EXIT

# Telvane maps the section once at start-up: wait until the publisher says it publishes.
for _ in $(seq 100); do
    grep -q '^telvane-publish: publishing' "$publisher_log" && break
    kill -0 "$publisher" 2>/dev/null || { echo "run: telvane-publish stopped" >&2; exit 1; }
    sleep 0.1
done

"$TELVANE_ROOT/build/telvane" "$@"
