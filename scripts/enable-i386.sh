#!/bin/sh
# Makes 32-bit x86 programs runnable on this machine.
#
# Some x86_64 kernels are built without 32-bit support, and then every 32-bit
# program fails with "Exec format error". There the kernel's binfmt_misc
# hands 32-bit ELF files to qemu's user-mode emulator (the static build, so
# that LD_PRELOAD reaches only the emulated program). Does nothing where
# 32-bit programs already run. Needs root when it has work to do.
set -eu

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void){return 0;}\n' > "$probe_dir/probe.c"
gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe"
if "$probe_dir/probe" 2>/dev/null; then
  exit 0
fi

emulator=/usr/bin/qemu-i386-static
if [ ! -x "$emulator" ]; then
  echo "enable-i386: installing qemu-user-static to run 32-bit programs" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq qemu-user-static >/dev/null
fi
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/quarrow-i386" ]; then
  # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386)
  printf '%s' ':quarrow-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' > "$binfmt/register"
fi
if ! "$probe_dir/probe"; then
  echo "enable-i386: 32-bit programs still do not run on this machine" >&2
  exit 1
fi
echo "enable-i386: 32-bit programs run through $emulator" >&2
