"""What the description index asks of a store of embeddings, whichever database holds them.

A vector is content-addressed: it is kept under its embedding identity (model
name, weights digest, backend) and the SHA-256 of the text it embeds, so it
means the same on any machine and for any corpus.  A store also ranks: given
the rows of one corpus, it answers which of them lie nearest to a query vector.
The in-process store keeps those rows in a matrix in memory; a database with a
vector index answers the query itself.

The file catalog, the other half of a store, is described in
:mod:`tarvex.file_catalog`.
"""

from __future__ import annotations

import contextlib
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Protocol

import numpy as np

# (model name, weights digest, backend): the vectors of two identities are never mixed.
Identity = tuple[str, str, str]

# How far from 1 the norm of a stored unit vector may be: float32 rounding of a
# normalised vector of a few thousand values stays well inside it, damage does not.
UNIT_TOLERANCE = 1e-5


class StoreUnavailable(OSError):
    """The index cannot be kept in this store: it cannot be opened, read or written (disk full,
    read-only, busy, unreachable, refused).  Its message is one line naming the store and the cause."""


class StoreNotWritable(StoreUnavailable):
    """A write failed (disk full, read-only, busy, I/O error); what is stored can still be read."""


class StoreDamaged(Exception):
    """The store turned out to be damaged while in use (see :meth:`VectorStore.recover`)."""


@dataclass(frozen=True, slots=True)
class StoredVectors:
    """The usable stored vectors of some texts, and whether the model read only part of
    each text whose vector was stored with that known."""

    vectors: dict[bytes, np.ndarray] = field(default_factory=dict)
    truncated: dict[bytes, bool] = field(default_factory=dict)


@dataclass(frozen=True, slots=True)
class Row:
    """One ranked description: its path as the index lists it, its text's hash, its preview,
    and where the file its text was read from lay (None: unknown)."""

    path: str
    text_hash: bytes
    preview: str
    real_path: str | None


class Ranking(Protocol):
    """The ranked rows of one corpus for one identity, and the nearest of them to a query."""

    # Whether update() needs the values of new rows' vectors (a ranking in memory does).
    holds_vectors: bool

    def update(self, rows: Sequence[Row], vectors: Mapping[bytes, np.ndarray], *,
               edited: Collection[str] = ()) -> None:
        """Rank exactly ``rows`` (in listing order) from now on.

        ``vectors`` holds the vector of every text hash the ranking did not
        rank before; ``edited`` names paths whose text changed while the
        listing kept the same paths (their rows may be overwritten in place).
        """
        ...

    def rows(self) -> Sequence[Row]:
        """The ranked rows, in listing order."""
        ...

    def nearest(self, query: np.ndarray, k: int, hidden: Collection[str] = ()) -> list[tuple[Row, float]]:
        """The ``k`` rows (``k <= 0``: all) whose path is not in ``hidden`` with the highest
        cosine similarity to ``query`` (a unit float32 vector), best first; equal scores
        in listing order."""
        ...


class VectorStore(Protocol):
    """The vectors half of a store."""

    # Where the store lies, as shown in messages (a password never appears in it).
    location: str

    @property
    def shared_url(self) -> str | None:
        """The URL by which workers on other machines open this store and write to it themselves
        (credentials included); None for a store that only this process writes to."""
        ...

    def identity(self, identity: Identity, dimension: int, *, add: bool = True) -> int | None:
        """The id of an embedding identity, added on first use (None when absent and not ``add``).
        Raises :class:`StoreDamaged` when stored vectors of it have another width."""
        ...

    def vectors(self, identity_id: int, hashes: Sequence[bytes], *, values: bool = True) -> StoredVectors:
        """The usable stored vectors of those text hashes: the identity's width, finite, and of
        unit length for a model that gives unit-length vectors.  Any other is left out (and
        dropped from the store where it can be), so that its text is embedded again.

        Without ``values`` a store may give only which hashes have a vector (each mapped to
        an empty array): all a ranking in the database needs to know."""
        ...

    def add_vectors(self, identity_id: int, items: Sequence[tuple[bytes, np.ndarray]], *,
                    unit_length: bool, truncated: Mapping[bytes, bool]) -> None:
        """Store finite vectors in one transaction (a vector stored by another writer meanwhile is kept).

        ``unit_length``: whether the model gave all of these unit length; once it gave one that
        is not, its vectors are no longer held to it.  ``truncated``: whether the model read only part
        of each text (a text left out: not known)."""
        ...

    def set_truncation_flags(self, identity_id: int, flags: Mapping[bytes, bool]) -> None:
        """Record whether the model read only part of texts whose vectors are stored without it."""
        ...

    def embedding_turn(self, *, wait: bool = True) -> contextlib.AbstractContextManager[bool]:
        """Hold the store's embedding turn while embedding and storing one chunk, so that writers
        missing the same texts embed each once.  Gives whether the turn is held: a holder that
        keeps it too long is waited for at most a bounded time (or not at all, without ``wait``),
        since the turn only saves work."""
        ...

    def ranking(self, identity_id: int, corpus_id: int, prefix: str) -> Ranking:
        """A ranking of this corpus's rows with this identity's vectors; ``prefix`` joined to a
        path the catalog records gives the path the index lists."""
        ...

    def prune(self) -> tuple[int, int]:
        """Delete the vectors that no file row of any corpus refers to; (vectors deleted, bytes freed)."""
        ...

    def recover(self, error: StoreDamaged) -> None:
        """Deal with damage found in use: a store of this process's own may be set aside and
        started afresh (the caller then starts its corpus afresh); a shared one raises
        :class:`StoreUnavailable` saying so, and is never rebuilt because one client saw an error."""
        ...

    def close(self) -> None: ...


def usable_rows(vectors: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For each row of a float32 matrix: whether all its values are finite, and
    whether it has unit length within :data:`UNIT_TOLERANCE`."""
    with np.errstate(over="ignore", invalid="ignore"):
        finite = np.isfinite(vectors).all(axis=1)
        norms = np.linalg.norm(vectors.astype(np.float64), axis=1)
    return finite, np.abs(norms - 1.0) <= UNIT_TOLERANCE
