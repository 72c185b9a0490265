#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

telvane_install_packages
telvane_build "$TELVANE_ROOT/build" -DCMAKE_BUILD_TYPE=Release
ctest --test-dir "$TELVANE_ROOT/build" --output-on-failure -j 2
