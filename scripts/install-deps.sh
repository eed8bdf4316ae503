#!/bin/sh
# Installs what building and testing Quarrow needs on Debian 12 x86_64, then
# makes sure 32-bit programs can run. Installs only what is missing; needs
# root when it has work to do.
set -eu

need=""
dpkg -s g++-multilib >/dev/null 2>&1 || need="$need g++-multilib"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v nm >/dev/null 2>&1 || need="$need binutils"
[ -d /usr/src/googletest ] || need="$need googletest"
command -v make >/dev/null 2>&1 || need="$need make"
# the 64-bit quarrow command (its offline lookups use elfutils' libdw), its
# 64-bit tests and the browser check of its page
command -v pkg-config >/dev/null 2>&1 || need="$need pkg-config"
for p in libcli11-dev nlohmann-json3-dev libfmt-dev libgtest-dev libdw-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || need="$need $p"
done
command -v chromium >/dev/null 2>&1 || need="$need chromium"
# the 64-bit sqlite3 shell of the end-to-end sqlite3 test
dpkg -s sqlite3 >/dev/null 2>&1 || need="$need sqlite3"

if [ -n "$need" ]; then
  echo "install-deps: installing$need" >&2
  apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi

"$(dirname "$0")/enable-i386.sh"

# the 32-bit Java VM of the end-to-end test, and a compiler for its source
"$(dirname "$0")/install-java.sh"

# Debian's 32-bit bash and dash, for the end-to-end tests of real shells
"$(dirname "$0")/install-i386-shells.sh"

# Debian's 32-bit sqlite3 shell, for the end-to-end sqlite3 test
"$(dirname "$0")/install-i386-sqlite3.sh"
