#!/bin/bash
# scripts/apt-sources: the build root's suites taken from an apt
# configuration as a machine has it: a deb822 file holding the release, its
# updates and the security suite, a disabled stanza, a deb-src one, a key
# given inline, and a one-line sources.list with options and comments.
#   apt_sources_test.sh SOURCE_DIR
. "$(dirname "$0")/../support/lib.sh"
script=$1/scripts/apt-sources
temp_dir
mkdir -p etc/sources.list.d
cat >etc/sources.list.d/debian.sources <<'SOURCES'
Types: deb
# a mirror of the archive
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm
Components: main

Types: deb
URIs: http://old.example/debian
Suites: bookworm
Components: main
Enabled: no

Types: deb
URIs: http://inline.example/debian
Suites: bookworm-backports
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBGPL0BUBEADmW5NdOOHwPIJlgPu6JDcKw/NZJPR8lsD3K87ZM18gIOhyJcai
 -----END PGP PUBLIC KEY BLOCK-----
SOURCES
cat >etc/sources.list <<'LIST'
# the local mirror
deb [arch=amd64,i386 trusted=yes] http://local.example/debian   bookworm main  # near
deb-src http://local.example/debian bookworm main
LIST
printf 'deb http://ignored.example/debian bookworm main\n' >etc/sources.list.d/ignored.list.disabled

VELMO_APT_ETC=$dir/etc "$script" bookworm bookworm-updates bookworm-backports >found 2>&1
check_status "the release, its updates and the backports" 0 $?
expect "the entries" apt_sources.out found

VELMO_APT_ETC=$dir/etc "$script" bookworm-proposed-updates >missing 2>&1
check_status "a suite in no source" 1 $?
expect "its message" apt_sources_missing.err missing
finish
