#!/usr/bin/env bash
# What `cmake --install` adds for the service: the systemd user units and the
# manual pages, each checked by the tools that will read them.
# Usage: serviceinstall.sh units|manpages BUILD_DIR PREFIX UNIT_DIR
#   units     every installed user unit passes `systemd-analyze verify`
#   manpages  every docs/man page is installed and `man -l` shows it without a warning
# Exits 77 (the test's skip code) when the tool is missing or cannot run here.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/tests/scriptlib.sh"
keep_going=1
need_args "units|manpages BUILD_DIR PREFIX UNIT_DIR" "$@"
what=$1 build=$2 prefix=$3 unitdir="$3/$4"

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

case "$what" in
units)
    skip_without systemd-analyze:systemd
    units=("$unitdir"/*.service)
    [ -e "${units[0]}" ] || { echo "FAIL: no user unit installed in $unitdir"; exit 1; }
    scratch="$(mktemp -d)"
    trap 'rm -rf "$scratch"' EXIT
    mkdir -m 700 "$scratch/runtime"
    for unit in "${units[@]}"; do
        name="$(basename "$unit")"
        program="$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")"
        [ -n "$program" ] || { fail "$name has no ExecStart"; continue; }
        # The unit names the program where the configured prefix puts it;
        # the check runs it from this scratch install.
        sed "s#^ExecStart=[^ ]*#ExecStart=$prefix/bin/$(basename "$program")#" "$unit" >"$scratch/$name"
        [ -x "$prefix/bin/$(basename "$program")" ] || fail "$name starts $program, which is not installed"
        verify=(env XDG_RUNTIME_DIR="$scratch/runtime" MANPATH="$prefix/share/man" systemd-analyze --user verify)
        if ! output="$("${verify[@]}" "$scratch/$name" 2>&1)"; then
            if echo "$output" | grep -q 'Failed to initialize manager\|Failed to lookup RuntimeDirectory'; then
                echo "SKIP: systemd-analyze cannot run a user manager here: $output"
                exit 77
            fi
            fail "$name: $output"
        elif [ -n "$output" ]; then
            fail "$name: systemd-analyze warns: $output"
        fi
        grep -qx 'WantedBy=default.target' "$unit" || fail "$name does not start with the session"
        grep -q '^Restart=on-failure' "$unit" || fail "$name is not restarted on failure"
    done
    checks_done
    echo "PASS: ${#units[@]} user unit(s) verified in $unitdir"
    ;;
manpages)
    skip_without man:man-db groff:groff-base
    count=0
    for source in "$root"/docs/man/*.1; do
        page="$prefix/share/man/man1/$(basename "$source").gz" # compressed, as Debian has them
        [ -f "$page" ] || { fail "$(basename "$source") not installed"; continue; }
        warnings="$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)" || fail "man cannot show $page"
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
        MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^NAME' || fail "$(basename "$page") shows no NAME section"
        count=$((count + 1))
    done
    checks_done
    echo "PASS: $count manual page(s) installed, shown without warnings"
    ;;
*)
    echo "usage: $0 units|manpages BUILD_DIR PREFIX UNIT_DIR" >&2
    exit 2
    ;;
esac
