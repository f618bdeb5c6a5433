#!/usr/bin/env bash
# Writes the varnel(1) man page from the tool's own help: help2man for the top level, and a
# COMMANDS section with the help of every subcommand, found by walking `varnel ... --help`.
# Usage: make-man.sh VARNEL VERSION OUTPUT
set -euo pipefail
varnel=$(realpath "$1")
version=$2
out=$3
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Run as "varnel", so that the usage lines name the command rather than the build path.
printf '#!/usr/bin/env bash\nexec -a varnel %q "$@"\n' "$varnel" >"$work/varnel"
chmod +x "$work/varnel"

subcommands() {
    "$work/varnel" "$@" --help | awk '
        /^[A-Za-z][A-Za-z ]*:$/ { section = tolower($0); next }
        section ~ /^subcommands/ && /^  [a-z]/ { print $1 }'
}

# Help text as literal roff lines.
roff() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }

section() {
    local sub
    for sub in $(subcommands "$@"); do
        printf '.SS "%s"\n.nf\n' "$*${*:+ }$sub"
        "$work/varnel" "$@" "$sub" --help | roff
        printf '.fi\n'
        section "$@" "$sub"
    done
}

{
    echo "[COMMANDS]"
    section
    cat "$here/varnel.h2m"
} >"$work/include.h2m"

help2man --no-info --no-discard-stderr --version-string="$version" \
    --name="read a bench weighing scale on an RS-232 line" \
    --include="$work/include.h2m" --output="$out" "$work/varnel"
