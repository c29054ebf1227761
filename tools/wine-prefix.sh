#!/bin/bash
# Prepares a Wine prefix for the client: Wine's own set-up, the fonts the toolkit
# draws with, and Chinese families mapped onto an installed CJK font.
# Usage: wine-prefix.sh PREFIX (the folder is made; one that exists is reused).
# Ends with every Wine process of the prefix gone (wineserver -w).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
export WINEPREFIX="$1"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || { echo "wine-prefix: wineboot failed for $WINEPREFIX" >&2; exit 1; }
wineserver -w
# Wine points the user's shell folders (Desktop, Documents, ...) at the Linux home:
# here they are folders of the prefix, so that shortcuts and files made in one
# prefix stay in it.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
done
fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf "$fonts/"
# CJK families and GDI+'s generic sans-serif fallback map onto installed fonts.
for name in 宋体 SimSun "Microsoft Sans Serif" "MS Shell Dlg" "Microsoft YaHei"; do
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$name" /t REG_SZ \
        /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
done
wineserver -w
