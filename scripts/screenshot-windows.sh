#!/usr/bin/env bash
# Makes docs/screenshot-windows.png: telvane.exe from the Windows zip under
# Wine, showing the demo publisher's readings (the windows_zip check's run),
# and beside it installer-windows.png, the installer's first page.
# Usage: scripts/screenshot-windows.sh [BUILD_DIR [OUTPUT]]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
output="${2:-$root/docs/screenshot-windows.png}"
zip="$(ls "$build"/windows-build/telvane-*-win64.zip 2>/dev/null | head -n 1 || true)"
if [ -z "$zip" ] || [ ! -x "$build/telvane-client" ]; then
    echo "screenshot-windows.sh: no Windows zip or telvane-client in $build; build first (see docs/windows.md)" >&2
    exit 1
fi
"$root/tests/windows/zip-under-wine.sh" "$zip" "$build/telvane-client" "$build/wine-screenshot" "$output"
echo "wrote $output"
# The installer's first page, in a Wine prefix of its own.
setup="${zip%.zip}-setup.exe"
if [ -f "$setup" ]; then
    page="$(dirname "$output")/installer-windows.png"
    (
        source "$root/tests/windows/winecommon.sh"
        source "$root/scripts/x11capture.sh"
        trap 'wine_stop; x11_cleanup' EXIT
        x11_start_server
        rm -rf "$build/wine-screenshot-installer"
        wine_start "$build/wine-screenshot-installer/prefix"
        wine "$setup" >/dev/null 2>&1 &
        x11_wait_until 60 x11_window_found "Telvane Setup" $!
        [ -n "$x11_window" ] || { echo "screenshot-windows.sh: no window titled \"Telvane Setup\"" >&2; exit 1; }
        x11_photograph "$x11_window" "$page" 64
    )
    echo "wrote $page"
fi
