#!/usr/bin/env bash
# Renders the status window of a demo shop offscreen into docs/window.png.
#
# The service saves its own window when the environment variable CASSASYNC_SCREENSHOT
# names a PNG file: a little after start-up (2500 ms, a couple of board refreshes and
# an even number of blinks, so the served lamps are lit; CASSASYNC_SCREENSHOT_DELAY_MS
# changes it) it grabs the window, saves it and closes as the exit button would.
#
# Usage: scripts/screenshot.sh [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/window.png}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac

# Build tools, Qt, and the fonts without which offscreen text renders as boxes.
source scripts/deps.sh
install_missing_packages

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j2 --target cassasync cassasync-shop

root="$(mktemp -d "${TMPDIR:-/tmp}/cassasync-screenshot-XXXXXX")"
trap 'rm -rf "$root"' EXIT

if ! build/tools/cassasync-shop demo --root "$root" >/dev/null 2>&1; then
    # A tree without the demo builder: an empty shop with three registers.
    build/tools/cassasync-shop init --root "$root" >/dev/null
    for n in 1 2 3; do
        build/tools/cassasync-shop add-register "$n" --root "$root" --path "\\\\127.0.0.$n\\cassa\\dati.mdb" >/dev/null
    done
fi

mkdir -p "$(dirname "$out")"
rm -f "$out"
# A fast tick, so that the first cycle has checked the registers before the grab.
QT_QPA_PLATFORM=offscreen CASSASYNC_SCREENSHOT="$out" \
    timeout 60 build/app/cassasync --root "$root" --tick-ms 400

if [ ! -s "$out" ]; then
    echo "screenshot.sh: no screenshot was written to $out" >&2
    exit 1
fi
echo "window saved to $out"
