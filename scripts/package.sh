#!/usr/bin/env bash
# Builds the Debian package in build/package (a release build installed under /usr) and prints
# the path of the .deb on stdout; the build's messages go to stderr. Installs what the build needs
# first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package >&2

# Debian's hardening flags (fortified functions, stack protector, relocations read-only and
# bound at load time); optimisation and debug information stay the release build's.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
read -ra words <<<"$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cxxflags=""
for word in "${words[@]}"; do
    [[ $word == -g || $word == -O? ]] || cxxflags+=" $word"
done
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVARNEL_TESTS=OFF -DVARNEL_BENCH=OFF -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >&2
cmake --build build/package -j "$(nproc)" >&2
rm -f build/package/varnel_*.deb
(cd build/package && cpack -G DEB >&2)
ls "$PWD"/build/package/varnel_*.deb
