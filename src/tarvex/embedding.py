"""Choosing and opening an embedding backend for the description index.

Two backends turn texts into unit-length float32 vectors:

* ``torch`` (:mod:`tarvex.torch_backend`): the very model object that
  :func:`tarvex.rag_helper._load_model` hands out, so the vectors are the
  reference's.
* ``onnx`` (:mod:`tarvex.onnx_backend`): the same weights run as an ONNX graph
  (:mod:`tarvex.onnx_graph`, built by :mod:`tarvex.graph_builder`) with ONNX
  Runtime; it imports neither torch nor transformers.

``auto`` takes ``onnx`` when the graph for the model's weights is already in
the cache (built again when it is not the one built) or torch is not
installed, else ``torch``.  The model's files are found once
(:func:`tarvex.model_files.resolve_model`) and handed to whichever opens.
"""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

from tarvex._defaults import DEFAULT_MODEL as DEFAULT_MODEL
from tarvex._defaults import check_backend, default_cache_dir
from tarvex.embedder import Embedder as Embedder
from tarvex.embedder import EmbeddingUnavailable as EmbeddingUnavailable
from tarvex.model_files import ModelFiles, ModelLayout, resolve_model
from tarvex.onnx_graph import graph_exists, graph_fault, prepare_graph
from tarvex.torch_backend import TorchEmbedder, importable, torch_available


def _onnx_embedder(model: ModelFiles, prepared: tuple[ModelLayout, Path, list[Path]]) -> Embedder:
    from tarvex.onnx_backend import OnnxEmbedder

    layout, graph, weights = prepared
    embedder = OnnxEmbedder(model.name, layout, graph, model.digest, weights)
    # The check before loading leaves a moment in which a file could change.
    if (fault := graph_fault(graph, weights)) is not None:
        raise EmbeddingUnavailable(f"the ONNX graph {graph} changed while it was loaded: it is {fault}")
    return embedder


def _auto(model: ModelFiles, cache_dir: Path) -> str:
    if not importable("onnxruntime"):
        return "torch"
    if torch_available() and (model.folder is None or not graph_exists(model, cache_dir)):
        return "torch"
    return "onnx"


def open_embedder(model_name: str, backend: str = "auto", cache_dir: Path | None = None, *,
                  on_build: Callable[[str], None] | None = None) -> Embedder:
    """Open the embedding backend ``backend`` ("auto", "torch" or "onnx") for a model.

    ``onnx`` builds the graph first when it is missing or not the one built.
    ``auto`` takes ``onnx`` when a graph of the model's weights is in the cache or
    torch is not installed (a search-only install builds it on first use), else ``torch``.  ``on_build`` is
    told why before a graph is built.  Raises ``ValueError`` for an unknown
    backend and ``EmbeddingUnavailable`` when the model cannot be loaded.
    """
    check_backend(backend)
    cache = Path(cache_dir) if cache_dir is not None else default_cache_dir()
    model = resolve_model(model_name, cache)
    if backend == "torch":
        return TorchEmbedder(model)
    if backend == "onnx":
        return _onnx_embedder(model, prepare_graph(model, cache, export=True, on_build=on_build))
    if _auto(model, cache) == "torch":
        return TorchEmbedder(model)
    try:
        prepared = prepare_graph(model, cache, export=True, on_build=on_build)
    except EmbeddingUnavailable:
        if not torch_available():
            raise
        return TorchEmbedder(model)  # a graph that cannot be built again: torch still serves
    return _onnx_embedder(model, prepared)
