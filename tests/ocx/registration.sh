#!/usr/bin/env bash
# Registers and unregisters Varnel.ocx with Wine's regsvr32 and checks the registry.
#
#   registration.sh register   OCX STATE_DIR   snapshot the classes, register, check the keys
#   registration.sh unregister OCX STATE_DIR   unregister, check that creating the control fails
#                                              and that the classes are as before registering
#
# Runs in the current WINEPREFIX, with regsvr32, reg and cscript of the file's bitness. Each
# cscript registers its own type library the first time it runs, so it runs once before the
# first snapshot.
set -euo pipefail

action=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../win32/wine_loaders.sh"
winpath() { echo "Z:${1//\//\\}"; }

# The control's identity, from the automation table (control/automation.cpp).
clsid='{7836629A-E99E-44DA-B38E-413BA318ADED}'
libid='{1C61970F-14B4-46F8-B73F-4E98E34C318E}'
pages=('{22282026-E301-4844-B721-373BE38E492D}' '{DD1E9EC3-D171-4B67-82FC-7409FF7F94BA}'
       '{51CBCDBE-41DE-4DCC-A88A-657A3080DBF6}')

# The machine's and the user's classes, as text. The 64-bit export holds the 32-bit view too,
# under Wow6432Node.
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

# "none" when the classes are as in before.txt, else "some" after the first lines of the diff.
left_behind() {
    snapshot "$state/after.txt"
    if diff -u "$state/before.txt" "$state/after.txt" > "$state/left.diff"; then echo none; else
        head -n 40 "$state/left.diff" >&2
        echo some
    fi
}

# value BITS KEY [NAME]: the default value (or NAME) of KEY under HKEY_CLASSES_ROOT as the
# programs of that bitness see it.
value() {
    local args=("HKCR\\$2")
    if [[ -n "${3:-}" ]]; then args+=(/v "$3"); else args+=(/ve); fi
    timeout 60 "$(wine_loader "$1")" reg query "${args[@]}" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *[^ ].*REG_SZ *//p' | head -n 1
}

# present BITS KEY: "present" or "none".
present() {
    timeout 60 "$(wine_loader "$1")" reg query "HKCR\\$2" >/dev/null 2>&1 && echo present ||
        echo none
}

# create BITS: creates the control by ProgID from that bitness's script host, opens it closed
# and sets a property; prints what it got or the error number.
create() {
    local script="$state/create.vbs"
    printf '%s\r\n' 'On Error Resume Next' 'Set v = CreateObject("Varnel_OCX.Varnel")' \
        'If Err.Number <> 0 Then WScript.Echo "error " & Err.Number : WScript.Quit' \
        'v.NetWtUnits = 2' \
        'WScript.Echo "created, ScaleOpen " & v.ScaleOpen(0) & ", NetWtUnits " & v.NetWtUnits' \
        > "$script"
    timeout 60 "$(wine_loader "$1")" cscript //nologo "$(winpath "$script")" 2>/dev/null | tr -d '\r'
}
works="created, ScaleOpen 0, NetWtUnits 2"

# regsvr BITS [/u] OCX: that bitness's regsvr32, silent; prints its exit code.
regsvr() {
    local bits=$1 rc=0
    shift
    timeout 60 "$(wine_loader "$bits")" regsvr32 /s "${@:1:$#-1}" "$(winpath "${!#}")" \
        >/dev/null 2>&1 || rc=$?
    echo "$rc"
}

failures=0
expect() {  # WHAT GOT WANT
    if [[ "$2" == "$3" ]]; then echo "ok    $1"; else
        echo "FAIL  $1: got '$2', want '$3'"; failures=$((failures + 1)); fi
}

case $action in
register)
    ocx=$(realpath "$2") state=$3
    mkdir -p "$state"
    bits=$(pe_bits "$ocx")
    # A run that was stopped between its phases may have left the control registered.
    regsvr "$bits" /u "$ocx" >/dev/null
    create "$bits" >/dev/null  # cscript's own type library
    snapshot "$state/before.txt"
    expect "regsvr32 exit code" "$(regsvr "$bits" "$ocx")" 0
    path=$(winpath "$ocx")
    cls="CLSID\\$clsid"
    expect "class name" "$(value "$bits" "$cls")" "Varnel_OCX.Varnel"
    expect "Control" "$(present "$bits" "$cls\\Control")" present
    expect "InprocServer32" "$(value "$bits" "$cls\\InprocServer32")" "$path"
    expect "ThreadingModel" "$(value "$bits" "$cls\\InprocServer32" ThreadingModel)" Apartment
    expect "MiscStatus" "$(value "$bits" "$cls\\MiscStatus")" 0
    expect "MiscStatus\\1" "$(value "$bits" "$cls\\MiscStatus\\1")" $((0x24591))
    expect "ProgID" "$(value "$bits" "$cls\\ProgID")" "Varnel_OCX.Varnel.1"
    expect "VersionIndependentProgID" "$(value "$bits" "$cls\\VersionIndependentProgID")" \
        "Varnel_OCX.Varnel"
    expect "ToolboxBitmap32" "$(value "$bits" "$cls\\ToolboxBitmap32")" "$path, 30000"
    expect "TypeLib" "$(value "$bits" "$cls\\TypeLib")" "$libid"
    expect "Version" "$(value "$bits" "$cls\\Version")" "1.0"
    expect "ProgID's class" "$(value "$bits" 'Varnel_OCX.Varnel\CLSID')" "$clsid"
    expect "ProgID's current version" "$(value "$bits" 'Varnel_OCX.Varnel\CurVer')" \
        "Varnel_OCX.Varnel.1"
    expect "versioned ProgID's class" "$(value "$bits" 'Varnel_OCX.Varnel.1\CLSID')" "$clsid"
    for page in "${pages[@]}"; do
        expect "page $page" "$(value "$bits" "CLSID\\$page\\InprocServer32")" "$path"
    done
    expect "type library" "$(value "$bits" "TypeLib\\$libid\\1.0\\409\\win$bits")" "$path"
    expect "created by ProgID" "$(create "$bits")" "$works"
    ;;
unregister)
    ocx=$(realpath "$2") state=$3
    bits=$(pe_bits "$ocx")
    expect "regsvr32 /u exit code" "$(regsvr "$bits" /u "$ocx")" 0
    expect "created by ProgID" "$(create "$bits")" "error 429"
    expect "keys left behind" "$(left_behind)" none
    ;;
*)
    echo "usage: $0 register|unregister OCX STATE_DIR" >&2
    exit 2
    ;;
esac
[[ $failures -eq 0 ]]
