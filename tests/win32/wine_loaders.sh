# Sourced by the Wine test scripts: the loaders that start 64-bit programs.
# Once Debian's wine32 is installed, /usr/bin/wine is the 32-bit loader, and a 32-bit process
# sees syswow64 as system32: `wine cscript` is then the 32-bit script host. Wine's own 64-bit
# programs (regsvr32, cscript, reg) are started with the 64-bit loader by name.
WINE64=/usr/lib/wine/wine64
[[ -x $WINE64 ]] || WINE64=$(command -v wine64 || command -v wine)
