#!/bin/bash
# Each program's --help and the OPTIONS section of its man page (found by
# the program's name anywhere in the source tree) name the same long
# options.
#   options_documented.sh SOURCE_DIR BIN_DIR PROGRAM...
. "$(dirname "$0")/../support/lib.sh"
# VELMO_LAUNCHER: what this build's programs run in where the kernel runs
# none of them (qemu-i386), if anything.
launcher=()
[ -z "${VELMO_LAUNCHER:-}" ] || launcher=("$VELMO_LAUNCHER")
src=$1 bin=$2
shift 2

# The long options a text names, one a line, sorted.
long_options() {
    grep -oE -- '--[a-z][a-z0-9-]*' | sort -u
}

for program in "$@"; do
    page=$(find "$src" -name "$program.1" -not -path "$src/build/*" | head -n 1)
    [ -n "$page" ] || { fail "$program: no $program.1 in the source tree"; continue; }
    "${launcher[@]}" "$bin/$program" --help >help.txt 2>&1 || fail "$program --help: exit status $?"
    long_options <help.txt >help.options
    # The section from ".SH OPTIONS" to the next ".SH", with roff's \- as -.
    sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$page" | sed 's/\\-/-/g' | long_options >page.options
    [ -s page.options ] || fail "$program: $page has no OPTIONS section naming an option"
    only_help=$(comm -23 help.options page.options | tr '\n' ' ')
    only_page=$(comm -13 help.options page.options | tr '\n' ' ')
    [ -z "$only_help" ] || fail "$program: --help names ${only_help}but ${page#"$src"/}'s OPTIONS does not"
    [ -z "$only_page" ] || fail "$program: ${page#"$src"/}'s OPTIONS names ${only_page}but --help does not"
done
finish
