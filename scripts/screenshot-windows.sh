#!/usr/bin/env bash
# Makes docs/screenshot-windows.png: telvane.exe from the Windows zip under
# Wine, showing the demo publisher's readings (the windows_zip check's run),
# and beside it installer-windows.png, the installer's first page (the
# windows_installer check's run).
# Usage: scripts/screenshot-windows.sh [BUILD_DIR [OUTPUT]]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
output="${2:-$root/docs/screenshot-windows.png}"
zip="$(ls "$build"/windows-build/telvane-*-win64.zip 2>/dev/null | head -n 1 || true)"
if [ -z "$zip" ] || [ ! -x "$build/telvane-client" ]; then
    echo "screenshot-windows.sh: no Windows zip or telvane-client in $build; build first (see README, Windows)" >&2
    exit 1
fi
"$root/tests/windows/zip-under-wine.sh" "$zip" "$build/telvane-client" "$build/wine-screenshot" "$output"
echo "wrote $output"
setup="${zip%.zip}-setup.exe"
if [ -f "$setup" ]; then
    "$root/tests/windows/installer-under-wine.sh" "$setup" "$build/wine-screenshot-installer" \
        "$(dirname "$output")/installer-windows.png"
    echo "wrote $(dirname "$output")/installer-windows.png"
fi
