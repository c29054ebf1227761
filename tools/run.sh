#!/bin/bash
# Sets up what is missing, builds, starts the local portal and runs the client
# under Wine. Without a display it runs on Xvfb and saves screenshots.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

"$ROOT/tools/setup.sh" || exit 1
vm_build || { echo "run: build failed" >&2; exit 1; }

PORTAL_PID=""
SHOT_PID=""
cleanup() {
    [ -n "$SHOT_PID" ] && kill "$SHOT_PID" 2>/dev/null
    [ -n "$PORTAL_PID" ] && kill "$PORTAL_PID" 2>/dev/null && wait "$PORTAL_PID" 2>/dev/null
    vm_cleanup
}
trap cleanup EXIT
trap 'exit 130' INT TERM

headless=""
if [ -z "${DISPLAY:-}" ]; then headless=1; fi
vm_display || exit 1
vm_wineserver
if [ -n "$headless" ]; then vm_unmanaged_client on; else vm_unmanaged_client off; fi

if [ -f "$ROOT/portal/portal.py" ]; then
    mkdir -p "$BUILD/run"
    "$PY" "$ROOT/portal/portal.py" --port "${VORNMARK_PORTAL_PORT:-18765}" --log "$BUILD/run/portal-log.jsonl" \
        --assets "$BUILD/portal" \
        >"$BUILD/run/portal.out" 2>&1 &
    PORTAL_PID=$!
    echo "run: portal on 127.0.0.1:${VORNMARK_PORTAL_PORT:-18765} (log $BUILD/run/portal-log.jsonl)"
fi

SHOTS="${VORNMARK_SHOTS:-$ROOT/shots}"
if [ -n "$headless" ]; then
    mkdir -p "$SHOTS"
    echo "run: no display; Xvfb on $DISPLAY, screenshots every 5 s in $SHOTS"
    ( n=0; while sleep 5; do n=$((n+1)); /usr/bin/import -window root "$SHOTS/shot-$(printf %03d $n).png" 2>/dev/null; done ) &
    SHOT_PID=$!
fi

wine "$BUILD/vornmark.exe"
code=$?
if [ -n "$headless" ]; then /usr/bin/import -window root "$SHOTS/shot-exit.png" 2>/dev/null; fi
echo "run: client exited with code $code"
exit $code
