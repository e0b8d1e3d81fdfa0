"""The MCP server's transport: JSON-RPC messages, one a line, on standard input and a
descriptor of the real standard output.

Besides carrying messages it answers what the protocol server never sees: a line
that is not JSON, one that is no JSON-RPC message, and a line longer than
MAX_LINE_BYTES (dropped as it arrives, never held whole).  It caps what any error
answer echoes of the client's input, tells a request sent before ``initialize`` why
it was refused, and at the end of input lets the server answer every request read
before its input ends (within DRAIN_STALL_SECONDS of silence).

The SDK's own ``mcp.server.stdio`` (as pinned, 2.3.0) does none of these: it
holds a line whole however long, answers no line it cannot parse, and its
protocol loop cancels the requests in flight when input ends; so this one stays.
"""

from __future__ import annotations

import collections
import contextlib
import json
import logging
from collections.abc import Callable, Collection
from typing import TYPE_CHECKING, Any

from tarvex.mcp_tools import echo

if TYPE_CHECKING:
    from mcp.server.lowlevel import Server

# At the end of input, how long the server may stay silent with requests unanswered.
DRAIN_STALL_SECONDS = 60
# The longest line the client may send: the largest valid request is about 15 KB.  A longer
# line is discarded as it arrives, never held whole, and answered with one error.
MAX_LINE_BYTES = 4 << 20
# Bytes taken from standard input per read.
READ_BYTES = 1 << 16

logger = logging.getLogger(__name__)


def _readable_id(line: str) -> tuple[bool, str | int | None]:
    """Whether a line holds a JSON object with an ``id`` member, and that id when it is a
    string or an integer (None otherwise)."""
    try:
        message = json.loads(line)
    except (ValueError, RecursionError):
        return False, None
    if not isinstance(message, dict) or "id" not in message:
        return False, None
    found = message["id"]
    usable = isinstance(found, (str, int)) and not isinstance(found, bool)
    if isinstance(found, str):
        try:
            found.encode("utf-8")
        except UnicodeEncodeError:
            usable = False  # a lone surrogate cannot travel back
    return True, found if usable else None


async def _client_lines(stream: Any, cap: int = MAX_LINE_BYTES) -> Any:
    """The client's input as lines of text (invalid UTF-8 replaced), and None for each line
    longer than ``cap`` bytes, which is dropped as it arrives: no more than ``cap`` bytes of
    a line are ever held."""
    held = bytearray()
    dropping = False
    while chunk := await stream.read(READ_BYTES):
        start = 0
        while (end := chunk.find(b"\n", start)) >= 0:
            if not dropping and len(held) + end - start <= cap:
                held += chunk[start:end]
                yield held.decode("utf-8", errors="replace")
            else:
                yield None
            held.clear()
            dropping = False
            start = end + 1
        if not dropping:
            held += chunk[start:]
            if len(held) > cap:
                held.clear()
                dropping = True
    if dropping:
        yield None
    elif held:
        yield held.decode("utf-8", errors="replace")


class _Unanswered:
    """The requests handed to the server that it has not answered yet.

    At the end of input the server is told only once each of them has its
    answer (the protocol loop cancels whatever is still running when its input
    ends).  A request the client cancelled gets no answer, so it counts as
    settled; and should the server fall silent with requests left over, the
    wait ends after DRAIN_STALL_SECONDS without a single answer.
    """

    def __init__(self, working: Callable[[], object] = lambda: None) -> None:
        import anyio

        self.initialize_seen = False
        # Requests read before initialize: the SDK refuses them without saying why.
        self.early: set[str | int] = set()
        self._counts: collections.Counter[str | int] = collections.Counter()
        self._settled = anyio.Event()
        self._progress = 0
        self._working = working  # changes while work the answers wait for moves on (the build)

    def read(self, message: Any) -> None:
        from mcp import types

        if isinstance(message, types.JSONRPCRequest):
            self._counts[message.id] += 1
            self.initialize_seen = self.initialize_seen or message.method == "initialize"
            if not self.initialize_seen:
                self.early.add(message.id)
        elif isinstance(message, types.JSONRPCNotification) and message.method == "notifications/cancelled":
            request_id = (message.params or {}).get("requestId")
            if isinstance(request_id, (str, int)) and not isinstance(request_id, bool):
                self._settle(request_id)

    def written(self, message: Any) -> None:
        from mcp import types

        self._progress += 1
        if isinstance(message, (types.JSONRPCResponse, types.JSONRPCError)) and message.id is not None:
            self._settle(message.id)

    def _settle(self, request_id: str | int) -> None:
        import anyio

        if self._counts[request_id] > 0:
            self._counts[request_id] -= 1
        self._counts += collections.Counter()  # drops the ids that reached zero
        self._settled.set()
        self._settled = anyio.Event()

    async def drained(self) -> None:
        import anyio

        while self._counts:
            progress = self._progress, self._working()
            with anyio.move_on_after(DRAIN_STALL_SECONDS):
                await self._settled.wait()
            if (self._progress, self._working()) == progress and self._counts:
                logger.warning("%d requests still unanswered %d s after the end of input",
                               self._counts.total(), DRAIN_STALL_SECONDS)
                return


async def _read_client(lines: Any, to_server: Any, to_client: Any, unanswered: _Unanswered) -> None:
    """Hand each line the client sends to the server as a message; answer a line that is none.

    A line that is not JSON gets the protocol's parse error, one that is no
    JSON-RPC message (a request whose id is neither a string nor an integer
    among them: the SDK would take it for a notification) an invalid-request
    error, and so does a line longer than MAX_LINE_BYTES; each answer carries
    the request's id when it can be read, else a null id.  At the end of
    input the server's input ends once every request read has been answered.
    """
    from mcp import types
    from mcp.shared.message import SessionMessage
    from pydantic import ValidationError

    async with to_server, to_client:
        async for line in lines:
            request_id = None
            if line is None:
                error = (types.INVALID_REQUEST, "Invalid request",
                         f"a line longer than {MAX_LINE_BYTES >> 20} MiB (dropped)")
            else:
                try:
                    message = types.jsonrpc_message_adapter.validate_json(line, by_name=False)
                    error = None
                    if isinstance(message, types.JSONRPCNotification) and _readable_id(line)[0]:
                        error = (types.INVALID_REQUEST, "Invalid request",
                                 "a request whose id is not a string or an integer")
                except ValidationError as invalid:
                    request_id = _readable_id(line)[1]
                    unparsable = request_id is None and any(e["type"] == "json_invalid" for e in invalid.errors())
                    error = (types.PARSE_ERROR, "Parse error", "not JSON") if unparsable else (
                        types.INVALID_REQUEST, "Invalid request", "not a JSON-RPC message")
            if error is None:
                unanswered.read(message)
                await to_server.send(SessionMessage(message))
                continue
            code, text, why = error
            logger.warning("%s: the client sent a line that is %s", text, why)
            await to_client.send(SessionMessage(types.JSONRPCError(
                jsonrpc="2.0", id=request_id, error=types.ErrorData(code=code, message=text, data=why))))
        await unanswered.drained()


NOT_INITIALIZED = "the session is not initialized: send initialize first"


def _within_echo_cap(message: Any, early: Collection[str | int] = ()) -> Any:
    """An error answer whose data echoes no more than mcp_tools.ECHO_CHARS characters of any value.

    The server's own messages cut what they echo; this holds the SDK's (an
    unknown method's name comes back as the data) to the same cap.  A request
    sent before ``initialize`` (its id in ``early``), which the SDK refuses
    with empty data, is told why.
    """
    from mcp import types

    if not isinstance(message, types.JSONRPCError):
        return message
    if message.id in early and message.error.code == types.INVALID_PARAMS and not message.error.data:
        return message.model_copy(update={"error": message.error.model_copy(update={"data": NOT_INITIALIZED})})
    data = message.error.data
    if isinstance(data, str):
        data = echo(data)
    elif isinstance(data, dict):
        data = {key: echo(value) if isinstance(value, str) else value for key, value in data.items()}
    else:
        return message
    return message.model_copy(update={"error": message.error.model_copy(update={"data": data})})


async def _write_client(from_server: Any, out: Any, unanswered: _Unanswered) -> None:
    """Write each message for the client as one line."""
    async with from_server:
        async for session_message in from_server:
            message = _within_echo_cap(session_message.message, unanswered.early)
            unanswered.written(message)
            await out.write(message.model_dump_json(by_alias=True, exclude_unset=True) + "\n")
            await out.flush()


async def run(server: Server[Any], wire: int, working: Callable[[], object] = lambda: None) -> None:
    """Serve the client on standard input and on ``wire``, the protocol's own standard output;
    ``working()`` changes while work that answers wait for moves on."""
    import anyio
    from mcp.shared.message import SessionMessage

    # Standard input is never closed: a reader thread may still be blocked on it at exit.
    stdin = anyio.wrap_file(open(0, "rb", buffering=0, closefd=False))  # noqa: SIM115
    out = anyio.wrap_file(open(wire, "w", encoding="utf-8", closefd=False))  # noqa: SIM115
    to_server, server_input = anyio.create_memory_object_stream[SessionMessage | Exception](0)
    server_output, from_server = anyio.create_memory_object_stream[SessionMessage](0)
    unanswered = _Unanswered(working)
    try:
        async with anyio.create_task_group() as tasks:
            tasks.start_soon(_read_client, _client_lines(stdin), to_server, server_output.clone(), unanswered)
            tasks.start_soon(_write_client, from_server, out, unanswered)
            await server.run(server_input, server_output, server.create_initialization_options())
    finally:
        # Its descriptor stays open (the caller's); what a client that went away did not take is dropped.
        with contextlib.suppress(OSError):
            await out.aclose()
