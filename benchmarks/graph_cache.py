"""Cache folders for runs that must not build the ONNX graph: the built graph of
the user's cache (and its record, so it is taken as checked) linked into them.

Hard links (copies across file systems): a symbolic link in the cache is no graph."""

import os
import shutil
import sys
from pathlib import Path


def link_built_graph(cache: Path, model: str) -> None:
    """Link the default cache's built graph of `model` and its record into `cache`; exits when there is none."""
    from tarvex import embedding

    folder = embedding.locate_model(model)
    digest = embedding.weights_digest(folder, embedding.default_cache_dir()) if folder else ""
    graph = embedding.graph_path(embedding.default_cache_dir(), digest)
    if not digest or not graph.is_file():
        sys.exit(f"no built ONNX graph of {model} in {embedding.default_cache_dir()}: run scripts/setup.sh")
    target = embedding.graph_path(cache, digest)
    target.parent.mkdir(parents=True, exist_ok=True)
    for built in (graph, graph.with_name(graph.name + ".json")):
        if built.exists():
            place(built, target.parent / built.name)


def place(built: Path, where: Path) -> None:
    try:
        os.link(built, where)
    except OSError:
        shutil.copy2(built, where)
