"""Exports for an asset-management system: JSON (runs with their steps) or CSV (one row per step, the run's columns
repeated), and the readers that get the same runs back."""
from __future__ import annotations

import csv
import io
import json
from typing import Any, Dict, List, TextIO

FORMAT = "vasq-station-export"
VERSION = 1

# (column, where in the run or step, type): text, int, bool or json.
_RUN_COLUMNS = [
    ("run_id", "id", "int"), ("run_uid", "uid", "text"), ("started", "started", "text"),
    ("ended", "ended", "text"), ("procedure", "procedure", "text"), ("title", "title", "text"),
    ("version", "version", "text"), ("procedure_sha256", "procedure_sha256", "text"), ("unit", "unit", "text"),
    ("verdict", "verdict", "text"), ("reason", "reason", "text"), ("station", "station", "text"),
    ("site", "site", "text"), ("technician", "technician", "text"), ("dut", "dut", "json"),
    ("instrument_serial", "instrument.serial", "text"), ("instrument_firmware", "instrument.firmware", "text"),
    ("instrument_hardware", "instrument.hardware", "text"),
    ("calibration_due", "instrument.calibration_due", "text"),
    ("calibration_overdue", "instrument.calibration_overdue", "bool"),
    ("library_version", "library_version", "text"), ("station_version", "station_version", "text"),
    ("corrects", "corrects", "int"),
]
_STEP_COLUMNS = [
    ("step_position", "position", "int"), ("step", "step", "text"), ("kind", "kind", "text"),
    ("name", "name", "text"), ("step_started", "started", "text"), ("step_ended", "ended", "text"),
    ("step_verdict", "verdict", "text"), ("step_reason", "reason", "text"), ("setpoints", "setpoints", "json"),
    ("limits", "limits", "json"), ("readings", "readings", "json"), ("results", "results", "json"),
    ("measurements", "measurements", "json"),
]
COLUMNS = [c[0] for c in _RUN_COLUMNS + _STEP_COLUMNS]


def _get(record: Dict[str, Any], path: str) -> Any:
    for part in path.split("."):
        record = record[part]
    return record


def _put(record: Dict[str, Any], path: str, value: Any) -> None:
    parts = path.split(".")
    for part in parts[:-1]:
        record = record.setdefault(part, {})
    record[parts[-1]] = value


def _cell(value: Any, kind: str) -> str:
    if value is None:
        return ""
    if kind == "json":
        return json.dumps(value, sort_keys=True, allow_nan=False)
    if kind == "bool":
        return "true" if value else "false"
    if kind == "text" and value == "":
        raise ValueError("an empty text cannot be told from a missing one")
    return str(value)


def _value(cell: str, kind: str) -> Any:
    if cell == "":
        return None
    if kind == "json":
        return json.loads(cell)
    if kind == "int":
        return int(cell)
    if kind == "bool":
        if cell not in ("true", "false"):
            raise ValueError(f"not true or false: {cell!r}")
        return cell == "true"
    return cell


def write_json(runs: List[Dict[str, Any]], out: TextIO) -> None:
    json.dump({"format": FORMAT, "version": VERSION, "runs": runs}, out, indent=1, sort_keys=True, allow_nan=False)
    out.write("\n")


def read_json(source: TextIO) -> List[Dict[str, Any]]:
    data = json.load(source)
    if not isinstance(data, dict) or data.get("format") != FORMAT:
        raise ValueError("not a vasq-station export")
    if data.get("version") != VERSION:
        raise ValueError(f"export version {data.get('version')}, this station reads {VERSION}")
    return data["runs"]


def write_csv(runs: List[Dict[str, Any]], out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\r\n")
    writer.writerow(COLUMNS)
    for run in runs:
        head = [_cell(_get(run, path), kind) for _, path, kind in _RUN_COLUMNS]
        if not run["steps"]:
            writer.writerow(head + [""] * len(_STEP_COLUMNS))
        for step in run["steps"]:
            writer.writerow(head + [_cell(_get(step, path), kind) for _, path, kind in _STEP_COLUMNS])


def read_csv(source: TextIO) -> List[Dict[str, Any]]:
    reader = csv.reader(source)
    header = next(reader, None)
    if header != COLUMNS:
        raise ValueError("not a vasq-station CSV export (the header differs)")
    runs: Dict[str, Dict[str, Any]] = {}
    for row in reader:
        if len(row) != len(COLUMNS):
            raise ValueError(f"line {reader.line_num}: {len(row)} cells, not {len(COLUMNS)}")
        cells = dict(zip(COLUMNS, row))
        uid = cells["run_uid"]
        if uid not in runs:
            run: Dict[str, Any] = {}
            for name, path, kind in _RUN_COLUMNS:
                _put(run, path, _value(cells[name], kind))
            run["steps"] = []
            runs[uid] = run
        if cells["step_position"] != "":
            step: Dict[str, Any] = {}
            for name, path, kind in _STEP_COLUMNS:
                _put(step, path, _value(cells[name], kind))
            runs[uid]["steps"].append(step)
    return list(runs.values())


def dumps(runs: List[Dict[str, Any]], form: str) -> str:
    out = io.StringIO()
    (write_csv if form == "csv" else write_json)(runs, out)
    return out.getvalue()
