"""What the MCP server may show of an index: the descriptions whose files lie inside the
corpus folder, each also named by a ``tarvex://description/...`` URI; every other path
or URI is refused with one and the same error.

It shows nothing but the corpus: a text or preview is shown only when the file it was
read from lay inside the corpus folder's real path, as the kernel told through the very
descriptor it was read with (so a link out of the corpus, even one swapped in for a
moment, shows nothing).
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable
from pathlib import PurePath
from typing import TYPE_CHECKING, Any
from urllib.parse import quote, unquote

from tarvex.mcp_tools import SEARCH_TOOL, echo

if TYPE_CHECKING:
    from tarvex import DescriptionIndex
    from tarvex.index import RefreshStats

RESOURCE_PREFIX = "tarvex://description/"


class Refused(Exception):
    """A path or URI that does not name a description the server may show."""

    def __init__(self, what: str) -> None:
        super().__init__(
            f"{echo(what)!r} is not a description of this corpus; "
            f"use a path returned by {SEARCH_TOOL} or a URI from the resource list"
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
        self.root = index.corpus
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
