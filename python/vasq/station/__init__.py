"""The test station: checks of blood-pressure monitors with a Vasq9.

Procedures (YAML, checked against a JSON Schema) of steps with limits run on an instrument; each step is judged
from the instrument's results and the monitor's readings; runs are stored append-only with the pressure trace of
every step (SQLite or PostgreSQL) and reported as HTML or PDF. The command line is `vasq-station` (or
`python3 -m vasq.station`); everything it does, a script can do with these modules:

    from vasq.station import procedure, readings, instrument, runner, store
    p = procedure.load("adult-pm")
    with store.open_store("sqlite:///results.sqlite") as db:
        [inst] = instrument.open_instruments()
        run = runner.Run(p, inst, readings.Readings([readings.CommandSource("./read-monitor")]), store=db)
        run.execute()
"""
from vasq import __version__

__all__ = ["__version__"]
