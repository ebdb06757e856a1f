#!/bin/bash
# Every tool refuses a word the same way: the same text after its name,
# with its own usage status, and nothing on its output.
#   same_refusal.sh BIN_DIR
. "$(dirname "$0")/../support/lib.sh"
# VELMO_LAUNCHER: what this build's programs run in where the kernel runs
# none of them (qemu-i386), if anything.
launcher=()
[ -z "${VELMO_LAUNCHER:-}" ] || launcher=("$VELMO_LAUNCHER")
bin=$1
temp_dir
refusal="bad line '03' (a leading zero is octal to some readers: write 3)"

# refused STATUS PROGRAM ARG...: PROGRAM's first line on stderr is the refusal.
refused() {
    local status=$1 program=$2
    shift 2
    "${launcher[@]}" "$bin/$program" "$@" >out 2>err
    check_status "$program $*" "$status" $?
    [ "$(head -n 1 err)" = "$program: $refusal" ] || fail "$program $*: said '$(head -n 1 err)'"
    [ -s out ] && fail "$program $*: wrote to its output"
}

refused 2 velmogpio set 03=1
refused 2 velmo-board --board "$dir/board" pull 03=1
refused 125 velmo-emu --line 03=1 true
refused 125 velmo-emu --line=03=1 true
[ ! -e "$dir/board" ] || fail "velmo-board pull 03=1 created its board file"
finish
