"""What the commands (``tarvex``, ``tarvex-rag``, the MCP server) do alike at
the edge: the version, words that are not UTF-8, and a standard output whose
reader went away."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn


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


def silence_stdout() -> None:
    """After the reader of standard output went away, send what is still
    buffered nowhere, so that the interpreter's own flush at exit does not
    fail again (Python's advice for SIGPIPE)."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    finally:
        os.close(devnull)
