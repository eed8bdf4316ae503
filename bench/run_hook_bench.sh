#!/bin/bash
# What the tracker adds to a program's own heap requests, from hook_bench.
#
#   bench/run_hook_bench.sh BUILD_DIR [STEPS [REPS]]
#
# BUILD_DIR is an existing build tree with hook_bench, libquarrow.so and
# libquarrow_start.so built (and the quarrow command, if it is to be used);
# this script builds nothing. On 1 and 2 threads, REPS times each (default
# 3, interleaved), it runs:
#   a  plain: the C library's allocator, nothing preloaded;
#   b  held:  under the tracker with an existing trigger file, so requests go
#             through the hooks to the private heap untracked;
#   c  track: under the tracker, tracking at stack depth 7;
#   d  bt:    hook_bench --backtrace-loop 10 STEPS, the capture alone at the
#             depth the tracker asks of backtrace (7 kept + 3 skipped).
# and prints the medians, of the wall time and of the workers' own processor
# time. The per-request split: (c - a) / requests_per_step
# is what a tracked request adds; "capture" is (d); "other" is the rest, and
# "other-b" the rest over (b), which leaves out the private heap's own
# difference from the C library's allocator.
#
# The tracker is started through `quarrow run` when that works here, else by
# setting LD_PRELOAD and the PROFILER_* variables as it would (the script
# says which). The environment passes through to the tracked runs, so
# PROFILER_UNWINDER=backtrace before the command compares the tracker with
# the C library's backtrace as its capture method (default: the engine).
# The "capture" column (d) is backtrace's cost either way; the engine's is
# from run_capture_bench.sh. Timings from an emulated 32-bit machine are inflated; compare
# the ratios within one run only.
set -u

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
    echo "usage: $0 BUILD_DIR [STEPS [REPS]]" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd) || exit 2
STEPS=${2:-100000}
REPS=${3:-3}
BENCH=$BUILD/bench/hook_bench
LIBDIR=$BUILD/src
LAUNCHER=$BUILD/tools/quarrow/quarrow
for f in "$BENCH" "$LIBDIR/libquarrow.so" "$LIBDIR/libquarrow_start.so"; do
    [ -e "$f" ] || { echo "$0: missing $f (build hook_bench quarrow quarrow_start first)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/run_hook_bench.XXXXXX) || exit 1
trap 'rm -rf "$WORK"' EXIT
TRIGGER=$WORK/hold
touch "$TRIGGER"

# Runs PROGRAM ARGS under the tracker in directory $1, extra launcher
# options in $2 (a space-separated list); stdout is the program's.
via_launcher() {
    local dir=$1 opts=$2
    shift 2
    # shellcheck disable=SC2086
    (cd "$dir" && "$LAUNCHER" run --library-dir "$LIBDIR" --write-period 600 $opts -- "$@")
}
via_environment() {
    local dir=$1 opts=$2 trigger= depth=
    shift 2
    case $opts in *--trigger-file*) trigger=$TRIGGER ;; esac
    case $opts in *--stack-depth*) depth=${opts##*--stack-depth } ;; esac
    (cd "$dir" && env LD_PRELOAD="$LIBDIR/libquarrow.so:$LIBDIR/libquarrow_start.so" \
        PROFILER_WRITE_PERIOD_SECONDS=600 PROFILER_REPORT_AT_EXIT=1 \
        ${trigger:+PROFILER_TRIGGER_FILE=$trigger} ${depth:+PROFILER_STACK_DEPTH=$depth} "$@")
}

# The launcher is used only when it runs the bench and a report comes out.
TRACKED=via_environment
if [ -x "$LAUNCHER" ]; then
    mkdir -p "$WORK/probe"
    if via_launcher "$WORK/probe" "" "$BENCH" 1 100 >/dev/null 2>"$WORK/probe.err" &&
        grep -q '^DISCARDED_EVENTS:' "$WORK"/probe/native_memory_*.log 2>/dev/null; then
        TRACKED=via_launcher
    fi
fi
if [ $TRACKED = via_launcher ]; then
    echo "tracker started with: $LAUNCHER run --library-dir $LIBDIR --write-period 600"
else
    echo "tracker started with: LD_PRELOAD=$LIBDIR/libquarrow.so:$LIBDIR/libquarrow_start.so" \
        "PROFILER_WRITE_PERIOD_SECONDS=600 PROFILER_REPORT_AT_EXIT=1 [PROFILER_TRIGGER_FILE] [PROFILER_STACK_DEPTH]" \
        "(the quarrow launcher is missing or did not produce a report)"
fi

# field NAME LINE: the value of NAME=... in a hook_bench output line.
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# One run of one way; appends its ns figure to the arrays named after the
# way and thread count.
run_once() {
    local way=$1 threads=$2 dir out line
    dir=$WORK/$way-$threads-$RANDOM
    mkdir -p "$dir"
    case $way in
    a) out=$(cd "$dir" && "$BENCH" "$threads" "$STEPS") ;;
    b) out=$($TRACKED "$dir" "--trigger-file $TRIGGER" "$BENCH" "$threads" "$STEPS" 2>"$dir/stderr") ;;
    c) out=$($TRACKED "$dir" "--stack-depth 7" "$BENCH" "$threads" "$STEPS" 2>"$dir/stderr") ;;
    d) out=$(cd "$dir" && "$BENCH" --backtrace-loop 10 "$STEPS" "$threads") ;;
    esac
    local rc=$?
    line=$(grep -E '^(hook_bench|backtrace_loop) ' <<<"$out" | tail -n 1)
    if [ $rc -ne 0 ] || [ -z "$line" ]; then
        echo "$0: run $way on $threads thread(s) failed (status $rc): $out" >&2
        [ -f "$dir/stderr" ] && cat "$dir/stderr" >&2
        exit 1
    fi
    if [ "$way" = d ]; then
        eval "ns_${way}_${threads}+=($(field ns_per_call "$line"))"
        eval "cpu_${way}_${threads}+=($(field cpu_ns_per_call "$line"))"
    else
        eval "ns_${way}_${threads}+=($(field ns_per_step "$line"))"
        eval "cpu_${way}_${threads}+=($(field cpu_ns_per_step "$line"))"
        eval "rps_${threads}=$(field requests_per_step "$line")"
    fi
    if [ "$way" = c ]; then
        # The last report in the file is the one written at exit.
        local report discarded pending
        report=$(ls "$dir"/native_memory_*.log 2>/dev/null | head -n 1)
        discarded=$(grep '^DISCARDED_EVENTS:' "$report" 2>/dev/null | tail -n 1 | cut -d: -f2)
        pending=$(grep '^MAX_PENDING:' "$report" 2>/dev/null | tail -n 1 | cut -d: -f2)
        eval "discarded_${threads}+=(${discarded:-none})"
        eval "pending_${threads}+=(${pending:-none})"
    fi
}

echo "capture method in b and c: PROFILER_UNWINDER=${PROFILER_UNWINDER-} (unset or empty: the engine)"
echo "hook_bench: $STEPS steps per thread, median of $REPS, interleaved a b c d"
for threads in 1 2; do
    for way in a b c d; do eval "ns_${way}_${threads}=(); cpu_${way}_${threads}=()"; done
    eval "discarded_${threads}=(); pending_${threads}=()"
    for ((rep = 0; rep < REPS; rep++)); do
        for way in a b c d; do run_once $way $threads; done
    done
done

# table KIND TITLE: the medians of the ns or cpu figures, and the split.
table() {
    local kind=$1 threads a b c d r
    printf '\n%s\n%-7s %10s %10s %10s %10s %7s %7s %6s %10s %10s %10s %10s\n' "$2" threads "a ns/step" \
        "b ns/step" "c ns/step" "d ns/bt" "b/a" "c/a" "req/st" "c-a ns/rq" capture other other-b
    for threads in 1 2; do
        eval "a=\$(median \"\${${kind}_a_${threads}[@]}\"); b=\$(median \"\${${kind}_b_${threads}[@]}\")"
        eval "c=\$(median \"\${${kind}_c_${threads}[@]}\"); d=\$(median \"\${${kind}_d_${threads}[@]}\")"
        eval "r=\$rps_${threads}"
        awk -v t="$threads" -v a="$a" -v b="$b" -v c="$c" -v d="$d" -v r="$r" 'BEGIN {
            extra = (c - a) / r
            printf "%-7s %10.0f %10.0f %10.0f %10.0f %7.2f %7.2f %6.3f %10.0f %10.0f %10.0f %10.0f\n",
                t, a, b, c, d, b / a, c / a, r, extra, d, extra - d, (c - b) / r - d
        }'
    done
}
table ns "Wall time (the figures to quote):"
table cpu "The workers' own processor time (steadier on a loaded machine; blind to blocking and to the tracker's threads):"
echo
for threads in 1 2; do
    for kind in ns cpu; do
        eval "echo \"threads=$threads $kind runs: a=\${${kind}_a_${threads}[*]} b=\${${kind}_b_${threads}[*]} c=\${${kind}_c_${threads}[*]} d=\${${kind}_d_${threads}[*]}\""
    done
    eval "echo \"threads=$threads tracked runs: DISCARDED_EVENTS=\${discarded_${threads}[*]} MAX_PENDING=\${pending_${threads}[*]}\""
done
