#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (seconds per fuzzer, default 40), seeded with the checked-in corpus. Fails on
# any finding; a crashing input is left in build-fuzz/findings.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-40}
scripts/need-packages.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVASQ_BUILD_FUZZERS=ON -DVASQ_SANITIZE=address
cmake --build build-fuzz --target json_fuzz receiver_fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build-fuzz/findings "$work/json" "$work/receiver"
run() {
    name=$1
    shift
    ./build-fuzz/tests/"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix=build-fuzz/findings/"$name"- "$@"
}
run json_fuzz "$work/json" tests/data/json-test-suite/test_parsing
run receiver_fuzz -max_len=4096 "$work/receiver" tests/fuzz/receiver-seeds
