#!/usr/bin/env bash
# Builds the Windows download on Debian: the Qt, OpenSSL, yaml-cpp and libmosquitto for MinGW
# (built from Debian's source on first use, then taken from the cache), then a cross build into
# build-windows/ whose zip and installer targets make telvane-<version>-win64.zip
# and telvane-<version>-win64-setup.exe.
# Usage: scripts/windows-build.sh [BUILD_DIR]
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build="${1:-$TELVANE_ROOT/build-windows}"
telvane_install_packages run test
qt="$("$TELVANE_ROOT/scripts/windows-qt.sh" | tail -n 1)"
# Its standard output is the prefixes alone, one a line.
deps="$("$TELVANE_ROOT/scripts/windows-deps.sh" | paste -s -d ';')"
telvane_build "$build" -DCMAKE_TOOLCHAIN_FILE="$TELVANE_ROOT/cmake/toolchain-mingw-w64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt;$deps" -DCMAKE_BUILD_TYPE=Release
ls "$build"/telvane-*-win64.zip "$build"/telvane-*-win64-setup.exe
