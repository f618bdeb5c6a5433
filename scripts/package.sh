#!/usr/bin/env bash
# Builds the Debian package (a release build installed under /usr) and prints the path of the
# .deb on stdout; the build's messages go to stderr. Installs what the build needs first.
# Usage: package.sh [--tests] [--build-only] [BUILD_DIR]
#   BUILD_DIR     the build tree, build/package unless named
#   --tests       the test suite too, in the same tree: scripts/test.sh runs the native tests on
#                 the build it packages
#   --build-only  configure and build, no package
set -euo pipefail
cd "$(dirname "$0")/.."
tests=OFF
pack=1
dir=build/package
for arg in "$@"; do
    case $arg in
        --tests) tests=ON ;;
        --build-only) pack=0 ;;
        -*) echo "package.sh: unknown option '$arg'" >&2; exit 2 ;;
        *) dir=$arg ;;
    esac
done
scripts/deps.sh package >&2

# Debian's hardening flags (fortified functions, stack protector, relocations read-only and
# bound at load time) and its optimisation level (-O2, where CMake's release default is -O3);
# no debug information.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
read -ra words <<<"$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cxxflags=""
for word in "${words[@]}"; do
    [[ $word == -g ]] || cxxflags+=" $word"
done
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVARNEL_TESTS="$tests" -DVARNEL_BENCH=OFF -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >&2
cmake --build "$dir" -j "$(nproc)" >&2
[[ $pack == 1 ]] || exit 0
rm -f "$dir"/varnel_*.deb
(cd "$dir" && cpack -G DEB >&2)
ls "$(realpath "$dir")"/varnel_*.deb
