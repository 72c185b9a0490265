# Shared by the test scripts (sourced; plain sh). A failed check is counted
# when the script sets keep_going, so one run reports them all (checks_done
# ends it); otherwise it shows the logs in $work and ends the script.
failures=0

# need_args "USAGE" "$@": ends with the usage line unless the arguments fit
# it: one for each word, where a [WORD] may be left out and a WORD... repeat.
need_args() {
    usage=$1; shift
    least=0 most=0
    for word in $(echo "$usage" | tr -d ']'); do
        most=$((most + 1))
        case $word in
        \[*) ;;
        *...) least=$((least + 1)) most=99 ;;
        *) least=$((least + 1)) ;;
        esac
    done
    [ $# -ge "$least" ] && [ $# -le "$most" ] && return 0
    echo "usage: $0 $usage" >&2
    exit 2
}

# skip_without TOOL:PACKAGE...: ends the test as skipped (exit 77) naming every
# tool that is not installed, with the Debian package that brings it.
skip_without() {
    missing=
    for wanted in "$@"; do
        command -v "${wanted%%:*}" >/dev/null 2>&1 || missing="$missing ${wanted%%:*} (${wanted##*:})"
    done
    [ -z "$missing" ] && return 0
    echo "SKIP: not installed:$missing"
    exit 77
}

# A work folder of its own; the background processes in $pids stop at exit.
start_work() {
    work=$(mktemp -d)
    pids=
    trap cleanup EXIT
    trap 'exit 1' INT TERM
}
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    for pid in $pids; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
    [ -n "${keep_going:-}" ] && return 0
    for log in "$work"/*.log; do echo "--- $log"; tail -n 20 "$log"; done
    exit 1
}

checks_done() {
    [ "$failures" -eq 0 ] && return 0
    echo "$failures check(s) failed"
    exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
within() {
    limit=$(( $1 * 10 )); shift
    while [ "$limit" -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        limit=$((limit - 1))
    done
    return 1
}
