#!/usr/bin/env bash
# End to end with data under Wine: four simulated metering computers on three lines (the native
# kmt-sim on pseudo-terminals mapped as COM21 to COM23), MovraOPCServer.exe registered and started
# by COM, and two data_e2e_test.exe clients at once. The script kills the second client's process
# once it is subscribed, and cuts and restores COM22 when the first asks for it (flag files).
#   data_e2e_test.sh <MovraOPCServer.exe> <MovraOPCProxy.dll> <data_e2e_test.exe> <kmt-sim>
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../tools/demo/ini.sh"
source "$here/sim_server.sh" "$@"

failures=0
e2e_start movra-data

# The arguments of each line's simulator, by COM number.
declare -A line_devices=(
    [21]="--device model=KMT,serial=0A01,seed=11"
    [22]="--device model=KMT-U,serial=0A02,seed=12,channels=2,nodes=2"
    [23]="--device model=KMT-V,serial=0A03,address=1,seed=13 --device model=KMT-G,serial=0A04,address=2,seed=14,channels=2,nodes=2"
)

# The Linux processes of this run's server.
server_pids() {
    pids_matching "*$tag*MovraOPCServer.exe*"
}

# The Linux processes of this run's second client: its command line holds the role and the
# run's folder.
second_client_pids() {
    pids_matching "*data_e2e_test.exe*--role=second*$tag*"
}

mkdir -p "$work/flags"
for port in 21 22 23; do
    # shellcheck disable=SC2086
    start_line $port ${line_devices[$port]}
done
step "simulators ready on COM21, COM22, COM23"

# Poll period 1 s; 19200 baud; energies in GJ, volumes in m3, stamped with the PC's UTC time.
{
    ini_header 4 1
    ini_record "Котельная" 0A01 1 1 4 21 0 0 0 0
    ini_record "ЦТП" 0A02 4 1 4 22 0 0 0 0
    ini_record "Насосная" 0A03 2 2 4 23 1 0 0 0
    ini_record "Газовая" 0A04 3 2 4 23 2 0 0 0
} >"$work/server/MovraOPCServer.ini"
register_server
step "server and proxy/stub registered"

# Into files: the server COM starts inherits the first client's output, and a pipe would stay
# open until the server ends.
# The second client starts once the first has activated the server: two activations at the same
# moment would make Wine start two server processes.
flags="Z:$work/flags"
wine "$client_test" --role=first --flags="$flags" --gtest_brief=1 </dev/null \
    >"$work/first.out" 2>&1 &
first=$!
for _ in $(seq 100); do
    [ -f "$work/flags/activated-first" ] && break
    sleep 0.1
done
step "first client connected"
wine "$client_test" --role=second --flags="$flags" --gtest_brief=1 </dev/null \
    >"$work/second.out" 2>&1 &
second=$!

killed=0
while kill -0 "$first" 2>/dev/null; do
    if [ $killed = 0 ] && [ -f "$work/flags/second-subscribed" ]; then
        servers=$(server_pids | wc -l)
        if [ "$servers" != 1 ]; then
            echo "FAIL: $servers server processes serve the two clients" >&2
            failures=$((failures + 1))
        fi
        pids=$(second_client_pids)
        step "second client subscribed ($(cat "$work/flags/second-subscribed")): kill -9 $pids"
        [ -n "$pids" ] && kill -9 $pids
        wait "$second" 2>/dev/null
        killed=1
        touch "$work/flags/second-killed"
    fi
    if [ -f "$work/flags/cut-line" ] && [ ! -f "$work/flags/line-cut" ]; then
        stop_line 22
        step "COM22 cut (its simulator stopped)"
        touch "$work/flags/line-cut"
    fi
    if [ -f "$work/flags/restore-line" ] && [ ! -f "$work/flags/line-restored" ]; then
        # shellcheck disable=SC2086
        start_line 22 ${line_devices[22]}
        step "COM22 restored (a new simulator)"
        touch "$work/flags/line-restored"
    fi
    sleep 0.1
done
wait "$first"
first_status=$?
step "first client ended with exit code $first_status"

echo "--- first client"
tr -d '\r' <"$work/first.out"
echo "--- second client (killed while subscribed)"
tr -d '\r' <"$work/second.out"
[ "$first_status" = 0 ] || { echo "FAIL: the first client's tests" >&2; failures=$((failures + 1)); }
if [ "$(cat "$work/flags/second-subscribed" 2>/dev/null)" != ok ]; then
    echo "FAIL: the second client's tests before it was killed" >&2
    failures=$((failures + 1))
fi
[ $killed = 1 ] || { echo "FAIL: the second client was never killed" >&2; failures=$((failures + 1)); }
if [ "$failures" -ne 0 ]; then
    echo "--- the server's log"
    server_log | tail -n 40
    exit 1
fi
step "end to end with data: every check passed"
