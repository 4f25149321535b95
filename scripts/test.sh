#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs every test: the whole suite on a
# normal build, then the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/deps.sh

jobs=$(nproc)
rm -rf build-test build-asan
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
