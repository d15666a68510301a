"""The test station against simulated instruments (vasq-sim), a real SQLite file and a private PostgreSQL server.

VASQ_SIM and VASQ_LIBRARY name the build's programs; run with Debian's python3 (the station's packages are
Debian's). Each class is one CTest test, so that they run in parallel.
"""
import csv
import io
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ET

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, PACKAGE)

import vasq  # noqa: E402
from vasq.station import export, procedure, readings, store  # noqa: E402
from vasq.station.testing import PostgresCluster  # noqa: E402
from vasq.testing import SimulatedDevice  # noqa: E402

DEADLINE = 60.0
SERIAL = "NQX7001-070042"
# A monitor that reads exactly what the instrument simulates.
PERFECT = 'printf %s "$VASQ_EXPECTED"'
SHORT = """\
procedure: Short check
version: "0.1"
unit: mmHg
steps:
  - id: static
    kind: static
    points: [100, 150]
    tolerance: 3
    settle: 0.2
  - id: leak
    kind: leak
    pressure: 150
    duration: 2
    limit: 6
  - id: overpressure
    kind: overpressure
    pressure: 300
    limits: {min: 280, max: 320}
  - id: bp
    kind: bp
    systolic: 120
    diastolic: 80
    heart_rate: 72
    repeats: 2
    tolerance: {mean: 5, spread: 8, heart_rate: 3}
"""


def station_env(extra=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = PACKAGE + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    # No user's configuration or database leaks into a test.
    env.setdefault("XDG_CONFIG_HOME", tempfile.mkdtemp(prefix="vasq-station-config-"))
    env.setdefault("XDG_DATA_HOME", tempfile.mkdtemp(prefix="vasq-station-data-"))
    env.update(extra or {})
    return env


def station(*args, env=None, timeout=240, cwd=None):
    return subprocess.run([sys.executable, "-m", "vasq.station", *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, env=env or station_env(), timeout=timeout, cwd=cwd)


def offset_command(folder, offsets):
    """A reading command that answers like a perfect monitor, off by offsets[step_id][key]."""
    path = os.path.join(folder, f"monitor-{len(os.listdir(folder))}.py")
    with open(path, "w") as f:
        f.write("import json, os\n"
                "expected = json.loads(os.environ['VASQ_EXPECTED'])\n"
                f"offsets = {offsets!r}.get(os.environ['VASQ_STEP_ID'], {{}})\n"
                "print(json.dumps({k: v + offsets.get(k, 0) for k, v in expected.items()}))\n")
    return f"{sys.executable} {path}"


def verdicts(junit_path):
    """{step id: outcome} from a JUnit file, outcome one of pass, failure, error, skipped."""
    out = {}
    for case in ET.parse(junit_path).getroot().iter("testcase"):
        kinds = [child.tag for child in case if child.tag in ("failure", "error", "skipped")]
        out[case.get("name")] = kinds[0] if kinds else "pass"
    return out


def pixels_near(image, colour, tolerance=40):
    """How many pixels of the image are within tolerance of the colour (r, g, b), channel by channel summed."""
    from PIL import Image, ImageChops
    difference = ImageChops.difference(image.convert("RGB"), Image.new("RGB", image.size, colour))
    r, g, b = difference.split()
    total = ImageChops.add(ImageChops.add(r, g), b)  # saturates at 255, above any tolerance used here
    return sum(total.point(lambda v: 255 if v <= tolerance else 0).histogram()[255:])


def pdf_pages(pdf, folder, resolution=75):
    """The PDF's pages rendered as PPM images, and its text."""
    prefix = os.path.join(folder, "page")
    subprocess.run(["pdftoppm", "-r", str(resolution), pdf, prefix], check=True, timeout=60)
    pages = sorted(p for p in os.listdir(folder) if p.startswith("page") and p.endswith(".ppm"))
    text = subprocess.run(["pdftotext", "-layout", pdf, "-"], stdout=subprocess.PIPE, text=True, check=True,
                          timeout=60).stdout
    from PIL import Image

    def load(name):
        with Image.open(os.path.join(folder, name)) as image:
            image.load()
            return image.copy()
    return [load(p) for p in pages], text


TRACE_BLUE = (31, 78, 154)
PASS_GREEN = (223, 243, 223)
FAIL_RED = (251, 224, 224)


class Folder(unittest.TestCase):
    """A private folder for each test, kept when it fails (its files are the test's artefacts)."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix=f"vasq-station-{self._testMethodName}-")
        self.env = station_env({"XDG_CONFIG_HOME": os.path.join(self.folder, "config"),
                                "XDG_DATA_HOME": os.path.join(self.folder, "data")})
        self.addCleanup(self._clean)

    def _clean(self):
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and not getattr(outcome, "success", True)
        if not failed:
            shutil.rmtree(self.folder, ignore_errors=True)

    def file(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def sim(self, port=0, options=(), folder=None):
        device = SimulatedDevice(port=port, options=list(options), folder=folder)
        device.start()
        self.addCleanup(device.stop)
        return device

    def db(self, name="results.sqlite"):
        return "sqlite:///" + os.path.join(self.folder, name)

    def run_station(self, *args, timeout=240):
        result = station(*args, env=self.env, timeout=timeout, cwd=self.folder)
        self.output = result.stdout + result.stderr
        return result

    def history(self, url, *args):
        result = self.run_station("history", "--db", url, "--json", *args)
        self.assertEqual(0, result.returncode, self.output)
        return json.loads(result.stdout)


# ---- without an instrument ---------------------------------------------------------------------------------

class Procedures(Folder):
    def test_shipped_procedures_are_listed_checked_and_found_by_name(self):
        result = self.run_station("procedures", "--json")
        self.assertEqual(0, result.returncode, self.output)
        listed = {item["name"]: item for item in json.loads(result.stdout)}
        self.assertEqual({"adult-pm", "neonatal-pm"}, set(listed))
        adult = procedure.load("adult-pm")
        self.assertEqual(["static", "leak", "overpressure", "bp"],
                         list(dict.fromkeys(step.kind for step in adult.steps)))
        neonatal = procedure.load("neonatal-pm")
        self.assertEqual({"neonatal"}, {s["patient"] for s in neonatal.steps if s.kind == "bp"})
        self.assertEqual(150, neonatal.step("overpressure")["pressure"])
        # A shipped name works wherever a file does; a file of that name in the folder is taken first.
        self.assertEqual(0, self.run_station("check", "adult-pm").returncode, self.output)
        self.file("adult-pm", SHORT)
        self.assertIn("Short check", self.run_station("check", "adult-pm").stdout)
        self.assertEqual(2, self.run_station("check", "no-such-procedure").returncode)
        self.assertIn("shipped: adult-pm, neonatal-pm", self.output)

    def test_errors_name_the_file_the_line_and_the_key(self):
        cases = [
            # (change to SHORT, line, key, words)
            (("    tolerance: 3\n    settle", "    tolerance: 3\n    colour: red\n    settle"), 9, "steps[0].colour",
             "unknown key 'colour'"),
            (("    limit: 6\n", ""), 10, "steps[1]", "'limit' is missing"),
            (("    duration: 2\n", ""), 10, "steps[1]", "exactly one of 'duration' or 'parameter'"),
            (("    duration: 2\n", "    duration: 2\n    parameter: 60\n"), 10, "steps[1]", "exactly one of"),
            (("points: [100, 150]", "points: [100, 15]"), 7, "steps[0].points[1]",
             "outside the instrument's range 20 to 400 mmHg"),
            (("points: [100, 150]", "points: [100, 150.5]"), 7, "steps[0].points[1]", "whole mmHg"),
            (("tolerance: 3\n", "tolerance: -1\n"), 8, "steps[0].tolerance", "less than or equal to the minimum"),
            (("kind: leak", "kind: leek"), 11, "steps[1].kind", "is not one of"),
            (("id: leak", "id: static"), 10, "steps[1].id", "used twice (first at line 5)"),
            (("diastolic: 80", "diastolic: 130"), 22, "steps[3].diastolic", "must be below systolic"),
            (("limits: {min: 280, max: 320}", "limits: {min: 330, max: 320}"), 18, "steps[2].limits",
             "min is above max"),
            (('version: "0.1"', "version: 0.1"), 2, "version", "is not of type 'string'"),
            (("unit: mmHg", "unit: psi"), 3, "unit", "is not one of"),
            (("    settle: 0.2\n", "    settle: 0.2\n    settle: 1\n"), 10, "steps[0].settle", "given twice"),
            (("steps:\n", "steps: [\n"), None, "", "not valid YAML"),
        ]
        for (old, new), line, key, words in cases:
            with self.subTest(key=key, words=words):
                self.assertIn(old, SHORT)
                path = self.file("bad.yaml", SHORT.replace(old, new, 1))
                with self.assertRaises(procedure.ProcedureError) as raised:
                    procedure.load(path)
                error = raised.exception
                self.assertEqual(path, error.source)
                if line is not None:
                    self.assertEqual(line, error.line, str(error))
                self.assertEqual(key, error.key, str(error))
                self.assertIn(words, str(error))
                self.assertTrue(str(error).startswith(f"{path}:{line}: {key}: " if line else path), str(error))
        kpa = SHORT.replace("unit: mmHg", "unit: kPa").replace("[100, 150]", "[13.3, 20.05]")
        with self.assertRaises(procedure.ProcedureError) as raised:
            procedure.parse(kpa, "k.yaml")
        self.assertIn("steps[0].points[1]: 20.05 kPa: the instrument takes set points in tenths of a kPa",
                      str(raised.exception))

    def test_a_bad_procedure_sends_nothing_and_exits_2(self):
        device = self.sim(options=["--verbose"])
        bad = self.file("bad.yaml", SHORT.replace("tolerance: 3", "tolerance: none"))
        result = self.run_station("run", bad, "--device-folder", device.folder, "--reading-command", PERFECT,
                                  "--db", self.db())
        self.assertEqual(2, result.returncode, self.output)
        self.assertIn(f"{bad}:8: steps[0].tolerance: 'none' is not of type 'number'", result.stderr)
        for args in (["--readings", os.path.join(self.folder, "missing.json")], ["--dut", "Model=X"],
                     ["--db", "mysql://x"], ["--reading-timeout", "0"], ["--corrects", "99"],
                     ["--station", os.path.join(self.folder, "no-station.yaml")]):
            with self.subTest(args=args):
                result = self.run_station("run", "adult-pm", "--device-folder", device.folder, "--db", self.db(),
                                          *args)
                self.assertEqual(2, result.returncode, self.output)
        # The simulator logs every request it receives: none came.
        device.process.terminate()
        self.assertEqual("", device.process.stdout.read())

    def test_the_published_schema_is_the_one_checked(self):
        result = self.run_station("schema")
        self.assertEqual(0, result.returncode)
        self.assertEqual(procedure.schema(), json.loads(result.stdout))
        self.assertEqual(["static", "leak", "overpressure", "bp", "operator-check"],
                         json.loads(result.stdout)["$defs"]["step"]["properties"]["kind"]["enum"])


class Readings(Folder):
    def request(self, kind="static", **fields):
        expected = {"static": {"pressure": 150.0}, "bp": {"systolic": 120.0, "diastolic": 80.0,
                                                          "heart_rate": 72.0}, "operator-check": {"answer": True}}
        values = dict(run="r", instrument="SN-1", step_id="step-1", kind=kind, repeat=2, expected=expected[kind],
                      unit="mmHg", question="All good?")
        values.update(fields)
        return readings.ReadingRequest(**values)

    def test_the_command_gets_the_fixed_environment_and_its_json_is_the_reading(self):
        command = ("echo '{\"pressure\": 151.5, \"display\": \"ok\"}'; "
                   "printf '%s' \"$VASQ_STEP_ID|$VASQ_STEP_KIND|$VASQ_REPEAT|$VASQ_EXPECTED|$VASQ_INSTRUMENT\" > seen")
        source = readings.CommandSource(f"cd {self.folder} && {command}", timeout=10)
        self.assertEqual({"pressure": 151.5}, source.read(self.request(), threading.Event()))
        with open(os.path.join(self.folder, "seen")) as f:
            self.assertEqual('step-1|static|2|{"pressure": 150.0}|SN-1', f.read())
        bp = readings.CommandSource(PERFECT, timeout=10).read(self.request("bp"), threading.Event())
        self.assertEqual({"systolic": 120.0, "diastolic": 80.0, "heart_rate": 72.0}, bp)
        self.assertFalse(readings.CommandSource(PERFECT).answers(self.request("operator-check")))

    def test_a_failing_command_is_an_error_never_a_reading(self):
        cases = [("exit 3", "exit status 3"), ("echo 'oops' >&2; exit 1", "oops"), ("echo '{\"pressure\": '", "not one JSON"),
                 ("echo '[150]'", "a JSON object"), ("echo '{\"pressur\": 150}'", "no 'pressure'"),
                 ("echo '{\"pressure\": \"150\"}'", "finite number"), ("echo '{\"pressure\": NaN}'", "finite number"),
                 ("echo '{\"pressure\": true}'", "finite number"), ("echo", "not one JSON")]
        for command, words in cases:
            with self.subTest(command=command):
                with self.assertRaises(readings.ReadingError) as raised:
                    readings.CommandSource(command, timeout=10).read(self.request(), threading.Event())
                self.assertIn(words, str(raised.exception))

    def test_a_slow_command_times_out_and_a_stop_ends_it_with_its_children(self):
        marker = os.path.join(self.folder, "child.pid")
        slow = readings.CommandSource(f"sleep 30 & echo $! > {marker}; wait", timeout=0.5)
        began = time.monotonic()
        with self.assertRaises(readings.ReadingError) as raised:
            slow.read(self.request(), threading.Event())
        self.assertIn("no answer within 0.5 s", str(raised.exception))
        self.assertLess(time.monotonic() - began, 10)
        with open(marker) as f:
            child = int(f.read())
        self.assertTrue(_gone(child), "the command's child outlived the time-out")
        stop = threading.Event()
        threading.Timer(0.3, stop.set).start()
        with self.assertRaises(readings.ReadingStopped):
            readings.CommandSource("sleep 30", timeout=60).read(self.request(), stop)

    def test_the_readings_file_answers_by_step_point_and_repeat(self):
        path = self.file("readings.json", json.dumps({
            "step-1": [{"pressure": 99.5}, {"pressure": 150.2}],
            "bp": {"systolic": 121, "diastolic": 79, "heart_rate": 72},
            "looks": False}))
        source = readings.FileSource(path)
        self.assertEqual({"pressure": 150.2}, source.read(self.request(point=1), threading.Event()))
        self.assertFalse(source.answers(self.request(point=2)))
        self.assertEqual(121.0, source.read(self.request("bp", step_id="bp", repeat=3), threading.Event())["systolic"])
        self.assertEqual({"answer": False}, source.read(self.request("operator-check", step_id="looks"),
                                                        threading.Event()))
        self.assertFalse(source.answers(self.request(step_id="other")))
        for text, words in (("[1]", "a JSON object by step id"), ('{"a": 3}', "an object, an array"), ("{", "JSON")):
            with self.subTest(text=text):
                with self.assertRaisesRegex(ValueError, words):
                    readings.FileSource(self.file("bad.json", text))

    def test_the_first_source_that_answers_takes_the_request(self):
        path = self.file("r.json", json.dumps({"check": True, "step-1": {"pressure": 1.0}}))
        chain = readings.Readings([readings.CommandSource(PERFECT), readings.FileSource(path),
                                   readings.PromptSource(input=io.StringIO())])
        stop = threading.Event()
        self.assertEqual({"pressure": 150.0}, chain.read(self.request(), stop))
        self.assertEqual({"answer": True}, chain.read(self.request("operator-check", step_id="check"), stop))
        with self.assertRaisesRegex(readings.ReadingError, "needs --readings or a terminal"):
            chain.read(self.request("operator-check", step_id="other"), stop)

    def test_the_terminal_prompt_asks_again_until_the_answer_fits(self):
        import pty
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        terminal = open(slave, "rb", buffering=0)
        self.addCleanup(terminal.close)
        output = io.StringIO()
        source = readings.PromptSource(input=terminal, output=output)
        self.assertTrue(source.answers(self.request()))
        self.assertFalse(readings.PromptSource(input=io.StringIO()).answers(self.request()))
        os.write(master, b"120/abc\n121/79.5/70\n")
        self.assertEqual({"systolic": 121.0, "diastolic": 79.5, "heart_rate": 70.0},
                         source.read(self.request("bp"), threading.Event()))
        self.assertIn("numbers only", output.getvalue())
        os.write(master, b"maybe\nn\n")
        self.assertEqual({"answer": False}, source.read(self.request("operator-check"), threading.Event()))
        stop = threading.Event()
        threading.Timer(0.3, stop.set).start()
        with self.assertRaises(readings.ReadingStopped):
            source.read(self.request(), stop)

    def test_a_submitted_reading_answers_the_pending_request(self):
        source = readings.ExternalSource()
        with self.assertRaisesRegex(readings.ReadingError, "no reading is pending"):
            source.submit({"pressure": 1.0})
        answers = []
        reader = threading.Thread(target=lambda: answers.append(source.read(self.request(), threading.Event())))
        reader.start()
        deadline = time.monotonic() + DEADLINE
        while source.pending is None and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual("step-1", source.pending.step_id)
        with self.assertRaisesRegex(readings.ReadingError, "no 'pressure'"):
            source.submit({"systolic": 1.0})
        source.submit({"pressure": 149.0})
        reader.join(DEADLINE)
        self.assertEqual([{"pressure": 149.0}], answers)
        self.assertIsNone(source.pending)


def _gone(pid, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


# ---- the store -----------------------------------------------------------------------------------------------

class _Calibration:
    def __init__(self, due=None):
        self.due = due

    def overdue(self):
        import datetime
        return self.due is not None and datetime.date.today() > self.due


class _Instrument:
    """What the store reads of an instrument (the store is tested here without one)."""
    serial, firmware, hardware, calibration = "SN-9", "1.4.2", "2.1", _Calibration()


def stored_run(db, *, asset="A-1", model="M1", serial="S-1", started="2026-01-01T10:00:00.000Z", verdict="pass",
               samples=(0.0, 150.0, 150.1, -0.5), values=(0.4, -0.2), text=SHORT):
    """Writes a run as the runner does, with one static step; returns its id."""
    from vasq.station.instrument import Trace
    from vasq.station.runner import Measurement, StepResult

    class FakeRun:
        pass
    run = FakeRun()
    run.uid = f"{asset}-{started}-{os.urandom(4).hex()}"
    run.station, run.site, run.technician, run.corrects = "bench-1", "Site", "Tech", None
    run.procedure = procedure.parse(text, "short.yaml", "short")
    run.dut = {"model": model, "serial": serial, "asset": asset}
    run.instrument, run.started = _Instrument(), started
    run_id = db.begin_run(run)
    step = StepResult(0, "static", "static", "Static", started=started, ended=started, verdict=verdict,
                      setpoints={"points": [100, 150]}, limits={"tolerance": 3},
                      readings=[{"point": 100, "pressure": 100.4}], results={"points": []})
    step.measurements = [Measurement("pressure", "100", 100.0, 100.0 + v, v, -3.0, 3.0, "pass") for v in values]
    step.trace = Trace(7, "mmHg")
    step.trace.samples = list(samples)
    db.add_step(run_id, step)
    db.end_run(run_id, started.replace("10:00", "10:05"), verdict, "")
    return run_id


class StoreSQLite(Folder):
    def test_runs_steps_and_traces_come_back_as_written(self):
        with store.open_store(self.db()) as db:
            samples = [round(i * 0.1 - 3.0, 1) for i in range(12000)]  # 60 s at 200 samples/s, negatives too
            run_id = stored_run(db, samples=samples)
            run = db.run(run_id, traces=True)
        self.assertEqual("pass", run["verdict"])
        self.assertEqual({"model": "M1", "serial": "S-1", "asset": "A-1"}, run["dut"])
        self.assertEqual(SHORT, run["procedure_text"])
        self.assertEqual(procedure.parse(SHORT).sha256, run["procedure_sha256"])
        step = run["steps"][0]
        self.assertEqual(samples, step["trace"]["samples"])
        self.assertEqual((200, 7), (step["trace"]["rate"], step["trace"]["first_sample"]))
        self.assertEqual([0.4, -0.2], [m["value"] for m in step["measurements"]])

    def test_the_store_is_append_only(self):
        path = os.path.join(self.folder, "results.sqlite")
        with store.open_store(self.db()) as db:
            stored_run(db)
        connection = sqlite3.connect(path)
        for table in ("runs", "run_ends", "steps", "measurements", "traces"):
            for statement in (f"UPDATE {table} SET rowid = rowid", f"DELETE FROM {table}"):
                with self.subTest(statement=statement):
                    with self.assertRaisesRegex(sqlite3.DatabaseError, "append-only"):
                        connection.execute(statement)
        connection.close()

    def test_migrations_are_versioned_and_a_newer_database_is_refused(self):
        path = os.path.join(self.folder, "results.sqlite")
        with store.open_store(self.db()) as db:
            self.assertEqual(store.SCHEMA_VERSION, db.version)
        with store.open_store(self.db()) as db:  # opened again: nothing to do
            self.assertEqual(1, db._query("SELECT COUNT(*) FROM schema_migrations")[0][0])
        connection = sqlite3.connect(path)
        connection.execute("INSERT INTO schema_migrations VALUES (99, 'from the future', '2030-01-01')")
        connection.commit()
        connection.close()
        with self.assertRaisesRegex(store.StoreError, "schema version 99, newer than this station's 1"):
            store.open_store(self.db())
        result = self.run_station("history", "--db", self.db())
        self.assertEqual(2, result.returncode)
        self.assertIn("update vasq-station", result.stderr)
        # Three slashes and a relative path: a file in the current folder.
        self.assertEqual(0, self.run_station("history", "--db", "sqlite:///here.sqlite").returncode, self.output)
        self.assertTrue(os.path.exists(os.path.join(self.folder, "here.sqlite")))
        self.assertEqual(2, self.run_station("history", "--db", "sqlite://host/x.sqlite").returncode)

    def test_history_filters_and_orders_newest_first(self):
        with store.open_store(self.db()) as db:
            first = stored_run(db, asset="A-1", serial="S-1", started="2026-01-01T10:00:00.000Z")
            second = stored_run(db, asset="A-2", serial="S-2", started="2026-02-01T10:00:00.000Z", verdict="fail")
            third = stored_run(db, asset="A-1", serial="S-1", started="2026-03-01T10:00:00.000Z")
        self.assertEqual([third, second, first], [r["id"] for r in self.history(self.db())])
        self.assertEqual([third, first], [r["id"] for r in self.history(self.db(), "--asset", "A-1")])
        self.assertEqual([second], [r["id"] for r in self.history(self.db(), "--serial", "S-2")])
        self.assertEqual([third, first], [r["id"] for r in self.history(self.db(), "--serial", "S-1")])
        self.assertEqual([third, second], [r["id"] for r in self.history(self.db(), "--since", "2026-01-15")])
        self.assertEqual([third], [r["id"] for r in self.history(self.db(), "--limit", "1")])
        row = self.history(self.db())[1]
        for key in ("id", "started", "procedure", "verdict", "station", "dut"):
            self.assertIn(key, row)
        self.assertEqual(("fail", "bench-1", "A-2"), (row["verdict"], row["station"], row["dut"]["asset"]))
        self.assertEqual(2, self.run_station("history", "--db", self.db(), "--since", "yesterday").returncode)

    def test_trend_over_a_models_runs(self):
        with store.open_store(self.db()) as db:
            stored_run(db, values=(1.0,))
            stored_run(db, values=(2.0,))
            stored_run(db, values=(3.0,))
            stored_run(db, model="M2", values=(9.0,))
            stored_run(db, values=(50.0,), verdict="aborted")
        result = self.run_station("trend", "--db", self.db(), "--model", "M1", "--step", "static", "--json")
        self.assertEqual(0, result.returncode, self.output)
        [row] = json.loads(result.stdout)
        self.assertEqual(("pressure", "100", 3), (row["quantity"], row["point"], row["count"]))
        self.assertAlmostEqual(2.0, row["mean"])
        self.assertAlmostEqual(1.0, row["spread"])
        text = self.run_station("trend", "--db", self.db(), "--model", "M1", "--step", "static").stdout
        self.assertRegex(text, r"pressure\s+100\s+3\s+\+2\.00\s+1\.00")

    def test_the_report_draws_each_trace_and_says_the_verdict(self):
        ramp = [min(i * 0.5, 150.0) for i in range(2000)]
        with store.open_store(self.db()) as db:
            drawn = stored_run(db, samples=ramp)
            empty = stored_run(db, samples=(), verdict="fail", values=(3.5,))
        counts = {}
        for run_id in (drawn, empty):
            pdf = os.path.join(self.folder, f"{run_id}.pdf")
            result = self.run_station("report", str(run_id), "--pdf", pdf, "--db", self.db())
            self.assertEqual(0, result.returncode, self.output)
            folder = tempfile.mkdtemp(dir=self.folder)
            pages, text = pdf_pages(pdf, folder)
            counts[run_id] = sum(pixels_near(page, TRACE_BLUE) for page in pages)
            banner = pixels_near(pages[0], PASS_GREEN if run_id == drawn else FAIL_RED, 12)
            self.assertGreater(banner, 2000, run_id)
        self.assertGreater(counts[drawn], 300)
        self.assertEqual(0, counts[empty])
        self.assertIn("no samples", text)
        self.assertIn("FAILED: 1 of 1 steps outside their limits (Static)", text)
        html = os.path.join(self.folder, "report.html")
        self.assertEqual(0, self.run_station("report", str(drawn), "--html", html, "--db", self.db()).returncode)
        with open(html) as f:
            page = f.read()
        self.assertEqual(1, page.count("<polyline"))
        self.assertIn("PASSED: all 1 steps within their limits.", page)
        self.assertEqual(2, self.run_station("report", "99", "--html", html, "--db", self.db()).returncode)
        # A database that someone damaged: a reason in one line, not a traceback.
        connection = sqlite3.connect(os.path.join(self.folder, "results.sqlite"))
        connection.execute("DROP TABLE traces")
        connection.close()
        result = self.run_station("report", str(drawn), "--html", html, "--db", self.db())
        self.assertEqual((2, "vasq-station: results store: no such table: traces\n"),
                         (result.returncode, result.stderr))

    def test_exports_read_back_without_loss(self):
        with store.open_store(self.db()) as db:
            stored_run(db, started="2025-12-01T10:00:00.000Z")
            stored_run(db, asset="A,\"quoted\"\nline", started="2026-01-02T10:00:00.000Z", values=(0.1, 1e-7, -2.5))
            kept = db.export(store.parse_since("2026-01-01"))
        self.assertEqual(1, len(kept))
        for form, reader in (("json", export.read_json), ("csv", export.read_csv)):
            with self.subTest(form=form):
                out = os.path.join(self.folder, f"export.{form}")
                result = self.run_station("export", "--db", self.db(), "--since", "2026-01-01", "--format", form,
                                          "--output", out)
                self.assertEqual(0, result.returncode, self.output)
                with open(out, newline="") as f:
                    self.assertEqual(kept, reader(f))
        with open(os.path.join(self.folder, "export.csv"), newline="") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual("A,\"quoted\"\nline", json.loads(rows[0]["dut"])["asset"])


# ---- against simulated instruments -----------------------------------------------------------------------------

class DoneWhen(Folder):
    """The shipped adult procedure against the simulated instrument, as a user runs it."""

    def adult_run(self, sim_options=(), command=PERFECT):
        device = self.sim(options=sim_options)
        junit = os.path.join(self.folder, "junit.xml")
        result = self.run_station("run", "adult-pm", "--device-folder", device.folder, "--reading-command", command,
                                  "--dut", "model=VitalView 5", "--dut", "serial=VV5-0042", "--dut", "asset=BME-1187",
                                  "--technician", "R. Tech", "--db", self.db(), "--junit", junit, timeout=300)
        return result, verdicts(junit) if os.path.exists(junit) else {}

    def test_a_perfect_monitor_passes_with_junit_a_stored_run_and_a_pdf_report(self):
        result, outcome = self.adult_run()
        self.assertEqual(0, result.returncode, self.output)
        self.assertEqual({s.id: "pass" for s in procedure.load("adult-pm").steps}, outcome)
        self.assertRegex(result.stdout, r"verdict: PASS: all 6 steps passed \(run 1\)")
        [run] = self.history(self.db())
        self.assertEqual(("pass", "adult-pm", "BME-1187"), (run["verdict"], run["procedure"], run["dut"]["asset"]))
        self.assertEqual(SERIAL, run["instrument"]["serial"])
        with store.open_store(self.db()) as db:
            stored = db.run(run["id"], traces=True)
        for step in stored["steps"]:
            # Every step keeps its trace, at 200 samples/s, as long as the step took.
            seconds = _seconds(step["started"], step["ended"])
            self.assertGreater(len(step["trace"]["samples"]), 150 * seconds - 100, step["step"])
        held = stored["steps"][0]["trace"]["samples"]
        self.assertGreater(max(held), 245.0)

        pdf = os.path.join(self.folder, "report.pdf")
        result = self.run_station("report", str(run["id"]), "--pdf", pdf, "--db", self.db())
        self.assertEqual(0, result.returncode, self.output)
        pages, text = pdf_pages(pdf, self.folder)
        for words in ("PASSED: all 6 steps within their limits", "VitalView 5", "VV5-0042", "BME-1187", SERIAL,
                      "R. Tech", "Adult NIBP monitor, preventive maintenance", "version 1.0", "Signature"):
            self.assertIn(words, text)
        # The verdict's green banner on the first page, no red one anywhere.
        self.assertGreater(pixels_near(pages[0], PASS_GREEN, 12), 2000)
        self.assertLess(sum(pixels_near(page, FAIL_RED, 12) for page in pages), 200)
        # The traces: drawn in their colour on the pages after the table, a good part of each plot.
        drawn = [pixels_near(page, TRACE_BLUE) for page in pages]
        self.assertEqual(0, drawn[0], "no plot on the first page")
        self.assertGreater(sum(drawn[1:]), 1000, drawn)

    def test_readings_off_by_more_than_the_tolerance_fail_exactly_their_steps(self):
        command = offset_command(self.folder, {"static": {"pressure": 3.5}, "bp-high": {"systolic": -6.0},
                                               "bp-low": {"heart_rate": 2.5}})
        result, outcome = self.adult_run(command=command)
        self.assertEqual(1, result.returncode, self.output)
        self.assertEqual({"static": "failure", "leak": "pass", "overpressure": "pass", "bp-normal": "pass",
                          "bp-high": "failure", "bp-low": "pass"}, outcome)
        self.assertRegex(result.stdout, r"FAIL\s+pressure at 150: expected 150, measured 153.5, judged 3.5 mmHg")
        self.assertRegex(result.stdout, r"FAIL\s+systolic at 160/100: expected 160, measured 154, judged -6 mmHg")
        self.assertIn("verdict: FAIL: 2 of 6 steps failed: static, bp-high", result.stdout)

    def test_the_simulators_leak_fault_fails_the_leak_step_alone(self):
        result, outcome = self.adult_run(sim_options=["--dut-leak", "8.5"])
        self.assertEqual(1, result.returncode, self.output)
        self.assertEqual({"static": "pass", "leak": "failure", "overpressure": "pass", "bp-normal": "pass",
                          "bp-high": "pass", "bp-low": "pass"}, outcome)
        self.assertRegex(result.stdout, r"FAIL\s+leak: expected -, measured 8.5, judged 8.5 mmHg, limit ≤ 6")
        pdf = os.path.join(self.folder, "report.pdf")
        self.assertEqual(0, self.run_station("report", "1", "--pdf", pdf, "--db", self.db()).returncode)
        pages, text = pdf_pages(pdf, self.folder)
        self.assertIn("FAILED: 1 of 6 steps outside their limits (Leak of the cuff system)", text)
        self.assertGreater(pixels_near(pages[0], FAIL_RED, 12), 2000)


def _seconds(start, end):
    import datetime
    parse = datetime.datetime.fromisoformat
    return (parse(end.replace("Z", "+00:00")) - parse(start.replace("Z", "+00:00"))).total_seconds()


class SeveralInstruments(Folder):
    def test_one_process_runs_each_instrument_with_its_own_monitor_and_faults(self):
        first = self.sim(port=1, options=["--serial", "1-1"])
        second = self.sim(port=2, folder=first.folder, options=["--serial", "2-2", "--dut-valve", "340"])
        third = self.sim(port=3, folder=first.folder, options=["--serial", "3-3", "--unit", "kPa",
                                                                "--dut-leak", "1.1"])
        self.assertTrue(second and third)
        self.file("short.yaml", SHORT)
        self.file("third.json", json.dumps({"static": [{"pressure": 100}, {"pressure": 150}],
                                            "bp": {"systolic": 120, "diastolic": 80, "heart_rate": 72}}))
        station_file = self.file("station.yaml", f"""\
station: line-3
site: Plant 2, final test
instruments:
  - serial: NQX7001-010001
    calibration_due: 2020-01-31
    dut: {{model: M1, serial: A1, asset: X-1}}
    reading_command: '{PERFECT}'
  - serial: NQX7001-020002
    calibration_due: 2099-01-01
    dut: {{model: M1, serial: A2, asset: X-2}}
    reading_command: '{offset_command(self.folder, {"static": {"pressure": -3.5}})}'
  - serial: NQX7001-030003
    dut: {{model: M2, serial: A3, asset: X-3}}
    readings: third.json
""")
        junit = os.path.join(self.folder, "junit.xml")
        result = self.run_station("run", "short.yaml", "--station", station_file, "--device-folder", first.folder,
                                  "--db", self.db(), "--junit", junit)
        self.assertEqual(1, result.returncode, self.output)
        # Lines are told apart by the instrument's serial number.
        self.assertIn("[NQX7001-010001] verdict: PASS", result.stdout)
        self.assertIn("[NQX7001-010001] warning: the simulator's calibration was due 2020-01-31: CALIBRATION OVERDUE",
                      result.stdout)
        runs = {r["dut"]["asset"]: r for r in self.history(self.db())}
        self.assertEqual({"X-1": "pass", "X-2": "fail", "X-3": "fail"}, {k: v["verdict"] for k, v in runs.items()})
        self.assertEqual({"X-1": True, "X-2": False, "X-3": False},
                         {k: v["instrument"]["calibration_overdue"] for k, v in runs.items()})
        self.assertEqual(("line-3", "Plant 2, final test"), (runs["X-1"]["station"], runs["X-1"]["site"]))
        suites = {s.get("name"): s for s in ET.parse(junit).getroot().iter("testsuite")}
        self.assertEqual({"short on NQX7001-010001", "short on NQX7001-020002", "short on NQX7001-030003"},
                         set(suites))
        failed = {name: sorted(c.get("name") for c in suite.iter("testcase") if c.find("failure") is not None)
                  for name, suite in suites.items()}
        # The valve at 340 fails the overpressure step; the readings 3.5 below fail the static step; the third
        # instrument, started in kPa, measures a leak of 1.1 kPa: above 6 mmHg.
        self.assertEqual({"short on NQX7001-010001": [], "short on NQX7001-020002": ["overpressure", "static"],
                          "short on NQX7001-030003": ["leak"]}, failed)
        with store.open_store(self.db()) as db:
            third_run = db.run(runs["X-3"]["id"])
            valve = db.run(runs["X-2"]["id"])
        self.assertEqual(8.3, third_run["steps"][1]["results"]["leak"])
        self.assertEqual(340.0, valve["steps"][2]["measurements"][0]["measured"])
        # The run switched the third instrument to the procedure's unit, and back.
        first.point_library_here()
        with vasq.open(3, timeout=10) as third_device:
            self.assertEqual(vasq.Unit.KPA, third_device.unit)
        pdf = os.path.join(self.folder, "overdue.pdf")
        self.assertEqual(0, self.run_station("report", str(runs["X-1"]["id"]), "--pdf", pdf, "--db",
                                             self.db()).returncode, self.output)
        self.assertIn("CALIBRATION OVERDUE: the simulator's calibration was due 2020-01-31",
                      " ".join(pdf_pages(pdf, self.folder)[1].split()))

    def test_serials_on_the_command_line_with_their_own_options(self):
        first = self.sim(port=1, options=["--serial", "1-1"])
        self.sim(port=2, folder=first.folder, options=["--serial", "2-2"])
        path = self.file("check.yaml", """\
procedure: One point
version: "1"
unit: mmHg
steps:
  - {id: p, kind: static, points: [120], tolerance: 2, settle: 0}
""")
        result = self.run_station("run", path, "--device-folder", first.folder, "--db", self.db(), "--json",
                                  "--dut", "model=Shared", "--reading-command", PERFECT,
                                  "--serial", "NQX7001-020002", "--dut", "asset=second",
                                  "--serial", "NQX7001-010001", "--dut", "asset=first",
                                  "--reading-command", offset_command(self.folder, {"p": {"pressure": 2.5}}))
        self.assertEqual(1, result.returncode, self.output)
        lines = [json.loads(line) for line in result.stdout.splitlines()]
        runs = {line["instrument"]["serial"]: line for line in lines if line["event"] == "run"}
        self.assertEqual({"NQX7001-010001": ("fail", {"model": "Shared", "asset": "first"}),
                          "NQX7001-020002": ("pass", {"model": "Shared", "asset": "second"})},
                         {k: (v["verdict"], v["dut"]) for k, v in runs.items()})
        steps = [line for line in lines if line["event"] == "step"]
        self.assertEqual(2, len(steps))
        # A procedure in kPa on an instrument that works in mmHg: set points, readings, the leak and the trace
        # in kPa, at the instrument's resolution of 0.01 kPa.
        kpa = self.file("kpa.yaml", """\
procedure: In kPa
version: "1"
unit: kPa
steps:
  - {id: p, kind: static, points: [13.3], tolerance: 0.3, settle: 0.2}
  - {id: leak, kind: leak, pressure: 20, duration: 1, limit: 0.8}
  - {id: neonatal, kind: bp, patient: neonatal, systolic: 9.3, diastolic: 5.3, heart_rate: 140, pulse_volume: 0.5,
     tolerance: {mean: 0.7, spread: 1}}
""")
        before = {r["id"]: r for r in self.history(self.db())}
        failed = runs["NQX7001-010001"]["id"]
        # A correction is a new run that names the one it corrects, which stays as it was.
        result = self.run_station("run", kpa, "--device-folder", first.folder, "--db", self.db(), "--serial",
                                  "NQX7001-010001", "--reading-command", PERFECT, "--corrects", str(failed))
        self.assertEqual(0, result.returncode, self.output)
        after = self.history(self.db())
        self.assertEqual(failed, after[0]["corrects"])
        self.assertEqual(before, {r["id"]: r for r in after[1:]})
        self.assertRegex(result.stdout, r"PASS\s+pressure at 13.3: expected 13.\d+, measured 13.3, judged -?0(.\d+)? kPa")
        self.assertRegex(result.stdout, r"PASS\s+leak: expected -, measured 0.6, judged 0.6 kPa, limit ≤ 0.8")
        self.assertRegex(result.stdout, r"PASS\s+systolic at 9.3/5.3: expected 9.3, measured 9.3, judged 0 kPa")
        with store.open_store(self.db()) as db:
            run = db.run(self.history(self.db(), "--limit", "1")[0]["id"], traces=True)
        self.assertEqual("kPa", run["unit"])
        held = run["steps"][0]["trace"]["samples"]
        # What the step held, at its end: the trace may begin while the previous run's pressure still falls.
        self.assertTrue(all(13.0 < v < 13.6 for v in held[-20:]), held[-20:])
        self.assertTrue(all(round(v, 2) == v for v in held))
        missing = self.run_station("run", path, "--device-folder", first.folder, "--db", self.db(),
                                   "--serial", "NQX7001-090009", "--timeout", "1")
        self.assertEqual(3, missing.returncode, self.output)
        self.assertIn("no instrument NQX7001-090009", missing.stderr)


class Interruptions(Folder):
    BLOCKING = """\
procedure: Held
version: "1"
unit: mmHg
steps:
  - {id: held, kind: static, points: [180], tolerance: 3, settle: 0}
  - {id: after, kind: leak, pressure: 150, duration: 1, limit: 6}
"""

    def start_blocked(self, device):
        """A run whose reading command waits for ever once the pressure holds; returns it when it waits."""
        marker = tempfile.mktemp(prefix="asked-", dir=self.folder)
        path = self.file("held.yaml", self.BLOCKING)
        process = subprocess.Popen(
            [sys.executable, "-m", "vasq.station", "run", path, "--device-folder", device.folder, "--db", self.db(),
             "--reading-command", f"touch {marker}; sleep 600"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.env, cwd=self.folder)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        deadline = time.monotonic() + DEADLINE
        while not os.path.exists(marker):
            self.assertIsNone(process.poll(), process.stderr.read() if process.poll() is not None else "")
            self.assertLess(time.monotonic(), deadline, "the reading was never asked for")
            time.sleep(0.05)
        return process

    def pressure_now(self, device, seconds=1.0):
        """The instrument's pressure over a second, read by a program of its own once the station has gone."""
        with vasq.connect(port=device.port, timeout=10) as connected:
            samples, enough = [], threading.Event()

            def on_sample(value):
                samples.append(value)
                if len(samples) >= 200 * seconds:
                    enough.set()
            connected.start_sampling(on_sample)
            self.assertTrue(enough.wait(DEADLINE))
            connected.stop_sampling()
        return samples

    def test_signals_stop_the_test_release_the_pressure_and_record_an_aborted_run(self):
        device = self.sim()
        device.point_library_here()
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=number.name):
                process = self.start_blocked(device)
                process.send_signal(number)
                out, err = process.communicate(timeout=DEADLINE)
                self.assertEqual(130, process.returncode, out + err)
                self.assertIn(f"verdict: ABORTED: interrupted by {number.name}", out)
                # Had the station left the static pressure running, the instrument would still hold 180 mmHg.
                self.assertLess(max(self.pressure_now(device)[-50:]), 20.0)
                run = self.history(self.db(), "--limit", "1")[0]
                self.assertEqual(("aborted", f"interrupted by {number.name}"), (run["verdict"], run["reason"]))
                with store.open_store(self.db()) as db:
                    steps = db.run(run["id"], traces=True)["steps"]
                self.assertEqual(["aborted", "not-run"], [s["verdict"] for s in steps])
                self.assertGreater(max(steps[0]["trace"]["samples"]), 170.0, "the aborted step keeps its trace")

    def test_a_lost_instrument_ends_the_run_as_an_error_with_exit_3(self):
        device = self.sim()
        process = self.start_blocked(device)
        device.stop()  # unplugged: the node goes, the port hangs up
        out, err = process.communicate(timeout=DEADLINE)
        self.assertEqual(3, process.returncode, out + err)
        self.assertRegex(out, r"verdict: ERROR: .*lost")
        run = self.history(self.db())[0]
        self.assertEqual("error", run["verdict"])

    def test_no_instrument_is_exit_3_and_nothing_is_stored(self):
        empty = tempfile.mkdtemp(dir=self.folder)
        result = self.run_station("run", "adult-pm", "--device-folder", empty, "--timeout", "0.5", "--db", self.db(),
                                  "--reading-command", PERFECT)
        self.assertEqual(3, result.returncode, self.output)
        self.assertIn("no instrument", result.stderr)
        self.assertEqual([], self.history(self.db()))


class _Still:
    """What a run reads of an instrument while it waits for a steady pressure."""
    device, serial, lost = None, "SN-0", False


class RunsInProcess(Folder):
    def test_the_reference_waits_for_a_steady_pressure(self):
        """An instrument may report holding while its pressure still moves (a slow one does, or a busy host makes
        it seem so): the static step waits until the last half second stays within a quarter of the tolerance."""
        from vasq.station.instrument import Trace
        from vasq.station.runner import Run
        run = Run(procedure.parse(SHORT), _Still(), readings.Readings([]))
        trace = Trace(0, "mmHg")
        rising = [round(100.0 * (1 - 0.97 ** i), 1) for i in range(300)]  # 1.5 s still rising by 0.1 mmHg steps

        def feed():
            for i in range(0, 600, 10):
                trace.add(i, rising[i:i + 10] if i < 300 else [100.0] * 10)
                time.sleep(0.05)
        feeder = threading.Thread(target=feed)
        feeder.start()
        start = run._steady(trace, 0.75, DEADLINE, "100 mmHg")
        feeder.join()
        window = trace.samples[start:start + 100]
        self.assertLessEqual(max(window) - min(window), 0.75)
        self.assertGreater(min(window), 99.0, "the window began while the pressure rose")
        stopped = Trace(0, "mmHg")
        threading.Timer(0.2, run.stop, args=("operator",)).start()
        with self.assertRaises(Exception) as raised:
            run._steady(stopped, 0.75, DEADLINE, "100 mmHg")
        self.assertEqual("_Stopped", type(raised.exception).__name__)

    """The runner as a web server drives it: events, readings handed over from another thread, a stop from
    another thread, several runs at once."""

    def test_two_runs_at_once_one_answered_one_stopped(self):
        from vasq.station.instrument import open_instruments
        from vasq.station.runner import Run
        first = self.sim(port=1, options=["--serial", "1-1"])
        self.sim(port=2, folder=first.folder, options=["--serial", "2-2"])
        first.point_library_here()
        checked = procedure.parse(SHORT.replace("steps:\n", "steps:\n  - {id: looks, kind: operator-check, "
                                                            "question: 'Cuff undamaged?'}\n"), "p.yaml", "p")
        with store.open_store(self.db()) as db:
            a, b = open_instruments(["NQX7001-010001", "NQX7001-020002"], timeout=10)
            self.addCleanup(a.close)
            self.addCleanup(b.close)
            answers_a, answers_b = readings.ExternalSource(), readings.ExternalSource()
            run_a = Run(checked, a, readings.Readings([answers_a]), dut={"asset": "A"}, store=db, station="web")
            run_b = Run(checked, b, readings.Readings([answers_b]), dut={"asset": "B"}, store=db, station="web")
            events = {"A": [], "B": []}
            lock = threading.Lock()

            def watcher(name):
                def on_event(event):
                    with lock:
                        events[name].append((event.kind, event.step.id if event.step else None))
                return on_event
            run_a.subscribe(watcher("A"))
            run_b.subscribe(watcher("B"))
            run_a.start()
            run_b.start()
            # Answer A as a page would: whatever is pending, perfectly; B's check too, then stop B while the
            # pressure of its first static point holds.
            deadline = time.monotonic() + DEADLINE * 2
            while not (run_a.done and run_b.done) and time.monotonic() < deadline:
                for source in (answers_a, answers_b):
                    pending = source.pending
                    if pending is None:
                        continue
                    if source is answers_b and pending.kind == "static":
                        threading.Thread(target=run_b.stop, args=("stopped from the page",)).start()
                    else:
                        try:
                            source.submit(dict(pending.expected))
                        except readings.ReadingError:
                            pass  # answered meanwhile
                time.sleep(0.02)
            self.assertTrue(run_a.wait(DEADLINE) and run_b.wait(DEADLINE))
            self.assertEqual(("pass", 0), (run_a.verdict, run_a.exit_status), run_a.describe())
            self.assertEqual(("aborted", 130), (run_b.verdict, run_b.exit_status))
            self.assertEqual("stopped from the page", run_b.reason)
            kinds = [kind for kind, _ in events["A"]]
            self.assertEqual("run-started", kinds[0])
            self.assertEqual("run-ended", kinds[-1])
            self.assertEqual(5, kinds.count("step-ended"))
            # Every reading is asked for before it is taken, inside its step.
            self.assertLess(events["A"].index(("reading-wanted", "looks")), events["A"].index(("reading-taken",
                                                                                                 "looks")))
            self.assertLess(events["A"].index(("step-started", "static")), events["A"].index(("reading-wanted",
                                                                                                "static")))
            stored = {r["dut"]["asset"]: r["verdict"] for r in db.history()}
            self.assertEqual({"A": "pass", "B": "aborted"}, stored)
            # B's instrument let its pressure go.
            released = threading.Event()
            remove = b.listen(lambda number, values: values[-1] < 20.0 and released.set())
            self.assertTrue(released.wait(DEADLINE))
            remove()


class PostgreSQL(Folder):
    @classmethod
    def setUpClass(cls):
        reason = PostgresCluster.missing()
        if reason:
            print(f"skipped: {reason}", file=sys.stderr)
            raise unittest.SkipTest(reason)
        cls.cluster = PostgresCluster().start()

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()

    def test_two_stations_share_one_database_and_see_each_others_runs(self):
        url = self.cluster.create_database("shared")
        path = self.file("check.yaml", """\
procedure: Two points
version: "1"
unit: mmHg
steps:
  - {id: p, kind: static, points: [80, 160], tolerance: 2, settle: 0}
  - {id: leak, kind: leak, pressure: 150, duration: 1, limit: 6}
""")
        first = self.sim(port=1, options=["--serial", "1-1"])
        second = self.sim(port=2, options=["--serial", "2-2", "--dut-leak", "7"])
        processes = []
        for name, device, asset in (("bench-a", first, "A-1"), ("bench-b", second, "B-1")):
            config = self.file(f"{name}.yaml", f"station: {name}\n")
            processes.append(subprocess.Popen(
                [sys.executable, "-m", "vasq.station", "run", path, "--device-folder", device.folder, "--db", url,
                 "--station", config, "--dut", f"asset={asset}", "--dut", "model=M", "--reading-command", PERFECT],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=self.env, cwd=self.folder))
        outputs = [p.communicate(timeout=240)[0] for p in processes]
        self.assertEqual([0, 1], [p.returncode for p in processes], outputs)
        for name in ("bench-a", "bench-b"):
            config = self.file(f"{name}.yaml", f"station: {name}\n")
            result = self.run_station("history", "--json", "--station", config, "--db", url)
            self.assertEqual(0, result.returncode, self.output)
            seen = {(r["station"], r["dut"]["asset"], r["verdict"]) for r in json.loads(result.stdout)}
            self.assertEqual({("bench-a", "A-1", "pass"), ("bench-b", "B-1", "fail")}, seen)
        # A report from the shared database, with the traces stored there.
        html = os.path.join(self.folder, "report.html")
        result = self.run_station("report", "2", "--html", html, "--db", url)
        self.assertEqual(0, result.returncode, self.output)
        with open(html) as f:
            self.assertGreaterEqual(f.read().count("<polyline"), 2)
        trend = self.run_station("trend", "--db", url, "--model", "M", "--step", "leak", "--json")
        [row] = json.loads(trend.stdout)
        self.assertEqual((2, 5.75), (row["count"], row["mean"]))

    def test_migrations_append_only_and_exports_as_in_sqlite(self):
        import psycopg
        url = self.cluster.create_database("store")
        with store.open_store(url) as db:
            self.assertEqual(store.SCHEMA_VERSION, db.version)
            run_id = stored_run(db, samples=[0.0, -1.5, 250.3])
            self.assertEqual([0.0, -1.5, 250.3], db.run(run_id, traces=True)["steps"][0]["trace"]["samples"])
            exported = db.export(store.parse_since("2020-01-01"))
        self.assertEqual(exported, export.read_csv(io.StringIO(export.dumps(exported, "csv"))))
        columns = {"runs": "station", "run_ends": "verdict", "steps": "verdict", "measurements": "verdict",
                   "traces": "rate"}
        with psycopg.connect(url, autocommit=True) as connection:
            for table, column in columns.items():
                for statement in (f"UPDATE {table} SET {column} = {column}", f"DELETE FROM {table}",
                                  f"TRUNCATE {table} CASCADE"):
                    with self.subTest(statement=statement):
                        with self.assertRaisesRegex(psycopg.Error, "append-only"):
                            connection.execute(statement)
            connection.execute("INSERT INTO schema_migrations VALUES (99, 'from the future', 'later')")
        with self.assertRaisesRegex(store.StoreError, "schema version 99, newer than this station's"):
            store.open_store(url)

    def test_two_stations_migrating_an_empty_database_at_once(self):
        url = self.cluster.create_database("race")
        errors = []

        def migrate():
            try:
                store.open_store(url).close()
            except Exception as error:  # noqa: BLE001
                errors.append(error)
        threads = [threading.Thread(target=migrate) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(DEADLINE)
        self.assertEqual([], errors)
        with store.open_store(url) as db:
            self.assertEqual(1, db._query("SELECT COUNT(*) FROM schema_migrations")[0][0])


class Prompts(Folder):
    def test_a_terminal_answers_readings_and_operator_checks(self):
        import pty
        device = self.sim()
        path = self.file("prompted.yaml", """\
procedure: Prompted
version: "1"
unit: mmHg
steps:
  - {id: looks, kind: operator-check, question: "Is the cuff undamaged?"}
  - {id: p, kind: static, points: [100], tolerance: 3, settle: 0}
  - {id: hose, kind: operator-check, question: "Is the hose undamaged?"}
""")
        pid, master = pty.fork()
        if pid == 0:
            os.chdir(self.folder)
            os.execve(sys.executable, [sys.executable, "-m", "vasq.station", "run", path, "--device-folder",
                                       device.folder, "--db", self.db()], self.env)
        screen = b""
        answers = [(b"Is the cuff undamaged? [y/n]", b"y\n"), (b"what does the monitor show?", b"101.5\n"),
                   (b"Is the hose undamaged? [y/n]", b"n\n")]
        deadline = time.monotonic() + DEADLINE
        import select
        while answers and time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.5)
            if ready:
                try:
                    screen += os.read(master, 4096)
                except OSError:
                    break
            if answers[0][0] in screen:
                os.write(master, answers.pop(0)[1])
        while time.monotonic() < deadline:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            screen += chunk
        _, status = os.waitpid(pid, 0)
        os.close(master)
        text = screen.decode(errors="replace")
        self.assertEqual([], answers, text)
        self.assertEqual(1, os.waitstatus_to_exitcode(status), text)
        self.assertRegex(text, r"PASS\s+pressure at 100: expected (99\.\d|100), measured 101.5, judged 1.\d mmHg")
        self.assertIn("FAIL    hose", text)
        self.assertIn("verdict: FAIL: 1 of 3 steps failed: hose", text)

    def test_no_terminal_and_no_readings_make_errors_not_passes(self):
        device = self.sim()
        path = self.file("unanswered.yaml", """\
procedure: Unanswered
version: "1"
unit: mmHg
steps:
  - {id: looks, kind: operator-check, question: "Is the cuff undamaged?"}
  - {id: p, kind: static, points: [100], tolerance: 3, settle: 0}
  - {id: q, kind: static, points: [100], tolerance: 3, settle: 0}
""")
        result = self.run_station("run", path, "--device-folder", device.folder, "--db", self.db(),
                                  "--reading-command", "test $VASQ_STEP_ID = p && exit 4; " + PERFECT)
        self.assertEqual(1, result.returncode, self.output)
        self.assertRegex(result.stdout, r"ERROR\s+looks .*an operator check needs --readings or a terminal")
        self.assertRegex(result.stdout, r"ERROR\s+p .*exit status 4")
        self.assertRegex(result.stdout, r"PASS\s+q")
        self.assertIn("verdict: ERROR", result.stdout)


if __name__ == "__main__":
    unittest.main()
