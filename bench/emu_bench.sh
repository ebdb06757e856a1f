#!/bin/bash
# What velmo-emu costs: port accesses per second, on a board in memory and
# on a board file shared live (--board), side by side; and the start-up of
# a run.
#   bench/emu_bench.sh [PRESET]      (default native; builds it first)
set -eu
cd "$(dirname "$0")/.."
preset=${1:-native}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target velmo-emu read_loop >/dev/null
bin=build/$preset/bin
runs=50
calls=300000
board=$(mktemp -u)
trap 'rm -f "$board"' EXIT

# rate [VELMO-EMU OPTION...]: ReadIO calls per second under velmo-emu.
rate() {
    "$bin/velmo-emu" "$@" "$bin/read_loop" "$calls" | sed -n 's/.* \([0-9]*\) per second.*/\1/p'
}

echo "== port accesses: $calls ReadIO calls (ioperm + in each) under velmo-emu, 3 rounds, alternating"
memory=() file=()
for round in 1 2 3; do
    memory+=("$(rate)")
    file+=("$(rate --board "$board")")
    echo "round $round: in memory ${memory[-1]} per second, --board ${file[-1]} per second"
done
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
m=$(median "${memory[@]}") f=$(median "${file[@]}")
awk -v m="$m" -v f="$f" 'BEGIN { printf "median: in memory %d per second, --board %d per second (%.0f%%)\n", m, f, 100 * f / m }'

echo "== start-up: $runs runs of a program that makes no port access"
start=$(date +%s.%N)
for _ in $(seq $runs); do "$bin/read_loop" 0 >/dev/null; done
mid=$(date +%s.%N)
for _ in $(seq $runs); do "$bin/velmo-emu" "$bin/read_loop" 0 >/dev/null; done
end=$(date +%s.%N)
awk -v a="$start" -v b="$mid" -v c="$end" -v n=$runs 'BEGIN {
    printf "plain: %.2f ms a run; under velmo-emu: %.2f ms a run (%.2f ms more)\n",
        (b - a) * 1000 / n, (c - b) * 1000 / n, ((c - b) - (b - a)) * 1000 / n }'
