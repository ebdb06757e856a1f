#!/bin/bash
# velmo-emu --clock, end to end:
#   blink_hour  an hour of a 10 Hz blink on the virtual clock, in seconds,
#               every edge of the VCD 50 ms after the one before
#   identical   two virtual runs: the same trace (with --trace-time) and VCD
#   timers      timer calls left to the machine's clock are named, once each
#   signal      a signal ends a sleep held on the board clock at once
#   waits_virtual  timed waits (poll, select, pthread_cond_timedwait,
#               sem_timedwait) end exactly at their deadlines on the virtual
#               clock, one a child's write or signal ends at once, and the
#               whole run takes well under a second
#   waits_board the same on the board clock: never early, hardly late
#   uart_busy   uart_tx at 115200 baud on the board clock, with every CPU of
#               the machine kept busy, decoded by sigrok-cli: no retry
#   clock.sh BIN_DIR SCENARIO
. "$(dirname "$0")/../support/lib.sh"
bin=$1 scenario=$2
skip_unless_traced
export PATH="$bin:$PATH"
temp_dir

# edges VCD: the times of line6's changes, one a line.
edges() {
    awk '$1 == "$enddefinitions" { body = 1; next }
        !body { next }
        /^#[0-9]+$/ { t = substr($1, 2); next }
        /^[01]f$/ { print t }' "$1"
}

case $scenario in
blink_hour)
    start=$(date +%s)
    velmo-emu --clock virtual --vcd b.vcd -- blink_10hz 3600 >b.out 2>b.err
    check_status "blink_10hz 3600" 0 $?
    took=$(($(date +%s) - start))
    echo "an hour of blinking took $took s"
    [ "$took" -le 60 ] || fail "an hour of virtual time took $took s"
    printf '72000 edges\n' >want.out
    expect "blink_10hz's output" "$dir/want.out" b.out
    expect "what velmo-emu said" empty b.err
    # The blink's 72000 edges, after the one of the configuration.
    edges b.vcd | tail -n 72000 | awk 'NR > 1 && $1 - last != 50000 { print "edge at " $1 " is " $1 - last " us after the one before"; bad++ }
        { last = $1 } END { print NR " edges"; exit bad > 0 }' >gaps.out ||
        { fail "edges not 50 ms apart"; head gaps.out; }
    [ "$(tail -n 1 gaps.out)" = "72000 edges" ] || fail "edges: $(tail -n 1 gaps.out)"
    ;;
identical)
    for run in 1 2; do
        velmo-emu --clock virtual --trace t$run.trace --trace-time --vcd v$run.vcd -- blink_10hz 30 >/dev/null
        check_status "virtual run $run" 0 $?
    done
    cmp t1.trace t2.trace || fail "the traces differ"
    cmp v1.vcd v2.vcd || fail "the VCDs differ"
    # Each line begins with the clock in microseconds.
    grep -qvE '^[0-9]+ (ioperm|in|out) ' t1.trace && fail "a trace line without its time: $(grep -vE '^[0-9]+ ' t1.trace | head -1)"
    ;;
timers)
    velmo-emu --clock virtual -- /bin/sh -c 'sleep 1; timeout 5 true; timeout 5 true' >out 2>err
    check_status "timeout under --clock virtual" 0 $?
    printf 'velmo-emu: /bin/sh: timer_create runs on the machine'"'"'s clock, not the run'"'"'s\n' >want.err
    expect "the timer named once" "$dir/want.err" err
    ;;
signal)
    start=$(date +%s)
    velmo-emu --clock board -- /bin/sh -c 'sleep 30 & sleep 0.2; kill -TERM $!; wait $!; echo "sleep: $?"' >out
    check_status "sh under --clock board" 0 $?
    took=$(($(date +%s) - start))
    [ "$took" -le 10 ] || fail "the interrupted sleep took $took s"
    printf 'sleep: 143\n' >want.out
    expect "sh's output" "$dir/want.out" out
    ;;
waits_virtual)
    start=$(date +%s%N)
    velmo-emu --clock virtual -- clock_probe waits >out 2>err
    check_status "clock_probe waits under --clock virtual" 0 $?
    took=$((($(date +%s%N) - start) / 1000000))
    echo "9 s of waits took $took ms"
    [ "$took" -lt 1000 ] || fail "9 s of virtual waits took $took ms of real time"
    # Each at its deadline; after it, 1 us for the clock read that says
    # so, and for the wait's own stop when its timeout is a span.
    cat >want.out <<'EOF'
poll 0 2000002
select 0 2000002 left 0.000000
cond ETIMEDOUT 1000001
sem ETIMEDOUT 1000002
pipe 1 1000 ms
signal -1 EINTR 1000 ms
EOF
    expect "clock_probe's waits" "$dir/want.out" out
    expect "what velmo-emu said" empty err
    ;;
waits_board)
    velmo-emu --clock board -- clock_probe waits >out 2>err
    check_status "clock_probe waits under --clock board" 0 $?
    expect "what velmo-emu said" empty err
    # Each wait, what it should end with, its deadline and how late it may
    # be (us, or ms for the last two).
    printf '%s\n' 'poll 0 2000000 50000' 'select 0 2000000 50000' 'cond ETIMEDOUT 1000000 50000' \
        'sem ETIMEDOUT 1000000 50000' 'pipe 1 1000 50' 'signal -1 1000 50' >bounds
    awk 'NR == FNR { end[$1] = $2; at[$1] = $3; late[$1] = $4; next }
        { t = $1 == "pipe" || $1 == "signal" ? $(NF - 1) : $3 }
        !($1 in at) || $2 != end[$1] || t < at[$1] || t > at[$1] + late[$1] { print "wrong: " $0; bad++ }
        END { exit bad > 0 || FNR != 6 }' bounds out || { fail "waits not at their deadlines"; cat out; }
    ;;
uart_busy)
    hogs=()
    for _ in $(seq "$(nproc)"); do
        (while :; do :; done) &
        hogs+=($!)
    done
    velmo-emu --clock board --vcd u.vcd -- uart_tx -b 115200 'Hi, Velmo!' 2>uart.err
    got=$?
    kill "${hogs[@]}"
    wait "${hogs[@]}" 2>/dev/null
    check_status "uart_tx -b 115200 under --clock board" 0 $got
    expect "what uart_tx said" empty uart.err
    uart_decodes u.vcd 115200 vcd_uart.rx
    ;;
*)
    die "unknown scenario $scenario"
    ;;
esac
finish
