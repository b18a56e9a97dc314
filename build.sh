#!/usr/bin/env bash
# Sets up a Debian 12 machine for Vantrell and builds it.
#   ./build.sh run [ARGS]  install what the build needs, build, start the program with ARGS
#   ./build.sh test        install what the build and the tests need, build, run every test
#   ./build.sh deb         install what the package build needs, build the Debian package in
#                          build-deb/ and print its path (the only line on standard output)
#   ./build.sh windows     install the MinGW-w64 cross compilers and Wine, build vantrell.exe
#                          and pack build-windows/vantrell-VERSION-win64.zip with all it needs,
#                          and print its path (the only line on standard output). The first run
#                          builds Qt, OpenSSL, libssh2 and libcurl for Windows from Debian's
#                          sources into ${VANTRELL_WINDOWS_CACHE:-~/.cache/vantrell-windows}
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev libcurl4-openssl-dev libssh2-1-dev libssl-dev python3-pyftpdlib
          proftpd-core proftpd-mod-crypto openssl openssh-client ca-certificates fonts-dejavu-core
          libminiupnpc-dev libnatpmp-dev iproute2 desktop-file-utils appstream groff-base
          openssh-server coturn dbus systemd qtkeychain-qt6-dev libsecret-1-0 gnome-keyring
          libsecret-tools libglib2.0-bin xvfb procps)
# What only the tests use: the throwaway servers, the tools that make their keys, the
# validators. Everything else in the list is needed to build.
test_only=(python3-pyftpdlib proftpd-core proftpd-mod-crypto openssl openssh-client ca-certificates
           fonts-dejavu-core iproute2 desktop-file-utils appstream groff-base openssh-server coturn
           dbus systemd gnome-keyring libsecret-tools libglib2.0-bin xvfb procps)
# cpack's Debian generator works out the library dependencies with dpkg-shlibdeps and looks at
# every installed file with file(1).
package_tools=(dpkg-dev file)

# The Windows build: the cross compilers, the host's Qt of the same version for moc, rcc and
# uic, what unpacks and builds Debian's sources, what draws the icons, and Wine with a display
# for tests/windows/under-wine.sh.
windows_packages=(g++-mingw-w64-x86-64-posix cmake ninja-build qt6-base-dev qt6-base-dev-tools
                  dpkg-dev make perl librsvg2-bin zip unzip wine64 xvfb xauth xdotool imagemagick
                  python3-pyftpdlib fonts-dejavu-core)

say() { echo "build.sh: $*" >&2; }

# Debian's source packages come from the mirrors this machine already takes Debian's packages
# from, once a deb-src entry names them: a copy of Debian's own entries.
ensure_sources() {
    if grep -qsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/*; then
        return 0
    fi
    local sudo="" lines=() f
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    say "adding Debian's source packages to apt's sources"
    for f in /etc/apt/sources.list.d/*.sources; do
        grep -qs debian-archive-keyring "$f" || continue
        sed 's/^Types:.*/Types: deb-src/' "$f" |
            $sudo tee "/etc/apt/sources.list.d/vantrell-src-$(basename "$f")" >/dev/null
    done
    mapfile -t lines < <(grep -hsE '^deb .*debian' /etc/apt/sources.list /etc/apt/sources.list.d/*.list)
    if [ ${#lines[@]} -gt 0 ]; then
        printf '%s\n' "${lines[@]/#deb /deb-src }" | $sudo tee /etc/apt/sources.list.d/vantrell-src.list >/dev/null
    fi
    $sudo apt-get update >&2
}

# install_missing PACKAGE...
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            say "these packages are missing, and without root or sudo they cannot be installed from here:"
            say "    ${missing[*]}"
            say "install them as root, then run this again:"
            say "    su -c 'apt-get update && apt-get install --no-install-recommends ${missing[*]}'"
            exit 1
        fi
        sudo=sudo
        say "installing ${missing[*]} with sudo"
    fi
    # The apt output goes where the messages go, so that "deb" prints nothing but the path.
    $sudo apt-get update >&2
    # The tests start their own sshd and STUN server; the system's copies must not start when
    # their packages arrive.
    local policy=/usr/sbin/policy-rc.d made_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
        made_policy=1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}" >&2 ||
        { [ -n "$made_policy" ] && $sudo rm -f "$policy"; return 1; }
    [ -n "$made_policy" ] && $sudo rm -f "$policy"
    return 0
}

build_packages() {
    local p t keep
    for p in "${packages[@]}"; do
        keep=1
        for t in "${test_only[@]}"; do [ "$p" = "$t" ] && keep=""; done
        [ -n "$keep" ] && echo "$p"
    done
}

build() {
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$(nproc)"
}

# Whether the program, started with these arguments, needs a window: not for the unattended
# switch (anywhere, in any case, as the program reads it) nor for the help and the version.
needs_window() {
    local a
    for a in "$@"; do
        case "$a" in
        -h | --help | -V | --version) return 1 ;;
        esac
        [[ "${a^^}" == */A* ]] && return 1
    done
    return 0
}

case "${1:-}" in
run)
    shift
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ] &&
        needs_window "$@"; then
        say "there is no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)."
        say "Run it from a desktop session, or publish without a window: ./build.sh run /A"
        exit 2
    fi
    read -ra needed <<<"$(build_packages | tr '\n' ' ')"
    install_missing "${needed[@]}"
    build
    exec ./build/app/vantrell "$@"
    ;;
test)
    install_missing "${packages[@]}"
    build
    ctest --test-dir build --output-on-failure -j"$(nproc)"
    ;;
deb)
    read -ra needed <<<"$(build_packages | tr '\n' ' ')"
    install_missing "${needed[@]}" "${package_tools[@]}"
    # Debian's hardening: fortified functions, stack protector, read-only relocations bound
    # at start.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    ldflags="$(dpkg-buildflags --get LDFLAGS)"
    {
        cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
            -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
        cmake --build build-deb -j"$(nproc)"
        rm -f build-deb/vantrell_*.deb
        (cd build-deb && cpack)
    } >&2
    debs=(build-deb/vantrell_*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { say "cpack made no package"; exit 1; }
    say "built; install it with: sudo apt-get install $PWD/${debs[0]}"
    echo "$PWD/${debs[0]}"
    ;;
windows)
    install_missing "${windows_packages[@]}"
    ensure_sources
    exec packaging/windows/cross-build.sh
    ;;
*)
    echo "usage: $0 run [ARGS] | test | deb | windows" >&2
    exit 2
    ;;
esac
