"""Command line: ``python -m tarvex WORDS...`` and the ``tarvex-rag WORDS...`` command.

The extension module :mod:`tarvex.rag_helper` carries its own command-line
entry, which runs at the end of its module body when the module is loaded as
the main module.  This host arranges that: it reads the options, sets the
extension's exported flag ``rag_helper_is_main`` before the module is
initialised, puts the words into ``sys.argv``, imports the module and turns
the way the import ends into an exit status.

The words after the program name, joined by spaces, are the query; the ten
best matching descriptions are printed one per line, best first, as
``position. path  score=S.SSSS``.  ``-h``/``--help`` and ``--version`` are
the only options; words after ``--`` are words even when they start with a
dash.
"""

from __future__ import annotations

import argparse
import ctypes
import importlib
import importlib.util
import logging
import os
import sys
import traceback
from collections.abc import Iterator, Sequence
from contextlib import contextmanager

from tarvex._defaults import LOAD_FAILURE_FORMAT
from tarvex._shell import (STATUS_FAILED, STATUS_INTERRUPTED, STATUS_USAGE, VersionAction, first_non_utf8, interrupted,
                           reader_gone)

MODULE_NAME = "tarvex.rag_helper"
MAIN_FLAG = "rag_helper_is_main"
PROGRAM_NAME = "tarvex-rag"

# The warning the module logs on the root logger when the embedding model cannot be loaded:
# the module's only word of it, which its command line must not print as it is.
LOAD_FAILURE_PREFIX = LOAD_FAILURE_FORMAT.removesuffix("%s")
README_MODEL_SECTION = 'the README, section "The embedding model, offline"'

EXIT_STATUSES = f"""\
exit status:
  0    matches printed, or "No descriptions found." for a corpus without a usable description
  {STATUS_FAILED}    no query (the usage line is printed), the embedding model could not be loaded,
       standard output is closed or was closed by its reader, or any other failure
       (with its traceback)
  {STATUS_USAGE}    a bad option, a word that is not valid UTF-8, or tarvex.rag_helper already
       imported in this process
  {STATUS_INTERRUPTED}  interrupted (Ctrl-C)
"""

ALREADY_LOADED_MESSAGE = (
    f"{PROGRAM_NAME}: {MODULE_NAME} is already imported in this process, so it cannot run as the main "
    "module; run the command line in a new process (python -m tarvex WORDS...)"
)


def _exit_status(code: object) -> int:
    """The process exit status for ``SystemExit(code)``, as the interpreter would give it."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return STATUS_FAILED


def _already_loaded() -> bool:
    if MODULE_NAME in sys.modules:
        return True
    package = sys.modules.get("tarvex")
    return package is not None and "rag_helper" in vars(package)


def _main_flag() -> ctypes.c_int32:
    """The extension's exported flag, in the very library that the import will use.

    dlopen of the same file hands back the handle of the one loaded copy, so
    the flag written here is the one the module reads while it initialises.
    """
    spec = importlib.util.find_spec(MODULE_NAME)
    if spec is None or not spec.origin:
        raise ImportError(f"cannot find the extension module {MODULE_NAME}", name=MODULE_NAME)
    library = ctypes.CDLL(spec.origin)
    return ctypes.c_int32.in_dll(library, MAIN_FLAG)


def _program_name() -> str:
    """The command as the user typed it: ``tarvex-rag``, or ``python -m tarvex`` when run as a module."""
    launcher = sys.argv[0] if sys.argv and sys.argv[0] else PROGRAM_NAME
    if os.path.basename(launcher) == "__main__.py":
        return f"{os.path.basename(sys.executable) or 'python'} -m tarvex"
    return os.path.basename(launcher)


def _parser(program: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=program,
        description="Print the ten stored problem descriptions closest in meaning to a query,\n"
        "best first, one per line as 'position. path  score=S.SSSS'.",
        epilog=EXIT_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=VersionAction)
    parser.add_argument(
        "words", nargs="*", metavar="WORDS",
        help="the query: all words joined by spaces (put -- before the words if the first starts with a dash)",
    )
    return parser


class _LoadFailureWatch(logging.Filter):
    """Notes the module's load-failure warning on the root logger and holds it back, so
    that the command line reports the failure once, in its own words."""

    def __init__(self) -> None:
        super().__init__()
        self.reason: str | None = None

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        if record.levelno == logging.WARNING and message.startswith(LOAD_FAILURE_PREFIX):
            self.reason = " ".join(message[len(LOAD_FAILURE_PREFIX):].split())  # one line
            return False
        return True


@contextmanager
def _watching_model_loads() -> Iterator[_LoadFailureWatch]:
    watch = _LoadFailureWatch()
    root = logging.getLogger()
    root.addFilter(watch)
    try:
        yield watch
    finally:
        root.removeFilter(watch)


def _flush_stdout(program: str) -> int | None:
    """Flush what the run printed; the exit status when that fails, else None."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:  # the reader went away (`| head`, `| true`)
        return reader_gone()
    except OSError as exc:
        print(f"{program}: error: cannot write the matches to standard output: {exc.strerror or exc}",
              file=sys.stderr)
        return STATUS_FAILED
    return None


def _run_block(program: str, words: list[str]) -> int:
    """Load the module as the main module with these words; its exit status."""
    if _already_loaded():
        print(ALREADY_LOADED_MESSAGE, file=sys.stderr)
        return STATUS_USAGE

    try:
        flag = _main_flag()
    except Exception:
        traceback.print_exc()
        return STATUS_FAILED

    saved_argv = sys.argv
    sys.argv = [program, *words]
    flag.value = 1
    module = None  # stays None when the block ends the import with an exit
    try:
        with _watching_model_loads() as watch:
            try:
                module = importlib.import_module(MODULE_NAME)
                status = 0
            except SystemExit as exc:
                status = _exit_status(exc.code)
    except BrokenPipeError:
        return _flush_stdout(program) or STATUS_FAILED
    except Exception:
        traceback.print_exc()
        return STATUS_FAILED
    finally:
        flag.value = 0
        sys.argv = saved_argv

    if status == 0 and watch.reason is not None:
        print(f"{PROGRAM_NAME}: error: the embedding model could not be loaded, so nothing was searched "
              f"({README_MODEL_SECTION} says how to place it): {watch.reason}", file=sys.stderr)
        return STATUS_FAILED
    if module is not None and module.__name__ != "__main__":
        # The module object came back without its body running again.
        print(ALREADY_LOADED_MESSAGE, file=sys.stderr)
        return STATUS_USAGE
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line of :mod:`tarvex.rag_helper` and return the exit status.

    ``argv`` holds the words (and options) after the program name; by default
    they are taken from ``sys.argv``.
    """
    if argv is None:
        program = sys.argv[0] if sys.argv and sys.argv[0] else PROGRAM_NAME
        shown = _program_name()
        arguments = list(sys.argv[1:])
    else:
        program = shown = PROGRAM_NAME
        arguments = list(argv)

    try:
        try:
            words = _parser(shown).parse_args(arguments).words
        except SystemExit as exc:  # --help, --version or a bad option, printed by argparse
            return _exit_status(exc.code)
        bad_word = first_non_utf8(words)
        if bad_word is not None:
            print(f"{PROGRAM_NAME}: error: the query must be valid UTF-8; this word is not: {bad_word}",
                  file=sys.stderr)
            return STATUS_USAGE
        if sys.stdout is None:
            print(f"{PROGRAM_NAME}: error: standard output is closed; there is nowhere to print the matches",
                  file=sys.stderr)
            return STATUS_FAILED
        status = _run_block(program, words)
        return _flush_stdout(program) or status
    except KeyboardInterrupt:
        return interrupted(PROGRAM_NAME)


if __name__ == "__main__":
    sys.exit(main())
