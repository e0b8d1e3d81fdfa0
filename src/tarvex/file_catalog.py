"""What the description index asks of a store's file catalog: each corpus, and each of its files as last read.

A corpus is known by a name: by default the real path of its folder, or a name
its writer gives it so that searchers elsewhere find it.  A file row holds the
metadata the file had when it was read, the hash and preview of its text, and
where the file that text came from lay: all from one opened descriptor, so a
link swapped between the listing and the read never pairs one file's text with
another's metadata.  A catalog that keeps the texts themselves serves
searchers that do not see the corpus folder.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Protocol


@dataclass(frozen=True, slots=True)
class FileRow:
    """One description file as the catalog remembers it."""

    path: str  # relative to the corpus folder
    size: int
    mtime_ns: int
    ctime_ns: int
    inode: int
    scanned_ns: int
    text_hash: bytes | None  # None: empty or unreadable, never ranked
    preview: str
    real_path: str | None = None  # where the text's file lay; None: unknown, read it again


class FileCatalog(Protocol):
    """The files half of a store."""

    # Whether the catalog keeps each text (see :meth:`text`), so that it can answer without the folder.
    keeps_texts: bool

    def corpus(self, name: str, *, add: bool = True) -> int | None:
        """The id of a corpus, added on first use (None when absent and not ``add``)."""
        ...

    def files(self, corpus_id: int) -> list[FileRow]:
        """The corpus's file rows; a row damaged in the store is left out (its file is read again)."""
        ...

    def update_files(self, corpus_id: int, rows: Sequence[FileRow], removed: Sequence[str], scanned_ns: int,
                     texts: Mapping[bytes, str]) -> None:
        """Record one scan's changes in one transaction; ``texts`` holds the text of each new
        hash among ``rows`` (kept only by a catalog that keeps texts)."""
        ...

    def text(self, text_hash: bytes) -> str | None:
        """The kept text of a hash (None: not kept)."""
        ...
