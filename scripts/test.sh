#!/usr/bin/env bash
# Builds everything and runs every test: the formatting check, the native build and its tests,
# the Debian package, programs built against the installed libraries, the sanitizers, the Windows
# cross-builds under Wine, a short fuzzing run. Installs missing packages first.
# Usage: test.sh [--quick]
#   --quick  the formatting check, the native build and the native tests only
# Each stage writes its output to build/logs/NN-STAGE.log and prints its results and its time;
# a stage that fails prints its log and stops the run. A table of the stages' times ends it.
# Test stages that mostly wait (on pseudo-terminals, Wine, a browser) run beside the next build.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
: "${FUZZ_SECONDS:=30}"
quick=0
case ${1:-} in
    --quick) quick=1 ;;
    "") ;;
    *) echo "usage: test.sh [--quick]" >&2; exit 2 ;;
esac

# Compilers through ccache where it is installed: a second run compiles only what changed.
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# --- Stages: each one a function whose output goes to its log ---------------------------------
logs=$root/build/logs
rm -rf "$logs"
mkdir -p "$logs"
names=() times=() cpus=()
stage_name="" stage_start=0 stage_cpu=0 log="" failed="" started=$SECONDS prefix_job=""
beside_name="" beside_job="" beside_start=0 beside_log=""

mmss() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
# CPU seconds (user and system) of the programs a shell (this script by default) has waited for:
# with the wall time, a measure of a stage's work that holds on a busy machine.
tick=$(getconf CLK_TCK)
cpu() {
    local stat fields
    stat=$(</proc/"${1:-$$}"/stat)
    read -ra fields <<<"${stat##*) }"
    echo $(((fields[13] + fields[14]) / tick))
}
# note TEXT: a result line of the stage, shown on the console once the stage is over.
note() { echo "$*" | tee -a "$log.notes"; }

table() {
    local i
    echo
    printf '%-42s %6s %6s\n' stage time CPU
    for i in "${!names[@]}"; do
        [[ -n ${names[$i]} ]] || continue
        printf '%-42s %6s %6s\n' "${names[$i]}" "$(mmss "${times[$i]}")" "$(mmss "${cpus[$i]}")"
    done
    [[ -z $stage_name ]] ||
        printf '%-42s %6s %6s  FAILED\n' "$stage_name" "$(mmss $((SECONDS - stage_start)))" \
            "$(mmss $(($(cpu) - stage_cpu)))"
    [[ -z $beside_name ]] ||
        printf '%-42s %6s %6s  unfinished\n' "$beside_name" "$(mmss $((SECONDS - beside_start)))" -
    printf '%-42s %6s %6s  (load average now %s)\n' total "$(mmss $((SECONDS - started)))" \
        "$(mmss "$(cpu)")" "$(cut -d' ' -f1-3 /proc/loadavg)"
}

# The failed command, as this script names it; a stage beside the others leaves it in a file.
trap 'failed="$BASH_COMMAND (scripts/test.sh line $LINENO)"
      [[ $BASHPID == "$$" || -z $log ]] || echo "$failed" >"$log.failed"' ERR
kill_tree() {
    local child
    for child in $(pgrep -P "$1"); do kill_tree "$child"; done
    kill "$1" 2>/dev/null || true
}
on_exit() {
    local status=$?
    local child
    for child in $(jobs -p); do kill_tree "$child"; done
    [[ $status != 0 ]] || return 0
    if [[ -n $stage_name ]]; then
        echo
        echo "!! stage \"$stage_name\" FAILED (exit status $status) at: $failed"
        echo "!! its output, ${log#"$root"/}, without ninja's progress lines:"
        grep -vE '^\[[0-9]+/[0-9]+\] ' "$log" || true
        echo "!! stage \"$stage_name\" FAILED; its whole output: ${log#"$root"/}"
    else
        echo "!! FAILED (exit status $status) at: $failed"
    fi
    table
}
trap on_exit EXIT

run() {  # run NAME FUNCTION
    stage_name=$1 stage_start=$SECONDS stage_cpu=$(cpu)
    log=$logs/$(printf '%02d' $((${#names[@]} + 1)))-${2//_/-}.log
    echo "== $1"
    "$2" >"$log" 2>&1 </dev/null
    names+=("$1") times+=($((SECONDS - stage_start))) cpus+=($(($(cpu) - stage_cpu)))
    [[ ! -f $log.notes ]] || { sed 's/^/   /' "$log.notes"; rm "$log.notes"; }
    echo "   $(mmss "${times[-1]}") (CPU $(mmss "${cpus[-1]}"))"
    stage_name=""
}

# beside NAME FUNCTION: the stage runs while the next ones do; joined reports it.
beside() {
    beside_name=$1 beside_start=$SECONDS
    beside_log=$logs/$(printf '%02d' $((${#names[@]} + 1)))-${2//_/-}.log
    echo "== $1 (beside the next stages)"
    (
        log=$beside_log
        "$2" >"$log" 2>&1 </dev/null
        cpu "$BASHPID" >"$log.cpu"
    ) &
    beside_job=$!
    names+=("") times+=(0) cpus+=(0)  # its row in the table, filled when it is joined
}

joined() {
    local status=0 row=$((${#names[@]} - 1)) i
    for i in "${!names[@]}"; do [[ -n ${names[$i]} ]] || row=$i; done
    wait "$beside_job" || status=$?
    if [[ $status != 0 ]]; then
        stage_name=$beside_name stage_start=$beside_start stage_cpu=$(cpu) log=$beside_log
        beside_name=""
        failed=$(cat "$log.failed" 2>/dev/null || echo "its function")
        exit "$status"
    fi
    names[row]="$beside_name (beside)" times[row]=$((SECONDS - beside_start))
    cpus[row]=$(<"$beside_log.cpu")
    echo "== $beside_name: done"
    [[ ! -f $beside_log.notes ]] || { sed 's/^/   /' "$beside_log.notes"; rm "$beside_log.notes"; }
    echo "   $(mmss "${times[row]}") (CPU $(mmss "${cpus[row]}"))"
    beside_name=""
}

# ctest's summary line.
passed() { note "$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)"; }

# --- The stages ---------------------------------------------------------------------------------
format_check() {
    local files
    files=$(git ls-files -co --exclude-standard -- '*.h' '*.cpp' 2>/dev/null ||
        find . -name '*.h' -o -name '*.cpp')
    # shellcheck disable=SC2086
    clang-format --dry-run --Werror $files
    note "$(wc -w <<<"$files") files"
}

# One release tree serves the native tests and the Debian package: the tests run on the build
# that is packaged (Debian's hardening flags, installed under /usr).
native_build() {
    scripts/package.sh --tests --build-only build/native
}

native_tests() {
    # grep reads the whole list: with -q it could quit early and ctest die of SIGPIPE.
    ctest --test-dir build/native -N | grep serve_browser >/dev/null ||
        { echo "serve_browser test missing"; return 1; }
    ctest --test-dir build/native --output-on-failure -j "$jobs"
    passed
    note "page screenshot: build/native/serve-browser/serve.png"
}

package() {
    local deb
    deb=$(scripts/package.sh --tests build/native)
    note "$deb"
    tests/install/check_package.sh "$deb" | tee -a "$log.notes"
}

consumers() {
    tests/install/consumers.sh build/native build/native/tools/varnel/varnel
    note "static libraries: consumers passed"
    # Libraries only: neither CLI11 nor nlohmann-json may be needed. consumers.sh builds the
    # examples against them.
    cmake -S . -B build/shared -G Ninja --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=ON -DVARNEL_TOOLS=OFF -DVARNEL_TESTS=OFF -DVARNEL_BENCH=OFF \
        -DVARNEL_EXAMPLES=OFF -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON
    cmake --build build/shared -j "$jobs"
    tests/install/consumers.sh build/shared build/native/tools/varnel/varnel
    note "shared libraries: consumers passed"
}

# With clang: the second compiler's warnings, and it builds the instrumented tree in about half
# the time GCC takes.
asan_build() {
    cmake -S . -B build/asan -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON -DVARNEL_BENCH=OFF -DVARNEL_EXAMPLES=OFF
    cmake --build build/asan -j "$jobs"
}

asan_tests() {
    # The browser's page test ran in the native stage: the server it drives is in serve_tests.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build/asan --output-on-failure -j "$jobs" -E '^serve_browser$'
    passed
}

# The Wine prefix is made while the native stages run; building Varnel.ocx needs it (its
# type-library writer runs under Wine).
# The builds run their tools (the type-library and registry-row writers) in a prefix of their own:
# a build beside a Wine test stage leaves the prefix under test alone.
tools_prefix=$root/build/wineprefix-tools
start_wine_prefix() {
    (
        SECONDS=0
        local prefix
        for prefix in "$WINEPREFIX" "$tools_prefix"; do
            [[ ! -d $prefix ]] || continue
            WINEPREFIX=$prefix timeout 180 /usr/lib/wine/wine64 wineboot --init &
            trap 'kill $!' TERM
            wait $!
        done
        echo "Wine prefixes made in $SECONDS s"
    ) >"$logs/wineprefix.log" 2>&1 </dev/null &
    prefix_job=$!
}

wine_prefix() {
    [[ -n $prefix_job ]] || return 0
    wait "$prefix_job" || { cat "$logs/wineprefix.log"; return 1; }
    prefix_job=""
    note "$(tail -n 1 "$logs/wineprefix.log")"
}

# One quiet server for each Windows test stage: it dumps its object table to its stderr whenever
# a pseudo-terminal it holds hangs up, which the Win32 runtime tests do on purpose. The two
# bitnesses share the prefix (and the builds' tools run in it), so their test stages run one after
# the other, each starting its own server; the builds beside them use it.
wine_tests() {
    timeout 60 wineserver -k || true
    wineserver -p10 >/dev/null 2>&1 || true
    ctest --test-dir "$1" --output-on-failure --timeout 300 -j "$jobs"
    passed
}

win64_build() {
    wine_prefix
    cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Release -DVARNEL_OCX32="$root/build/win32/ocx/Varnel.ocx"
    WINEPREFIX=$tools_prefix cmake --build build/win64 -j "$jobs"
}

win64_tests() {
    wine_tests build/win64
    # The design-time windows as the tests saw them (96 dpi; 144 dpi under screenshots-144/).
    local shot
    for shot in build/win64/screenshots/*.png; do note "screenshot: $shot"; done
}

# The second bitness: registration, container, both script engines, the serial cases and the
# latency probes with the 32-bit programs, in the same prefix; then both files side by side.
# Its own 32-bit type-library writer writes its library: Wine's 64-bit writer sizes some of a
# 32-bit library's fields for 64 bits.
i686_build() {
    cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
        -DCMAKE_BUILD_TYPE=Release
    WINEPREFIX=$tools_prefix cmake --build build/win32 -j "$jobs"
}

i686_tests() {
    wine_tests build/win32
    bash tests/ocx/registration.sh side-by-side build/win64/ocx/Varnel.ocx \
        build/win32/ocx/Varnel.ocx build/win32/side-by-side
    note "64-bit and 32-bit Varnel.ocx side by side: passed"
    # The latency probes of both builds, one under the other.
    local bits
    for bits in 64 32; do
        sed "s/^/$bits-bit  /" "build/win$bits/tests/win32/win32_latency.txt" \
            "build/win$bits/ocx_latency.txt" | tee -a "$log.notes"
    done
    timeout 60 wineserver -k || true
}

# The installer package from both builds; installed, upgraded and removed in a prefix of its own.
installer_build() {
    WINEPREFIX=$tools_prefix cmake --build build/win64 -j "$jobs" --target varnel_msi
    WINEPREFIX=$tools_prefix timeout 60 wineserver -k || true
    note "build/win64/Varnel-3.0.0.0.msi"
}

installer_tests() {
    tests/msi/msi.sh build/win64 build/win32 build/msi-test build/native/tools/varnel/varnel
    note "$(tail -n 1 "$log")"
}

fuzz_build() {
    cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_FUZZ=ON -DVARNEL_SANITIZE=ON -DVARNEL_TESTS=OFF \
        -DVARNEL_BENCH=OFF
    cmake --build build/fuzz -j "$jobs" --target varnel_fuzzers
}

# One target for FUZZ_SECONDS, from its corpus, into its own log.
fuzz_one() {
    local name=$1
    mkdir -p "build/fuzz-corpus/$name"
    "build/fuzz/fuzz/fuzz_$name" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=1024 \
        -print_final_stats=1 "build/fuzz-corpus/$name" "fuzz/corpus/$name" \
        >"$logs/fuzz-$name.log" 2>&1 || { cat "$logs/fuzz-$name.log"; return 1; }
}

fuzz_run() {
    # The targets side by side, one a core.
    local target name pids=() pid
    for target in build/fuzz/fuzz/fuzz_*; do
        while (($(jobs -rp | wc -l) >= jobs)); do wait -n; done
        fuzz_one "${target##*/fuzz_}" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid"; done
    for target in build/fuzz/fuzz/fuzz_*; do
        name=${target##*/fuzz_}
        echo "== $name"
        tail -n 20 "$logs/fuzz-$name.log"
        note "$name: $(sed -n 's/^stat::number_of_executed_units: //p' "$logs/fuzz-$name.log") runs," \
            "$(grep -oE 'cov: [0-9]+' "$logs/fuzz-$name.log" | tail -n 1)," \
            "$(grep -oE 'corp: [0-9]+' "$logs/fuzz-$name.log" | tail -n 1)"
    done
}

# --- The run --------------------------------------------------------------------------------
packages() {
    if [[ $quick == 1 ]]; then
        scripts/deps.sh package browser
    else
        scripts/deps.sh windows package lint browser
    fi
}

run "packages" packages
[[ $quick == 1 ]] || start_wine_prefix
run "format check" format_check
run "native build" native_build
if [[ $quick == 1 ]]; then
    run "native tests" native_tests
else
    beside "native tests" native_tests
    run "ASan+UBSan build" asan_build
    joined
    run "Debian package: contents, unit, lintian" package
    beside "ASan+UBSan tests" asan_tests
    run "win64 build" win64_build
    joined
    beside "win64 tests under Wine" win64_tests
    run "i686 build" i686_build
    run "installer package build" installer_build
    run "programs against the installed libraries" consumers
    joined
    beside "i686 COM tests under Wine (WoW64)" i686_tests
    run "fuzz build" fuzz_build
    joined
    beside "fuzzing ($FUZZ_SECONDS s a target)" fuzz_run
    run "installer under Wine" installer_tests
    joined
fi
table
echo "all tests passed"
