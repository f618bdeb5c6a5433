#!/usr/bin/env bash
# Runs a VBScript under Wine's cscript and compares what it prints with the expected lines.
# cscript exits 0 even when the script fails, so the output is the verdict.
#
#   cscript.sh SCRIPT EXPECTED
set -euo pipefail
source "$(dirname "$0")/../win32/wine_loaders.sh"
script=$(realpath "$1")
expected=$2
got=$(timeout 120 "$WINE64" cscript //nologo "Z:${script//\//\\}" 2>&1 </dev/null | tr -d '\r')
if diff -u "$expected" <(printf '%s\n' "$got"); then
    echo "script output as expected"
else
    echo "script output differs (above: - expected, + got)"
    exit 1
fi
