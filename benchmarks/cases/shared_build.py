"""Several `tarvex index` processes started at once on one empty cache: how much they embed between them.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py shared_build [--processes 5] [--rounds 3]
        [--compare OTHER/bin/tarvex] [--backend onnx]

Each round gives every command a fresh cache folder (the exported ONNX graph
linked in from the user's cache, no index database), starts `--processes`
copies of `tarvex index` on the shipped corpus at the same moment, and waits
for all of them.  Reported per command: the texts embedded summed over the
processes (each prints its own count) and the wall time from the start to the
last exit, medians over the rounds.  With `--compare`, another build's
`tarvex` runs in the same rounds, interleaved, so that the machine's load
falls on both alike.
"""

from __future__ import annotations

import argparse
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from graph_cache import link_built_graph

HERE_TARVEX = str(Path(sys.executable).with_name("tarvex"))
EMBEDDED = re.compile(r"; (\d+) embedded")


def fresh_cache(backend: str) -> Path:
    """A new cache folder; for onnx with the built graph of the default model linked in."""
    from tarvex._defaults import DEFAULT_MODEL

    base = Path(tempfile.mkdtemp(prefix="tarvex-shared-build-"))
    if backend == "onnx":
        link_built_graph(base, DEFAULT_MODEL)
    return base


def one_round(tarvex: str, processes: int, backend: str) -> tuple[int, float]:
    """(texts embedded by all processes together, wall seconds until the last one ended)."""
    cache = fresh_cache(backend)
    try:
        command = [tarvex, "index", "--backend", backend, "--cache-dir", str(cache)]
        started = time.perf_counter()
        runs = [subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for _ in range(processes)]
        outputs = [run.communicate(timeout=1800) for run in runs]
        wall = time.perf_counter() - started
        total = 0
        for run, (out, err) in zip(runs, outputs):
            found = EMBEDDED.search(out)
            if run.returncode != 0 or found is None:
                sys.exit(f"{tarvex} failed ({run.returncode}): {err.strip()}")
            total += int(found.group(1))
        return total, wall
    finally:
        shutil.rmtree(cache, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--backend", choices=("onnx", "torch"), default="onnx")
    parser.add_argument("--compare", metavar="TARVEX", help="another build's tarvex command, measured alongside")
    options = parser.parse_args()
    commands = {"this build": HERE_TARVEX}
    if options.compare:
        commands = {"compared": options.compare, **commands}
    results: dict[str, list[tuple[int, float]]] = {name: [] for name in commands}
    for _ in range(options.rounds):
        for name, tarvex in commands.items():
            results[name].append(one_round(tarvex, options.processes, options.backend))
    print(f"{options.processes} processes at once, shipped corpus, {options.backend}, "
          f"medians of {options.rounds} rounds")
    print("| command | texts embedded (all processes) | wall to the last exit |")
    print("| --- | --- | --- |")
    for name, rounds in results.items():
        embedded = statistics.median(total for total, _ in rounds)
        wall = statistics.median(wall for _, wall in rounds)
        print(f"| {name} ({commands[name]}) | {embedded:g} | {wall:.2f} s |")
        print(f"|   rounds | {[total for total, _ in rounds]} | {[round(wall, 2) for _, wall in rounds]} |")


if __name__ == "__main__":
    main()
