#!/bin/bash
# What velmo-emu costs: port accesses per second, on a board in memory and
# on a board file shared live (--board), side by side; and the start-up of
# a run.
#
#   bench/emu_bench.sh [--against VELMO_EMU] [--calls N] [PRESET]   (default native; builds it first)
#
# --against measures another velmo-emu (say, an earlier build) in the same
# rounds, alternating with this one on the same read_loop, and gives the
# ratio of the medians. --calls: fewer (or more) ReadIO calls a run than
# 300000, on a busy machine. Figures and their dates: bench/README.md.
set -eu
usage() { sed -n '2,/^set -eu/{/^set -eu/d;s/^# \{0,1\}//;p}' "$0"; }
bad() { echo "bench/emu_bench.sh: $1 (bench/emu_bench.sh --help)" >&2; exit 2; }
against=
calls=300000
while [ $# -gt 0 ]; do
    case $1 in
        -h|--help) usage; exit 0 ;;
        --against)
            [ $# -ge 2 ] || bad "--against needs a velmo-emu"
            [ -x "$2" ] && [ -f "$2" ] || bad "--against: \"$2\" is not a program"
            against=$(realpath "$2")
            shift 2 ;;
        --calls)
            [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || bad "--calls needs a number of calls"
            calls=$2
            shift 2 ;;
        -*) bad "unknown option \"$1\"" ;;
        *) break ;;
    esac
done
[ $# -le 1 ] || bad "one preset at most"
preset=${1:-native}
case $preset in -*) bad "unknown option \"$preset\"" ;; esac
cd "$(dirname "$0")/.."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target velmo-emu read_loop >/dev/null
bin=build/$preset/bin
runs=50
rounds=3
[ -z "$against" ] || rounds=5
# A board file for each velmo-emu: an earlier one may not read this one's.
board=$(mktemp -u) other_board=$(mktemp -u)
trap 'rm -f "$board" "$other_board"' EXIT

# rate VELMO-EMU [OPTION...]: ReadIO calls per second under that velmo-emu.
rate() {
    local emu=$1
    shift
    "$emu" "$@" "$bin/read_loop" "$calls" | sed -n 's/.* \([0-9]*\) per second.*/\1/p'
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$(($# / 2 + 1))p"; }

echo "== port accesses: $calls ReadIO calls (ioperm + in each) under velmo-emu, $rounds rounds, alternating"
memory=() file=() other_memory=() other_file=()
for round in $(seq $rounds); do
    memory+=("$(rate "$bin/velmo-emu")")
    [ -z "$against" ] || other_memory+=("$(rate "$against")")
    file+=("$(rate "$bin/velmo-emu" --board "$board")")
    [ -z "$against" ] || other_file+=("$(rate "$against" --board "$other_board")")
    echo -n "round $round: in memory ${memory[-1]} per second, --board ${file[-1]} per second"
    [ -z "$against" ] && echo || echo "; against: in memory ${other_memory[-1]}, --board ${other_file[-1]}"
done
m=$(median "${memory[@]}") f=$(median "${file[@]}")
awk -v m="$m" -v f="$f" 'BEGIN { printf "median: in memory %d per second, --board %d per second (%.0f%%)\n", m, f, 100 * f / m }'
if [ -n "$against" ]; then
    om=$(median "${other_memory[@]}") of=$(median "${other_file[@]}")
    awk -v m="$m" -v f="$f" -v om="$om" -v of="$of" -v who="$against" 'BEGIN {
        printf "median of %s: in memory %d per second, --board %d per second\n", who, om, of
        printf "this against it: in memory %.0f%%, --board %.0f%%\n", 100 * m / om, 100 * f / of }'
fi

# wall COMMAND...: the seconds COMMAND takes, from outside.
wall() {
    local a b
    a=$(date +%s.%N)
    "$@" >/dev/null
    b=$(date +%s.%N)
    awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", b - a }'
}
clock_calls=$((calls / 3))
echo "== the run's clock: $clock_calls ReadIO calls under each --clock, timed from outside (inside, time is the run's)"
for mode in real board virtual; do
    s=()
    for round in $(seq $rounds); do
        s+=("$(wall "$bin/velmo-emu" --clock $mode "$bin/read_loop" "$clock_calls")")
    done
    awk -v s="$(median "${s[@]}")" -v n=$clock_calls -v m=$mode 'BEGIN { printf "--clock %s: %d per second\n", m, n / s }'
done
echo "== one clock read (clock_gettime of CLOCK_MONOTONIC), $clock_calls of them"
plain=$(wall "$bin/read_loop" clock "$clock_calls")
for mode in real board virtual; do
    t=$(wall "$bin/velmo-emu" --clock $mode "$bin/read_loop" clock "$clock_calls")
    awk -v s="$t" -v p="$plain" -v n=$clock_calls -v m=$mode 'BEGIN {
        printf "--clock %s: %.2f us a read (without velmo-emu: %.3f us)\n", m, s * 1e6 / n, p * 1e6 / n }'
done

echo "== start-up: $runs runs of a program that makes no port access, $rounds rounds, alternating"
# runs_ms COMMAND...: the milliseconds a run of COMMAND takes, over $runs runs.
runs_ms() {
    local a b
    a=$(date +%s.%N)
    for _ in $(seq $runs); do "$@" >/dev/null; done
    b=$(date +%s.%N)
    awk -v a="$a" -v b="$b" -v n=$runs 'BEGIN { printf "%.2f", (b - a) * 1000 / n }'
}
alone=() emu=() other=()
for round in $(seq $rounds); do
    alone+=("$(runs_ms "$bin/read_loop" 0)")
    emu+=("$(runs_ms "$bin/velmo-emu" "$bin/read_loop" 0)")
    [ -z "$against" ] || other+=("$(runs_ms "$against" "$bin/read_loop" 0)")
    echo -n "round $round: plain ${alone[-1]} ms a run, under velmo-emu ${emu[-1]} ms"
    [ -z "$against" ] && echo || echo ", under the other ${other[-1]} ms"
done
p=$(median "${alone[@]}") e=$(median "${emu[@]}")
awk -v p="$p" -v e="$e" 'BEGIN {
    printf "median: plain %.2f ms a run; under velmo-emu: %.2f ms a run (%.2f ms more)\n", p, e, e - p }'
if [ -n "$against" ]; then
    o=$(median "${other[@]}")
    awk -v p="$p" -v o="$o" -v who="$against" 'BEGIN {
        printf "median under %s: %.2f ms a run (%.2f ms more)\n", who, o, o - p }'
fi
