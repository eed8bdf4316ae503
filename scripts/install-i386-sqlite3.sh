#!/bin/sh
# Debian's 32-bit sqlite3 shell for the end-to-end sqlite3 test, unpacked
# into /opt/quarrow-test/i386-sqlite3 (usr/bin/sqlite3) rather than
# installed: the package cannot stand beside the machine's 64-bit sqlite3.
# Its 32-bit libraries (libsqlite3-0, libreadline8, zlib1g) are installed
# beside their 64-bit twins (multiarch). Does nothing when it runs already.
set -eu
target=${QUARROW_I386_SQLITE3:-/opt/quarrow-test/i386-sqlite3}
if [ -x "$target/usr/bin/sqlite3" ] && "$target/usr/bin/sqlite3" -version >/dev/null 2>&1; then
  exit 0
fi
echo "install-i386-sqlite3: unpacking sqlite3:i386 into $target" >&2
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libc6:i386 libsqlite3-0:i386 libreadline8:i386 zlib1g:i386 >/dev/null
# the shell wants exactly its own version of the library
version=$(dpkg-query -W -f '${Version}' libsqlite3-0:i386)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's download user cannot write to a root-only temporary folder
chmod 755 "$work"
(cd "$work" && apt-get download -qq "sqlite3:i386=$version")
rm -rf "$target"
mkdir -p "$target"
for deb in "$work"/*.deb; do
  dpkg -x "$deb" "$target"
done
"$target/usr/bin/sqlite3" -version >/dev/null
