#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

telvane_install_packages run test
# The Windows build needs a Qt for MinGW: built once from Debian's source
# (about 17 minutes on two cores) and then reused from the cache.
"$TELVANE_ROOT/scripts/windows-qt.sh" >/dev/null
# And OpenSSL, yaml-cpp and libmosquitto for MinGW, from Debian's source too, cached likewise.
"$TELVANE_ROOT/scripts/windows-deps.sh" >/dev/null
# Tests and the Windows build on, whatever the run command left in build/.
# The programs and libraries are built as the run command builds them (a unity
# build), the sanitizer build below file by file, so that both ways compile.
telvane_build "$TELVANE_ROOT/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=ON \
    -DBUILD_TESTING=ON -DTELVANE_WINDOWS=ON
ctest --test-dir "$TELVANE_ROOT/build" --output-on-failure -j 2

# The whole suite a second time with AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer. Any finding fails the test. Tests labelled nosan (the Windows
# cross checks under Wine, the tests of real X windows) run in the first pass only.
telvane_build "$TELVANE_ROOT/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANE_SANITIZE=ON \
    -DBUILD_TESTING=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
LSAN_OPTIONS="suppressions=$TELVANE_ROOT/tests/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$TELVANE_ROOT/build-asan" --output-on-failure -j 2 -LE nosan
