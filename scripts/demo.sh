#!/bin/sh
# The main job for now: builds everything and runs the bundled allocation
# workload through the private heap and through glibc's malloc, side by side.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)" --target heap_bench
build/bench/heap_bench "$@"
