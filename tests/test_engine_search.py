"""Exact top-k search of the engine, against numpy."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from tarvex._index_engine import top_k


def expected_order(scores, k):
    """Best first, equal scores in row order, NaN last; k <= 0 for all rows."""
    keyed = sorted(range(len(scores)), key=lambda row: (np.isnan(scores[row]), -np.nan_to_num(scores[row]), row))
    return keyed if k <= 0 else keyed[:k]


shapes = st.tuples(st.integers(0, 40), st.integers(1, 40))


@settings(max_examples=200, deadline=None)
@given(data=st.data(), shape=shapes, k=st.integers(-2, 45))
def test_order_and_ties_on_exact_scores(data, shape, k):
    """Small integers make every product exact, so ties are real ties."""
    vectors = data.draw(hnp.arrays(np.float32, shape, elements=st.integers(-3, 3).map(float)))
    query = data.draw(hnp.arrays(np.float32, shape[1], elements=st.integers(-3, 3).map(float)))
    scores = vectors.astype(np.float64) @ query.astype(np.float64)
    assert top_k(vectors, query, k) == [(row, scores[row]) for row in expected_order(scores, k)]


@settings(max_examples=100, deadline=None)
@given(data=st.data(), n=st.integers(1, 300), d=st.sampled_from([1, 7, 8, 15, 16, 17, 33, 384]))
def test_scores_match_numpy_to_float32_precision(data, n, d):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    vectors = rng.standard_normal((n, d), dtype=np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    query = vectors[rng.integers(n)] + rng.standard_normal(d, dtype=np.float32) * 0.1
    numpy_scores = vectors @ query
    found = top_k(vectors, query, 0)
    assert sorted(row for row, _ in found) == list(range(n))
    scores = np.array([score for _, score in found])
    assert np.all(np.diff(scores) <= 0)
    tolerance = 4 * np.finfo(np.float32).eps * np.sqrt(d) * np.linalg.norm(query)
    assert np.max(np.abs(scores - numpy_scores[[row for row, _ in found]])) <= tolerance
    # Rows whose scores are clearly apart come in numpy's order.
    best = int(np.argmax(numpy_scores))
    if n == 1 or np.sort(numpy_scores)[-2] < numpy_scores[best] - 2 * tolerance:
        assert top_k(vectors, query, 1)[0][0] == best


def test_nan_rows_rank_last_and_buffers_of_any_kind():
    vectors = np.array([[1, 0], [np.nan, 0], [2, 0], [0, 0]], dtype=np.float32)
    query = np.array([1, 1], dtype=np.float32)
    found = top_k(vectors, query, 0)
    assert [row for row, _ in found] == [2, 0, 3, 1] and np.isnan(found[-1][1])
    # bytes, a memoryview at an odd address, and a 1-D array all serve.
    raw = b"\0" + vectors.tobytes()
    for source in (vectors.tobytes(), memoryview(raw)[1:], vectors.ravel(), bytearray(vectors.tobytes())):
        assert [row for row, _ in top_k(source, query.tobytes(), 2)] == [2, 0]
    assert top_k(np.zeros((0, 3), np.float32), np.ones(3, np.float32), 5) == []
    assert top_k(b"", b"", 0) == []
    for k in (2**100, 10**6):
        assert len(top_k(vectors, query, k)) == 4
    assert len(top_k(vectors, query, -(2**100))) == 4


def test_bad_buffers_and_arguments():
    vectors = np.ones((4, 3), np.float32)
    query = np.ones(3, np.float32)
    with pytest.raises(ValueError, match="whole number of rows"):
        top_k(vectors, np.ones(5, np.float32), 1)
    with pytest.raises(ValueError, match="rows of 3"):
        top_k(np.ones((4, 3), np.float32), np.ones(1, np.float32), 1)
    with pytest.raises(ValueError, match="whole number of float32"):
        top_k(b"12345", query, 1)
    with pytest.raises(ValueError, match="whole number of rows"):
        top_k(vectors, b"", 1)
    with pytest.raises(TypeError, match="float32"):
        top_k(vectors.astype(np.float64), query, 1)
    with pytest.raises(TypeError, match="float32"):
        top_k(vectors, query.astype(np.int32), 1)
    with pytest.raises((ValueError, BufferError)):
        top_k(np.ones((4, 6), np.float32)[:, ::2], query, 1)
    for bad in [("x", query, 1), (vectors, None, 1), (vectors, query, 1.0), (vectors, query, None)]:
        with pytest.raises(TypeError):
            top_k(*bad)
