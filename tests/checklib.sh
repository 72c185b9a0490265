# Shared by the check scripts (sourced): failed checks are counted rather than
# ending the script, so one run reports them all; missing tools skip the test.

failures=0

# Says why a check failed and counts it.
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# skip_without TOOL:PACKAGE...: ends the test as skipped (exit 77) naming every
# tool that is not installed, with the Debian package that brings it.
skip_without() {
    local missing=() wanted
    for wanted in "$@"; do
        command -v "${wanted%%:*}" >/dev/null 2>&1 || missing+=("${wanted%%:*} (${wanted##*:})")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "SKIP: not installed: ${missing[*]}"
        exit 77
    fi
}

