#!/bin/sh
# Builds the report reader's parser fuzz target with libFuzzer and
# AddressSanitizer (and UBSan). Not part of the CMake build. Like the reader
# it is 64-bit.
#
#   tests/fuzz/build_report_fuzzer.sh [OUTPUT_DIRECTORY]     (default: build-fuzz)
#
# Then, for example (one job; the seeds are small report files, whole, cut
# short, damaged and odd):
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
sanitizers="address,undefined -fno-sanitize-recover=undefined"
$cxx $flags -fsanitize=fuzzer-no-link,$sanitizers -c "$root/tools/quarrow/report/report_parser.cpp" \
    -o "$out/report_parser.o"
for source in report_fuzz_check report_fuzz; do
    $cxx $flags -fsanitize=fuzzer-no-link,$sanitizers -c "$root/tests/fuzz/$source.cpp" -o "$out/$source.o"
done
$cxx -fsanitize=fuzzer,$sanitizers -o "$out/report_fuzz" "$out/report_fuzz.o" "$out/report_fuzz_check.o" \
    "$out/report_parser.o"
echo "built $out/report_fuzz"
