"""A first build on Ray against one process: wall time, texts/s, overhead, scaling, peak memory.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py ray_build [--texts 2000 20000] [--walk-files 100000]

For each corpus size, a corpus of generated descriptions (words of the shipped
ones, 100 to 600 bytes each) is indexed from scratch, into a fresh SQLite
store, by `tarvex index --json` run as:

* one process, ONNX Runtime with 1 thread, and with 2 threads (the default);
* `--ray --ray-actors 1` and `--ray --ray-actors 2` (each actor one thread),
  on the local Ray the command starts (its start-up is counted).

Reported per run: the wall time of the command, texts/s, the driver's CPU
time, the driver's peak RSS and the largest peak RSS of any actor (sampled
every 0.1 s over the command's process tree).  The ratios are taken within one
run: Ray with 1 actor over one process with 1 thread (the overhead), Ray with
2 actors over 2 threads, and 1 actor over 2 actors (the scaling).

`--walk-files N` also times what the driver does before any text is embedded
(walk, stat, read, hash, record the files, ask the store which texts lack a
vector) on N generated files, just written (so in the page cache): the rate at
which one driver can feed a cluster.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import psutil
from corpora import text_of_bytes, vocabulary, write_corpus
from graph_cache import link_built_graph

TARVEX = str(Path(sys.executable).with_name("tarvex"))
MODES = {
    "one process, 1 thread": ([], {"TARVEX_THREADS": "1"}),
    "one process, 2 threads": ([], {"TARVEX_THREADS": "2"}),
    "Ray, 1 actor": (["--ray", "--ray-actors", "1"], {}),
    "Ray, 2 actors": (["--ray", "--ray-actors", "2"], {}),
}


def make_corpus(root: Path, count: int, seed: int = 17) -> None:
    rnd = random.Random(seed)
    words = vocabulary()
    write_corpus(root, count, lambda k: f"Problem {k}. " + text_of_bytes(rnd.randint(100, 600), rnd, words))


class PeakSampler:
    """Peak RSS of a process and of the Ray actors among its descendants, sampled in a thread."""

    def __init__(self, pid: int) -> None:
        self.root = psutil.Process(pid)
        self.driver = 0
        self.actors: dict[int, int] = {}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self) -> None:
        while not self.stop.is_set():
            try:
                self.driver = max(self.driver, self.root.memory_info().rss)
                for child in self.root.children(recursive=True):
                    try:
                        if "MapWorker" in " ".join(child.cmdline()):
                            self.actors[child.pid] = max(self.actors.get(child.pid, 0), child.memory_info().rss)
                    except psutil.Error:
                        pass
            except psutil.Error:
                return
            time.sleep(0.1)

    def finish(self) -> tuple[int, int]:
        self.stop.set()
        self.thread.join()
        return self.driver, max(self.actors.values(), default=0)


def one_run(corpus: Path, cache: Path, mode: str) -> dict[str, float]:
    extra, env = MODES[mode]
    store = Path(tempfile.mkdtemp(prefix="tarvex-ray-bench-")) / "store.sqlite3"
    command = [TARVEX, "index", str(corpus), "--backend", "onnx", "--cache-dir", str(cache), "--store", str(store),
               "--json", *extra]
    try:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env={**os.environ, "HF_HUB_OFFLINE": "1", **env})
        sampler = PeakSampler(process.pid)
        out, err = process.communicate(timeout=7200)
        wall = time.perf_counter() - started
        driver_peak, actor_peak = sampler.finish()
        if process.returncode != 0:
            sys.exit(f"{' '.join(command)} failed ({process.returncode}): {err.strip()}")
        figures = json.loads(out)
        cpu = resource.getrusage(resource.RUSAGE_CHILDREN)
        return {"wall": wall, "embedded": figures["embedded"], "driver_peak": driver_peak, "actor_peak": actor_peak,
                "children_cpu": cpu.ru_utime + cpu.ru_stime}
    finally:
        shutil.rmtree(store.parent, ignore_errors=True)


def mib(size: float) -> str:
    return f"{size / 2**20:.0f} MiB" if size else "–"


def bench_size(count: int, cache: Path) -> list[str]:
    root = Path(tempfile.mkdtemp(prefix="tarvex-ray-corpus-"))
    try:
        make_corpus(root, count)
        results = {}
        before = 0.0
        for mode in MODES:
            result = one_run(root, cache, mode)
            # CPU of the children waited for so far: this run's share is the growth (the driver, not Ray's
            # processes, which are not waited for by this process).
            result["driver_cpu"], before = result["children_cpu"] - before, result["children_cpu"]
            results[mode] = result
            print(f"  {count} texts, {mode}: {result['wall']:.1f} s", file=sys.stderr, flush=True)
        lines = [f"### {count:,} generated descriptions", "",
                 "| run | wall | texts/s | driver CPU | driver peak RSS | actor peak RSS |",
                 "| --- | --- | --- | --- | --- | --- |"]
        for mode, r in results.items():
            lines.append(f"| {mode} | {r['wall']:.1f} s | {count / r['wall']:.1f} | {r['driver_cpu']:.1f} s | "
                         f"{mib(r['driver_peak'])} | {mib(r['actor_peak'])} |")
        w = {mode: r["wall"] for mode, r in results.items()}
        lines += ["", f"- Ray overhead, 1 actor / one process with 1 thread: "
                      f"{w['Ray, 1 actor'] / w['one process, 1 thread']:.2f}x",
                  f"- Ray overhead, 2 actors / one process with 2 threads: "
                  f"{w['Ray, 2 actors'] / w['one process, 2 threads']:.2f}x",
                  f"- scaling, 1 actor / 2 actors: {w['Ray, 1 actor'] / w['Ray, 2 actors']:.2f}x", ""]
        return lines
    finally:
        shutil.rmtree(root, ignore_errors=True)


class _Reached(Exception):
    pass


def bench_walk(files: int, cache: Path) -> list[str]:
    """Time the driver's work before the first text is embedded, on a fresh store."""
    import tarvex
    from tarvex._defaults import DEFAULT_MODEL
    from tarvex.embedding import open_embedder

    root = Path(tempfile.mkdtemp(prefix="tarvex-ray-walk-"))
    try:
        make_corpus(root, files, seed=29)
        size = sum(p.stat().st_size for p in root.rglob("*.txt"))
        started = time.perf_counter()
        open_embedder(DEFAULT_MODEL, "onnx", cache)
        opening = time.perf_counter() - started
        reached: dict[str, float] = {}

        def probe(store, identity_id, embedder, items, progress=None):
            reached["at"], reached["texts"] = time.perf_counter(), len(items)
            raise _Reached

        started = time.perf_counter()
        with tarvex.DescriptionIndex(root, DEFAULT_MODEL, backend="onnx", cache_dir=cache,
                                     store=root.parent / f"{root.name}.sqlite3", fill=probe) as index:
            try:
                index.refresh()
            except _Reached:
                pass
        before_fill = reached["at"] - started - opening
        return [f"### The driver's walk, read and hash: {files:,} files ({size / 2**20:.0f} MiB)", "",
                f"- walk, stat, read, hash, record and look up: {before_fill:.1f} s "
                f"({files / before_fill:,.0f} files/s), {reached['texts']:,} texts handed to the fill",
                f"- opening the embedder (left out above): {opening:.1f} s", ""]
    finally:
        shutil.rmtree(root, ignore_errors=True)
        Path(f"{root}.sqlite3").unlink(missing_ok=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", type=int, nargs="*", default=[2000, 20000])
    parser.add_argument("--walk-files", type=int, default=100000, help="0: leave the walk out")
    options = parser.parse_args()
    from tarvex._defaults import DEFAULT_MODEL

    cache = Path(tempfile.mkdtemp(prefix="tarvex-ray-cache-"))
    try:
        link_built_graph(cache, DEFAULT_MODEL)
        lines = [f"{os.cpu_count()} cores; every run a fresh SQLite store; wall includes starting Ray", ""]
        for count in options.texts:
            lines += bench_size(count, cache)
        if options.walk_files:
            lines += bench_walk(options.walk_files, cache)
        print("\n".join(lines))
    finally:
        shutil.rmtree(cache, ignore_errors=True)


if __name__ == "__main__":
    main()
