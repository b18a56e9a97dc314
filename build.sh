#!/usr/bin/env bash
# Sets up a Debian 12 machine for Vantrell, builds it, and either starts it or runs every test.
#   ./build.sh run    install what is missing, build, start the program
#   ./build.sh test   install what is missing, build, run every test
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev libcurl4-openssl-dev libssl-dev python3-pyftpdlib
          proftpd-core proftpd-mod-crypto openssl openssh-client ca-certificates fonts-dejavu-core
          libminiupnpc-dev libnatpmp-dev iproute2 desktop-file-utils appstream groff-base
          openssh-server coturn dbus systemd)

install_missing() {
    local missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update
    # The tests start their own sshd and STUN server; the system's copies must not start when
    # their packages arrive.
    local policy=/usr/sbin/policy-rc.d made_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
        made_policy=1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}" ||
        { [ -n "$made_policy" ] && $sudo rm -f "$policy"; return 1; }
    [ -n "$made_policy" ] && $sudo rm -f "$policy"
    return 0
}

build() {
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j"$(nproc)"
}

case "${1:-}" in
run)
    install_missing
    build
    shift
    exec ./build/app/vantrell "$@"
    ;;
test)
    install_missing
    build
    ctest --test-dir build --output-on-failure -j"$(nproc)"
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
