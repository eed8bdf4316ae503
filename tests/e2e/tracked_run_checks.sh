# Checks that the end-to-end scripts of real programs share. Sourced after
# the script has defined fail() and gone into its working directory, where
# the tracked run left tracked.out and tracked.err beside plain.out.

# Sets report to the file the launcher named, and checks the banner.
find_report() {
  report=$(sed -n 's/^quarrow run: tracking PID [0-9]*; report: //p' tracked.err)
  [ -n "$report" ] && [ -f "$report" ] || fail "no report file named by the launcher"
  grep -q "Linux Quarrow Version 1.0 Configured" tracked.err || fail "no banner"
}

# Check mode's count line: exactly one, some captures compared, none
# differing from backtrace, and no mismatch described.
check_unwinder_counts() {
  counts=$(grep '^QUARROW UNWINDER CHECK: [0-9]* captures compared' tracked.err)
  [ "$(printf '%s\n' "$counts" | grep -c .)" -eq 1 ] || fail "wanted one QUARROW UNWINDER CHECK count line, got: $counts"
  line='^QUARROW UNWINDER CHECK: \([0-9][0-9]*\) captures compared, \([0-9][0-9]*\) mismatches, [0-9][0-9]* left to backtrace$'
  compared=$(printf '%s\n' "$counts" | sed -n "s/$line/\1/p")
  mismatched=$(printf '%s\n' "$counts" | sed -n "s/$line/\2/p")
  [ -n "$compared" ] && [ -n "$mismatched" ] || fail "unreadable count line: $counts"
  echo "unwinder check: $compared captures compared, $mismatched mismatches"
  [ "$compared" -gt 0 ] || fail "check mode compared no captures"
  [ "$mismatched" -eq 0 ] || fail "$mismatched captures differed from backtrace"
  ! grep -q '^QUARROW UNWINDER MISMATCH:' tracked.err || fail "mismatch lines printed"
}

# No report of the run lost an event (the launcher's default waits for
# room), and `quarrow report --strict` (which also fails a run that lost
# events) takes the whole file without a warning; its summary of the top
# stacks is left in summary.txt. Arguments: the quarrow command.
check_reader_takes_report() {
  grep '^DISCARDED_EVENTS:' "$report" | sort | uniq -c
  ! grep -q '^DISCARDED_EVENTS:[1-9]' "$report" || fail "events were discarded under the launcher's default"
  "$1" report --strict --top 10 "$report" >summary.txt 2>summary.err
  status=$?
  cat summary.err >&2
  [ $status -eq 0 ] || fail "quarrow report --strict rejected the report"
  ! grep -q '^quarrow report: [0-9]* warnings*$' summary.err || fail "the reader warned about the report"
}
