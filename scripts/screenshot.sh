#!/usr/bin/env bash
# Renders the status window of a demo shop offscreen into docs/window.png, and the
# status page of the same shop, in headless Chromium, into docs/status-page.png.
#
# The service saves its own window when the environment variable CASSASYNC_SCREENSHOT
# names a PNG file: a little after start-up (2500 ms, a couple of board refreshes and
# an even number of blinks, so the served lamps are lit; CASSASYNC_SCREENSHOT_DELAY_MS
# changes it) it grabs the window, saves it and closes as the exit button would.
#
# Usage: scripts/screenshot.sh [window.png [status-page.png]]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/window.png}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
page_out="${2:-docs/status-page.png}"
case "$page_out" in /*) ;; *) page_out="$PWD/$page_out" ;; esac

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

# The page: the service headless on a free loopback port, a stand-in ringing at
# register 1 so the figures move, then the browser's picture of the page.
cmake --build build -j2 --target cassasync-register
rm -f "$page_out"
service_err="$root/service.err"
build/tools/cassasync-register --root "$root" --register 1 run --rate 4 >"$root/register.out" 2>&1 &
register_pid=$!
build/app/cassasync --root "$root" --headless --tick-ms 300 --status-listen 127.0.0.1:0 >/dev/null 2>"$service_err" &
service_pid=$!
stop_page() {
    kill -TERM "$register_pid" "$service_pid" 2>/dev/null || true
    wait "$register_pid" "$service_pid" 2>/dev/null || true
}
url=""
for _ in $(seq 100); do
    url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$service_err" | head -n 1 || true)
    [ -n "$url" ] && break
    sleep 0.1
done
if [ -z "$url" ]; then
    stop_page
    echo "screenshot.sh: the service did not say where its status page is:" >&2
    cat "$service_err" >&2
    exit 1
fi
sleep 4
chromium --headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars \
    --user-data-dir="$root/browser" --window-size=1500,420 --virtual-time-budget=2000 \
    --screenshot="$page_out" "$url" >/dev/null 2>&1 || true
stop_page
if [ ! -s "$page_out" ]; then
    echo "screenshot.sh: no screenshot of the status page was written to $page_out" >&2
    exit 1
fi
echo "status page saved to $page_out"
