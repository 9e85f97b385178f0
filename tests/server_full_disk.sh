#!/usr/bin/env bash
# The installed-style server logging to a disk that fills up and frees again: what it logs
# meanwhile is lost and counted, nothing stops, and once there is room the count comes first
# and the log goes on. A small private tmpfs stands for the disk (root, in a mount namespace
# of its own).
#
# Usage: server_full_disk.sh KAVLINK_SERVER
# Exit status: 0 passed, 1 failed, 77 skipped (not root, no unshare, or no private mount
# namespace).
set -uo pipefail
server=${1:?usage: server_full_disk.sh KAVLINK_SERVER}

if [[ ${2:-} != --inside ]]; then
    if [[ $(id -u) != 0 ]] || ! command -v unshare >/dev/null; then
        echo "SKIP: needs root and unshare for a private tmpfs"
        exit 77
    fi
    # A chroot whose / is not a mount point cannot make its mounts private.
    if ! err=$(unshare --mount --propagation private true 2>&1); then
        echo "SKIP: no private mount namespace here: $err"
        exit 77
    fi
    exec unshare --mount --propagation private bash "$0" "$server" --inside
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/kavlink-disk.XXXXXX") || exit 1
pid=
cleanup() {
    [[ -n $pid ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    umount "$dir" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "log:" && sed 's/^/    /' "$dir/log" 2>/dev/null
    exit 1
}
mount -t tmpfs -o size=256k tmpfs "$dir" || fail "cannot mount a tmpfs"

"$server" --listen 127.0.0.1 --port 0 --allow-any-login --heartbeat 0 2>"$dir/log" &
pid=$!
port=
for _ in $(seq 50); do
    port=$(sed -n 's/.* listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$dir/log")
    [[ -n $port ]] && break
    sleep 0.1
done
[[ -n $port ]] || fail "the server did not start"

# One log-in and out: two lines in the log.
visit() {
    exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
    read -r -t 2 -d ':' _ <&3 || return 1
    printf '%s\npw\n' "$1" >&3
    read -r -t 2 -d ':' _ <&3 || return 1
    sleep 0.1
    exec 3<&-
}
log_has() { grep -q -- "$1" "$dir/log"; }
wait_for() {
    for _ in $(seq 100); do
        log_has "$1" && return 0
        sleep 0.1
    done
    return 1
}

visit before || fail "no log-in before the disk filled"
wait_for 'logged in as "before"' || fail "no log line before the disk filled"
dd if=/dev/zero of="$dir/filler" bs=4k 2>/dev/null
# Long logins: more than the room left in the log file's last page.
long=$(printf 'x%.0s' $(seq 240))
for i in $(seq 20); do
    visit "lost$i-$long" || fail "the server stopped answering on a full disk"
done
sleep 0.5
rm "$dir/filler"
visit after || fail "no log-in after the disk had room again"
wait_for 'logged in as "after"' || fail "nothing logged after the disk had room again"
wait_for 'log lines dropped: the log could not be written' || fail "the lost lines were not counted"
(($(grep -c '"lost' "$dir/log") < 20)) || fail "every line written while the disk was full"
dropped=$(sed -n 's/.* \([0-9][0-9]*\) log lines dropped.*/\1/p' "$dir/log" | head -1)
[[ $(grep -n 'log lines dropped' "$dir/log" | cut -d: -f1) -lt $(grep -n '"after"' "$dir/log" | head -1 | cut -d: -f1) ]] ||
    fail "the count did not come first"
grep "log lines dropped" "$dir/log"
echo "ok: $dropped lines lost on a full disk were counted, and the log went on once it had room"
