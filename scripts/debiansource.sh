# Fetches a Debian source package with apt-get source, through a private apt
# configuration whose only sources are deb-src twins of this machine's own deb
# sources, so neither /etc nor the repository names a mirror. Sourced by the
# Windows dependency builds (windows-qt.sh, windows-deps.sh), not run.

# check_tools COMMAND:PACKAGE...: fails, naming what is not installed, when
# any command is missing.
check_tools() {
    local tool missing=()
    for tool in "$@"; do
        command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool%%:*} (${tool##*:})")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "not installed: ${missing[*]}" >&2
        return 1
    fi
}

# debian_source PACKAGE WORK_DIR: unpacks PACKAGE's source under WORK_DIR and
# prints the folder it unpacked into. Logs go to WORK_DIR and, on a failure,
# to standard error.
debian_source() {
    local package="$1" work="$2"
    local apt_dir="$work/apt"
    if [ ! -d "$apt_dir" ]; then
        debian_source_lists "$apt_dir"
    fi
    local apt_options=(
        -o "Dir::Etc::SourceList=$apt_dir/sources.list"
        -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
        -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::Cache=$apt_dir/cache"
        -o "Debug::NoLocking=1"
        -o "APT::Sandbox::User=$(id -un)"
    )
    if [ ! -f "$apt_dir/.updated" ]; then
        apt-get "${apt_options[@]}" -q update >"$work/apt-update.log" 2>&1 \
            || { cat "$work/apt-update.log" >&2; return 1; }
        touch "$apt_dir/.updated"
    fi
    # Newest first; a mirror may lack the newest one's files (a security
    # update not mirrored yet), then the one before serves.
    local unpacked="$work/source-$package" version
    for version in "" $(apt-cache "${apt_options[@]}" showsrc "$package" 2>/dev/null \
                        | sed -n 's/^Version: //p' | sort -u -r -V); do
        rm -rf "$unpacked"
        mkdir -p "$unpacked"
        if (cd "$unpacked" && apt-get "${apt_options[@]}" -q source "$package${version:+=$version}" \
                >>"$work/apt-source-$package.log" 2>&1); then
            find "$unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1
            return 0
        fi
    done
    cat "$work/apt-source-$package.log" >&2
    return 1
}

# The deb-src lists of debian_source, from /etc/apt's deb entries.
debian_source_lists() {
    local apt_dir="$1" list sources
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    : >"$apt_dir/sources.list"
    if [ -f /etc/apt/sources.list ]; then
        sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' /etc/apt/sources.list >>"$apt_dir/sources.list"
    fi
    for list in /etc/apt/sources.list.d/*.list; do
        [ -f "$list" ] || continue
        sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$list" >>"$apt_dir/sources.list"
    done
    for sources in /etc/apt/sources.list.d/*.sources; do
        [ -f "$sources" ] || continue
        # deb822 stanzas: keep those whose Types include deb, as deb-src.
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)Types:[^\n]*[[:space:]]deb([[:space:]]|$)/ {
                 sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' \
            "$sources" >"$apt_dir/sources.list.d/$(basename "$sources")"
    done
}
