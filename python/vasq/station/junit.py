"""JUnit XML of runs: one test suite per run, one test case per step."""
from __future__ import annotations

import datetime
import xml.etree.ElementTree as ET
from typing import Any, Dict, Iterable

from .runner import ABORTED, ERROR, FAIL, NOT_RUN, PASS


def _seconds(start: str, end: str) -> float:
    if not start or not end:
        return 0.0
    parse = datetime.datetime.fromisoformat
    return max(0.0, (parse(end.replace("Z", "+00:00")) - parse(start.replace("Z", "+00:00"))).total_seconds())


def _details(step: Dict[str, Any], unit: str) -> str:
    lines = []
    for m in step["measurements"]:
        limits = f"[{'' if m['low'] is None else m['low']:}, {'' if m['high'] is None else m['high']}]"
        lines.append(f"{m['quantity']}{' at ' + m['point'] if m['point'] else ''}: expected {m['expected']}, "
                     f"measured {m['measured']}, judged {m['value']} within {limits} {unit}: {m['verdict']}"
                     + (f" ({m['note']})" if m.get("note") else ""))
    return "\n".join(lines)


def document(runs: Iterable[Dict[str, Any]]) -> ET.ElementTree:
    """runs as Run.describe() gives them."""
    root = ET.Element("testsuites", name="vasq-station")
    for run in runs:
        steps = run["steps"]
        suite = ET.SubElement(root, "testsuite", {
            "name": f"{run['procedure']} on {run['instrument']['serial']}",
            "tests": str(len(steps)),
            "failures": str(sum(s["verdict"] == FAIL for s in steps)),
            "errors": str(sum(s["verdict"] == ERROR for s in steps)),
            "skipped": str(sum(s["verdict"] in (NOT_RUN, ABORTED) for s in steps)),
            "time": f"{_seconds(run['started'], run['ended']):.3f}",
            "timestamp": run["started"].replace("Z", ""),
        })
        properties = ET.SubElement(suite, "properties")
        values = {"run": run["id"], "uid": run["uid"], "verdict": run["verdict"], "station": run["station"],
                  "procedure_version": run["version"], "instrument": run["instrument"]["serial"],
                  "calibration_overdue": run["instrument"]["calibration_overdue"]}
        values.update({f"dut.{k}": v for k, v in run["dut"].items()})
        for name, value in values.items():
            ET.SubElement(properties, "property", name=name, value="" if value is None else str(value))
        for step in steps:
            case = ET.SubElement(suite, "testcase", name=step["step"], classname=run["procedure"],
                                 time=f"{_seconds(step['started'], step['ended']):.3f}")
            details = _details(step, run["unit"])
            if step["verdict"] == FAIL:
                ET.SubElement(case, "failure", message=f"{step['name']}: outside the limits",
                              type="fail").text = details
            elif step["verdict"] == ERROR:
                ET.SubElement(case, "error", message=step["reason"] or "error", type="error").text = details
            elif step["verdict"] in (NOT_RUN, ABORTED):
                ET.SubElement(case, "skipped", message=step["verdict"] + (f": {step['reason']}" if step["reason"]
                                                                           else ""))
            elif step["verdict"] == PASS and details:
                ET.SubElement(case, "system-out").text = details
    ET.indent(root)
    return ET.ElementTree(root)


def write(path: str, runs: Iterable[Dict[str, Any]]) -> None:
    document(runs).write(path, encoding="utf-8", xml_declaration=True)
