"""The description index as a Model Context Protocol server: ``tarvex mcp``.

An agent host starts the server as a subprocess and talks to it over standard
input and output.  The server loads the model and the index once, then offers:

* the tool ``search_descriptions(query, top_k=10)``: the records of
  :meth:`tarvex.DescriptionIndex.rank` (``path``, ``score``, ``preview``),
  best first, as structured content;
* the tool ``read_description(path)``: the full text of one description, for
  a path that the index lists;
* every description as a resource ``tarvex://description/<path below the
  corpus folder>`` (``text/plain``).

It shows nothing but the corpus: a description whose real path lies outside
the corpus folder's real path (a link out of the corpus) is left out of every
answer, searches included, and any path or URI that does not name a listed
description is refused with the same error.  Standard output carries protocol
messages only; logging goes to standard error.

Run it directly with ``python -m tarvex.mcp_server [--models-dir DIR]
[--model NAME] [--backend B]``; ``tarvex mcp`` takes the same options.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import logging
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import PurePath
from typing import TYPE_CHECKING, Any
from urllib.parse import quote, unquote

from tarvex._defaults import BACKENDS, DEFAULT_MODEL
from tarvex._shell import package_version

if TYPE_CHECKING:
    from mcp.server.lowlevel import Server
    from mcp.types import CallToolResult

    from tarvex import DescriptionIndex

SERVER_NAME = "tarvex"

DEFAULT_TOP_K = 10
MAX_TOP_K = 100
MAX_QUERY_CHARS = 10_000
MAX_PATH_CHARS = 4096
RESOURCE_PAGE_SIZE = 500
ECHO_CHARS = 200
RESOURCE_PREFIX = "tarvex://description/"

STATUS_FAILED = 1
STATUS_INTERRUPTED = 130

logger = logging.getLogger(__name__)


class Refused(Exception):
    """A path or URI that does not name a description the server may show."""

    def __init__(self, what: str) -> None:
        # The client's own value, cut short: an error message is no place to send a long input back.
        shown = what if len(what) <= ECHO_CHARS else what[:ECHO_CHARS] + "..."
        super().__init__(
            f"{shown!r} is not a description of this corpus; "
            "use a path returned by search_descriptions or a URI from the resource list"
        )


class CorpusView:
    """What the server may show of an index: the descriptions whose real path lies inside the corpus folder.

    The library follows a link to a ``.txt`` file wherever it points; the
    server must not, so every path leaving here passes :meth:`shows` first.
    """

    def __init__(self, index: DescriptionIndex) -> None:
        self._index = index
        self.root = index.models_dir
        self._real_root = os.path.realpath(self.root)

    def shows(self, path: str) -> bool:
        """True when ``path`` resolves, links and ``..`` included, to a file strictly inside the corpus folder.

        A name that is not UTF-8 cannot travel in a protocol message, and a
        NUL names no file: neither is shown.
        """
        try:
            path.encode("utf-8")
            real = os.path.realpath(path)
        except ValueError:
            return False
        return real != self._real_root and os.path.commonpath((real, self._real_root)) == self._real_root

    def search(self, query: str, top_k: int) -> list[dict[str, Any]]:
        """The ``top_k`` best records that may be shown, best first.

        Records that may not be shown are dropped, so the index is asked for
        more (four times as many each round) until ``top_k`` remain or the
        whole corpus has been ranked.
        """
        wanted = top_k
        while True:
            records = self._index.rank(query, wanted)
            shown = [record for record in records if self.shows(record["path"])]
            if len(shown) >= top_k or len(records) < wanted:
                return shown[:top_k]
            wanted *= 4

    def descriptions(self) -> list[str]:
        return [path for path in self._index.descriptions() if self.shows(path)]

    def read(self, path: str) -> str:
        """The text of a listed description, exactly as the engine reads it; :class:`Refused` for anything else."""
        if not self.shows(path):
            raise Refused(path)
        try:
            return self._index.read(path)
        except KeyError:
            raise Refused(path) from None

    def close(self) -> None:
        self._index.close()

    def uri_of(self, path: str) -> str:
        relative = PurePath(path).relative_to(self.root).as_posix()
        return RESOURCE_PREFIX + quote(relative, safe="/")

    def path_of(self, uri: str) -> str:
        """The description path that ``uri`` names (not yet checked: :meth:`read` does that)."""
        if not uri.startswith(RESOURCE_PREFIX) or len(uri) == len(RESOURCE_PREFIX):
            raise Refused(uri)
        return str(self.root / unquote(uri[len(RESOURCE_PREFIX) :], errors="strict"))


# --- tools ---------------------------------------------------------------------

SEARCH_TOOL = "search_descriptions"
READ_TOOL = "read_description"

RECORD_SCHEMA: dict[str, Any] = {
    "type": "object",
    "properties": {
        "path": {"type": "string", "description": "The description file; pass it to read_description."},
        "score": {"type": "number", "description": "Cosine similarity to the query (higher is closer)."},
        "preview": {"type": "string", "description": "The first 300 characters, line feeds as spaces."},
    },
    "required": ["path", "score", "preview"],
    "additionalProperties": False,
}

TOOL_SCHEMAS: dict[str, tuple[str, dict[str, Any], dict[str, Any] | None]] = {
    SEARCH_TOOL: (
        "Find the stored problem descriptions closest in meaning to a free-text problem description. "
        "Returns the best matches first, each with its path, similarity score and a short preview.",
        {
            "type": "object",
            "properties": {
                "query": {
                    "type": "string",
                    "maxLength": MAX_QUERY_CHARS,
                    "description": "The problem to search for, in plain words.",
                },
                "top_k": {
                    "type": "integer",
                    "minimum": 1,
                    "maximum": MAX_TOP_K,
                    "default": DEFAULT_TOP_K,
                    "description": "How many matches to return.",
                },
            },
            "required": ["query"],
            "additionalProperties": False,
        },
        {
            "type": "object",
            "properties": {"results": {"type": "array", "items": RECORD_SCHEMA}},
            "required": ["results"],
            "additionalProperties": False,
        },
    ),
    READ_TOOL: (
        "Read the full text of one stored problem description, given a path returned by search_descriptions.",
        {
            "type": "object",
            "properties": {
                "path": {
                    "type": "string",
                    "minLength": 1,
                    "maxLength": MAX_PATH_CHARS,
                    "description": "A path exactly as search_descriptions returned it.",
                },
            },
            "required": ["path"],
            "additionalProperties": False,
        },
        None,
    ),
}


def _text_result(text: str, structured: dict[str, Any] | None = None, *, is_error: bool = False) -> CallToolResult:
    from mcp.types import CallToolResult, TextContent

    return CallToolResult(
        content=[TextContent(type="text", text=text)], structured_content=structured, is_error=is_error
    )


@functools.cache
def _validator(tool: str) -> Any:
    from jsonschema import Draft202012Validator  # type: ignore[import-untyped]  # the SDK's own dependency

    return Draft202012Validator(TOOL_SCHEMAS[tool][1])


def _argument_error(tool: str, arguments: Any) -> str | None:
    """A clear message for arguments that do not fit the tool's input schema, or None."""
    from jsonschema.exceptions import best_match  # type: ignore[import-untyped]

    error = best_match(_validator(tool).iter_errors(arguments))
    if error is None:
        return None
    where = f"argument {'.'.join(map(str, error.absolute_path))!r}: " if error.absolute_path else ""
    return f"invalid arguments for {tool}: {where}{error.message}"


def _search(corpus: CorpusView, arguments: dict[str, Any]) -> CallToolResult:
    # The schema admits integral floats such as 5.0.
    top_k = int(arguments.get("top_k", DEFAULT_TOP_K))
    records = [
        {"path": record["path"], "score": record["score"], "preview": record["preview"]}
        for record in corpus.search(arguments["query"], top_k)
    ]
    structured = {"results": records}
    return _text_result(json.dumps(structured, ensure_ascii=False), structured)


def _read(corpus: CorpusView, arguments: dict[str, Any]) -> CallToolResult:
    return _text_result(corpus.read(arguments["path"]))


TOOL_HANDLERS: dict[str, Callable[[CorpusView, dict[str, Any]], CallToolResult]] = {
    SEARCH_TOOL: _search,
    READ_TOOL: _read,
}


# --- the protocol server ----------------------------------------------------------


def build_server(corpus: CorpusView) -> Server[Any]:
    """The protocol server over ``corpus``.

    The handlers call the index directly on the event loop: the index is not
    shared between threads, and one call at a time is what it expects.
    """
    from mcp import types
    from mcp.server.lowlevel import Server
    from mcp.shared.exceptions import MCPError

    from tarvex.store import StoreUnavailable

    tools = [
        types.Tool(
            name=name,
            description=description,
            input_schema=input_schema,
            output_schema=output_schema,
            annotations=types.ToolAnnotations(read_only_hint=True, idempotent_hint=True, open_world_hint=False),
        )
        for name, (description, input_schema, output_schema) in TOOL_SCHEMAS.items()
    ]

    async def list_tools(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        return types.ListToolsResult(tools=tools)

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        handler = TOOL_HANDLERS.get(params.name)
        if handler is None:
            raise MCPError(types.INVALID_PARAMS, f"unknown tool {params.name!r}; the tools are {sorted(TOOL_HANDLERS)}")
        arguments = params.arguments or {}
        message = _argument_error(params.name, arguments)
        if message is not None:
            return _text_result(message, is_error=True)
        try:
            return handler(corpus, arguments)
        except Refused as refusal:
            return _text_result(str(refusal), is_error=True)
        except StoreUnavailable as exc:
            # The store's own one line says everything: no traceback.
            logger.error("%s failed: %s", params.name, exc)
            return _text_result(f"{params.name} failed: {exc}", is_error=True)
        except Exception as exc:
            logger.exception("%s failed", params.name)
            return _text_result(f"{params.name} failed: {type(exc).__name__}: {exc}", is_error=True)

    async def list_resources(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListResourcesResult:
        start = _page_start(params.cursor if params else None)
        with _failures_reported("listing the descriptions"):
            paths = corpus.descriptions()
        page = paths[start : start + RESOURCE_PAGE_SIZE]
        following = start + len(page)
        return types.ListResourcesResult(
            resources=[
                types.Resource(
                    uri=corpus.uri_of(path),
                    name=PurePath(path).relative_to(corpus.root).as_posix(),
                    mime_type="text/plain",
                )
                for path in page
            ],
            next_cursor=str(following) if following < len(paths) else None,
        )

    async def read_resource(ctx: Any, params: types.ReadResourceRequestParams) -> types.ReadResourceResult:
        uri = str(params.uri)
        try:
            with _failures_reported(f"reading {uri}"):
                text = corpus.read(corpus.path_of(uri))
        except (Refused, UnicodeDecodeError):
            raise MCPError(types.INVALID_PARAMS, str(Refused(uri)), {"uri": uri}) from None
        content = types.TextResourceContents(uri=uri, text=text, mime_type="text/plain")
        return types.ReadResourceResult(contents=[content])

    @contextlib.contextmanager
    def _failures_reported(doing: str) -> Iterator[None]:
        try:
            yield
        except (MCPError, Refused, UnicodeDecodeError):
            raise
        except StoreUnavailable as exc:
            logger.error("%s failed: %s", doing, exc)
            raise MCPError(types.INTERNAL_ERROR, f"{doing} failed: {exc}") from None
        except Exception as exc:
            logger.exception("%s failed", doing)
            raise MCPError(types.INTERNAL_ERROR, f"{doing} failed: {type(exc).__name__}: {exc}") from None

    def _page_start(cursor: str | None) -> int:
        if cursor is None:
            return 0
        if not cursor.isdecimal() or len(cursor) > 12:
            raise MCPError(types.INVALID_PARAMS, f"invalid cursor {cursor[:40]!r}")
        return int(cursor)

    return Server(
        SERVER_NAME,
        version=package_version(missing=""),
        instructions=(
            "Search stored optimisation problem descriptions by meaning with search_descriptions, "
            "then read a whole description with read_description."
        ),
        on_list_tools=list_tools,
        on_call_tool=call_tool,
        on_list_resources=list_resources,
        on_read_resource=read_resource,
    )


@contextlib.contextmanager
def _stdout_to_stderr() -> Iterator[None]:
    """Send everything written to standard output, by Python or native code, to standard error.

    Loading a model may print; before the protocol starts, nothing but
    protocol messages may reach standard output.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        with contextlib.redirect_stdout(sys.stderr):
            yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 1)
        os.close(saved)


def _open_corpus(models_dir: str | None, model_name: str, backend: str) -> CorpusView:
    """The index, brought up to date and with its model loaded, so that the first answer is quick."""
    from tarvex import DescriptionIndex
    from tarvex.embedding import EmbeddingUnavailable

    started = time.perf_counter()
    index = DescriptionIndex(models_dir, model_name, backend=backend)
    try:
        # A store that cannot be written still serves what it holds (with a warning).
        stats = index.refresh(answer_from_store=True)
        # Embedding a query loads the model even when every text was already stored;
        # with something to rank, only a model that failed to load answers nothing.
        if not index.rank("", 1) and index.descriptions():
            raise EmbeddingUnavailable(f"the embedding model {model_name!r} could not be loaded")
    except BaseException:
        index.close()
        raise
    logger.info(
        "serving %d descriptions of %s (%s embedded at start) in %.2f s",
        stats.added + stats.changed + stats.unchanged,
        index.models_dir,
        stats.embedded,
        time.perf_counter() - started,
    )
    return CorpusView(index)


async def _answer_malformed(incoming: Any, relayed: Any, outgoing: Any) -> None:
    """Pass the client's messages on; answer a line that is no JSON-RPC message with an error.

    The transport hands such a line over as the exception that parsing it
    raised; the protocol asks for an error response with a null id.
    """
    import anyio
    from mcp import types
    from mcp.shared.message import SessionMessage
    from pydantic import ValidationError

    async with relayed:
        async for item in incoming:
            if not isinstance(item, Exception):
                await relayed.send(item)
                continue
            unparsable = isinstance(item, ValidationError) and any(e["type"] == "json_invalid" for e in item.errors())
            code, message = (
                (types.PARSE_ERROR, "Parse error") if unparsable else (types.INVALID_REQUEST, "Invalid request")
            )
            logger.warning("%s: the client sent a line that is not a JSON-RPC message", message)
            error = types.JSONRPCError(jsonrpc="2.0", id=None, error=types.ErrorData(code=code, message=message))
            with contextlib.suppress(anyio.ClosedResourceError, anyio.BrokenResourceError):
                await outgoing.send(SessionMessage(error))


async def _run(server: Server[Any]) -> None:
    import anyio
    from mcp.server.stdio import stdio_server
    from mcp.shared.message import SessionMessage

    async with stdio_server() as (read_stream, write_stream):
        relay, relayed = anyio.create_memory_object_stream[SessionMessage | Exception](0)
        async with anyio.create_task_group() as tasks:
            tasks.start_soon(_answer_malformed, read_stream, relay, write_stream)
            await server.run(relayed, write_stream, server.create_initialization_options())


def _is_disconnect(exc: BaseException) -> bool:
    """True for the errors a client causes by closing its end of the pipes."""
    if isinstance(exc, BaseExceptionGroup):
        return all(_is_disconnect(inner) for inner in exc.exceptions)
    return isinstance(exc, (BrokenPipeError, ConnectionResetError))


def serve(models_dir: str | None, model_name: str = DEFAULT_MODEL, backend: str = "auto") -> int:
    """Run the server on standard input and output until the client disconnects; returns the exit status."""
    import anyio

    _log_to_stderr()
    try:
        with _stdout_to_stderr():
            corpus = _open_corpus(models_dir, model_name, backend)
    except KeyboardInterrupt:
        return STATUS_INTERRUPTED
    except Exception as exc:
        logger.debug("start-up failed", exc_info=True)
        logger.error("cannot start: %s", exc)
        return STATUS_FAILED
    try:
        server = build_server(corpus)
        _interrupt_ends_process()
        anyio.run(_run, server)
    except KeyboardInterrupt:
        return STATUS_INTERRUPTED
    except BaseException as exc:
        if not _is_disconnect(exc):
            raise
        logger.info("client disconnected")
    finally:
        corpus.close()
    return 0


def _interrupt_ends_process() -> None:
    """Let Ctrl-C end a serving process at once, as a termination signal does.

    The transport reads standard input in a thread that no cancellation
    reaches, so an interrupt raised as an exception would leave the process
    waiting for the client's next line.  Everything the index stored is
    committed, so nothing is lost.
    """
    if threading.current_thread() is threading.main_thread() and (
        signal.getsignal(signal.SIGINT) is signal.default_int_handler
    ):
        signal.signal(signal.SIGINT, signal.SIG_DFL)


def _log_to_stderr() -> None:
    root = logging.getLogger()
    if not root.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("tarvex mcp: %(levelname)s: %(message)s"))
        root.addHandler(handler)
        root.setLevel(logging.WARNING)
    logger.setLevel(logging.INFO)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tarvex.mcp_server",
        description="Serve the description index to an agent host over the Model Context Protocol (standard "
        "input and output).",
    )
    parser.add_argument("--models-dir", metavar="DIR", help="the corpus folder (default: the shipped descriptions)")
    parser.add_argument(
        "--model", default=DEFAULT_MODEL, metavar="NAME", help=f"embedding model (default: {DEFAULT_MODEL})"
    )
    parser.add_argument("--backend", choices=BACKENDS, default="auto", help="embedding backend (default: auto)")
    options = parser.parse_args(argv)
    return serve(options.models_dir, options.model, options.backend)


if __name__ == "__main__":
    sys.exit(main())
