#!/usr/bin/env bash
# Builds Qt 6.4.2 for Windows x86-64 (qtbase: Core, Gui, Widgets, Network with Windows' own
# TLS, Test; shared, release) from Debian's source package with MinGW-w64, once, into a cache
# outside the checkout. No Svg module: the mirror serves no source of qt6-svg, so the Windows
# build carries its icons rendered to PNG on the host. A stamp names the recipe and the source versions;
# while it matches, nothing is done. Downloads nothing but Debian packages.
#
#   tools/qt-windows.sh [PREFIX]     (default $KAVLINK_QT_WINDOWS or
#                                     /var/cache/kavlink/qt-6.4.2-mingw64)
#
# About 40 CPU-minutes; the work tree is removed afterwards.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-${KAVLINK_QT_WINDOWS:-/var/cache/kavlink/qt-6.4.2-mingw64}}
jobs=${JOBS:-$(nproc)}
toolchain=$here/cmake/x86_64-w64-mingw32.cmake

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
log=$(mktemp)
work=""
cleanup() {
    rm -f "$log"
    [ -z "$work" ] || rm -rf "$work"
}
trap cleanup EXIT
step() { # TITLE COMMAND...
    local title=$1
    shift
    echo "$title" >&2
    if ! "$@" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "qt-windows.sh: failed: $title" >&2
        exit 1
    fi
}

# Debian's source packages need a deb-src line; it names the mirror already configured.
sources=/etc/apt/sources.list.d/kavlink-deb-src.sources
if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources; then
    main=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null ||
        true)
    main=${main:-http://deb.debian.org/debian}
    step "Adding a deb-src line for $main..." $sudo sh -c "printf '%s\n' 'Types: deb-src' \
        'URIs: $main' 'Suites: bookworm bookworm-updates' 'Components: main' \
        'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' >$sources"
    step "Updating the package lists..." $sudo apt-get update -q
fi

# The recipe (this script and the toolchain file) and the source versions make the stamp.
base_version=$(apt-cache showsrc qt6-base 2>/dev/null | awk '/^Version:/ { print $2; exit }')
compiler=$(x86_64-w64-mingw32-g++-posix -dumpfullversion 2>/dev/null || echo none)
recipe=$(cat "$0" "$toolchain" | sha256sum | cut -c1-16)
want="recipe $recipe; qt6-base $base_version; mingw g++ $compiler"
if [ -f "$prefix/kavlink-stamp" ] && [ "$(cat "$prefix/kavlink-stamp")" = "$want" ]; then
    exit 0
fi

# Nothing of the host's libraries may reach the cross build; every bundled one is used.
no_system=()
for lib in zlib pcre2 png jpeg freetype harfbuzz doubleconversion libb2 md4c sqlite; do
    no_system+=("-DFEATURE_system_$lib=OFF")
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kavlink-qt-windows.XXXXXX")
cd "$work"
step "Fetching the source of qt6-base $base_version..." apt-get source -q qt6-base
qtbase=$(find . -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
[ -n "$qtbase" ] || {
    echo "qt-windows.sh: the sources did not unpack" >&2
    exit 1
}

# Built in place: without the stamp, written last, an interrupted build counts as none.
$sudo rm -rf "$prefix"
$sudo mkdir -p "$prefix"
$sudo chown "$(id -u):$(id -g)" "$prefix"
# In 6.4 the DirectWrite font database is compiled into QtGui only with direct2d, and the
# Windows platform plugin does not link without it; the tablet support needs wintab.h, which
# the +dfsg source does not have.
step "Configuring qtbase for Windows..." \
    env PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$qtbase" -B build-qtbase -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKAVLINK_QT_WINDOWS="$prefix" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_openssl=OFF -DFEATURE_schannel=ON \
    -DFEATURE_direct2d=ON -DFEATURE_tabletevent=OFF \
    -DFEATURE_textmarkdownreader=OFF -DFEATURE_jpeg=OFF \
    "${no_system[@]}"
step "Building qtbase (about 40 CPU-minutes)..." cmake --build build-qtbase --parallel "$jobs"
step "Installing qtbase..." cmake --install build-qtbase

echo "$want" >"$prefix/kavlink-stamp"
echo "Qt for Windows in $prefix ($(du -sh "$prefix" | cut -f1))." >&2
