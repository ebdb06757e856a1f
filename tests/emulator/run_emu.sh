#!/bin/bash
# Runs one program under velmo-emu and checks how it went against what the
# test expects, written by hand in expected/:
#
#   run_emu.sh [--stdin FILE] [--stdout FILE] [--stderr FILE]
#              [--stderr-match REGEX] [--trace FILE] [--status N]
#              [--needs PROGRAM] [--skip-unless COMMAND WHY]
#              -- VELMO_EMU [OPTION...] PROGRAM [ARG...]
#
# FILEs are in expected/ (a stdin may also be /dev/null). --trace makes
# velmo-emu write its trace and compares it line for line, with the thread
# IDs of labelled lines ("[pid 1234] ...") named A, B, ... in the order
# they first appear, as expected traces are written. --needs runs
# `PROGRAM true` first: where that program cannot run here (a 32-bit
# program on a kernel without 32-bit support) the test is skipped (77);
# so it is where the shell COMMAND of --skip-unless fails, saying WHY.
# VELMO_EMU_SKIP, when set, skips the test with that reason.
. "$(dirname "$0")/../support/lib.sh"
stdin=/dev/null stdout='' stderr='' stderr_match='' trace='' status=0
while [ $# -gt 0 ]; do
    case $1 in
    --stdin) stdin=$2; [ "$stdin" = /dev/null ] || stdin=$expected/$2; shift 2 ;;
    --stdout) stdout=$2; shift 2 ;;
    --stderr) stderr=$2; shift 2 ;;
    --stderr-match) stderr_match=$2; shift 2 ;;
    --trace) trace=$2; shift 2 ;;
    --status) status=$2; shift 2 ;;
    --needs)
        "$2" true >/dev/null 2>&1 || skip "$2 does not run here (this kernel runs no 32-bit x86 programs)"
        shift 2 ;;
    --skip-unless)
        sh -c "$2" >/dev/null 2>&1 || skip "$3"
        shift 3 ;;
    --) shift; break ;;
    *) die "run_emu.sh: unknown option $1" ;;
    esac
done
skip_unless_traced
emu=$1
shift
temp_dir

if [ -n "$trace" ]; then
    "$emu" --trace trace "$@" <"$stdin" >stdout 2>stderr
else
    "$emu" "$@" <"$stdin" >stdout 2>stderr
fi
check_status "velmo-emu" "$status" $?
[ -z "$stdout" ] || expect stdout "$stdout" stdout
[ -z "$stderr" ] || expect stderr "$stderr" stderr
if [ -n "$trace" ]; then
    awk 'match($0, /^\[pid [0-9]+\]/) {
        id = substr($0, 6, RLENGTH - 6)
        if (!(id in name)) name[id] = sprintf("%c", 65 + count++)
        $0 = "[pid " name[id] "]" substr($0, RLENGTH + 1)
    } { print }' trace >trace.named
    expect trace "$trace" trace.named
fi
if [ -n "$stderr_match" ] && ! grep -Eq -- "$stderr_match" stderr; then
    fail "stderr does not match /$stderr_match/"
fi
if [ "$failed" -ne 0 ]; then
    echo "--- stderr was:"
    cat stderr
fi
finish
