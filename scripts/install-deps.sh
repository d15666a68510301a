#!/bin/sh
# Installs the build and test tools from Debian's packages (Debian 12). Runs
# apt through sudo when not run as root.
set -eu
packages="cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev python3 strace pkg-config doxygen nlohmann-json3-dev
    g++-mingw-w64-x86-64-posix wine64"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
as_root=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "install-deps: run as root to install:$missing" >&2
        exit 1
    fi
    as_root="sudo"
fi
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
