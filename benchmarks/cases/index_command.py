"""The `tarvex search` command from a new process, against the reference command
and a bare ONNX Runtime process, and one query `encode` in process per backend.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py index_command [--rounds N] [--reference-rounds N]

Every command runs in a new process on the shipped corpus; the rounds are
interleaved so that the machine's load falls on all of them alike.  The index
is built first (with each backend), so `tarvex search` only checks the corpus
for changes, embeds the query and ranks.  Wall time is the median over the
rounds; peak memory is the largest resident size of the process (its
`ru_maxrss`).  Targets: search with onnx under 0.4 s and 230 MiB.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

QUERY = "deliver parcels to customers with a fleet of vans"
BIN = Path(sys.executable).parent
HERE = Path(__file__).resolve().parent


def run(command: list[str]) -> tuple[float, float]:
    """(wall seconds, peak resident MiB) of one run of command in a new process."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    error = process.stderr.read().decode(errors="replace") if process.stderr else ""
    if process.returncode != 0:
        raise SystemExit(f"{command[0]} failed ({process.returncode}): {error}")
    return wall, usage.ru_maxrss / 1024


def in_process_encode(rounds: int) -> dict[str, float]:
    """Median seconds of one query encode, per backend, in this process."""
    from tarvex.embedding import DEFAULT_MODEL, open_embedder

    result = {}
    for backend in ("onnx", "torch"):
        embedder = open_embedder(DEFAULT_MODEL, backend)
        embedder.encode([QUERY])  # first call warms the backend up
        times = []
        for _ in range(rounds):
            started = time.perf_counter()
            embedder.encode([QUERY])
            times.append(time.perf_counter() - started)
        result[backend] = statistics.median(times)
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7, help="runs of each quick command (default: 7)")
    parser.add_argument("--reference-rounds", type=int, default=2,
                        help="runs of the reference command, which takes seconds (default: 2)")
    args = parser.parse_args()
    os.environ.setdefault("HF_HUB_OFFLINE", "1")

    from tarvex import embedding, model_files, onnx_graph

    folder = model_files.locate_model(embedding.DEFAULT_MODEL)
    if folder is None:
        raise SystemExit("the model is not in the local cache: run scripts/setup.sh")
    home = embedding.default_cache_dir()
    _, graph, _ = onnx_graph.prepare_graph(model_files.resolve_model(embedding.DEFAULT_MODEL, home), home, export=True)
    tarvex = str(BIN / "tarvex")
    for backend in ("onnx", "torch"):
        subprocess.run([tarvex, "index", "--backend", backend], check=True, stdout=subprocess.DEVNULL)

    cases = {
        "tarvex search (onnx)": [tarvex, "search", "--backend", "onnx", QUERY],
        "bare ONNX Runtime query": [sys.executable, str(HERE.parent / "children" / "onnx_bare_query.py"), str(graph),
                                    str(folder / "tokenizer.json"), str(folder / "model.safetensors"), QUERY],
        "tarvex search (torch)": [tarvex, "search", "--backend", "torch", QUERY],
        "tarvex-rag": [str(BIN / "tarvex-rag"), QUERY],
    }
    measured: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
    for round_number in range(args.rounds):
        for name, command in cases.items():
            if name == "tarvex-rag" and round_number >= args.reference_rounds:
                continue
            measured[name].append(run(command))

    base_wall = statistics.median(w for w, _ in measured["tarvex search (onnx)"])
    base_peak = max(p for _, p in measured["tarvex search (onnx)"])
    print(f"{'new process, shipped corpus':30} {'runs':>4} {'wall s':>8} {'peak MiB':>9} {'wall/search':>12} "
          f"{'peak/search':>12}")
    for name, runs in measured.items():
        wall = statistics.median(w for w, _ in runs)
        peak = max(p for _, p in runs)
        print(f"{name:30} {len(runs):4d} {wall:8.3f} {peak:9.1f} {wall / base_wall:12.2f} {peak / base_peak:12.2f}")

    encode = in_process_encode(args.rounds * 3)
    print()
    print(f"{'in process, one query encode':30} {'ms':>8} {'/ onnx':>8}")
    for backend, seconds in encode.items():
        print(f"{backend:30} {seconds * 1000:8.2f} {seconds / encode['onnx']:8.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
