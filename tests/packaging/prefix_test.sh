#!/bin/bash
# `cmake --install` into a fresh prefix: exactly the expected files, the
# object as built, and pkg-config's answer for a client. A prefix other
# than /usr gets lib/, not a multiarch directory.
#   prefix_test.sh BUILD_DIR PREFIX OBJECT
. "$(dirname "$0")/../support/lib.sh"
build=$1 prefix=$2 object=$3

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null || die "cmake --install"

want="bin/VelmoGPIO
bin/velmo-board
bin/velmo-emu
bin/velmogpio
include/VELMOGPIOLib.h
lib/cmake/VelmoGPIO/VelmoGPIOConfig.cmake
lib/cmake/VelmoGPIO/VelmoGPIOConfigVersion.cmake
lib/pkgconfig/velmogpio.pc
lib/velmogpio/VELMOGPIOLib.o
share/man/man1/VelmoGPIO.1
share/man/man1/velmo-board.1
share/man/man1/velmo-emu.1
share/man/man1/velmogpio.1"
# velmo-test is built where yaml-cpp is there for the build's target.
if [ -x "$build/bin/velmo-test" ]; then
    want+=$'\nbin/velmo-test\nshare/man/man1/velmo-test.1\nshare/man/man5/velmo-scenario.5'
fi
# The Python package, where the build makes it (not in the i386 and
# sanitize presets).
if [ -d "$build/python/velmogpio" ]; then
    py=lib/python3/dist-packages/velmogpio
    so=$(cd "$build/python/velmogpio" && echo _velmogpio.*.so)
    want+=$'\n'"$py/__init__.py"$'\n'"$py/__init__.pyi"$'\n'"$py/py.typed"$'\n'"$py/$so"
fi
want=$(LC_ALL=C sort <<<"$want")
got=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$got" = "$want" ] || die "installed files differ:"$'\n'"$(diff <(echo "$want") <(echo "$got"))"

cmp -s "$object" "$prefix/lib/velmogpio/VELMOGPIOLib.o" || die "installed object differs from $object"
for program in VelmoGPIO velmo-board velmo-emu velmogpio; do
    [ -x "$prefix/bin/$program" ] || die "bin/$program is not executable"
done

pc() { PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config "$@" velmogpio; }
[ "$(pc --modversion)" = "1.0.0" ] || die "pkg-config --modversion: $(pc --modversion)"
want="-I$prefix/include $prefix/lib/velmogpio/VELMOGPIOLib.o"
got=$(pc --cflags --libs | sed "s/ *$//")  # pkg-config ends with a space
[ "$got" = "$want" ] || die "pkg-config --cflags --libs gives \"$got\", not \"$want\""
echo "install into $prefix: ok"
