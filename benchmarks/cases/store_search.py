"""A warm `tarvex search` from a new process with the SQLite store and with the PostgreSQL store, side by side.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py store_search [--count 2000] [--rounds 7]

The corpus is the 2,000 generated descriptions of `index_rank.py`; a local
PostgreSQL server with pgvector is started for the run
(`testsupport/postgres_server.py`) and removed after it.  Each store is built
once with `tarvex index --backend onnx`, then every search is a new process
(`tarvex search --backend onnx --store …`) that checks the corpus for changes,
embeds the query and ranks: in process from the SQLite file, in the database
for PostgreSQL.  The two take turns, round by round; wall time is the median,
peak memory the largest resident size.  The records of both are compared.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
QUERIES = ["deliver parcels to customers with a fleet of vans", "schedule nurses across shifts",
           "cut glass sheets with little waste", "assign students to schools", "plan a power grid"]


def run(command: list[str]) -> tuple[float, float, str]:
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = process.stdout.read().decode() if process.stdout else ""
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(command)} failed: {process.stderr.read().decode() if process.stderr else ''}")
    return wall, usage.ru_maxrss / 1024, out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2000, help="generated descriptions (default: 2000)")
    parser.add_argument("--rounds", type=int, default=7, help="searches per store (default: 7)")
    args = parser.parse_args()
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    sys.path.insert(0, str(HERE))
    from graph_cache import link_built_graph
    from index_rank import generated_texts, write_corpus

    from testsupport.postgres_server import postgres_server
    from tarvex import embedding

    tarvex = str(Path(sys.executable).parent / "tarvex")
    with tempfile.TemporaryDirectory(prefix="tarvex-stores-") as work, postgres_server() as server:
        corpus = Path(work) / "corpus"
        write_corpus(corpus, generated_texts(args.count))
        cache = Path(work) / "cache"
        link_built_graph(cache, embedding.DEFAULT_MODEL)
        stores = {"sqlite": str(cache / "index.sqlite3"), "postgres": server.url()}
        common = ["--backend", "onnx", "--cache-dir", str(cache)]
        for store in stores.values():
            run([tarvex, "index", str(corpus), *common, "--store", store])
        measured: dict[str, list[tuple[float, float]]] = {name: [] for name in stores}
        answers: dict[str, list[object]] = {name: [] for name in stores}
        for round_number in range(args.rounds):
            query = QUERIES[round_number % len(QUERIES)]
            for name, store in stores.items():
                wall, peak, out = run([tarvex, "search", "--models-dir", str(corpus), *common, "--store", store,
                                       "--json", "--top-k", "10", query])
                measured[name].append((wall, peak))
                answers[name].append(json.loads(out))
    same = all([r["path"] for r in a] == [r["path"] for r in b] and
               max(abs(x["score"] - y["score"]) for x, y in zip(a, b)) <= 1e-6
               for a, b in zip(answers["sqlite"], answers["postgres"]))
    base = statistics.median(w for w, _ in measured["sqlite"])
    print(f"warm tarvex search, {args.count} generated descriptions, onnx, new process, {args.rounds} rounds")
    print(f"{'store':10} {'wall s':>8} {'peak MiB':>9} {'wall / sqlite':>14}")
    for name, runs in measured.items():
        wall = statistics.median(w for w, _ in runs)
        print(f"{name:10} {wall:8.3f} {max(p for _, p in runs):9.1f} {wall / base:14.2f}")
    print(f"same records (paths, order, scores within 1e-6): {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
