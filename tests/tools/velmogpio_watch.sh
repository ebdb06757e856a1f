#!/bin/bash
# velmogpio watch, as delivered, under velmo-emu on a live board that
# velmo-board pulls from outside while the watch runs.
#   velmogpio_watch.sh BIN_DIR SCENARIO
# BIN_DIR holds velmo-emu, velmo-board and velmogpio.
set -u
bin=$1 scenario=$2
if [ -n "${VELMO_EMU_SKIP:-}" ]; then
    echo "SKIP: $VELMO_EMU_SKIP"
    exit 77
fi
export PATH="$bin:$PATH"
unset VELMO_BOARD
dir=$(mktemp -d) || exit 2
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 2
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# status WHAT WANT GOT
status() {
    [ "$3" -eq "$2" ] || fail "$1: exit status $3, expected $2"
}

# expect WHAT FILE: FILE's text must be standard input's.
expect() {
    if ! diff -u - "$2" >diff.out; then
        fail "$1 differs (--- expected, +++ actual):"
        cat diff.out
    fi
}

# until_true WHAT COMMAND...: runs COMMAND every 10 ms until it succeeds,
# for at most 5 s.
until_true() {
    local what=$1
    shift
    for _ in $(seq 500); do
        "$@" && return 0
        sleep 0.01
    done
    fail "$what: not within 5 s"
    return 1
}

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
    until_true "the watch's first reading" grep -qs '^in 0x50f' w.trace
    velmo-board pull 3=1
    wait $watcher
    status "velmogpio watch 3 --edge rising --count 1 --timeout 5" 0 $?
    untimed w.out >events.out
    expect "the event" events.out <<'TXT'
T 3=1 rising
TXT
    expect "stderr" w.err </dev/null
    ;;
pipe)
    # Each event reaches standard output at once (a file here, where stdio
    # would otherwise keep it until the end): the first is there while the
    # watch still runs. A line held high from the start is no event; a
    # falling edge is.
    velmo-board pull 5=1
    velmo-emu --trace p.trace velmogpio watch 5 2 --count 2 --timeout 10 >p.out 2>p.err &
    watcher=$!
    until_true "the watch's first reading" grep -qs '^in 0x50f' p.trace
    velmo-board pull 5=0
    until_true "the first event" grep -q . p.out
    kill -0 $watcher 2>/dev/null || fail "the watch ended after one event"
    velmo-board pull 2=1
    wait $watcher
    status "velmogpio watch 5 2 --count 2" 0 $?
    untimed p.out >events.out
    expect "the events" events.out <<'TXT'
T 5=0 falling
T 2=1 rising
TXT
    ;;
deny)
    velmo-emu --deny --trace d.trace velmogpio watch 3 --timeout 5 >d.out 2>d.err
    status "watch with access denied" 1 $?
    expect "stdout" d.out </dev/null
    expect "the message" d.err <<'TXT'
velmogpio: I/O port 0x50f: access denied (needs CAP_SYS_RAWIO).
TXT
    expect "the trace" d.trace <<'TXT'
ioperm 0x50f 1 1 denied
TXT
    ;;
*)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac
[ "$failed" -eq 0 ] && echo "ok: $scenario"
exit "$failed"
