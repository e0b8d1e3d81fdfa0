"""The description index as a Model Context Protocol server: ``tarvex mcp``.

An agent host starts the server as a subprocess and talks to it over standard
input and output.  The server answers at once and builds the index in a worker
thread meanwhile (a request that needs the index waits for the build, with
progress notifications when it asked for them), then offers:

* the tool ``search_descriptions(query, top_k=10, min_score=None)``: the
  records of :meth:`tarvex.DescriptionIndex.rank` (``path``, ``score``,
  ``preview``), best first, those scoring below ``min_score`` left out, as
  structured content;
* the tool ``read_description(path)``: the full text of one description, for
  a path that the index lists;
* the tool ``index_info()``: the corpus, the counts, the model, the backend,
  the state of the build and when the index was last brought up to date
  (answered at once, during the build too);
* every description as a resource ``tarvex://description/<path below the
  corpus folder>`` (``text/plain``).

It shows nothing but the corpus: a text or preview is shown only when the file
it was read from lay inside the corpus folder's real path, as the kernel told
through the very descriptor it was read with (so a link out of the corpus, even
one swapped in for a moment, shows nothing), and any path or URI that does not
name a listed description is refused with the same error.  Standard output carries protocol
messages only; logging goes to standard error.

Run it directly with ``python -m tarvex.mcp_server [--models-dir DIR]
[--model NAME] [--backend B] [--cache-dir DIR]``; ``tarvex mcp`` takes the same
options.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import functools
import json
import logging
import os
import sys
import time
from collections.abc import Callable, Collection, Iterator, Sequence
from datetime import UTC, datetime
from pathlib import PurePath
from typing import TYPE_CHECKING, Any
from urllib.parse import quote, unquote

from tarvex._defaults import DEFAULT_MODEL, DEFAULT_TOP_K, PREVIEW_CHARS
from tarvex._shell import (MCP_DESCRIPTION, STATUS_FAILED, STATUS_INTERRUPTED, add_index_options, at_least,
                           clean_up_on_termination, environment_problem, interrupt_ends_process, is_disconnect,
                           json_records, package_version, score_problem)

if TYPE_CHECKING:
    from mcp.server.lowlevel import Server
    from mcp.types import CallToolResult

    from tarvex import DescriptionIndex
    from tarvex.index import RefreshStats

SERVER_NAME = "tarvex"

MAX_TOP_K = 100
MAX_QUERY_CHARS = 10_000
MAX_PATH_CHARS = 4096
RESOURCE_PAGE_SIZE = 500
ECHO_CHARS = 200
# Characters kept from the end of a schema validator's message when it is cut short.
SCHEMA_MESSAGE_TAIL = 40
# At the end of input, how long the server may stay silent with requests unanswered.
DRAIN_STALL_SECONDS = 60
# How often a request waiting for the build looks at its progress.
BUILD_POLL_SECONDS = 0.2
# The longest line the client may send: the largest valid request is about 15 KB.  A longer
# line is discarded as it arrives, never held whole, and answered with one error.
MAX_LINE_BYTES = 4 << 20
# Bytes taken from standard input per read.
READ_BYTES = 1 << 16
RESOURCE_PREFIX = "tarvex://description/"

logger = logging.getLogger(__name__)


def _echo(text: str, tail: int = 0) -> str:
    """The client's own text cut short for an error message, which is no place to send a
    long input back: its first characters, "...", and its last ``tail`` characters."""
    if len(text) <= ECHO_CHARS:
        return text
    return text[: ECHO_CHARS - tail] + "..." + (text[len(text) - tail :] if tail else "")


class Refused(Exception):
    """A path or URI that does not name a description the server may show."""

    def __init__(self, what: str) -> None:
        super().__init__(
            f"{_echo(what)!r} is not a description of this corpus; "
            "use a path returned by search_descriptions or a URI from the resource list"
        )


class CorpusView:
    """What the server may show of an index: texts read from files inside the corpus folder.

    The library follows a link to a ``.txt`` file wherever it points; the
    server must not.  It judges each text by where the file it was read from
    really lay, as the index recorded it from the descriptor the text came
    through (or, for a read, as the descriptor it opened itself tells): never
    by resolving a path before or after, which a link swapped meanwhile
    would fool.  Every record and text leaving here passes :meth:`shows`.
    """

    def __init__(self, index: DescriptionIndex) -> None:
        self._index = index
        self.root = index.models_dir
        self._real_root = os.path.realpath(self.root)
        self.updated_at: float | None = None  # when the index was last brought up to date (time.time())

    @property
    def index(self) -> DescriptionIndex:
        return self._index

    def build(self, progress: Callable[[int, int], None] | None = None) -> RefreshStats:
        """Bring the index up to date and load the model, so that a search answers at once afterwards."""
        stats = self._index.refresh(progress=progress, answer_from_store=True)
        # With something to rank, the model runs once now (no second scan); one that
        # cannot be loaded raises EmbeddingUnavailable instead of answering nothing.
        self._index.rank("", 1, refresh=False, raise_unavailable=True)
        self.updated_at = time.time()
        return stats

    def shows(self, path: str, real_path: str | None) -> bool:
        """True when ``real_path``, where the text of ``path`` was read from, lies strictly inside the corpus folder.

        An unknown real path shows nothing, and neither does a name that is
        not UTF-8, which cannot travel in a protocol message.
        """
        try:
            path.encode("utf-8")
        except ValueError:
            return False
        return (
            real_path is not None
            and os.path.isabs(real_path)
            and real_path != self._real_root
            and os.path.commonpath((real_path, self._real_root)) == self._real_root
        )

    def search(self, query: str, top_k: int) -> list[dict[str, Any]]:
        """The ``top_k`` best records that may be shown, best first: the index
        ranks only those, from one scan.  Each record is checked again on its
        way out."""
        records = self._index.rank_with_sources(query, top_k, keep=self.shows)
        self.updated_at = time.time()
        return [
            {"path": record["path"], "score": record["score"], "preview": record["preview"]}
            for record in records
            if self.shows(record["path"], record["real_path"])
        ]

    def descriptions(self) -> list[str]:
        return [path for path, real_path in self._index.sources().items() if self.shows(path, real_path)]

    def read(self, path: str) -> str:
        """The text of a listed description, exactly as the engine reads it; :class:`Refused` for anything else.

        The text is returned only when the descriptor it was read through
        names a file inside the corpus folder.
        """
        try:
            text, real_path = self._index.read_with_source(path)
        except KeyError:
            raise Refused(path) from None
        if not self.shows(path, real_path):
            raise Refused(path)
        return text

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
INFO_TOOL = "index_info"

BUILDING, READY, FAILED = "building", "ready", "failed"

RECORD_SCHEMA: dict[str, Any] = {
    "type": "object",
    "properties": {
        "path": {"type": "string", "description": "The description file; pass it to read_description."},
        "score": {"type": ["number", "null"],
                  "description": "Cosine similarity to the query (higher is closer); null when the model gave none."},
        "preview": {"type": "string", "description": f"The first {PREVIEW_CHARS} characters, line feeds as spaces."},
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
                "min_score": {
                    "type": "number",
                    "minimum": -1,
                    "maximum": 1,
                    "description": "Leave out matches scoring below this (cosine similarity, -1 to 1).",
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
    INFO_TOOL: (
        "Tell what the server searches: the corpus folder, how many descriptions it lists and how many "
        "have a vector, the model and backend, whether the index is still being built (with the texts "
        "embedded so far) or ready, and when it was last brought up to date.  Answers at once.",
        {"type": "object", "properties": {}, "additionalProperties": False},
        {
            "type": "object",
            "properties": {
                "corpus": {"type": "string", "description": "The corpus folder."},
                "source": {"enum": ["folder", "store"],
                           "description": "Whether the descriptions are read from the corpus folder, or from "
                                          "the store alone (the folder is not on this machine)."},
                "store": {"type": "string", "description": "Where the vectors and the file list are kept."},
                "state": {"enum": [BUILDING, READY, FAILED]},
                "progress": {
                    "type": ["object", "null"],
                    "properties": {"embedded": {"type": "integer"}, "total": {"type": "integer"}},
                    "description": "While building: texts embedded so far, of how many (null before "
                                   "embedding starts and once the build is over).",
                },
                "error": {"type": ["string", "null"],
                          "description": "Why the build failed, or why the descriptions cannot be listed now "
                                         "(the corpus folder is missing, say)."},
                "descriptions": {"type": ["integer", "null"],
                                 "description": "Descriptions listed now (null until the index is built)."},
                "vectors": {"type": ["integer", "null"],
                            "description": "Descriptions ranked, as of updated_at (null until built)."},
                "truncated": {"type": ["integer", "null"],
                              "description": "Descriptions ranked by their first max_tokens tokens only, "
                                             "being longer (null until built, or when the model cannot tell)."},
                "max_tokens": {"type": ["integer", "null"], "description": "Tokens of a text the model reads."},
                "model": {"type": "string"},
                "backend": {"type": "string", "description": "The backend loaded, else the one asked for."},
                "updated_at": {"type": ["string", "null"],
                               "description": "When the index was last brought up to date (ISO 8601, UTC)."},
            },
            "required": ["corpus", "source", "store", "state", "progress", "error", "descriptions", "vectors", "truncated",
                         "max_tokens", "model", "backend", "updated_at"],
            "additionalProperties": False,
        },
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
    # The validator's message quotes the offending value whole; its end says what is wrong with it.
    return f"invalid arguments for {tool}: {where}{_echo(error.message, tail=SCHEMA_MESSAGE_TAIL)}"


# --- the build in the background ---------------------------------------------------


class BuildFailed(Exception):
    """The index could not be built: every request that needs it fails with this one line."""


class _BuildStopped(Exception):
    """Raised in the worker to end a build whose server has ended."""


def _says_why(error: BaseException) -> bool:
    """Whether an error's own words say what went wrong (else it is named by its type, with a traceback logged)."""
    from tarvex.embedding import EmbeddingUnavailable
    from tarvex.vector_store import StoreUnavailable

    return isinstance(error, (StoreUnavailable, EmbeddingUnavailable, FileNotFoundError))


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text if _says_why(error) else f"{type(error).__name__}: {text}"


class Build:
    """The index's first build, run in a worker thread while the server answers.

    The worker writes only ``progress`` (one assignment, read on the event
    loop); ``state`` changes on the loop once the worker is done, and until
    then nothing on the loop touches the index, whose lock the worker holds.
    """

    def __init__(self, corpus: CorpusView) -> None:
        self.corpus = corpus
        self.state = BUILDING
        self.progress: tuple[int, int] | None = None  # (texts embedded, of how many)
        self.failure: str | None = None
        self.stats: RefreshStats | None = None

    def _work(self, stopped: list[bool]) -> RefreshStats:
        def progressed(done: int, total: int) -> None:
            if stopped[0]:
                raise _BuildStopped
            self.progress = (done, total)

        return self.corpus.build(progressed)

    async def run(self) -> None:
        import anyio

        started = time.perf_counter()
        self.state, self.progress, self.failure = BUILDING, None, None
        stopped = [False]  # this run's own: a run abandoned meanwhile stops at its next chunk
        try:
            # Abandoned when the server ends (or a request retrying it is cancelled): the worker
            # stops at its next chunk, and closing the index waits for its lock until then.
            stats = await anyio.to_thread.run_sync(self._work, stopped, abandon_on_cancel=True)
        except anyio.get_cancelled_exc_class():
            stopped[0] = True
            self.failure, self.state = "the build was cancelled", FAILED
            raise
        except Exception as error:
            self.failure = _one_line(error)
            if not _says_why(error):
                logger.error("the index could not be built", exc_info=error)
            logger.error("the index could not be built: %s", self.failure)
            self.state = FAILED
            return
        self.stats = stats
        self.state = READY
        logger.info("serving %d descriptions of %s (%s embedded) after %.2f s",
                    stats.added + stats.changed + stats.unchanged, self.corpus.root, stats.embedded,
                    time.perf_counter() - started)

    def busy(self) -> object:
        """A value that changes while the build moves on (for the end of input's stall rule)."""
        return self.state, self.progress

    async def ready(self, ctx: Any) -> None:
        """Return once the index is built, having sent the request's progress meanwhile
        when it asked for it; :class:`BuildFailed` with the build's reason.

        A build that failed is run again, once for this request (whatever failed, a
        full disk say, may have been mended meanwhile); requests that come while it
        runs wait for it.
        """
        import anyio

        if self.state == READY:
            return
        if self.state == FAILED:
            logger.info("building the index again (it failed: %s)", self.failure)
            self.corpus.index.retry_writes()
            await self.run()
            if self.state == FAILED:
                raise BuildFailed(self.failure)
            return
        reported = -1
        while True:
            state = self.state  # read before the progress, so that the last progress is seen
            progress = self.progress
            if state == FAILED:
                raise BuildFailed(self.failure)
            if progress is not None and progress[0] > reported:
                done, total = progress
                await ctx.session.report_progress(done, total, f"{done} of {total} texts embedded")
                reported = done
            if state == READY:
                return
            await anyio.sleep(BUILD_POLL_SECONDS)


# --- the protocol server ----------------------------------------------------------


class DescriptionServer:
    """The protocol's handlers over one corpus, as methods.

    The first build runs in a worker thread (see :class:`Build`); a handler
    that needs the index waits for it, then calls the index directly on the
    event loop: one call at a time is what the index expects.
    """

    def __init__(self, corpus: CorpusView) -> None:
        from mcp import types

        self.corpus = corpus
        self.build = Build(corpus)
        self.tools = [
            types.Tool(
                name=name,
                description=description,
                input_schema=input_schema,
                output_schema=output_schema,
                annotations=types.ToolAnnotations(read_only_hint=True, idempotent_hint=True, open_world_hint=False),
            )
            for name, (description, input_schema, output_schema) in TOOL_SCHEMAS.items()
        ]
        self.tool_handlers: dict[str, Callable[[dict[str, Any]], CallToolResult]] = {
            SEARCH_TOOL: self.search,
            READ_TOOL: self.read,
            INFO_TOOL: self.info,
        }

    def protocol_server(self) -> Server[Any]:
        from mcp.server.lowlevel import Server

        return Server(
            SERVER_NAME,
            version=package_version(missing=""),
            instructions=(
                "Search stored optimisation problem descriptions by meaning with search_descriptions, "
                "then read a whole description with read_description; index_info tells whether the "
                "index is still being built."
            ),
            lifespan=self._building,
            on_list_tools=self.list_tools,
            on_call_tool=self.call_tool,
            on_list_resources=self.list_resources,
            on_read_resource=self.read_resource,
        )

    @contextlib.asynccontextmanager
    async def _building(self, server: Any) -> Any:
        """The build runs beside the server, wherever the server runs, and ends with it."""
        import anyio

        async with anyio.create_task_group() as tasks:
            tasks.start_soon(self.build.run)
            try:
                yield {}
            finally:
                tasks.cancel_scope.cancel()

    # -- tools --

    def search(self, arguments: dict[str, Any]) -> CallToolResult:
        # The schema admits integral floats such as 5.0.
        top_k = int(arguments.get("top_k", DEFAULT_TOP_K))
        records = self.corpus.search(arguments["query"], top_k)
        records = at_least(records, arguments.get("min_score"))
        structured = {"results": json_records(records)}
        return _text_result(json.dumps(structured, ensure_ascii=False, allow_nan=False), structured)

    def info(self, arguments: dict[str, Any]) -> CallToolResult:
        build, index = self.build, self.corpus.index
        ready = build.state == READY
        updated_at = self.corpus.updated_at
        progress = build.progress if build.state == BUILDING else None
        truncation = index.truncation() if ready else None
        error, listed = build.failure, None
        if ready:  # the index is free to be asked only once built; while building, its lock is the worker's
            try:
                listed = len(self.corpus.descriptions())
            except (FileNotFoundError, OSError) as missing:  # the folder went, the store cannot be read
                error = _one_line(missing)
        structured = {
            "corpus": str(self.corpus.root),
            "source": "store" if index.from_store else "folder",
            "store": index.store_location,
            "state": build.state,
            "progress": None if progress is None else {"embedded": progress[0], "total": progress[1]},
            "error": error,
            "descriptions": listed,
            "vectors": index.ranked_count(self.corpus.shows) if ready else None,
            "truncated": truncation[0] if truncation else None,
            "max_tokens": truncation[1] if truncation else None,
            "model": index.model_name,
            "backend": index.backend_used or index.backend,
            "updated_at": None if updated_at is None else datetime.fromtimestamp(updated_at, UTC).isoformat(
                timespec="seconds"),
        }
        return _text_result(json.dumps(structured, ensure_ascii=False), structured)

    def read(self, arguments: dict[str, Any]) -> CallToolResult:
        return _text_result(self.corpus.read(arguments["path"]))

    async def list_tools(self, ctx: Any, params: Any) -> Any:
        from mcp import types

        return types.ListToolsResult(tools=self.tools)

    async def call_tool(self, ctx: Any, params: Any) -> CallToolResult:
        from mcp import types
        from mcp.shared.exceptions import MCPError

        from tarvex.vector_store import StoreUnavailable

        handler = self.tool_handlers.get(params.name)
        if handler is None:
            raise MCPError(types.INVALID_PARAMS,
                           f"unknown tool {_echo(params.name)!r}; the tools are {sorted(self.tool_handlers)}")
        arguments = params.arguments or {}
        message = _argument_error(params.name, arguments)
        if message is None and (problem := score_problem(arguments.get("min_score"))) is not None:
            message = f"invalid arguments for {params.name}: argument 'min_score': {problem}"
        if message is not None:
            return _text_result(message, is_error=True)
        try:
            if handler != self.info:
                await self.build.ready(ctx)
            return handler(arguments)
        except BuildFailed as failure:
            return _text_result(f"{params.name} failed: {failure}", is_error=True)
        except Refused as refusal:
            return _text_result(str(refusal), is_error=True)
        except StoreUnavailable as exc:
            # The store's own one line says everything: no traceback.
            logger.error("%s failed: %s", params.name, exc)
            return _text_result(f"{params.name} failed: {exc}", is_error=True)
        except Exception as exc:
            logger.exception("%s failed", params.name)
            return _text_result(f"{params.name} failed: {type(exc).__name__}: {exc}", is_error=True)

    # -- resources --

    async def list_resources(self, ctx: Any, params: Any) -> Any:
        from mcp import types

        start = self._page_start(params.cursor if params else None)
        with self._failures_reported("listing the descriptions"):
            await self.build.ready(ctx)
            paths = self.corpus.descriptions()
        page = paths[start : start + RESOURCE_PAGE_SIZE]
        following = start + len(page)
        return types.ListResourcesResult(
            resources=[
                types.Resource(
                    uri=self.corpus.uri_of(path),
                    name=PurePath(path).relative_to(self.corpus.root).as_posix(),
                    mime_type="text/plain",
                )
                for path in page
            ],
            next_cursor=str(following) if following < len(paths) else None,
        )

    async def read_resource(self, ctx: Any, params: Any) -> Any:
        from mcp import types
        from mcp.shared.exceptions import MCPError

        uri = str(params.uri)
        try:
            with self._failures_reported(f"reading {uri}"):
                await self.build.ready(ctx)
                text = self.corpus.read(self.corpus.path_of(uri))
        except (Refused, UnicodeDecodeError):
            raise MCPError(types.INVALID_PARAMS, str(Refused(uri)), {"uri": _echo(uri)}) from None
        content = types.TextResourceContents(uri=uri, text=text, mime_type="text/plain")
        return types.ReadResourceResult(contents=[content])

    @staticmethod
    @contextlib.contextmanager
    def _failures_reported(doing: str) -> Iterator[None]:
        from mcp import types
        from mcp.shared.exceptions import MCPError

        from tarvex.vector_store import StoreUnavailable

        try:
            yield
        except (MCPError, Refused, UnicodeDecodeError):
            raise
        except BuildFailed as exc:
            raise MCPError(types.INTERNAL_ERROR, f"{doing} failed: {exc}") from None
        except StoreUnavailable as exc:
            logger.error("%s failed: %s", doing, exc)
            raise MCPError(types.INTERNAL_ERROR, f"{doing} failed: {exc}") from None
        except Exception as exc:
            logger.exception("%s failed", doing)
            raise MCPError(types.INTERNAL_ERROR, f"{doing} failed: {type(exc).__name__}: {exc}") from None

    @staticmethod
    def _page_start(cursor: str | None) -> int:
        from mcp import types
        from mcp.shared.exceptions import MCPError

        if cursor is None:
            return 0
        if not cursor.isdecimal() or len(cursor) > 12:
            raise MCPError(types.INVALID_PARAMS, f"invalid cursor {cursor[:40]!r}")
        return int(cursor)


def build_server(corpus: CorpusView) -> Server[Any]:
    """The protocol server over ``corpus``."""
    return DescriptionServer(corpus).protocol_server()


@contextlib.contextmanager
def _stdout_to_stderr() -> Iterator[int]:
    """Send everything written to standard output, by Python or native code, to standard error.

    Loading a model or a handler may print; nothing but protocol messages may
    reach standard output.  Yields a descriptor of the real standard output,
    for the protocol's own messages.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        with contextlib.redirect_stdout(sys.stderr):
            yield saved
    finally:
        sys.stderr.flush()
        os.dup2(saved, 1)
        os.close(saved)


def _open_corpus(models_dir: str | None, model_name: str, backend: str,
                 cache_dir: str | os.PathLike[str] | None = None, **store: Any) -> CorpusView:
    """The index of an existing corpus folder (or of a corpus in a store that keeps texts), opened but not
    yet built (the server builds it meanwhile)."""
    from tarvex import DescriptionIndex

    index = DescriptionIndex(models_dir, model_name, backend=backend, cache_dir=cache_dir, on_build=logger.info,
                             **store)
    if not index.from_store and not index.models_dir.is_dir():
        # A folder named wrong is the host's set-up to mend: said at once, not at the first search.
        index.close()
        raise FileNotFoundError(f"Models directory not found: {index.models_dir}")
    return CorpusView(index)


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
    """An error answer whose data echoes no more than ECHO_CHARS characters of any value.

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
        data = _echo(data)
    elif isinstance(data, dict):
        data = {key: _echo(value) if isinstance(value, str) else value for key, value in data.items()}
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


async def _run(server: Server[Any], wire: int, working: Callable[[], object] = lambda: None) -> None:
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


def serve(models_dir: str | None, model_name: str = DEFAULT_MODEL, backend: str = "auto",
          cache_dir: str | os.PathLike[str] | None = None, **store: Any) -> int:
    """Run the server on standard input and output until the client disconnects; returns the exit status."""
    import anyio

    _log_to_stderr()
    clean_up_on_termination()
    if sys.stdin is None:  # closed when the process started: descriptor 0 may be any file opened since
        logger.error("cannot start: standard input is closed")
        return STATUS_FAILED
    try:
        with _stdout_to_stderr():
            corpus = _open_corpus(models_dir, model_name, backend, cache_dir, **store)
    except KeyboardInterrupt:
        return STATUS_INTERRUPTED
    except Exception as exc:
        logger.debug("start-up failed", exc_info=True)
        logger.error("cannot start: %s", exc)
        return STATUS_FAILED
    try:
        handlers = DescriptionServer(corpus)
        # The transport reads standard input in a thread that no cancellation reaches.
        interrupt_ends_process()
        with _stdout_to_stderr() as wire:
            anyio.run(_run, handlers.protocol_server(), wire, handlers.build.busy)
    except KeyboardInterrupt:
        return STATUS_INTERRUPTED
    except BaseException as exc:
        if not is_disconnect(exc):
            raise
        logger.info("client disconnected")
    finally:
        corpus.close()
    return 0


def _log_to_stderr() -> None:
    root = logging.getLogger()
    if not root.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("tarvex mcp: %(levelname)s: %(message)s"))
        root.addHandler(handler)
        root.setLevel(logging.WARNING)
    logger.setLevel(logging.INFO)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tarvex.mcp_server", description=MCP_DESCRIPTION)
    add_index_options(parser)
    options = parser.parse_args(argv)
    if (problem := environment_problem()) is not None:
        parser.error(problem)
    return serve(options.models_dir, options.model, options.backend, options.cache_dir, store=options.store,
                 corpus_name=options.corpus_name, from_store=options.from_store)


if __name__ == "__main__":
    sys.exit(main())
