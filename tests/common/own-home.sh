#!/bin/sh
# Runs a test with a home of its own in the build folder, emptied before every run, so that
# nothing the program or the toolkit keeps per user (settings, the file dialog's last folder,
# caches, the published state, the session bus) reaches the tester's home or is left over from
# an earlier run. The variables come from the test's environment; the folder is given again here
# so that a test started without them removes nothing.
home=$1
shift
if [ -z "$home" ] || [ "$home" != "$HOME" ]; then
    echo "own-home.sh: HOME is not the test's own home $home" >&2
    exit 1
fi
rm -rf -- "$home" &&
    mkdir -p -- "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME" "$XDG_DATA_HOME" \
        "$XDG_RUNTIME_DIR" &&
    chmod 700 -- "$home" "$XDG_RUNTIME_DIR" || exit 1
exec "$@"
