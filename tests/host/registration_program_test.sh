#!/bin/sh
# The server program's /Register and /UnRegister, end to end.
#   registration_program_test.sh windows <MovraOPCServer.exe> <cmake/wine-run>
#       runs the program under Wine and reads the prefix's registry with Wine's reg tool;
#   registration_program_test.sh native <MovraOPCServer.exe>
#       runs the native program with the stand-in registry kept in a file (MOVRA_REGISTRY).
set -eu

mode=$1
program=$2
wine_run=${3:-}
clsid='{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}'
category='{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy of its own, as an operator installs it: the log is written beside it.
cp "$program" "$work/MovraOPCServer.exe"
program=$work/MovraOPCServer.exe
failures=0
# The lists below hold one entry per line; nothing is globbed.
IFS='
'
set -f

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

run_program() {
    if [ "$mode" = windows ]; then
        "$wine_run" "$program" "$1" </dev/null >/dev/null 2>&1
    else
        MOVRA_REGISTRY=$work/registry.txt "$program" "$1" </dev/null >/dev/null 2>&1
    fi
}

# --- Windows: Wine's reg tool -----------------------------------------------------------------

roots='HKEY_CLASSES_ROOT
HKEY_LOCAL_MACHINE\SOFTWARE\Classes'
tops="AppID\\$clsid
AppID\\MovraOPCServer.exe
CLSID\\$clsid
MOVRA.OPC-server
MOVRA.OPC-server.1.08"

# Fails when the key does not exist; prints what reg prints, without carriage returns.
reg_query() {
    "$wine_run" reg query "$@" </dev/null >"$work/reg.out" 2>/dev/null || return 1
    tr -d '\r' <"$work/reg.out"
}

# Lists every key of ours with its subkeys and values into $work/dump: a line per key, then a
# line per value ("    NAME    TYPE    DATA").
dump_windows() {
    : >"$work/dump"
    for root in $roots; do
        for top in $tops; do
            reg_query "$root\\$top" /s >>"$work/dump" || true
        done
    done
}

section_of() {
    key="$1" LC_ALL=C awk '
        $0 == ENVIRON["key"] { inside = 1; found = 1; next }
        /^HKEY_/ || /^$/ { inside = 0 }
        inside { print }
        END { exit found ? 0 : 1 }' "$work/dump"
}

# expect_value KEY NAME DATA: the REG_SZ value NAME ((Default) for the unnamed one) of KEY is DATA;
# an empty DATA only asks for the value to be there.
expect_value() {
    section=$(section_of "$1") || { fail "$1 missing"; return; }
    line=$(printf '%s\n' "$section" | LC_ALL=C grep -F "    $2    REG_SZ    " || true)
    if [ -z "$line" ]; then
        fail "$1 has no REG_SZ value $2: $section"
    elif [ -n "$3" ] && [ "$line" != "    $2    REG_SZ    $3" ]; then
        fail "$1 $2: '$line', expected '$3'"
    fi
}

expect_key() {
    section_of "$1" >/dev/null || fail "$1 missing"
}

check_registered_windows() {
    path=$("$wine_run" winepath -w "$program" </dev/null 2>/dev/null | tr -d '\r')
    dump_windows
    for root in $roots; do
        expect_value "$root\\AppID\\$clsid" "(Default)" ""
        expect_value "$root\\AppID\\MovraOPCServer.exe" AppID "$clsid"
        expect_value "$root\\CLSID\\$clsid" "(Default)" ""
        expect_value "$root\\CLSID\\$clsid" AppID "$clsid"
        expect_key "$root\\CLSID\\$clsid\\Implemented Categories\\$category"
        expect_value "$root\\CLSID\\$clsid\\LocalServer32" "(Default)" "$path"
        expect_value "$root\\CLSID\\$clsid\\LocalServer32" ThreadingModel Free
        expect_value "$root\\CLSID\\$clsid\\ProgID" "(Default)" MOVRA.OPC-server.1.08
        expect_value "$root\\CLSID\\$clsid\\Version" "(Default)" 1.08
        expect_value "$root\\CLSID\\$clsid\\VersionIndependentProgID" "(Default)" MOVRA.OPC-server
        expect_value "$root\\MOVRA.OPC-server" "(Default)" ""
        expect_value "$root\\MOVRA.OPC-server\\CLSID" "(Default)" "$clsid"
        expect_value "$root\\MOVRA.OPC-server\\CurVer" "(Default)" MOVRA.OPC-server.1.08
        expect_value "$root\\MOVRA.OPC-server\\OPC\\Vendor" "(Default)" ""
        expect_value "$root\\MOVRA.OPC-server.1.08" "(Default)" ""
        expect_value "$root\\MOVRA.OPC-server.1.08\\CLSID" "(Default)" "$clsid"
    done
}

# The parents' lists of subkeys (one query each) must no longer name any of our keys.
check_unregistered_windows() {
    for root in $roots; do
        : >"$work/lists"
        for parent in "$root" "$root\\AppID" "$root\\CLSID"; do
            reg_query "$parent" >>"$work/lists" || fail "$parent gone"
        done
        for top in $tops; do
            if LC_ALL=C grep -qixF "$root\\$top" "$work/lists"; then
                fail "$root\\$top still there"
            fi
        done
    done
}

# --- Native: the stand-in's file ----------------------------------------------------------------

classes='HKEY_LOCAL_MACHINE\SOFTWARE\Classes'
# The description and the vendor in code page 1251, as the file escapes them.
description='\xcc\xce\xc2\xd0\xc0 OPC-\xf1\xe5\xf0\xe2\xe5\xf0\0'
vendor='\xce\xce\xce \xcd\xcf\xd4 \xcc\xce\xc2\xd0\xc0\0'

# expect_lines KEY LINE...: the section of KEY holds exactly these value lines.
expect_lines() {
    key=$1
    shift
    section=$(header="[$key]" awk '
        $0 == ENVIRON["header"] { inside = 1; next }
        /^\[/ { inside = 0 }
        inside { print }' "$work/registry.txt")
    if ! grep -qxF "[$key]" "$work/registry.txt"; then
        fail "$key missing"
        return
    fi
    expected=$(for line in "$@"; do printf '%s\n' "$line"; done)
    if [ "$section" != "$expected" ]; then
        fail "$key holds '$section', expected '$expected'"
    fi
}

check_registered_native() {
    server="$classes\\CLSID\\$clsid"
    expect_lines "$classes\\AppID\\$clsid" "@=sz:\"$description\""
    expect_lines "$classes\\AppID\\MovraOPCServer.exe" "\"AppID\"=sz:\"$clsid\\0\""
    expect_lines "$server" "@=sz:\"$description\"" "\"AppID\"=sz:\"$clsid\\0\""
    expect_lines "$server\\Implemented Categories\\$category"
    expect_lines "$server\\LocalServer32" "@=sz:\"$program\\0\"" "\"ThreadingModel\"=sz:\"Free\\0\""
    expect_lines "$server\\ProgID" '@=sz:"MOVRA.OPC-server.1.08\0"'
    expect_lines "$server\\Version" '@=sz:"1.08\0"'
    expect_lines "$server\\VersionIndependentProgID" '@=sz:"MOVRA.OPC-server\0"'
    expect_lines "$classes\\MOVRA.OPC-server" "@=sz:\"$description\""
    expect_lines "$classes\\MOVRA.OPC-server\\CLSID" "@=sz:\"$clsid\\0\""
    expect_lines "$classes\\MOVRA.OPC-server\\CurVer" '@=sz:"MOVRA.OPC-server.1.08\0"'
    expect_lines "$classes\\MOVRA.OPC-server\\OPC\\Vendor" "@=sz:\"$vendor\""
    expect_lines "$classes\\MOVRA.OPC-server.1.08" "@=sz:\"$description\""
    expect_lines "$classes\\MOVRA.OPC-server.1.08\\CLSID" "@=sz:\"$clsid\\0\""
}

check_unregistered_native() {
    if grep -F -e "$clsid" -e "MOVRA.OPC-server" -e "MovraOPCServer" "$work/registry.txt"; then
        fail "entries left after /UnRegister"
    fi
    grep -qxF "[$classes\\CLSID]" "$work/registry.txt" || fail "CLSID key gone"
    grep -qxF "[$classes\\AppID]" "$work/registry.txt" || fail "AppID key gone"
}

# --- The run ----------------------------------------------------------------------------------

run_program /Register || fail "/Register exit code $?"
"check_registered_$mode"
grep -q 'Ok\.' "$work/log.txt" || fail "log.txt does not report success"

run_program /UnRegister || fail "/UnRegister exit code $?"
"check_unregistered_$mode"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed checks" >&2
    exit 1
fi
echo "registration of the program: every entry written and removed"
