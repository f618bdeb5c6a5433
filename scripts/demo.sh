#!/usr/bin/env bash
# Installs what is missing, builds the varnel tool and runs its demonstration: a simulated scale
# on a pseudo-terminal, read by the control. Extra arguments go to `varnel demo`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVARNEL_TESTS=OFF -DVARNEL_BENCH=OFF >/dev/null
cmake --build build/release --target varnel
exec build/release/tools/varnel/varnel demo "$@"
