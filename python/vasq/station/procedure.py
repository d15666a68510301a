"""Procedures: YAML files checked against the published JSON Schema, then against the instrument's limits.

Every error names the file, the line and the key, and comes before anything is sent to an instrument.
"""
from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA_PATH = os.path.join(HERE, "procedure.schema.json")
SHIPPED_FOLDER = os.path.join(HERE, "procedures")

# The instrument's limits by unit (lower, upper): what it would otherwise clamp silently, so that a step would be
# judged against a set point the instrument never used.
_LIMITS = {
    "mmHg": {"static": (20.0, 400.0), "second": (2.0, 400.0), "third": (20.0, 400.0), "systolic": (5.0, 320.0),
             "diastolic": (0.0, 270.0), "envelope": (0.0, 359.0)},
    "kPa": {"static": (2.7, 53.3), "second": (0.2, 53.3), "third": (2.6, 53.3), "systolic": (0.6, 42.66),
            "diastolic": (0.0, 35.99), "envelope": (0.0, 47.9)},
}
# Set points the instrument takes: whole mmHg, tenths of a kPa.
_SET_POINT_DIGITS = {"mmHg": 0, "kPa": 1}
DEFAULTS = {
    "static": {"settle": 5.0, "timeout": 120.0},
    "leak": {"rate": 0.0},
    "overpressure": {"flag": True, "timeout": 180.0},
    "bp": {"patient": "adult", "pulse_volume": 1.0, "repeats": 1, "timeout": 300.0},
    "operator-check": {"expect": True},
}


class ProcedureError(Exception):
    """A procedure that cannot run: names the file, the line and the key."""

    def __init__(self, source: str, line: Optional[int], key: str, message: str) -> None:
        self.source, self.line, self.key, self.message = source, line, key, message
        where = f"{source}:{line}" if line else source
        super().__init__(f"{where}: {key + ': ' if key else ''}{message}")


@dataclass(frozen=True)
class Step:
    id: str
    kind: str
    name: str
    # The step's fields as written, with the defaults filled in.
    fields: Dict[str, Any]
    line: int

    def __getitem__(self, key: str) -> Any:
        return self.fields[key]

    def get(self, key: str, default: Any = None) -> Any:
        return self.fields.get(key, default)


@dataclass(frozen=True)
class Procedure:
    name: str          # the shipped name or the file's name without .yaml
    title: str
    version: str
    unit: str
    description: str
    steps: Tuple[Step, ...]
    text: str
    source: str
    sha256: str = field(default="")

    def step(self, step_id: str) -> Step:
        for step in self.steps:
            if step.id == step_id:
                return step
        raise KeyError(step_id)


def schema() -> Dict[str, Any]:
    with open(SCHEMA_PATH, encoding="utf-8") as f:
        return json.load(f)


def shipped() -> List[str]:
    """The names of the procedures shipped with the station."""
    return sorted(name[:-5] for name in os.listdir(SHIPPED_FOLDER) if name.endswith(".yaml"))


def user_folder() -> str:
    """The folder of the user's own procedures: ~/.config/vasq-station/procedures."""
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "vasq-station", "procedures")


def available() -> Dict[str, str]:
    """Every procedure known by name, name to file: the shipped ones, and the user's own (NAME.yaml in
    user_folder()), which take the place of a shipped one of the same name."""
    found = {name: os.path.join(SHIPPED_FOLDER, name + ".yaml") for name in shipped()}
    try:
        names = sorted(os.listdir(user_folder()))
    except OSError:
        names = []
    for name in names:
        path = os.path.join(user_folder(), name)
        if name.endswith(".yaml") and not name.startswith(".") and os.path.isfile(path):
            found[name[:-5]] = path
    return dict(sorted(found.items()))


def resolve(name_or_path: str) -> str:
    """The file of a procedure given as a path or by name (the user's own, or a shipped one)."""
    if os.path.isfile(name_or_path):
        return name_or_path
    known = available()
    if os.sep not in name_or_path and name_or_path in known:
        return known[name_or_path]
    raise ProcedureError(name_or_path, None, "",
                         f"no such file, nor a procedure of that name (shipped: {', '.join(shipped())}; yours, "
                         f"in {user_folder()}: {', '.join(n for n, p in known.items() if not is_shipped(p)) or 'none'})")


def is_shipped(path: str) -> bool:
    return os.path.dirname(os.path.abspath(path)) == SHIPPED_FOLDER


def load(name_or_path: str) -> Procedure:
    """Reads and checks a procedure; raises ProcedureError."""
    path = resolve(name_or_path)
    try:
        with open(path, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise ProcedureError(path, None, "", f"cannot read: {error}") from None
    shipped_path = is_shipped(path)
    name = os.path.basename(path)
    for suffix in (".yaml", ".yml"):
        if name.endswith(suffix):
            name = name[:-len(suffix)]
    return parse(text, path if not shipped_path else name, name, hashlib.sha256(raw).hexdigest())


def parse(text: str, source: str = "<procedure>", name: str = "procedure", sha256: str = "") -> Procedure:
    data, lines = _load_yaml(text, source)
    _check_schema(data, lines, source)
    unit = data["unit"]
    steps = []
    seen: Dict[str, int] = {}
    for index, raw in enumerate(data["steps"]):
        path = ("steps", index)
        where = _Where(source, lines, path)
        if raw["id"] in seen:
            where.fail("id", f"step id {raw['id']!r} is used twice (first at line {seen[raw['id']]})")
        seen[raw["id"]] = lines.get(path, 0)
        _check_limits(raw, unit, where)
        fields = dict(DEFAULTS.get(raw["kind"], {}))
        fields.update(raw)
        if raw["kind"] == "overpressure":
            fields.setdefault("second", raw["pressure"])
            fields.setdefault("third", raw["pressure"])
        if raw["kind"] == "leak" and "timeout" not in raw:
            fields["timeout"] = float(raw.get("duration", 60)) + 300.0
        steps.append(Step(raw["id"], raw["kind"], raw.get("name") or raw["id"], fields, lines.get(path, 0)))
    return Procedure(name=name, title=data["procedure"], version=data["version"], unit=unit,
                     description=data.get("description", ""), steps=tuple(steps), text=text, source=source,
                     sha256=sha256 or hashlib.sha256(text.encode("utf-8")).hexdigest())


def _key(path) -> str:
    out = ""
    for part in path:
        out += f"[{part}]" if isinstance(part, int) else (f".{part}" if out else str(part))
    return out


class _Where:
    def __init__(self, source: str, lines: Dict[tuple, int], path: tuple) -> None:
        self.source, self.lines, self.path = source, lines, path

    def fail(self, key, message: str) -> None:
        """key: a key of the step, or a path below it as a tuple."""
        path = self.path + (key if isinstance(key, tuple) else (key,) if key else ())
        raise ProcedureError(self.source, _line(self.lines, path), _key(path), message)


def _line(lines: Dict[tuple, int], path: tuple) -> Optional[int]:
    path = tuple(path)
    while path not in lines and path:
        path = path[:-1]
    return lines.get(path)


def _load_yaml(text: str, source: str) -> Tuple[Any, Dict[tuple, int]]:
    loader = yaml.SafeLoader(text)
    try:
        node = loader.get_single_node()
        if node is None:
            raise ProcedureError(source, 1, "", "the file is empty")
        lines: Dict[tuple, int] = {}
        _walk(node, (), lines, source)
        data = loader.construct_document(node)
    except yaml.MarkedYAMLError as error:
        mark = error.problem_mark or error.context_mark
        raise ProcedureError(source, mark.line + 1 if mark else None, "",
                             f"not valid YAML: {error.problem or error.context}") from None
    except yaml.YAMLError as error:
        raise ProcedureError(source, None, "", f"not valid YAML: {error}") from None
    finally:
        loader.dispose()
    return data, lines


def _walk(node, path: tuple, lines: Dict[tuple, int], source: str) -> None:
    lines[path] = node.start_mark.line + 1
    if isinstance(node, yaml.MappingNode):
        keys = set()
        for key_node, value_node in node.value:
            key = key_node.value
            if key in keys:
                raise ProcedureError(source, key_node.start_mark.line + 1, _key(path + (key,)),
                                     "the key is given twice")
            keys.add(key)
            _walk(value_node, path + (key,), lines, source)
            lines[path + (key,)] = key_node.start_mark.line + 1
    elif isinstance(node, yaml.SequenceNode):
        for index, item in enumerate(node.value):
            _walk(item, path + (index,), lines, source)


def _check_schema(data: Any, lines: Dict[tuple, int], source: str) -> None:
    import jsonschema

    validator = jsonschema.Draft202012Validator(schema())
    errors = list(validator.iter_errors(data))
    if not errors:
        return
    # The deepest error says most; with several at one depth, the first in the file.
    error = max(errors, key=lambda e: (len(e.absolute_path), -(_line(lines, tuple(e.absolute_path)) or 0)))
    one_of = error.validator == "oneOf" and all("required" in option for option in error.schema["oneOf"])
    while error.context and not one_of:
        error = max(error.context, key=lambda e: len(e.absolute_path))
        one_of = error.validator == "oneOf" and all("required" in option for option in error.schema["oneOf"])
    path = tuple(error.absolute_path)
    message = error.message
    if one_of:
        choices = " or ".join(repr(option["required"][0]) for option in error.schema["oneOf"])
        message = f"give exactly one of {choices}"
    elif error.validator == "additionalProperties":
        extra = sorted(set(error.instance) - set(error.schema.get("properties", {})))
        if extra:
            path = path + (extra[0],)
            message = f"unknown key {extra[0]!r}"
    elif error.validator == "required":
        message = error.message.replace("is a required property", "is missing")
    raise ProcedureError(source, _line(lines, path), _key(path), message)


def _check_limits(step: Dict[str, Any], unit: str, where: _Where) -> None:
    limits = _LIMITS[unit]
    digits = _SET_POINT_DIGITS[unit]
    resolution = "whole mmHg" if digits == 0 else "tenths of a kPa"

    def within(key, value: float, kind: str, set_point: bool = True) -> None:
        low, high = limits[kind]
        if not low <= value <= high:
            where.fail(key, f"{value:g} {unit} is outside the instrument's range {low:g} to {high:g} {unit}")
        if set_point and round(value, digits) != value:
            where.fail(key, f"{value:g} {unit}: the instrument takes set points in {resolution}")

    kind = step["kind"]
    if kind == "static":
        for index, point in enumerate(step["points"]):
            within(("points", index), point, "static")
    elif kind == "leak":
        within("pressure", step["pressure"], "static")
    elif kind == "overpressure":
        within("pressure", step["pressure"], "static")
        for key in ("second", "third"):
            if key in step:
                within(key, step[key], key)
        if step["limits"]["min"] > step["limits"]["max"]:
            where.fail("limits", "min is above max")
    elif kind == "bp":
        within("systolic", step["systolic"], "systolic", set_point=False)
        within("diastolic", step["diastolic"], "diastolic", set_point=False)
        if step["diastolic"] >= step["systolic"]:
            where.fail("diastolic", "must be below systolic")
        for key, value in step.get("envelope", {}).items():
            if key.endswith("_pressure"):
                within(("envelope", key), value, "envelope", set_point=False)
