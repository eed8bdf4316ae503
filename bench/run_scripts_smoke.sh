#!/bin/bash
# Runs the three run_*_bench.sh scripts briefly against one build and checks
# what they print, not how fast anything was: each finds its binaries and
# libraries in that architecture's part of the build tree, the tracker
# really is in the measured process, and no tracked run lost an event.
#
#   bench/run_scripts_smoke.sh i386|x86_64 BUILD_DIR
#
# The hook script runs without its peer: tests never install or use it.
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 i386|x86_64 BUILD_DIR" >&2
    exit 2
fi
ARCH=$1
BUILD=$2
HERE=$(cd "$(dirname "$0")" && pwd)
failures=0

# expect NAME OUTPUT PATTERN...: every extended regular expression must
# match some line of OUTPUT.
expect() {
    local name=$1 out=$2 pattern
    shift 2
    for pattern in "$@"; do
        if ! grep -Eq -- "$pattern" <<<"$out"; then
            echo "FAIL: $name: no line matches /$pattern/" >&2
            failures=$((failures + 1))
        fi
    done
}

# status NAME STATUS OUTPUT: prints what the script printed; a non-zero
# status is a failure.
status() {
    printf '%s\n' "$3"
    if [ "$2" -ne 0 ]; then
        echo "FAIL: $1 exited with status $2" >&2
        failures=$((failures + 1))
    fi
}

hook=$(bash "$HERE/run_hook_bench.sh" --arch "$ARCH" --no-peer "$BUILD" 500 1 2>&1)
status run_hook_bench.sh $? "$hook"
expect run_hook_bench.sh "$hook" '^tracker started with: .*/quarrow run ' '^Wall time' "^The workers' own" \
    '^threads=1 tracked runs: DISCARDED_EVENTS=0 ' '^threads=2 tracked runs: DISCARDED_EVENTS=0 ' \
    '^threads=2 line round trip between the processors before each round \(ns\): ([0-9]|skipped)'
if grep -q '^Tracked (c) against heaptrack' <<<"$hook"; then
    echo "FAIL: run_hook_bench.sh ran the peer despite --no-peer" >&2
    failures=$((failures + 1))
fi

heap=$(bash "$HERE/run_heap_bench.sh" --arch "$ARCH" "$BUILD" --smoke 2>&1)
status run_heap_bench.sh $? "$heap"
# The hooked line shows only when the preloaded tracker's hooks are in.
expect run_heap_bench.sh "$heap" '^integrity \(hooked\): 0 corrupted blocks, 0 failed requests: PASS' \
    '^footprint: .*: PASS'

capture=$(bash "$HERE/run_capture_bench.sh" --arch "$ARCH" "$BUILD" 200 1 2>&1)
status run_capture_bench.sh $? "$capture"
rows=()
for threads in 1 2; do
    for method in backtrace quarrow fast walk-fast walk-backtrace walk-check; do
        rows+=("^$threads +$method +[0-9]+ +[0-9]+ +[0-9.]+ +[0-9.]+$")
    done
done
expect run_capture_bench.sh "$capture" "${rows[@]}" '^QUARROW UNWINDER CHECK: [0-9]+ captures compared, 0 mismatches'

[ $failures -eq 0 ] && echo "run_scripts_smoke: all three scripts ran as expected"
