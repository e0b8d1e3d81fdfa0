"""The MCP server's first build of the index, run in a worker thread while the server
answers: its state and progress, and the wait of a request that needs the index (with
progress notifications when the request asked for them).  A build that failed fails
every such request with its one line, and is tried again for the next.
"""

from __future__ import annotations

import logging
import time
from typing import TYPE_CHECKING, Any

from tarvex.mcp_tools import BUILDING, FAILED, READY

if TYPE_CHECKING:
    from tarvex.corpus_view import CorpusView
    from tarvex.index import RefreshStats

# How often a request waiting for the build looks at its progress.
BUILD_POLL_SECONDS = 0.2

logger = logging.getLogger(__name__)


class BuildFailed(Exception):
    """The index could not be built: every request that needs it fails with this one line."""


class _BuildStopped(Exception):
    """Raised in the worker to end a build whose server has ended."""


def _says_why(error: BaseException) -> bool:
    """Whether an error's own words say what went wrong (else it is named by its type, with a traceback logged)."""
    from tarvex.embedding import EmbeddingUnavailable
    from tarvex.vector_store import StoreUnavailable

    return isinstance(error, (StoreUnavailable, EmbeddingUnavailable, FileNotFoundError))


def one_line(error: BaseException) -> str:
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
            self.failure = one_line(error)
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

    def state_and_progress(self) -> tuple[str, tuple[int, int] | None]:
        """The build's state and progress as they are now: they change while the build moves on
        (the transport's end of input waits on while they do)."""
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
