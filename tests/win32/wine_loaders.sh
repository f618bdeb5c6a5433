# Sourced by the Wine test scripts: the loaders that start 32- and 64-bit programs.
# Once Debian's wine32 is installed, /usr/bin/wine is the 32-bit loader, and a 32-bit process
# sees syswow64 as system32: `wine cscript` is then the 32-bit script host. Wine's own programs
# (regsvr32, cscript, reg) are started by name with the loader of the bitness wanted.
WINE64=/usr/lib/wine/wine64
[[ -x $WINE64 ]] || WINE64=$(command -v wine64 || command -v wine)
WINE32=/usr/lib/wine/wine
[[ -x $WINE32 ]] || WINE32=$(command -v wine)

# wine_loader 32|64: the loader whose programs have that bitness.
wine_loader() {
    case $1 in
        32) echo "$WINE32" ;;
        64) echo "$WINE64" ;;
        *) echo "wine_loader: bitness '$1' is not 32 or 64" >&2; return 1 ;;
    esac
}

# pe_bits FILE: 32 or 64, from the machine field of a Windows program's or library's PE header.
pe_bits() {
    local header machine
    header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx1 -j$((header + 4)) -N2 "$1" | tr -d ' ')
    case $machine in
        4c01) echo 32 ;;
        6486) echo 64 ;;
        *) echo "pe_bits: $1 is not an x86 or x86-64 PE file" >&2; return 1 ;;
    esac
}
