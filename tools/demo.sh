#!/bin/bash
# On-demand demonstrations (not tests). Without a display they run on Xvfb and
# leave a screenshot in build/shots/.
#   tools/demo.sh toolkit            the skinned toolkit: window, buttons, menu, tooltip, dialog
#   tools/demo.sh browser [s] [url]  a page of the browser layer for s seconds (10)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
what="${1:-toolkit}"
"$ROOT/tools/setup.sh" || exit 1
vm_build || exit 1
trap vm_cleanup EXIT
vm_display || exit 1
vm_wineserver
mkdir -p "$BUILD/shots"

case "$what" in
toolkit)
    VORNMARK_DEMO_HOLD_MS=3000 wine "$BUILD/tools/toolkit_demo.exe" &
    demo=$!
    sleep 2  # a picture of the demo on screen, whatever it does then
    /usr/bin/import -window root "$BUILD/shots/toolkit-demo.png" && echo "screenshot: $BUILD/shots/toolkit-demo.png"
    wait "$demo"
    ;;
browser)
    seconds="${2:-10}"
    wine "$BUILD/tools/browser_demo.exe" "$seconds" ${3:+"$3"} &
    demo=$!
    sleep $(( seconds > 4 ? seconds - 2 : 2 ))
    /usr/bin/import -window root "$BUILD/shots/browser-demo.png" && echo "screenshot: $BUILD/shots/browser-demo.png"
    wait "$demo"
    ;;
*)
    echo "usage: $0 toolkit | browser [seconds] [url]" >&2
    exit 2
    ;;
esac
