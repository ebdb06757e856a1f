#!/bin/bash
# velmogpio, as delivered, on the virtual board: separate runs share one
# board through velmo-emu --board. Expected output and traces are written
# out below.
#   velmogpio_emu.sh VELMO_EMU VELMOGPIO SCENARIO
set -u
unset VELMO_BOARD # a board of the caller's is not the tests' to use
emu=$1 tool=$2 scenario=$3
if [ -n "${VELMO_EMU_SKIP:-}" ]; then
    echo "SKIP: $VELMO_EMU_SKIP"
    exit 77
fi
dir=$(mktemp -d) || exit 2
trap 'rm -rf "$dir"' EXIT
failed=0

# run NAME STATUS [velmo-emu option...] -- [velmogpio argument...]
# Runs one command; its stdout, stderr and trace land in $dir/NAME.*
run() {
    local name=$1 want=$2
    shift 2
    local opts=()
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    "$emu" --trace "$dir/$name.trace" "${opts[@]}" "$tool" "$@" >"$dir/$name.out" 2>"$dir/$name.err" </dev/null
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $name: exit status $got, expected $want"
        cat "$dir/$name.err"
        failed=1
    fi
}

# expect NAME KIND: compares $dir/NAME.KIND with standard input
expect() {
    if ! diff -u - "$dir/$1.$2" >"$dir/diff"; then
        echo "FAIL: $1: $2 differs (--- expected, +++ actual):"
        cat "$dir/diff"
        failed=1
    fi
}

state=$dir/board.state
case $scenario in
state)
    run config 0 --board "$state" -- config 0x0F
    expect config out </dev/null
    expect config trace <<'TXT'
ioperm 0x507 1 1 granted
in 0x507 0xff
ioperm 0x534 1 1 granted
in 0x534 0xff
ioperm 0x507 1 1 granted
out 0x507 0xff
ioperm 0x534 1 1 granted
out 0x534 0x39
TXT
    cp "$state" "$dir/state.txt" && expect state txt <<'TXT'
velmo-board 2
base=0x0500
bank1 direction=0xff latch=0x00 outside=0x00
bank2 direction=0x39 latch=0x00 outside=0x00
TXT

    run set 0 --board "$state" -- set 6=1 7=0
    expect set out </dev/null
    expect set err </dev/null
    expect set trace <<'TXT'
ioperm 0x538 1 1 granted
in 0x538 0x00
ioperm 0x538 1 1 granted
out 0x538 0x04
ioperm 0x534 1 1 granted
in 0x534 0x39
ioperm 0x538 1 1 granted
in 0x538 0x04
ioperm 0x538 1 1 granted
out 0x538 0x04
ioperm 0x534 1 1 granted
in 0x534 0x39
TXT

    # Line 3 is driven high from outside from this run on.
    run show 0 --board "$state" --line 3=1 -- show
    expect show out <<'TXT'
LINE DIR LEVEL BANK BIT
1    in  0     1    0
2    in  0     1    2
3    in  1     1    3
4    in  0     1    4
5    out 0     2    1
6    out 1     2    2
7    out 0     2    6
8    out 0     2    7
TXT
    expect show trace <<'TXT'
ioperm 0x50f 1 1 granted
in 0x50f 0x08
ioperm 0x50f 1 1 granted
in 0x50f 0x08
ioperm 0x50f 1 1 granted
in 0x50f 0x08
ioperm 0x50f 1 1 granted
in 0x50f 0x08
ioperm 0x538 1 1 granted
in 0x538 0x04
ioperm 0x538 1 1 granted
in 0x538 0x04
ioperm 0x538 1 1 granted
in 0x538 0x04
ioperm 0x538 1 1 granted
in 0x538 0x04
ioperm 0x507 1 1 granted
in 0x507 0xff
ioperm 0x534 1 1 granted
in 0x534 0x39
TXT

    run config_lines 0 --board "$state" -- config 3=out 8=in
    run get 0 --board "$state" -- get 3 6 8
    expect get out <<'TXT'
3=0
6=1
8=0
TXT
    cp "$state" "$dir/state2.txt" && expect state2 txt <<'TXT'
velmo-board 2
base=0x0500
bank1 direction=0xf7 latch=0x00 outside=0x08
bank2 direction=0xb9 latch=0x04 outside=0x00
TXT

    # Line 1 is an input: the level is latched, and said so.
    run set_input 0 --board "$state" -- set 1=1
    expect set_input out </dev/null
    expect set_input err <<'TXT'
velmogpio: line 1 is an input: level latched, shown once it is an output
TXT
    expect set_input trace <<'TXT'
ioperm 0x50f 1 1 granted
in 0x50f 0x00
ioperm 0x50f 1 1 granted
out 0x50f 0x01
ioperm 0x507 1 1 granted
in 0x507 0xf7
TXT
    ;;
refused)
    run get 1 --deny -- get 3
    expect get out </dev/null
    expect get err <<'TXT'
velmogpio: I/O port 0x50f: access denied (needs CAP_SYS_RAWIO).
TXT
    expect get trace <<'TXT'
ioperm 0x50f 1 1 denied
TXT
    run set 1 --deny -- set 6=1
    expect set err <<'TXT'
velmogpio: I/O port 0x538: access denied (needs CAP_SYS_RAWIO).
TXT
    expect set trace <<'TXT'
ioperm 0x538 1 1 denied
TXT
    ;;
usage)
    i=0
    for args in "" "frob" "get" "get 0" "get 3 9" "set 6" "set 6=1 7=2" "config" "config 256" \
                "config 0x100" "config 1=up" "show --xml"; do
        i=$((i + 1))
        # shellcheck disable=SC2086
        run "usage$i" 2 -- $args
        expect "usage$i" out </dev/null
        expect "usage$i" trace </dev/null
        grep -q "^Try 'velmogpio --help'.$" "$dir/usage$i.err" || { echo "FAIL: '$args': no usage hint"; failed=1; }
    done
    ;;
damaged)
    printf 'velmo-board 1\nbank1 direction=0xzz\n' >"$state"
    cp "$state" "$dir/before"
    "$emu" --board "$state" "$tool" get 3 >"$dir/damaged.out" 2>"$dir/damaged.err"
    got=$?
    [ "$got" -eq 125 ] || { echo "FAIL: damaged state: exit status $got, expected 125"; failed=1; }
    expect damaged out </dev/null
    expect damaged err <<TXT
velmo-emu: board file $state: line 2 is not 'bank1 direction=0xNN latch=0xNN outside=0xNN'; it was left as it is
TXT
    cmp -s "$state" "$dir/before" || { echo "FAIL: the damaged state file was changed"; failed=1; }
    ;;
*)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac
[ "$failed" -eq 0 ] && echo "ok: $scenario"
exit "$failed"
