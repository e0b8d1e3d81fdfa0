"""Many threads ranking and loading models at once, with stand-in model and torch packages."""

import json
import logging
import sys
import threading
import time
import types

import pytest

from conftest import run_python, write_corpus as corpus
from testsupport.standins import StandIns, Tensor, leading_number
from testsupport.threads import failures_of, run_threads


def weight(text):
    return leading_number(text)[0]

THREADS = 8
ROUNDS = 250  # per thread; each round makes four calls into the module
GOOD_MODELS = {"m-plain": 1.0, "m-doubled": 2.0, "m-halved": 0.5}
BROKEN_MODEL = "m-broken"


class Model:
    def __init__(self, name, factor):
        self.name, self.factor = name, factor

    def encode(self, batch, **kwargs):
        # A tiny pause releases the interpreter lock, so other threads run in the middle.
        threading.Event().wait(0)
        return Tensor([[weight(t) * self.factor] for t in batch])


class ModelPackage:
    """A stand-in `sentence_transformers` that counts constructions per name."""

    def __init__(self):
        self.lock = threading.Lock()
        self.built = {}
        package = self

        def construct(name):
            with package.lock:
                package.built.setdefault(name, []).append(threading.get_ident())
            threading.Event().wait(0.001)  # widen the window in which two threads miss together
            if name == BROKEN_MODEL:
                raise OSError(f"no weights for {name}")
            return Model(name, GOOD_MODELS[name])

        self.module = types.ModuleType("sentence_transformers")
        self.module.SentenceTransformer = construct


def expected_ranking(files, query, model, top_k):
    """What a correct ranking of `files` (name -> text) returns, computed in Python.

    Texts and query are both scaled by the model's factor, so a score is the text's
    weight times the query's weight times the factor squared."""
    factor = GOOD_MODELS[model]
    items = [(name, text) for name, text in sorted(files.items()) if text.strip()]
    records = [(name, (weight(text.strip()) * factor) * (weight(query) * factor)) for name, text in items]
    records.sort(key=lambda r: r[1], reverse=True)
    return records[:top_k] if top_k > 0 else records


def run_together(work):
    """Run work(number, failures) on THREADS threads released at once; returns the failures,
    a thread that raised among them."""
    failures = []
    outcomes = run_threads(THREADS, lambda number: work(number, failures))
    return failures + [(number, "raised", repr(exc)) for number, exc in failures_of(outcomes)]


CORPORA = [
    {"a.txt": "0.2 alpha", "b/x.txt": "0.9 beta", "c.txt": "0.5 gamma", "blank.txt": "  \n"},
    {"only.txt": "0.3 single"},
    {"p.txt": "0.1 p", "q.txt": "0.7 q", "r/s/t.txt": "0.4 deep", "r/u.txt": "0.6 u", "v.txt": "0.0 zero"},
]


@pytest.fixture
def world(rag, tmp_path, monkeypatch):
    package = ModelPackage()
    StandIns(record=False).install(monkeypatch)  # its torch; the model package is this file's own
    monkeypatch.setitem(sys.modules, "sentence_transformers", package.module)
    folders = [corpus(tmp_path / f"c{i}", files) for i, files in enumerate(CORPORA)]
    rag._load_model.cache_clear()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads far more often than usual
    yield package, folders
    sys.setswitchinterval(interval)
    rag._load_model.cache_clear()


def test_threads_rank_and_load_at_once(rag, world, caplog):
    package, folders = world
    models = sorted(GOOD_MODELS)
    calls = [0] * THREADS

    def work(number, failures):
        for step in range(ROUNDS):
            which = (number + step) % len(folders)
            model = models[(number * 7 + step) % len(models)]
            top_k = (step % 5) - 1  # -1, 0, 1, 2, 3
            query = f"{(-1) ** step} query {step}"  # the sign flips the order
            records = rag.rank_problem_descriptions(query, folders[which], top_k, model)
            got = [(r["path"][len(str(folders[which])) + 1:], r["score"]) for r in records]
            if got != expected_ranking(CORPORA[which], query, model, top_k):
                failures.append((number, step, model, got))
            loaded = rag._load_model(model)
            if type(loaded) is not Model or loaded.name != model:
                failures.append((number, step, "load", model, loaded))
            if rag._load_model(BROKEN_MODEL) is not None:
                failures.append((number, step, "broken model loaded"))
            if rag.rank_problem_descriptions("1", folders[which], model_name=BROKEN_MODEL) != []:
                failures.append((number, step, "ranked without a model"))
            calls[number] += 4

    with caplog.at_level(logging.WARNING):
        failures = run_together(work)
    assert failures == []
    assert sum(calls) == THREADS * ROUNDS * 4

    # The cache ends with one entry per name, and every caller got the cached object
    # once the entry was stored: a later call returns the very same one.
    info = rag._load_model.cache_info()
    assert info.currsize == len(GOOD_MODELS) + 1
    # Each round goes through the wrapper four times: twice directly, twice from ranking.
    assert info.hits + info.misses == sum(calls)
    for name in models:
        cached = rag._load_model(name)
        assert cached.name == name and rag._load_model(name) is cached
    assert rag._load_model(BROKEN_MODEL) is None

    # Loads are not serialised, so a name may be built by more than one thread at
    # first, but never again once cached; a failed load warns once per such build.
    assert set(package.built) == set(GOOD_MODELS) | {BROKEN_MODEL}
    assert all(1 <= len(builders) <= THREADS for builders in package.built.values())
    warnings = [r.getMessage() for r in caplog.records if r.name == "root"]
    assert warnings == [f"RAG disabled (embedding model load failed): no weights for {BROKEN_MODEL}"] * len(
        package.built[BROKEN_MODEL])


def test_threads_read_and_list_the_same_files(rag, tmp_path):
    root = corpus(tmp_path, {f"d{i % 4}/f{i}.txt": f"  text {i} " * (i + 1) for i in range(40)})
    expected_listing = sorted(p for p in root.rglob("*.txt"))
    raw = {p: p.read_text() for p in expected_listing}

    def work(number, failures):
        for step in range(60):
            listing = rag._iter_description_files(root)
            if listing != expected_listing:
                failures.append((number, step, "listing"))
            path = listing[(number + step) % len(listing)]
            if rag._read_text(path) != raw[path].strip():
                failures.append((number, step, path))
            if rag._read_text(path, 5) != raw[path][:5].strip():
                failures.append((number, step, path, "cut"))

    assert run_together(work) == []


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


def test_concurrent_first_loads_all_succeed_with_a_fake_that_refuses_overlap(rag, fresh_cache, monkeypatch, caplog):
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
