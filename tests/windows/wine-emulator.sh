#!/usr/bin/env bash
# The Windows build's test runner (CMAKE_CROSSCOMPILING_EMULATOR): runs one
# test program under Wine, finding Qt's DLLs and MinGW's runtime through
# WINEPATH. The prefix and its wineserver are those of the caller
# (qttests-under-wine.sh); alone it uses a prefix beside the program.
# Usage: wine-emulator.sh PROGRAM.exe ARGUMENTS...
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/winecommon.sh"

: "${WINEPREFIX:=$(dirname "$1")/wineprefix}"
export WINEPREFIX WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml="
if [ -z "${TELVANE_WINE_PATH:-}" ]; then
    echo "wine-emulator: TELVANE_WINE_PATH (Qt's bin folder and MinGW's runtime folders, colon-separated) is not set" >&2
    exit 1
fi
entries=()
IFS=: read -r -a folders <<<"$TELVANE_WINE_PATH"
for folder in "${folders[@]}"; do
    entries+=("$(wine_path_of "$folder")")
done
WINEPATH="$(IFS=';'; echo "${entries[*]}")"
export WINEPATH
# Without a console QtTest's results reach no Unix pipe: they go to a file,
# shown once the program ends.
case "$(basename "$1")" in
tst_*.exe)
    results="$(mktemp "${TMPDIR:-/tmp}/telvane-qttest.XXXXXX")"
    # A terminal gives the program a console, as on Windows (the client's
    # console test needs one; Wine makes none for a pipe).
    timeout 600 script -qec "wine $(printf '%q ' "$@") -o $(printf '%q' "$results,txt")" /dev/null >/dev/null
    status=$?
    cat "$results"
    rm -f "$results"
    exit "$status"
    ;;
esac
exec timeout 600 wine "$@"
