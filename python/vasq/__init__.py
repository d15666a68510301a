"""Python access to libvasq, the host library of the Vasq9 blood-pressure simulator.

    import vasq
    with vasq.connect(port=-1, timeout=5.0) as device:
        print(device.serial_number, device.unit)
        device.run_static_pressure(150.0, lambda report: print(report))

connect() gives the library's default device: one at a time (a second connect()
raises Busy). open() gives a Device of its own each call, beside it and beside
each other, for several instruments at once. There is one copy of the library in
the process.
Arguments are checked before anything is sent: TypeError for a wrong type,
InvalidArgument (a ValueError) for a value out of range, both naming it.
Callbacks run on the library's threads; the test callbacks must return
promptly (see the library's header). A callback may close a device but not
connect or open one. Devices still open when Python exits are closed then (their tests
and sampling stop).

A failure raises a VasqError whose .code (an ErrorCode) and .reason (the
library's own words) say why; its subclasses are the families a script
catches. The library's log goes to the logging module's logger "vasq".
"""
from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import enum
import logging
import math
import numbers
import os
import threading
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

# The library release this package belongs to (pyproject.toml reads it from here).
__version__ = "1.2.0"

__all__ = [
    "__version__", "ErrorCode", "VasqError", "DeviceNotFound", "PortBusy", "PermissionDenied", "CommandFailed",
    "Refused", "Busy", "Timeout", "DeviceLost", "InvalidArgument", "enable_logging",
    "Status", "Unit", "ModelInformation", "HardwareInformation", "BPSettings", "Envelope",
    "StaticPressureReport", "BPReport", "LeakageReport", "OverpressureReport",
    "Device", "connect", "open", "version", "release_version", "sample_rate", "envelope_table", "load_library",
]


class ErrorCode(enum.IntEnum):
    """Why a library call failed, as VasqGetLastError() tells it."""
    NONE = 0
    NOT_CONNECTED = 1
    NOT_FOUND = 2
    PORT_BUSY = 3
    ACCESS = 4
    TIMEOUT = 5
    PROTOCOL = 6
    REFUSED = 7
    INVALID_ARGUMENT = 8
    BUSY = 9
    DEVICE_LOST = 10
    FILE = 11
    SYSTEM = 12


class VasqError(Exception):
    """A library call failed: .code (an ErrorCode) and .reason (the library's words) say why."""

    def __init__(self, message: str, code: ErrorCode = ErrorCode.SYSTEM, reason: str = "") -> None:
        super().__init__(message)
        self.code = ErrorCode(code)
        self.reason = reason or message

    def __str__(self) -> str:
        # The built-in families (OSError's) would otherwise format their own way.
        return str(self.args[0]) if self.args else ""


class DeviceNotFound(VasqError):
    """connect() found no Vasq9 within the timeout; .code tells what became of the port(s)."""


class PortBusy(DeviceNotFound):
    """Another process holds the port's lock file; .reason names its process id."""


class PermissionDenied(DeviceNotFound, PermissionError):
    """The user may not open the port or create its lock file."""


class CommandFailed(VasqError):
    """The instrument refused a command, did not answer, or the library could not send it."""


class Refused(CommandFailed):
    """The instrument answered with a failure status."""


class Busy(CommandFailed):
    """Refused in the library's present state (a test running, a call from a callback, ...)."""


class Timeout(CommandFailed, TimeoutError):
    """No answer within the library's read timeout."""


class DeviceLost(CommandFailed, ConnectionError):
    """The port hung up or disappeared during the call."""


class InvalidArgument(CommandFailed, ValueError):
    """An argument the library cannot use (out of range, malformed)."""


# Failures of connect() stay DeviceNotFound, as before these codes existed.
_SEARCH_FAILURES = {ErrorCode.PORT_BUSY: PortBusy, ErrorCode.ACCESS: PermissionDenied}
_COMMAND_FAILURES = {ErrorCode.REFUSED: Refused, ErrorCode.BUSY: Busy, ErrorCode.TIMEOUT: Timeout,
                     ErrorCode.DEVICE_LOST: DeviceLost, ErrorCode.INVALID_ARGUMENT: InvalidArgument}


def _code(value: int) -> ErrorCode:
    try:
        return ErrorCode(value)
    except ValueError:
        return ErrorCode.SYSTEM


def _search_error(code: int, reason: str) -> DeviceNotFound:
    code = _code(code) or ErrorCode.NOT_FOUND
    return _SEARCH_FAILURES.get(code, DeviceNotFound)(reason, code, reason)


def _command_error(what: str, code: int, reason: str) -> CommandFailed:
    code = _code(code)
    if not reason:
        reason = "failed, for no reason the library gives"
    return _COMMAND_FAILURES.get(code, CommandFailed)(f"{what}: {reason}", code, reason)


# Arguments are checked before anything reaches the library: ctypes would
# truncate a number that does not fit its C type, or send a code the
# instrument must not see.
_INT32 = (-2 ** 31, 2 ** 31 - 1)
_UINT32 = (0, 2 ** 32 - 1)


def _invalid(message: str) -> InvalidArgument:
    return InvalidArgument(message, ErrorCode.INVALID_ARGUMENT)


def _real(name: str, value) -> float:
    """value as a finite float."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value):
        raise _invalid(f"{name} must be a finite number, not {value}")
    return value


def _integer(name: str, value, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    value = int(value)
    if not low <= value <= high:
        raise _invalid(f"{name} must be {low} to {high}, not {value}")
    return value


def _boolean(name: str, value) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def _callable(name: str, value, optional: bool = True):
    if (value is None and optional) or callable(value):
        return value
    raise TypeError(f"{name} must be callable{' or None' if optional else ''}, not {type(value).__name__}")


def _unit(name: str, value) -> "Unit":
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a vasq.Unit, not {type(value).__name__}")
    try:
        return Unit(int(value))
    except ValueError:
        raise _invalid(f"{name} must be Unit.MMHG (0) or Unit.KPA (1), not {int(value)}") from None


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
_LogCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)


def _with_context(callback_type):
    """The callback type of an opened device: the default one's arguments and a context."""
    return ctypes.CFUNCTYPE(callback_type._restype_, *callback_type._argtypes_, ctypes.c_void_p)


# By kind: the default device's callback type and an opened device's.
_CALLBACK_TYPES = {kind: (callback_type, _with_context(callback_type)) for kind, callback_type in (
    ("connection", _ConnectedCallback), ("bp", _BPTestCallback), ("leakage", _LeakageTestCallback),
    ("overpressure", _OverpressureTestCallback), ("static", _StaticPressureCallback),
    ("sampling", _SamplingCallback))}
_DEVICE_CALLBACK_TYPES = tuple(types[1] for types in _CALLBACK_TYPES.values())


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
    """What the instrument measured on the simulated pulse (all 0.0 before COMPLETED): systolic and diastolic
    pressure in the unit, heart rate in beats a minute, pulse volume in the scale of BPSettings.pulse_volume."""
    status: Status
    systolic: float
    diastolic: float
    heart_rate: float
    pulse_volume: float

    # The names of release 1.1.
    @property
    def result2(self) -> float:
        return self.diastolic

    @property
    def result3(self) -> float:
        return self.heart_rate

    @property
    def result4(self) -> float:
        return self.pulse_volume


@dataclass(frozen=True)
class LeakageReport:
    status: Status
    wait_stable_seconds: float
    leak_value: float
    result_code: int


@dataclass(frozen=True)
class OverpressureReport:
    """results: the pressures reached at the test's three steps (in the unit), then three figures of the
    instrument's own that it does not name."""
    status: Status
    wait_stable_seconds: float
    results: Tuple[float, float, float, float, float, float]

    @property
    def pressures(self) -> Tuple[float, float, float]:
        return self.results[:3]


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
    fn("VasqGetReleaseVersion", ctypes.c_char_p)
    fn("VasqGetLastError", c_int)
    fn("VasqGetLastErrorText", ctypes.c_char_p)
    fn("VasqSetLogCallback", None, _LogCallback, c_int, c_void_p)
    # The limit tables the starts clamp to: public symbols of the library (C++ names), not in its header.
    fn(_CHECK_PRESSURE_LIMIT, c_double, c_int, c_double, c_int)
    fn(_CHECK_LIMIT, c_double, c_int, c_double)

    # Several instruments: a device is an opaque handle.
    device = c_void_p
    callbacks = {kind: types[1] for kind, types in _CALLBACK_TYPES.items()}
    fn("VasqOpenDevice", device, c_int, ctypes.c_uint32)
    fn("VasqCloseDevice", None, device)
    fn("VasqDeviceGetSerialNumber", ctypes.c_char_p, device)
    fn("VasqDeviceGetPortNumber", c_int, device)
    fn("VasqDeviceSetConnectionCallback", c_int, device, callbacks["connection"], c_void_p)
    fn("VasqDeviceGetDeviceInformation", c_int, device, ctypes.POINTER(_ModelInformation))
    fn("VasqDeviceGetHWInformation", c_int, device, ctypes.POINTER(_HWInformation))
    fn("VasqDeviceSetPressureUnit", c_int, device, c_int)
    fn("VasqDeviceGetPressureUnit", c_int, device)
    fn("VasqDeviceRebaseZero", c_int, device, c_bool)
    fn("VasqDeviceStartSampling", c_int, device, callbacks["sampling"], c_void_p)
    fn("VasqDeviceStopSampling", None, device)
    fn("VasqDeviceGetSampleRate", c_int, device)
    fn("VasqDeviceEnableAirPort", c_int, device, c_int, c_bool)
    fn("VasqDeviceResetAirPort", c_int, device)
    fn("VasqDeviceUpdateAirPort", c_int, device)
    fn("VasqDevicePausePump", c_int, device)
    fn("VasqDeviceStopTest", c_int, device)
    fn("VasqDeviceRunBPTest", c_int, device, c_void_p, callbacks["bp"], c_void_p)
    fn("VasqDeviceRunLeakageTest", c_int, device, c_double, c_int, c_double, callbacks["leakage"], c_void_p)
    fn("VasqDeviceRunLeakageCalibration", c_int, device, c_double, callbacks["leakage"], c_void_p)
    fn("VasqDeviceGetLeakageCalibrationRate", c_int, device, dptr)
    fn("VasqDeviceRunOverpressureTest", c_int, device, c_bool, c_double, c_double, c_double,
       callbacks["overpressure"], c_void_p)
    fn("VasqDeviceRunStaticPressure", c_int, device, c_double, c_int, callbacks["static"], c_void_p, c_bool)
    fn("VasqDeviceGetWaitStableTime", c_int, device)
    fn("VasqDeviceGetEnvelopeRawData", c_int, device, ctypes.POINTER(_BPEnvelopeCustomized), dptr, dptr, c_int,
       c_int)
    fn("VasqDeviceSwitchToAdultMode", c_int, device, c_bool)
    fn("VasqDeviceSwitchTo500mlMode", c_int, device, c_bool)
    fn("VasqDeviceIs500mlMode", c_int, device)


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p), ("dli_sname", ctypes.c_char_p),
                ("dli_saddr", ctypes.c_void_p)]


def _library_in_process() -> Optional[str]:
    """The file of a libvasq already loaded into the process's global scope (one preloaded, as vasq-sim's
    helper brings its own), or None."""
    try:
        process = ctypes.CDLL(None)
        address = ctypes.cast(process.VasqGetVersion, ctypes.c_void_p).value
        dladdr = process.dladdr
    except (AttributeError, OSError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    info = _DlInfo()
    if not address or not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.fsdecode(info.dli_fname)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def load_library() -> ctypes.CDLL:
    """Loads libvasq once: from $VASQ_LIBRARY, next to this package, or the system's search path.

    The library is process-wide, so there is only ever one copy: one already in the process (preloaded) is used;
    when $VASQ_LIBRARY names another file, a VasqError (code FILE) says so instead of loading a second copy.
    """
    global _lib
    with _lib_lock:
        if _lib is None:
            errors = []
            loaded = _library_in_process()
            explicit = os.environ.get("VASQ_LIBRARY")
            if loaded and explicit and not _same_file(loaded, explicit):
                raise VasqError(f"libvasq {loaded} is already loaded in this process (preloaded?); "
                                f"VASQ_LIBRARY names another copy, {explicit}: point both at one file",
                                ErrorCode.FILE)
            for candidate in [loaded] if loaded else _candidates():
                try:
                    lib = ctypes.CDLL(candidate)
                except OSError as error:
                    errors.append(f"{candidate}: {error}")
                    continue
                _declare(lib)
                _lib = lib
                break
            else:
                raise VasqError("libvasq cannot be loaded (set VASQ_LIBRARY to its path): " + "; ".join(errors),
                                ErrorCode.FILE)
        return _lib


def _last_error(lib: ctypes.CDLL) -> Tuple[int, str]:
    """This thread's code and reason for its last call into the library."""
    return lib.VasqGetLastError(), (lib.VasqGetLastErrorText() or b"").decode(errors="replace")


# ---- the log -------------------------------------------------------------------------

_logger = logging.getLogger("vasq")
# A library stays quiet unless the application configures logging.
_logger.addHandler(logging.NullHandler())
_LOG_LEVELS = {1: logging.ERROR, 2: logging.WARNING, 3: logging.INFO, 4: logging.DEBUG}
_log_state = threading.local()


def _log(level: int, message: bytes, _context) -> None:
    # Runs on the library's threads, perhaps under its lock: nothing may escape into C.
    try:
        _log_state.inside = True
        python_level = _LOG_LEVELS.get(level, logging.DEBUG)
        if _logger.isEnabledFor(python_level):
            _logger.log(python_level, "%s", message.decode(errors="replace") if message else "")
    except BaseException:  # noqa: B036 - a log line is not worth a crash of the library's thread
        pass
    finally:
        _log_state.inside = False


# Made once and never freed: the library may call it until VasqSetLogCallback(None) has returned.
_log_callback = _LogCallback(_log)
_log_max_level = 0


def enable_logging(level: Optional[int] = None) -> None:
    """Sends the library's log to the logger "vasq", as far as that logger is enabled.

    connect() does this by itself; call it after changing the logger's level while connected, or with a level
    (e.g. logging.DEBUG) to set the logger's level first. Library levels map to ERROR (failures), WARNING,
    INFO (searches, connections, tests) and DEBUG (every frame); with the logger disabled, the library formats
    nothing.
    """
    global _log_max_level
    if getattr(_log_state, "inside", False):
        raise Busy("enable_logging() cannot be called from a log handler", ErrorCode.BUSY)
    if level is not None:
        _logger.setLevel(level)
    wanted = 0
    for library_level in (4, 3, 2, 1):
        if _logger.isEnabledFor(_LOG_LEVELS[library_level]):
            wanted = library_level
            break
    lib = load_library()
    with _lib_lock:
        if wanted == _log_max_level:
            return
        lib.VasqSetLogCallback(_log_callback if wanted else _LogCallback(), wanted, None)
        _log_max_level = wanted


def _disable_logging() -> None:
    global _log_max_level
    with _lib_lock:
        if _lib is not None and _log_max_level:
            _lib.VasqSetLogCallback(_LogCallback(), 0, None)
            _log_max_level = 0


def version() -> str:
    """The version of the library's interface, what VasqGetVersion() returns: always "1.0.3.1"."""
    return load_library().VasqGetVersion().decode()


def release_version() -> str:
    """The release of the loaded library, e.g. "1.2.0" (this package's own is __version__)."""
    return load_library().VasqGetReleaseVersion().decode()


def sample_rate() -> int:
    """Samples per second of the pressure stream (200)."""
    return load_library().VasqGetSampleRate()


# ---- the numbers given to the instrument --------------------------------------------
#
# One rule, the one vasqctl and its input files apply: each number is checked against the limits of the unit in
# force, taken from the library's own tables, and refused outside them (InvalidArgument naming the limits) before
# anything is sent; a settings record comes back as the instrument is given it.

_CHECK_PRESSURE_LIMIT = "_Z18CheckPressureLimitidi"  # CheckPressureLimit(int kind, double value, int unit)
_CHECK_LIMIT = "_Z10CheckLimitid"  # CheckLimit(int kind, double value)
# The kinds of vasq.h's VasqLimitKind.
_LIMIT_STATIC_PRESSURE, _LIMIT_SYSTOLIC, _LIMIT_DIASTOLIC, _LIMIT_POINT_OFFSET = 0, 2, 4, 6
_LIMIT_OVERPRESSURE_SECOND, _LIMIT_OVERPRESSURE_THIRD, _LIMIT_ENVELOPE_PRESSURE = 8, 10, 12
_LIMIT_HEART_RATE, _LIMIT_PULSE_VOLUME = 14, 16
# Past every limit of either table.
_BEYOND = 1e9
# Limits and values are exact to their steps; this only absorbs binary fractions.
_SLACK = 1e-9
_LARGEST_PARAMETER = 65535  # the static-pressure and leak parameters travel in 16 bits
_LARGEST_AMPLITUDE = 255


def _limits(kind: int, unit: "Unit") -> Tuple[float, float]:
    lib = load_library()
    if kind in (_LIMIT_HEART_RATE, _LIMIT_PULSE_VOLUME):
        check = getattr(lib, _CHECK_LIMIT)
        return check(kind, -_BEYOND), check(kind, _BEYOND)
    check = getattr(lib, _CHECK_PRESSURE_LIMIT)
    return check(kind, -_BEYOND, int(unit)), check(kind, _BEYOND, int(unit))


def _within(name: str, value: float, limits: Tuple[float, float], unit: str = "") -> None:
    low, high = limits
    if not low - _SLACK <= value <= high + _SLACK:
        u = f" {unit}" if unit else ""
        raise _invalid(f"{name} {value:g}{u} is out of range: {low:g} to {high:g}{u}")


def _pressure(name: str, value, kind: int, unit: "Unit") -> float:
    value = _real(name, value)
    _within(name, value, _limits(kind, unit), str(unit))
    return value


def _parameter(name: str, value, keep: bool = False) -> int:
    """A parameter the instrument keeps in 16 bits; keep allows -1, which leaves the instrument's own."""
    return _integer(name, value, -1 if keep else 0, _LARGEST_PARAMETER)


def _round_half_away(value: float) -> float:
    whole = math.floor(abs(value))
    if abs(value) - whole >= 0.5:
        whole += 1
    return math.copysign(whole, value)


def _for_truncation(value: float, per_unit: float, wire: Callable[[float], int]) -> float:
    """value in whole counts of per_unit, moved up by the least amount where the instrument's truncation
    (wire) would take a count off its binary fraction: 0.29 is 29 hundredths, not 28."""
    counts = _round_half_away(value * per_unit)
    given = counts / per_unit
    for _ in range(8):
        if wire(given) >= counts:
            break
        given = math.nextafter(given, math.inf)
    return given


def _unit_factor(unit: "Unit") -> float:
    return 10.0 if unit == Unit.KPA else 1.0


def _as_given(value: float, unit: "Unit") -> float:
    """A pressure as the instrument is given it: in whole steps of its unit."""
    factor = _unit_factor(unit)
    return math.trunc(factor * value) / factor


_COMMON_NUMBERS = ("systolic", "diastolic", "pulse_volume", "systolic_offset", "diastolic_offset")
_ENVELOPE_PRESSURES = ("top_pressure", "upper_base_pressure", "upper_peak_pressure", "lower_peak_pressure",
                       "lower_base_pressure", "bottom_pressure")
_ENVELOPE_AMPLITUDES = ("systolic_amplitude", "lower_peak_amplitude", "upper_peak_amplitude",
                        "diastolic_amplitude", "base_amplitude")


def _checked_settings(settings, unit: "Unit") -> dict:
    """The settings' fields, checked against the limits of the unit as the instrument takes them."""
    if not isinstance(settings, BPSettings):
        raise TypeError(f"settings must be a vasq.BPSettings or vasq.Envelope, not {type(settings).__name__}")
    u = str(unit)
    fields = {name: _real(name, getattr(settings, name)) for name in _COMMON_NUMBERS}
    fields["heart_rate"] = _integer("heart_rate", settings.heart_rate, *_UINT32)
    for name, kind, shown in (("systolic", _LIMIT_SYSTOLIC, u), ("diastolic", _LIMIT_DIASTOLIC, u),
                              ("systolic_offset", _LIMIT_POINT_OFFSET, u), ("diastolic_offset", _LIMIT_POINT_OFFSET, u),
                              ("heart_rate", _LIMIT_HEART_RATE, "bpm"), ("pulse_volume", _LIMIT_PULSE_VOLUME, "")):
        _within(name, fields[name], _limits(kind, unit), shown)
    if not fields["systolic"] > fields["diastolic"]:
        raise _invalid(f"systolic {fields['systolic']:g} {u} must be above diastolic {fields['diastolic']:g} {u}")
    fields["pulse_volume"] = _for_truncation(fields["pulse_volume"], 100.0, lambda v: math.trunc(100.0 * v))
    systolic_point = fields["systolic"] + fields["systolic_offset"]
    diastolic_point = fields["diastolic"] + fields["diastolic_offset"]
    if not isinstance(settings, Envelope):
        # The instrument's default envelope holds its points, not the pressures, within the limits.
        _within("systolic + systolic_offset", systolic_point, _limits(_LIMIT_SYSTOLIC, unit), u)
        _within("diastolic + diastolic_offset", diastolic_point, _limits(_LIMIT_DIASTOLIC, unit), u)
        return fields
    for name in _ENVELOPE_PRESSURES:
        fields[name] = _pressure(name, getattr(settings, name), _LIMIT_ENVELOPE_PRESSURE, unit)
    for name in _ENVELOPE_AMPLITUDES:
        fields[name] = _integer(name, getattr(settings, name), 0, _LARGEST_AMPLITUDE)
    # The envelope's points rise from the bottom to the top; one step is the unit's resolution.
    step = 0.1 if unit == Unit.KPA else 1.0
    points = (("bottom_pressure + one step", fields["bottom_pressure"] + step),
              ("lower_base_pressure", fields["lower_base_pressure"]),
              ("diastolic + diastolic_offset", diastolic_point),
              ("lower_peak_pressure", fields["lower_peak_pressure"]),
              ("upper_peak_pressure", fields["upper_peak_pressure"]),
              ("systolic + systolic_offset", systolic_point),
              ("upper_base_pressure", fields["upper_base_pressure"]),
              ("top_pressure - one step", fields["top_pressure"] - step))
    for (lower, below), (name, value) in zip(points, points[1:]):
        if value < below - _SLACK:
            raise _invalid(f"{name} ({value:g} {u}) lies below {lower} ({below:g} {u}): the envelope's points rise "
                           "from bottom_pressure to top_pressure")
    return fields


def _common_record(f: dict) -> _BPCommon:
    return _BPCommon(0, f["systolic"], f["diastolic"], f["heart_rate"], f["pulse_volume"], f["systolic_offset"],
                     f["diastolic_offset"])


# The record's field of each envelope pressure, after its "d".
_RECORD_NAMES = {"top_pressure": "TopPressure", "upper_base_pressure": "UpperBasePressure",
                 "upper_peak_pressure": "UpperPeakPressure", "lower_peak_pressure": "LowerPeakPressure",
                 "lower_base_pressure": "LowerBasePressure", "bottom_pressure": "BottomPressure"}


def _envelope_record(f: dict) -> _BPEnvelopeCustomized:
    return _BPEnvelopeCustomized(
        1, f["systolic"], f["diastolic"], f["heart_rate"], f["pulse_volume"], f["systolic_offset"],
        f["diastolic_offset"], *(f[name] for name in _ENVELOPE_PRESSURES), *(f[name] for name in _ENVELOPE_AMPLITUDES))


def envelope_table(envelope: Envelope, unit: Unit = Unit.MMHG) -> List[Tuple[float, float]]:
    """The envelope as (pressure, amplitude) pairs: 360 in mmHg, 479 in kPa. Needs no instrument."""
    if not isinstance(envelope, Envelope):
        raise TypeError(f"envelope must be a vasq.Envelope, not {type(envelope).__name__}")
    unit = _unit("unit", unit)
    record = _envelope_record(_checked_settings(envelope, unit))
    lib = load_library()
    count = 479 if unit == Unit.KPA else 360
    pressures = (ctypes.c_double * 480)()
    amplitudes = (ctypes.c_double * 480)()
    if not lib.VasqGetEnvelopeRawData(ctypes.byref(record), pressures, amplitudes, count, int(unit)):
        raise _command_error("computing the envelope table", *_last_error(lib))
    step = 0.1 if unit == Unit.KPA else 1.0
    return [(round(i * step, 1), amplitudes[i]) for i in range(count)]


# ---- the device ------------------------------------------------------------------------

Report = Union[StaticPressureReport, BPReport, LeakageReport, OverpressureReport]

# Those of the device of connect() closed inside a callback: the library's
# threads may still be running one of them until a close() or connect() outside
# the callbacks (VasqFree waits for those threads).
_retired: List[object] = []
# Those of opened devices closed inside a callback: their close finishes on a
# library thread with no word of when, so they are kept for good (a few small
# objects a close).
_retired_for_good: List[object] = []
_open_device: Optional["Device"] = None
# Opened devices not yet closed: held so that their callbacks have a Device to
# reach and the exit can close them.
_opened_devices: "set[Device]" = set()
_callback_thread = threading.local()


def _inside_callback() -> bool:
    return getattr(_callback_thread, "inside", False)


def _inside_any_callback() -> bool:
    return _inside_callback() or getattr(_log_state, "inside", False)


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


class _DefaultCalls:
    """The library's functions for the device of connect(), under their own names."""

    def __init__(self, lib: ctypes.CDLL) -> None:
        self._lib = lib

    def __getattr__(self, name: str):
        return getattr(self._lib, name)

    @staticmethod
    def callback(kind: str, function: Optional[Callable[..., None]]):
        """The C callback of this kind running function (None: a null one)."""
        callback_type = _CALLBACK_TYPES[kind][0]
        return callback_type(_marked(function)) if function else callback_type()

    def port(self) -> Optional[int]:
        return None

    def close(self) -> None:
        self._lib.VasqFree()


class _DeviceCalls:
    """The same names for an opened device: VasqX(...) calls VasqDeviceX(device, ...), with a context after
    each callback."""

    def __init__(self, lib: ctypes.CDLL, handle: int) -> None:
        self._lib = lib
        # None once closed: the library refuses a null device, where a freed one would be used after its free.
        self._handle: Optional[int] = handle

    def __getattr__(self, name: str):
        function = getattr(self._lib, "VasqDevice" + name[len("Vasq"):])

        def call(*args):
            arguments = [self._handle]
            for argument in args:
                arguments.append(argument)
                if isinstance(argument, _DEVICE_CALLBACK_TYPES):
                    arguments.append(None)
            return function(*arguments)
        return call

    @staticmethod
    def callback(kind: str, function: Optional[Callable[..., None]]):
        callback_type = _CALLBACK_TYPES[kind][1]
        if not function:
            return callback_type()
        return callback_type(_marked(lambda *args: function(*args[:-1])))

    def port(self) -> Optional[int]:
        return self._lib.VasqDeviceGetPortNumber(self._handle)

    def close(self) -> None:
        handle, self._handle = self._handle, None
        self._lib.VasqCloseDevice(handle)


# The instrument's resolution: samples and leak values come in tenths of a mmHg or hundredths of a kPa; the
# library hands them over as binary fractions (7.900000095367432). Other results come in tenths.
_DIGITS = {Unit.MMHG: 1, Unit.KPA: 2}
_RESULT_DIGITS = 1
# While the unit is unknown or changing, two digits keep either unit's values whole.
_SAFE_DIGITS = 2
_LOST_CODES = (ErrorCode.NOT_CONNECTED, ErrorCode.DEVICE_LOST)


def _connection_changed(connected: bool) -> None:
    device = _open_device
    if device is not None:
        device._connection_changed(bool(connected))


# Registered with VasqInit for every open Device and never freed: the library
# may call it until the VasqFree that ends its connection thread.
_connection_callback = _ConnectedCallback(_marked(_connection_changed))


class Device:
    """A Vasq9: the one of connect() or one of open(). close() (or leaving a with block) frees it.

    Once the instrument is lost (unplugged), its properties and commands raise DeviceLost until the library
    has reconnected it.
    """

    def __init__(self, lib: ctypes.CDLL, calls: Union[_DefaultCalls, _DeviceCalls, None] = None) -> None:
        self._lib = lib
        self._calls = calls or _DefaultCalls(lib)
        self._closed = False
        self._lost = False
        self._user_connection: Optional[Callable[[bool], None]] = None
        self._digits = _SAFE_DIGITS
        # The unit the library holds for this device (None: not read yet): the one the limits are those of.
        self._unit: Optional[Unit] = None
        # A test another program left running may go on: until this device's first start, or after the instrument
        # was away (another program may have used it meanwhile).
        self._foreign_test_may_run = True
        # The C callbacks the library may still call; dropped once it has let them go.
        self._alive: Dict[str, List[object]] = {}

    # -- life cycle
    def close(self) -> None:
        """Stops sampling and any test, releases the instrument and ends the library's threads for it."""
        global _open_device
        opened = isinstance(self._calls, _DeviceCalls)
        if self._closed:
            if not opened and _retired and not _inside_callback():
                # Closed inside a callback before: this waits for the threads that ran it.
                self._lib.VasqFree()
                _retired.clear()
            return
        self._closed = True
        self._calls.close()
        callbacks = [c for kept in self._alive.values() for c in kept]
        self._alive = {}
        if opened:
            _opened_devices.discard(self)
            if _inside_any_callback():
                _retired_for_good.extend(callbacks)
        elif _inside_callback():
            _retired.extend(callbacks)
        else:
            _retired.clear()
        if _open_device is self:
            _open_device = None

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def lost(self) -> bool:
        """True from the loss of the instrument until the library has reconnected it."""
        return self._lost

    def _connection_changed(self, connected: bool) -> None:
        self._lost = not connected
        if connected:
            self._foreign_test_may_run = True
        callback = self._user_connection
        if callback is not None:
            callback(connected)

    def _before_start(self) -> None:
        """An instrument may go on with a test it runs and ignore a start, whose results would then be another
        test's: one another program left running is stopped before this device's first start. The library ends
        this device's own before each start."""
        if self._foreign_test_may_run:
            self._calls.VasqStopTest()
            self._foreign_test_may_run = False

    def _usable(self) -> None:
        if self._closed:
            raise CommandFailed("the device is closed", ErrorCode.NOT_CONNECTED)
        if self._lost:
            raise DeviceLost("the instrument is lost (unplugged?)", ErrorCode.DEVICE_LOST)

    def _until_closed(self, function: Callable[..., None]) -> Callable[..., None]:
        """function, called only while the device is open."""
        def call(*args) -> None:
            # The library may still hand over the rest of a block of samples after a close made inside a
            # callback; none reaches the caller once close() has begun.
            if not self._closed:
                function(*args)
        return call

    def _callback(self, kind: str, function: Optional[Callable[..., None]]):
        """A C callback of this kind for function, kept while the library may call it."""
        self._usable()
        callback = self._calls.callback(kind, self._until_closed(function) if function else None)
        self._alive.setdefault(kind, []).append(callback)
        return callback

    def _raise_last(self, what: str) -> None:
        code, reason = _last_error(self._lib)
        if self._closed:
            raise CommandFailed("the device is closed", ErrorCode.NOT_CONNECTED)
        if _code(code) in _LOST_CODES:
            # Not closed by us: the library has lost the instrument. Until its connection thread notices (and
            # later reports it back), it still answers some reads from what it kept of the instrument.
            self._lost = True
            raise DeviceLost(f"{what}: {reason or 'the instrument is lost'}", _code(code), reason)
        raise _command_error(what, code, reason)

    def _check(self, result: int, what: str) -> None:
        """Raises why the call just made on this thread failed (its reason is this thread's)."""
        if self._closed:
            raise CommandFailed("the device is closed", ErrorCode.NOT_CONNECTED)
        if not result:
            self._raise_last(what)

    def _check_read(self, what: str) -> None:
        """For calls whose result cannot show a failure: only the last error tells."""
        if self._closed or self._lib.VasqGetLastError() != ErrorCode.NONE:
            self._raise_last(what)

    def on_connection(self, callback: Optional[Callable[[bool], None]]) -> None:
        """Calls callback(False) when the instrument is lost and callback(True) when it is back (None: no calls)."""
        _callable("callback", callback)
        if self._closed:
            raise CommandFailed("the device is closed", ErrorCode.NOT_CONNECTED)
        self._user_connection = callback

    # -- identity
    @property
    def serial_number(self) -> str:
        self._usable()
        serial = self._calls.VasqGetSerialNumber().decode(errors="replace")
        self._check_read("reading the serial number")
        return serial

    @property
    def port(self) -> Optional[int]:
        """The number of the port (ttyACM<port>) an opened device's instrument is on, -1 while it is lost; None
        for the device of connect(), whose port the library does not tell."""
        if self._closed:
            raise CommandFailed("the device is closed", ErrorCode.NOT_CONNECTED)
        return self._calls.port()

    @property
    def model_information(self) -> ModelInformation:
        self._usable()
        info = _ModelInformation()
        self._check(self._calls.VasqGetDeviceInformation(ctypes.byref(info)), "reading the model information")
        return ModelInformation(bytes(info.chSignature), info.byModelCode, info.byVariantCode, info.nSerialGroup,
                                info.nSerialIndex)

    @property
    def hardware_information(self) -> HardwareInformation:
        self._usable()
        info = _HWInformation()
        self._check(self._calls.VasqGetHWInformation(ctypes.byref(info)), "reading the hardware information")
        return HardwareInformation((info.nFWVersion1, info.nFWVersion2, info.nFWVersion3),
                                   (info.nHWVersion1, info.nHWVersion2))

    # -- unit and settings
    @property
    def unit(self) -> Unit:
        """The instrument's pressure unit (read from it); every pressure is in this unit."""
        self._usable()
        unit = self._calls.VasqGetPressureUnit()
        # 0 is both mmHg and the failure value: only the last error tells them apart.
        self._check_read("reading the unit")
        self._digits = _DIGITS[Unit(unit)]
        self._unit = Unit(unit)
        return Unit(unit)

    @unit.setter
    def unit(self, unit: Unit) -> None:
        unit = _unit("unit", unit)
        self._usable()
        # Samples of either unit may arrive while it changes.
        before, self._digits = self._digits, _SAFE_DIGITS
        ok = self._calls.VasqSetPressureUnit(int(unit))
        self._digits = before
        if ok:
            self._digits = _DIGITS[unit]
            self._unit = unit
        self._check(ok, f"switching to {unit}")

    def _unit_in_force(self) -> Unit:
        return self._unit if self._unit is not None else self.unit

    def rebase_zero(self, on: bool = True) -> None:
        on = _boolean("on", on)
        self._usable()
        self._check(self._calls.VasqRebaseZero(on), "rebasing zero")

    def set_adult_mode(self, adult: bool) -> None:
        adult = _boolean("adult", adult)
        self._usable()
        self._check(self._calls.VasqSwitchToAdultMode(adult), "switching the adult mode")

    @property
    def mode_500ml(self) -> bool:
        self._usable()
        on = bool(self._calls.VasqIs500mlMode())
        self._check_read("reading the 500 ml mode")
        return on

    @mode_500ml.setter
    def mode_500ml(self, on: bool) -> None:
        on = _boolean("mode_500ml", on)
        self._usable()
        self._check(self._calls.VasqSwitchTo500mlMode(on), "switching the 500 ml mode")

    # -- air ports
    def enable_air_port(self, port: int, enable: bool = True) -> None:
        """Marks air port 0-4 enabled or disabled; update_air_ports() (or any test start) sends it."""
        port = _integer("port", port, 0, 4)
        enable = _boolean("enable", enable)
        self._usable()
        self._calls.VasqEnableAirPort(port, enable)

    def reset_air_ports(self) -> None:
        self._usable()
        self._calls.VasqResetAirPort()

    def update_air_ports(self) -> None:
        self._usable()
        self._check(self._calls.VasqUpdateAirPort(), "sending the air-port setting")

    def pause_pump(self) -> None:
        self._usable()
        self._check(self._calls.VasqPausePump(), "pausing the pump")

    # -- tests
    def stop_test(self) -> None:
        """Stops whatever test runs and ends its reports."""
        self._calls.VasqStopTest()

    @property
    def wait_stable_time(self) -> int:
        """The instrument's wait-stable time in whole seconds."""
        self._usable()
        seconds = self._calls.VasqGetWaitStableTime()
        self._check_read("reading the wait-stable time")
        return seconds

    def run_static_pressure(self, pressure: float, callback: Optional[Callable[[StaticPressureReport], None]] = None,
                            param: int = -1, flag: bool = False) -> None:
        """Builds up and holds a pressure; reports go to callback.

        The pressure is in the unit in force, within the instrument's limits (20 to 400 mmHg, 2.7 to 53.3 kPa);
        param is 0 to 65535, or -1 to leave the instrument's own. Anything else raises before anything is sent.
        """
        _callable("callback", callback)
        param = _parameter("param", param, keep=True)
        flag = _boolean("flag", flag)
        self._usable()
        pressure = _pressure("pressure", pressure, _LIMIT_STATIC_PRESSURE, self._unit_in_force())

        def report(status, wait, result):
            callback(StaticPressureReport(Status(status), round(wait, _RESULT_DIGITS), result))
        c_callback = self._callback("static", report if callback else None)
        self._before_start()
        self._check(self._calls.VasqRunStaticPressure(pressure, param, c_callback, flag),
                    "starting the static pressure")

    def run_bp_test(self, settings: BPSettings, callback: Optional[Callable[[BPReport], None]] = None) -> BPSettings:
        """Starts a BP simulation; an Envelope runs customised. Returns the settings as the instrument is given
        them: pressures in whole steps of the unit (1 mmHg, 0.1 kPa), the pulse volume in hundredths.

        Raises TypeError or InvalidArgument (a ValueError) before anything is sent for a field that is not a number
        the record takes or lies outside the instrument's limits in the unit in force (systolic 5 to 320 mmHg or
        0.6 to 42.66 kPa, diastolic 0 to 270 mmHg or 0 to 35.99 kPa, offsets up to 20 mmHg or 2.6 kPa either way,
        heart rate 30 to 300, pulse volume 0.1 to 2.0, envelope pressures 0 to 359 mmHg or 47.9 kPa, amplitudes
        0 to 255), for a systolic pressure not above the diastolic one, and for envelope points out of order.
        """
        _callable("callback", callback)
        self._usable()
        unit = self._unit_in_force()
        fields = _checked_settings(settings, unit)

        def report(status, r1, r2, r3, r4):
            callback(BPReport(Status(status), *(round(r, _RESULT_DIGITS) for r in (r1, r2, r3, r4))))
        record = _envelope_record(fields) if isinstance(settings, Envelope) else _common_record(fields)
        c_callback = self._callback("bp", report if callback else None)
        self._before_start()
        self._check(self._calls.VasqRunBPTest(ctypes.byref(record), c_callback), "starting the BP simulation")
        # The record as the library left it, in the counts it went to the instrument in.
        given = dict(systolic=_as_given(record.dSystolic, unit), diastolic=_as_given(record.dDiastolic, unit),
                     heart_rate=record.nHeartRate, pulse_volume=math.trunc(100.0 * record.dPulseVolume) / 100.0,
                     systolic_offset=_as_given(record.dSystolicOffset, unit),
                     diastolic_offset=_as_given(record.dDiastolicOffset, unit))
        if isinstance(settings, Envelope):
            return Envelope(**given, **{name: _as_given(getattr(record, "d" + _RECORD_NAMES[name]), unit)
                                        for name in _ENVELOPE_PRESSURES},
                            systolic_amplitude=record.nSystolicAmplitude,
                            lower_peak_amplitude=record.nLowerPeakAmplitude,
                            upper_peak_amplitude=record.nUpperPeakAmplitude,
                            diastolic_amplitude=record.nDiastolicAmplitude, base_amplitude=record.nBaseAmplitude)
        return BPSettings(**given)

    def _leak_callback(self, callback):
        _callable("callback", callback)

        def report(status, wait, leak, code):
            callback(LeakageReport(Status(status), round(wait, _RESULT_DIGITS), round(leak, self._digits), code))
        return self._callback("leakage", report if callback else None)

    def run_leakage_test(self, pressure: float, callback: Optional[Callable[[LeakageReport], None]] = None,
                         leak_param: int = 60, leak_rate: float = 0.0) -> None:
        """Starts a leakage test at pressure (as for run_static_pressure); leak_rate, the allowed leak, is 0 up to
        the highest test pressure (to 0.1 mmHg or 0.01 kPa), leak_param 0 to 65535."""
        leak_param = _parameter("leak_param", leak_param)
        leak_rate = _real("leak_rate", leak_rate)
        self._usable()
        unit = self._unit_in_force()
        pressure = _pressure("pressure", pressure, _LIMIT_STATIC_PRESSURE, unit)
        limits = _limits(_LIMIT_STATIC_PRESSURE, unit)
        _within("leak_rate", leak_rate, (0.0, limits[1]), str(unit))
        factor = _unit_factor(unit)
        leak_rate = _for_truncation(leak_rate, 10.0 * factor, lambda r: math.trunc(10.0 * (r * factor)))
        c_callback = self._leak_callback(callback)
        self._before_start()
        self._check(self._calls.VasqRunLeakageTest(pressure, leak_param, leak_rate, c_callback),
                    "starting the leakage test")

    def run_leakage_calibration(self, pressure: float,
                                callback: Optional[Callable[[LeakageReport], None]] = None) -> None:
        self._usable()
        pressure = _pressure("pressure", pressure, _LIMIT_STATIC_PRESSURE, self._unit_in_force())
        c_callback = self._leak_callback(callback)
        self._before_start()
        self._check(self._calls.VasqRunLeakageCalibration(pressure, c_callback), "starting the leakage calibration")

    @property
    def leakage_calibration_rate(self) -> float:
        self._usable()
        rate = ctypes.c_double()
        self._check(self._calls.VasqGetLeakageCalibrationRate(ctypes.byref(rate)), "reading the calibration rate")
        return round(rate.value, self._digits)

    def run_overpressure_test(self, pressure1: float, pressure2: float, pressure3: float,
                              callback: Optional[Callable[[OverpressureReport], None]] = None,
                              flag: bool = True) -> None:
        """Starts an overpressure test; each pressure within its own limits in the unit in force (pressure1 20 to
        400 mmHg, pressure2 2 to 400, pressure3 20 to 400; in kPa 2.7, 0.2 and 2.6 to 53.3)."""
        _callable("callback", callback)
        flag = _boolean("flag", flag)
        self._usable()
        unit = self._unit_in_force()
        pressures = [_pressure(name, value, kind, unit) for name, value, kind in (
            ("pressure1", pressure1, _LIMIT_STATIC_PRESSURE), ("pressure2", pressure2, _LIMIT_OVERPRESSURE_SECOND),
            ("pressure3", pressure3, _LIMIT_OVERPRESSURE_THIRD))]

        def report(status, wait, *results):
            callback(OverpressureReport(Status(status), round(wait, _RESULT_DIGITS),
                                        tuple(round(r, _RESULT_DIGITS) for r in results)))
        c_callback = self._callback("overpressure", report if callback else None)
        self._before_start()
        self._check(self._calls.VasqRunOverpressureTest(flag, *pressures, c_callback), "starting the overpressure test")

    # -- sampling
    def start_sampling(self, callback: Callable[[float], None]) -> None:
        """Calls callback(pressure) 200 times a second on the library's sampling thread.

        Each sample is rounded to the instrument's resolution: 0.1 mmHg or 0.01 kPa.
        """
        _callable("callback", callback, optional=False)

        def sample(pressure):
            callback(round(pressure, self._digits))
        c_callback = self._callback("sampling", sample)
        self._check(self._calls.VasqStartSampling(c_callback), "starting the pressure stream")

    def stop_sampling(self) -> None:
        self._calls.VasqStopSampling()


@atexit.register
def _close_at_exit() -> None:
    # The library's threads must not call into an interpreter that is shutting down.
    if _open_device is not None:
        _open_device.close()
    for device in list(_opened_devices):
        device.close()
    _disable_logging()


# A signal does not end the library's wait for a device, so the search runs on
# a thread of its own while the caller's waits in slices, between which Python
# raises KeyboardInterrupt. The wait is on an event the search sets, not on
# Thread.join(): a join interrupted by Ctrl-C may mark a thread still running
# as ended (seen on Python 3.11), and the search would be left running.
_INTERRUPT_POLL = 0.05


def _search(lib: ctypes.CDLL, find: Callable[[], object], started: threading.Event, finished: threading.Event,
            outcome: List[Tuple[object, int, str]]) -> None:
    """Starts find() (one VasqConnect or VasqOpenDevice for the whole timeout, so that a device slow to be
    identified is still found) on a helper thread, which sets started, appends to outcome, then sets finished.

    The outcome is (what find() returned, code, reason), read on the helper: the library keeps one reason per
    thread. The caller holds the events and the outcome, so it still has them when an interrupt ends this call
    after the helper has begun.
    """

    def search() -> None:
        started.set()
        try:
            found = find()
            outcome.append((found,) + _last_error(lib))
        finally:
            finished.set()

    threading.Thread(target=search, name="vasq-search", daemon=True).start()


def _end_search(lib: ctypes.CDLL, finished: threading.Event) -> None:
    """Ends a search still waiting."""
    # VasqFree ends the wait; repeated, as a first one may come before the search has begun.
    while not finished.is_set():
        try:
            lib.VasqFree()
            finished.wait(_INTERRUPT_POLL)
        except KeyboardInterrupt:
            pass


# 0xFFFFFFFF milliseconds is the library's "no limit".
_LONGEST_WAIT_MS = 0xFFFFFFFE


def connect(port: int = -1, timeout: float = 5.0) -> Device:
    """Connects to the Vasq9 on /dev/ttyACM<port> (-1: the first one found) within timeout seconds.

    One Device at a time: while one is open (not closed), connect() raises Busy and leaves it as it is; close it
    first. port is -1 or 0 to 2**31-1; timeout is 0 to 4294967.294 seconds (whole milliseconds); anything else
    raises TypeError or InvalidArgument (a ValueError). Raises DeviceNotFound (PortBusy, PermissionDenied where that
    is why) with the library's reason. Ctrl-C (KeyboardInterrupt) ends the search at once. Sends the library's log
    to the logger "vasq" as far as it is enabled (see enable_logging()).
    """
    global _open_device
    port, milliseconds = _search_arguments("connect", port, timeout)
    if _open_device is not None and not _open_device.closed:
        raise Busy("connect(): a device is already open; close it first", ErrorCode.BUSY)
    lib = load_library()
    enable_logging()
    if _retired:
        # A device closed inside a callback: this waits for the threads that ran it.
        lib.VasqFree()
        _retired.clear()
    finished, started = threading.Event(), threading.Event()
    outcome: List[Tuple[object, int, str]] = []
    try:
        # An interrupt while the helper starts may leave it running all the same: it is ended below.
        _search(lib, lambda: bool(lib.VasqConnect(port, milliseconds)), started, finished, outcome)
        while not finished.wait(_INTERRUPT_POLL):
            pass
    except BaseException:
        if not started.wait(1.0):
            raise
        _end_search(lib, finished)
        # Nothing may stay searching, or connected with no Device to close it.
        lib.VasqFree()
        raise
    connected, code, reason = outcome[0] if outcome else (False, ErrorCode.SYSTEM, "the search ended unexpectedly")
    if not connected:
        # The library has released everything.
        lib.VasqFree()
        raise _search_error(code, reason)
    device = Device(lib)
    _open_device = device
    # The package's own connection callback tells the Device of a loss (VasqConnect drops any earlier one).
    if not lib.VasqInit(_connection_callback):
        device.close()
        raise _search_error(*_last_error(lib))
    unit = lib.VasqGetPressureUnit()
    if lib.VasqGetLastError() == ErrorCode.NONE:
        device._digits = _DIGITS[Unit(unit)]
        device._unit = Unit(unit)
    return device


def _search_arguments(name: str, port, timeout) -> Tuple[int, int]:
    """port and timeout checked as the C types take them; timeout in milliseconds."""
    port = _integer("port", port, -1, _INT32[1])
    timeout = _real("timeout", timeout)
    milliseconds = round(timeout * 1000.0)
    if not 0 <= milliseconds <= _LONGEST_WAIT_MS:
        raise _invalid(f"timeout must be 0 to {_LONGEST_WAIT_MS / 1000} seconds, not {timeout}")
    if _inside_any_callback():
        raise Busy(f"{name}() cannot be called from a library callback", ErrorCode.BUSY)
    return port, milliseconds


def open(port: int = -1, timeout: float = 5.0) -> Device:
    """Opens the Vasq9 on /dev/ttyACM<port> (-1: the first one that neither this process nor another holds) within
    timeout seconds, as a Device of its own.

    Any number may be open at once, beside the one of connect(); each has its own port, callbacks and losses, and
    closing one leaves the others running. After a loss the device reconnects only to the instrument with the
    same serial number. Arguments, failures and the log as for connect(). The library cannot end this search
    early: Ctrl-C (KeyboardInterrupt) takes effect when it ends, at the latest after timeout, and closes the
    device it found, if any.
    """
    port, milliseconds = _search_arguments("open", port, timeout)
    lib = load_library()
    enable_logging()
    finished, started = threading.Event(), threading.Event()
    outcome: List[Tuple[object, int, str]] = []
    interrupted: Optional[BaseException] = None
    try:
        _search(lib, lambda: lib.VasqOpenDevice(port, milliseconds), started, finished, outcome)
    except BaseException as error:  # noqa: B036 - an interrupt while the helper starts: it may run all the same
        interrupted = error
        if not started.wait(1.0):
            raise
    while not finished.is_set():
        try:
            finished.wait(_INTERRUPT_POLL)
        except BaseException as error:  # noqa: B036 - raised once the search has ended, see below
            interrupted = interrupted or error
    handle, code, reason = outcome[0] if outcome else (None, ErrorCode.SYSTEM, "the search ended unexpectedly")
    if interrupted is not None:
        if handle:
            lib.VasqCloseDevice(handle)
        raise interrupted
    if not handle:
        raise _search_error(code, reason)
    calls = _DeviceCalls(lib, handle)
    device = Device(lib, calls)
    _opened_devices.add(device)
    # Before the port is read: a loss from then on reaches the Device.
    connection = calls.callback("connection", device._until_closed(device._connection_changed))
    device._alive["connection"] = [connection]
    lib.VasqDeviceSetConnectionCallback(handle, connection, None)
    if calls.port() < 0:
        device._lost = True
    unit = calls.VasqGetPressureUnit()
    if lib.VasqGetLastError() == ErrorCode.NONE:
        device._digits = _DIGITS[Unit(unit)]
        device._unit = Unit(unit)
    return device
