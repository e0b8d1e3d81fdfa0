"""How quickly the MCP server answers: start-up to the first answer, and each search call.

    .venv/bin/python benchmarks/run.py mcp_search [--backend onnx] [--starts 5] [--calls 200]

The server (`tarvex mcp`) runs as a subprocess on the shipped corpus and is
driven with the SDK's stdio client, as an agent host drives it.  Each run
uses a fresh index cache folder (so nothing another run left behind counts)
and the local model files; for the onnx backend the exported graph is linked
in from the user's cache (scripts/setup.sh exports it).

Measured, wall clock, medians over the runs:

* cold start: spawn to the answer of `initialize`, and to the first search
  answer, with an empty index (the server embeds the corpus at start);
* warm start: the same with the index already built (the usual case);
* search call: one `search_descriptions` round trip in a running server,
  queries cycled, against `DescriptionIndex.rank` in this process with the
  same backend, timed in the same run (the protocol's share is the ratio),
  and a `ping` round trip between searches (the protocol alone).
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
from graph_cache import link_built_graph

QUERIES = [
    "deliver parcels to customers with a fleet of vans",
    "schedule nurses across early, late and night shifts",
    "decide which warehouses to open to serve stores",
    "cut large glass sheets into ordered pieces with little waste",
    "plan production of several products over the coming months",
    "choose which projects to fund within a budget",
    "assign reviewers to conference papers",
    "charge electric vehicles overnight at lowest cost",
    "pack cartons into as few bins as possible",
    "balance a portfolio of investments against risk",
]


def hub_home() -> str:
    """Where the hub client finds the model (it follows XDG_CACHE_HOME, which the runs change)."""
    if home := os.environ.get("HF_HOME"):
        return home
    return str(Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "huggingface")


def fresh_cache(backend: str, model: str) -> tuple[Path, dict[str, str]]:
    """A new cache folder (with the built graph linked in for onnx) and the environment that selects it."""
    base = Path(tempfile.mkdtemp(prefix="tarvex-mcp-bench-"))
    if backend == "onnx":
        link_built_graph(base / "tarvex", model)
    env = {"XDG_CACHE_HOME": str(base), "HF_HOME": hub_home(), "HF_HUB_OFFLINE": "1"}
    return base, env


@contextlib.asynccontextmanager
async def session(env: dict[str, str], backend: str, model: str) -> AsyncIterator[ClientSession]:
    params = StdioServerParameters(
        command=sys.executable, args=["-m", "tarvex.cli", "mcp", "--backend", backend, "--model", model], env=env
    )
    with open(os.devnull, "w") as errlog:
        async with stdio_client(params, errlog=errlog) as (read, write):
            async with ClientSession(read, write) as client:
                yield client


async def start_to_first_answer(env: dict[str, str], backend: str, model: str) -> tuple[float, float]:
    started = time.perf_counter()
    async with session(env, backend, model) as client:
        await client.initialize()
        initialized = time.perf_counter() - started
        result = await client.call_tool("search_descriptions", {"query": QUERIES[0], "top_k": 10})
        answered = time.perf_counter() - started
        assert not result.is_error and len(result.structured_content["results"]) == 10
    return initialized, answered


async def search_calls(env: dict[str, str], backend: str, model: str, calls: int) -> tuple[list[float], list[float]]:
    """Round trips of search calls and, interleaved, of pings (the protocol's own cost)."""
    searches, pings = [], []
    async with session(env, backend, model) as client:
        await client.initialize()
        await client.list_tools()  # the client validates results against the listed schema
        for i in range(calls):
            started = time.perf_counter()
            result = await client.call_tool("search_descriptions", {"query": QUERIES[i % len(QUERIES)]})
            searches.append(time.perf_counter() - started)
            assert not result.is_error
            started = time.perf_counter()
            await client.send_ping()
            pings.append(time.perf_counter() - started)
    return searches, pings


def in_process_ranks(env: dict[str, str], backend: str, model: str, calls: int) -> list[float]:
    from tarvex import DescriptionIndex

    times = []
    with DescriptionIndex(None, model, backend=backend, cache_dir=Path(env["XDG_CACHE_HOME"]) / "tarvex") as index:
        index.refresh()
        index.rank(QUERIES[0], 10)
        for i in range(calls):
            started = time.perf_counter()
            index.rank(QUERIES[i % len(QUERIES)], 10)
            times.append(time.perf_counter() - started)
    return times


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--backend", choices=("onnx", "torch"), default="onnx")
    parser.add_argument("--model", default="sentence-transformers/all-MiniLM-L6-v2")
    parser.add_argument("--starts", type=int, default=5, help="server starts per case (default: 5)")
    parser.add_argument("--calls", type=int, default=200, help="search calls timed (default: 200)")
    options = parser.parse_args()

    cold, warm = [], []
    folders = []
    try:
        for _ in range(options.starts):
            folder, env = fresh_cache(options.backend, options.model)
            folders.append(folder)
            cold.append(anyio.run(start_to_first_answer, env, options.backend, options.model))
            warm.append(anyio.run(start_to_first_answer, env, options.backend, options.model))
        # Alternate the two sides in rounds, so that load drifting on a shared machine hits both alike.
        served, pinged, direct = [], [], []
        rounds = 4
        for _ in range(rounds):
            searches, pings = anyio.run(search_calls, env, options.backend, options.model, options.calls // rounds)
            served += searches
            pinged += pings
            direct += in_process_ranks(env, options.backend, options.model, options.calls // rounds)
    finally:
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)

    print(f"backend {options.backend}, shipped corpus (50 descriptions), {os.cpu_count()} cores, medians")
    print()
    print("| case | to `initialize` answer | to first search answer |")
    print("|---|---|---|")
    for name, runs in (("cold start (index embedded at start)", cold), ("warm start (index built)", warm)):
        print(f"| {name} | {ms(statistics.median(r[0] for r in runs))} | {ms(statistics.median(r[1] for r in runs))} |")
    print()
    print("| per search call (top 10) | median | p90 |")
    print("|---|---|---|")
    for name, times in (
        ("MCP round trip", served),
        ("`DescriptionIndex.rank` in process", direct),
        ("MCP `ping` round trip (protocol alone)", pinged),
    ):
        p90 = statistics.quantiles(times, n=10)[-1]
        print(f"| {name} | {ms(statistics.median(times))} | {ms(p90)} |")
    print(f"\nround trip / in-process rank: {statistics.median(served) / statistics.median(direct):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
