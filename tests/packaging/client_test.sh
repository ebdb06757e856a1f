#!/bin/bash
# Builds an example client out of tree against an install prefix, as a board
# user would, and runs it.
#   client_test.sh c|cpp refused|emulated SOURCE_DIR PREFIX WORK_DIR PROBE EMULATOR
#
#   c        examples/c/blink.c with gcc and `pkg-config --cflags --libs velmogpio`
#   cpp      examples/cpp with CMake and find_package(VelmoGPIO)
#   refused  run it with the real primitives where the kernel refuses port
#            access: it must stop at the first call with the library's
#            message for the kernel's answer (PROBE tells it)
#   emulated run it under velmo-emu with some input lines driven high and
#            compare the port trace with <name>.trace beside this script;
#            then once more with every access refused
#
# Environment: VELMO_CLIENT_FLAGS, compiler and linker flags of the preset
# (-m32, sanitizers); VELMO_RUNNER, what starts the preset's programs (qemu).
. "$(dirname "$0")/../support/lib.sh"
lang=$1 mode=$2 source=$3 prefix=$4 work=$5 probe=$6 emulator=$7
here=$(cd "$(dirname "$0")" && pwd)
flags=${VELMO_CLIENT_FLAGS:-}
runner=${VELMO_RUNNER:-}

if [ "$mode" = emulated ] && [ -n "$runner" ]; then
    skip "this preset's programs run through $runner, which velmo-emu cannot trace"
fi

rm -rf "$work"
mkdir -p "$work" || die "cannot make $work"
cd "$work" || exit 1

if [ "$lang" = c ]; then
    name=blink args=(2)
    # shellcheck disable=SC2046,SC2086
    gcc $flags -std=c99 -Wall -Wextra -Wpedantic -Werror "$source/examples/c/blink.c" \
        $(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs velmogpio) \
        -o blink >build.log 2>&1 || die "gcc could not build blink:"$'\n'"$(cat build.log)"
else
    name=walk args=()
    cmake -S "$source/examples/cpp" -B build -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF \
        -DCMAKE_CXX_FLAGS="$flags -Wall -Wextra -Wpedantic -Werror" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" >build.log 2>&1 \
        && cmake --build build >>build.log 2>&1 \
        || die "CMake could not build walk:"$'\n'"$(cat build.log)"
    found=$(sed -n 's/^VelmoGPIO_DIR:PATH=//p' build/CMakeCache.txt)
    [ "$found" = "$prefix/lib/cmake/VelmoGPIO" ] || die "find_package used \"$found\", not the prefix"
    cp build/walk walk
    # A 32-bit package is no use to a 64-bit client: find_package says so.
    if [[ " $flags " == *" -m32 "* ]]; then
        cmake -S "$source/examples/cpp" -B build64 -DCMAKE_PREFIX_PATH="$prefix" \
            -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF >build64.log 2>&1 \
            && die "a 64-bit client accepted the 32-bit package"
        grep -q '(32bit)' build64.log || die "no word of 32 bits from find_package:"$'\n'"$(cat build64.log)"
    fi
fi

if [ "$mode" = refused ]; then
    answer=$($runner "$probe") || { status=$?; echo "$answer"; exit $status; }
    case $answer in
    ENOSYS) why="this kernel has no port access (ioperm not implemented)." ;;
    EPERM) why="access denied (needs CAP_SYS_RAWIO)." ;;
    "EPERM rawio") why="access denied by the kernel (lockdown or container)." ;;
    *) why="access refused (error ${answer#errno })." ;;
    esac
    $runner "./$name" "${args[@]}" >out.txt 2>err.txt
    status=$?
    want="$name: configure: I/O port 0x507: $why"
    [ $status -eq 1 ] || die "$name exited $status, not 1"
    [ ! -s out.txt ] || die "$name printed: $(cat out.txt)"
    [ "$(cat err.txt)" = "$want" ] || die "$name said \"$(cat err.txt)\", not \"$want\""
    if [ "$lang" = c ]; then
        $runner ./blink 0 >out.txt 2>err.txt
        status=$?
        want='blink: COUNT must be a number from 1 to 1000, not "0"'
        [ $status -eq 2 ] && [ "$(cat err.txt)" = "$want" ] || die "blink 0: status $status, \"$(cat err.txt)\""
    fi
else
    # Outside levels on some input lines (and on output line 5, where the
    # latch must win); line 3 is bank 1 bit 3, lines 1 and 4 bits 0 and 4.
    if [ "$lang" = c ]; then
        outside=(--line '3=1')
        want="line 6 blinked 2 times; line 3 is high"
    else
        outside=(--line '1=1' --line '4=1' --line '5=1')
        want="walked lines 5-8; inputs: 1=1 2=0 3=0 4=1"
    fi
    # LeakSanitizer cannot run in a traced process (sanitize preset); the
    # refused run outside the emulator still checks for leaks.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
    "$emulator" --trace trace.txt "${outside[@]}" -- "./$name" "${args[@]}" >out.txt 2>err.txt
    status=$?
    [ $status -eq 0 ] || die "$name under velmo-emu exited $status:"$'\n'"$(cat out.txt err.txt)"
    [ "$(cat out.txt)" = "$want" ] || die "$name printed \"$(cat out.txt)\", not \"$want\""
    diff -u "$here/$name.trace" trace.txt || die "port trace of $name differs (- expected, + got)"

    # The board refuses access: the first request, and nothing after it.
    "$emulator" --trace denied.txt --deny -- "./$name" "${args[@]}" >out.txt 2>err.txt
    status=$?
    want="$name: configure: I/O port 0x507: access denied (needs CAP_SYS_RAWIO)."
    [ $status -eq 1 ] || die "$name refused under velmo-emu exited $status, not 1"
    [ "$(cat err.txt)" = "$want" ] || die "$name refused said \"$(cat err.txt)\", not \"$want\""
    [ "$(cat denied.txt)" = "ioperm 0x507 1 1 denied" ] || die "refused trace: $(cat denied.txt)"
fi
echo "$lang example, $mode: ok"
