"""A persistent description index: the reference ranking without re-embedding the corpus on every call.

:class:`DescriptionIndex` keeps each description's embedding in an SQLite store
(:mod:`tarvex.store`) keyed by the embedding's identity and the text's hash.
Each call checks the corpus folder for changes from the files' metadata (the
native engine's scanner), reads and hashes only the files that changed,
embeds only texts that have no stored vector, and ranks by an exact top-k
over a float32 matrix kept in memory between calls.
"""

from __future__ import annotations

import logging
import os
import sqlite3
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from tarvex import _index_engine as engine
from tarvex import embedding
from tarvex.store import FileRow, Store, StoreDamaged, is_damage

DEFAULT_MODEL = "sentence-transformers/all-MiniLM-L6-v2"
BACKENDS = ("auto", "torch", "onnx")
PREVIEW_CHARS = 300
# Texts per encode call while building: large enough for the model's own
# batching, small enough that a progress bar moves and a kill loses little.
EMBED_CHUNK = 256
# A file modified this close to the start of the scan that read it may have
# changed again within the same timestamp tick: the scanner's own window.
_RACY_NS = getattr(engine, "RACY_WINDOW_NS", 3_000_000_000)

Progress = Callable[[int, int], None]


@dataclass(frozen=True)
class RefreshStats:
    """What one refresh found and did."""

    added: int  # listed files that the index did not know
    changed: int  # known files whose text changed
    removed: int  # known files that are no longer listed
    unchanged: int  # listed files whose text is as before
    embedded: int  # texts that had to be embedded (no stored vector)
    seconds: float


@dataclass(slots=True)
class _File:
    text_hash: bytes | None  # None: empty or unreadable, never ranked
    preview: str


def _type_error(name: str, expected: type, value: object) -> TypeError:
    """The reference's wording for an argument that is not exactly of its type."""
    error = TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                      f"got {type(value).__name__})")
    if isinstance(value, expected):
        error.add_note(f"Subclasses of builtin types are rejected: pass a plain {expected.__name__}, "
                       f"for example {expected.__name__}(value).")
    return error


def _default_corpus() -> Path:
    from tarvex import rag_helper

    return Path(rag_helper.__file__).resolve().parent / "zolt_models"


def _prefix(root: str) -> str:
    """What the scanner's listed paths start with for this root (as pathlib joins)."""
    if root == ".":
        return ""
    return root if root.endswith("/") else root + "/"


def _preview(text: str) -> str:
    return text[:PREVIEW_CHARS].replace("\n", " ")


class DescriptionIndex:
    """The descriptions of one corpus folder, embedded once and ranked in milliseconds.

    ``rank`` returns the same records as
    ``rank_problem_descriptions(query, models_dir, top_k, model_name)``.
    """

    def __init__(self, models_dir: str | os.PathLike[str] | None = None, model_name: str = DEFAULT_MODEL, *,
                 backend: str = "auto", cache_dir: str | os.PathLike[str] | None = None) -> None:
        if type(model_name) is not str:
            raise _type_error("model_name", str, model_name)
        if backend not in BACKENDS:
            raise ValueError(f"backend must be one of {', '.join(map(repr, BACKENDS))}, not {backend!r}")
        self.models_dir: Path = Path(models_dir) if models_dir else _default_corpus()
        self.model_name = model_name
        self.backend = backend
        self._cache_dir = Path(cache_dir) if cache_dir is not None else embedding.default_cache_dir()
        self._lock = threading.RLock()
        self._store: Store | None = Store(self._cache_dir)
        self._root = str(self.models_dir)
        self._prefix = _prefix(self._root)
        self._embedder: embedding.Embedder | None = None
        self._identity_id: int | None = None
        self._forget_corpus()

    def _forget_corpus(self) -> None:
        self._corpus_key: str | None = None
        self._corpus_id = 0
        self._scanner = engine.Scanner(self._root)
        self._listing: list[str] = []
        self._files: dict[str, _File] = {}
        self._texts: dict[bytes, str] = {}  # texts read whose vector may still be missing
        self._matrix_stale = True
        self._rows: list[str] = []
        self._previews: list[str] = []
        self._row_hashes: list[bytes] = []
        self._matrix = np.zeros((0, 0), dtype=np.float32)

    # -- public interface ------------------------------------------------------

    def rank(self, query: str, top_k: int = 10) -> list[dict[str, Any]]:
        """The closest descriptions to ``query``, best first (``top_k`` <= 0: all of them)."""
        if type(query) is not str:
            raise _type_error("query", str, query)
        if type(top_k) is not int:
            raise _type_error("top_k", int, top_k)
        with self._lock:
            self._check_open()
            try:
                self._refresh(None)
            except embedding.EmbeddingUnavailable as error:
                if not error.logged:
                    logging.warning("RAG disabled (embedding model load failed): %s", error)
                return []
            if not self._rows:
                return []
            assert self._embedder is not None
            query_vector = np.ascontiguousarray(self._embedder.encode([query])[0], dtype=np.float32)
            count = len(self._rows)
            hits = engine.top_k(self._matrix, query_vector, top_k if 0 < top_k < count else 0)
            return [{"path": self._rows[row], "score": score, "preview": self._previews[row]}
                    for row, score in hits]

    def refresh(self, *, progress: Progress | None = None) -> RefreshStats:
        """Bring the index up to date with the corpus folder; ``progress(done, total)`` follows the embedding.

        Raises ``FileNotFoundError`` for a missing corpus folder and
        :class:`tarvex.embedding.EmbeddingUnavailable` when texts need
        embedding and the model cannot be loaded.
        """
        with self._lock:
            self._check_open()
            return self._refresh(progress)

    def descriptions(self) -> list[str]:
        """The listed descriptions with a non-empty text, in path order (no model is loaded)."""
        with self._lock:
            self._check_open()
            self._update_files()
            return [path for path in self._listing if self._files[path].text_hash is not None]

    def read(self, path: str) -> str:
        """The text of a listed description, read now; ``KeyError`` for a path that is not listed."""
        with self._lock:
            self._check_open()
            self._update_files()
            if path not in self._files:
                raise KeyError(path)
            return engine.read_description(path)

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

    def _refresh(self, progress: Progress | None) -> RefreshStats:
        started = time.perf_counter()
        try:
            added, changed, removed = self._update_files()
            embedded = self._update_vectors(progress)
        except sqlite3.DatabaseError as error:
            if not is_damage(error):
                raise
            self._recover(error)
            return self._refresh(progress)
        except StoreDamaged as error:
            self._recover(error)
            return self._refresh(progress)
        unchanged = len(self._listing) - added - changed
        return RefreshStats(added, changed, removed, unchanged, embedded, time.perf_counter() - started)

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
        self._corpus_id = self._db.corpus(key)
        self._corpus_key = key
        entries = []
        latest = 0
        for row in self._db.files(self._corpus_id):
            path = self._prefix + row.path
            self._files[path] = _File(row.text_hash, row.preview)
            # An entry read in the same tick as its modification cannot be trusted:
            # leaving it out of the remembered entries makes the scanner report it again.
            if max(row.mtime_ns, row.ctime_ns) < row.scanned_ns - _RACY_NS:
                entries.append((path, row.size, row.mtime_ns, row.ctime_ns, row.inode))
            latest = max(latest, row.scanned_ns)
        self._scanner.load(entries, latest)

    def _update_files(self) -> tuple[int, int, int]:
        """Scan, read and hash the files that changed; returns (added, changed, removed)."""
        if not self.models_dir.exists():
            raise FileNotFoundError(f"Models directory not found: {self.models_dir}")
        self._attach()
        listing, stale, removed, scanned_ns = self._scanner.scan()
        if listing is not self._listing:
            self._listing = listing
            self._matrix_stale = True
        added = changed = 0
        rows = []
        cut = len(self._prefix)
        for path, size, mtime_ns, ctime_ns, inode in self._scanner.entries(stale):
            text = engine.read_description(path)
            text_hash = engine.content_hash(text) if text else None
            known = self._files.get(path)
            if known is None:
                added += 1
            elif known.text_hash != text_hash:
                changed += 1
            if known is None or known.text_hash != text_hash:
                self._matrix_stale = True
                if text_hash is not None:
                    self._texts[text_hash] = text
            preview = _preview(text)
            self._files[path] = _File(text_hash, preview)
            rows.append(FileRow(path[cut:], size, mtime_ns, ctime_ns, inode, scanned_ns, text_hash, preview))
        for path in removed:
            self._files.pop(path, None)
        if removed:
            self._matrix_stale = True
        if rows or removed:
            self._db.update_files(self._corpus_id, rows, [path[cut:] for path in removed], scanned_ns)
        return added, changed, len(removed)

    def _open_embedder(self) -> embedding.Embedder:
        if self._embedder is None:
            self._embedder = embedding.open_embedder(self.model_name, self.backend, self._cache_dir)
            self._identity_id = None
        if self._identity_id is None:
            self._identity_id = self._db.identity(self._embedder.identity, self._embedder.dimension)
        return self._embedder

    def _update_vectors(self, progress: Progress | None) -> int:
        """Rebuild the in-memory matrix when the listing or a text changed; returns texts embedded."""
        embedded = 0
        rounds = 0
        while self._matrix_stale:
            rounds += 1
            ranked = [path for path in self._listing if self._files[path].text_hash is not None]
            if not ranked:
                self._set_matrix([], [], np.zeros((0, 0), dtype=np.float32))
                break
            embedder = self._open_embedder()
            width = embedder.dimension
            hashes = [self._files[path].text_hash for path in ranked]
            known_rows = {h: row for row, h in enumerate(self._row_hashes)}
            missing = list(dict.fromkeys(h for h in hashes if h not in known_rows))
            vectors = {h: np.frombuffer(blob, dtype=np.float32)
                       for h, blob in self._db.vectors(self._identity(), missing, 4 * width).items()}
            to_embed = [h for h in missing if h not in vectors]
            texts = self._texts_of(ranked, set(to_embed))
            embedded += self._embed(embedder, [(h, texts[h]) for h in to_embed if h in texts], vectors, progress)
            if len(texts) < len(to_embed):
                if rounds < 3:
                    continue  # a file changed after its scan: its new text is read, go round again
                for path in ranked:  # still changing: left out until its next scan reads it
                    if self._files[path].text_hash not in vectors and self._files[path].text_hash not in known_rows:
                        self._files[path] = _File(None, "")
                continue
            matrix = np.empty((len(ranked), width), dtype=np.float32)
            reused = [(row, known_rows[h]) for row, h in enumerate(hashes) if h in known_rows]
            if reused:
                new_rows, old_rows = zip(*reused)
                matrix[list(new_rows)] = self._matrix[list(old_rows)]
            for row, h in enumerate(hashes):
                if h not in known_rows:
                    matrix[row] = vectors[h]
            self._set_matrix(ranked, hashes, matrix)
        self._texts.clear()
        return embedded

    def _identity(self) -> int:
        assert self._identity_id is not None
        return self._identity_id

    def _set_matrix(self, rows: list[str], hashes: list[Any], matrix: np.ndarray) -> None:
        self._rows, self._row_hashes, self._matrix = rows, hashes, matrix
        self._previews = [self._files[path].preview for path in rows]
        self._matrix_stale = False

    def _embed(self, embedder: embedding.Embedder, pending: list[tuple[bytes, str]],
               vectors: dict[bytes, np.ndarray], progress: Progress | None) -> int:
        """Embed texts in chunks, each committed before the next starts."""
        total = len(pending)
        if not total:
            return 0
        if progress is not None:
            progress(0, total)
        for start in range(0, total, EMBED_CHUNK):
            chunk = pending[start:start + EMBED_CHUNK]
            encoded = np.ascontiguousarray(embedder.encode([text for _, text in chunk]), dtype=np.float32)
            self._db.add_vectors(self._identity(), [(h, encoded[i].tobytes()) for i, (h, _) in enumerate(chunk)])
            for i, (h, _) in enumerate(chunk):
                vectors[h] = encoded[i]
            if progress is not None:
                progress(min(start + EMBED_CHUNK, total), total)
        return total

    def _texts_of(self, ranked: list[str], wanted: set[bytes]) -> dict[bytes, str]:
        """The texts of these hashes: kept from this scan, else read again.

        A kill between storing a file's row and its vector leaves a known text
        without a vector; a file that no longer has the remembered text takes
        its new text and hash here (its next scan sees new metadata anyway).
        """
        texts = {h: self._texts[h] for h in wanted if h in self._texts}
        for path in ranked:
            known = self._files[path]
            if known.text_hash in wanted and known.text_hash not in texts:
                text = engine.read_description(path)
                text_hash = engine.content_hash(text) if text else None
                if text_hash == known.text_hash:
                    texts[text_hash] = text
                else:
                    self._files[path] = _File(text_hash, _preview(text))
                    if text_hash is not None:
                        self._texts[text_hash] = text
        return texts
