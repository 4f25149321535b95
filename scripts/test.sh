#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs every test: the whole suite on a
# normal build, then the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded unit tests under ThreadSanitizer, and every fuzz target (clang) for 30 s.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/deps.sh

jobs=$(nproc)
rm -rf build-test build-asan build-tsan build-fuzz
cmake -G Ninja -S "$top" -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C build-test -j"$jobs"
# The load and fault suite runs by itself after the others, so that their runs do not share
# its thousand sessions' threads and descriptors.
(cd build-test && ctest --output-on-failure -j"$jobs" -E '^e2e_test_load_faults$')
(cd build-test && ctest --output-on-failure -R '^e2e_test_load_faults$')

cmake -G Ninja -S "$top" -B build-asan -DCMAKE_BUILD_TYPE=Debug -DALG_SANITIZE=ON -DALG_BUILD_BENCH=OFF
ninja -C build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$jobs" -L unit)

# The unit tests that run threads of their own or of the code under test (only these are
# built, so ctest leaves out the others' placeholders).
threaded=(algsocket_test alg-control_test alogger_test auth_test buffered_reader_test
    cfg_loader_test cmdbus_test filter_test proto_test relay_test textcode_test traps_test)
cmake -G Ninja -S "$top" -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALG_TSAN=ON -DALG_BUILD_BENCH=OFF
ninja -C build-tsan -j"$jobs" "${threaded[@]}"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$top/tests/tsan.supp" \
    ctest --output-on-failure -j"$jobs" -L unit -E _NOT_BUILT)

cmake -G Ninja -S "$top" -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DALG_FUZZ=ON -DALG_BUILD_BENCH=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
ninja -C build-fuzz -j"$jobs" fuzz
fuzz/run.sh build-fuzz 30 build-fuzz/runs
