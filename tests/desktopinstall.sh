#!/usr/bin/env bash
# `cmake --install` into a scratch prefix puts the programs, a valid desktop
# entry and the emblem at every hicolor size where a desktop looks for them.
# Usage: desktopinstall.sh BUILD_DIR PREFIX
# Exits 77 (the test's skip code) when desktop-file-validate or ImageMagick's
# identify is not installed.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/scriptlib.sh"
keep_going=1
need_args "BUILD_DIR PREFIX" "$@"
build=$1 prefix=$2
skip_without desktop-file-validate:desktop-file-utils identify:imagemagick

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

[ -x "$prefix/bin/telvane" ] || fail "bin/telvane not installed"
entry="$prefix/share/applications/telvane.desktop"
if desktop-file-validate "$entry"; then
    grep -qx 'Icon=telvane' "$entry" || fail "the entry's icon is not 'telvane'"
    grep -qx 'Exec=telvane' "$entry" || fail "the entry does not start 'telvane'"
else
    fail "$entry is not a valid desktop entry"
fi
for edge in 32 48 96 128 256; do
    icon="$prefix/share/icons/hicolor/${edge}x${edge}/apps/telvane.png"
    if [ "$(identify -format '%wx%h %[channels]' "$icon" 2>/dev/null)" != "${edge}x${edge} srgba" ]; then
        fail "$icon is not a ${edge}x${edge} PNG with alpha"
    fi
done
checks_done
echo "PASS: programs, desktop entry and five hicolor icons installed"
