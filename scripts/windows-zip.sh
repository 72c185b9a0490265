#!/usr/bin/env bash
# Packs the Windows download: the three programs, every DLL they load from Qt
# and the MinGW runtime (found by following their imports), the Qt plugins a
# desktop needs, a README and the licences, as one zip with one folder inside.
# The folder stays beside the zip for the installer (scripts/windows-installer.sh).
# Run by the Windows build's zip target (see cmake/windowspackage.cmake).
#
# Usage: windows-zip.sh OUTPUT_ZIP QT_PREFIX CXX_COMPILER SOURCE_DIR EXE...
# Environment: TELVANE_DLL_PATH, more folders of DLLs (OpenSSL's, libmosquitto's),
#   colon-separated; a library's licence is looked for in ../share/doc/NAME/ beside them.
set -euo pipefail

if [ $# -lt 5 ]; then
    echo "usage: $0 OUTPUT_ZIP QT_PREFIX CXX_COMPILER SOURCE_DIR EXE..." >&2
    exit 2
fi
output="$1"
qt="$2"
cxx="$3"
source_dir="$4"
shift 4
programs=("$@")

# x86_64-w64-mingw32-g++-posix -> x86_64-w64-mingw32-
tools="$(dirname "$cxx")/$(basename "$cxx" | sed -E 's/(g\+\+|c\+\+)(-posix|-win32)?$//')"
objdump="${tools}objdump"
strip="${tools}strip"
for tool in "$objdump" "$strip" zip; do
    command -v "$tool" >/dev/null 2>&1 || { echo "windows-zip: $tool is missing" >&2; exit 1; }
done

# Where the DLLs come from: Qt, the other libraries, then the compiler's own runtime.
search=("$qt/bin")
IFS=: read -r -a more <<<"${TELVANE_DLL_PATH:-}"
search+=("${more[@]}")
for runtime in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    found="$("$cxx" -print-file-name="$runtime")"
    [ -f "$found" ] && search+=("$(dirname "$found")")
done

# Staged beside the zip, under the zip's name: the installer packs the same folder.
work="$(dirname "$output")"
name="$(basename "$output" .zip)"
stage="$work/$name"
rm -rf "$stage"
mkdir -p "$stage/platforms" "$stage/styles"

cp "${programs[@]}" "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"

imports() {
    "$objdump" -p "$1" | awk '/DLL Name:/ { print $3 }'
}

# first_in PATH FOLDER...: the first FOLDER/PATH that is a file.
first_in() {
    local path="$1" folder
    shift
    for folder in "$@"; do
        if [ -f "$folder/$path" ]; then
            echo "$folder/$path"
            return 0
        fi
    done
    return 1
}

# Follow the imports until nothing new turns up; what none of our folders has
# is Windows' own (KERNEL32.dll and the like).
pending=("$stage"/*.exe "$stage"/platforms/*.dll "$stage"/styles/*.dll)
declare -A system=()
while [ ${#pending[@]} -gt 0 ]; do
    file="${pending[0]}"
    pending=("${pending[@]:1}")
    while read -r dll; do
        [ -f "$stage/$dll" ] && continue
        if path="$(first_in "$dll" "${search[@]}")"; then
            cp "$path" "$stage/$dll"
            pending+=("$stage/$dll")
        else
            system[$dll]=1
        fi
    done < <(imports "$file")
done
echo "windows-zip: left to Windows: ${!system[*]}"

"$strip" --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/platforms/*.dll "$stage"/styles/*.dll

# Plugins beside the programs, whatever path Qt was built for.
printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\n' > "$stage/qt.conf"
# Texts with Windows line ends, for Notepad.
to_windows() { sed 's/\r*$/\r/' "$1" > "$2"; }
to_windows "$source_dir/res/windows/README.txt" "$stage/README.txt"
to_windows "$source_dir/res/windows/LICENSE.txt" "$stage/LICENSE.txt"
to_windows /usr/share/common-licenses/LGPL-3 "$stage/LGPL-3.txt"
to_windows /usr/share/common-licenses/GPL-3 "$stage/GPL-3.txt"
to_windows /usr/share/doc/mingw-w64-common/copyright "$stage/MinGW-w64-copyright.txt"
to_windows /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/GCC-copyright.txt"
if [ -f "$stage/libssl-3-x64.dll" ]; then
    to_windows /usr/share/common-licenses/Apache-2.0 "$stage/Apache-2.0.txt"
fi
if [ -f "$stage/telvane-hub.exe" ] && [ -f /usr/share/doc/libyaml-cpp0.7/copyright ]; then
    to_windows /usr/share/doc/libyaml-cpp0.7/copyright "$stage/yaml-cpp-copyright.txt"
fi

if [ -f "$stage/libmosquitto.dll" ]; then
    # As its prefix installed it, beside the bin folder its DLL came from.
    copyright="$(first_in ../share/doc/mosquitto/copyright "${more[@]}")" || {
        echo "windows-zip: libmosquitto.dll is staged, but not its copyright file (share/doc/mosquitto/copyright)" >&2
        exit 1
    }
    to_windows "$copyright" "$stage/mosquitto-copyright.txt"
fi

rm -f "$output"
(cd "$work" && zip -q -r -9 -X "$output" "$name")
echo "windows-zip: $output ($(du -k "$output" | cut -f1) KiB)"
