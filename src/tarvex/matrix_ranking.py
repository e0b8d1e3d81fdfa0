"""Ranking in this process: the ranked rows' vectors in one float32 matrix, searched by the engine's exact top-k."""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence

import numpy as np

from tarvex import _index_engine as engine
from tarvex.vector_store import Row


class MatrixRanking:
    """The rows of one corpus and their vectors, kept in memory between searches.

    An update reuses the matrix rows of texts it already holds, so only the
    vectors of new texts cross from the store.
    """

    holds_vectors = True

    def __init__(self) -> None:
        self._rows: list[Row] = []
        self._row_of: dict[str, int] = {}
        self._matrix = np.zeros((0, 0), dtype=np.float32)

    def update(self, rows: Sequence[Row], vectors: Mapping[bytes, np.ndarray], *,
               edited: Collection[str] = ()) -> None:
        if edited:
            self._overwrite(rows, vectors, edited)
            return
        rows = list(rows)
        held = {row.text_hash: index for index, row in enumerate(self._rows)}
        width = self._matrix.shape[1] if self._rows else (len(next(iter(vectors.values()))) if vectors else 0)
        matrix = np.empty((len(rows), width), dtype=np.float32)
        reused = [(index, held[row.text_hash]) for index, row in enumerate(rows) if row.text_hash in held]
        if reused:
            new, old = zip(*reused, strict=True)
            matrix[list(new)] = self._matrix[list(old)]
        for index, row in enumerate(rows):
            if row.text_hash not in held:
                matrix[index] = vectors[row.text_hash]
        self._rows, self._matrix = rows, matrix
        self._row_of = {row.path: index for index, row in enumerate(rows)}

    def _overwrite(self, rows: Sequence[Row], vectors: Mapping[bytes, np.ndarray], edited: Collection[str]) -> None:
        """The same paths as before, some with a new text: their matrix rows are overwritten in place."""
        self._rows = list(rows)
        for path in edited:
            index = self._row_of[path]
            self._matrix[index] = vectors[self._rows[index].text_hash]

    def rows(self) -> Sequence[Row]:
        return self._rows

    def nearest(self, query: np.ndarray, k: int, hidden: Collection[str] = ()) -> list[tuple[Row, float]]:
        # One ranking, asking for as many more as are hidden, since at most that many can be dropped.
        count = len(self._rows)
        wanted = k + len(hidden)
        hits = engine.top_k(self._matrix, query, wanted if 0 < k and wanted < count else 0)
        found = [(self._rows[index], score) for index, score in hits]
        if not hidden:
            return found
        kept = [hit for hit in found if hit[0].path not in hidden]
        return kept[:k] if k > 0 else kept
