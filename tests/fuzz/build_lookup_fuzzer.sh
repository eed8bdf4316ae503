#!/bin/sh
# Builds the report reader's object-lookup fuzz target with libFuzzer and
# AddressSanitizer. Not part of the CMake build. Like the reader it is
# 64-bit; elfutils' libdw and libelf are the system's, not instrumented, so
# the target finds faults in how the reader uses them and crashes in them.
#
#   tests/fuzz/build_lookup_fuzzer.sh [OUTPUT_DIRECTORY]     (default: build-fuzz)
#
# Then, for example (one job; the seeds are small 32-bit objects, whole,
# stripped, cut short and damaged):
#   mkdir -p findings
#   ASAN_OPTIONS=detect_leaks=0 build-fuzz/lookup_fuzz -detect_leaks=0 -max_len=65536 -timeout=10 -max_total_time=600 findings tests/fuzz/corpus/lookup
# and copy what is worth keeping from findings/ into tests/fuzz/corpus/lookup.
#
# No leak check: libdw 0.188's dwarf_getscopes loses 32 bytes on an error
# path inside it for some damaged DWARF (found_getscopes_error_path); the
# reader frees everything libdw hands back to it.
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-build-fuzz}
cxx=${CXX:-clang++}
mkdir -p "$out"

flags="-std=c++17 -g -O1 -fno-omit-frame-pointer -DFMT_HEADER_ONLY -I$root/tools/quarrow/report -Wall -Wextra"
for source in frame_lookup object_lookup symbols; do
    $cxx $flags -fsanitize=fuzzer-no-link,address -c "$root/tools/quarrow/report/$source.cpp" -o "$out/$source.o"
done
for source in lookup_fuzz_check lookup_fuzz; do
    $cxx $flags -fsanitize=fuzzer-no-link,address -c "$root/tests/fuzz/$source.cpp" -o "$out/$source.o"
done
$cxx -fsanitize=fuzzer,address -o "$out/lookup_fuzz" "$out/lookup_fuzz.o" "$out/lookup_fuzz_check.o" \
    "$out/frame_lookup.o" "$out/object_lookup.o" "$out/symbols.o" -ldw -lelf
echo "built $out/lookup_fuzz"
