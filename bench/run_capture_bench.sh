#!/bin/bash
# What one stack capture costs, by each method, from capture_bench.
#
#   bench/run_capture_bench.sh [--arch i386|x86_64] BUILD_DIR [CALLS [REPS]]
#
# BUILD_DIR is an existing build tree with capture_bench built; this script
# builds nothing. --arch picks the build measured: i386 (the default) runs
# BUILD_DIR/bench/capture_bench, x86_64 BUILD_DIR/x86_64/bench/capture_bench.
# capture_bench interleaves the methods itself (REPS rounds,
# default 5, of CALLS captures per thread, default 20000) on 1 and 2
# threads, and fails unless every method gave backtrace's frames. Printed:
# the medians per call and per thread, of the wall time and of each thread's
# own processor time (steadier on a loaded machine), and each method's ratio
# to backtrace's median from the same run. Emulated 32-bit timings are
# inflated; compare the ratios within one run only.
set -u

usage() {
    echo "usage: $0 [--arch i386|x86_64] BUILD_DIR [CALLS [REPS]]" >&2
    exit 2
}
ARCH=i386
if [ $# -ge 1 ] && [ "$1" = --arch ]; then
    [ $# -ge 2 ] || usage
    ARCH=$2
    shift 2
fi
if [ $# -lt 1 ] || [ $# -gt 3 ]; then usage; fi
case $ARCH in
i386) SUBDIR= ;;
x86_64) SUBDIR=/x86_64 ;;
*) usage ;;
esac
BENCH=$(cd "$1" && pwd)$SUBDIR/bench/capture_bench || exit 2
CALLS=${2:-20000}
REPS=${3:-5}
[ -x "$BENCH" ] || { echo "$0: missing $BENCH (build capture_bench first)" >&2; exit 2; }

out=$("$BENCH" --reps "$REPS" "$CALLS" 2>&1)
status=$?
if [ $status -ne 0 ]; then
    printf '%s\n' "$out" >&2
    echo "$0: capture_bench failed (status $status)" >&2
    exit 1
fi

echo "capture_bench: $CALLS captures of 10 frames per thread, median of $REPS, methods interleaved"
printf '%-7s %-15s %10s %10s %9s %9s\n' threads method "ns/call" "cpu ns" "/bt" "cpu /bt"
grep '^capture_median ' <<<"$out" | awk '{
    for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
    printf "%-7s %-15s %10.0f %10.0f %9.3f %9.3f\n", f["threads"], f["method"], f["ns_per_call"],
        f["cpu_ns_per_call"], f["ratio_to_backtrace"], f["cpu_ratio_to_backtrace"]
}'
# Check mode's own count, once: the library prints it at exit.
grep -m 1 '^QUARROW UNWINDER CHECK:' <<<"$out"
