#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, in build-fuzz) and runs each of them for SECONDS
# (default 60), starting from its seed corpus in fuzz/corpus/<target>/ and from what
# earlier runs found (build-fuzz/corpus/<target>/). A target that finds a crash, a
# sanitizer report or an escaping exception stops; its input is left in
# build-fuzz/findings/ and the script fails once every target has run.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(register_rows_fuzzer path_map_fuzzer register_values_fuzzer icmp_reply_fuzzer)
fi
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "fuzz.sh: SECONDS is a whole number of seconds" >&2
    exit 2
fi

source scripts/deps.sh
install_missing_packages clang libclang-rt-dev

echo "== build of the fuzz targets"
if [ ! -f build-fuzz/CMakeCache.txt ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCASSASYNC_FUZZ=ON \
        -DCASSASYNC_BUILD_TESTS=OFF -DCASSASYNC_BUILD_WINDOW=OFF -DCASSASYNC_BUILD_BENCH=OFF >/dev/null
fi
cmake --build build-fuzz -j2 --target "${targets[@]}"

mkdir -p build-fuzz/findings
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${targets[@]}"; do
    name=${t%_fuzzer}
    work="build-fuzz/corpus/$name"
    mkdir -p "$work"
    echo "== $t for $seconds s"
    status=0
    "build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/findings/$name-" "$work" "fuzz/corpus/$name" \
        >"build-fuzz/$name.log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)|^#[0-9]+ *DONE' "build-fuzz/$name.log" || true
    if [ "$status" -ne 0 ]; then
        echo "fuzz.sh: $t found a fault (status $status); see build-fuzz/$name.log and build-fuzz/findings/" >&2
        grep -E 'ERROR|fuzz check failed|escaped the step|runtime error' "build-fuzz/$name.log" | head -n 5 >&2 || true
        failed+=("$t")
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz.sh: faults found by ${failed[*]}" >&2
    exit 1
fi
echo "fuzz.sh: no fault found"
