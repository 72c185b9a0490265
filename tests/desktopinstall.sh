#!/usr/bin/env bash
# `cmake --install` into a scratch prefix puts the programs, a valid desktop
# entry and the emblem at every hicolor size where a desktop looks for them.
# Usage: desktopinstall.sh BUILD_DIR PREFIX
# Exits 77 (the test's skip code) when desktop-file-validate or ImageMagick's
# identify is not installed.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR PREFIX" >&2
    exit 2
fi
build="$1"
prefix="$2"
for tool in desktop-file-validate:desktop-file-utils identify:imagemagick; do
    if ! command -v "${tool%%:*}" >/dev/null 2>&1; then
        echo "SKIP: not installed: ${tool%%:*} (Debian package ${tool##*:})"
        exit 77
    fi
done

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
[ -x "$prefix/bin/telvane" ] || { echo "FAIL: bin/telvane not installed"; failures=$((failures + 1)); }
entry="$prefix/share/applications/telvane.desktop"
if desktop-file-validate "$entry"; then
    grep -qx 'Icon=telvane' "$entry" || { echo "FAIL: the entry's icon is not 'telvane'"; failures=$((failures + 1)); }
    grep -qx 'Exec=telvane' "$entry" || { echo "FAIL: the entry does not start 'telvane'"; failures=$((failures + 1)); }
else
    echo "FAIL: $entry is not a valid desktop entry"
    failures=$((failures + 1))
fi
for edge in 32 48 96 128 256; do
    icon="$prefix/share/icons/hicolor/${edge}x${edge}/apps/telvane.png"
    if [ "$(identify -format '%wx%h %[channels]' "$icon" 2>/dev/null)" != "${edge}x${edge} srgba" ]; then
        echo "FAIL: $icon is not a ${edge}x${edge} PNG with alpha"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || exit 1
echo "PASS: programs, desktop entry and five hicolor icons installed"
