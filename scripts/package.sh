#!/bin/sh
# Builds the Debian packages (libvasq1, libvasq-dev, vasq-tools, python3-vasq,
# vasq-station, libvasq-doc) from debian/ into build-deb/ and checks them with
# lintian, which must report no error; its warnings are printed. Builds a copy of the work
# tree's files (tracked and new, not ignored), so nothing is written outside
# build-deb/. Installs debhelper, lintian and the other build tools when missing.
# Without nocheck in DEB_BUILD_OPTIONS the package build also runs the suite.
set -eu
cd "$(dirname "$0")/.."
# Debian's own tools only, as in a package build and on a bench PC: a Python of
# another origin earlier on PATH sees neither Debian's modules nor the packages.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
scripts/need-packages.sh build-essential dpkg-dev fakeroot debhelper lintian dh-python python3-all \
    python3-setuptools pybuild-plugin-pyproject help2man doxygen cmake ninja-build pkg-config libgtest-dev \
    python3-yaml

out=build-deb
upstream=$(dpkg-parsechangelog -S Version | sed 's/-[^-]*$//')
rm -rf "$out"
src=$out/src/libvasq-$upstream
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -f "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -xf - -C "$src"

: "${DEB_BUILD_OPTIONS:=nocheck parallel=$(nproc)}"
export DEB_BUILD_OPTIONS
(cd "$src" && dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1 || {
    tail -n 60 "$out/build.log"
    echo "package: dpkg-buildpackage failed, the whole log is $out/build.log" >&2
    exit 1
}
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
# The debug symbols go aside, so that build-deb/*.deb is what a bench PC installs.
mkdir -p "$out/dbgsym"
mv "$out"/*-dbgsym_*.deb "$out/dbgsym/"
rm -rf "$out/src"
ls -l "$out"/*.deb

# --fail-on error: warnings are listed for people, errors fail the build.
lintian --fail-on error --no-tag-display-limit "$out"/*.deb | tee "$out/lintian.txt"
echo "package: lintian found $(grep -c '^E:' "$out/lintian.txt" || true) errors and" \
    "$(grep -c '^W:' "$out/lintian.txt" || true) warnings (build-deb/lintian.txt)"
