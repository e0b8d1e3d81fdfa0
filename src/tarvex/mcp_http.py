"""The MCP server over streamable HTTP, for many agents at once: ``tarvex mcp --http [HOST:]PORT``.

The protocol server of :class:`tarvex.mcp_server.DescriptionServer` runs under
the SDK's streamable HTTP session manager at ``/mcp``, served by uvicorn, with
one guard in front of everything (:class:`Guard`): the ``Origin`` (and, without
a token, the ``Host``) a browser sends must be allowed; a bearer token, when
the server has one, is compared in constant time; a request body is capped and
read within a deadline; each request gets one access-log line on standard
error.  ``GET /health`` answers 200 once the index is ready and 503 before; with
the token (or on a server without one) its body is what ``index_info`` says,
without it only the state.

The connections' own limits are uvicorn's, plus a deadline for a request's
headers (:func:`_protocol_class`): a client that connects and sends nothing
is dropped.  SIGTERM ends the server once the requests in flight are answered.
"""

from __future__ import annotations

import contextlib
import hmac
import ipaddress
import json
import logging
import signal
import socket
import time
from collections.abc import Callable, Collection, Iterator
from dataclasses import dataclass, field
from typing import Any
from urllib.parse import urlsplit

from tarvex._defaults import MCP_MAX_SESSIONS
from tarvex._shell import STATUS_FAILED, STATUS_INTERRUPTED
from tarvex.mcp_tools import READY, echo

MCP_PATH = "/mcp"
HEALTH_PATH = "/health"
MAX_BODY_BYTES = 1 << 20
# A connection's request line and headers must arrive within this many seconds of its first
# byte (or of its opening): a client that connects and sends nothing is dropped.
HEADER_SECONDS = 10.0
# A request's body must arrive within this many seconds of its headers.
BODY_SECONDS = 30.0
# A kept-alive connection with no request for this long is closed.
IDLE_SECONDS = 30
# Open connections beyond this are answered 503 at once.
MAX_CONNECTIONS = 1024
# SIGTERM: how long the requests in flight (and open event streams) may still take.
SHUTDOWN_SECONDS = 10
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "[::1]")

logger = logging.getLogger(__name__)


@dataclass(frozen=True)
class HttpOptions:
    """How ``tarvex mcp --http`` serves: where, to whom, with which limits."""

    host: str
    port: int
    token: str | None = None
    allowed_origins: tuple[str, ...] = ()
    stateless: bool = False
    tls_cert: str | None = None
    tls_key: str | None = None
    max_sessions: int = MCP_MAX_SESSIONS
    log_queries: bool = False
    limits: dict[str, float] = field(default_factory=dict)  # overrides of the module's limits, for tests


def parse_address(text: str) -> tuple[str, int]:
    """``[HOST:]PORT`` (an IPv6 host in brackets) as (host, port); the host defaults to 127.0.0.1."""
    host, _, port = text.rpartition(":")
    host = host.removeprefix("[").removesuffix("]") or "127.0.0.1"
    if not port.isdecimal() or not 0 <= int(port) <= 65535:
        raise ValueError(f"not [HOST:]PORT with a port from 0 to 65535: {text!r}")
    return host, int(port)


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def origin_allowed(origin: str, allowed: Collection[str]) -> bool:
    """Whether a browser's ``Origin`` may call: a loopback origin (any port), or one listed exactly."""
    if origin.rstrip("/").lower() in {entry.rstrip("/").lower() for entry in allowed}:
        return True
    try:
        parts = urlsplit(origin)
        return parts.scheme in ("http", "https") and parts.hostname is not None and is_loopback(parts.hostname)
    except ValueError:
        return False


def host_is_loopback(host_header: str) -> bool:
    """Whether a ``Host`` header names a loopback host (with or without a port)."""
    try:
        hostname = urlsplit(f"//{host_header}").hostname
    except ValueError:
        return False
    return hostname is not None and is_loopback(hostname)


def bearer_matches(authorization: bytes | None, token: bytes) -> bool:
    """Whether an ``Authorization`` header carries ``Bearer <token>``, compared in constant time."""
    scheme, _, given = (authorization or b"").partition(b" ")
    return hmac.compare_digest(given.strip(), token) and scheme.lower() == b"bearer"


def _plain(status: int, text: str, headers: dict[str, str] | None = None) -> Any:
    from starlette.responses import PlainTextResponse

    return PlainTextResponse(text + "\n", status_code=status, headers=headers)


class Guard:
    """ASGI middleware in front of the whole app: origin and host, token, body cap, /health, access log."""

    def __init__(self, app: Any, options: HttpOptions, info: Callable[[], dict[str, Any]]) -> None:
        self.app, self.options, self.info = app, options, info
        self.token = None if options.token is None else options.token.encode("utf-8")
        self.body_seconds = options.limits.get("body_seconds", BODY_SECONDS)

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status: list[int] = []
        noted: list[str] = []

        async def sent(message: Any) -> None:
            if message["type"] == "http.response.start":
                status.append(message["status"])
            await send(message)

        try:
            await self._answer(scope, receive, sent, noted)
        finally:
            client = scope.get("client") or ("-", 0)
            logger.info("%s %s %s %s %.1f ms%s", client[0], scope["method"], echo(scope["path"]),
                        status[0] if status else "-", (time.perf_counter() - started) * 1000,
                        "".join(f" {note}" for note in noted))

    async def _answer(self, scope: Any, receive: Any, send: Any, noted: list[str]) -> None:
        from starlette.datastructures import Headers

        headers = Headers(scope=scope)
        origin = headers.get("origin")
        if origin is not None and not origin_allowed(origin, self.options.allowed_origins):
            await _plain(403, "origin not allowed")(scope, receive, send)
            return
        if self.token is None and not host_is_loopback(headers.get("host", "")):
            # Without a token only loopback names may reach the server (a rebound DNS name may not).
            await _plain(421, "host not allowed")(scope, receive, send)
            return
        authorized = self.token is None or bearer_matches(scope_header(scope, b"authorization"), self.token)
        if scope["path"] == HEALTH_PATH and scope["method"] in ("GET", "HEAD"):
            await self._health(authorized)(scope, receive, send)
            return
        if not authorized:
            await _plain(401, "a bearer token is required", {"WWW-Authenticate": 'Bearer realm="tarvex"'})(
                scope, receive, send)
            return
        if scope["method"] != "POST":
            await self.app(scope, receive, send)
            return
        body = await self._body(scope, receive, send)
        if body is None:
            return
        if self.options.log_queries:
            noted.append(_query_note(body))
        replayed = [{"type": "http.request", "body": body, "more_body": False}]

        async def replay() -> Any:
            return replayed.pop() if replayed else await receive()

        await self.app(scope, replay, send)

    async def _body(self, scope: Any, receive: Any, send: Any) -> bytes | None:
        """The request's whole body, or None once it was answered 413 (too long) or 408 (too slow)."""
        import anyio

        declared = scope_header(scope, b"content-length")
        if declared is not None and declared.isdigit() and int(declared) > MAX_BODY_BYTES:
            await _plain(413, f"the request body is over {MAX_BODY_BYTES} bytes")(scope, receive, send)
            return None
        body = bytearray()
        with anyio.move_on_after(self.body_seconds):
            while True:
                message = await receive()
                if message["type"] != "http.request":  # the client went away
                    return None
                body += message.get("body", b"")
                if len(body) > MAX_BODY_BYTES:
                    await _plain(413, f"the request body is over {MAX_BODY_BYTES} bytes")(scope, receive, send)
                    return None
                if not message.get("more_body", False):
                    return bytes(body)
        await _plain(408, f"the request body took longer than {self.body_seconds:g} s")(scope, receive, send)
        return None

    def _health(self, authorized: bool) -> Any:
        from starlette.responses import JSONResponse

        info = self.info()
        return JSONResponse(info if authorized else {"state": info["state"]},
                            status_code=200 if info["state"] == READY else 503)


def scope_header(scope: Any, name: bytes) -> bytes | None:
    return next((value for key, value in scope["headers"] if key == name), None)


def _query_note(body: bytes) -> str:
    """What ``--log-queries`` adds to a request's line: the tool called and its query, cut short."""
    try:
        message = json.loads(body)
        params = message["params"]
        return f"{params['name']} {json.dumps(echo(str(params['arguments']['query'])), ensure_ascii=False)}"
    except (ValueError, KeyError, TypeError):
        return ""


def _protocol_class(header_seconds: float) -> type:
    """uvicorn's HTTP/1.1 protocol, dropping a connection whose request headers are late."""
    import h11
    from uvicorn.protocols.http.h11_impl import H11Protocol

    class Protocol(H11Protocol):
        _header_timer: Any = None

        def connection_made(self, transport: Any) -> None:
            super().connection_made(transport)
            self._header_timer = self.loop.call_later(header_seconds, self._headers_late)

        def data_received(self, data: bytes) -> None:
            if self._header_timer is None and self.conn.their_state is h11.IDLE:
                self._header_timer = self.loop.call_later(header_seconds, self._headers_late)
            super().data_received(data)

        def handle_events(self) -> None:
            super().handle_events()
            if self._header_timer is not None and self.conn.their_state is not h11.IDLE:
                self._header_timer.cancel()
                self._header_timer = None

        def connection_lost(self, exc: Exception | None) -> None:
            if self._header_timer is not None:
                self._header_timer.cancel()
            super().connection_lost(exc)

        def _headers_late(self) -> None:
            self._header_timer = None
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                self.transport.close()

    return Protocol


def _listening_socket(host: str, port: int) -> socket.socket:
    family, kind, proto, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
    sock = socket.socket(family, kind, proto)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(address)
        sock.listen(2048)
    except OSError:
        sock.close()
        raise
    return sock


def app(protocol_server: Any, options: HttpOptions, info: Callable[[], dict[str, Any]]) -> Any:
    """The whole ASGI application: the SDK's streamable HTTP app at /mcp behind the guard."""
    from mcp.server.transport_security import TransportSecuritySettings

    inner = protocol_server.streamable_http_app(
        streamable_http_path=MCP_PATH,
        stateless_http=options.stateless,
        max_request_body_size=MAX_BODY_BYTES,
        max_sessions=options.max_sessions,
        # The guard checks origins and hosts, for /health too and with the operator's list.
        transport_security=TransportSecuritySettings(enable_dns_rebinding_protection=False),
        host=options.host,
    )
    return Guard(inner, options, info)


def run(protocol_server: Any, options: HttpOptions, info: Callable[[], dict[str, Any]]) -> int:
    """Serve until SIGTERM (status 0) or Ctrl-C (130); the exit status."""
    import uvicorn

    class Server(uvicorn.Server):
        @contextlib.contextmanager
        def capture_signals(self) -> Iterator[None]:
            # As uvicorn's own, but the signal is not raised again once the server has ended.
            handled = (signal.SIGINT, signal.SIGTERM)
            original = {sig: signal.signal(sig, self.handle_exit) for sig in handled}
            try:
                yield
            finally:
                for sig, handler in original.items():
                    signal.signal(sig, handler)

    try:
        sock = _listening_socket(options.host, options.port)
    except OSError as exc:
        logger.error("cannot listen on %s:%d: %s", options.host, options.port, exc.strerror or exc)
        return STATUS_FAILED
    limits = options.limits
    config = uvicorn.Config(
        app(protocol_server, options, info),
        http=_protocol_class(limits.get("header_seconds", HEADER_SECONDS)),
        lifespan="on",
        log_config=None,
        access_log=False,
        server_header=False,
        timeout_keep_alive=int(limits.get("idle_seconds", IDLE_SECONDS)),
        limit_concurrency=int(limits.get("max_connections", MAX_CONNECTIONS)),
        timeout_graceful_shutdown=SHUTDOWN_SECONDS,
        ssl_certfile=options.tls_cert,
        ssl_keyfile=options.tls_key,
    )
    server = Server(config)
    bound_host, bound_port = sock.getsockname()[:2]
    scheme = "https" if options.tls_cert else "http"
    shown_host = f"[{bound_host}]" if ":" in bound_host else bound_host
    logger.info("listening on %s://%s:%d%s (%s, %s)", scheme, shown_host, bound_port, MCP_PATH,
                "stateless" if options.stateless else f"at most {options.max_sessions} sessions",
                "token required" if options.token else "no token")
    with sock:
        server.run(sockets=[sock])
    if not server.started:
        return STATUS_FAILED
    return STATUS_INTERRUPTED if signal.SIGINT in server._captured_signals else 0
