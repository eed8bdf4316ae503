#!/bin/sh
# The test command: installs what is missing, builds everything into build/
# and runs every test through CTest.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j"$(nproc)" --timeout 900
