#!/bin/sh
# Installs the build and test tools from Debian's packages (Debian 12).
set -eu
packages="cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev python3"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root (or with sudo) to install:$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing
