"""The native engine of the description index: corpus scans, bounded reads,
content hashes and exact top-k search."""

from collections.abc import Buffer, Iterable
from os import PathLike
from typing import final

RACY_WINDOW_NS: int
"""Timestamps this close to the start of the scan that recorded them prove nothing."""

_Meta = tuple[str, int, int, int, int]
"""(path, size, mtime_ns, ctime_ns, inode) of one description file."""

_Entry = tuple[str, int, int, int, int, int | None]
"""(path, size, mtime_ns, ctime_ns, inode, scanned_ns): the metadata and the start of
the scan that recorded it (None: unknown, the metadata proves nothing)."""

@final
class Scanner:
    """Lists the description files below one corpus folder and tells which of
    them changed since the scan it remembers, from their metadata alone."""

    def __new__(cls, root: str | PathLike[str]) -> Scanner: ...
    @property
    def root(self) -> str:
        """The corpus folder, spelt as ``str(Path(root))`` spells it."""
    @property
    def prefix(self) -> str:
        """What every listed path starts with (``''`` for ``'.'``): paths relative to the
        root are ``prefix + path``."""
    def load(self, entries: Iterable[_Entry | _Meta], scanned_ns: int | None = None) -> None:
        """Remember the metadata of earlier scans, each entry with the ``time.time_ns()`` at
        which the scan that recorded it started, or ``scanned_ns`` for entries without one;
        replaces whatever the scanner remembered."""
    def scan(self) -> tuple[list[str], list[str], list[str], int]:
        """``(listing, stale, removed, scanned_ns)``; see the README."""
    def read(self, paths: Iterable[str], /) -> list[tuple[_Entry, str | None, str, bytes | None]]:
        """Open each listed path once: ``(entry, real_path, text, text_hash)``, the entry's
        metadata from ``fstat`` of the descriptor the text came from, which the scanner
        remembers from now on, and ``text_hash`` the SHA-256 of the text's UTF-8 encoding
        (``None`` for ``''``); ``KeyError`` for a path not remembered."""

def read_with_real_path(path: str, max_chars: int = 100000) -> tuple[str, str | None]:
    """``(text, real_path)``: the text of a description file as ``tarvex.rag_helper._read_text``
    reads it ('' when it cannot be read or is not a regular file) and where the file it came
    from lies, asked of that same descriptor (``None`` when nothing was opened)."""

def top_k(vectors: Buffer, query: Buffer, k: int) -> list[tuple[int, float]]:
    """The ``k`` rows of ``vectors`` (n x len(query) float32) with the highest dot
    product with ``query``, best first, equal scores in row order; ``k <= 0``: all."""
