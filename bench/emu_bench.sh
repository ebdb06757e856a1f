#!/bin/bash
# What velmo-emu costs: port accesses per second and the start-up of a run.
#   bench/emu_bench.sh [PRESET]      (default native; builds it first)
set -eu
cd "$(dirname "$0")/.."
preset=${1:-native}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target velmo-emu read_loop >/dev/null
bin=build/$preset/bin
runs=50

echo "== port accesses: 300000 ReadIO calls (ioperm + in each) under velmo-emu"
"$bin/velmo-emu" "$bin/read_loop" 300000

echo "== start-up: $runs runs of a program that makes no port access"
start=$(date +%s.%N)
for _ in $(seq $runs); do "$bin/read_loop" 0 >/dev/null; done
mid=$(date +%s.%N)
for _ in $(seq $runs); do "$bin/velmo-emu" "$bin/read_loop" 0 >/dev/null; done
end=$(date +%s.%N)
awk -v a="$start" -v b="$mid" -v c="$end" -v n=$runs 'BEGIN {
    printf "plain: %.2f ms a run; under velmo-emu: %.2f ms a run (%.2f ms more)\n",
        (b - a) * 1000 / n, (c - b) * 1000 / n, ((c - b) - (b - a)) * 1000 / n }'
