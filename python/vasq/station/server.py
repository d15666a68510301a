"""vasq-station serve: the web page and the JSON API it uses (aiohttp), over a Bench.

Everything the page does goes through the API described by /api/openapi.json; the page's files (and the charting
library it draws with) are served from the package, never fetched from elsewhere.

Security: bound to 127.0.0.1 by default, where every request must name a loopback host (no DNS rebinding). Any other
address needs a token file: every API request except the station's description and the OpenAPI document then
carries "Authorization: Bearer TOKEN" (a WebSocket may offer the subprotocol "bearer.TOKEN" instead, as browsers
cannot set headers on one). Every state-changing request and every WebSocket with an Origin header must come from
this server's own origin.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import hmac
import ipaddress
import json
import logging
import os
import re
import signal
import socket
import stat
from typing import Any, Awaitable, Callable, Dict, Optional, Set, Tuple

from aiohttp import WSMsgType, web

import vasq

from . import __version__
from .instrument import SAMPLE_RATE
from .live import ApiError, Bench, Tile

_log = logging.getLogger("vasq.station.server")
HERE = os.path.dirname(os.path.abspath(__file__))
STATIC = os.path.join(HERE, "static")
DEFAULT_PORT = 8470
PROTOCOL = "vasq-pressure"
TOKEN_PATTERN = re.compile(r"^[A-Za-z0-9._~+-]{16,512}$")
# Readable without the token: what the page needs to know before it asks for one.
PUBLIC = ("/api/openapi.json", "/api/station")
# The WebSocket's bounds: what the system may hold for a client that does not read, and what the server holds in
# its own buffer before it waits; past both, the client falls behind and gets a gap.
SEND_BUFFER = 16 * 1024
WRITE_LIMIT = 8 * 1024
BACKLOG_SECONDS = 10.0
BODY_LIMIT = 64 * 1024
PAGE_CSP = ("default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
            "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'")
REPORT_CSP = "default-src 'none'; style-src 'unsafe-inline'; img-src data:; frame-ancestors 'none'"

BENCH = "bench"
SECURITY = "security"
SOCKETS = "sockets"
POOL = "pool"
FANOUT = "fanout"


class SetupError(Exception):
    """The server cannot start as asked (exit status 2): the reason."""


# -- security

class Security:
    def __init__(self, token: Optional[str], loopback_only: bool) -> None:
        self.token = token
        # Bound to loopback without a token: only loopback host names, so that a page of another site whose name
        # was pointed at 127.0.0.1 cannot reach the API.
        self.check_host = loopback_only


def read_token(path: str) -> str:
    """The token of a token file; SetupError when it is missing, short, or readable by others."""
    try:
        info = os.stat(path)
        with open(path, encoding="utf-8") as f:
            token = f.read().strip()
    except (OSError, UnicodeDecodeError) as error:
        raise SetupError(f"--token-file {path}: cannot read: {getattr(error, 'strerror', None) or error}") from None
    if info.st_mode & (stat.S_IROTH | stat.S_IWOTH | stat.S_IWGRP):
        raise SetupError(f"--token-file {path}: other users can read or change it (mode "
                         f"{stat.S_IMODE(info.st_mode):03o}); chmod 600 it")
    if not TOKEN_PATTERN.match(token):
        raise SetupError(f"--token-file {path}: the token is one line of at least 16 letters, digits or . _ ~ + - "
                         f"(for example: python3 -c 'import secrets; print(secrets.token_hex(32))' > {path})")
    return token


def is_loopback(host: str) -> bool:
    """host: an address or a Host header's name (with or without its port)."""
    name = host.strip()
    if name.startswith("["):
        name = name[1:name.find("]")] if "]" in name else name[1:]
    elif name.count(":") == 1:
        name = name.split(":", 1)[0]
    if name.lower() in ("localhost", "localhost."):
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


def _offered_token(request: web.Request) -> Optional[str]:
    header = request.headers.get("Authorization", "")
    if header[:7].lower() == "bearer ":
        return header[7:].strip()
    for protocol in request.headers.get("Sec-WebSocket-Protocol", "").split(","):
        protocol = protocol.strip()
        if protocol.startswith("bearer."):
            return protocol[len("bearer."):]
    return None


def _error(status: int, message: str, headers: Optional[Dict[str, str]] = None) -> web.Response:
    return web.json_response({"error": message}, status=status, headers=headers)


@web.middleware
async def guard(request: web.Request, handler: Callable[[web.Request], Awaitable[web.StreamResponse]]):
    security: Security = request.app[SECURITY]
    if security.check_host and not is_loopback(request.host):
        return _error(403, f"Host {request.host!r} is not this server's: it answers only to loopback names "
                           f"(127.0.0.1, localhost, [::1])")
    upgrade = request.headers.get("Upgrade", "").lower() == "websocket"
    if request.method not in ("GET", "HEAD", "OPTIONS") or upgrade:
        origin = request.headers.get("Origin")
        own = f"{request.scheme}://{request.host}"
        if origin is not None and origin != own:
            return _error(403, f"a request from {origin} is refused: only pages of {own} may change anything")
    if security.token and request.path.startswith("/api/") and request.path not in PUBLIC:
        offered = _offered_token(request)
        if offered is None or not hmac.compare_digest(offered.encode(), security.token.encode()):
            return _error(401, "this station needs its token: Authorization: Bearer TOKEN" if offered is None
                          else "the token is not this station's", {"WWW-Authenticate": 'Bearer realm="vasq-station"'})
    try:
        return await handler(request)
    except ApiError as error:
        return _error(error.status, error.message)
    except vasq.VasqError as error:
        return _error(409 if isinstance(error, vasq.DeviceLost) else 502, f"the instrument: {error}")
    except web.HTTPException as error:
        if error.status < 400:
            raise
        reason = {404: f"nothing at {request.method} {request.path}",
                  405: f"{request.method} is not allowed on {request.path}",
                  413: f"the request's body is larger than {BODY_LIMIT} bytes"}
        return _error(error.status, reason.get(error.status, error.text or error.reason),
                      {k: v for k, v in error.headers.items() if k == "Allow"})
    except (asyncio.CancelledError, ConnectionError):
        raise
    except Exception as error:  # noqa: BLE001 - the client gets the reason, the log the details
        _log.exception("%s %s failed", request.method, request.path)
        return _error(500, f"the station failed: {type(error).__name__}: {error}")


async def _headers(request: web.Request, response: web.StreamResponse) -> None:
    response.headers.setdefault("Content-Security-Policy", PAGE_CSP)
    response.headers["X-Content-Type-Options"] = "nosniff"
    response.headers["X-Frame-Options"] = "DENY"
    response.headers["Referrer-Policy"] = "no-referrer"
    if request.path.startswith("/api/"):
        response.headers.setdefault("Cache-Control", "no-store")
    else:
        response.headers.setdefault("Cache-Control", "no-cache")


# -- helpers

async def _call(request: web.Request, function: Callable[..., Any], *args: Any) -> Any:
    """function(*args) on a worker thread: the bench talks to instruments and the store, which block."""
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(request.app[POOL], functools.partial(function, *args))


async def _body(request: web.Request, empty_ok: bool = False) -> Any:
    if not request.can_read_body:
        if empty_ok:
            return {}
        raise ApiError(400, "the request has no body: send a JSON object")
    if request.content_type != "application/json":
        raise ApiError(415, f"the body must be JSON (Content-Type: application/json), not {request.content_type}")
    text = await request.text()
    if not text.strip() and empty_ok:
        return {}
    try:
        return json.loads(text)
    except ValueError as error:
        raise ApiError(400, f"the body is not valid JSON: {error}") from None


def _run_id(request: web.Request) -> int:
    return int(request.match_info["id"])


def _query(request: web.Request, allowed: Tuple[str, ...]) -> Dict[str, str]:
    unknown = sorted(set(request.query) - set(allowed))
    if unknown:
        raise ApiError(400, f"unknown query parameter{'s' if len(unknown) > 1 else ''} {', '.join(unknown)} "
                            f"(known: {', '.join(allowed) or 'none'})")
    for key in request.query:
        if len(request.query.getall(key)) > 1:
            raise ApiError(400, f"{key} is given more than once")
    return dict(request.query)


def _json(data: Any, status: int = 200) -> web.Response:
    return web.json_response(data, status=status, dumps=functools.partial(json.dumps, separators=(",", ":")))


# -- handlers

async def index(request: web.Request) -> web.FileResponse:
    return web.FileResponse(os.path.join(STATIC, "index.html"))


async def station(request: web.Request) -> web.Response:
    bench: Bench = request.app[BENCH]
    config = bench.config
    return _json({"station": config.station, "site": config.site, "technician": config.technician,
                  "version": __version__, "token_required": bool(request.app[SECURITY].token),
                  "instruments": len(bench.tiles), "sample_rate": SAMPLE_RATE})


async def openapi(request: web.Request) -> web.Response:
    from .openapi import document
    return _json(document())


async def instruments(request: web.Request) -> web.Response:
    _query(request, ())
    return _json(await _call(request, request.app[BENCH].instruments))


async def static_pressure(request: web.Request) -> web.Response:
    body = await _body(request)
    return _json(await _call(request, request.app[BENCH].start_static, request.match_info["serial"], body))


async def stop_instrument(request: web.Request) -> web.Response:
    await _body(request, empty_ok=True)
    return _json(await _call(request, request.app[BENCH].stop_instrument, request.match_info["serial"]))


async def procedures(request: web.Request) -> web.Response:
    _query(request, ())
    return _json(await _call(request, request.app[BENCH].procedures))


async def list_runs(request: web.Request) -> web.Response:
    query = _query(request, ("asset", "serial", "since", "limit", "active"))
    from .store import parse_since
    since = None
    if "since" in query:
        try:
            since = parse_since(query["since"])
        except ValueError as error:
            raise ApiError(400, f"since: {error}") from None
    try:
        limit = int(query.get("limit", "100"))
    except ValueError:
        raise ApiError(400, f"limit: {query['limit']!r} is not a whole number") from None
    if not 1 <= limit <= 1000:
        raise ApiError(400, "limit is 1 to 1000")
    active = query.get("active", "false")
    if active not in ("true", "false"):
        raise ApiError(400, "active is true or false")
    return _json(await _call(request, request.app[BENCH].runs, query.get("asset"), query.get("serial"), since, limit,
                             active == "true"))


async def start_run(request: web.Request) -> web.Response:
    body = await _body(request)
    run = await _call(request, request.app[BENCH].start_run, body)
    return _json(run, status=201)


async def get_run(request: web.Request) -> web.Response:
    _query(request, ())
    return _json(await _call(request, request.app[BENCH].run, _run_id(request)))


async def readings(request: web.Request) -> web.Response:
    body = await _body(request)
    return _json(await _call(request, request.app[BENCH].submit, _run_id(request), body))


async def stop_run(request: web.Request) -> web.Response:
    await _body(request, empty_ok=True)
    return _json(await _call(request, request.app[BENCH].stop_run, _run_id(request)))


async def trace(request: web.Request) -> web.Response:
    return _json(await _call(request, request.app[BENCH].trace, _run_id(request),
                             int(request.match_info["position"])))


async def report(request: web.Request) -> web.Response:
    form = request.match_info["form"]
    run_id = _run_id(request)
    data = await _call(request, request.app[BENCH].report, run_id, form)
    headers = {"Content-Disposition": f'attachment; filename="run-{run_id}.{form}"'}
    if form == "html":
        headers["Content-Security-Policy"] = REPORT_CSP
        return web.Response(body=data, content_type="text/html", charset="utf-8", headers=headers)
    return web.Response(body=data, content_type="application/pdf", headers=headers)


# -- the pressure stream

class Fanout:
    """Wakes the loop once per batch of an instrument's samples, whatever the number of its sockets; and every
    second without samples, so that a socket sees a change of state, a close, or the gap it is owed."""

    def __init__(self, loop: asyncio.AbstractEventLoop, tile: Tile) -> None:
        self.loop = loop
        self.events: Set[asyncio.Event] = set()
        self._pending = False
        self._remove = tile.stream.watch(self._batch)
        self._timer = loop.call_later(1.0, self._tick)

    def _tick(self) -> None:
        self._wake()
        self._timer = self.loop.call_later(1.0, self._tick)

    def _batch(self) -> None:
        # On the sampling thread: one hop to the loop at a time.
        if not self._pending:
            self._pending = True
            try:
                self.loop.call_soon_threadsafe(self._wake)
            except RuntimeError:  # the loop has closed
                pass

    def _wake(self) -> None:
        self._pending = False
        for event in self.events:
            event.set()

    def close(self) -> None:
        self._timer.cancel()
        self._remove()


async def pressure(request: web.Request) -> web.WebSocketResponse:
    bench: Bench = request.app[BENCH]
    query = _query(request, ("from",))
    tile = bench.tile(request.match_info["serial"])
    stream = tile.stream
    cursor = None
    if "from" in query:
        try:
            cursor = int(query["from"])
        except ValueError:
            raise ApiError(400, f"from: {query['from']!r} is not a sample number") from None
        if cursor < 0:
            raise ApiError(400, "from: sample numbers start at 0")
    ws = web.WebSocketResponse(protocols=(PROTOCOL,), heartbeat=30.0, max_msg_size=4096, compress=False)
    await ws.prepare(request)
    transport = request.transport
    sock = transport.get_extra_info("socket") if transport is not None else None
    if sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
    sockets: Set[web.WebSocketResponse] = request.app[SOCKETS]
    sockets.add(ws)
    fanout: Fanout = request.app[FANOUT][tile.serial]
    wake = asyncio.Event()
    fanout.events.add(wake)
    if cursor is None:
        cursor = max(stream.oldest, stream.next - int(BACKLOG_SECONDS * SAMPLE_RATE))
    cursor = min(cursor, stream.next)

    async def incoming() -> None:
        # The client says nothing the stream needs; reading keeps the close handshake and the pings going.
        try:
            async for message in ws:
                if message.type == WSMsgType.ERROR:
                    break
        finally:
            wake.set()

    listener = asyncio.ensure_future(incoming())
    behind = False
    state: Tuple[bool, str] = (tile.connected, tile.unit)
    try:
        await ws.send_str(_dumps({"type": "hello", "serial": tile.serial, "rate": SAMPLE_RATE, "unit": state[1],
                                  "connected": state[0], "first": cursor}))
        wake.set()
        while not ws.closed and not listener.done():
            await wake.wait()
            wake.clear()
            now = (tile.connected, tile.unit)
            if now != state:
                state = now
                await ws.send_str(_dumps({"type": "status", "connected": now[0], "unit": now[1]}))
            if transport is None or transport.is_closing():
                break
            if transport.get_write_buffer_size() > WRITE_LIMIT:
                # The client does not keep up: nothing more is queued for it; once the ring has moved past its
                # place it gets a gap.
                if not behind and cursor < stream.oldest:
                    behind = True
                    stream.gaps += 1
                continue
            gap, first, values, arrived = stream.read(cursor)
            if gap is not None:
                if not behind:
                    stream.gaps += 1
                behind = False
                await ws.send_str(_dumps({"type": "gap", "from": gap[0], "to": gap[1]}))
            if values:
                await ws.send_str(_dumps({"type": "samples", "first": first, "values": values, "time": arrived,
                                          "first_time": stream.arrival(first)}))
                cursor = first + len(values)
    except (ConnectionResetError, asyncio.CancelledError):
        pass
    finally:
        fanout.events.discard(wake)
        sockets.discard(ws)
        listener.cancel()
        if not ws.closed:
            await ws.close()
    return ws


def _dumps(data: Any) -> str:
    return json.dumps(data, separators=(",", ":"))


# -- the application

def make_app(bench: Bench, token: Optional[str] = None, loopback_only: bool = True) -> web.Application:
    app = web.Application(middlewares=[guard], client_max_size=BODY_LIMIT)
    app[BENCH] = bench
    app[SECURITY] = Security(token, loopback_only)
    app[SOCKETS] = set()
    app[POOL] = concurrent.futures.ThreadPoolExecutor(max_workers=8, thread_name_prefix="vasq-web")
    app[FANOUT] = {}
    app.on_response_prepare.append(_headers)

    async def started(app: web.Application) -> None:
        loop = asyncio.get_running_loop()
        app[FANOUT].update({serial: Fanout(loop, tile) for serial, tile in bench.tiles.items()})

    async def cleanup(app: web.Application) -> None:
        for fanout in app[FANOUT].values():
            fanout.close()
        app[POOL].shutdown(wait=False)
    app.on_startup.append(started)
    app.on_cleanup.append(cleanup)
    r = app.router
    r.add_get("/", index)
    r.add_static("/static/", STATIC, follow_symlinks=False)
    r.add_get("/api/station", station)
    r.add_get("/api/openapi.json", openapi)
    r.add_get("/api/instruments", instruments)
    r.add_post("/api/instruments/{serial}/static", static_pressure)
    r.add_post("/api/instruments/{serial}/stop", stop_instrument)
    r.add_get("/api/instruments/{serial}/pressure", pressure)
    r.add_get("/api/procedures", procedures)
    r.add_get("/api/runs", list_runs)
    r.add_post("/api/runs", start_run)
    r.add_get(r"/api/runs/{id:\d+}", get_run)
    r.add_post(r"/api/runs/{id:\d+}/readings", readings)
    r.add_post(r"/api/runs/{id:\d+}/stop", stop_run)
    r.add_get(r"/api/runs/{id:\d+}/steps/{position:\d+}/trace", trace)
    r.add_get(r"/api/runs/{id:\d+}/report.{form:pdf|html}", report)
    return app


def listen(bind: str, port: int) -> socket.socket:
    """A listening socket on bind:port (port 0: any free one); SetupError with the reason."""
    try:
        infos = socket.getaddrinfo(bind, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as error:
        raise SetupError(f"--bind {bind}: {error.strerror}") from None
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
        sock.setblocking(False)
    except OSError as error:
        sock.close()
        raise SetupError(f"cannot listen on {bind} port {port}: {error.strerror}") from None
    return sock


def url_of(sock: socket.socket) -> str:
    host, port = sock.getsockname()[:2]
    if sock.family == socket.AF_INET6:
        host = f"[{host}]"
    return f"http://{host}:{port}/"


async def serve(bench: Bench, sock: socket.socket, token: Optional[str], loopback_only: bool,
                announce: Callable[[str], None]) -> str:
    """Serves until SIGTERM, SIGINT or SIGHUP; then stops every run and pressure. Returns the signal's name."""
    app = make_app(bench, token, loopback_only)
    runner = web.AppRunner(app, handle_signals=False, access_log=None)
    await runner.setup()
    site = web.SockSite(runner, sock, shutdown_timeout=2.0)
    await site.start()
    loop = asyncio.get_running_loop()
    stopping = asyncio.Event()
    received = []

    def on_signal(number: signal.Signals) -> None:
        received.append(number.name)
        stopping.set()
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        loop.add_signal_handler(number, on_signal, number)
    announce(url_of(sock))
    try:
        await stopping.wait()
    finally:
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            loop.remove_signal_handler(number)
        reason = f"interrupted by {received[0]}" if received else "the station stopped"
        await loop.run_in_executor(app[POOL], bench.shutdown, reason)
        for ws in list(app[SOCKETS]):
            await ws.close(code=1001, message=b"the station stops")
        await runner.cleanup()
    return received[0] if received else ""
