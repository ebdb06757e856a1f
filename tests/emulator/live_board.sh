#!/bin/bash
# The board as a file, live: programs under velmo-emu and velmo-board share
# it while they run. Expected boards, messages and panels are in
# expected/live_*.
#   live_board.sh BIN_DIR SCENARIO
# BIN_DIR holds velmo-emu, velmo-board, velmogpio, gpio_client and button.
. "$(dirname "$0")/../support/lib.sh"
bin=$1 scenario=$2
skip_unless_traced
export PATH="$bin:$PATH"
temp_dir

case $scenario in
recipe)
    # As the README shows it, with button beside us (the trap also
    # removes the test's folder, as temp_dir's did).
    cp "$bin/button" ./button
    # shellcheck disable=SC2155 # the README's words
    export VELMO_BOARD=$(mktemp -u)
    velmo-emu -- ./button & pid=$!
    # shellcheck disable=SC2064 # $dir now, the rest at exit
    trap "kill \$pid 2>/dev/null; rm -f \"\$VELMO_BOARD\"; rm -rf '$dir'" EXIT
    velmo-board pull 3=1
    check_status "pull" 0 $?
    velmo-board wait 6=1 --timeout 5
    check_status "wait" 0 $?
    timeout 5 tail --pid=$pid -f /dev/null && wait $pid
    check_status "button under velmo-emu" 0 $?
    velmo-board show >show.out
    expect "the board after button" live_recipe_show.out show.out
    ;;
kill9)
    # The program kills velmo-emu right after its write: the write is in
    # the file all the same.
    velmo-emu --board board -- gpio_client config 0x0f out 6 1 kill-parent >/dev/null
    check_status "velmo-emu killed" 137 $?
    head -n 4 board >board.txt # the board, before its change log
    expect "the board file" live_kill9.board board.txt
    ;;
concurrent)
    # Two runs at once, one writing bank 1 and one bank 2: each waits to see
    # the other's first write, then toggles a line a hundred times. No
    # write of either is lost.
    velmo-emu --board board gpio_client config 0x00 >setup.out
    check_status "setup" 0 $?
    toggles() { for _ in $(seq 100); do printf 'out %s 1 out %s 0 ' "$1" "$1"; done; }
    # shellcheck disable=SC2046
    velmo-emu --board board gpio_client out 1 1 wait 8 1 out 2 1 $(toggles 3) out 4 1 >a.out &
    a=$!
    # shellcheck disable=SC2046
    velmo-emu --board board gpio_client out 8 1 wait 1 1 out 7 1 $(toggles 5) out 6 1 >b.out &
    b=$!
    wait $a
    check_status "run A" 0 $?
    wait $b
    check_status "run B" 0 $?
    grep '^wait' a.out b.out >waits.out
    expect "what each run saw of the other" live_concurrent_waits.out waits.out
    head -n 4 board >board.txt
    expect "the board file" live_concurrent.board board.txt
    ;;
refused)
    # Each file is refused before the program starts, and left as it was.
    printf 'velmo-board 2\nbase=0x0500\nbank1 direction=0xzz latch=0x00 outside=0x00\nbank2 direction=0xff latch=0x00 outside=0x00\n' >damaged
    printf '#!/bin/sh\necho hello\n' >foreign
    { printf 'velmo-board 2\nbase=0x0500\n'; head -c 20000 /dev/zero; } >oversized
    mkdir directory
    mkfifo fifo
    printf 'velmo-board 2\nbase=0x0500\nbank1 direction=0xff latch=0x00 outside=0x00\nbank2 direction=0xff latch=0x00 outside=0x00\n' >./readonly
    chmod 444 readonly
    as=()
    if [ "$(id -u)" -eq 0 ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups) # root may write anything
    fi
    for name in damaged foreign oversized directory fifo readonly; do
        [ -f "$name" ] && cp "$name" "$name.before"
        runner=()
        [ "$name" = readonly ] && runner=("${as[@]}")
        "${runner[@]}" velmo-emu --board "$dir/$name" -- /bin/echo started >"$name.out" 2>"$name.err" </dev/null
        check_status "$name" 125 $?
        expect "$name: output (the program must not start)" empty "$name.out"
        [ ! -f "$name.before" ] || cmp -s "$name" "$name.before" || fail "$name was changed"
    done
    velmo-emu --board /dev/zero -- /bin/echo started >zero.out 2>zero.err
    check_status "/dev/zero" 125 $?
    cat damaged.err foreign.err oversized.err directory.err fifo.err readonly.err zero.err >errors.out
    expect "the reasons" live_refused.err errors.out
    velmo-board --board damaged pull 3=1 2>board.err
    check_status "velmo-board on a damaged file" 1 $?
    cmp -s damaged damaged.before || fail "velmo-board changed the damaged file"
    expect "velmo-board's reason" live_refused_velmo_board.err board.err
    # Arguments are checked before the file is touched.
    velmo-board --board new pull 3=2 2>/dev/null
    check_status "velmo-board with a bad level" 2 $?
    # LINE=LEVEL is read as every tool reads it: no leading zero, each line
    # once, --opt=value as well as --opt value.
    velmo-board --board new pull 03=1 2>usage.err
    check_status "velmo-board pull 03=1" 2 $?
    velmo-board --board=new pull 6=1 6=0 2>>usage.err
    check_status "velmo-board pull 6=1 6=0" 2 $?
    printf '%s\n' "velmo-board: bad line '03' (a leading zero is octal to some readers: write 3)" \
        "Try 'velmo-board --help'." "velmo-board: line 6 is named twice" "Try 'velmo-board --help'." >usage.want
    expect "the refusals" "$dir/usage.want" usage.err
    [ ! -e new ] || fail "a bad command line created the board file"
    ;;
locked)
    # A lock held for good (here by a flock(1) around the run, waiting for
    # it) ends the run with a message rather than freezing both.
    velmo-board --board board reset
    start=$(date +%s)
    flock board velmo-emu --board board -- /bin/echo started >locked.out 2>locked.err
    check_status "velmo-emu under a flock of its board" 125 $?
    took=$(( $(date +%s) - start ))
    [ "$took" -ge 4 ] && [ "$took" -le 15 ] || fail "it gave up after $took s"
    expect "the output (the program must not start)" empty locked.out
    expect "the reason" live_locked.err locked.err
    ;;
symlink)
    # Created through a dangling link, then updated through it: the link,
    # the file's mode and owner stay as they were, and nothing else appears.
    ln -s board.txt link
    velmo-board --board link reset
    check_status "reset through the link" 0 $?
    chmod 640 board.txt
    owner=$(id -un)
    if [ "$(id -u)" -eq 0 ]; then
        chown 65534 board.txt && owner=$(id -un 65534)
    fi
    VELMO_BOARD=$dir/link velmo-emu velmogpio set 6=1
    check_status "velmogpio through the link" 0 $?
    [ "$(readlink link)" = board.txt ] || fail "link no longer points to board.txt"
    [ "$(stat -c '%a %U' board.txt)" = "640 $owner" ] || fail "mode and owner are now $(stat -c '%a %U' board.txt)"
    ls -A >files.out
    expect "the folder" live_symlink_files.out files.out
    head -n 4 board.txt >board.head
    expect "the board file" live_symlink.board board.head
    ;;
wait)
    velmo-board --board board pull 6=0
    start=$(date +%s%N)
    velmo-board --board board wait 6=1 3=0 --timeout 0.5 2>timeout.err
    check_status "wait for a line nobody drives" 1 $?
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$took" -ge 500 ] && [ "$took" -lt 3000 ] || fail "a 0.5 s timeout took $took ms"
    expect "the timeout message" live_wait_timeout.err timeout.err
    # A pull from elsewhere ends the wait at once: inotify, not polling.
    # The best of three, as a loaded machine may hold up any one of them.
    best=
    for _ in 1 2 3; do
        velmo-board --board board pull 2=0
        velmo-board --board board wait 2=1 --timeout 5 &
        waiter=$!
        sleep 0.3
        velmo-board --board board pull 2=1
        pulled=$EPOCHREALTIME
        wait $waiter
        check_status "wait for a pulled line" 0 $?
        took=$(awk -v a="$pulled" -v b="$EPOCHREALTIME" 'BEGIN { printf "%d", (b - a) * 1000 }')
        [ -n "$best" ] && [ "$best" -le "$took" ] || best=$took
    done
    echo "the wait ended $best ms after the pull (the best of three)"
    [ "$best" -lt 50 ] || fail "the wait ended $best ms after the pull at best, not at once"
    ;;
panel)
    command -v tmux >/dev/null || skip "tmux is not installed"
    export TMUX_TMPDIR=$dir
    velmo-board --board board reset
    tmux new-session -d -s panel -x 80 -y 12 "velmo-board --board $dir/board watch; echo ended \$?; sleep 30"
    # screen FILE [TEXT]: the panel's eight lines once they hold TEXT (by
    # default the key line), trailing blanks cut.
    screen() {
        for _ in $(seq 50); do
            tmux capture-pane -p -t panel -S 0 -E 7 | sed 's/[[:space:]]*$//' >"$1"
            grep -q -- "${2:-q: quit}" "$1" && return
            sleep 0.1
        done
    }
    screen start.out
    expect "the panel at power-on" live_panel_start.screen start.out
    # Key 3 pulls line 3 high; a program's writes show as it makes them.
    tmux send-keys -t panel 3
    velmo-emu --board board velmogpio config 0x0f
    velmo-emu --board board velmogpio set 6=1
    screen after.out '(\*)  ( )  ( )$'
    expect "the panel after key 3 and a program's writes" live_panel_after.screen after.out
    tmux send-keys -t panel q
    screen quit.out 'ended'
    grep -q '^ended 0$' quit.out || { fail "q did not end the panel with status 0"; cat quit.out; }
    tmux kill-server 2>/dev/null
    # Not on a terminal: one timestamped line per change, for a log, until
    # the end of its input.
    mkfifo input
    velmo-board --board board watch <input >log.out &
    watcher=$!
    exec 3>input
    wait_until "the log's first line" grep -qs board log.out
    velmo-board --board board pull 3=0
    wait_until "the pull in the log" grep -q ' 3:in=0' log.out
    exec 3>&-
    wait $watcher
    check_status "the log at the end of its input" 0 $?
    sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z /TIME /' log.out >log.txt
    expect "the log" live_panel.log log.txt
    ;;
log)
    # Each of a program's 200 edges, at up to 1000 a second, is a line of
    # the log: none merged, none dropped. The best of five, as a loaded
    # machine may keep the watch off the CPU through two edges.
    velmo-board --board board reset
    lines() { # the board at power-on, line 6 an output, then 100 blinks
        local board='board: 1:in=0 2:in=0 3:in=0 4:in=0 5:in=0 6:%s 7:in=0 8:in=0\n'
        # shellcheck disable=SC2059 # the line's format, filled in twice
        printf "TIME $board" in=0 out=0
        for _ in $(seq 100); do
            # shellcheck disable=SC2059
            printf "TIME $board" out=1 out=0
        done
    }
    lines >want.log
    mkfifo input
    exec 3<>input # held open: the watch reads its input until it ends
    for try in 1 2 3 4 5; do
        rm -f log.out
        velmo-board --board board watch <input >log.out &
        watcher=$!
        wait_until "the log's first line" grep -qs board log.out
        velmo-emu --board board gpio_client config 0xdf toggle 6 100 1000 >blink.out
        check_status "the program" 0 $?
        kill -TERM $watcher
        wait $watcher
        check_status "the watch" 0 $?
        velmo-board --board board reset
        sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z /TIME /' log.out >log.txt
        cmp -s want.log log.txt && break
        echo "try $try: $(wc -l <log.txt) lines of 202"
    done
    exec 3>&-
    expect "the log of 200 edges" "$dir/want.log" log.txt
    ;;
burst)
    # A program's 1000 changes, at up to 1000 a second, with the watch held
    # up for 50 ms among them: each is a line of the log, in order, at the
    # time the program made it (so at least 1 ms apart). Held up through
    # more changes than the board file keeps, the watch says how many it
    # missed, then gives the rest.
    velmo-emu --board board gpio_client config 0xdf >/dev/null # line 6 an output
    # Counted at each try (an argument "$(wc -l <log.out)" would be counted once).
    # shellcheck disable=SC2317 # called through wait_until
    has_lines() { test "$(wc -l <"$1")" -ge "$2"; }
    line6() { printf 'TIME board: 1:in=0 2:in=0 3:in=0 4:in=0 5:in=0 6:out=%s 7:in=0 8:in=0\n' "$@"; }
    blinks() { for _ in $(seq "$1"); do line6 1 0; done; }
    mkfifo input
    exec 3<>input
    velmo-board --board board watch <input >log.out &
    watcher=$!
    wait_until "the log's first line" grep -qs board log.out
    velmo-emu --board board gpio_client toggle 6 500 1000 >/dev/null &
    program=$!
    sleep 0.2
    kill -STOP $watcher
    sleep 0.05
    kill -CONT $watcher
    wait $program
    check_status "the program" 0 $?
    wait_until "the burst's last change in the log" has_lines log.out 1001
    sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T([0-9]{2}):([0-9]{2}):([0-9.]{9})Z (.*)/\1 \2 \3/' log.out |
        awk 'NR > 2 && $1 * 3600 + $2 * 60 + $3 - last < 0.000999 { print "line " NR " is " $3 ", after " last_s }
             { last = $1 * 3600 + $2 * 60 + $3; last_s = $3 }' >close.out
    expect "the changes less than 1 ms apart" empty close.out
    kill -STOP $watcher
    wait_until "the watch to stop" grep -q '^State:.*stopped' /proc/$watcher/status
    velmo-emu --board board gpio_client toggle 6 200 0 >/dev/null
    kill -CONT $watcher
    wait_until "the second burst's last change in the log" has_lines log.out 1258
    kill -TERM $watcher
    wait $watcher
    check_status "the watch" 0 $?
    exec 3>&-
    { line6 0; blinks 500; echo "TIME missed 144 changes (the watch fell more than 256 behind)"; blinks 128; } >want.log
    sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}Z /TIME /' log.out >log.txt
    expect "the log of both bursts" "$dir/want.log" log.txt
    cut -c1-27 log.out | sort -c || fail "the log is not in the order of its times"
    ;;
quit)
    # q, or the end of its input, ends the watch (status 0) after its first
    # line, not on a terminal too.
    velmo-board --board board reset
    echo 'board: 1:in=0 2:in=0 3:in=0 4:in=0 5:in=0 6:in=0 7:in=0 8:in=0' >want.log
    for input in q 'x q' '' /dev/null; do
        if [ "$input" = /dev/null ]; then
            timeout 10 velmo-board --board board watch </dev/null >log.out 2>err.out
        else
            printf '%s' "$input" | timeout 10 velmo-board --board board watch >log.out 2>err.out
        fi
        check_status "the watch given '$input'" 0 $?
        cut -d' ' -f2- log.out >log.txt
        expect "the log given '$input'" "$dir/want.log" log.txt
        expect "the watch's errors given '$input'" empty err.out
    done
    # q typed among other keys while it runs: nothing after q is read.
    rm -f log.out
    mkfifo input
    velmo-board --board board watch <input >log.out &
    watcher=$!
    exec 3>input
    wait_until "the log's first line" grep -qs board log.out
    printf 'q3' >&3
    wait $watcher
    check_status "the watch after q" 0 $?
    exec 3>&-
    ;;
term)
    # SIGTERM to the watch's process group, as timeout and a CI cancelling
    # a job send it, ends the watch with status 0 and no message, every
    # time: its relay child must not end first.
    velmo-board --board board reset
    mkfifo input
    exec 3<>input
    for try in $(seq 10); do
        timeout --preserve-status -s TERM 0.5 velmo-board --board board watch <input >log.out 2>err.out
        check_status "try $try: the watch at SIGTERM" 0 $?
        expect "try $try: the watch's errors" empty err.out
    done
    exec 3>&-
    # Input that never pauses keeps no stop signal out.
    yes | timeout --preserve-status -s TERM 0.5 velmo-board --board board watch >log.out 2>err.out
    check_status "the watch at SIGTERM, its input never pausing" 0 "${PIPESTATUS[1]}"
    ;;
shared)
    # Reading takes a shared lock: a reader does not wait on a reader.
    velmo-board --board board reset
    flock -s board sleep 4 &
    wait_until "the shared lock to be held" sh -c '! flock -n -x board true'
    start=$(date +%s%N)
    velmo-board --board board show >show.out
    check_status "show beside a reader" 0 $?
    velmo-emu --board board -- gpio_client in 3 >in.out
    check_status "a run that only reads, beside a reader" 0 $?
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$took" -lt 2000 ] || fail "the readers waited $took ms on a reader"
    wait
    ;;
full)
    # On a full disk, a board file velmo-emu made and could not fill is
    # removed again, and a trace ends after its last whole line.
    [ "$(id -u)" = 0 ] || skip "only root can mount a small file system here"
    mkdir disk
    mount -t tmpfs -o size=4k tmpfs disk 2>/dev/null || skip "no tmpfs can be mounted here"
    trap 'umount "$dir/disk"; rm -rf "$dir"' EXIT
    head -c 4096 /dev/zero >disk/filler 2>/dev/null
    velmo-emu --board disk/board -- gpio_client in 3 >board.out 2>board.err
    check_status "a board file on a full disk" 125 $?
    [ ! -e disk/board ] || fail "the board file it made was left behind"
    expect "the reason" live_full_board.err board.err
    rm disk/filler
    reads=$(seq 200 | sed 's/.*/0x507/')
    # shellcheck disable=SC2086 # one word a port
    velmo-emu --trace disk/t.trace -- port_probe read $reads >/dev/null 2>trace.err
    check_status "a trace on a full disk" 125 $?
    expect "the reason" live_full_trace.err trace.err
    [ "$(tail -c 1 disk/t.trace | od -An -c | tr -d ' ')" = '\n' ] || fail "the trace ends mid-line"
    [ "$(grep -cvxE 'ioperm 0x507 1 1 granted|in 0x507 0xff' disk/t.trace)" = 0 ] || fail "the trace has a cut line"
    ;;
*)
    die "unknown scenario $scenario"
    ;;
esac
finish
