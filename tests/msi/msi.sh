#!/usr/bin/env bash
# The Windows Installer package under Wine, in a fresh prefix of its own:
#
#   msi.sh WIN64_BUILD WIN32_BUILD WORK_DIR VARNEL
#
# WIN64_BUILD holds Varnel-<version>.msi and the lower-version package for the upgrade (target
# varnel_msi), the examples' script host, the README's container (tests/msi) and the modem-line
# shim for its Wine processes; WIN32_BUILD the 32-bit Varnel.ocx; VARNEL is the native varnel
# tool, whose simulator is the scale. The
# checks, in order: the summary; a damaged package is refused and changes nothing; installing
# (files, registry rows equal to regsvr32's, Programs and Features, both bitnesses' cscript create
# the control, the installed examples print the scale's weights); removing leaves nothing; a
# lower version replaced by this one, and not the other way round. One line per check; exit 1 if
# any failed. Each msiexec run leaves its log in WORK_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
win64=$(realpath "$1") win32=$(realpath "$2") varnel=$(realpath "$4")
mkdir -p "$3"
state=$(realpath "$3")
source "$here/../ocx/wine_classes.sh"

msi=$(echo "$win64"/Varnel-*.msi)
old=$win64/packaging/windows/upgrade-test/Varnel-2.9.0.0.msi
version=${msi##*/Varnel-}
version=${version%.msi}
for f in "$msi" "$old" "$varnel"; do
    [[ -f $f ]] || { echo "FAIL  missing $f (build the varnel_msi target)"; exit 1; }
done
export WINEPREFIX=$state/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
drive=$WINEPREFIX/drive_c
dir64="$drive/Program Files/Varnel" dir32="$drive/Program Files (x86)/Varnel"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

sim=""
stop() {
    timeout 60 wineserver -k 2>/dev/null || true
    [[ -z $sim ]] || { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; } || true
    sim=""
}
trap stop EXIT
# A server a stopped run left for this prefix goes with it.
timeout 60 wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
timeout 180 "$WINE64" wineboot --init >"$state/wineboot.log" 2>&1

# msiexec ACTION PACKAGE: silent, with a log msiexec-<n>.log; prints the exit code.
# (Called in command substitutions: the count is kept in a file.)
echo 0 >"$state/runs"
msiexec() {
    local rc=0 runs
    runs=$(($(cat "$state/runs") + 1))
    echo "$runs" >"$state/runs"
    timeout 300 "$WINE64" msiexec "/$1" "$(winpath "$2")" /qn \
        /l*v "$(winpath "$state/msiexec-$runs.log")" >/dev/null 2>&1 || rc=$?
    echo "$rc"
}

# What of ours can be on the machine: the classes (without Windows Installer's own bookkeeping
# under Classes\Installer), Programs and Features, and the two folders. Key names are compared
# without regard to case, as the registry treats them.
machine() {
    snapshot "$state/raw.txt" 'HKLM\Software\Classes' 'HKCU\Software\Classes' "$uninstall_key"
    awk '/^\[/ { skip = tolower($0) ~ /^\[hkey_local_machine\\software\\classes\\installer[]\\]/;
                 $0 = tolower($0) }
         !skip' "$state/raw.txt"
    find "$dir64" "$dir32" 2>/dev/null | sed "s|^$drive/||" || true
}

# same FILE_A FILE_B: "same", or "differs" with the first lines of the difference on stderr.
same() {
    if diff -u "$1" "$2" >"$state/diff.txt"; then echo same; else
        head -n 30 "$state/diff.txt" >&2
        echo differs
    fi
}

# The installed products named like ours, as "DisplayVersion Publisher" lines.
products() {
    timeout 60 "$WINE64" reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' |
        awk '/^HKEY/ { if (name == "Varnel ActiveX Control") print ver " " pub; name = ver = pub = "" }
             $1 == "DisplayName" { sub(/.*REG_SZ +/, ""); name = $0 }
             $1 == "DisplayVersion" { sub(/.*REG_SZ +/, ""); ver = $0 }
             $1 == "Publisher" { sub(/.*REG_SZ +/, ""); pub = $0 }
             END { if (name == "Varnel ActiveX Control") print ver " " pub }'
}

clsid='{7836629A-E99E-44DA-B38E-413BA318ADED}'

echo "--    package $msi"
summary=$(msiinfo suminfo "$msi")
expect "summary: subject" "$(sed -n 's/^Subject: //p' <<<"$summary")" "Varnel ActiveX Control $version"
expect "summary: manufacturer" "$(sed -n 's/^Author: //p' <<<"$summary")" "The Varnel developers"
expect "summary: platform" "$(sed -n 's/^Template: //p' <<<"$summary")" "x64;1033"

# Each cscript registers its own type library the first time it runs: before the snapshot.
expect "no control before installing (64-bit)" "$(create 64)" "error 429"
expect "no control before installing (32-bit)" "$(create 32)" "error 429"
machine >"$state/before.txt"

echo "--    a damaged package"
head -c 400000 "$msi" >"$state/damaged.msi"
rc=$(msiexec i "$state/damaged.msi")
expect "msiexec /i of a truncated package fails" "$([[ $rc != 0 ]] && echo failed || echo "exit $rc")" failed
machine >"$state/now.txt"
expect "nothing changed" "$(same "$state/before.txt" "$state/now.txt")" same

echo "--    install"
expect "msiexec /i exit code" "$(msiexec i "$msi")" 0
expect "Programs and Features" "$(products)" "$version The Varnel developers"
expect "64-bit file" "$(cmp -s "$dir64/Varnel.ocx" "$win64/ocx/Varnel.ocx" && echo installed)" installed
expect "32-bit file" "$(cmp -s "$dir32/Varnel.ocx" "$win32/ocx/Varnel.ocx" && echo installed)" installed
expect "64-bit class served by" "$(value 64 "CLSID\\$clsid\\InprocServer32")" \
    'C:\Program Files\Varnel\Varnel.ocx'
expect "32-bit class served by" "$(value 32 "CLSID\\$clsid\\InprocServer32")" \
    'C:\Program Files (x86)\Varnel\Varnel.ocx'
expect "created by 64-bit cscript" "$(create 64)" "$works"
expect "created by 32-bit cscript" "$(create 32)" "$works"
# The package's rows against regsvr32's of the installed files, 64-bit first as the package's
# library key has the 64-bit folder for its help folder.
machine >"$state/installed.txt"
codes=""
for step in "64 /u" "32 /u" 64 32; do
    read -r bits flag <<<"$step"
    file='C:\Program Files\Varnel\Varnel.ocx'
    [[ $bits == 64 ]] || file='C:\Program Files (x86)\Varnel\Varnel.ocx'
    codes+="$(regsvr "$bits" $flag "$file") "
done
expect "regsvr32 /u and regsvr32 of both installed files" "$codes" "0 0 0 0 "
machine >"$state/registered.txt"
expect "registry as regsvr32 writes it" "$(same "$state/registered.txt" "$state/installed.txt")" same

echo "--    the installed examples on a simulated scale"
# example COUNT PROGRAM ARGS...: runs a 64-bit program with the simulator's pseudo-terminal as
# COM40 of the prefix; prints its output.
example() {
    local count=$1 pty=""
    shift
    # Rising by 0.02 kg a frame for half an hour: each frame shows a new weight.
    "$varnel" simulate --pty --layout kg --script ramp:1:900:1800 >"$state/sim.txt" 2>&1 &
    sim=$!
    for _ in $(seq 600); do
        pty=$(head -n 1 "$state/sim.txt")
        [[ $pty == /dev/* ]] && break
        sleep 0.05
    done
    [[ $pty == /dev/* ]] || { echo "the simulator made no pseudo-terminal: $pty"; return; }
    ln -sfn "$pty" "$WINEPREFIX/dosdevices/com40"
    LD_PRELOAD=$win64/tests/win32/pty_modem_shim.so timeout 120 "$WINE64" "$@" 40 "$count" \
        >"$state/example.txt" 2>&1 || echo "exit $?"
    # The program has closed the port: the simulator's end may go.
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null || true
    sim=""
    grep -v "ld.so" "$state/example.txt" | tr -d '\r'
}
# Five lines "<FormattedWt> (<NetWt> g)" of the simulator's rising weights in kilograms, each
# higher than the one before, with the net weight the displayed one in grams: "ok", else what
# came.
weights() {
    local out
    out=$(cat)
    if [[ $(grep -c . <<<"$out") == 5 ]] && awk '
        $0 !~ /^ *[0-9.]+ \([0-9.]+ g\)$/ { exit 1 }
        { gsub(/[()g]/, ""); if (($1 * 1000 - $2) ^ 2 > 0.01 || $1 <= last) exit 1; last = $1 }
        ' <<<"$out"; then echo ok; else
        echo "$out" | head -n 8 >&2
        echo "not five weights"
    fi
}
examples=$(winpath "$dir64/examples")
host=$(winpath "$win64/tests/msi/msi_script_host.exe")
expect "scale.vbs" "$(example 5 "$host" "$examples\\scale.vbs" | weights)" ok
expect "scale.js" "$(example 5 "$host" "$examples\\scale.js" | weights)" ok
expect "README's container" "$(example 5 "$win64/tests/msi/readme_container.exe" | weights)" ok

echo "--    uninstall"
expect "msiexec /x exit code" "$(msiexec x "$msi")" 0
machine >"$state/now.txt"
expect "nothing of ours left" "$(same "$state/before.txt" "$state/now.txt")" same

echo "--    upgrade from a lower version"
expect "msiexec /i of 2.9.0.0" "$(msiexec i "$old")" 0
expect "2.9.0.0 installed" "$(products)" "2.9.0.0 The Varnel developers"
expect "msiexec /i of $version over it" "$(msiexec i "$msi")" 0
expect "one product, the newer" "$(products)" "$version The Varnel developers"
expect "newer files" "$(cmp -s "$dir64/README-Windows.md" "$win64/packaging/windows/docs/README-Windows.md" &&
    echo newer)" newer
rc=$(msiexec i "$old")
expect "2.9.0.0 over it refused" "$([[ $rc != 0 ]] && echo refused || echo "exit $rc")" refused
expect "still one product, the newer" "$(products)" "$version The Varnel developers"
expect "created by 64-bit cscript" "$(create 64)" "$works"
expect "msiexec /x exit code" "$(msiexec x "$msi")" 0
machine >"$state/now.txt"
expect "nothing of ours left" "$(same "$state/before.txt" "$state/now.txt")" same

if [[ $failures -eq 0 ]]; then echo "msi: all checks passed"; else echo "msi: $failures FAILED"; fi
[[ $failures -eq 0 ]]
