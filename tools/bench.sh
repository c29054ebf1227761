#!/bin/bash
# On-demand benchmarks (figures, not tests): the browser layer alone, then the
# client on the local portal. Exit code 0 unless a figure went beyond its bound
# or could not be measured. "tools/bench.sh flash" measures Flash content instead,
# "tools/bench.sh relay" the socket relay.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$ROOT/tools/setup.sh" || exit 1
vm_build || exit 1
trap vm_cleanup EXIT
VM_FORCE_XVFB=1 vm_display || exit 1
vm_wineserver
vm_unmanaged_client on
if [ "${1:-}" = relay ]; then
    VORNMARK_BUILD="$BUILD" "$PY" "$ROOT/tools/bench_relay.py"
    exit $?
fi
if [ "${1:-}" = flash ]; then
    VORNMARK_BUILD="$BUILD" "$PY" "$ROOT/tools/bench_flash.py"
    exit $?
fi
status=0
# The browser layer alone: start, idle cost, pictures, key to picture.
wine "$BUILD/tools/engine_bench.exe" || status=$?
# The whole client on the local portal.
VORNMARK_BUILD="$BUILD" "$PY" "$ROOT/tools/bench_road.py" || status=$?
exit $status
