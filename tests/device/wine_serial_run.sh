#!/bin/sh
# Runs a Windows test program under Wine with COM<n> of the Wine prefix mapped to a
# pseudo-terminal whose far side is served by a native peer program.
#
#   wine_serial_run.sh --com N [--peer 'shell command'] -- program [arguments...]
#
# The line is a socat pair of pseudo-terminals; $WINEPREFIX/dosdevices/comN points at one end.
# The peer command runs under sh, in a process group of its own, with PEER_TTY naming the other
# end and LINE_PID the process whose end cuts the whole line (kill it to hang up); by default it
# echoes every byte back. The program (usually cmake/wine-run and a test .exe)
# gets MOVRA_TEST_COM=N. The exit status is the program's. Scripts running at the same time in
# one prefix need different port numbers.
set -eu

usage() {
    sed -n '4,6p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

com=
peer='exec cat <"$PEER_TTY" >"$PEER_TTY"'
while [ $# -gt 0 ]; do
    case $1 in
        --com) [ $# -ge 2 ] || usage; com=$2; shift 2 ;;
        --peer) [ $# -ge 2 ] || usage; peer=$2; shift 2 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done
[ -n "$com" ] && [ $# -gt 0 ] || usage

# The prefix as cmake/wine-run finds it: beside the build folder's CMakeCache.txt.
if [ -z "${WINEPREFIX:-}" ]; then
    dir=$(pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    WINEPREFIX=$dir/wineprefix
    export WINEPREFIX
fi
dosdevices=$WINEPREFIX/dosdevices
if [ ! -d "$dosdevices" ]; then
    echo "wine_serial_run: no Wine prefix at $WINEPREFIX (./run setup makes one)" >&2
    exit 1
fi
command -v socat >/dev/null || { echo "wine_serial_run: socat is missing" >&2; exit 1; }

work=$(mktemp -d)
socat_pid=
holder_pid=
peer_pid=
cleanup() {
    # The line first: its hang-up goes to the sessions of the holder and the peer.
    [ -z "$socat_pid" ] || kill "$socat_pid" 2>/dev/null || true
    [ -z "$peer_pid" ] || kill -- "-$peer_pid" 2>/dev/null || true
    [ -z "$holder_pid" ] || kill -- "-$holder_pid" 2>/dev/null || true
    for pid in $peer_pid $holder_pid $socat_pid; do wait "$pid" 2>/dev/null || true; done
    if [ -L "$dosdevices/com$com" ] && [ "$(readlink "$dosdevices/com$com")" = "${line_tty:-}" ]; then
        rm -f "$dosdevices/com$com"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

socat -d -d "pty,raw,echo=0,link=$work/line" "pty,raw,echo=0,link=$work/peer" \
    2>"$work/socat.log" &
socat_pid=$!

# socat makes the links as soon as the terminals exist; bytes written before its transfer loop
# runs wait in the terminals' buffers. A bounded look every 10 ms, not a blind sleep.
tries=0
while [ ! -e "$work/line" ] || [ ! -e "$work/peer" ]; do
    if ! kill -0 "$socat_pid" 2>/dev/null || [ $tries -ge 500 ]; then
        echo "wine_serial_run: socat made no line" >&2
        cat "$work/socat.log" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.01
done
line_tty=$(readlink -f "$work/line")
PEER_TTY=$(readlink -f "$work/peer")
LINE_PID=$socat_pid
export PEER_TTY LINE_PID

# The Wine side of the line is held open by a process of its own session, whose controlling
# terminal it becomes: a program closing and reopening the port (as the connection does after a
# failed attempt) then never makes socat see the line hang up, and the wineserver, a session
# leader without a terminal, does not take this one as its own (it would get the SIGHUP when the
# line goes away at the end).
setsid sh -c 'exec 3<>"$1"; exec sleep 100000' sh "$line_tty" &
holder_pid=$!
tries=0
until [ "$(readlink "/proc/$holder_pid/fd/3" 2>/dev/null)" = "$line_tty" ]; do
    if ! kill -0 "$holder_pid" 2>/dev/null || [ $tries -ge 500 ]; then
        echo "wine_serial_run: cannot hold $line_tty open" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.01
done

# Bytes for a peer that has not opened its end yet wait for it here.
exec 4<>"$PEER_TTY"
setsid sh -c "$peer" 4>&- &
peer_pid=$!

ln -sfn "$line_tty" "$dosdevices/com$com"

status=0
MOVRA_TEST_COM=$com "$@" 4>&- || status=$?
exit $status
