#!/usr/bin/env bash
# Builds a static Qt for Windows (Core, Gui, Widgets, the Windows platform
# plugin, the ICO image plugin) from Debian's own qtbase source, cross-compiled
# with MinGW-w64, once per machine, into a cache folder outside the repository
# named by Qt version and options. Prints the folder (its lib/cmake holds the
# CMake packages). Fetches nothing but Debian's source package, through apt,
# with a private sources folder: the machine's apt configuration is not changed.
# Usage: build-qt-windows.sh [cache root]    (default: /var/cache/vyr-cert-installer)
set -euo pipefail
cache_root=${1:-${VYR_QT_CACHE:-/var/cache/vyr-cert-installer}}
version=5.15.8
cross=/usr/bin/x86_64-w64-mingw32-
options=(-xplatform win32-g++ -static -static-runtime -release
    -opensource -confirm-license -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-openssl -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz
    -no-libjpeg -no-gif -no-feature-network -no-feature-sql -no-feature-xml -no-feature-concurrent
    -no-feature-testlib -no-feature-tabletevent
    # For size: the program is one small window, run from a share at every boot.
    -optimize-size 'QMAKE_CFLAGS+=-ffunction-sections -fdata-sections'
    'QMAKE_CXXFLAGS+=-ffunction-sections -fdata-sections'
    -no-freetype -no-feature-style-stylesheet -no-feature-sessionmanager -no-feature-systemtrayicon
    -no-feature-movie -no-feature-vulkan -no-feature-textodfwriter -no-feature-textmarkdownreader
    -no-feature-textmarkdownwriter -no-feature-imageformat_ppm -no-feature-imageformat_xbm
    # Dialogs and frameworks the window never opens. The message box and the
    # input dialog stay: the Windows Vista style uses them.
    -no-feature-filedialog -no-feature-colordialog -no-feature-fontdialog -no-feature-errormessage
    -no-feature-progressdialog -no-feature-wizard -no-feature-printer -no-feature-graphicsview
    -no-feature-statemachine -no-feature-big_codecs -no-feature-mimetype-database
    # The public-suffix table of QUrl::topLevelDomain, the Fusion style, and
    # the MDI area and calendar that the window container and accessibility
    # would otherwise reach.
    -no-feature-topleveldomain -no-feature-style-fusion -no-feature-mdiarea -no-feature-calendarwidget)
# One change to the source, named here so that it is part of the tag: the
# bundled double-conversion folds case through std::locale::classic(), which
# draws libstdc++'s locale tables (0.4 MB) into every static program; ASCII
# folding is what that locale does, and what later double-conversion does.
patches=(double-conversion-ascii-tolower)
tag=$(printf '%s\n' "$version" "${options[@]}" "${patches[@]}" | sha256sum | cut -c1-12)
prefix=$cache_root/qt-$version-mingw64-static-$tag
# One build at a time: a second caller waits for the first one's Qt instead
# of wiping its work folder and starting again.
mkdir -p "$cache_root"
exec 9> "$cache_root/.lock-$tag"
flock 9
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi
# The -posix compilers: Qt's threads need the POSIX thread model's runtime.
for tool in gcc g++; do
    [ -x "$cross$tool-posix" ] || { echo "missing $cross$tool-posix (package mingw-w64)" >&2; exit 1; }
done

work=$cache_root/work-$tag
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/apt/sources.list.d" "$work/apt/lists/partial" "$work/bin"
# A deb-src entry for the archive apt already uses (same host, same suite).
read -r uri suite < <(
    { grep -hE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
          | grep -v security | awk '{ for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i, $(i + 1); exit } }' \
          || true
      awk '/^URIs:/ { uri = $2 } /^Suites:/ && uri !~ /security/ && uri != "" { print uri, $2; exit }' \
          /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } | head -n 1)
[ -n "${uri:-}" ] || { echo "no Debian archive found in apt's sources" >&2; exit 1; }
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed=""
[ -f "$keyring" ] && signed="[signed-by=$keyring] "
echo "deb-src $signed$uri $suite main" > "$work/apt/sources.list.d/vyr-qt-source.list"
apt_private=(-o "Dir::Etc::sourcelist=/dev/null" -o "Dir::Etc::sourceparts=$work/apt/sources.list.d"
    -o "Dir::State::Lists=$work/apt/lists")
apt-get "${apt_private[@]}" update -qq
(cd "$work" && apt-get "${apt_private[@]}" source -qq qtbase-opensource-src > /dev/null)
source_dir=$(find "$work" -maxdepth 1 -type d -name "qtbase-opensource-src-$version*" | head -n 1)
[ -n "$source_dir" ] || { echo "the archive's qtbase is not $version: $(ls "$work")" >&2; exit 1; }
tolower=$source_dir/src/3rdparty/double-conversion/double-conversion.cc
perl -0pi -e 's/(inline char ToLower\(char ch\) \{\n).*?\n\}/$1  return ch >= '"'A'"' && ch <= '"'Z'"' ? static_cast<char>(ch - '"'A'"' + '"'a'"') : ch;\n}/s' "$tolower"
grep -q "return ch >= 'A' && ch <= 'Z'" "$tolower" && ! grep -q 'locale::classic' "$tolower" \
    || { echo "$tolower: the case folding is not where it was" >&2; exit 1; }

# qmake finds the cross tools by one prefix: the binutils as they are, the
# compilers in their -posix form.
for tool in "$cross"*; do ln -sf "$tool" "$work/bin/$(basename "$tool")"; done
for tool in gcc g++; do ln -sf "$cross$tool-posix" "$work/bin/x86_64-w64-mingw32-$tool"; done
mkdir -p "$work/build"
cd "$work/build"
PATH=$work/bin:$PATH "$source_dir/configure" -prefix "$prefix" \
    -device-option "CROSS_COMPILE=$work/bin/x86_64-w64-mingw32-" "${options[@]}" > configure.log
PATH=$work/bin:$PATH make -j"$(nproc)" > make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
PATH=$work/bin:$PATH make install > install.log 2>&1
touch "$prefix/.complete"
echo "$prefix"
