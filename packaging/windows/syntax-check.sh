#!/usr/bin/env bash
# Compiles the program's own sources as the Windows build sees them (MinGW-w64, Q_OS_WIN) for
# their syntax alone, in a minute, against this machine's Qt, curl and OpenSSL headers: a
# stand-in for the hours of the first cross-build, for code that only Windows compiles. It
# links nothing and runs nothing, and the headers are Linux's, so a file it passes may still
# fail there; one it fails will. Needs g++-mingw-w64-x86-64-posix and qt6-base-dev.
#   packaging/windows/syntax-check.sh [FILE.cpp ...]   (default: every source but Linux's own)
set -euo pipefail
cd "$(dirname "$0")/../.."
qt=/usr/include/x86_64-linux-gnu/qt6
stubs="$(mktemp -d)"
trap 'rm -rf "$stubs"' EXIT
# Only the libraries' headers: the rest of Linux's include folders would shadow MinGW's.
ln -s /usr/include/x86_64-linux-gnu/curl "$stubs/curl"
mkdir "$stubs/openssl"
ln -s /usr/include/openssl/* /usr/include/x86_64-linux-gnu/openssl/* "$stubs/openssl/"
ln -s /usr/include/miniupnpc "$stubs/miniupnpc"
# moc's output is not needed to read a file, only its name.
grep -rhoE '#include "[A-Za-z]+\.moc"' app ui textfile platform rules | cut -d'"' -f2 |
    while read -r moc; do : >"$stubs/$moc"; done
flags=(-fsyntax-only -std=c++20 -Wall -Wextra -Wno-attributes -DUNICODE -D_UNICODE -DNOMINMAX
       -I"$qt" -I"$stubs")
for m in QtCore QtGui QtWidgets QtNetwork; do flags+=(-I"$qt/$m"); done
for d in app ui textfile platform/*/ rules build/app build/ui build/platform/desktop build/rules build; do
    flags+=(-I"$d")
done
if [ $# -eq 0 ]; then
    # What CMake leaves out of the Windows build.
    set -- $(git ls-files 'app/*.cpp' 'ui/*.cpp' 'textfile/*.cpp' 'platform/*.cpp' 'rules/*.cpp' |
             grep -vE 'Linux|Systemd|SessionBus|Sftp(Session|Requests)|NatPmpListener|Keyring')
fi
failed=0
for f in "$@"; do
    if ! out="$(x86_64-w64-mingw32-g++-posix "${flags[@]}" "$f" 2>&1)" || [ -n "$out" ]; then
        echo "== $f"; echo "$out" | grep -E 'error|warning' | head -5
        failed=1
    fi
done
exit $failed
