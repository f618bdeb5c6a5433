#!/usr/bin/env bash
# Builds everything and runs every test: native, sanitizers, Windows cross-builds under Wine,
# a short fuzzing run, the formatting check. Installs missing packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
stage() { echo; echo "== $*"; }

scripts/deps.sh windows package lint browser

stage "format check"
files=$(git ls-files -co --exclude-standard -- '*.h' '*.cpp' 2>/dev/null || find . -name '*.h' -o -name '*.cpp')
clang-format --dry-run --Werror $files

stage "native build and tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/native -j "$jobs"
# grep reads the whole list: with -q it could quit early and ctest die of SIGPIPE under pipefail.
ctest --test-dir build/native -N | grep serve_browser >/dev/null || { echo "serve_browser test missing"; exit 1; }
ctest --test-dir build/native --output-on-failure
echo "page screenshot: build/native/serve-browser/serve.png"

stage "Debian package: contents, systemd unit, lintian"
deb=$(scripts/package.sh)
tests/install/check_package.sh "$deb"

stage "installed libraries, static and shared: programs built against them outside the tree"
tests/install/consumers.sh build/package build/package/tools/varnel/varnel
# Libraries only: neither CLI11 nor nlohmann-json may be needed.
cmake -S . -B build/shared -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=ON -DVARNEL_TOOLS=OFF -DVARNEL_TESTS=OFF -DVARNEL_BENCH=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON
cmake --build build/shared -j "$jobs"
tests/install/consumers.sh build/shared build/package/tools/varnel/varnel

stage "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON -DVARNEL_BENCH=OFF
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure

stage "Windows x86_64 cross-build, tests under Wine"
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix comes first: building Varnel.ocx runs its type-library writer under Wine.
[[ -d "$WINEPREFIX" ]] || timeout 180 /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/win64 -j "$jobs"
# One quiet server for the stage: it dumps its object table to its stderr whenever a
# pseudo-terminal it holds hangs up, which the Win32 runtime tests do on purpose.
wineserver -p10 >/dev/null 2>&1 || true
ctest --test-dir build/win64 --output-on-failure --timeout 300
# The design-time windows as the tests saw them (96 dpi; 144 dpi under screenshots-144/).
for shot in build/win64/screenshots/*.png; do echo "screenshot: $shot"; done
timeout 60 wineserver -k || true

stage "Windows i686 cross-build, the control's COM tests under Wine's 32-bit side (WoW64)"
# The second bitness: registration, container, both script engines, the serial cases and the
# latency probes with the 32-bit programs, in the same prefix; then both files side by side.
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build/win32 -j "$jobs"
wineserver -p10 >/dev/null 2>&1 || true
ctest --test-dir build/win32 --output-on-failure --timeout 300
bash tests/ocx/registration.sh side-by-side build/win64/ocx/Varnel.ocx build/win32/ocx/Varnel.ocx \
    build/win32/side-by-side
# The latency probes of both builds, one under the other.
for bits in 64 32; do
    sed "s/^/$bits-bit  /" "build/win$bits/tests/win32/win32_latency.txt" "build/win$bits/ocx_latency.txt"
done
timeout 60 wineserver -k || true

stage "Windows installer: Varnel-3.0.0.0.msi from both builds, tested under Wine in a prefix of its own"
cmake -S . -B build/win64 -DVARNEL_OCX32="$root/build/win32/ocx/Varnel.ocx" >/dev/null
cmake --build build/win64 --target varnel_msi
tests/msi/msi.sh build/win64 build/win32 build/msi-test build/native/tools/varnel/varnel

stage "fuzzing (${FUZZ_SECONDS:=30} s per target)"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNEL_FUZZ=ON -DVARNEL_SANITIZE=ON -DVARNEL_TESTS=OFF -DVARNEL_BENCH=OFF
cmake --build build/fuzz -j "$jobs"
for target in build/fuzz/fuzz/fuzz_*; do
    name=$(basename "$target" | sed 's/^fuzz_//')
    corpus="build/fuzz-corpus/$name"
    mkdir -p "$corpus"
    "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=1024 -print_final_stats=1 \
        "$corpus" "fuzz/corpus/$name" 2>&1 | tail -n 20
done

stage "all tests passed"
