"""Benchmarks of the description index (`tarvex.DescriptionIndex`), side by side in one run.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py index_rank [--backends torch,onnx]
        [--skip-reference] [--large 100000] [--output FILE]

Rows (times are medians; ratios compare figures measured in this run):

- I1  warm `rank` on the shipped corpus, per backend, against one query `encode`
      of the same backend, and against `rank_problem_descriptions` (torch);
- I2  2,000 generated descriptions: the first build against one `encode` of
      all their texts, then warm `rank` against one query `encode` and against
      `rank_problem_descriptions`;
- I3  100,000 generated descriptions embedded by a fast stand-in model: warm
      `rank` including the change check, and the `rank` after editing 10 files
      against that check plus one `encode` of the 10 new texts;
- I4  1,000 generated descriptions (stand-in model) dated a year in the future,
      which no scan can trust and so reads again every call: warm `rank`
      against the same corpus with ordinary timestamps, and the rows those
      warm calls wrote to the store (none expected: no text changed).

Each index is built in a temporary cache folder; the ONNX backend borrows the
exported graph from the user's cache (`tarvex index --backend onnx` makes it)
and is skipped without it.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import os
import random
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(REPO))
from testsupport.standins import StandIns  # noqa: E402  (shared with the tests)

sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != REPO]

import numpy as np  # noqa: E402

import tarvex  # noqa: E402
from graph_cache import graph_ready  # noqa: E402

from tarvex import embedding, model_files, onnx_graph  # noqa: E402
from tarvex.rag_helper import _iter_description_files, _read_text, rank_problem_descriptions  # noqa: E402

MODEL = "sentence-transformers/all-MiniLM-L6-v2"
SHIPPED = Path(tarvex.__file__).resolve().parent / "zolt_models"
QUERIES = ["deliver parcels to customers with a fleet of vans", "schedule nurses across shifts",
           "choose where to open new warehouses", "cut glass sheets with little waste"]


def median_time(call: Callable[[], object], runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def interleaved(calls: dict[str, Callable[[], object]], runs: int) -> dict[str, float]:
    """Median time of each call, the calls taking turns so that drift hits all alike."""
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(runs):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms" if seconds < 1 else f"{seconds:.2f} s"


def generated_texts(count: int, seed: int = 7) -> list[str]:
    """Variants of the shipped descriptions: sentences of two or three of them, numbered."""
    sentences = [s.strip() + "." for p in _iter_description_files(SHIPPED)
                 for s in _read_text(p).replace("\n", " ").split(".") if s.strip()]
    rnd = random.Random(seed)
    return [f"Variant {k}. " + " ".join(rnd.sample(sentences, rnd.randint(4, 9))) for k in range(count)]


def write_corpus(root: Path, texts: list[str]) -> list[Path]:
    paths = []
    for k, text in enumerate(texts):
        path = root / f"{k // 1000:03}" / f"d{k:06}.txt"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
        paths.append(path)
    return paths


def age(paths: list[Path]) -> None:
    """Backdate the files past the window in which fresh metadata is not trusted."""
    old = time.time() - 3600
    for path in paths:
        os.utime(path, (old, old))
    time.sleep(3.5)  # the change times stay recent; they must fall behind the scan's window


def cache_for(backend: str, workdir: Path, name: str) -> Path:
    cache = workdir / f"cache-{name}-{backend}"
    cache.mkdir()
    if backend == "onnx":
        (cache / onnx_graph.GRAPH_FOLDER).symlink_to(embedding.default_cache_dir() / onnx_graph.GRAPH_FOLDER)
        digests = embedding.default_cache_dir() / model_files.DIGEST_CACHE_FILE
        if digests.exists():
            shutil.copy(digests, cache / model_files.DIGEST_CACHE_FILE)
    return cache


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, ...]] = []

    def add(self, *row: str) -> None:
        self.rows.append(row)
        print(" | ".join(row), flush=True)

    def markdown(self) -> str:
        head = ("case", "index", "compared with", "value", "ratio", "target")
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines) + "\n"


def bench_real(table: Table, backends: list[str], workdir: Path, skip_reference: bool, count: int,
               build_rounds: int) -> None:
    reference_shipped = None
    if not skip_reference and "torch" in backends:
        rank_problem_descriptions(QUERIES[0], SHIPPED, 10, MODEL)  # model load, warm-up
        reference_shipped = median_time(lambda: rank_problem_descriptions(QUERIES[0], SHIPPED, 10, MODEL), 3)
    variants = workdir / "variants"
    texts = generated_texts(count)
    age(write_corpus(variants, texts))
    reference_variants = None
    for backend in backends:
        with tarvex.DescriptionIndex(SHIPPED, MODEL, backend=backend, cache_dir=cache_for(backend, workdir, "shipped")) as ix:
            ix.rank(QUERIES[0])
            encoder = ix._embedder
            assert encoder is not None and encoder.identity[2] == backend
            got = interleaved({"rank": lambda: ix.rank(QUERIES[1]), "encode": lambda: encoder.encode([QUERIES[1]])}, 40)
            table.add("I1 shipped corpus (50), warm rank", backend, f"one query encode ({ms(got['encode'])})", ms(got["rank"]),
                      f"{got['rank'] / got['encode']:.2f}", "<= 2x" + (", < 10 ms" if backend == "onnx" else ""))
            if reference_shipped is not None:
                table.add("I1 shipped corpus (50), warm rank", backend,
                          f"rank_problem_descriptions ({ms(reference_shipped)})", ms(got["rank"]),
                          f"{got['rank'] / reference_shipped:.4f}", "")
        encoder = embedding.open_embedder(MODEL, backend, cache_for(backend, workdir, "encoder"))
        encoder.encode(texts[:8])  # warm-up
        builds, encodes = [], []
        for round_ in range(build_rounds):  # alternating, so that load from elsewhere hits both alike
            start = time.perf_counter()
            encoder.encode(texts)
            encodes.append(time.perf_counter() - start)
            cache = cache_for(backend, workdir, f"variants{round_}")
            with tarvex.DescriptionIndex(variants, MODEL, backend=backend, cache_dir=cache) as ix:
                start = time.perf_counter()
                stats = ix.refresh()
                builds.append(time.perf_counter() - start)
        if build_rounds:
            table.add(f"I2 first build of {count}", backend, f"one encode of all texts ({ms(min(encodes))}; "
                      f"best of {build_rounds})", ms(min(builds)), f"{min(builds) / min(encodes):.3f}", "<= 1.10")
        else:  # build once, untimed, for the warm rows
            cache = cache_for(backend, workdir, "variants")
            with tarvex.DescriptionIndex(variants, MODEL, backend=backend, cache_dir=cache) as ix:
                stats = ix.refresh()
        with tarvex.DescriptionIndex(variants, MODEL, backend=backend, cache_dir=cache) as ix:
            assert stats.embedded == len(set(texts))
            ix.rank(QUERIES[0])
            got = interleaved({"rank": lambda: ix.rank(QUERIES[2]), "encode": lambda: encoder.encode([QUERIES[2]])}, 40)
            table.add(f"I2 {count} descriptions, warm rank", backend, f"one query encode ({ms(got['encode'])})",
                      ms(got["rank"]),
                      f"{got['rank'] / got['encode']:.2f}", "< 20 ms")
            if backend == "torch" and not skip_reference:
                if reference_variants is None:
                    reference_variants = median_time(lambda: rank_problem_descriptions(QUERIES[2], variants, 10, MODEL), 1)
                table.add(f"I2 {count} descriptions, warm rank", backend,
                          f"rank_problem_descriptions ({ms(reference_variants)})", ms(got["rank"]),
                          f"{got['rank'] / reference_variants:.5f}", "")


def fast_vector(text: str, width: int = 384) -> list[float]:
    seed = int.from_bytes(hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).digest(), "little")
    vector = np.random.default_rng(seed).standard_normal(width, dtype=np.float32)
    return (vector / np.linalg.norm(vector)).tolist()


def bench_large(table: Table, workdir: Path, count: int) -> None:
    root = workdir / "large"
    texts = [f"description {k}: " + " ".join(f"w{(k * 7919 + j) % 5003}" for j in range(30)) for k in range(count)]
    paths = write_corpus(root, texts)
    age(paths)
    stand_ins = StandIns(fast_vector, record=False)
    with stand_ins.installed(), tarvex.DescriptionIndex(root, "stand-in-model", backend="torch",
                                                        cache_dir=workdir / "cache-large") as ix:
        start = time.perf_counter()
        ix.refresh()
        table.add(f"I3 first build of {count} (stand-in model)", "torch", "", ms(time.perf_counter() - start), "", "")
        ix.rank("q")
        warm = median_time(lambda: ix.rank("q"), 20)
        table.add(f"I3 {count} descriptions, warm rank with change check", "torch", "", ms(warm), "", "< 200 ms")
        encoder = ix._embedder
        assert encoder is not None
        rnd = random.Random(3)
        after, encodes = [], []
        for round_ in range(5):
            edited = rnd.sample(range(count), 10)
            new_texts = [f"edited {round_} {k} " + texts[k] for k in edited]
            for k, text in zip(edited, new_texts):
                paths[k].write_text(text, encoding="utf-8")
            start = time.perf_counter()
            ix.rank("q")
            after.append(time.perf_counter() - start)
            encodes.append(median_time(lambda: encoder.encode(new_texts), 3))
        after_edit, encode10 = statistics.median(after), statistics.median(encodes)
        table.add(f"I3 {count} descriptions, rank after editing 10 files", "torch",
                  f"warm rank + one encode of the 10 texts ({ms(warm + encode10)})", ms(after_edit),
                  f"{after_edit / (warm + encode10):.2f}", "about 1")


def bench_future(table: Table, workdir: Path, count: int) -> None:
    texts = [f"description {k}: " + " ".join(f"w{(k * 7919 + j) % 5003}" for j in range(30)) for k in range(count)]
    future = time.time_ns() + 365 * 24 * 3600 * 10**9
    corpora = {}
    for name in ("ordinary", "future"):
        paths = write_corpus(workdir / f"dated-{name}", texts)
        if name == "future":
            for path in paths:
                os.utime(path, ns=(future, future))
        corpora[name] = paths
    age(corpora["ordinary"])  # leaves the future dates alone: utime only on the ordinary ones
    stand_ins = StandIns(fast_vector, record=False)
    with contextlib.ExitStack() as stack:
        stack.enter_context(stand_ins.installed())
        indexes = {name: stack.enter_context(tarvex.DescriptionIndex(
            workdir / f"dated-{name}", "stand-in-model", backend="torch", cache_dir=workdir / f"cache-dated-{name}"))
            for name in corpora}
        for ix in indexes.values():
            ix.rank("q")
        store = indexes["future"]._store  # rows it inserts, replaces or deletes
        assert store is not None
        before = store._connection.total_changes
        times = interleaved({name: (lambda ix=ix: ix.rank("q")) for name, ix in indexes.items()}, 20)
        written = store._connection.total_changes - before
    table.add(f"I4 {count} descriptions dated in the future, warm rank", "torch",
              f"the same with ordinary dates ({ms(times['ordinary'])})", ms(times["future"]),
              f"{times['future'] / times['ordinary']:.2f}", "")
    table.add(f"I4 rows written by 20 warm ranks of the future-dated {count}", "torch", "", str(written), "", "0")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--backends", default="torch,onnx", help="comma-separated backends (default: torch,onnx)")
    parser.add_argument("--skip-reference", action="store_true", help="do not time rank_problem_descriptions")
    parser.add_argument("--variants", type=int, default=2000, help="generated descriptions for I2 (default 2000)")
    parser.add_argument("--build-rounds", type=int, default=2, help="first builds timed per backend (default 2; 0: build once, untimed)")
    parser.add_argument("--large", type=int, default=100_000, help="generated descriptions for I3 (default 100000)")
    parser.add_argument("--future", type=int, default=1000, help="generated descriptions for I4 (default 1000)")
    parser.add_argument("--skip-real-model", action="store_true", help="run I3 and I4 only")
    parser.add_argument("--output", type=Path, help="also write the table as markdown to this file")
    args = parser.parse_args()
    backends = [b for b in args.backends.split(",") if b]
    if "onnx" in backends and not graph_ready(MODEL):
        print("onnx: no exported graph in the user's cache (run 'tarvex index --backend onnx'); skipped")
        backends.remove("onnx")
    table = Table()
    with tempfile.TemporaryDirectory(prefix="tarvex-index-bench-") as tmp:
        workdir = Path(tmp)
        if not args.skip_real_model:
            bench_real(table, backends, workdir, args.skip_reference, args.variants, args.build_rounds)
        bench_large(table, workdir, args.large)
        bench_future(table, workdir, args.future)
    if args.output:
        args.output.write_text(table.markdown(), encoding="utf-8")
    print()
    print(table.markdown())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
