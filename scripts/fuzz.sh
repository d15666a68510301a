#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (seconds, default 60), seeded with the checked-in corpus. Fails on any finding.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVASQ_BUILD_FUZZERS=ON -DVASQ_SANITIZE=address
cmake --build build-fuzz --target json_fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
./build-fuzz/tests/json_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work" tests/data/json-test-suite/test_parsing
