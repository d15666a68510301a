"""The OpenAPI document of the station's API, served at /api/openapi.json."""
from __future__ import annotations

from typing import Any, Dict

from . import __version__


def _ref(name: str) -> Dict[str, str]:
    return {"$ref": f"#/components/schemas/{name}"}


def _json(schema: Dict[str, Any], description: str) -> Dict[str, Any]:
    return {"description": description, "content": {"application/json": {"schema": schema}}}


_ERRORS = {
    "400": {"$ref": "#/components/responses/BadRequest"},
    "401": {"$ref": "#/components/responses/Unauthorized"},
    "403": {"$ref": "#/components/responses/Forbidden"},
}
_NUMBER = {"type": "number"}
_TEXT = {"type": "string"}
_NULLABLE_TEXT = {"type": ["string", "null"]}
_NULLABLE_NUMBER = {"type": ["number", "null"]}
_VERDICT = {"type": "string", "enum": ["pass", "fail", "error", "aborted", "incomplete", "running"]}
_STEP_VERDICT = {"type": "string", "enum": ["pass", "fail", "error", "aborted", "not-run", "info"]}
_SERIAL = {"name": "serial", "in": "path", "required": True, "schema": {"type": "string"},
           "description": "the instrument's serial number"}
_RUN_ID = {"name": "id", "in": "path", "required": True, "schema": {"type": "integer", "minimum": 1},
           "description": "the run's id in the results store"}

SCHEMAS: Dict[str, Any] = {
    "Error": {"type": "object", "required": ["error"], "properties": {"error": _TEXT}},
    "Station": {
        "type": "object", "required": ["station", "version", "token_required", "instruments", "sample_rate"],
        "properties": {"station": _TEXT, "site": _TEXT, "technician": _TEXT, "version": _TEXT,
                       "token_required": {"type": "boolean"}, "instruments": {"type": "integer"},
                       "sample_rate": {"type": "integer"}}},
    "Activity": {
        "description": "What the instrument does for the station: a run, or a static pressure from its tile.",
        "type": ["object", "null"], "required": ["kind"],
        "properties": {"kind": {"type": "string", "enum": ["run", "static"]},
                       "run": {"type": ["integer", "null"]}, "procedure": _TEXT, "step": _NULLABLE_TEXT,
                       "step_name": _NULLABLE_TEXT, "set_point": {"type": ["object", "null"]},
                       "pressure": _NUMBER, "unit": _TEXT, "status": _TEXT}},
    "Instrument": {
        "type": "object", "required": ["serial", "port", "connected", "unit", "activity", "stream"],
        "properties": {
            "serial": _TEXT,
            "port": {"type": ["integer", "null"], "description": "N of ttyACM<N>; null or -1 while lost"},
            "connected": {"type": "boolean"}, "unit": {"type": "string", "enum": ["mmHg", "kPa"]},
            "firmware": _TEXT, "hardware": _TEXT, "calibration_due": {"type": ["string", "null"], "format": "date"},
            "calibration_overdue": {"type": "boolean"}, "activity": _ref("Activity"),
            "stream": {"type": "object", "required": ["next", "rate", "readers", "gaps"],
                       "properties": {"next": {"type": "integer", "description": "the number of the next sample"},
                                      "rate": {"type": "integer"}, "readers": {"type": "integer"},
                                      "gaps": {"type": "integer",
                                               "description": "gaps handed to clients that fell behind"}}}}},
    "StaticPressure": {
        "type": "object", "required": ["pressure"], "additionalProperties": False,
        "properties": {"pressure": {"type": "number",
                                    "description": "in the instrument's unit: whole mmHg (20 to 400) or tenths of a "
                                                   "kPa (2.7 to 53.3)"}}},
    "Procedure": {
        "type": "object", "required": ["name", "source"],
        "properties": {"name": _TEXT, "source": {"type": "string", "enum": ["shipped", "user"]}, "title": _TEXT,
                       "version": _TEXT, "unit": _TEXT, "description": _TEXT,
                       "steps": {"type": "array", "items": {"type": "object", "required": ["id", "kind", "name"],
                                                            "properties": {"id": _TEXT, "kind": _TEXT,
                                                                           "name": _TEXT}}},
                       "error": {"type": "string", "description": "why the procedure's file does not check"}}},
    "NewRun": {
        "type": "object", "required": ["procedure", "instrument"], "additionalProperties": False,
        "properties": {"procedure": {"type": "string", "description": "a name from GET /api/procedures"},
                       "instrument": {"type": "string", "description": "the instrument's serial number"},
                       "dut": {"type": "object", "description": "the monitor's fields: model, serial, asset, ...",
                               "propertyNames": {"pattern": "^[a-z][a-z0-9_]{0,31}$"},
                               "additionalProperties": {"type": "string", "maxLength": 200}},
                       "technician": {"type": "string", "maxLength": 200}}},
    "Reading": {
        "description": "The pending reading, with the keys of the reading command's JSON: {\"pressure\": P} for a "
                       "static point, {\"systolic\": S, \"diastolic\": D, \"heart_rate\": H} for a BP repeat, "
                       "{\"answer\": true|false} for an operator check; \"request\" (optional) is the number of the "
                       "prompt answered, so that a reading never answers a later prompt.",
        "type": "object",
        "properties": {"request": {"type": "integer"}, "pressure": _NUMBER, "systolic": _NUMBER,
                       "diastolic": _NUMBER, "heart_rate": _NUMBER, "answer": {"type": "boolean"}}},
    "ReadingTaken": {"type": "object", "required": ["run", "request", "reading"],
                     "properties": {"run": {"type": "integer"}, "request": {"type": "integer"},
                                    "reading": {"type": "object"}}},
    "Prompt": {
        "type": ["object", "null"], "required": ["request", "step", "kind", "expected", "unit"],
        "properties": {"request": {"type": "integer"}, "step": _TEXT,
                       "kind": {"type": "string", "enum": ["static", "bp", "operator-check"]},
                       "repeat": {"type": "integer"}, "point": {"type": "integer"}, "expected": {"type": "object"},
                       "unit": _TEXT, "question": _TEXT, "text": _TEXT}},
    "Measurement": {
        "type": "object", "required": ["quantity", "verdict"],
        "properties": {"quantity": _TEXT, "point": _NULLABLE_TEXT, "expected": _NULLABLE_NUMBER,
                       "measured": _NULLABLE_NUMBER, "value": _NULLABLE_NUMBER, "low": _NULLABLE_NUMBER,
                       "high": _NULLABLE_NUMBER, "verdict": _STEP_VERDICT, "note": _NULLABLE_TEXT}},
    "Step": {
        "type": "object", "required": ["position", "step", "kind", "name", "verdict", "measurements"],
        "properties": {"position": {"type": "integer"}, "step": _TEXT, "kind": _TEXT, "name": _TEXT,
                       "started": _NULLABLE_TEXT, "ended": _NULLABLE_TEXT, "verdict": _STEP_VERDICT,
                       "reason": _NULLABLE_TEXT, "setpoints": {"type": "object"}, "limits": {"type": "object"},
                       "readings": {"type": "array"}, "results": {"type": "object"},
                       "measurements": {"type": "array", "items": _ref("Measurement")}}},
    "RunInstrument": {
        "type": "object", "required": ["serial"],
        "properties": {"serial": _TEXT, "firmware": _NULLABLE_TEXT, "hardware": _NULLABLE_TEXT,
                       "calibration_due": _NULLABLE_TEXT, "calibration_overdue": {"type": "boolean"}}},
    "RunSummary": {
        "description": "A run as the results list it (as vasq-station history --json), newest first.",
        "type": "object", "required": ["id", "started", "procedure", "verdict", "station", "dut", "instrument"],
        "properties": {"id": {"type": "integer"}, "uid": _TEXT, "started": _TEXT, "ended": _NULLABLE_TEXT,
                       "procedure": _TEXT, "title": _TEXT, "version": _TEXT, "unit": _TEXT, "verdict": _VERDICT,
                       "reason": _NULLABLE_TEXT, "station": _TEXT, "site": _NULLABLE_TEXT,
                       "technician": _NULLABLE_TEXT, "dut": {"type": "object"},
                       "instrument": _ref("RunInstrument"), "corrects": {"type": ["integer", "null"]}}},
    "Run": {
        "description": "A run with its steps; while it runs (running: true), the step in progress and the prompt "
                       "waiting for a reading.",
        "type": "object",
        "required": ["id", "started", "procedure", "verdict", "station", "dut", "instrument", "unit", "steps",
                     "running", "current", "prompt"],
        "properties": {"id": {"type": "integer"}, "uid": _TEXT, "started": _TEXT, "ended": _NULLABLE_TEXT,
                       "procedure": _TEXT, "title": _TEXT, "version": _TEXT, "unit": _TEXT, "verdict": _VERDICT,
                       "reason": _NULLABLE_TEXT, "station": _TEXT, "site": _NULLABLE_TEXT,
                       "technician": _NULLABLE_TEXT, "dut": {"type": "object"}, "instrument": _ref("RunInstrument"),
                       "steps": {"type": "array", "items": _ref("Step")}, "running": {"type": "boolean"},
                       "current": {"type": ["object", "null"],
                                   "properties": {"position": {"type": "integer"}, "step": _TEXT, "kind": _TEXT,
                                                  "name": _TEXT, "started": _TEXT,
                                                  "set_point": {"type": ["object", "null"]}}},
                       "prompt": _ref("Prompt")}},
    "Trace": {"type": "object", "required": ["rate", "first_sample", "unit", "samples"],
              "properties": {"rate": {"type": "integer"}, "first_sample": {"type": "integer"}, "unit": _TEXT,
                             "samples": {"type": "array", "items": _NUMBER}}},
    "PressureMessage": {
        "description": "A message of the pressure WebSocket (JSON text). hello: first, with the number of the first "
                       "sample that follows. samples: consecutive samples from number first, in the unit of the "
                       "last hello or status, with the wall-clock time (seconds since 1970) the newest reached the "
                       "station (time) and the first did (first_time). gap: the samples from number from to number to (excluded) are not sent: the client "
                       "fell behind. status: the instrument was lost or is back, or its unit changed.",
        "type": "object", "required": ["type"],
        "properties": {"type": {"type": "string", "enum": ["hello", "samples", "gap", "status"]},
                       "serial": _TEXT, "rate": {"type": "integer"}, "unit": _TEXT, "connected": {"type": "boolean"},
                       "first": {"type": "integer"}, "values": {"type": "array", "items": _NUMBER},
                       "time": _NUMBER, "first_time": _NUMBER, "from": {"type": "integer"}, "to": {"type": "integer"}}},
}


def document() -> Dict[str, Any]:
    conflict = {"409": {"$ref": "#/components/responses/Conflict"}}
    not_found = {"404": {"$ref": "#/components/responses/NotFound"}}
    return {
        "openapi": "3.1.0",
        "info": {"title": "vasq-station", "version": __version__,
                 "description": "The JSON API of vasq-station serve: the instruments and their live pressure, the "
                                "procedures, runs with their prompts, results and reports. The station's web page "
                                "uses nothing else. With a token file, every request but GET /api/station and "
                                "this document bears Authorization: Bearer TOKEN (a WebSocket may offer the "
                                "subprotocol bearer.TOKEN beside vasq-pressure instead). A request that changes "
                                "anything, and a WebSocket, with an Origin header must come from the server's own "
                                "origin. Errors are {\"error\": reason} with a 4xx or 5xx status; a request "
                                "refused with 4xx sent nothing to any instrument."},
        "components": {
            "schemas": SCHEMAS,
            "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer",
                                           "description": "the contents of the token file (with --token-file)"}},
            "responses": {
                "BadRequest": _json(_ref("Error"), "the request is not valid: the reason says why"),
                "Unauthorized": _json(_ref("Error"), "the station needs its token"),
                "Forbidden": _json(_ref("Error"), "another site's page, or a host name that is not this server's"),
                "NotFound": _json(_ref("Error"), "no such instrument, run or step"),
                "Conflict": _json(_ref("Error"), "the instrument is busy or lost, the run has ended, or the "
                                                 "reading answers no pending prompt"),
            },
        },
        "security": [{}, {"bearer": []}],
        "paths": {
            "/api/station": {"get": {"summary": "The station: its name, site, version, whether it needs a token",
                                     "security": [{}],
                                     "responses": {"200": _json(_ref("Station"), "the station")}}},
            "/api/openapi.json": {"get": {"summary": "This document", "security": [{}],
                                          "responses": {"200": _json({"type": "object"}, "OpenAPI 3.1")}}},
            "/api/instruments": {"get": {"summary": "The instruments, each with its state and activity",
                                         "responses": {"200": _json({"type": "array", "items": _ref("Instrument")},
                                                                    "the instruments"), **_ERRORS}}},
            "/api/instruments/{serial}/static": {"post": {
                "summary": "Holds a static pressure (from the instrument's tile)", "parameters": [_SERIAL],
                "requestBody": {"required": True, "content": {"application/json": {"schema": _ref("StaticPressure")}}},
                "responses": {"200": _json(_ref("Instrument"), "the instrument, holding"), **_ERRORS, **not_found,
                              **conflict}}},
            "/api/instruments/{serial}/stop": {"post": {
                "summary": "Releases the pressure of the tile's static pressure (a run is stopped through its own "
                           "stop)", "parameters": [_SERIAL],
                "responses": {"200": _json(_ref("Instrument"), "the instrument, released"), **_ERRORS, **not_found,
                              **conflict}}},
            "/api/instruments/{serial}/pressure": {"get": {
                "summary": "WebSocket (subprotocol vasq-pressure): the instrument's pressure, 200 samples a second, "
                           "in numbered batches",
                "description": "Upgrade to a WebSocket. The server sends PressureMessage objects: hello, then the "
                               "last 10 s of samples (or those from ?from=N on) and every new batch as it comes. "
                               "No sample is lost or repeated while the client keeps up; one that falls behind by "
                               "more than the station keeps gets a gap message, never an ever-growing queue.",
                "parameters": [_SERIAL, {"name": "from", "in": "query", "required": False,
                                         "schema": {"type": "integer", "minimum": 0},
                                         "description": "the number of the first sample wanted"}],
                "responses": {"101": {"description": "switching to the WebSocket",
                                      "content": {"application/json": {"schema": _ref("PressureMessage")}}},
                              **_ERRORS, **not_found}}},
            "/api/procedures": {"get": {"summary": "The procedures a run may use: the shipped ones and the user's",
                                        "responses": {"200": _json({"type": "array", "items": _ref("Procedure")},
                                                                   "the procedures"), **_ERRORS}}},
            "/api/runs": {
                "get": {"summary": "Stored runs, newest first (or those in progress on this station)",
                        "parameters": [
                            {"name": "asset", "in": "query", "schema": {"type": "string"},
                             "description": "the monitor's asset number"},
                            {"name": "serial", "in": "query", "schema": {"type": "string"},
                             "description": "the monitor's or the instrument's serial number"},
                            {"name": "since", "in": "query", "schema": {"type": "string"},
                             "description": "YYYY-MM-DD (the station's local midnight) or a date and time"},
                            {"name": "limit", "in": "query", "schema": {"type": "integer", "minimum": 1,
                                                                       "maximum": 1000, "default": 100}},
                            {"name": "active", "in": "query", "schema": {"type": "boolean", "default": False},
                             "description": "true: only the runs in progress on this station, as Run objects"}],
                        "responses": {"200": _json({"type": "array", "items": {"oneOf": [_ref("RunSummary"),
                                                                                          _ref("Run")]}},
                                                   "the runs"), **_ERRORS}},
                "post": {"summary": "Starts a run; answers once it is stored",
                         "requestBody": {"required": True, "content": {"application/json": {
                             "schema": _ref("NewRun")}}},
                         "responses": {"201": _json(_ref("Run"), "the run, started"), **_ERRORS, **not_found,
                                       **conflict}}},
            "/api/runs/{id}": {"get": {"summary": "A run: live while it runs, as stored once it has ended",
                                       "parameters": [_RUN_ID],
                                       "responses": {"200": _json(_ref("Run"), "the run"), **_ERRORS,
                                                     **not_found}}},
            "/api/runs/{id}/readings": {"post": {
                "summary": "Answers the run's pending prompt", "parameters": [_RUN_ID],
                "requestBody": {"required": True, "content": {"application/json": {"schema": _ref("Reading")}}},
                "responses": {"200": _json(_ref("ReadingTaken"), "the reading, taken"), **_ERRORS, **not_found,
                              **conflict}}},
            "/api/runs/{id}/stop": {"post": {
                "summary": "Stops the run: the pressure released, the run recorded as aborted; answers once it "
                           "has ended", "parameters": [_RUN_ID],
                "responses": {"200": _json(_ref("Run"), "the run, ended"), **_ERRORS, **not_found, **conflict}}},
            "/api/runs/{id}/steps/{position}/trace": {"get": {
                "summary": "A step's pressure trace, 200 samples a second",
                "parameters": [_RUN_ID, {"name": "position", "in": "path", "required": True,
                                         "schema": {"type": "integer", "minimum": 0},
                                         "description": "the step's position in the procedure, from 0"}],
                "responses": {"200": _json(_ref("Trace"), "the trace"), **_ERRORS, **not_found}}},
            "/api/runs/{id}/report.pdf": {"get": {
                "summary": "The run's service report as PDF", "parameters": [_RUN_ID],
                "responses": {"200": {"description": "the report",
                                      "content": {"application/pdf": {"schema": {"type": "string",
                                                                                 "format": "binary"}}}},
                              **_ERRORS, **not_found}}},
            "/api/runs/{id}/report.html": {"get": {
                "summary": "The run's service report as HTML", "parameters": [_RUN_ID],
                "responses": {"200": {"description": "the report", "content": {"text/html": {"schema": _TEXT}}},
                              **_ERRORS, **not_found}}},
        },
    }
