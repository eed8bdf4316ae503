#!/bin/bash
# heap_bench with the tracker in the process and tracing held back, so that
# its "hooked" column measures the process's own malloc, free and realloc
# through the hooks and the per-thread caches, next to the dl functions
# called directly and glibc's allocator, all in the same run.
#
#   bench/run_heap_bench.sh BUILD_DIR [heap_bench options...]
#
# BUILD_DIR is an existing build tree with heap_bench, libquarrow.so and
# libquarrow_start.so built; this script builds nothing. The tracker is
# started by preloading, with an existing trigger file (tracing held back)
# and a write period long enough that no report is written meanwhile.
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [heap_bench options...]" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd) || exit 2
shift
BENCH=$BUILD/bench/heap_bench
LIBDIR=$BUILD/src
for f in "$BENCH" "$LIBDIR/libquarrow.so" "$LIBDIR/libquarrow_start.so"; do
    [ -e "$f" ] || { echo "$0: missing $f (build heap_bench quarrow quarrow_start first)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/run_heap_bench.XXXXXX) || exit 1
trap 'rm -rf "$WORK"' EXIT
touch "$WORK/hold"

# The report at exit, if any, lands in the scratch directory.
cd "$WORK" && env LD_LIBRARY_PATH="$LIBDIR" LD_PRELOAD="$LIBDIR/libquarrow.so:$LIBDIR/libquarrow_start.so" \
    PROFILER_WRITE_PERIOD_SECONDS=600 PROFILER_TRIGGER_FILE="$WORK/hold" "$BENCH" "$@"
