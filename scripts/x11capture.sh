# Shared by tests/realwindow.sh and scripts/screenshot.sh: starts a private X
# server, the demo publisher and Telvane on it, finds Telvane's main window and
# photographs it. Sourced, not run. Every wait is bounded, and everything
# started here is stopped again when the sourcing script exits.

x11_pids=()
x11_workdir=""
x11_window=""

trap x11_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Tools it needs, with the Debian packages that bring them.
x11_missing_tools() {
    local tool missing=()
    for tool in Xvfb:xvfb xdotool:xdotool xwininfo:x11-utils import:imagemagick identify:imagemagick; do
        command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool%%:*} (${tool##*:})")
    done
    echo "${missing[*]}"
}

x11_cleanup() {
    local index pid waited
    # Newest first: Telvane, then the publisher (which removes its section), then X.
    for ((index = ${#x11_pids[@]} - 1; index >= 0; index--)); do
        pid="${x11_pids[index]}"
        kill -TERM "$pid" 2>/dev/null || continue
        for ((waited = 0; waited < 50; waited++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    x11_pids=()
    if [ -n "$x11_workdir" ]; then
        rm -rf "$x11_workdir"
    fi
}

# x11_wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it
# succeeds; fails after SECONDS.
x11_wait_until() {
    local tries=$(($1 * 10))
    shift
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

x11_file_has_text() {
    [ -s "$1" ] && grep -q -e "$2" "$1"
}

# x11_publishing PID: true once the publisher says it publishes, or has ended.
x11_publishing() {
    x11_file_has_text "$x11_workdir/publisher.log" '^telvane-publish: publishing' || ! kill -0 "$1" 2>/dev/null
}

# Starts Xvfb on a free display and exports DISPLAY.
x11_start_server() {
    x11_workdir="$(mktemp -d "${TMPDIR:-/tmp}/telvane-x11.XXXXXX")"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
        3>"$x11_workdir/display" >"$x11_workdir/xvfb.log" 2>&1 &
    x11_pids+=($!)
    if ! x11_wait_until 20 x11_file_has_text "$x11_workdir/display" '[0-9]'; then
        echo "Xvfb did not start:" >&2
        cat "$x11_workdir/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=":$(head -n 1 "$x11_workdir/display")"
}

# Starts `telvane-publish --demo` under the product's section name and waits
# until it publishes.
x11_start_publisher() {
    local publisher="$1"
    "$publisher" --demo >"$x11_workdir/publisher.log" 2>&1 &
    x11_pids+=($!)
    x11_wait_until 20 x11_publishing $! || true
    if ! x11_file_has_text "$x11_workdir/publisher.log" '^telvane-publish: publishing'; then
        echo "telvane-publish did not start publishing:" >&2
        cat "$x11_workdir/publisher.log" >&2
        return 1
    fi
}

# x11_window_found TITLE PID: true once a visible window titled TITLE exists
# (its id then in x11_window), or once process PID has ended.
x11_window_found() {
    x11_window="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)"
    [ -n "$x11_window" ] || ! kill -0 "$2" 2>/dev/null
}

# Starts Telvane on the X server and sets x11_window to its main window's id.
x11_start_telvane() {
    QT_QPA_PLATFORM=xcb "$1" >"$x11_workdir/telvane.log" 2>&1 &
    x11_pids+=($!)
    x11_wait_until 30 x11_window_found Telvane $! || true
    if [ -z "$x11_window" ]; then
        echo "no visible top-level window titled \"Telvane\" appeared; Telvane's output:" >&2
        cat "$x11_workdir/telvane.log" >&2
        return 1
    fi
}

# Prints a window's size as WIDTHxHEIGHT.
x11_window_size() {
    xwininfo -id "$1" | awk '/^ *Width:/ { w = $2 } /^ *Height:/ { h = $2 } END { print w "x" h }'
}

x11_colour_count() {
    identify -format '%k' "$1" 2>/dev/null || echo 0
}

x11_shot_is_painted() {
    import -window "$1" "png:$2" 2>/dev/null && [ "$(x11_colour_count "$2")" -ge "$3" ]
}

# x11_photograph WINDOW FILE MINIMUM_COLOURS: saves the window as a PNG once
# it shows at least MINIMUM_COLOURS colours (a window not yet painted is one
# flat colour); fails if it never does within 20 s.
x11_photograph() {
    if ! x11_wait_until 20 x11_shot_is_painted "$@"; then
        echo "the window never showed $3 colours (last shot: $(x11_colour_count "$2"))" >&2
        return 1
    fi
}

# x11_capture_telvane TELVANE PUBLISHER FILE: the whole run, leaving the main
# window's id in x11_window and its photograph in FILE.
x11_capture_telvane() {
    x11_start_server || return 1
    x11_start_publisher "$2" || return 1
    x11_start_telvane "$1" || return 1
    echo "window $x11_window: $(x11_window_size "$x11_window")"
    x11_photograph "$x11_window" "$3" 64 || return 1
    echo "screenshot: $(x11_colour_count "$3") colours"
}
