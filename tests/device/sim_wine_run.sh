#!/bin/sh
# Runs a Windows test program under Wine with COM<n> of the prefix mapped to a pseudo-terminal
# whose far side is the native device simulator.
#
#   sim_wine_run.sh KMT_SIM --com N --sim 'simulator arguments' -- program [arguments...]
#
# KMT_SIM is the simulator of the native build. When it is not there, the test is skipped with
# exit code 77 and a line that says why. Otherwise wine_serial_run.sh runs the program with the
# simulator as the line's peer (on --port, at the given baud rate and devices).
set -eu

usage() {
    sed -n '4,6p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

[ $# -ge 1 ] || usage
sim=$1
shift
com=
sim_args=
while [ $# -gt 0 ]; do
    case $1 in
        --com) [ $# -ge 2 ] || usage; com=$2; shift 2 ;;
        --sim) [ $# -ge 2 ] || usage; sim_args=$2; shift 2 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done
[ -n "$com" ] && [ $# -gt 0 ] || usage

if [ ! -x "$sim" ]; then
    echo "SKIPPED: no device simulator at $sim; build the native preset first (./run build native)"
    exit 77
fi

here=$(cd "$(dirname "$0")" && pwd)
# The simulator's READY line goes nowhere: the connection's first request waits in the terminal
# until the simulator reads it.
exec sh "$here/wine_serial_run.sh" --com "$com" \
    --peer "exec '$sim' --port \"\$PEER_TTY\" $sim_args >/dev/null" -- "$@"
