#!/bin/sh
# Builds and runs the test suite. Optional: VASQ_SANITIZE=address|thread and a
# build folder as the first argument.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" -G Ninja -DVASQ_SANITIZE="${VASQ_SANITIZE:-}"
cmake --build "$build"
jobs=$(( $(nproc) * 2 ))
ctest --test-dir "$build" --output-on-failure -j "$jobs"
