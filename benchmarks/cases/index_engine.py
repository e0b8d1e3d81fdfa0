"""Benchmark of the description index's native engine, side by side in one run.

    .venv/bin/python benchmarks/run.py index_engine                 # 100,000 files, 100,000 x 384 vectors
    .venv/bin/python benchmarks/run.py index_engine --files 20000 --rows 20000 --repeat 5

Cases (medians of wall time, and of the process's CPU time over all its
threads; the ratio is the median of the engine / baseline wall-time ratios
of runs made back to back, so that load drifting during the run hits both
alike; below 1 the engine is faster):

* scan: `Scanner.scan()` of an unchanged corpus of generated files (the
  whole change check: walk, stat of every file, comparison with the
  remembered metadata) against `_iter_description_files` on it (the walk
  alone, no metadata);
* top-k: `top_k(vectors, query, 10)` against numpy's `vectors @ query` with
  `argpartition` then `argsort` of the best ten, and all rows ordered
  (`top_k(..., 0)`) against a stable `argsort`.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
# Keep the source folder from shadowing the installed package.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != REPO]

from tarvex._index_engine import Scanner, top_k  # noqa: E402
from tarvex.rag_helper import _iter_description_files  # noqa: E402


def generate_corpus(root: Path, count: int) -> None:
    """count description files, 100 to a folder, two folder levels deep."""
    for i in range(count):
        folder = root / f"group{i // 10_000:02d}" / f"set{i // 100:04d}"
        if i % 100 == 0:
            folder.mkdir(parents=True)
        (folder / f"problem{i:06d}.txt").write_text(f"Problem {i}: minimise the cost of plan {i % 977}.\n")


def timed(call) -> tuple[float, float]:
    """Wall time and CPU time of the process (all threads) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - wall, time.process_time() - cpu


def side_by_side(engine, baseline, repeat: int) -> list[str]:
    """Table cells: medians of wall times and their per-run ratio, then of CPU times."""
    runs = []
    for run in range(repeat):
        # Alternate who goes first so that neither always runs on a warmer cache.
        if run % 2:
            b = timed(baseline)
            e = timed(engine)
        else:
            e = timed(engine)
            b = timed(baseline)
        runs.append((e, b))
    median = statistics.median
    return [ms(median(e[0] for e, _ in runs)), ms(median(b[0] for _, b in runs)),
            f"{median(e[0] / b[0] for e, b in runs):.3f}",
            ms(median(e[1] for e, _ in runs)), ms(median(b[1] for _, b in runs))]


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def bench_scan(files: int, repeat: int, keep: Path | None) -> list[list[str]]:
    base = keep or Path(tempfile.mkdtemp(prefix="tarvex-bench-"))
    root = base / f"corpus{files}"
    try:
        if not root.exists():
            start = time.perf_counter()
            generate_corpus(root, files)
            print(f"generated {files} files in {time.perf_counter() - start:.1f} s", file=sys.stderr)
        scanner = Scanner(str(root))
        first_wall, first_cpu = timed(scanner.scan)
        listing = scanner.scan()[0]
        assert len(listing) == files and listing == [str(p) for p in _iter_description_files(root)]
        cells = side_by_side(scanner.scan, lambda: _iter_description_files(root), repeat)
        return [
            [f"first scan of {files} files (everything stale)", ms(first_wall), "", "", ms(first_cpu), ""],
            [f"scan of {files} unchanged files vs `_iter_description_files`", *cells],
        ]
    finally:
        if keep is None:
            shutil.rmtree(base)


def bench_top_k(rows: int, dim: int, repeat: int) -> list[list[str]]:
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((rows, dim), dtype=np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    query = vectors[123] + rng.standard_normal(dim, dtype=np.float32) * 0.05
    query /= np.linalg.norm(query)

    def numpy_best(k: int) -> np.ndarray:
        scores = vectors @ query
        best = np.argpartition(-scores, k)[:k]
        return best[np.argsort(-scores[best], kind="stable")]

    def numpy_all() -> np.ndarray:
        return np.argsort(-(vectors @ query), kind="stable")

    assert [row for row, _ in top_k(vectors, query, 10)] == numpy_best(10).tolist()
    results = []
    for label, engine, baseline in [
        ("top 10", lambda: top_k(vectors, query, 10), lambda: numpy_best(10)),
        ("all rows ordered", lambda: top_k(vectors, query, 0), numpy_all),
    ]:
        results.append([f"{label} of {rows} x {dim} float32 vs numpy", *side_by_side(engine, baseline, repeat)])
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=100_000, help="files in the generated corpus")
    parser.add_argument("--rows", type=int, default=100_000, help="stored vectors for top-k")
    parser.add_argument("--dim", type=int, default=384, help="dimension of the vectors")
    parser.add_argument("--repeat", type=int, default=11, help="runs per case and implementation")
    parser.add_argument("--keep-corpus", type=Path, metavar="DIR",
                        help="generate the corpus in DIR and keep it there for the next run")
    args = parser.parse_args(argv)

    rows = bench_scan(args.files, args.repeat, args.keep_corpus) + bench_top_k(args.rows, args.dim, args.repeat)
    print(f"CPython {sys.version.split()[0]}, numpy {np.__version__}, {os.cpu_count()} cores; "
          f"medians of {args.repeat} runs\n")
    print("| case | engine wall | baseline wall | engine / baseline | engine CPU | baseline CPU |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
