"""An instrument as the station holds it: the device, its identity, its calibration, and its pressure stream
numbered and shared among listeners (a run's trace, a live plot)."""
from __future__ import annotations

import datetime
import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import vasq

SAMPLE_RATE = 200


@dataclass(frozen=True)
class Calibration:
    due: Optional[datetime.date]

    def overdue(self, today: Optional[datetime.date] = None) -> bool:
        return self.due is not None and (today or datetime.date.today()) > self.due


class InstrumentLost(Exception):
    """The instrument went away (unplugged, port hung up)."""


class Trace:
    """Samples of the stream from a sample number on, until stop()."""

    def __init__(self, first: int, unit: str) -> None:
        self.first = first
        self.unit = unit
        self.samples: List[float] = []
        self._open = True

    def add(self, number: int, values: Sequence[float]) -> None:
        if self._open:
            self.samples.extend(values)

    def stop(self) -> None:
        self._open = False

    def since(self, seconds: float) -> List[float]:
        count = int(seconds * SAMPLE_RATE)
        return self.samples[-count:] if count > 0 else []


class Instrument:
    """A Vasq9 opened by the station; start() begins its stream, close() releases it."""

    def __init__(self, device: vasq.Device, calibration: Optional[Calibration] = None) -> None:
        self.device = device
        self.serial = device.serial_number
        hardware = device.hardware_information
        self.firmware = ".".join(str(n) for n in hardware.firmware_version)
        self.hardware = ".".join(str(n) for n in hardware.hardware_version)
        self.port = device.port
        self.calibration = calibration or Calibration(None)
        self._lock = threading.Lock()
        self._listeners: Tuple[Callable[[int, Sequence[float]], None], ...] = ()
        self._count = 0
        self._batch: List[float] = []
        self._lost = threading.Event()
        self._lost_listeners: List[Callable[[bool], None]] = []
        self._streaming = False
        device.on_connection(self._connection)

    # -- connection
    @property
    def lost(self) -> bool:
        return self._lost.is_set() or self.device.lost

    def on_connection(self, listener: Callable[[bool], None]) -> Callable[[], None]:
        """listener(False) on a loss, (True) when it is back; returns a function that removes it."""
        with self._lock:
            self._lost_listeners.append(listener)

        def remove() -> None:
            with self._lock:
                if listener in self._lost_listeners:
                    self._lost_listeners.remove(listener)
        return remove

    def _connection(self, connected: bool) -> None:
        if connected:
            self._lost.clear()
        else:
            self._lost.set()
        with self._lock:
            listeners = list(self._lost_listeners)
        for listener in listeners:
            listener(connected)

    # -- the stream
    def start(self) -> None:
        """Starts the pressure stream (idempotent)."""
        if not self._streaming:
            self.device.start_sampling(self._sample)
            self._streaming = True

    def _sample(self, pressure: float) -> None:
        # The library hands samples over in blocks of ten; listeners get them in batches of ten with the number
        # of the first.
        self._batch.append(pressure)
        if len(self._batch) < 10:
            return
        batch, self._batch = self._batch, []
        number = self._count
        self._count += len(batch)
        for listener in self._listeners:
            try:
                listener(number, batch)
            except Exception:  # noqa: BLE001 - one listener must not starve the others
                pass

    @property
    def samples_seen(self) -> int:
        return self._count

    def listen(self, listener: Callable[[int, Sequence[float]], None]) -> Callable[[], None]:
        """listener(first sample number, samples) for each batch; returns a function that removes it."""
        with self._lock:
            self._listeners = self._listeners + (listener,)

        def remove() -> None:
            with self._lock:
                self._listeners = tuple(x for x in self._listeners if x is not listener)
        return remove

    def trace(self, unit: str) -> Tuple[Trace, Callable[[], None]]:
        """A trace recording from now on, and the function that ends it."""
        trace = Trace(self._count, unit)
        remove = self.listen(trace.add)

        def end() -> None:
            remove()
            trace.stop()
        return trace, end

    def close(self) -> None:
        try:
            if self._streaming:
                self.device.stop_sampling()
        finally:
            self.device.close()

    def describe(self) -> Dict[str, object]:
        return {"serial": self.serial, "firmware": self.firmware, "hardware": self.hardware, "port": self.port,
                "calibration_due": self.calibration.due.isoformat() if self.calibration.due else None,
                "calibration_overdue": self.calibration.overdue()}


class NoInstrument(Exception):
    """The instruments asked for are not there."""


def open_instruments(serials: Sequence[str] = (), port: Optional[int] = None, timeout: float = 5.0,
                     calibrations: Optional[Dict[str, Calibration]] = None) -> List[Instrument]:
    """Opens the instrument on port, those with the serial numbers given (in that order), or the first one found.

    Raises NoInstrument with the reason when one is missing; nothing stays open then.
    """
    calibrations = calibrations or {}
    opened: List[vasq.Device] = []
    try:
        if port is not None:
            try:
                opened.append(vasq.open(port, timeout))
            except vasq.DeviceNotFound as error:
                raise NoInstrument(str(error)) from None
            chosen = list(opened)
            if serials and chosen[0].serial_number != serials[0]:
                raise NoInstrument(f"the instrument on port {port} is {chosen[0].serial_number}, not {serials[0]}")
        elif not serials:
            try:
                opened.append(vasq.open(-1, timeout))
            except vasq.DeviceNotFound as error:
                raise NoInstrument(str(error)) from None
            chosen = list(opened)
        else:
            found: Dict[str, vasq.Device] = {}
            deadline = time.monotonic() + timeout
            reason = ""
            while len(found) < len(set(serials)):
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                try:
                    device = vasq.open(-1, min(left, 1.0))
                except vasq.DeviceNotFound as error:
                    reason = error.reason
                    # Every free instrument is taken; one may still be plugged in.
                    continue
                opened.append(device)
                if device.serial_number in serials:
                    found[device.serial_number] = device
            missing = [s for s in serials if s not in found]
            if missing:
                seen = sorted(d.serial_number for d in opened)
                raise NoInstrument(f"no instrument {', '.join(missing)} within {timeout:g} s "
                                   f"(found: {', '.join(seen) or 'none'}{'; ' + reason if reason and not seen else ''})")
            chosen = [found[s] for s in dict.fromkeys(serials)]
        for device in opened:
            if device not in chosen:
                device.close()
        opened = []
        instruments = []
        try:
            for device in chosen:
                opened.append(device)
                instruments.append(Instrument(device, calibrations.get(device.serial_number)))
        except vasq.VasqError as error:
            raise NoInstrument(f"reading the instrument's identity: {error}") from None
        opened = []
        return instruments
    finally:
        for device in opened:
            device.close()
