#!/bin/bash
# Sets up what is missing, builds, and runs every test: the C++ tests under Wine
# (through ctest), the portal's tests and the system tests.
#
#   ./tools/test.sh                     everything once
#   ./tools/test.sh --repeat N [--busy] the suites that drive real processes (browser
#                                       layer on both routes, engine host, system) N
#                                       times, then a table of what failed and how often;
#                                       --busy keeps one core busy meanwhile
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

repeat=""
busy=""
while [ $# -gt 0 ]; do
    case "$1" in
        --repeat) repeat="${2:-}"; shift 2 ;;
        --busy) busy="--busy"; shift ;;
        *) echo "usage: $0 [--repeat N [--busy]]" >&2; exit 2 ;;
    esac
done
if [ -n "$repeat" ] && ! [[ "$repeat" =~ ^[1-9][0-9]*$ ]]; then
    echo "--repeat takes a number of rounds, not '$repeat'" >&2; exit 2
fi

"$ROOT/tools/setup.sh" || { echo "FAIL: setup" >&2; exit 1; }
start=$(date +%s)
vm_build || { echo "FAIL: build" >&2; exit 1; }
echo "build: $(( $(date +%s) - start )) s"

trap vm_cleanup EXIT
trap 'vm_cleanup; exit 130' INT TERM
vm_display || exit 1
vm_wineserver
# The system tests run the client on the test's bare Xvfb.
if [ -n "$VM_XVFB_PID" ]; then vm_unmanaged_client on; fi

if [ -n "$repeat" ]; then
    VORNMARK_BUILD="$BUILD" "$PY" "$ROOT/tools/repeat_tests.py" "$repeat" $busy
    code=$?
    vm_cleanup
    left=$(vm_wine_leftovers)
    if [ -n "$left" ]; then echo "FAIL: processes still running in the test prefix: $left" >&2; code=1; fi
    exit $code
fi

failed=()
start=$(date +%s)
ctest --test-dir "$BUILD" --output-on-failure ${CTEST_ARGS:-} || failed+=("C++ tests")
echo "C++ tests: $(( $(date +%s) - start )) s"

for suite in "$ROOT"/tests/*/; do
    if compgen -G "$suite/test_*.py" >/dev/null; then
        name=$(basename "$suite")
        echo "== python tests: $name"
        VORNMARK_BUILD="$BUILD" "$PY" -m unittest discover -s "$suite" -p 'test_*.py' -v \
            || failed+=("python tests: $name")
    fi
done

# Nothing of the run may outlive it: no engine, no client, no Wine service.
vm_cleanup
left=$(vm_wine_leftovers)
if [ -n "$left" ]; then
    echo "FAIL: processes still running in the test prefix: $left" >&2
    ps -o pid,args -p "${left// /,}" >&2 2>/dev/null
    failed+=("leftover processes")
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}" >&2
    exit 1
fi
echo "ALL TESTS PASSED"
