#!/usr/bin/env python3
"""Prints vasq-sim's resident memory as requests pile up: it must stay flat.

usage: VASQ_LIBRARY=build/libvasq.so.1 python3 tools/sim_memory.py [build/sim/vasq-sim] [batches] [requests]
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import vasq  # noqa: E402
from vasq.testing import SimulatedDevice  # noqa: E402


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    program = sys.argv[1] if len(sys.argv) > 1 else "build/sim/vasq-sim"
    batches = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    per_batch = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    with SimulatedDevice(program, port=0) as sim:
        sim.point_library_here()
        with vasq.connect(port=0) as device:
            print(f"requests      vasq-sim RSS (KiB)   requests/s")
            print(f"{0:>8}      {rss_kib(sim.process.pid):>8}")
            done = 0
            for _ in range(batches):
                started = time.monotonic()
                for _ in range(per_batch):
                    device.wait_stable_time  # one exchange each
                done += per_batch
                rate = per_batch / (time.monotonic() - started)
                print(f"{done:>8}      {rss_kib(sim.process.pid):>8}          {rate:>8.0f}")


if __name__ == "__main__":
    main()
