"""The station as its web page and its API see it: the instruments (each with its live pressure stream and what it
is doing), the runs in progress, and the results store. Thread-safe and free of HTTP: the server calls it from its
worker threads, the library calls it from its own.

    bench = Bench(instruments, store, station_config)
    bench.start_run({"procedure": "adult-pm", "instrument": "NQX7001-070042", "dut": {"asset": "BME-7"}})
    bench.shutdown("interrupted by SIGTERM")    # every test stopped, every pressure released, runs aborted
"""
from __future__ import annotations

import collections
import math
import re
import threading
import time
from typing import Any, Callable, Deque, Dict, List, Optional, Sequence, Tuple

import vasq

from . import procedure as _procedure
from .config import StationConfig
from .instrument import SAMPLE_RATE, Instrument
from .readings import ExternalSource, NotPending, ReadingError, Readings
from .runner import Run, RunEvent, step_dict

DUT_KEY = re.compile(r"^[a-z][a-z0-9_]{0,31}$")
TEXT_LIMIT = 200
# How long a run may take to be stored and started, and the runs to end at a shutdown.
START_TIMEOUT = 30.0
SHUTDOWN_TIMEOUT = 60.0


class ApiError(Exception):
    """A request that cannot be done: its HTTP status and the reason, said to the client."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


# -- the pressure stream

class Stream:
    """The last capacity samples of an instrument, numbered as the instrument's listeners number them, for any
    number of readers that each keep their own place.

    Written by the library's sampling thread; read from anywhere. Readers are told of new samples through
    watch(); one that falls further behind than the ring holds gets a gap, never an ever-growing backlog.
    """

    def __init__(self, seconds: float) -> None:
        self.capacity = max(int(seconds * SAMPLE_RATE), 10)
        self._ring = [0.0] * self.capacity
        self._next = 0
        self._time = 0.0
        # (first sample number, arrival time) of each batch the ring holds, oldest first.
        self._arrivals: Deque[Tuple[int, float]] = collections.deque(maxlen=self.capacity // 5 + 2)
        self._lock = threading.Lock()
        self._watchers: Tuple[Callable[[], None], ...] = ()
        self.gaps = 0

    def add(self, first: int, values: Sequence[float]) -> None:
        arrived = time.time()
        with self._lock:
            if first < self._next:
                # Already held (the numbers never go back): drop what repeats.
                values = values[self._next - first:]
                first = self._next
            ring, capacity = self._ring, self.capacity
            for offset, value in enumerate(values):
                ring[(first + offset) % capacity] = value
            # A jump forward leaves the numbers between unknown: readers see them as a gap.
            self._next = first + len(values)
            self._time = arrived
            if values:
                self._arrivals.append((first, arrived))
            watchers = self._watchers
        for watcher in watchers:
            watcher()

    def poke(self) -> None:
        """Wakes the readers without a sample (the connection changed)."""
        with self._lock:
            watchers = self._watchers
        for watcher in watchers:
            watcher()

    @property
    def next(self) -> int:
        """The number the next sample will have."""
        with self._lock:
            return self._next

    @property
    def oldest(self) -> int:
        with self._lock:
            return max(0, self._next - self.capacity)

    def arrival(self, number: int) -> float:
        """The wall-clock time sample number arrived (that of the oldest batch held, for an older one)."""
        with self._lock:
            for first, arrived in reversed(self._arrivals):
                if first <= number:
                    return arrived
            return self._arrivals[0][1] if self._arrivals else self._time

    def read(self, cursor: int) -> Tuple[Optional[Tuple[int, int]], int, List[float], float]:
        """(gap, first, values, time): the samples from cursor on (a gap (from, to) first when cursor is older than
        the ring holds), the number of the first, and the wall-clock time the newest arrived."""
        with self._lock:
            oldest = max(0, self._next - self.capacity)
            gap = None
            if cursor < oldest:
                gap = (cursor, oldest)
                cursor = oldest
            cursor = min(cursor, self._next)
            start, end = cursor % self.capacity, self._next % self.capacity
            count = self._next - cursor
            if count == 0:
                values: List[float] = []
            elif start < end:
                values = self._ring[start:end]
            else:
                values = self._ring[start:] + self._ring[:end]
            return gap, cursor, values, self._time

    def watch(self, watcher: Callable[[], None]) -> Callable[[], None]:
        """watcher() after each batch (on the sampling thread: keep it short); returns its removal."""
        with self._lock:
            self._watchers = self._watchers + (watcher,)

        def remove() -> None:
            with self._lock:
                self._watchers = tuple(w for w in self._watchers if w is not watcher)
        return remove

    @property
    def readers(self) -> int:
        with self._lock:
            return len(self._watchers)


# -- the instruments

class Tile:
    """An instrument, what it is doing, and its stream."""

    def __init__(self, instrument: Instrument, stream_seconds: float) -> None:
        self.instrument = instrument
        self.serial = instrument.serial
        self.stream = Stream(stream_seconds)
        self._lock = threading.Lock()
        self.port = instrument.port
        self.connected = not instrument.lost
        self.unit = str(instrument.device.unit)
        # None, {"kind": "static", ...} or {"kind": "run", ...}
        self.activity: Optional[Dict[str, Any]] = None
        self._removals = [instrument.listen(self.stream.add), instrument.on_connection(self._connection)]

    def _connection(self, connected: bool) -> None:
        # On the library's connection thread: nothing here talks to the instrument.
        with self._lock:
            self.connected = connected
            if not connected:
                self.port = None
                if self.activity and self.activity["kind"] == "static":
                    self.activity = None
        if connected:
            threading.Thread(target=self._back, name=f"vasq-back-{self.serial}", daemon=True).start()
        self.stream.poke()

    def _back(self) -> None:
        """The instrument is back: its port, unit and stream as they are now."""
        try:
            port = self.instrument.device.port
            unit = str(self.instrument.device.unit)
        except vasq.VasqError:
            return
        with self._lock:
            self.port, self.unit = port, unit
        self.stream.poke()

    def describe(self) -> Dict[str, Any]:
        calibration = self.instrument.calibration
        with self._lock:
            return {"serial": self.serial, "port": self.port, "connected": self.connected, "unit": self.unit,
                    "firmware": self.instrument.firmware, "hardware": self.instrument.hardware,
                    "calibration_due": calibration.due.isoformat() if calibration.due else None,
                    "calibration_overdue": calibration.overdue(),
                    "activity": dict(self.activity) if self.activity else None,
                    "stream": {"next": self.stream.next, "rate": SAMPLE_RATE, "readers": self.stream.readers,
                               "gaps": self.stream.gaps}}

    def reserve(self, activity: Dict[str, Any]) -> None:
        """Marks the instrument busy with activity; ApiError 409 when it is lost or busy."""
        with self._lock:
            if not self.connected:
                raise ApiError(409, f"the instrument {self.serial} is lost (unplugged?)")
            if self.activity is not None:
                raise ApiError(409, f"the instrument {self.serial} is busy: {_doing(self.activity)}")
            self.activity = activity

    def update(self, **changes: Any) -> None:
        with self._lock:
            if self.activity is not None:
                self.activity.update(changes)

    def release(self, kind: Optional[str] = None) -> Optional[Dict[str, Any]]:
        """Ends the activity (only one of that kind, when given); returns what it was."""
        with self._lock:
            activity = self.activity
            if activity is not None and (kind is None or activity["kind"] == kind):
                self.activity = None
                return activity
            return None

    def refresh_unit(self) -> None:
        try:
            self.set_unit(str(self.instrument.device.unit))
        except vasq.VasqError:
            pass

    def set_unit(self, unit: str) -> None:
        with self._lock:
            self.unit = unit
        self.stream.poke()

    def close(self) -> None:
        for remove in self._removals:
            remove()
        self.instrument.close()


def _doing(activity: Dict[str, Any]) -> str:
    if activity["kind"] == "run":
        return f"run {activity.get('run') or '(starting)'} is on it"
    return f"it holds {activity['pressure']:g} {activity['unit']} from its tile"


# -- the runs

class LiveRun:
    """A run in progress as the page sees it: the step and set point in progress, the pending prompt."""

    def __init__(self, run: Run, answers: ExternalSource, tile: Tile, ended: Callable[["LiveRun"], None]) -> None:
        self.run = run
        self.answers = answers
        self.tile = tile
        self._ended = ended
        self._lock = threading.Lock()
        self.current: Optional[Dict[str, Any]] = None
        self.started = threading.Event()
        self.finished = False  # under the bench's lock
        run.subscribe(self._event)

    def _event(self, event: RunEvent) -> None:
        kind = event.kind
        if kind == "run-started":
            self.tile.update(run=self.run.id)
            # The run sets the instrument to its procedure's unit (and back when it ends).
            self.tile.set_unit(self.run.procedure.unit)
            self.started.set()
        elif kind == "step-started":
            step = event.step
            with self._lock:
                self.current = {"position": event.result.position, "step": step.id, "kind": step.kind,
                                "name": step.name, "started": event.result.started, "set_point": None}
            self.tile.update(step=step.id, step_name=step.name, set_point=None)
        elif kind == "set-point":
            with self._lock:
                if self.current is not None:
                    self.current["set_point"] = dict(event.values)
            self.tile.update(set_point=dict(event.values))
        elif kind == "step-ended":
            with self._lock:
                self.current = None
            self.tile.update(step=None, step_name=None, set_point=None)
        elif kind == "run-ended":
            self.started.set()
            self._ended(self)

    def view(self) -> Dict[str, Any]:
        run = self.run
        described = run.describe()
        described["verdict"] = run.verdict if run.done else "running"
        described["running"] = not run.done
        with self._lock:
            described["current"] = dict(self.current) if self.current else None
        number, request = self.answers.pending_numbered
        described["prompt"] = None if request is None else {
            "request": number, "step": request.step_id, "kind": request.kind, "repeat": request.repeat,
            "point": request.point, "expected": dict(request.expected), "unit": request.unit,
            "question": request.question, "text": request.describe()}
        return described


# -- the bench

def _text(body: Dict[str, Any], key: str, required: bool = False) -> Optional[str]:
    value = body.get(key)
    if value is None:
        if required:
            raise ApiError(400, f"{key!r} is missing")
        return None
    if not isinstance(value, str):
        raise ApiError(400, f"{key!r} must be a string, not {type(value).__name__}")
    value = value.strip()
    if required and not value:
        raise ApiError(400, f"{key!r} is empty")
    if len(value) > TEXT_LIMIT or any(ord(c) < 32 for c in value):
        raise ApiError(400, f"{key!r} must be one line of at most {TEXT_LIMIT} characters")
    return value


def _only(body: Any, allowed: Sequence[str], what: str) -> Dict[str, Any]:
    if not isinstance(body, dict):
        raise ApiError(400, f"{what} is a JSON object")
    unknown = sorted(set(body) - set(allowed))
    if unknown:
        raise ApiError(400, f"{what}: unknown key{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))} "
                            f"(known: {', '.join(allowed)})")
    return body


class Bench:
    """The instruments of a station serving the page, its runs in progress and its store."""

    def __init__(self, instruments: Sequence[Instrument], store, config: StationConfig,
                 stream_seconds: float = 30.0) -> None:
        self.store = store
        self.config = config
        self.tiles: Dict[str, Tile] = {}
        self._lock = threading.Lock()
        self._runs: Dict[int, LiveRun] = {}
        self._closing = False
        self._closed = False
        self._report_lock = threading.Lock()
        for instrument in instruments:
            tile = Tile(instrument, stream_seconds)
            self.tiles[tile.serial] = tile
            instrument.start()

    # -- instruments
    def tile(self, serial: str) -> Tile:
        tile = self.tiles.get(serial)
        if tile is None:
            raise ApiError(404, f"no instrument {serial} on this station (it has: {', '.join(self.tiles) or 'none'})")
        return tile

    def instruments(self) -> List[Dict[str, Any]]:
        return [tile.describe() for tile in self.tiles.values()]

    def _open(self) -> None:
        if self._closing:
            raise ApiError(503, "the station is stopping")

    def start_static(self, serial: str, body: Any) -> Dict[str, Any]:
        """Holds a static pressure from the instrument's tile: {"pressure": P} in the instrument's unit."""
        body = _only(body, ("pressure",), "the static pressure")
        tile = self.tile(serial)
        self._open()
        pressure = body.get("pressure")
        if isinstance(pressure, bool) or not isinstance(pressure, (int, float)) or not math.isfinite(pressure):
            raise ApiError(400, f"'pressure' must be a number, not {pressure!r}")
        unit = tile.unit
        low, high = _procedure._LIMITS[unit]["static"]
        if not low <= pressure <= high:
            raise ApiError(400, f"{pressure:g} {unit} is outside the instrument's range {low:g} to {high:g} {unit}")
        digits = _procedure._SET_POINT_DIGITS[unit]
        if round(pressure, digits) != pressure:
            raise ApiError(400, f"{pressure:g} {unit}: the instrument takes set points in "
                                f"{'whole mmHg' if unit == 'mmHg' else 'tenths of a kPa'}")
        activity = {"kind": "static", "pressure": float(pressure), "unit": unit, "status": "starting"}
        tile.reserve(activity)

        def report(r: vasq.StaticPressureReport) -> None:
            tile.update(status=r.status.name.lower())
        try:
            tile.instrument.device.run_static_pressure(float(pressure), report)
        except vasq.VasqError as error:
            tile.release("static")
            raise ApiError(409 if isinstance(error, vasq.DeviceLost) else 502,
                           f"the instrument {serial} refused the static pressure: {error}") from None
        return tile.describe()

    def stop_instrument(self, serial: str) -> Dict[str, Any]:
        """Releases the pressure of the tile's static pressure."""
        tile = self.tile(serial)
        activity = tile.activity
        if activity is not None and activity["kind"] == "run":
            raise ApiError(409, f"run {activity.get('run')} is using {serial}: stop the run "
                                f"(POST /api/runs/{activity.get('run')}/stop)")
        if not tile.connected:
            tile.release("static")
            raise ApiError(409, f"the instrument {serial} is lost (unplugged?): nothing can be sent to it")
        try:
            tile.instrument.device.stop_test()
        except vasq.VasqError as error:
            raise ApiError(409 if isinstance(error, vasq.DeviceLost) else 502,
                           f"the instrument {serial} did not take the stop: {error}") from None
        finally:
            tile.release("static")
        return tile.describe()

    # -- procedures
    def procedures(self) -> List[Dict[str, Any]]:
        out = []
        for name, path in _procedure.available().items():
            item: Dict[str, Any] = {"name": name, "source": "shipped" if _procedure.is_shipped(path) else "user"}
            try:
                p = _procedure.load(path)
            except _procedure.ProcedureError as error:
                item["error"] = str(error)
                out.append(item)
                continue
            item.update(title=p.title, version=p.version, unit=p.unit, description=p.description,
                        steps=[{"id": s.id, "kind": s.kind, "name": s.name} for s in p.steps])
            out.append(item)
        return out

    # -- runs
    def start_run(self, body: Any) -> Dict[str, Any]:
        """{"procedure": NAME, "instrument": SERIAL, "dut": {...}, "technician": NAME}: checks everything, then
        starts the run and returns it once it is stored."""
        body = _only(body, ("procedure", "instrument", "dut", "technician"), "the run")
        name = _text(body, "procedure", required=True)
        serial = _text(body, "instrument", required=True)
        technician = _text(body, "technician") or self.config.technician
        dut_in = body.get("dut", {})
        if not isinstance(dut_in, dict):
            raise ApiError(400, "'dut' is a JSON object of the monitor's fields (model, serial, asset, ...)")
        dut: Dict[str, str] = {}
        for key, value in dut_in.items():
            if not DUT_KEY.match(key):
                raise ApiError(400, f"dut: {key!r} is not a field name (lower case letters, digits and _)")
            checked = _text(dut_in, key)
            if checked:
                dut[key] = checked
        known = _procedure.available()
        if name not in known:
            raise ApiError(400, f"no procedure {name!r} (known: {', '.join(known)})")
        try:
            procedure = _procedure.load(known[name])
        except _procedure.ProcedureError as error:
            raise ApiError(400, str(error)) from None
        tile = self.tile(serial)
        self._open()
        tile.reserve({"kind": "run", "run": None, "procedure": name, "step": None, "set_point": None})
        try:
            answers = ExternalSource()
            run = Run(procedure, tile.instrument, Readings([answers]), dut=dut, technician=technician or "",
                      station=self.config.station, site=self.config.site, store=self.store)
            live = LiveRun(run, answers, tile, self._ended)
            run.start()
        except BaseException:
            tile.release("run")
            raise
        if not live.started.wait(START_TIMEOUT) or run.id is None:
            run.stop("the run could not be stored")
            run.wait(START_TIMEOUT)
            raise ApiError(500, f"the run could not start: {run.reason or 'not stored in time'}")
        with self._lock:
            if not live.finished:
                self._runs[run.id] = live
        return live.view()

    def _ended(self, live: LiveRun) -> None:
        # On the run's thread, after its end is stored.
        with self._lock:
            live.finished = True
            if live.run.id is not None:
                self._runs.pop(live.run.id, None)
        live.tile.release("run")
        if not live.run.lost:
            live.tile.refresh_unit()

    def _live(self, run_id: int) -> Optional[LiveRun]:
        with self._lock:
            return self._runs.get(run_id)

    def active(self) -> List[LiveRun]:
        with self._lock:
            return list(self._runs.values())

    def run(self, run_id: int) -> Dict[str, Any]:
        live = self._live(run_id)
        if live is not None:
            return live.view()
        try:
            stored = self.store.run(run_id)
        except KeyError:
            raise ApiError(404, f"no run {run_id}") from None
        for step in stored["steps"]:
            step.pop("row", None)
        stored["running"] = False
        stored["current"] = None
        stored["prompt"] = None
        return stored

    def runs(self, asset: Optional[str] = None, serial: Optional[str] = None, since: Optional[str] = None,
             limit: int = 100, active: bool = False) -> List[Dict[str, Any]]:
        if active:
            found = [live.view() for live in self.active()]
            return sorted(found, key=lambda r: r["started"], reverse=True)
        runs = self.store.history(asset=asset, serial=serial, since=since, limit=limit)
        running = {live.run.id for live in self.active()}
        for item in runs:
            if item["id"] in running:
                item["verdict"] = "running"
        return runs

    def submit(self, run_id: int, body: Any) -> Dict[str, Any]:
        """The pending reading of a run: the keys of the reading command's JSON ({"pressure": ...},
        {"systolic": ..., "diastolic": ..., "heart_rate": ...} or {"answer": true}), and optionally "request", the
        number of the prompt it answers."""
        live = self._live(run_id)
        if live is None:
            self._exists(run_id)
            raise ApiError(409, f"run {run_id} has ended: it takes no readings")
        if not isinstance(body, dict):
            raise ApiError(400, "a reading is a JSON object")
        values = dict(body)
        number = values.pop("request", None)
        if number is not None and (isinstance(number, bool) or not isinstance(number, int)):
            raise ApiError(400, f"'request' is the number of the prompt answered, not {number!r}")
        try:
            taken = live.answers.submit(values, number)
        except NotPending as error:
            raise ApiError(409, f"run {run_id}: {error}") from None
        except ReadingError as error:
            raise ApiError(400, f"run {run_id}: {error}") from None
        return {"run": run_id, "request": number if number is not None else live.answers.pending_numbered[0],
                "reading": taken}

    def stop_run(self, run_id: int, reason: str = "stopped from the page") -> Dict[str, Any]:
        live = self._live(run_id)
        if live is None:
            self._exists(run_id)
            raise ApiError(409, f"run {run_id} has ended already")
        live.run.stop(reason)
        live.run.wait(SHUTDOWN_TIMEOUT)
        return self.run(run_id)

    def _exists(self, run_id: int) -> None:
        if not self.store.history_has(run_id):
            raise ApiError(404, f"no run {run_id}")

    def trace(self, run_id: int, position: int) -> Dict[str, Any]:
        live = self._live(run_id)
        if live is not None:
            steps = live.run.steps
            if not 0 <= position < len(steps):
                raise ApiError(404, f"run {run_id} has no step {position}")
            trace = steps[position].trace
            if trace is None:
                raise ApiError(404, f"step {position} of run {run_id} has no trace (not started)")
            return {"rate": SAMPLE_RATE, "first_sample": trace.first, "unit": trace.unit,
                    "samples": list(trace.samples)}
        try:
            stored = self.store.run(run_id)
        except KeyError:
            raise ApiError(404, f"no run {run_id}") from None
        step = next((s for s in stored["steps"] if s["position"] == position), None)
        if step is None:
            raise ApiError(404, f"run {run_id} has no stored step {position}")
        trace = self.store.trace(step["row"])
        if trace is None:
            raise ApiError(404, f"step {position} of run {run_id} has no trace")
        return dict(trace, unit=stored["unit"])

    def report(self, run_id: int, form: str) -> bytes:
        from . import report
        try:
            stored = self.store.run(run_id, traces=True)
        except KeyError:
            raise ApiError(404, f"no run {run_id}") from None
        # WeasyPrint and its fonts: one report at a time.
        with self._report_lock:
            if form == "html":
                return report.html(stored).encode("utf-8")
            import tempfile
            import os
            with tempfile.TemporaryDirectory(prefix="vasq-report-") as folder:
                path = os.path.join(folder, "report.pdf")
                report.pdf(stored, path)
                with open(path, "rb") as f:
                    return f.read()

    # -- the end
    def shutdown(self, reason: str) -> List[Dict[str, Any]]:
        """Stops every run (recorded as aborted with reason) and every static pressure, and closes the
        instruments; returns the runs it stopped. Again, it does nothing."""
        with self._lock:
            if self._closed:
                return []
            self._closing = self._closed = True
        stopped = self.active()
        for live in stopped:
            live.run.stop(reason)
        for tile in self.tiles.values():
            if tile.release("static") is not None:
                try:
                    tile.instrument.device.stop_test()
                except vasq.VasqError:
                    pass
        deadline = time.monotonic() + SHUTDOWN_TIMEOUT
        for live in stopped:
            live.run.wait(max(0.0, deadline - time.monotonic()))
        for tile in self.tiles.values():
            try:
                tile.close()
            except vasq.VasqError:
                pass
        return [{"id": live.run.id, "verdict": live.run.verdict} for live in stopped]


def open_all(serials: Sequence[str], timeout: float, calibrations) -> List[Instrument]:
    """The instruments with these serial numbers (see open_instruments), or without any, every one found: the first
    within timeout, the others as they answer at once."""
    from .instrument import NoInstrument, open_instruments
    if serials:
        return open_instruments(serials, None, timeout, calibrations)
    instruments = open_instruments((), None, timeout, calibrations)
    try:
        while True:
            try:
                device = vasq.open(-1, 0.5)
            except vasq.DeviceNotFound:
                break
            try:
                instruments.append(Instrument(device, calibrations.get(device.serial_number)))
            except vasq.VasqError as error:
                device.close()
                raise NoInstrument(f"reading the instrument's identity: {error}") from None
        return instruments
    except BaseException:
        for instrument in instruments:
            instrument.close()
        raise
