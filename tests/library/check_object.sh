#!/bin/bash
# The delivered relocatable object: ELF type and machine, exactly the public
# global symbols of its edition, the buffer's size, and nothing from the C++
# runtime.
#   check_object.sh OBJECT object|demo native|i386
. "$(dirname "$0")/../support/lib.sh"
obj=$1 edition=$2 arch=$3

header=$(readelf -h "$obj") || die "readelf cannot read $obj"
grep -q 'Type:[[:space:]]*REL (Relocatable file)' <<<"$header" || die "not a relocatable object"
if [ "$arch" = i386 ]; then
    grep -q 'Class:[[:space:]]*ELF32' <<<"$header" && grep -q 'Machine:[[:space:]]*Intel 80386' <<<"$header" \
        || die "not ELF32 Intel 80386"
else
    grep -q 'Class:[[:space:]]*ELF64' <<<"$header" && grep -q 'Machine:[[:space:]]*Advanced Micro Devices X86-64' <<<"$header" \
        || die "not ELF64 x86-64"
fi

if [ "$edition" = demo ]; then
    ops="VELMOGPIOInit VELMOGPIOConfigure VELMOGPIOInputBit VELMOGPIOOutputBit seterror KVNGetLastError"
    size=35
else
    ops="VelmoGPIOInit VelmoGPIOConfig VelmoGPIOInputBit VelmoGPIOOutputBit KVNSetLastError KVNGetLastError"
    size=200
fi
# shellcheck disable=SC2086 # one name a word
want=$(printf '%s\n' $ops ReadIO WriteIO BaseAddress GPIO1_pos GPIO2_pos buffer error | sort)
# Sanitizer builds add their own instrumentation globals; they are not ours.
got=$(nm -g --defined-only "$obj" | awk '{print $3}' | grep -v -E '^(__asan|__ubsan|__odr_asan|__sanitizer)' | sort)
[ "$got" = "$want" ] || die "global symbols differ:"$'\n'"$(diff <(echo "$want") <(echo "$got"))"

bytes=$(nm -S "$obj" | awk '$4 == "buffer" {print $2}')
[ -n "$bytes" ] && [ $((16#$bytes)) -eq $size ] || die "buffer is 0x$bytes bytes, not $size"

runtime=$(nm -u "$obj" | awk '{print $2}' | grep -E '^(_Z|__cxa|__gxx|_Unwind)') && die "needs the C++ runtime: $runtime"
readelf -S "$obj" | grep -q -E '\.gcc_except_table|\.data\.rel\.ro\._ZT' && die "has exception or RTTI tables"
echo "$obj: $edition edition, $arch: ok"
