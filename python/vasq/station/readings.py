"""Readings of the monitor under test: from a command, a file, the terminal, or another thread (a web page).

A run asks its Readings for each value the monitor displays; the first source that can answer the request does.
A source that fails raises ReadingError, which makes that step an error, never a pass.
"""
from __future__ import annotations

import json
import math
import os
import select
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple

# The keys of a reading, by kind.
KEYS = {"static": ("pressure",), "bp": ("systolic", "diastolic", "heart_rate"), "operator-check": ("answer",)}


class ReadingError(Exception):
    """The reading could not be taken: the step is an error."""


class ReadingStopped(Exception):
    """The run was stopped while a reading was awaited."""


class NotPending(ReadingError):
    """A submitted reading answers no request now pending (none is, or the one it names was answered)."""


@dataclass(frozen=True)
class ReadingRequest:
    """What the station wants to know from the monitor (or the operator)."""
    run: str                 # the run's uid
    instrument: str          # the instrument's serial number
    step_id: str
    kind: str                # "static", "bp" or "operator-check"
    repeat: int              # from 1
    expected: Dict[str, Any]  # {"pressure": 150.0}, {"systolic": ..., "diastolic": ..., "heart_rate": ...}
    unit: str
    question: str = ""       # an operator check's question
    point: int = 0           # the index of a static step's point

    def describe(self) -> str:
        if self.kind == "static":
            return f"{self.step_id}: the monitor's pressure at {self.expected['pressure']:g} {self.unit}"
        if self.kind == "bp":
            e = self.expected
            return (f"{self.step_id} #{self.repeat}: the monitor's reading of {e['systolic']:g}/{e['diastolic']:g} "
                    f"{self.unit}, {e['heart_rate']:g} bpm")
        return f"{self.step_id}: {self.question}"


def checked(request: ReadingRequest, values: Any, origin: str) -> Dict[str, Any]:
    """values as a reading of the request's kind; raises ReadingError naming origin."""
    if not isinstance(values, dict):
        raise ReadingError(f"{origin}: a reading is a JSON object, not {type(values).__name__}")
    out: Dict[str, Any] = {}
    for key in KEYS[request.kind]:
        if key not in values:
            raise ReadingError(f"{origin}: the reading has no {key!r} (wanted: {', '.join(KEYS[request.kind])})")
        value = values[key]
        if request.kind == "operator-check":
            if not isinstance(value, bool):
                raise ReadingError(f"{origin}: {key!r} must be true or false, not {value!r}")
        elif isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise ReadingError(f"{origin}: {key!r} must be a finite number, not {value!r}")
        out[key] = value if isinstance(value, bool) else float(value)
    return out


class ReadingSource:
    name = "source"

    def answers(self, request: ReadingRequest) -> bool:
        return True

    def read(self, request: ReadingRequest, stop: threading.Event) -> Dict[str, Any]:
        raise NotImplementedError


class CommandSource(ReadingSource):
    """Runs a shell command once per reading with VASQ_STEP_ID, VASQ_STEP_KIND, VASQ_REPEAT and VASQ_EXPECTED (and
    VASQ_INSTRUMENT, VASQ_UNIT) in its environment; it prints one JSON object with the keys of VASQ_EXPECTED."""
    name = "reading command"

    def __init__(self, command: str, timeout: float = 120.0) -> None:
        self.command = command
        self.timeout = timeout

    def answers(self, request: ReadingRequest) -> bool:
        return request.kind in ("static", "bp")

    def read(self, request: ReadingRequest, stop: threading.Event) -> Dict[str, Any]:
        env = dict(os.environ)
        env.update(VASQ_STEP_ID=request.step_id, VASQ_STEP_KIND=request.kind, VASQ_REPEAT=str(request.repeat),
                   VASQ_EXPECTED=json.dumps(request.expected), VASQ_INSTRUMENT=request.instrument,
                   VASQ_UNIT=request.unit)
        origin = f"reading command for {request.step_id}"
        try:
            # A session of its own: a Ctrl-C at the terminal is the station's to handle, and a stop ends the
            # command's children too.
            process = subprocess.Popen(["/bin/sh", "-c", self.command], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                       start_new_session=True)
        except OSError as error:
            raise ReadingError(f"{origin}: cannot start: {error}") from None
        outcome: Dict[str, Any] = {}

        def collect() -> None:
            outcome["out"], outcome["err"] = process.communicate()

        collector = threading.Thread(target=collect, name="vasq-reading-command", daemon=True)
        collector.start()
        deadline = time.monotonic() + self.timeout
        while collector.is_alive():
            collector.join(min(0.05, max(0.0, deadline - time.monotonic())))
            if stop.is_set() or time.monotonic() >= deadline:
                break
        if collector.is_alive():
            _kill_group(process)
            collector.join()
            if stop.is_set():
                raise ReadingStopped()
            raise ReadingError(f"{origin}: no answer within {self.timeout:g} s")
        err = outcome["err"].decode(errors="replace").strip()
        if process.returncode != 0:
            raise ReadingError(f"{origin}: exit status {process.returncode}" + (f": {err[-300:]}" if err else ""))
        text = outcome["out"].decode(errors="replace").strip()
        try:
            values = json.loads(text)
        except ValueError:
            raise ReadingError(f"{origin}: not one JSON object: {text[:200]!r}") from None
        return checked(request, values, origin)


def _kill_group(process: subprocess.Popen) -> None:
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class FileSource(ReadingSource):
    """Readings from a JSON object by step id: an object (every point or repeat), or an array (one per point of a
    static step, one per repeat of a BP step); an operator check's is true, false or {"answer": ...}."""
    name = "readings file"

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            with open(path, encoding="utf-8") as f:
                self.data = json.load(f)
        except OSError as error:
            raise ValueError(f"{path}: cannot read: {error.strerror}") from None
        except ValueError as error:
            raise ValueError(f"{path}: not valid JSON: {error}") from None
        if not isinstance(self.data, dict):
            raise ValueError(f"{path}: the readings are a JSON object by step id")
        for step_id, entry in self.data.items():
            if not isinstance(entry, (dict, list, bool)):
                raise ValueError(f"{path}: {step_id}: an object, an array or true/false, not {json.dumps(entry)}")

    def answers(self, request: ReadingRequest) -> bool:
        return self._entry(request) is not None

    def _entry(self, request: ReadingRequest) -> Any:
        entry = self.data.get(request.step_id)
        if isinstance(entry, list):
            index = request.point if request.kind == "static" else request.repeat - 1
            return entry[index] if 0 <= index < len(entry) else None
        if isinstance(entry, bool):
            return {"answer": entry}
        return entry

    def read(self, request: ReadingRequest, stop: threading.Event) -> Dict[str, Any]:
        return checked(request, self._entry(request), f"{self.path}: {request.step_id}")


class PromptSource(ReadingSource):
    """Asks on the terminal; answers only where the input is a terminal."""
    name = "terminal"
    _lock = threading.Lock()  # one question at a time, whichever run asks

    def __init__(self, input: Optional[TextIO] = None, output: Optional[TextIO] = None,
                 require_terminal: bool = True) -> None:
        self.input = input or sys.stdin
        self.output = output or sys.stderr
        self.require_terminal = require_terminal

    def answers(self, request: ReadingRequest) -> bool:
        try:
            return not self.require_terminal or os.isatty(self.input.fileno())
        except (ValueError, OSError):
            return False

    def read(self, request: ReadingRequest, stop: threading.Event) -> Dict[str, Any]:
        with self._lock:
            while True:
                self.output.write(self._question(request))
                self.output.flush()
                line = self._line(stop)
                try:
                    return self._parse(request, line)
                except ValueError as error:
                    self.output.write(f"  {error}\n")

    @staticmethod
    def _question(request: ReadingRequest) -> str:
        who = f"[{request.instrument}] " if request.instrument else ""
        if request.kind == "static":
            return f"{who}{request.step_id}: pressure held at {request.expected['pressure']:g} {request.unit}; " \
                   f"what does the monitor show? "
        if request.kind == "bp":
            return f"{who}{request.step_id} #{request.repeat}: the monitor's reading as SYS/DIA/PULSE " \
                   f"(e.g. {request.expected['systolic']:g}/{request.expected['diastolic']:g}/" \
                   f"{request.expected['heart_rate']:g})? "
        return f"{who}{request.step_id}: {request.question} [y/n] "

    def _line(self, stop: threading.Event) -> str:
        fd = self.input.fileno()
        buffered = b""
        while not stop.is_set():
            ready, _, _ = select.select([fd], [], [], 0.1)
            if not ready:
                continue
            chunk = os.read(fd, 1024)
            if not chunk:
                raise ReadingError("the terminal closed before the answer")
            buffered += chunk
            if b"\n" in buffered:
                return buffered.split(b"\n", 1)[0].decode(errors="replace").strip()
        raise ReadingStopped()

    @staticmethod
    def _parse(request: ReadingRequest, line: str) -> Dict[str, Any]:
        if request.kind == "operator-check":
            answer = line.lower()
            if answer in ("y", "yes"):
                return {"answer": True}
            if answer in ("n", "no"):
                return {"answer": False}
            raise ValueError("answer y or n")
        parts = line.replace(",", ".").split("/")
        keys = KEYS[request.kind]
        if len(parts) != len(keys):
            raise ValueError(f"give {'/'.join(k.upper() for k in keys)}, numbers only")
        try:
            values = [float(part) for part in parts]
        except ValueError:
            raise ValueError("numbers only, please") from None
        if not all(math.isfinite(v) for v in values):
            raise ValueError("numbers only, please")
        return dict(zip(keys, values))


class ExternalSource(ReadingSource):
    """Readings handed over by another thread (a web request): the request waits as .pending until submit().

    Each request gets a number (from 1); a submission that names the number it answers cannot answer a later
    request by mistake (a button pressed twice, two pages open on one run).
    """
    name = "submitted"

    def __init__(self) -> None:
        self._condition = threading.Condition()
        self._pending: Optional[ReadingRequest] = None
        self._answer: Optional[Dict[str, Any]] = None
        self._number = 0

    @property
    def pending(self) -> Optional[ReadingRequest]:
        with self._condition:
            return self._pending

    @property
    def pending_numbered(self) -> Tuple[int, Optional[ReadingRequest]]:
        """(number, request) of the pending request, or (last number, None)."""
        with self._condition:
            return self._number, self._pending

    def submit(self, values: Any, number: Optional[int] = None) -> Dict[str, Any]:
        """Answers the pending request (only if it has that number, when one is given); raises NotPending when
        nothing or another request is pending, ReadingError when the values do not fit it."""
        with self._condition:
            if self._pending is None or self._answer is not None:
                raise NotPending("no reading is pending" if number is None else
                                 f"request {number} is not pending (it was answered or the run went on)")
            if number is not None and number != self._number:
                raise NotPending(f"request {number} is not pending: request {self._number} is")
            answer = checked(self._pending, values, "submitted reading")
            self._answer = answer
            self._condition.notify_all()
            return answer

    def read(self, request: ReadingRequest, stop: threading.Event) -> Dict[str, Any]:
        with self._condition:
            self._number += 1
            self._pending, self._answer = request, None
            try:
                while self._answer is None:
                    if stop.is_set():
                        raise ReadingStopped()
                    self._condition.wait(0.1)
                return self._answer
            finally:
                self._pending = None

    def wake(self) -> None:
        with self._condition:
            self._condition.notify_all()


class Readings:
    """Sources in order of choice; the first that answers a request takes it."""

    def __init__(self, sources: Sequence[ReadingSource]) -> None:
        self.sources: List[ReadingSource] = list(sources)

    def source_for(self, request: ReadingRequest) -> Optional[ReadingSource]:
        for source in self.sources:
            if source.answers(request):
                return source
        return None

    def read(self, request: ReadingRequest, stop: threading.Event,
             asking: Optional[Callable[[ReadingRequest, str], None]] = None) -> Dict[str, Any]:
        source = self.source_for(request)
        if source is None:
            if request.kind == "operator-check":
                raise ReadingError(f"{request.step_id}: nobody to ask: an operator check needs --readings or a "
                                   f"terminal")
            raise ReadingError(f"{request.step_id}: no source of readings: give --reading-command or --readings, "
                               f"or run on a terminal")
        if asking is not None:
            asking(request, source.name)
        return source.read(request, stop)
