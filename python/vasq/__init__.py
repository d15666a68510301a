"""Python access to libvasq, the host library of the Vasq9 blood-pressure simulator.

    import vasq
    with vasq.connect(port=-1, timeout=5.0) as device:
        print(device.serial_number, device.unit)
        device.run_static_pressure(150.0, lambda report: print(report))

The library is process-wide: one instrument at a time, so one open Device.
Callbacks run on the library's threads; the test callbacks must return
promptly (see the library's header). A callback may close the device but not
connect one. A device still open when Python exits is closed then (its test
and sampling stop).
"""
from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import enum
import os
import threading
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

__all__ = [
    "VasqError", "DeviceNotFound", "CommandFailed",
    "Status", "Unit", "ModelInformation", "HardwareInformation", "BPSettings", "Envelope",
    "StaticPressureReport", "BPReport", "LeakageReport", "OverpressureReport",
    "Device", "connect", "version", "sample_rate", "envelope_table", "load_library",
]


class VasqError(Exception):
    """A library call failed."""


class DeviceNotFound(VasqError):
    """No Vasq9 answered within the timeout."""


class CommandFailed(VasqError):
    """The instrument refused a command, or did not answer."""


class Status(enum.IntEnum):
    NONE = 0
    WAIT_STABLE = 1
    RUNNING = 2
    HOLDING = 3
    COMPLETED = 4


class Unit(enum.IntEnum):
    MMHG = 0
    KPA = 1

    def __str__(self) -> str:
        return "kPa" if self is Unit.KPA else "mmHg"


# ---- C records -----------------------------------------------------------------

class _ModelInformation(ctypes.Structure):
    _fields_ = [("chSignature", ctypes.c_char * 2), ("byModelCode", ctypes.c_uint8),
                ("byVariantCode", ctypes.c_uint8), ("nSerialGroup", ctypes.c_int32),
                ("nSerialIndex", ctypes.c_int32)]


class _HWInformation(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int32) for name in
                ("nFWVersion1", "nFWVersion2", "nFWVersion3", "nHWVersion1", "nHWVersion2")]


_COMMON_FIELDS = [("eMethod", ctypes.c_int32), ("dSystolic", ctypes.c_double), ("dDiastolic", ctypes.c_double),
                  ("nHeartRate", ctypes.c_uint32), ("dPulseVolume", ctypes.c_double),
                  ("dSystolicOffset", ctypes.c_double), ("dDiastolicOffset", ctypes.c_double)]


class _BPCommon(ctypes.Structure):
    _fields_ = _COMMON_FIELDS


class _BPEnvelopeCustomized(ctypes.Structure):
    _fields_ = _COMMON_FIELDS + [(name, ctypes.c_double) for name in (
        "dTopPressure", "dUpperBasePressure", "dUpperPeakPressure", "dLowerPeakPressure", "dLowerBasePressure",
        "dBottomPressure")] + [(name, ctypes.c_int32) for name in (
            "nSystolicAmplitude", "nLowerPeakAmplitude", "nUpperPeakAmplitude", "nDiastolicAmplitude",
            "nBaseAmplitude")]


_ConnectedCallback = ctypes.CFUNCTYPE(None, ctypes.c_bool)
_BPTestCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, *([ctypes.c_double] * 4))
_LeakageTestCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_double, ctypes.c_double, ctypes.c_int)
_OverpressureTestCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, *([ctypes.c_double] * 7))
_StaticPressureCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_double, ctypes.c_int)
_SamplingCallback = ctypes.CFUNCTYPE(None, ctypes.c_double)


# ---- Python records --------------------------------------------------------------

@dataclass(frozen=True)
class ModelInformation:
    signature: bytes
    model_code: int
    variant_code: int
    serial_group: int
    serial_index: int


@dataclass(frozen=True)
class HardwareInformation:
    firmware_version: Tuple[int, int, int]
    hardware_version: Tuple[int, int]


@dataclass
class BPSettings:
    """A BP simulation with the instrument's default envelope; pressures in the current unit."""
    systolic: float = 120.0
    diastolic: float = 80.0
    heart_rate: int = 72
    pulse_volume: float = 1.0
    systolic_offset: float = 0.0
    diastolic_offset: float = 0.0


@dataclass
class Envelope(BPSettings):
    """A customised envelope: ten control points over pressure (amplitudes 0-255)."""
    top_pressure: float = 300.0
    upper_base_pressure: float = 200.0
    upper_peak_pressure: float = 110.0
    lower_peak_pressure: float = 90.0
    lower_base_pressure: float = 40.0
    bottom_pressure: float = 20.0
    systolic_amplitude: int = 60
    lower_peak_amplitude: int = 100
    upper_peak_amplitude: int = 100
    diastolic_amplitude: int = 70
    base_amplitude: int = 30


@dataclass(frozen=True)
class StaticPressureReport:
    status: Status
    wait_stable_seconds: float
    test_result: int


@dataclass(frozen=True)
class BPReport:
    status: Status
    systolic: float
    result2: float
    result3: float
    result4: float


@dataclass(frozen=True)
class LeakageReport:
    status: Status
    wait_stable_seconds: float
    leak_value: float
    result_code: int


@dataclass(frozen=True)
class OverpressureReport:
    status: Status
    wait_stable_seconds: float
    results: Tuple[float, float, float, float, float, float]


# ---- the library -------------------------------------------------------------------

_lib: Optional[ctypes.CDLL] = None
_lib_lock = threading.Lock()


def _candidates() -> List[str]:
    found = []
    explicit = os.environ.get("VASQ_LIBRARY")
    if explicit:
        return [explicit]
    here = os.path.dirname(os.path.abspath(__file__))
    for name in ("libvasq.so.1", "libvasq.so"):
        path = os.path.join(here, name)
        if os.path.exists(path):
            found.append(path)
    found.append("libvasq.so.1")
    system = ctypes.util.find_library("vasq")
    if system:
        found.append(system)
    return found


def _declare(lib: ctypes.CDLL) -> None:
    def fn(name: str, restype, *argtypes) -> None:
        f = getattr(lib, name)
        f.restype = restype
        f.argtypes = list(argtypes)

    c_int, c_bool, c_double, c_void_p = ctypes.c_int, ctypes.c_bool, ctypes.c_double, ctypes.c_void_p
    dptr = ctypes.POINTER(ctypes.c_double)
    fn("VasqInit", c_bool, _ConnectedCallback)
    fn("VasqConnect", c_bool, c_int, ctypes.c_uint32)
    fn("VasqFree", None)
    fn("VasqGetDeviceInformation", c_int, ctypes.POINTER(_ModelInformation))
    fn("VasqGetHWInformation", c_int, ctypes.POINTER(_HWInformation))
    fn("VasqGetSerialNumber", ctypes.c_char_p)
    fn("VasqSetPressureUnit", c_int, c_int)
    fn("VasqGetPressureUnit", c_int)
    fn("VasqRebaseZero", c_int, c_bool)
    fn("VasqStartSampling", c_int, _SamplingCallback)
    fn("VasqStopSampling", None)
    fn("VasqGetSampleRate", c_int)
    fn("VasqEnableAirPort", c_int, c_int, c_bool)
    fn("VasqResetAirPort", c_int)
    fn("VasqUpdateAirPort", c_int)
    fn("VasqPausePump", c_int)
    fn("VasqStopTest", c_int)
    fn("VasqRunBPTest", c_int, c_void_p, _BPTestCallback)
    fn("VasqRunLeakageTest", c_int, c_double, c_int, c_double, _LeakageTestCallback)
    fn("VasqRunLeakageCalibration", c_int, c_double, _LeakageTestCallback)
    fn("VasqGetLeakageCalibrationRate", c_int, dptr)
    fn("VasqRunOverpressureTest", c_int, c_bool, c_double, c_double, c_double, _OverpressureTestCallback)
    fn("VasqRunStaticPressure", c_int, c_double, c_int, _StaticPressureCallback, c_bool)
    fn("VasqGetWaitStableTime", c_int)
    fn("VasqGetEnvelopeRawData", c_int, ctypes.POINTER(_BPEnvelopeCustomized), dptr, dptr, c_int, c_int)
    fn("VasqSwitchToAdultMode", c_int, c_bool)
    fn("VasqSwitchTo500mlMode", c_int, c_bool)
    fn("VasqIs500mlMode", c_int)
    fn("VasqGetVersion", ctypes.c_char_p)


def load_library() -> ctypes.CDLL:
    """Loads libvasq once: from $VASQ_LIBRARY, next to this package, or the system's search path."""
    global _lib
    with _lib_lock:
        if _lib is None:
            errors = []
            for candidate in _candidates():
                try:
                    lib = ctypes.CDLL(candidate)
                except OSError as error:
                    errors.append(f"{candidate}: {error}")
                    continue
                _declare(lib)
                _lib = lib
                break
            else:
                raise VasqError("libvasq cannot be loaded (set VASQ_LIBRARY to its path): " + "; ".join(errors))
        return _lib


def version() -> str:
    """The library's version, e.g. "1.0.3.1"."""
    return load_library().VasqGetVersion().decode()


def sample_rate() -> int:
    """Samples per second of the pressure stream (200)."""
    return load_library().VasqGetSampleRate()


def _envelope_record(envelope: Envelope) -> _BPEnvelopeCustomized:
    return _BPEnvelopeCustomized(
        1, envelope.systolic, envelope.diastolic, envelope.heart_rate, envelope.pulse_volume,
        envelope.systolic_offset, envelope.diastolic_offset, envelope.top_pressure, envelope.upper_base_pressure,
        envelope.upper_peak_pressure, envelope.lower_peak_pressure, envelope.lower_base_pressure,
        envelope.bottom_pressure, envelope.systolic_amplitude, envelope.lower_peak_amplitude,
        envelope.upper_peak_amplitude, envelope.diastolic_amplitude, envelope.base_amplitude)


def envelope_table(envelope: Envelope, unit: Unit = Unit.MMHG) -> List[Tuple[float, float]]:
    """The envelope as (pressure, amplitude) pairs: 360 in mmHg, 479 in kPa. Needs no instrument."""
    lib = load_library()
    count = 479 if unit == Unit.KPA else 360
    pressures = (ctypes.c_double * 480)()
    amplitudes = (ctypes.c_double * 480)()
    record = _envelope_record(envelope)
    if not lib.VasqGetEnvelopeRawData(ctypes.byref(record), pressures, amplitudes, count, int(unit)):
        raise VasqError("the envelope table cannot be computed")
    step = 0.1 if unit == Unit.KPA else 1.0
    return [(round(i * step, 1), amplitudes[i]) for i in range(count)]


# ---- the device ------------------------------------------------------------------------

Report = Union[StaticPressureReport, BPReport, LeakageReport, OverpressureReport]

# C callbacks the library may still call; dropped only once the library has let them go.
_alive: Dict[str, List[object]] = {}
# Those of a device closed inside a callback: the library's threads may still be
# running one of them until a close() or connect() outside the callbacks.
_retired: List[object] = []
_open_device: Optional["Device"] = None
_callback_thread = threading.local()


def _keep(kind: str, callback: object) -> None:
    _alive.setdefault(kind, []).append(callback)


def _drop_callbacks() -> None:
    """Lets the C callbacks go after a VasqFree; inside a callback, one of them is still running."""
    if _inside_callback():
        for callbacks in _alive.values():
            _retired.extend(callbacks)
    else:
        _retired.clear()
    _alive.clear()


def _inside_callback() -> bool:
    return getattr(_callback_thread, "inside", False)


def _marked(function: Callable[..., None]) -> Callable[..., None]:
    """function, run with its thread marked as inside a library callback."""
    def call(*args) -> None:
        outer = _inside_callback()
        _callback_thread.inside = True
        try:
            function(*args)
        finally:
            _callback_thread.inside = outer
    return call


class Device:
    """The connected Vasq9. Use connect() to make one; close() (or leaving a with block) frees it."""

    def __init__(self, lib: ctypes.CDLL) -> None:
        self._lib = lib
        self._closed = False

    # -- life cycle
    def close(self) -> None:
        """Stops sampling and any test, releases the instrument and ends the library's threads."""
        global _open_device
        if self._closed:
            if _retired and not _inside_callback():
                # Closed inside a callback before: this waits for the threads that ran it.
                self._lib.VasqFree()
                _drop_callbacks()
            return
        self._closed = True
        self._lib.VasqFree()
        _drop_callbacks()
        if _open_device is self:
            _open_device = None

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    def _hold(self, kind: str, callback: object) -> None:
        if self._closed:
            raise VasqError("the device is closed")
        _keep(kind, callback)

    def _check(self, result: int, what: str) -> None:
        if self._closed:
            raise VasqError("the device is closed")
        if not result:
            raise CommandFailed(f"{what} failed")

    def on_connection(self, callback: Optional[Callable[[bool], None]]) -> None:
        """Calls callback(False) when the instrument is lost and callback(True) when it is back."""
        c_callback = _ConnectedCallback(_marked(callback)) if callback else _ConnectedCallback()
        self._hold("connection", c_callback)
        self._check(self._lib.VasqInit(c_callback), "watching the connection")

    # -- identity
    @property
    def serial_number(self) -> str:
        return self._lib.VasqGetSerialNumber().decode(errors="replace")

    @property
    def model_information(self) -> ModelInformation:
        info = _ModelInformation()
        self._check(self._lib.VasqGetDeviceInformation(ctypes.byref(info)), "reading the model information")
        return ModelInformation(bytes(info.chSignature), info.byModelCode, info.byVariantCode, info.nSerialGroup,
                                info.nSerialIndex)

    @property
    def hardware_information(self) -> HardwareInformation:
        info = _HWInformation()
        self._check(self._lib.VasqGetHWInformation(ctypes.byref(info)), "reading the hardware information")
        return HardwareInformation((info.nFWVersion1, info.nFWVersion2, info.nFWVersion3),
                                   (info.nHWVersion1, info.nHWVersion2))

    # -- unit and settings
    @property
    def unit(self) -> Unit:
        """The instrument's pressure unit (read from it); every pressure is in this unit."""
        return Unit(self._lib.VasqGetPressureUnit())

    @unit.setter
    def unit(self, unit: Unit) -> None:
        self._check(self._lib.VasqSetPressureUnit(int(unit)), f"switching to {Unit(unit)} (is a test running?)")

    def rebase_zero(self, on: bool = True) -> None:
        self._check(self._lib.VasqRebaseZero(on), "rebasing zero")

    def set_adult_mode(self, adult: bool) -> None:
        self._check(self._lib.VasqSwitchToAdultMode(adult), "switching the adult mode")

    @property
    def mode_500ml(self) -> bool:
        return bool(self._lib.VasqIs500mlMode())

    @mode_500ml.setter
    def mode_500ml(self, on: bool) -> None:
        self._check(self._lib.VasqSwitchTo500mlMode(on), "switching the 500 ml mode")

    # -- air ports
    def enable_air_port(self, port: int, enable: bool = True) -> None:
        """Marks air port 0-4 enabled or disabled; update_air_ports() (or any test start) sends it."""
        self._lib.VasqEnableAirPort(port, enable)

    def reset_air_ports(self) -> None:
        self._lib.VasqResetAirPort()

    def update_air_ports(self) -> None:
        self._check(self._lib.VasqUpdateAirPort(), "sending the air-port setting")

    def pause_pump(self) -> None:
        self._check(self._lib.VasqPausePump(), "pausing the pump")

    # -- tests
    def stop_test(self) -> None:
        """Stops whatever test runs and ends its reports."""
        self._lib.VasqStopTest()

    @property
    def wait_stable_time(self) -> int:
        """The instrument's wait-stable time in whole seconds (0 also when the query fails)."""
        return self._lib.VasqGetWaitStableTime()

    def run_static_pressure(self, pressure: float, callback: Optional[Callable[[StaticPressureReport], None]] = None,
                            param: int = -1, flag: bool = False) -> None:
        """Builds up and holds a pressure (clamped to the limits); reports go to callback."""
        def report(status, wait, result):
            callback(StaticPressureReport(Status(status), wait, result))
        c_callback = _StaticPressureCallback(_marked(report)) if callback else _StaticPressureCallback()
        self._hold("static", c_callback)
        self._check(self._lib.VasqRunStaticPressure(pressure, param, c_callback, flag), "starting the static pressure")

    def run_bp_test(self, settings: BPSettings, callback: Optional[Callable[[BPReport], None]] = None) -> BPSettings:
        """Starts a BP simulation; an Envelope runs customised. Returns the settings as clamped by the library."""
        def report(status, r1, r2, r3, r4):
            callback(BPReport(Status(status), r1, r2, r3, r4))
        c_callback = _BPTestCallback(_marked(report)) if callback else _BPTestCallback()
        if isinstance(settings, Envelope):
            record = _envelope_record(settings)
        else:
            record = _BPCommon(0, settings.systolic, settings.diastolic, settings.heart_rate, settings.pulse_volume,
                               settings.systolic_offset, settings.diastolic_offset)
        self._hold("bp", c_callback)
        self._check(self._lib.VasqRunBPTest(ctypes.byref(record), c_callback), "starting the BP simulation")
        clamped = dict(systolic=record.dSystolic, diastolic=record.dDiastolic, heart_rate=record.nHeartRate,
                       pulse_volume=record.dPulseVolume, systolic_offset=record.dSystolicOffset,
                       diastolic_offset=record.dDiastolicOffset)
        if isinstance(settings, Envelope):
            return Envelope(**clamped, top_pressure=record.dTopPressure,
                            upper_base_pressure=record.dUpperBasePressure,
                            upper_peak_pressure=record.dUpperPeakPressure,
                            lower_peak_pressure=record.dLowerPeakPressure,
                            lower_base_pressure=record.dLowerBasePressure, bottom_pressure=record.dBottomPressure,
                            systolic_amplitude=record.nSystolicAmplitude,
                            lower_peak_amplitude=record.nLowerPeakAmplitude,
                            upper_peak_amplitude=record.nUpperPeakAmplitude,
                            diastolic_amplitude=record.nDiastolicAmplitude, base_amplitude=record.nBaseAmplitude)
        return BPSettings(**clamped)

    @staticmethod
    def _leak_callback(callback):
        def report(status, wait, leak, code):
            callback(LeakageReport(Status(status), wait, leak, code))
        return _LeakageTestCallback(_marked(report)) if callback else _LeakageTestCallback()

    def run_leakage_test(self, pressure: float, callback: Optional[Callable[[LeakageReport], None]] = None,
                         leak_param: int = 60, leak_rate: float = 0.0) -> None:
        c_callback = self._leak_callback(callback)
        self._hold("leakage", c_callback)
        self._check(self._lib.VasqRunLeakageTest(pressure, leak_param, leak_rate, c_callback),
                    "starting the leakage test")

    def run_leakage_calibration(self, pressure: float,
                                callback: Optional[Callable[[LeakageReport], None]] = None) -> None:
        c_callback = self._leak_callback(callback)
        self._hold("leakage", c_callback)
        self._check(self._lib.VasqRunLeakageCalibration(pressure, c_callback), "starting the leakage calibration")

    @property
    def leakage_calibration_rate(self) -> float:
        rate = ctypes.c_double()
        self._check(self._lib.VasqGetLeakageCalibrationRate(ctypes.byref(rate)), "reading the calibration rate")
        return rate.value

    def run_overpressure_test(self, pressure1: float, pressure2: float, pressure3: float,
                              callback: Optional[Callable[[OverpressureReport], None]] = None,
                              flag: bool = True) -> None:
        def report(status, wait, *results):
            callback(OverpressureReport(Status(status), wait, tuple(results)))
        c_callback = _OverpressureTestCallback(_marked(report)) if callback else _OverpressureTestCallback()
        self._hold("overpressure", c_callback)
        self._check(self._lib.VasqRunOverpressureTest(flag, pressure1, pressure2, pressure3, c_callback),
                    "starting the overpressure test")

    # -- sampling
    def start_sampling(self, callback: Callable[[float], None]) -> None:
        """Calls callback(pressure) 200 times a second on the library's sampling thread."""
        c_callback = _SamplingCallback(_marked(callback))
        self._hold("sampling", c_callback)
        self._check(self._lib.VasqStartSampling(c_callback), "starting the pressure stream")

    def stop_sampling(self) -> None:
        self._lib.VasqStopSampling()


@atexit.register
def _close_at_exit() -> None:
    # The library's threads must not call into an interpreter that is shutting down.
    if _open_device is not None:
        _open_device.close()


# A signal does not end the library's wait for a device, so the search runs on
# a thread of its own while the caller's waits in slices, between which Python
# raises KeyboardInterrupt.
_INTERRUPT_POLL = 0.05


def _search(lib: ctypes.CDLL, port: int, timeout: float) -> Tuple[threading.Thread, List[bool]]:
    """Starts one VasqConnect for the whole timeout, so that a device slow to be identified still connects."""
    outcome: List[bool] = []
    milliseconds = int(min(timeout * 1000.0, 0xFFFFFFFE))
    helper = threading.Thread(target=lambda: outcome.append(lib.VasqConnect(port, milliseconds)),
                              name="vasq-search", daemon=True)
    helper.start()
    return helper, outcome


def _end_search(lib: ctypes.CDLL, helper: threading.Thread) -> bool:
    """Ends a search still waiting; True when that released the library's device."""
    released = False
    # VasqFree ends the wait; repeated, as a first one may come before the search has begun.
    while helper.is_alive():
        try:
            lib.VasqFree()
            released = True
            helper.join(_INTERRUPT_POLL)
        except KeyboardInterrupt:
            pass
    return released


def connect(port: int = -1, timeout: float = 5.0) -> Device:
    """Connects to the Vasq9 on /dev/ttyACM<port> (-1: the first one found) within timeout seconds.

    Ctrl-C (KeyboardInterrupt) ends the search at once.
    """
    global _open_device
    lib = load_library()
    if port < -1:
        raise ValueError("port must be -1 or a port number")
    if _inside_callback():
        raise VasqError("connect() cannot be called from a library callback")
    device_open = _open_device is not None and not _open_device.closed
    if _retired and not device_open:
        # A device closed inside a callback: this waits for the threads that ran it.
        lib.VasqFree()
        _drop_callbacks()
    helper, outcome = _search(lib, port, max(0.0, timeout))
    try:
        while helper.is_alive():
            helper.join(_INTERRUPT_POLL)
    except BaseException:
        released = _end_search(lib, helper)
        # Nothing may stay searching, or connected with no Device to close it.
        if not device_open:
            lib.VasqFree()
            _drop_callbacks()
        elif released:
            _open_device.close()
        raise
    if not (outcome and outcome[0]):
        # The library has released everything, an open device too.
        if device_open:
            _open_device.close()
        else:
            lib.VasqFree()
            _drop_callbacks()
        where = "on any port" if port == -1 else f"on /dev/ttyACM{port}"
        raise DeviceNotFound(f"no Vasq9 found {where} within {timeout:g} s")
    if device_open:
        return _open_device
    _open_device = Device(lib)
    return _open_device
