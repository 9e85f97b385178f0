#!/usr/bin/env bash
# Checks the two Debian packages in PACKAGE_DIR as a distribution would: desktop entry,
# AppStream metainfo and systemd units validated, lintian without errors or warnings, and the
# files of each package exactly those the README's "Installing" section lists.
#
# Usage: check_packages.sh PACKAGE_DIR README
# Exit status: 0 passed, 1 failed, 77 skipped (a tool is missing).
set -uo pipefail

readonly SKIP=77
readonly DEBS=${1:?usage: check_packages.sh PACKAGE_DIR README}
readonly README=${2:?usage: check_packages.sh PACKAGE_DIR README}

work=$(mktemp -d "${TMPDIR:-/tmp}/kavlink-packages.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
status=0 skipped=()

fail() {
    echo "FAIL: $*"
    status=1
}
pass() {
    echo "ok: $*"
}
have() {
    command -v "$1" >/dev/null 2>&1 && return 0
    echo "SKIP: $1 is not installed (tools/install-deps.sh installs it)"
    skipped+=("$1")
    return 1
}

# A check passes when the tool says nothing at all: several only warn, with status 0.
quiet_ok() {
    local what=$1 out
    shift
    if out=$("$@" 2>&1) && [[ -z $out ]]; then
        pass "$what"
    else
        fail "$what"
        echo "$out" | sed 's/^/    /'
    fi
}

have dpkg-deb || exit $SKIP
shopt -s nullglob
debs=("$DEBS"/kavlink_*.deb "$DEBS"/kavlink-server_*.deb)
((${#debs[@]} == 2)) || {
    echo "FAIL: want kavlink_*.deb and kavlink-server_*.deb in $DEBS, found: ${debs[*]:-none}"
    exit 1
}
root=$work/root
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root" || fail "cannot unpack $deb"
done

if have desktop-file-validate; then
    for f in "$root"/usr/share/applications/*.desktop; do
        quiet_ok "desktop-file-validate ${f#"$root"}" desktop-file-validate "$f"
    done
fi

if have appstreamcli; then
    for f in "$root"/usr/share/metainfo/*.xml; do
        if out=$(appstreamcli validate --no-net --explain "$f" 2>&1); then
            pass "appstreamcli validate ${f#"$root"}"
        else
            fail "appstreamcli validate ${f#"$root"}"
            echo "$out" | sed 's/^/    /'
        fi
    done
fi

# The units name the installed programs and manual pages: point them at the unpacked ones.
if have systemd-analyze && have man; then
    mkdir -p "$work/units" "$work/runtime" && chmod 700 "$work/runtime"
    for unit in "$root"/usr/lib/systemd/{system,user}/*.service; do
        sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/units/${unit##*/}"
        scope=()
        [[ $unit == */user/* ]] && scope=(--user)
        quiet_ok "systemd-analyze ${scope[*]} verify ${unit#"$root"}" \
            env XDG_RUNTIME_DIR="$work/runtime" MANPATH="$root/usr/share/man" \
            systemd-analyze "${scope[@]}" verify "$work/units/${unit##*/}"
    done
fi

# The server's unit: its own system user (the one sysusers.d creates), the users file read in
# place, a reload that sends SIGHUP, and a sandbox no looser than measured (exposure 1.2).
unit=$root/usr/lib/systemd/system/kavlink-server.service
sysusers=$root/usr/lib/sysusers.d/kavlink-server.conf
before=$status
user=$(sed -n 's/^User=//p' "$unit")
[[ -n $user ]] || fail "kavlink-server.service names no User="
[[ $(awk '$1 == "u" { print $2 }' "$sysusers" 2>/dev/null) == "$user" ]] ||
    fail "sysusers.d/kavlink-server.conf does not create the unit's user \"$user\""
grep -Eq '^(DynamicUser|LoadCredential)=' "$unit" &&
    fail "kavlink-server.service still has DynamicUser= or LoadCredential="
grep -Eq '^ExecStart=.* --users /etc/kavlink/users( |$)' "$unit" ||
    fail "kavlink-server.service does not read /etc/kavlink/users in place"
# shellcheck disable=SC2016 # systemd, not the shell, expands $MAINPID
grep -Eq '^ExecReload=/bin/kill -HUP \$MAINPID$' "$unit" ||
    fail "kavlink-server.service has no ExecReload sending SIGHUP"
((status == before)) &&
    pass "kavlink-server.service runs as $user, reads its users file in place, reloads with SIGHUP"
if [[ -d $work/units ]]; then
    what="systemd-analyze security kavlink-server.service"
    if out=$(systemd-analyze security --offline=true --threshold=12 --no-pager \
        "$work/units/kavlink-server.service" 2>&1); then
        pass "$what: exposure $(sed -n 's/.*Overall exposure level[^:]*: //p' <<<"$out")"
    else
        fail "$what: exposure above 1.2"
        grep -E '✗|Overall' <<<"$out" | sed 's/^/    /'
    fi
fi

# Maintainer scripts: valid sh, then run against stand-ins for the commands they call. Each
# row: case; script and arguments; the stat override already there, as dpkg-statoverride lists
# it; whether systemd-sysusers is there; the calls expected, in order.
mkdir -p "$work/control" "$work/bin"
dpkg-deb -e "${debs[1]}" "$work/control" || fail "cannot unpack the control files of ${debs[1]}"
for script in preinst postinst prerm postrm; do
    [[ -e $work/control/$script ]] || continue
    [[ -x $work/control/$script ]] || fail "the $script of kavlink-server is not executable"
    quiet_ok "sh -n kavlink-server $script" sh -n "$work/control/$script"
    if command -v shellcheck >/dev/null 2>&1; then
        quiet_ok "shellcheck kavlink-server $script" shellcheck -s sh "$work/control/$script"
    fi
done
for command in systemd-sysusers adduser dpkg-statoverride deb-systemd-helper deb-systemd-invoke \
    systemctl; do
    cat >"$work/bin/$command" <<'STUB'
#!/bin/sh
echo "${0##*/} $*" >>"$CALLS"
case "${0##*/} $1" in
"dpkg-statoverride --list") [ -n "$OVERRIDE" ] || exit 1; echo "$OVERRIDE" ;;
"deb-systemd-helper debian-installed") exit 1 ;;
esac
exit 0
STUB
    chmod +x "$work/bin/$command"
done
list="dpkg-statoverride --list /etc/kavlink/users"
add="dpkg-statoverride --update --add root $user 0640 /etc/kavlink/users"
state="deb-systemd-helper debian-installed kavlink-server.service|\
deb-systemd-helper update-state kavlink-server.service"
while IFS=';' read -r what args override sysusers want; do
    mkdir -p "$work/bin-$sysusers" && : >"$work/calls"
    for command in "$work"/bin/*; do
        [[ $sysusers == no && $command == */systemd-sysusers ]] ||
            ln -sf "$command" "$work/bin-$sysusers/"
    done
    read -r -a argv <<<"$args"
    if ! CALLS=$work/calls OVERRIDE=$override PATH=$work/bin-$sysusers \
        "$work/control/${argv[0]}" "${argv[@]:1}" >/dev/null 2>&1; then
        fail "kavlink-server $args ($what) failed"
        continue
    fi
    got=$(paste -sd'|' "$work/calls")
    if [[ $got == "$want" ]]; then
        pass "kavlink-server $args: $what"
    else
        fail "kavlink-server $args: $what: called \"$got\", want \"$want\""
    fi
done <<ROWS
fresh install;postinst configure;;yes;systemd-sysusers kavlink-server.conf|$list|$add|$state
without systemd;postinst configure;;no;adduser --system --group --no-create-home --home /nonexistent --quiet --gecos Kavlink tunnel server $user|$list|$add|$state
upgrade, an admin's override kept;postinst configure 1.18.0;root root 600 /etc/kavlink/users;yes;systemd-sysusers kavlink-server.conf|$list|$state
purge drops our override;postrm purge;root $user 640 /etc/kavlink/users;yes;deb-systemd-helper purge kavlink-server.service|$list|dpkg-statoverride --remove /etc/kavlink/users
purge keeps an admin's override;postrm purge;root root 600 /etc/kavlink/users;yes;deb-systemd-helper purge kavlink-server.service|$list
ROWS

# Every package named in Depends, Recommends or Suggests exists on the release we build on.
if have apt-cache; then
    before=$status
    for deb in "${debs[@]}"; do
        for field in Depends Recommends Suggests; do
            names=$(dpkg-deb -f "$deb" "$field" | tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/ //g' | sed '/^$/d')
            for name in $names; do
                candidate=$(apt-cache policy "$name" 2>/dev/null | sed -n 's/^ *Candidate: //p')
                [[ -n $candidate && $candidate != "(none)" ]] ||
                    fail "$(basename "$deb") names $name in $field, which apt does not know"
            done
        done
    done
    ((status == before)) && pass "every Depends, Recommends and Suggests is a package apt knows"
fi

if have lintian; then
    # As root lintian only warns that it runs as root.
    if out=$(lintian --fail-on error,warning "${debs[@]}" 2>&1 |
        grep -v 'running with root privileges is not recommended'; exit "${PIPESTATUS[0]}"); then
        pass "lintian: no errors, no warnings"
    else
        fail "lintian"
    fi
    [[ -n $out ]] && echo "$out" | sed 's/^/    /'
fi

# README: rows "| `package` | `/path/or/pattern` |" in its "Installing" section.
declare -A listed
while IFS='|' read -r _ package path _; do
    package=${package//[\` ]/} path=${path//[\` ]/}
    [[ $path == /* ]] && listed[$package]+="$path "
done < <(sed -n '/^## Installing/,/^## /p' "$README" | grep -E '^\| *`kavlink')
for deb in "${debs[@]}"; do
    package=$(dpkg-deb -f "$deb" Package)
    read -r -a patterns <<<"${listed[$package]:-}"
    mapfile -t files < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')
    before=$status
    ((${#patterns[@]} > 0)) || fail "the README lists no files for $package"
    declare -A used=()
    for f in "${files[@]}"; do
        found=""
        for p in "${patterns[@]}"; do
            # shellcheck disable=SC2053 # the README's entries are patterns
            [[ $f == $p ]] && found=$p && used[$p]=1 && break
        done
        [[ -n $found ]] || fail "$package installs $f, which the README does not list"
    done
    for p in "${patterns[@]}"; do
        [[ -n ${used[$p]:-} ]] || fail "the README lists $p for $package, which it does not install"
    done
    unset used
    ((status == before)) && pass "$package holds exactly the files the README lists (${#files[@]})"
done

if ((status == 0 && ${#skipped[@]} > 0)); then
    echo "SKIP: checked what the tools at hand allow; missing: ${skipped[*]}"
    exit $SKIP
fi
exit $status
