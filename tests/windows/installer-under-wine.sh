#!/usr/bin/env bash
# The Windows installer under Wine (a new private prefix, a private X server,
# a network namespace of its own): silent install and update, what they leave
# where, Telvane from the install folder, the hub page entry when the hub is
# installed, and a silent uninstall that leaves no trace.
# Usage: installer-under-wine.sh SETUP_EXE WORK_DIR
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../scriptlib.sh"
keep_going=1
need_args "SETUP_EXE WORK_DIR" "$@"
setup="$(realpath -m "$1")"
work="$(realpath -m "$2")"
[ -f "$setup" ] || { echo "SKIP: $setup was not built: it needs the Windows build (scripts/windows-qt.sh, then cmake) and makensis (nsis)"; exit 77; }
source "$here/winecommon.sh"
source "$here/../../scripts/x11capture.sh"
missing="$(wine_missing_tools) $(x11_missing_tools)"
[ -z "${missing// /}" ] || { echo "SKIP: not installed: $missing"; exit 77; }
wine_enter_namespace "$0" "$@" || exit $?

rm -rf "$work"
logs="$work/logs"
mkdir -p "$logs"
trap 'wine_stop; x11_cleanup' EXIT
x11_start_server || exit 1
wine_start "$work/prefix" || exit 1

unix_path() { winepath -u "$(wine cmd /c echo "$1" | tr -d '\r')"; }
local_data="$(unix_path '%LOCALAPPDATA%')"
menu="$(unix_path '%APPDATA%')/Microsoft/Windows/Start Menu/Programs"
folder="$local_data/Programs/Telvane"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Telvane'
our_files() { find "$menu" "$local_data/Programs" 2>/dev/null | sort; }
files_before="$(our_files)"

wine "$setup" /S || fail "the silent install failed"
[ -e "$menu/StartUp/Telvane.lnk" ] && fail "sign-in start is on without /AUTOSTART=1"
echo "the user's own" >"$folder/mine.txt"
wine "$setup" /S /AUTOSTART=1 || fail "the silent install over the first failed"
for file in telvane.exe telvane-publish.exe telvane-client.exe platforms/qwindows.dll \
            styles/qwindowsvistastyle.dll qt.conf README.txt LICENSE.txt uninstall.exe mine.txt; do
    [ -f "$folder/$file" ] || fail "the install folder lacks $file"
done
mqtt_library_beside "$folder" || fail "the install folder lacks libmosquitto.dll or mosquitto-copyright.txt"
# A shortcut's show command is the 32-bit word at offset 60: 1 normal, 7 minimized, not activated.
shortcut_is() {
    [ "$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')" = "$2" ] && grep -a -q -F "Programs\\Telvane\\$3" "$1" \
        || fail "$1 is not a shortcut to $3 with show command $2"
}
shortcut_is "$menu/Telvane.lnk" 1 telvane.exe
shortcut_is "$menu/StartUp/Telvane.lnk" 7 telvane.exe

# reg query's lines as "name type value".
values="$(wine reg query "$key" | tr -d '\r' | sed -E 's/^ +//; s/    / /g')"
installed="$(wine cmd /c echo '%LOCALAPPDATA%\Programs\Telvane' | tr -d '\r')"
version="$(basename "$setup" | sed -E 's/^telvane-(.*)-win64-setup\.exe$/\1/')"
for value in "DisplayName REG_SZ Telvane" "DisplayVersion REG_SZ $version" "Publisher REG_SZ Telvane developers" \
             "DisplayIcon REG_SZ $installed\\telvane.exe" "UninstallString REG_SZ \"$installed\\uninstall.exe\"" \
             "QuietUninstallString REG_SZ \"$installed\\uninstall.exe\" /S" "NoModify REG_DWORD 0x1" "NoRepair REG_DWORD 0x1"; do
    grep -q -x -F -e "$value" <<<"$values" || fail "$key lacks \"$value\""
done
size="$(sed -n -E 's/^EstimatedSize REG_DWORD (0x[0-9a-f]+)$/\1/p' <<<"$values")"
[ "$((${size:-0}))" -gt 10000 ] || fail "EstimatedSize is ${size:-missing} KiB, less than the Qt DLLs alone"

cd "$folder" || exit 1
wine_demo_and_telvane "$logs"
if [ -f telvane-hub.exe ]; then
    shortcut_is "$menu/Telvane hub page.lnk" 1 telvane-hubpage.exe
    # Wine hands web pages to the programs in this list; ours notes them.
    printf '#!/bin/sh\necho "$1" >>"%s"\n' "$work/opened" >"$work/browser" && chmod +x "$work/browser"
    wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$work/browser" /f >/dev/null
    wine telvane-hubpage.exe && wine telvane-hubpage.exe || fail "telvane-hubpage.exe failed"
    opened_twice() { [ "$(cat "$work/opened" 2>/dev/null)" = $'http://127.0.0.1:9881/\nhttp://127.0.0.1:9881/' ]; }
    x11_wait_until 30 opened_twice || fail "the hub page was not opened twice: $(cat "$work/opened" 2>/dev/null)"
else
    echo "no telvane-hub.exe in this build: the hub page entry is left unchecked"
fi
stop_windows_programs

cd "$work" || exit 1
# The uninstaller runs on from a copy of itself, so its end is awaited.
wine "$folder/uninstall.exe" /S || fail "the silent uninstall failed"
leftovers() { our_files | grep -v -x -F -e "$local_data/Programs" -e "$folder" -e "$folder/mine.txt"; }
no_trace() { [ "$(leftovers)" = "$files_before" ] && ! wine reg query "$key" >/dev/null 2>&1; }
deadline=$((SECONDS + 60)) # a reg query takes a while: a deadline, not a count of tries
until no_trace || [ "$SECONDS" -ge "$deadline" ]; do sleep 1; done
no_trace || fail "the uninstall left traces:"$'\n'"$(diff <(echo "$files_before") <(leftovers))"$'\n'"$(wine reg query "$key")"
[ -f "$folder/mine.txt" ] || fail "the uninstall removed the user's own file"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed; logs in $logs"; exit 1; }
echo "PASS: the installer under Wine: silent install and update, files, shortcuts, Apps & features values, start-up lines, silent uninstall without traces"
