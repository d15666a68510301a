#!/bin/sh
# Installs what the project needs, builds it and runs the demo against the
# simulated Vasq9.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build
./build/examples/vasq-demo
