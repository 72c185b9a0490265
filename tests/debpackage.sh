#!/usr/bin/env bash
# Makes the Debian package of a build (cpack -G DEB), unpacks it into a
# throwaway root with dpkg -x, checks that it carries the programs, the
# desktop entry, the icons and whatever man pages and user units the source
# has, that dpkg-shlibdeps gave it Qt's libraries as dependencies, runs
# lintian on it (its findings are printed; errors fail the test) and runs
# telvane-client --help from the unpacked root.
# Usage: debpackage.sh BUILD_DIR SOURCE_DIR WORK_DIR
# Exits 77 (the test's skip code) when the Debian tools are missing.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/scriptlib.sh"
keep_going=1
need_args "BUILD_DIR SOURCE_DIR WORK_DIR" "$@"
build=$1 source_dir=$2 work=$3
skip_without cpack:cmake dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev lintian:lintian

rm -rf "$work"
mkdir -p "$work/root"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1; then
    echo "FAIL: cpack could not make the package:"
    cat "$work/cpack.log"
    exit 1
fi
package="$(find "$work" -maxdepth 1 -name 'telvane_*.deb' | head -n 1)"
if [ -z "$package" ]; then
    echo "FAIL: cpack made no telvane_*.deb:"
    cat "$work/cpack.log"
    exit 1
fi
echo "package: $(basename "$package"), $(du -k "$package" | cut -f1) KiB"
dpkg-deb --field "$package" Package Version Architecture Depends

depends="$(dpkg-deb --field "$package" Depends)"
for library in libqt5core5a libqt5gui5 libqt5widgets5 libqt5network5 libc6 libstdc++6; do
    grep -q -w -e "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done

dpkg -x "$package" "$work/root"
expected=(usr/bin/telvane usr/bin/telvane-publish usr/bin/telvane-client
          usr/share/applications/telvane.desktop
          usr/share/icons/hicolor/48x48/apps/telvane.png
          usr/share/icons/hicolor/256x256/apps/telvane.png
          usr/share/doc/telvane/copyright usr/share/doc/telvane/changelog.gz)
for page in "$source_dir"/docs/man/*.1; do
    [ -f "$page" ] && expected+=("usr/share/man/man1/$(basename "$page").gz")
done
for unit in "$source_dir"/res/systemd/*.service; do
    [ -f "$unit" ] && expected+=("usr/lib/systemd/user/$(basename "$unit")")
done
for file in "${expected[@]}"; do
    [ -e "$work/root/$file" ] || fail "the package lacks /$file"
done

if help="$("$work/root/usr/bin/telvane-client" --help 2>&1)" && grep -q -e '--port' <<<"$help"; then
    echo "telvane-client --help from the unpacked package: $(head -n 1 <<<"$help")"
else
    fail "telvane-client --help from the unpacked package failed:"$'\n'"$help"
fi

# lintian tells its findings; errors fail the test, warnings are shown.
lintian --tag-display-limit 0 "$package" >"$work/lintian.txt" 2>&1
echo "lintian:"
sed 's/^/  /' "$work/lintian.txt"
if grep -q '^E: ' "$work/lintian.txt"; then
    fail "lintian found errors"
fi

checks_done
echo "PASS: $(basename "$package") unpacks, carries ${#expected[@]} expected files, and its telvane-client runs"
