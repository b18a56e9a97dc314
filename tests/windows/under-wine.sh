#!/usr/bin/env bash
# Tries the Windows build under Wine: the version, an unattended publish to a throwaway FTP server
# on 127.0.0.1 (exit status 0), the same with the server gone (exit status 1), and pictures of
# the main window and the About box.
#
#   tests/windows/under-wine.sh [FOLDER-OR-ZIP] [PICTURES-FOLDER]
#
# FOLDER-OR-ZIP is what `./build.sh windows` made (build-windows/vantrell-*-win64.zip by
# default); the pictures go to PICTURES-FOLDER (docs/ by default) as main-window-wine.png and
# about-wine.png. Needs wine64, xvfb, xdotool and imagemagick (import), and python3-pyftpdlib.
# Wine runs in a prefix of its own in a temporary folder, which goes at the end.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
given="${1:-}"
pictures="${2:-$repo/docs}"
if [ -z "$given" ]; then
    given="$(ls "$repo"/build-windows/vantrell-*-win64.zip 2>/dev/null | sort -V | tail -n1)"
fi
[ -e "$given" ] || { echo "under-wine: nothing to try; run ./build.sh windows first" >&2; exit 2; }

work="$(mktemp -d)"
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

if [ -d "$given" ]; then
    program="$given"
else
    unzip -q "$given" -d "$work"
    program="$(ls -d "$work"/vantrell-*-win64)"
fi
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64 wineboot --init >/dev/null 2>&1
exe="$program/vantrell.exe"

passed=0 failed=0
check() { # check WHAT CONDITION...
    local what="$1"
    shift
    if "$@"; then
        echo "PASS: $what"
        passed=$((passed + 1))
    else
        echo "FAIL: $what"
        failed=$((failed + 1))
    fi
}

# --version
version="$(sed -n 's/^project(Vantrell VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")"
said="$(wine64 "$exe" --version 2>/dev/null | tr -d '\r')"
check "--version prints $version" grep -q "$version" <<<"$said"

# The settings, where the program reads them on Windows.
key='HKCU\Software\VB and VBA Program Settings\TallyhostUpdater'
set_value() { wine64 reg add "$key\\$1" /v "$2" /t REG_SZ /d "$3" /f >/dev/null 2>&1; }

mkdir -p "$work/root"
printf '<html><body>Reach me at %%Tallyhost%%</body></html>\n' >"$work/template.htm"
coproc FTP { exec /usr/bin/python3 "$repo/tests/common/ftpserver.py" --root "$work/root"; }
server=$FTP_PID
read -r word port <&"${FTP[0]}"
[ "$word" = PORT ] || { echo "under-wine: the FTP server did not start" >&2; exit 1; }

set_value FTP FTPSite "ftp://127.0.0.1:$port"
set_value FTP UserName vantrell
set_value FTP Password vantrell
set_value FTP UploadFileName index.htm
set_value HTML HTMLTemplate "Z:${work//\//\\}\\template.htm"
set_value HTML IPParseField '%Tallyhost%'
set_value HTML UploadDir ''
set_value Address Source local
set_value Address OnlyWhenChanged False

status=0
wine64 "$exe" /A >"$work/publish.out" 2>&1 || status=$?
check "/A publishes to the FTP server with exit status 0 (got $status)" [ "$status" -eq 0 ]
check "the page on the server carries an address" \
    grep -qE 'Reach me at [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+' "$work/root/index.htm"

kill "$server" && wait "$server" 2>/dev/null || true
server=""
status=0
wine64 "$exe" /A >"$work/down.out" 2>&1 || status=$?
check "/A with the server down ends with exit status 1 (got $status)" [ "$status" -eq 1 ]

# The windows, on a virtual screen of their own.
if command -v xvfb-run >/dev/null && command -v xdotool >/dev/null && command -v import >/dev/null; then
    mkdir -p "$pictures"
    xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        set -e
        wine64 "$1" >/dev/null 2>&1 &
        window="$(xdotool search --sync --onlyvisible --name "^Vantrell$" | head -n1)"
        xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
        import -window "$window" "$2/main-window-wine.png"
        # Alt alone opens the menu bar at its first menu; Help is the last, and "a" its About.
        xdotool key --window "$window" alt
        xdotool key --window "$window" Left Return a
        about="$(xdotool search --sync --onlyvisible --name "^About " | head -n1)"
        import -window "$about" "$2/about-wine.png"
        wineserver -k
    ' pictures "$exe" "$pictures"
    check "a picture of the main window" [ -s "$pictures/main-window-wine.png" ]
    check "a picture of the About box" [ -s "$pictures/about-wine.png" ]
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
