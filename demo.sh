#!/usr/bin/env bash
# Publishes a sample page once to a throwaway FTP server on 127.0.0.1 and prints the page as the
# server received it.
#   ./demo.sh              use build/app/vantrell, building it first if it is missing
#   ./demo.sh --installed  use the installed /usr/bin/vantrell
# Everything lives in a temporary folder that is removed at the end: the settings file, the
# template, the page and the server's folder. Your own settings are never read or written.
set -euo pipefail
cd "$(dirname "$0")"

python=/usr/bin/python3 # Debian's own, which has python3-pyftpdlib
server_script=tests/common/ftpserver.py
program=build/app/vantrell

die() {
    echo "demo: $*" >&2
    exit 1
}

case "${1:-}" in
"") ;;
--installed) program=/usr/bin/vantrell ;;
-h | --help)
    sed -n '2,7s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
*)
    echo "usage: $0 [--installed]" >&2
    exit 2
    ;;
esac

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo "
if ! [ -x "$python" ] || ! "$python" -c 'import pyftpdlib' 2>/dev/null; then
    die "the demo's FTP server needs python3-pyftpdlib; install it with:
    ${sudo}apt-get install python3-pyftpdlib"
fi

if [ "$program" = /usr/bin/vantrell ]; then
    [ -x "$program" ] || die "$program is not installed; build and install the package first (see README.md)"
elif ! [ -x "$program" ]; then
    if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
        die "cmake and ninja are needed to build the program: run ./build.sh test first, which installs them"
    fi
    echo "demo: building the program in build/ ..." >&2
    # Standard output is kept for the page.
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
    cmake --build build --target vantrell >&2
fi

# The real settings file, to prove afterwards that the demo left it alone.
real_settings="${XDG_CONFIG_HOME:-${HOME:-}/.config}/TallyhostUpdater.ini"
fingerprint() {
    if [ -e "$real_settings" ]; then
        stat -c '%s %y %z' "$real_settings"
        sha256sum <"$real_settings" 2>/dev/null || echo unreadable
    else
        echo absent
    fi
}
settings_before=$(fingerprint)

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrell-demo.XXXXXX")
server_pid=""
cleanup() {
    exec 3>&- # the server ends when its standard input closes
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$work/config" "$work/windir/temp" "$work/ftp/www"
user=demo
password=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')

mkfifo "$work/server.in"
"$python" "$server_script" --root "$work/ftp" --user "$user" --password "$password" \
    <"$work/server.in" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
exec 3>"$work/server.in"

port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^PORT \([0-9][0-9]*\)$/\1/p' "$work/server.out")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$port" ] || die "the FTP server did not start: $(cat "$work/server.err")"
echo "demo: FTP server on 127.0.0.1:$port, user $user, serving $work/ftp" >&2

cat >"$work/template.html" <<'EOF'
<!DOCTYPE html>
<html>
<head><title>Where to find my machine</title></head>
<body>
<h1>My machine is at %Tallyhost%</h1>
<p>Last updated %date% at %time%.</p>
</body>
</html>
EOF

# Quoted, so that commas or spaces in the temporary folder's name stay part of the value.
ini_quote() {
    local v=${1//\\/\\\\}
    printf '"%s"' "${v//\"/\\\"}"
}
(
    umask 077
    cat >"$work/config/TallyhostUpdater.ini" <<EOF
[FTP]
FTPSite=127.0.0.1:$port
UserName=$user
Password=$password
UploadFileName=index.html

[HTML]
HTMLTemplate=$(ini_quote "$work/template.html")
IPParseField=%Tallyhost%
UploadDir=www
EOF
)

echo "demo: running $program /A" >&2
status=0
env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen \
    XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" windir="$work/windir" \
    timeout 120 "$program" /A 2>"$work/vantrell.err" || status=$?

[ "$(fingerprint)" = "$settings_before" ] || die "$real_settings changed during the demo"

published="$work/ftp/www/index.html"
if [ "$status" -ne 0 ] || ! [ -f "$published" ]; then
    echo "demo: the upload failed (exit status $status). The program said:" >&2
    cat "$work/vantrell.err" >&2
    echo "demo: the server saw:" >&2
    cat "$work/server.out" >&2
    exit 1
fi
if grep -q -e '%Tallyhost%' -e '%date%' -e '%time%' "$published"; then
    die "the published page still holds a marker"
fi
cmp -s "$published" "$work/windir/temp/index.html" ||
    die "the server holds a different page from the one written locally"

echo "demo: uploaded (exit status 0). The page as the server received it, www/index.html:" >&2
echo
cat "$published"
echo
echo "demo: $real_settings was not touched; the temporary files are removed now." >&2
