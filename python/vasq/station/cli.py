"""vasq-station: checks of blood-pressure monitors with a Vasq9, their results and reports."""
from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
from typing import Dict, List, Optional, Sequence, TextIO, Tuple

from . import __version__
from . import config as _config
from . import export as _export
from . import procedure as _procedure
from .readings import CommandSource, FileSource, PromptSource, Readings, ReadingSource
from .runner import ABORTED, EXIT_LOST, Run, RunEvent, limit_text, step_dict

EXIT_OK, EXIT_FAIL, EXIT_USAGE, EXIT_NO_INSTRUMENT, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
_DUT_KEY = "^[a-z][a-z0-9_]{0,31}$"


class UsageError(Exception):
    """Exit status 2: nothing was sent to an instrument."""


class _Grouped(argparse.Action):
    """An option that belongs to the last --serial before it (or to every instrument when none is before it)."""

    def __call__(self, parser, namespace, values, option_string=None):
        group = len(getattr(namespace, "serial", None) or [])
        items = list(getattr(namespace, self.dest, None) or [])
        items.append((group, values))
        setattr(namespace, self.dest, items)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vasq-station",
        description="Checks blood-pressure monitors with a Vasq9: runs procedures of steps with limits, judges "
                    "each step, stores the results with the pressure traces, and writes reports and exports.",
        epilog="Exit status of run: 0 all steps passed, 1 a step failed or erred, 2 usage or procedure error "
               "(nothing sent), 3 no instrument or instrument lost, 130 interrupted (pressure released, run "
               "recorded as aborted). 'vasq-station COMMAND --help' explains each command.")
    parser.add_argument("--version", action="version", version=f"vasq-station {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def database(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--db", metavar="URL", help="sqlite:///PATH or postgresql://... (default: the station "
                                                     "file's, $VASQ_STATION_DB, else a SQLite file in the "
                                                     "user's data folder)")
        sub.add_argument("--station", metavar="FILE", help="the station file (default: "
                                                           "~/.config/vasq-station/station.yaml if there is one)")

    sub = commands.add_parser("procedures", help="list the shipped procedures and your own")
    sub.add_argument("--json", action="store_true", help="as a JSON array")

    sub = commands.add_parser("check", help="check a procedure file without running it")
    sub.add_argument("procedure", metavar="PROCEDURE", help="a file or a shipped name")

    commands.add_parser("schema", help="print the JSON Schema of procedure files")

    sub = commands.add_parser(
        "run", help="run a procedure on one instrument or several",
        description="Runs a procedure, prints each step as it ends and the verdict, and stores the run. Options "
                    "after a --serial (--dut, --readings, --reading-command) are that instrument's; before any "
                    "--serial, every instrument's.")
    sub.add_argument("procedure", metavar="PROCEDURE", help="a file or a shipped name (see 'procedures')")
    where = sub.add_mutually_exclusive_group()
    where.add_argument("--port", type=int, metavar="N", help="the instrument on ttyACM<N>")
    where.add_argument("--serial", action="append", metavar="SN",
                       help="the instrument with this serial number; repeat for several at once")
    sub.add_argument("--dut", action=_Grouped, metavar="KEY=VALUE", default=[],
                     help="a field of the monitor under test (model, serial, asset, ...); repeatable")
    sub.add_argument("--reading-command", action=_Grouped, metavar="CMD", default=[],
                     help="shell command that prints each reading of the monitor as JSON (see the manual)")
    sub.add_argument("--readings", action=_Grouped, metavar="FILE", default=[],
                     help="the monitor's readings as JSON, by step id")
    sub.add_argument("--reading-timeout", type=float, default=120.0, metavar="SECONDS",
                     help="how long the reading command may take (default 120)")
    sub.add_argument("--technician", metavar="NAME", help="who runs the check")
    sub.add_argument("--corrects", type=int, metavar="RUN", help="the stored run this run corrects")
    sub.add_argument("--junit", metavar="FILE", help="write JUnit XML of the run(s)")
    sub.add_argument("--json", action="store_true", help="JSON lines: each step as it ends, then each run")
    sub.add_argument("--timeout", type=float, default=5.0, metavar="SECONDS",
                     help="how long to look for the instruments (default 5)")
    sub.add_argument("--device-folder", help=argparse.SUPPRESS)
    database(sub)

    sub = commands.add_parser(
        "serve", help="serve the station's web page and its JSON API",
        description="Serves a web page with a tile per instrument (its live pressure, a static pressure from the "
                    "tile), runs with their prompts and verdicts, and the results with their reports; and the JSON "
                    "API the page uses (described at /api/openapi.json). Bound to 127.0.0.1 unless --bind names "
                    "another address, which needs --token-file. SIGTERM, SIGINT or SIGHUP stop every run (recorded "
                    "as aborted) and release every pressure; the exit status is then 0.")
    sub.add_argument("--bind", default="127.0.0.1", metavar="ADDR",
                     help="the address to listen on (default 127.0.0.1; any other needs --token-file)")
    sub.add_argument("--http-port", type=int, default=None, metavar="N",
                     help="the TCP port (default 8470; 0: any free one, said at start)")
    sub.add_argument("--serial", action="append", metavar="SN",
                     help="serve the instrument with this serial number; repeatable (default: every one found)")
    sub.add_argument("--token-file", metavar="FILE",
                     help="a file holding the token that API requests must bear (Authorization: Bearer TOKEN)")
    sub.add_argument("--timeout", type=float, default=5.0, metavar="SECONDS",
                     help="how long to look for the instruments (default 5)")
    sub.add_argument("--stream-seconds", type=float, default=30.0, help=argparse.SUPPRESS)
    sub.add_argument("--device-folder", help=argparse.SUPPRESS)
    database(sub)

    sub = commands.add_parser("history", help="list stored runs, newest first")
    sub.add_argument("--asset", metavar="X", help="the monitor's asset number")
    sub.add_argument("--serial", metavar="SN", help="the monitor's or the instrument's serial number")
    sub.add_argument("--since", metavar="DATE", help="runs started on or after DATE (YYYY-MM-DD[THH:MM])")
    sub.add_argument("--limit", type=int, default=100, metavar="N", help="at most N runs (default 100, 0: all)")
    sub.add_argument("--json", action="store_true", help="as a JSON array")
    database(sub)

    sub = commands.add_parser("trend", help="how a monitor model does on a step over the stored runs")
    sub.add_argument("--model", required=True, metavar="M")
    sub.add_argument("--step", required=True, metavar="ID")
    sub.add_argument("--json", action="store_true")
    database(sub)

    sub = commands.add_parser("export", help="write runs and steps for an asset-management system")
    sub.add_argument("--since", required=True, metavar="DATE")
    sub.add_argument("--format", required=True, choices=("csv", "json"))
    sub.add_argument("--output", metavar="FILE", help="default: standard output")
    database(sub)

    sub = commands.add_parser("report", help="the service report of a stored run")
    sub.add_argument("run", type=int, metavar="RUN", help="the run's id (see 'history')")
    form = sub.add_mutually_exclusive_group(required=True)
    form.add_argument("--html", metavar="FILE")
    form.add_argument("--pdf", metavar="FILE")
    database(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _COMMANDS[args.command](args)
    except UsageError as error:
        print(f"vasq-station: {error}", file=sys.stderr)
        return EXIT_USAGE
    except (_procedure.ProcedureError, _config.ConfigError) as error:
        print(f"vasq-station: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("vasq-station: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as error:  # noqa: BLE001 - a database's own failures, said in one line
        if type(error).__module__.split(".")[0] not in ("sqlite3", "psycopg"):
            raise
        print(f"vasq-station: results store: {str(error).strip()}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        return EXIT_OK


# -- commands without an instrument

def _procedures(args) -> int:
    listed = [describe_procedure(name, path) for name, path in _procedure.available().items()]
    if args.json:
        print(json.dumps(listed, indent=1))
    else:
        for item in listed:
            mine = "" if item["source"] == "shipped" else f"  [{item['file']}]"
            if "error" in item:
                print(f"{item['name']:<14} does not check: {item['error']}")
                continue
            print(f"{item['name']:<14} {item['version']:<6} {item['unit']:<5} {item['title']} "
                  f"({len(item['steps'])} steps){mine}")
    return EXIT_OK


def describe_procedure(name: str, path: str) -> Dict[str, object]:
    """A procedure as listings show it; one whose file does not check has its reason as "error"."""
    item: Dict[str, object] = {"name": name, "file": path,
                               "source": "shipped" if _procedure.is_shipped(path) else "user"}
    try:
        p = _procedure.load(path)
    except _procedure.ProcedureError as error:
        item["error"] = str(error)
        return item
    item.update(title=p.title, version=p.version, unit=p.unit, steps=[s.id for s in p.steps])
    return item


def _check(args) -> int:
    p = _procedure.load(args.procedure)
    print(f"{p.source}: {p.title}, version {p.version}, {len(p.steps)} steps: "
          f"{', '.join(f'{s.id} ({s.kind})' for s in p.steps)}")
    return EXIT_OK


def _schema(args) -> int:
    print(json.dumps(_procedure.schema(), indent=2))
    return EXIT_OK


def _store(args, station: _config.StationConfig):
    from .store import StoreError, open_store
    try:
        return open_store(args.db or station.database)
    except StoreError as error:
        raise UsageError(f"results store: {error}") from None


def _since(args) -> Optional[str]:
    from .store import parse_since
    try:
        return parse_since(args.since) if args.since else None
    except ValueError as error:
        raise UsageError(f"--since: {error}") from None


def _history(args) -> int:
    station = _config.load(args.station)
    since = _since(args)
    with _store(args, station) as store:
        runs = store.history(asset=args.asset, serial=args.serial, since=since, limit=args.limit or None)
    if args.json:
        print(json.dumps(runs, indent=1))
        return EXIT_OK
    if not runs:
        print("no runs")
        return EXIT_OK
    print(f"{'id':>6}  {'started (UTC)':<19}  {'procedure':<16} {'verdict':<10} {'station':<14} monitor")
    for run in runs:
        dut = run["dut"]
        monitor = " / ".join(str(dut.get(k, "-")) for k in ("model", "serial", "asset"))
        flag = "  CALIBRATION OVERDUE" if run["instrument"]["calibration_overdue"] else ""
        print(f"{run['id']:>6}  {run['started'][:19].replace('T', ' '):<19}  {run['procedure']:<16} "
              f"{run['verdict']:<10} {run['station']:<14} {monitor}{flag}")
    return EXIT_OK


def _trend(args) -> int:
    station = _config.load(args.station)
    with _store(args, station) as store:
        rows = store.trend(args.model, args.step)
    if args.json:
        print(json.dumps(rows, indent=1))
        return EXIT_OK
    if not rows:
        print(f"no stored runs of model {args.model} with step {args.step}")
        return EXIT_OK
    print(f"model {args.model}, step {args.step}")
    print(f"  {'quantity':<20} {'point':<10} {'count':>5} {'mean':>9} {'spread':>9}")
    for row in rows:
        print(f"  {row['quantity']:<20} {row['point'] or '':<10} {row['count']:>5} {row['mean']:>+9.2f} "
              f"{row['spread']:>9.2f}")
    return EXIT_OK


def _export_runs(args) -> int:
    station = _config.load(args.station)
    since = _since(args)
    with _store(args, station) as store:
        runs = store.export(since)
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="") as out:
            (_export.write_csv if args.format == "csv" else _export.write_json)(runs, out)
        print(f"{len(runs)} runs written to {args.output}", file=sys.stderr)
    else:
        (_export.write_csv if args.format == "csv" else _export.write_json)(runs, sys.stdout)
    return EXIT_OK


def _report(args) -> int:
    from . import report
    station = _config.load(args.station)
    with _store(args, station) as store:
        try:
            run = store.run(args.run, traces=True)
        except KeyError:
            raise UsageError(f"no run {args.run} in {store.url}") from None
    if args.html:
        with open(args.html, "w", encoding="utf-8") as out:
            out.write(report.html(run))
        print(f"report of run {args.run} written to {args.html}", file=sys.stderr)
    else:
        report.pdf(run, args.pdf)
        print(f"report of run {args.run} written to {args.pdf}", file=sys.stderr)
    return EXIT_OK


# -- run

class _Plan:
    """What runs on one instrument."""

    def __init__(self, serial: Optional[str]) -> None:
        self.serial = serial
        self.dut: Dict[str, str] = {}
        self.sources: List[ReadingSource] = []
        self.commands: List[str] = []
        self.files: List[str] = []


def _dut_field(text: str) -> Tuple[str, str]:
    import re
    key, sep, value = text.partition("=")
    if not sep or not re.match(_DUT_KEY, key):
        raise UsageError(f"--dut {text!r}: give KEY=VALUE, KEY in lower case letters, digits and _")
    if not value.strip():
        raise UsageError(f"--dut {text!r}: the value is empty")
    return key, value.strip()


def _plans(args, station: _config.StationConfig) -> List[_Plan]:
    serials = args.serial or []
    if serials and len(set(serials)) != len(serials):
        raise UsageError("an instrument is named twice with --serial")
    plans: List[_Plan] = []
    if serials:
        plans = [_Plan(serial) for serial in serials]
    elif args.station and station.instruments and args.port is None:
        for entry in station.instruments:
            plan = _Plan(entry.serial)
            plan.dut.update(entry.dut)
            if entry.reading_command:
                plan.commands.append(entry.reading_command)
            if entry.readings:
                plan.files.append(entry.readings)
            plans.append(plan)
    else:
        plans = [_Plan(None)]
    # What follows a --serial is that instrument's and overrides what is given for all.
    for group in range(len(serials) + 1):
        targets = plans if group == 0 else [plans[group - 1]]
        for option in ("dut", "reading_command", "readings"):
            values = [value for g, value in getattr(args, option) if g == group]
            if option != "dut" and len(values) > 1:
                raise UsageError(f"--{option.replace('_', '-')} is given twice for "
                                 f"{serials[group - 1] if group else 'every instrument'}")
            for plan in targets:
                if option == "dut":
                    plan.dut.update(_dut_field(value) for value in values)
                elif values:
                    setattr(plan, "commands" if option == "reading_command" else "files", values)
    for plan in plans:
        if plan.commands:
            plan.sources.append(CommandSource(plan.commands[0], args.reading_timeout))
        if plan.files:
            try:
                plan.sources.append(FileSource(plan.files[0]))
            except ValueError as error:
                raise UsageError(f"--readings {error}") from None
        plan.sources.append(PromptSource())
    return plans


class _Printer:
    """Prints each step as it ends and each run's verdict, as text or JSON lines."""

    def __init__(self, as_json: bool, several: bool, out: TextIO = sys.stdout) -> None:
        self.as_json, self.several, self.out = as_json, several, out
        self._lock = threading.Lock()

    def _print(self, text: str) -> None:
        with self._lock:
            self.out.write(text + "\n")
            self.out.flush()

    def __call__(self, event: RunEvent) -> None:
        run = event.run
        prefix = f"[{run.instrument.serial}] " if self.several else ""
        unit = run.procedure.unit
        if event.kind == "run-started":
            if self.as_json:
                return
            dut = ", ".join(f"{k} {v}" for k, v in run.dut.items()) or "not described (--dut)"
            self._print(f"{prefix}run {run.id if run.id is not None else '-'}: {run.procedure.title} "
                        f"({run.procedure.name} {run.procedure.version}) on {run.instrument.serial}; monitor: {dut}")
            calibration = run.instrument.calibration
            if calibration.overdue():
                self._print(f"{prefix}warning: the simulator's calibration was due {calibration.due.isoformat()}: "
                            f"CALIBRATION OVERDUE")
        elif event.kind == "step-ended":
            result = event.result
            if self.as_json:
                self._print(json.dumps({"event": "step", "run": run.id, "instrument": run.instrument.serial,
                                        **step_dict(result)}))
                return
            why = f": {result.reason}" if result.reason and result.verdict != "pass" else ""
            self._print(f"{prefix}{result.verdict.upper():<7} {result.step_id:<16} {result.name}{why}")
            for m in result.measurements:
                limits = limit_text(m.low, m.high)
                what = m.quantity + (f" at {m.point}" if m.point else "")
                if m.quantity == "answer":
                    line = f"answered {'yes' if m.measured else 'no'}, expected {'yes' if m.expected else 'no'}"
                else:
                    line = (f"expected {_num(m.expected)}, measured {_num(m.measured)}, judged {_num(m.value)}"
                            f"{' ' + unit if m.quantity != 'heart rate' else ' bpm'}, limit {limits}")
                self._print(f"{prefix}        {m.verdict.upper():<5} {what}: {line}"
                            + (f" ({m.note})" if m.note else ""))
        elif event.kind == "run-ended":
            if self.as_json:
                self._print(json.dumps({"event": "run", **run.describe()}))
                return
            self._print(f"{prefix}verdict: {run.verdict.upper()}: {run.reason}"
                        + (f" (run {run.id})" if run.id is not None else ""))


def _num(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:g}"


def _run(args) -> int:
    from .instrument import NoInstrument, open_instruments
    from . import junit

    procedure = _procedure.load(args.procedure)
    station = _config.load(args.station)
    if args.reading_timeout <= 0:
        raise UsageError("--reading-timeout must be above 0")
    plans = _plans(args, station)
    technician = args.technician or station.technician
    store = _store(args, station)
    try:
        if args.corrects is not None and not store.history_has(args.corrects):
            raise UsageError(f"--corrects {args.corrects}: no such run in {store.url}")
        import vasq
        if args.device_folder:
            from vasq.testing import set_device_folder
            set_device_folder(args.device_folder)
        try:
            serials = [plan.serial for plan in plans if plan.serial]
            instruments = open_instruments(serials, args.port, args.timeout, station.calibrations())
        except (NoInstrument, vasq.VasqError) as error:
            print(f"vasq-station: no instrument: {error}", file=sys.stderr)
            return EXIT_NO_INSTRUMENT
        printer = _Printer(args.json, len(instruments) > 1)
        runs = []
        for plan, instrument in zip(plans, instruments):
            run = Run(procedure, instrument, Readings(plan.sources), dut=plan.dut, technician=technician or "",
                      station=station.station, site=station.site, store=store, corrects=args.corrects)
            run.subscribe(printer)
            runs.append(run)
        interrupted: List[str] = []

        def on_signal(number, _frame) -> None:
            name = signal.Signals(number).name
            interrupted.append(name)
            for run in runs:
                run.stop(f"interrupted by {name}")

        previous = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        try:
            for run in runs:
                run.start()
            for run in runs:
                while not run.wait(0.5):
                    pass
        finally:
            for number, handler in previous.items():
                signal.signal(number, handler)
            for instrument in instruments:
                instrument.close()
        if args.junit:
            junit.write(args.junit, [run.describe() for run in runs])
        statuses = [run.exit_status for run in runs]
        if interrupted or any(run.verdict == ABORTED for run in runs):
            return EXIT_INTERRUPTED
        if EXIT_LOST in statuses:
            return EXIT_LOST
        return max(statuses)
    finally:
        store.close()


# -- serve

def _serve(args) -> int:
    import asyncio
    from . import server
    from .instrument import NoInstrument
    from .live import Bench, open_all

    station = _config.load(args.station)
    port = server.DEFAULT_PORT if args.http_port is None else args.http_port
    if not 0 <= port <= 65535:
        raise UsageError(f"--http-port {port}: a port is 0 to 65535")
    if args.serial and len(set(args.serial)) != len(args.serial):
        raise UsageError("an instrument is named twice with --serial")
    if args.stream_seconds < 1:
        raise UsageError("--stream-seconds must be at least 1")
    try:
        token = server.read_token(args.token_file) if args.token_file else None
        loopback = server.is_loopback(args.bind)
        if not loopback and token is None:
            raise UsageError(f"--bind {args.bind}: any address but 127.0.0.1 needs --token-file, so that only "
                             f"people with the token can steer the instruments")
        sock = server.listen(args.bind, port)
    except server.SetupError as error:
        raise UsageError(str(error)) from None
    try:
        store = _store(args, station)
        try:
            import vasq
            if args.device_folder:
                from vasq.testing import set_device_folder
                set_device_folder(args.device_folder)
            try:
                instruments = open_all(args.serial or [], args.timeout, station.calibrations())
            except (NoInstrument, vasq.VasqError) as error:
                print(f"vasq-station: no instrument: {error}", file=sys.stderr)
                return EXIT_NO_INSTRUMENT
            bench = Bench(instruments, store, station, stream_seconds=args.stream_seconds)

            def announce(url: str) -> None:
                names = ", ".join(bench.tiles)
                print(f"vasq-station: serving {url} with {len(bench.tiles)} instrument"
                      f"{'s' if len(bench.tiles) != 1 else ''} ({names}); results in {store.url}", flush=True)
            try:
                name = asyncio.run(server.serve(bench, sock, token, loopback and token is None, announce))
            finally:
                bench.shutdown("the station stopped")
            print(f"vasq-station: stopped by {name}: every test stopped, every pressure released", flush=True)
            return EXIT_OK
        finally:
            store.close()
    finally:
        sock.close()


def run_main() -> None:
    """The installed program's entry point."""
    sys.exit(main())


_COMMANDS = {"procedures": _procedures, "check": _check, "schema": _schema, "run": _run, "serve": _serve,
             "history": _history, "trend": _trend, "export": _export_runs, "report": _report}
