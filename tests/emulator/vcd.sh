#!/bin/bash
# velmo-emu --vcd: the waveform of real runs, compared with files written by
# hand in expected/ (every timestamp but #0 written #T: times differ from
# run to run, so they are checked to increase and then replaced), and opened
# by real readers: GTKWave's vcd2fst (its FST read back with fst2vcd must
# hold the same changes) and sigrok-cli, which also decodes the serial
# data that examples/c/uart_tx.c sends.
#   vcd.sh BIN_DIR SCENARIO
# BIN_DIR holds velmo-emu, velmo-board, gpio_client, button and uart_tx.
. "$(dirname "$0")/../support/lib.sh"
bin=$1 scenario=$2
here=$(cd "$(dirname "$0")" && pwd)
skip_unless_traced
for tool in vcd2fst fst2vcd sigrok-cli; do
    command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh installs gtkwave and sigrok-cli)"
done
export PATH="$bin:$PATH"
temp_dir

# normalise VCD: the file with every timestamp but #0 written #T, once each
# is found to be a whole number greater than the one before.
normalise() {
    awk '/^#/ {
            t = substr($0, 2)
            if (t !~ /^[0-9]+$/ || (n > 0 && t + 0 <= last + 0)) print "TIMESTAMP OUT OF ORDER: " $0
            last = t; n++
            if (t != "0") { print "#T"; next }
        }
        { print }' "$1"
}

# changes VCD: its value changes as "TIME WIRE VALUE", sorted within each
# time, and "TIME end" for the last timestamp: what a reader must take
# from it, however it lays the file out.
changes() {
    awk '$1 == "$var" { name[$4] = $5; next }
        $1 == "$enddefinitions" { body = 1; next }
        !body { next }
        /^#[0-9]+$/ { t = substr($1, 2); next }
        /^[01xz]/ { print t, name[substr($1, 2)], substr($1, 1, 1) }
        END { print t, "end" }' "$1" | sort -s -k1,1n -k2,2
}

# readers VCD: vcd2fst converts it without a word and the FST holds the same
# changes; sigrok-cli reads the sixteen wires, up to the last timestamp.
readers() {
    local vcd=$1 end
    vcd2fst "$vcd" "$vcd.fst" >"$vcd.vcd2fst" 2>&1
    check_status "vcd2fst $vcd" 0 $?
    expect "what vcd2fst said about $vcd" empty "$vcd.vcd2fst"
    fst2vcd "$vcd.fst" >"$vcd.back" 2>/dev/null
    changes "$vcd" >"$vcd.changes"
    changes "$vcd.back" >"$vcd.back.changes"
    expect "$vcd read back from vcd2fst's FST" "$dir/$vcd.changes" "$vcd.back.changes"
    sigrok-cli -I vcd -i "$vcd" --show >"$vcd.show" 2>"$vcd.sigrok"
    check_status "sigrok-cli -I vcd -i $vcd" 0 $?
    expect "what sigrok-cli said about $vcd" empty "$vcd.sigrok"
    end=$(tail -n 1 "$vcd.changes" | cut -d' ' -f1)
    expect "sigrok-cli's view of $vcd" vcd_sigrok.show "$vcd.show" "END=$end"
}

# same_as VCD EXPECTED: the VCD, times normalised, is expected/EXPECTED.
same_as() {
    normalise "$1" >"$1.normal"
    expect "$1 (times as #T)" "$2" "$1.normal"
}

case $scenario in
short)
    # Line 3 held high from outside; lines 5-8 made outputs, 6 driven high
    # and low, then line 3 an output (it shows its latch, 0) and 5-8 inputs
    # again. Writes that change nothing (bank 1's direction at first, every
    # read) leave no timestamp.
    velmo-emu --vcd w.vcd --line 3=1 gpio_client config 0x0f out 6 1 in 3 out 6 0 config 0xfb >client.out
    check_status "gpio_client" 0 $?
    same_as w.vcd client.vcd
    readers w.vcd
    # Run again over it: an earlier dump is overwritten, through a symlink
    # too, which stays a symlink.
    ln -s w.vcd link.vcd
    velmo-emu --vcd link.vcd --line 3=1 gpio_client config 0x0f out 6 1 in 3 out 6 0 config 0xfb >client.out
    check_status "gpio_client over the earlier dump" 0 $?
    [ -L link.vcd ] || fail "link.vcd is no longer a symlink"
    same_as w.vcd client.vcd
    ;;
live)
    # The README's recipe with a waveform: a pull from outside shows when
    # button's next read sees it. The pull waits for button's first read of
    # line 3 (in the trace), so it cannot come before the program starts.
    cp "$bin/button" ./button
    export VELMO_BOARD=$dir/board
    velmo-emu --vcd b.vcd --trace b.trace -- ./button &
    pid=$!
    for _ in $(seq 500); do
        grep -q '^in 0x50f' b.trace 2>/dev/null && break
        sleep 0.01
    done
    velmo-board pull 3=1
    velmo-board wait 6=1 --timeout 5
    check_status "wait for line 6" 0 $?
    wait $pid
    check_status "button under velmo-emu" 0 $?
    same_as b.vcd button.vcd
    readers b.vcd
    ;;
killed)
    # velmo-emu killed right after line 6 went high: the file ends with that
    # change, and readers take it.
    velmo-emu --vcd k.vcd -- gpio_client config 0x0f out 6 1 kill-parent >/dev/null
    check_status "velmo-emu killed" 137 $?
    same_as k.vcd killed.vcd
    readers k.vcd
    ;;
refused)
    # Each path is refused before the program starts, and left as it was.
    mkdir directory
    mkfifo fifo
    printf 'int main(void) { return 0; }\n' >source.c
    ln -s nowhere/w.vcd dangling
    echo '$version other $end' >readonly.vcd
    chmod 444 readonly.vcd
    as=()
    if [ "$(id -u)" -eq 0 ]; then
        as=(setpriv --reuid=65534 --regid=65534 --clear-groups) # root may write anything
    fi
    velmo-board --board board reset
    cp board board.before
    for name in directory fifo source.c dangling readonly.vcd board missing/w.vcd; do
        [ -f "$name" ] && cp "$name" "$name.before"
        runner=()
        [ "$name" = readonly.vcd ] && runner=("${as[@]}")
        "${runner[@]}" velmo-emu --vcd "$name" --board board -- /bin/echo started >>refused.out 2>>refused.err </dev/null
        check_status "$name" 125 $?
        [ ! -f "$name.before" ] || cmp -s "$name" "$name.before" || fail "$name was changed"
    done
    # Nor the board file or the trace under another name, missing at first.
    velmo-emu --vcd new-board --board new-board -- /bin/echo started >>refused.out 2>>refused.err </dev/null
    check_status "the board file's own path" 125 $?
    velmo-emu --vcd t.vcd --trace t.vcd -- /bin/echo started >>refused.out 2>>refused.err </dev/null
    check_status "the trace's own path" 125 $?
    expect "output (no program may start)" empty refused.out
    [ ! -e nowhere ] && [ ! -e new-board ] && [ ! -e missing ] && [ ! -e t.vcd ] || fail "a refused path left something behind"
    cmp -s board board.before || fail "the board file was changed"
    expect "the reasons" vcd_refused.err refused.err
    ;;
write_failure)
    # A device that takes nothing: refused at the header, before the
    # program starts.
    velmo-emu --vcd /dev/full -- /bin/echo started >full.out 2>full.err
    check_status "/dev/full" 125 $?
    expect "output on /dev/full (the program may not start)" empty full.out
    expect "the message on /dev/full" vcd_write_failure_full.err full.err
    # A file size limit that the header fits in and the changes do not: the
    # run ends at the first change that does not fit, and the file is whole
    # up to the change before it. (SIGXFSZ ignored, so the write fails.)
    toggles=()
    for _ in $(seq 100); do toggles+=(out 6 1 out 6 0); done
    (trap '' XFSZ; ulimit -f 1; velmo-emu --vcd f.vcd -- gpio_client config 0x00 "${toggles[@]}" >/dev/null 2>f.err)
    check_status "a file size limit" 125 $?
    expect "the message at the file size limit" vcd_write_failure_limit.err f.err
    [ "$(tail -c 1 f.vcd | od -An -c | tr -d ' ')" = '\n' ] || fail "f.vcd ends inside a change"
    readers f.vcd
    ;;
uart)
    # uart_tx's bytes come back out of sigrok's UART decoder. It runs on
    # the board's clock, which the machine's other work does not disturb:
    # once, at no special priority.
    # 'Hi, Velmo!' in ASCII, as the decoder prints each byte:
    velmo-emu --clock board --vcd u.vcd -- uart_tx 'Hi, Velmo!' 2>uart.err
    check_status "uart_tx under velmo-emu --clock board" 0 $?
    expect "what uart_tx said" empty uart.err
    uart_decodes u.vcd 1200 vcd_uart.rx
    readers u.vcd
    # The README's picture is drawn from such a dump: one path a wire, and
    # a wire that is not there is refused.
    "$here/../../scripts/vcd2svg" -w line6,dir6 u.vcd >u.svg
    check_status "vcd2svg" 0 $?
    [ "$(grep -c '<path ' u.svg)" -eq 2 ] && [ "$(tail -n 1 u.svg)" = '</svg>' ] || fail "u.svg is not two waveforms"
    "$here/../../scripts/vcd2svg" -w line9 u.vcd >/dev/null 2>svg.err
    check_status "vcd2svg -w line9" 1 $?
    expect "vcd2svg's message" vcd_uart_svg.err svg.err
    ;;
*)
    die "unknown scenario $scenario"
    ;;
esac
finish
