#!/usr/bin/env bash
# Runs the Windows build's own tests (the QtTest programs that make sense on
# Windows, as .exe) under Wine, through that build's ctest, inside a network
# namespace with a wineserver of their own.
# Usage: qttests-under-wine.sh WINDOWS_BUILD WORK_DIR [WHY_THERE_IS_NONE]
# Exits 77 (the test's skip code) when there is no Windows build or no Wine.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../scriptlib.sh"
source "$here/winecommon.sh"
need_args "WINDOWS_BUILD WORK_DIR [WHY_THERE_IS_NONE]" "$@"
build=$1 work=$2

if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "SKIP: no Windows build in $build${3:+: $3}"
    exit 77
fi
missing="$(wine_missing_tools)"
if [ -n "$missing" ]; then
    echo "SKIP: not installed: $missing"
    exit 77
fi
wine_enter_namespace "$0" "$@" || exit $?

mkdir -p "$work"
trap wine_stop EXIT
wine_start "$work/prefix" || exit 1
# Not yet: the programs' own checks in tst_client and tst_publisher expect
# POSIX line ends on standard output, POSIX stop signals (QProcess::terminate)
# and Linux-only options; the end-to-end check of the zip covers the programs.
ctest --test-dir "$build" --output-on-failure -j 2 -E '^(tst_client|tst_publisher)$'
