#!/bin/sh
# The test command: installs what is missing, builds everything into build/
# and runs every test through CTest; then runs the unit tests once more in a
# build with the undefined-behaviour sanitizer (build-ubsan/).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 900)

cmake -S . -B build-ubsan -DQUARROW_UBSAN=ON -DQUARROW_BUILD_BENCH=OFF
cmake --build build-ubsan -j"$jobs"
# the fork-loop stress test once is enough: it is the launcher that it tries
(cd build-ubsan && ctest --output-on-failure -j"$jobs" --timeout 900 -LE stress)
