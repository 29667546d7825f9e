#!/bin/sh
# MovraOPC-setup.exe in a fresh Wine prefix: a silent install into a chosen folder, what it
# registers, an activation through COM, an install over it, the refusal while the server runs,
# and silent uninstalls with and without the plant's data; a proxy another program registered
# before stays through all of it.
#   installer_test.sh <MovraOPC-setup.exe> <folder of the operator's manual>
set -u

setup=$1
manual=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/movra-setup.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
failures=0
folder='C:\Movra Test'
unix_folder=$WINEPREFIX/drive_c/Movra\ Test
server_clsid='{5E1C2A7B-94D3-4F60-8B21-3C7D9A0E6F15}'
category='{63D5F432-CFE4-11d1-B2C8-0060083BA1FB}'
iid_server='{39C13A4D-011E-11D0-9675-0020AFD8ADB3}'
iid_common='{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}'
foreign_proxy='{0B1E2C3D-4F5A-4B6C-8D7E-9F0A1B2C3D4E}'

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

cleanup() {
    wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# run EXPECTED COMMAND...: a Windows command line through cmd, so "/D=" and "_?=" may hold a
# space as an operator types them (quotes inside it do not survive Wine's command line).
run() {
    expected=$1
    shift
    wine cmd /c "$*" </dev/null >"$work/out" 2>&1
    code=$?
    [ "$code" -eq "$expected" ] || fail "$*: exit code $code, expected $expected"
}

has_key() {
    wine reg query "$1" </dev/null >/dev/null 2>&1
}

default_of() {
    wine reg query "$1" /ve </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'
}

start=$(date +%s)
wineboot -i >/dev/null 2>&1
wineserver -w
echo "fresh prefix in $(($(date +%s) - start)) s"

# Another program's proxy for one of the interfaces, registered before ours.
wine reg add "HKCR\\Interface\\$iid_common\\ProxyStubClsid32" /ve /d "$foreign_proxy" /f \
    </dev/null >/dev/null 2>&1
cp "$setup" "$WINEPREFIX/drive_c/MovraOPC-setup.exe"

run 0 "C:\\MovraOPC-setup.exe /S /D=$folder"
for file in MovraOPCServer.exe MovraOPCConfigurator.exe MovraOPCProxy.dll opc-client.exe \
    MovraOPCCheck.exe Uninstall.exe manual/index.html manual/images/configurator-main.png \
    manual/images/configurator-device.png; do
    [ -f "$unix_folder/$file" ] || fail "$file not installed"
done
cmp -s "$unix_folder/manual/index.html" "$manual/index.html" ||
    fail "the installed manual is not the one in the repository"
menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Movra\ OPC
for entry in "Movra OPC Configurator" "Operator manual" "Server log" "Commissioning check" \
    Uninstall; do
    [ -f "$menu/$entry.lnk" ] || fail "no Start-menu entry $entry"
done
grep -aq 'manual.index\.html' "$menu/Operator manual.lnk" 2>/dev/null ||
    fail "the Start-menu entry of the manual does not open manual\\index.html"
[ "$(default_of "HKCR\\CLSID\\$server_clsid\\LocalServer32")" = "$folder\\MovraOPCServer.exe" ] ||
    fail "LocalServer32 is '$(default_of "HKCR\\CLSID\\$server_clsid\\LocalServer32")'"
[ "$(default_of 'HKCR\MOVRA.OPC-server\CLSID')" = "$server_clsid" ] || fail "ProgID not registered"
has_key "HKCR\\CLSID\\$server_clsid\\Implemented Categories\\$category" ||
    fail "OPC DA 2.0 category not registered"
[ -n "$(default_of "HKCR\\Interface\\$iid_server\\ProxyStubClsid32")" ] ||
    fail "no proxy registered for IOPCServer"
[ "$(default_of "HKCR\\Interface\\$iid_common\\ProxyStubClsid32")" = "$foreign_proxy" ] ||
    fail "the other program's proxy for IOPCCommon was replaced"
has_key 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\MovraOPC' ||
    fail "no uninstall entry"

# The configurator's file of an empty device list, polled every second; then the server is
# started by COM for the client.
printf '\161\075\212\077\000\000\000\000\001\000\000\000' >"$unix_folder/MovraOPCServer.ini"
run 0 "cd /d $folder && opc-client.exe status"
grep -q "state: *running" "$work/out" || fail "opc-client status: $(cat "$work/out")"
# The commissioning check reads the same file beside it: no devices, nothing fails.
run 0 "cd /d $folder && MovraOPCCheck.exe"

# While the server runs it cannot be replaced: the setup says so and changes nothing. The server
# runs once its log says that it read its configuration. Started for a client that never comes,
# it ends by itself after two graces (10 s): a setup that found it gone already proves nothing
# and is tried again with a fresh start.
. "$(dirname "$0")/../e2e/processes.sh"
refused=
for _ in 1 2 3; do
    wineserver -w
    rm -f "$unix_folder/log.txt"
    wine "$unix_folder/MovraOPCServer.exe" -Embedding </dev/null >/dev/null 2>&1 &
    for _ in $(seq 600); do
        grep -aq 'Ok\.' "$unix_folder/log.txt" 2>/dev/null && break
        sleep 0.1
    done
    wine cmd /c "C:\\MovraOPC-setup.exe /S /D=$folder" </dev/null >"$work/out" 2>&1
    code=$?
    if [ "$code" -eq 3 ]; then
        refused=1
        break
    fi
    [ -z "$(pids_matching "*Movra Test*MovraOPCServer.exe*")" ] || break
done
[ -n "$refused" ] || fail "the setup did not refuse to replace the running server (exit $code)"
wineserver -k
wineserver -w

# An install over the first keeps a changed configuration.
printf '\161\075\212\077\000\000\000\000\002\000\000\000' >"$unix_folder/MovraOPCServer.ini"
cp "$unix_folder/MovraOPCServer.ini" "$work/ini"
run 0 "C:\\MovraOPC-setup.exe /S /D=$folder"
cmp -s "$unix_folder/MovraOPCServer.ini" "$work/ini" || fail "reinstall changed MovraOPCServer.ini"

# A silent uninstall keeps the plant's data and leaves nothing else.
# As Windows runs it: the uninstaller hands over to a copy of itself, so it can delete itself,
# and the prefix's processes are awaited.
run 0 "cd /d $folder && Uninstall.exe /S"
wineserver -w
for file in MovraOPCServer.exe MovraOPCConfigurator.exe MovraOPCProxy.dll opc-client.exe \
    MovraOPCCheck.exe Uninstall.exe manual; do
    [ ! -e "$unix_folder/$file" ] || fail "$file left after uninstall"
done
[ ! -e "$menu" ] || fail "Start-menu entries left after uninstall: $(ls "$menu")"
[ -f "$unix_folder/MovraOPCServer.ini" ] || fail "uninstall removed MovraOPCServer.ini"
[ -f "$unix_folder/log.txt" ] || fail "uninstall removed log.txt"
for key in "HKCR\\CLSID\\$server_clsid" 'HKCR\MOVRA.OPC-server' 'HKCR\MOVRA.OPC-server.1.08' \
    "HKLM\\Software\\Classes\\CLSID\\$server_clsid" "HKCR\\Interface\\$iid_server" \
    'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\MovraOPC'; do
    ! has_key "$key" || fail "$key left after uninstall"
done
[ "$(default_of "HKCR\\Interface\\$iid_common\\ProxyStubClsid32")" = "$foreign_proxy" ] ||
    fail "the other program's proxy for IOPCCommon is gone after uninstall"

# Asked to, the uninstaller removes the data and the folder too.
run 0 "C:\\MovraOPC-setup.exe /S /D=$folder"
run 0 "cd /d $folder && Uninstall.exe /S /REMOVEDATA"
wineserver -w
[ ! -e "$unix_folder" ] || fail "folder left after uninstall with /REMOVEDATA: $(ls "$unix_folder")"

echo "installer test took $(($(date +%s) - start)) s"
if [ "$failures" -ne 0 ]; then
    echo "$failures failed checks" >&2
    exit 1
fi
echo "installer: every check passed"
