# Sourced by the Wine test scripts that register Varnel.ocx (registration.sh, tests/msi/msi.sh):
# registry snapshots, creating the control from a script host, and the checks' verdicts. The
# callers set `state`, a folder for their files, and run in the current WINEPREFIX.
source "$(dirname "${BASH_SOURCE[0]}")/../win32/wine_loaders.sh"

# winpath PATH: a Linux path as Wine names it; a Windows path ("C:\...") as it is.
winpath() { if [[ $1 == [A-Za-z]:* ]]; then echo "$1"; else echo "Z:${1//\//\\}"; fi; }

# snapshot OUT [KEY...]: the keys as text, by default the machine's and the user's classes. The
# 64-bit export holds the 32-bit view too, under Wow6432Node.
snapshot() {
    local out=$1 key keys=("${@:2}")
    [[ ${#keys[@]} -gt 0 ]] || keys=('HKLM\Software\Classes' 'HKCU\Software\Classes')
    : > "$out"
    for key in "${keys[@]}"; do
        rm -f "$state/export.reg"
        # A key that is not there exports nothing.
        timeout 120 "$WINE64" reg export "$key" "$(winpath "$state/export.reg")" /y >/dev/null 2>&1 ||
            continue
        iconv -f UTF-16LE -t UTF-8 "$state/export.reg" | tr -d '\r' >> "$out"
    done
}

# value BITS KEY [NAME]: the default value (or NAME) of KEY under HKEY_CLASSES_ROOT as the
# programs of that bitness see it.
value() {
    local args=("HKCR\\$2")
    if [[ -n "${3:-}" ]]; then args+=(/v "$3"); else args+=(/ve); fi
    timeout 60 "$(wine_loader "$1")" reg query "${args[@]}" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *[^ ].*REG_SZ *//p' | head -n 1
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
