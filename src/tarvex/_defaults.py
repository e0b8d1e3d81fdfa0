"""Settings and rules shared by the index, the embedding backends, the
``tarvex`` command, ``tarvex-rag`` and the MCP server, written once.

Kept apart and light (no import beyond the standard library's ``os`` and
``pathlib``) so that the commands' ``--help`` stays cheap and the index needs
nothing of the reference module to find its defaults.
"""

from __future__ import annotations

import os
from pathlib import Path

# The modules' default model (src/common/description_rules.hpp), held to it by tests/test_rules.py.
DEFAULT_MODEL = "sentence-transformers/all-MiniLM-L6-v2"
BACKENDS = ("auto", "torch", "onnx")
# Characters of a description shown as its preview (line feeds as spaces): the
# modules' rule (src/common/description_rules.hpp), held to it by tests/test_rules.py.
PREVIEW_CHARS = 300
DEFAULT_TOP_K = 10
# The reference module's own words (logged, raised) where the index and the
# commands say the same thing; a test holds them to the module's.
LOAD_FAILURE_FORMAT = "RAG disabled (embedding model load failed): %s"
NOT_FOUND_PREFIX = "Models directory not found: "


def default_corpus() -> Path:
    """The descriptions shipped with the package, beside this module."""
    return Path(__file__).resolve().parent / "zolt_models"


def default_cache_dir() -> Path:
    """``$XDG_CACHE_HOME/tarvex``, else ``~/.cache/tarvex``."""
    base = os.environ.get("XDG_CACHE_HOME")
    return (Path(base) if base else Path.home() / ".cache") / "tarvex"


THREADS_VARIABLE = "TARVEX_THREADS"


def onnx_threads() -> int | None:
    """The threads ONNX Runtime may use, from ``TARVEX_THREADS`` (None when it is
    unset or empty: the default); ``ValueError`` for anything but a positive whole number."""
    value = os.environ.get(THREADS_VARIABLE, "").strip()
    if not value:
        return None
    if not value.isascii() or not value.isdigit() or not 0 < int(value) <= 1024:
        raise ValueError(f"{THREADS_VARIABLE} must be a whole number of threads from 1 to 1024, not {value!r}")
    return int(value)


def check_backend(backend: object) -> str:
    """``backend`` when it names an embedding backend; ``ValueError`` otherwise."""
    if backend not in BACKENDS:
        raise ValueError(f"unknown embedding backend {backend!r}; choose one of {', '.join(BACKENDS)}")
    return str(backend)


def exact_type_error(name: str, expected: type, value: object) -> TypeError:
    """The reference's wording for an argument that is not exactly of its type."""
    error = TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                      f"got {type(value).__name__})")
    if isinstance(value, expected):
        error.add_note(f"Subclasses of builtin types are rejected: pass a plain {expected.__name__}, "
                       f"for example {expected.__name__}(value).")
    return error

# Sessions that `tarvex mcp --http` keeps open at once, unless --max-sessions says otherwise.
MCP_MAX_SESSIONS = 100
