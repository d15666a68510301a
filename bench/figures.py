"""The figure lines the Python benchmarks print: one for people, one tagged @figure for scripts/bench.sh."""
import statistics
import sys


def figure(what, values, unit, target, counted="runs"):
    values = sorted(values)
    if not values:
        print(f"{what:<58} (no figure)")
        print(f"@figure\t{what}\t\t\t\t0\t{unit}\t{target}")
        return
    median = statistics.median(values)
    print(f"{what:<58} {median:10.3f} {unit}  ({values[0]:.3f} to {values[-1]:.3f}, {len(values)} {counted}; "
          f"target {target})")
    print(f"@figure\t{what}\t{median:.3f}\t{values[0]:.3f}\t{values[-1]:.3f}\t{len(values)}\t{unit}\t{target}")
    sys.stdout.flush()
