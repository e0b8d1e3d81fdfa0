"""The ``tarvex`` command: search a corpus of problem descriptions through the index.

    tarvex search [--top-k N] [--min-score S] [--json | --jsonl] [INDEX OPTIONS] (WORDS... | -i FILE)
    tarvex index [DIR] [--model NAME] [--backend B] [--cache-dir DIR] [--json]
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
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from tarvex import _shell
from tarvex._shell import (CORPUS_VARIABLE, ENVIRONMENT_HELP, STATUS_FAILED, HelpFormatter, VersionAction,
                           add_cache_option, clean_up_on_termination, add_index_options, at_least, environment_problem, first_non_utf8,
                           interrupted, json_records, reader_gone, score_problem, setting, shown)
from tarvex._defaults import MCP_MAX_SESSIONS
from tarvex.mcp_tools import MCP_DESCRIPTION

if TYPE_CHECKING:
    from tarvex.index import DescriptionIndex, RefreshStats

PROGRAM = "tarvex"
# A progress bar appears only when at least this many texts need embedding.
PROGRESS_MINIMUM = 64
# A query read from a file or standard input: a problem description, not a corpus.
QUERY_LIMIT_BYTES = 1 << 20


class Failure(Exception):
    """A failure reported as one line on standard error, with status 1."""


class UsageError(Exception):
    """A command line that parses but cannot be run: status 2."""


class Refusal(Exception):
    """A command that may not run as asked (a server open to the network without a token):
    one line on standard error, status 2."""


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


def _print_json(value: object, *, lines: bool = False) -> None:
    import json

    # A lone surrogate (an undecodable byte of a file name) goes out as its
    # JSON escape, through the output's backslashreplace.
    print(json.dumps(value, ensure_ascii=False, allow_nan=False, indent=None if lines else 2))


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


def _open_index(corpus: str | None, args: argparse.Namespace) -> DescriptionIndex:
    from tarvex.index import DescriptionIndex

    # The index chooses the backend and says why before it builds an ONNX graph.
    return DescriptionIndex(corpus, args.model, backend=args.backend, cache_dir=args.cache_dir, on_build=say,
                            store=args.store, corpus_name=args.corpus_name, from_store=args.from_store)


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
        _print_json(json_records(records))
    elif args.jsonl:
        for record in json_records(records):
            _print_json(record, lines=True)
    elif not records:
        print("No descriptions found.")
    else:
        for i, record in enumerate(records, 1):
            print(f"{i:2d}. {shown(record['path'])}  score={record['score']:.4f}")
    return 0


def run_index(args: argparse.Namespace) -> int:
    with _open_index(args.corpus, args) as index:
        stats = _refresh(index)
        truncation = index.truncation()
        used = index.backend_used
    if args.json:
        from dataclasses import asdict

        _print_json({"corpus": str(index.corpus), "backend": used, **asdict(stats),
                     "max_tokens": truncation[1] if truncation else None})
        return 0
    backend = f" with {used}" if stats.embedded else ""
    # Texts longer than the model reads are ranked by their beginning only.
    truncated = f"; {stats.truncated} truncated to the model's {truncation[1]} tokens" if truncation else ""
    print(f"{shown(str(index.corpus))}: {stats.added} added, {stats.changed} changed, {stats.removed} removed, "
          f"{stats.unchanged} unchanged; {stats.embedded} embedded{backend} in {stats.seconds:.2f} s{truncated}")
    return 0


def _cache_dir(args: argparse.Namespace) -> Path:
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

    cache = _cache_dir(args)
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

    store = open_store(args.store, _cache_dir(args))
    try:
        deleted, freed = store.prune()
    finally:
        store.close()
    if args.json:
        _print_json({"store": store.location, "vectors_deleted": deleted, "bytes_freed": freed})
    else:
        print(f"{shown(store.location)}: {deleted} vectors no description refers to deleted, {_size(freed)} freed")
    return 0


def run_cache(args: argparse.Namespace) -> int:
    if args.action == "prune":
        return run_prune(args)
    folder = _cache_dir(args)
    entries = _cache_entries(folder)
    if args.action == "info":
        if args.json:
            sizes = [path.stat().st_size for path in entries]
            files = [{"path": str(path.relative_to(folder)), "bytes": size} for path, size in zip(entries, sizes)]
            _print_json({"folder": str(folder), "exists": folder.is_dir(), "files": files, "total_bytes": sum(sizes)})
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


HTTP_EXAMPLE = f"""
over HTTP, for a team (a token is required unless bound to a loopback address):
  export {_shell.TOKEN_VARIABLE}="$(cat /etc/tarvex/token)"
  tarvex mcp --http 0.0.0.0:8750 --store postgresql://tarvex@db/tarvex \\
      --corpus-name team-corpus --stateless --tls-cert cert.pem --tls-key key.pem
  agents connect to https://HOST:8750/mcp with "Authorization: Bearer TOKEN";
  GET /health answers 200 once the index is ready (503 before)
"""


def add_http_options(parser: argparse.ArgumentParser) -> None:
    http = parser.add_argument_group("over HTTP")
    http.add_argument("--http", metavar="[HOST:]PORT",
                      help="serve over streamable HTTP at http://HOST:PORT/mcp instead of standard "
                           "input/output (HOST defaults to 127.0.0.1)")
    http.add_argument("--token-file", metavar="FILE",
                      help=f"read the bearer token from FILE (default: ${_shell.TOKEN_VARIABLE}); required "
                           "unless HOST is a loopback address")
    http.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                      help="a browser origin allowed to call, such as https://agents.example.org "
                           "(repeatable; default: loopback origins only)")
    http.add_argument("--stateless", action="store_true",
                      help="keep no session between requests, so that replicas can share one store behind "
                           "a load balancer")
    http.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate (PEM)")
    http.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    http.add_argument("--max-sessions", type=_positive, default=MCP_MAX_SESSIONS, metavar="N",
                      help=f"sessions open at once; more are refused with 503 (default: {MCP_MAX_SESSIONS})")
    http.add_argument("--log-queries", action="store_true",
                      help="add each search's query to its access-log line (default: never logged)")
    parser.epilog = (parser.epilog or "") + HTTP_EXAMPLE


def _positive(text: str) -> int:
    if not text.isdecimal() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive integer: {text!r}")
    return int(text)


def _http_options(args: argparse.Namespace) -> Any:
    """The HTTP server's options; UsageError for options that do not go together, Failure
    (status 2) for a server that may not start as asked."""
    from tarvex.mcp_http import HttpOptions, is_loopback, parse_address

    http_only = [option for option, value in (("--token-file", args.token_file), ("--stateless", args.stateless),
                                              ("--allow-origin", args.allow_origin), ("--tls-cert", args.tls_cert),
                                              ("--tls-key", args.tls_key), ("--log-queries", args.log_queries))
                 if value]
    if args.http is None:
        if http_only:
            raise UsageError(f"{http_only[0]} needs --http")
        return None
    try:
        host, port = parse_address(args.http)
    except ValueError as error:
        raise UsageError(f"--http: {error}") from None
    if (args.tls_cert is None) != (args.tls_key is None):
        raise UsageError("--tls-cert and --tls-key go together")
    token = setting(_shell.TOKEN_VARIABLE)
    if args.token_file is not None:
        try:
            token = Path(args.token_file).read_text(encoding="utf-8").strip()
        except (OSError, UnicodeDecodeError) as error:
            raise Refusal(f"cannot read the token file {shown(args.token_file)}: "
                          f"{getattr(error, 'strerror', None) or error}") from None
    token = token.strip() if token else None
    if token is not None and not (token.isascii() and token.isprintable() and " " not in token):
        raise Refusal("the token must be printable ASCII without spaces")
    if token is None and not is_loopback(host):
        raise Refusal(f"refusing to serve {shown(host)} without a token: set {_shell.TOKEN_VARIABLE} or "
                      "--token-file, or bind a loopback address")
    return HttpOptions(host, port, token=token, allowed_origins=tuple(args.allow_origin), stateless=args.stateless,
                       tls_cert=args.tls_cert, tls_key=args.tls_key, max_sessions=args.max_sessions,
                       log_queries=args.log_queries)


def run_mcp(args: argparse.Namespace) -> int:
    from tarvex.mcp_server import serve

    http = _http_options(args)
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
