#!/bin/bash
# Installs everything the build, the run and the tests need on a Debian machine,
# and prepares the project's own Wine prefix under the build folder.
# Idempotent: a second call finds everything in place and returns quickly.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${VORNMARK_BUILD:-$ROOT/build}"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

PKGS=(g++-mingw-w64-i686-posix mingw-w64-tools cmake make wine wine32:i386
      xvfb xauth imagemagick xdotool fonts-wine fonts-wqy-microhei googletest
      nlohmann-json3-dev python3 python3-pil fonts-dejavu-core chromium
      chromium-l10n)

missing=()
for p in "${PKGS[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Wine prefix of our own, initialised once.
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$BUILD"
if [ ! -f "$WINEPREFIX/.vornmark-ready" ]; then
    echo "setup: preparing Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || { echo "setup: wineboot failed" >&2; exit 1; }
    wineserver -w
    fonts="$WINEPREFIX/drive_c/windows/Fonts"
    mkdir -p "$fonts"
    cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf "$fonts/"
    # CJK families and GDI+'s generic sans-serif fallback map onto installed fonts.
    for name in 宋体 SimSun "Microsoft Sans Serif" "MS Shell Dlg" "Microsoft YaHei"; do
        wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$name" /t REG_SZ \
            /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
    done
    wineserver -w
    touch "$WINEPREFIX/.vornmark-ready"
fi
echo "setup: ready (prefix $WINEPREFIX)"
