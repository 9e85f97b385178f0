#!/usr/bin/env bash
# The two Debian packages installed outside the build tree (unpacked into a temporary root),
# then the installed programs used as a user would: --help and --version, and the installed
# tunnel server with two installed headless kavlink passing messages between two LAN ports.
#
# Usage: install_check.sh PACKAGE_DIR SOURCE_DIR
# Exit status: 0 passed, 1 failed, 77 skipped (dpkg-deb is missing).
set -uo pipefail

readonly DEBS=${1:?usage: install_check.sh PACKAGE_DIR SOURCE_DIR}
readonly SOURCE=${2:?usage: install_check.sh PACKAGE_DIR SOURCE_DIR}

if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "SKIP: dpkg-deb is not installed"
    exit 77
fi
root=$(mktemp -d "${TMPDIR:-/tmp}/kavlink-root.XXXXXX") || exit 1
trap 'rm -rf "$root"' EXIT

fail() {
    echo "FAIL: $*"
    exit 1
}

shopt -s nullglob
debs=("$DEBS"/kavlink_*.deb "$DEBS"/kavlink-server_*.deb)
((${#debs[@]} == 2)) || fail "want kavlink_*.deb and kavlink-server_*.deb in $DEBS"
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root" || fail "cannot unpack $deb"
done
bin=$root/usr/bin
version=$(dpkg-deb -f "${debs[0]}" Version)
echo "ok: both packages unpacked into $root"

for program in kavlink kavlink-server kavlink-lan; do
    missing=$(ldd "$bin/$program" | grep 'not found')
    [[ -z $missing ]] || fail "$program lacks libraries: $missing"
    # A display that does not exist: --help and --version must not need one.
    out=$(DISPLAY=:999 "$bin/$program" --version 2>&1) || fail "$program --version failed: $out"
    [[ $out == *"$version" ]] || fail "$program --version says \"$out\", not $version"
    out=$(DISPLAY=:999 "$bin/$program" --help 2>&1) || fail "$program --help failed: $out"
    [[ $out == *--profile* || $out == *--port* ]] || fail "$program --help shows no usage: $out"
done
echo "ok: the installed programs answer --help and --version without a display"

# The demo's two sites, run on the installed programs.
"$SOURCE/tools/demo.sh" "$bin" || fail "the installed programs did not relay between two sites"
echo "ok: installed kavlink-server and two installed kavlink relayed between two LAN ports"
