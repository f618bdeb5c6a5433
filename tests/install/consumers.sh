#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds examples/ and the README's Embed program
# against it, outside the source tree: with the CMake package and with pkg-config. Every program
# then reads a simulated scale until it prints its first weight.
# Usage: consumers.sh BUILD_DIR VARNEL  (VARNEL: a varnel binary that runs the simulator)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
varnel=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/varnel-consumers.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "consumers: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
core=$(find "$prefix" -name 'libvarnel_core.*' -not -type l | head -n 1)
[[ -n $core ]] || fail "no libvarnel_core installed"
libdir=$(dirname "$core")
echo "installed $(basename "$core") into $prefix"

# What the prefix holds: headers only under include/varnel, none of the tool's or the tests',
# and no package file that needs the tool's libraries.
[[ $(ls "$prefix/include") == varnel ]] || fail "headers outside include/varnel"
[[ -f $prefix/include/varnel/host/scale.h ]] || fail "host/scale.h not installed"
if ls "$prefix/include/varnel" | grep -Eq '^(tools|tests|datapath|diag)$'; then
    fail "internal headers installed: $(ls "$prefix/include/varnel")"
fi
if grep -rlE 'nlohmann|CLI11|varnel_sim' "$libdir/cmake" "$libdir/pkgconfig"; then
    fail "the package refers to the tool's dependencies"
fi
if [[ $core == *.so* ]]; then
    soname=$(readelf -d "$core" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
    [[ $soname == libvarnel_core.so.3 ]] || fail "SONAME is '$soname'"
    static=""
else
    static=--static
fi

# The consumers' sources, away from the source tree.
mkdir -p "$work/src"
cp -r "$root/examples/." "$work/src/"

echo "CMake package"
cmake -S "$work/src" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" -DVARNEL_README="$root/README.md" >/dev/null
cmake --build "$work/cmake" -j 2 >/dev/null

echo "pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
for pc in "$libdir"/pkgconfig/*.pc; do
    pkg-config --validate "$pc" || fail "$pc is not valid"
    pkg-config --exists --print-errors "$(basename "$pc" .pc)" || fail "$pc does not resolve"
done
# Every installed header, with the flags pkg-config gives.
find "$prefix/include/varnel" -name '*.h' | sed "s|^$prefix/include/|#include <|; s|$|>|" \
    >"$work/all_headers.cpp"
read -ra flags <<<"$(pkg-config --cflags --libs $static varnel)"
g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only "${flags[@]}" "$work/all_headers.cpp"
mkdir -p "$work/pc"
for source in "$work/src/embed.cpp" "$work/cmake/readme_embed.cpp"; do
    g++ -std=c++20 -Wall -Wextra -Werror -o "$work/pc/$(basename "$source" .cpp)" "$source" \
        "${flags[@]}"
done

# Each program on a fresh simulated scale: its first line must be a weight, printed while the
# program still runs (so flushed at once, also into a pipe).
first_weight() {
    local program=$1 pty line sim
    exec {sim}< <(exec "$varnel" simulate --pty --script steady:12.5 --duration 60 \
        2>>"$work/simulator.log")
    local sim_pid=$!
    read -r -t 10 -u "$sim" pty || fail "the simulator did not start"
    line=$(VARNEL_SYSTEM_DIR="$work" LD_LIBRARY_PATH="$libdir" timeout 15 "$program" "$pty" |
        head -n 1) || true
    kill "$sim_pid" 2>/dev/null || true
    exec {sim}<&-
    [[ $line =~ ^[0-9]+\.[0-9]+$ ]] || fail "$program printed '$line', not a weight"
    echo "  $(basename "$(dirname "$program")")/$(basename "$program"): $line"
}
echo "running them"
for program in "$work/cmake/embed_example" "$work/cmake/readme_embed" \
    "$work/pc/embed" "$work/pc/readme_embed"; do
    first_weight "$program"
done
if [[ -x $prefix/bin/varnel ]]; then
    "$prefix/bin/varnel" --help >/dev/null || fail "the installed varnel does not start"
fi
echo "consumers: all passed"
