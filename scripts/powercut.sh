#!/usr/bin/env bash
# scripts/powercut.sh [CUTS]: CUTS runs (default 10000) of a small shop, each with the
# power cut at a random instant (one in four cut again during the recovery), through the
# suite's own power-cut test with a larger count, and the figures: cuts simulated and
# survived, in all and per step.
# CASSASYNC_POWER_CUT_SEED=N replays a run (each shard prints the seed it used).
# Exits 1 when a cut was not survived.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing_packages

cuts="${1:-10000}"
if ! [[ "$cuts" =~ ^[0-9]+$ ]] || [ "$cuts" -lt 1 ]; then
    echo "usage: scripts/powercut.sh [CUTS]   (CUTS a whole number, at least 1)" >&2
    exit 2
fi
shards=4  # as the test is split; two run at a time
per_shard=$(( (cuts + shards - 1) / shards ))
seed="${CASSASYNC_POWER_CUT_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}"

echo "== build"
if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j2 --target power_cut_tests cassasync-shop cassasync-register

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
echo "== $((per_shard * shards)) runs with a power cut in $shards shards of $per_shard, seed $seed"
start=$(date +%s)
run_shard() {
    CASSASYNC_POWER_CUTS="$per_shard" CASSASYNC_POWER_CUT_SEED="$seed" \
        build/tests/power_cut_tests --gtest_filter="Shards/PowerCutTest.*/$1" >"$out/shard$1.txt" 2>&1 || true
}
for ((s = 0; s < shards; s += 2)); do
    run_shard "$s" &
    if (( s + 1 < shards )); then run_shard $((s + 1)) & fi
    wait
done
seconds=$(( $(date +%s) - start ))

grep -h "NOT SURVIVED" "$out"/shard*.txt || true
cat "$out"/shard*.txt | awk -v seconds="$seconds" -v seed="$seed" '
    /^power cuts: [0-9]+ simulated/ { sim += $3; sur += $5; shards_done++ }
    /^power cuts:   / {
        step = substr($0, 15, 24); sub(/ +$/, "", step)
        n = split(substr($0, 39), f, /[ ,]+/)
        if (!(step in ssim)) order[++steps] = step
        ssim[step] += f[2]; ssur[step] += f[4]
    }
    END {
        printf "\n| step | cuts simulated | cuts survived |\n|---|---:|---:|\n"
        for (i = 1; i <= steps; i++) printf "| %s | %d | %d |\n", order[i], ssim[order[i]], ssur[order[i]]
        printf "| all | %d | %d |\n\n", sim, sur
        printf "power cuts: %d simulated, %d survived, %d shards, seed %s, %d s\n", sim, sur, shards_done, seed, seconds
        exit (sim > 0 && sim == sur && shards_done == 4) ? 0 : 1
    }'
