# Sourced (bash) by the end-to-end tests that run the server under Wine against simulated devices:
# a work folder and a Wine prefix of the run's own, kmt-sim lines mapped as COM ports of that
# prefix, and the server registered there. Its arguments are the test's own:
#   <MovraOPCServer.exe> <MovraOPCProxy.dll> <the client program> <kmt-sim>
# into $server_program, $proxy, $client_test and $sim; without the simulator the test is skipped.
#   e2e_start NAME             makes $work (and $tag, its name) and the prefix; at exit the
#                              simulators and the prefix's wineserver are ended, $work removed
#   start_line N ARGS...       kmt-sim ARGS at 19200 baud on a pseudo-terminal mapped as COMn,
#                              awaited by its READY line
#   stop_line N                ends that simulator (the line goes silent)
#   register_server            copies the server into $work/server, beside the configuration the
#                              caller wrote there, and registers it and the proxy/stub
#   step TEXT                  prints TEXT after the seconds since e2e_start
#   server_log                 the server's log.txt in UTF-8
server_program=$1
proxy=$2
client_test=$3
sim=$4
if [ ! -x "$sim" ]; then
    echo "SKIPPED: no device simulator at $sim; build the native preset first (./run build native)"
    exit 77
fi
e2e_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$e2e_here/../support/private_prefix.sh"
source "$e2e_here/processes.sh"

declare -A sims=()

e2e_cleanup() {
    local status=$?
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null; done
    if [ -d "$work/prefix" ]; then
        WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null
    fi
    wait 2>/dev/null
    rm -rf "$work"
    exit $status
}

e2e_start() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    tag=$(basename "$work")
    e2e_started=$SECONDS
    trap e2e_cleanup EXIT
    trap 'exit 130' INT TERM
    mkdir -p "$work/ports" "$work/server"
    # A prefix of its own, whose wineserver it can end with everything a killed client left
    # behind.
    private_prefix "$work" || { echo "FAIL: the prefix could not be copied" >&2; exit 1; }
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # Wine's background services start here, detached from the clients' output.
    wine cmd /c exit </dev/null >/dev/null 2>&1
}

step() {
    printf '[%3d s] %s\n' $((SECONDS - e2e_started)) "$*"
}

start_line() {
    local port=$1 fifo=$work/ready$1 line=
    shift
    rm -f "$fifo"
    mkfifo "$fifo"
    "$sim" --pty "$work/ports/com$port" --baud 19200 "$@" >"$fifo" 2>>"$work/sim$port.log" &
    sims[$port]=$!
    read -r -t 10 line <"$fifo"
    [ "${line%% *}" = READY ] || { echo "FAIL: kmt-sim of COM$port did not start" >&2; exit 1; }
    ln -sfn "$work/ports/com$port" "$WINEPREFIX/dosdevices/com$port"
}

stop_line() {
    kill "${sims[$1]}" 2>/dev/null
    wait "${sims[$1]}" 2>/dev/null
    unset "sims[$1]"
}

register_server() {
    cp "$server_program" "$work/server/MovraOPCServer.exe"
    wine regsvr32 /s "$proxy" </dev/null >/dev/null 2>&1 || { echo "FAIL: regsvr32" >&2; exit 1; }
    wine "$work/server/MovraOPCServer.exe" /Register </dev/null >/dev/null 2>&1 ||
        { echo "FAIL: /Register" >&2; exit 1; }
}

server_log() {
    iconv -f CP1251 -t UTF-8 "$work/server/log.txt" 2>/dev/null | tr -d '\r'
}
