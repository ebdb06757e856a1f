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
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null \
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
    velmo_need_packages cmake make g++ g++-multilib googletest binutils file pkg-config libbenchmark-dev
    velmo_i386_runs_natively || velmo_need_packages qemu-user
}

velmo_test_deps() {
    velmo_build_deps
    velmo_need_packages tmux gtkwave sigrok-cli
}
