#!/usr/bin/env bash
# The reliability runs, one command each:
#   scripts/reliability.sh crash [N [SEED]]   SIGKILL the service during transfers, merges and
#                                             commits, N iterations (default 200), seeded
#   scripts/reliability.sh powerloss          a backup cut at each durability point in turn
#   scripts/reliability.sh fulldisk           a real small tmpfs and injected disk-full errors
#   scripts/reliability.sh peers [SECONDS]    randomized hostile client against the live listener
#                                             (default 600 s)
#   scripts/reliability.sh fuzz [SECONDS]     libFuzzer over the service's conversations
#                                             (default 600 s; clang build in build-fuzz/)
#   scripts/reliability.sh longrun [N]        N sequential mixed connections (default 1000):
#                                             descriptors, threads and memory stay flat
#   scripts/reliability.sh largescratch       a full backup of 4.5 GiB of scratch clusters, restored
#                                             byte for byte (about 14 GiB of disk)
#   scripts/reliability.sh tsan               ThreadSanitizer build (build-tsan/) of the service,
#                                             work-queue and notification tests
#   scripts/reliability.sh ci                 the short versions, as CI runs them
# crash, powerloss, fulldisk, peers, longrun and largescratch use the ASan+UBSan build in build-test/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-}
shift || true

asan_build() {
  local build="$root/build-test"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBORLOCK_SANITIZE=ON >/dev/null
  cmake --build "$build" --target reliability_tests harborlock-host -j2
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  tests="$build/tests/reliability/reliability_tests"
}

fuzz_run() {
  local seconds=$1
  local build="$root/build-fuzz"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHARBORLOCK_FUZZ=ON -DHARBORLOCK_GUI=OFF -DHARBORLOCK_TESTS=OFF \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
  cmake --build "$build" --target fuzz_session -j2
  local work="$build/corpus/session" artifacts="$build/artifacts/"
  mkdir -p "$work" "$artifacts"
  # The service's files go to a memory file system when there is one: fsync there is free.
  local tmp=/tmp
  [ -d /dev/shm ] && [ -w /dev/shm ] && tmp=/dev/shm
  # -malloc_limit_mb=1: no single allocation may exceed 1 MiB; a conversation with the largest
  # allowed cluster (65536 bytes) needs far less.
  TMPDIR=$tmp "$build/fuzz/fuzz_session" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=1 -max_len=65536 -artifact_prefix="$artifacts" -print_final_stats=1 \
    "$work" "$root/fuzz/corpus/session"
}

case "$what" in
  crash)
    asan_build
    HARBORLOCK_CRASH_ITERATIONS=${1:-200} HARBORLOCK_CRASH_SEED=${2:-1} \
      "$tests" --gtest_filter='CrashTest.*'
    ;;
  powerloss)
    asan_build
    "$tests" --gtest_filter='PowerLoss*'
    ;;
  fulldisk)
    asan_build
    "$tests" --gtest_filter='*FullDisk*'
    ;;
  peers)
    asan_build
    HARBORLOCK_PEER_SECONDS=${1:-600} "$tests" --gtest_filter='HostilePeerTest.*'
    ;;
  fuzz)
    fuzz_run "${1:-600}"
    ;;
  longrun)
    asan_build
    HARBORLOCK_LONGRUN_CONNECTIONS=${1:-1000} "$tests" --gtest_filter='LongRunTest.*'
    ;;
  largescratch)
    asan_build
    HARBORLOCK_LARGE_SCRATCH=1 "$tests" --gtest_filter='LargeScratchTest.*'
    ;;
  tsan)
    build="$root/build-tsan"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHARBORLOCK_TSAN=ON -DHARBORLOCK_GUI=OFF >/dev/null
    cmake --build "$build" --target backupservices_tests foundation_tests reliability_tests -j2
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    # Service and notifications, the work queue (its executer), and the service under load.
    "$build/tests/BusinessLogic/BackupServices/backupservices_tests" --gtest_filter='HLK*:GUIComm*'
    "$build/tests/client/foundation/utilities/foundation_tests" --gtest_filter='OS_CPCQ*:OS_CHandleWait*'
    HARBORLOCK_LONGRUN_CONNECTIONS=100 HARBORLOCK_PEER_CONVERSATIONS=100 \
      "$build/tests/reliability/reliability_tests" --gtest_filter='HostilePeerTest.*:LongRunTest.*'
    ;;
  ci)
    # The short versions also run inside ctest (scripts/test.sh); this adds the fuzzer.
    fuzz_run 30
    ;;
  *)
    sed -n '2,18p' "$0"
    exit 2
    ;;
esac
