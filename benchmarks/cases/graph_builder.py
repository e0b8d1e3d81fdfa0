"""The ONNX graph builder (`tarvex.graph_builder`) on the default model.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py graph_builder [--rounds 3] [--compare GRAPH]

- build: `build_graph` in fresh processes that never import torch (checked),
  wall time of the build (reading the weights, assembling, writing, the check
  run with ONNX Runtime), the process's peak memory, the graph's size;
- agreement: the largest difference of a token-embedding coordinate between
  the graph and torch's forward pass (transformers' `AutoModel`), over the
  unmasked tokens of the shipped corpus texts cut at the model's 256 tokens,
  in batches of 8;
- open: making the ONNX Runtime session and embedding one query, as a cold
  search does (the built graph reads its weights from the model's own file);
- speed: one warm `encode` of the shipped corpus through `OnnxEmbedder`.

With `--compare GRAPH` (for instance a graph that holds its own copy of the
weights, as earlier versions built) that graph gets the same agreement, open
and speed rows, run interleaved with the built one, and the table gives
built / compared ratios.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from tarvex import embedding, model_files, onnx_backend, rag_helper

MODEL = embedding.DEFAULT_MODEL
FOLDER = model_files.locate_model(MODEL)
WEIGHTS = model_files.weight_files(FOLDER) if FOLDER else []
BUILD = """
import json, resource, sys, time
from pathlib import Path
started = time.perf_counter()
from tarvex import embedding, graph_builder, model_files
folder = model_files.locate_model(embedding.DEFAULT_MODEL)
graph_builder.build_graph(folder, Path(sys.argv[1]), model_files.weight_files(folder))
seconds = time.perf_counter() - started
print(json.dumps({"seconds": seconds, "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "torch": any(name.split(".")[0] in ("torch", "transformers") for name in sys.modules)}))
"""


def build_once(target: Path) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", BUILD, str(target)], capture_output=True, text=True, check=True)
    result: dict[str, float] = json.loads(done.stdout)
    if result["torch"]:
        raise SystemExit("the build imported torch or transformers")
    return result


def shipped_texts() -> list[str]:
    root = Path(rag_helper.__file__).parent / "zolt_models"
    return [text for text in (rag_helper._read_text(path) for path in rag_helper._iter_description_files(root)) if text]


def largest_difference(graphs: dict[str, Path], texts: list[str]) -> dict[str, float]:
    import torch
    from transformers import AutoModel, AutoTokenizer

    model = AutoModel.from_pretrained(str(FOLDER), local_files_only=True).eval()
    tokenizer = AutoTokenizer.from_pretrained(str(FOLDER), local_files_only=True)  # type: ignore[no-untyped-call]
    sessions = {name: onnx_backend.open_session(path, WEIGHTS) for name, path in graphs.items()}
    largest = dict.fromkeys(graphs, 0.0)
    for start in range(0, len(texts), 8):
        batch = tokenizer(texts[start:start + 8], padding=True, truncation=True, max_length=256, return_tensors="pt")
        with torch.no_grad():
            expected = model(**batch).last_hidden_state.numpy()
        feeds = {name: value.numpy() for name, value in batch.items()}
        unmasked = feeds["attention_mask"][:, :, None] > 0
        for name, session in sessions.items():
            (got,) = session.run(None, {item.name: feeds[item.name] for item in session.get_inputs()})
            largest[name] = max(largest[name], float(np.abs(np.where(unmasked, got - expected, 0)).max()))
    return largest


OPEN = """
import json, sys, time
from pathlib import Path
started = time.perf_counter()
from tarvex import embedding, model_files, onnx_backend
folder = model_files.locate_model(embedding.DEFAULT_MODEL)
embedder = onnx_backend.OnnxEmbedder(embedding.DEFAULT_MODEL, model_files.ModelLayout.read(folder), Path(sys.argv[1]), "-",
                                     model_files.weight_files(folder))
embedder.encode(["schedule nurses across the shifts of a hospital week"])
print(json.dumps(time.perf_counter() - started))
"""


def open_times(graphs: dict[str, Path], rounds: int) -> dict[str, list[float]]:
    """Fresh processes, interleaved: import, open the graph, embed one query."""
    times: dict[str, list[float]] = {name: [] for name in graphs}
    for _ in range(rounds):
        for name, path in graphs.items():
            done = subprocess.run([sys.executable, "-c", OPEN, str(path)], capture_output=True, text=True, check=True)
            times[name].append(json.loads(done.stdout))
    return times


def encode_times(graphs: dict[str, Path], texts: list[str], rounds: int) -> dict[str, list[float]]:
    layout = model_files.ModelLayout.read(FOLDER)
    embedders = {name: onnx_backend.OnnxEmbedder(MODEL, layout, path, "-", WEIGHTS) for name, path in graphs.items()}
    times: dict[str, list[float]] = {name: [] for name in graphs}
    for embedder in embedders.values():
        embedder.encode(texts)  # warm
    for _ in range(rounds):
        for name, embedder in embedders.items():
            started = time.perf_counter()
            embedder.encode(texts)
            times[name].append(time.perf_counter() - started)
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3, help="builds, and encode rounds times 3 (default 3)")
    parser.add_argument("--compare", type=Path, metavar="GRAPH", help="another graph of the same model")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tarvex-graph-") as tmp:
        built = Path(tmp) / "built.onnx"
        builds = [build_once(built) for _ in range(args.rounds)]
        graphs = {"built": built} | ({"compared": args.compare} if args.compare else {})
        texts = shipped_texts()
        differences = largest_difference(graphs, texts)
        times = encode_times(graphs, texts, 3 * args.rounds)
        opens = open_times(graphs, 3 * args.rounds)
        lines = ["| graph | build (no torch) | build peak memory | size | largest difference to torch "
                 f"| open and embed one query (fresh process) | warm encode of {len(texts)} texts |",
                 "|---|---|---|---|---|---|---|"]
        for name, path in graphs.items():
            build = (f"{statistics.median(b['seconds'] for b in builds):.2f} s (median of {len(builds)})",
                     f"{max(b['peak_mib'] for b in builds):.0f} MiB") if name == "built" else ("-", "-")
            lines.append(f"| {name} | {build[0]} | {build[1]} | {path.stat().st_size:,} B | {differences[name]:.2e} "
                         f"| {statistics.median(opens[name]) * 1000:.0f} ms "
                         f"| {statistics.median(times[name]) * 1000:.0f} ms |")
        if args.compare:
            ratios = [a / b for a, b in zip(times["built"], times["compared"], strict=True)]
            lines.append(f"\nwarm encode, built / compared: median of {len(ratios)} interleaved rounds "
                         f"{statistics.median(ratios):.2f}")
            ratios = [a / b for a, b in zip(opens["built"], opens["compared"], strict=True)]
            lines.append(f"open and embed one query, built / compared: median of {len(ratios)} interleaved "
                         f"rounds {statistics.median(ratios):.2f}")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
