#!/bin/sh
# Installs the 32-bit Java runtime that the end-to-end test runs under the
# tracker, and a compiler for its Java source. The compiler is the native
# JDK: it runs at full speed and its class files run on the 32-bit VM.
# Installs only what is missing; needs root when it has work to do.
set -eu

need=""
update=""
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-java: adding the i386 architecture" >&2
  dpkg --add-architecture i386
  # the new architecture's package lists exist only after an update
  update=yes
fi
# Looks for the programs rather than asking dpkg: a removed package whose
# configuration files remain still passes `dpkg -s`.
# The i386 runtime must carry the native JDK's exact version; apt upgrades
# the JDK along with it when the archive has moved on
[ -x /usr/lib/jvm/java-17-openjdk-i386/bin/java ] || need="$need openjdk-17-jre-headless:i386"
[ -x /usr/lib/jvm/java-17-openjdk-amd64/bin/javac ] || need="$need openjdk-17-jdk-headless:amd64"

if [ -n "$need" ] || [ -n "$update" ]; then
  apt-get update -qq
fi
if [ -n "$need" ]; then
  echo "install-java: installing$need" >&2
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi
