#!/usr/bin/env bash
# The two Debian packages installed outside the build tree (unpacked into a temporary root),
# then the installed programs used as a user would: --help and --version, the installed
# tunnel server with two installed headless kavlink passing messages between two LAN ports, and
# that server reloaded through its unit's ExecReload. Packages of another architecture run under
# the emulator that KAVLINK_EMULATOR names (qemu-aarch64-static for arm64).
#
# Usage: [KAVLINK_EMULATOR=EMULATOR] install_check.sh PACKAGE_DIR SOURCE_DIR
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
arch=$(dpkg-deb -f "${debs[0]}" Architecture)
echo "ok: both $arch packages unpacked into $root"

read -r -a emulator <<<"${KAVLINK_EMULATOR:-}"
# Without binfmt registration the kernel runs no program of another architecture: the checks
# below and the demo start these scripts instead, which hand each program to the emulator.
run_bin=$bin
if ((${#emulator[@]} > 0)); then
    run_bin=$root/emulated
    mkdir -p "$run_bin"
    for program in kavlink kavlink-server kavlink-lan; do
        printf '#!/bin/sh\nexec %s %s "$@"\n' "${emulator[*]}" "$bin/$program" >"$run_bin/$program"
        chmod +x "$run_bin/$program"
    done
fi

for program in kavlink kavlink-server kavlink-lan; do
    # What ldd does, also under the emulator: the dynamic loader lists the libraries and stops.
    libraries=$(LD_TRACE_LOADED_OBJECTS=1 "$run_bin/$program" 2>&1) ||
        fail "cannot load $program: $libraries"
    missing=$(grep 'not found' <<<"$libraries")
    [[ -z $missing ]] || fail "$program lacks libraries: $missing"
    # A display that does not exist: --help and --version must not need one.
    out=$(DISPLAY=:999 "$run_bin/$program" --version 2>&1) || fail "$program --version failed: $out"
    [[ $out == *"$version" ]] || fail "$program --version says \"$out\", not $version"
    out=$(DISPLAY=:999 "$run_bin/$program" --help 2>&1) || fail "$program --help failed: $out"
    [[ $out == *--profile* || $out == *--port* ]] || fail "$program --help shows no usage: $out"
done
echo "ok: the installed programs answer --help and --version without a display${emulator:+ (under ${emulator[*]})}"

# The demo's two sites, run on the installed programs.
"$SOURCE/tools/demo.sh" "$run_bin" || fail "the installed programs did not relay between two sites"
echo "ok: installed kavlink-server and two installed kavlink relayed between two LAN ports"

# The unit's reload, done as systemd would (systemd is not at hand): the installed server
# started with the unit's ExecStart (a temporary users file, a free port on loopback), a client
# logged in, a user added to the file, then the unit's ExecReload run with MAINPID set. The new
# user logs in, and its line reaches the first client, which stayed connected.
work=$root/reload-check
mkdir -p "$work"
pids=()
stop_all() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$root"
}
trap stop_all EXIT

unit=$root/usr/lib/systemd/system/kavlink-server.service
start_line=$(sed -n 's/^ExecStart=//p' "$unit")
reload_line=$(sed -n 's/^ExecReload=//p' "$unit")
[[ -n $start_line && $start_line != *$'\n'* && $start_line != *[%\$]* ]] ||
    fail "want one ExecStart without specifiers or variables in the unit, found: $start_line"
[[ -n $reload_line && $reload_line != *$'\n'* ]] ||
    fail "want one ExecReload in the unit, found: $reload_line"
read -r -a argv <<<"$start_line"
[[ ${argv[0]} == /usr/bin/* ]] || fail "the unit's ExecStart runs no installed program: $start_line"
argv[0]=$run_bin/${argv[0]#/usr/bin/}
users_in_place=""
for i in "${!argv[@]}"; do
    case ${argv[i]} in
    --users)
        [[ ${argv[i + 1]:-} == /etc/kavlink/users ]] && users_in_place=yes
        argv[i + 1]=$work/users
        ;;
    --port) argv[i + 1]=0 ;;
    --http) argv[i + 1]=127.0.0.1:0 ;;
    esac
done
[[ -n $users_in_place ]] || fail "the unit's server does not read /etc/kavlink/users: $start_line"

# Polls until a file holds a text, at most $3 tenths of a second.
wait_for() {
    local file=$1 text=$2 tries=$3
    for _ in $(seq "$tries"); do
        grep -aqF -- "$text" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "server log:" && sed 's/^/    /' "$work/server.log"
    fail "gave up waiting for '$text' in ${file##*/}"
}

# A client on descriptor fd_NAME, its input in NAME.in; answers both prompts.
log_in() {
    local name=$1 login=$2 password=$3 fd
    exec {fd}<>"/dev/tcp/127.0.0.1/$port" || fail "cannot connect to the server"
    printf -v "fd_$name" '%s' "$fd"
    cat <&"$fd" >"$work/$name.in" &
    pids+=($!)
    wait_for "$work/$name.in" "login:" 50
    printf '%s\n' "$login" >&"$fd"
    wait_for "$work/$name.in" "password:" 50
    printf '%s\n' "$password" >&"$fd"
    wait_for "$work/server.log" "logged in as \"$login\"" 50
}

# A tunnel line: the text, then its checksum byte (8-bit sum OR 0x80).
send_line() {
    local fd=$1 text=$2 sum=0 byte i
    for ((i = 0; i < ${#text}; i++)); do
        printf -v byte '%d' "'${text:i:1}"
        sum=$(((sum + byte) & 0xFF))
    done
    printf "%s\\x$(printf %02x $((sum | 0x80)))" "$text" >&"$fd"
}

printf 'site-a:secret-a\n' >"$work/users"
chmod 0640 "$work/users"
"${argv[@]}" --listen 127.0.0.1 2>"$work/server.log" &
server=$!
pids+=("$server")
wait_for "$work/server.log" "listening on" 50
port=$(sed -n 's/.* listening on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/server.log")
log_in a site-a secret-a

printf 'site-b:secret-b\n' >>"$work/users"
read -r -a reload <<<"${reload_line//\$MAINPID/$server}"
[[ ${reload[*]} != *\$* ]] || fail "the unit's ExecReload names a variable besides MAINPID: $reload_line"
"${reload[@]}" || fail "the unit's ExecReload failed: ${reload[*]}"
wait_for "$work/server.log" "users file reloaded" 50
log_in b site-b secret-b
text='ADDQSO: "OP-B" "" 14025.0 CW 599 DL1ABC'
# shellcheck disable=SC2154 # set by log_in
send_line "$fd_b" "$text"
wait_for "$work/a.in" "$text" 50
kill -0 "$server" 2>/dev/null || fail "the server ended at the reload"
echo "ok: the unit's ExecReload let a new user in; the client logged in before stayed connected"

# TLS as the README and the unit's comment add it: the unit's command line with the two
# options, a certificate made here. The installed server names the certificate as openssl does
# and answers over TLS; this is what its package's dependencies must bring.
if ! command -v openssl >/dev/null 2>&1; then
    echo "SKIP: openssl is not installed; TLS not checked"
    exit 0
fi
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
    -subj /CN=localhost -keyout "$work/tls.key" -out "$work/tls.crt" 2>/dev/null ||
    fail "openssl could not make a certificate"
want=$(openssl x509 -noout -fingerprint -sha256 -in "$work/tls.crt")
want=${want#*=}
got=$("$run_bin/kavlink-server" --fingerprint "$work/tls.crt") ||
    fail "kavlink-server --fingerprint failed: $got"
[[ $got == "$want" ]] || fail "kavlink-server --fingerprint says $got, openssl $want"
"${argv[@]}" --listen 127.0.0.1 --tls-port 0 --tls-cert "$work/tls.crt" \
    --tls-key "$work/tls.key" 2>"$work/tls.log" &
pids+=($!)
wait_for "$work/tls.log" "TLS certificate: SHA-256 fingerprint $want" 50
tls_port=$(sed -n 's/.* listening for TLS on 127.0.0.1 port \([0-9]*\).*/\1/p' "$work/tls.log")
prompt=$(sleep 1 | timeout 10 openssl s_client -quiet -no_ign_eof -connect "127.0.0.1:$tls_port" \
    2>/dev/null)
[[ $prompt == login: ]] || fail "the installed server's TLS port answered \"$prompt\", not login:"
echo "ok: the installed server with the unit's command line and a certificate answers over TLS"
