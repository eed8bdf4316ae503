#!/bin/sh
# sqlite3_under_tracker.sh QUARROW SQLITE3 WORKLOAD EXPECTED WORKDIR [UNWINDER]
#
# Runs WORKLOAD (workload.sql) with the sqlite3 shell SQLITE3 on a new
# database plainly, then under `quarrow run`, and checks: exit status 0 both
# times, the plain output equal to EXPECTED and the tracked output equal to
# the plain one, a report whose ALLOCATOR records have frames in
# libsqlite3.so.0, totals that fit the workload, and that the report reader
# takes the report and shows those frames among its top stacks.
#
# UNWINDER, when given, is the tracked run's PROFILER_UNWINDER. With "check"
# every capture is taken both ways and compared, and the run must end with
# one count line saying that some were compared and none differed.
#
# The launcher makes producers wait for room, so no run may lose an event.
set -u
quarrow=$1 sqlite3=$2 workload=$3 expected=$4 work=$5 unwinder=${6-}
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$(dirname "$0")/../tracked_run_checks.sh"

[ -x "$sqlite3" ] || fail "$sqlite3 is missing: run scripts/install-deps.sh"
[ -f "$workload" ] || fail "$workload is missing"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || fail "cannot make $work"

# The external sorter's temporary files go here rather than to /var/tmp;
# -init /dev/null keeps a ~/.sqliterc out of the runs.
SQLITE_TMPDIR=$work
export SQLITE_TMPDIR
"$sqlite3" -batch -bail -init /dev/null plain.db <"$workload" >plain.out 2>plain.err
status=$?
[ $status -eq 0 ] || { cat plain.err >&2; fail "sqlite3 alone exited with $status"; }
cmp -s "$expected" plain.out || { diff "$expected" plain.out >&2; fail "sqlite3 alone printed other results than $expected"; }

if [ -n "$unwinder" ]; then
  PROFILER_UNWINDER=$unwinder "$quarrow" run --write-period 5 -- \
    "$sqlite3" -batch -bail -init /dev/null tracked.db <"$workload" >tracked.out 2>tracked.err
else
  "$quarrow" run --write-period 5 -- \
    "$sqlite3" -batch -bail -init /dev/null tracked.db <"$workload" >tracked.out 2>tracked.err
fi
status=$?
cat tracked.err >&2
grep -q '^quarrow run: the launcher itself died' tracked.err && fail "the launcher itself died (its status $status is not sqlite3's)"
[ $status -eq 0 ] || fail "sqlite3 under the tracker exited with $status"
cmp -s plain.out tracked.out || { diff plain.out tracked.out >&2; fail "the output differs under the tracker"; }

find_report
[ "$unwinder" = check ] && check_unwinder_counts

# The last complete report (the one written at exit): its ALLOCATOR totals
# and how many of its ALLOCATOR records have a frame in libsqlite3.so.0.
totals=$(awk -F: '
  /^TIMESTAMP:/ { bytes = count = freed = frees = hits = 0 }
  /^STACK_/ { if (index($0, "/libsqlite3.so.0(")) hit = 1; next }
  /^TYPE:ALLOCATOR$/ { allocator = 1; if (hit) hits++; hit = 0; next }
  /^TYPE:/ { allocator = 0; hit = 0; next }
  allocator && /^TOTAL_ALLOCATED:/ { bytes += $2 }
  allocator && /^NUMBER_OF_ALLOCATIONS:/ { count += $2 }
  allocator && /^TOTAL_FREED:/ { freed += $2 }
  allocator && /^NUMBER_OF_FREES:/ { frees += $2 }
  /^END$/ { last = sprintf("%.0f %.0f %.0f %.0f %d", bytes, count, freed, frees, hits) }
  END { print last }
' "$report")
# shellcheck disable=SC2086 # five numbers, split on purpose
set -- $totals
[ $# -eq 5 ] || fail "no complete report in $report"
bytes=$1 count=$2 freed=$3 frees=$4 hits=$5
live=$((bytes - freed)) blocks=$((count - frees))
echo "ALLOCATOR totals: $bytes bytes in $count allocations, $freed bytes in $frees frees; live at exit $live bytes in $blocks blocks"
echo "ALLOCATOR records with a frame in libsqlite3.so.0: $hits"
[ "$hits" -gt 0 ] || fail "no ALLOCATOR record names libsqlite3.so.0"
# The workload builds tens of thousands of rows value by value, and one
# value of 8 MB; the shell closes its database before it exits, so little
# of it is still live then.
[ "$count" -gt 100000 ] || fail "only $count allocations recorded"
[ "$bytes" -gt 8000000 ] || fail "only $bytes bytes allocated"
[ "$live" -ge 0 ] && [ "$blocks" -ge 0 ] || fail "more freed than allocated"
[ "$live" -lt $((bytes / 100)) ] || fail "$live of $bytes bytes still live at exit"
# The reader must also agree on the live bytes and show libsqlite3.so.0
# in its top stacks.
check_reader_takes_report "$quarrow"
sed -n '/^Live:/p' summary.txt
reader_live=$(sed -n 's/^Live: \([0-9,]*\) bytes.*/\1/p' summary.txt | tr -d ,)
[ "$reader_live" = "$live" ] || fail "the reader counts ${reader_live:-no} live bytes, the report $live"
frames=$(grep -c ' in libsqlite3\.so\.0$' summary.txt)
echo "frames in libsqlite3.so.0 of the top stacks: $frames"
grep -m 3 ' in libsqlite3\.so\.0$' summary.txt
[ "$frames" -gt 0 ] || fail "no frame of the top stacks is in libsqlite3.so.0"
echo "PASS"
