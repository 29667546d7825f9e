#!/bin/sh
# Runs the configurator's operator test (a Windows program) under Wine with a display of its own:
#   operator-test.sh TEST.exe MovraOPCConfigurator.exe BUILD_PREFIX [test arguments...]
# The test gets a private copy of the Wine prefix with its own wineserver started with DISPLAY
# set, so a wineserver shared by other tests (started without a display) never serves its windows.
set -eu
test_exe=$1
program=$2
source_prefix=${WINEPREFIX:-$3}
shift 3

work=$(mktemp -d "${TMPDIR:-/tmp}/movra-operator.XXXXXX")
xvfb_pid=
cleanup() {
    status=$?
    if [ -d "$work/prefix" ]; then
        WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display itself and writes its number once it accepts connections.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/displayfd" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=$(timeout 30 head -n 1 "$work/displayfd") || true
if [ -z "$display" ]; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$display"

cp -a "$source_prefix" "$work/prefix"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Without a window manager Wine draws the frames itself.
cat >>"$WINEPREFIX/user.reg" <<'REG'

[Software\\Wine\\X11 Driver] 2000000000
"Managed"="N"
REG
# Wine's background services start here, detached from the test's output.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

MOVRA_CONFIGURATOR_EXE="Z:$program" wine "$test_exe" "$@"
