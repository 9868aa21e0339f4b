#!/usr/bin/env bash
# The live view under load: `tarvex bridge` fed SaMeasurements_fast at 1 kHz and PsMeasurements at 100 Hz by
# two `tarvex pub` processes for S seconds (default 30), to 1 and then to 8 clients that keep up. Prints per
# run what each client received, what the bridge dropped, the bridge's CPU share of one core while the
# publishers ran, and its latency from DDS arrival to the frame leaving the socket. Run after a release build:
#     scripts/bridge-bench.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${2:-build/release}
tarvex=$build/tools/tarvex/tarvex
clients_tool=$build/tools/bench/tarvex_bridge_clients
domain=195
prefix=bridgebench$$
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

for clients in 1 8; do
    "$tarvex" bridge SaMeasurements_fast PsMeasurements --domain $domain --prefix $prefix --port 0 2>"$work/bridge" &
    bridge=$!
    until port=$(grep -o 'on ws://127.0.0.1:[0-9]*' "$work/bridge" | cut -d: -f3); do sleep 0.1; done
    "$clients_tool" "$port" $clients >"$work/clients" &
    readers=$!
    until grep -qs subscribed "$work/clients"; do sleep 0.1; done
    # Both publishers wait for the bridge's readers, then 500 ms, then publish.
    "$tarvex" pub SaMeasurements_fast --uri dds.ps://$domain/$prefix/SaMeasurements_fast --rate 1000 \
        --count $((seconds * 1000)) >/dev/null &
    fast=$!
    "$tarvex" pub PsMeasurements --uri dds.ps://$domain/$prefix/PsMeasurements --rate 100 \
        --count $((seconds * 100)) >/dev/null &
    ps=$!
    sleep 1
    before=$(cpu_ticks $bridge)
    start=$(date +%s.%N)
    wait $fast $ps
    cpu=$(( $(cpu_ticks $bridge) - before ))
    elapsed=$(awk "BEGIN {print $(date +%s.%N) - $start}")
    kill -INT $bridge
    wait $bridge $readers
    echo "== $clients clients, $seconds s: sent $((seconds * 1000)) SaMeasurements_fast, $((seconds * 100)) PsMeasurements"
    tail -n 1 "$work/clients" | python3 -c '
import json, sys
for i, c in enumerate(json.load(sys.stdin)["clients"]):
    print("client", i + 1, "received", c["frames"], "drop warnings", len(c["warnings"]))'
    awk "BEGIN {printf \"bridge CPU while publishing: %.1f %% of one core\\n\", 100 * $cpu / $(getconf CLK_TCK) / $elapsed}"
    tail -n 1 "$work/bridge"
done
