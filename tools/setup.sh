#!/bin/bash
# Installs everything the build, the run and the tests need on a Debian machine,
# and prepares the project's own Wine prefix under the build folder.
# Idempotent: a second call finds everything in place and returns quickly.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${VORNMARK_BUILD:-$ROOT/build}"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

# fcitx5 and its pinyin add-on, with a session bus: the system tests type Chinese
# through a real input method (fcitx5-modules has its X input method frontend, for
# Wine; named by its own name, as a second call must find it installed).
# python3-xlib: the engine host's X side (the engine's window inside ours); the
# 32-bit GL libraries let Wine give our browser window a pixel format, which keeps
# Wine's own drawing off the engine's window; nsis makes the installer (tools/package.sh).
PKGS=(g++-mingw-w64-i686-posix mingw-w64-tools cmake make wine wine32:i386
      xvfb xauth imagemagick xdotool fonts-wine fonts-wqy-microhei googletest
      nlohmann-json3-dev python3 python3-pil fonts-dejavu-core chromium
      chromium-l10n haxe npm python3-xlib libgl1:i386 libglx-mesa0:i386 libgl1-mesa-dri:i386
      locales nsis fcitx5 fcitx5-chinese-addons fcitx5-frontend-gtk3 fcitx5-frontend-gtk4
      fcitx5-modules dbus-x11)

# npm may come with the machine's own Node.js rather than from Debian.
if command -v npm >/dev/null 2>&1; then PKGS=("${PKGS[@]/npm}"); fi

missing=()
for p in "${PKGS[@]}"; do
    [ -n "$p" ] || continue
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
    # A mirror can serve one index broken for days (its size not the one its release
    # file gives); apt then goes on with the indexes it has, and so does this.
    $SUDO apt-get update -q || echo "setup: apt-get update failed for some index (above); going on with what it has" >&2
    if ! $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
        # Without the update index of i386, the 32-bit libraries have only the release's
        # versions, which must equal their 64-bit twins': those are taken from the release
        # too, first, and the rest is installed as usual.
        codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
        i386=() rest=()
        for p in "${missing[@]}"; do
            case "$p" in *:i386) i386+=("$p") ;; *) rest+=("$p") ;; esac
        done
        [ -n "$codename" ] && [ ${#i386[@]} -gt 0 ] \
            || { echo "setup: installing ${missing[*]} failed" >&2; exit 1; }
        echo "setup: installing the 32-bit packages from $codename's own index" >&2
        $SUDO apt-get install -y -q --no-install-recommends -t "$codename" "${i386[@]}" \
            || { echo "setup: installing ${i386[*]} failed" >&2; exit 1; }
        if [ ${#rest[@]} -gt 0 ]; then
            $SUDO apt-get install -y -q --no-install-recommends "${rest[@]}" \
                || { echo "setup: installing ${rest[*]} failed" >&2; exit 1; }
        fi
    fi
fi

# A Chinese locale of the build's own (LOCPATH), so that tests can run the client
# with the code page of a Chinese Windows (936) without touching the machine's locales.
LOCALE_DIR="$BUILD/locale"
if [ ! -d "$LOCALE_DIR/zh_CN.UTF-8" ]; then
    mkdir -p "$LOCALE_DIR"
    localedef -i zh_CN -f UTF-8 "$LOCALE_DIR/zh_CN.UTF-8" \
        || { echo "setup: localedef zh_CN.UTF-8 failed" >&2; exit 1; }
fi

# The Flash Player emulator, pinned: the package must match the digest recorded
# here, whatever the registry serves. Unpacked under the build folder, from where
# the build copies its files beside the program.
RUFFLE_VERSION=0.6.0
RUFFLE_SHA512=P2X1zDENBoiLt2ZjPcsUzaDxoR7fVF2e1U/bi7hbIAQEjkykxljSoG8AgbywHvlVVzL9Y5tIZMRqDwIm31jgPA==
RUFFLE_DIR="$BUILD/deps/ruffle"
if [ "$(cat "$RUFFLE_DIR/.installed" 2>/dev/null)" != "$RUFFLE_VERSION $RUFFLE_SHA512" ]; then
    echo "setup: fetching @ruffle-rs/ruffle $RUFFLE_VERSION"
    mkdir -p "$BUILD/deps"
    pack="$(mktemp -d "$BUILD/deps/ruffle-pack.XXXXXX")"
    trap 'rm -rf "$pack"' EXIT
    ( cd "$pack" && npm pack --silent "@ruffle-rs/ruffle@$RUFFLE_VERSION" >/dev/null ) \
        || { echo "setup: npm pack @ruffle-rs/ruffle@$RUFFLE_VERSION failed" >&2; exit 1; }
    tarball=("$pack"/*.tgz)
    got="$(/usr/bin/python3 -c 'import base64, hashlib, sys
print(base64.b64encode(hashlib.sha512(open(sys.argv[1], "rb").read()).digest()).decode())' "${tarball[0]}")"
    if [ "$got" != "$RUFFLE_SHA512" ]; then
        echo "setup: @ruffle-rs/ruffle $RUFFLE_VERSION does not match its pinned digest (got sha512-$got)" >&2
        exit 1
    fi
    rm -rf "$RUFFLE_DIR"
    mkdir -p "$pack/x"
    tar -xzf "${tarball[0]}" -C "$pack/x"
    mv "$pack/x/package" "$RUFFLE_DIR"
    echo "$RUFFLE_VERSION $RUFFLE_SHA512" >"$RUFFLE_DIR/.installed"
    rm -rf "$pack"
    trap - EXIT
fi

# Wine prefix of our own, initialised once.
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$BUILD"
if [ ! -f "$WINEPREFIX/.vornmark-ready" ]; then
    echo "setup: preparing Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    "$ROOT/tools/wine-prefix.sh" "$WINEPREFIX" || exit 1
    touch "$WINEPREFIX/.vornmark-ready"
fi
echo "setup: ready (prefix $WINEPREFIX)"
