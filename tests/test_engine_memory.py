"""The engine keeps no memory and no references across calls, on success or failure."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from tarvex._index_engine import Scanner, read_with_real_path, top_k


def calls(tmp_path):
    (tmp_path / "a").mkdir()
    for i in range(30):
        (tmp_path / "a" / f"{i}.txt").write_text(f" text {i} é\r\n")
    scanner = Scanner(str(tmp_path))
    listing = scanner.scan()[0]
    vectors = np.ones((50, 8), np.float32)
    query = np.ones(8, np.float32)
    entries = [entry for entry, *_ in scanner.read(listing)]

    churn_path = str(tmp_path / "churn.txt")  # plain strings: pathlib caches what it parses

    def churn():
        with open(churn_path, "w") as out:
            out.write("x")
        scanner.scan()
        os.unlink(churn_path)
        scanner.scan()

    def failing(call):
        try:
            call()
        except (TypeError, ValueError, KeyError, OverflowError):
            pass

    return [
        lambda: Scanner(str(tmp_path)).scan(),
        churn,
        lambda: scanner.load(entries, 0),
        lambda: failing(lambda: scanner.load([entries[0], entries[0]], 0)),
        lambda: failing(lambda: scanner.load([("x", 1, 2, 3, "4")], 0)),
        lambda: failing(lambda: Scanner(b"x")),
        lambda: scanner.read(listing[:5]),
        lambda: failing(lambda: scanner.read([listing[0], "missing"])),
        lambda: read_with_real_path(listing[0]),
        lambda: read_with_real_path(listing[0], -5),
        lambda: read_with_real_path(str(tmp_path / "missing.txt")),
        lambda: failing(lambda: read_with_real_path(listing[0], None)),
        lambda: top_k(vectors, query, 5),
        lambda: top_k(vectors, query, 0),
        lambda: failing(lambda: top_k(vectors, query[:3], 5)),
        lambda: failing(lambda: top_k(vectors.astype(np.float64), query, 5)),
    ]


@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="counted only with the interpreter's own allocator, not under PYTHONMALLOC=malloc")
def test_repeated_calls_keep_nothing(tmp_path):
    """Memory may settle into caches early on, but must not grow call after call."""
    for call in calls(tmp_path):
        for _ in range(50):  # warm caches (interned names, free lists, hashlib)
            call()
        tracemalloc.start()
        try:
            measured = []
            for count in (500, 1500):
                for _ in range(count):
                    call()
                gc.collect()
                measured.append((tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()))
        finally:
            tracemalloc.stop()
        grown = measured[1][0] - measured[0][0]
        blocks = measured[1][1] - measured[0][1]
        # A leak of one small object per call would add at least 24 kB here.
        assert grown < 12_000 and blocks < 300, (call, grown, blocks)
