"""The two implementations under test, side by side, and the stand-ins they share."""

import contextlib
import os

import tarvex.rag_helper as native
from testsupport import PLAIN_FILE, fresh_plain  # shared with the tests (run.py puts the repository on the path)
from testsupport.standins import StandIns

MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"

plain = fresh_plain()
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
