#!/bin/bash
# `quarrow run` as a user meets it: the exit status and message of each
# refusal, then a real 32-bit program started under stand-in libraries that
# only announce that they were loaded.
#
# Usage: run_command_test.sh QUARROW FIXTURES (FIXTURES holds
# tracked_program and lib/ with the two stand-ins).
set -eu
quarrow=$1
fixtures=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
here=$(pwd -P)
passed=0
failed=0

fail() {
    echo "FAIL: $case_name: $*"
    echo "--- stdout"; cat out.txt; echo "--- stderr"; cat err.txt
    failed=$((failed + 1))
}

# check NAME STATUS [ARGS...]: runs `quarrow run ARGS` and checks its status.
check() {
    case_name=$1
    local wanted=$2 status=0
    shift 2
    "$quarrow" run "$@" >out.txt 2>err.txt || status=$?
    if [ "$status" != "$wanted" ]; then
        fail "exit status $status, wanted $wanted"
        return 1
    fi
}
# has FILE TEXT: the last case's output holds TEXT (a fixed string).
has() {
    if ! grep -qF -- "$2" "$1"; then
        fail "$1 lacks '$2'"
        return 1
    fi
}
pass() { passed=$((passed + 1)); }

check no_program 2 && has err.txt "no program given" && pass
check unknown_option 2 --verbose /bin/true && has err.txt "unknown option --verbose" && pass
check bad_depth 2 --stack-depth 0 prog && has err.txt "--stack-depth takes a whole number from 1 to 1024; not '0'" &&
    pass
check bad_period 2 --write-period 5s prog && has err.txt "--write-period takes a whole number of seconds" && pass
check absent_trigger 2 --trigger-file absent prog && has err.txt "the trigger file absent does not exist" && pass
check not_in_path 127 no_such_program && has err.txt "quarrow run: no_such_program: not found in PATH" && pass
check missing_file 127 ./missing && has err.txt "quarrow run: ./missing does not exist" && pass
check wide_program 126 /bin/true &&
    has err.txt "quarrow run: /bin/true is a 64-bit x86-64 program; the tracker can only track 32-bit x86 programs" &&
    pass
check no_libraries 1 --library-dir "$here" "$fixtures/tracked_program" &&
    has err.txt "--library-dir $here: there is no $here/libquarrow.so" && pass

# The program's own options stay its own, the libraries are preloaded, and
# its exit status comes back.
lib=$fixtures/lib
check runs_tracked 7 --library-dir "$lib" --stack-depth 12 --write-period 9 "$fixtures/tracked_program" \
    -Xmx64m --stack-depth 3 &&
    has out.txt "arg 1: -Xmx64m" && has out.txt "arg 2: --stack-depth" && has out.txt "arg 3: 3" &&
    has out.txt "LD_PRELOAD=$lib/libquarrow.so:$lib/libquarrow_start.so" &&
    has out.txt "PROFILER_STACK_DEPTH=12" && has out.txt "PROFILER_WRITE_PERIOD_SECONDS=9" &&
    has out.txt "PROFILER_REPORT_AT_EXIT=1" && has out.txt "QUARROW_FOLLOW_CHILDREN=(unset)" &&
    has err.txt "loaded libquarrow.so" && has err.txt "loaded libquarrow_start.so" &&
    has out.txt "QUARROW_REPORT_DIR=(unset)" && pass
case_name=announces_pid
pid=$(sed -n 's/^quarrow run: tracking PID \([0-9]*\); report: .*/\1/p' err.txt)
if [ -n "$pid" ] && has err.txt "report: $here/native_memory_$pid.log"; then pass; else fail "no PID line"; fi
# The program is told which process the tracker may start in: its own.
case_name=names_tracked_pid
if [ -n "$pid" ] && has out.txt "QUARROW_TRACKED_PID=$pid"; then pass; fi
case_name=final_line
if [ "$(tail -n 1 err.txt)" = "quarrow run: PID $pid exited with status 7" ]; then pass; else fail "last line"; fi

mkdir reports
check report_dir 7 --library-dir "$fixtures/lib" --report-dir reports "$fixtures/tracked_program" &&
    has out.txt "QUARROW_REPORT_DIR=$here/reports" && has out.txt "QUARROW_FOLLOW_CHILDREN=(unset)" &&
    has err.txt "report: $here/reports/native_memory_" && pass
check follow_defaults_to_cwd 7 --library-dir "$fixtures/lib" --follow-children "$fixtures/tracked_program" &&
    has out.txt "QUARROW_REPORT_DIR=$here" && has err.txt "their lines to $here/quarrow_children.log" && pass
check report_dir_missing 2 --report-dir absent /bin/true && has err.txt "the report folder $here/absent is not a directory" &&
    pass
mkdir 'with,comma'
check report_dir_comma 2 --report-dir 'with,comma' /bin/true && has err.txt "holds a comma or a brace" && pass

# (argv[0] is not checked: an emulator registered without binfmt's P flag
# replaces it with the full path.)
mkdir bin
cp "$fixtures/tracked_program" bin/
trigger=$here/go
touch "$trigger"
# (an inherited PROFILER_REPORT_AT_EXIT does not outlive --no-exit-report)
PROFILER_REPORT_AT_EXIT=1 PATH=$here/bin:$PATH check found_in_path 7 --library-dir "$lib" --trigger-file go --no-exit-report \
    --follow-children tracked_program &&
    has out.txt "PROFILER_TRIGGER_FILE=$trigger" &&
    has out.txt "PROFILER_REPORT_AT_EXIT=(unset)" && has out.txt "QUARROW_FOLLOW_CHILDREN=1" && pass

printf '#!%s\n' "$fixtures/tracked_program" >script
chmod +x script
check script_to_32_bit 7 --library-dir "$lib" ./script && has out.txt "arg 1: ./script" &&
    has err.txt "loaded libquarrow.so" && pass

check dies_of_signal 138 --library-dir "$lib" "$fixtures/tracked_program" signal &&
    has err.txt "was ended by signal 10" && pass

# SIGTERM sent to the launcher reaches the program.
case_name=forwards_sigterm
"$quarrow" run --library-dir "$lib" "$fixtures/tracked_program" wait >out.txt 2>err.txt &
launcher=$!
for _ in $(seq 300); do
    grep -q "^arg 1: wait" out.txt && break
    sleep 0.1
done
kill -TERM "$launcher"
for _ in $(seq 100); do
    kill -0 "$launcher" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$launcher" 2>/dev/null; then # not passed on: end the program here
    program=$(sed -n 's/^quarrow run: tracking PID \([0-9]*\);.*/\1/p' err.txt)
    [ -z "$program" ] || kill -KILL "$program"
fi
status=0
wait "$launcher" || status=$?
if [ "$status" = 143 ] && has err.txt "was ended by signal 15"; then pass; else fail "exit status $status, wanted 143"; fi

# A launcher that dies itself says so and dies of the signal: it does not
# exit 128+N, as it does for a program that a signal ended.
case_name=launcher_dies
"$quarrow" run --library-dir "$lib" "$fixtures/tracked_program" wait >out.txt 2>err.txt &
launcher=$!
# (the launcher's line and the program's output race each other)
for _ in $(seq 300); do
    grep -q "^arg 1: wait" out.txt && grep -q "tracking PID" err.txt && break
    sleep 0.1
done
program=$(sed -n 's/^quarrow run: tracking PID \([0-9]*\);.*/\1/p' err.txt)
# no core file of the launcher in the work folder
(ulimit -c 0; kill -SEGV "$launcher")
status=0
wait "$launcher" || status=$?
[ -z "$program" ] || kill -KILL "$program" 2>/dev/null || true
if [ "$status" = 139 ] &&
    has err.txt "quarrow run: the launcher itself died of signal 11 while PID $program ran; that is not the program's status" &&
    ! grep -q "exited with status\|was ended by signal" err.txt; then
    pass
else
    fail "status $status, or the launcher's own death was not said"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
