#!/bin/sh
# Debian's 32-bit bash and dash for the end-to-end shell tests, unpacked
# into /opt/quarrow-test/i386-shells (bin/bash, bin/dash) rather than
# installed: the machine's own /bin/bash and /bin/dash stay 64-bit. Their
# one 32-bit library beyond the C library, libtinfo6:i386, is installed
# beside its 64-bit twin (multiarch). Does nothing when both are there.
set -eu
target=${QUARROW_I386_SHELLS:-/opt/quarrow-test/i386-shells}
if [ -x "$target/bin/bash" ] && [ -x "$target/bin/dash" ] && "$target/bin/bash" -c : 2>/dev/null; then
  exit 0
fi
echo "install-i386-shells: unpacking bash:i386 and dash:i386 into $target" >&2
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libc6:i386 libtinfo6:i386 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's download user cannot write to a root-only temporary folder
chmod 755 "$work"
(cd "$work" && apt-get download -qq bash:i386 dash:i386)
rm -rf "$target"
mkdir -p "$target"
for deb in "$work"/*.deb; do
  dpkg -x "$deb" "$target"
done
"$target/bin/bash" -c :
"$target/bin/dash" -c :
