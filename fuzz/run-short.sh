#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang in build-fuzz/ and runs each for a
# short while (default 20 s; first argument overrides) from its seed corpus.
# Fails when a harness finds a crash, a hang or a sanitizer report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHARBORLOCK_FUZZ=ON -DHARBORLOCK_GUI=OFF -DHARBORLOCK_TESTS=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build" --target fuzz_inetheaderparser
# New inputs go to a scratch corpus; the seeds in the repository stay as they are.
work="$build/corpus/inetheaderparser"
artifacts="$build/artifacts/"
mkdir -p "$work" "$artifacts"
"$build/fuzz/fuzz_inetheaderparser" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -artifact_prefix="$artifacts" -print_final_stats=1 \
  "$work" "$root/fuzz/corpus/inetheaderparser"
