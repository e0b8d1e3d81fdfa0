"""What the index needs of an embedding backend, and the one error a backend raises."""

from __future__ import annotations

from typing import Protocol

import numpy as np


class EmbeddingUnavailable(Exception):
    """The embedding model cannot be loaded.

    ``logged`` is True when the failure was already logged (the torch backend
    relies on ``_load_model``, which writes its own warning).
    """

    def __init__(self, message: str, *, logged: bool = False) -> None:
        super().__init__(message)
        self.logged = logged


class Embedder(Protocol):
    """An embedding backend: texts in, unit-length float32 vectors out."""

    @property
    def identity(self) -> tuple[str, str, str]:
        """(model name, weights digest, backend name "torch" or "onnx")."""
        ...

    @property
    def dimension(self) -> int: ...

    def encode(self, texts: list[str]) -> np.ndarray:
        """float32, C-contiguous, shape (len(texts), dimension), unit-length rows."""
        ...

    @property
    def max_tokens(self) -> int | None:
        """How many tokens of a text the model reads; None when it cannot tell."""
        ...

    def truncated(self, texts: list[str]) -> list[bool] | None:
        """Whether the model reads only part of each text (more than ``max_tokens``
        tokens); None when it cannot tell."""
        ...
