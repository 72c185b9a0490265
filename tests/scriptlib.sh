# Shared by the end-to-end scripts (sourced): a work folder, the background
# processes in $pids stopped at exit, fail with the logs, and within.
work=$(mktemp -d)
pids=
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    for pid in $pids; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Says why, shows the end of every log in $work, and ends the test.
fail() {
    echo "FAIL: $*"
    for log in "$work"/*.log; do echo "--- $log"; tail -n 20 "$log"; done
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
