"""The station's configuration file: its name and site, the database, and its instruments (calibration due dates,
and for a station file given to `run`, the monitor and the readings of each)."""
from __future__ import annotations

import datetime
import os
import socket
from dataclasses import dataclass, field
from typing import Dict, List, Optional

from . import procedure as _procedure
from .instrument import Calibration

_SCHEMA = {
    "type": "object",
    "additionalProperties": False,
    "properties": {
        "station": {"type": "string", "minLength": 1},
        "site": {"type": "string"},
        "technician": {"type": "string"},
        "database": {"type": "string", "minLength": 1},
        "instruments": {
            "type": "array",
            "items": {
                "type": "object",
                "additionalProperties": False,
                "required": ["serial"],
                "properties": {
                    "serial": {"type": "string", "minLength": 1},
                    "calibration_due": {"type": "string", "format": "date",
                                        "pattern": r"^\d{4}-\d{2}-\d{2}$"},
                    "dut": {"type": "object", "additionalProperties": {"type": ["string", "number"]}},
                    "readings": {"type": "string"},
                    "reading_command": {"type": "string"},
                },
            },
        },
    },
}


class ConfigError(Exception):
    pass


@dataclass
class InstrumentEntry:
    serial: str
    calibration_due: Optional[datetime.date] = None
    dut: Dict[str, str] = field(default_factory=dict)
    readings: Optional[str] = None
    reading_command: Optional[str] = None


@dataclass
class StationConfig:
    station: str = ""
    site: str = ""
    technician: str = ""
    database: Optional[str] = None
    instruments: List[InstrumentEntry] = field(default_factory=list)
    source: str = ""

    def calibrations(self) -> Dict[str, Calibration]:
        return {entry.serial: Calibration(entry.calibration_due) for entry in self.instruments}


def default_path() -> str:
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "vasq-station", "station.yaml")


def load(path: Optional[str] = None) -> StationConfig:
    """The station file at path, or the default configuration file if there is one."""
    explicit = path is not None
    path = path or default_path()
    if not os.path.exists(path):
        if explicit:
            raise ConfigError(f"{path}: no such file")
        return StationConfig(station=socket.gethostname())
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as error:
        raise ConfigError(f"{path}: cannot read: {error}") from None
    import jsonschema
    try:
        data, lines = _procedure._load_yaml(text, path)
    except _procedure.ProcedureError as error:
        raise ConfigError(str(error)) from None
    # An unquoted date in YAML is a date already.
    for item in (data.get("instruments") or []) if isinstance(data, dict) else []:
        if isinstance(item, dict) and isinstance(item.get("calibration_due"), datetime.date):
            item["calibration_due"] = item["calibration_due"].isoformat()
    for error in jsonschema.Draft202012Validator(_SCHEMA).iter_errors(data):
        where = tuple(error.absolute_path)
        raise ConfigError(f"{path}:{_procedure._line(lines, where)}: {_procedure._key(where) or 'file'}: "
                          f"{error.message}")
    base = os.path.dirname(os.path.abspath(path))
    config = StationConfig(station=data.get("station") or socket.gethostname(), site=data.get("site", ""),
                           technician=data.get("technician", ""), database=data.get("database"), source=path)
    for index, item in enumerate(data.get("instruments", [])):
        due = None
        if "calibration_due" in item:
            try:
                due = datetime.date.fromisoformat(item["calibration_due"])
            except ValueError:
                raise ConfigError(f"{path}:{_procedure._line(lines, ('instruments', index, 'calibration_due'))}: "
                                  f"instruments[{index}].calibration_due: not a date") from None
        readings = item.get("readings")
        if readings is not None and not os.path.isabs(readings):
            readings = os.path.join(base, readings)
        config.instruments.append(InstrumentEntry(item["serial"], due, {k: str(v) for k, v in item.get("dut",
                                                                                                    {}).items()},
                                                  readings, item.get("reading_command")))
    serials = [entry.serial for entry in config.instruments]
    if len(set(serials)) != len(serials):
        raise ConfigError(f"{path}: an instrument is listed twice")
    return config
