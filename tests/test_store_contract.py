"""What the index asks of a store, asked of each kind: the SQLite file and a PostgreSQL database."""

import dataclasses
import hashlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarvex import _index_engine as engine
from tarvex.file_catalog import FileRow
from tarvex.stores import open_store
from tarvex.vector_store import Row, StoreDamaged

IDENTITY = ("model", "digest", "backend")
WIDTH = 24


@pytest.fixture
def store(store_url, tmp_path):
    opened = open_store(store_url, tmp_path)
    yield opened
    opened.close()


def unit(rng, count, width=WIDTH):
    vectors = rng.normal(size=(count, width)).astype(np.float32)
    return vectors / np.linalg.norm(vectors, axis=1, keepdims=True)


def digest(text):
    return hashlib.sha256(text.encode()).digest()


def test_identities_and_vectors_round_trip(store):
    identity = store.identity(IDENTITY, WIDTH)
    assert store.identity(IDENTITY, WIDTH) == identity and store.identity(("other", "d", "b"), 3, add=False) is None
    with pytest.raises(StoreDamaged):
        store.identity(IDENTITY, WIDTH + 1)
    vectors = unit(np.random.default_rng(1), 5)
    hashes = [digest(f"t{i}") for i in range(5)]
    store.add_vectors(identity, list(zip(hashes[:4], vectors[:4])), unit_length=True,
                      truncated={hashes[0]: True, hashes[1]: False})
    store.add_vectors(identity, [(hashes[0], vectors[4])], unit_length=True, truncated={})  # the first one stays
    store.set_truncation_flags(identity, {hashes[1]: True, hashes[2]: True})  # only an unknown flag is set
    stored = store.vectors(identity, hashes)
    assert set(stored.vectors) == set(hashes[:4])
    for i, h in enumerate(hashes[:4]):
        assert np.array_equal(stored.vectors[h], vectors[i])
    assert stored.truncated == {hashes[0]: True, hashes[1]: False, hashes[2]: True}


def test_the_catalog_keeps_each_scan_and_texts_where_it_keeps_them(store):
    corpus = store.corpus("/corpus/a")
    assert store.corpus("/corpus/a") == corpus and store.corpus("/corpus/b", add=False) is None
    rows = [FileRow(f"d/{i}.txt", i, 10 + i, 20 + i, 2**62 + i, 30, digest(f"t{i}"), f"text {i}", f"/real/{i}.txt")
            for i in range(3)] + [FileRow("blank.txt", 1, 2, 3, 4, 5, None, "", None),
                                  FileRow("caf\udcff.txt", 1, 2, 3, 4, 5, digest("x"), "x", None)]
    store.update_files(corpus, rows, [], 40, {digest("t0"): "text 0", digest("x"): "x"})
    grown = dataclasses.replace(rows[1], size=99)
    store.update_files(corpus, [grown], ["d/2.txt"], 50, {})
    kept = sorted(store.files(corpus), key=lambda row: row.path)
    expected = sorted([rows[0], grown, *rows[3:]], key=lambda row: row.path)
    assert kept == expected
    assert store.files(store.corpus("/corpus/b")) == []
    assert store.text(digest("t0")) == ("text 0" if store.keeps_texts else None)


def test_one_writer_holds_the_embedding_turn_at_a_time(store_url, tmp_path):
    first, second = open_store(store_url, tmp_path), open_store(store_url, tmp_path)
    try:
        with first.embedding_turn() as held:
            assert held
            with second.embedding_turn(wait=False) as also:
                assert not also
        with second.embedding_turn(wait=False) as now:
            assert now
    finally:
        first.close()
        second.close()


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32 - 1), count=st.integers(1, 60), copies=st.integers(0, 8),
       k=st.integers(-1, 70), hidden=st.integers(0, 5))
def test_nearest_is_the_engine_top_k_over_the_ranked_rows(store, seed, count, copies, k, hidden):
    """Differential: ties (copies of one text) keep path order; hidden rows are skipped, not counted."""
    rng = np.random.default_rng(seed)
    identity = store.identity(IDENTITY, WIDTH)
    corpus = store.corpus(f"/corpus/{seed}-{count}-{copies}-{k}-{hidden}")
    vectors = unit(rng, count)
    texts = [f"{seed} {i}" for i in range(count)]
    names = [f"{i:03}.txt" for i in range(count)] + [f"copy/{j}.txt" for j in range(copies)]
    hashes = [digest(t) for t in texts] + [digest(texts[0])] * copies
    store.add_vectors(identity, list(zip(hashes[:count], vectors)), unit_length=True, truncated={})
    store.update_files(corpus, [FileRow(name, 1, 1, 1, 1, 1, h, name, None) for name, h in zip(names, hashes)],
                       [], 1, {})
    listed = sorted(names, key=lambda name: name.replace("/", "\0"))  # the engine's path order
    rows = [Row("/corpus/" + name, hashes[names.index(name)], name, None) for name in listed]
    ranking = store.ranking(identity, corpus, "/corpus/")
    ranking.update(rows, dict(zip(hashes[:count], vectors)))
    query = unit(rng, 1)[0]
    dropped = {row.path for row in rows[::3][:hidden]}
    kept = [row for row in rows if row.path not in dropped]
    matrix = np.array([vectors[hashes.index(row.text_hash)] for row in kept], dtype=np.float32).reshape(-1, WIDTH)
    expected = [(kept[i], score) for i, score in engine.top_k(matrix, query, k if 0 < k < len(kept) else 0)]
    assert ranking.nearest(query, k, dropped) == expected


def test_prune_deletes_only_what_no_file_refers_to(store):
    identity = store.identity(IDENTITY, WIDTH)
    corpus = store.corpus("/corpus")
    vectors = unit(np.random.default_rng(2), 4)
    hashes = [digest(f"p{i}") for i in range(4)]
    store.add_vectors(identity, list(zip(hashes, vectors)), unit_length=True, truncated={})
    store.update_files(corpus, [FileRow("a.txt", 1, 1, 1, 1, 1, hashes[0], "", None)], [], 1, {})
    assert store.prune()[0] == 3
    assert set(store.vectors(identity, hashes).vectors) == {hashes[0]}
    assert store.prune()[0] == 0
