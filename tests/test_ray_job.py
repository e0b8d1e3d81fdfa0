"""The first build as a Ray Data job: the vectors this process would embed, nothing lost to a
killed driver, each text embedded once by jobs sharing a store, and one line for what fails."""

import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time

# A local Ray listens on the loopback interface only (read when ray is imported).
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

import numpy as np  # noqa: E402
import pytest  # noqa: E402
from conftest import link_graph, write_corpus  # noqa: E402

import tarvex  # noqa: E402
from tarvex._defaults import DEFAULT_MODEL  # noqa: E402
from tarvex.ray_job import RayFill  # noqa: E402
from tarvex.ray_worker import EmbedWorker, LocalModel, Outcome, WorkPlan  # noqa: E402
from tarvex.stores import open_store  # noqa: E402

ray = pytest.importorskip("ray")

WORDS = ("queue scheduler cache shard replica lock timeout retry index vector graph token batch "
         "checkpoint lease quorum snapshot compaction backpressure partition").split()


def generated(count, seed=3):
    """{relative path: description} of varied lengths, no two alike."""
    rnd = random.Random(seed)
    return {f"{k // 200:02}/d{k:05}.txt": f"Case {k}: the {' '.join(rnd.choices(WORDS, k=rnd.randint(3, 90)))} "
            "fails under load." for k in range(count)}


@pytest.fixture(scope="module")
def cluster():
    """A local Ray with 2 CPUs for this module; its address, for drivers in other processes."""
    import logging

    ray.init(num_cpus=2, include_dashboard=False, logging_level=logging.ERROR, log_to_driver=False)
    try:
        yield ray.get_runtime_context().gcs_address
    finally:
        ray.shutdown()


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return link_graph(tmp_path_factory.mktemp("cache"))


def index(corpus, cache, store, fill=None):
    return tarvex.DescriptionIndex(corpus, DEFAULT_MODEL, backend="onnx", cache_dir=cache, store=store, fill=fill)


def stored_vectors(url, cache, identity, hashes):
    store = open_store(url, cache)
    try:
        identity_id = store.identity(identity, 384, add=False)
        return store.vectors(identity_id, hashes).vectors
    finally:
        store.close()


def run_driver(args, address, *, wait=True):
    """``tarvex index ... --ray ADDRESS`` in a process of its own, joining the module's Ray."""
    command = [sys.executable, "-m", "tarvex.cli", "index", *map(str, args), "--ray", address, "--json"]
    env = {**os.environ, "HF_HUB_OFFLINE": "1"}
    if not wait:
        return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def compare_with_local(corpus, cache, tmp_path, ray_store, fill, queries):
    """Index the corpus here and by the job; the vectors agree within 1e-6 and the rankings are the same."""
    with index(corpus, cache, tmp_path / "local.sqlite3") as local, index(corpus, cache, ray_store, fill) as spread:
        local_stats, spread_stats = local.refresh(), spread.refresh()
        assert spread_stats.embedded == local_stats.embedded == len(list(corpus.rglob("*.txt")))
        hashes = [row.text_hash for row in local._ranking.rows()]
        identity = local._embedder.identity
        mine = stored_vectors(tmp_path / "local.sqlite3", cache, identity, hashes)
        theirs = stored_vectors(ray_store, cache, identity, hashes)
        assert mine.keys() == theirs.keys() == set(hashes)
        assert max(float(np.abs(mine[h] - theirs[h]).max()) for h in hashes) <= 1e-6
        for query in queries:
            assert [r["path"] for r in spread.rank(query, 0)] == [r["path"] for r in local.rank(query, 0)]


def test_a_job_stores_the_vectors_this_process_would_in_either_store(cluster, cache, tmp_path, store_url):
    corpus = write_corpus(tmp_path / "corpus", generated(60))
    compare_with_local(corpus, cache, tmp_path, store_url, RayFill(actors=2), ["lock timeout", "a shard replica"])


@pytest.mark.slow
def test_five_hundred_texts_embedded_by_two_actors_match_this_process(cluster, cache, tmp_path):
    corpus = write_corpus(tmp_path / "corpus", generated(500, seed=11))
    queries = [" ".join(random.Random(q).choices(WORDS, k=4)) for q in range(10)]
    compare_with_local(corpus, cache, tmp_path, tmp_path / "ray.sqlite3", RayFill(actors=2), queries)


@pytest.mark.slow
def test_a_killed_driver_loses_nothing_committed_and_the_next_run_embeds_only_the_rest(cluster, cache, tmp_path):
    corpus = write_corpus(tmp_path / "corpus", generated(1200, seed=5))
    store = tmp_path / "store.sqlite3"
    driver = run_driver([corpus, "--store", store, "--cache-dir", cache, "--ray-actors", "1", "--ray-model", "ship"],
                        cluster, wait=False)
    committed = 0
    deadline = time.monotonic() + 300
    while committed == 0 and driver.poll() is None and time.monotonic() < deadline:
        time.sleep(0.5)
        if store.exists():
            with sqlite3.connect(store) as db:
                committed = db.execute("SELECT count(*) FROM vectors").fetchone()[0]
    driver.send_signal(signal.SIGKILL)
    driver.communicate()
    assert 0 < committed < 1200, "the driver was not killed mid-job"
    with sqlite3.connect(store) as db:
        kept = db.execute("SELECT count(*) FROM vectors").fetchone()[0]
    assert kept >= committed
    assert run_driver([corpus, "--store", store, "--cache-dir", cache], cluster)["embedded"] == 1200 - kept


@pytest.mark.slow
def test_two_jobs_on_one_shared_store_embed_each_text_once(cluster, cache, tmp_path, postgres_url):
    corpus = write_corpus(tmp_path / "corpus", generated(1000, seed=8))
    args = [corpus, "--store", postgres_url, "--cache-dir", cache, "--ray-actors", "1", "--corpus-name", "team"]
    # One job's workers find the model installed, the other's are handed the driver's files.
    drivers = [run_driver(args + extra, cluster, wait=False) for extra in (["--ray-model", "installed"], [])]
    results = [driver.communicate(timeout=600) for driver in drivers]
    assert [driver.returncode for driver in drivers] == [0, 0], [err for _, err in results]
    assert sum(json.loads(out)["embedded"] for out, _ in results) == 1000
    with index(corpus, cache, postgres_url) as check:
        assert check.refresh().embedded == 0


# -- a worker on its own: what it refuses, and what it does with a text it cannot embed -------


@pytest.fixture(scope="module")
def local_model(cache):
    from tarvex.embedding import open_embedder

    embedder = open_embedder(DEFAULT_MODEL, "onnx", cache)
    return embedder, LocalModel(embedder.layout, embedder.graph, embedder.weight_files)


def batch(texts):
    hashes = np.empty(len(texts), dtype=object)
    hashes[:] = [bytes([i]) * 32 for i in range(len(texts))]
    return {"hash": hashes, "text": np.array(texts, dtype=object)}


def test_a_worker_whose_weights_differ_from_the_drivers_refuses_every_text(local_model):
    embedder, model = local_model
    worker = EmbedWorker(WorkPlan(DEFAULT_MODEL, "0" * 64, 1, model))
    answer = worker(batch(["one", "two"]))
    assert list(answer["outcome"]) == [Outcome.REFUSED] * 2
    assert "differs from the driver's" in answer["error"][0] and "wrong identity" in answer["error"][0]


def test_a_refusing_worker_stops_the_job_with_its_own_line(cluster, cache, tmp_path, local_model):
    import copy

    from tarvex.ray_job import RayUnavailable

    claimed = copy.copy(local_model[0])
    claimed.identity = (DEFAULT_MODEL, "0" * 64, "onnx")  # a driver that thinks its weights are others
    store = open_store(tmp_path / "s.sqlite3", cache)
    try:
        with pytest.raises(RayUnavailable, match=r"^the worker on .+ refuses: .+differs from the driver's"):
            RayFill(actors=1)(store, 1, claimed, [(b"x" * 32, "a text")])
    finally:
        store.close()


def test_a_text_that_cannot_be_embedded_is_reported_and_the_others_are_embedded(local_model):
    embedder, model = local_model
    worker = EmbedWorker(WorkPlan(DEFAULT_MODEL, embedder.identity[1], 1, model))

    class Choking:  # the real embedder, but one text makes it fail
        def __getattr__(self, name):
            return getattr(embedder, name)

        def encode(self, texts):
            if "poison" in texts:
                raise RuntimeError("cannot embed this one")
            return embedder.encode(texts)

    worker.embedder = Choking()
    texts = [f"text number {i}" for i in range(9)]
    texts[6] = "poison"
    answer = worker(batch(texts))
    assert [Outcome(o) for o in answer["outcome"]] == [Outcome.EMBEDDED] * 6 + [Outcome.FAILED] + [Outcome.EMBEDDED] * 2
    assert answer["error"][6] == "RuntimeError: cannot embed this one"
    expected = embedder.encode([t for t in texts if t != "poison"])
    assert np.abs(np.delete(answer["vector"], 6, axis=0) - expected).max() <= 1e-6


# -- the command's own checks ---------------------------------------------------------------


@pytest.mark.parametrize("words, status, says", [
    (["--ray", "{corpus}"], 2, "give the corpus folder before --ray"),
    (["{corpus}", "--ray-actors", "2"], 2, "go with --ray"),
    (["{corpus}", "--ray", "--backend", "torch"], 2, "embeds with the onnx backend"),
    (["{corpus}", "--ray", "127.0.0.1:9"], 1, "cannot reach the Ray cluster at 127.0.0.1:9"),
])
def test_the_command_refuses_a_ray_job_it_cannot_run_in_one_line(tmp_path, words, status, says):
    corpus = write_corpus(tmp_path / "corpus", {"a.txt": "a description"})
    command = [sys.executable, "-m", "tarvex.cli", "index",
               *[word.format(corpus=corpus) for word in words], "--store", str(tmp_path / "s.sqlite3")]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300,
                          env={**os.environ, "HF_HUB_OFFLINE": "1"})
    assert done.returncode == status
    assert says in done.stderr and "Traceback" not in done.stderr
    assert len(done.stderr.strip().splitlines()) <= (1 if status == 1 else 6)


def test_without_ray_installed_the_job_says_how_to_install_it(monkeypatch):
    from tarvex.ray_job import RayUnavailable, ray_module

    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(RayUnavailable, match=r"pip install 'tarvex\[ray\]'"):
        ray_module()


def test_only_a_failure_inside_ray_is_reported_as_the_job_failing(tmp_path):
    import sqlite3

    from tarvex.fill import Filled
    from tarvex.ray_job import RayUnavailable, _Job

    class Stream:  # what Ray Data's iterator hands the driver: one answered batch, then what Ray raises
        def __init__(self, then):
            self.then = then

        def iter_batches(self, **options):
            yield {"hash": np.array([b"h" * 32], dtype=object), "outcome": np.zeros(1, np.int8),
                   "vector": np.full((1, 384), 384 ** -0.5, np.float32), "truncated": np.full(1, -1, np.int8),
                   "error": np.array([""], dtype=object)}
            if self.then is not None:
                raise self.then

    store = open_store(tmp_path / "s.sqlite3", tmp_path)
    identity_id = store.identity(("m", "d", "onnx"), 384)
    try:
        with pytest.raises(RayUnavailable, match="^the Ray job failed: ActorDiedError: gone"):
            _Job(store, identity_id, Filled(), None, 2, 0).run(Stream(RuntimeError("ActorDiedError: gone")))
        assert store.vectors(identity_id, [b"h" * 32]).vectors  # the batch before it was stored
    finally:
        store.close()
    with pytest.raises(sqlite3.ProgrammingError):  # a store failing under the driver is its own error
        _Job(store, identity_id, Filled(), None, 1, 0).run(Stream(None))
