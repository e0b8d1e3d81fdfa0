"""Peak memory and wall time of a first `tarvex index` build, one or more installs side by side.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py index_memory [--count 2000] [--rounds 2]
        [--compare NAME=PATH/TO/tarvex ...]

The corpus is the 2,000 generated descriptions of `index_rank.py`.  Every run
is a new process, `tarvex index DIR --backend onnx --cache-dir EMPTY`: the
cache folder is new and empty but for the built graph and its record (linked
from the user's cache, so no run builds it), so every text is embedded.  The installs
take turns, round by round, so that the machine's load falls on all alike.
Peak memory is the process's largest resident size (`ru_maxrss` from
`wait4`); wall and CPU time (user + system, all threads) are medians over the
rounds, with their ratios to the first install's (on a machine shared with
other work, CPU time is the steadier figure).  `--compare other=/path/to/other/.venv/bin/tarvex` adds another
install's command (for instance the code before a change).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def run(command: list[str]) -> tuple[float, float, float]:
    """(wall seconds, CPU seconds, peak resident MiB) of one run in a new process."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    error = process.stderr.read().decode(errors="replace") if process.stderr else ""
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(command)} failed: {error}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2000, help="generated descriptions (default: 2000)")
    parser.add_argument("--rounds", type=int, default=2, help="builds per install (default: 2)")
    parser.add_argument("--compare", action="append", default=[], metavar="NAME=COMMAND",
                        help="another install's tarvex command to build with")
    args = parser.parse_args()
    os.environ.setdefault("HF_HUB_OFFLINE", "1")

    sys.path.insert(0, str(HERE))
    from graph_cache import place
    from index_rank import generated_texts, write_corpus

    from tarvex import embedding

    from tarvex import model_files, onnx_graph

    home = embedding.default_cache_dir()
    _, graph, _ = onnx_graph.prepare_graph(model_files.resolve_model(embedding.DEFAULT_MODEL, home), home, export=True)
    installs = {"this": str(Path(sys.executable).parent / "tarvex")}
    for item in args.compare:
        name, _, command = item.partition("=")
        installs[name] = command

    measured: dict[str, list[tuple[float, float, float]]] = {name: [] for name in installs}
    with tempfile.TemporaryDirectory(prefix="tarvex-memory-") as work:
        corpus = Path(work) / "corpus"
        write_corpus(corpus, generated_texts(args.count))
        for round_number in range(args.rounds):
            for name, command in installs.items():
                cache = Path(work) / f"cache-{name}-{round_number}"
                (cache / onnx_graph.GRAPH_FOLDER).mkdir(parents=True)
                for built in (graph, graph.with_name(graph.name + ".json")):  # the graph and its record
                    place(built, cache / onnx_graph.GRAPH_FOLDER / built.name)
                measured[name].append(run([command, "index", str(corpus), "--backend", "onnx",
                                           "--cache-dir", str(cache)]))
                shutil.rmtree(cache)

    first = next(iter(installs))
    base_wall = statistics.median(w for w, _, _ in measured[first])
    base_cpu = statistics.median(c for _, c, _ in measured[first])
    print(f"first build of {args.count} generated descriptions, onnx, new process, {args.rounds} rounds")
    print(f"{'install':10} {'wall s':>8} {'CPU s':>8} {'peak MiB':>9} {'wall ratio':>11} {'CPU ratio':>10}"
          f"  runs (wall s, CPU s, peak MiB)")
    for name, runs in measured.items():
        wall = statistics.median(w for w, _, _ in runs)
        cpu = statistics.median(c for _, c, _ in runs)
        peak = max(p for _, _, p in runs)
        each = ", ".join(f"({w:.1f}, {c:.1f}, {p:.0f})" for w, c, p in runs)
        print(f"{name:10} {wall:8.2f} {cpu:8.2f} {peak:9.1f} {wall / base_wall:11.3f} {cpu / base_cpu:10.3f}  {each}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
