"""The store chosen by URL, and filling what a store is missing, whichever store it is."""

import hashlib
import threading

import numpy as np
import pytest

from tarvex import sqlite_store
from tarvex.fill import EMBED_CHUNK, FillRefused, fill_missing
from tarvex.stores import open_store
from tarvex.vector_store import StoreNotWritable, StoreUnavailable


@pytest.mark.parametrize("given, expected", [
    ("{tmp}/team.sqlite3", "{tmp}/team.sqlite3"),
    ("sqlite://{tmp}/team.sqlite3", "{tmp}/team.sqlite3"),
    ("sqlite://localhost{tmp}/a%20b.sqlite3", "{tmp}/a b.sqlite3"),
    ("{tmp}", "{tmp}/index.sqlite3"),  # a folder keeps the default file
    (None, "{tmp}/index.sqlite3"),
])
def test_a_path_or_an_sqlite_url_opens_that_sqlite_file(tmp_path, given, expected):
    store = open_store(given and given.format(tmp=tmp_path), tmp_path)
    try:
        assert store.location == expected.format(tmp=tmp_path)
        assert (tmp_path / expected.format(tmp=tmp_path)).is_file()
    finally:
        store.close()


@pytest.mark.parametrize("given, says", [
    ("sqlite://db.example/x.sqlite3", "names a local file"),
    ("sqlite://", "names a local file"),
    ("redis://localhost/0", "unknown store 'redis://'"),
    ("", "empty"),
])
def test_a_store_url_that_names_nothing_usable_is_one_line(tmp_path, given, says):
    with pytest.raises(StoreUnavailable, match=says) as raised:
        open_store(given, tmp_path)
    assert "\n" not in str(raised.value)


class CountingEmbedder:
    """Unit vectors from a hash of each text, counting the texts it embeds."""

    identity = ("counting", "digest", "test")
    dimension = 8
    max_tokens = 4

    def __init__(self):
        self.embedded = []
        self.lock = threading.Lock()

    def encode(self, texts):
        with self.lock:
            self.embedded += texts
        vectors = np.array([np.frombuffer(hashlib.sha256(t.encode()).digest()[:32], dtype=np.int32)
                            for t in texts], dtype=np.float32)
        return vectors / np.linalg.norm(vectors, axis=1, keepdims=True)

    def truncated(self, texts):
        return [len(text.split()) > self.max_tokens for text in texts]


def items(texts):
    return [(hashlib.sha256(t.encode()).digest(), t) for t in texts]


def test_fill_embeds_each_missing_text_once_and_gives_every_vector(tmp_path):
    store = open_store(None, tmp_path)
    embedder = CountingEmbedder()
    texts = [f"description {i} " + "word " * (i % 7) for i in range(EMBED_CHUNK + 40)]
    progress = []
    try:
        identity = store.identity(embedder.identity, embedder.dimension)
        first = fill_missing(store, identity, embedder, items(texts[:50]), lambda *p: progress.append(p))
        both = fill_missing(store, identity, embedder, items(texts) + items(texts[:3]), lambda *p: progress.append(p))
        stored = store.vectors(identity, [h for h, _ in items(texts)])
    finally:
        store.close()
    assert sorted(embedder.embedded) == sorted(texts)  # the first 50 once, not again
    assert (first.embedded, both.embedded) == (50, len(texts) - 50)
    assert set(both.vectors) == set(stored.vectors) == {h for h, _ in items(texts)}
    for h, vector in both.vectors.items():
        assert np.array_equal(vector, stored.vectors[h])
    assert both.truncated == stored.truncated == {h: len(t.split()) > 4 for h, t in items(texts)}
    assert progress[-1] == (len(texts), len(texts)) and progress[0] == (0, 50)


def test_a_fill_whose_writes_are_refused_says_how_many_texts_still_miss_a_vector(tmp_path, monkeypatch):
    store = open_store(None, tmp_path)
    embedder = CountingEmbedder()
    writes = []

    def refuse_the_second(*args, **kwargs):
        writes.append(args)
        if len(writes) == 2:
            raise StoreNotWritable("cannot update the index database: the disk is full")
        return add(*args, **kwargs)

    add = store.add_vectors
    monkeypatch.setattr(store, "add_vectors", refuse_the_second)
    try:
        identity = store.identity(embedder.identity, embedder.dimension)
        with pytest.raises(FillRefused) as refused:
            fill_missing(store, identity, embedder, items(f"text {i}" for i in range(EMBED_CHUNK + 10)))
    finally:
        store.close()
    assert refused.value.missing == 10 and "disk is full" in str(refused.value.refusal)


def test_a_fill_waits_for_a_held_turn_once(tmp_path, monkeypatch):
    """A holder that never lets go costs one wait per fill, not one per chunk."""
    import fcntl
    import os

    monkeypatch.setattr(sqlite_store, "TURN_WAIT_S", 0.2)
    store = open_store(None, tmp_path)
    holder = os.open(tmp_path / sqlite_store.LOCK_NAME, os.O_RDONLY | os.O_CREAT)
    fcntl.flock(holder, fcntl.LOCK_EX)
    turns = []
    take_turn = store.embedding_turn

    def recorded(*, wait=True):
        turns.append(wait)
        return take_turn(wait=wait)

    monkeypatch.setattr(store, "embedding_turn", recorded)
    embedder = CountingEmbedder()
    try:
        identity = store.identity(embedder.identity, embedder.dimension)
        filled = fill_missing(store, identity, embedder, items(f"text {i}" for i in range(3 * EMBED_CHUNK)))
        fcntl.flock(holder, fcntl.LOCK_UN)
        again = fill_missing(store, identity, embedder, items(f"more {i}" for i in range(2 * EMBED_CHUNK)))
    finally:
        os.close(holder)
        store.close()
    assert (filled.embedded, again.embedded) == (3 * EMBED_CHUNK, 2 * EMBED_CHUNK)
    assert turns == [True, False, False, True, True]  # the next fill waits again
