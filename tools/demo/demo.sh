#!/usr/bin/env bash
# ./run demo: five simulated metering computers on three lines, the server polling them, and
# what the server writes to its log; first the native build, then the Windows program under Wine,
# at last started by COM for opc-client, which watches live values while a line is cut and back.
#   demo.sh BUILD_ROOT
set -euo pipefail

build_root=$1
sim=$build_root/native/tools/kmt-sim/kmt-sim
native_server=$build_root/native/server/host/MovraOPCServer.exe
windows_server=$build_root/windows/server/host/MovraOPCServer.exe
period=3

say() { printf '\n\033[1m%s\033[0m\n' "$*"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/movra-demo.XXXXXX")
sims=()
declare -A line_pid=() line_args=()
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ -n "${WINEPREFIX:-}" ]; then
        rm -f "$WINEPREFIX"/dosdevices/com1[1-3]
        wineserver -k 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/ports"

# One simulated line: kmt-sim on a pseudo-terminal published as ports/comN, awaited by its READY.
start_line() {
    local port=$1
    shift
    local fifo=$work/ready$port
    rm -f "$fifo"
    mkfifo "$fifo"
    "$sim" --pty "$work/ports/com$port" --baud 19200 "$@" >"$fifo" 2>"$work/sim$port.log" &
    sims+=($!)
    line_pid[$port]=$!
    line_args[$port]="$*"
    local line
    read -r line <"$fifo"
    echo "  COM$port: $line"
}

# The line goes dead: its simulator ends and takes its terminal with it.
stop_line() {
    kill "${line_pid[$1]}" 2>/dev/null || true
    wait "${line_pid[$1]}" 2>/dev/null || true
}

# --- the configuration file, as the configurator writes it -------------------------------------
source "$(dirname "${BASH_SOURCE[0]}")/ini.sh"
write_configuration() {
    {
        ini_header 5 $period
        ini_record "Котельная №1" 12AB 1 1 4 11 0 1 0 1
        ini_record "ЦТП-4" 2001 4 1 4 12 0 0 0 0
        ini_record "Газовая котельная" 3001 3 2 4 13 1 0 1 2
        ini_record "Насосная станция" 3002 2 2 4 13 2 0 0 0
        ini_record "Школа №7" 3003 5 2 4 13 3 1 0 1
    } >"$1"
}

show_log() {
    iconv -f CP1251 -t UTF-8 "$1" | tr -d '\r'
}

# Runs a server program for a while and shows its log as it grows.
watch_server() {
    local seconds=$1 log=$2
    shift 2
    "$@" >/dev/null 2>&1 &
    server_pid=$!
    local shown=0
    for _ in $(seq $((seconds * 2))); do
        sleep 0.5
        if [ -f "$log" ]; then
            local lines
            lines=$(show_log "$log" | wc -l)
            if [ "$lines" -gt "$shown" ]; then
                show_log "$log" | tail -n +$((shown + 1)) | head -n $((lines - shown)) | sed 's/^/  | /'
                shown=$lines
            fi
        fi
        # Between two cycles, after the third good one, the line on COM12 goes dead.
        if [ "${kill_line:-0}" = 1 ] && [ -f "$log" ] &&
           [ "$(show_log "$log" | grep -c 'вычислителями... Ok.')" -ge 3 ]; then
            say "  (COM12 goes dead: its simulator is stopped)"
            stop_line 12
            kill_line=0
        fi
    done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
    show_log "$log" | tail -n +$((shown + 1)) | sed 's/^/  | /'
}

say "Simulated metering computers (kmt-sim, 19200 baud):"
start_line 11 --device model=KMT,serial=12AB,node1=7:1:1000
start_line 12 --device model=KMT-U,serial=2001,channels=6,nodes=4
start_line 13 --device model=KMT-G,serial=3001,address=1,node1=7:1-2:1000 \
              --device model=KMT-V,serial=3002,address=2,variant=F \
              --device model=KMT-UV,serial=3003,address=3
echo "  COM11 RS-232: KMT 12AB (a gas node with volumes in thousands)"
echo "  COM12 RS-232: KMT-U 2001 (6 channels, 4 nodes)"
echo "  COM13 RS-485: KMT-G 3001 (address 1), KMT-V 3002 (address 2), KMT-UV 3003 (address 3)"

say "The native server (Linux build, platform stand-in), poll period $period s:"
mkdir -p "$work/native"
cp "$native_server" "$work/native/MovraOPCServer.exe"
write_configuration "$work/native/MovraOPCServer.ini"
export MOVRA_PORTS=$work/ports MOVRA_MUTEX_DIR=$work
kill_line=1
watch_server 14 "$work/native/log.txt" "$work/native/MovraOPCServer.exe"
kill_line=0

if [ -f "$windows_server" ] && command -v wine >/dev/null; then
    say "The Windows program under Wine, its COM11 to COM13 mapped to the simulators:"
    start_line 12 --device model=KMT-U,serial=2001,channels=6,nodes=4
    export WINEPREFIX=$build_root/windows/wineprefix WINEDEBUG=-all
    wineserver -p 2>/dev/null || true
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    for port in 11 12 13; do
        ln -sfn "$work/ports/com$port" "$WINEPREFIX/dosdevices/com$port"
    done
    mkdir -p "$work/windows"
    cp "$windows_server" "$work/windows/MovraOPCServer.exe"
    write_configuration "$work/windows/MovraOPCServer.ini"
    watch_server 10 "$work/windows/log.txt" wine "$work/windows/MovraOPCServer.exe"

    proxy=$build_root/windows/idl/MovraOPCProxy.dll
    client=$build_root/windows/tools/opc-client/opc-client.exe
    if [ -f "$proxy" ] && [ -f "$client" ]; then
        say "An OPC client: COM starts the registered server, the client asks for its status:"
        # Wine keeps the class object of the server stopped above registered until its wineserver
        # ends, and would send the client there.
        wineserver -k 2>/dev/null || true
        wineserver -p 2>/dev/null || true
        wine cmd /c exit </dev/null >/dev/null 2>&1 || true
        wine regsvr32 /s "$proxy" </dev/null >/dev/null 2>&1
        wine "$work/windows/MovraOPCServer.exe" /Register </dev/null >/dev/null 2>&1
        echo "  > opc-client status"
        # Into a file: the server that COM starts inherits the client's output, and a pipe would
        # stay open until the server ends.
        wine "$client" status </dev/null >"$work/status.txt" 2>&1 || true
        sed 's/^/  /' "$work/status.txt"

        items=(PKE12AB.K01.T PKE2001.K01.T PKE3001.SYS.Pa PKE3002.K01.T PKE3003.K01.T)
        watch_seconds=$((period * 9))
        say "The client watches one item of every model (KMT, KMT-U, KMT-G, KMT-V, KMT-UV): a line
whenever the server reports a change, every $period s; the receive time comes first. The first
five lines (--refresh) are from a server that has just started and read nothing yet:"
        echo "  > opc-client watch ${items[*]} --refresh --seconds $watch_seconds"
        # The server started above serves this client too: it is still in its 5 s grace.
        wine "$client" watch "${items[@]}" --refresh --seconds $watch_seconds </dev/null \
            >"$work/watch.txt" 2>&1 &
        watch_pid=$!
        tail -n +1 -f --pid=$watch_pid "$work/watch.txt" | sed -u 's/\r$//; s/^/  /' &
        sleep $((period * 3))
        say "  (COM13 goes dead: its simulator is stopped; KMT-G, KMT-V and KMT-UV stop answering)"
        stop_line 13
        sleep $((period * 3))
        say "  (COM13 is back: a new simulator on the same port)"
        start_line 13 ${line_args[13]}
        wait "$watch_pid" || true
        sleep 0.3  # the last lines through tail
        # The server logs its end; it has no window or console of its own to watch.
        left=$(date +%s%3N)
        until show_log "$work/windows/log.txt" | grep -q 'Завершение работы'; do
            [ $(($(date +%s%3N) - left)) -lt 30000 ] || break
            sleep 0.1
        done
        local_ms=$(($(date +%s%3N) - left))
        printf '  the server ended by itself %d.%d s after its last client left:\n' \
               $((local_ms / 1000)) $((local_ms % 1000 / 100))
        show_log "$work/windows/log.txt" | tail -n 3 | sed 's/^/  | /'
        wine "$work/windows/MovraOPCServer.exe" /UnRegister </dev/null >/dev/null 2>&1
        wine regsvr32 /s /u "$proxy" </dev/null >/dev/null 2>&1
    fi
fi

say "Done. The simulators' frames: kmt-sim --trace; the client's other commands: opc-client (no arguments)."
