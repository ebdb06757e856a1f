#!/bin/bash
# Each script of the project answers --help with its usage on stdout and
# status 0, before it builds or installs anything and without taking
# --help as a file; and each but scripts/run (whose options are
# velmo-emu's) refuses an option it does not know with status 2.
#   help.sh SOURCE_DIR
. "$(dirname "$0")/../support/lib.sh"
src=$(cd "$1" && pwd)
temp_dir
mkdir run && cd run || die "mkdir run"
for script in scripts/test scripts/run scripts/waveform scripts/vcd2svg bench/emu_bench.sh; do
    "$src/$script" --help >../help.out 2>../help.err
    check_status "$script --help" 0 $?
    grep -q "^ *$script " ../help.out || fail "$script --help: no usage line naming $script"
    [ ! -s ../help.err ] || fail "$script --help wrote on stderr: $(cat ../help.err)"
    # scripts/run hands its options to velmo-emu, which judges them.
    [ "$script" != scripts/run ] || continue
    "$src/$script" --no-such-option >/dev/null 2>../bad.err
    check_status "$script --no-such-option" 2 $?
    grep -q -- "--help" ../bad.err || fail "$script --no-such-option: no pointer to --help"
done
left=$(find . -mindepth 1 | tr '\n' ' ')
[ -z "$left" ] || fail "files were left: $left"
finish
