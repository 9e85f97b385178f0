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
