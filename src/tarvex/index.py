"""A persistent description index: the reference ranking without re-embedding the corpus on every call.

:class:`DescriptionIndex` keeps each description's embedding in an SQLite store
(:mod:`tarvex.store`) keyed by the embedding's identity and the text's hash.
Each call checks the corpus folder for changes from the files' metadata (the
native engine's scanner), reads and hashes only the files that changed,
embeds only texts that have no stored vector, and ranks by an exact top-k
over a float32 matrix kept in memory between calls.
"""

from __future__ import annotations

import contextlib
import logging
import os
import sqlite3
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

import numpy as np

from tarvex import _index_engine as engine
from tarvex import embedding
from tarvex._defaults import DEFAULT_MODEL, PREVIEW_CHARS, check_backend, default_cache_dir, default_corpus
from tarvex._defaults import exact_type_error as _type_error
from tarvex.store import FileRow, Store, StoreDamaged, StoreNotWritable, is_damage, usable_rows

# Texts per encode call while building: large enough for the model's own
# batching, small enough that a progress bar moves and a kill loses little.
EMBED_CHUNK = 256
# Texts read in one scan are kept for embedding up to this many characters.
TEXT_BUDGET_CHARS = 32_000_000
# Stale files opened and read per engine call: bounds the texts held at once.
READ_CHUNK = 1024
# After the store refused a write, refreshes that may answer from the store skip their
# writes for this long rather than wait again (a busy store has just cost a busy timeout).
REFUSAL_MEMORY_S = 10.0

Progress = Callable[[int, int], None]
_T = TypeVar("_T")

logger = logging.getLogger(__name__)


@dataclass(frozen=True)
class RefreshStats:
    """What one refresh found and did."""

    added: int  # listed files that the index did not know
    changed: int  # known files whose text changed
    removed: int  # known files that are no longer listed
    unchanged: int  # listed files whose text is as before
    embedded: int  # texts that had to be embedded (no stored vector)
    seconds: float
    # Ranked descriptions longer than the model reads (see DescriptionIndex.truncation); None: it cannot tell.
    truncated: int | None = None


@dataclass(slots=True)
class _File:
    text_hash: bytes | None  # None: empty or unreadable, never ranked
    preview: str
    real_path: str | None  # where the file the text was read from lay; None: unknown
    row: FileRow  # as the store holds it




def _preview(text: str) -> str:
    return text[:PREVIEW_CHARS].replace("\n", " ")


class DescriptionIndex:
    """The descriptions of one corpus folder, embedded once and ranked in milliseconds.

    ``rank`` returns the same records as
    ``rank_problem_descriptions(query, models_dir, top_k, model_name)``.
    """

    def __init__(self, models_dir: str | os.PathLike[str] | None = None, model_name: str = DEFAULT_MODEL, *,
                 backend: str = "auto", cache_dir: str | os.PathLike[str] | None = None,
                 on_build: Callable[[str], None] | None = None) -> None:
        if type(model_name) is not str:
            raise _type_error("model_name", str, model_name)
        check_backend(backend)
        self.models_dir: Path = Path(models_dir) if models_dir else default_corpus()
        self.model_name = model_name
        self.backend = backend
        self._cache_dir = Path(cache_dir) if cache_dir is not None else default_cache_dir()
        self._lock = threading.RLock()
        self._store: Store | None = Store(self._cache_dir)
        self._root = str(self.models_dir)
        self._embedder: embedding.Embedder | None = None
        self._on_build = on_build  # told why before an ONNX graph is built
        self.scan_count = 0  # scans of the corpus folder so far (a hook for tests and benchmarks)
        self._generation = 0  # moves on whenever the ranked rows change
        self._identity_id: int | None = None
        self._warned = False
        # While a refresh answers from the store: the refused write in force (later writes are skipped).
        self._answering_from_store = False
        self._refused: StoreNotWritable | None = None
        self._last_refusal: tuple[StoreNotWritable, float] | None = None  # and when (time.monotonic)
        self._forget_corpus()

    def _forget_corpus(self) -> None:
        self._corpus_key: str | None = None
        self._corpus_id = 0  # 0: not in the store (no row has it)
        self._scanned_ns = 0  # start of the last scan
        self._scanner = engine.Scanner(self._root)
        self._listing: list[str] = []
        self._files: dict[str, _File] = {}
        self._texts: dict[bytes, str] = {}  # texts read whose vector may still be missing
        self._texts_chars = 0
        self._matrix_stale = True  # the listing changed: rebuild the matrix
        self._edited: set[str] = set()  # same listing, these rows' texts changed
        self._rows: list[str] = []
        self._previews: list[str] = []
        self._real_paths: list[str | None] = []
        self._row_hashes: list[bytes | None] = []
        self._row_of: dict[str, int] = {}
        self._matrix = np.zeros((0, 0), dtype=np.float32)
        self._cut: dict[bytes, bool] = {}  # text hash: whether the model reads only part of it
        self._generation += 1
        self._hidden: tuple[Callable[[str, str | None], bool], int, frozenset[int]] | None = None

    # -- public interface ------------------------------------------------------

    def rank(self, query: str, top_k: int = 10, *, refresh: bool = True,
             raise_unavailable: bool = False) -> list[dict[str, Any]]:
        """The closest descriptions to ``query``, best first (``top_k`` <= 0: all of them).

        ``refresh=False`` ranks the index as the caller's last :meth:`refresh`
        left it, without scanning the corpus again.  A model that cannot be
        loaded ranks nothing (``[]``, with one warning), as the reference does;
        with ``raise_unavailable`` it raises
        :class:`tarvex.embedding.EmbeddingUnavailable` instead.
        """
        return self._ranked(query, top_k, refresh=refresh, raise_unavailable=raise_unavailable)

    def rank_with_sources(self, query: str, top_k: int = 10, *, refresh: bool = True,
                          raise_unavailable: bool = False,
                          keep: Callable[[str, str | None], bool] | None = None) -> list[dict[str, Any]]:
        """``rank``'s records, each also with ``real_path``: where the file that its text
        and preview were read from lay when it was read (None when unknown).

        With ``keep(path, real_path)``, only the records it keeps are ranked:
        the ``top_k`` best of them, from one scan and one ranking.
        """
        return self._ranked(query, top_k, refresh=refresh, raise_unavailable=raise_unavailable, sourced=True,
                            keep=keep)

    @property
    def backend_used(self) -> str | None:
        """The embedding backend the index loaded ("torch" or "onnx"); None while no model is loaded."""
        return self._embedder.identity[2] if self._embedder is not None else None

    def ranked_count(self, keep: Callable[[str, str | None], bool] | None = None) -> int:
        """How many descriptions the index ranks (with a vector, as the last refresh left them),
        of those ``keep(path, real_path)`` keeps."""
        with self._lock:
            return len(self._rows) - (len(self._hidden_rows(keep)) if keep is not None else 0)

    def _ranked(self, query: str, top_k: int, *, refresh: bool, raise_unavailable: bool, sourced: bool = False,
                keep: Callable[[str, str | None], bool] | None = None) -> list[dict[str, Any]]:
        if type(query) is not str:
            raise _type_error("query", str, query)
        if type(top_k) is not int:
            raise _type_error("top_k", int, top_k)
        with self._lock:
            self._check_open()
            try:
                if refresh:
                    self._refresh(None, answer_from_store=True)
            except embedding.EmbeddingUnavailable as error:
                if raise_unavailable:
                    raise
                # One warning, as the reference gives once per model; later calls try again quietly.
                if not error.logged and not self._warned:
                    logging.warning("RAG disabled (embedding model load failed): %s", error)
                self._warned = True
                return []
            if not self._rows:
                return []
            assert self._embedder is not None
            query_vector = np.ascontiguousarray(self._embedder.encode([query])[0], dtype=np.float32)
            hits = self._top(query_vector, top_k, self._hidden_rows(keep) if keep is not None else frozenset())
            if sourced:
                return [{"path": self._rows[row], "score": score, "preview": self._previews[row],
                         "real_path": self._real_paths[row]} for row, score in hits]
            return [{"path": self._rows[row], "score": score, "preview": self._previews[row]}
                    for row, score in hits]

    def _top(self, query_vector: np.ndarray, top_k: int, hidden: frozenset[int]) -> list[tuple[int, float]]:
        """The best ``top_k`` (row, score) pairs of rows not ``hidden``: one ranking, asking for as many
        more as are hidden, since at most that many can be dropped."""
        count = len(self._rows)
        wanted = top_k + len(hidden)
        hits = engine.top_k(self._matrix, query_vector, wanted if 0 < top_k and wanted < count else 0)
        if not hidden:
            return list(hits)
        kept = [hit for hit in hits if hit[0] not in hidden]
        return kept[:top_k] if top_k > 0 else kept

    def _hidden_rows(self, keep: Callable[[str, str | None], bool]) -> frozenset[int]:
        """The rows ``keep`` drops, worked out once for each state of the rows."""
        memo = self._hidden
        if memo is None or memo[1] != self._generation or memo[0] != keep:
            hidden = frozenset(row for row, path in enumerate(self._rows) if not keep(path, self._real_paths[row]))
            self._hidden = memo = (keep, self._generation, hidden)
        return memo[2]

    def refresh(self, *, progress: Progress | None = None, answer_from_store: bool = False) -> RefreshStats:
        """Bring the index up to date with the corpus folder; ``progress(done, total)`` follows the embedding.

        Raises ``FileNotFoundError`` for a missing corpus folder,
        :class:`tarvex.embedding.EmbeddingUnavailable` when texts need
        embedding and the model cannot be loaded, and
        :class:`tarvex.store.StoreUnavailable` (an ``OSError``) when the store
        cannot be read or written.  With ``answer_from_store``, a store that
        cannot be written (disk full, read-only, busy) is not an error while
        every listed text has a stored vector: nothing is written, one warning
        is logged, and the index answers from the stored vectors.
        """
        with self._lock:
            self._check_open()
            return self._refresh(progress, answer_from_store=answer_from_store)

    def truncation(self) -> tuple[int, int] | None:
        """``(cut, tokens)``: how many of the ranked descriptions are longer than the
        model reads, and how many tokens of a text it reads, as the last refresh
        left the index (no scan; waits for a refresh in progress).  None before
        a model is loaded, or when the model cannot tell."""
        with self._lock:
            return self._truncation()

    def _truncation(self) -> tuple[int, int] | None:
        limit = self._embedder.max_tokens if self._embedder is not None else None
        if limit is None:
            return None
        return sum(self._cut.get(h, False) for h in self._row_hashes if h is not None), limit

    def descriptions(self) -> list[str]:
        """The listed descriptions with a non-empty text, in path order (no model is loaded)."""
        with self._lock:
            self._check_open()
            with self._store_writes(answer_from_store=True):
                self._recovering(self._update_files)
            return [path for path in self._listing if self._files[path].text_hash is not None]

    def sources(self) -> dict[str, str | None]:
        """``descriptions()`` with the real path recorded for each: where the file that its
        indexed text was read from lay (None when unknown)."""
        with self._lock:
            self._check_open()
            with self._store_writes(answer_from_store=True):
                self._recovering(self._update_files)
            return {path: file.real_path for path in self._listing
                    if (file := self._files[path]).text_hash is not None}

    def read(self, path: str) -> str:
        """The text of a listed description, read now; ``KeyError`` for a path that is not listed."""
        return self.read_with_source(path)[0]

    def read_with_source(self, path: str) -> tuple[str, str | None]:
        """``(text, real_path)`` of a listed description, read now through one descriptor:
        ``real_path`` is where the file that very text came from lies (None when nothing
        was opened); ``KeyError`` for a path that is not listed."""
        with self._lock:
            self._check_open()
            with self._store_writes(answer_from_store=True):
                self._recovering(self._update_files)
            if path not in self._files:
                raise KeyError(path)
            return engine.read_with_real_path(path)

    def close(self) -> None:
        """Release the store and the model; later calls raise ``ValueError``."""
        with self._lock:
            if self._store is not None:
                self._store.close()
                self._store = None
            self._embedder = None
            self._forget_corpus()

    def __enter__(self) -> DescriptionIndex:
        self._check_open()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._store is None else "open"
        return f"<DescriptionIndex {str(self.models_dir)!r} model={self.model_name!r} backend={self.backend!r} {state}>"

    # -- keeping up to date ----------------------------------------------------

    def _check_open(self) -> None:
        if self._store is None:
            raise ValueError("the description index is closed")

    @property
    def _db(self) -> Store:
        assert self._store is not None
        return self._store

    def _refresh(self, progress: Progress | None, *, answer_from_store: bool = False) -> RefreshStats:
        started = time.perf_counter()
        with self._store_writes(answer_from_store):
            added, changed, removed, embedded = self._recovering(lambda: (*self._update_files(),
                                                                          self._update_vectors(progress)))
        unchanged = len(self._listing) - added - changed
        truncation = self._truncation()
        # With nothing to rank nothing is cut, whether or not a model was loaded to tell.
        truncated = truncation[0] if truncation is not None else (0 if not self._rows else None)
        return RefreshStats(added, changed, removed, unchanged, embedded, time.perf_counter() - started, truncated)

    @contextlib.contextmanager
    def _store_writes(self, answer_from_store: bool) -> Iterator[None]:
        """The store's writes for one call; with ``answer_from_store`` a refused write is skipped and said once."""
        self._answering_from_store = answer_from_store
        recent = self._last_refusal
        if answer_from_store and recent is not None and time.monotonic() - recent[1] < REFUSAL_MEMORY_S:
            self._refused = recent[0]  # already said: skip the writes quietly
        remembered = self._refused
        try:
            yield
        finally:
            refused, self._refused = self._refused, None
            self._answering_from_store = False
            if refused is not None:
                # What could not be stored is asked for again by a later refresh.
                self._identity_id = None
                if not self._corpus_id:
                    self._corpus_key = None
        if refused is not None and refused is not remembered:
            logger.warning("the index could not be updated (%s); answering from what it stores", refused)

    def _written(self, write: Callable[[], _T], otherwise: _T) -> _T:
        """A write to the store; while answering from the store, a refused write is skipped (and remembered)."""
        if self._refused is None:
            try:
                return write()
            except StoreNotWritable as error:
                if not self._answering_from_store:
                    raise
                self._refused = error
                self._last_refusal = (error, time.monotonic())
        return otherwise

    def _recovering(self, work: Callable[[], _T]) -> _T:
        """Run work; a store found damaged on the way is rebuilt once and the work run again."""
        try:
            return work()
        except (sqlite3.DatabaseError, StoreDamaged) as error:
            if isinstance(error, sqlite3.DatabaseError) and not is_damage(error):
                raise
            self._recover(error)
        return work()

    def _recover(self, error: Exception) -> None:
        """Rebuild a store found damaged in use, and start this corpus afresh."""
        self._db.rebuild(error)
        self._identity_id = None
        self._forget_corpus()

    def _attach(self) -> None:
        """Follow the corpus folder's real path (a relative folder follows the working directory)."""
        key = os.path.realpath(self.models_dir)
        if key == self._corpus_key:
            return
        self._forget_corpus()
        self._corpus_id = self._written(lambda: self._db.corpus(key), None) or self._db.corpus(key, add=False) or 0
        self._corpus_key = key
        entries = []
        prefix = self._scanner.prefix
        for row in self._db.files(self._corpus_id):
            path = prefix + row.path
            self._files[path] = _File(row.text_hash, row.preview, row.real_path, row)
            # A row without the real path of its text (stored before it was kept) is read
            # again: with no scan time its metadata proves nothing.
            entries.append((path, row.size, row.mtime_ns, row.ctime_ns, row.inode,
                            row.scanned_ns if row.real_path is not None else None))
        self._scanner.load(entries)

    def _update_files(self) -> tuple[int, int, int]:
        """Scan, read and hash the files that changed; returns (added, changed, removed)."""
        if not self.models_dir.exists():
            raise FileNotFoundError(f"Models directory not found: {self.models_dir}")
        self._attach()
        listing, stale, removed, scanned_ns = self._scanner.scan()
        self.scan_count += 1
        same_paths = listing is self._listing  # the scanner hands back the same list while no path changed
        if not same_paths:
            self._listing = listing
            self._matrix_stale = True
        self._scanned_ns = scanned_ns
        added = changed = 0
        rows: list[FileRow] = []
        for start in range(0, len(stale), READ_CHUNK):
            for path, known, text in self._read_stale(stale[start:start + READ_CHUNK], rows):
                text_hash = self._files[path].text_hash
                if known is not None and known.text_hash == text_hash:
                    continue
                if known is None:
                    added += 1
                else:
                    changed += 1
                self._keep_text(text_hash, text)
                if same_paths and known is not None and text_hash is not None and path in self._row_of:
                    self._edited.add(path)  # its row of the matrix can be overwritten in place
                else:
                    self._matrix_stale = True
        for path in removed:
            self._files.pop(path, None)
        if (rows or removed) and self._corpus_id:
            # Rows left unwritten cost only a new read of those files by a later process.
            cut = len(self._scanner.prefix)
            self._written(lambda: self._db.update_files(self._corpus_id, rows, [path[cut:] for path in removed],
                                                        scanned_ns), None)
        return added, changed, len(removed)

    def _read_stale(self, paths: list[str], rows: list[FileRow]) -> list[tuple[str, _File | None, str]]:
        """Open and read listed files, each once, and know each by what its descriptor gave.

        The metadata, text, hash and real path of a file all come from one
        opened file (the scanner remembers that metadata too), so a link
        swapped meanwhile shows as a change at the next scan instead of
        pairing one file's text with another's metadata.  A row goes to
        ``rows`` (for the store) only when it tells the store something new:
        the scanner gives back the scan time a row has while that time still
        proves the same metadata, so a file re-read on every scan (a timestamp
        in the future) writes nothing while its text stays the same.  Returns
        (path, what was known before, text) for each.
        """
        read = []
        cut = len(self._scanner.prefix)
        for (path, size, mtime_ns, ctime_ns, inode, scanned_ns), real_path, text, text_hash in self._scanner.read(paths):
            known = self._files.get(path)
            assert scanned_ns is not None  # what a read records always has its time
            row = FileRow(path[cut:], size, mtime_ns, ctime_ns, inode, scanned_ns, text_hash, _preview(text), real_path)
            if known is not None and row == known.row:
                row = known.row
            else:
                rows.append(row)
            self._files[path] = _File(text_hash, row.preview, real_path, row)
            read.append((path, known, text))
        return read

    def _keep_text(self, text_hash: bytes | None, text: str) -> None:
        """Keep a text read for embedding, within a budget (beyond it, texts are read again)."""
        if text_hash is not None and self._texts_chars + len(text) <= TEXT_BUDGET_CHARS:
            self._texts[text_hash] = text
            self._texts_chars += len(text)

    def _open_embedder(self) -> embedding.Embedder:
        if self._embedder is None:
            self._embedder = embedding.open_embedder(self.model_name, self.backend, self._cache_dir,
                                                    on_build=self._on_build)
            self._identity_id = None
        if self._identity_id is None:
            identity, dimension = self._embedder.identity, self._embedder.dimension
            # 0: not in the store, so no vector is stored for it.
            self._identity_id = (self._written(lambda: self._db.identity(identity, dimension), None)
                                 or self._db.identity(identity, dimension, add=False) or 0)
        return self._embedder

    def _update_vectors(self, progress: Progress | None) -> int:
        """Bring the in-memory matrix up to date; returns how many texts were embedded."""
        embedded = 0
        for _ in range(3):  # another round only when a file changed again while being read
            if self._matrix_stale:
                complete, count = self._rebuild(progress)
            elif self._edited:
                complete, count = self._patch(progress)
            else:
                complete, count = True, 0
            embedded += count
            if complete:
                break
        else:
            # Still changing: such files wait for their next scan, which sees new metadata.
            self._matrix_stale = True
            embedded += self._rebuild(progress, leave_out_unread=True)[1]
        self._texts.clear()
        self._texts_chars = 0
        return embedded

    def _rebuild(self, progress: Progress | None, leave_out_unread: bool = False) -> tuple[bool, int]:
        """A new matrix for the listing, reusing the rows of the current one."""
        hashes = {path: h for path in self._listing if (h := self._files[path].text_hash) is not None}
        old_rows = {h: row for row, h in enumerate(self._row_hashes)}
        wanted = list(dict.fromkeys(h for h in hashes.values() if h not in old_rows))
        vectors, embedded, complete = self._vectors(wanted, list(hashes), progress)
        if not complete and not leave_out_unread:
            return False, embedded
        ranked = [path for path, h in hashes.items() if h in old_rows or h in vectors]
        width = self._open_embedder().dimension if ranked else 0
        matrix = np.empty((len(ranked), width), dtype=np.float32)
        reused = [(row, old_rows[hashes[path]]) for row, path in enumerate(ranked) if hashes[path] in old_rows]
        if reused:
            new, old = zip(*reused)
            matrix[list(new)] = self._matrix[list(old)]
        for row, path in enumerate(ranked):
            if hashes[path] not in old_rows:
                matrix[row] = vectors[hashes[path]]
        self._set_matrix(ranked, matrix)
        return True, embedded

    def _patch(self, progress: Progress | None) -> tuple[bool, int]:
        """Overwrite the rows of files whose text changed while the listing stayed the same."""
        hashes = {path: h for path in self._edited if (h := self._files[path].text_hash) is not None}
        vectors, embedded, complete = self._vectors(list(dict.fromkeys(hashes.values())), list(hashes), progress)
        if not complete or len(hashes) < len(self._edited):
            self._matrix_stale = True  # a file changed again: the next round rebuilds
            return False, embedded
        for path, h in hashes.items():
            row = self._row_of[path]
            self._matrix[row] = vectors[h]
            self._row_hashes[row] = h
            self._previews[row] = self._files[path].preview
            self._real_paths[row] = self._files[path].real_path
        self._edited.clear()
        self._generation += 1
        return True, embedded

    def _set_matrix(self, rows: list[str], matrix: np.ndarray) -> None:
        self._rows, self._matrix = rows, matrix
        self._row_hashes = [self._files[path].text_hash for path in rows]
        self._previews = [self._files[path].preview for path in rows]
        self._real_paths = [self._files[path].real_path for path in rows]
        self._row_of = {path: row for row, path in enumerate(rows)}
        self._cut = {h: self._cut[h] for h in self._row_hashes if h in self._cut}
        self._matrix_stale = False
        self._edited.clear()
        self._generation += 1

    def _vectors(self, wanted: list[bytes], paths: list[str],
                 progress: Progress | None) -> tuple[dict[bytes, np.ndarray], int, bool]:
        """Vectors of these text hashes: stored ones, and the others embedded and stored.

        Returns (vectors, texts embedded, complete); not complete when a file
        among ``paths`` no longer holds the text it was known by.
        """
        if not wanted:
            return {}, 0, True
        embedder = self._open_embedder()
        vectors = self._stored(wanted)
        missing = [h for h in wanted if h not in vectors]
        uncounted = {h for h in wanted if h in vectors and h not in self._cut} if embedder.max_tokens else set()
        texts = self._texts_of(paths, set(missing) | uncounted)
        self._count_cuts(embedder, {h: texts[h] for h in uncounted if h in texts})
        # Longest first: each chunk then holds texts of like length, as one encode of all of them
        # would batch them, so chunking adds no padding.
        pending = sorted(((h, texts[h]) for h in missing if h in texts), key=lambda item: -len(item[1]))
        if pending and self._refused is not None:
            raise self._unanswerable(self._refused, len(pending))
        try:
            embedded = self._embed(embedder, pending, vectors, progress)
        except StoreNotWritable as error:
            if not self._answering_from_store:
                raise
            self._last_refusal = (error, time.monotonic())
            raise self._unanswerable(error, sum(h not in vectors for h, _ in pending)) from error
        return vectors, embedded, all(h in texts for h in missing)

    def _count_cuts(self, embedder: embedding.Embedder, texts: dict[bytes, str]) -> None:
        """Count texts whose vectors are stored without it (before it was kept), and record it with them."""
        found = self._learn_cuts(embedder, list(texts.items())) if texts else {}
        if found:
            self._written(lambda: self._db.set_cut_flags(self._identity(), found), None)

    def _learn_cuts(self, embedder: embedding.Embedder, items: list[tuple[bytes, str]]) -> dict[bytes, bool]:
        """Whether the model reads only part of each (hash, text), now known here; {} when it cannot tell."""
        flags = embedder.cut([text for _, text in items])
        found = {} if flags is None else dict(zip((h for h, _ in items), flags, strict=True))
        self._cut.update(found)
        return found

    @staticmethod
    def _unanswerable(refusal: StoreNotWritable, missing: int) -> StoreNotWritable:
        return StoreNotWritable(f"{refusal} ({missing} of the descriptions have no stored vector)")

    def _identity(self) -> int:
        assert self._identity_id is not None
        return self._identity_id

    def _stored(self, hashes: list[bytes]) -> dict[bytes, np.ndarray]:
        """Stored vectors of these texts, learning what the store knows of their cut."""
        return self._db.vectors(self._identity(), hashes, self._cut)

    def _embed(self, embedder: embedding.Embedder, pending: list[tuple[bytes, str]],
               vectors: dict[bytes, np.ndarray], progress: Progress | None) -> int:
        """Embed texts in chunks, each committed before the next starts; returns how many this process embedded.

        Each chunk is embedded in this cache's embedding turn, after looking
        again for vectors that other processes stored meanwhile, so processes
        that miss the same texts share the work instead of each doing all of it.
        """
        total = len(pending)
        if not total:
            return 0
        if progress is not None:
            progress(0, total)
        embedded = 0
        start = 0
        while start < total:
            with self._db.embedding_turn():
                chunk: list[tuple[bytes, str]] = []
                while start < total and len(chunk) < EMBED_CHUNK:
                    window = pending[start:start + EMBED_CHUNK - len(chunk)]
                    start += len(window)
                    stored = self._stored([h for h, _ in window])
                    vectors.update(stored)
                    chunk += [item for item in window if item[0] not in stored]
                if chunk:
                    self._embed_chunk(embedder, chunk, vectors)
            embedded += len(chunk)
            if progress is not None:
                progress(start, total)
        return embedded

    def _embed_chunk(self, embedder: embedding.Embedder, chunk: list[tuple[bytes, str]],
                     vectors: dict[bytes, np.ndarray]) -> None:
        encoded = np.ascontiguousarray(embedder.encode([text for _, text in chunk]), dtype=np.float32)
        if encoded.shape != (len(chunk), embedder.dimension):
            raise ValueError(f"the embedding model gave vectors of shape {encoded.shape} "
                             f"for {len(chunk)} texts of width {embedder.dimension}")
        cut = self._learn_cuts(embedder, chunk)
        # A vector that is not finite would be taken for damage when read back: it is used, not stored.
        finite, unit = usable_rows(encoded)
        self._db.add_vectors(self._identity(),
                             [(h, encoded[i].tobytes()) for i, (h, _) in enumerate(chunk) if finite[i]],
                             unit_length=bool(unit[finite].all()), cut=cut)
        for i, (h, _) in enumerate(chunk):
            vectors[h] = encoded[i]

    def _texts_of(self, ranked: list[str], wanted: set[bytes]) -> dict[bytes, str]:
        """The texts of these hashes: kept from this scan, else read again.

        A kill between storing a file's row and its vector leaves a known text
        without a vector; a file that no longer has the remembered text takes
        its new text, hash and metadata here, recorded as a scan records them.
        """
        texts = {h: self._texts[h] for h in wanted if h in self._texts}
        # One file per missing text; should it have changed, the next round asks again.
        again = list({h: path for path in reversed(ranked)
                      if (h := self._files[path].text_hash) in wanted and h not in texts}.values())
        rows: list[FileRow] = []
        for start in range(0, len(again), READ_CHUNK):
            for path, known, text in self._read_stale(again[start:start + READ_CHUNK], rows):
                text_hash = self._files[path].text_hash
                if text_hash is not None and known is not None and text_hash == known.text_hash:
                    texts.setdefault(text_hash, text)
                else:
                    self._keep_text(text_hash, text)
        if rows:
            self._db.update_files(self._corpus_id, rows, [], self._scanned_ns)
        return texts
