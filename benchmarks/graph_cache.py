"""Cache folders for runs that must not build the ONNX graph: the built graph of
the user's cache (and its record, so it is taken as checked) linked into them.

Hard links (copies across file systems): a symbolic link in the cache is no graph."""

import os
import shutil
import sys
from pathlib import Path


def link_built_graph(cache: Path, model: str) -> None:
    """Link the default cache's built graph of `model` and its record into `cache`; exits when there is none."""
    from tarvex import embedding, model_files, onnx_graph

    home = embedding.default_cache_dir()
    digest = model_files.resolve_model(model, home).digest
    graph = onnx_graph.graph_path(home, digest)
    if digest == model_files.UNLOCATED_DIGEST or not graph.is_file():
        sys.exit(f"no built ONNX graph of {model} in {home}: run scripts/setup.sh")
    target = onnx_graph.graph_path(cache, digest)
    target.parent.mkdir(parents=True, exist_ok=True)
    for built in (graph, graph.with_name(graph.name + ".json")):
        if built.exists():
            place(built, target.parent / built.name)


def place(built: Path, where: Path) -> None:
    try:
        os.link(built, where)
    except OSError:
        shutil.copy2(built, where)


def graph_ready(model: str) -> bool:
    """Whether the checked graph of `model` is in the default cache (nothing is built)."""
    from tarvex import embedding, model_files, onnx_graph

    home = embedding.default_cache_dir()
    try:
        onnx_graph.prepare_graph(model_files.resolve_model(model, home), home, export=False)
    except embedding.EmbeddingUnavailable:
        return False
    return True
