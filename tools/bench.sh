#!/bin/bash
# On-demand benchmarks of the client on the local portal (figures, not pass/fail).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$ROOT/tools/setup.sh" || exit 1
vm_build || exit 1
trap vm_cleanup EXIT
VM_FORCE_XVFB=1 vm_display || exit 1
vm_wineserver
vm_unmanaged_client on
VORNMARK_BUILD="$BUILD" "$PY" "$ROOT/tools/bench_road.py"
