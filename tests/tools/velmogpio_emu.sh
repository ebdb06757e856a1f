#!/bin/bash
# velmogpio, as delivered, on the virtual board: separate runs share one
# board file through velmo-emu --board. Expected output, traces and boards
# are in expected/emu_*.
#   velmogpio_emu.sh BIN_DIR SCENARIO
# BIN_DIR holds velmo-emu and velmogpio.
. "$(dirname "$0")/../support/lib.sh"
bin=$1 scenario=$2
skip_unless_traced
export PATH="$bin:$PATH"
temp_dir
board=$dir/board.state

case $scenario in
state)
    run_emu config -- --board "$board" velmogpio config 0x0F
    expect "config out" empty config.out
    expect "config trace" emu_state_config.trace config.trace
    head -n 4 "$board" >board1.txt # the board, before its change log
    expect "the board file" emu_state_board1.txt board1.txt

    run_emu set -- --board "$board" velmogpio set 6=1 7=0
    expect "set out" empty set.out
    expect "set err" empty set.err
    expect "set trace" emu_state_set.trace set.trace

    # Line 3 is driven high from outside from this run on.
    run_emu show -- --board "$board" --line 3=1 velmogpio show
    expect "show out" emu_state_show.out show.out
    expect "show trace" emu_state_show.trace show.trace

    run_emu config_lines -- --board "$board" velmogpio config 3=out 8=in
    run_emu get -- --board "$board" velmogpio get 3 6 8
    expect "get out" emu_state_get.out get.out
    head -n 4 "$board" >board2.txt
    expect "the board file" emu_state_board2.txt board2.txt

    # Line 1 is an input: the level is latched, and said so.
    run_emu set_input -- --board "$board" velmogpio set 1=1
    expect "set_input out" empty set_input.out
    expect "set_input err" emu_state_set_input.err set_input.err
    expect "set_input trace" emu_state_set_input.trace set_input.trace
    ;;
refused)
    run_emu --status 1 get -- --deny velmogpio get 3
    expect "get out" empty get.out
    expect "get err" emu_refused_get.err get.err
    expect "get trace" emu_refused_get.trace get.trace
    run_emu --status 1 set -- --deny velmogpio set 6=1
    expect "set err" emu_refused_set.err set.err
    expect "set trace" emu_refused_set.trace set.trace
    ;;
usage)
    i=0
    for args in "" "frob" "get" "get 0" "get 3 9" "set 6" "set 6=1 7=2" "config" "config 256" \
                "config 0x100" "config 1=up" "show --xml"; do
        i=$((i + 1))
        # shellcheck disable=SC2086
        run_emu --status 2 "usage$i" -- velmogpio $args
        expect "'$args': out" empty "usage$i.out"
        expect "'$args': trace" empty "usage$i.trace"
        grep -q "^Try 'velmogpio --help'.$" "usage$i.err" || fail "'$args': no usage hint"
    done
    ;;
damaged)
    printf 'velmo-board 1\nbank1 direction=0xzz\n' >"$board"
    cp "$board" before
    velmo-emu --board "$board" velmogpio get 3 >damaged.out 2>damaged.err
    check_status "a damaged board file" 125 $?
    expect "damaged out" empty damaged.out
    expect "damaged err" emu_damaged.err damaged.err
    cmp -s "$board" before || fail "the damaged board file was changed"
    ;;
full)
    # An answer that cannot be written is a failure, said as such, in
    # velmogpio and in velmo-board alike.
    for args in "get 3" "show --json"; do
        # shellcheck disable=SC2086 # the command and its words
        velmo-emu --board "$board" velmogpio $args >/dev/full 2>full.err
        check_status "velmogpio $args >/dev/full" 1 $?
        expect "velmogpio $args >/dev/full" emu_full_velmogpio.err full.err
    done
    for args in show "show --json"; do
        # shellcheck disable=SC2086
        velmo-board --board "$board" $args >/dev/full 2>full.err
        check_status "velmo-board $args >/dev/full" 1 $?
        expect "velmo-board $args >/dev/full" emu_full_board.err full.err
    done
    ;;
*)
    die "unknown scenario $scenario"
    ;;
esac
finish
