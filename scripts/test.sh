#!/usr/bin/env bash
# Installs what is missing, builds everything under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build-test"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBORLOCK_SANITIZE=ON -DHARBORLOCK_BENCH=ON
cmake --build "$build"
# Short runs of the libFuzzer harnesses first; they fail on any finding.
"$root/fuzz/run-short.sh" 20
"$root/scripts/reliability.sh" ci
# The service, notification and work-queue tests again under ThreadSanitizer.
"$root/scripts/reliability.sh" tsan

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
