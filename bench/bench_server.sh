#!/usr/bin/env bash
# Loads and attacks kavlink-server from outside on loopback, next to `ncat --broker` in the same
# run, and prints one table. Every step is bounded in count and time.
#
#   bench/bench_server.sh BUILD_DIR [BEFORE_BINARY]
#
# BEFORE_BINARY, when given, is an older kavlink-server measured the same way in a column of its
# own. Rows that need a log-in show "-" for ncat, which has none; TLS rows show "-" for a server
# without TLS. The TLS clients do a full handshake each, against an EC P-256 certificate made
# here, as the README suggests.
set -uo pipefail

build=${1:?usage: bench_server.sh BUILD_DIR [BEFORE_BINARY]}
before=${2:-}
load="$build/bench_server_load"
ours="$build/kavlink-server"
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Clients and servers each hold one descriptor per connection.
ulimit -n "$(ulimit -Hn)"
have_ncat=1
command -v ncat >/dev/null || have_ncat=0

printf 'alice:9990\nbench:bench\n' >"$work/users"
chmod 600 "$work/users"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -keyout "$work/tls.key" -out "$work/tls.crt" 2>/dev/null

# start NAME BINARY ARGS...: starts a server, sets PID and PORT; the log goes to $work/NAME.log.
start() {
    local name=$1 binary=$2
    shift 2
    PORT=$("$load" freeport)
    if [ "$(basename "$binary")" = ncat ]; then
        ncat --broker -l 127.0.0.1 "$PORT" -m 30000 2>"$work/$name.log" &
    else
        "$binary" --listen 127.0.0.1 --port "$PORT" "$@" 2>"$work/$name.log" &
    fi
    PID=$!
    pids+=("$PID")
    for _ in $(seq 50); do
        ss -ltn | grep -q "127.0.0.1:$PORT " && return 0
        sleep 0.1
    done
    echo "$name did not start" >&2
}
# start_tls NAME BINARY ARGS...: the same with a TLS port beside the plain one; PORT is the
# TLS port then.
start_tls() {
    local name=$1 binary=$2 tls_port
    shift 2
    tls_port=$("$load" freeport)
    start "$name" "$binary" --tls-port "$tls_port" --tls-cert "$work/tls.crt" \
        --tls-key "$work/tls.key" "$@"
    PORT=$tls_port
}
has_tls() { [ "$1" != ncat ] && [[ $("$(binary_of "$1")" --help 2>/dev/null) == *--tls-cert* ]]; }
# A server frozen on its log never sees SIGTERM: it gets SIGKILL after 5 s.
stop() {
    kill "$PID" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$PID" 2>/dev/null
    wait "$PID" 2>/dev/null
}
# value KEY < output
value() { sed -n "s/^$1 //p" | head -1; }

declare -A cell
columns=(ours)
[ -n "$before" ] && columns+=(before)
[ "$have_ncat" = 1 ] && columns+=(ncat)
binary_of() {
    case $1 in
    ours) echo "$ours" ;;
    before) echo "$before" ;;
    ncat) echo ncat ;;
    esac
}

fanout() { # ROW CLIENTS [tls] [IDLE_ROW]: IDLE_ROW gets the memory per idle client
    local row=$1 clients=$2 tls=${3:-} idle=${4:-} column out login before after
    for column in "${columns[@]}"; do
        login=--login
        [ "$column" = ncat ] && login=
        if [ -n "$tls" ]; then
            has_tls "$column" || continue
            start_tls "$column-fan$clients-tls" "$(binary_of "$column")" --allow-any-login --heartbeat 0
        else
            start "$column-fan$clients" "$(binary_of "$column")" --allow-any-login --heartbeat 0
        fi
        out=$("$load" fanout --port "$PORT" $login --clients "$clients" --lines 10 --pid "$PID" ${tls:+--tls})
        if kill -0 "$PID" 2>/dev/null; then
            cell[$row,$column]="$(echo "$out" | value served) served; p50 $(echo "$out" | value p50_ms) ms, p99 $(echo "$out" | value p99_ms) ms; $(echo "$out" | value in_time_pct) % in 1 s; CPU $(echo "$out" | value cpu_pct) %"
            before=$(echo "$out" | value rss_before_kib)
            after=$(echo "$out" | value rss_idle_kib)
            [ -n "$idle" ] && [ "$column" != ncat ] && [ -n "$before" ] &&
                cell[$idle,$column]="$(awk -v a="$after" -v b="$before" -v n="$clients" 'BEGIN { printf "%.1f", (a - b) / n }') KiB (RSS $((before / 1024)) MiB, $((after / 1024)) MiB with $clients)"
        else
            cell[$row,$column]="the server died ($(tail -c 80 "$work/$column-fan$clients${tls:+-tls}.log" | tr '\n' ' '))"
        fi
        stop
    done
}

# Relay latency with a client scraping the status port's /metrics ten times a second, beside the
# same run without; ours only (older servers and ncat have no status port).
scrape_row() {
    local pass out http scrape without latency
    for pass in quiet scraped; do
        http=$("$load" freeport)
        start "ours-$pass" "$ours" --allow-any-login --heartbeat 0 --http "127.0.0.1:$http"
        scrape=()
        [ "$pass" = scraped ] && scrape=(--scrape-port "$http")
        out=$("$load" fanout --port "$PORT" --login --clients 5000 --lines 10 --pid "$PID" "${scrape[@]}")
        stop
        latency="p50 $(echo "$out" | value p50_ms) ms, p99 $(echo "$out" | value p99_ms) ms, CPU $(echo "$out" | value cpu_pct) %"
        if [ "$pass" = quiet ]; then
            without=$latency
        else
            cell[scrape,ours]="without: $without; scraped: $latency; $(echo "$out" | value scrapes) scrapes answered in p50 $(echo "$out" | value scrape_p50_ms) ms, p99 $(echo "$out" | value scrape_p99_ms) ms, $(echo "$out" | value scrapes_failed) failed"
        fi
    done
}

# New connections to the log-in prompt, then lines between two clients: plain, then over TLS.
tls_rows() {
    local column out bin tls
    local relaxed=(--allow-any-login --heartbeat 0 --connects-per-minute 1000000
        --max-pending-per-address 100000 --max-pending 100000)
    for column in "${columns[@]}"; do
        [ "$column" = ncat ] && continue
        bin=$(binary_of "$column")
        for tls in "" tls; do
            if [ -n "$tls" ]; then
                has_tls "$column" || continue
                start_tls "$column-connects-tls" "$bin" "${relaxed[@]}"
            else
                start "$column-connects" "$bin" "${relaxed[@]}"
            fi
            out=$("$load" connects --port "$PORT" --parallel 64 --seconds 10 --pid "$PID" ${tls:+--tls})
            cell[connects$tls,$column]="$(echo "$out" | value per_s)/s; CPU $(echo "$out" | value cpu_pct) %; $(echo "$out" | value failed) failed"
            stop

            if [ -n "$tls" ]; then
                start_tls "$column-lines-tls" "$bin" --allow-any-login --heartbeat 0 --max-input-lines 0
            else
                start "$column-lines" "$bin" --allow-any-login --heartbeat 0 --max-input-lines 0
            fi
            out=$("$load" throughput --port "$PORT" --login --seconds 10 --pid "$PID" ${tls:+--tls})
            cell[lines$tls,$column]="$(echo "$out" | value lines_per_s) lines/s ($(echo "$out" | value mb_per_s) MB/s); CPU $(echo "$out" | value cpu_pct) %"
            stop
        done
    done
}

login_rows() {
    local column out
    for column in "${columns[@]}"; do
        [ "$column" = ncat ] && continue
        local bin
        bin=$(binary_of "$column")

        start "$column-lockout" "$bin" --users "$work/users" --heartbeat 1
        out=$("$load" lockout --port "$PORT" --login --user bench --password bench --silent 300 --legit 64)
        cell[lockout,$column]="$(echo "$out" | value legit_ok) of 64 log-ins ($(echo "$out" | value silent_held) silent held)"
        stop

        start "$column-guess" "$bin" --users "$work/users" --heartbeat 1
        out=$("$load" guess --port "$PORT" --login --user alice --parallel 250 --seconds 30 --secret 9990)
        local legit
        legit=$(echo "$out" | value legit_ms)
        [ "$legit" = "-1" ] && legit="refused or not answered in 5 s" || legit="answered in $legit ms"
        cell[guess,$column]="$(echo "$out" | value guesses_per_s) guesses/s over $(echo "$out" | value seconds) s; right password from another address: $legit"
        stop

        # Standard error into a pipe nobody reads, then connect churn and one log-in.
        mkfifo "$work/$column-stderr"
        exec 7<>"$work/$column-stderr"
        PORT=$("$load" freeport)
        "$bin" --listen 127.0.0.1 --port "$PORT" --users "$work/users" --heartbeat 1 2>"$work/$column-stderr" &
        PID=$!
        pids+=("$PID")
        sleep 0.5
        "$load" churn --port "$PORT" --seconds 5 >/dev/null
        out=$("$load" login --port "$PORT" --login --user bench --password bench --wait 3000)
        local ms
        ms=$(echo "$out" | value login_ms)
        [ "$ms" = "-1" ] && cell[stderr,$column]="frozen: log-in not answered" || cell[stderr,$column]="log-in answered in $ms ms"
        stop
        exec 7>&-

        start "$column-churn" "$bin" --users "$work/users" --heartbeat 1
        local size0 size1
        size0=$(stat -c %s "$work/$column-churn.log")
        out=$("$load" churn --port "$PORT" --seconds 5)
        size1=$(stat -c %s "$work/$column-churn.log")
        cell[churn,$column]="$(( (size1 - size0) / 5 )) log bytes/s for $(( $(echo "$out" | value churn_connects) / 5 )) connects/s"
        stop

        # Few descriptors: 100 connections against ulimit -n 64.
        PORT=$("$load" freeport)
        (ulimit -n 64 && exec "$bin" --listen 127.0.0.1 --port "$PORT" --users "$work/users" --heartbeat 1) 2>"$work/$column-fd.log" &
        PID=$!
        pids+=("$PID")
        sleep 0.5
        out=$("$load" hold --port "$PORT" --login --user bench --password bench --clients 100 --seconds 5 --pid "$PID")
        cell[fd,$column]="CPU $(echo "$out" | value cpu_pct) % while out; $(grep -c "cannot accept" "$work/$column-fd.log") log lines; recovered: $(echo "$out" | value recovered)"
        stop

        # SIGHUP while the users file is a FIFO.
        cp "$work/users" "$work/$column-users"
        start "$column-fifo" "$bin" --users "$work/$column-users" --heartbeat 1
        rm "$work/$column-users"
        mkfifo -m 600 "$work/$column-users"
        kill -HUP "$PID"
        sleep 0.3
        ms=$("$load" login --port "$PORT" --login --user bench --password bench --wait 3000 | value login_ms)
        [ "$ms" = "-1" ] && cell[fifo,$column]="frozen: log-in not answered" || cell[fifo,$column]="log-in answered in $ms ms"
        stop

        # A users file anyone may write, and an empty password.
        local verdicts=""
        printf 'bench:bench\n' >"$work/$column-open"
        chmod 666 "$work/$column-open"
        printf 'bench:\n' >"$work/$column-empty"
        chmod 600 "$work/$column-empty"
        for f in open empty; do
            timeout 2 "$bin" --listen 127.0.0.1 --port 0 --users "$work/$column-$f" 2>/dev/null
            [ $? = 1 ] && verdicts+="$f: refused; " || verdicts+="$f: accepted; "
        done
        cell[users,$column]="${verdicts%; }"
    done
}

other_rows() {
    local column out login clients cut
    for column in "${columns[@]}"; do
        login=--login
        [ "$column" = ncat ] && login=
        for clients in 300 1000; do
            start "$column-slow$clients" "$(binary_of "$column")" --allow-any-login --heartbeat 0
            out=$("$load" slow --port "$PORT" $login --clients "$clients" --seconds 10 --pid "$PID")
            stop
            cut="$(grep -c "not reading\|among the slowest" "$work/$column-slow$clients.log") cut"
            [ "$column" = ncat ] && cut="no log to count cuts"
            cell[slow$clients,$column]="peak $(( $(echo "$out" | value hwm_kib) / 1024 )) MiB; $cut"
        done

        start "$column-storm" "$(binary_of "$column")" --allow-any-login --heartbeat 0
        out=$("$load" storm --port "$PORT" $login --clients 2000)
        cell[storm,$column]="$(echo "$out" | value in) in after $(echo "$out" | value all_in_s) s; $(echo "$out" | value resets) refused or reset"
        stop

        has_tls "$column" || continue
        start_tls "$column-storm-tls" "$(binary_of "$column")" --allow-any-login --heartbeat 0
        out=$("$load" storm --port "$PORT" $login --clients 2000 --tls)
        cell[stormtls,$column]="$(echo "$out" | value in) in after $(echo "$out" | value all_in_s) s; $(echo "$out" | value resets) refused or reset"
        stop
    done
}

echo "Measuring (about 8 minutes per column)..." >&2
fanout fan5k 5000 "" idle
fanout fan5ktls 5000 tls idletls
fanout fan20k 19900
scrape_row
tls_rows
login_rows
other_rows

rows=(fan5k fan5ktls idle idletls connects connectstls lines linestls fan20k scrape lockout guess
    stderr churn fd fifo users slow300 slow1000 storm stormtls)
declare -A label=(
    [fan5k]="5 000 logged-in clients, one line a second (10 s)"
    [fan5ktls]="the same over TLS"
    [idle]="memory per idle logged-in client (5 000 clients)"
    [idletls]="the same over TLS"
    [connects]="new connections a second to the log-in prompt, 64 at a time (10 s)"
    [connectstls]="the same with a full TLS handshake each"
    [lines]="lines a second from one client to another, 84 bytes each (10 s)"
    [linestls]="the same over TLS"
    [fan20k]="19 900 logged-in clients, one line a second (10 s)"
    [scrape]="5 000 logged-in clients, one line a second, without and with /metrics scraped 10 times a second (10 s each)"
    [lockout]="one address holds up to 300 silent connections; 64 log-ins from others"
    [guess]="250 parallel password guesses from one address (30 s)"
    [stderr]="standard error never read, 5 s of connect churn"
    [churn]="connect churn from one address: log volume"
    [fd]="ulimit -n 64, 100 connections held 5 s"
    [fifo]="SIGHUP while the users file is a FIFO"
    [users]="users file mode 0666 / empty password"
    [slow300]="300 clients that stop reading, one fast sender (10 s)"
    [slow1000]="1 000 clients that stop reading, one fast sender (10 s)"
    [storm]="2 000 clients connecting at once, retrying 1 s after a refusal"
    [stormtls]="the same over TLS"
)
declare -A title=([ours]="kavlink-server" [before]="before" [ncat]="ncat --broker")
header="| Load or attack |"
rule="|---|"
for column in "${columns[@]}"; do
    header+=" ${title[$column]} |"
    rule+="---|"
done
echo "$header"
echo "$rule"
for row in "${rows[@]}"; do
    line="| ${label[$row]} |"
    for column in "${columns[@]}"; do
        line+=" ${cell[$row,$column]:--} |"
    done
    echo "$line"
done
