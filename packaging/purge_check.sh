#!/usr/bin/env bash
# The server package installed, enabled, then purged with the real dpkg, on a throwaway copy of
# this system (overlays on /etc, /usr and /var in a private mount namespace): nothing of it may
# be left behind, the enable link included. Its system user stays, as Debian's daemons leave
# theirs.
#
# Usage: purge_check.sh PACKAGE_DIR
# Exit status: 0 passed, 1 failed, 77 skipped (not root, no private mount namespace, or no
# overlay mounts).
set -uo pipefail
readonly DEBS=${1:?usage: purge_check.sh PACKAGE_DIR}

if [[ ${2:-} != --inside ]]; then
    if [[ $(id -u) != 0 ]] || ! command -v unshare >/dev/null || ! command -v dpkg >/dev/null; then
        echo "SKIP: needs root, unshare and dpkg"
        exit 77
    fi
    # A chroot whose / is not a mount point cannot make its mounts private.
    if ! err=$(unshare --mount --propagation private true 2>&1); then
        echo "SKIP: no private mount namespace here: $err"
        exit 77
    fi
    # The overlays' upper layers fill the work folder; removed from out here, where nothing is
    # mounted on it, once the namespace is gone.
    work=$(mktemp -d "${TMPDIR:-/tmp}/kavlink-purge.XXXXXX") || exit 1
    trap 'rm -rf "$work"' EXIT
    trap 'exit 1' HUP INT TERM
    unshare --mount --propagation private bash "$0" "$DEBS" --inside "$work"
    exit
fi
readonly work=${3:?}

fail() {
    echo "FAIL: $*"
    exit 1
}
shopt -s nullglob
debs=("$DEBS"/kavlink-server_*.deb)
((${#debs[@]} == 1)) || fail "want one kavlink-server_*.deb in $DEBS"
for d in etc usr var; do
    mkdir -p "$work/$d-upper" "$work/$d-work"
    if ! mount -t overlay overlay \
        -o "lowerdir=/$d,upperdir=$work/$d-upper,workdir=$work/$d-work" "/$d" 2>/dev/null; then
        echo "SKIP: no overlay mount over /$d here"
        exit 77
    fi
done

out=$(dpkg --force-depends -i "${debs[0]}" 2>&1) || fail "dpkg -i: $out"
[[ $(stat -c '%U:%G %a' /etc/kavlink/users) == "root:kavlink-server 640" ]] ||
    fail "the users file is $(stat -c '%U:%G %a' /etc/kavlink/users), not root:kavlink-server 640"
[[ ! -e /etc/systemd/system/multi-user.target.wants/kavlink-server.service ]] ||
    fail "the unit is enabled on install, before any user is in the users file"
systemctl enable kavlink-server.service >/dev/null 2>&1 || fail "systemctl enable failed"
[[ -L /etc/systemd/system/multi-user.target.wants/kavlink-server.service ]] ||
    fail "systemctl enable made no link"
echo "ok: installed with the real dpkg (users file root:kavlink-server 640, unit not enabled), then enabled"

out=$(dpkg --purge kavlink-server 2>&1) || fail "dpkg --purge: $out"
left=()
for path in /etc/systemd/system/multi-user.target.wants/kavlink-server.service /etc/kavlink \
    /usr/bin/kavlink-server /usr/lib/systemd/system/kavlink-server.service \
    /var/lib/systemd/deb-systemd-helper-enabled/kavlink-server.service.dsh-also \
    /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/kavlink-server.service; do
    [[ -e $path || -L $path ]] && left+=("$path")
done
dpkg-statoverride --list 2>/dev/null | grep -q /etc/kavlink && left+=("a stat override of /etc/kavlink")
((${#left[@]} == 0)) || fail "left behind after purge: ${left[*]}"
echo "ok: purged: no file, enable link or stat override left behind"
