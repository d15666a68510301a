#!/bin/sh
# Builds the benchmarks in Release, runs every program of bench/ and gathers
# their figures into one table (figure, median, range, runs, target), printed
# at the end and written to build/bench/results.md. Figures are not asserted:
# the script fails only when a program fails.
#
#   scripts/bench.sh [--quick]      --quick runs each program briefly
set -eu
cd "$(dirname "$0")/.."
quick=0
case "${1:-}" in
    --quick) quick=1 ;;
    "") ;;
    *) echo "usage: scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac

# strace counts the system calls of one exchange (presence_times).
scripts/need-packages.sh strace
build=build-bench
out=build/bench
mkdir -p "$out"
programs=$(sed -n 's/^add_executable(\([A-Za-z0-9_]*\).*/\1/p' bench/CMakeLists.txt)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVASQ_BUILD_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $programs vasq-sim

# Each program's argument: runs, or seconds of measuring.
arguments() {
    if [ "$quick" -eq 1 ]; then
        case "$1" in
            connection_times|presence_times) echo 2 ;;
            worker_cpu|exchange_times) echo 3 ;;
            sampling_cadence|cxx_callbacks) echo 4 ;;
            # Eight instruments only: 16 and 32 take a minute more.
            multi_device) echo 4 8 ;;
        esac
    else
        case "$1" in
            connection_times|presence_times|exchange_times) echo 7 ;;
            worker_cpu) echo 10 ;;
            sampling_cadence) echo 30 ;;
            cxx_callbacks) echo 20 ;;
            # 8, 16 and 32 instruments, each in one process and as many processes, then a replug.
            multi_device) echo 30 ;;
        esac
    fi
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
figures="$out/figures.tsv"
: >"$figures"
failed=""
for program in $programs; do
    args=$(arguments "$program")
    echo "== $program $args"
    log="$out/$program.log"
    # shellcheck disable=SC2086
    if "$build/bench/$program" $args >"$log"; then
        status=0
    else
        status=$?
    fi
    grep -v '^@figure' "$log" || true
    grep '^@figure' "$log" | sed "s/^@figure\t/$program\t/" >>"$figures" || true
    if [ "$status" -ne 0 ]; then
        echo "bench: $program failed (exit $status)" >&2
        failed="$failed $program"
    fi
done

# The test station's figures (Python on Debian's python3, against vasq-sim and a
# private PostgreSQL server).
echo "== station_bench"
log="$out/station_bench.log"
station_args=""
[ "$quick" -eq 1 ] && station_args="--quick"
# shellcheck disable=SC2086
if VASQ_LIBRARY="$build/libvasq.so.1" VASQ_SIM="$build/sim/vasq-sim" \
        /usr/bin/python3 bench/station_bench.py $station_args >"$log"; then
    :
else
    echo "bench: station_bench failed (exit $?)" >&2
    failed="$failed station_bench"
fi
grep -v '^@figure' "$log" || true
grep '^@figure' "$log" | sed "s/^@figure\t/station_bench\t/" >>"$figures" || true

# The station's web page: latency to the WebSocket, the server's CPU with 8
# instruments streaming to 2 pages, its memory over 10 min (20 s when quick).
echo "== web_bench"
log="$out/web_bench.log"
web_seconds=600
[ "$quick" -eq 1 ] && web_seconds=20
if VASQ_LIBRARY="$build/libvasq.so.1" VASQ_SIM="$build/sim/vasq-sim" \
        /usr/bin/python3 bench/web_bench.py --seconds "$web_seconds" >"$log"; then
    :
else
    echo "bench: web_bench failed (exit $?)" >&2
    failed="$failed web_bench"
fi
grep -v '^@figure' "$log" || true
grep '^@figure' "$log" | sed "s/^@figure\t/web_bench\t/" >>"$figures" || true

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
[ -n "$cpu" ] || cpu=$(uname -m)
{
    if [ "$quick" -eq 1 ]; then mode="quick run"; else mode="full run"; fi
    echo "libvasq benchmarks, $mode of $(date -u '+%Y-%m-%d %H:%M UTC') on $(uname -m), $cpu," \
        "$(nproc) processors; load average $load at the start."
    echo
    echo "| figure | median | range | runs | target |"
    echo "|---|---|---|---|---|"
    awk -F '\t' '
        function num(v) { return v == "" ? "" : sprintf("%.2f", v) }
        {
            unit = ($7 == "x" || $7 == "/s" || $7 == "% core") ? $7 : " " $7
            if ($7 == "x") unit = " x"
            if ($6 == 0) { median = "no figure"; range = "" }
            else {
                median = num($3) unit
                range = ($6 == 1) ? "" : num($4) " to " num($5) unit
            }
            printf "| %s: %s | %s | %s | %s | %s |\n", $1, $2, median, range, $6, $8
        }' "$figures"
} >"$out/results.md"
rm -f "$figures"
echo
echo "bench: the programs ran for $(( $(date +%s) - started )) s"
cat "$out/results.md"
if [ -n "$failed" ]; then
    echo "bench: failed:$failed" >&2
    exit 1
fi
