#!/usr/bin/env bash
# Builds the Qt that the Windows build of Telvane links against: Debian's own
# qtbase 5.15.8 source, cross-compiled for x86_64-w64-mingw32 with only what
# Telvane needs, installed once into a cache folder outside the work tree and
# reused by every later run.
#
# Usage: scripts/windows-qt.sh [--print-prefix]
#   Prints the Qt prefix as its last line of standard output (a folder with
#   lib/cmake/Qt5 inside). --print-prefix prints where it goes without building.
# Environment: XDG_CACHE_HOME (default ~/.cache), TELVANE_QT_JOBS (default: the
#   number of processors), TMPDIR for the temporary build folder.
# Needs: dpkg-dev (dpkg-source), g++-mingw-w64-x86-64-posix, build-essential.
set -euo pipefail

qt_version=5.15.8
target=x86_64-w64-mingw32

# Everything but the prefix goes into the cache key, so a change of options
# builds a new Qt beside the old one instead of reusing the wrong one.
options=(
    -release -opensource -confirm-license -shared
    -xplatform win32-g++
    -nomake examples -nomake tests
    # Debian's tarball lacks src/3rdparty/wintab, which tablet events need.
    -no-feature-tabletevent
    -qt-zlib -qt-libpng -qt-pcre -qt-freetype -qt-harfbuzz -qt-doubleconversion
    -no-opengl -no-dbus -no-icu -no-feature-sql -no-feature-xml
    -no-feature-concurrent -no-ssl -no-direct2d -no-vulkan -no-libjpeg
)
key="$(printf '%s\n' "$qt_version" "$target" "${options[@]}" | sha1sum | cut -c1-10)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/telvane"
prefix="$cache/qt$qt_version-mingw64-$key"
stamp="$prefix/.telvane-qt-complete"

if [ "${1:-}" = "--print-prefix" ]; then
    echo "$prefix"
    exit 0
elif [ $# -ne 0 ]; then
    echo "usage: $0 [--print-prefix]" >&2
    exit 2
fi

say() { echo "windows-qt: $*" >&2; }
source "$(dirname "${BASH_SOURCE[0]}")/debiansource.sh"

if [ -f "$stamp" ]; then
    say "reusing $prefix"
    echo "$prefix"
    exit 0
fi

check_tools "$target-g++-posix:g++-mingw-w64-x86-64-posix" "$target-gcc-posix:gcc-mingw-w64-x86-64-posix" \
            "$target-windres:binutils-mingw-w64-x86-64" dpkg-source:dpkg-dev apt-get:apt \
            g++:build-essential make:make perl:perl || exit 1

mkdir -p "$cache"
# One build at a time: a second run waits, then finds the first one's result.
exec 9>"$cache/.qt$qt_version-mingw64-$key.lock"
flock 9
if [ -f "$stamp" ]; then
    say "reusing $prefix"
    echo "$prefix"
    exit 0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/telvane-windows-qt.XXXXXX")"
trap 'rm -rf "$work"' EXIT
started=$SECONDS

say "fetching Debian's qtbase-opensource-src source"
source_dir="$(debian_source qtbase-opensource-src "$work")" || exit 1
if [ -z "$source_dir" ] || [ ! -x "$source_dir/configure" ] || [[ "$source_dir" != *"-$qt_version"* ]]; then
    say "apt did not bring qtbase $qt_version with a configure script:"
    cat "$work/apt-source-qtbase-opensource-src.log" >&2
    exit 1
fi

# Qt's win32-g++ spec calls $CROSS_COMPILE followed by gcc, g++, ar, windres...;
# the default MinGW compilers use win32 threads, Qt needs the POSIX ones.
tools="$work/tools"
mkdir -p "$tools"
for tool in gcc g++ c++ cpp; do
    ln -s "$(command -v "$target-$tool-posix")" "$tools/$target-$tool"
done
for tool in ar as ld nm objcopy objdump ranlib strip windres dlltool; do
    ln -s "$(command -v "$target-$tool")" "$tools/$target-$tool"
done

rm -rf "$prefix"
build_dir="$work/build"
mkdir -p "$build_dir"
cd "$build_dir"
# Qt's build talks a lot: its output goes to a log beside the cache.
log="$cache/qt$qt_version-mingw64-$key.log"
step() {
    if ! "$@" >>"$log" 2>&1; then
        say "failed: $*; the end of $log:"
        tail -n 40 "$log" >&2
        exit 1
    fi
}
: >"$log"
say "configuring into $prefix (log: $log)"
step "$source_dir/configure" -prefix "$prefix" -device-option "CROSS_COMPILE=$tools/$target-" "${options[@]}"
jobs="${TELVANE_QT_JOBS:-$(nproc)}"
say "building with $jobs jobs"
step make -j "$jobs"
step make install
touch "$stamp"
say "built and installed in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
echo "$prefix"
