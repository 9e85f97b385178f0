#!/usr/bin/env bash
# Installs the Debian packages that one make target needs, and only those:
#   run      building and running the programs
#   package  run, plus what cpack -G DEB calls: dpkg-shlibdeps (dpkg-dev) and file, with which
#            it finds the programs whose libraries make the packages' dependencies
#   test     run, plus the test tools (formatting check, desktop check, packages)
#   bench    the benchmarks' tools
#   docs     the status page's screenshot (headless Chromium), and promtool, with which the tests
#            check the metrics where it is installed (not in the test set: 19 MB to fetch, 96 MB
#            installed, and Debian starts a Prometheus service on install)
#   fuzz     clang and its fuzzing runtime
#   tidy     clang-tidy
#   arm64    test, plus the cross compilers, Qt of architecture arm64 and the emulator that runs it
# Quiet and quick when everything is there; otherwise one line per step, and apt's own output
# in full only when a step fails.
set -euo pipefail

run=(
    build-essential cmake pkg-config libcrypt-dev
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
    qt6-httpserver-dev qt6-websockets-dev
)
test=(
    "${run[@]}" clang-format openssl file
    xvfb x11-utils xdotool imagemagick trayer
    dpkg-dev desktop-file-utils appstream systemd man-db lintian
)
foreign=()
case "${1:-test}" in
run) packages=("${run[@]}") ;;
package) packages=("${run[@]}" dpkg-dev file) ;;
test) packages=("${test[@]}") ;;
arm64)
    # The offscreen platform plugin of arm64 runs the tests under the emulator.
    packages=(
        "${test[@]}" crossbuild-essential-arm64 qemu-user-static
        qt6-base-dev:arm64 qt6-svg-dev:arm64 qt6-qpa-plugins:arm64 libcrypt-dev:arm64
        qt6-httpserver-dev:arm64 qt6-websockets-dev:arm64
    )
    foreign=(arm64)
    ;;
bench) packages=(python3 socat ncat iproute2 faketime util-linux openssl libssl-dev whois) ;;
docs) packages=(python3 chromium fonts-dejavu-core prometheus) ;;
fuzz) packages=("${run[@]}" clang libclang-rt-14-dev) ;;
tidy) packages=("${run[@]}" clang-tidy) ;;
*)
    echo "install-deps.sh: unknown set ${1}" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "install-deps.sh: ${#missing[@]} packages are missing (${missing[*]}); run this as root, or install sudo" >&2
        exit 1
    fi
    sudo="sudo"
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
step() { # TITLE COMMAND...
    local title=$1
    shift
    echo "$title" >&2
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        echo "install-deps.sh: failed: $title" >&2
        exit 1
    fi
}
for arch in "${foreign[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
        step "Adding the architecture $arch..." $sudo dpkg --add-architecture "$arch"
done
step "Updating the package lists..." $sudo apt-get update -q
step "Installing ${#missing[@]} packages: ${missing[*]}..." \
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
