"""The description index as a Model Context Protocol server: ``tarvex mcp``.

An agent host starts the server as a subprocess and talks to it over standard
input and output; or, with ``--http``, many agents connect to one server over
streamable HTTP (:mod:`tarvex.mcp_http`).  The server answers at once and
builds the index in a worker thread meanwhile (:mod:`tarvex.mcp_build`: a
request that needs the index waits for the build, with progress notifications
when it asked for them), then offers the tools of :mod:`tarvex.mcp_tools` and
every description as a resource ``tarvex://description/<path below the corpus folder>`` (``text/plain``).

It shows nothing but the corpus (:mod:`tarvex.corpus_view`): any path or URI
that does not name a listed description is refused with the same error.
Standard output carries protocol messages only (:mod:`tarvex.mcp_stdio` writes
them); logging goes to standard error.

This module holds the protocol's handlers (:class:`DescriptionServer`) and
:func:`serve`, which ``tarvex mcp`` runs.
"""

from __future__ import annotations

import contextlib
import json
import logging
import os
import sys
from collections.abc import Callable, Iterator
from datetime import UTC, datetime
from pathlib import PurePath
from typing import TYPE_CHECKING, Any

from tarvex import mcp_build, mcp_stdio
from tarvex._defaults import DEFAULT_MODEL, DEFAULT_TOP_K, NOT_FOUND_PREFIX
from tarvex._shell import (STATUS_FAILED, STATUS_INTERRUPTED, at_least, clean_up_on_termination,
                           interrupt_ends_process, is_disconnect, json_records, package_version, score_problem)
from tarvex.corpus_view import CorpusView, Refused
from tarvex.mcp_build import Build, BuildFailed, one_line
from tarvex.mcp_tools import (BUILDING, INFO_TOOL, INSTRUCTIONS, READ_TOOL, READY, SEARCH_TOOL, argument_error, echo,
                              listed_tools, text_result)

if TYPE_CHECKING:
    from mcp.server.lowlevel import Server
    from mcp.types import CallToolResult

    from tarvex.mcp_http import HttpOptions

SERVER_NAME = "tarvex"
RESOURCE_PAGE_SIZE = 500

logger = logging.getLogger(__name__)


class DescriptionServer:
    """The protocol's handlers over one corpus, as methods.

    The first build runs in a worker thread (see :class:`Build`); a handler
    that needs the index waits for it, then calls the index directly on the
    event loop: one call at a time is what the index expects.
    """

    def __init__(self, corpus: CorpusView) -> None:
        self.corpus = corpus
        self.build = Build(corpus)
        self.tools = listed_tools()
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
            instructions=INSTRUCTIONS,
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
        return text_result(json.dumps(structured, ensure_ascii=False, allow_nan=False), structured)

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
                error = one_line(missing)
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
        return text_result(json.dumps(structured, ensure_ascii=False), structured)

    def read(self, arguments: dict[str, Any]) -> CallToolResult:
        return text_result(self.corpus.read(arguments["path"]))

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
                           f"unknown tool {echo(params.name)!r}; the tools are {sorted(self.tool_handlers)}")
        arguments = params.arguments or {}
        message = argument_error(params.name, arguments)
        if message is None and (problem := score_problem(arguments.get("min_score"))) is not None:
            message = f"invalid arguments for {params.name}: argument 'min_score': {problem}"
        if message is not None:
            return text_result(message, is_error=True)
        try:
            if handler != self.info:
                await self.build.ready(ctx)
            return handler(arguments)
        except BuildFailed as failure:
            return text_result(f"{params.name} failed: {failure}", is_error=True)
        except Refused as refusal:
            return text_result(str(refusal), is_error=True)
        except StoreUnavailable as exc:
            # The store's own one line says everything: no traceback.
            logger.error("%s failed: %s", params.name, exc)
            return text_result(f"{params.name} failed: {exc}", is_error=True)
        except Exception as exc:
            logger.exception("%s failed", params.name)
            return text_result(f"{params.name} failed: {type(exc).__name__}: {exc}", is_error=True)

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
            raise MCPError(types.INVALID_PARAMS, str(Refused(uri)), {"uri": echo(uri)}) from None
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


def _open_corpus(corpus: str | None, model_name: str, backend: str,
                 cache_dir: str | os.PathLike[str] | None = None, **store: Any) -> CorpusView:
    """The index of an existing corpus folder (or of a corpus in a store that keeps texts), opened but not
    yet built (the server builds it meanwhile)."""
    from tarvex import DescriptionIndex

    index = DescriptionIndex(corpus, model_name, backend=backend, cache_dir=cache_dir, on_build=logger.info,
                             **store)
    if not index.from_store and not index.corpus.is_dir():
        # A folder named wrong is the host's set-up to mend: said at once, not at the first search.
        index.close()
        raise FileNotFoundError(f"{NOT_FOUND_PREFIX}{index.corpus}")
    return CorpusView(index)


def serve(corpus: str | None, model_name: str = DEFAULT_MODEL, backend: str = "auto",
          cache_dir: str | os.PathLike[str] | None = None, http: HttpOptions | None = None, **store: Any) -> int:
    """Run the server until its client disconnects (standard input and output) or, with ``http``,
    until SIGTERM; returns the exit status.  One server, two transports: chosen last."""
    import anyio

    _log_to_stderr()
    clean_up_on_termination()
    if http is None and sys.stdin is None:  # closed when the process started: descriptor 0 may be any file opened since
        logger.error("cannot start: standard input is closed")
        return STATUS_FAILED
    try:
        with _stdout_to_stderr():
            view = _open_corpus(corpus, model_name, backend, cache_dir, **store)
    except KeyboardInterrupt:
        return STATUS_INTERRUPTED
    except Exception as exc:
        logger.debug("start-up failed", exc_info=True)
        logger.error("cannot start: %s", exc)
        return STATUS_FAILED
    try:
        handlers = DescriptionServer(view)
        if http is not None:
            from tarvex import mcp_http

            with _stdout_to_stderr():
                return mcp_http.run(handlers.protocol_server(), http,
                                    lambda: handlers.info({}).structured_content or {})
        # The transport reads standard input in a thread that no cancellation reaches.
        interrupt_ends_process()
        with _stdout_to_stderr() as wire:
            anyio.run(mcp_stdio.run, handlers.protocol_server(), wire, handlers.build.state_and_progress)
    except KeyboardInterrupt:
        return STATUS_INTERRUPTED
    except BaseException as exc:
        if not is_disconnect(exc):
            raise
        logger.info("client disconnected")
    finally:
        view.close()
    return 0


def _log_to_stderr() -> None:
    root = logging.getLogger()
    if not root.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("tarvex mcp: %(levelname)s: %(message)s"))
        root.addHandler(handler)
        root.setLevel(logging.WARNING)
    for module in (__name__, mcp_build.__name__, mcp_stdio.__name__, "tarvex.mcp_http"):  # the server's own say what it does
        logging.getLogger(module).setLevel(logging.INFO)
