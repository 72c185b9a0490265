#!/usr/bin/env bash
# Proves on Linux that the Windows resource script is valid: MinGW's windres
# compiles it, ld links it into a tiny Windows program, and wrestool lists
# what that program carries.
# Usage: winresources.sh RESOURCE_SCRIPT WORK_DIR
# Exits 77 (the test's skip code) when the tools are not installed.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/scriptlib.sh"
keep_going=1
need_args "RESOURCE_SCRIPT WORK_DIR" "$@"
rc=$1 work=$2
target=x86_64-w64-mingw32
skip_without "$target-windres:binutils-mingw-w64-x86-64" "$target-as:binutils-mingw-w64-x86-64" \
    "$target-ld:binutils-mingw-w64-x86-64" wrestool:icoutils icotool:icoutils

rm -rf "$work"
mkdir -p "$work"
cd "$work"
# Run away from the script's folder: the files it names must be found beside it.
"$target-windres" --input-format=rc --output-format=coff -o resources.o "$rc"
printf '\t.globl start\nstart:\n\tret\n' > start.s
"$target-as" -o start.o start.s
"$target-ld" --subsystem windows -e start -o tiny.exe start.o resources.o

listing="$(wrestool -l tiny.exe)"
echo "$listing"

count() { grep -c -e "$1" <<<"$listing" || true; }

[ "$(count '^--type=14 ')" -eq 1 ] || fail "expected exactly one group icon"
[ "$(count "^--type=14 --name='IDI_ICON1' --language=1033 ")" -eq 1 ] \
    || fail "the group icon is not IDI_ICON1 in language 1033"
[ "$(count '^--type=3 ')" -eq 5 ] || fail "expected five icons"
[ "$(count '^--type=3 --name=[1-5] --language=1033 ')" -eq 5 ] \
    || fail "icons are not ids 1 to 5 in language 1033"
[ "$(count '^--type=24 ')" -eq 1 ] || fail "expected exactly one manifest"
[ "$(count '^--type=24 --name=1 --language=1033 ')" -eq 1 ] \
    || fail "the manifest is not id 1 in language 1033"
[ "$(wc -l <<<"$listing")" -eq 7 ] || fail "the program carries resources beyond icon and manifest"

# The group, rebuilt into an .ico, lists its images in the program's order.
wrestool -x --type=14 --name=IDI_ICON1 -o group.ico tiny.exe
group="$(icotool -l group.ico)"
echo "$group"
expected="$(for edge in 128 256 96 48 32; do
    echo "$edge $edge 24"
done)"
actual="$(sed -E 's/.*--width=([0-9]+) --height=([0-9]+) --bit-depth=([0-9]+).*/\1 \2 \3/' <<<"$group")"
[ "$actual" = "$expected" ] || fail "group images (width height bits) are:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"

wrestool -x --raw --type=24 --name=1 tiny.exe > manifest.xml
cmp -s manifest.xml "$(dirname "$rc")/telvane.manifest" || fail "the embedded manifest differs from telvane.manifest"

checks_done
echo "PASS: IDI_ICON1 (1033) with five icons and manifest 1 (1033)"
