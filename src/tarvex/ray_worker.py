"""One worker of a Ray embedding job: opens the model once, then embeds batch after batch.

The worker is a plain class that Ray Data runs as an actor (``map_batches``);
it imports no Ray itself, except to fetch a model the driver shipped.  It finds
the model in one of three ways (:class:`WorkPlan`): the driver's own files
(a local Ray, on the driver's machine), a copy shipped through the object
store, or the model installed on the worker.  Whichever it is, the weights are
hashed and must match the driver's digest, since the vectors are stored under
that identity.  A worker that cannot work says why in every row it answers, so
that the driver stops with that one line instead of a traceback from Ray.

Each batch answers one row per text: what became of it (:class:`Outcome`),
its vector when it was embedded, whether the model read only part of it, and
why it failed.  With a shared store the worker claims its texts, skips the
ones another writer holds or has stored, and stores its vectors itself.
"""

from __future__ import annotations

import dataclasses
import enum
import os
import socket
import tempfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from tarvex._defaults import THREADS_VARIABLE
from tarvex._files import sha256_of
from tarvex.embedder import EmbeddingUnavailable
from tarvex.fill import Embedded, embed_texts, store_embedded
from tarvex.model_files import ModelLayout, combined_digest
from tarvex.vector_store import StoreUnavailable

# The tokenizer's files that the ONNX backend reads from the model's folder.
TOKENIZER_FILES = ("tokenizer.json", "special_tokens_map.json", "tokenizer_config.json")


class Outcome(enum.IntEnum):
    """What became of one text handed to a worker."""

    EMBEDDED = 0  # embedded here; its vector is in the row (and, with a shared store, stored)
    STORED = 1  # another writer stored its vector meanwhile
    CLAIMED = 2  # another writer is embedding it now
    FAILED = 3  # its embedding failed; the row says why
    REFUSED = 4  # the worker cannot work at all; the row says why


@dataclass(frozen=True)
class LocalModel:
    """The driver's own model files, for workers on the driver's machine."""

    layout: ModelLayout
    graph: Path
    weight_files: tuple[Path, ...]


@dataclass(frozen=True)
class ModelPack:
    """The model's files as bytes, shipped through the object store to workers without the model."""

    layout: ModelLayout
    tokenizer: dict[str, bytes]
    weights: dict[str, bytes]
    graph: bytes


@dataclass(frozen=True)
class WorkPlan:
    """What every worker of one job is told."""

    model_name: str
    digest: str  # of the driver's weights: the identity the vectors are stored under
    identity_id: int
    # Where the model comes from: the driver's files, an object reference to a ModelPack,
    # or None for the model installed on the worker.
    model: LocalModel | Any | None
    store_url: str | None = None  # a shared store the workers write to themselves
    threads: int = 1


def pack_model(layout: ModelLayout, graph: Path, weight_files: Sequence[Path]) -> ModelPack:
    """The driver's model files as a :class:`ModelPack`."""
    tokenizer = {name: (layout.folder / name).read_bytes() for name in TOKENIZER_FILES
                 if (layout.folder / name).is_file()}
    return ModelPack(layout, tokenizer, {path.name: path.read_bytes() for path in weight_files}, graph.read_bytes())


class EmbedWorker:
    """A Ray Data actor: ``worker(batch)`` embeds a batch of {"hash", "text"} columns."""

    def __init__(self, plan: WorkPlan) -> None:
        os.environ[THREADS_VARIABLE] = str(plan.threads)
        self.plan = plan
        self.refusal: str | None = None
        self.embedder: Any = None
        self.store: Any = None
        self._unpacked: tempfile.TemporaryDirectory[str] | None = None
        try:
            self.embedder = self._open_embedder()
            if plan.store_url is not None:
                from tarvex.stores import open_store

                self.store = open_store(plan.store_url, Path(tempfile.gettempdir()))
        except (EmbeddingUnavailable, StoreUnavailable, OSError) as error:
            self.refusal = f"the worker on {socket.gethostname()} refuses: {error}"

    # -- finding the model --------------------------------------------------------------

    def _open_embedder(self) -> Any:
        from tarvex.onnx_backend import OnnxEmbedder

        plan = self.plan
        if plan.model is None:
            from tarvex.embedding import open_embedder

            embedder = open_embedder(plan.model_name, "onnx")
            self._check_digest(embedder.identity[1], "the installed model's")
            return embedder
        if isinstance(plan.model, LocalModel):
            layout, graph, weights = plan.model.layout, plan.model.graph, list(plan.model.weight_files)
            from tarvex.onnx_graph import graph_fault

            if (fault := graph_fault(graph, weights)) is not None:
                raise EmbeddingUnavailable(f"the ONNX graph {graph} is {fault}")
        else:
            import ray

            layout, graph, weights = self._unpack(ray.get(plan.model))
        self._check_digest(combined_digest([(path.name, sha256_of(path, follow=True)[0]) for path in weights]),
                           "the weights'")
        return OnnxEmbedder(plan.model_name, layout, graph, plan.digest, weights)

    def _check_digest(self, digest: str, whose: str) -> None:
        if digest != self.plan.digest:
            raise EmbeddingUnavailable(f"{whose} digest {digest[:12]}… differs from the driver's "
                                       f"{self.plan.digest[:12]}…: its vectors would be stored under the "
                                       "wrong identity")

    def _unpack(self, pack: ModelPack) -> tuple[ModelLayout, Path, list[Path]]:
        self._unpacked = tempfile.TemporaryDirectory(prefix="tarvex-model-")
        folder = Path(self._unpacked.name)
        for name, data in {**pack.tokenizer, **pack.weights, "model.onnx": pack.graph}.items():
            (folder / Path(name).name).write_bytes(data)
        weights = [folder / Path(name).name for name in sorted(pack.weights)]
        return dataclasses.replace(pack.layout, folder=folder), folder / "model.onnx", weights

    # -- embedding ----------------------------------------------------------------------

    def __call__(self, batch: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        hashes = [bytes(h) for h in batch["hash"]]
        texts = [str(t) for t in batch["text"]]
        answer = _Answer(hashes, self.embedder.dimension if self.embedder is not None else 0)
        if self.refusal is not None:
            answer.refuse(range(len(hashes)), self.refusal)
            return answer.columns()
        items = list(zip(hashes, texts, strict=True))
        try:
            if self.store is None:
                self._embed(items, answer)
            else:
                self._embed_shared(items, answer)
        except StoreUnavailable as error:  # a shared store that refuses: no worker can go on
            answer.refuse([i for i, o in enumerate(answer.outcome) if o == Outcome.EMBEDDED and not answer.done[i]],
                          f"the worker on {socket.gethostname()} cannot store its vectors: {error}")
        return answer.columns()

    def _embed_shared(self, items: list[tuple[bytes, str]], answer: _Answer) -> None:
        identity_id = self.plan.identity_id
        with self.store.claimed(identity_id, [h for h, _ in items]) as mine:
            stored = self.store.vectors(identity_id, [h for h, _ in items if h in mine], values=False).vectors
            for i, (h, _) in enumerate(items):
                if h not in mine:
                    answer.mark(i, Outcome.CLAIMED)
                elif h in stored:
                    answer.mark(i, Outcome.STORED)
            todo = [(h, t) for h, t in items if h in mine and h not in stored]
            for embedded in self._embed(todo, answer):
                store_embedded(self.store, identity_id, embedded)
                answer.stored(embedded.hashes)

    def _embed(self, items: list[tuple[bytes, str]], answer: _Answer) -> list[Embedded]:
        """Embed items into the answer; a part that fails is split until the texts at fault are found."""
        if not items:
            return []
        try:
            embedded = embed_texts(self.embedder, items)
        except Exception as error:  # the text at fault is reported, the others still embedded
            if len(items) == 1:
                answer.fail(items[0][0], f"{type(error).__name__}: {error}")
                return []
            half = len(items) // 2
            return self._embed(items[:half], answer) + self._embed(items[half:], answer)
        answer.embedded(embedded)
        return [embedded]


class _Answer:
    """The rows a batch answers, filled in as its texts are dealt with."""

    def __init__(self, hashes: list[bytes], dimension: int) -> None:
        self.index = {h: i for i, h in enumerate(hashes)}
        self.hashes = hashes
        self.outcome = np.full(len(hashes), Outcome.EMBEDDED, dtype=np.int8)
        self.done = np.zeros(len(hashes), dtype=bool)  # embedded, and stored where the worker stores
        self.vector = np.zeros((len(hashes), dimension), dtype=np.float32)
        self.truncated = np.full(len(hashes), -1, dtype=np.int8)
        self.error = np.full(len(hashes), "", dtype=object)

    def mark(self, i: int, outcome: Outcome) -> None:
        self.outcome[i] = outcome
        self.done[i] = True

    def refuse(self, rows: Iterable[int], reason: str) -> None:
        for i in rows:
            self.outcome[i] = Outcome.REFUSED
            self.error[i] = reason

    def fail(self, text_hash: bytes, reason: str) -> None:
        i = self.index[text_hash]
        self.mark(i, Outcome.FAILED)
        self.error[i] = reason

    def embedded(self, embedded: Embedded) -> None:
        for row, h in enumerate(embedded.hashes):
            i = self.index[h]
            self.vector[i] = embedded.vectors[row]
            if h in embedded.truncated:
                self.truncated[i] = int(embedded.truncated[h])

    def stored(self, hashes: list[bytes]) -> None:
        for h in hashes:
            self.done[self.index[h]] = True

    def columns(self) -> dict[str, np.ndarray]:
        hashes = np.empty(len(self.hashes), dtype=object)
        hashes[:] = self.hashes
        return {"hash": hashes, "outcome": self.outcome, "vector": self.vector, "truncated": self.truncated,
                "error": self.error}
