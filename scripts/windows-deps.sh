#!/usr/bin/env bash
# Builds the libraries besides Qt that the Windows build of telvane-hub links
# against, each from Debian's own source, cross-compiled for x86_64-w64-mingw32
# and installed once into a cache folder outside the work tree:
#   OpenSSL   (HTTPS, bcrypt's salt): shared, libssl-3-x64.dll and libcrypto-3-x64.dll
#   yaml-cpp  (the config file): static, so no DLL to ship
#   libmosquitto (MQTT), the client library alone, with TLS through that
#             OpenSSL: shared, libmosquitto.dll, shipped as it is built, beside
#             its licence (Debian's copyright file of the source, in the prefix)
#
# Usage: scripts/windows-deps.sh [--print-prefix]
#   Prints three lines, the OpenSSL, yaml-cpp and libmosquitto prefixes, as the
#   only lines of standard output. --print-prefix prints where they go without building.
# Environment: XDG_CACHE_HOME (default ~/.cache), TELVANE_QT_JOBS (default: the
#   number of processors), TMPDIR for the temporary build folder.
# Needs: dpkg-dev, g++-mingw-w64-x86-64-posix, cmake, make, perl.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
target=x86_64-w64-mingw32
openssl_options=(mingw64 shared no-tests no-legacy no-engine "--cross-compile-prefix=$target-" CC=gcc-posix)
yaml_options=(-DCMAKE_BUILD_TYPE=Release -DYAML_BUILD_SHARED_LIBS=OFF -DYAML_CPP_BUILD_TESTS=OFF
              -DYAML_CPP_BUILD_TOOLS=OFF -DYAML_CPP_BUILD_CONTRIB=OFF)
# No broker, programs, plugins, C++ wrapper, manual pages or cJSON (which only
# those use); threads as Debian's library has them, so mosquitto_loop_start works.
mosquitto_options=(-DCMAKE_BUILD_TYPE=Release -DWITH_TLS=ON -DWITH_THREADING=ON -DWITH_CJSON=OFF
                   -DWITH_BROKER=OFF -DWITH_CLIENTS=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF
                   -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF -DWITH_SRV=OFF -DWITH_STATIC_LIBRARIES=OFF)
# Its CMake file links a Windows build against pthreads-win32 in C:\pthreads;
# MinGW's own winpthreads serves as on Linux once the MSVC branch is kept to MSVC.
mosquitto_fix='/^option(WITH_THREADING/,/^endif (WITH_THREADING)/ s/^\tif (WIN32)$/\tif (MSVC)/'
# The options and the toolchain go into each cache key: a change builds anew beside the old.
key_of() { printf '%s\n' "$target" "$@" | sha1sum | cut -c1-10; }
cache="${XDG_CACHE_HOME:-$HOME/.cache}/telvane"
openssl_prefix="$cache/openssl-mingw64-$(key_of "${openssl_options[@]}")"
yaml_prefix="$cache/yaml-cpp-mingw64-$(key_of "${yaml_options[@]}" "$(cat "$here/../cmake/toolchain-mingw-w64.cmake")")"
# libmosquitto's key holds OpenSSL's: a new OpenSSL builds it anew.
mosquitto_prefix="$cache/mosquitto-mingw64-$(key_of "${mosquitto_options[@]}" "$mosquitto_fix" "${openssl_prefix##*/}" \
                                                    "$(cat "$here/../cmake/toolchain-mingw-w64.cmake")")"
prefixes=("$openssl_prefix" "$yaml_prefix" "$mosquitto_prefix")
complete=.telvane-deps-complete

if [ "${1:-}" = "--print-prefix" ]; then
    printf '%s\n' "${prefixes[@]}"
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
all_complete() {
    local prefix
    for prefix in "${prefixes[@]}"; do
        [ -f "$prefix/$complete" ] || return 1
    done
}
if all_complete; then
    say "reusing ${prefixes[*]}"
    printf '%s\n' "${prefixes[@]}"
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

build_mosquitto() {
    say "fetching Debian's mosquitto source"
    local source_dir
    source_dir="$(debian_source mosquitto "$work")" || exit 1
    say "building libmosquitto into $mosquitto_prefix (log: $log)"
    rm -rf "$mosquitto_prefix"
    step sed -i "$mosquitto_fix" "$source_dir/CMakeLists.txt"
    if ! grep -q -x -P '\tif \(MSVC\)' "$source_dir/CMakeLists.txt"; then
        say "the threads fix no longer applies to mosquitto's CMakeLists.txt"
        exit 1
    fi
    step cmake -S "$source_dir" -B "$work/mosquitto-build" \
        -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/toolchain-mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$openssl_prefix" \
        -DCMAKE_INSTALL_PREFIX="$mosquitto_prefix" "${mosquitto_options[@]}"
    step cmake --build "$work/mosquitto-build" -j "$jobs"
    step cmake --install "$work/mosquitto-build"
    # Its install rule leaves out the import library that MinGW links through,
    # and adds the C++ wrapper's pkg-config file even when that is not built.
    step cp "$work/mosquitto-build/lib/libmosquitto.dll.a" "$mosquitto_prefix/lib/"
    rm -f "$mosquitto_prefix/lib/pkgconfig/libmosquittopp.pc"
    step install -D -m 644 "$source_dir/debian/copyright" "$mosquitto_prefix/share/doc/mosquitto/copyright"
    touch "$mosquitto_prefix/$complete"
}

started=$SECONDS
[ -f "$openssl_prefix/$complete" ] || build_openssl
[ -f "$yaml_prefix/$complete" ] || build_yaml_cpp
[ -f "$mosquitto_prefix/$complete" ] || build_mosquitto
say "built in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
printf '%s\n' "${prefixes[@]}"
