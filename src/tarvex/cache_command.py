"""The cache's commands of ``tarvex``: ``cache info|prune|clear`` and ``graph``."""

from __future__ import annotations

import argparse
from pathlib import Path

from tarvex._shell import Failure, print_json, shown


def cache_dir(args: argparse.Namespace) -> Path:
    if args.cache_dir is not None:
        return Path(args.cache_dir)
    from tarvex._defaults import default_cache_dir

    return default_cache_dir()


def _cache_entries(folder: Path) -> list[Path]:
    """The cache files that tarvex wrote, in a fixed order."""
    from tarvex.model_files import DIGEST_CACHE_FILE
    from tarvex.onnx_graph import EARLIER_GRAPH_FOLDER, GRAPH_FOLDER
    from tarvex.sqlite_store import STORE_FILES

    entries = [folder / name for name in (*STORE_FILES, DIGEST_CACHE_FILE) if (folder / name).is_file()]
    for graphs in (folder / GRAPH_FOLDER, folder / EARLIER_GRAPH_FOLDER):
        if graphs.is_dir():
            entries += sorted(path for path in graphs.iterdir() if path.is_file())
    return entries


def _size(size: int) -> str:
    if size < 1024:
        return f"{size} B"
    return f"{size / 1024:.1f} KiB" if size < 1024 * 1024 else f"{size / 1024 / 1024:.1f} MiB"


def run_graph(args: argparse.Namespace) -> int:
    from tarvex.embedding import EmbeddingUnavailable
    from tarvex.model_files import resolve_model
    from tarvex.onnx_graph import prepare_graph

    cache = cache_dir(args)
    built: list[str] = []
    try:
        _, graph, _ = prepare_graph(resolve_model(args.model, cache), cache, export=True, on_build=built.append)
    except EmbeddingUnavailable as error:
        raise Failure(str(error)) from error
    if built:
        print(f"{built[0]}; built {shown(str(graph))}")
    else:
        print(f"the ONNX graph of {args.model} is {shown(str(graph))}, as built and checked")
    return 0


def run_prune(args: argparse.Namespace) -> int:
    from tarvex.stores import open_store

    store = open_store(args.store, cache_dir(args))
    try:
        deleted, freed = store.prune()
    finally:
        store.close()
    if args.json:
        print_json({"store": store.location, "vectors_deleted": deleted, "bytes_freed": freed})
    else:
        print(f"{shown(store.location)}: {deleted} vectors no description refers to deleted, {_size(freed)} freed")
    return 0


def run_cache(args: argparse.Namespace) -> int:
    if args.action == "prune":
        return run_prune(args)
    folder = cache_dir(args)
    entries = _cache_entries(folder)
    if args.action == "info":
        if args.json:
            sizes = [path.stat().st_size for path in entries]
            files = [{"path": str(path.relative_to(folder)), "bytes": size} for path, size in zip(entries, sizes)]
            print_json({"folder": str(folder), "exists": folder.is_dir(), "files": files, "total_bytes": sum(sizes)})
            return 0
        total = 0
        print(f"cache folder: {shown(str(folder))}{'' if folder.is_dir() else ' (not created yet)'}")
        for path in entries:
            size = path.stat().st_size
            total += size
            print(f"  {shown(str(path.relative_to(folder)))}  {_size(size)}")
        print(f"total: {_size(total)} in {len(entries)} files")
        return 0
    for path in entries:
        try:
            path.unlink()
        except FileNotFoundError:
            continue
        except OSError as error:
            raise Failure(f"cannot delete {path}: {error.strerror}") from error
    from tarvex.onnx_graph import EARLIER_GRAPH_FOLDER, GRAPH_FOLDER

    for folder_path in (folder / GRAPH_FOLDER, folder / EARLIER_GRAPH_FOLDER, folder):
        try:
            folder_path.rmdir()
        except OSError:
            pass  # not empty (files tarvex did not write stay) or already gone
    print(f"cleared {len(entries)} files from {shown(str(folder))}")
    return 0
