"""The ONNX backend: the built graph run with ONNX Runtime, tokenised with ``tokenizers``.

Tokenisation, pooling and normalisation follow the model's own configuration
files (:class:`tarvex.model_files.ModelLayout`).  This path imports neither
torch nor sentence_transformers nor transformers, which keeps a search process
small and quick to start.
"""

from __future__ import annotations

import contextlib
import json
import mmap
import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from tarvex._defaults import onnx_threads
from tarvex._files import opened_regular
from tarvex.embedder import EmbeddingUnavailable
from tarvex.model_files import ModelLayout

# Texts per ONNX Runtime call at most, ordered by their number of tokens so that
# each batch is padded little.
ONNX_BATCH_SIZE = 32
# Padded tokens per ONNX Runtime call at most: the runtime's working tensors grow
# with batch x length (the attention scores with batch x length^2), and its memory
# arena keeps the largest it ever needed, so 32 texts of 256 tokens held about
# 500 MiB for the rest of the process; 1,024 tokens hold about 50 MiB, and took
# no more CPU time than larger batches here (the work per token is the same).
ONNX_BATCH_TOKENS = 1024


def open_session(graph: Path, weight_files: Sequence[Path], options: Any = None) -> Any:
    """An ONNX Runtime session of ``graph``, whose weights stay in the model's weight
    files: each is mapped read-only and handed over by name, and the runtime copies
    what it needs while the session is made."""
    import onnxruntime as ort  # type: ignore[import-untyped]

    options = options or ort.SessionOptions()
    with contextlib.ExitStack() as mapped:
        names, buffers = [], []
        for path in weight_files:
            with opened_regular(path, follow=True) as fd:
                size = os.fstat(fd).st_size
                buffer = mapped.enter_context(mmap.mmap(fd, 0, access=mmap.ACCESS_READ)) if size else b""
            names.append(path.name)
            buffers.append(buffer)
        if names:
            options.add_external_initializers_from_files_in_memory(names, buffers, [len(b) for b in buffers])
        return ort.InferenceSession(str(graph), sess_options=options, providers=["CPUExecutionProvider"])


def pool(token_vectors: np.ndarray, mask: np.ndarray, modes: Sequence[str]) -> np.ndarray:
    """Pool (batch, tokens, width) vectors over the unmasked tokens, as the model's
    pooling layer does, concatenating the modes in their fixed order."""
    weights = mask[:, :, None].astype(token_vectors.dtype)
    parts = []
    for mode in modes:
        if mode == "cls_token":
            parts.append(token_vectors[:, 0])
        elif mode == "max_tokens":
            parts.append(np.where(weights > 0, token_vectors, np.float32(-1e9)).max(axis=1))
        else:
            total = (token_vectors * weights).sum(axis=1)
            count = np.maximum(weights.sum(axis=1), np.float32(1e-9))
            parts.append(total / (count if mode == "mean_tokens" else np.sqrt(count)))
    return np.concatenate(parts, axis=1) if len(parts) > 1 else parts[0]


def normalise(vectors: np.ndarray) -> np.ndarray:
    """Rows scaled to unit length (a zero row stays zero)."""
    norms = np.linalg.norm(vectors, axis=1, keepdims=True)
    scaled: np.ndarray = vectors / np.maximum(norms, np.float32(1e-12))
    return scaled


def session_options(ort: Any) -> Any:
    """Options for a small machine shared with other work: at most two threads
    (or as many as ``TARVEX_THREADS`` says) that sleep rather than spin while
    they wait."""
    options = ort.SessionOptions()
    options.intra_op_num_threads = onnx_threads() or min(2, os.cpu_count() or 1)
    options.inter_op_num_threads = 1
    options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    options.add_session_config_entry("session.inter_op.allow_spinning", "0")
    # Planned memory patterns are kept per input shape, one more set for every
    # batch shape met; the arena alone serves each run as well.
    options.enable_mem_pattern = False
    options.log_severity_level = 3
    return options


class OnnxEmbedder:
    """The exported graph run with ONNX Runtime, tokenised with ``tokenizers``."""

    def __init__(self, model_name: str, layout: ModelLayout, graph: Path, digest: str,
                 weight_files: Sequence[Path]) -> None:
        try:
            import onnxruntime as ort
            from tokenizers import Tokenizer  # type: ignore[import-untyped]
        except ImportError as error:
            raise EmbeddingUnavailable(f"the ONNX backend needs onnxruntime and tokenizers: {error}") from None
        self.identity = (model_name, digest, "onnx")
        self.graph = graph
        self.weight_files = tuple(weight_files)
        self.dimension = layout.dimension
        self.max_tokens = layout.max_length
        self.layout = layout
        try:
            self.tokenizer = Tokenizer.from_file(str(layout.folder / "tokenizer.json"))
        except Exception as error:
            raise EmbeddingUnavailable(f"cannot load the tokenizer of {layout.folder}: {error}") from None
        pad_token = self._pad_token(layout.folder)
        pad_id = self.tokenizer.token_to_id(pad_token)
        if pad_id is None:
            raise EmbeddingUnavailable(f"the tokenizer of {layout.folder} has no padding token {pad_token!r}")
        self.tokenizer.enable_truncation(max_length=layout.max_length, strategy="longest_first")
        # Batches are padded here, once their lengths are known; padding that the
        # tokenizer's own file asks for (a fixed 128 tokens for some models) would
        # make a one-word query cost as much as a long text.
        self.tokenizer.no_padding()
        self.pad_id = pad_id
        try:
            options = session_options(ort)
        except ValueError as error:  # TARVEX_THREADS: a setting, not the graph, is at fault
            raise EmbeddingUnavailable(str(error)) from None
        try:
            self.session = open_session(graph, weight_files, options)
        except Exception as error:
            raise EmbeddingUnavailable(f"cannot load the ONNX graph {graph}: {error}") from None
        self.inputs = [item.name for item in self.session.get_inputs()]

    @staticmethod
    def _pad_token(folder: Path) -> str:
        for name in ("special_tokens_map.json", "tokenizer_config.json"):
            try:
                token = json.loads((folder / name).read_text(encoding="utf-8")).get("pad_token")
            except (OSError, ValueError, RecursionError, AttributeError):
                continue
            if isinstance(token, dict):
                token = token.get("content")
            if isinstance(token, str):
                return token
        return "[PAD]"

    def _encode_batch(self, encodings: list[Any]) -> np.ndarray:
        width = max(len(e.ids) for e in encodings)
        feeds = {name: np.zeros((len(encodings), width), dtype=np.int64)
                 for name in ("input_ids", "attention_mask", "token_type_ids")}
        feeds["input_ids"].fill(self.pad_id)
        for row, e in enumerate(encodings):
            feeds["input_ids"][row, : len(e.ids)] = e.ids
            feeds["attention_mask"][row, : len(e.ids)] = e.attention_mask
            feeds["token_type_ids"][row, : len(e.ids)] = e.type_ids
        (token_vectors,) = self.session.run(None, {name: feeds[name] for name in self.inputs})
        return pool(token_vectors, feeds["attention_mask"], self.layout.pooling)

    def _prepared(self, texts: list[str]) -> list[str]:
        prepared = [text.strip() for text in texts]
        return [text.lower() for text in prepared] if self.layout.lower_case else prepared

    def truncated(self, texts: list[str]) -> list[bool]:
        # The tokenizer truncates to max_tokens: what it had to leave out is its overflow.
        return [bool(encoding.overflowing) for encoding in self.tokenizer.encode_batch(self._prepared(texts))]

    def encode(self, texts: list[str]) -> np.ndarray:
        encodings = self.tokenizer.encode_batch(self._prepared(texts))
        vectors = np.zeros((len(texts), self.dimension), dtype=np.float32)
        for chosen in token_batches([len(e.ids) for e in encodings], ONNX_BATCH_SIZE, ONNX_BATCH_TOKENS):
            vectors[chosen] = self._encode_batch([encodings[i] for i in chosen])
        return np.ascontiguousarray(normalise(vectors), dtype=np.float32)


def token_batches(lengths: Sequence[int], max_texts: int, max_tokens: int) -> list[list[int]]:
    """Indices of texts of these token lengths in batches, longest first: each
    batch at most ``max_texts`` texts and, padded to its longest, at most
    ``max_tokens`` tokens (a text longer than that alone)."""
    order = sorted(range(len(lengths)), key=lambda i: -lengths[i])
    batches: list[list[int]] = []
    for i in order:
        batch = batches[-1] if batches else None
        if batch is None or len(batch) >= max_texts or (len(batch) + 1) * lengths[batch[0]] > max_tokens:
            batches.append([i])
        else:
            batch.append(i)
    return batches
