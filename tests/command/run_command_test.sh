#!/bin/bash
# `quarrow run` as a user meets it: the exit status and message of each
# refusal, then real 32- and 64-bit programs started under stand-in
# libraries that only announce that they were loaded, and of which class.
#
# Usage: run_command_test.sh QUARROW FIXTURES (FIXTURES holds the programs
# and the library directories lib/, both/ and old/: see CMakeLists.txt).
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
check no_libraries 1 --library-dir "$here" "$fixtures/tracked_program" &&
    has err.txt "--library-dir $here: there is no $here/libquarrow.so" && pass

# Other machines and static programs of either class are refused before
# anything runs; so is a program whose class the library directory lacks.
# (An AArch64 program's header: only the checked fields matter.)
printf '\177ELF\002\001\001\000\000\000\000\000\000\000\000\000\002\000\267\000' >arm64_program
head -c 46 /dev/zero >>arm64_program
chmod +x arm64_program
check other_machine 126 --library-dir "$fixtures/both" ./arm64_program &&
    has err.txt "quarrow run: ./arm64_program is a 64-bit AArch64 program; the tracker tracks only x86 programs (32- or 64-bit)" &&
    pass
check static_32_bit 126 --library-dir "$fixtures/both" "$fixtures/static_program" &&
    has err.txt "static_program is a 32-bit x86 program without a program interpreter (statically linked" && pass
check static_64_bit 126 --library-dir "$fixtures/both" "$fixtures/static_program_64" &&
    has err.txt "static_program_64 is a 64-bit x86-64 program without a program interpreter (statically linked" &&
    pass
check no_64_bit_build 1 --library-dir "$fixtures/lib" /bin/true &&
    has err.txt "quarrow run: /bin/true is a 64-bit x86-64 program, but $fixtures/lib holds no 64-bit x86-64 build of the tracker (there is no $fixtures/lib/lib/x86_64-linux-gnu/libquarrow.so" &&
    pass
check older_install 1 --library-dir "$fixtures/old" "$fixtures/tracked_program_64" &&
    has err.txt "$fixtures/old/lib/x86_64-linux-gnu/libquarrow.so does not define initQuarrow" && pass

# The program's own options stay its own, the libraries are preloaded, and
# its exit status comes back.
lib=$fixtures/lib
check runs_tracked 7 --library-dir "$lib" --stack-depth 12 --write-period 9 "$fixtures/tracked_program" \
    -Xmx64m --stack-depth 3 &&
    has out.txt "arg 1: -Xmx64m" && has out.txt "arg 2: --stack-depth" && has out.txt "arg 3: 3" &&
    has out.txt "LD_PRELOAD=$lib/libquarrow.so:$lib/libquarrow_start.so" &&
    has out.txt "PROFILER_STACK_DEPTH=12" && has out.txt "PROFILER_WRITE_PERIOD_SECONDS=9" &&
    has out.txt "PROFILER_REPORT_AT_EXIT=1" && has out.txt "QUARROW_FOLLOW_CHILDREN=(unset)" &&
    has err.txt "loaded libquarrow.so (32-bit)" && has err.txt "loaded libquarrow_start.so (32-bit)" &&
    has out.txt "QUARROW_REPORT_DIR=(unset)" && pass
case_name=announces_pid
pid=$(sed -n 's/^quarrow run: tracking PID \([0-9]*\); report: .*/\1/p' err.txt)
if [ -n "$pid" ] && has err.txt "report: $here/native_memory_$pid.log"; then pass; else fail "no PID line"; fi
# The program is told which process the tracker may start in: its own.
case_name=names_tracked_pid
if [ -n "$pid" ] && has out.txt "QUARROW_TRACKED_PID=$pid"; then pass; fi
case_name=final_line
if [ "$(tail -n 1 err.txt)" = "quarrow run: PID $pid exited with status 7" ]; then pass; else fail "last line"; fi

# The installed layout: each class loads its own pair through $LIB.
both=$fixtures/both
check runs_64_bit 7 --library-dir "$both" "$fixtures/tracked_program_64" &&
    has out.txt "LD_PRELOAD=$both/\$LIB/libquarrow.so:$both/\$LIB/libquarrow_start.so" &&
    has err.txt "loaded libquarrow.so (64-bit)" && has err.txt "loaded libquarrow_start.so (64-bit)" && pass
check runs_32_bit_through_lib 7 --library-dir "$both" "$fixtures/tracked_program" &&
    has out.txt "LD_PRELOAD=$both/\$LIB/libquarrow.so:$both/\$LIB/libquarrow_start.so" &&
    has err.txt "loaded libquarrow.so (32-bit)" && ! grep -q "64-bit" err.txt && pass
# Children of the other class, either way round, load their own build.
check children_32_then_64 7 --library-dir "$both" --follow-children "$fixtures/tracked_program" spawn \
    "$fixtures/tracked_program_64" &&
    has out.txt "arg 1: child" && has err.txt "loaded libquarrow.so (32-bit)" &&
    has err.txt "loaded libquarrow.so (64-bit)" && ! grep -q "warning" err.txt && pass
check children_64_then_32 7 --library-dir "$both" --follow-children "$fixtures/tracked_program_64" spawn \
    "$fixtures/tracked_program" &&
    has out.txt "arg 1: child" && has err.txt "loaded libquarrow_start.so (64-bit)" &&
    has err.txt "loaded libquarrow_start.so (32-bit)" && pass
# A directory of one build warns that children of the other would go untracked.
check one_build_follows 7 --library-dir "$lib" --follow-children "$fixtures/tracked_program" &&
    has err.txt "quarrow run: warning: LD_PRELOAD names the 32-bit x86 pair in $lib itself" &&
    has err.txt "64-bit x86-64 programs started below will run untracked" && pass

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
    has err.txt "loaded libquarrow.so (32-bit)" && pass
# A 64-bit env on the way to a 32-bit program: each loads its own build.
printf '#!/usr/bin/env %s\n' "$fixtures/tracked_program" >env_script
chmod +x env_script
check env_script_both_builds 7 --library-dir "$both" ./env_script && has out.txt "arg 1: ./env_script" &&
    has err.txt "loaded libquarrow.so (64-bit)" && has err.txt "loaded libquarrow.so (32-bit)" && pass
check env_script_one_build 1 --library-dir "$lib" ./env_script &&
    has err.txt "./env_script runs /usr/bin/env, a 64-bit x86-64 program, but $lib holds no 64-bit x86-64 build" && pass

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
