#!/bin/sh
# Installs what the project needs, builds the library and its programs, and
# runs the bench session against a simulated Vasq9 in a private folder.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build --target vasq vasq-sim vasq-sim-folder vasq-session vasqctl
folder=$(mktemp -d /tmp/vasq-setup-XXXXXX)
trap 'rm -rf "$folder"' EXIT
./build/sim/vasq-sim --dir "$folder" -- ./build/examples/vasq-session
