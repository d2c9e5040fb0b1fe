#!/usr/bin/env bash
# The service at work on a demo shop: installs what is missing, builds, creates
# ./demo-shop afresh (a catalogue, customers with cards, three registers at 127.0.0.1 to
# 127.0.0.3), starts one register stand-in per register, runs the service for about a
# minute with a fast tick, leaves close requests on the way, stops everything it
# started and prints what moved.
#
#   scripts/demo.sh            headless with a console status line, or the window when
#                              a display is available
#   scripts/demo.sh --window   the window (falls back to the console without a display)
#   scripts/demo.sh --headless the console status line even with a display
set -euo pipefail
cd "$(dirname "$0")/.."

mode=auto
for arg in "$@"; do
    case "$arg" in
        --window) mode=window ;;
        --headless) mode=headless ;;
        -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo.sh: unknown option $arg (use --window or --headless)" >&2; exit 2 ;;
    esac
done

source scripts/deps.sh
install_missing_packages

echo "== build"
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
# Only the three programs the demo runs; scripts/test.sh builds and runs the rest.
cmake --build build-demo -j2 --target cassasync cassasync-shop cassasync-register

SHOP="$PWD/demo-shop"
SERVICE=build-demo/app/cassasync
ADMIN=build-demo/tools/cassasync-shop
REGISTER=build-demo/tools/cassasync-register
TICK_MS=1000          # a cycle every second tick: about every two seconds
CYCLES=28             # about a minute
RING_SECONDS=40       # the registers ring for the first forty seconds
RATE=3                # actions per second and register
STATUS_LISTEN=127.0.0.1:8750  # the status page, up as long as the service runs

echo "== demo shop in $SHOP"
rm -rf "$SHOP"
"$ADMIN" demo --root "$SHOP"

pids=()
stop_all() {
    # Everything this script started, by its own process id, and nothing else.
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    pids=()
}
trap stop_all EXIT
trap 'exit 130' INT TERM

window_args=(--headless)
has_display=${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}
if [ "$mode" != headless ] && [ -n "$has_display" ]; then
    window_args=()
    echo "== the service's window opens for about a minute"
else
    if [ "$mode" = window ]; then echo "demo.sh: no display, so the console status line instead of the window"; fi
    echo "== the service runs headless for about a minute (one status line per cycle)"
fi
"$SERVICE" --root "$SHOP" "${window_args[@]}" --tick-ms "$TICK_MS" --cycles "$CYCLES" \
    --status-listen "$STATUS_LISTEN" &
service_pid=$!
echo "== status page: http://$STATUS_LISTEN/ (also /status.json and /metrics) while the service runs"
echo "   (the service's own line says so too, or why the address could not be used)"
pids+=("$service_pid")

register_pids=()
for n in 1 2 3; do
    "$REGISTER" --root "$SHOP" --register "$n" run --rate "$RATE" \
        --summary "$SHOP/register-$n.summary" >"$SHOP/register-$n.out" 2>&1 &
    register_pids+=($!)
    pids+=($!)
done

# Register 2 asks for its day to be closed while the registers are still ringing; the
# service registers the day document as it stands and reopens it for later receipts.
sleep $((RING_SECONDS / 2))
"$REGISTER" --root "$SHOP" --register 2 close >/dev/null
sleep $((RING_SECONDS - RING_SECONDS / 2))

for pid in "${register_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
for pid in "${register_pids[@]}"; do wait "$pid" || true; done
echo "== registers stopped ringing; every register asks for its day to be closed"
for n in 1 2 3; do "$REGISTER" --root "$SHOP" --register "$n" close >/dev/null; done

service_status=0
wait "$service_pid" || service_status=$?
pids=()
if [ "$service_status" -ne 0 ]; then
    echo "demo.sh: the service ended with status $service_status" >&2
fi

# ---- what moved, read from the shop's own files
MAIN="$SHOP/C/tarvi/dati.mdb"
SALES="$SHOP/C/tarvi/vendite.mdb"
LOYALTY="$SHOP/C/tarvi/fidel.mdb"
reg_db() { echo "$SHOP/net/127.0.0.$1/cassa/dati.mdb"; }
q() { sqlite3 -separator ' ' "$@"; }

echo
echo "================ what the registers did"
for n in 1 2 3; do
    echo "  register $n: $(head -n 1 "$SHOP/register-$n.out" | sed 's/^register [0-9]*: //')"
done

echo
echo "================ receipts imported (register lines -> sale rows)"
printf '  %-9s %9s %11s %11s %13s\n' register receipts "lines rung" "sale rows" "still waiting"
for n in 1 2 3; do
    rung=$(q "$(reg_db "$n")" "SELECT count(*) FROM movimenti")
    waiting=$(q "$(reg_db "$n")" "SELECT count(*) FROM movimenti WHERE aggiornogiacenza = 'N'")
    read -r receipts rows < <(q "$SALES" \
        "SELECT count(DISTINCT numsco || '/' || bdator), count(*) FROM venmo WHERE cassa = $n")
    printf '  %-9s %9s %11s %11s %13s\n' "$n" "$receipts" "$rung" "$rows" "$waiting"
done

echo
echo "================ sales documents and their totals"
printf '  %-9s %7s %-11s %-11s %10s %10s %9s\n' register number day state total taxable VAT
q "$SALES" "SELECT printf('  %-9d %7d %-11s %-11s %10.2f %10.2f %9.2f', agente, numero, date(dataor + 2415018.5),
                          CASE regis WHEN 'R' THEN 'registered' ELSE 'open' END, totale, totimp, totiva)
            FROM vente ORDER BY agente, numero"

echo
echo "================ stock moved"
q "$MAIN" "SELECT '  articles sold:', count(*), '   quantity sold:', printf('%.3f', sum(qven)),
                  '   value at cost:', printf('%.2f', sum(qven * cofart))
           FROM listi01 WHERE qven <> 0"
echo "  most sold:"
q "$MAIN" "SELECT '   ', codart, desart, '->', printf('%.3f', qven), umart FROM listi01
           WHERE qven <> 0 ORDER BY qven DESC LIMIT 5"

echo
echo "================ loyalty points booked"
q "$LOYALTY" "SELECT '  ' || CASE tipo WHEN 23 THEN 'earned:  ' WHEN 24 THEN 'redeemed:' ELSE tipo END,
                     count(*), 'movements,', sum(punti), 'points'
              FROM movtessere GROUP BY tipo ORDER BY tipo"
q "$MAIN" "SELECT '  card holders whose balance moved:', count(*) FROM clienti WHERE flagagg = 'A'"

echo
echo "================ cards read and sent"
q "$MAIN" "SELECT '  readings taken from the registers:', count(*), '(' || count(DISTINCT tessera) || ' cards)' FROM cartetxrx"
for n in 1 2 3; do
    echo "  card records sent to register $n: $(q "$(reg_db "$n")" "SELECT count(*) FROM tessere")"
done
q "$MAIN" "SELECT '  still queued:', count(*) FROM cartetx"

echo
echo "================ master data and invoices taken from the registers"
q "$MAIN" "SELECT '  barcodes created at a register:', count(*) FROM codean WHERE aggi = 'A'"
q "$MAIN" "SELECT '  customers updated from a register (changed there or card read):', count(*)
           FROM clienti WHERE stat_t IN ('R', 'T')"
q "$MAIN" "SELECT '  invoices copied:', count(*) FROM fatte WHERE fatturadascontrino = 'C'"
q "$MAIN" "SELECT '  invoice rows copied:', count(*) FROM fatmo"

echo
echo "================ close requests"
LOG=""
for f in "$SHOP"/C/tarvi/bkp/logqvo_*.txt; do
    if [ -e "$f" ]; then LOG="$f"; fi
done
if [ -n "$LOG" ]; then
    echo "  close requests carried out: $(grep -c 'Ricevuto Comando di chiusura dalla cassa nr' "$LOG" || true)"
fi
q "$SALES" "SELECT '  day documents registered (regis \"R\"):', count(*) FROM vente WHERE regis = 'R'"
left=0
for f in "$SHOP"/net/127.0.0.*/cash/cisonodati.txt; do
    if [ -e "$f" ]; then left=$((left + 1)); fi
done
echo "  close requests still waiting: $left"

echo
echo "================ operation log"
echo "  ${LOG:-(no log written)}"
if [ -n "$LOG" ]; then
    echo "  $(grep -c . "$LOG") lines; last ones:"
    tail -n 5 "$LOG" | tr -d '\r' | sed 's/^/    /'
fi

imported=$(q "$SALES" "SELECT count(*) FROM venmo")
if [ "$imported" -eq 0 ]; then
    echo
    echo "demo.sh: no receipt line was imported. The service reaches a register only when it" >&2
    echo "answers an ICMP echo: run as root, or allow unprivileged echo with" >&2
    echo "  sudo sysctl net.ipv4.ping_group_range='0 2147483647'" >&2
    exit 1
fi

echo
echo "================ reconciliation of each register's day (0: all agree, 1: a difference, 2: not checked)"
reconcile_status=0
reconcile_out=$("$ADMIN" reconcile --root "$SHOP" --day today 2>&1) || reconcile_status=$?
echo "$reconcile_out" | sed 's/^/  /'
echo "  exit status: $reconcile_status"
if [ "$service_status" -ne 0 ]; then exit "$service_status"; fi
exit "$reconcile_status"
