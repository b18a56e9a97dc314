#!/bin/sh
# Runs one test program, or only the functions named after it, with the command and the
# environment CTest gives it (its own home, the offscreen display, the test servers):
#   tests/run-one.sh tst_page pageKeepsEveryByteAndEndsLinesWithCrLf
# Further arguments go to the program as they are (QtTest's -v2, "function:row", ...).
# VANTRELL_BUILD names the build folder, build unless set.
if [ $# -lt 1 ]; then
    echo "usage: tests/run-one.sh TEST [FUNCTION|ARGUMENT]..." >&2
    exit 2
fi
exec python3 -c '
import json, os, subprocess, sys
build, name, args = sys.argv[1], sys.argv[2], sys.argv[3:]
listing = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                         capture_output=True, text=True, check=True).stdout
for test in json.loads(listing)["tests"]:
    if test["name"] != name:
        continue
    env = dict(os.environ)
    for prop in test.get("properties", []):
        if prop["name"] == "ENVIRONMENT":
            env.update(item.split("=", 1) for item in prop["value"])
        elif prop["name"] == "WORKING_DIRECTORY":
            os.chdir(prop["value"])
    os.execvpe(test["command"][0], test["command"] + args, env)
sys.exit("run-one.sh: no test " + name + " in " + build)
' "${VANTRELL_BUILD:-build}" "$@"
