#!/bin/bash
# The .deb of this build: CPack makes it, dpkg-deb reads its control fields,
# dpkg -x unpacks it into a scratch root whose files are then checked.
#   deb_test.sh BUILD_DIR WORK_DIR ARCH OBJECT [FILE...]
set -u
build=$1 work=$2 arch=$3 object=$4
shift 4
extra=("$@")  # files of the other parts built in this tree
fail() { echo "FAILED: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work" || fail "cannot make $work"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 \
    || fail "cpack:"$'\n'"$(cat "$work/cpack.log")"
deb=$work/velmogpio_1.0.0_$arch.deb
[ -f "$deb" ] || fail "no $deb; cpack made: $(ls "$work")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmogpio ] || fail "Package: $(field Package)"
[ "$(field Version)" = 1.0.0 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture), not $arch"
depends=$(field Depends)
# Is package $1 in Depends (with or without a version)?
depends_on() { sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends" | grep -qxF "$1"; }
depends_on libc6 || fail "Depends \"$depends\" lacks libc6"

root=$work/root
dpkg -x "$deb" "$root" || fail "dpkg -x"
want="usr/include/VELMOGPIOLib.h
usr/lib/cmake/VelmoGPIO/VelmoGPIOConfig.cmake
usr/lib/cmake/VelmoGPIO/VelmoGPIOConfigVersion.cmake
usr/lib/pkgconfig/velmogpio.pc
usr/lib/velmogpio/VELMOGPIOLib.o"
for file in "${extra[@]}"; do want+=$'\n'"usr/$file"; done
want=$(sort <<<"$want")
got=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$got" = "$want" ] || fail "files in the package differ:"$'\n'"$(diff <(echo "$want") <(echo "$got"))"
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
[ "$listed" = "$want" ] || fail "dpkg-deb -c lists other files"

cmp -s "$object" "$root/usr/lib/velmogpio/VELMOGPIOLib.o" || fail "packaged object differs from $object"
grep -qx 'prefix=/usr' "$root/usr/lib/pkgconfig/velmogpio.pc" || fail "velmogpio.pc does not say prefix=/usr"
if [ "$arch" = i386 ]; then elf='ELF 32-bit LSB.*Intel 80386'; else elf='ELF 64-bit LSB.*x86-64'; fi
file -b "$root/usr/lib/velmogpio/VELMOGPIOLib.o" | grep -qE "$elf" || fail "object is not $arch"

# Every shared library a program needs comes from a package it depends on.
for program in "$root"/usr/bin/*; do
    [ -e "$program" ] || continue
    file -b "$program" | grep -qE "$elf" || fail "$(basename "$program") is not $arch"
    for lib in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        case $lib in
            libc.so.6|libm.so.6|ld-linux*) pkg=libc6 ;;
            libstdc++.so.6) pkg=libstdc++6 ;;
            libgcc_s.so.1) pkg=libgcc-s1 ;;
            libasan.so.8) pkg=libasan8 ;;
            libubsan.so.1) pkg=libubsan1 ;;
            *) fail "$(basename "$program") needs $lib, which no dependency is known to give" ;;
        esac
        depends_on "$pkg" || fail "$(basename "$program") needs $lib but Depends \"$depends\" lacks $pkg"
    done
done
echo "$(basename "$deb"): $arch, depends on $depends: ok"
