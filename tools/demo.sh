#!/usr/bin/env bash
# Two sites joined through a tunnel server, all on this computer: a message said on site A's
# LAN is heard on site B's LAN, and B's reply comes back to A. Everything stops at the end.
set -euo pipefail
#
#   demo.sh [BUILD_DIR [LOG_DIR]]
#
# The logs stay in LOG_DIR (default BUILD_DIR/demo, emptied at each run) for reading afterwards.
build=$(cd "${1:-build}" && pwd)
work=${2:-$build/demo}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
pids=()
export QT_QPA_PLATFORM=offscreen

stop_all() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap stop_all EXIT

# Polls until a file holds a pattern, at most $3 tenths of a second.
wait_for() {
    local file=$1 pattern=$2 tries=$3
    for _ in $(seq "$tries"); do
        grep -q -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "demo: gave up waiting for '$pattern' in $(basename "$file")" >&2
    return 1
}

"$build/kavlink-server" --listen 127.0.0.1 --port 0 --allow-any-login 2>"$work/server.log" &
pids+=($!)
wait_for "$work/server.log" "listening on" 50
port=$(sed -n 's/.* listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/server.log")
echo "Tunnel server listening on 127.0.0.1 port $port"

lan_a=$((20000 + RANDOM % 20000))
lan_b=$((lan_a + 1))

start_site() {
    local name=$1 lan=$2 dir=$work/$1
    mkdir -p "$dir/cfg"
    cat >"$dir/cfg/Kavlink.ini" <<INI
[Lan]
BroadcastAddress=127.255.255.255
PortNumber=$lan
[TunnelSrv]
Hostname=127.0.0.1
PortNumber=$port
Login=site-$name
Password=demo
HeartBeat=1
FilterTimeSync=0
[General]
Debug=3
INI
    HOME=$dir XDG_CONFIG_HOME=$dir XDG_RUNTIME_DIR=$dir "$build/kavlink" -m -a "$dir" 2>/dev/null &
    pids+=($!)
    "$build/kavlink-lan" listen --port "$lan" >"$work/$name.heard" 2>/dev/null &
    pids+=($!)
    echo "Site $name: Kavlink on LAN port $lan, log in $dir/cfg/Kavlink.log"
}

start_site A "$lan_a"
start_site B "$lan_b"
wait_for "$work/server.log" 'logged in as "site-A"' 100
wait_for "$work/server.log" 'logged in as "site-B"' 100
echo "Both sites logged in."

say() {
    local site=$1 lan=$2 text=$3 other=$4
    echo
    echo "On site $site's LAN: $text"
    "$build/kavlink-lan" send --port "$lan" "$text"
    wait_for "$work/$other.heard" "${text//\"/.}" 50
    echo "Heard on site $other's LAN:"
    grep -F -- "$text" "$work/$other.heard" | sed 's/^/    /'
}

say A "$lan_a" 'ADDQSO: "OP-A" "" 14025.0 CW 599 DL1ABC' B
say B "$lan_b" 'ADDQSO: "OP-B" "" 7012.5 SSB 59 G4XYZ' A

echo
echo "What site A's Kavlink logged:"
grep -E "From (LAN|WAN)" "$work/A/cfg/Kavlink.log" | sed 's/^/    /'
echo
echo "Demo done: stopping the server and both sites. Their logs stay in $work."
