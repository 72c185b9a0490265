#!/usr/bin/env bash
# Builds the libraries besides Qt that the Windows build of telvane-hub links
# against, each from Debian's own source, cross-compiled for x86_64-w64-mingw32
# and installed once into a cache folder outside the work tree:
#   OpenSSL   (HTTPS, bcrypt's salt): shared, libssl-3-x64.dll and libcrypto-3-x64.dll
#   yaml-cpp  (the config file): static, so no DLL to ship
#
# Usage: scripts/windows-deps.sh [--print-prefix]
#   Prints two lines, the OpenSSL prefix and the yaml-cpp prefix, as the last
#   lines of standard output. --print-prefix prints where they go without building.
# Environment: XDG_CACHE_HOME (default ~/.cache), TELVANE_QT_JOBS (default: the
#   number of processors), TMPDIR for the temporary build folder.
# Needs: dpkg-dev, g++-mingw-w64-x86-64-posix, cmake, make, perl.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
target=x86_64-w64-mingw32
openssl_options=(mingw64 shared no-tests no-legacy no-engine "--cross-compile-prefix=$target-" CC=gcc-posix)
yaml_options=(-DCMAKE_BUILD_TYPE=Release -DYAML_BUILD_SHARED_LIBS=OFF -DYAML_CPP_BUILD_TESTS=OFF
              -DYAML_CPP_BUILD_TOOLS=OFF -DYAML_CPP_BUILD_CONTRIB=OFF)
# The options and the toolchain go into each cache key: a change builds anew beside the old.
key_of() { printf '%s\n' "$target" "$@" | sha1sum | cut -c1-10; }
cache="${XDG_CACHE_HOME:-$HOME/.cache}/telvane"
openssl_prefix="$cache/openssl-mingw64-$(key_of "${openssl_options[@]}")"
yaml_prefix="$cache/yaml-cpp-mingw64-$(key_of "${yaml_options[@]}" "$(cat "$here/../cmake/toolchain-mingw-w64.cmake")")"
complete=.telvane-deps-complete

if [ "${1:-}" = "--print-prefix" ]; then
    printf '%s\n' "$openssl_prefix" "$yaml_prefix"
    exit 0
elif [ $# -ne 0 ]; then
    echo "usage: $0 [--print-prefix]" >&2
    exit 2
fi

say() { echo "windows-deps: $*" >&2; }
source "$here/debiansource.sh"

check_tools "$target-gcc-posix:gcc-mingw-w64-x86-64-posix" "$target-g++-posix:g++-mingw-w64-x86-64-posix" \
            "$target-windres:binutils-mingw-w64-x86-64" dpkg-source:dpkg-dev apt-get:apt cmake:cmake \
            make:make perl:perl || exit 1

mkdir -p "$cache"
# One build at a time: a second run waits, then finds the first one's result.
exec 9>"$cache/.windows-deps.lock"
flock 9
if [ -f "$openssl_prefix/$complete" ] && [ -f "$yaml_prefix/$complete" ]; then
    say "reusing $openssl_prefix and $yaml_prefix"
    printf '%s\n' "$openssl_prefix" "$yaml_prefix"
    exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/telvane-windows-deps.XXXXXX")"
trap 'rm -rf "$work"' EXIT
jobs="${TELVANE_QT_JOBS:-$(nproc)}"
log="$cache/windows-deps.log"
: >"$log"
step() {
    if ! "$@" >>"$log" 2>&1; then
        say "failed: $*; the end of $log:"
        tail -n 40 "$log" >&2
        exit 1
    fi
}

build_openssl() {
    say "fetching Debian's openssl source"
    local source_dir
    source_dir="$(debian_source openssl "$work")" || exit 1
    say "building OpenSSL into $openssl_prefix (log: $log)"
    rm -rf "$openssl_prefix"
    # Only the libraries: no programs, tests or manual pages.
    cd "$source_dir"
    step ./Configure "${openssl_options[@]}" --prefix="$openssl_prefix" --libdir=lib
    step make -j "$jobs" build_libs
    step make install_dev
    touch "$openssl_prefix/$complete"
}

build_yaml_cpp() {
    say "fetching Debian's yaml-cpp source"
    local source_dir
    source_dir="$(debian_source yaml-cpp "$work")" || exit 1
    say "building yaml-cpp into $yaml_prefix (log: $log)"
    rm -rf "$yaml_prefix"
    step cmake -S "$source_dir" -B "$work/yaml-build" -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/toolchain-mingw-w64.cmake" \
        -DCMAKE_INSTALL_PREFIX="$yaml_prefix" "${yaml_options[@]}"
    step cmake --build "$work/yaml-build" -j "$jobs"
    step cmake --install "$work/yaml-build"
    touch "$yaml_prefix/$complete"
}

started=$SECONDS
[ -f "$openssl_prefix/$complete" ] || build_openssl
[ -f "$yaml_prefix/$complete" ] || build_yaml_cpp
say "built in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
printf '%s\n' "$openssl_prefix" "$yaml_prefix"
