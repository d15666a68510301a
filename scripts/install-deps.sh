#!/bin/sh
# Installs the tools that the Linux build and its tests need from Debian's
# packages (Debian 12), through sudo when not run as root; among them the test
# station's Python packages, the PostgreSQL server its tests start, the PDF
# renderer they look at its reports with, and the headless browser that drives
# its web page. The Windows build, the cross-target
# runs, the fuzzers, the benchmarks' system-call count and the packaging install
# their own extra tools when they run.
set -eu
cd "$(dirname "$0")/.."
exec scripts/need-packages.sh cmake ninja-build g++ clang libgtest-dev python3 pkg-config doxygen nlohmann-json3-dev \
    python3-yaml python3-jsonschema python3-jinja2 weasyprint python3-psycopg postgresql poppler-utils \
    python3-aiohttp chromium chromium-driver python3-selenium
