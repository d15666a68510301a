#!/bin/sh
# Installs those of the named Debian packages that are missing, through sudo
# when not run as root. Each script that needs tools beyond the build's calls
# it for its own, so the set-up installs only what the build and its tests need.
# Usage: scripts/need-packages.sh PACKAGE...
set -eu
missing=""
for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
as_root=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "$(basename "$0"): run as root to install:$missing" >&2
        exit 1
    fi
    as_root="sudo"
fi
echo "installing:$missing"
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    -o DPkg::Lock::Timeout=600 $missing
