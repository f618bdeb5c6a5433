#!/usr/bin/env bash
# Runs a Windows program under Wine with two COM ports joined by a null-modem cable: socat joins
# two pseudo-terminals, and two free COM numbers of the Wine prefix are made to point at them.
#
#   run_on_com_ports.sh SHIM PROGRAM.exe [ARGS...]
#
# The program finds the port numbers in VARNEL_TEST_CONTROL_PORT and VARNEL_TEST_SCALE_PORT.
# Creating the file "out" in the folder that VARNEL_TEST_CABLE names (a Windows path) pulls the
# cable: socat is stopped, so both ports hang up and their devices are gone; creating "in" there
# puts a new cable in on the same links. Each file is removed when that is done. SHIM, built for
# the program's bitness, is preloaded into its Wine process (pty_modem_shim.c). With
# VARNEL_TEST_LOG set, the program's output is also kept in that file.
set -euo pipefail
source "$(dirname "$0")/wine_loaders.sh"
shim=$(realpath "$1")
shift
wine=$(wine_loader "$(pe_bits "$1")")
prefix=${WINEPREFIX:-$HOME/.wine}
export WINEDEBUG=${WINEDEBUG:--all}
if [[ ! -d $prefix/dosdevices ]]; then
    echo "no Wine prefix at $prefix: create it with '$WINE64 wineboot --init'" >&2
    exit 1
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/varnel-com.XXXXXX")
claimed=()
watcher=""

stop_cable() {
    local pid
    pid=$(cat "$dir/socat.pid" 2>/dev/null) || return 0
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 200); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    rm -f "$dir/socat.pid"
}

start_cable() {
    socat PTY,link="$dir/control",raw,echo=0 PTY,link="$dir/scale",raw,echo=0 &
    echo $! >"$dir/socat.pid"
    for _ in $(seq 200); do
        [[ -e $dir/control && -e $dir/scale ]] && return 0
        sleep 0.05
    done
    echo "socat made no pseudo-terminals" >&2
    return 1
}

cleanup() {
    [[ -n $watcher ]] && kill "$watcher" 2>/dev/null
    stop_cable
    rm -f "${claimed[@]}"
    rm -rf "$dir"
}
trap cleanup EXIT

# A COM number nobody uses, now pointing at $1: creating the link is the claim.
claim() {
    local n
    for n in $(shuf -i 40-250); do
        if ln -s "$1" "$prefix/dosdevices/com$n" 2>/dev/null; then
            claimed+=("$prefix/dosdevices/com$n")
            echo "$n"
            return 0
        fi
    done
    echo "no free COM number in $prefix/dosdevices" >&2
    return 1
}

# Links left behind by a run that was killed (its directory is gone) are taken back.
for link in "$prefix"/dosdevices/com*; do
    target=$(readlink "$link") || continue
    if [[ $target == */varnel-com.*/* && ! -d ${target%/*} ]]; then rm -f "$link"; fi
done

start_cable
claim "$dir/control" >"$dir/control.n"
claim "$dir/scale" >"$dir/scale.n"

mkdir "$dir/cable"
(
    while :; do
        if [[ -e $dir/cable/out ]]; then
            stop_cable
            rm -f "$dir/cable/out"
        fi
        if [[ -e $dir/cable/in ]]; then
            start_cable
            rm -f "$dir/cable/in"
        fi
        sleep 0.05
    done
) &
watcher=$!

export VARNEL_TEST_CONTROL_PORT VARNEL_TEST_SCALE_PORT VARNEL_TEST_CABLE
VARNEL_TEST_CONTROL_PORT=$(cat "$dir/control.n")
VARNEL_TEST_SCALE_PORT=$(cat "$dir/scale.n")
VARNEL_TEST_CABLE="Z:${dir//\//\\}\\cable"

# Wine's server takes a pseudo-terminal it opens as its controlling terminal, and dumps its
# object table to its stderr when the line hangs up: a server started here keeps that quiet.
wineserver -p3 >/dev/null 2>&1 || true

# Output to a file: Wine services started by this call inherit its handles, and a pipe they
# hold open would keep the caller waiting.
status=0
LD_PRELOAD=$shim timeout 600 "$wine" "$@" >"$dir/output" 2>&1 || status=$?
# Wine's service processes are 64-bit: started by a 32-bit program, they inherit its 32-bit
# shim, and their ld.so says it ignores it.
grep -vF "ERROR: ld.so: object '$shim' from LD_PRELOAD cannot be preloaded (wrong ELF class" \
    "$dir/output" >"$dir/shown" || true
cat "$dir/shown"
[[ -n ${VARNEL_TEST_LOG:-} ]] && cp "$dir/shown" "$VARNEL_TEST_LOG"
exit "$status"
