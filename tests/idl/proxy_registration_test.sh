#!/bin/sh
# regsvr32 MovraOPCProxy.dll in the Wine prefix: every interface without a proxy becomes ours, one
# that another program's proxy already serves stays theirs through register and unregister, and
# unregister takes back exactly what register wrote.
#   proxy_registration_test.sh <MovraOPCProxy.dll> <cmake/wine-run>
set -eu

dll=$1
wine_run=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/private_prefix.sh"
ours='{7A3D2E51-6B0C-4F8A-9E14-2C5B7D9F0A36}'
foreign='{6C0F3B2A-15D4-4E8B-A9C7-0D2E4F6A8B91}'
work=$(mktemp -d)
failures=0

# name, IID, method count (IUnknown's three included)
interfaces='IOPCServer {39C13A4D-011E-11D0-9675-0020AFD8ADB3} 9
IOPCBrowseServerAddressSpace {39C13A4F-011E-11D0-9675-0020AFD8ADB3} 8
IOPCGroupStateMgt {39C13A50-011E-11D0-9675-0020AFD8ADB3} 7
IOPCPublicGroupStateMgt {39C13A51-011E-11D0-9675-0020AFD8ADB3} 5
IOPCSyncIO {39C13A52-011E-11D0-9675-0020AFD8ADB3} 5
IOPCItemMgt {39C13A54-011E-11D0-9675-0020AFD8ADB3} 10
IEnumOPCItemAttributes {39C13A55-011E-11D0-9675-0020AFD8ADB3} 7
IOPCDataCallback {39C13A70-011E-11D0-9675-0020AFD8ADB3} 7
IOPCAsyncIO2 {39C13A71-011E-11D0-9675-0020AFD8ADB3} 9
IOPCItemProperties {39C13A72-011E-11D0-9675-0020AFD8ADB3} 6
IOPCShutdown {F31DFDE1-07B6-11D2-B2D8-0060083BA1FB} 4
IOPCCommon {F31DFDE2-07B6-11D2-B2D8-0060083BA1FB} 8'
# Interfaces that other programs serve in the second half: one with their proxy's class, one
# whose entry names nothing we can read.
taken="IOPCItemMgt {39C13A54-011E-11D0-9675-0020AFD8ADB3} $foreign
IOPCShutdown {F31DFDE1-07B6-11D2-B2D8-0060083BA1FB} unreadable"

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

wine() {
    "$wine_run" "$@" </dev/null 2>/dev/null
}

# Prints the REG_SZ value (default when no name) of a HKCR key; fails when there is none.
value_of() {
    if [ -n "${2:-}" ]; then
        wine reg query "HKEY_CLASSES_ROOT\\$1" /v "$2" >"$work/reg.out" || return 1
    else
        wine reg query "HKEY_CLASSES_ROOT\\$1" /ve >"$work/reg.out" || return 1
    fi
    tr -d '\r' <"$work/reg.out" | sed -n 's/^    [^ ].*    REG_SZ    //p' | head -n 1
}

expect_value() {
    actual=$(value_of "$1" "${3:-}") || actual='(missing)'
    [ "$actual" = "$2" ] || fail "HKCR\\$1 ${3:-(default)}: '$actual', expected '$2'"
}

expect_no_key() {
    if wine reg query "HKEY_CLASSES_ROOT\\$1" >/dev/null; then
        fail "HKCR\\$1 still there"
    fi
}

remove_foreign() {
    for iid in $(printf '%s\n' "$taken" | cut -d' ' -f2); do
        wine reg delete "HKEY_CLASSES_ROOT\\Interface\\$iid" /f >/dev/null || true
    done
}

regsvr32() {
    wine regsvr32 /s "$@" "$dll" || fail "regsvr32 $* exit code $?"
}

# expect_interfaces STATE [SKIPPED_IIDS]: every interface registered to us (ours), or none of
# our keys left (gone); the skipped ones are checked apart.
expect_interfaces() {
    while read -r name iid methods; do
        case "${2:-}" in *"$iid"*) continue ;; esac
        key="Interface\\$iid"
        if [ "$1" = ours ]; then
            expect_value "$key" "$name"
            expect_value "$key\\ProxyStubClsid32" "$ours"
            expect_value "$key\\NumMethods" "$methods"
        else
            expect_no_key "$key"
        fi
    done <<EOF
$interfaces
EOF
}

expect_foreign_untouched() {
    while read -r name iid clsid; do
        expect_value "Interface\\$iid" "$name"
        expect_value "Interface\\$iid\\ProxyStubClsid32" "$clsid"
        expect_value "Interface\\$iid\\NumMethods" 10
    done <<EOF
$taken
EOF
}

# The foreign entries planted below stay in a prefix of this test's own.
private_prefix "$work"
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
remove_foreign
wine regsvr32 /u /s "$dll" || true

# A machine without OPC proxies: all twelve are ours, and our class points at the DLL.
regsvr32
expect_interfaces ours
path=$(wine winepath -w "$dll" | tr -d '\r')
expect_value "CLSID\\$ours\\InprocServer32" "$path"
expect_value "CLSID\\$ours\\InprocServer32" Both ThreadingModel
# Registering twice changes nothing.
regsvr32
expect_interfaces ours
regsvr32 /u
expect_interfaces gone
expect_no_key "CLSID\\$ours"

# Other programs serve two interfaces: they keep them through register and unregister.
while read -r name iid clsid; do
    wine reg add "HKEY_CLASSES_ROOT\\Interface\\$iid" /ve /d "$name" /f >/dev/null
    wine reg add "HKEY_CLASSES_ROOT\\Interface\\$iid\\ProxyStubClsid32" /ve /d "$clsid" /f >/dev/null
    wine reg add "HKEY_CLASSES_ROOT\\Interface\\$iid\\NumMethods" /ve /d 10 /f >/dev/null
done <<EOF
$taken
EOF
regsvr32
expect_interfaces ours "$taken"
expect_foreign_untouched
regsvr32 /u
expect_interfaces gone "$taken"
expect_foreign_untouched
expect_no_key "CLSID\\$ours"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed checks" >&2
    exit 1
fi
echo "proxy registration: twelve interfaces ours, foreign ones left alone, unregister clean"
