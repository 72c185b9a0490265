#!/usr/bin/env bash
# Runs the cross-compiled section check under Wine, in a private Wine prefix.
# Usage: run-under-wine.sh SECTIONPATH_EXE WINEPREFIX_DIR [NAME]
# Exits 77 (the test's skip code) when MinGW-w64 or Wine is not installed.
set -uo pipefail

exe="$1"
prefix="$2"
shift 2

if [ ! -f "$exe" ]; then
    echo "SKIP: $exe was not built (x86_64-w64-mingw32-g++ from g++-mingw-w64-x86-64 not found when configuring)"
    exit 77
fi
wine=$(command -v wine64 || command -v wine || true)
if [ -z "$wine" ]; then
    echo "SKIP: Wine is not installed (Debian package wine64)"
    exit 77
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer prompts when the prefix is created.
export WINEDLLOVERRIDES="mscoree=;mshtml="
export WINEARCH=win64

# The first start creates the prefix, which takes a while and talks a lot;
# its chatter goes to a log beside the prefix.
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    if ! timeout 240 wineboot --init >"$prefix.log" 2>&1; then
        echo "could not create the Wine prefix $prefix:"
        cat "$prefix.log"
        exit 1
    fi
fi

timeout 120 "$wine" "$exe" "$@"
status=$?
[ "$status" -eq 124 ] && echo "FAIL: timed out under Wine"
exit "$status"
