#!/bin/bash
# heap_bench with the tracker in the process and tracing held back, so that
# its "hooked" column measures the process's own malloc, free and realloc
# through the hooks and the per-thread caches, next to the dl functions
# called directly and glibc's allocator, all in the same run.
#
#   bench/run_heap_bench.sh [--arch i386|x86_64] BUILD_DIR [heap_bench options...]
#
# BUILD_DIR is an existing build tree with heap_bench, libquarrow.so and
# libquarrow_start.so built; this script builds nothing. --arch picks the
# build measured: i386 (the default) runs BUILD_DIR/bench/heap_bench with
# the pair in BUILD_DIR/src, x86_64 runs BUILD_DIR/x86_64/bench/heap_bench
# with the pair the launcher preloads for 64-bit programs,
# BUILD_DIR/src/lib/x86_64-linux-gnu. The tracker is started by preloading,
# with an existing trigger file (tracing held back) and a write period long
# enough that no report is written meanwhile.
set -u

usage() {
    echo "usage: $0 [--arch i386|x86_64] BUILD_DIR [heap_bench options...]" >&2
    exit 2
}
ARCH=i386
if [ $# -ge 1 ] && [ "$1" = --arch ]; then
    [ $# -ge 2 ] || usage
    ARCH=$2
    shift 2
fi
[ $# -ge 1 ] || usage
BUILD=$(cd "$1" && pwd) || exit 2
shift
case $ARCH in
i386)
    BENCH=$BUILD/bench/heap_bench
    LIBDIR=$BUILD/src
    ;;
x86_64)
    BENCH=$BUILD/x86_64/bench/heap_bench
    LIBDIR=$BUILD/src/lib/x86_64-linux-gnu
    ;;
*) usage ;;
esac
for f in "$BENCH" "$LIBDIR/libquarrow.so" "$LIBDIR/libquarrow_start.so"; do
    [ -e "$f" ] || { echo "$0: missing $f (build heap_bench quarrow quarrow_start first)" >&2; exit 2; }
done

WORK=$(mktemp -d /tmp/run_heap_bench.XXXXXX) || exit 1
trap 'rm -rf "$WORK"' EXIT
touch "$WORK/hold"

# The report at exit, if any, lands in the scratch directory.
cd "$WORK" && env LD_LIBRARY_PATH="$LIBDIR" LD_PRELOAD="$LIBDIR/libquarrow.so:$LIBDIR/libquarrow_start.so" \
    PROFILER_WRITE_PERIOD_SECONDS=600 PROFILER_TRIGGER_FILE="$WORK/hold" "$BENCH" "$@"
