"""Embedding what a store is missing: one function for every caller that fills a store.

Texts are embedded in chunks, each committed before the next starts, so a kill
loses at most one chunk.  Each chunk is embedded in the store's embedding turn,
after looking again for vectors that other writers stored meanwhile, so writers
that miss the same texts share the work instead of each doing all of it.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from tarvex.vector_store import StoreNotWritable, VectorStore, usable_rows

if TYPE_CHECKING:
    from tarvex.embedding import Embedder

# Texts per encode call: large enough for the model's own batching, small enough
# that a progress bar moves and a kill loses little.
EMBED_CHUNK = 256

Progress = Callable[[int, int], None]


@dataclass(slots=True)
class Filled:
    """What one fill gave: the vector of every text it was handed, whether the model read only
    part of each text (where it can tell), and how many texts this process embedded."""

    vectors: dict[bytes, np.ndarray] = field(default_factory=dict)
    truncated: dict[bytes, bool] = field(default_factory=dict)
    embedded: int = 0


class FillRefused(Exception):
    """The store refused to keep vectors part way through a fill."""

    def __init__(self, refusal: StoreNotWritable, missing: int) -> None:
        super().__init__(str(refusal))
        self.refusal = refusal
        self.missing = missing  # texts handed in that still have no stored vector


# What fills a store: fill_missing here, or a job spread over machines (tarvex.ray_job.RayFill).
Filler = Callable[[VectorStore, int, "Embedder", Sequence[tuple[bytes, str]], "Progress | None"], Filled]


def learn_truncation(embedder: Embedder, items: Sequence[tuple[bytes, str]]) -> dict[bytes, bool]:
    """Whether the model reads only part of each (hash, text); {} when it cannot tell."""
    flags = embedder.truncated([text for _, text in items]) if items else None
    return {} if flags is None else dict(zip((h for h, _ in items), flags, strict=True))


def fill_missing(store: VectorStore, identity_id: int, embedder: Embedder, items: Sequence[tuple[bytes, str]],
                 progress: Progress | None = None) -> Filled:
    """Embed and store the (hash, text) pairs that have no stored vector; returns the vector of each.

    A vector that is not finite would be taken for damage when read back: it
    is given back, not stored.  Once the turn was waited for in vain, later
    chunks of this fill go ahead without waiting again.  Raises
    :class:`FillRefused` when the store refuses a write.
    """
    # Longest first: each chunk then holds texts of like length, as one encode of all of them
    # would batch them, so chunking adds no padding.
    pending = sorted(dict(items).items(), key=lambda item: -len(item[1]))
    total = len(pending)
    filled = Filled()
    if not total:
        return filled
    if progress is not None:
        progress(0, total)
    start = 0
    wait = True
    while start < total:
        with store.embedding_turn(wait=wait) as held:
            wait = wait and held
            chunk: list[tuple[bytes, str]] = []
            while start < total and len(chunk) < EMBED_CHUNK:
                window = pending[start:start + EMBED_CHUNK - len(chunk)]
                start += len(window)
                stored = store.vectors(identity_id, [h for h, _ in window])
                filled.vectors.update(stored.vectors)
                filled.truncated.update(stored.truncated)
                chunk += [item for item in window if item[0] not in stored.vectors]
            if chunk:
                try:
                    _embed_chunk(store, identity_id, embedder, chunk, filled)
                except StoreNotWritable as refusal:
                    raise FillRefused(refusal, sum(h not in filled.vectors for h, _ in pending)) from refusal
        if progress is not None:
            progress(start, total)
    return filled


@dataclass(slots=True)
class Embedded:
    """The vectors of some texts as the model gave them, and what :func:`store_embedded` keeps of them."""

    hashes: list[bytes]
    vectors: np.ndarray  # float32, one row per hash
    truncated: dict[bytes, bool]  # {} when the model cannot tell


def embed_texts(embedder: Embedder, items: Sequence[tuple[bytes, str]]) -> Embedded:
    """Embed (hash, text) pairs, checking the shape of what the model gave."""
    encoded = np.ascontiguousarray(embedder.encode([text for _, text in items]), dtype=np.float32)
    if encoded.shape != (len(items), embedder.dimension):
        raise ValueError(f"the embedding model gave vectors of shape {encoded.shape} "
                         f"for {len(items)} texts of width {embedder.dimension}")
    return Embedded([h for h, _ in items], encoded, learn_truncation(embedder, items))


def store_embedded(store: VectorStore, identity_id: int, embedded: Embedded) -> None:
    """Store what was embedded, in one transaction.  A vector that is not finite would be
    taken for damage when read back: it is left out."""
    finite, unit = usable_rows(embedded.vectors)
    store.add_vectors(identity_id, [(h, embedded.vectors[i]) for i, h in enumerate(embedded.hashes) if finite[i]],
                      unit_length=bool(unit[finite].all()), truncated=embedded.truncated)


def _embed_chunk(store: VectorStore, identity_id: int, embedder: Embedder, chunk: list[tuple[bytes, str]],
                 filled: Filled) -> None:
    embedded = embed_texts(embedder, chunk)
    store_embedded(store, identity_id, embedded)
    filled.truncated.update(embedded.truncated)
    filled.vectors.update(zip(embedded.hashes, embedded.vectors, strict=True))
    filled.embedded += len(chunk)
