#!/bin/bash
# The Debian packages that scripts/package made, read from the outside:
#   - each package's control fields and exactly its files (debs/<package>.files,
#     @TRIPLET@ standing for the multiarch directory);
#   - programs and Python extensions of the right architecture, stripped,
#     their debug symbols in
#     the -dbgsym package, each shared library they need in Depends with the
#     version dpkg-shlibdeps computed; the static velmo-emu's Built-Using;
#   - the objects as a client needs them (tests/library/check_object.sh);
#   - both libvelmogpio-dev unpacked into one root (dpkg -x): every file the
#     two have in common is the same in both, as dpkg requires of a
#     Multi-Arch: same package;
#   - from that root, examples/c/blink.c built with gcc and pkg-config for
#     each architecture (-m32 for i386) and examples/cpp with find_package
#     for each, then run under the packaged velmo-emu, their port traces compared with
#     blink.trace and walk.trace beside this script.
#   debs_test.sh SOURCE_DIR PACKAGE_DIR VERSION WORK_DIR
. "$(dirname "$0")/../support/lib.sh"
src=$1 debs=$2 version=$3 work=$4
here=$src/tests/packaging
triplet() { if [ "$1" = i386 ]; then echo i386-linux-gnu; else echo x86_64-linux-gnu; fi; }
elf() { if [ "$1" = i386 ]; then echo 'ELF 32-bit LSB .*Intel 80386'; else echo 'ELF 64-bit LSB .*x86-64'; fi; }
files() { (cd "$1" && find . -type f -o -type l | sed 's|^\./||' | sort); }

rm -rf "$work"
mkdir -p "$work" || die "cannot make $work"

for arch in amd64 i386; do
    t=$(triplet "$arch")
    for pkg in libvelmogpio-dev velmogpio velmo-emu velmo-test python3-velmogpio; do
        deb=$debs/${pkg}_${version}_$arch.deb
        [ -f "$deb" ] || die "no $deb"
        field() { dpkg-deb -f "$deb" "$1"; }
        got="$(field Package) $(field Version) $(field Architecture)"
        [ "$got" = "$pkg $version $arch" ] || die "$deb says it is \"$got\""
        dir=$work/$arch/$pkg
        mkdir -p "$work/$arch"
        dpkg -x "$deb" "$dir" || die "dpkg -x $deb"
        want=$(sed "s|@TRIPLET@|$t|" "$here/debs/$pkg.files" | sort)
        got=$(files "$dir")
        [ "$got" = "$want" ] || die "files of $deb (- expected, + got):"$'\n'"$(diff <(echo "$want") <(echo "$got"))"

        if [ "$pkg" = libvelmogpio-dev ]; then
            [ "$(field Multi-Arch)" = same ] || die "$deb is Multi-Arch: \"$(field Multi-Arch)\", not same"
            object_arch=native
            [ "$arch" = amd64 ] || object_arch=$arch
            "$src/tests/library/check_object.sh" "$dir/usr/lib/$t/velmogpio/VELMOGPIOLib.o" object "$object_arch" >"$work/check.log" 2>&1 \
                || die "the object in $deb: $(cat "$work/check.log")"
            continue
        fi

        # velmo-emu is linked statically: Built-Using names the sources of
        # the C library and of GCC's runtime that this architecture's build
        # links (Debian's cross toolchain's own for i386).
        built_using=$(field Built-Using)
        case $pkg-$arch in
            velmo-emu-amd64) want='gcc-12 \(= [^)]+\), glibc \(= [^)]+\)' ;;
            velmo-emu-i386) want='cross-toolchain-base \(= [^)]+\), gcc-12-cross \(= [^)]+\)' ;;
            *) want= ;;
        esac
        [[ $built_using =~ ^$want$ ]] || die "$deb has Built-Using \"$built_using\", not \"$want\""
        depends=$(field Depends)
        dbgsym=$debs/$pkg-dbgsym_${version}_$arch.deb
        [ -f "$dbgsym" ] || die "no $dbgsym"
        dpkg -x "$dbgsym" "$dir.dbgsym" || die "dpkg -x $dbgsym"
        # The Python module's Depends are dh_python3's: the Python 3.11 that
        # its extension was built for.
        if [ "$pkg" = python3-velmogpio ]; then
            for dep in 'python3 \(<< 3\.12\)' 'python3 \(>= 3\.11~\)'; do
                # shellcheck disable=SC2001 # one name a line
                sed 's/, /\n/g' <<<"$depends" | grep -qxE "$dep" || die "$deb: Depends \"$depends\" has no $dep"
            done
        fi
        for program in "$dir"/usr/bin/* "$dir"/usr/lib/python3/dist-packages/*/*.so; do
            [ -e "$program" ] || continue
            name="$arch $pkg: $(basename "$program")"
            info=$(file -b "$program")
            grep -qE "$(elf "$arch")" <<<"$info" || die "$name is not $arch: $info"
            [[ $info == *", stripped"* ]] || die "$name is not stripped: $info"
            id=$(readelf -n "$program" | sed -n 's/.*Build ID: \([0-9a-f]*\)$/\1/p')
            [ -n "$id" ] && [ -f "$dir.dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ] \
                || die "$name: no debug symbols for build ID \"$id\" in $dbgsym"
            for lib in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
                case $lib in
                    libc.so.6|libm.so.6) dep=libc6 ;;
                    libstdc++.so.6) dep=libstdc++6 ;;
                    libgcc_s.so.1) dep=libgcc-s1 ;;
                    libyaml-cpp.so.0.7) dep=libyaml-cpp0.7 ;;
                    *) die "$name needs $lib, which no known package gives" ;;
                esac
                # shellcheck disable=SC2001 # one name a line
                sed 's/, /\n/g' <<<"$depends" | grep -qxE "${dep//+/\\+} \(>= [^)]+\)" \
                    || die "$name needs $lib, but Depends \"$depends\" has no versioned $dep"
            done
        done
    done
done

# The two libvelmogpio-dev side by side.
amd=$work/amd64/libvelmogpio-dev i386=$work/i386/libvelmogpio-dev
common=$(comm -12 <(files "$amd") <(files "$i386"))
want="usr/include/VELMOGPIOLib.h
usr/share/doc/libvelmogpio-dev/changelog.gz
usr/share/doc/libvelmogpio-dev/copyright"
[ "$common" = "$want" ] || die "files in both libvelmogpio-dev packages:"$'\n'"$common"
for file in $common; do
    cmp -s "$amd/$file" "$i386/$file" || die "$file differs between the amd64 and i386 libvelmogpio-dev"
done

# A PC's root: both libraries, the amd64 programs.
pc=$work/pc
for deb in libvelmogpio-dev_${version}_amd64 libvelmogpio-dev_${version}_i386 velmo-emu_${version}_amd64; do
    dpkg -x "$debs/$deb.deb" "$pc" || die "dpkg -x $deb.deb"
done
emu=$pc/usr/bin/velmo-emu
skip_i386=
cd "$work" || exit 1
export ASAN_OPTIONS=
for arch in amd64 i386; do
    t=$(triplet "$arch")
    flags=()
    [ "$arch" = amd64 ] || flags=(-m32)
    # shellcheck disable=SC2207
    pc_flags=($(PKG_CONFIG_SYSROOT_DIR=$pc PKG_CONFIG_LIBDIR=$pc/usr/lib/$t/pkgconfig pkg-config --cflags --libs velmogpio))
    want="-I$pc/usr/include $pc/usr/lib/$t/velmogpio/VELMOGPIOLib.o"
    [ "${pc_flags[*]}" = "$want" ] || die "$arch pkg-config --cflags --libs gives \"${pc_flags[*]}\", not \"$want\""
    gcc "${flags[@]}" -std=c99 -Wall -Wextra -Wpedantic -Werror "$src/examples/c/blink.c" "${pc_flags[@]}" \
        -o "blink-$arch" >build.log 2>&1 || die "gcc ${flags[*]} could not build blink against the $arch package:"$'\n'"$(cat build.log)"
    file -b "blink-$arch" | grep -qE "$(elf "$arch")" || die "blink-$arch is $(file -b "blink-$arch")"

    if [ "$arch" = i386 ] && { "./blink-$arch" 0 >/dev/null 2>&1; [ $? -ne 2 ]; }; then
        echo "SKIPPED: this kernel runs no i386 program; the i386 clients are built, not run"
        skip_i386=yes
        continue
    fi
    "$emu" --trace "trace-$arch.txt" --line 3=1 -- "./blink-$arch" 2 >out.txt 2>err.txt
    status=$?
    want="line 6 blinked 2 times; line 3 is high"
    [ $status -eq 0 ] && [ "$(cat out.txt)" = "$want" ] \
        || die "blink-$arch under the packaged velmo-emu: status $status:"$'\n'"$(cat out.txt err.txt)"
    diff -u "$here/blink.trace" "trace-$arch.txt" || die "port trace of blink-$arch differs (- expected, + got)"
done

# CMake's find_package in the PC's root: the package finds its own prefix.
# A -m32 build names the multiarch directory, which CMake cannot tell from a
# multilib compiler.
for arch in amd64 i386; do
    t=$(triplet "$arch")
    flags=(-DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror")
    [ "$arch" = amd64 ] || flags=(-DCMAKE_CXX_FLAGS="-m32 -Wall -Wextra -Wpedantic -Werror" -DCMAKE_LIBRARY_ARCHITECTURE="$t")
    cmake -S "$src/examples/cpp" -B "walk-$arch" -DCMAKE_PREFIX_PATH="$pc/usr" -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF \
        "${flags[@]}" >build.log 2>&1 \
        && cmake --build "walk-$arch" >>build.log 2>&1 || die "CMake could not build walk for $arch:"$'\n'"$(cat build.log)"
    found=$(sed -n 's/^VelmoGPIO_DIR:PATH=//p' "walk-$arch/CMakeCache.txt")
    [ "$found" = "$pc/usr/lib/$t/cmake/VelmoGPIO" ] || die "find_package for $arch used \"$found\""
    file -b "walk-$arch/walk" | grep -qE "$(elf "$arch")" || die "walk for $arch is $(file -b "walk-$arch/walk")"
    [ "$arch" = amd64 ] || [ -z "$skip_i386" ] || continue
    "$emu" --trace "trace-walk-$arch.txt" --line 1=1 --line 4=1 --line 5=1 -- "walk-$arch/walk" >out.txt 2>err.txt
    status=$?
    want="walked lines 5-8; inputs: 1=1 2=0 3=0 4=1"
    [ $status -eq 0 ] && [ "$(cat out.txt)" = "$want" ] || die "walk for $arch: status $status:"$'\n'"$(cat out.txt err.txt)"
    diff -u "$here/walk.trace" "trace-walk-$arch.txt" || die "port trace of walk for $arch differs (- expected, + got)"
done
echo "packages of both architectures, side by side, with clients built against them: ok"
