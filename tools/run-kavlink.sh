#!/usr/bin/env bash
# Starts Kavlink; without a display it runs headless and says so.
set -euo pipefail
binary=$1
shift
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Kavlink: no display found, running headless (QT_QPA_PLATFORM=offscreen)." >&2
    export QT_QPA_PLATFORM=offscreen
fi
exec "$binary" "$@"
