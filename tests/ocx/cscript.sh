#!/usr/bin/env bash
# Runs a VBScript or JScript file under Wine's 32- or 64-bit cscript and compares what it prints
# with the expected lines. cscript exits 0 even when the script fails, so the output is the
# verdict.
#
#   cscript.sh 32|64 SCRIPT EXPECTED
set -euo pipefail
source "$(dirname "$0")/../win32/wine_loaders.sh"
wine=$(wine_loader "$1")
script=$(realpath "$2")
expected=$3
got=$(timeout 120 "$wine" cscript //nologo "Z:${script//\//\\}" 2>&1 </dev/null | tr -d '\r')
if diff -u "$expected" <(printf '%s\n' "$got"); then
    echo "script output as expected"
else
    echo "script output differs (above: - expected, + got)"
    exit 1
fi
