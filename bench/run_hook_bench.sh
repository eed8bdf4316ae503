#!/bin/bash
# What the tracker adds to a program's own heap requests, from hook_bench.
#
#   bench/run_hook_bench.sh [--arch i386|x86_64] [--no-peer] BUILD_DIR [STEPS [REPS]]
#
# BUILD_DIR is an existing build tree with hook_bench, libquarrow.so and
# libquarrow_start.so built (and the quarrow command, if it is to be used);
# this script builds nothing. --arch picks the build measured: i386 (the
# default) runs BUILD_DIR/bench/hook_bench, x86_64 runs
# BUILD_DIR/x86_64/bench/hook_bench; either way the libraries are the pair
# the launcher preloads for that class from BUILD_DIR/src. On 1 and 2
# threads, REPS times each (default 3, interleaved), it runs:
#   a  plain: the C library's allocator, nothing preloaded;
#   b  held:  under the tracker with an existing trigger file, so requests go
#             through the hooks to the private heap untracked;
#   c  track: under the tracker, tracking at stack depth 7;
#   d  bt:    hook_bench --backtrace-loop 10 N, the capture alone at the
#             depth the tracker asks of backtrace (7 kept + 3 skipped), N
#             being STEPS but at most 200000: a per-call figure needs no
#             more, and a long peer run would otherwise spend most of its
#             time here;
#   h  peer:  (x86_64 only, unless --no-peer) under Debian's heaptrack in its
#             default recording mode, which keeps whole stacks and writes its
#             compressed data file while the program runs; the script installs
#             heaptrack (as root) when it is missing.
# Before each round on 2 threads it times hook_bench --line-round-trip (one
# cache line handed between processors 0 and 1), and prints those figures
# last: on a virtual machine they say how near the host placed the two.
# It prints the medians, of the wall time and of the workers' own processor
# time. The per-request split: (c - a) / requests_per_step
# is what a tracked request adds; "capture" is (d); "other" is the rest, and
# "other-b" the rest over (b), which leaves out the private heap's own
# difference from the C library's allocator.
#
# With the peer it also times each whole run of a, c and h, from the
# command's start to its exit: what a user waits for, including start-up,
# our report at exit and whatever heaptrack still writes out after the
# program's last request. The two trackers are compared by that whole-run
# wall time over plain's; hook_bench's own timed steps are printed beside
# it. heaptrack's start-up and exit take a good part of a second whatever
# the program does, so compare at a STEPS that makes the plain run last a
# second or so (README: 10000000).
#
# The tracker is started through `quarrow run` when that works here, else by
# setting LD_PRELOAD and the variables it would set (the script says which).
# The environment passes through to the tracked runs, so
# PROFILER_UNWINDER=backtrace before the command compares the tracker with
# the C library's backtrace as its capture method (default: the engine).
# The "capture" column (d) is backtrace's cost either way; the engine's is
# from run_capture_bench.sh. Timings from an emulated 32-bit machine are inflated; compare
# the ratios within one run only.
set -u

usage() {
    echo "usage: $0 [--arch i386|x86_64] [--no-peer] BUILD_DIR [STEPS [REPS]]" >&2
    exit 2
}
ARCH=i386
PEER=yes
while [ $# -gt 0 ]; do
    case $1 in
    --arch)
        [ $# -ge 2 ] || usage
        ARCH=$2
        shift 2
        ;;
    --no-peer)
        PEER=no
        shift
        ;;
    -*) usage ;;
    *) break ;;
    esac
done
if [ $# -lt 1 ] || [ $# -gt 3 ]; then usage; fi
BUILD=$(cd "$1" && pwd) || exit 2
STEPS=${2:-100000}
REPS=${3:-3}
[[ $STEPS =~ ^[1-9][0-9]*$ && $REPS =~ ^[1-9][0-9]*$ ]] || usage
CALLS=$((STEPS < 200000 ? STEPS : 200000))
LIBDIR=$BUILD/src
LAUNCHER=$BUILD/tools/quarrow/quarrow
# PAIR: where this class's libquarrow.so and libquarrow_start.so are found,
# the directory the launcher itself picks for it below LIBDIR.
case $ARCH in
i386)
    BENCH=$BUILD/bench/hook_bench
    PAIR=$LIBDIR
    PEER=no
    ;;
x86_64)
    BENCH=$BUILD/x86_64/bench/hook_bench
    PAIR=$LIBDIR/lib/x86_64-linux-gnu
    ;;
*) usage ;;
esac
for f in "$BENCH" "$PAIR/libquarrow.so" "$PAIR/libquarrow_start.so"; do
    [ -e "$f" ] || { echo "$0: missing $f (build hook_bench quarrow quarrow_start first)" >&2; exit 2; }
done

# The peer is installed here and nowhere else: nothing of the tracker, its
# tests or CI needs it.
if [ $PEER = yes ] && ! command -v heaptrack >/dev/null; then
    if [ "$(id -u)" != 0 ]; then
        echo "$0: heaptrack is missing and installing it needs root (or run with --no-peer)" >&2
        exit 2
    fi
    echo "installing heaptrack: apt-get update && apt-get install -y heaptrack"
    if ! { apt-get update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y heaptrack >/dev/null; } ||
        ! command -v heaptrack >/dev/null; then
        echo "$0: heaptrack could not be installed (run with --no-peer to measure without it)" >&2
        exit 1
    fi
fi

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
    (cd "$dir" && env LD_PRELOAD="$PAIR/libquarrow.so:$PAIR/libquarrow_start.so" \
        PROFILER_WRITE_PERIOD_SECONDS=600 PROFILER_REPORT_AT_EXIT=1 QUARROW_FULL_BUFFER=wait \
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
    echo "tracker started with: LD_PRELOAD=$PAIR/libquarrow.so:$PAIR/libquarrow_start.so" \
        "PROFILER_WRITE_PERIOD_SECONDS=600 PROFILER_REPORT_AT_EXIT=1 QUARROW_FULL_BUFFER=wait" \
        "[PROFILER_TRIGGER_FILE] [PROFILER_STACK_DEPTH]" \
        "(the quarrow launcher is missing or did not produce a report)"
fi
WAYS="a b c d"
if [ $PEER = yes ]; then
    WAYS="a b c d h"
    echo "peer: $(heaptrack --version 2>&1 | head -n 1), as heaptrack -o SCRATCH/heaptrack PROGRAM ARGS" \
        "(its data file deleted after each run)"
fi

# field NAME LINE: the value of NAME=... in a hook_bench output line.
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
# Microseconds since the epoch, without a process of its own.
now_us() {
    local t=$EPOCHREALTIME
    echo "${t/[.,]/}"
}

# One run of one way; appends its ns figures to the arrays named after the
# way and thread count: the program's own per step (ns_, cpu_) and the
# whole run's per step (run_).
run_once() {
    local way=$1 threads=$2 dir out line start
    dir=$WORK/$way-$threads-$RANDOM
    mkdir -p "$dir"
    start=$(now_us)
    case $way in
    a) out=$(cd "$dir" && "$BENCH" "$threads" "$STEPS") ;;
    b) out=$($TRACKED "$dir" "--trigger-file $TRIGGER" "$BENCH" "$threads" "$STEPS" 2>"$dir/stderr") ;;
    c) out=$($TRACKED "$dir" "--stack-depth 7" "$BENCH" "$threads" "$STEPS" 2>"$dir/stderr") ;;
    d) out=$(cd "$dir" && "$BENCH" --backtrace-loop 10 "$CALLS" "$threads") ;;
    h) out=$(cd "$dir" && heaptrack -o "$dir/heaptrack" "$BENCH" "$threads" "$STEPS" 2>"$dir/stderr") ;;
    esac
    local rc=$? whole=$(($(now_us) - start))
    rm -f "$dir"/heaptrack.*
    line=$(grep -E '^(hook_bench|backtrace_loop) ' <<<"$out" | tail -n 1)
    if [ $rc -ne 0 ] || [ -z "$line" ]; then
        echo "$0: run $way on $threads thread(s) failed (status $rc): $out" >&2
        [ -f "$dir/stderr" ] && cat "$dir/stderr" >&2
        exit 1
    fi
    eval "run_${way}_${threads}+=($((whole * 1000 / STEPS)))"
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

# The cost of moving one cache line between the two processors, before
# each round of 2-thread runs. A tracked request moves a few lines between
# the threads' processors; on a virtual machine the host may place the two
# near each other or far apart, and move them, so this sets the 2-thread
# tracked figures more than anything of the tracker's does.
round_trips=()
line_round_trip() {
    local out ns
    out=$("$BENCH" --line-round-trip 200000 | tail -n 1)
    ns=$(field ns_per_round_trip "$out")
    round_trips+=("${ns:-skipped}") # one processor: nothing to move between
}

echo "capture method in b and c: PROFILER_UNWINDER=${PROFILER_UNWINDER-} (unset or empty: the engine)"
echo "hook_bench: $STEPS steps per thread, median of $REPS, interleaved $WAYS"
for threads in 1 2; do
    for way in $WAYS; do eval "ns_${way}_${threads}=(); cpu_${way}_${threads}=(); run_${way}_${threads}=()"; done
    eval "discarded_${threads}=(); pending_${threads}=()"
    for ((rep = 0; rep < REPS; rep++)); do
        [ $threads -eq 2 ] && line_round_trip
        for way in $WAYS; do run_once "$way" $threads; done
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

# The two trackers side by side: the whole run as the user waits for it,
# which the comparison goes by, and the program's own timed steps.
peer_table() {
    local threads a c h ra rc rh
    printf '\n%s\n%s\n%-7s %11s %11s %11s %9s %9s %10s %9s %9s\n' \
        "Tracked (c) against heaptrack (h), per step of one thread:" \
        "the whole run from the command's start to its exit (compared), and hook_bench's own timed steps:" \
        threads "a run ns" "c run ns" "h run ns" "c/a run" "h/a run" "h ns/step" "c/a own" "h/a own"
    for threads in 1 2; do
        eval "ra=\$(median \"\${run_a_${threads}[@]}\"); rc=\$(median \"\${run_c_${threads}[@]}\")"
        eval "rh=\$(median \"\${run_h_${threads}[@]}\")"
        eval "a=\$(median \"\${ns_a_${threads}[@]}\"); c=\$(median \"\${ns_c_${threads}[@]}\")"
        eval "h=\$(median \"\${ns_h_${threads}[@]}\")"
        awk -v t="$threads" -v ra="$ra" -v rc="$rc" -v rh="$rh" -v a="$a" -v c="$c" -v h="$h" 'BEGIN {
            printf "%-7s %11.0f %11.0f %11.0f %9.2f %9.2f %10.0f %9.2f %9.2f\n",
                t, ra, rc, rh, rc / ra, rh / ra, h, c / a, h / a
        }'
    done
}
[ $PEER = yes ] && peer_table
echo
for threads in 1 2; do
    for kind in ns cpu; do
        eval "echo \"threads=$threads $kind runs: a=\${${kind}_a_${threads}[*]} b=\${${kind}_b_${threads}[*]} c=\${${kind}_c_${threads}[*]} d=\${${kind}_d_${threads}[*]}\""
    done
    if [ $PEER = yes ]; then
        eval "echo \"threads=$threads heaptrack runs: ns=\${ns_h_${threads}[*]} cpu=\${cpu_h_${threads}[*]}\""
        eval "echo \"threads=$threads whole runs (ns per step): a=\${run_a_${threads}[*]} c=\${run_c_${threads}[*]} h=\${run_h_${threads}[*]}\""
    fi
    eval "echo \"threads=$threads tracked runs: DISCARDED_EVENTS=\${discarded_${threads}[*]} MAX_PENDING=\${pending_${threads}[*]}\""
done
echo "threads=2 line round trip between the processors before each round (ns): ${round_trips[*]:-none}"
