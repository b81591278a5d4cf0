#!/usr/bin/env bash
# Installs what is missing, builds everything under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test (ctest) first; then the short runs of the
# libFuzzer harnesses (clang build in build-fuzz/) and the service, notification and
# work-queue tests under ThreadSanitizer (build-tsan/). Fails at the first failure and says
# how long each phase took.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-test"

started=$SECONDS
phase_started=$SECONDS
phase() {
  printf '=== test.sh: %s took %d s (total %d s)\n' "$1" $((SECONDS - phase_started)) $((SECONDS - started))
  phase_started=$SECONDS
}

"$root/scripts/install-deps.sh"

# Options for all three trees. ccache, where there is one, makes a second run cheap. Line
# tables are all the sanitizers' reports need; full debug info only makes the compile and the
# link slower.
common=(-G Ninja)
if command -v ccache >/dev/null; then
  common+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# The benchmarks are built so that their own tests run; their figures come from scripts/bench.sh.
# -Werror: the main test build fails on any warning.
cmake -S "$root" -B "$build" "${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DHARBORLOCK_SANITIZE=ON \
  -DHARBORLOCK_BENCH=ON -DHARBORLOCK_WERROR=ON -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1 >/dev/null
cmake --build "$build"
phase "ASan+UBSan build"

(
  export QT_QPA_PLATFORM=offscreen
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # Every test has its own time-out (tests/CMakeLists.txt); --timeout covers any without one.
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 180
)
phase "ctest"

# The fuzzer tree, configured as fuzz/run-short.sh and scripts/reliability.sh configure it
# (they keep these cache entries), with both harnesses built at once.
cmake -S "$root" -B "$root/build-fuzz" "${common[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHARBORLOCK_FUZZ=ON -DHARBORLOCK_GUI=OFF -DHARBORLOCK_TESTS=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build "$root/build-fuzz" --target fuzz_inetheaderparser fuzz_session
phase "fuzzer build"

# The ThreadSanitizer tree (as scripts/reliability.sh configures it) builds while the fuzzers
# run: each fuzzer runs for a fixed time on one core.
tsan="$root/build-tsan"
cmake -S "$root" -B "$tsan" "${common[@]}" -DCMAKE_BUILD_TYPE=Debug -DHARBORLOCK_TSAN=ON \
  -DHARBORLOCK_GUI=OFF -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1 >/dev/null
cmake --build "$tsan" --target backupservices_tests foundation_tests reliability_tests \
  > "$tsan/test-sh-build.log" 2>&1 &
tsan_build=$!
# Short runs of the libFuzzer harnesses; they fail on any finding.
if ! "$root/fuzz/run-short.sh" 20 || ! "$root/scripts/reliability.sh" ci; then
  wait "$tsan_build" || true
  exit 1
fi
phase "fuzzers"

if ! wait "$tsan_build"; then
  cat "$tsan/test-sh-build.log"
  echo "test.sh: the ThreadSanitizer build failed" >&2
  exit 1
fi
# The service, notification and work-queue tests again under ThreadSanitizer.
"$root/scripts/reliability.sh" tsan
phase "ThreadSanitizer (build finished while the fuzzers ran)"
echo "test.sh: all passed in $((SECONDS - started)) s"
