#!/bin/bash
# velmogpio watch, as delivered, under velmo-emu on a live board that
# velmo-board pulls from outside while the watch runs.
#   velmogpio_watch.sh BIN_DIR SCENARIO
# BIN_DIR holds velmo-emu, velmo-board and velmogpio.
. "$(dirname "$0")/../support/lib.sh"
bin=$1 scenario=$2
skip_unless_traced
export PATH="$bin:$PATH"
temp_dir

# The events in FILE with their times written as T, once each time is
# found to have six decimals.
untimed() {
    sed -E 's/^[0-9]+\.[0-9]{6} /T /' "$1"
}

export VELMO_BOARD=$dir/board
velmo-board reset
case $scenario in
live)
    # The pull comes once the watch has taken its first reading (the first
    # read of line 3 in the trace): before that, a high line 3 would only
    # be where the watch starts from.
    velmo-emu --trace w.trace velmogpio watch 3 --edge rising --count 1 --timeout 5 >w.out 2>w.err &
    watcher=$!
    wait_until "the watch's first reading" grep -qs '^in 0x50f' w.trace
    velmo-board pull 3=1
    wait $watcher
    check_status "velmogpio watch 3 --edge rising --count 1 --timeout 5" 0 $?
    untimed w.out >events.out
    expect "the event" watch_live.events events.out
    expect "stderr" empty w.err
    ;;
pipe)
    # Each event reaches standard output at once (a file here, where stdio
    # would otherwise keep it until the end): the first is there while the
    # watch still runs. A line held high from the start is no event; a
    # falling edge is.
    velmo-board pull 5=1
    velmo-emu --trace p.trace velmogpio watch 5 2 --count 2 --timeout 10 >p.out 2>p.err &
    watcher=$!
    wait_until "the watch's first reading" grep -qs '^in 0x50f' p.trace
    velmo-board pull 5=0
    wait_until "the first event" grep -q . p.out
    kill -0 $watcher 2>/dev/null || fail "the watch ended after one event"
    velmo-board pull 2=1
    wait $watcher
    check_status "velmogpio watch 5 2 --count 2" 0 $?
    untimed p.out >events.out
    expect "the events" watch_pipe.events events.out
    ;;
deny)
    velmo-emu --deny --trace d.trace velmogpio watch 3 --timeout 5 >d.out 2>d.err
    check_status "watch with access denied" 1 $?
    expect "stdout" empty d.out
    expect "the message" watch_deny.err d.err
    expect "the trace" watch_deny.trace d.trace
    ;;
*)
    die "unknown scenario $scenario"
    ;;
esac
finish
