#!/bin/bash
# The Python module under velmo-emu, each call's port trace against one
# written by hand (expected/), and without it, where the kernel refuses.
#   python.sh BIN_DIR PYTHON_DIR PYTHON SOURCE_DIR SCENARIO
# BIN_DIR holds velmo-emu, velmo-board and ioperm_probe; PYTHON_DIR the
# built package velmogpio. VELMO_PYTHON_PRELOAD, when set, is preloaded
# into Python (the sanitizers' runtimes, for a module built with them).
. "$(dirname "$0")/../support/lib.sh"
bin=$1 source=$4 scenario=$5
export PYTHONPATH=$2 PATH="$bin:$PATH"
python=("$3")
if [ -n "${VELMO_PYTHON_PRELOAD:-}" ]; then
    python=(env "LD_PRELOAD=$VELMO_PYTHON_PRELOAD" "$3")
fi
temp_dir

# py NAME CODE [VELMO-EMU-OPTION...]: CODE after "import velmogpio as g"
# under velmo-emu on this test's board; status 0.
py() {
    local name=$1 code=$2
    shift 2
    run_emu "$name" -- --board board "$@" -- "${python[@]}" -c "import velmogpio as g
$code"
}

case $scenario in
calls)
    skip_unless_traced
    py configure_word 'g.configure(0x0F)'
    expect "configure(0x0F)" configure_word.trace configure_word.trace
    py configure_lines 'g.configure({3: "out", 8: "in"})'
    expect "configure({3: out, 8: in})" configure_lines.trace configure_lines.trace
    py set 'g.set({6: 1, 7: 0})'
    expect "set" set.trace set.trace
    py get 'print(g.get(3), g.get([3, 6]))'
    expect "get trace" get.trace get.trace
    expect "get values" get.out get.out
    py lines 'print(*g.lines(), sep="\n")' --line 1=1
    expect "lines() trace" lines.trace lines.trace
    expect "lines()" lines.out lines.out
    # A moved register block and line, as a C client moves them.
    py moved 'g.base = 0x600; g.line_map[6] = 5; g.set(6, 0)'
    expect "moved base and line" moved.trace moved.trace
    ;;
refused)
    # Without velmo-emu the kernel is asked, and only where it refuses.
    answer=$("$bin/ioperm_probe") || skip "$answer"
    case $answer in
    ENOSYS) why="this kernel has no port access (ioperm not implemented)" ;;
    EPERM) why="access denied (needs CAP_SYS_RAWIO)" ;;
    "EPERM rawio") why="access denied by the kernel (lockdown or container)" ;;
    *) skip "the kernel refuses with $answer" ;;
    esac
    "${python[@]}" -c 'import velmogpio; velmogpio.get(3)' 2>plain.err
    check_status "get(3) refused" 1 $?
    tail -n 1 plain.err >last.err
    echo "velmogpio.Error: I/O port 0x50f: $why." >want.err
    expect "the message" "$dir/want.err" last.err

    skip_unless_traced
    py deny 'try:
    g.set(6, 1)
except g.Error as e:
    print(type(e).__name__, e.errno, e)' --deny
    expect "--deny: the Error" deny.out deny.out
    expect "--deny: the trace" deny.trace deny.trace
    ;;
bad_args)
    skip_unless_traced
    py bad_args 'for call in ["get(9)", "get([3, 0])", "get(\"3\")", "set(6, 2)", "set(9, 5)",
                  "set({6: 1, 7: -1})", "set(6)", "configure(256)", "configure(-1)",
                  "configure({6: \"out\", 3: \"up\"})", "configure({})", "watch(3, edge=\"up\")",
                  "watch([3, 3])", "watch(3, interval=0)", "line_map[9] = 1", "base = 2**40"]:
    try:
        exec("g." + call)
    except ValueError as e:
        print("%s: ValueError: %s" % (call.replace("\"", "'"'"'"), e))
    except TypeError:
        print("%s: TypeError" % call.replace("\"", "'"'"'"))'
    expect "the refusals" bad_args.out bad_args.out
    expect "the trace: no port touched" empty bad_args.trace
    ;;
watch)
    skip_unless_traced
    export VELMO_BOARD=$dir/live
    velmo-board reset
    # The pull comes once the watch has taken its first reading.
    velmo-emu --trace w.trace -- "${python[@]}" -c 'import velmogpio as g
for e in g.watch(3, edge="rising", timeout=5):
    print(type(e).__name__, e.line, e.level, e.edge)
    break
print("after the timeout:", list(g.watch([3, 4], timeout=0.05)))' >w.out 2>w.err &
    watcher=$!
    wait_until "the watch's first reading" grep -qs '^in 0x50f' w.trace
    velmo-board pull 3=1
    wait $watcher
    check_status "the watch" 0 $?
    expect "the event" watch.out w.out
    expect "stderr" empty w.err
    ;;
button)
    # examples/python/button.py on the live board, as examples/c/button.c.
    skip_unless_traced
    export VELMO_BOARD=$dir/live
    velmo-board reset
    velmo-emu -- "${python[@]}" "$source/examples/python/button.py" & pid=$!
    # shellcheck disable=SC2064 # $dir now, the rest at exit
    trap "kill \$pid 2>/dev/null; rm -rf '$dir'" EXIT
    velmo-board pull 3=1
    velmo-board wait 6=1 --timeout 5
    check_status "line 6 lit" 0 $?
    timeout 5 tail --pid=$pid -f /dev/null && wait $pid
    check_status "button.py under velmo-emu" 0 $?
    ;;
*)
    die "unknown scenario $scenario"
    ;;
esac
finish
