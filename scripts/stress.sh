#!/usr/bin/env bash
# Runs the whole native suite ROUNDS times under `ctest -j4` while another copy of the
# pseudo-terminal tests loops beside it, to show the suite holds on a busy machine.
# Usage: scripts/stress.sh [BUILD_DIR] [ROUNDS]   (after scripts/test.sh or a native build)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
rounds=${2:-5}
work=$(mktemp -d)
trap 'touch "$work/stop"; wait; rm -rf "$work"' EXIT

(
    n=0
    while [[ ! -e $work/stop ]]; do
        "$build/tests/posix_tests" --gtest_brief=1 >"$work/side.log" 2>&1 || cp "$work/side.log" "$work/side-failed-$n.log"
        n=$((n + 1))
    done
    echo "$n" >"$work/side-runs"
) &

failed=0
for ((i = 1; i <= rounds; i++)); do
    if ctest --test-dir "$build" -j4 --output-on-failure >"$work/run$i.log" 2>&1; then
        echo "round $i: passed"
    else
        echo "round $i: FAILED"
        grep -E "Failure|FAILED" "$work/run$i.log" | head -n 20
        failed=1
    fi
done
touch "$work/stop"
wait
side_failed=$(find "$work" -name 'side-failed-*' | wc -l)
echo "pty tests beside: $(cat "$work/side-runs") runs, $side_failed failed"
[[ $failed -eq 0 && $side_failed -eq 0 ]]
