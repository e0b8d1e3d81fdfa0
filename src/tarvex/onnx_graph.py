"""The model's ONNX graph in the cache folder: where it is kept, the record that
says it is the graph that was built and checked, and building it under a turn.

A graph is used only when it is the file that was built and checked: its SHA-256,
size, times and inode are recorded beside it (``<digest>.onnx.json``) when it is
written, and so are those of the weight files its external data points into.
Opening compares each file's status with the record, and hashes a file only when
they differ (a copied or touched file whose bytes are the same is recorded again).
"""

from __future__ import annotations

import contextlib
import json
import os
import stat
from collections.abc import Callable, Iterator
from pathlib import Path

from tarvex._files import (open_lock_file, read_json_record, sha256_of, sweep_temporaries, take_turn,
                           write_atomically)
from tarvex.embedder import EmbeddingUnavailable
from tarvex.model_files import UNLOCATED_DIGEST, ModelFiles, ModelLayout, weight_files

GRAPH_FOLDER = "graphs"
# Where earlier versions kept graphs that held a copy of the weights of their own
# (about 90 MB each): never read, only listed and cleared with the cache.
EARLIER_GRAPH_FOLDER = "onnx"
# The largest graph record read: far above what it holds.
GRAPH_RECORD_LIMIT = 64 << 10
# How long a process waits for another one building the same graph before it builds on its own.
GRAPH_TURN_WAIT_S = 600.0
GRAPH_MISSING = "missing"


def graph_path(cache_dir: Path, digest: str) -> Path:
    """Where the ONNX graph built from the weights with this digest is kept."""
    return cache_dir / GRAPH_FOLDER / f"{digest}.onnx"


def _record_path(graph: Path) -> Path:
    return graph.with_name(graph.name + ".json")


def _file_status(status: os.stat_result) -> dict[str, int]:
    return {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "ctime_ns": status.st_ctime_ns,
            "inode": status.st_ino}


def record_graph(graph: Path, sha256: str, weights: list[Path]) -> None:
    """Record ``graph`` as built and checked, with its content's digest and the weight
    files it points into (hashed here, each with its status from one descriptor)."""
    recorded = {}
    for path in weights:
        digest, status = sha256_of(path, follow=True)
        recorded[path.name] = {"sha256": digest, **_file_status(status)}
    record = {"sha256": sha256, **_file_status(os.stat(graph)), "weights": recorded}
    write_atomically(_record_path(graph), json.dumps(record, indent=1, sort_keys=True).encode())


def _same_status(recorded: dict[str, object], status: os.stat_result) -> bool:
    return all(recorded.get(key) == value for key, value in _file_status(status).items())


def _moved(recorded: dict[str, object], path: Path, status: os.stat_result) -> str | None:
    """None when the file is still what was recorded (hashed only if its status moved);
    else how it differs."""
    if _same_status(recorded, status):
        return None
    if recorded.get("size") != status.st_size:
        return "its size differs"
    return None if sha256_of(path, follow=True)[0] == recorded.get("sha256") else "its content differs"


def graph_fault(graph: Path, weights: list[Path]) -> str | None:
    """None when ``graph`` and the weight files it points into are the files that were
    built and recorded; else what is wrong (GRAPH_MISSING when there is no graph)."""
    try:
        status = os.lstat(graph)
    except FileNotFoundError:
        return GRAPH_MISSING
    except OSError as error:
        return f"unreadable ({error.strerror})"
    if not stat.S_ISREG(status.st_mode):
        return "not a regular file"
    record = read_json_record(_record_path(graph), GRAPH_RECORD_LIMIT)
    if not isinstance(record, dict) or not isinstance(record.get("sha256"), str):
        return "not recorded as built and checked"
    recorded = record.get("weights")
    if not isinstance(recorded, dict):
        return "from an earlier version (with a copy of the weights of its own)"
    if sorted(recorded) != sorted(path.name for path in weights):
        return "built from other weight files"
    moved = False
    try:
        if (why := _moved(record, graph, status)) is not None:
            return f"not the graph that was built ({why})"
        moved |= not _same_status(record, status)
        for path in weights:
            entry = recorded[path.name]
            weight_status = os.stat(path)
            if not isinstance(entry, dict) or (why := _moved(entry, path, weight_status)) is not None:
                return f"built from other weights ({path.name}: {why or 'not recorded'})"
            moved |= not _same_status(entry, weight_status)
        if moved:
            record_graph(graph, record["sha256"], weights)
    except OSError as error:
        return f"unreadable ({error.strerror})"
    return None


def build_notice(model_name: str, fault: str) -> str:
    """What is said before the graph is built, given what is wrong with the one in the cache."""
    if fault == GRAPH_MISSING:
        return f"building the ONNX graph of {model_name} (once for these weights)"
    return f"the ONNX graph of {model_name} is {fault}; building it again"


def graph_exists(model: ModelFiles, cache_dir: Path) -> bool:
    """Whether a graph (good or not) is kept for the model's weights."""
    return model.digest != UNLOCATED_DIGEST and os.path.lexists(graph_path(cache_dir, model.digest))


def prepare_graph(model: ModelFiles, cache_dir: Path, *, export: bool,
                  on_build: Callable[[str], None] | None = None) -> tuple[ModelLayout, Path, list[Path]]:
    """The model's layout, its ONNX graph and the weight files the graph points into.

    The graph is used only when it is the one that was built and recorded; with
    ``export`` a missing or faulty graph is built (again) first, after telling
    ``on_build`` why.  Raises ``EmbeddingUnavailable`` with one line otherwise.
    """
    folder = model.required_folder()
    layout = ModelLayout.read(folder)
    if model.digest == UNLOCATED_DIGEST:
        raise EmbeddingUnavailable(f"no weight files in {folder}")
    graph = graph_path(cache_dir, model.digest)
    weights = weight_files(folder)
    sweep_temporaries(graph.parent)
    fault = graph_fault(graph, weights)
    if fault is None:
        return layout, graph, weights
    if export:
        with _graph_turn(graph):
            fault = graph_fault(graph, weights)  # built by the process whose turn it was
            if fault is not None:
                _build(model, graph, weights, fault, on_build)
        return layout, graph, weights
    if fault == GRAPH_MISSING:
        raise EmbeddingUnavailable(f"no ONNX graph of {model.name!r} in {graph.parent}; "
                                   "build it with 'tarvex graph'")
    raise EmbeddingUnavailable(f"the ONNX graph {graph} is {fault}; build it again with 'tarvex graph'")


@contextlib.contextmanager
def _graph_turn(graph: Path) -> Iterator[None]:
    """One process at a time builds a graph (about 400 MB at its peak); the others wait for it,
    at most GRAPH_TURN_WAIT_S, then use what it built.  Without a usable lock file, no turns."""
    try:
        graph.parent.mkdir(parents=True, exist_ok=True)
        fd = open_lock_file(graph.with_name(graph.name + ".lock"))
    except OSError:
        yield
        return
    try:
        try:
            take_turn(fd, GRAPH_TURN_WAIT_S)
        except OSError:
            pass  # a file system without flock
        yield
    finally:
        os.close(fd)  # releases the lock


def _build(model: ModelFiles, graph: Path, weights: list[Path], fault: str,
           on_build: Callable[[str], None] | None) -> None:
    """Build the graph (again), having told ``on_build`` why, and record it."""
    if on_build is not None:
        on_build(build_notice(model.name, fault))
    try:
        from tarvex.graph_builder import build_graph

        record_graph(graph, build_graph(model.required_folder(), graph, weights), weights)
    except ImportError as error:
        raise EmbeddingUnavailable(f"building the ONNX graph needs onnx, onnxruntime and safetensors: {error}") from None
    except Exception as error:
        raise EmbeddingUnavailable(f"building the ONNX graph of {model.name!r} failed: {error}") from error
