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

# ccache, where there is one, makes a second run cheap.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Line tables are all the sanitizers' reports need; full debug info only makes the
# compile and the link slower. The benchmarks are not tests (scripts/bench.sh builds them).
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBORLOCK_SANITIZE=ON \
  -DHARBORLOCK_BENCH=OFF -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1 "${launcher[@]}" >/dev/null
cmake --build "$build"
phase "ASan+UBSan build"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Every test has its own time-out (tests/CMakeLists.txt); --timeout covers any without one.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 180
phase "ctest"

# Short runs of the libFuzzer harnesses; they fail on any finding.
"$root/fuzz/run-short.sh" 20
"$root/scripts/reliability.sh" ci
phase "fuzzers"

# The service, notification and work-queue tests again under ThreadSanitizer.
"$root/scripts/reliability.sh" tsan
phase "ThreadSanitizer"
