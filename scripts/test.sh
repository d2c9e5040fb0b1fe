#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build and
# once more under AddressSanitizer and UndefinedBehaviorSanitizer; between the two, a
# short kill soak.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing_packages

jobs=2
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

echo "== tests"
(cd build && ctest -j"$jobs" --timeout 900)

echo "== kill soak, a short run"
scripts/soak.sh --kills 40 --build-dir build

echo "== fuzz targets: the seed corpus, then ten seconds each"
scripts/fuzz.sh 10

echo "== sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCASSASYNC_SANITIZE=ON \
      -DCASSASYNC_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"

echo "== tests under sanitizers"
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest -j"$jobs" --timeout 1800)
