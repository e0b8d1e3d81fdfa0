"""How soon the MCP server answers on a large corpus with an empty cache, two builds side by side.

    .venv/bin/python benchmarks/run.py mcp_start --before DIR [--count 2000] [--backend onnx]
                                                  [--starts 2] [--calls 40]

DIR holds another build of the `tarvex` package (a copy of an installed one,
say); its server runs with DIR first on PYTHONPATH, this environment's
otherwise.  Both serve the same generated corpus (index_rank's generator,
`--count` descriptions) with the local model files, each start with a new,
empty index cache folder (for onnx the exported graph is linked in), the two
builds alternating so that load drifting on a shared machine hits both alike.

Measured, wall clock, medians over the starts: spawn to the answer of
`initialize`, of `tools/list`, and of the first search (which waits for the
index to be built); then one `search_descriptions` round trip in the running
server, queries cycled (the search latency after the build).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import AsyncIterator
from pathlib import Path

import anyio
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client

from index_rank import age, generated_texts, write_corpus
from mcp_search import QUERIES, fresh_cache


@contextlib.asynccontextmanager
async def session(env: dict[str, str], backend: str, corpus: Path) -> AsyncIterator[ClientSession]:
    params = StdioServerParameters(
        command=sys.executable,
        args=["-m", "tarvex.cli", "mcp", "--models-dir", str(corpus), "--backend", backend], env=env,
    )
    with open(os.devnull, "w") as errlog:
        async with stdio_client(params, errlog=errlog) as (read, write):
            async with ClientSession(read, write) as client:
                yield client


async def one_start(env: dict[str, str], backend: str, corpus: Path, calls: int) -> tuple[list[float], list[float]]:
    """([to initialize, to tools/list, to first search], search round trips after the build)."""
    started = time.perf_counter()
    marks, searches = [], []
    async with session(env, backend, corpus) as client:
        await client.initialize()
        marks.append(time.perf_counter() - started)
        await client.list_tools()
        marks.append(time.perf_counter() - started)
        result = await client.call_tool("search_descriptions", {"query": QUERIES[0], "top_k": 10})
        marks.append(time.perf_counter() - started)
        assert not result.is_error and len(result.structured_content["results"]) == 10, result.content
        for i in range(calls):
            begun = time.perf_counter()
            result = await client.call_tool("search_descriptions", {"query": QUERIES[i % len(QUERIES)]})
            searches.append(time.perf_counter() - begun)
            assert not result.is_error
    return marks, searches


def seconds(value: float) -> str:
    return f"{value:.2f} s" if value >= 1 else f"{value * 1000:.0f} ms"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--before", required=True, type=Path, help="a folder holding the other build's tarvex package")
    parser.add_argument("--count", type=int, default=2000, help="generated descriptions (default: 2000)")
    parser.add_argument("--backend", choices=("onnx", "torch"), default="onnx")
    parser.add_argument("--model", default="sentence-transformers/all-MiniLM-L6-v2")
    parser.add_argument("--starts", type=int, default=2, help="starts of each build (default: 2)")
    parser.add_argument("--calls", type=int, default=40, help="search calls timed per start (default: 40)")
    options = parser.parse_args()
    if not (options.before / "tarvex" / "__init__.py").is_file():
        parser.error(f"no tarvex package in {options.before}")

    work = Path(tempfile.mkdtemp(prefix="tarvex-mcp-start-"))
    folders = []
    results: dict[str, tuple[list[list[float]], list[float]]] = {"before": ([], []), "after": ([], [])}
    try:
        corpus = work / "corpus"
        age(write_corpus(corpus, generated_texts(options.count)))
        for _ in range(options.starts):
            for side in ("before", "after"):
                folder, env = fresh_cache(options.backend, options.model)
                folders.append(folder)
                if side == "before":
                    env["PYTHONPATH"] = str(options.before.resolve())
                marks, searches = anyio.run(one_start, env, options.backend, corpus, options.calls)
                results[side][0].append(marks)
                results[side][1].extend(searches)
                print(f"{side}: " + ", ".join(seconds(m) for m in marks), file=sys.stderr, flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)

    print(f"backend {options.backend}, {options.count} generated descriptions, empty cache at each start, "
          f"{os.cpu_count()} cores, medians of {options.starts} starts")
    print()
    print("| build | to `initialize` answer | to `tools/list` answer | to first search answer | "
          "search round trip after the build (median, p90) |")
    print("|---|---|---|---|---|")
    for side, (marks, searches) in results.items():
        firsts = [seconds(statistics.median(m[i] for m in marks)) for i in range(3)]
        p90 = statistics.quantiles(searches, n=10)[-1] if len(searches) > 1 else searches[0]
        print(f"| {side} | {' | '.join(firsts)} | {seconds(statistics.median(searches))}, {seconds(p90)} |")
    before, after = (statistics.median(m[0] for m in results[side][0]) for side in ("before", "after"))
    print(f"\nto `initialize`: after / before = {after / before:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
