"""The torch backend: the reference's own model object, called as the reference calls it,
so the vectors are the reference's."""

from __future__ import annotations

import importlib.util
import sys

import numpy as np

from tarvex.embedder import EmbeddingUnavailable
from tarvex.model_files import ModelFiles


def importable(name: str) -> bool:
    """Whether a top-level module is loaded or could be imported (without importing it)."""
    if name in sys.modules:
        return sys.modules[name] is not None
    return importlib.util.find_spec(name) is not None


def torch_available() -> bool:
    """Whether torch and sentence-transformers could be imported (without importing them)."""
    return all(importable(name) for name in ("torch", "sentence_transformers"))


class TorchEmbedder:
    """The reference's own model object, called as the reference calls it."""

    def __init__(self, model: ModelFiles) -> None:
        from tarvex import rag_helper

        if not torch_available():
            raise EmbeddingUnavailable("torch is not installed (the torch backend needs torch and "
                                       "sentence-transformers; --backend onnx does not)")
        loaded = rag_helper._load_model(model.name)
        if loaded is None:
            raise EmbeddingUnavailable(f"the embedding model {model.name!r} could not be loaded", logged=True)
        self.model = loaded
        self.identity = (model.name, model.digest, "torch")
        self._dimension: int | None = None
        limit = getattr(loaded, "max_seq_length", None)
        tokenizer = getattr(loaded, "tokenizer", None)
        # A model object without a tokenizer or a length (a stand-in) cannot tell what it cuts.
        self.max_tokens = limit if type(limit) is int and limit > 0 and callable(tokenizer) else None

    @property
    def dimension(self) -> int:
        if self._dimension is None:
            probe = getattr(self.model, "get_sentence_embedding_dimension", None)
            size = probe() if callable(probe) else None
            self._dimension = size if isinstance(size, int) and size > 0 else self.encode(["dimension"]).shape[1]
        return self._dimension

    def encode(self, texts: list[str]) -> np.ndarray:
        if not texts:
            return np.zeros((0, self.dimension), dtype=np.float32)
        result = self.model.encode(
            list(texts), convert_to_tensor=True, normalize_embeddings=True, show_progress_bar=False
        )
        vectors = np.ascontiguousarray(np.asarray(result.cpu().tolist(), dtype=np.float32))
        if vectors.ndim != 2 or vectors.shape[0] != len(texts):
            raise ValueError(f"the model returned vectors of shape {vectors.shape} for {len(texts)} texts")
        self._dimension = vectors.shape[1]
        return vectors

    def truncated(self, texts: list[str]) -> list[bool] | None:
        if self.max_tokens is None:
            return None
        # The texts as the model's transformer prepares them before its tokenizer truncates them.
        first = self.model[0] if hasattr(self.model, "__getitem__") else None
        prepared = [text.strip() for text in texts]
        if getattr(first, "do_lower_case", False):
            prepared = [text.lower() for text in prepared]
        if not prepared:
            return []
        # One token more than the model reads is enough to know that it cuts.
        ids = self.model.tokenizer(prepared, truncation=True, max_length=self.max_tokens + 1)["input_ids"]
        return [len(row) > self.max_tokens for row in ids]
