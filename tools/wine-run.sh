#!/bin/bash
# Runs a Windows executable under the project's Wine prefix; CMake uses it as
# the cross-compiling emulator so that ctest runs the test executables here.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-${VORNMARK_BUILD:-$ROOT/build}/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
exec wine "$@"
