"""The command surface shared by ``tarvex``, ``tarvex-rag`` and the MCP server:
exit statuses, the options of a command that opens the index, the version,
words that are not UTF-8, how text is shown on a terminal, and a standard
output whose reader went away."""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import threading
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from tarvex._defaults import BACKENDS, DEFAULT_MODEL, THREADS_VARIABLE, onnx_threads

STATUS_FAILED = 1
STATUS_USAGE = 2
STATUS_INTERRUPTED = 130  # 128 + SIGINT, as shells report a run ended by Ctrl-C

# What `tarvex --help` says of the statuses above: the one place they are listed.
EXIT_STATUS_HELP = f"""\
exit status:
  0    success
  {STATUS_FAILED}    failure, said in one line on standard error
  {STATUS_USAGE}    usage error (a bad option, a word or setting that is not UTF-8)
  {STATUS_INTERRUPTED}  interrupted (Ctrl-C)
"""

class Failure(Exception):
    """A failure reported as one line on standard error, with status 1."""


class UsageError(Exception):
    """A command line that parses but cannot be run: status 2."""


class Refusal(Exception):
    """A command that may not run as asked (a server open to the network without a token):
    one line on standard error, status 2."""


def print_json(value: object, *, lines: bool = False) -> None:
    # A lone surrogate (an undecodable byte of a file name) goes out as its
    # JSON escape, through the output's backslashreplace.
    print(json.dumps(value, ensure_ascii=False, allow_nan=False, indent=None if lines else 2))


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
    return [record if math.isfinite(record["score"]) else {**record, "score": None} for record in records]


def score_problem(value: object) -> str | None:
    """What is wrong with a minimum score, in a few words; None for a number from -1 to 1 (or None)."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return f"not a number: {value!r}"
    if not math.isfinite(value):
        return f"not a finite number: {value!r}"
    if not -1 <= value <= 1:
        return f"{value!r} is outside the range of scores, -1 to 1"
    return None


def at_least(records: list[dict[str, Any]], min_score: float | None) -> list[dict[str, Any]]:
    """The records scoring ``min_score`` or more (all of them for None); a score
    that is not a number is below any minimum."""
    if min_score is None:
        return records
    return [record for record in records if record["score"] >= min_score]


def say(program: str, message: str) -> None:
    """One line on standard error: ``PROGRAM: MESSAGE``, the message shown safely."""
    print(f"{program}: {shown(message)}", file=sys.stderr, flush=True)


# --- options of a command that opens the index -------------------------------------
#
# Hosts that start a command without arguments (an agent host's MCP entry, a
# service) set these in the environment instead; an option given overrides its
# variable, and an empty variable counts as unset.  tarvex-rag takes none of them.

CACHE_VARIABLE = "TARVEX_CACHE_DIR"
CORPUS_VARIABLE = "TARVEX_CORPUS"
# The corpus variable's earlier name, still read when TARVEX_CORPUS is not set.
CORPUS_ALIAS_VARIABLE = "TARVEX_MODELS_DIR"
MODEL_VARIABLE = "TARVEX_MODEL"
BACKEND_VARIABLE = "TARVEX_BACKEND"
STORE_VARIABLE = "TARVEX_STORE"
CORPUS_NAME_VARIABLE = "TARVEX_CORPUS_NAME"
# The bearer token of `tarvex mcp --http` (never an option: `ps` would show it).
TOKEN_VARIABLE = "TARVEX_MCP_TOKEN"
RAY_ADDRESS_VARIABLE = "TARVEX_RAY_ADDRESS"

ENVIRONMENT_HELP = f"""\
environment:
  {CORPUS_VARIABLE}       the corpus folder, when neither DIR nor --corpus is given
  {CORPUS_ALIAS_VARIABLE}   the same, by its earlier name (read when {CORPUS_VARIABLE} is not set)
  {MODEL_VARIABLE}        the model, when --model is not given
  {BACKEND_VARIABLE}      the backend, when --backend is not given
  {CACHE_VARIABLE}    the cache folder, when --cache-dir is not given
  {STORE_VARIABLE}        the store, when --store is not given
  {CORPUS_NAME_VARIABLE}  the corpus's name in the store, when --corpus-name is not given
  {THREADS_VARIABLE}      threads of the onnx backend (default: at most 2)
  {TOKEN_VARIABLE}    tarvex mcp --http: the bearer token clients must send
  {RAY_ADDRESS_VARIABLE}  tarvex index --ray: the cluster to join, when --ray names none
"""


class HelpFormatter(argparse.HelpFormatter):
    """Descriptions filled to the width as usual; the environment's table kept as written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        return text if text.startswith(ENVIRONMENT_HELP) else super()._fill_text(text, width, indent)


def setting(variable: str) -> str | None:
    """An environment setting; None when unset or empty."""
    return os.environ.get(variable) or None


def corpus_setting() -> str | None:
    """The corpus folder the environment names, under its name or its earlier one."""
    return setting(CORPUS_VARIABLE) or setting(CORPUS_ALIAS_VARIABLE)


def environment_problem() -> str | None:
    """What is wrong with the settings in the environment, in one line; None when nothing is."""
    for variable in (CORPUS_VARIABLE, CORPUS_ALIAS_VARIABLE, MODEL_VARIABLE, BACKEND_VARIABLE, CACHE_VARIABLE, THREADS_VARIABLE,
                     STORE_VARIABLE, CORPUS_NAME_VARIABLE, TOKEN_VARIABLE, RAY_ADDRESS_VARIABLE):
        # Refused as a word of the command line that is not UTF-8 is.
        if (value := setting(variable)) is not None and (bad := first_non_utf8([value])) is not None:
            return f"{variable} is not valid UTF-8: {bad}"
    backend = setting(BACKEND_VARIABLE)
    if backend is not None and backend not in BACKENDS:
        return f"{BACKEND_VARIABLE} is {backend!r}; choose one of {', '.join(BACKENDS)}"
    try:
        onnx_threads()
    except ValueError as error:
        return str(error)
    return None


def _folder(text: str) -> Path:
    # Path("") is the working directory: an empty name is refused, as an empty XDG_CACHE_HOME is ignored.
    if not text:
        raise argparse.ArgumentTypeError("the folder name is empty")
    return Path(text)


def positive_integer(text: str) -> int:
    """An option's value that counts something: a whole number from 1."""
    if not text.isdecimal() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive integer: {text!r}")
    return int(text)


def add_cache_option(parser: argparse.ArgumentParser) -> None:
    # A string default goes through the option's type, so an unusable variable is refused as the option would be.
    parser.add_argument("--cache-dir", type=_folder, metavar="DIR", default=setting(CACHE_VARIABLE),
                        help=f"the index's cache folder (default: ${CACHE_VARIABLE}, else $XDG_CACHE_HOME/tarvex, "
                             "else ~/.cache/tarvex)")
    parser.epilog = ENVIRONMENT_HELP
    parser.formatter_class = HelpFormatter


def add_model_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", default=setting(MODEL_VARIABLE) or DEFAULT_MODEL, metavar="NAME",
                        help=f"sentence-embedding model: a name in the local Hugging Face cache or a folder "
                             f"(default: ${MODEL_VARIABLE}, else {DEFAULT_MODEL})")


def add_index_options(parser: argparse.ArgumentParser, *, corpus_option: bool = True) -> None:
    """The options of every command that opens the index: the corpus folder
    (``--corpus``, unless the command takes it otherwise), the model, the
    backend and the cache folder."""
    if corpus_option:
        parser.add_argument("--corpus", "--models-dir", dest="corpus", metavar="DIR", default=corpus_setting(),
                            help="the corpus folder; --models-dir is its earlier name "
                                 f"(default: ${CORPUS_VARIABLE}, else the descriptions shipped "
                                 "with tarvex)")
    add_model_option(parser)
    parser.add_argument("--backend", choices=BACKENDS, default=setting(BACKEND_VARIABLE) or "auto",
                        help="embedding backend; auto takes onnx when its built graph is in the cache or "
                             f"torch is not installed, else torch (default: ${BACKEND_VARIABLE}, else auto)")
    parser.add_argument("--store", metavar="URL", default=setting(STORE_VARIABLE),
                        help="where the vectors and the file list are kept: a path or sqlite:///PATH (an SQLite "
                             "file), or postgresql://USER@HOST/DB shared by a team (default: "
                             f"${STORE_VARIABLE}, else index.sqlite3 in the cache folder)")
    parser.add_argument("--corpus-name", metavar="NAME", default=setting(CORPUS_NAME_VARIABLE),
                        help="the name the store knows the corpus by, the same for every machine of a team "
                             f"(default: ${CORPUS_NAME_VARIABLE}, else the folder's real path)")
    parser.add_argument("--from-store", action="store_true", default=None,
                        help="answer from the store alone, without reading the corpus folder (automatic "
                             "when the folder is absent and the store is PostgreSQL)")
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


def clean_up_on_termination() -> None:
    """A termination signal (a host stopping its server, ``kill``) first removes the cache
    temporaries being written (a graph half built is 30-90 MB), then ends the process as
    the signal does.  What is committed is kept, as after Ctrl-C."""
    if threading.current_thread() is not threading.main_thread():
        return

    def terminated(signum: int, frame: object) -> None:
        from tarvex._files import remove_pending

        remove_pending()
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)

    if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
        signal.signal(signal.SIGTERM, terminated)

