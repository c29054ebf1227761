#!/bin/bash
# On demand, not a test: frame rates, click-to-pixels latency and CPU of the page
# on the screen, through the engine's own window and through screencast pictures
# (tools/bench_view.py). Builds what is missing; runs on a 1920 x 1080 Xvfb of its
# own. Arguments: the routes to measure (embedded, screencast; both by default).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

"$ROOT/tools/setup.sh" >/dev/null || exit 1
vm_build || { echo "bench: build failed" >&2; exit 1; }
trap vm_cleanup EXIT
trap 'vm_cleanup; exit 130' INT TERM
unset DISPLAY
VM_SCREEN=1920x1080x24 vm_display || exit 1
vm_wineserver
vm_unmanaged_client on
BENCH_WINESERVER_PID="$VM_WINESERVER_PID" BENCH_XSERVER_PID="$VM_XVFB_PID" VORNMARK_BUILD="$BUILD" \
    "$PY" "$ROOT/tools/bench_view.py" "$@"
