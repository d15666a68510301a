#!/bin/sh
# Installs the Debian packages of build-deb/ (scripts/package.sh makes them) with
# apt-get as a bench PC would, uses what they installed as people do (the
# programs, the man pages, pkg-config, the README's C and C++ examples, the CMake
# package, Python, sessions against vasq-sim), builds the Python wheel and
# installs it into a plain venv, then purges the packages and checks that they
# are gone. Runs as root or through sudo. Ends with "N passed, N failed".
set -eu
cd "$(dirname "$0")/.."
# Debian's own tools only, as in a package build and on a bench PC: a Python of
# another origin earlier on PATH sees neither Debian's modules nor the packages.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
root=$(pwd)
ls build-deb/*.deb >/dev/null 2>&1 || { echo "package-test: no build-deb/*.deb; run scripts/package.sh" >&2; exit 1; }
release=$(sed -n 's/^project(libvasq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packages="libvasq1 libvasq-dev vasq-tools python3-vasq vasq-station libvasq-doc"
as_root=""
[ "$(id -u)" -eq 0 ] || as_root=sudo
# What a bench PC's user brings: a compiler, pkg-config, man, CMake, venv; the wheel's builder.
scripts/need-packages.sh gcc g++ libc6-dev pkg-config man-db cmake ninja-build python3-venv python3-pip \
    python3-build python3-setuptools python3-wheel poppler-utils

work=$(mktemp -d /tmp/vasq-package-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() {
    name=$1
    shift
    if (cd "$work" && "$@") >"$work/out" 2>&1; then
        passed=$((passed + 1))
        echo "ok      $name"
    else
        failed=$((failed + 1))
        echo "FAILED  $name"
        sed 's/^/        /' "$work/out"
    fi
}
# Runs a command against a simulated Vasq9 in a folder of its own.
sim() { vasq-sim --dir "$(mktemp -d "$work/sim-XXXXXX")" -- "$@"; }
expect() { [ "$1" = "$2" ] || { echo "expected '$2', got '$1'"; return 1; }; }

installs() {
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$root"/build-deb/*.deb
    for p in $packages; do dpkg-query -W -f '${Status}\n' "$p" | grep -q 'install ok installed'; done
}
check "apt-get install ./build-deb/*.deb" installs

versions() {
    expect "$(vasqctl --version)" "vasqctl $release, libvasq $release, interface 1.0.3.1"
    expect "$(vasq-sim --version)" "vasq-sim $release, libvasq $release, interface 1.0.3.1"
    expect "$(vasq-station --version)" "vasq-station $release"
    for p in $packages; do
        expect "$(dpkg-query -W -f '${Version}' "$p" | sed 's/-[^-]*$//')" "$release"
    done
}
check "one version: programs, library and packages say $release" versions
check "vasq-sim --help" sh -c 'vasq-sim --help | grep -q "^usage: vasq-sim"'
manpages() {
    for page in vasqctl vasq-sim vasq-station; do
        MANPAGER=cat MANWIDTH=100 man "$page" >"$page.txt"
        grep -q -- "--help" "$page.txt" && grep -q "SEE ALSO" "$page.txt" || { cat "$page.txt"; return 1; }
    done
    grep -q -- "--timeout" vasqctl.txt && grep -q -- "--fault-every" vasq-sim.txt &&
        grep -q -- "VASQ_EXPECTED" vasq-station.txt
}
check "man vasqctl, man vasq-sim, man vasq-station" manpages
udev() {
    [ -f /usr/lib/udev/rules.d/70-vasq.rules ] && getent group vasq >/dev/null
}
check "udev rule installed, group vasq made" udev
pc() {
    expect "$(pkg-config --libs vasq)" "-lvasq"
    expect "$(pkg-config --cflags vasq)" ""
    expect "$(pkg-config --modversion vasq)" "$release"
}
check "pkg-config --libs vasq" pc
readme_example() {
    cmake -DREADME="$root/README.md" -DOUTPUT="$work/app.c" -P "$root/docs/ExtractExample.cmake"
    # shellcheck disable=SC2046
    cc -std=c11 -Wall -Wextra -Werror app.c $(pkg-config --cflags --libs vasq) -o app
    ldd ./app | grep -q '/usr/lib/.*/libvasq.so.1'
    sim ./app >app.out
    cat app.out
    grep -q '^completed: ' app.out
}
check "README's C example built against /usr, run against vasq-sim" readme_example
readme_cxx_example() {
    cmake -DREADME="$root/README.md" -DLANGUAGE=cpp -DOUTPUT="$work/app.cpp" -P "$root/docs/ExtractExample.cmake"
    # shellcheck disable=SC2046
    c++ -std=c++17 -Wall -Wextra -Werror -pedantic app.cpp $(pkg-config --cflags --libs vasq) -o app-cxx
    ldd ./app-cxx | grep -q '/usr/lib/.*/libvasq.so.1'
    sim ./app-cxx >app-cxx.out
    cat app-cxx.out
    grep -q '^completed: ' app-cxx.out
}
check "README's C++ example (<vasq.hpp>) built against /usr, run against vasq-sim" readme_cxx_example
cmake_package() {
    cmake -S "$root/tests/install/consumer" -B consumer -G Ninja >/dev/null
    grep -q 'vasq_DIR:PATH=/usr/lib/' consumer/CMakeCache.txt
    cmake --build consumer >/dev/null
    sim consumer/consumer
    consumer/cxx_consumer
}
check "find_package(vasq) finds the installed CMake package" cmake_package
check "HTML reference installed" test -f /usr/share/doc/libvasq-doc/html/index.html
check "python3 -c 'import vasq'" sh -c "[ \"\$(python3 -c 'import vasq; print(vasq.__version__, vasq.release_version(), vasq.version())')\" = '$release $release 1.0.3.1' ]"
ctl_session() {
    sim vasqctl info >info.out
    cat info.out
    grep -q 'NQX7001-070042' info.out && grep -q "library version: *$release\$" info.out &&
        grep -q "interface version: *1.0.3.1" info.out
}
check "session: vasq-sim -- vasqctl info" ctl_session
python_session() {
    sim python3 -c '
import vasq
with vasq.connect(timeout=5.0) as device:
    print(device.serial_number, device.unit)
    assert device.serial_number == "NQX7001-070042"
'
}
check "session: vasq-sim -- python3 (installed package)" python_session

station_session() {
    vasq-station procedures | grep -q '^adult-pm ' || return 1
    cat >check.yaml <<'EOF'
procedure: Package check
version: "1"
unit: mmHg
steps:
  - {id: static, kind: static, points: [100], tolerance: 3, settle: 0}
  - {id: leak, kind: leak, pressure: 150, duration: 1, limit: 6}
  - {id: bp, kind: bp, systolic: 120, diastolic: 80, heart_rate: 72, tolerance: {mean: 5, spread: 8}}
EOF
    sim vasq-station run check.yaml --reading-command 'printf %s "$VASQ_EXPECTED"' --dut asset=PKG-1 \
        --db "sqlite:///$work/results.sqlite" --junit junit.xml >run.out
    cat run.out
    grep -q '^verdict: PASS' run.out && grep -q 'failures="0" errors="0"' junit.xml
    vasq-station history --db "sqlite:///$work/results.sqlite" | grep -q 'PKG-1'
    vasq-station report 1 --pdf report.pdf --db "sqlite:///$work/results.sqlite"
    pdftotext report.pdf - | grep -q 'PASSED: all 3 steps within their limits'
}
check "session: vasq-sim -- vasq-station run, history, report --pdf" station_session

station_serve() {
    cat >serve-check.sh <<'EOF'
vasq-station serve --http-port 0 --db "sqlite:///$PWD/serve.sqlite" >serve.out 2>&1 &
pid=$!
for i in $(seq 100); do grep -q serving serve.out && break; sleep 0.1; done
url=$(sed -n 's/.*serving \(http:[^ ]*\) .*/\1/p' serve.out)
python3 - "$url" <<'PY'
import json, sys, urllib.request
url = sys.argv[1]
assert b"/static/vendor/uPlot.iife.min.js" in urllib.request.urlopen(url, timeout=10).read()
assert len(urllib.request.urlopen(url + "static/vendor/uPlot.iife.min.js", timeout=10).read()) > 10000
[tile] = json.load(urllib.request.urlopen(url + "api/instruments", timeout=10))
assert tile["serial"] == "NQX7001-070042" and tile["connected"], tile
PY
status=$?
kill -TERM $pid
wait $pid
cat serve.out
[ "$status" -eq 0 ] && grep -q "stopped by SIGTERM" serve.out
EOF
    sim sh serve-check.sh
}
check "session: vasq-sim -- vasq-station serve: the page, its vendored plot library, the API" station_serve

wheel() {
    rm -rf "$root/build-wheel"
    python3 -m build --no-isolation --wheel --outdir "$root/build-wheel" "$root/python" >build.log ||
        { cat build.log; return 1; }
    whl=$(ls "$root"/build-wheel/vasq-"$release"-py3-none-any.whl)
    python3 -m zipfile -l "$whl" >contents
    grep -q 'vasq/py.typed' contents && grep -q 'vasq/__init__.py' contents
    ! grep -q 'libvasq.so' contents
    python3 -m venv venv
    venv/bin/pip install --no-index "$whl" >/dev/null
    # The venv sees no system packages: this is the wheel, loading the installed library.
    venv/bin/python -c '
import os, sys, vasq
assert "site-packages" in vasq.__file__ and "/usr/lib/python3/dist-packages" not in vasq.__file__, vasq.__file__
print(vasq.__version__, vasq.release_version(), vasq.version())
' >wheel.out
    cat wheel.out
    expect "$(cat wheel.out)" "$release $release 1.0.3.1"
    sim venv/bin/python -c '
import vasq
with vasq.connect(timeout=5.0) as device:
    assert device.serial_number == "NQX7001-070042"
'
}
check "wheel: built with python3-build, installed into a venv, finds the library" wheel

purge() {
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -o DPkg::Lock::Timeout=600 $packages
    for p in $packages; do
        ! dpkg-query -W -f '${Status}\n' "$p" 2>/dev/null | grep -q 'install ok'
    done
    for f in /usr/bin/vasqctl /usr/bin/vasq-sim /usr/bin/vasq-station /usr/include/vasq.h /usr/include/vasq.hpp /usr/lib/udev/rules.d/70-vasq.rules \
             /usr/share/man/man1/vasqctl.1.gz /usr/share/doc/libvasq-doc; do
        [ ! -e "$f" ] || { echo "left behind: $f"; return 1; }
    done
    ! ls /usr/lib/*/libvasq.so* /usr/lib/*/pkgconfig/vasq.pc 2>/dev/null
    ! python3 -c 'import vasq' 2>/dev/null && ! python3 -c 'import vasq.station' 2>/dev/null
}
check "apt-get purge removes them all" purge

echo "package-test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
