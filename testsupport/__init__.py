"""Support shared by the tests and the benchmarks.

standins   stand-ins for `sentence_transformers` and `torch` (see its docstring)
plain_rag  the plain-Python rendering of `tarvex.rag_helper` (PLAIN_FILE: its path,
           for loading it by file as a fresh module or in a child process)
threads    run_threads: work started on several threads at once, every outcome kept

Tests find this package through pytest's `pythonpath` (pyproject.toml); the
benchmarks' runner puts the repository root on `sys.path`.
"""

from pathlib import Path

PLAIN_FILE = Path(__file__).resolve().with_name("plain_rag.py")


def fresh_plain(name="plain_rag"):
    """A new module object run from plain_rag.py: its own model cache and globals,
    so that tests and benchmarks may change it freely."""
    import importlib.util

    spec = importlib.util.spec_from_file_location(name, PLAIN_FILE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
