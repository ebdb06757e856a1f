#!/bin/bash
# Runs inside the packages' build root (scripts/package --check): installs
# the packages with dpkg as a PC has them (both libvelmogpio-dev side by
# side, the amd64 programs) and as a board has them (the i386 programs),
# runs the installed programs on the virtual board (velmo-test on the blink
# example's scenario), and removes them again.
#   install_test.sh DIR VERSION      DIR/amd64 and DIR/i386 hold the .debs
. "$(dirname "$0")/../support/lib.sh"
dir=$1 version=$2
packages="libvelmogpio-dev:amd64 libvelmogpio-dev:i386 velmogpio:amd64 velmo-emu:amd64 velmo-test:amd64 python3-velmogpio:amd64 velmogpio:i386 velmo-emu:i386 velmo-test:i386"
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
# shellcheck disable=SC2086 # $packages: one package a word
purge() { dpkg --purge $packages >/dev/null 2>&1; }
cleanup() { purge; rm -rf "$work"; }
deb() { echo "$dir/$2/$1_${version}_$2.deb"; }
installed() { dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' "$@" 2>&1 | sort; }
purge

# The PC: dpkg takes both architectures of the Multi-Arch: same package.
dpkg -i "$(deb libvelmogpio-dev amd64)" "$(deb libvelmogpio-dev i386)" \
    "$(deb velmogpio amd64)" "$(deb velmo-emu amd64)" "$(deb velmo-test amd64)" "$(deb python3-velmogpio amd64)" >"$dir/install.log" 2>&1 \
    || die "dpkg -i of the PC's packages:"$'\n'"$(cat "$dir/install.log")"
want="libvelmogpio-dev:amd64 install ok installed
libvelmogpio-dev:i386 install ok installed
python3-velmogpio:amd64 install ok installed
velmo-emu:amd64 install ok installed
velmo-test:amd64 install ok installed
velmogpio:amd64 install ok installed"
got=$(installed libvelmogpio-dev:amd64 libvelmogpio-dev:i386 velmogpio velmo-emu velmo-test python3-velmogpio)
[ "$got" = "$want" ] || die "installed on the PC:"$'\n'"$got"

# The installed programs, found on PATH, on the virtual board.
got=$(velmo-emu --line 3=1 velmogpio get 3 2>&1) && [ "$got" = "3=1" ] \
    || die "velmo-emu --line 3=1 velmogpio get 3 said \"$got\", not \"3=1\""
got=$(printf '2\n3\n' | velmo-emu --line 3=1 VelmoGPIO 2>&1 | grep '^GPIO 3 = ')
[ "$got" = "GPIO 3 = 0x1" ] || die "VelmoGPIO under velmo-emu read \"$got\", not \"GPIO 3 = 0x1\""
# velmo-test on the blink example's scenario, blink built against the
# installed library and found on PATH, as the scenario names it.
gcc "$src/examples/c/blink.c" /usr/lib/x86_64-linux-gnu/velmogpio/VELMOGPIOLib.o -o "$work/blink" \
    >"$dir/install.log" 2>&1 || die "blink against the installed library:"$'\n'"$(cat "$dir/install.log")"
got=$(PATH=$work:$PATH velmo-test "$src/examples/scenarios/blink.yaml" 2>&1)
status=$?
# One line for the scenario, and the count with the seed.
[ $status -eq 0 ] && [[ $got =~ ^PASS\ blink\ [0-9]+\.[0-9]{2}s$'\n'1\ passed,\ 0\ failed\ \(seed\ [0-9]+\)$ ]] \
    || die "velmo-test on examples/scenarios/blink.yaml: status $status, said \"$got\", not \"PASS blink <seconds>s\" and the count"
# The Python module, imported by Debian's python3, on the virtual board.
python3 -c 'import velmogpio' >"$dir/install.log" 2>&1 || die "import velmogpio:"$'\n'"$(cat "$dir/install.log")"
got=$(velmo-emu --line 3=1 -- python3 -c 'import velmogpio; print(velmogpio.get(3))' 2>&1) && [ "$got" = 1 ] \
    || die "velmogpio.get(3) under velmo-emu --line 3=1 said \"$got\", not \"1\""
purge

# The board: its own build of the programs. (Its python3-velmogpio wants
# the i386 python3, which cannot replace the build root's own: it is
# checked from outside, by debs_test.sh.)
dpkg -i "$(deb velmogpio i386)" "$(deb velmo-emu i386)" "$(deb velmo-test i386)" >"$dir/install.log" 2>&1 \
    || die "dpkg -i of the board's packages:"$'\n'"$(cat "$dir/install.log")"
want="velmo-emu:i386 install ok installed
velmo-test:i386 install ok installed
velmogpio:i386 install ok installed"
got=$(installed velmogpio velmo-emu velmo-test)
[ "$got" = "$want" ] || die "installed on the board:"$'\n'"$got"
if velmogpio --version >/dev/null 2>&1; then
    got=$(velmo-emu --line 3=1 velmogpio get 3 2>&1) && [ "$got" = "3=1" ] \
        || die "the i386 velmo-emu --line 3=1 velmogpio get 3 said \"$got\", not \"3=1\""
    velmo-test --version >"$dir/install.log" 2>&1 || die "the i386 velmo-test --version:"$'\n'"$(cat "$dir/install.log")"
else
    echo "SKIPPED: this kernel runs no i386 program; the board's programs were installed, not run"
fi
purge
# shellcheck disable=SC2086
[ -z "$(dpkg-query -W $packages 2>/dev/null)" ] || die "left installed: $(installed $packages)"
rm -rf "$work"
echo "installed as on a PC and as on a board, run, removed: ok"
