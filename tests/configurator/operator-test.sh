#!/bin/sh
# Runs the configurator's operator test (a Windows program) under Wine with a display of its own:
#   operator-test.sh TEST.exe MovraOPCConfigurator.exe BUILD_PREFIX [test arguments...]
# The test gets a private copy of the Wine prefix with its own wineserver started with DISPLAY
# set, so a wineserver shared by other tests (started without a display) never serves its windows.
# When MOVRA_KMT_SIM names the native build's simulator, the connection check gets simulated lines
# on COM3, COM4 and COM6 of that prefix (below), and the test MOVRA_SIM_LOGS, the folder of their
# frame traces sim<N>.log; without it those tests are skipped.
set -eu
test_exe=$1
program=$2
source_prefix=${WINEPREFIX:-$3}
shift 3

work=$(mktemp -d "${TMPDIR:-/tmp}/movra-operator.XXXXXX")
xvfb_pid=
sim_pids=
cleanup() {
    status=$?
    for pid in $sim_pids; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
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

# kmt-sim on a pseudo-terminal mapped as COM<n>, awaited by its READY line.
start_line() {
    port=$1
    shift
    mkdir -p "$work/ports"
    mkfifo "$work/ready$port"
    "$MOVRA_KMT_SIM" --pty "$work/ports/com$port" --baud 19200 --trace "$@" \
        >"$work/ready$port" 2>"$work/sim$port.log" &
    sim_pids="$sim_pids $!"
    read -r ready <"$work/ready$port" || true
    case $ready in
        READY*) ;;
        *) echo "kmt-sim of COM$port did not start:" >&2; cat "$work/sim$port.log" >&2; exit 1 ;;
    esac
    ln -sfn "$work/ports/com$port" "$WINEPREFIX/dosdevices/com$port"
}
if [ -n "${MOVRA_KMT_SIM:-}" ] && [ -x "$MOVRA_KMT_SIM" ]; then
    # COM3, RS-485: a KMT-G that answers at number 1 and one that keeps silent at number 2.
    start_line 3 --device model=KMT-G,address=1,serial=0A1B,channels=2,nodes=1 \
        --device model=KMT-G,address=2,serial=0B02,fault=silent
    # COM4, RS-485: a silent KMT at number 3, whose silence lasts 16 s.
    start_line 4 --device model=KMT,address=3,serial=0C03,fault=silent
    # COM6: a KMT-G on RS-232, whose trace shows whether anything reached the line.
    start_line 6 --device model=KMT-G,serial=0D04,channels=1,nodes=1
    export MOVRA_SIM_LOGS="Z:$work"
fi

MOVRA_CONFIGURATOR_EXE="Z:$program" wine "$test_exe" "$@"
