"""PostgreSQL's HNSW index against its exact search and the in-process top-k, at 100,000 rows.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py pgvector_hnsw [--rows 100000] [--real 4000]
        [--queries 40] [--ef 40,100,200]

Vectors: `--real` generated descriptions (`index_rank.py`) embedded with the
real model (onnx); the other rows are made from them by a documented method,
since embedding 100,000 texts takes most of an hour here: each is a real
vector plus Gaussian noise of standard deviation 0.03 per value, normalised
again (a near-paraphrase: cosine about 0.6 to its source, so neighbourhoods
stay as dense and as uneven as real ones).  Queries are `--queries` further
generated descriptions, embedded for real.

For each query: the exact records (`ORDER BY embedding <=> q` over the
corpus's rows, re-scored by the engine as the store does), the HNSW records at
each `ef_search`, and the engine's `top_k` over the same vectors in a float32
matrix in this process.  Recall@10 is the share of the exact top 10 that a
search returns; times are medians per query, measured from this process
(round trip over loopback included).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
K = 10


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--real", type=int, default=4000, help="rows embedded for real (default: 4000)")
    parser.add_argument("--queries", type=int, default=40)
    parser.add_argument("--ef", default="40,100,200,400,800", help="ef_search values (default: 40,100,200,400,800)")
    parser.add_argument("--embedded", type=Path, metavar="FILE.npz",
                        help="keep the real vectors here and take them from here next time (embedding takes minutes)")
    args = parser.parse_args()
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    sys.path.insert(0, str(HERE))
    from index_rank import generated_texts

    from testsupport.postgres_server import postgres_server
    from tarvex import _index_engine as engine
    from tarvex.embedding import DEFAULT_MODEL, open_embedder
    from tarvex.file_catalog import FileRow
    from tarvex.postgres_store import PostgresStore
    from tarvex.vector_store import Row

    texts = generated_texts(args.real + args.queries, seed=11)
    embedder = open_embedder(DEFAULT_MODEL, "onnx")
    if args.embedded is not None and args.embedded.is_file():
        kept = np.load(args.embedded)
        real, queries = kept["real"], kept["queries"]
    else:
        started = time.perf_counter()
        real = np.concatenate([embedder.encode(texts[i:i + 256]) for i in range(0, args.real, 256)])
        queries = embedder.encode(texts[args.real:])
        print(f"embedded {args.real} texts and {args.queries} queries in {time.perf_counter() - started:.0f} s")
        if args.embedded is not None:
            np.savez(args.embedded, real=real, queries=queries)
    rng = np.random.default_rng(5)
    made = real[rng.integers(0, args.real, args.rows - args.real)] + rng.normal(
        0, 0.03, (args.rows - args.real, real.shape[1])).astype(np.float32)
    vectors = np.concatenate([real, made / np.linalg.norm(made, axis=1, keepdims=True)]).astype(np.float32)
    hashes = [hashlib.sha256(f"row {i}".encode()).digest() for i in range(args.rows)]
    rows = [Row(f"/corpus/{i // 1000:03}/d{i:06}.txt", h, "", None) for i, h in enumerate(hashes)]

    with postgres_server() as server:
        store = PostgresStore(server.url())
        identity = store.identity(embedder.identity, embedder.dimension)
        corpus = store.corpus("/corpus")
        started = time.perf_counter()
        for start in range(0, args.rows, 5000):
            store.add_vectors(identity, list(zip(hashes[start:start + 5000], vectors[start:start + 5000])),
                              unit_length=True, truncated={})
            store.update_files(corpus, [FileRow(row.path[len("/corpus/"):], 1, 1, 1, 1, 1, row.text_hash, "", None)
                                        for row in rows[start:start + 5000]], [], 1, {})
        print(f"stored {args.rows} rows in {time.perf_counter() - started:.0f} s")
        exact = store.ranking(identity, corpus, "/corpus/")
        exact.update(rows, {})

        def timed(search):  # (median seconds, records of each query)
            found, times = [], []
            for query in queries:
                t = time.perf_counter()
                found.append([row.path for row, _ in search(query)])
                times.append(time.perf_counter() - t)
            return statistics.median(times), found

        exact_time, truth = timed(lambda q: exact.nearest(q, K))
        engine_time, in_process = timed(lambda q: [(rows[i], s) for i, s in engine.top_k(vectors, q, K)])
        assert in_process == truth, "the database's exact records differ from the engine's"
        results = [("exact, PostgreSQL", exact_time, 1.0), ("top-k in process (float32 matrix)", engine_time, 1.0)]
        started = time.perf_counter()
        hnsw_store = PostgresStore(server.url() + "?hnsw=1")
        hnsw_store.ranking(identity, corpus, "/corpus/")  # builds the index
        print(f"built the HNSW index in {time.perf_counter() - started:.0f} s")
        hnsw_store.close()
        for ef in (int(value) for value in args.ef.split(",")):
            searcher = PostgresStore(server.url() + f"?hnsw=1&ef_search={ef}")
            ranking = searcher.ranking(identity, corpus, "/corpus/")
            ranking.update(rows, {})
            seconds, found = timed(lambda q: ranking.nearest(q, K))
            recall = statistics.mean(len(set(a) & set(b)) / K for a, b in zip(found, truth))
            results.append((f"HNSW, ef_search {ef}", seconds, recall))
            searcher.close()
        store.close()
    print(f"{args.rows} rows ({args.real} embedded, the rest made from them), {args.queries} queries, k = {K}")
    print(f"{'search':36} {'ms / query':>11} {'/ exact':>8} {'recall@10':>10}")
    for name, seconds, recall in results:
        print(f"{name:36} {seconds * 1000:11.2f} {seconds / exact_time:8.3f} {recall:10.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
