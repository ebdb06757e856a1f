#!/bin/bash
# velmo-test end to end: scenarios that pass, one failing scenario for each
# kind of failure with its FAIL line written by hand, a program that hangs
# and is ended at the time limit with its child, scenarios on the board and
# real clocks, bad scenario files refused before anything runs, the JUnit
# report read back by Python's xml.etree,
# and the examples' scenarios.
#   velmo_test.sh SOURCE_DIR BIN_DIR CASE
# BIN_DIR holds velmo-test and the programs the scenarios run.
. "$(dirname "$0")/../support/lib.sh"
src=$1 bin=$2 case=$3
scenarios=$(cd "$(dirname "$0")" && pwd)/scenarios
skip_unless_traced
[ -x "$bin/velmo-test" ] || skip "velmo-test is not built in this preset (no yaml-cpp for its target)"
export PATH="$bin:$PATH"
temp_dir
mkdir tmp vcd
export TMPDIR=$dir/tmp

# run STATUS OUT VELMO-TEST-ARGUMENT...: in the scenarios' folder, times
# of the PASS/FAIL lines written T. The edges a program times itself come
# some microseconds later in one build than in another (a sanitized C
# library reads the clock more as it starts): run times with a fraction
# are kept to a tenth of a millisecond, the rest written ~.
run() {
    local status=$1 out=$2
    shift 2
    (cd "$scenarios" && velmo-test "$@") >"$dir/$out.raw" 2>"$dir/$out.err"
    check_status "velmo-test $*" "$status" $?
    sed -E 's/^(PASS|FAIL) (.*) [0-9]+\.[0-9]{2}s/\1 \2 T/; s/([0-9]+\.[0-9])[0-9]+ms/\1~ms/g' "$dir/$out.raw" >"$dir/$out"
}

case $case in
steps)
    run 0 out --seed 5 steps.yaml stdio.yaml
    printf 'PASS every board step T\nPASS stdin and stdout T\n2 passed, 0 failed (seed 5)\n' >want
    expect "passing scenarios" "$dir/want" out
    ;;
failures)
    # shellcheck disable=SC2046 # the scenarios' names, one word each
    run 1 out --seed 1 --jobs 2 --vcd-dir "$dir/vcd" $(cd "$scenarios" && echo fail_*.yaml) hang.yaml
    expect "failures" velmo_test_failures.out out
    expect "stderr" empty out.err
    pgrep -f 'sleep 987654' >/dev/null && fail "the hanging scenario's processes outlived it"
    [ -z "$(ls tmp)" ] || fail "temporary files left: $(ls tmp)"
    for name in wait_for_a_level hang too_few_pulses; do
        head -c 8 "vcd/$name.vcd" 2>/dev/null | grep -q '^\$version' || fail "no VCD kept for $name"
    done
    ;;
junit)
    run 1 out --seed 9 --junit "$dir/report.xml" --vcd-dir "$dir/vcd" stdio.yaml fail_wait.yaml
    python3 - "$dir/report.xml" "$dir/vcd/wait_for_a_level.vcd" <<'PY' || fail "JUnit report"
import sys, xml.etree.ElementTree as ET
suite = ET.parse(sys.argv[1]).getroot()
assert suite.tag == "testsuite" and suite.get("tests") == "2" and suite.get("failures") == "1", suite.attrib
ok, bad = suite.findall("testcase")
assert ok.get("name") == "stdin and stdout" and ok.find("failure") is None
assert float(ok.get("time")) >= 0
assert "seed: 9" in ok.find("system-out").text and "hello" in ok.find("system-out").text
msg = bad.find("failure").get("message")
assert msg.startswith("fail_wait.yaml:4: wait at 50ms: line 6 waited to be 1"), msg
assert "vcd: " + sys.argv[2] in bad.find("system-out").text, bad.find("system-out").text
PY
    ;;
bad_files)
    mkdir bad
    printf 'name: [x\nrun: y\n' >bad/bad_yaml.yaml
    printf 'name: x\nrun: blink\nsteps:\n  - frob: {6: 1}\n' >bad/bad_step.yaml
    printf 'run: blink\nsteps:\n  - pull: {9: 1}\n' >bad/bad_line.yaml
    printf 'run: blink\nsteps:\n  - pull: {3: 1}\n  - after: 10 ms\n    pull: {3: 0}\n' >bad/bad_duration.yaml
    printf 'run: ./no-such-program\n' >bad/bad_program.yaml
    : >all.err
    for f in bad_yaml bad_step bad_line bad_duration bad_program; do
        (cd bad && velmo-test --junit "$dir/r.xml" "$f.yaml" "$scenarios/steps.yaml") >>out 2>>all.err
        check_status "$f" 2 $?
    done
    velmo-test --clock fast "$scenarios/steps.yaml" >>out 2>>all.err
    check_status "--clock fast" 2 $?
    expect "refusals" velmo_test_bad.err all.err
    expect "nothing ran" empty out
    [ ! -e r.xml ] || fail "a JUnit file was written for a refused run"
    ;;
live)
    # Steps in real time on a board file: a scenario asking for the board
    # clock, it and stdin/stdout under --clock real, and a program that
    # hangs ended at the time limit with its child.
    run 0 board --seed 5 live_button.yaml
    run 0 real --seed 5 --clock real live_button.yaml live_stdio.yaml
    run 1 hang --seed 5 --clock real hang_real.yaml
    printf 'PASS button in real time T\n1 passed, 0 failed (seed 5)\n' >want
    printf 'PASS button in real time T\nPASS stdin and stdout in real time T\n2 passed, 0 failed (seed 5)\n' >>want
    printf 'FAIL hang in real time T: the time limit of 2s (real time) was reached in step expect-exit (hang_real.yaml:7)\n' >>want
    printf '0 passed, 1 failed (seed 5)\n' >>want
    cat board real hang >out
    expect "scenarios in real time" "$dir/want" out
    pgrep -f 'sleep 987653' >/dev/null && fail "the hanging scenario's processes outlived it"
    [ -z "$(ls tmp)" ] || fail "temporary files left: $(ls tmp)"
    ;;
examples)
    velmo-test --junit "$dir/report.xml" "$src"/examples/scenarios/*.yaml >out 2>&1
    status=$?
    check_status "the examples' scenarios" 0 $status
    [ $status -eq 0 ] || cat out
    ;;
*) die "unknown case $case" ;;
esac
finish
