#!/bin/sh
# Builds the option-parser fuzz target with libFuzzer and AddressSanitizer.
# Not part of the CMake build. The private heap is 32-bit only (its chunk and
# segment layouts are fixed at 32-bit words), so the target is 32-bit too and
# needs clang's i386 libFuzzer and ASan runtimes.
#
#   tests/fuzz/build_fuzzer.sh [OUTPUT_DIRECTORY]     (default: build-fuzz)
#
# Then, for example (one job):
#   ls -d "$PWD"/tests/fuzz/corpus/config/* | paste -sd, > seeds.txt
#   mkdir -p findings
#   ASAN_OPTIONS=quarantine_size_mb=8:detect_leaks=0 build-fuzz/config_fuzz \
#       -close_fd_mask=2 -max_len=512 -max_total_time=600 -seed_inputs=@seeds.txt findings
# and copy what is worth keeping from findings/ into tests/fuzz/corpus/config.
#
# Why those options, under qemu user emulation of i386:
# - the seeds come through -seed_inputs: the 32-bit runtime's readdir fails
#   (EOVERFLOW) on file systems with 64-bit directory offsets, so a corpus
#   directory given as an argument reads as empty;
# - a small quarantine: with the default one the 32-bit ASan allocator grows
#   until it fails an internal check (AddrIsInMem) after about a minute;
# - no leak check at exit: it hangs under emulation. Leaks are checked by the
#   target itself, through the private heap's in-use bytes;
# - stderr closed: every rejected input writes an error line. The target
#   prints its own failures on stdout.

set -eu

root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-build-fuzz}
cxx=${CXX:-clang++}
mkdir -p "$out"

common="-m32 -std=c++17 -g -O1 -fno-omit-frame-pointer -I$root/src -DQUARROW_TEST_SEAMS=1 -DQUARROW_DEBUG=1"
library="-fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-strict-aliasing -Wall -Wextra"

# The option parser and what it stands on: the private heap, the string
# helpers, the debug allocation log and the library's message lines.
sources="private_heap/private_heap private_heap/params private_heap/registry private_heap/bins private_heap/system
private_heap/check debug_alloc_log string_util config messages"
objects=
for source in $sources; do
    object="$out/$(echo "$source" | tr / _).o"
    $cxx $common $library -fsanitize=fuzzer-no-link,address -c "$root/src/$source.cpp" -o "$object"
    objects="$objects $object"
done
for source in config_fuzz_check config_fuzz; do
    $cxx $common -Wall -Wextra -fsanitize=fuzzer-no-link,address -c "$root/tests/fuzz/$source.cpp" -o "$out/$source.o"
done
$cxx -m32 -fsanitize=fuzzer,address -o "$out/config_fuzz" \
    "$out/config_fuzz.o" "$out/config_fuzz_check.o" \
    $objects \
    -lpthread -ldl
echo "built $out/config_fuzz"
