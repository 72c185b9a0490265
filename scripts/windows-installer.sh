#!/usr/bin/env bash
# Makes the Windows installer, telvane-<version>-win64-setup.exe, with
# makensis (Debian's nsis) from the folder that windows-zip.sh staged, and
# res/windows/installer.nsi. The folder's listing becomes the installer's
# File lines and the uninstaller's Delete lines, so the two always match.
# The hub page entry comes with telvane-hub.exe: only when it is staged.
# Run by the Windows build's installer target (see cmake/windowspackage.cmake).
#
# Usage: windows-installer.sh OUTPUT_EXE STAGE_DIR SOURCE_DIR VERSION LICENSE HUBPAGE_EXE
set -euo pipefail

if [ $# -ne 6 ]; then
    echo "usage: $0 OUTPUT_EXE STAGE_DIR SOURCE_DIR VERSION LICENSE HUBPAGE_EXE" >&2
    exit 2
fi
output="$1"
stage="$(cd "$2" && pwd)"
source_dir="$3"
version="$4"
licence="$5"
hubpage="$6"

work="$(mktemp -d "${TMPDIR:-/tmp}/telvane-installer.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# ./platforms/qwindows.dll -> platforms\qwindows.dll
windows_path() {
    local path="${1#./}"
    echo "${path//\//\\}"
}

cd "$stage"
# Each folder, then its files.
find . -type d | sort | while read -r folder; do
    if [ "$folder" = . ]; then
        echo 'SetOutPath "$INSTDIR"'
    else
        echo "SetOutPath \"\$INSTDIR\\$(windows_path "$folder")\""
    fi
    find "$folder" -mindepth 1 -maxdepth 1 -type f | sort | while read -r file; do
        echo "File \"$stage/${file#./}\""
    done
done >"$work/install.nsh"
# The files, then the folders, deepest first and only when empty.
{
    find . -type f | sort | while read -r file; do
        echo "Delete \"\$INSTDIR\\$(windows_path "$file")\""
    done
    find . -mindepth 1 -type d | sort -r | while read -r folder; do
        echo "RMDir \"\$INSTDIR\\$(windows_path "$folder")\""
    done
} >"$work/remove.nsh"

defines=(-DVERSION="$version" -DOUTFILE="$output" -DICON="$source_dir/res/telvane.ico"
         -DLICENSE="$licence" -DINSTALL_LINES="$work/install.nsh" -DREMOVE_LINES="$work/remove.nsh")
if [ -f "$stage/telvane-hub.exe" ]; then
    defines+=(-DHUBPAGE="$hubpage")
else
    echo "windows-installer: no telvane-hub.exe staged, so no hub page entry"
fi
makensis -V2 -NOCD "${defines[@]}" "$source_dir/res/windows/installer.nsi"
echo "windows-installer: $output ($(du -k "$output" | cut -f1) KiB)"
