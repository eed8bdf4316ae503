#!/bin/sh
# The test command: installs what is missing, builds everything into build/
# and runs every test through CTest, both builds' (i386 and x86_64); then
# runs the x86_64 build's tests once more in a build with the
# undefined-behaviour sanitizer (build-ubsan/).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 900)

# The sanitizer pass builds the x86_64 target code only: both builds'
# passes together would take CI past half an hour on this 2-core machine
# (`-DQUARROW_ARCHS=i386` gives the i386 pass, and "i386;x86_64" both).
cmake -S . -B build-ubsan -DQUARROW_UBSAN=ON -DQUARROW_BUILD_BENCH=OFF -DQUARROW_ARCHS=x86_64
cmake --build build-ubsan -j"$jobs"
# the fork-loop stress test once is enough: it is the launcher that it tries
(cd build-ubsan && ctest --output-on-failure -j"$jobs" --timeout 900 -LE stress)
