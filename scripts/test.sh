#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build and
# once more under AddressSanitizer and UndefinedBehaviorSanitizer; between the two, a
# short kill soak.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing_packages

export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

echo "== layers"
scripts/check_layers.sh

# The build directories, options, job counts and time limits are the presets' own
# (CMakePresets.json): build/ and build-asan/.
echo "== build"
cmake --preset normal >/dev/null
cmake --build --preset normal

echo "== tests"
ctest --preset normal

echo "== kill soak, a short run"
soak_status=0
scripts/soak.sh --kills 40 --build-dir build || soak_status=$?
if [ "$soak_status" -eq 77 ]; then
    echo "kill soak skipped: this machine gives no ICMP echo to the service (see above)"
elif [ "$soak_status" -ne 0 ]; then
    exit "$soak_status"
fi

echo "== fuzz targets: the seed corpus, then ten seconds each"
scripts/fuzz.sh 10

echo "== sanitizer build"
cmake --preset asan >/dev/null
cmake --build --preset asan

echo "== tests under sanitizers"
# The normal pass ran the power cuts in full; under the sanitizers a tenth of them
# checks the same code paths for memory faults.
export CASSASYNC_POWER_CUTS=25
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --preset asan
