#!/usr/bin/env bash
# Cross-builds vantrell.exe for 64-bit Windows on Debian 12 and packs it with everything it
# needs into build-windows/vantrell-VERSION-win64.zip, whose path is the only line printed on
# standard output. Run by `./build.sh windows` once the packages are installed.
#
# Debian has no Qt, libcurl or libssh2 for MinGW, so they are built here from Debian's own
# source packages. Those builds take long (Qt above all) and are kept in
# ${VANTRELL_WINDOWS_CACHE:-~/.cache/vantrell-windows}, outside the work tree, so that a second
# run only builds the program. Each one is redone when its recipe here changes. They run at the
# lowest priority so that the machine stays usable meanwhile.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
cache="${VANTRELL_WINDOWS_CACHE:-$HOME/.cache/vantrell-windows}"
jobs="$(nproc)"
toolchain="$here/mingw-w64-x86_64.cmake"
triple=x86_64-w64-mingw32
deps="$cache/deps" # OpenSSL, libssh2, libcurl, miniupnpc: static libraries
qt="$cache/qt"     # Qt's DLLs and plugins
export VANTRELL_WINDOWS_PREFIX="$deps;$qt"

say() { echo "cross-build: $*" >&2; }
low() { nice -n 19 "$@"; }

mkdir -p "$cache/src" "$cache/build" "$cache/stamps" "$cache/logs"
# Every path here is absolute; a folder of the work tree could go while the libraries build.
cd "$cache"

# The recipe of one library: its build function's text and the toolchain, so that changing
# either rebuilds it.
recipe() { { declare -f "build_$1"; cat "$toolchain"; } | sha256sum | cut -c1-16; }

# unpack SOURCE-PACKAGE [FOLDER]: Debian's source with Debian's patches, in $cache/src/FOLDER
unpack() {
    local name="$1" dir="$cache/src/${2:-$1}"
    [ -d "$dir" ] && return 0
    (cd "$cache/src" && apt-get source --download-only "$name" >&2)
    local dsc
    dsc="$(ls "$cache/src/${name}"_*.dsc | sort -V | tail -n1)"
    (cd "$cache/src" && dpkg-source --no-check -x "$dsc" "${2:-$1}" >&2)
}

# made NAME: builds NAME unless this very recipe has been built into the cache before
made() {
    local name="$1" stamp
    stamp="$cache/stamps/$1-$(recipe "$1")"
    if [ -e "$stamp" ]; then
        say "$name: kept from $cache"
        return 0
    fi
    local start=$SECONDS log="$cache/logs/$name.log"
    say "$name: building (log in $log)"
    # In the background, where a failing step still stops the build at once.
    ("build_$name") >"$log" 2>&1 &
    if ! wait $!; then
        say "$name: failed; the end of $log:"
        tail -n 30 "$log" >&2
        exit 1
    fi
    touch "$stamp"
    say "$name: built in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
}

build_openssl() {
    unpack openssl
    local b="$cache/build/openssl"
    rm -rf "$b" && cp -a "$cache/src/openssl" "$b"
    cd "$b"
    # Static, without the legacy provider or loadable engines: the program links in only what
    # libcurl and libssh2 ask for. The configuration file OpenSSL reads at start must be where
    # only an administrator can put one, not in a folder named after this build machine that
    # any user may create on drive C:.
    low ./Configure mingw64 --cross-compile-prefix=$triple- --prefix="$deps" --libdir=lib \
        --openssldir="C:/Program Files/Common Files/SSL" \
        no-shared no-tests no-module no-legacy no-engine no-dso no-capieng
    low make -j"$jobs" build_libs
    make install_dev
}

build_libssh2() {
    unpack libssh2
    local b="$cache/build/libssh2"
    rm -rf "$b"
    # On OpenSSL rather than Windows' CNG, which knows no Ed25519 host keys.
    low cmake -S "$cache/src/libssh2" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
        -DCRYPTO_BACKEND=OpenSSL -DOPENSSL_ROOT_DIR="$deps" -DOPENSSL_USE_STATIC_LIBS=ON \
        -DENABLE_ZLIB_COMPRESSION=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF
    low cmake --build "$b" -j"$jobs"
    cmake --install "$b"
}

build_curl() {
    unpack curl
    local b="$cache/build/curl"
    rm -rf "$b"
    # OpenSSL, so that the program checks a server's certificate, against the Windows store or
    # the pinned one, before it sends a password, as it does on Linux.
    low cmake -S "$cache/src/curl" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
        -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DCURL_USE_OPENSSL=ON -DCURL_USE_SCHANNEL=OFF \
        -DOPENSSL_ROOT_DIR="$deps" -DOPENSSL_USE_STATIC_LIBS=ON \
        -DCURL_USE_LIBSSH2=ON -DLIBSSH2_INCLUDE_DIR="$deps/include" \
        -DLIBSSH2_LIBRARY="$deps/lib/libssh2.a" -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF \
        -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DCURL_DISABLE_LDAP=ON \
        -DENABLE_MANUAL=OFF
    low cmake --build "$b" -j"$jobs"
    cmake --install "$b"
}

build_miniupnpc() {
    unpack miniupnpc
    local b="$cache/build/miniupnpc"
    rm -rf "$b"
    low cmake -S "$cache/src/miniupnpc" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DUPNPC_BUILD_STATIC=ON \
        -DUPNPC_BUILD_SHARED=OFF -DUPNPC_BUILD_TESTS=OFF -DUPNPC_BUILD_SAMPLE=OFF
    low cmake --build "$b" -j"$jobs"
    cmake --install "$b"
}

build_qtbase() {
    unpack qt6-base qtbase
    local b="$cache/build/qtbase"
    rm -rf "$b" "$qt" && mkdir -p "$b"
    cd "$b"
    # Core, Gui, Widgets and Network with the Windows platform plugin, less the widgets and
    # features the program has no use for, drawing without OpenGL
    # (as it does under Wine too); the host's Qt of the same version runs moc, rcc and uic.
    # Without Direct2D, Qt 6.4 leaves the DirectWrite 3 font database out of Gui while its
    # Windows plugin still asks for it, and the plugin does not link: both go together.
    low "$cache/src/qtbase/configure" -prefix "$qt" -release -shared -nomake examples \
        -nomake tests -qt-host-path /usr -xplatform win32-g++ \
        -no-opengl -no-dbus -no-ssl -no-zstd -no-icu -no-freetype -no-fontconfig -no-libjpeg \
        -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz -qt-doubleconversion \
        -no-feature-sql -no-feature-printsupport -no-feature-concurrent -no-feature-xml \
        -no-feature-testlib -no-feature-vulkan -no-feature-tabletevent -no-feature-pdf \
        -no-feature-gssapi -no-feature-brotli -no-feature-textmarkdownreader \
        -no-feature-textmarkdownwriter -no-feature-direct2d -no-feature-directwrite3 \
        -no-feature-tuiotouch \
        -no-feature-graphicsview -no-feature-mdiarea -no-feature-calendarwidget \
        -no-feature-dockwidget -no-feature-toolbox -no-feature-lcdnumber -no-feature-dial \
        -no-feature-splashscreen -no-feature-keysequenceedit -no-feature-fontdialog \
        -no-feature-colordialog -no-feature-wizard -no-feature-undoview \
        -no-feature-undocommand -no-feature-undostack -no-feature-undogroup \
        -no-feature-syntaxhighlighter -no-feature-errormessage -no-feature-movie \
        -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    low cmake --build . -j"$jobs"
    cmake --install .
}

made openssl
made libssh2
made curl
made miniupnpc
[ "${1:-}" = libraries ] && exit 0
made qtbase

# The program itself, from the work tree.
out="$repo/build-windows"
start=$SECONDS
{
    cmake -S "$repo" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_PREFIX_PATH="$qt;$deps" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DOPENSSL_ROOT_DIR="$deps" -DOPENSSL_USE_STATIC_LIBS=ON
    cmake --build "$out" --target vantrell -j"$jobs"
} >&2
say "vantrell.exe: built in $((SECONDS - start)) s"

# What Windows needs beside the program: Qt's DLLs and plugins, and the compiler's runtime.
version="$(sed -n 's/^project(Vantrell VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")"
stage="$out/vantrell-$version-win64"
rm -rf "$stage" && mkdir -p "$stage/platforms" "$stage/styles" "$stage/imageformats"
# Qt gathers the programs of a Windows build at the top of the build folder.
cp "$out/vantrell.exe" "$stage/"
$triple-strip "$stage/vantrell.exe"
for m in Core Gui Widgets Network; do cp "$qt/bin/Qt6$m.dll" "$stage/"; done
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
cp "$qt/plugins/imageformats/qico.dll" "$stage/imageformats/"
runtime="$(dirname "$($triple-g++-posix -print-libgcc-file-name)")"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll; do cp "$runtime/$dll" "$stage/"; done
cp "/usr/$triple/lib/libwinpthread-1.dll" "$stage/"
# The libraries come with their symbols, half of their size and of no use to anyone running
# the program.
find "$stage" -name '*.dll' -exec $triple-strip --strip-unneeded {} +
cp "$repo/README.md" "$repo/LICENSE" "$stage/"
cp "$repo/examples/template.htm" "$stage/"
zipfile="$out/vantrell-$version-win64.zip"
rm -f "$zipfile"
(cd "$out" && zip -q -r -X "$zipfile" "$(basename "$stage")")
say "packed; unzip it anywhere on Windows and start vantrell.exe"
echo "$zipfile"
