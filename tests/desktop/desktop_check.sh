#!/usr/bin/env bash
# Runs the real kavlink on a private X server beside a real XEmbed tray host and checks what a
# user sees: the about panel, the tray icon and its menu, the status window, the options dialog,
# and the tray still working while that dialog is open. The tray host starts after Kavlink, as a
# session's panel often does; until then the panel offers its own buttons. A second start shows
# the running one's status window. The tray host then dies and comes back: the panel returns
# with its buttons meanwhile, and the icon comes back with the host. A second run with a 14 pt
# desktop font at 1.5x scale and no tray host checks that the windows and the panel's icon grow
# with the font and still fit the screen. A first start without a tunnel server, beside a
# running tray host, shows one notification. Takes screenshots of the panel (with and without a
# tray host), the tray menu, the status window, the options dialog and that notification on the
# way.
#
# Usage: desktop_check.sh KAVLINK_BINARY [SCREENSHOT_DIR]
# The README's pictures come from `tests/desktop/desktop_check.sh build/kavlink docs`.
# Exit status: 0 passed, 1 failed, 77 skipped (a tool is missing).
#
# It never uses the caller's display or session bus, so it runs alike in CI (no DISPLAY) and on
# a developer's desktop.
set -uo pipefail

readonly SKIP=77
readonly BINARY=${1:?usage: desktop_check.sh KAVLINK_BINARY [SCREENSHOT_DIR]}
readonly SHOTS=${2:-$PWD/desktop-check}
PROBE="$(cd "$(dirname "$0")" && pwd)/xprobe.pl" || exit 1
readonly PROBE

# The two dialog templates, in dialog units; without a tray host the panel has a row of buttons
# below its template.
readonly PANEL_DU_W=222 PANEL_DU_H=54 PANEL_BUTTONS_DU_H=75
readonly OPTIONS_DU_W=408 OPTIONS_DU_H=206
readonly HIDE_MS=5000
readonly SCREEN_W=1920 SCREEN_H=1080

for tool in Xvfb trayer xdotool import convert xwininfo xprop perl; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (tools/install-deps.sh installs it)"
        exit $SKIP
    fi
done
if [[ ! -x $BINARY ]]; then
    echo "FAIL: no kavlink binary at $BINARY"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kavlink-desktop.XXXXXX") || exit 1
pids=()
xvfb_pid="" kavlink_pid=""

# ---- Processes

is_running() {
    local pid=$1 state
    [[ -r /proc/$pid/stat ]] || return 1
    read -r _ _ state _ <"/proc/$pid/stat" || return 1
    [[ $state != Z ]]
}

# SIGTERM, then SIGKILL if it is still there 3 s later; reaps it and returns its status.
stop_process() {
    local pid=$1 i
    kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 60; i++)); do
        is_running "$pid" || break
        sleep 0.05
    done
    is_running "$pid" && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        stop_process "${pids[i]}"
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ms() {
    local t=${EPOCHREALTIME//[.,]/}
    echo $((10#$t / 1000))
}

# Polls a command every 50 ms until it succeeds or the time (ms) is up.
wait_until() {
    local limit=$(($(now_ms) + $1))
    shift
    until "$@"; do
        (($(now_ms) >= limit)) && return 1
        sleep 0.05
    done
}

show_logs() {
    local f
    for f in "$work"/*.out "$work"/data/cfg/*.log; do
        [[ -s $f ]] || continue
        echo "---- ${f#"$work"/}"
        tail -n 40 "$f"
    done
    echo "---- windows"
    xwininfo -root -tree 2>&1 | grep -v 'has no name' | head -n 40
}

fail() {
    echo "FAIL: $*"
    show_logs
    exit 1
}

pass() {
    echo "ok: $*"
}

# ---- Windows

# Reads "key value" pairs of xwininfo into the associative array `win`.
declare -A win
read_window() {
    local line
    win=()
    while IFS= read -r line; do
        case $line in
        *"Absolute upper-left X:"*) win[x]=${line##* } ;;
        *"Absolute upper-left Y:"*) win[y]=${line##* } ;;
        *"  Width:"*) win[w]=${line##* } ;;
        *"  Height:"*) win[h]=${line##* } ;;
        *"Map State:"*) win[map]=${line##* } ;;
        *"Override Redirect State:"*) win[override]=${line##* } ;;
        esac
    done < <(xwininfo -id "$1" 2>/dev/null)
    [[ -n ${win[w]:-} ]]
}

is_viewable() {
    read_window "$1" && [[ ${win[map]} == IsViewable ]]
}

# Unmapped or destroyed.
is_hidden() {
    ! is_viewable "$1"
}

# Top-level windows of kavlink, as ids.
kavlink_toplevels() {
    xwininfo -root -children 2>/dev/null | awk '/\("kavlink" "Kavlink"\)/ { print $1 }'
}

# The about panel: the top-level window named "Kavlink" that is a plain window, not a menu.
find_panel() {
    local id
    for id in $(kavlink_toplevels); do
        [[ $(xprop -id "$id" WM_NAME 2>/dev/null) == *'= "Kavlink"' ]] || continue
        read_window "$id" && [[ ${win[override]} == no ]] && ((win[w] > 64)) || continue
        panel=$id
        return 0
    done
    return 1
}

# The popup menu: a viewable override-redirect top-level of kavlink.
find_menu() {
    local id
    for id in $(kavlink_toplevels); do
        is_viewable "$id" && [[ ${win[override]} == yes ]] || continue
        menu=$id
        return 0
    done
    return 1
}

find_status() {
    status=$(xdotool search --onlyvisible --name '^Kavlink status$' 2>/dev/null | head -n 1)
    [[ -n $status ]]
}

find_options() {
    options=$(xdotool search --onlyvisible --name '^Options\.\.\.$' 2>/dev/null | head -n 1)
    [[ -n $options ]]
}

# The icon trayer embedded: a window named "Kavlink" somewhere below trayer's panel window.
find_tray_icon() {
    local tray_panel
    tray_panel=$(xwininfo -root -children | awk '/\("panel" "trayer"\)/ { print $1; exit }')
    [[ -n $tray_panel ]] || return 1
    tray_icon=$(xwininfo -tree -id "$tray_panel" | awk '/"Kavlink": \("kavlink" "Kavlink"\)/ { print $1; exit }')
    [[ -n $tray_icon ]] && is_viewable "$tray_icon" && ((win[w] > 0 && win[h] > 0))
}

# Unique colours of an image: 1 for a window that was never painted.
colours() {
    convert "$1" -format %k info: 2>/dev/null || echo 0
}

# Screenshots, retried until painted (several colours); without time stamps, so that an
# unchanged picture stays byte for byte the same.
shoot_window() {
    local id=$1 file=$2
    import -window "$id" -strip "$file" 2>/dev/null && (($(colours "$file") >= 16))
}

shoot_area() {
    local geometry=$1 file=$2
    import -window root -crop "$geometry" +repage -strip "$file" 2>/dev/null &&
        (($(colours "$file") >= 16))
}

# Rounded a * b / c, as dialog units become pixels.
mul_div() {
    echo $((($1 * $2 + $3 / 2) / $3))
}

# Whether a window of W px and DU dialog units has the width the panel's width gives that many
# units. The average character width is not a whole number of pixels, and each window is
# rounded on its own (at a scale, in logical pixels first): within 3 px.
width_agrees() {
    local w=$1 du=$2 pw=$3 diff
    diff=$((w * PANEL_DU_W - du * pw))
    ((diff < 0)) && diff=$((-diff))
    ((diff <= 3 * PANEL_DU_W))
}

# The dialog font's character height (base_y) that gives the panel's height with or without
# its buttons; fails when none does.
panel_base_y() {
    local h=$1 du_h=$2 b
    for ((b = 6; b <= 80; b++)); do
        (($(mul_div "$du_h" "$b" 8) == h)) && echo "$b" && return 0
    done
    return 1
}

# Whether the window read last lies wholly on the screen.
on_screen() {
    ((win[x] >= 0 && win[y] >= 0 && win[x] + win[w] <= SCREEN_W && win[y] + win[h] <= SCREEN_H))
}

# Whether the window carries an icon of its own (_NET_WM_ICON) for its title bar.
has_icon() {
    [[ $(xprop -id "$1" _NET_WM_ICON 2>/dev/null | head -n 2) == *'Icon ('[1-9]* ]]
}

# A left click at a point of the window, given as a fraction of its size.
click_at() {
    local id=$1 fx=$2 fy=$3
    read_window "$id" || return 1
    xdotool mousemove $((win[x] + win[w] * fx / 1000)) $((win[y] + win[h] * fy / 1000)) click 1
}

# ---- Private X server and tray host

mkdir -p "$SHOTS" "$work"/{home,config,cache,runtime,data/cfg} || exit 1
chmod 700 "$work/runtime"

Xvfb -displayfd 3 -screen 0 ${SCREEN_W}x${SCREEN_H}x24 -dpi 96 -nolisten tcp -noreset \
    3>"$work/display" >"$work/xvfb.out" 2>&1 &
xvfb_pid=$!
pids+=("$xvfb_pid")
wait_until 10000 grep -qs '^[0-9]' "$work/display" || fail "Xvfb did not start"
display=:$(head -n 1 "$work/display")
export DISPLAY=$display
unset XAUTHORITY WAYLAND_DISPLAY
echo "display $DISPLAY"

# Children see nothing of the caller's desktop: no session bus (Qt would put its icon in the
# caller's own tray through it), no theme or scaling settings.
child_env=(env -i "PATH=$PATH" "DISPLAY=$display" "LANG=C.UTF-8" "HOME=$work/home"
    "XDG_CONFIG_HOME=$work/config" "XDG_CACHE_HOME=$work/cache" "XDG_RUNTIME_DIR=$work/runtime"
    "DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus" "QT_QPA_PLATFORM=xcb")
for var in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
    [[ -n ${!var:-} ]] && child_env+=("$var=${!var}")
done

tray_owned() {
    local owner
    owner=$("$PROBE" tray-owner "$display" 2>/dev/null) && [[ $owner != 0 ]]
}

start_trayer() {
    "${child_env[@]}" trayer --edge top --align right --widthtype pixel --width 240 --height 28 \
        --SetDockType false --SetPartialStrut false --transparent false >"$work/trayer.out" 2>&1 &
    trayer_pid=$!
    pids+=("$trayer_pid")
    wait_until 10000 tray_owned || fail "trayer did not take the tray selection"
    pass "trayer owns the tray selection"
}
tray_owned && fail "a tray host runs on the private display before the check starts one"

# ---- Kavlink

tunnel_port=$("$PROBE" free-port tcp) || fail "no free TCP port"
lan_port=$("$PROBE" free-port udp) || fail "no free UDP port"
ini="$work/data/cfg/Kavlink.ini"
# The tunnel points at a port nobody listens on: Kavlink keeps retrying in the background.
cat >"$ini" <<EOF
[Lan]
BroadcastAddress=127.255.255.255
PortNumber=$lan_port
[TunnelSrv]
Hostname=127.0.0.1
PortNumber=$tunnel_port
Login=demo
Password=
HeartBeat=1
FilterTimeSync=0
[General]
Debug=1
[Server1]
Name=Club station
Hostname=127.0.0.1
PortNumber=$tunnel_port
Login=demo
Password=
EOF

started=$(now_ms)
# Without -m: it holds the single-instance lock, and a second start reaches it.
"${child_env[@]}" "$BINARY" -a "$work/data" >"$work/kavlink.out" 2>&1 &
kavlink_pid=$!
pids+=("$kavlink_pid")

# About panel: shown at start, borderless, of its size in the desktop's font. No tray host runs
# yet, so it has its buttons and stays.
wait_until 15000 find_panel || fail "no about panel window"
wait_until 5000 is_viewable "$panel" || fail "the about panel was never shown"
shown=$(now_ms)
echo "about panel $panel shown $((shown - started)) ms after start"
panel_w=${win[w]} panel_h=${win[h]}

# The average character width and the height of the dialog font that give the panel its size;
# the options dialog must then come out of the same two numbers.
base_y=$(panel_base_y "$panel_h" $PANEL_BUTTONS_DU_H) ||
    fail "about panel is ${panel_w}x$panel_h, not $PANEL_DU_W x $PANEL_BUTTONS_DU_H dialog units of any font"
((panel_w * 4 >= 5 * PANEL_DU_W && panel_w * 4 <= 10 * PANEL_DU_W && base_y >= 10 && base_y <= 20)) ||
    fail "about panel ${panel_w}x$panel_h implies an implausible font for 9 pt (height $base_y)"
pass "about panel without a tray host is ${panel_w}x$panel_h px = $PANEL_DU_W x $PANEL_BUTTONS_DU_H dialog units (font height $base_y)"
has_icon "$panel" || fail "the about panel carries no icon"

# The session's panel comes up after Kavlink: the icon must still find its way into it.
wait_until 5000 grep -qs 'no notification area found' "$work/kavlink.out" ||
    fail "kavlink did not say that it found no notification area"
pass "without a tray host kavlink says so on standard error"

hints=$(xprop -id "$panel" _MOTIF_WM_HINTS 2>/dev/null)
read -r flags _ decorations _ <<<"$(echo "${hints#*= }" | tr -d ',')"
((flags & 2)) && ((decorations == 0)) || fail "about panel is not borderless: $hints"
pass "about panel is borderless"

wait_until 3000 shoot_window "$panel" "$SHOTS/about-panel-no-tray.png" ||
    fail "about panel screenshot shows nothing painted"
pass "about panel screenshot without a tray host: $SHOTS/about-panel-no-tray.png"
cp "$ini" "$work/ini-at-start"

# Past its five seconds it stays, the only way in without a tray.
sleep $(((HIDE_MS + 1000) / 1000))
is_viewable "$panel" || fail "without a tray host the about panel hid"
pass "without a tray host the about panel stays past $HIDE_MS ms"

start_trayer
trayer_up=$(now_ms)
wait_until $((HIDE_MS + 5000)) is_hidden "$panel" || fail "about panel did not hide once the tray host came"
hid_after=$(($(now_ms) - trayer_up))
((hid_after <= HIDE_MS + 2500)) || fail "about panel hid $hid_after ms after the tray host came"
pass "about panel hid by itself $hid_after ms after the tray host came"

# Tray: trayer embedded Kavlink's icon, and drew it.
wait_until 5000 find_tray_icon || fail "trayer holds no Kavlink icon"
icon_x=${win[x]} icon_y=${win[y]} icon_w=${win[w]} icon_h=${win[h]}
import -window root -crop "${icon_w}x$icon_h+$icon_x+$icon_y" +repage "$work/icon.png" 2>/dev/null
(($(colours "$work/icon.png") >= 4)) || fail "the tray icon is blank"
pass "trayer holds Kavlink's icon $tray_icon (${icon_w}x$icon_h at $icon_x,$icon_y)"
click_x=$((icon_x + icon_w / 2)) click_y=$((icon_y + icon_h / 2))

# Right click: the menu opens at the cursor, here below the icon so that both show.
xdotool mousemove "$click_x" $((icon_y + icon_h - 2)) click 3
wait_until 5000 find_menu || fail "a right click on the tray icon showed no menu"
menu_x=${win[x]} menu_y=${win[y]} menu_w=${win[w]} menu_h=${win[h]}
((menu_w >= 60 && menu_h >= 60)) || fail "the tray menu is only ${menu_w}x$menu_h"
pass "right click shows the tray menu $menu (${menu_w}x$menu_h at $menu_x,$menu_y)"
# The tray with its open menu, a little margin around both.
left=$((menu_x < icon_x ? menu_x : icon_x))
left=$((left > 8 ? left - 8 : 0))
bottom=$((menu_y + menu_h + 8))
wait_until 3000 shoot_area "$((SCREEN_W - left))x$bottom+$left+0" "$SHOTS/tray.png" ||
    fail "tray screenshot shows nothing painted"
pass "tray screenshot: $SHOTS/tray.png"

# Its first item, "About Kavlink...", shows the panel again, now without its buttons; a click
# on the panel hides it.
xdotool key Down Return
wait_until 3000 is_viewable "$panel" || fail "\"About Kavlink...\" did not show the about panel"
want_h=$(mul_div $PANEL_DU_H "$base_y" 8)
((win[w] == panel_w && win[h] == want_h)) ||
    fail "with a tray host the about panel is ${win[w]}x${win[h]}, not ${panel_w}x$want_h"
pass "\"About Kavlink...\" from the tray menu shows the about panel, ${panel_w}x$want_h px = $PANEL_DU_W x $PANEL_DU_H dialog units"
wait_until 3000 shoot_window "$panel" "$SHOTS/about-panel.png" ||
    fail "about panel screenshot shows nothing painted"
pass "about panel screenshot: $SHOTS/about-panel.png"
xdotool mousemove --window "$panel" 10 10 click 1
wait_until 3000 is_hidden "$panel" || fail "a click on the about panel did not hide it"
pass "a click on the about panel hides it"

# "Status..." opens the status window (that a second one only raises it is checked offscreen).
# The tunnel's port has nobody: by now the first attempt has failed, which the window shows.
tunnel_refused() {
    grep -qs 'Tunnel disconnected' "$work"/data/cfg/*.log
}
wait_until 10000 tunnel_refused || fail "kavlink never logged the refused tunnel"
xdotool mousemove "$click_x" $((icon_y + icon_h - 2)) click 3
wait_until 5000 find_menu || fail "a right click on the tray icon showed no menu"
xdotool key Down Down Return
wait_until 3000 is_hidden "$menu" || fail "the tray menu did not close"
wait_until 5000 find_status || fail "\"Status...\" from the tray menu opened no status window"
pass "\"Status...\" from the tray menu opens the status window $status"
read_window "$status" && on_screen || fail "the status window (${win[w]}x${win[h]} at ${win[x]},${win[y]}) is not wholly on the screen"
has_icon "$status" || fail "the status window carries no icon"
wait_until 3000 shoot_window "$status" "$SHOTS/status-window.png" ||
    fail "status window screenshot shows nothing painted"
pass "status window screenshot: $SHOTS/status-window.png"
xdotool windowfocus --sync "$status" 2>/dev/null
xdotool key Escape
wait_until 3000 is_hidden "$status" || fail "Escape did not close the status window"
pass "Escape closes the status window"

# Double click: the options dialog, of its template's size in the same font.
xdotool mousemove "$click_x" "$click_y" click --repeat 2 --delay 100 1
wait_until 5000 find_options || fail "a double click on the tray icon opened no \"Options...\" window"
read_window "$options"
want_h=$(mul_div $OPTIONS_DU_H "$base_y" 8)
width_agrees "${win[w]}" $OPTIONS_DU_W "$panel_w" && ((win[h] == want_h)) ||
    fail "the options dialog is ${win[w]}x${win[h]}, not $OPTIONS_DU_W x $OPTIONS_DU_H dialog units of the panel's font"
pass "double click opens \"Options...\", ${win[w]}x${win[h]} px = $OPTIONS_DU_W x $OPTIONS_DU_H dialog units"
has_icon "$options" || fail "the options dialog carries no icon"
wait_until 3000 shoot_window "$options" "$SHOTS/options-dialog.png" ||
    fail "options dialog screenshot shows nothing painted"
pass "options dialog screenshot: $SHOTS/options-dialog.png"

# The tray keeps working while the dialog is open: its menu opens, and "Options..." from it
# brings the open dialog forward instead of a second one.
xdotool mousemove "$click_x" $((icon_y + icon_h - 2)) click 3
wait_until 5000 find_menu || fail "with the options dialog open, a right click on the tray icon showed no menu"
pass "with the options dialog open, a right click on the tray icon shows the menu"
xdotool key Down Down Down Return
wait_until 3000 is_hidden "$menu" || fail "the tray menu did not close"
count_options() {
    xdotool search --onlyvisible --name '^Options\.\.\.$' 2>/dev/null | wc -l
}
options_once() {
    (($(count_options) == 1))
}
wait_until 3000 options_once || fail "\"Options...\" from the tray menu left $(count_options) options dialogs"
pass "\"Options...\" from the tray menu while the dialog is open keeps one dialog"

# Escape cancels it, and a cancelled dialog writes nothing.
xdotool windowfocus --sync "$options" 2>/dev/null
xdotool key Escape
wait_until 3000 is_hidden "$options" || fail "Escape did not close the options dialog"
cmp -s "$ini" "$work/ini-at-start" || fail "cancelling the options dialog changed the ini file"
pass "Escape cancels the options dialog and the ini file stays as it was"

# ---- A second start: the running one's status window comes forward, the second says so

"${child_env[@]}" "$BINARY" -a "$work/data" >"$work/kavlink-second.out" 2>&1 &
second_pid=$!
pids+=("$second_pid")
wait_until 10000 find_status || fail "a second start did not bring the running one's status window"
pass "a second start brings the running one's status window $status forward"
second_box() {
    box=$(xdotool search --onlyvisible --pid "$second_pid" 2>/dev/null | head -n 1)
    [[ -n $box ]]
}
wait_until 10000 second_box || fail "the second start showed no message"
xdotool windowfocus --sync "$box" 2>/dev/null
xdotool key Return
second_ended() {
    ! is_running "$second_pid"
}
wait_until 5000 second_ended || fail "the second start did not end once its message was answered"
wait "$second_pid"
status_code=$?
((status_code == 1)) || fail "the second start ended with status $status_code, not 1"
pass "the second start ends with status 1 once its message is answered"
xdotool windowfocus --sync "$status" 2>/dev/null
xdotool key Escape
wait_until 3000 is_hidden "$status" || fail "Escape did not close the status window"

# ---- The tray host dies and comes back

stop_process "$trayer_pid"
wait_until 5000 is_viewable "$panel" || fail "the about panel did not come back when the tray host died"
want_h=$(mul_div $PANEL_BUTTONS_DU_H "$base_y" 8)
panel_with_buttons() {
    read_window "$panel" && ((win[h] == want_h))
}
wait_until 3000 panel_with_buttons ||
    fail "without its tray host the about panel is ${win[w]}x${win[h]}, not ${panel_w}x$want_h with its buttons"
pass "the tray host died: the about panel is back with its buttons, ${win[w]}x${win[h]} px"
grep -qs 'notification area went away' "$work/kavlink.out" ||
    fail "kavlink did not say that the notification area went away"
sleep $(((HIDE_MS + 1000) / 1000))
is_viewable "$panel" || fail "without its tray host the about panel hid"
pass "without its tray host the about panel stays past $HIDE_MS ms"

start_trayer
trayer_up=$(now_ms)
wait_until 5000 find_tray_icon || fail "the tray host came back but holds no Kavlink icon"
pass "the tray host came back and holds Kavlink's icon $tray_icon again"
wait_until $((HIDE_MS + 5000)) is_hidden "$panel" || fail "the about panel did not hide once the tray host was back"
pass "the about panel hid $(($(now_ms) - trayer_up)) ms after the tray host came back"

# A termination request ends Kavlink cleanly.
is_running "$kavlink_pid" || fail "kavlink is no longer running"
kill -TERM "$kavlink_pid"
kavlink_ended() {
    ! is_running "$kavlink_pid"
}
wait_until 10000 kavlink_ended || fail "kavlink did not end within 10 s of SIGTERM"
wait "$kavlink_pid"
status=$?
((status == 0)) || fail "kavlink ended with status $status after SIGTERM"
pass "SIGTERM ends kavlink with status 0 after $(($(now_ms) - started)) ms in all"

# ---- A first start without a tunnel server, beside a running tray host

# One notification beside the icon says so: a viewable popup of kavlink other than its menu.
mkdir -p "$work/fresh/cfg" || exit 1
printf '[Lan]\nPortNumber=%s\n[General]\nDebug=1\n' "$lan_port" >"$work/fresh/cfg/Kavlink.ini"
"${child_env[@]}" "$BINARY" -m -a "$work/fresh" >"$work/kavlink-fresh.out" 2>&1 &
kavlink_pid=$!
pids+=("$kavlink_pid")
popups() {
    local id
    for id in $(kavlink_toplevels); do
        is_viewable "$id" && [[ ${win[override]} == yes ]] && echo "$id"
    done
}
notice_shown() {
    notice=$(popups | head -n 1)
    [[ -n $notice ]]
}
wait_until 10000 notice_shown || fail "a first start without a tunnel server showed no notification"
read_window "$notice"
notice_x=${win[x]} notice_y=${win[y]} notice_w=${win[w]} notice_h=${win[h]}
on_screen || fail "the first start's notification is not wholly on the screen"
grep -qs 'no tunnel server configured.*Options\.\.\. in the tray menu' "$work/kavlink-fresh.out" ||
    fail "kavlink did not say on standard error that Options... in the tray menu sets a server"
pass "a first start without a tunnel server shows a notification (${notice_w}x$notice_h at $notice_x,$notice_y)"
left=$((notice_x > 8 ? notice_x - 8 : 0))
wait_until 3000 shoot_area "$((SCREEN_W - left))x$((notice_y + notice_h + 8))+$left+0" \
    "$SHOTS/first-start-notice.png" || fail "notification screenshot shows nothing painted"
pass "notification screenshot: $SHOTS/first-start-notice.png"
# Past the panel's five seconds and a reconnection attempt: still that one notification.
panel=""
wait_until 15000 find_panel && wait_until $((HIDE_MS + 3000)) is_hidden "$panel" ||
    fail "the about panel did not hide on a first start beside a tray host"
sleep 1
(($(popups | wc -l) == 1)) || fail "the first start showed $(popups | wc -l) notifications"
pass "one notification only, past the about panel's $HIDE_MS ms"
stop_process "$kavlink_pid"

# ---- A 14 pt desktop font at 1.5x scale, no tray host

# The desktop's font as a KDE session gives it to Qt; scale as a HiDPI desktop sets it.
stop_process "$trayer_pid"
printf '[General]\nfont=DejaVu Sans,14,-1,5,50,0,0,0,0,0\nfixed=DejaVu Sans Mono,14,-1,5,50,0,0,0,0,0\n' \
    >"$work/config/kdeglobals"
large_env=("${child_env[@]}" "XDG_CURRENT_DESKTOP=KDE" "KDE_SESSION_VERSION=5" "QT_SCALE_FACTOR=1.5")
"${large_env[@]}" "$BINARY" -m -a "$work/data" >"$work/kavlink-large.out" 2>&1 &
kavlink_pid=$!
pids+=("$kavlink_pid")
panel=""
wait_until 15000 find_panel || fail "no about panel window at 14 pt and 1.5x"
wait_until 5000 is_viewable "$panel" || fail "the about panel was never shown at 14 pt and 1.5x"
large_w=${win[w]} large_h=${win[h]}
# 14 / 9 pt at 1.5x: well over twice the size.
((large_w * 10 >= panel_w * 20 && large_h * 10 >= panel_h * 20)) ||
    fail "at 14 pt and 1.5x the about panel is ${large_w}x$large_h, hardly larger than ${panel_w}x$panel_h"
on_screen || fail "at 14 pt and 1.5x the about panel is not wholly on the screen"
pass "at 14 pt and 1.5x the about panel grows to ${large_w}x$large_h px"
large_panel=$panel

# Its icon fills the square of its place, 20 x 20 dialog units from (7, 14): the artwork's
# edge, found by trimming the panel's background, spans most of that square.
icon_side=$(mul_div 20 "$large_w" $PANEL_DU_W)
icon_side_y=$(mul_div 20 "$large_h" $PANEL_BUTTONS_DU_H)
((icon_side_y < icon_side)) && icon_side=$icon_side_y
icon_crop="$(mul_div 20 "$large_w" $PANEL_DU_W)x$icon_side_y+$(mul_div 7 "$large_w" $PANEL_DU_W)+$(mul_div 14 "$large_h" $PANEL_BUTTONS_DU_H)"
wait_until 3000 shoot_window "$large_panel" "$work/large-panel.png" ||
    fail "the about panel at 14 pt and 1.5x shows nothing painted"
read -r drawn_w drawn_h <<<"$(convert "$work/large-panel.png" -crop "$icon_crop" +repage \
    -fuzz 10% -trim -format '%w %h' info: 2>/dev/null)"
((drawn_w * 10 >= icon_side * 8 && drawn_h * 10 >= icon_side * 8)) ||
    fail "at 14 pt and 1.5x the panel's icon is drawn ${drawn_w:-?}x${drawn_h:-?} px in a place of $icon_side px"
pass "at 14 pt and 1.5x the panel's icon grows to ${drawn_w}x$drawn_h px"

# Its buttons, at their places in dialog units: Status... (109 + 25, 54 + 7), Options... (53 + 25).
click_at "$large_panel" $((134 * 1000 / PANEL_DU_W)) $((61 * 1000 / PANEL_BUTTONS_DU_H))
wait_until 5000 find_status || fail "\"Status...\" on the about panel opened no status window"
read_window "$status"
on_screen || fail "at 14 pt and 1.5x the status window (${win[w]}x${win[h]} at ${win[x]},${win[y]}) is not wholly on the screen"
((win[h] >= SCREEN_H / 2)) || fail "at 14 pt and 1.5x the status window is only ${win[w]}x${win[h]}"
pass "\"Status...\" on the about panel opens the status window, ${win[w]}x${win[h]} px, wholly on the screen"
xdotool windowfocus --sync "$status" 2>/dev/null
xdotool key Escape
wait_until 3000 is_hidden "$status" || fail "Escape did not close the status window"

click_at "$large_panel" $((78 * 1000 / PANEL_DU_W)) $((61 * 1000 / PANEL_BUTTONS_DU_H))
wait_until 5000 find_options || fail "\"Options...\" on the about panel opened no options dialog"
read_window "$options"
width_agrees "${win[w]}" $OPTIONS_DU_W "$large_w" ||
    fail "at 14 pt and 1.5x the options dialog is ${win[w]} px wide, not $OPTIONS_DU_W dialog units of the panel's font"
on_screen || fail "at 14 pt and 1.5x the options dialog is not wholly on the screen"
pass "\"Options...\" on the about panel opens the options dialog, ${win[w]}x${win[h]} px in the same font"
xdotool windowfocus --sync "$options" 2>/dev/null
xdotool key Escape
wait_until 3000 is_hidden "$options" || fail "Escape did not close the options dialog"

# Exit (165 + 25) ends Kavlink while the panel shows.
click_at "$large_panel" $((190 * 1000 / PANEL_DU_W)) $((61 * 1000 / PANEL_BUTTONS_DU_H))
wait_until 10000 kavlink_ended || fail "\"Exit\" on the about panel did not end kavlink"
wait "$kavlink_pid"
status=$?
((status == 0)) || fail "kavlink ended with status $status after \"Exit\""
pass "\"Exit\" on the about panel ends kavlink with status 0"
