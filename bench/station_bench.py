"""The test station's figures: what it adds to a procedure beyond the instrument's own time, storing a 60 s trace,
a history query over 10,000 stored runs in SQLite and in PostgreSQL, and a report with plots.

    VASQ_LIBRARY=... VASQ_SIM=... /usr/bin/python3 bench/station_bench.py [--quick]

Prints a line for people and an @figure line (see bench/Figures.h) for each figure; asserts nothing.
"""
import os
import sys
import tempfile
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from vasq.station import procedure, readings, report, store  # noqa: E402
from vasq.station.instrument import Trace, open_instruments  # noqa: E402
from vasq.station.runner import Measurement, Run, StepResult, now  # noqa: E402
from vasq.station.testing import PostgresCluster  # noqa: E402
from vasq.testing import SimulatedDevice  # noqa: E402
from figures import figure  # noqa: E402

QUICK = "--quick" in sys.argv[1:]
PERFECT = 'printf %s "$VASQ_EXPECTED"'
SHORT = """\
procedure: Bench check
version: "1"
unit: mmHg
steps:
  - {id: static, kind: static, points: [50, 150, 250], tolerance: 3, settle: 1}
  - {id: leak, kind: leak, pressure: 250, duration: 60, limit: 6}
  - {id: overpressure, kind: overpressure, pressure: 300, limits: {min: 270, max: 330}}
  - {id: bp, kind: bp, systolic: 120, diastolic: 80, heart_rate: 80, repeats: 3,
     tolerance: {mean: 5, spread: 8, heart_rate: 3}}
"""


def overhead(folder, runs):
    """Runs the procedure against a simulated instrument with a perfect reading command; the station's share is
    what is left of the run after the instrument's own time, the settling and the readings."""
    shares, reports = [], []
    name = "adult-pm" if not QUICK else None
    checked = procedure.load(name) if name else procedure.parse(SHORT, "bench.yaml", "bench")
    with SimulatedDevice(port=0) as sim, store.open_store("sqlite:///" + os.path.join(folder, "runs.sqlite")) as db:
        sim.point_library_here()
        [instrument] = open_instruments(timeout=10)
        try:
            for _ in range(runs):
                run = Run(checked, instrument, readings.Readings([readings.CommandSource(PERFECT)]), store=db,
                          station="bench", dut={"model": "M", "serial": "S", "asset": "A"})
                run.execute()
                if run.verdict != "pass":
                    raise SystemExit(f"the benchmark's run did not pass: {run.reason}")
                t = run.timing
                station = t["total"] - t["instrument"] - t["settle"] - t["readings"]
                shares.append(100.0 * station / t["total"])
                reports.append(run.id)
        finally:
            instrument.close()
    figure(f"station's share of a run ({checked.name}, {len(checked.steps)} steps)", shares, "%", "< 1 %")
    return os.path.join(folder, "runs.sqlite"), reports[-1]


def store_trace(url, label, count):
    """Stores a step with a 60 s trace (12,000 samples) and its measurements, count times."""
    samples = [round(100.0 + 50.0 * ((i % 400) / 400.0), 1) for i in range(60 * 200)]
    times = []
    with store.open_store(url) as db:
        run_id = _fake_runs(db, 1)
        for position in range(count):
            step = StepResult(position, f"leak{position}", "leak", "Leak", started=now(), ended=now(),
                              verdict="pass", setpoints={"pressure": 250}, limits={"max": 6},
                              results={"leak": 1.0})
            step.measurements = [Measurement("leak", None, None, 1.0, 1.0, None, 6.0, "pass")]
            step.trace = Trace(0, "mmHg")
            step.trace.samples = samples
            began = time.perf_counter()
            db.add_step(run_id, step)
            times.append((time.perf_counter() - began) * 1000.0)
    figure(f"storing a step with a 60 s trace ({label})", times, "ms", "< 50 ms")


def _fake_runs(db, count, assets=500):
    """count runs written in one transaction, as if many stations had made them; returns the last id."""
    adult = procedure.load("adult-pm")
    rows = []
    for i in range(count):
        started = f"2026-{1 + i % 12:02d}-{1 + i % 28:02d}T{i % 24:02d}:{i % 60:02d}:00.{i % 1000:03d}Z"
        rows.append((uuid.uuid4().hex, f"bench-{i % 8}", "Site", "Tech", "adult-pm", "Adult", "1.0", adult.sha256,
                     "mmHg", "M", f"S-{i % assets}", f"A-{i % assets}",
                     f'{{"asset": "A-{i % assets}", "model": "M", "serial": "S-{i % assets}"}}', "SN-1", "1.4.2",
                     "2.1", None, 0, "1.1.0.0", "1.1.0", None, started))
    with db._transaction() as run_sql:
        run_sql("INSERT INTO procedures (sha256, text) VALUES (?, ?) ON CONFLICT (sha256) DO NOTHING",
                (adult.sha256, adult.text))
        last = None
        for row in rows:
            last = run_sql("INSERT INTO runs (uid, station, site, technician, procedure_name, procedure_title, "
                           "procedure_version, procedure_sha256, unit, dut_model, dut_serial, dut_asset, dut, "
                           "instrument_serial, instrument_firmware, instrument_hardware, calibration_due, "
                           "calibration_overdue, library_version, station_version, corrects, started) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id", row)
            run_sql("INSERT INTO run_ends (run_id, ended, verdict, reason) VALUES (?, ?, ?, ?)",
                    (last, row[-1], "pass", None))
    return last


def history(url, label, count, repeats):
    with store.open_store(url) as db:
        _fake_runs(db, count)
        for what, query in (("newest 100", lambda: db.history()),
                            ("one asset", lambda: db.history(asset="A-77")),
                            ("all", lambda: db.history(limit=None))):
            times = []
            for _ in range(repeats):
                began = time.perf_counter()
                rows = query()
                times.append((time.perf_counter() - began) * 1000.0)
            assert rows
            figure(f"history over {count} runs, {what} ({label})", times, "ms", "< 100 ms")


def report_time(path, run_id, repeats):
    with store.open_store("sqlite:///" + path) as db:
        times = []
        for i in range(repeats):
            began = time.perf_counter()
            run = db.run(run_id, traces=True)
            report.pdf(run, os.path.join(os.path.dirname(path), f"report-{i}.pdf"))
            times.append(time.perf_counter() - began)
    plots = sum(1 for s in run["steps"] if s["kind"] in report.PLOTTED)
    figure(f"PDF report of a stored run with {plots} plots", times, "s", "< 3 s")


def main():
    folder = tempfile.mkdtemp(prefix="vasq-station-bench-")
    runs, repeats = (1, 3) if QUICK else (3, 10)
    path, run_id = overhead(folder, runs)
    report_time(path, run_id, repeats)
    store_trace("sqlite:///" + os.path.join(folder, "traces.sqlite"), "SQLite", repeats * 2)
    history("sqlite:///" + os.path.join(folder, "history.sqlite"), "SQLite", 10000, repeats)
    reason = PostgresCluster.missing()
    if reason:
        print(f"PostgreSQL figures left out: {reason}")
        return
    with PostgresCluster() as cluster:
        store_trace(cluster.create_database("traces"), "PostgreSQL", repeats * 2)
        history(cluster.create_database("history"), "PostgreSQL", 10000, repeats)


if __name__ == "__main__":
    main()
