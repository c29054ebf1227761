# Shared settings of the project's scripts (sourced, not run).
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${VORNMARK_BUILD:-$ROOT/build}"
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
PY=/usr/bin/python3

# Configures and builds the executable and the tests.
# VORNMARK_PORTAL_PORT moves the local portal (and the hosts built in) off the
# default port, so that two checkouts can build and test side by side.
vm_build() {
    # Always passed, so that a build folder configured for another port comes back.
    local p="${VORNMARK_PORTAL_PORT:-18765}"
    local hosts=(-DVORNMARK_GAME_HOST="127.0.0.1:$p" -DVORNMARK_PORTAL_HOST="127.0.0.1:$p"
                 -DVORNMARK_STATS_HOST="127.0.0.1:$p" -DVORNMARK_FORUM_HOST="127.0.0.2:$p"
                 -DVORNMARK_PAY_HOST="127.0.0.3:$p")
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
          -DCMAKE_BUILD_TYPE=Release "${hosts[@]}" >/dev/null || { echo "build: configure failed" >&2; return 1; }
    cmake --build "$BUILD" -j"$(nproc)" -- --no-print-directory 2>&1 | grep -v '^\[' ; 
    return "${PIPESTATUS[0]}"
}

# Starts Xvfb on a free display when none is given; records its pid for vm_cleanup.
VM_XVFB_PID=""
vm_display() {
    if [ -n "${DISPLAY:-}" ] && [ -z "${VM_FORCE_XVFB:-}" ]; then return 0; fi
    local fdfile; fdfile="$(mktemp)"
    Xvfb -displayfd 3 -screen 0 "${VM_SCREEN:-1920x1080x24}" -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
    VM_XVFB_PID=$!
    for _ in $(seq 1 100); do
        [ -s "$fdfile" ] && break
        sleep 0.05
    done
    if [ ! -s "$fdfile" ]; then echo "Xvfb did not start" >&2; rm -f "$fdfile"; return 1; fi
    export DISPLAY=":$(head -n1 "$fdfile")"
    rm -f "$fdfile"
}

# Keeps one wineserver alive for the whole run so each Wine process starts fast.
VM_WINESERVER_PID=""
vm_wineserver() {
    wineserver -f -p >/dev/null 2>&1 &
    VM_WINESERVER_PID=$!
    # Start Wine's own services now, detached from our output: started later by a
    # test they would inherit ctest's pipes and keep it waiting until they end.
    wine cmd /c exit >/dev/null 2>&1 </dev/null
}

# Without a window manager (a bare Xvfb), Wine waits for one on every hide and
# may undo a maximise; unmanaged windows behave as they do on Windows. With a
# real display the client's windows stay managed.
vm_unmanaged_client() {
    local key='HKCU\Software\Wine\AppDefaults\vornmark.exe\X11 Driver'
    if [ "$1" = on ]; then
        wine reg add "$key" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    else
        wine reg delete "$key" /v Managed /f >/dev/null 2>&1
    fi
    return 0
}

# Pids of the processes still running in our Wine prefix (none once vm_cleanup ran).
vm_wine_leftovers() {
    local env pid
    for env in /proc/[0-9]*/environ; do
        pid=${env#/proc/}; pid=${pid%/environ}
        if { tr '\0' '\n' <"$env"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            [ "$pid" != "$$" ] && [ "$pid" != "$BASHPID" ] && printf '%s ' "$pid"
        fi
    done
    return 0
}

vm_cleanup() {
    if [ -n "$VM_WINESERVER_PID" ]; then
        # SIGINT makes the wineserver end every Wine process it serves (the services
        # started above among them) before it exits; on SIGTERM it would leave them
        # running without a server.
        kill -INT "$VM_WINESERVER_PID" 2>/dev/null; wait "$VM_WINESERVER_PID" 2>/dev/null
        VM_WINESERVER_PID=""
    fi
    if [ -n "$VM_XVFB_PID" ]; then
        kill "$VM_XVFB_PID" 2>/dev/null; wait "$VM_XVFB_PID" 2>/dev/null
        VM_XVFB_PID=""
    fi
}
