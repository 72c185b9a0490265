#!/usr/bin/env bash
# Installs what is missing, builds, and runs Telvane.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

telvane_install_packages
telvane_build "$TELVANE_ROOT/build" -DCMAKE_BUILD_TYPE=Release
telvane_choose_platform
exec "$TELVANE_ROOT/build/telvane" "$@"
