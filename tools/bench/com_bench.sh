#!/bin/sh
# com_bench.exe under Wine against a server registered for this run only (no devices, poll period
# 1 s), in ROUNDS rounds that each start from a cold server: the next round waits until the
# previous server process has ended.
#   tools/bench/com_bench.sh [WINDOWS_BUILD_DIR] [ROUNDS]      (defaults build/windows, 3)
set -eu

build=$(cd "${1:-build/windows}" && pwd)
rounds=${2:-3}
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=-all
work=$(mktemp -d "${TMPDIR:-/tmp}/movra-bench.XXXXXX")
tag=$(basename "$work")

server_running() {
    for dir in /proc/[0-9]*; do
        case $(tr '\0' ' ' 2>/dev/null <"$dir/cmdline") in
            *"$tag"*MovraOPCServer.exe*) return 0 ;;
        esac
    done
    return 1
}

cleanup() {
    wine "$work/MovraOPCServer.exe" /UnRegister </dev/null >/dev/null 2>&1 || true
    wine regsvr32 /s /u "$build/idl/MovraOPCProxy.dll" </dev/null >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

cp "$build/server/host/MovraOPCServer.exe" "$work/"
printf '\161\075\212\077\000\000\000\000\001\000\000\000' >"$work/MovraOPCServer.ini"
wine regsvr32 /s "$build/idl/MovraOPCProxy.dll" </dev/null >/dev/null 2>&1
wine "$work/MovraOPCServer.exe" /Register </dev/null >/dev/null 2>&1

round=1
while [ "$round" -le "$rounds" ]; do
    waited=0
    while server_running; do
        [ "$waited" -lt 150 ] || { echo "the server of the last round does not end" >&2; exit 1; }
        sleep 0.1
        waited=$((waited + 1))
    done
    echo "round $round"
    wine "$build/tools/bench/com_bench.exe" </dev/null | tr -d '\r'
    round=$((round + 1))
done
