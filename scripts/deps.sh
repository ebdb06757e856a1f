# shellcheck shell=bash
# Sourced by the project's scripts: makes sure the build's tools are here.
# As root on Debian it installs what is missing; otherwise it prints the
# apt-get line and stops.

velmo_need_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq -o DPkg::Lock::Timeout=600 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null \
            || { echo "apt-get install ${missing[*]} failed" >&2; exit 1; }
    else
        echo "Missing packages. Run as root:" >&2
        echo "  apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

# Does a 32-bit x86 program run on this kernel? (Needs g++-multilib.)
velmo_i386_runs_natively() {
    local dir
    dir=$(mktemp -d) || return 1
    printf 'int main(void){return 0;}\n' > "$dir/p.c"
    gcc -m32 "$dir/p.c" -o "$dir/p" 2>/dev/null && "$dir/p" 2>/dev/null
    local rc=$?
    rm -rf "$dir"
    return $rc
}

velmo_build_deps() {
    velmo_need_packages cmake make g++ g++-multilib googletest binutils file pkg-config libbenchmark-dev libyaml-cpp-dev python3-dev
    velmo_i386_runs_natively || velmo_need_packages qemu-user
}

velmo_test_deps() {
    velmo_build_deps
    velmo_need_packages tmux gtkwave sigrok-cli shellcheck clang-format
}

# Every shell script of the project, one a line, from the top of the tree
# (the current directory).
velmo_shell_scripts() {
    local f
    for f in scripts/* bench/*.sh .ci/run; do
        [ -f "$f" ] && echo "$f"
    done
    find tests -name '*.sh' | sort
}

# The C and C++ sources that .clang-format's style holds for.
velmo_c_sources() {
    find library demo sim emulator tools toolkit python tests bench examples \
        \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -type f | sort
}

# scripts/package: the build root is made with mmdebstrap; the checks of the
# packages build C clients, 64- and 32-bit, and a C++ one with CMake.
velmo_package_deps() {
    velmo_need_packages mmdebstrap
}
velmo_package_check_deps() {
    velmo_need_packages gcc gcc-multilib g++ cmake make binutils file pkg-config
}

# What the packages' build root holds beside Debian's essential packages and
# build-essential: debian/control's Build-Depends (debhelper, cmake,
# libyaml-cpp-dev, dh-python, python3-dev), Debian's cross toolchain for
# i386 with the i386 C and C++ libraries, yaml-cpp's i386 runtime and
# Python's i386 headers (multiarch; dpkg-shlibdeps reads their symbols),
# and lintian. (crossbuild-essential-i386 conflicts with
# gcc-multilib, which the i386 preset needs, so it stays inside the build
# root.) libyaml-cpp-dev is one architecture's at a time: scripts/package
# swaps it before each build (VELMO_BUILD_ROOT_SWAPPED).
# shellcheck disable=SC2034 # read by scripts/package
VELMO_BUILD_ROOT_PACKAGES=(debhelper cmake libyaml-cpp-dev dh-python python3-dev crossbuild-essential-i386 libc6-dev:i386 libstdc++-12-dev:i386 libyaml-cpp0.7:i386 libpython3-dev:i386 lintian)
# Build-Depends that Debian 12 has for one architecture at a time (not
# Multi-Arch: same): the build root keeps the .debs of both architectures,
# fetched when it is made, and installs the one each build needs.
# shellcheck disable=SC2034 # read by scripts/package
VELMO_BUILD_ROOT_SWAPPED=(libyaml-cpp-dev)
