#!/usr/bin/env bash
# Builds harborlock-bench-fleet (Release, no sanitizers) in build-bench/ and runs the fleet
# figure: N Quarnex servers connecting at once against the same backups one after another.
#
#   ./scripts/bench-fleet.sh                        # N = 8, 32, 100; 32 MiB each
#   ./scripts/bench-fleet.sh --backlog 4,128        # compare accept-queue lengths
#
# The table is printed and written to build-bench/bench-fleet-table.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHARBORLOCK_SANITIZE=OFF \
  -DHARBORLOCK_BENCH=ON -DHARBORLOCK_TESTS=OFF
cmake --build "$build" --target harborlock-bench-fleet -j 2
exec "$build/bench/harborlock-bench-fleet" --work "$build/fleet-work" \
  --markdown "$build/bench-fleet-table.md" "$@"
