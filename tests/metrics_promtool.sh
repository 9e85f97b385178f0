#!/usr/bin/env bash
# The server's metrics after two sites logged in and relayed, checked by Prometheus' own
# promtool (Debian's prometheus package: tools/install-deps.sh docs).
#
# Usage: metrics_promtool.sh KAVLINK_SERVER
# Exit status: 0 passed, 1 failed, 77 skipped (promtool is not installed).
set -uo pipefail
server=${1:?usage: metrics_promtool.sh KAVLINK_SERVER}

if ! command -v promtool >/dev/null; then
    echo "SKIP: promtool is not installed (tools/install-deps.sh docs)"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kavlink-metrics.XXXXXX") || exit 1
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "server log:" && sed 's/^/    /' "$work/server.log"
    exit 1
}
# Polls until a file holds a text, at most five seconds.
wait_for() {
    for _ in $(seq 50); do
        grep -aqF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "gave up waiting for '$2' in ${1##*/}"
}
# A client on descriptor fd_NAME, its input in NAME.in; answers both prompts.
log_in() {
    local name=$1 fd
    exec {fd}<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect to the server"
    printf -v "fd_$name" '%s' "$fd"
    cat <&"$fd" >"$work/$name.in" &
    pids+=($!)
    wait_for "$work/$name.in" "login:"
    printf '%s\n' "$name" >&"$fd"
    wait_for "$work/$name.in" "password:"
    printf '%s\n' "pw-$name" >&"$fd"
    wait_for "$work/server.log" "logged in as \"$name\""
}

"$server" --listen 127.0.0.1 --port 0 --allow-any-login --heartbeat 0 --http 127.0.0.1:0 \
    2>"$work/server.log" &
pids+=($!)
wait_for "$work/server.log" "status page on"
port=$(sed -n 's/.* listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/server.log")
http=$(sed -n 's|.* status page on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/server.log")
log_in alice
log_in bob
# A tunnel line: the text, then its checksum byte (8-bit sum OR 0x80).
text='ADDQSO: "OP-A" "" 14025.0 CW 599 DL1ABC'
sum=0
for ((i = 0; i < ${#text}; i++)); do
    printf -v byte '%d' "'${text:i:1}"
    sum=$(((sum + byte) & 0xFF))
done
# shellcheck disable=SC2154 # set by log_in
printf "%s\\x$(printf %02x $((sum | 0x80)))" "$text" >&"$fd_alice"
wait_for "$work/bob.in" "DL1ABC"

# The answer's head up to its blank line, then as many bytes as it says.
exec {web}<>"/dev/tcp/127.0.0.1/$http" || fail "cannot connect to the status port"
printf 'GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&"$web"
length=0
while IFS= read -r -t 5 line <&"$web"; do
    line=${line%$'\r'}
    [[ -z $line ]] && break
    [[ ${line,,} == content-length:* ]] && length=${line#*: }
done
((length > 0)) || fail "no metrics from the status port"
head -c "$length" <&"$web" >"$work/metrics"

for sample in 'kavlink_clients{state="logged_in"} 2' 'kavlink_lines_received_total 1' \
    'kavlink_lines_sent_total 1' 'kavlink_logins_total{result="ok"} 2'; do
    grep -qxF "$sample" "$work/metrics" || fail "no '$sample' in the metrics: $(cat "$work/metrics")"
done
promtool check metrics <"$work/metrics" || fail "promtool found problems in the metrics above"
echo "ok: promtool finds nothing wrong with the metrics after two sites logged in and relayed"
