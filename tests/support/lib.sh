# shellcheck shell=bash
# What every shell test shares. Sourced by each, from its own folder:
#   . "$(dirname "$0")/../support/lib.sh"
#
#   fail MESSAGE...        says so; the test goes on and ends with status 1
#   die MESSAGE...         says so and ends the test now (status 1), after
#                          the test's own `cleanup` function if it has one
#   skip REASON...         ends the test as skipped (77: SKIP_RETURN_CODE)
#   skip_unless_traced     skips where velmo-emu cannot trace this build's
#                          programs (VELMO_EMU_SKIP gives the reason)
#   temp_dir               a fresh folder in $dir, the current one, removed
#                          at exit
#   check_status WHAT WANT GOT
#   expect WHAT EXPECTED ACTUAL [NAME=VALUE]...
#                          ACTUAL's text must be EXPECTED's, a file written
#                          by hand (in $expected unless a path is given),
#                          where @DIR@ stands for $dir and each @NAME@ for
#                          its VALUE; else the diff
#   wait_until WHAT COMMAND...
#                          runs COMMAND every 10 ms until it succeeds, for
#                          at most 10 s (a failure then)
#   run_emu [--stdin FILE] [--status N] NAME -- VELMO-EMU-ARGUMENT...
#                          runs velmo-emu (on PATH) with a trace; its
#                          output, error and trace land in NAME.out,
#                          NAME.err, NAME.trace; the status is checked
#   uart_decodes VCD BAUD EXPECTED
#                          sigrok-cli's UART decoder, on line6 of VCD at
#                          BAUD, gives EXPECTED's bytes (expect's rules),
#                          says nothing on stderr and sees no error
#   finish                 ends the test: status 0 and "ok", or 1
#
# A test's board is its own: a VELMO_BOARD of the caller's is never used.
set -u
unset VELMO_BOARD
expected=$(cd "$(dirname "$0")" && pwd)/expected
dir=
failed=0

fail() {
    echo "FAIL: $*"
    failed=1
}

die() {
    echo "FAILED: $*"
    if declare -F cleanup >/dev/null; then
        cleanup
    fi
    exit 1
}

skip() {
    echo "SKIP: $*"
    exit 77
}

skip_unless_traced() {
    [ -z "${VELMO_EMU_SKIP:-}" ] || skip "$VELMO_EMU_SKIP"
}

temp_dir() {
    dir=$(mktemp -d) || die "mktemp -d"
    trap 'rm -rf "$dir"' EXIT
    chmod 755 "$dir"
    cd "$dir" || die "cd $dir"
}

check_status() {
    [ "$3" -eq "$2" ] || fail "$1: exit status $3, expected $2"
}

expect() {
    local what=$1 want=$2 got=$3 script="s|@DIR@|$dir|g" pair
    shift 3
    for pair in "$@"; do
        script="$script;s|@${pair%%=*}@|${pair#*=}|g"
    done
    case $want in
    /*) ;;
    *) want=$expected/$want ;;
    esac
    if ! sed "$script" "$want" | diff -u - "$got" >"${dir:-/tmp}/.diff.$$"; then
        fail "$what differs (--- expected ${want#"$expected"/}, +++ actual):"
        cat "${dir:-/tmp}/.diff.$$"
    fi
    rm -f "${dir:-/tmp}/.diff.$$"
}

wait_until() {
    local what=$1
    shift
    for _ in $(seq 1000); do
        "$@" && return 0
        sleep 0.01
    done
    fail "$what: not within 10 s"
    return 1
}

run_emu() {
    local stdin=/dev/null status=0
    while [ "$1" != -- ] && [ "${1#--}" != "$1" ]; do
        case $1 in
        --stdin) stdin=$2; shift 2 ;;
        --status) status=$2; shift 2 ;;
        *) die "run_emu: unknown option $1" ;;
        esac
    done
    local name=$1
    shift 2
    velmo-emu --trace "$name.trace" "$@" <"$stdin" >"$name.out" 2>"$name.err"
    local got=$?
    check_status "$name" "$status" "$got"
    [ "$got" -eq "$status" ] || cat "$name.err"
}

uart_decodes() {
    local vcd=$1 decoder=uart:rx=line6:baudrate=$2 want=$3
    sigrok-cli -I vcd -i "$vcd" -P "$decoder" -A uart=rx-data >rx.out 2>rx.err
    sigrok-cli -I vcd -i "$vcd" -P "$decoder" >all.out 2>&1
    expect "the bytes sigrok-cli decoded" "$want" rx.out
    expect "what sigrok-cli said" empty rx.err
    if grep -i error all.out; then
        fail "the decoder saw errors"
    fi
}

finish() {
    if [ "$failed" -ne 0 ]; then
        exit 1
    fi
    echo "ok"
    exit 0
}
