"""The two implementations under test, side by side, and the stand-ins they share."""

import contextlib
import importlib.util
import os
import sys
from pathlib import Path


HERE = Path(__file__).resolve().parent
REPO = HERE.parent
PLAIN_FILE = HERE / "plain_rag.py"
MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"

sys.path.insert(0, str(REPO / "tests"))
from standins import StandIns  # noqa: E402  (shared with the tests)

import tarvex.rag_helper as native  # noqa: E402


def load_plain():
    module_spec = importlib.util.spec_from_file_location("plain_rag", PLAIN_FILE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


plain = load_plain()
IMPLEMENTATIONS = {"native": native, "python": plain}


@contextlib.contextmanager
def constant_standins(scores):
    """The shared stand-ins, answering every call in constant time with these scores,
    with both implementations' model caches cleared around."""
    with StandIns(scores=scores, record=False).installed():
        for module in IMPLEMENTATIONS.values():
            module._load_model.cache_clear()
        try:
            yield
        finally:
            for module in IMPLEMENTATIONS.values():
                module._load_model.cache_clear()

def child_env():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    # Imports from cached bytecode, as an installed program would have it.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env
