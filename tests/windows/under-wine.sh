#!/usr/bin/env bash
# Tries the Windows build under Wine, on a virtual screen of its own: the version; unattended
# publishes to throwaway servers on 127.0.0.1 over FTP and SFTP (exit status 0), with the server
# gone and with an unknown host key (a box, then exit status 1); the schedule through the Task
# Scheduler; pictures of the main window, the About box and a failure's box.
#
#   tests/windows/under-wine.sh [FOLDER-OR-ZIP] [PICTURES-FOLDER]
#
# FOLDER-OR-ZIP is what `./build.sh windows` made (build-windows/vantrell-*-win64.zip by
# default); the pictures go to PICTURES-FOLDER (docs/ by default) as main-window-wine.png,
# about-wine.png and failure-wine.png. Needs wine64, xvfb, xdotool, imagemagick,
# fonts-dejavu-core and python3-pyftpdlib (`./build.sh windows` installs them); the SFTP publish
# also needs openssh-server and root, as sshd logs a user in only then. Wine runs in a prefix of
# its own in a temporary folder, which goes at the end.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
given="${1:-}"
pictures="${2:-$repo/docs}"
if [ -z "$given" ]; then
    given="$(ls "$repo"/build-windows/vantrell-*-win64.zip 2>/dev/null | sort -V | tail -n1)"
fi
[ -e "$given" ] || { echo "under-wine: nothing to try; run ./build.sh windows first" >&2; exit 2; }

work="$(mktemp -d)"
# The SFTP account reaches its login folder through this one.
chmod 755 "$work"
server="" sshd="" screen=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null
    [ -n "$sshd" ] && kill "$sshd" 2>/dev/null
    wineserver -k 2>/dev/null || true
    [ -n "$screen" ] && kill "$screen" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

if [ -d "$given" ]; then
    program="$given"
else
    unzip -q "$given" -d "$work"
    program="$(ls -d "$work"/vantrell-*-win64)"
fi
exe="$program/vantrell.exe"
mkdir -p "$pictures"

# An unattended run that fails says so in a box, as on Windows, and waits for it to be closed:
# every run gets a screen, so that the script can see the box and close it.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
screen=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
export DISPLAY=":$(cat "$work/display")"

# Debian's wine64 keeps wine64 and wineserver there; the package wine only adds a launcher.
export PATH="/usr/lib/wine:$PATH"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64 wineboot --init >/dev/null 2>&1
# Debian's Wine has no Tahoma, the face Windows draws dialogs in. The face it falls back on
# reports glyph bounds four times too tall, and text boxes then put their text out of sight.
fonts='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
for face in "MS Shell Dlg" "MS Shell Dlg 2" Tahoma; do
    wine64 reg add "$fonts" /v "$face" /t REG_SZ /d "DejaVu Sans" /f >/dev/null 2>&1
done
wineserver -w
# From here one Wine server serves all the runs, so that the services it starts stay up.
wineserver -p </dev/null >/dev/null 2>&1
# With no window manager on the screen, Wine draws the windows' frames itself, as Windows does.
wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1

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

# publish OUTPUT [BOX-PICTURE]: one unattended run; $status is its exit status and $box says
# whether it showed a box, which is closed with Enter (and pictured first when asked). A run
# still going after two minutes is stopped and counts as hung (status 124).
publish() {
    status=0 box=""
    wine64 "$exe" /A >"$1" 2>&1 &
    local run=$! window pictured="" deadline=$((SECONDS + 120))
    while kill -0 "$run" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "under-wine: /A still running after two minutes; it said:" >&2
            cat "$1" >&2
            for window in $(xdotool search --onlyvisible --name . 2>/dev/null); do
                echo "under-wine: a window titled" \
                    "\"$(xdotool getwindowname "$window")\" is open" >&2
            done
            kill "$run" 2>/dev/null
            wine64 taskkill /f /im vantrell.exe >/dev/null 2>&1 || true
            wait "$run" 2>/dev/null || true
            status=124
            return
        fi
        window="$(timeout 5 xdotool search --onlyvisible --name '^Tallyhost$' 2>/dev/null |
            head -n1)" || true
        if [ -n "$window" ]; then
            box=1
            sleep 1 # drawn
            if [ -n "${2:-}" ] && [ -z "$pictured" ]; then
                timeout 10 import -window "$window" "$2" 2>/dev/null || continue # not mapped yet
                pictured=1
            fi
            # No window manager here to activate a window: the focus is given directly, and
            # not waited for, as a window that never takes it would hold the script.
            timeout 5 xdotool windowfocus "$window" 2>/dev/null || true
            sleep 0.3
            timeout 5 xdotool key Return 2>/dev/null || true
        fi
        sleep 0.3
    done
    wait "$run" || status=$?
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

address='Reach me at [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+'
publish "$work/publish.out"
check "/A publishes over FTP with exit status 0 and no box (got $status)" \
    [ "$status" -eq 0 -a -z "$box" ]
check "the page on the FTP server carries an address" grep -qE "$address" "$work/root/index.htm"

kill "$server" && wait "$server" 2>/dev/null || true
server=""
publish "$work/down.out" "$pictures/failure-wine.png"
check "/A with the server down shows a box, then ends with exit status 1 (got $status)" \
    [ "$status" -eq 1 -a -n "$box" ]

# SFTP, to OpenSSH's sshd, whose host key the user's known_hosts names where OpenSSH for
# Windows keeps it: %USERPROFILE%\.ssh\known_hosts.
if [ "$(id -u)" -ne 0 ] || [ ! -x /usr/sbin/sshd ]; then
    echo "SKIP: SFTP (sshd logs a user in only when this runs as root, with openssh-server)"
else
    account=vantrell-sftp
    getent passwd "$account" >/dev/null ||
        useradd --system -M -d /nonexistent -s /usr/sbin/nologin "$account"
    password="$(head -c 12 /dev/urandom | base64 | tr -d '/+=')"
    echo "$account:$password" | chpasswd
    mkdir -p /run/sshd "$work/sftp"
    chown "$account" "$work/sftp"
    ssh-keygen -q -t ed25519 -N '' -C '' -f "$work/hostkey"
    sport="$(/usr/bin/python3 -c 'import socket; s = socket.socket()
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    printf '%s\n' "ListenAddress 127.0.0.1" "Port $sport" "HostKey $work/hostkey" "PidFile none" \
        "UsePAM no" "PasswordAuthentication yes" "KbdInteractiveAuthentication no" \
        "PubkeyAuthentication no" "PermitRootLogin no" "AllowUsers $account" "StrictModes no" \
        "Subsystem sftp internal-sftp" "ForceCommand internal-sftp -d $work/sftp" \
        >"$work/sshd_config"
    /usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
    sshd=$!
    for _ in $(seq 100); do
        grep -qs "Server listening" "$work/sshd.log" && break
        sleep 0.1
    done
    windows_profile="$(wine64 cmd /c 'echo %USERPROFILE%' 2>/dev/null | tr -d '\r')"
    profile="$(wine64 winepath -u "$windows_profile" 2>/dev/null)"
    [ -d "$profile" ] || { echo "under-wine: no profile folder for $windows_profile" >&2; exit 1; }
    mkdir -p "$profile/.ssh"
    echo "[127.0.0.1]:$sport $(cut -d' ' -f1,2 "$work/hostkey.pub")" >"$profile/.ssh/known_hosts"
    set_value FTP FTPSite "sftp://127.0.0.1:$sport"
    set_value FTP UserName "$account"
    set_value FTP Password "$password"
    publish "$work/sftp.out"
    check "/A publishes over SFTP with exit status 0 and no box (got $status)" \
        [ "$status" -eq 0 -a -z "$box" ]
    check "the page on the SFTP server carries an address" \
        grep -qE "$address" "$work/sftp/index.htm"
    # A host key that known_hosts does not name is refused before the login, and nothing is
    # uploaded.
    rm -f "$work/sftp/index.htm" "$profile/.ssh/known_hosts"
    logged="$(wc -l <"$work/sshd.log")"
    publish "$work/unknown.out"
    check "/A refuses an unknown host key: a box, then exit status 1 (got $status)" \
        [ "$status" -eq 1 -a -n "$box" ]
    check "nothing reaches a server whose key is unknown" [ ! -e "$work/sftp/index.htm" ]
    check "nor the password" \
        bash -c '! tail -n +"$2" "$1" | grep -q "Accepted password"' - \
        "$work/sshd.log" "$((logged + 1))"
    kill "$sshd" && wait "$sshd" 2>/dev/null || true
    sshd=""
fi

# The schedule, as a Task Scheduler task. Wine's (8.0) has no repeating triggers, so there
# the program must say plainly that it could not set one, and leave nothing behind.
for _ in $(seq 20); do
    wine64 net start schedule 2>&1 | grep -qE "started successfully|already running" && break
    sleep 1
done
status=0
said="$(wine64 "$exe" --schedule 15 2>&1 | tr -d '\r'; exit "${PIPESTATUS[0]}")" || status=$?
if grep -q "every 15 minutes" <<<"$said"; then
    check "--schedule 15 sets the schedule" [ "$status" -eq 0 ]
    said="$(wine64 "$exe" --status 2>&1 | tr -d '\r')" || true
    check "--status names the schedule" grep -q "On: publishing every 15 minutes" <<<"$said"
else
    echo "SKIP: a repeating task (this Task Scheduler cannot make one: $said)"
    check "--schedule 15 says it could not, with exit status 1 (got $status)" \
        bash -c '[ "$1" -eq 1 ] &&
            grep -q "^Tallyhost: Unable to publish on a schedule: " <<<"$2"' \
        - "$status" "$said"
    said="$(wine64 "$exe" --status 2>&1 | tr -d '\r')" || true
    check "--status says the schedule is off" grep -q "^Schedule: *Off" <<<"$said"
fi
status=0
wine64 "$exe" --schedule off >/dev/null 2>&1 || status=$?
check "--schedule off ends with exit status 0 (got $status)" [ "$status" -eq 0 ]
check "and no task is left" [ ! -e "$WINEPREFIX/drive_c/windows/system32/tasks/Vantrell publish" ]

# The windows.
wine64 "$exe" >/dev/null 2>&1 &
window="$(timeout 60 xdotool search --sync --onlyvisible --name "^Vantrell$" | head -n1)" || true
if [ -n "$window" ]; then
    sleep 1 # drawn
    timeout 10 import -window "$window" "$pictures/main-window-wine.png"
    # Alt alone opens the menu bar at its first menu; Help is the last, and "a" its About.
    timeout 5 xdotool windowfocus "$window" 2>/dev/null || true
    sleep 0.3
    timeout 5 xdotool key alt Left Return a 2>/dev/null || true
    # The box's window can change while it is first drawn: it is looked for again until the
    # picture is taken.
    for _ in $(seq 10); do
        about="$(timeout 30 xdotool search --sync --onlyvisible --name "^About " |
            head -n1)" || true
        sleep 1 # drawn
        [ -n "$about" ] &&
            timeout 10 import -window "$about" "$pictures/about-wine.png" 2>/dev/null &&
            break
    done
fi
check "the main window opens" [ -n "$window" ]
check "a picture of the main window" [ -s "$pictures/main-window-wine.png" ]
check "a picture of the About box" [ -s "$pictures/about-wine.png" ]

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
