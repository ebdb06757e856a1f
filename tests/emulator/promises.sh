#!/bin/bash
# What velmo-emu promises a program, where a test takes more than one
# command: no real port through /dev/port; SIGSTOP, SIGTSTP and Ctrl-Z stop
# it and SIGCONT resumes it, as without velmo-emu; the standard
# descriptors it was started without stay its own; no file a trace must
# not overwrite is touched; an unprivileged run finds nothing to take in
# velmo-emu. Expected output is in expected/promise_*.
#   promises.sh BIN_DIR PROBE SCENARIO
. "$(dirname "$0")/../support/lib.sh"
bin=$1 probe=$1/$2 scenario=$3
skip_unless_traced
"$probe" true >/dev/null 2>&1 || skip "$probe does not run here (this kernel runs no 32-bit x86 programs)"
emu=$bin/velmo-emu
temp_dir

# stopped PID: the process is stopped (T), or stopped under its tracer (t).
stopped() {
    case $(sed -E 's/^[0-9]+ \(.*\) (.) .*/\1/' "/proc/$1/stat" 2>/dev/null) in
    T | t) return 0 ;;
    *) return 1 ;;
    esac
}

# pid_in FILE: the N of the probe's "pid N ..." line.
pid_in() {
    sed -n 's/^pid \([0-9]*\) .*/\1/p' "$1"
}

case $scenario in
devport)
    # The kernel asks for CAP_SYS_RAWIO when /dev/port is opened. Without
    # velmo-emu, root opens it (where the kernel has it at all: ENXIO where
    # it has none); under velmo-emu the kernel refuses it.
    [ "$(id -u)" = 0 ] || skip "only root holds CAP_SYS_RAWIO to give up"
    mknod port c 1 4 2>/dev/null || skip "no device node can be made here"
    "$probe" devport ./port >plain.out
    "$emu" "$probe" devport ./port >emu.out 2>emu.err
    status=$?
    [ $status -eq 0 ] || fail "velmo-emu: exit status $status"
    case $(cat plain.out) in
    "open ./port: opened")
        expect "the open under velmo-emu" promise_devport_emu.out emu.out
        # Opened before velmo-emu started, it is refused outright.
        "$emu" "$probe" true 7<port >/dev/null 2>handed.err
        status=$?
        [ $status -eq 125 ] || fail "a /dev/port handed down: exit status $status, expected 125"
        expect "a /dev/port handed down" promise_devport_handed.err handed.err "PROBE=$probe"
        ;;
    "open ./port: No such device or address")
        echo "note: this kernel has no /dev/port"
        expect "the open under velmo-emu" promise_devport_missing.out emu.out
        ;;
    *)
        fail "without velmo-emu, root got: $(cat plain.out)"
        ;;
    esac
    ;;
stop)
    # The program stops itself with SIGSTOP and stays stopped until a
    # SIGCONT from outside.
    "$emu" "$probe" stop 19 >out 2>err &
    emu_pid=$!
    wait_until "the probe to say it stops" grep -q stopping out
    pid=$(pid_in out)
    wait_until "the probe to stop" stopped "$pid"
    sleep 0.5
    stopped "$pid" || fail "the probe did not stay stopped"
    grep -q resumed out && fail "the probe went on before SIGCONT"
    kill -CONT "$pid"
    wait $emu_pid
    status=$?
    [ $status -eq 0 ] || fail "exit status $status"
    expect "the probe's output" promise_stop.out out "PID=$pid"
    expect "velmo-emu's messages" empty err
    ;;
tstp)
    # In a job-control shell, as at a terminal, velmo-emu and the program
    # are a job of their own (a process group that is not orphaned, where
    # SIGTSTP stops). The program alone gets SIGTSTP, then SIGCONT.
    mkfifo in
    setsid bash -c 'set -m
        "$0" "$1" line <in >out 2>err &
        wait %1
        echo $? >status' "$emu" "$probe" </dev/null >/dev/null 2>&1 &
    exec 3>in
    wait_until "the probe to be ready" grep -q ready out
    pid=$(pid_in out)
    kill -TSTP "$pid"
    wait_until "the probe to stop" stopped "$pid"
    sleep 0.5
    stopped "$pid" || fail "the probe did not stay stopped"
    kill -CONT "$pid"
    wait_until "the probe to go on" eval '! stopped "$pid"'
    echo hello >&3
    exec 3>&-
    wait_until "the job to end" test -s status
    expect "the exit status" promise_tstp.status status
    expect "the probe's output" promise_tstp.out out "PID=$pid"
    ;;
ctrl-z)
    # At a terminal: Ctrl-Z stops the job, velmo-emu and the program, and
    # gives the shell back; fg resumes both.
    command -v tmux >/dev/null || skip "tmux is not installed"
    export TMUX_TMPDIR=$dir
    tmux new-session -d -s job -x 160 -y 20 "bash --norc --noprofile -i"
    tmux send-keys -t job "cd $dir" Enter
    tmux send-keys -t job "$emu $probe line >out" Enter
    wait_until "the probe to be ready" grep -q ready out
    pid=$(pid_in out)
    tmux send-keys -t job C-z
    # shellcheck disable=SC2317 # called by wait_until
    screen() { tmux capture-pane -p -t job | grep -q "$1"; }
    wait_until "the shell to say Stopped" screen 'Stopped'
    wait_until "the probe to stop" stopped "$pid"
    tmux send-keys -t job "fg" Enter
    wait_until "the probe to go on" eval '! stopped "$pid"'
    tmux send-keys -t job "hello" Enter
    wait_until "the probe to read its line" grep -q got out
    tmux send-keys -t job 'echo $? >status' Enter
    wait_until "the status" test -s status
    tmux kill-server 2>/dev/null
    expect "the exit status" promise_ctrl_z.status status
    expect "the probe's output" promise_ctrl_z.out out "PID=$pid"
    ;;
closed-stderr)
    # Started with its standard error closed, velmo-emu's trace is not
    # where its messages go, and the program finds standard error closed.
    "$emu" --show --trace trace "$probe" write 0x507 0 2>&-
    status=$?
    [ $status -eq 0 ] || fail "write: exit status $status"
    expect "the trace" promise_closed_stderr.trace trace
    "$emu" --trace trace "$probe" fds >out 2>&-
    expect "the program's descriptors" promise_closed_stderr.out out
    ;;
trace-refused)
    # --trace refuses what --vcd refuses, with 125, before the program
    # starts and before --line or --base reach the board: each path left
    # byte for byte, nothing left behind where there was nothing.
    mkdir directory
    mkfifo fifo
    printf 'int main(void) { return 0; }\n' >source.c
    ln -s nowhere/t.trace dangling
    cp "$probe" program
    "$emu" --board board "$probe" true || fail "the board file could not be made"
    cp board board.before
    for name in directory fifo source.c dangling board program /dev/port missing/t.trace; do
        before=before.${name//\//_}
        [ -f "$name" ] && cp "$name" "$before"
        "$emu" --trace "$name" --board board --base 0x600 --line 3=1 ./program write 0x507 0 \
            >>refused.out 2>>refused.err </dev/null
        check_status "--trace $name" 125 $?
        [ ! -f "$before" ] || cmp -s "$name" "$before" || fail "$name was changed"
    done
    # A file of the kernel's own shows a size of 0, and a write would set
    # the machine's domain name.
    cat /proc/sys/kernel/domainname >domainname.before
    "$emu" --trace /proc/sys/kernel/domainname ./program true >>refused.out 2>>refused.err </dev/null
    check_status "--trace /proc/sys/kernel/domainname" 125 $?
    # shellcheck disable=SC2002 # cmp takes a procfs file's size, 0, for its length
    cat /proc/sys/kernel/domainname | cmp -s - domainname.before || fail "the domain name was changed"
    # The board file under another name, missing at first.
    "$emu" --trace new-board --board new-board ./program true >>refused.out 2>>refused.err </dev/null
    check_status "the board file's own path" 125 $?
    expect "output (no program may start)" empty refused.out
    [ ! -e nowhere ] && [ ! -e new-board ] && [ ! -e missing ] || fail "a refused path left something behind"
    cmp -s board board.before || fail "the board file was changed"
    expect "the reasons" promise_trace_refused.err refused.err
    ;;
escape-user)
    # As an unprivileged user, velmo-emu's memory and descriptors are as
    # closed to the program as they are to root's.
    [ "$(id -u)" = 0 ] || skip "only root can make a run as another user here"
    as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
    as_nobody true 2>/dev/null || skip "setpriv cannot run as nobody here"
    as_nobody "$emu" --help >/dev/null 2>&1 || skip "nobody cannot run $emu (a directory on its path is closed)"
    as_nobody "$emu" "$probe" escape >escape.out 2>escape.err
    check_status "velmo-emu as nobody" 0 $?
    expect "the ways in, as nobody" escape_user.out escape.out
    expect "messages" empty escape.err
    ;;
signals)
    # SIGTERM or SIGHUP to velmo-emu reaches the program, whose handler
    # drives its line low, and velmo-emu reports how it ended. timeout(1)
    # sends SIGTERM to velmo-emu and to its group at once: one request.
    for sig in TERM HUP; do
        "$emu" --trace $sig.trace "$probe" term >$sig.out 2>$sig.err &
        emu_pid=$!
        wait_until "the probe to be ready for SIG$sig" grep -q ready $sig.out
        kill -$sig $emu_pid
        wait $emu_pid
        check_status "SIG$sig to velmo-emu" 0 $?
        expect "the probe's output on SIG$sig" promise_signal_$sig.out $sig.out "PID=$(pid_in $sig.out)"
        expect "the trace on SIG$sig" promise_signal.trace $sig.trace
        expect "messages on SIG$sig" empty $sig.err
    done
    timeout --preserve-status -s TERM 2 "$emu" --trace group.trace "$probe" term >group.out 2>group.err
    check_status "under timeout(1)" 0 $?
    expect "the probe's output under timeout(1)" promise_signal_TERM.out group.out "PID=$(pid_in group.out)"
    expect "the trace under timeout(1)" promise_signal.trace group.trace
    # A program deaf to SIGTERM: velmo-emu stays, and a second one ends it.
    "$emu" "$probe" deaf >deaf.out 2>deaf.err &
    emu_pid=$!
    wait_until "the deaf probe to be ready" grep -q ready deaf.out
    kill -TERM $emu_pid
    sleep 1
    kill -0 $emu_pid 2>/dev/null || fail "velmo-emu ended at the first SIGTERM"
    kill -TERM $emu_pid
    wait $emu_pid
    check_status "a second SIGTERM" 137 $?
    expect "velmo-emu's word on the deaf probe" promise_signal_deaf.err deaf.err "PROBE=$probe"
    ;;
file-caps)
    # A program whose file asks for CAP_SYS_RAWIO cannot have it here: it
    # says why, with 126, rather than the kernel's bare refusal.
    [ "$(id -u)" = 0 ] || skip "only root's exec is refused a file capability"
    cp "$probe" capped
    setcap cap_sys_rawio+ep capped 2>/dev/null || skip "no file capability can be set here"
    "$emu" ./capped true >caps.out 2>caps.err
    check_status "a file-capability program" 126 $?
    expect "the reason" promise_file_caps.err caps.err
    ;;
*)
    die "unknown scenario $scenario"
    ;;
esac
finish
