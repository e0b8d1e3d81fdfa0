"""Command line: ``python -m tarvex WORDS...`` and the ``tarvex-rag WORDS...`` command.

The extension module :mod:`tarvex.rag_helper` carries its own command-line
entry, which runs at the end of its module body when the module is loaded as
the main module.  This host arranges that: it sets the extension's exported
flag ``rag_helper_is_main`` before the module is initialised, puts the words
into ``sys.argv``, imports the module and turns the way the import ends into
an exit status.

The words after the program name, joined by spaces, are the query; the ten
best matching descriptions are printed one per line, best first, as
``position. path  score=S.SSSS``.

Exit status:

* 0 after the matches, or after "No descriptions found." when the corpus has
  no usable description;
* 1 with the usage line when no words (or only whitespace) were given;
* 1 with the traceback on standard error for any other failure, such as a
  missing corpus folder or an unusable extension;
* 2 when ``tarvex.rag_helper`` is already loaded in this process: its body,
  and with it the command line, runs only when the module is first loaded.
"""

from __future__ import annotations

import ctypes
import importlib
import importlib.util
import sys
import traceback
from collections.abc import Sequence

MODULE_NAME = "tarvex.rag_helper"
MAIN_FLAG = "rag_helper_is_main"
PROGRAM_NAME = "tarvex-rag"
STATUS_FAILED = 1
STATUS_ALREADY_LOADED = 2

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


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line of :mod:`tarvex.rag_helper` and return the exit status.

    ``argv`` holds the words after the program name; by default they are
    taken from ``sys.argv``.
    """
    if argv is None:
        program = sys.argv[0] if sys.argv and sys.argv[0] else PROGRAM_NAME
        words = list(sys.argv[1:])
    else:
        program = PROGRAM_NAME
        words = list(argv)

    if _already_loaded():
        print(ALREADY_LOADED_MESSAGE, file=sys.stderr)
        return STATUS_ALREADY_LOADED

    try:
        flag = _main_flag()
    except Exception:
        traceback.print_exc()
        return STATUS_FAILED

    saved_argv = sys.argv
    sys.argv = [program, *words]
    flag.value = 1
    try:
        module = importlib.import_module(MODULE_NAME)
    except SystemExit as exc:
        return _exit_status(exc.code)
    except Exception:
        traceback.print_exc()
        return STATUS_FAILED
    finally:
        flag.value = 0
        sys.argv = saved_argv

    if module.__name__ != "__main__":
        # The module object came back without its body running again.
        print(ALREADY_LOADED_MESSAGE, file=sys.stderr)
        return STATUS_ALREADY_LOADED
    return 0


if __name__ == "__main__":
    sys.exit(main())
