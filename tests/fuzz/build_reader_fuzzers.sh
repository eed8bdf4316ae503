#!/bin/sh
# Builds the report reader's two fuzz targets with libFuzzer: the object
# lookup (lookup_fuzz) and the report parser (report_fuzz). Not part of the
# CMake build. Like the reader they are 64-bit.
#
#   tests/fuzz/build_reader_fuzzers.sh [OUTPUT_DIRECTORY]     (default: build-fuzz)
#
# The object lookup, then, for example (one job; the seeds are small 32-bit
# objects, whole, stripped, cut short and damaged):
#   mkdir -p findings
#   ASAN_OPTIONS=detect_leaks=0 build-fuzz/lookup_fuzz -detect_leaks=0 -max_len=65536 -timeout=10 -max_total_time=600 findings tests/fuzz/corpus/lookup
# and copy what is worth keeping from findings/ into tests/fuzz/corpus/lookup.
# No leak check: libdw 0.188's dwarf_getscopes loses 32 bytes on an error
# path inside it for some damaged DWARF (found_getscopes_error_path); the
# reader frees everything libdw hands back to it. elfutils' libdw and libelf
# are the system's, not instrumented, so the target finds faults in how the
# reader uses them and crashes in them.
#
# The report parser (AddressSanitizer and UBSan), for example (one job; the
# seeds are small report files, whole, cut short, damaged and odd):
#   mkdir -p findings
#   build-fuzz/report_fuzz -max_len=8192 -timeout=10 -max_total_time=600 \
#       -dict=tests/fuzz/report.dict findings tests/fuzz/corpus/report
# and copy what is worth keeping from findings/ into tests/fuzz/corpus/report.
set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-build-fuzz}
cxx=${CXX:-clang++}
mkdir -p "$out"

flags="-std=c++17 -g -O1 -fno-omit-frame-pointer -DFMT_HEADER_ONLY -I$root/tools/quarrow/report -Wall -Wextra"

# build_target NAME SANITIZERS "READER SOURCES" "LIBRARIES": NAME.cpp and
# NAME_check.cpp from tests/fuzz, the sources from tools/quarrow/report.
build_target() {
    name=$1 sanitizers=$2 sources=$3 libraries=$4
    objects=
    for source in $sources; do
        $cxx $flags -fsanitize=fuzzer-no-link,$sanitizers -c "$root/tools/quarrow/report/$source.cpp" \
            -o "$out/$source.o"
        objects="$objects $out/$source.o"
    done
    for source in ${name}_check $name; do
        $cxx $flags -fsanitize=fuzzer-no-link,$sanitizers -c "$root/tests/fuzz/$source.cpp" -o "$out/$source.o"
        objects="$objects $out/$source.o"
    done
    $cxx -fsanitize=fuzzer,$sanitizers -o "$out/$name" $objects $libraries
    echo "built $out/$name"
}

build_target lookup_fuzz address "frame_lookup object_lookup symbols" "-ldw -lelf"
build_target report_fuzz "address,undefined -fno-sanitize-recover=undefined" report_parser ""
