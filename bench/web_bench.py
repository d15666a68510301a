"""The station page's figures: the latency from a sample's arrival in the library to its delivery on the pressure
WebSocket, the server's processor time with 8 instruments streaming to 2 pages, and its memory over a period.

    VASQ_LIBRARY=... VASQ_SIM=... /usr/bin/python3 bench/web_bench.py [--seconds N] [--instruments N]

Runs vasq-station serve against simulated instruments; each of the 2 clients does what a page does: one WebSocket
per instrument, the instruments every second and the runs in progress twice a second. The latency of each message is taken
from the time its first (oldest) sample reached the station from the library, which the server stamps on it, to
the time the client has read it, on one clock. Prints a line for people and an @figure line (see
bench/Figures.h) for each figure; asserts nothing.
"""
import argparse
import asyncio
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

from vasq.testing import SimulatedDevice  # noqa: E402
from figures import figure  # noqa: E402

CLIENTS = 2
TICK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_mib(pid):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * PAGE / 2 ** 20


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


class Page:
    """What one browser's page asks of the station."""

    def __init__(self, origin, serials):
        self.origin = origin
        self.serials = serials
        self.latencies = []
        self.samples = 0
        self.gaps = 0
        self.lost = 0

    async def socket(self, session, serial, stop):
        url = self.origin.replace("http:", "ws:") + f"/api/instruments/{serial}/pressure"
        expected = None
        async with session.ws_connect(url, protocols=("vasq-pressure",)) as ws:
            while not stop.is_set():
                message = await ws.receive()
                if message.type.name != "TEXT":
                    break
                received = time.time()
                data = json.loads(message.data)
                if data["type"] == "samples":
                    self.latencies.append((received - data["first_time"]) * 1000.0)
                    if expected is not None and data["first"] != expected:
                        self.lost += 1
                    expected = data["first"] + len(data["values"])
                    self.samples += len(data["values"])
                elif data["type"] == "gap":
                    self.gaps += 1
                    expected = data["to"]

    async def poll(self, session, path, period, stop):
        while not stop.is_set():
            async with session.get(self.origin + path) as response:
                await response.read()
            try:
                await asyncio.wait_for(stop.wait(), period)
            except asyncio.TimeoutError:
                pass

    async def run(self, stop):
        import aiohttp
        async with aiohttp.ClientSession() as session:
            tasks = [asyncio.ensure_future(self.socket(session, serial, stop)) for serial in self.serials]
            tasks += [asyncio.ensure_future(self.poll(session, "/api/instruments", 1.0, stop)),
                      asyncio.ensure_future(self.poll(session, "/api/runs?active=true", 0.5, stop))]
            await stop.wait()
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)


async def measure(origin, serials, pid, seconds, warm_up):
    """Runs the pages for warm_up + seconds; returns the pages, the server's CPU share and its RSS samples."""
    pages = [Page(origin, serials) for _ in range(CLIENTS)]
    stop = asyncio.Event()
    running = [asyncio.ensure_future(page.run(stop)) for page in pages]
    await asyncio.sleep(warm_up)
    for page in pages:
        page.latencies.clear()
    began, cpu_began = time.monotonic(), cpu_seconds(pid)
    memory = [(0.0, rss_mib(pid))]
    shares = []
    step = min(10.0, seconds / 3)
    last, last_cpu = began, cpu_began
    while time.monotonic() - began < seconds:
        await asyncio.sleep(step)
        now, cpu = time.monotonic(), cpu_seconds(pid)
        shares.append(100.0 * (cpu - last_cpu) / (now - last))
        last, last_cpu = now, cpu
        memory.append((now - began, rss_mib(pid)))
    stop.set()
    await asyncio.gather(*running, return_exceptions=True)
    return pages, shares, memory


def idle_share(pid, seconds):
    began, cpu = time.monotonic(), cpu_seconds(pid)
    time.sleep(seconds)
    return 100.0 * (cpu_seconds(pid) - cpu) / (time.monotonic() - began)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=600.0, help="how long to measure (default 600)")
    parser.add_argument("--instruments", type=int, default=8)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="vasq-web-bench-")
    sims = []
    station = None
    try:
        for index in range(args.instruments):
            sims.append(SimulatedDevice(port=index, folder=sims[0].folder if sims else None,
                                        options=["--serial", f"31-{index + 1}"]).start())
        serials = [f"NQX7001-31{index + 1:04d}" for index in range(args.instruments)]
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"),
                   XDG_DATA_HOME=os.path.join(folder, "data"))
        env["PYTHONPATH"] = os.path.join(HERE, "..", "python")
        command = [sys.executable, "-m", "vasq.station", "serve", "--http-port", "0", "--device-folder",
                   sims[0].folder, "--db", "sqlite:///" + os.path.join(folder, "results.sqlite"), "--timeout", "10"]
        for serial in serials:
            command += ["--serial", serial]
        station = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        line = station.stdout.readline()
        found = re.search(r"serving (http://\S+)/", line)
        if not found:
            raise SystemExit(f"web_bench: vasq-station serve did not start: {line!r} {station.stderr.read()}")
        origin = found.group(1)
        print(f"vasq-station serve with {args.instruments} simulated instruments, {CLIENTS} pages, "
              f"{args.seconds:g} s measured; load average {open('/proc/loadavg').read().split()[0]}")
        idle = idle_share(station.pid, min(10.0, args.seconds / 3))
        pages, shares, memory = asyncio.run(measure(origin, serials, station.pid, args.seconds, 3.0))
        latencies = [value for page in pages for value in page.latencies]
        samples = sum(page.samples for page in pages)
        print(f"delivered {samples} samples in {len(latencies)} messages; gaps {sum(p.gaps for p in pages)}, "
              f"numbering breaks {sum(p.lost for p in pages)}")
        if latencies:
            print(f"latency ms: median {statistics.median(latencies):.2f}, p99 {percentile(latencies, 0.99):.2f}, "
                  f"max {max(latencies):.2f}")
        figure("sample arrival to WebSocket delivery, p99", [percentile(latencies, 0.99)] if latencies else [],
               "ms", "< 100 ms", counted="values")
        figure("sample arrival to WebSocket delivery, median", [statistics.median(latencies)] if latencies else [],
               "ms", "", counted="values")
        figure(f"server CPU, {args.instruments} instruments to {CLIENTS} pages", shares, "% core", "< 10 % core",
               counted="values")
        figure(f"server CPU, {args.instruments} instruments, no page", [idle], "% core", "", counted="values")
        print("server memory (RSS) over the period: " +
              ", ".join(f"{t:.0f} s {m:.1f} MiB" for t, m in memory[:: max(1, len(memory) // 12)]))
        figure("server memory at the start of the period", [memory[0][1]], "MiB", "", counted="values")
        figure("server memory growth over the period", [memory[-1][1] - memory[0][1]], "MiB", "flat", counted="values")
    finally:
        if station is not None:
            station.send_signal(signal.SIGTERM)
            try:
                station.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                station.kill()
                station.communicate()
        for sim in reversed(sims):
            sim.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
