"""Service reports of stored runs: HTML, and PDF through WeasyPrint, with the pressure trace of each step."""
from __future__ import annotations

import datetime
import os
from typing import Any, Dict, Optional

import jinja2

from .plot import trace_svg
from .runner import limit_text

_TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")
PLOTTED = ("static", "leak", "overpressure", "bp")


def verdict_words(run: Dict[str, Any]) -> str:
    steps = run["steps"]
    verdict = run["verdict"]
    failed = [s["name"] for s in steps if s["verdict"] == "fail"]
    erred = [s["name"] for s in steps if s["verdict"] == "error"]
    if verdict == "pass":
        return f"PASSED: all {len(steps)} steps within their limits."
    if verdict == "fail":
        return f"FAILED: {len(failed)} of {len(steps)} steps outside their limits ({', '.join(failed)})."
    if verdict == "error":
        why = f" ({run['reason']})" if run.get("reason") else ""
        return f"NOT COMPLETED: {len(erred) or 'a'} step{'s' if len(erred) > 1 else ''} could not be judged{why}."
    if verdict == "aborted":
        return f"ABORTED: the run was stopped ({run.get('reason') or 'no reason given'}); no verdict on the monitor."
    return "INCOMPLETE: the run has no end recorded (it is running, or the station stopped)."


def _when(text: Optional[str]) -> str:
    if not text:
        return "—"
    moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def _number(value: Optional[float]) -> str:
    return "—" if value is None else f"{value:g}"


def _limits(m: Dict[str, Any]) -> str:
    if m["quantity"] == "answer":
        return "as expected"
    text = limit_text(m["low"], m["high"])
    return "—" if text == "none" else text


def _plot(step: Dict[str, Any], unit: str) -> Optional[Dict[str, Any]]:
    trace = step.get("trace")
    if step["kind"] not in PLOTTED or not trace:
        return None
    setpoints, limits = step["setpoints"], step["limits"]
    levels, band, caption, span = [], None, "", None
    if step["kind"] == "static":
        levels = [(p, f"{p:g}") for p in setpoints.get("points", [])]
        caption = "the held pressures, each released after the monitor's reading"
    elif step["kind"] == "leak":
        levels = [(setpoints["pressure"], f"test pressure {setpoints['pressure']:g}")]
        leak = step["results"].get("leak")
        caption = f"leak measured {leak:g} {unit}, limit {limits['max']:g} {unit}" if leak is not None else ""
        # Near the test pressure, where the fall shows: from the limit's worth below it to a little above.
        held = [v for v in trace["samples"] if v >= setpoints["pressure"] - 2 * max(limits["max"], 1.0)]
        if held:
            margin = max(limits["max"], 0.5)
            span = (min(min(held), setpoints["pressure"] - margin) - 0.2 * margin,
                    max(max(held), setpoints["pressure"]) + 0.4 * margin)
            caption += "; pressure axis near the test pressure"
    elif step["kind"] == "overpressure":
        band = (limits["min"], limits["max"])
        results = step["results"].get("results")
        caption = f"valve opened at {results[0]:g} {unit}; limits shaded" if results else "limits shaded"
    elif step["kind"] == "bp":
        levels = [(setpoints["systolic"], "systolic"), (setpoints["diastolic"], "diastolic")]
        caption = f"{setpoints['repeats']} simulated measurement(s) of {setpoints['systolic']:g}/" \
                  f"{setpoints['diastolic']:g} {unit}, {setpoints['heart_rate']} bpm"
    return {"step": step["step"], "name": step["name"], "kind": step["kind"], "verdict": step["verdict"],
            "caption": caption,
            "svg": trace_svg(trace["samples"], trace["rate"], unit, levels, band, step["name"], span)}


def html(run: Dict[str, Any]) -> str:
    """The report of a run as Store.run(id, traces=True) gives it."""
    environment = jinja2.Environment(loader=jinja2.FileSystemLoader(_TEMPLATES),
                                     autoescape=jinja2.select_autoescape(["html"]), undefined=jinja2.StrictUndefined)
    template = environment.get_template("report.html")
    plots = [p for p in (_plot(step, run["unit"]) for step in run["steps"]) if p]
    return template.render(run=run, plots=plots, verdict_words=verdict_words(run), started=_when(run["started"]),
                           ended=_when(run["ended"]), number=_number, limits=_limits)


def pdf(run: Dict[str, Any], path: str) -> None:
    import logging
    import weasyprint
    # WeasyPrint reports CSS it skips as warnings; the report's own CSS is known.
    logging.getLogger("weasyprint").setLevel(logging.ERROR)
    logging.getLogger("fontTools").setLevel(logging.ERROR)
    weasyprint.HTML(string=html(run), base_url=_TEMPLATES).write_pdf(path)
