"""Faults found by using the module as a user would, each with its reproducer.

Concurrent first loads of a model, the handled exception inside a generator,
the local names of the ranking function's code object, and match lines that
a file name could break apart."""

import gc
import importlib.util
import json
import logging
import os
import random
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import pytest

from conftest import run_python

PLAIN_FILE = Path(__file__).resolve().parent.parent / "benchmarks" / "plain_rag.py"


@pytest.fixture(autouse=True)
def fresh_cache(rag):
    rag._load_model.cache_clear()
    yield
    rag._load_model.cache_clear()


def run_threads(count, work):
    """Run work(number) on `count` threads released at once; returns what each returned or raised."""
    start = threading.Barrier(count)
    outcomes = [None] * count

    def body(number):
        start.wait()
        try:
            outcomes[number] = work(number)
        except BaseException as exc:  # a failing thread fails the test instead of vanishing
            outcomes[number] = exc

    threads = [threading.Thread(target=body, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread is still waiting"
    return outcomes


# ---------------------------------------------------------------------------
# Concurrent first loads


class ExclusivePackage:
    """A `sentence_transformers` whose constructor fails when another thread is inside it.

    The constructor waits a little (letting the interpreter lock go) so that
    threads which missed the cache together would overlap.  A name "outer:X"
    loads the model X from inside its own construction, on the same thread."""

    def __init__(self, rag):
        self.lock = threading.Lock()
        self.inside = []
        self.built = []
        package = self

        class Model:
            def __init__(self, name):
                with package.lock:
                    others = [t for t in package.inside if t != threading.get_ident()]
                    package.inside.append(threading.get_ident())
                try:
                    if others:
                        raise RuntimeError("Cannot copy out of meta tensor")
                    time.sleep(0.002)
                    if name.startswith("outer:"):
                        self.inner = rag._load_model(name[len("outer:"):])
                    self.name = name
                    with package.lock:
                        package.built.append(name)
                finally:
                    with package.lock:
                        package.inside.remove(threading.get_ident())

        self.model_class = Model
        self.module = types.ModuleType("sentence_transformers")
        self.module.SentenceTransformer = Model


def test_concurrent_first_loads_all_succeed_with_a_fake_that_refuses_overlap(rag, monkeypatch, caplog):
    package = ExclusivePackage(rag)
    monkeypatch.setitem(sys.modules, "sentence_transformers", package.module)
    names = ["a", "b", "outer:c", "a"]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with caplog.at_level(logging.WARNING):
            for _ in range(5):
                rag._load_model.cache_clear()
                outcomes = run_threads(8, lambda n: rag._load_model(names[n % len(names)]))
                for number, model in enumerate(outcomes):
                    assert type(model) is package.model_class and model.name == names[number % len(names)]
                assert outcomes[2].inner is rag._load_model("c")
    finally:
        sys.setswitchinterval(interval)
    assert [r.getMessage() for r in caplog.records] == []
    # The cache still answers every later call with one object per name.
    assert all(rag._load_model(name) is rag._load_model(name) for name in set(names) | {"c"})


REAL_MODEL_THREADS = """
import json, logging, threading
from tarvex.rag_helper import rank_problem_descriptions as rank, _load_model
warnings = []
logging.getLogger().addHandler(type("H", (logging.Handler,), {"emit": lambda self, r: warnings.append(r.getMessage())})())
found = []
for _ in range(2):
    _load_model.cache_clear()
    threads = [threading.Thread(target=lambda: found.append(len(rank("deliver parcels")))) for _ in range(3)]
    [t.start() for t in threads]; [t.join() for t in threads]
found.append(len(rank("deliver parcels")))
print(json.dumps({"found": found, "warnings": warnings}))
"""


@pytest.mark.slow
def test_concurrent_rankings_with_the_real_model_all_find_matches():
    # In a fresh interpreter: the real packages stay out of this process's sys.modules.
    proc = run_python(REAL_MODEL_THREADS, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.splitlines()[-1]) == {"found": [10] * 7, "warnings": []}


# ---------------------------------------------------------------------------
# The handled exception seen inside a generator


def fails_to_load(rag, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    rag._load_model.__wrapped__("a")


def reads_a_missing_file(rag, monkeypatch, tmp_path):
    assert rag._read_text(tmp_path / "missing.txt") == ""


def fails_inside_the_file_context(rag, monkeypatch, tmp_path):
    class Stream:
        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            return False

        def read(self, size):
            raise OSError("read failed")

    class Source:
        def open(self, *args, **kwargs):
            return Stream()

    assert rag._read_text(Source()) == ""


@pytest.mark.parametrize("handler", [fails_to_load, reads_a_missing_file, fails_inside_the_file_context])
def test_a_handler_inside_a_generator_leaves_its_handled_exception_alone(rag, monkeypatch, tmp_path, handler):
    logging.disable(logging.CRITICAL)
    try:
        def generator():
            handler(rag, monkeypatch, tmp_path)
            yield sys.exception()
            yield sys.exception()

        running = generator()
        try:
            raise KeyError("outer")
        except KeyError as outer:
            assert next(running) is outer  # the generator sees the outer handler's exception ...
            assert sys.exception() is outer
        assert next(running) is None  # ... and nothing once that handler is done, as in Python
        assert sys.exception() is None
    finally:
        logging.disable(logging.NOTSET)


# ---------------------------------------------------------------------------
# Local names of the code objects


def plain_functions():
    spec = importlib.util.spec_from_file_location("plain_rag_names", PLAIN_FILE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def code_names(code):
    return code.co_varnames, code.co_cellvars, code.co_freevars, code.co_nlocals


def record_builder_code(rag, tmp_path, monkeypatch):
    """The code object of a running ranking call's record builder."""
    (tmp_path / "a.txt").write_text("text")
    found = []

    class Score(float):
        def __float__(self):
            found.extend(o for o in gc.get_objects() if type(o).__name__ == "record_builder")
            return 0.5

    class Model:
        def encode(self, batch, **kwargs):
            return [[1.0]]

    torch = types.ModuleType("torch")
    torch.matmul = lambda docs, query: types.SimpleNamespace(cpu=lambda: types.SimpleNamespace(tolist=lambda: [Score()]))
    package = types.ModuleType("sentence_transformers")
    package.SentenceTransformer = lambda name: Model()
    monkeypatch.setitem(sys.modules, "torch", torch)
    monkeypatch.setitem(sys.modules, "sentence_transformers", package)
    assert len(rag.rank_problem_descriptions("q", tmp_path)) == 1
    return found[0].gi_code


def test_code_objects_name_their_locals_as_the_compiler_does(rag, tmp_path, monkeypatch):
    plain = plain_functions()
    for name in ("rank_problem_descriptions", "_read_text", "_iter_description_files", "_load_model"):
        native = getattr(rag, name)
        python = getattr(plain, name)
        native, python = getattr(native, "__wrapped__", native), getattr(python, "__wrapped__", python)
        assert code_names(native.__code__) == code_names(python.__code__), name

    python_builder = next(c for c in plain.rank_problem_descriptions.__code__.co_consts if getattr(c, "co_name", "") == "<genexpr>")
    native_builder = record_builder_code(rag, tmp_path, monkeypatch)
    assert code_names(native_builder) == code_names(python_builder)
    assert native_builder.co_freevars == rag.rank_problem_descriptions.__code__.co_cellvars == ("texts",)


# ---------------------------------------------------------------------------
# Match lines of the command line


SHOW_PATHS = """
import ctypes, importlib.util, json, sys
spec = importlib.util.find_spec("tarvex.rag_helper")
ctypes.c_int32.in_dll(ctypes.CDLL(spec.origin), "rag_helper_is_main").value = 1
module = importlib.util.module_from_spec(spec)
paths = json.loads(sys.argv[1])

class Argv(list):
    def __getitem__(self, index):  # the block slices argv after the functions are published
        vars(module)["rank_problem_descriptions"] = lambda **kw: [{"path": p, "score": 0.5} for p in paths]
        return list.__getitem__(self, index)

sys.argv = Argv(["prog", "q"])
spec.loader.exec_module(module)
"""

CONTROLS = [chr(c) for c in [*range(0x20), *range(0x7F, 0xA0)]]
OTHERS = list("az09 ./\\_-'\"%{}") + ["é", "ß", "Ж", "中", "\u200d", "\u2028", "😀", "\u00a0"]


def shown(path):
    """The path as a match line must show it: controls escaped, all else as it is."""
    named = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
    return "".join(named.get(c, f"\\x{ord(c):02x}") if c in CONTROLS else c for c in path)


def test_each_match_stays_one_line_whatever_its_file_name_holds():
    rnd = random.Random(10)
    paths = ["x\n 2. forged.txt", "\x1b[31mred.txt", "plain/café.txt", "tab\there\r.txt", "\x9b2J.txt"]
    paths += ["".join(rnd.choice(CONTROLS if rnd.random() < 0.2 else OTHERS) for _ in range(rnd.randint(0, 12)))
              for _ in range(300)]
    proc = subprocess.run(
        [sys.executable, "-c", SHOW_PATHS, json.dumps(paths)],
        capture_output=True, cwd="/", timeout=120,
        env={**os.environ, "PYTHONIOENCODING": "utf-8", "PYTHONPATH": ""},
    )
    assert proc.returncode == 0, proc.stderr.decode()
    lines = proc.stdout.decode("utf-8").split("\n")
    assert lines.pop() == ""
    assert lines == [f"{i:2d}. {shown(p)}  score=0.5000" for i, p in enumerate(paths, 1)]
