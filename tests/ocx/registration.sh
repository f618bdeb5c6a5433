#!/usr/bin/env bash
# Registers and unregisters Varnel.ocx with Wine's regsvr32 and checks the registry.
#
#   registration.sh register   OCX STATE_DIR   snapshot the classes, register, check the keys
#   registration.sh unregister OCX STATE_DIR   unregister, check that creating the control fails
#                                              and that the classes are as before registering
#
# Runs in the current WINEPREFIX. cscript registers its own type library the first time it runs,
# so it runs once before the first snapshot.
set -euo pipefail

action=$1
ocx=$(realpath "$2")
state=$3
mkdir -p "$state"
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../win32/wine_loaders.sh"
winpath() { echo "Z:${1//\//\\}"; }

# The control's identity, from the automation table (control/automation.cpp).
clsid='{7836629A-E99E-44DA-B38E-413BA318ADED}'
libid='{1C61970F-14B4-46F8-B73F-4E98E34C318E}'
pages=('{22282026-E301-4844-B721-373BE38E492D}' '{DD1E9EC3-D171-4B67-82FC-7409FF7F94BA}'
       '{51CBCDBE-41DE-4DCC-A88A-657A3080DBF6}')

# The machine's and the user's classes, as text.
snapshot() {
    local out=$1 hive
    : > "$out"
    for hive in 'HKLM\Software\Classes' 'HKCU\Software\Classes'; do
        rm -f "$state/export.reg"
        # A hive without the key exports nothing.
        timeout 120 "$WINE64" reg export "$hive" "$(winpath "$state/export.reg")" /y >/dev/null 2>&1 ||
            continue
        iconv -f UTF-16LE -t UTF-8 "$state/export.reg" | tr -d '\r' >> "$out"
    done
}

# The default value (or NAME) of KEY under HKEY_CLASSES_ROOT.
value() {
    local args=("HKCR\\$1")
    if [[ -n "${2:-}" ]]; then args+=(/v "$2"); else args+=(/ve); fi
    timeout 60 "$WINE64" reg query "${args[@]}" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *[^ ].*REG_SZ *//p' | head -n 1
}

# Creates the control by ProgID from a script host; prints "created" or the error number.
create() {
    local script="$state/create.vbs"
    printf '%s\r\n' 'On Error Resume Next' 'Set v = CreateObject("Varnel_OCX.Varnel")' \
        'If Err.Number = 0 Then WScript.Echo "created" Else WScript.Echo "error " & Err.Number' \
        > "$script"
    timeout 60 "$WINE64" cscript //nologo "$(winpath "$script")" 2>/dev/null | tr -d '\r'
}

failures=0
expect() {  # WHAT GOT WANT
    if [[ "$2" == "$3" ]]; then echo "ok    $1"; else
        echo "FAIL  $1: got '$2', want '$3'"; failures=$((failures + 1)); fi
}

case $action in
register)
    # A run that was stopped between its phases may have left the control registered.
    timeout 60 "$WINE64" regsvr32 /u /s "$(winpath "$ocx")" >/dev/null 2>&1 || true
    create >/dev/null  # cscript's own type library
    snapshot "$state/before.txt"
    timeout 60 "$WINE64" regsvr32 /s "$(winpath "$ocx")" >/dev/null 2>&1 && rc=0 || rc=$?
    expect "regsvr32 exit code" "$rc" 0
    path=$(winpath "$ocx")
    expect "class name" "$(value "CLSID\\$clsid")" "Varnel_OCX.Varnel"
    expect "Control" "$(timeout 60 "$WINE64" reg query "HKCR\\CLSID\\$clsid\\Control" >/dev/null 2>&1 \
        && echo present)" present
    expect "InprocServer32" "$(value "CLSID\\$clsid\\InprocServer32")" "$path"
    expect "ThreadingModel" "$(value "CLSID\\$clsid\\InprocServer32" ThreadingModel)" Apartment
    expect "MiscStatus" "$(value "CLSID\\$clsid\\MiscStatus")" 0
    expect "MiscStatus\\1" "$(value "CLSID\\$clsid\\MiscStatus\\1")" $((0x24591))
    expect "ProgID" "$(value "CLSID\\$clsid\\ProgID")" "Varnel_OCX.Varnel.1"
    expect "VersionIndependentProgID" "$(value "CLSID\\$clsid\\VersionIndependentProgID")" \
        "Varnel_OCX.Varnel"
    expect "ToolboxBitmap32" "$(value "CLSID\\$clsid\\ToolboxBitmap32")" "$path, 30000"
    expect "TypeLib" "$(value "CLSID\\$clsid\\TypeLib")" "$libid"
    expect "Version" "$(value "CLSID\\$clsid\\Version")" "1.0"
    expect "ProgID's class" "$(value 'Varnel_OCX.Varnel\CLSID')" "$clsid"
    expect "ProgID's current version" "$(value 'Varnel_OCX.Varnel\CurVer')" "Varnel_OCX.Varnel.1"
    expect "versioned ProgID's class" "$(value 'Varnel_OCX.Varnel.1\CLSID')" "$clsid"
    for page in "${pages[@]}"; do
        expect "page $page" "$(value "CLSID\\$page\\InprocServer32")" "$path"
    done
    expect "type library" "$(value "TypeLib\\$libid\\1.0\\409\\win64")" "$path"
    expect "created by ProgID" "$(create)" created
    ;;
unregister)
    timeout 60 "$WINE64" regsvr32 /u /s "$(winpath "$ocx")" >/dev/null 2>&1 && rc=0 || rc=$?
    expect "regsvr32 /u exit code" "$rc" 0
    expect "created by ProgID" "$(create)" "error 429"
    snapshot "$state/after.txt"
    if diff -u "$state/before.txt" "$state/after.txt" > "$state/left.diff"; then
        expect "keys left behind" none none
    else
        head -n 40 "$state/left.diff"
        expect "keys left behind" some none
    fi
    ;;
*)
    echo "usage: $0 register|unregister OCX STATE_DIR" >&2
    exit 2
    ;;
esac
[[ $failures -eq 0 ]]
