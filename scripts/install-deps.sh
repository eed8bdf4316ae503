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

if [ -n "$need" ]; then
  echo "install-deps: installing$need" >&2
  apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi

"$(dirname "$0")/enable-i386.sh"
