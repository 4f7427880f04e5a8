#!/usr/bin/env bash
# Makes the Wine prefix the tests share, with Wine's own fonts where Windows
# keeps its fonts.
# Usage: make-prefix.sh <wine>    (WINEPREFIX names the prefix)
#
# Wine 8 as Debian ships it keeps Tahoma and its other fonts in fonts-wine's
# /usr/share/wine/fonts but loads them only from the prefix's C:\windows\Fonts,
# which wineboot leaves empty. Its GDI then maps the dialog font, "MS Shell
# Dlg 2" -> Tahoma, to a host font, and Qt, whose font database finds no face
# for the dialog font, draws every widget in the first family it knows: a serif.
set -eu
wine=$1
fonts=/usr/share/wine/fonts
"$wine" wineboot --init
[ -f "$fonts/tahoma.ttf" ] || { echo "no $fonts/tahoma.ttf: install fonts-wine" >&2; exit 1; }
cp "$fonts"/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"

# Windows smooths fonts with ClearType by default; Wine does not, and without
# it Qt draws the larger status line with some of its strokes missing.
desktop='HKCU\Control Panel\Desktop'
"$wine" reg add "$desktop" /v FontSmoothing /t REG_SZ /d 2 /f > /dev/null
"$wine" reg add "$desktop" /v FontSmoothingType /t REG_DWORD /d 2 /f > /dev/null
"$wine" reg add "$desktop" /v FontSmoothingGamma /t REG_DWORD /d 1400 /f > /dev/null
