#!/usr/bin/env bash
# Telvane in a real X window: against the demo publisher's section, its main
# window appears titled "Telvane" at 300 x 653 and is not blank.
# Usage: realwindow.sh TELVANE PUBLISHER SCREENSHOT
# Exits 77 (the test's skip code) when the X tools are not installed.
set -uo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 TELVANE PUBLISHER SCREENSHOT" >&2
    exit 2
fi
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/x11capture.sh"

missing="$(x11_missing_tools)"
if [ -n "$missing" ]; then
    echo "SKIP: not installed: $missing"
    exit 77
fi

mkdir -p "$(dirname "$3")"
x11_capture_telvane "$1" "$2" "$3" || exit 1
size="$(x11_window_size "$x11_window")"
if [ "$size" != "300x653" ]; then
    echo "FAIL: the main window is $size, not 300x653"
    exit 1
fi
echo "PASS: main window 300x653, screenshot in $3"
