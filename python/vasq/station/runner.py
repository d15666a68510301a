"""A run: one procedure on one instrument, step by step, with events for whoever watches (a terminal, a web page).

    run = Run(procedure, instrument, Readings([...]), dut={"model": "X1", "serial": "123"}, store=store)
    run.subscribe(lambda event: print(event.kind))
    run.start()              # on a thread of its own; or run.execute() on this one
    run.stop("operator")     # from any thread: the step in progress ends, the pressure is released
    run.wait()

Each step is judged against its limits; a step that cannot be judged (a reading missing, the instrument refusing)
is an error, never a pass. Every step keeps the pressure trace of its time at 200 samples/s.
"""
from __future__ import annotations

import datetime
import logging
import queue
import statistics
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional

import vasq

from .instrument import SAMPLE_RATE, Instrument, InstrumentLost, Trace
from .procedure import Procedure, Step
from .readings import ReadingError, ReadingRequest, Readings, ReadingStopped

_log = logging.getLogger("vasq.station")

PASS, FAIL, ERROR, ABORTED, NOT_RUN, INFO = "pass", "fail", "error", "aborted", "not-run", "info"
EXIT_STATUS = {PASS: 0, FAIL: 1, ERROR: 1, ABORTED: 130}
EXIT_LOST = 3
# Resolution of the instrument by unit: digits after the point.
DIGITS = {"mmHg": 1, "kPa": 2}


def now() -> str:
    """The time as the store keeps it: UTC, ISO 8601, milliseconds."""
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


@dataclass
class Measurement:
    """One judged value: the value (a difference, a leak, a spread...) against [low, high]."""
    quantity: str
    point: Optional[str]
    expected: Optional[float]
    measured: Optional[float]
    value: Optional[float]
    low: Optional[float]
    high: Optional[float]
    verdict: str
    note: str = ""

    def judge(self) -> "Measurement":
        if self.value is None:
            self.verdict = ERROR
        elif self.low is None and self.high is None:
            self.verdict = INFO
        else:
            inside = (self.low is None or self.value >= self.low - 1e-9) and \
                (self.high is None or self.value <= self.high + 1e-9)
            self.verdict = PASS if inside else FAIL
        return self

    def as_dict(self) -> Dict[str, Any]:
        return dict(self.__dict__)


@dataclass
class StepResult:
    position: int
    step_id: str
    kind: str
    name: str
    started: str = ""
    ended: str = ""
    verdict: str = NOT_RUN
    reason: str = ""
    setpoints: Dict[str, Any] = field(default_factory=dict)
    limits: Dict[str, Any] = field(default_factory=dict)
    readings: List[Dict[str, Any]] = field(default_factory=list)
    results: Dict[str, Any] = field(default_factory=dict)
    measurements: List[Measurement] = field(default_factory=list)
    trace: Optional[Trace] = None
    row: Optional[int] = None  # the store's id

    def finish(self) -> None:
        verdicts = [m.verdict for m in self.measurements]
        if self.verdict in (ERROR, ABORTED):
            return
        if ERROR in verdicts:
            self.verdict = ERROR
            self.reason = self.reason or next(m.note for m in self.measurements if m.verdict == ERROR)
        elif FAIL in verdicts:
            self.verdict = FAIL
        else:
            self.verdict = PASS


@dataclass(frozen=True)
class RunEvent:
    """kind: "run-started", "step-started", "set-point" (values: what the instrument is set to now: each static point,
    each BP repeat), "reading-wanted", "reading-taken", "step-ended" or "run-ended"."""
    kind: str
    run: "Run"
    step: Optional[Step] = None
    result: Optional[StepResult] = None
    request: Optional[ReadingRequest] = None
    source: str = ""
    values: Optional[Dict[str, Any]] = None


class _StepError(Exception):
    """The step cannot go on; its verdict is an error."""


class _Stopped(Exception):
    pass


_WAKE = object()


class _Timed:
    """The device, with the time of every call and property counted as the instrument's."""

    def __init__(self, device: vasq.Device, timing: Dict[str, float]) -> None:
        object.__setattr__(self, "_device", device)
        object.__setattr__(self, "_timing", timing)

    def __getattr__(self, name: str) -> Any:
        began = time.monotonic()
        try:
            value = getattr(self._device, name)
        finally:
            self._timing["instrument"] += time.monotonic() - began
        if not callable(value):
            return value

        def call(*args: Any, **kwargs: Any) -> Any:
            started = time.monotonic()
            try:
                return value(*args, **kwargs)
            finally:
                self._timing["instrument"] += time.monotonic() - started
        return call

    def __setattr__(self, name: str, value: Any) -> None:
        began = time.monotonic()
        try:
            setattr(self._device, name, value)
        finally:
            self._timing["instrument"] += time.monotonic() - began


class Run:
    def __init__(self, procedure: Procedure, instrument: Instrument, readings: Readings, *,
                 dut: Optional[Dict[str, str]] = None, technician: str = "", station: str = "", site: str = "",
                 store=None, corrects: Optional[int] = None) -> None:
        self.procedure = procedure
        self.instrument = instrument
        self.readings = readings
        self.dut = dict(dut or {})
        self.technician = technician
        self.station = station
        self.site = site
        self.store = store
        self.corrects = corrects
        self.uid = uuid.uuid4().hex
        self.id: Optional[int] = None
        self.state = "ready"
        self.verdict: Optional[str] = None
        self.reason = ""
        self.lost = False
        self.started = ""
        self.ended = ""
        self.steps: List[StepResult] = [StepResult(i, s.id, s.kind, s.name) for i, s in enumerate(procedure.steps)]
        self.current: Optional[StepResult] = None
        # Seconds spent waiting on the instrument, on readings and settling, and in all.
        self.timing = {"instrument": 0.0, "readings": 0.0, "settle": 0.0, "total": 0.0}
        self._listeners: List[Callable[[RunEvent], None]] = []
        self._lock = threading.Lock()
        self._interrupt = threading.Event()
        self._stop_reason = ""
        self._active: Optional[queue.Queue] = None
        self._done = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._digits = DIGITS[procedure.unit]
        self._device = _Timed(instrument.device, self.timing)

    # -- watching and steering
    def subscribe(self, listener: Callable[[RunEvent], None]) -> Callable[[], None]:
        with self._lock:
            self._listeners.append(listener)

        def remove() -> None:
            with self._lock:
                if listener in self._listeners:
                    self._listeners.remove(listener)
        return remove

    def _emit(self, kind: str, **fields: Any) -> None:
        event = RunEvent(kind, self, **fields)
        with self._lock:
            listeners = list(self._listeners)
        for listener in listeners:
            try:
                listener(event)
            except Exception:  # noqa: BLE001 - a watcher's fault must not end the test
                _log.exception("a run's listener failed on %s", kind)

    def start(self) -> threading.Thread:
        self._thread = threading.Thread(target=self.execute, name=f"vasq-run-{self.instrument.serial}", daemon=True)
        self._thread.start()
        return self._thread

    def stop(self, reason: str = "stopped") -> None:
        """Ends the run from any thread: the step in progress stops, the pressure is released, the run is aborted."""
        with self._lock:
            if not self._stop_reason:
                self._stop_reason = reason
        self._wake()

    def _wake(self) -> None:
        self._interrupt.set()
        with self._lock:
            active = self._active
        if active is not None:
            active.put(_WAKE)

    def wait(self, timeout: Optional[float] = None) -> bool:
        return self._done.wait(timeout)

    @property
    def done(self) -> bool:
        return self._done.is_set()

    @property
    def exit_status(self) -> int:
        if self.lost and self.verdict != ABORTED:
            return EXIT_LOST
        return EXIT_STATUS.get(self.verdict or ERROR, 1)

    def _connection(self, connected: bool) -> None:
        if not connected:
            self.lost = True
            self._wake()

    def _check(self) -> None:
        if self._stop_reason:
            raise _Stopped()
        if self.lost or self.instrument.lost:
            self.lost = True
            raise InstrumentLost(f"the instrument {self.instrument.serial} is lost (unplugged?)")

    # -- the run
    def execute(self) -> str:
        """Runs the procedure on this thread; returns the verdict."""
        remove = self.instrument.on_connection(self._connection)
        began = time.monotonic()
        self.started = now()
        self.state = "running"
        device = self._device
        restore: List[Callable[[], None]] = []
        try:
            if self.store is not None:
                self.id = self.store.begin_run(self)
            self._emit("run-started")
            self._prepare(device, restore)
            for step, result in zip(self.procedure.steps, self.steps):
                if self._stop_reason or self.lost:
                    break
                try:
                    self._run_step(step, result)
                finally:
                    self._store_step(result)
                    self._emit("step-ended", step=step, result=result)
        except (InstrumentLost, vasq.DeviceLost) as error:
            self.lost = True
            self.reason = str(error)
        except _Stopped:
            pass
        except Exception as error:  # noqa: BLE001 - recorded as the run's error
            _log.exception("run %s failed", self.uid)
            self.reason = f"{type(error).__name__}: {error}"
            self.verdict = ERROR
        finally:
            self._release(device, restore)
            remove()
            self._conclude()
            try:
                for result in self.steps:
                    if result.row is None:
                        self._store_step(result)
            except Exception as error:  # noqa: BLE001
                self.verdict, self.reason = ERROR, f"results store: {error}"
            self.timing["total"] = time.monotonic() - began
            self.ended = now()
            try:
                if self.store is not None and self.id is not None:
                    self.store.end_run(self.id, self.ended, self.verdict, self.reason)
            except Exception as error:  # noqa: BLE001
                _log.error("storing the end of run %s: %s", self.uid, error)
                self.reason = (self.reason + "; " if self.reason else "") + f"not stored: {error}"
                if self.verdict == PASS:
                    self.verdict = ERROR
            self.state = self.verdict
            self._emit("run-ended")
            self._done.set()
        return self.verdict

    def _store_step(self, result: StepResult) -> None:
        if self.store is not None and self.id is not None:
            result.row = self.store.add_step(self.id, result)

    def _prepare(self, device: vasq.Device, restore: List[Callable[[], None]]) -> None:
        # Whatever another program left running ends; the instrument is this run's now.
        device.stop_test()
        unit = vasq.Unit.KPA if self.procedure.unit == "kPa" else vasq.Unit.MMHG
        before = device.unit
        if before != unit:
            device.unit = unit
            restore.append(lambda: setattr(device, "unit", before))
        if any(step.kind == "bp" for step in self.procedure.steps):
            # The adult mode is not read back by the binding: the BP steps set it, and it is left adult.
            restore.append(lambda: device.set_adult_mode(True))
        self.instrument.start()

    def _release(self, device: vasq.Device, restore: List[Callable[[], None]]) -> None:
        try:
            device.stop_test()
        except vasq.VasqError:
            pass
        for undo in reversed(restore):
            try:
                undo()
            except vasq.VasqError:
                pass

    def _conclude(self) -> None:
        for result in self.steps:
            if result.verdict == NOT_RUN and result.started:
                result.verdict = ABORTED
        verdicts = [r.verdict for r in self.steps]
        if self._stop_reason:
            self.verdict = ABORTED
            self.reason = self._stop_reason
        elif self.lost:
            self.verdict = ERROR
            self.reason = self.reason or "the instrument was lost"
        elif self.verdict == ERROR:
            pass
        elif FAIL in verdicts:
            self.verdict = FAIL
            failed = [r.step_id for r in self.steps if r.verdict == FAIL]
            self.reason = f"{len(failed)} of {len(self.steps)} steps failed: {', '.join(failed)}"
        elif ERROR in verdicts:
            self.verdict = ERROR
            erred = [r for r in self.steps if r.verdict == ERROR]
            self.reason = f"{erred[0].step_id}: {erred[0].reason}"
        else:
            self.verdict = PASS
            self.reason = f"all {len(self.steps)} steps passed"

    def _run_step(self, step: Step, result: StepResult) -> None:
        self.current = result
        result.started = now()
        trace, end_trace = self.instrument.trace(self.procedure.unit)
        result.trace = trace
        self._emit("step-started", step=step, result=result)
        try:
            getattr(self, "_" + step.kind.replace("-", "_"))(step, result)
            result.finish()
        except _Stopped:
            result.verdict = ABORTED
            result.reason = self._stop_reason
            raise
        except ReadingStopped:
            if self.lost and not self._stop_reason:
                result.verdict = ERROR
                result.reason = f"the instrument {self.instrument.serial} is lost (unplugged?)"
                raise InstrumentLost(result.reason) from None
            result.verdict = ABORTED
            result.reason = self._stop_reason
            raise _Stopped() from None
        except (InstrumentLost, vasq.DeviceLost) as error:
            self.lost = True
            result.verdict = ERROR
            result.reason = str(error)
            raise
        except (_StepError, ReadingError, vasq.VasqError) as error:
            result.verdict = ERROR
            result.reason = str(error)
        finally:
            end_trace()
            result.ended = now()
            self.current = None
            if result.verdict != PASS:
                try:
                    self._device.stop_test()
                except vasq.VasqError:
                    pass

    # -- waiting
    def _queue(self) -> "queue.Queue":
        q: queue.Queue = queue.Queue()
        with self._lock:
            self._active = q
        self._check()
        return q

    def _await(self, q: "queue.Queue", statuses, timeout: float, what: str):
        """The first report with one of statuses, within timeout seconds."""
        began = time.monotonic()
        deadline = began + timeout
        try:
            while True:
                self._check()
                left = deadline - time.monotonic()
                if left <= 0:
                    raise _StepError(f"{what}: the instrument did not finish within {timeout:g} s")
                try:
                    report = q.get(timeout=left)
                except queue.Empty:
                    continue
                if report is not _WAKE and report.status in statuses:
                    return report
        finally:
            self.timing["instrument"] += time.monotonic() - began

    def _settle(self, seconds: float) -> None:
        began = time.monotonic()
        self._interrupt.wait(seconds)
        self.timing["settle"] += time.monotonic() - began
        self._check()

    def _steady(self, trace: Trace, band: float, timeout: float, what: str, seconds: float = 0.5) -> int:
        """Waits until the last seconds of the trace stay within band; returns the index they start at."""
        began = time.monotonic()
        count = int(seconds * SAMPLE_RATE)
        try:
            while True:
                self._check()
                window = trace.samples[-count:]
                if len(window) >= count and max(window) - min(window) <= band:
                    return len(trace.samples) - count
                if time.monotonic() - began > timeout:
                    raise _StepError(f"the pressure at {what} did not settle within {band:g} "
                                     f"{self.procedure.unit} in {timeout:g} s")
                self._interrupt.wait(0.02)
        finally:
            self.timing["instrument"] += time.monotonic() - began

    def _samples_after(self, trace: Trace, count: int, timeout: float = 2.0) -> None:
        """Waits (at most timeout seconds) until the trace holds count samples."""
        began = time.monotonic()
        while len(trace.samples) < count and time.monotonic() - began < timeout:
            self._interrupt.wait(0.02)
            self._check()
        self.timing["settle"] += time.monotonic() - began

    def _read(self, step: Step, kind: str, repeat: int, expected: Dict[str, Any], point: int = 0) -> Dict[str, Any]:
        request = ReadingRequest(run=self.uid, instrument=self.instrument.serial, step_id=step.id, kind=kind,
                                 repeat=repeat, expected=expected, unit=self.procedure.unit,
                                 question=step.get("question", ""), point=point)
        began = time.monotonic()
        try:
            values = self.readings.read(request, self._interrupt,
                                        asking=lambda r, source: self._emit("reading-wanted", step=step,
                                                                            request=r, source=source))
        finally:
            self.timing["readings"] += time.monotonic() - began
        self._check()
        self._emit("reading-taken", step=step, request=request, values=values)
        return values

    def _round(self, value: float) -> float:
        return round(value, self._digits)

    # -- the step kinds
    def _static(self, step: Step, result: StepResult) -> None:
        device = self._device
        tolerance = step["tolerance"]
        result.setpoints = {"points": list(step["points"]), "settle": step["settle"]}
        result.limits = {"tolerance": tolerance}
        result.results = {"points": []}
        for index, point in enumerate(step["points"]):
            q = self._queue()
            self._emit("set-point", step=step, values={"pressure": float(point), "point": index})
            device.run_static_pressure(float(point), q.put)
            measurement = Measurement("pressure", f"{point:g}", None, None, None, -tolerance, tolerance, ERROR)
            try:
                report = self._await(q, (vasq.Status.HOLDING, vasq.Status.COMPLETED), step["timeout"],
                                     f"holding {point:g} {self.procedure.unit}")
                # The instrument may say it holds before its pressure is steady: wait for that too.
                held_at = self._steady(result.trace, max(tolerance / 4.0, 2 * 10.0 ** -self._digits),
                                       step["timeout"], f"{point:g} {self.procedure.unit}")
                self._settle(step["settle"])
                asked_at = len(result.trace.samples)
                try:
                    values = self._read(step, "static", 1, {"pressure": float(point)}, index)
                except ReadingError as error:
                    measurement.note = str(error)
                    result.readings.append({"point": point, "error": str(error)})
                    result.measurements.append(measurement)
                    continue
                # The instrument's own measurement while the question was open, from a second before it but
                # never from before the pressure held; a quarter of a second of it at least.
                first = max(held_at, asked_at - SAMPLE_RATE)
                self._samples_after(result.trace, first + SAMPLE_RATE // 4)
                window = result.trace.samples[first:]
                if not window:
                    raise _StepError(f"no pressure samples from the instrument while {point:g} "
                                     f"{self.procedure.unit} held")
                reference = self._round(statistics.fmean(window))
                measurement.expected = reference
                measurement.measured = values["pressure"]
                measurement.value = self._round(values["pressure"] - reference)
                measurement.judge()
                result.readings.append({"point": point, **values})
                result.results["points"].append({"point": point, "reference": reference,
                                                 "status": report.status.name,
                                                 "test_result": report.test_result,
                                                 "samples": len(window)})
                result.measurements.append(measurement)
            finally:
                device.stop_test()

    def _leak(self, step: Step, result: StepResult) -> None:
        device = self._device
        parameter = step.get("duration", step.get("parameter"))
        result.setpoints = {"pressure": step["pressure"], "parameter": parameter, "rate": step["rate"]}
        if "duration" in step.fields:
            result.setpoints["duration"] = step["duration"]
        result.limits = {"max": step["limit"]}
        q = self._queue()
        self._emit("set-point", step=step, values={"pressure": float(step["pressure"])})
        device.run_leakage_test(float(step["pressure"]), q.put, leak_param=int(parameter),
                                leak_rate=float(step["rate"]))
        try:
            report = self._await(q, (vasq.Status.COMPLETED,), step["timeout"], "the leak test")
        finally:
            device.stop_test()
        result.results = {"leak": report.leak_value, "result_code": report.result_code,
                          "wait_stable_seconds": report.wait_stable_seconds}
        result.measurements.append(Measurement("leak", None, None, report.leak_value, report.leak_value, None,
                                               step["limit"], ERROR).judge())

    def _overpressure(self, step: Step, result: StepResult) -> None:
        device = self._device
        result.setpoints = {key: step[key] for key in ("pressure", "second", "third", "flag")}
        result.limits = dict(step["limits"])
        q = self._queue()
        self._emit("set-point", step=step, values={"pressure": float(step["pressure"])})
        device.run_overpressure_test(float(step["pressure"]), float(step["second"]), float(step["third"]), q.put,
                                     flag=step["flag"])
        try:
            report = self._await(q, (vasq.Status.COMPLETED,), step["timeout"], "the overpressure test")
        finally:
            device.stop_test()
        opened = report.results[0]
        result.results = {"results": list(report.results), "wait_stable_seconds": report.wait_stable_seconds}
        result.measurements.append(Measurement("valve", None, step["pressure"], opened, opened,
                                               step["limits"]["min"], step["limits"]["max"], ERROR).judge())

    def _bp(self, step: Step, result: StepResult) -> None:
        device = self._device
        common = {key: step[key] for key in ("systolic", "diastolic", "heart_rate", "pulse_volume")}
        if "envelope" in step.fields:
            settings = vasq.Envelope(**common, **step["envelope"])
        else:
            settings = vasq.BPSettings(**common)
        tolerance = step["tolerance"]
        result.setpoints = dict(common, patient=step["patient"], repeats=step["repeats"])
        if "envelope" in step.fields:
            result.setpoints["envelope"] = dict(step["envelope"])
        result.limits = dict(tolerance)
        result.results = {"repeats": []}
        device.set_adult_mode(step["patient"] == "adult")
        expected = {"systolic": float(step["systolic"]), "diastolic": float(step["diastolic"]),
                    "heart_rate": float(step["heart_rate"])}
        differences: Dict[str, List[float]] = {key: [] for key in expected}
        for repeat in range(1, step["repeats"] + 1):
            q = self._queue()
            self._emit("set-point", step=step, values=dict(expected, repeat=repeat, patient=step["patient"]))
            device.run_bp_test(settings, q.put)
            try:
                report = self._await(q, (vasq.Status.COMPLETED,), step["timeout"], f"simulation #{repeat}")
            finally:
                device.stop_test()
            result.results["repeats"].append({"repeat": repeat, "instrument": [report.systolic, report.result2,
                                                                                report.result3, report.result4]})
            values = self._read(step, "bp", repeat, expected)
            result.readings.append({"repeat": repeat, **values})
            for key in expected:
                differences[key].append(values[key] - expected[key])
        label = f"{step['systolic']:g}/{step['diastolic']:g}"
        for key in ("systolic", "diastolic"):
            mean = self._round(statistics.fmean(differences[key]))
            spread = self._round(statistics.stdev(differences[key])) if len(differences[key]) > 1 else 0.0
            measured = self._round(statistics.fmean(expected[key] + d for d in differences[key]))
            result.measurements.append(Measurement(key, label, expected[key], measured, mean, -tolerance["mean"],
                                                   tolerance["mean"], ERROR).judge())
            result.measurements.append(Measurement(key + " spread", label, None, spread, spread, None,
                                                   tolerance["spread"], ERROR).judge())
        mean = round(statistics.fmean(differences["heart_rate"]), 1)
        measured = round(statistics.fmean(expected["heart_rate"] + d for d in differences["heart_rate"]), 1)
        limit = tolerance.get("heart_rate")
        result.measurements.append(Measurement("heart rate", label, expected["heart_rate"], measured, mean,
                                               -limit if limit is not None else None, limit, ERROR).judge())

    def _operator_check(self, step: Step, result: StepResult) -> None:
        result.setpoints = {"question": step["question"]}
        result.limits = {"expect": step["expect"]}
        values = self._read(step, "operator-check", 1, {"answer": step["expect"]})
        result.readings.append(dict(values))
        answer = values["answer"]
        measurement = Measurement("answer", None, 1.0 if step["expect"] else 0.0, 1.0 if answer else 0.0,
                                  1.0 if answer else 0.0, None, None, PASS if answer == step["expect"] else FAIL)
        result.measurements.append(measurement)

    # -- what a record holds
    def describe(self) -> Dict[str, Any]:
        """The run as the store, the JUnit file and --json see it (no traces)."""
        return {
            "id": self.id, "uid": self.uid, "station": self.station, "site": self.site,
            "technician": self.technician, "procedure": self.procedure.name, "title": self.procedure.title,
            "version": self.procedure.version, "procedure_sha256": self.procedure.sha256,
            "unit": self.procedure.unit, "dut": dict(self.dut), "instrument": self.instrument.describe(),
            "started": self.started, "ended": self.ended, "verdict": self.verdict, "reason": self.reason,
            "corrects": self.corrects,
            "steps": [step_dict(s) for s in self.steps],
        }


def step_dict(result: StepResult) -> Dict[str, Any]:
    return {"position": result.position, "step": result.step_id, "kind": result.kind, "name": result.name,
            "started": result.started, "ended": result.ended, "verdict": result.verdict, "reason": result.reason,
            "setpoints": result.setpoints, "limits": result.limits, "readings": result.readings,
            "results": result.results, "measurements": [m.as_dict() for m in result.measurements]}


def limit_text(low: Optional[float], high: Optional[float]) -> str:
    """Limits as people write them: ±3, ≤ 6, 270 to 330."""
    if low is None and high is None:
        return "none"
    if low is not None and high is not None and low == -high:
        return f"±{high:g}"
    if low is None:
        return f"≤ {high:g}"
    if high is None:
        return f"≥ {low:g}"
    return f"{low:g} to {high:g}"
