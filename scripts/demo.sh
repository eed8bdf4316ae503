#!/bin/sh
# The main job: installs what is missing, builds everything, runs the bundled
# example host (examples/leaky_service.c) under the tracker with a write
# period of one second, and shows what the report reader makes of its report.
#
#   scripts/demo.sh [SECONDS]    how long the example runs (default 4)
#
# The report reader names the C library's internal functions and their
# source lines from Debian's detached debug files for the 32-bit C library
# (libc6-dbg:i386), which this installs; without them those frames keep the
# names the tracker saw, and the demo says so.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
if ! dpkg -s libc6-dbg:i386 >/dev/null 2>&1; then
  echo "demo: installing libc6-dbg:i386, the C library's debug information" >&2
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libc6-dbg:i386 >/dev/null; }; then
    echo "demo: libc6-dbg:i386 could not be installed: C library frames will keep the tracker's names," >&2
    echo "demo: without source lines; the example's own frames still get theirs" >&2
  fi
fi
cmake -S . -B build
cmake --build build -j"$(nproc)"

seconds=${1:-4}
quarrow=$PWD/build/tools/quarrow/quarrow
# A directory of its own, so the report found afterwards is this run's.
demo_dir=build/demo
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
cd "$demo_dir"
"$quarrow" run --write-period 1 -- ../examples/leaky_service "$seconds"
report=$(ls native_memory_*.log)
echo
echo "== The last report of $demo_dir/$report, as the report reader sums it up =="
"$quarrow" report --top 5 "$report"
echo
echo "== How the leak grew from report to report =="
"$quarrow" report --growth "$report"
