"""The description files of one corpus as the index last read them, kept in step with the folder and the catalog.

Each scan compares the folder's metadata with what the catalog remembers (the
native engine's scanner), and opens, reads and hashes only the files that
changed.  The metadata, text, hash and real path of a file all come from one
opened descriptor, so a link swapped meanwhile shows as a change at the next
scan instead of pairing one file's text with another's metadata.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Protocol, TypeVar

from tarvex import _index_engine as engine
from tarvex._defaults import PREVIEW_CHARS
from tarvex.file_catalog import FileCatalog, FileRow
from tarvex.vector_store import Row

# Texts read in one scan are kept for embedding up to this many characters.
TEXT_BUDGET_CHARS = 32_000_000
# Stale files opened and read per engine call: bounds the texts held at once.
READ_CHUNK = 1024

_T = TypeVar("_T")
# A file read: (path, its row as known before, its text, its new row for the catalog or None).
Read = tuple[str, "FileRow | None", str, "FileRow | None"]


class Written(Protocol):
    """The index's way to write: a write the store refuses may be skipped, giving ``otherwise``."""

    def __call__(self, write: Callable[[], _T], otherwise: _T) -> _T: ...


@dataclass(frozen=True, slots=True)
class FileChanges:
    """What one look at the corpus found."""

    added: list[str]  # listed paths that were not known
    changed: list[str]  # known paths whose text changed
    removed: int
    same_paths: bool  # the listing holds the same paths as before


def preview(text: str) -> str:
    return text[:PREVIEW_CHARS].replace("\n", " ")


def path_order(path: str) -> bytes:
    """The engine's order of paths, for paths that are valid UTF-8: as lists of parts."""
    return os.fsencode(path).replace(b"/", b"\0")


class CorpusFiles:
    """The listed files of one corpus (by listed path), their rows in the catalog, and texts read
    whose vectors may still be missing."""

    def __init__(self, root: str, catalog: FileCatalog, written: Written) -> None:
        self._catalog = catalog
        self._written = written
        self.key: str | None = None  # the corpus's name in the catalog, once attached
        self.corpus_id = 0  # 0: not in the catalog (no row has it)
        self._scanner = engine.Scanner(root)
        self._scanned_ns = 0  # start of the last scan
        self.listing: list[str] = []
        self.files: dict[str, FileRow] = {}  # FileRow.path is relative to the folder
        self._texts: dict[bytes, str] = {}
        self._texts_chars = 0

    @property
    def prefix(self) -> str:
        """Joined to a path the catalog records, gives the listed path."""
        return self._scanner.prefix

    def attach(self, key: str, *, add: bool = True) -> None:
        """Take the corpus the catalog knows by ``key`` (added on first use when ``add``), and what it remembers."""
        self.corpus_id = ((add and self._written(lambda: self._catalog.corpus(key), None))
                          or self._catalog.corpus(key, add=False) or 0)
        self.key = key
        if not add:
            return
        entries = []
        prefix = self.prefix
        for row in self._catalog.files(self.corpus_id):
            path = prefix + row.path
            self.files[path] = row
            # A row without the real path of its text (stored before it was kept) is read
            # again: with no scan time its metadata proves nothing.
            entries.append((path, row.size, row.mtime_ns, row.ctime_ns, row.inode,
                            row.scanned_ns if row.real_path is not None else None))
        self._scanner.load(entries)

    def rows(self, paths: Iterable[str] | None = None) -> list[Row]:
        """The rows to rank of these listed paths (default: the listing): those with a text."""
        return [Row(path, file.text_hash, file.preview, file.real_path)
                for path in (self.listing if paths is None else paths)
                if (file := self.files[path]).text_hash is not None]

    def scan(self) -> FileChanges:
        """Scan the folder, read and hash the files that changed, and record them in the catalog."""
        listing, stale, removed, scanned_ns = self._scanner.scan()
        same_paths = listing is self.listing  # the scanner hands back the same list while no path changed
        self.listing = listing
        self._scanned_ns = scanned_ns
        added: list[str] = []
        changed: list[str] = []
        rows: list[FileRow] = []
        texts: dict[bytes, str] = {}
        for path, known, text, row in self._read_all(stale):
            if row is not None:
                rows.append(row)
            text_hash = self.files[path].text_hash
            if known is not None and known.text_hash == text_hash:
                continue
            (added if known is None else changed).append(path)
            if text_hash is not None and self._keep(text_hash, text):
                texts[text_hash] = text
        for path in removed:
            self.files.pop(path, None)
        if (rows or removed) and self.corpus_id:
            # Rows left unwritten cost only a new read of those files by a later process.
            start = len(self.prefix)
            self._written(lambda: self._catalog.update_files(self.corpus_id, rows, [path[start:] for path in removed],
                                                             scanned_ns, texts), None)
        return FileChanges(added, changed, len(removed), same_paths)

    def take_from_catalog(self) -> FileChanges:
        """Take the file list as the catalog records it, without the folder."""
        prefix = self.prefix
        files = {prefix + row.path: row for row in self._catalog.files(self.corpus_id)}
        before = self.files
        added = [path for path in files if path not in before]
        changed = [path for path, row in files.items() if path in before and before[path].text_hash != row.text_hash]
        removed = sum(path not in files for path in before)
        if added or changed or removed:
            self.files = files
            self.listing = sorted(files, key=path_order)
        return FileChanges(added, changed, removed, not (added or removed))

    def texts_of(self, paths: list[str], wanted: set[bytes]) -> dict[bytes, str]:
        """The texts of these hashes among ``paths``: kept from this scan, else read again.

        A kill between storing a file's row and its vector leaves a known text
        without a vector; a file that no longer has the remembered text takes
        its new text, hash and metadata here, recorded as a scan records them.
        """
        texts = {h: self._texts[h] for h in wanted if h in self._texts}
        # One file per missing text; should it have changed, the next round asks again.
        again = list({h: path for path in reversed(paths)
                      if (h := self.files[path].text_hash) in wanted and h not in texts}.values())
        rows: list[FileRow] = []
        new_texts: dict[bytes, str] = {}
        for path, known, text, row in self._read_all(again):
            if row is not None:
                rows.append(row)
            text_hash = self.files[path].text_hash
            if text_hash is not None and known is not None and text_hash == known.text_hash:
                texts.setdefault(text_hash, text)
            elif text_hash is not None and self._keep(text_hash, text):
                new_texts[text_hash] = text
        if rows:
            self._catalog.update_files(self.corpus_id, rows, [], self._scanned_ns, new_texts)
        return texts

    def forget_texts(self) -> None:
        self._texts.clear()
        self._texts_chars = 0

    def _read_all(self, paths: list[str]) -> Iterator[Read]:
        """What :meth:`_read` gives of each file, READ_CHUNK files at a time (so that few texts are held at once)."""
        for start in range(0, len(paths), READ_CHUNK):
            yield from self._read(paths[start:start + READ_CHUNK])

    def _read(self, paths: list[str]) -> list[Read]:
        """Open and read listed files, each once, and know each by what its descriptor gave.

        Returns (path, what was known before, text, the row for the catalog) for
        each; the row is None unless it tells the catalog something new: the
        scanner gives back the scan time a row has while that time still proves
        the same metadata, so a file re-read on every scan (a timestamp in the
        future) writes nothing while its text stays the same.
        """
        read: list[Read] = []
        start = len(self.prefix)
        for (path, size, mtime_ns, ctime_ns, inode, scanned_ns), real_path, text, text_hash in self._scanner.read(paths):
            known = self.files.get(path)
            assert scanned_ns is not None  # what a read records always has its time
            row = FileRow(path[start:], size, mtime_ns, ctime_ns, inode, scanned_ns, text_hash, preview(text), real_path)
            if known is not None and row == known:
                self.files[path] = known
                read.append((path, known, text, None))
            else:
                self.files[path] = row
                read.append((path, known, text, row))
        return read

    def _keep(self, text_hash: bytes, text: str) -> bool:
        """Keep a text read for embedding, within a budget (beyond it, texts are read again);
        whether the catalog keeps it too."""
        if self._texts_chars + len(text) <= TEXT_BUDGET_CHARS:
            self._texts[text_hash] = text
            self._texts_chars += len(text)
        return self._catalog.keeps_texts
