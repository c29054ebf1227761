#!/bin/bash
# Makes the installer, build/vornmark-setup-<version>.exe: installs what is
# missing, builds the client and packs it (the build's "installer" target).
# Build settings such as the channel's default ids are CMake cache variables:
#   cmake -B build -DVORNMARK_DEFAULT_AGENT_ID=7 -DVORNMARK_DEFAULT_SITE_ID=3
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

"$ROOT/tools/setup.sh" || { echo "FAIL: setup" >&2; exit 1; }
vm_build || { echo "FAIL: build" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
setup="$BUILD/vornmark-setup-$version.exe"
if [ -z "$version" ] || [ ! -f "$setup" ]; then
    echo "FAIL: no installer made (is makensis installed?): $setup" >&2
    exit 1
fi
echo "installer: $setup"
