"""A persistent description index: the reference ranking without re-embedding the corpus on every call.

:class:`DescriptionIndex` keeps each description's embedding in a store
(:mod:`tarvex.stores`: SQLite by default, or a shared PostgreSQL database)
keyed by the embedding's identity and the text's hash.  Each call checks the
corpus folder for changes from the files' metadata (the native engine's
scanner), reads and hashes only the files that changed, embeds only texts that
have no stored vector (:func:`tarvex.fill.fill_missing`), and asks the store's
ranking for the nearest rows.

What is left here is the public interface and the policy: when a store that
refuses writes may still answer, what damage costs, and which rows are ranked.
It runs past 400 lines because that policy is one piece: the refresh, the
recovery from damage and the refusal of writes share one lock and one state,
and split apart each would have to know the others' rules.
"""

from __future__ import annotations

import contextlib
import logging
import os
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

import numpy as np

from tarvex import _index_engine as engine
from tarvex import embedding
from tarvex._defaults import (DEFAULT_MODEL, LOAD_FAILURE_FORMAT, NOT_FOUND_PREFIX, check_backend, default_cache_dir,
                              default_corpus)
from tarvex._defaults import exact_type_error as _type_error
from tarvex.corpus_files import CorpusFiles
from tarvex.fill import FillRefused, Filler, Progress, fill_missing, learn_truncation
from tarvex.stores import Store, open_store
from tarvex.vector_store import Ranking, Row, StoreDamaged, StoredVectors, StoreNotWritable

# After the store refused a write, refreshes that may answer from the store skip their
# writes for this long rather than wait again (a busy store has just cost a busy timeout).
REFUSAL_MEMORY_S = 10.0

Keep = Callable[[str, str | None], bool]
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


class DescriptionIndex:
    """The descriptions of one corpus folder, embedded once and ranked in milliseconds.

    ``rank`` returns the same records as
    ``rank_problem_descriptions(query, models_dir, top_k, model_name)``.

    ``store`` is a store URL or path (see :func:`tarvex.stores.open_store`), or
    an open store, which the index then uses but does not close; by default
    the SQLite store in the cache folder.  ``corpus_name`` is the name the
    store knows the corpus by (default: the folder's real path).

    ``from_store``: answer from the store alone, without the corpus folder
    (paths as recorded, previews and texts from the store, nothing written);
    by default that happens when the folder is absent and the store keeps
    texts.  The process that walks the folder (``tarvex index``) is the writer.

    ``fill`` embeds and stores the texts that have no vector (default:
    :func:`tarvex.fill.fill_missing`, in this process; a
    :class:`tarvex.ray_job.RayFill` spreads the work over a Ray cluster).
    """

    def __init__(self, corpus: str | os.PathLike[str] | None = None, model_name: str = DEFAULT_MODEL, *,
                 backend: str = "auto", cache_dir: str | os.PathLike[str] | None = None,
                 on_build: Callable[[str], None] | None = None, store: str | os.PathLike[str] | Store | None = None,
                 corpus_name: str | None = None, from_store: bool | None = None,
                 models_dir: str | os.PathLike[str] | None = None, fill: Filler | None = None) -> None:
        if type(model_name) is not str:
            raise _type_error("model_name", str, model_name)
        check_backend(backend)
        if models_dir is not None:  # the reference module's name for the corpus folder
            if corpus is not None:
                raise TypeError("give the corpus folder once: corpus or models_dir, not both")
            corpus = models_dir
        self.corpus: Path = Path(corpus) if corpus else default_corpus()
        self.model_name = model_name
        self.backend = backend
        self._cache_dir = Path(cache_dir) if cache_dir is not None else default_cache_dir()
        self._lock = threading.RLock()
        self._owns_store = store is None or isinstance(store, (str, os.PathLike))
        self._store: Store | None = (open_store(store, self._cache_dir)  # type: ignore[arg-type]
                                     if self._owns_store else store)  # type: ignore[assignment]
        self._root = str(self.corpus)
        self._corpus_name = corpus_name
        self._from_store = from_store
        self._said_from_store = False
        self._embedder: embedding.Embedder | None = None
        self._on_build = on_build  # told why before an ONNX graph is built
        self._fill: Filler = fill or fill_missing
        self._identity_id: int | None = None
        self._warned = False
        # While a refresh answers from the store: the refused write in force (later writes are skipped).
        self._answering_from_store = False
        self._refused: StoreNotWritable | None = None
        self._last_refusal: tuple[StoreNotWritable, float] | None = None  # and when (time.monotonic)
        self._forget_corpus()

    def _forget_corpus(self) -> None:
        self._corpus = CorpusFiles(self._root, self._store, self._written)  # type: ignore[arg-type]
        self._rows_stale = True  # the listing changed: rank the rows anew
        self._edited: set[str] = set()  # same listing, these rows' texts changed
        self._ranking: Ranking | None = None  # made once a model is loaded
        self._ranked_identity = 0
        self._truncated: dict[bytes, bool] = {}  # text hash: whether the model reads only part of it
        self._hidden: tuple[Keep, Sequence[Row], frozenset[str]] | None = None

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
                          raise_unavailable: bool = False, keep: Keep | None = None) -> list[dict[str, Any]]:
        """``rank``'s records, each also with ``real_path``: where the file that its text
        and preview were read from lay when it was read (None when unknown).

        With ``keep(path, real_path)``, only the records it keeps are ranked:
        the ``top_k`` best of them, from one scan and one ranking.
        """
        return self._ranked(query, top_k, refresh=refresh, raise_unavailable=raise_unavailable, sourced=True,
                            keep=keep)

    @property
    def from_store(self) -> bool:
        """Whether the index answers from the store alone, without the corpus folder."""
        if self._from_store is not None:
            return self._from_store
        return self._store is not None and self._store.keeps_texts and not self.corpus.is_dir()

    @property
    def store_location(self) -> str:
        """Where the store lies, as shown in messages."""
        return self._db.location

    @property
    def backend_used(self) -> str | None:
        """The embedding backend the index loaded ("torch" or "onnx"); None while no model is loaded."""
        return self._embedder.identity[2] if self._embedder is not None else None

    def ranked_count(self, keep: Keep | None = None) -> int:
        """How many descriptions the index ranks (with a vector, as the last refresh left them),
        of those ``keep(path, real_path)`` keeps."""
        with self._lock:
            return len(self._ranked_rows()) - (len(self._hidden_paths(keep)) if keep is not None else 0)

    def _ranked(self, query: str, top_k: int, *, refresh: bool, raise_unavailable: bool, sourced: bool = False,
                keep: Keep | None = None) -> list[dict[str, Any]]:
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
                    logger.warning(LOAD_FAILURE_FORMAT, error)
                self._warned = True
                return []
            if self._ranking is None or not self._ranking.rows():
                return []
            assert self._embedder is not None
            query_vector = np.ascontiguousarray(self._embedder.encode([query])[0], dtype=np.float32)
            hidden = self._hidden_paths(keep) if keep is not None else frozenset()
            hits = self._ranking.nearest(query_vector, top_k, hidden)
            if sourced:
                return [{"path": row.path, "score": score, "preview": row.preview, "real_path": row.real_path}
                        for row, score in hits]
            return [{"path": row.path, "score": score, "preview": row.preview} for row, score in hits]

    def _ranked_rows(self) -> list[Row]:
        return list(self._ranking.rows()) if self._ranking is not None else []

    def _hidden_paths(self, keep: Keep) -> frozenset[str]:
        """The ranked paths ``keep`` drops, worked out once for each state of the rows."""
        rows = self._ranking.rows() if self._ranking is not None else ()
        memo = self._hidden
        if memo is None or memo[1] is not rows or memo[0] != keep:
            memo = (keep, rows, frozenset(row.path for row in rows if not keep(row.path, row.real_path)))
            self._hidden = memo
        return memo[2]

    def refresh(self, *, progress: Progress | None = None, answer_from_store: bool = False) -> RefreshStats:
        """Bring the index up to date with the corpus folder; ``progress(done, total)`` follows the embedding.

        Raises ``FileNotFoundError`` for a missing corpus folder,
        :class:`tarvex.embedding.EmbeddingUnavailable` when texts need
        embedding and the model cannot be loaded, and
        :class:`tarvex.vector_store.StoreUnavailable` (an ``OSError``) when the
        store cannot be read or written.  With ``answer_from_store``, a store
        that cannot be written (disk full, read-only, busy) is not an error
        while every listed text has a stored vector: nothing is written, one
        warning is logged, and the index answers from the stored vectors.
        """
        with self._lock:
            self._check_open()
            return self._refresh(progress, answer_from_store=answer_from_store)

    def retry_writes(self) -> None:
        """Let the next refresh try the store's writes again, though the store refused one moments
        ago (whatever refused it may have been mended: a build tried again)."""
        with self._lock:
            self._last_refusal = None

    def truncation(self) -> tuple[int, int] | None:
        """``(truncated, tokens)``: how many of the ranked descriptions are longer than the
        model reads, and how many tokens of a text it reads, as the last refresh
        left the index (no scan; waits for a refresh in progress).  None before
        a model is loaded, or when the model cannot tell."""
        with self._lock:
            return self._truncation()

    def _truncation(self) -> tuple[int, int] | None:
        limit = self._embedder.max_tokens if self._embedder is not None else None
        if limit is None:
            return None
        return sum(self._truncated.get(row.text_hash, False) for row in self._ranked_rows()), limit

    def descriptions(self) -> list[str]:
        """The listed descriptions with a non-empty text, in path order (no model is loaded)."""
        return list(self.sources())

    def sources(self) -> dict[str, str | None]:
        """``descriptions()`` with the real path recorded for each: where the file that its
        indexed text was read from lay (None when unknown)."""
        with self._lock:
            self._list_files()
            return {row.path: row.real_path for row in self._corpus.rows()}

    def read(self, path: str) -> str:
        """The text of a listed description, read now; ``KeyError`` for a path that is not listed."""
        return self.read_with_source(path)[0]

    def read_with_source(self, path: str) -> tuple[str, str | None]:
        """``(text, real_path)`` of a listed description, read now through one descriptor:
        ``real_path`` is where the file that very text came from lies (None when nothing
        was opened); ``KeyError`` for a path that is not listed, or whose text is empty."""
        with self._lock:
            self._list_files()
            file = self._corpus.files.get(path)
            if file is None or file.text_hash is None:  # an empty or blank file is no description
                raise KeyError(path)
            if self.from_store:
                text = self._db.text(file.text_hash)
                if text is None:
                    raise KeyError(path)
                return text, file.real_path
            return engine.read_with_real_path(path)

    def close(self) -> None:
        """Release the store and the model; later calls raise ``ValueError``."""
        with self._lock:
            if self._store is not None:
                if self._owns_store:
                    self._store.close()
                self._store = None
            self._embedder = None
            self._forget_corpus()

    def __enter__(self) -> DescriptionIndex:
        self._check_open()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def models_dir(self) -> Path:
        """The corpus folder, by the reference module's name for it."""
        return self.corpus

    def __repr__(self) -> str:
        state = "closed" if self._store is None else "open"
        return f"<DescriptionIndex {str(self.corpus)!r} model={self.model_name!r} backend={self.backend!r} {state}>"

    # -- the store's writes and damage -------------------------------------------

    def _check_open(self) -> None:
        if self._store is None:
            raise ValueError("the description index is closed")

    @property
    def _db(self) -> Store:
        assert self._store is not None
        return self._store

    def _list_files(self) -> None:
        self._check_open()
        with self._store_writes(answer_from_store=True):
            self._recovering(self._update_files)

    def _refresh(self, progress: Progress | None, *, answer_from_store: bool = False) -> RefreshStats:
        started = time.perf_counter()
        with self._store_writes(answer_from_store):
            added, changed, removed, embedded = self._recovering(lambda: (*self._update_files(),
                                                                          self._update_vectors(progress)))
        unchanged = len(self._corpus.listing) - added - changed
        truncation = self._truncation()
        # With nothing to rank nothing is truncated, whether or not a model was loaded to tell.
        truncated = truncation[0] if truncation is not None else (0 if not self._ranked_rows() else None)
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
                if not self._corpus.corpus_id:
                    self._corpus.key = None
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
        """Run work; a store found damaged on the way recovers once (or says why it cannot)
        and the work runs again, from a fresh start of this corpus."""
        try:
            return work()
        except StoreDamaged as error:
            self._db.recover(error)
            self._identity_id = None
            self._forget_corpus()
        return work()

    # -- keeping the file list up to date -------------------------------------------

    def _update_files(self) -> tuple[int, int, int]:
        """Take the corpus's changes (from the folder, or from the store alone); returns (added, changed, removed)."""
        from_store = self.from_store
        if not from_store and not self.corpus.exists():
            raise FileNotFoundError(f"{NOT_FOUND_PREFIX}{self.corpus}")
        key = self._corpus_name or os.path.realpath(self.corpus)
        if key != self._corpus.key:
            self._forget_corpus()
            self._corpus.attach(key, add=not from_store)
        ranked: set[str] = set()
        if from_store:
            if not self._said_from_store:
                logger.warning("the corpus folder %s is not read here: answering from the store %s",
                               self.corpus, self._db.location)
                self._said_from_store = True
            if not self._corpus.corpus_id:
                self._corpus.key = None
                raise FileNotFoundError(f"{NOT_FOUND_PREFIX}{self.corpus} (and the store "
                                        f"{self._db.location} holds no corpus named {key})")
            changes = self._corpus.take_from_catalog()
        else:
            ranked = {row.path for row in self._ranked_rows()}
            changes = self._corpus.scan()
        if not changes.same_paths or changes.added:
            self._rows_stale = True
        for path in changes.changed:
            if changes.same_paths and path in ranked and self._corpus.files[path].text_hash is not None:
                self._edited.add(path)  # its row can be overwritten in place
            else:
                self._rows_stale = True
        return len(changes.added), len(changes.changed), changes.removed

    # -- keeping the ranked rows up to date -------------------------------------

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
        if self._ranking is None or self._ranked_identity != self._identity_id:
            self._ranking = self._db.ranking(self._identity_id, self._corpus.corpus_id, self._corpus.prefix)
            self._ranked_identity = self._identity_id
            self._rows_stale = True  # a new ranking holds no rows yet
        return self._embedder

    def _update_vectors(self, progress: Progress | None) -> int:
        """Bring the ranked rows up to date; returns how many texts were embedded."""
        embedded = 0
        for _ in range(3):  # another round only when a file changed again while being read
            if self._rows_stale:
                complete, count = self._rerank(progress)
            elif self._edited:
                complete, count = self._patch(progress)
            else:
                complete, count = True, 0
            embedded += count
            if complete:
                break
        else:
            # Still changing: such files wait for their next scan, which sees new metadata.
            self._rows_stale = True
            embedded += self._rerank(progress, leave_out_unread=True)[1]
        self._corpus.forget_texts()
        return embedded

    def _rerank(self, progress: Progress | None, leave_out_unread: bool = False) -> tuple[bool, int]:
        """Rank the listing's rows anew, reusing what the ranking holds."""
        rows = self._corpus.rows()
        embedded = 0
        if rows or self._ranking is not None:  # with nothing to rank, no model is loaded
            self._open_embedder()
            assert self._ranking is not None
            held = {row.text_hash for row in self._ranking.rows()}
            wanted = list(dict.fromkeys(row.text_hash for row in rows if row.text_hash not in held))
            vectors, embedded, complete = self._vectors(wanted, [row.path for row in rows], progress,
                                                        values=self._ranking.holds_vectors)
            if not complete and not leave_out_unread:
                return False, embedded
            self._ranking.update([row for row in rows if row.text_hash in held or row.text_hash in vectors],
                                 vectors)
        self._rows_stale = False
        self._edited.clear()
        return True, embedded

    def _patch(self, progress: Progress | None) -> tuple[bool, int]:
        """Overwrite the rows of files whose text changed while the listing stayed the same."""
        self._open_embedder()
        if self._rows_stale or self._ranking is None:
            return False, 0  # a new ranking: the next round ranks anew
        edited = self._corpus.rows(sorted(self._edited))
        vectors, embedded, complete = self._vectors(list(dict.fromkeys(row.text_hash for row in edited)),
                                                    [row.path for row in edited], progress)
        if not complete or len(edited) < len(self._edited):
            self._rows_stale = True  # a file changed again: the next round ranks anew
            return False, embedded
        changed = {row.path: row for row in edited}
        self._ranking.update([changed.get(row.path, row) for row in self._ranking.rows()], vectors,
                             edited=changed.keys())
        self._edited.clear()
        return True, embedded

    def _vectors(self, wanted: list[bytes], paths: list[str], progress: Progress | None,
                 values: bool = True) -> tuple[dict[bytes, np.ndarray], int, bool]:
        """Vectors of these text hashes: stored ones, and the others embedded and stored.

        Returns (vectors, texts embedded, complete); not complete when a file
        among ``paths`` no longer holds the text it was known by.
        """
        embedder = self._open_embedder()
        if not wanted:
            return {}, 0, True
        if self.from_store:
            return self._stored(wanted, values).vectors, 0, True  # a text without a vector waits for the writer
        vectors = self._stored(wanted, values).vectors
        missing = [h for h in wanted if h not in vectors]
        uncounted = {h for h in wanted if h in vectors and h not in self._truncated} if embedder.max_tokens else set()
        texts = self._corpus.texts_of(paths, set(missing) | uncounted)
        self._count_truncated(embedder, {h: texts[h] for h in uncounted if h in texts})
        pending = [(h, texts[h]) for h in missing if h in texts]
        if pending and self._refused is not None:
            raise self._unanswerable(self._refused, len(pending))
        try:
            filled = self._fill(self._db, self._identity(), embedder, pending, progress)
        except FillRefused as stopped:
            if not self._answering_from_store:
                raise stopped.refusal from None
            self._last_refusal = (stopped.refusal, time.monotonic())
            raise self._unanswerable(stopped.refusal, stopped.missing) from stopped.refusal
        vectors.update(filled.vectors)
        self._truncated.update(filled.truncated)
        return vectors, filled.embedded, all(h in texts for h in missing)

    def _count_truncated(self, embedder: embedding.Embedder, texts: dict[bytes, str]) -> None:
        """Count texts whose vectors are stored without it (before it was kept), and record it with them."""
        found = learn_truncation(embedder, list(texts.items()))
        if found:
            self._truncated.update(found)
            self._written(lambda: self._db.set_truncation_flags(self._identity(), found), None)

    @staticmethod
    def _unanswerable(refusal: StoreNotWritable, missing: int) -> StoreNotWritable:
        return StoreNotWritable(f"{refusal} ({missing} of the descriptions have no stored vector)")

    def _identity(self) -> int:
        assert self._identity_id is not None
        return self._identity_id

    def _stored(self, hashes: list[bytes], values: bool = True) -> StoredVectors:
        """Stored vectors of these texts (or, without ``values``, which of them have one), learning
        what the store knows of their truncation."""
        stored = self._db.vectors(self._identity(), hashes, values=values)
        self._truncated.update(stored.truncated)
        return stored
