"""Benchmarks: the native `tarvex.rag_helper` against its plain-Python rendering.

Run from the repository root with the project's interpreter:

    .venv/bin/python benchmarks/run.py              # everything, writes benchmarks/results.md
    .venv/bin/python benchmarks/run.py --skip-real-model
    .venv/bin/python benchmarks/run.py --only B1,B3 --output /tmp/results.md

Both implementations run side by side in one process with the same CPython
(B5 and B6 in fresh child processes).  Times are medians over repeated runs,
the two implementations interleaved run by run so that drift hits both alike.
The ratio is native / Python: below 1 the native module is faster.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import gc
import importlib.util
import io
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
PLAIN_FILE = HERE / "plain_rag.py"
CORPUS_WORDS_DIR = REPO / "src" / "tarvex" / "zolt_models"

sys.path.insert(0, str(REPO / "tests"))
from standins import StandIns  # noqa: E402  (shared with the tests)
MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"

# Keep the source folder `tarvex/` (which has no built extension) from
# shadowing the installed package.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != REPO]

import tarvex.rag_helper as native  # noqa: E402


def load_plain():
    module_spec = importlib.util.spec_from_file_location("plain_rag", PLAIN_FILE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


plain = load_plain()
IMPLEMENTATIONS = {"native": native, "python": plain}


# ---------------------------------------------------------------------------
# Timing


# CPU time of this process: the machine may be shared, and waiting for a core
# is not work done by the code under test.  (B4 and B5 use wall time.)
CLOCK = time.process_time_ns


def time_loop(statement, namespace, number):
    """Seconds per execution of `statement`, run `number` times in one loop."""
    source = f"def _bench(_n):\n    for _ in range(_n):\n{textwrap.indent(statement, ' ' * 8)}\n"
    code = compile(source, "<bench>", "exec")
    scope = dict(namespace)
    exec(code, scope)
    bench = scope["_bench"]
    gc.collect()
    start = CLOCK()
    bench(number)
    return (CLOCK() - start) / 1e9 / number


def calibrate(statement, namespaces, budget):
    """A loop count that makes one timed run of the slower variant take about `budget` seconds."""
    number = 1
    while True:
        slowest = max(time_loop(statement, ns, number) for ns in namespaces)
        if slowest * number >= budget / 4 or number >= 10**7:
            break
        number *= 4
    return max(1, int(budget / max(slowest, 1e-9)))


class Timing(dict):
    """Median seconds per execution for each implementation, and the median
    of the native / Python ratios of runs made back to back (robust against
    load that drifts during the benchmark)."""

    ratio: float


def compare(statement, namespaces, repeat, budget=0.2):
    """Times `statement` for each implementation, the two interleaved run by run."""
    number = calibrate(statement, list(namespaces.values()), budget)
    samples = {name: [] for name in namespaces}
    names = list(namespaces)
    for run in range(repeat):
        for name in names if run % 2 == 0 else reversed(names):
            samples[name].append(time_loop(statement, namespaces[name], number))
    timing = Timing((name, statistics.median(values)) for name, values in samples.items())
    timing.ratio = statistics.median(n / p for n, p in zip(samples["native"], samples["python"]))
    return timing, number


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.0f} ns"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, case, native_value, python_value, ratio, target, met, note=""):
        self.rows.append((case, native_value, python_value, ratio, target, met, note))
        verdict = "" if met is None else ("met" if met else "MISSED")
        print(f"  {case:<58} {native_value:>12} {python_value:>12} {ratio:>7} {target:>10} {verdict:>6}", flush=True)

    def add_times(self, case, times, target_ratio=None, note=""):
        ratio = getattr(times, "ratio", times["native"] / times["python"])
        met = None if target_ratio is None else ratio <= target_ratio
        target = "" if target_ratio is None else f"≤ {target_ratio}"
        self.add(case, fmt_time(times["native"]), fmt_time(times["python"]), f"{ratio:.2f}", target, met, note)

    def markdown(self):
        lines = [
            "| case | native | Python | native / Python | target | met |",
            "|---|---:|---:|---:|---|---|",
        ]
        # Cases in their numbered order, whatever order they ran in.
        for case, n, p, ratio, target, met, note in sorted(self.rows, key=lambda row: row[0].split()[0]):
            verdict = "" if met is None else ("yes" if met else "**no**")
            lines.append(f"| {case}{' (' + note + ')' if note else ''} | {n} | {p} | {ratio} | {target} | {verdict} |")
        return "\n".join(lines)


# ---------------------------------------------------------------------------
# Stand-ins for the model package and torch


@contextlib.contextmanager
def constant_standins(scores):
    """The shared stand-ins, answering every call in constant time with these scores,
    with both implementations' model caches cleared around."""
    with StandIns(scores=scores, record=False).installed():
        for module in IMPLEMENTATIONS.values():
            module._load_model.cache_clear()
        try:
            yield
        finally:
            for module in IMPLEMENTATIONS.values():
                module._load_model.cache_clear()


# ---------------------------------------------------------------------------
# Corpora


def vocabulary():
    words = re.findall(r"[A-Za-z]+", " ".join(p.read_text("utf-8") for p in CORPUS_WORDS_DIR.rglob("*.txt")))
    return words or ["alpha", "beta", "gamma", "delta"]


def write_corpus(root, count, make_text, fanout=10):
    """`count` description files in two levels of folders below `root`."""
    files = []
    for k in range(count):
        folder = root / f"group_{k % fanout:02d}" / f"topic_{(k // fanout) % fanout:02d}"
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / f"description_{k:05d}.txt"
        path.write_text(make_text(k), encoding="utf-8")
        files.append(path)
    return files


def text_of_bytes(size, rnd, words):
    parts = []
    length = 0
    line = 0
    while length < size:
        word = rnd.choice(words)
        line += len(word) + 1
        parts.append(word)
        parts.append("\n" if line > 70 else " ")
        if line > 70:
            line = 0
        length += len(word) + 1
    return "".join(parts)[:size]


# ---------------------------------------------------------------------------
# B1: call overhead


class EmptyWalk:
    """A directory stand-in whose `rglob` is a builtin answering an empty list."""

    def __init__(self):
        self.rglob = {"*.txt": []}.get


class MemoryFile:
    """A path stand-in whose `open` answers an in-memory text stream."""

    def open(self, mode, encoding=None, errors=None):
        return io.StringIO("  a short description \n")


def bench_call_overhead(table, repeat):
    print("B1 call overhead (per call)")
    walk = EmptyWalk()
    cases = [
        ("`_iter_description_files(d)`, `d.rglob` answers []", "f(walk)", "_iter_description_files"),
        ("`_iter_description_files()`: count error", "try:\n    f()\nexcept TypeError:\n    pass",
         "_iter_description_files"),
        ("`_read_text(path, True)`: type error", "try:\n    f('x.txt', True)\nexcept TypeError:\n    pass",
         "_read_text"),
        ("`_read_text(p)`, `p.open` answers an in-memory stream", "f(memory_file)", "_read_text"),
        ("`_read_text(3.5)`: no `open`, answers ''", "f(3.5)", "_read_text"),
        ("`rank_problem_descriptions()`: count error", "try:\n    f()\nexcept TypeError:\n    pass",
         "rank_problem_descriptions"),
        ("`rank_problem_descriptions(None)`: type error",
         "try:\n    f(None)\nexcept TypeError:\n    pass", "rank_problem_descriptions"),
        ("`rank_problem_descriptions('q', top_k=True)`: type error",
         "try:\n    f('q', top_k=True)\nexcept TypeError:\n    pass", "rank_problem_descriptions"),
        ("`_load_model('m')`: cache hit", "f('m')", "_load_model"),
        ("`_load_model(5)`: miss, type error", "try:\n    f(5)\nexcept TypeError:\n    pass", "_load_model"),
    ]
    with constant_standins([]):
        for module in IMPLEMENTATIONS.values():
            module._load_model("m")
        ratios = []
        for label, statement, function in cases:
            namespaces = {name: {"f": getattr(module, function), "walk": walk, "memory_file": MemoryFile()}
                          for name, module in IMPLEMENTATIONS.items()}
            times, _ = compare(statement, namespaces, repeat)
            table.add_times("B1 " + label, times, 0.5)
            ratios.append(times.ratio)
        geo = statistics.geometric_mean(ratios)
        table.add("B1 geometric mean of the ratios above", "", "", f"{geo:.2f}", "≤ 0.5", geo <= 0.5)


# ---------------------------------------------------------------------------
# B2: listing and reading a corpus


def bench_corpus(table, repeat, workdir, count=5000, size=2048):
    print(f"B2 corpus: {count} files of {size} bytes")
    rnd = random.Random(2)
    words = vocabulary()
    root = workdir / "b2"
    files = write_corpus(root, count, lambda k: text_of_bytes(size, rnd, words))
    assert native._iter_description_files(root) == plain._iter_description_files(root) == sorted(files)
    namespaces = {name: {"m": module, "root": root, "files": files} for name, module in IMPLEMENTATIONS.items()}
    listing, _ = compare("m._iter_description_files(root)", namespaces, repeat, budget=0.5)
    table.add_times(f"B2 listing {count} files: `_iter_description_files`", listing, 0.95)
    reading, _ = compare("for p in files:\n    m._read_text(p)", namespaces, repeat, budget=0.5)
    table.add_times(f"B2 reading {count} files: `_read_text` each", reading, 0.95)
    both, _ = compare("for p in m._iter_description_files(root):\n    m._read_text(p)", namespaces, repeat,
                      budget=0.5)
    table.add_times("B2 listing and reading", both, 0.95)
    shutil.rmtree(root)


# ---------------------------------------------------------------------------
# B3: pipeline overhead with a constant-time model


def bench_pipeline(table, repeat, workdir, count=2000):
    print(f"B3 pipeline: {count} descriptions, constant-time model and torch")
    rnd = random.Random(3)
    words = vocabulary()
    root = workdir / "b3"
    texts = {}

    def make_text(k):
        text = text_of_bytes(rnd.randint(600, 1400), rnd, words)
        texts[k] = text
        return text

    files = write_corpus(root, count, make_text)
    scores = [rnd.random() for _ in range(count)]
    with constant_standins(scores):
        results = {name: module.rank_problem_descriptions("query", root, 10) for name, module in IMPLEMENTATIONS.items()}
        assert results["native"] == results["python"] and len(results["native"]) == 10
        namespaces = {name: {"f": module.rank_problem_descriptions, "root": root}
                      for name, module in IMPLEMENTATIONS.items()}
        times, _ = compare("f('query', root, 10)", namespaces, repeat, budget=0.5)
        table.add_times(f"B3 `rank_problem_descriptions` on {count} files, top_k=10", times, 0.9)

        # The same call with listing and reading answered from memory, through
        # the module globals that the pipeline looks up, so that only the
        # pipeline's own work remains (str paths keep the stand-ins builtin).
        names = [str(p) for p in files]
        by_name = {name: texts[k] for k, name in enumerate(names)}
        originals = {name: (m._iter_description_files, m._read_text) for name, m in IMPLEMENTATIONS.items()}
        try:
            for module in IMPLEMENTATIONS.values():
                module._iter_description_files = lambda models_dir: list(names)
                module._read_text = by_name.__getitem__
            results = {n: m.rank_problem_descriptions("query", root, 10) for n, m in IMPLEMENTATIONS.items()}
            assert results["native"] == results["python"]
            times, _ = compare("f('query', root, 10)", namespaces, repeat, budget=0.5)
            table.add_times("B3 same, listing and reading answered from memory", times, 0.9)
            times, _ = compare("f('query', root, 0)", namespaces, repeat, budget=0.5)
            table.add_times("B3 same, top_k=0 (all records returned)", times, 0.9)
        finally:
            for name, module in IMPLEMENTATIONS.items():
                module._iter_description_files, module._read_text = originals[name]
    shutil.rmtree(root)


# ---------------------------------------------------------------------------
# B4: the real model


def bench_real_model(table, runs, workdir, count=500):
    print(f"B4 real model: {count} descriptions of 100-300 words, {runs} runs per implementation")
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    rnd = random.Random(4)
    words = vocabulary()
    root = workdir / "b4"
    write_corpus(root, count, lambda k: " ".join(rnd.choice(words) for _ in range(rnd.randint(100, 300))))
    query = "assign vehicles to delivery routes so that every customer is served within its time window"

    encode_time = [0.0]

    def timed(encode):
        @functools.wraps(encode)
        def wrapper(*args, **kwargs):
            start = time.perf_counter()
            try:
                return encode(*args, **kwargs)
            finally:
                encode_time[0] += time.perf_counter() - start

        return wrapper

    started = time.perf_counter()
    for module in IMPLEMENTATIONS.values():
        model = module._load_model(MODEL_NAME)
        if model is None:
            raise SystemExit("B4: the default model could not be loaded (set HF_HUB_OFFLINE=1, place the model)")
        model.encode = timed(model.encode)
    print(f"  models loaded in {time.perf_counter() - started:.1f} s")

    # One small warm-up call each, so that one-time costs stay out of the runs.
    warm = workdir / "b4_warm"
    write_corpus(warm, 4, lambda k: " ".join(rnd.choice(words) for _ in range(50)))
    for module in IMPLEMENTATIONS.values():
        module.rank_problem_descriptions(query, warm)

    totals = {name: [] for name in IMPLEMENTATIONS}
    encodes = {name: [] for name in IMPLEMENTATIONS}
    results = {}
    names = list(IMPLEMENTATIONS)
    for run in range(runs):
        for name in names if run % 2 == 0 else reversed(names):
            encode_time[0] = 0.0
            gc.collect()
            start = time.perf_counter()
            results[name] = IMPLEMENTATIONS[name].rank_problem_descriptions(query, root, 10)
            totals[name].append(time.perf_counter() - start)
            encodes[name].append(encode_time[0])
            print(f"  {name} run {run + 1}: total {totals[name][-1]:.2f} s, encode {encodes[name][-1]:.2f} s, "
                  f"rest {1e3 * (totals[name][-1] - encodes[name][-1]):.1f} ms", flush=True)
    assert [r["path"] for r in results["native"]] == [r["path"] for r in results["python"]]

    medians = {name: statistics.median(totals[name]) for name in names}
    table.add_times(f"B4 `rank_problem_descriptions`, {count} descriptions, real model: total", medians)
    medians_encode = {name: statistics.median(encodes[name]) for name in names}
    table.add_times("B4 the two `encode` calls alone (same runs)", medians_encode)
    overhead = {name: statistics.median(t - e for t, e in zip(totals[name], encodes[name])) for name in names}
    table.add_times("B4 everything but `encode` (same runs)", overhead)
    shares = {name: max(overhead[name] / medians[name], 0.0) for name in names}
    table.add("B4 share of the total that is not `encode`", f"{shares['native'] * 100:.3f} %",
              f"{shares['python'] * 100:.3f} %", "", "≤ 2 %", shares["native"] <= 0.02)

    # The part that is not `encode`, repeatably: the same call with real torch
    # tensors, the model answering with embeddings computed once.
    import torch

    doc_embs = IMPLEMENTATIONS["native"]._load_model(MODEL_NAME).encode(
        ["placeholder"] * count, convert_to_tensor=True, normalize_embeddings=True, show_progress_bar=False)
    query_emb = IMPLEMENTATIONS["native"]._load_model(MODEL_NAME).encode(
        [query], convert_to_tensor=True, normalize_embeddings=True, show_progress_bar=False)

    class Precomputed:
        def encode(self, batch, **kwargs):
            return doc_embs if len(batch) == count else query_emb

    precomputed = Precomputed()
    originals = {name: module._load_model for name, module in IMPLEMENTATIONS.items()}
    try:
        for module in IMPLEMENTATIONS.values():
            module._load_model = lambda model_name: precomputed
        namespaces = {name: {"f": module.rank_problem_descriptions, "root": root, "query": query}
                      for name, module in IMPLEMENTATIONS.items()}
        times, _ = compare("f(query, root, 10)", namespaces, 11, budget=0.3)
        table.add_times("B4 everything but `encode`, repeatable: real torch, embeddings computed once", times)
        share = times["native"] / (times["native"] + medians_encode["native"])
        table.add("B4 share of the total that is not `encode`, from the repeatable row",
                  f"{share * 100:.3f} %", "", "", "≤ 2 %", share <= 0.02)
    finally:
        for name, module in IMPLEMENTATIONS.items():
            module._load_model = originals[name]
        del torch
    shutil.rmtree(root)
    shutil.rmtree(warm)


# ---------------------------------------------------------------------------
# B5: import cost


IMPORT_CHILD = """
import sys, time, json, importlib.util
import logging, functools, pathlib, typing
which = sys.argv[1]
start = time.perf_counter_ns()
if which == "native":
    import tarvex
    package = time.perf_counter_ns()
    import tarvex.rag_helper
elif which == "python":
    package = start
    module_spec = importlib.util.spec_from_file_location("plain_rag", sys.argv[2])
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
end = time.perf_counter_ns()
heavy = sorted(m for m in ("torch", "sentence_transformers") if m in sys.modules)
print(json.dumps({"total": end - start, "package": package - start, "heavy": heavy}))
"""

PROCESS_CHILDREN = {
    "stdlib": "import logging, sys, functools, pathlib, typing",
    "native": "import logging, sys, functools, pathlib, typing; import tarvex.rag_helper",
}


def child_env():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    # Imports from cached bytecode, as an installed program would have it.
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def bench_import(table, repeat, workdir):
    print(f"B5 import in fresh processes ({repeat} processes each)")
    env = child_env()

    def in_process(which):
        done = subprocess.run([sys.executable, "-P", "-c", IMPORT_CHILD, which, str(PLAIN_FILE)],
                              capture_output=True, text=True, cwd=workdir, env=env, check=True)
        return json.loads(done.stdout)

    in_process("native")  # first runs write the bytecode caches
    in_process("python")
    samples = {"native": [], "python": []}
    package = []
    heavy = set()
    for run in range(repeat):
        for which in ("native", "python") if run % 2 == 0 else ("python", "native"):
            outcome = in_process(which)
            samples[which].append(outcome["total"] / 1e9)
            if which == "native":
                package.append(outcome["package"] / 1e9)
            heavy.update(outcome["heavy"])
    times = {name: statistics.median(values) for name, values in samples.items()}
    table.add(
        "B5 `import tarvex.rag_helper` after its stdlib collaborators, timed in process",
        fmt_time(times["native"]), fmt_time(times["python"]), f"{times['native'] / times['python']:.2f}",
        "≤ 1 ms", times["native"] <= 1e-3, note="Python column: importing plain_rag.py",
    )
    extension = statistics.median(t - p for t, p in zip(samples["native"], package))
    table.add("B5 of which the package `tarvex` (its `__init__`)", fmt_time(statistics.median(package)), "", "",
              "", None)
    table.add("B5 of which the extension module itself", fmt_time(extension), "", "", "", None)

    walls = {name: [] for name in PROCESS_CHILDREN}
    for run in range(2 * repeat):
        for name, code in PROCESS_CHILDREN.items():
            start = time.perf_counter()
            subprocess.run([sys.executable, "-P", "-c", code], cwd=workdir, env=env, check=True)
            walls[name].append(time.perf_counter() - start)
    wall = {name: statistics.median(values) for name, values in walls.items()}
    extra = wall["native"] - wall["stdlib"]
    table.add(
        "B5 whole process: `import tarvex.rag_helper` vs the stdlib collaborators alone",
        fmt_time(wall["native"]), fmt_time(wall["stdlib"]), f"{extra * 1e3:+.2f} ms", "", None,
        note="Python column: stdlib only; process start-up noise is several ms",
    )
    table.add("B5 torch or sentence_transformers in sys.modules after the import", ", ".join(heavy) or "none",
              "", "", "none", not heavy)


# ---------------------------------------------------------------------------
# B6: memory of bounded reads


MEMORY_CHILD = """
import sys, json, resource, tracemalloc, importlib.util
from pathlib import Path
which, plain_file = sys.argv[1], sys.argv[2]
files = [Path(p) for p in sys.argv[3:]]
if which == "native":
    import tarvex.rag_helper as module
else:
    module_spec = importlib.util.spec_from_file_location("plain_rag", plain_file)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
module._read_text(files[0])  # warm up: first-use allocations stay out of the numbers
module._read_text(files[-1])
rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
tracemalloc.start()
peaks = []
for path in files:
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    text = module._read_text(path)
    peaks.append(tracemalloc.get_traced_memory()[1] - base)
    del text
tracemalloc.stop()
for path in files:
    module._read_text(path)
rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"peaks": peaks, "rss_growth_kb": rss_after - rss_before}))
"""


def bench_memory(table, workdir, count=20, size=50 * 1024 * 1024):
    print(f"B6 memory: _read_text on {count} files of {size // (1024 * 1024)} MB")
    root = workdir / "b6"
    root.mkdir()
    rnd = random.Random(6)
    words = vocabulary()
    kinds = {"ASCII": lambda: text_of_bytes(4096, rnd, words),
             "CJK (2 bytes per character in memory)": lambda: "中文字符描述问题" * 170 + "\n",
             "emoji (4 bytes per character in memory)": lambda: "🙂😀🚚📦" * 340 + "\n"}
    layout = ["ASCII"] * (count - 4) + ["CJK (2 bytes per character in memory)"] * 2 + \
             ["emoji (4 bytes per character in memory)"] * 2
    files = []
    for k, kind in enumerate(layout):
        block = kinds[kind]().encode("utf-8")
        path = root / f"huge_{k:02d}.txt"
        with open(path, "wb") as stream:
            repeats = size // len(block) + 1
            stream.write((block * repeats)[:size])
        files.append(path)
    outcomes = {}
    for which in IMPLEMENTATIONS:
        done = subprocess.run([sys.executable, "-P", "-c", MEMORY_CHILD, which, str(PLAIN_FILE), *map(str, files)],
                              capture_output=True, text=True, cwd=workdir, env=child_env(), check=True)
        outcomes[which] = json.loads(done.stdout)
    for kind in kinds:
        picks = [k for k, name in enumerate(layout) if name == kind]
        peak = {which: max(outcomes[which]["peaks"][k] for k in picks) for which in IMPLEMENTATIONS}
        table.add(
            f"B6 peak traced memory per `_read_text` call, 50 MB files, {kind}",
            f"{peak['native'] / 1024:.0f} KB", f"{peak['python'] / 1024:.0f} KB",
            f"{peak['native'] / peak['python']:.2f}", "few 100 KB" if kind == "ASCII" else "",
            peak["native"] <= 512 * 1024 if kind == "ASCII" else None,
        )
    table.add(
        f"B6 growth of the process's peak RSS over {count} calls",
        f"{outcomes['native']['rss_growth_kb']} KB", f"{outcomes['python']['rss_growth_kb']} KB", "", "", None,
    )
    shutil.rmtree(root)


# ---------------------------------------------------------------------------


def machine_description():
    model = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        import torch  # noqa: F401  (version only; imported after the import benchmarks)

        torch_version = sys.modules["torch"].__version__
    except Exception:
        torch_version = "not importable"
    return (f"{os.cpu_count()} cores, CPU model \"{model}\", {platform.system()} {platform.release()}, "
            f"CPython {platform.python_version()}, torch {torch_version}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="B1,B2,B3,B4,B5,B6", help="comma-separated cases, e.g. B1,B3")
    parser.add_argument("--repeat", type=int, default=11, help="timed runs per case and implementation (>= 5)")
    parser.add_argument("--b4-runs", type=int, default=3, help="runs of the real-model case per implementation")
    parser.add_argument("--skip-real-model", action="store_true", help="leave out B4")
    parser.add_argument("--output", default=str(HERE / "results.md"))
    args = parser.parse_args()
    if args.repeat < 5:
        parser.error("--repeat must be at least 5")
    only = {item.strip().upper() for item in args.only.split(",")}
    if args.skip_real_model:
        only.discard("B4")

    table = Table()
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="tarvex-bench-") as scratch:
        workdir = Path(scratch)
        if "B5" in only:
            bench_import(table, max(args.repeat, 15), workdir)
        if "B1" in only:
            bench_call_overhead(table, args.repeat)
        if "B2" in only:
            bench_corpus(table, args.repeat, workdir)
        if "B3" in only:
            bench_pipeline(table, args.repeat, workdir)
        if "B6" in only:
            bench_memory(table, workdir)
        if "B4" in only:
            bench_real_model(table, args.b4_runs, workdir)
    elapsed = time.perf_counter() - started

    report = [
        "# Benchmark results",
        "",
        f"Machine: {machine_description()}.",
        f"Command: `{' '.join(['.venv/bin/python', 'benchmarks/run.py', *sys.argv[1:]])}` ({elapsed:.0f} s).",
        f"B1–B3: medians of {args.repeat} interleaved runs of CPU time, ratio = median of the native / Python "
        f"ratios of back-to-back runs. B4: {args.b4_runs} runs per implementation, wall time. "
        f"B5: {max(args.repeat, 15)} fresh processes per variant (whole-process wall time: twice as many). "
        "Ratio below 1: the native module is faster.",
        "",
        table.markdown(),
        "",
    ]
    Path(args.output).write_text("\n".join(report), encoding="utf-8")
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
