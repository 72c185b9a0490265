#!/usr/bin/env bash
# Makes docs/screenshot.png: Telvane's main window on a private X server,
# showing the demo publisher's readings.
# Usage: scripts/screenshot.sh [BUILD_DIR [OUTPUT]]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
output="${2:-$root/docs/screenshot.png}"
source "$root/scripts/x11capture.sh"

missing="$(x11_missing_tools)"
if [ -n "$missing" ]; then
    echo "screenshot.sh: not installed: $missing" >&2
    exit 1
fi
for program in telvane telvane-publish; do
    if [ ! -x "$build/$program" ]; then
        echo "screenshot.sh: $build/$program is missing; build first (cmake --build $build)" >&2
        exit 1
    fi
done

mkdir -p "$(dirname "$output")"
x11_capture_telvane "$build/telvane" "$build/telvane-publish" "$output"
echo "wrote $output"
