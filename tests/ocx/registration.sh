#!/usr/bin/env bash
# Registers and unregisters Varnel.ocx with Wine's regsvr32 and checks the registry.
#
#   registration.sh register   OCX STATE_DIR   snapshot the classes, register, check the keys
#   registration.sh unregister OCX STATE_DIR   unregister, check that creating the control fails
#                                              and that the classes are as before registering
#   registration.sh side-by-side OCX64 OCX32 STATE_DIR
#                                              the two files registered in one prefix: the steps
#                                              of the table below, each followed by its checks
#
# Runs in the current WINEPREFIX, with regsvr32, reg and cscript of the file's bitness. Each
# cscript registers its own type library the first time it runs, so it runs once before the
# first snapshot.
set -euo pipefail

action=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine_classes.sh"

# The control's identity, from the automation table (control/automation.cpp).
clsid='{7836629A-E99E-44DA-B38E-413BA318ADED}'
libid='{1C61970F-14B4-46F8-B73F-4E98E34C318E}'
iid='{0744D239-1CCF-4F2F-9FFC-06D3BC9EB516}'  # _Varnel
pages=('{22282026-E301-4844-B721-373BE38E492D}' '{DD1E9EC3-D171-4B67-82FC-7409FF7F94BA}'
       '{51CBCDBE-41DE-4DCC-A88A-657A3080DBF6}')

# "none" when the classes are as in before.txt, else "some" after the first lines of the diff.
left_behind() {
    snapshot "$state/after.txt"
    if diff -u "$state/before.txt" "$state/after.txt" > "$state/left.diff"; then echo none; else
        head -n 40 "$state/left.diff" >&2
        echo some
    fi
}

# present BITS KEY: "present" or "none".
present() {
    timeout 60 "$(wine_loader "$1")" reg query "HKCR\\$2" >/dev/null 2>&1 && echo present ||
        echo none
}

# The platforms the type library is registered for, as "win32 win64".
typelibs() {
    timeout 60 "$WINE64" reg query "HKCR\\TypeLib\\$libid\\1.0\\409" 2>/dev/null | tr -d '\r' |
        sed -n 's/.*\\\(win[0-9]*\)$/\1/p' | sort | xargs
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
side-by-side)
    ocx64=$(realpath "$2") ocx32=$(realpath "$3") state=$4
    mkdir -p "$state"
    foreign='{00000000-0000-0000-C000-000000000046}'  # a class of someone else's
    # Each step: what is done, then what must hold as CHECK=VALUE, with the checks of check()
    # below; the parts of either side are separated by semicolons.
    steps=(
        "register 64; register 32
         | server64=$ocx64; server32=$ocx32; use64=$works; use32=$works; typelib=win32 win64"
        # Unregistering either bitness leaves the other whole: its ProgIDs, the interface keys
        # and its platform of the type library.
        "unregister 64
         | server64=none; use64=error 429; use32=$works; curver=Varnel_OCX.Varnel.1;
           interface=present; typelib=win32"
        "register 64; unregister 32
         | server32=none; use32=error 429; use64=$works; curver=Varnel_OCX.Varnel.1;
           interface=present; typelib=win64"
        "unregister 64 | use64=error 429; left=none"
        # A version-independent ProgID a newer version has taken over stays, with its ProgID.
        "register 64; set Varnel_OCX.Varnel\\CurVer Varnel_OCX.Varnel.2;
         set Varnel_OCX.Varnel.2\\CLSID $foreign; unregister 64
         | curver=Varnel_OCX.Varnel.2; clsid2=$foreign; clsid1=none"
        # A versioned ProgID that names another class stays.
        "delete Varnel_OCX.Varnel; delete Varnel_OCX.Varnel.2; register 64;
         set Varnel_OCX.Varnel.1\\CLSID $foreign; unregister 64
         | clsid1=$foreign; curver=none"
        "delete Varnel_OCX.Varnel.1 | left=none"
    )
    do_step() {  # ACTION [ARGS]
        case $1 in
            register | unregister)
                local ocx=ocx$2 flag=()
                [[ $1 == unregister ]] && flag=(/u)
                expect "$1 $2" "$(regsvr "$2" "${flag[@]}" "${!ocx}")" 0 ;;
            set) timeout 60 "$WINE64" reg add "HKCR\\$2" /ve /d "$3" /f >/dev/null 2>&1 ;;
            delete) timeout 60 "$WINE64" reg delete "HKCR\\$2" /f >/dev/null 2>&1 || true ;;
        esac
    }
    or_none() { grep . || echo none; }
    check() {  # NAME: what it reads now
        case $1 in
            server64 | server32) value "${1#server}" "CLSID\\$clsid\\InprocServer32" | or_none ;;
            use64 | use32) create "${1#use}" ;;
            curver) value 64 'Varnel_OCX.Varnel\CurVer' | or_none ;;
            clsid1) value 64 'Varnel_OCX.Varnel.1\CLSID' | or_none ;;
            clsid2) value 64 'Varnel_OCX.Varnel.2\CLSID' | or_none ;;
            interface) present 64 "Interface\\$iid" ;;
            typelib) typelibs | or_none ;;
            left) left_behind ;;
        esac
    }
    trim() { local s=${1#"${1%%[![:space:]]*}"}; echo "${s%"${s##*[![:space:]]}"}"; }

    # Both files unregistered, also the ProgIDs a stopped run may have left in a state
    # unregistering keeps; then the classes as they are without either.
    regsvr 64 /u "$ocx64" >/dev/null
    regsvr 32 /u "$ocx32" >/dev/null
    for progid in Varnel_OCX.Varnel Varnel_OCX.Varnel.1 Varnel_OCX.Varnel.2; do
        do_step delete "$progid"
    done
    create 64 >/dev/null  # each cscript's own type library
    create 32 >/dev/null
    snapshot "$state/before.txt"
    for step in "${steps[@]}"; do
        step=$(tr -s ' \n' ' ' <<<"$step")
        echo "--    $(trim "${step%%|*}")"
        IFS=';' read -ra parts <<<"${step%%|*}"
        for part in "${parts[@]}"; do
            read -ra words <<<"$part"
            do_step "${words[@]}"
        done
        IFS=';' read -ra parts <<<"${step#*|}"
        for part in "${parts[@]}"; do
            part=$(trim "$part")
            name=${part%%=*} want=${part#*=}
            [[ $name == server* && $want != none ]] && want=$(winpath "$want")
            expect "$name" "$(check "$name")" "$want"
        done
    done
    ;;
*)
    echo "usage: $0 register|unregister OCX STATE_DIR | side-by-side OCX64 OCX32 STATE_DIR" >&2
    exit 2
    ;;
esac
[[ $failures -eq 0 ]]
