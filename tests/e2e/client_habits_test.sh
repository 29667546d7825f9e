#!/usr/bin/env bash
# Three habits of OPC clients written by others, end to end under Wine: client_habits_test.exe
# against MovraOPCServer.exe started by COM, through MovraOPCProxy.dll, with a simulated KMT-U on
# COM31 (the native kmt-sim on a pseudo-terminal) and a configured KMT on COM32, where no line is.
# The poll period is an hour: between the cycles the client asks for, nothing changes.
#   client_habits_test.sh <MovraOPCServer.exe> <MovraOPCProxy.dll> <client_habits_test.exe> <kmt-sim>
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../tools/demo/ini.sh"
source "$here/sim_server.sh" "$@"

e2e_start movra-habits
start_line 31 --device model=KMT-U,serial=0B01,seed=21,channels=2,nodes=2
# 3600 s; 19200 baud; GJ and m3; stamped with the PC's UTC time.
{
    ini_header 2 3600
    ini_record "Котельная" 0B01 4 1 4 31 0 0 0 0
    ini_record "Без линии" 0B02 1 1 4 32 0 0 0 0
} >"$work/server/MovraOPCServer.ini"
register_server
step "kmt-sim on COM31, the server registered"

# Into a file: the server COM starts inherits the client's output, and a pipe would stay open
# until the server ends.
wine "$client_test" --gtest_brief=1 </dev/null >"$work/client.out" 2>&1
status=$?
tr -d '\r' <"$work/client.out"
if [ "$status" != 0 ]; then
    echo "--- the server's log"
    server_log | tail -n 40
    echo "FAIL: client_habits_test.exe ended with exit code $status" >&2
    exit 1
fi
step "the three client habits: every check passed"
