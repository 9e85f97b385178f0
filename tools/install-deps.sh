#!/usr/bin/env bash
# Installs the Debian packages that Kavlink needs: "run" for building and running it, "bench"
# for the benchmark's tools alone, "test"
# (the default) for its tests too. Quiet and quick when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config libcrypt-dev
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
)
if [ "${1:-test}" = "bench" ]; then
    packages=(python3 socat ncat iproute2 faketime util-linux)
fi
if [ "${1:-test}" = "test" ]; then
    packages+=(
        clang libclang-rt-14-dev clang-format clang-tidy
        xvfb x11-utils xdotool imagemagick trayer
        dpkg-dev desktop-file-utils appstream systemd man-db lintian
    )
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
