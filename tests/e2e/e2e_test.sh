#!/bin/sh
# End to end under Wine: MovraOPCServer.exe registered and activated out of process by ProgID,
# through MovraOPCProxy.dll, by com_e2e_test.exe and by opc-client.exe.
#   e2e_test.sh <MovraOPCServer.exe> <MovraOPCProxy.dll> <com_e2e_test.exe> <opc-client.exe>
#               <cmake/wine-run>
set -u

server_program=$1
proxy=$2
client_test=$3
opc_client=$4
wine_run=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/movra-e2e.XXXXXX")
tag=$(basename "$work")
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}

. "$(dirname "$0")/processes.sh"

# This run's server processes: ours lies in a folder of this run only.
server_pids() {
    pids_matching "*$tag*MovraOPCServer.exe*"
}

wine_quiet() {
    "$wine_run" "$@" </dev/null >/dev/null 2>&1
}

# await_exit SINCE: waits up to 15 s from SINCE (ms) for this run's server process to end and
# prints the milliseconds it took; prints nothing when it still runs.
await_exit() {
    while :; do
        elapsed=$(($(now_ms) - $1))
        if [ -z "$(server_pids)" ]; then
            echo "$elapsed"
            return
        fi
        [ "$elapsed" -le 15000 ] || return
        sleep 0.2
    done
}

cleanup() {
    # Only a failure leaves a server behind; killed, it leaves its class registered with Wine's
    # RPC service until the prefix's wineserver ends.
    for pid in $(server_pids); do
        kill -9 "$pid" 2>/dev/null
    done
    wine_quiet "$work/MovraOPCServer.exe" /UnRegister
    wine_quiet regsvr32 /s /u "$proxy"
    rm -rf "$work"
}
trap cleanup EXIT

# opc_client EXPECTED_EXIT ARGS...: runs the tool; its output without carriage returns is in
# $work/out and $work/err.
opc_client() {
    expected=$1
    shift
    "$wine_run" "$opc_client" "$@" </dev/null >"$work/out.raw" 2>"$work/err.raw"
    code=$?
    tr -d '\r' <"$work/out.raw" >"$work/out"
    tr -d '\r' <"$work/err.raw" >"$work/err"
    if [ "$code" -ne "$expected" ]; then
        fail "opc-client $*: exit code $code, expected $expected; stderr: $(cat "$work/err")"
    fi
}

expect_line() {
    grep -qxF -- "$2" "$work/$1" || fail "no line '$2' in $1: $(cat "$work/$1")"
}

# The server as an operator installs it, with the configuration the configurator saves for an
# empty list: format 1.08 (a float), device count 0, period 0 (paced as 1 s).
cp "$server_program" "$work/MovraOPCServer.exe"
printf '\161\075\212\077\000\000\000\000\000\000\000\000' >"$work/MovraOPCServer.ini"
wine_quiet regsvr32 /s "$proxy" || { echo "FAIL: regsvr32 $proxy" >&2; exit 1; }
wine_quiet "$work/MovraOPCServer.exe" /Register || { echo "FAIL: /Register" >&2; exit 1; }

opc_client 3 status NO.SUCH-server
expect_line err "NO.SUCH-server is not registered on this computer (run MovraOPCServer.exe /Register)"

# A lock keeps the server without clients (this run's first activation).
"$wine_run" "$client_test" --gtest_brief=1 --gtest_filter='Lifetime.*' </dev/null ||
    fail "com_e2e_test Lifetime.*"

# Everything that can share one server start. The suite holds its client far longer than the
# server's main thread takes to notice it, so no earlier grace runs on; when it ends, its client
# was the last, and 5 s later the process ends (less the time the client process took to exit).
"$wine_run" "$client_test" --gtest_brief=1 --gtest_filter='Server.*' </dev/null ||
    fail "com_e2e_test Server.*"
left=$(now_ms)
[ -n "$(server_pids)" ] || fail "no server process of this run found after its last client left"
gone_after=$(await_exit "$left")
if [ -z "$gone_after" ]; then
    fail "the server still runs 15 s after its last client left"
elif [ "$gone_after" -lt 4000 ]; then
    fail "the server ended $gone_after ms after its last client left, inside the 5 s grace"
else
    echo "the server ended $gone_after ms after its last client left"
fi

opc_client 0 status
expect_line out "MOVRA.OPC-server"
expect_line out "  state:        running"
expect_line out "  vendor:       Company: MOVRA. Devices: KMT, KMT-V, KMT-G, KMT-U."
expect_line out "  version:      1.1.1"
opc_client 0 errors 0xC0040007 1
expect_line out "0xC0040007 The item ID is not defined in the server address space or no longer exists in the server address space."
expect_line out "0x00000001 The operation partially successed."

# Without the proxy/stub the client cannot take the server's interface, and the server COM
# started for it ends by itself.
wine_quiet regsvr32 /s /u "$proxy"
before=$(now_ms)
opc_client 5 status
hint='MovraOPCProxy.dll may not be registered (regsvr32 MovraOPCProxy.dll)'
grep -qxF "MOVRA.OPC-server cannot be reached through IOPCServer (0x80040155 REGDB_E_IIDNOTREG: No proxy/stub is registered for the interface.); $hint" "$work/err" ||
    grep -qxF "MOVRA.OPC-server cannot be reached through IOPCServer (0x80004002 E_NOINTERFACE: No such interface is supported.); $hint" "$work/err" ||
    fail "no proxy/stub: $(cat "$work/err")"
[ -n "$(await_exit "$before")" ] || fail "the server still runs 15 s after a client without proxy/stub"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed checks" >&2
    exit 1
fi
echo "end to end: every check passed"
