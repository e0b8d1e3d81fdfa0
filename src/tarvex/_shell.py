"""The command surface shared by ``tarvex``, ``tarvex-rag`` and the MCP server:
exit statuses, the options of a command that opens the index, the version,
words that are not UTF-8, how text is shown on a terminal, and a standard
output whose reader went away."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from tarvex._defaults import BACKENDS, DEFAULT_MODEL

STATUS_FAILED = 1
STATUS_USAGE = 2
STATUS_INTERRUPTED = 130  # 128 + SIGINT, as shells report a run ended by Ctrl-C

# Terminal control characters: C0, DEL and C1.
_CONTROLS = {c: f"\\x{c:02x}" for c in (*range(0x20), *range(0x7F, 0xA0))} | {
    ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t"}


def shown(text: str) -> str:
    """``text`` with the terminal's control characters (C0, DEL, C1) escaped as
    ``\\n``, ``\\r``, ``\\t`` or ``\\xNN``, so that it can neither start a line
    nor command the terminal; everything else (a no-break space, any letter)
    stays as it is.  The reference's command line shows paths the same way."""
    return text.translate(_CONTROLS)


def json_records(records: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Records as strict JSON may carry them: a score that is not a finite
    number (a model that gave NaN) becomes null, for JSON has no NaN."""
    import math

    return [record if math.isfinite(record["score"]) else {**record, "score": None} for record in records]


def say(program: str, message: str) -> None:
    """One line on standard error: ``PROGRAM: MESSAGE``, the message shown safely."""
    print(f"{program}: {shown(message)}", file=sys.stderr, flush=True)


# --- options of a command that opens the index -------------------------------------


def _folder(text: str) -> Path:
    # Path("") is the working directory: an empty name is refused, as an empty XDG_CACHE_HOME is ignored.
    if not text:
        raise argparse.ArgumentTypeError("the folder name is empty")
    return Path(text)


def add_cache_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--cache-dir", type=_folder, metavar="DIR",
                        help="the index's cache folder (default: $XDG_CACHE_HOME/tarvex, else ~/.cache/tarvex)")


def add_index_options(parser: argparse.ArgumentParser, *, corpus_option: bool = True) -> None:
    """The options of every command that opens the index: the corpus folder
    (``--models-dir``, unless the command takes it otherwise), the model, the
    backend and the cache folder."""
    if corpus_option:
        parser.add_argument("--models-dir", metavar="DIR",
                            help="the corpus folder (default: the descriptions shipped with tarvex)")
    parser.add_argument("--model", default=DEFAULT_MODEL, metavar="NAME",
                        help=f"sentence-embedding model: a name in the local Hugging Face cache or a folder "
                             f"(default: {DEFAULT_MODEL})")
    parser.add_argument("--backend", choices=BACKENDS, default="auto",
                        help="embedding backend; auto takes onnx when its built graph is in the cache or "
                             "torch is not installed, else torch (default: auto)")
    add_cache_option(parser)


def package_version(missing: str = "unknown (not installed)") -> str:
    """The installed package's version; ``missing`` when it is not installed."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tarvex")
    except PackageNotFoundError:
        return missing


class VersionAction(argparse.Action):
    """``--version``: prints ``PROG VERSION``, looked up only when asked for
    (importlib.metadata is not cheap)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        kwargs.setdefault("help", "print the version and exit")
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        print(f"{parser.prog} {package_version()}")
        parser.exit()


def first_non_utf8(words: Sequence[str]) -> str | None:
    """The first word that is not valid UTF-8 (bytes the interpreter could not
    decode), with those bytes shown escaped (``caf\\xff``)."""
    for word in words:
        try:
            word.encode("utf-8")
        except UnicodeEncodeError:
            return word.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return None


def reader_gone() -> int:
    """The reader of standard output went away (``| head``): end quietly, as the
    Python documentation advises; the exit status."""
    silence_stdout()
    return STATUS_FAILED


def silence_stdout() -> None:
    """After the reader of standard output went away, send what is still
    buffered nowhere, so that the interpreter's own flush at exit does not
    fail again (Python's advice for SIGPIPE)."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    finally:
        os.close(devnull)


def interrupted(program: str, *, end_line: bool = False) -> int:
    """Ctrl-C: one line saying so (after ending the line the terminal echoed
    ``^C`` on, with ``end_line``); the exit status."""
    if end_line:
        print(file=sys.stderr)
    print(f"{program}: interrupted", file=sys.stderr, flush=True)
    return STATUS_INTERRUPTED


def is_disconnect(exc: BaseException) -> bool:
    """True for the errors a reader causes by closing its end of the pipes."""
    if isinstance(exc, BaseExceptionGroup):
        return all(is_disconnect(inner) for inner in exc.exceptions)
    return isinstance(exc, (BrokenPipeError, ConnectionResetError))


def interrupt_ends_process() -> None:
    """Let Ctrl-C end the process at once, as a termination signal does, for
    work that an interrupt raised as an exception would not reach (a thread
    blocked on input).  Only for work that has committed all it keeps."""
    if threading.current_thread() is threading.main_thread() and (
        signal.getsignal(signal.SIGINT) is signal.default_int_handler
    ):
        signal.signal(signal.SIGINT, signal.SIG_DFL)


MCP_DESCRIPTION = (
    "Run the MCP server over standard input/output until the client disconnects.  It answers at once "
    "and builds the index in the background; a request that needs the index waits for the build "
    "(with progress notifications, texts embedded of total, when the request carries a progress "
    "token), and a build that fails makes such requests fail with its one-line reason.  Tools: "
    "search_descriptions(query, top_k, min_score: from -1 to 1, leaves out matches scoring below it), "
    "read_description(path), and index_info() (corpus folder, descriptions listed, vectors, model, "
    "backend, state of the build with its progress, and when the index was last brought up to date); "
    "every description is also a resource."
)
