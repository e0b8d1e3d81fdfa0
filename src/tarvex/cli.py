"""The ``tarvex`` command: search a corpus of problem descriptions through the index.

    tarvex search [--top-k N] [--min-score S] [--json | --jsonl] [INDEX OPTIONS] (WORDS... | -i FILE)
    tarvex index [DIR] [--model NAME] [--backend B] [--cache-dir DIR] [--json] [--ray [ADDRESS]]
    tarvex cache info|prune|clear [--cache-dir DIR] [--store URL] [--json]
    tarvex graph [--model NAME] [--cache-dir DIR]
    tarvex mcp [--corpus DIR] [--model NAME] [--backend B] [--cache-dir DIR] [--http [HOST:]PORT ...]

INDEX OPTIONS (--corpus, --model, --backend, --cache-dir) default to the
environment's TARVEX_CORPUS, TARVEX_MODEL, TARVEX_BACKEND and
TARVEX_CACHE_DIR; TARVEX_THREADS sets the onnx backend's threads.

The exit statuses are listed once, in tarvex._shell, and shown by ``tarvex
--help``.  The heavy modules (the index, its engine, the embedding backend,
the MCP server) are imported only by the subcommand that needs them, so that a
search with the ONNX backend never imports torch.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from tarvex import _shell
from tarvex._shell import (CORPUS_VARIABLE, ENVIRONMENT_HELP, STATUS_FAILED, Failure, HelpFormatter, Refusal,
                           UsageError, VersionAction, add_cache_option, add_index_options, at_least,
                           clean_up_on_termination, environment_problem, first_non_utf8, interrupted, json_records,
                           print_json, reader_gone, score_problem, setting, shown)
from tarvex.cache_command import run_cache, run_graph
from tarvex.mcp_options import add_http_options, http_options
from tarvex.mcp_tools import MCP_DESCRIPTION
from tarvex.ray_options import add_ray_options, ray_fill

if TYPE_CHECKING:
    from tarvex.fill import Filler
    from tarvex.index import DescriptionIndex, RefreshStats

PROGRAM = "tarvex"
# A progress bar appears only when at least this many texts need embedding.
PROGRESS_MINIMUM = 64
# A query read from a file or standard input: a problem description, not a corpus.
QUERY_LIMIT_BYTES = 1 << 20


def say(message: str) -> None:
    _shell.say(PROGRAM, message)


# --- options --------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Find the stored problem descriptions closest in meaning to a query, "
                    "from an index kept between runs.",
        epilog=ENVIRONMENT_HELP + "\n" + _shell.EXIT_STATUS_HELP, formatter_class=HelpFormatter,
    )
    parser.add_argument("--version", action=VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    search = commands.add_parser("search", help="print the descriptions closest to the words",
                                 description="Print the descriptions closest in meaning to the query made of "
                                             "WORDS (or read whole with -i), best first, bringing the index up "
                                             "to date first.")
    search.add_argument("words", nargs="*", metavar="WORDS", help="the query")
    search.add_argument("-i", "--input", metavar="FILE",
                        help="read the query from FILE ('-': standard input), as UTF-8, stripped and used whole; "
                             "no WORDS with it")
    search.add_argument("--top-k", type=int, default=10, metavar="N",
                        help="how many matches to print; 0 or less prints all (default: 10)")
    search.add_argument("--min-score", type=_score, metavar="S",
                        help="leave out the matches scoring below S (cosine similarity, -1 to 1)")
    output = search.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print the records (path, score, preview) as JSON")
    output.add_argument("--jsonl", action="store_true",
                        help="print each record as one JSON object on its own line (JSON Lines)")
    add_index_options(search)
    search.set_defaults(run=run_search)

    index = commands.add_parser("index", help="build or refresh the index of a corpus folder",
                                description="Build or refresh the index of a corpus folder and print what "
                                            "changed.  With the onnx backend the model's ONNX graph is built "
                                            "first when the checked one is not in the cache (no torch "
                                            "needed).")
    index.add_argument("corpus", nargs="?", metavar="DIR", default=_shell.corpus_setting(),
                       help=f"the corpus folder (default: ${CORPUS_VARIABLE}, else the descriptions shipped "
                            "with tarvex)")
    add_index_options(index, corpus_option=False)
    index.add_argument("--json", action="store_true",
                       help="print the refresh's figures as one JSON object (with the corpus and backend)")
    add_ray_options(index)
    index.set_defaults(run=run_index)

    cache = commands.add_parser("cache", help="show, prune or clear the cache folder",
                                description="info: where the cache is and what it holds; prune: delete the "
                                            "stored vectors that no description of any corpus has any more "
                                            "(edited or deleted texts), and say how much space that freed; "
                                            "clear: delete the index database and the built ONNX graphs.")
    cache.add_argument("action", choices=("info", "prune", "clear"))
    add_cache_option(cache)
    cache.add_argument("--store", metavar="URL", default=setting(_shell.STORE_VARIABLE),
                       help=f"prune: the store to prune (default: ${_shell.STORE_VARIABLE}, else index.sqlite3 "
                            "in the cache folder)")
    cache.add_argument("--json", action="store_true",
                       help="info, prune: print the figures as one JSON object")
    cache.set_defaults(run=run_cache)

    graph = commands.add_parser("graph", help="build the model's ONNX graph into the cache",
                                description="Build the model's ONNX graph into the cache folder unless the "
                                            "checked one is there (the set-up runs this; 'tarvex index' and a "
                                            "search build it too when needed).  No torch needed.")
    _shell.add_model_option(graph)
    add_cache_option(graph)
    graph.set_defaults(run=run_graph)

    mcp = commands.add_parser("mcp", help="serve the index to agents over MCP (standard input/output, or HTTP)",
                              description=MCP_DESCRIPTION)
    add_index_options(mcp)
    add_http_options(mcp)
    mcp.set_defaults(run=run_mcp)
    for command in commands.choices.values():  # the parser that reports a command's usage errors
        command.set_defaults(parser=command)
    return parser


def _score(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if (problem := score_problem(value)) is not None:
        raise argparse.ArgumentTypeError(problem)
    return value


def _joined_values(words: list[str], options: tuple[str, ...] = ("--min-score",)) -> list[str]:
    """``--option VALUE`` as ``--option=VALUE`` where VALUE begins with '-' (such as ``-inf``), which
    argparse would otherwise take for an option and answer "expected one argument"."""
    joined: list[str] = []
    taken = iter(range(len(words)))
    for i in taken:
        word = words[i]
        if word in options and i + 1 < len(words) and words[i + 1].startswith("-") and words[i + 1] != "--":
            joined.append(f"{word}={words[i + 1]}")
            next(taken, None)
        elif word == "--":
            joined += words[i:]
            break
        else:
            joined.append(word)
    return joined


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


def _open_index(corpus: str | None, args: argparse.Namespace, fill: Filler | None = None) -> DescriptionIndex:
    from tarvex.index import DescriptionIndex

    # The index chooses the backend and says why before it builds an ONNX graph.
    return DescriptionIndex(corpus, args.model, backend=args.backend, cache_dir=args.cache_dir, on_build=say,
                            store=args.store, corpus_name=args.corpus_name, from_store=args.from_store, fill=fill)


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


def _read_query(name: str) -> str:
    """The query held by a file ('-': standard input): UTF-8, stripped."""
    where = "standard input" if name == "-" else name
    try:
        if name == "-":
            if sys.stdin is None:
                raise Failure("standard input is closed")
            data = sys.stdin.buffer.read(QUERY_LIMIT_BYTES + 1)
        else:
            with open(name, "rb") as stream:
                data = stream.read(QUERY_LIMIT_BYTES + 1)
    except OSError as error:
        raise Failure(f"cannot read the query from {where}: {error.strerror or error}") from error
    if len(data) > QUERY_LIMIT_BYTES:
        raise Failure(f"the query in {where} is longer than {QUERY_LIMIT_BYTES >> 20} MiB")
    bom = 3 if data.startswith(b"\xef\xbb\xbf") else 0  # as an editor may begin a UTF-8 file
    try:
        return data[bom:].decode("utf-8").strip()
    except UnicodeDecodeError as error:
        raise Failure(f"the query in {where} is not valid UTF-8 (byte 0x{error.object[error.start]:02x} "
                      f"at offset {bom + error.start})") from error


def run_search(args: argparse.Namespace) -> int:
    if args.input is not None and args.words:
        raise UsageError("give the query as WORDS or with -i FILE, not both")
    if args.input is None and not args.words:
        raise UsageError("the following arguments are required: WORDS (or -i FILE)")
    query = _read_query(args.input) if args.input is not None else " ".join(args.words)
    if not query.strip():
        raise UsageError("the query is empty")
    with _open_index(args.corpus, args) as index:
        # A store that cannot be written still answers when it holds every vector (with a warning).
        _refresh(index, answer_from_store=True)
        records = index.rank(query, args.top_k, refresh=False)  # just refreshed: one scan per search
    records = at_least(records, args.min_score)
    if args.json:
        print_json(json_records(records))
    elif args.jsonl:
        for record in json_records(records):
            print_json(record, lines=True)
    elif not records:
        print("No descriptions found.")
    else:
        for i, record in enumerate(records, 1):
            print(f"{i:2d}. {shown(record['path'])}  score={record['score']:.4f}")
    return 0


def run_index(args: argparse.Namespace) -> int:
    fill = ray_fill(args)
    with contextlib.ExitStack() as held:
        if fill is not None:
            held.enter_context(fill)
        index = held.enter_context(_open_index(args.corpus, args, fill))
        try:
            stats = _refresh(index)
        except Exception as error:
            if fill is None or not isinstance(error, fill.failures):
                raise
            raise Failure(str(error)) from error
        truncation = index.truncation()
        used = index.backend_used
    if args.json:
        from dataclasses import asdict

        print_json({"corpus": str(index.corpus), "backend": used, **asdict(stats),
                     "max_tokens": truncation[1] if truncation else None})
        return 0
    backend = f" with {used}" if stats.embedded else ""
    # Texts longer than the model reads are ranked by their beginning only.
    truncated = f"; {stats.truncated} truncated to the model's {truncation[1]} tokens" if truncation else ""
    print(f"{shown(str(index.corpus))}: {stats.added} added, {stats.changed} changed, {stats.removed} removed, "
          f"{stats.unchanged} unchanged; {stats.embedded} embedded{backend} in {stats.seconds:.2f} s{truncated}")
    return 0


def run_mcp(args: argparse.Namespace) -> int:
    from tarvex.mcp_server import serve

    http = http_options(args)
    return serve(args.corpus, args.model, args.backend, args.cache_dir, http=http, store=args.store,
                 corpus_name=args.corpus_name, from_store=args.from_store)


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
    args = parser.parse_args(_joined_values(words))
    if (problem := environment_problem()) is not None:
        parser.error(problem)
    logging.basicConfig(level=logging.WARNING, format=f"{PROGRAM}: %(message)s")
    clean_up_on_termination()
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
    except Refusal as error:
        say(str(error))
        return _shell.STATUS_USAGE
    except Failure as error:
        if str(error):
            say(str(error))
        return STATUS_FAILED
    except OSError as error:  # a missing corpus folder, an index store that cannot be used
        say(str(error))
        return STATUS_FAILED


if __name__ == "__main__":
    sys.exit(main())
