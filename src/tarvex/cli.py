"""The ``tarvex`` command: search a corpus of problem descriptions through the index.

    tarvex search [--top-k N] [--models-dir DIR] [--model NAME] [--backend B] [--cache-dir DIR] [--json] WORDS...
    tarvex index [DIR] [--model NAME] [--backend B] [--cache-dir DIR]
    tarvex cache info|clear [--cache-dir DIR]
    tarvex mcp [--models-dir DIR] [--model NAME] [--backend B] [--cache-dir DIR]

Exit statuses: 0 success, 1 failure (one line on standard error), 2 usage
error, 130 interrupted.  The heavy modules (the index, its engine, the
embedding backend, the MCP server) are imported only by the subcommand that
needs them, so that a search with the ONNX backend never imports torch.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from tarvex import _shell
from tarvex._shell import (STATUS_FAILED, VersionAction, add_cache_option, add_index_options, first_non_utf8,
                           interrupted, json_records, reader_gone, shown)

if TYPE_CHECKING:
    from tarvex.index import DescriptionIndex, RefreshStats

PROGRAM = "tarvex"
# A progress bar appears only when at least this many texts need embedding.
PROGRESS_MINIMUM = 64


class Failure(Exception):
    """A failure reported as one line on standard error, with status 1."""


class UsageError(Exception):
    """A command line that parses but cannot be run: status 2."""


def say(message: str) -> None:
    _shell.say(PROGRAM, message)


# --- options --------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Find the stored problem descriptions closest in meaning to a query, "
                    "from an index kept between runs.",
    )
    parser.add_argument("--version", action=VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    search = commands.add_parser("search", help="print the descriptions closest to the words",
                                 description="Print the descriptions closest in meaning to the query made of "
                                             "WORDS, best first, bringing the index up to date first.")
    search.add_argument("words", nargs="+", metavar="WORDS", help="the query")
    search.add_argument("--top-k", type=int, default=10, metavar="N",
                        help="how many matches to print; 0 or less prints all (default: 10)")
    search.add_argument("--json", action="store_true", help="print the records (path, score, preview) as JSON")
    add_index_options(search)
    search.set_defaults(run=run_search, parser=search)

    index = commands.add_parser("index", help="build or refresh the index of a corpus folder",
                                description="Build or refresh the index of a corpus folder and print what "
                                            "changed.  With the onnx backend the model's ONNX graph is built "
                                            "first when the checked one is not in the cache (no torch "
                                            "needed).")
    index.add_argument("models_dir", nargs="?", metavar="DIR",
                       help="the corpus folder (default: the descriptions shipped with tarvex)")
    add_index_options(index, corpus_option=False)
    index.set_defaults(run=run_index)

    cache = commands.add_parser("cache", help="show or clear the cache folder",
                                description="info: where the cache is and what it holds; clear: delete the "
                                            "index database and the built ONNX graphs.")
    cache.add_argument("action", choices=("info", "clear"))
    add_cache_option(cache)
    cache.set_defaults(run=run_cache)

    mcp = commands.add_parser("mcp", help="serve the index to an agent over MCP on standard input/output",
                              description=_shell.MCP_DESCRIPTION)
    add_index_options(mcp)
    mcp.set_defaults(run=run_mcp)
    return parser


# --- commands -------------------------------------------------------------------


def _progress_bar() -> tuple[Callable[[int, int], None], Callable[[], None]]:
    """A refresh progress callback that shows a tqdm bar on a terminal, and its closer."""
    bar: Any = None

    def update(done: int, total: int) -> None:
        nonlocal bar
        if bar is None:
            if total < PROGRESS_MINIMUM or not sys.stderr.isatty():
                return
            from tqdm import tqdm  # type: ignore[import-untyped]

            bar = tqdm(total=total, desc="embedding", unit="text", leave=False, file=sys.stderr)
        bar.update(done - bar.n)

    def close() -> None:
        if bar is not None:
            bar.close()

    return update, close


def _open_index(models_dir: str | None, args: argparse.Namespace) -> DescriptionIndex:
    from tarvex.index import DescriptionIndex

    # The index chooses the backend and says why before it builds an ONNX graph.
    return DescriptionIndex(models_dir, args.model, backend=args.backend, cache_dir=args.cache_dir, on_build=say)


def _refresh(index: DescriptionIndex, *, answer_from_store: bool = False) -> RefreshStats:
    """Bring the index up to date, with a progress bar; failures become one line."""
    from tarvex.embedding import EmbeddingUnavailable

    update, close = _progress_bar()
    try:
        return index.refresh(progress=update, answer_from_store=answer_from_store)
    except EmbeddingUnavailable as error:
        # The torch backend's loader has already logged its own line.
        raise Failure("" if error.logged else f"the embedding model cannot be loaded: {error}") from error
    finally:
        close()


def run_search(args: argparse.Namespace) -> int:
    query = " ".join(args.words)
    if not query.strip():
        raise UsageError("the query is empty")
    with _open_index(args.models_dir, args) as index:
        # A store that cannot be written still answers when it holds every vector (with a warning).
        _refresh(index, answer_from_store=True)
        records = index.rank(query, args.top_k, refresh=False)  # just refreshed: one scan per search
    if args.json:
        import json

        # A lone surrogate (an undecodable byte of a file name) goes out as its
        # JSON escape, through the output's backslashreplace.
        print(json.dumps(json_records(records), ensure_ascii=False, indent=2, allow_nan=False))
    elif not records:
        print("No descriptions found.")
    else:
        for i, record in enumerate(records, 1):
            print(f"{i:2d}. {shown(record['path'])}  score={record['score']:.4f}")
    return 0


def run_index(args: argparse.Namespace) -> int:
    with _open_index(args.models_dir, args) as index:
        stats = _refresh(index)
        backend = f" with {index.backend_used}" if stats.embedded else ""
    print(f"{shown(str(index.models_dir))}: {stats.added} added, {stats.changed} changed, {stats.removed} removed, "
          f"{stats.unchanged} unchanged; {stats.embedded} embedded{backend} in {stats.seconds:.2f} s")
    return 0


def _cache_dir(args: argparse.Namespace) -> Path:
    if args.cache_dir is not None:
        return Path(args.cache_dir)
    from tarvex._defaults import default_cache_dir

    return default_cache_dir()


def _cache_entries(folder: Path) -> list[Path]:
    """The cache files that tarvex wrote, in a fixed order."""
    from tarvex.embedding import DIGEST_CACHE_FILE, GRAPH_FOLDER
    from tarvex.store import STORE_FILES

    entries = [folder / name for name in (*STORE_FILES, DIGEST_CACHE_FILE) if (folder / name).is_file()]
    graphs = folder / GRAPH_FOLDER
    if graphs.is_dir():
        entries += sorted(path for path in graphs.iterdir() if path.is_file())
    return entries


def _size(size: int) -> str:
    if size < 1024:
        return f"{size} B"
    return f"{size / 1024:.1f} KiB" if size < 1024 * 1024 else f"{size / 1024 / 1024:.1f} MiB"


def run_cache(args: argparse.Namespace) -> int:
    folder = _cache_dir(args)
    entries = _cache_entries(folder)
    if args.action == "info":
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
    from tarvex.embedding import GRAPH_FOLDER

    for folder_path in (folder / GRAPH_FOLDER, folder):
        try:
            folder_path.rmdir()
        except OSError:
            pass  # not empty (files tarvex did not write stay) or already gone
    print(f"cleared {len(entries)} files from {shown(str(folder))}")
    return 0


def run_mcp(args: argparse.Namespace) -> int:
    from tarvex.mcp_server import serve

    return serve(args.models_dir, args.model, args.backend, args.cache_dir)


# --- the process ------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``tarvex`` command with ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    import logging

    parser = build_parser()
    words = list(sys.argv[1:] if argv is None else argv)
    bad_word = first_non_utf8(words)
    if bad_word is not None:
        parser.error(f"an argument is not valid UTF-8: {bad_word}")
    if sys.stdout is None:
        print(f"{PROGRAM}: standard output is closed", file=sys.stderr)
        return STATUS_FAILED
    # Undecodable bytes of file names go out escaped rather than failing the print.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    args = parser.parse_args(words)
    logging.basicConfig(level=logging.WARNING, format=f"{PROGRAM}: %(message)s")
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except UsageError as error:
        subparser: argparse.ArgumentParser = args.parser
        subparser.error(str(error))
    except BrokenPipeError:
        return reader_gone()
    except KeyboardInterrupt:
        return interrupted(PROGRAM, end_line=True)
    except Failure as error:
        if str(error):
            say(str(error))
        return STATUS_FAILED
    except OSError as error:  # a missing corpus folder, an index store that cannot be used
        say(str(error))
        return STATUS_FAILED


if __name__ == "__main__":
    sys.exit(main())
