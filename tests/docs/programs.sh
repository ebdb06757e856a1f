#!/bin/bash
# The programs the project delivers are named alike everywhere: what
# `cmake --install` installs, what the Debian packages hold and the man
# pages they carry, and what the README and the packaging guide list.
#   programs.sh SOURCE_DIR
. "$(dirname "$0")/../support/lib.sh"
src=$1
cd "$src" || die "cd $src"

# one NAME a line, sorted
lines() { tr ' ' '\n' | sed '/^$/d' | sort; }
# The backticked words of TEXT.
quoted() { grep -o '`[^`]*`' | tr -d '`' | lines; }
same() { # WHAT WANT GOT
    [ "$2" = "$3" ] || fail "$1 names \"$(tr '\n' ' ' <<<"$3")\", not the programs installed: \"$(tr '\n' ' ' <<<"$2")\""
}

installed=$(sed -n '/^set(VELMO_PROGRAMS/,/)/{/^set(/d;/)/d;p}' cmake/Install.cmake | lines)
[ "$(wc -l <<<"$installed")" -ge 4 ] || die "no program list in cmake/Install.cmake"

same "debian/*.install (usr/bin)" "$installed" \
    "$(sed -n 's|^usr/bin/||p' debian/*.install | lines)"
same "debian/*.manpages" "$installed" \
    "$(sed -n 's|^usr/share/man/man1/\(.*\)\.1$|\1|p' debian/*.manpages | lines)"

# The install table's bin/ row, and each package's row of the package
# table, hold exactly that package's programs.
same "docs/packaging.md, the bin/ row" "$installed" \
    "$(grep '^| `bin/` |' docs/packaging.md | cut -d'|' -f3 | quoted)"
for list in debian/*.install; do
    pkg=$(basename "$list" .install)
    want=$(sed -n 's|^usr/bin/||p' "$list" | lines)
    [ -n "$want" ] || continue
    row=$(grep "^| \`$pkg\` |" docs/packaging.md | cut -d'|' -f3)
    [ -n "$row" ] || { fail "docs/packaging.md: no row for the package $pkg"; continue; }
    same "docs/packaging.md, the $pkg row" "$want" \
        "$(quoted <<<"$row" | grep -Fx -f <(echo "$installed"))"
    # The README's sentence on the packages: `pkg` (`program`, ...)
    same "README.md, the $pkg package" "$want" \
        "$(tr '\n' ' ' <README.md | grep -o "\`$pkg\` (\`[^)]*)" | head -n 1 | sed 's/^[^(]*//' | quoted)"
done

# A page of a file format (section 5) is no program's: each is installed
# and named in the README, and one the packages carry is in the tree.
while read -r page; do
    name=$(basename "$page" .5)
    grep -q "/$name\.5 DESTINATION \${CMAKE_INSTALL_MANDIR}/man5" cmake/Install.cmake ||
        fail "cmake/Install.cmake does not install $page"
    grep -q "man 5 $name\`" README.md || fail "README.md does not point to man 5 $name"
done < <(find . -name '*.5' -not -path './build/*' -not -path './debian/*')
while read -r page; do
    [ -n "$(find . -name "$page" -not -path './build/*')" ] || fail "debian/*.manpages names $page, not in the tree"
done < <(sed -n 's|^usr/share/man/man5/||p' debian/*.manpages)

# Every program has its man page named in the README, and is in some guide.
for program in $installed; do
    grep -q "man $program\`" README.md || fail "README.md does not point to man $program"
    grep -qw -- "$program" docs/*.md || fail "no guide in docs/ names $program"
done
finish
