# Shared by run.sh, test.sh and windows-build.sh: installs what is missing and
# builds. Sourced, not run.

set -euo pipefail

TELVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The packages of the named lists (scripts/packages-NAME.txt) that are not
# installed yet.
telvane_missing_packages() {
    local list wanted=()
    for list in "$@"; do
        mapfile -t -O "${#wanted[@]}" wanted < <(grep -v -e '^#' -e '^[[:space:]]*$' "$TELVANE_ROOT/scripts/packages-$list.txt")
    done
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || echo "$package"
    done
}

# telvane_install_packages LIST... installs what is missing of
# scripts/packages-LIST.txt with apt-get (as root, otherwise through sudo).
# With TELVANE_QUIET_LOG set, apt-get's output goes to that file, shown only
# when apt-get fails.
telvane_install_packages() {
    local missing=()
    mapfile -t missing < <(telvane_missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    telvane_step "installing packages" "${sudo[@]}" apt-get update
    telvane_step "installing packages" env DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
}

# telvane_step WHAT COMMAND... runs the command; with TELVANE_QUIET_LOG set,
# its output goes to that file and only a failure shows the log's end.
telvane_step() {
    local what="$1"; shift
    if [ -z "${TELVANE_QUIET_LOG:-}" ]; then
        "$@"
        return
    fi
    if ! "$@" >>"$TELVANE_QUIET_LOG" 2>&1; then
        echo "---- the end of $TELVANE_QUIET_LOG ----" >&2
        tail -n 40 "$TELVANE_QUIET_LOG" >&2
        echo "----" >&2
        echo "Failed while $what: the whole output is in $TELVANE_QUIET_LOG" >&2
        exit 1
    fi
}

# telvane_build BUILD_DIR [extra cmake arguments...]
telvane_build() {
    local dir="$1"; shift
    cmake -S "$TELVANE_ROOT" -B "$dir" "$@"
    cmake --build "$dir" -j "$(nproc)"
}

# Without a display Qt cannot open a window; the offscreen platform still runs
# the program, and its log still reaches the terminal.
telvane_choose_platform() {
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
        export QT_QPA_PLATFORM=offscreen
    fi
}
