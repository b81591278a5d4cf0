#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks (Release, no sanitizers) in build-bench/
# and runs them: the service against plain programs moving the same bytes, in one run.
#
#   ./scripts/bench.sh            # full run: 2 GiB per figure, growth at 256 MiB, 1 GiB, 4 GiB,
#                                 # a 16 GiB full backup with 30 % scratch, incremental and restore
#   ./scripts/bench.sh --quick    # quick run: 256 MiB per figure
#   ./scripts/bench.sh [harborlock-bench options...]   (see bench/README.md)
#
# The table is printed and written to build-bench/bench-table.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHARBORLOCK_SANITIZE=OFF \
  -DHARBORLOCK_BENCH=ON -DHARBORLOCK_TESTS=OFF
cmake --build "$build" --target harborlock-bench -j 2
df -h "$build" | tail -1 | awk '{print "free disk where the benchmark writes: " $4}'
exec "$build/bench/harborlock-bench" --work "$build/bench-work" --markdown "$build/bench-table.md" "$@"
