#!/bin/sh
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
set -u
unset VELMO_BOARD # a board of the caller's is not the tests' to use
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/expected
stdin=/dev/null stdout= stderr= stderr_match= trace= status=0
while [ $# -gt 0 ]; do
    case $1 in
    --stdin) stdin=$2; [ "$stdin" = /dev/null ] || stdin=$expected/$2; shift 2 ;;
    --stdout) stdout=$expected/$2; shift 2 ;;
    --stderr) stderr=$expected/$2; shift 2 ;;
    --stderr-match) stderr_match=$2; shift 2 ;;
    --trace) trace=$expected/$2; shift 2 ;;
    --status) status=$2; shift 2 ;;
    --needs)
        if ! "$2" true >/dev/null 2>&1; then
            echo "SKIP: $2 does not run here (this kernel runs no 32-bit x86 programs)"
            exit 77
        fi
        shift 2 ;;
    --skip-unless)
        if ! sh -c "$2" >/dev/null 2>&1; then
            echo "SKIP: $3"
            exit 77
        fi
        shift 3 ;;
    --) shift; break ;;
    *) echo "run_emu.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
if [ -n "${VELMO_EMU_SKIP:-}" ]; then
    echo "SKIP: $VELMO_EMU_SKIP"
    exit 77
fi
emu=$1
shift
out=$(mktemp -d) || exit 2
trap 'rm -rf "$out"' EXIT

if [ -n "$trace" ]; then
    "$emu" --trace "$out/trace" "$@" <"$stdin" >"$out/stdout" 2>"$out/stderr"
else
    "$emu" "$@" <"$stdin" >"$out/stdout" 2>"$out/stderr"
fi
got=$?

failed=0
if [ "$got" -ne "$status" ]; then
    echo "FAIL: exit status $got, expected $status"
    failed=1
fi
compare() { # what, expected file, actual file
    if ! diff -u "$2" "$3" >"$out/diff"; then
        echo "FAIL: $1 differs (--- expected, +++ actual):"
        cat "$out/diff"
        failed=1
    fi
}
[ -z "$stdout" ] || compare stdout "$stdout" "$out/stdout"
[ -z "$stderr" ] || compare stderr "$stderr" "$out/stderr"
if [ -n "$trace" ]; then
    awk 'match($0, /^\[pid [0-9]+\]/) {
        id = substr($0, 6, RLENGTH - 6)
        if (!(id in name)) name[id] = sprintf("%c", 65 + count++)
        $0 = "[pid " name[id] "]" substr($0, RLENGTH + 1)
    } { print }' "$out/trace" >"$out/trace.named"
    compare trace "$trace" "$out/trace.named"
fi
if [ -n "$stderr_match" ] && ! grep -Eq -- "$stderr_match" "$out/stderr"; then
    echo "FAIL: stderr does not match /$stderr_match/"
    failed=1
fi
if [ "$failed" -ne 0 ]; then
    echo "--- stderr was:"
    cat "$out/stderr"
    exit 1
fi
echo "ok: status $got"
