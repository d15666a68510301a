"""vasq-station serve against simulated instruments (vasq-sim): the JSON API through a real HTTP client, the pressure
WebSocket, and the page in headless Chromium driven by Selenium.

VASQ_SIM and VASQ_LIBRARY name the build's programs; run with Debian's python3. VASQ_ARTEFACTS names the folder the
browser test leaves its screenshots and the downloaded report in. Each class is one CTest test.
"""
import asyncio
import json
import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, PACKAGE)

from vasq.testing import SimulatedDevice  # noqa: E402

DEADLINE = 60.0
# Two simulated instruments: node number, vasq-sim's --serial, the serial number it gives, its first sample number.
FIRST = (1, "21-1", "NQX7001-210001", 0)
SECOND = (2, "22-2", "NQX7001-220002", 20000)
# A short procedure that needs every kind of prompt the page shows.
WEB_CHECK = """\
procedure: Web check
version: "1"
unit: mmHg
steps:
  - id: looks
    kind: operator-check
    question: Are the cuff and the hose undamaged?
  - {id: static, kind: static, points: [100], tolerance: 3, settle: 0.2}
  - {id: bp, kind: bp, systolic: 120, diastolic: 80, heart_rate: 72, repeats: 1, tolerance: {mean: 5, spread: 8}}
"""
# A procedure that waits at its first prompt with a pressure held.
HOLD = """\
procedure: Hold
version: "1"
unit: mmHg
steps:
  - {id: static, kind: static, points: [150], tolerance: 3, settle: 0.2}
"""
ASK = """\
procedure: Ask
version: "1"
unit: mmHg
steps:
  - id: looks
    kind: operator-check
    question: Ready?
"""


# What the library sends on its own while an instrument is open (status, samples), and what stops a test.
BACKGROUND = {"I/0", "R/0", "I/21", "P/2"}
STOP = "I/140"


def wait_for(condition, what, deadline=DEADLINE, pause=0.05):
    """condition()'s first true value before the deadline; AssertionError naming what otherwise."""
    end = time.monotonic() + deadline
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"no {what} within {deadline:g} s")
        time.sleep(pause)


class Sims:
    """Simulated instruments served in one private folder, their requests recorded (vasq-sim --verbose)."""

    def __init__(self, *instruments, counting=()):
        """counting: the serial numbers of those that stream their sample numbers instead of a cuff pressure (a
        pressure never settles then: no static point)."""
        self.devices = []
        self.lines = {}
        folder = None
        for port, sim_serial, serial, base in instruments:
            device = SimulatedDevice(port=port, folder=folder, options=[
                "--serial", sim_serial, "--verbose",
                *(("--samples", "counter", "--counter-from", str(base)) if serial in counting else ())]).start()
            folder = device.folder
            self.devices.append(device)
            self.lines[serial] = []
            threading.Thread(target=self._drain, args=(device, self.lines[serial]), daemon=True).start()
        self.folder = folder

    @staticmethod
    def _drain(device, lines):
        for line in device.process.stdout:
            lines.append(line.rstrip("\n"))

    def requests(self, serial):
        """The commands received ("I/140"), without those that status polling and sampling send all the time."""
        found = (re.search(r"<- (\w/\d+)", line) for line in list(self.lines[serial]))
        return [m.group(1) for m in found if m and m.group(1) not in BACKGROUND]

    def stop(self):
        for device in reversed(self.devices):
            device.stop()


def user_procedures(config):
    folder = os.path.join(config, "vasq-station", "procedures")
    os.makedirs(folder, exist_ok=True)
    for name, text in (("web-check", WEB_CHECK), ("hold", HOLD), ("ask", ASK)):
        with open(os.path.join(folder, name + ".yaml"), "w") as f:
            f.write(text)


class Station:
    """vasq-station serve on any free port, as people start it, until stop()."""

    def __init__(self, folder, device_folder, serials, extra=()):
        self.folder = folder
        config = os.path.join(folder, "config")
        user_procedures(config)
        self.db = os.path.join(folder, "results.sqlite")
        env = dict(os.environ, XDG_CONFIG_HOME=config, XDG_DATA_HOME=os.path.join(folder, "data"))
        env["PYTHONPATH"] = PACKAGE + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
        self.env = env
        command = [sys.executable, "-m", "vasq.station", "serve", "--http-port", "0", "--device-folder",
                   device_folder, "--db", "sqlite:///" + self.db, "--timeout", "10"]
        for serial in serials:
            command += ["--serial", serial]
        self.process = subprocess.Popen(command + list(extra), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=env)
        killer = threading.Timer(DEADLINE, self.process.kill)
        killer.start()
        try:
            line = self.process.stdout.readline()
        finally:
            killer.cancel()
        found = re.search(r"serving (http://\S+/)", line)
        if not found:
            self.process.kill()
            _, err = self.process.communicate()
            raise AssertionError(f"vasq-station serve did not start: {line!r} {err}")
        self.url = found.group(1)
        self.origin = self.url.rstrip("/")

    def stop(self, number=signal.SIGTERM):
        """Sends the signal; (exit status, everything it printed)."""
        if self.process.poll() is None:
            self.process.send_signal(number)
        try:
            out, err = self.process.communicate(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        return self.process.returncode, out + err

    def history(self):
        result = subprocess.run([sys.executable, "-m", "vasq.station", "history", "--json", "--db",
                                 "sqlite:///" + self.db], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=self.env, timeout=DEADLINE)
        assert result.returncode == 0, result.stderr
        return {run["id"]: run for run in json.loads(result.stdout)}


def call(station, method, path, body=None, headers=None, raw=None):
    """(status, decoded JSON or bytes) of a request to the station."""
    data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
    request = urllib.request.Request(station.origin + path, data=data, method=method, headers=dict(headers or {}))
    if data is not None and not request.has_header("Content-type"):
        request.add_header("Content-Type", "application/json")
    try:
        with urllib.request.urlopen(request, timeout=DEADLINE) as response:
            status, kind, content = response.status, response.headers.get("Content-Type", ""), response.read()
    except urllib.error.HTTPError as error:
        status, kind, content = error.code, error.headers.get("Content-Type", ""), error.read()
    return status, json.loads(content) if kind.startswith("application/json") else content


class Server(unittest.TestCase):
    """A station serving two simulated instruments for the class's tests."""
    token = None
    counting = ()

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix=f"vasq-web-{cls.__name__}-")
        cls.sims = Sims(FIRST, SECOND, counting=cls.counting)
        extra = []
        if cls.token:
            path = os.path.join(cls.folder, "token")
            with open(path, "w") as f:
                f.write(cls.token + "\n")
            os.chmod(path, stat.S_IRUSR | stat.S_IWUSR)
            extra = ["--token-file", path]
        try:
            cls.station = Station(cls.folder, cls.sims.folder, (FIRST[2], SECOND[2]), extra)
        except BaseException:
            cls.sims.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        code, output = cls.station.stop()
        cls.sims.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)
        assert code == 0, output

    def call(self, method, path, body=None, **options):
        return call(self.station, method, path, body, **options)

    def run_until(self, run_id, condition, what):
        def check():
            status, run = self.call("GET", f"/api/runs/{run_id}")
            self.assertEqual(200, status, run)
            return run if condition(run) else None
        return wait_for(check, what)


async def _samples(url, count, headers=None, protocols=()):
    """The messages of the pressure WebSocket until count samples came."""
    import aiohttp
    messages, received = [], 0
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(url, headers=headers, protocols=protocols, timeout=DEADLINE) as ws:
            while received < count:
                message = await asyncio.wait_for(ws.receive(), DEADLINE)
                if message.type != aiohttp.WSMsgType.TEXT:
                    raise AssertionError(f"the socket ended: {message}")
                data = json.loads(message.data)
                messages.append(data)
                if data["type"] == "samples":
                    received += len(data["values"])
    return messages


def samples_of(station, serial, count, query="", **options):
    url = station.origin.replace("http:", "ws:") + f"/api/instruments/{serial}/pressure{query}"
    return asyncio.run(_samples(url, count, **options))


def counter_numbers(values):
    return [round(v * 10) for v in values]


class Api(Server):
    counting = (SECOND[2],)

    def test_instruments_procedures_and_the_openapi_document(self):
        status, instruments = self.call("GET", "/api/instruments")
        self.assertEqual(200, status)
        by_serial = {i["serial"]: i for i in instruments}
        self.assertEqual({FIRST[2], SECOND[2]}, set(by_serial))
        for port, _, serial, _ in (FIRST, SECOND):
            self.assertEqual((port, True, "mmHg", None), (by_serial[serial]["port"], by_serial[serial]["connected"],
                                                          by_serial[serial]["unit"], by_serial[serial]["activity"]))
        status, procedures = self.call("GET", "/api/procedures")
        self.assertEqual(200, status)
        names = {p["name"]: p for p in procedures}
        self.assertLessEqual({"adult-pm", "neonatal-pm", "web-check"}, set(names))
        self.assertEqual(["looks", "static", "bp"], [s["id"] for s in names["web-check"]["steps"]])
        status, document = self.call("GET", "/api/openapi.json")
        self.assertEqual(200, status)
        self.assertTrue(document["openapi"].startswith("3."))
        for path, method in (("/api/instruments", "get"), ("/api/procedures", "get"), ("/api/runs", "post"),
                             ("/api/runs", "get"), ("/api/runs/{id}", "get"), ("/api/runs/{id}/readings", "post"),
                             ("/api/runs/{id}/stop", "post"), ("/api/runs/{id}/report.pdf", "get"),
                             ("/api/instruments/{serial}/pressure", "get")):
            self.assertIn(method, document["paths"].get(path, {}), path)

    def test_the_page_and_its_libraries_are_served_from_the_package(self):
        import hashlib
        status, page = self.call("GET", "/")
        self.assertEqual(200, status)
        self.assertIn(b"/static/vendor/uPlot.iife.min.js", page)
        with open(os.path.join(PACKAGE, "vasq", "station", "static", "vendor", "MANIFEST.json")) as f:
            manifest = json.load(f)
        for name, digest in manifest["files"].items():
            status, content = self.call("GET", f"/static/vendor/{name}")
            self.assertEqual((200, digest), (status, hashlib.sha256(content).hexdigest()), name)
        with open(os.path.join(PACKAGE, "..", "web", "package-lock.json")) as f:
            locked = json.load(f)["packages"]["node_modules/uplot"]
        self.assertEqual((locked["version"], locked["integrity"]), (manifest["version"], manifest["integrity"]))

    def test_bad_input_gets_a_reason_and_sends_nothing(self):
        before = {serial: len(self.sims.requests(serial)) for serial in (FIRST[2], SECOND[2])}
        run = {"procedure": "web-check", "instrument": SECOND[2]}
        cases = [
            ("POST", "/api/runs", {"raw": b"{not json"}, 400, "not valid JSON"),
            ("POST", "/api/runs", {"raw": b"procedure=x", "headers": {"Content-Type": "text/plain"}}, 415, "JSON"),
            ("POST", "/api/runs", {"body": [run]}, 400, "JSON object"),
            ("POST", "/api/runs", {"body": dict(run, colour="red")}, 400, "'colour'"),
            ("POST", "/api/runs", {"body": {"instrument": SECOND[2]}}, 400, "'procedure' is missing"),
            ("POST", "/api/runs", {"body": dict(run, procedure="nope")}, 400, "no procedure 'nope'"),
            ("POST", "/api/runs", {"body": dict(run, instrument="NQX7001-999999")}, 404, "no instrument"),
            ("POST", "/api/runs", {"body": dict(run, dut="BME-1")}, 400, "'dut'"),
            ("POST", "/api/runs", {"body": dict(run, dut={"Asset!": "x"})}, 400, "field name"),
            ("POST", "/api/runs", {"body": dict(run, dut={"asset": "a\nb"})}, 400, "one line"),
            ("POST", "/api/runs", {"body": dict(run, technician=7)}, 400, "must be a string"),
            ("POST", f"/api/instruments/{FIRST[2]}/static", {"body": {"pressure": 1000}}, 400, "outside"),
            ("POST", f"/api/instruments/{FIRST[2]}/static", {"body": {"pressure": "100"}}, 400, "a number"),
            ("POST", f"/api/instruments/{FIRST[2]}/static", {"body": {"pressure": 100.5}}, 400, "whole mmHg"),
            ("POST", "/api/runs/99999/readings", {"body": {"pressure": 100}}, 404, "no run 99999"),
            ("POST", "/api/runs/99999/stop", {}, 404, "no run 99999"),
            ("GET", "/api/runs/99999", {}, 404, "no run 99999"),
            ("GET", "/api/runs?colour=red", {}, 400, "unknown query parameter colour"),
            ("GET", "/api/runs?limit=x", {}, 400, "whole number"),
            ("GET", "/api/runs?since=yesterday", {}, 400, "since"),
            ("GET", "/api/nothing", {}, 404, "nothing at"),
            ("DELETE", "/api/runs", {}, 405, "not allowed"),
        ]
        for method, path, options, status, reason in cases:
            with self.subTest(method=method, path=path, options=options):
                got, answer = self.call(method, path, options.get("body"), raw=options.get("raw"),
                                        headers=options.get("headers"))
                self.assertEqual(status, got, answer)
                self.assertIn(reason, answer["error"])
        status, instruments = self.call("GET", "/api/instruments")
        self.assertEqual([None, None], [i["activity"] for i in instruments])
        self.assertEqual(before, {serial: len(self.sims.requests(serial)) for serial in before}, {s: self.sims.requests(s)[-3:] for s in before})

    def test_the_pressure_socket_numbers_every_sample_once(self):
        messages = samples_of(self.station, SECOND[2], 600)
        hello = messages[0]
        self.assertEqual(("hello", SECOND[2], 200, "mmHg", True),
                         (hello["type"], hello["serial"], hello["rate"], hello["unit"], hello["connected"]))
        batches = [m for m in messages if m["type"] == "samples"]
        self.assertFalse([m for m in messages if m["type"] == "gap"])
        self.assertEqual(hello["first"], batches[0]["first"])
        numbers, values = [], []
        for batch in batches:
            numbers.extend(range(batch["first"], batch["first"] + len(batch["values"])))
            values.extend(batch["values"])
        self.assertEqual(list(range(numbers[0], numbers[0] + len(numbers))), numbers)
        counted = counter_numbers(values)
        self.assertEqual(list(range(counted[0], counted[0] + len(counted))), counted, "a sample lost or repeated")
        # Coming back from where it left off loses nothing either.
        resumed = samples_of(self.station, SECOND[2], 10, query=f"?from={numbers[-1] + 1}")
        batch = next(m for m in resumed if m["type"] == "samples")
        self.assertEqual((numbers[-1] + 1, counted[-1] + 1), (batch["first"], counter_numbers(batch["values"])[0]))

    def test_a_run_takes_its_readings_by_number_and_stops_released_and_aborted(self):
        status, run = self.call("POST", "/api/runs", {"procedure": "hold", "instrument": FIRST[2],
                                                      "dut": {"asset": "BME-77"}, "technician": "R. Tech"})
        self.assertEqual(201, status, run)
        run_id = run["id"]
        self.addCleanup(self.call, "POST", f"/api/runs/{run_id}/stop")
        run = self.run_until(run_id, lambda r: r["prompt"], "prompt")
        prompt = run["prompt"]
        self.assertEqual(("static", {"pressure": 150.0}, "mmHg"), (prompt["kind"], prompt["expected"], prompt["unit"]))
        self.assertEqual(150.0, run["current"]["set_point"]["pressure"])
        status, instruments = self.call("GET", "/api/instruments")
        tile = next(i for i in instruments if i["serial"] == FIRST[2])
        self.assertEqual(("run", run_id, "static"), (tile["activity"]["kind"], tile["activity"]["run"],
                                                     tile["activity"]["step"]))
        # The instrument is the run's: no static pressure, no second run on it.
        self.assertEqual(409, self.call("POST", f"/api/instruments/{FIRST[2]}/static", {"pressure": 50})[0])
        self.assertEqual(409, self.call("POST", "/api/runs", {"procedure": "hold", "instrument": FIRST[2]})[0])
        for body, status, reason in (({"systolic": 1}, 400, "pressure"), ({"pressure": "x"}, 400, "number"),
                                     ({"pressure": 150, "request": prompt["request"] + 1}, 409, "not pending")):
            got, answer = self.call("POST", f"/api/runs/{run_id}/readings", body)
            self.assertEqual(status, got, answer)
            self.assertIn(reason, answer["error"])
        status, active = self.call("GET", "/api/runs?active=true")
        self.assertEqual([run_id], [r["id"] for r in active])
        sent = len(self.sims.requests(FIRST[2]))
        status, stopped = self.call("POST", f"/api/runs/{run_id}/stop")
        self.assertEqual(200, status, stopped)
        self.assertEqual(("aborted", False), (stopped["verdict"], stopped["running"]))
        # The stop reached the instrument, and the run is recorded as aborted.
        self.assertIn(STOP, self.sims.requests(FIRST[2])[sent:], "nothing sent to release the pressure")
        self.assertEqual("aborted", self.station.history()[run_id]["verdict"])
        self.assertEqual(409, self.call("POST", f"/api/runs/{run_id}/stop")[0])
        status, found = self.call("GET", "/api/runs?asset=BME-77")
        self.assertEqual([run_id], [r["id"] for r in found])
        status, pdf = self.call("GET", f"/api/runs/{run_id}/report.pdf")
        self.assertEqual(200, status)
        self.assertTrue(pdf.startswith(b"%PDF"))

    def test_a_static_pressure_from_the_tile(self):
        status, tile = self.call("POST", f"/api/instruments/{SECOND[2]}/static", {"pressure": 120})
        self.assertEqual(200, status, tile)
        self.assertEqual(("static", 120.0), (tile["activity"]["kind"], tile["activity"]["pressure"]))
        self.assertEqual(409, self.call("POST", "/api/runs", {"procedure": "hold", "instrument": SECOND[2]})[0])
        status, tile = self.call("POST", f"/api/instruments/{SECOND[2]}/stop")
        self.assertEqual((200, None), (status, tile["activity"]))


class Security(Server):
    token = "t0ken-of-this-station-0123456789"

    def bearer(self, token=None):
        return {"Authorization": f"Bearer {token or self.token}"}

    def test_the_token_is_needed_for_the_api(self):
        self.assertEqual(401, self.call("GET", "/api/instruments")[0])
        self.assertEqual(401, self.call("GET", "/api/instruments", headers=self.bearer("x" * 32))[0])
        self.assertEqual(200, self.call("GET", "/api/instruments", headers=self.bearer())[0])
        status, answer = self.call("POST", "/api/runs", {"procedure": "ask", "instrument": FIRST[2]})
        self.assertEqual(401, status)
        self.assertIn("token", answer["error"])
        # What the page needs before it has the token.
        status, station = self.call("GET", "/api/station")
        self.assertEqual((200, True), (status, station["token_required"]))
        self.assertEqual(200, self.call("GET", "/")[0])

    def test_another_origin_changes_nothing(self):
        for origin in ("http://evil.example", self.station.origin.replace("127.0.0.1", "localhost")):
            status, answer = self.call("POST", "/api/runs", {"procedure": "ask", "instrument": FIRST[2]},
                                       headers=dict(self.bearer(), Origin=origin))
            self.assertEqual(403, status, answer)
            self.assertIn(origin, answer["error"])
        self.assertEqual([None, None], [i["activity"] for i in self.call("GET", "/api/instruments",
                                                                            headers=self.bearer())[1]])
        status, run = self.call("POST", "/api/runs", {"procedure": "ask", "instrument": FIRST[2]},
                                headers=dict(self.bearer(), Origin=self.station.origin))
        self.assertEqual(201, status, run)
        status, stopped = self.call("POST", f"/api/runs/{run['id']}/stop", headers=self.bearer())
        self.assertEqual((200, "aborted"), (status, stopped["verdict"]))

    def test_the_socket_checks_token_and_origin(self):
        import aiohttp
        url = FIRST[2]
        with self.assertRaises(aiohttp.WSServerHandshakeError) as refused:
            samples_of(self.station, url, 1)
        self.assertEqual(401, refused.exception.status)
        with self.assertRaises(aiohttp.WSServerHandshakeError) as refused:
            samples_of(self.station, url, 1, headers={"Origin": "http://evil.example"},
                       protocols=("vasq-pressure", "bearer." + self.token))
        self.assertEqual(403, refused.exception.status)
        # The way the page offers it: a browser cannot set headers on a WebSocket.
        messages = samples_of(self.station, url, 20, headers={"Origin": self.station.origin},
                              protocols=("vasq-pressure", "bearer." + self.token))
        self.assertEqual("hello", messages[0]["type"])

    def test_the_server_refuses_to_start_unsafely(self):
        def serve(*args):
            return subprocess.run([sys.executable, "-m", "vasq.station", "serve", "--http-port", "0", *args],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=self.station.env,
                                  timeout=DEADLINE)
        result = serve("--bind", "0.0.0.0")
        self.assertEqual(2, result.returncode, result.stderr)
        self.assertIn("--token-file", result.stderr)
        loose = os.path.join(self.folder, "loose-token")
        with open(loose, "w") as f:
            f.write(self.token)
        os.chmod(loose, 0o644)
        result = serve("--bind", "0.0.0.0", "--token-file", loose)
        self.assertEqual(2, result.returncode, result.stderr)
        self.assertIn("chmod 600", result.stderr)


class Losses(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vasq-web-losses-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.sims = Sims(FIRST, SECOND)
        self.addCleanup(self.sims.stop)
        self.station = Station(self.folder, self.sims.folder, (FIRST[2], SECOND[2]))

    def tearDown(self):
        self.station.stop(signal.SIGKILL)

    def start(self, procedure, serial):
        status, run = call(self.station, "POST", "/api/runs", {"procedure": procedure, "instrument": serial})
        self.assertEqual(201, status, run)
        return run["id"]

    def run_until(self, run_id, condition, what):
        return wait_for(lambda: (lambda r: r if condition(r) else None)(call(self.station, "GET",
                                                                             f"/api/runs/{run_id}")[1]), what)

    def test_an_unplugged_instrument_ends_its_run_as_an_error_and_the_other_goes_on(self):
        lost, kept = self.start("ask", FIRST[2]), self.start("ask", SECOND[2])
        for run_id in (lost, kept):
            self.run_until(run_id, lambda r: r["prompt"], "prompt")
        self.sims.devices[0].stop()
        wait_for(lambda: not next(i for i in call(self.station, "GET", "/api/instruments")[1]
                                  if i["serial"] == FIRST[2])["connected"], "instrument shown lost")
        ended = self.run_until(lost, lambda r: not r["running"], "end of the lost instrument's run")
        self.assertEqual("error", ended["verdict"])
        self.assertIn("lost", ended["reason"])
        # Nothing more is asked of the lost instrument.
        for path, body in ((f"/api/instruments/{FIRST[2]}/static", {"pressure": 100}),
                           (f"/api/instruments/{FIRST[2]}/stop", None)):
            status, answer = call(self.station, "POST", path, body)
            self.assertEqual(409, status, answer)
            self.assertIn("lost", answer["error"])
        run = self.run_until(kept, lambda r: r["prompt"], "prompt")
        status, answer = call(self.station, "POST", f"/api/runs/{kept}/readings",
                              {"answer": True, "request": run["prompt"]["request"]})
        self.assertEqual(200, status, answer)
        self.assertEqual("pass", self.run_until(kept, lambda r: not r["running"], "end")["verdict"])
        self.assertEqual({lost: "error", kept: "pass"},
                         {k: v["verdict"] for k, v in self.station.history().items()})

    def test_sigterm_stops_every_run_releases_the_pressure_and_records_them_aborted(self):
        held, asked = self.start("hold", FIRST[2]), self.start("ask", SECOND[2])
        for run_id in (held, asked):
            self.run_until(run_id, lambda r: r["prompt"], "prompt")
        sent = len(self.sims.requests(FIRST[2]))
        code, output = self.station.stop(signal.SIGTERM)
        self.assertEqual(0, code, output)
        self.assertIn("stopped by SIGTERM", output)
        self.assertIn(STOP, self.sims.requests(FIRST[2])[sent:], "nothing sent to release the pressure")
        runs = self.station.history()
        self.assertEqual({held: "aborted", asked: "aborted"}, {k: v["verdict"] for k, v in runs.items()})
        self.assertIn("SIGTERM", runs[held]["reason"])


class Document(unittest.TestCase):
    def test_the_openapi_document_describes_every_route_and_resolves(self):
        from vasq.station import openapi, server
        document = openapi.document()
        described = {(path, method) for path, item in document["paths"].items() for method in item}
        routed = set()
        for route in server.make_app(FedBench(1.0)).router.routes():
            path = route.resource.canonical if route.resource else ""
            if not path.startswith("/api/") or route.method == "HEAD":
                continue
            path = re.sub(r"\{(\w+):[^}]*\}", r"{\1}", path)
            for form in ("pdf", "html") if "{form}" in path else ("",):
                routed.add((path.replace("{form}", form), route.method.lower()))
        self.assertEqual(routed, described)

        def refs(node):
            if isinstance(node, dict):
                for key, value in node.items():
                    if key == "$ref":
                        yield value
                    else:
                        yield from refs(value)
            elif isinstance(node, list):
                for value in node:
                    yield from refs(value)
        for ref in set(refs(document)):
            target = document
            for part in ref.lstrip("#/").split("/"):
                self.assertIn(part, target, ref)
                target = target[part]


class FedTile:
    """An instrument's tile whose stream a test feeds as fast as it likes."""

    def __init__(self, seconds):
        from vasq.station.live import Stream
        self.serial = "FED"
        self.stream = Stream(seconds)
        self.connected = True
        self.unit = "mmHg"


class FedBench:
    def __init__(self, seconds):
        self.tiles = {"FED": FedTile(seconds)}

    def tile(self, serial):
        return self.tiles[serial]


class SlowClient(unittest.TestCase):
    """A client that stops reading gets a marked gap, and the server holds a bounded amount for it."""

    def test_a_client_that_does_not_read_gets_a_gap_not_a_queue(self):
        from aiohttp import web
        from vasq.station import server
        bench = FedBench(seconds=10.0)
        stream = bench.tiles["FED"].stream
        ready = threading.Event()
        box = {}

        def serve():
            async def main():
                app = server.make_app(bench)
                runner = web.AppRunner(app, access_log=None)
                await runner.setup()
                site = web.TCPSite(runner, "127.0.0.1", 0)
                await site.start()
                box["port"] = site._server.sockets[0].getsockname()[1]
                box["stop"] = asyncio.Event()
                ready.set()
                await box["stop"].wait()
                for ws in list(app[server.SOCKETS]):
                    await ws.close()
                await runner.cleanup()
                # The handlers notice the close within their one-second wait.
                others = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
                await asyncio.wait_for(asyncio.gather(*others, return_exceptions=True), DEADLINE)
            box["loop"] = asyncio.new_event_loop()
            box["loop"].run_until_complete(main())
        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        self.assertTrue(ready.wait(DEADLINE))
        self.addCleanup(thread.join, DEADLINE)
        self.addCleanup(lambda: box["loop"].call_soon_threadsafe(box["stop"].set))

        client = socket.socket()
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        client.settimeout(DEADLINE)
        client.connect(("127.0.0.1", box["port"]))
        self.addCleanup(client.close)
        client.sendall(b"GET /api/instruments/FED/pressure HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                       b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                       b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: vasq-pressure\r\n\r\n")
        reader = WebSocketReader(client)
        self.assertIn(b" 101 ", reader.handshake())
        hello = reader.message()
        self.assertEqual("hello", hello["type"])

        # Ten times the instrument's rate: a client that reads keeps up, and gets every sample.
        number, fed = 0, threading.Event()

        def feed():
            nonlocal number
            deadline = time.monotonic() + DEADLINE
            while not fed.is_set() and time.monotonic() < deadline:
                stream.add(number, [float(n % 3000) for n in range(number, number + 20)])
                number += 20
                time.sleep(0.01)
        feeder = threading.Thread(target=feed)
        feeder.start()
        self.addCleanup(feeder.join)
        self.addCleanup(fed.set)
        expected = hello["first"]
        while expected < 2000:
            message = reader.message()
            self.assertEqual(("samples", expected), (message["type"], message["first"]))
            expected += len(message["values"])
        # A client that stops reading: the buffers between fill, the server stops queueing and marks a gap.
        wait_for(lambda: stream.gaps > 0, "gap marked for the slow client")
        reader.count = 0
        # Reading again: samples in order up to a gap message naming what was skipped, then samples after it.
        gap = None
        while gap is None or expected < gap["to"] + 100:
            message = reader.message()
            if message["type"] == "samples":
                self.assertEqual(expected, message["first"], "a sample lost or repeated without a gap")
                self.assertEqual(float(expected % 3000), message["values"][0])
                expected += len(message["values"])
            elif message["type"] == "gap":
                self.assertIsNone(gap, "a second gap for a client that reads")
                self.assertEqual(expected, message["from"])
                self.assertGreater(message["to"], message["from"])
                # What was queued for the client is bounded by the buffers, not by how long it did not read.
                self.assertLess(reader.count, 256 * 1024)
                gap, expected = message, message["to"]


ARTEFACTS = os.environ.get("VASQ_ARTEFACTS") or os.path.join(tempfile.gettempdir(), "vasq-web-artefacts")


class Browser(Server):
    """The page in headless Chromium: both tiles with moving plots, a short run on the second instrument answered
    in the page, its verdict, the run in the results, the report downloaded. Each step leaves a screenshot in
    ARTEFACTS (web-NN-what.png)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        os.makedirs(ARTEFACTS, exist_ok=True)
        cls.downloads = os.path.join(cls.folder, "downloads")
        os.makedirs(cls.downloads)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--window-size=1400,1000", "--no-first-run", "--disable-extensions",
                         f"--user-data-dir={os.path.join(cls.folder, 'profile')}"):
            options.add_argument(argument)
        options.add_experimental_option("prefs", {"download.default_directory": cls.downloads,
                                                  "download.prompt_for_download": False})
        try:
            cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        except BaseException:
            super().tearDownClass()
            raise
        cls.driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": cls.downloads})

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        super().tearDownClass()

    def shot(self, name):
        path = os.path.join(ARTEFACTS, f"web-{name}.png")
        self.driver.save_screenshot(path)
        print(f"screenshot: {path}", file=sys.stderr)

    def find(self, selector, what=None, condition=lambda element: element.is_displayed()):
        from selenium.common.exceptions import StaleElementReferenceException
        from selenium.webdriver.common.by import By

        def look():
            try:
                return next((e for e in self.driver.find_elements(By.CSS_SELECTOR, selector) if condition(e)), None)
            except StaleElementReferenceException:
                return None
        try:
            return wait_for(look, what or selector)
        except AssertionError:
            self.shot("failed-" + re.sub(r"\W+", "-", what or selector))
            raise

    def number(self, element, key):
        return int(element.get_attribute(f"data-{key}") or -1)

    def test_a_short_run_on_the_second_instrument_from_the_page(self):
        from selenium.webdriver.common.keys import Keys
        from selenium.webdriver.support.ui import Select
        driver = self.driver
        driver.get(self.station.url)
        self.find("body[data-ready=true]", "page ready", lambda e: True)

        # Both tiles, each with a plot that moves; a static pressure held from the first one.
        tiles = {serial: self.find(f'.tile[data-serial="{serial}"]', f"tile of {serial}") for serial in
                 (FIRST[2], SECOND[2])}
        for serial, tile in tiles.items():
            self.assertIn("CONNECTED", tile.text.upper())
            self.assertIn(f"ttyACM{FIRST[0] if serial == FIRST[2] else SECOND[0]}", tile.text)
            start = wait_for(lambda: self.number(tile, "draws") > 0 and self.number(tile, "next"), "first draw")
            wait_for(lambda: self.number(tile, "next") > start + 200, f"samples of {serial}")
        first = tiles[FIRST[2]]
        draws, began = self.number(first, "draws"), time.monotonic()
        first.find_element("css selector", "input[aria-label='static pressure']").send_keys("120", Keys.ENTER)
        wait_for(lambda: first.get_attribute("data-activity") == "static", "static pressure in the tile")
        pressure = first.find_element("css selector", ".tile-pressure")
        wait_for(lambda: float(pressure.text.split()[0]) > 115 if pressure.text[:1].isdigit() else False,
                 "pressure rising in the tile")
        print(f"tile redraws: {(self.number(first, 'draws') - draws) / (time.monotonic() - began):.1f} a second",
              file=sys.stderr)
        self.assertEqual(0, self.number(first, "gaps"))
        self.shot("01-instruments")
        first.find_element("css selector", "button.release").click()
        wait_for(lambda: first.get_attribute("data-activity") == "idle", "static pressure released")

        # A new run on the second instrument; the asset number comes from a barcode scanner: fast, then Enter.
        tiles[SECOND[2]].find_element("css selector", "a.start-run").click()
        asset = self.find("#form-asset")
        wait_for(lambda: Select(driver.find_element("id", "form-procedure")).options, "procedures in the form")
        self.assertEqual(SECOND[2], Select(driver.find_element("id", "form-instrument")).first_selected_option
                         .get_attribute("value"))
        asset.send_keys("BME-1187", Keys.ENTER)
        self.assertEqual("form-model", driver.switch_to.active_element.get_attribute("id"))
        self.assertEqual("BME-1187", asset.get_attribute("value"))
        self.assertTrue(driver.current_url.endswith(f"#/new?instrument={SECOND[2]}"), "Enter started a run")
        driver.switch_to.active_element.send_keys("VitalView 5", Keys.ENTER)
        driver.switch_to.active_element.send_keys("VV5-0042")
        Select(driver.find_element("id", "form-procedure")).select_by_value("web-check")
        technician = driver.find_element("id", "form-technician")
        technician.clear()
        technician.send_keys("R. Tech")
        self.shot("02-new-run")
        driver.find_element("id", "form-start").click()
        found = wait_for(lambda: re.search(r"#/runs/(\d+)$", driver.current_url), "the run's page")
        run_id = int(found.group(1))

        # The prompts, in the page, with the expected value and its unit.
        self.find(".prompt[data-kind=operator-check]", "operator prompt")
        self.assertIn("Are the cuff and the hose undamaged?", self.find(".prompt").text)
        self.shot("03-prompt-check")
        self.find(".prompt button.answer-yes").click()
        prompt = self.find(".prompt[data-kind=static]", "static prompt")
        self.assertEqual("100 mmHg", prompt.find_element("css selector", ".expected").text)
        self.assertIn("100 mmHg", self.find(".run-current .setpoint").text)
        # A page that reloads finds the run where it is.
        driver.execute_script("document.body.dataset.before = 'reload'")
        driver.refresh()
        self.find("body[data-ready=true]:not([data-before])", "page reloaded", lambda e: True)
        self.find(".prompt[data-kind=static]", "static prompt after a reload")
        self.shot("04-prompt-static")
        # The instruments' view shows the run too, its prompt included: answered there.
        driver.find_element("id", "nav-instruments").click()
        tile = self.find(f'.tile[data-serial="{SECOND[2]}"][data-activity=run]', "the run in its tile")
        self.assertIn(f"run {run_id}", tile.text)
        self.assertIn("100 mmHg", tile.text)
        card = self.find(f'.run-card[data-run="{run_id}"]', "the run's card")
        prompt = card.find_element("css selector", ".prompt[data-kind=static]")
        self.shot("05-instruments-during-run")
        prompt.find_element("css selector", "input.reading-pressure").send_keys("100", Keys.ENTER)
        card.find_element("css selector", f'a[href="#/runs/{run_id}"]').click()
        prompt = self.find(".prompt[data-kind=bp]", "BP prompt")
        self.assertEqual("120/80 mmHg, 72 bpm", prompt.find_element("css selector", ".expected").text)
        self.shot("06-prompt-bp")
        prompt.find_element("css selector", "input.reading-systolic").send_keys("121", Keys.ENTER)
        driver.switch_to.active_element.send_keys("79", Keys.ENTER)
        driver.switch_to.active_element.send_keys("72", Keys.ENTER)

        # The verdict, each step's, and the traces.
        banner = self.find("#run-verdict[data-verdict=pass]", "the run's verdict")
        self.assertTrue(banner.text.startswith("PASS"), banner.text)
        for step in ("looks", "static", "bp"):
            row = self.find(f'table.steps tr[data-step="{step}"]', f"row of {step}")
            self.assertIn("PASS", row.text.upper())
        wait_for(lambda: len([p for p in driver.find_elements("css selector", ".plot canvas")]) >= 2,
                 "the steps' plots")
        self.shot("07-verdict")

        # The report, downloaded from the run's page.
        driver.find_element("id", "download-pdf").click()
        report = os.path.join(self.downloads, f"run-{run_id}.pdf")
        wait_for(lambda: os.path.exists(report) and os.path.getsize(report) > 0 and
                 not any(n.endswith(".crdownload") for n in os.listdir(self.downloads)), "the downloaded report")
        with open(report, "rb") as f:
            self.assertEqual(b"%PDF", f.read(4))
        shutil.copy(report, os.path.join(ARTEFACTS, "web-08-report.pdf"))
        subprocess.run(["pdftoppm", "-png", "-r", "60", "-f", "1", "-l", "1", "-singlefile", report,
                        os.path.join(ARTEFACTS, "web-08-report-page-1")], check=True, timeout=DEADLINE)
        text = subprocess.run(["pdftotext", report, "-"], stdout=subprocess.PIPE, text=True, check=True,
                              timeout=DEADLINE).stdout
        self.assertIn("BME-1187", text)
        self.assertIn("VV5-0042", text)

        # The day's runs, and a search by asset number.
        driver.find_element("id", "nav-results").click()
        row = self.find(f'#results-table tr[data-run="{run_id}"]', "the run in today's list")
        self.assertIn("PASS", row.text.upper())
        self.assertIn("BME-1187", row.text)
        self.shot("09-todays-runs")
        search = driver.find_element("id", "search-input")
        search.send_keys("BME-1187", Keys.ENTER)
        self.find("#results-title", "search title", lambda e: "BME-1187" in e.text)
        wait_for(lambda: [r.get_attribute("data-run") for r in
                          driver.find_elements("css selector", "#results-table tbody tr")] == [str(run_id)],
                 "the run alone in the search")
        self.shot("10-search")
        # An instrument unplugged: its tile says so, and the other one goes on.
        self.sims.devices[1].stop()
        driver.find_element("id", "nav-instruments").click()
        lost = self.find(f'.tile.lost[data-serial="{SECOND[2]}"]', "the lost instrument's tile")
        self.assertIn("LOST", lost.text.upper())
        first = self.find(f'.tile[data-serial="{FIRST[2]}"]', "the other tile")
        self.assertIn("CONNECTED", first.text.upper())
        seen = self.number(first, "next")
        wait_for(lambda: self.number(first, "next") > seen + 100, "samples of the other instrument")
        self.shot("11-instrument-lost")
        # Everything came from the station itself.
        loaded = driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
        self.assertEqual([], [url for url in loaded if not url.startswith(self.station.origin)])
        self.assertEqual("pass", self.station.history()[run_id]["verdict"])


class WebSocketReader:
    """Enough of a WebSocket client to read a server's unmasked text frames from a raw socket."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""
        self.count = 0

    def _take(self, count):
        while len(self.buffer) < count:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError("the server closed the socket")
            self.buffer += chunk
            self.count += len(chunk)
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def handshake(self):
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self.sock.recv(4096)
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        return head

    def message(self):
        first, second = self._take(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack("!H", self._take(2))[0]
        elif length == 127:
            length = struct.unpack("!Q", self._take(8))[0]
        payload = self._take(length)
        if first & 0x0F == 0x8:
            raise AssertionError(f"the server closed the socket: {payload!r}")
        if first & 0x0F != 0x1:
            return self.message()
        return json.loads(payload)


if __name__ == "__main__":
    unittest.main()
