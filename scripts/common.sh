# Shared by run.sh and test.sh: installs what is missing and builds.
# Sourced, not run.

set -euo pipefail

TELVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

telvane_install_packages() {
    local wanted=() missing=()
    mapfile -t wanted < <(grep -v -e '^#' -e '^[[:space:]]*$' "$TELVANE_ROOT/scripts/packages.txt")
    for package in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${missing[@]}"
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
