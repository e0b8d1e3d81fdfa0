"""The MCP server over HTTP under load: many SDK clients at once, against stdio round trips.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py mcp_http_load [--clients 50] [--calls 100]
        [--count 2000] [--backend onnx] [--skip-replicas]

One `tarvex mcp --http 127.0.0.1:PORT` serves generated descriptions (index_rank's
generator), its index built beforehand by `tarvex index`.  `--clients` SDK clients
(`streamable_http_client`), each in its own session, make `--calls` searches each, all
at once; reported: latency p50/p99 per call, throughput, errors, and the server's RSS
after a warm-up and after the load.  In the same run, one client alone makes the same
searches over HTTP and over stdio (`tarvex mcp`), for the ratios.

Two replicas: one PostgreSQL store (testsupport/postgres_server.py, loopback only), one
`tarvex index` writer, two `tarvex mcp --http --stateless` replicas on it; the same load
spread over both, every answer compared with the single server's for the same query.

Every loop is bounded by its count and by --timeout seconds; traffic goes to 127.0.0.1 only.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

import anyio
import httpx2
from mcp import ClientSession
from mcp.client.streamable_http import streamable_http_client

from index_rank import age, generated_texts, write_corpus
from mcp_search import QUERIES, fresh_cache, session as stdio_session

LISTENING = re.compile(r"listening on (http://\S+/mcp)")


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


@contextlib.contextmanager
def http_server(arguments: list[str], env: dict[str, str], log: Path, timeout: float) -> Iterator[tuple[int, str]]:
    """A `tarvex mcp --http` child on a free loopback port, ready to answer; (pid, url)."""
    command = [sys.executable, "-m", "tarvex.cli", "mcp", "--http", "127.0.0.1:0", *arguments]
    with open(log, "w") as errors:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors,
                                   env={**os.environ, **env})
    try:
        deadline = time.monotonic() + timeout
        while not (found := LISTENING.search(log.read_text(errors="replace"))):
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the server did not start: {log.read_text()[-2000:]}")
            time.sleep(0.05)
        url = found.group(1)
        with httpx2.Client(trust_env=False, timeout=10) as http:
            while http.get(url.removesuffix("/mcp") + "/health").status_code != 200:
                if time.monotonic() > deadline:
                    raise RuntimeError("the index did not become ready")
                time.sleep(0.1)
        yield process.pid, url
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


async def one_client(url: str, calls: int, offset: int, times: list[float], answers: dict[str, list[str]],
                     errors: list[str]) -> None:
    try:
        async with httpx2.AsyncClient(trust_env=False, timeout=httpx2.Timeout(60, read=120)) as http:
            async with streamable_http_client(url, http_client=http) as (read, write):
                async with ClientSession(read, write) as client:
                    await client.initialize()
                    await client.list_tools()
                    for i in range(calls):
                        query = QUERIES[(offset + i) % len(QUERIES)]
                        started = time.perf_counter()
                        result = await client.call_tool("search_descriptions", {"query": query})
                        times.append(time.perf_counter() - started)
                        if result.is_error:
                            errors.append(result.content[0].text)
                        else:
                            answers.setdefault(query, []).append(
                                repr([r["path"] for r in result.structured_content["results"]]))
    except Exception as exc:  # counted, not raised: the report says how many
        errors.append(f"{type(exc).__name__}: {exc}")


async def load(urls: list[str], clients: int, calls: int, timeout: float) -> tuple[list[float], float, dict, list]:
    times: list[float] = []
    answers: dict[str, list[str]] = {}
    errors: list[str] = []
    started = time.perf_counter()
    with anyio.fail_after(timeout):
        async with anyio.create_task_group() as tasks:
            for k in range(clients):
                tasks.start_soon(one_client, urls[k % len(urls)], calls, k, times, answers, errors)
    return times, time.perf_counter() - started, answers, errors


async def stdio_round_trips(env: dict[str, str], backend: str, model: str, corpus: Path, calls: int) -> list[float]:
    times = []
    async with stdio_session(env, backend, model) as client:  # the shipped corpus unless told otherwise
        await client.initialize()
        await client.list_tools()
        await client.call_tool("search_descriptions", {"query": QUERIES[-1]})  # warm-up, as the HTTP server had
        for i in range(calls):
            started = time.perf_counter()
            result = await client.call_tool("search_descriptions", {"query": QUERIES[i % len(QUERIES)]})
            times.append(time.perf_counter() - started)
            assert not result.is_error
    return times


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def p(times: list[float], q: int) -> float:
    return statistics.quantiles(times, n=100)[q - 1] if len(times) > 1 else times[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--calls", type=int, default=100, help="searches per client (default: 100)")
    parser.add_argument("--count", type=int, default=2000, help="generated descriptions (default: 2000)")
    parser.add_argument("--backend", choices=("onnx", "torch"), default="onnx")
    parser.add_argument("--model", default="sentence-transformers/all-MiniLM-L6-v2")
    parser.add_argument("--timeout", type=float, default=1200, help="bound of each phase, seconds")
    parser.add_argument("--skip-replicas", action="store_true")
    parser.add_argument("--rounds", type=int, default=3,
                        help="times the load is run against the one server, its RSS taken after each (default: 3)")
    options = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="tarvex-http-load-"))
    cache, env = fresh_cache(options.backend, options.model)
    common = ["--models-dir", str(work / "corpus"), "--backend", options.backend, "--model", options.model]
    try:
        age(write_corpus(work / "corpus", generated_texts(options.count)))
        subprocess.run([sys.executable, "-m", "tarvex.cli", "index", str(work / "corpus"), "--backend",
                        options.backend, "--model", options.model], env={**os.environ, **env}, check=True,
                       timeout=options.timeout, stdout=subprocess.DEVNULL)
        env["TARVEX_CORPUS"] = str(work / "corpus")  # the stdio server's corpus
        with http_server(common, env, work / "single.log", options.timeout) as (pid, url):
            anyio.run(load, [url], 2, 10, options.timeout)  # warm-up
            rss_before = rss_kib(pid)
            times, wall, single_answers, errors = [], 0.0, {}, []
            rss_after: list[int] = []
            for _ in range(max(1, options.rounds)):
                round_times, round_wall, round_answers, round_errors = anyio.run(
                    load, [url], options.clients, options.calls, options.timeout)
                times += round_times
                wall += round_wall
                errors += round_errors
                for query, found in round_answers.items():
                    single_answers.setdefault(query, []).extend(found)
                rss_after.append(rss_kib(pid))
            alone, _, _, alone_errors = anyio.run(load, [url], 1, options.calls, options.timeout)
        stdio = anyio.run(stdio_round_trips, env, options.backend, options.model, work / "corpus", options.calls)
        access_lines = (work / "single.log").read_text().count(" POST /mcp ")

        replica = None
        if not options.skip_replicas:
            from testsupport.postgres_server import postgres_server

            with postgres_server() as database:
                store = ["--store", database.url(), "--corpus-name", "load"]
                subprocess.run([sys.executable, "-m", "tarvex.cli", "index", str(work / "corpus"), "--backend",
                                options.backend, "--model", options.model, *store], env={**os.environ, **env},
                               check=True, timeout=options.timeout, stdout=subprocess.DEVNULL)
                with (http_server([*common, *store, "--stateless"], env, work / "a.log", options.timeout) as (_, a),
                      http_server([*common, *store, "--stateless"], env, work / "b.log", options.timeout) as (_, b)):
                    replica = anyio.run(load, [a, b], options.clients, options.calls, options.timeout)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(cache, ignore_errors=True)

    print(f"backend {options.backend}, {options.count} generated descriptions, {os.cpu_count()} cores, "
          f"{options.clients} clients x {options.calls} searches (top 10), 127.0.0.1")
    print()
    print("| case | p50 | p99 | throughput | errors |")
    print("|---|---|---|---|---|")
    print(f"| HTTP, {options.clients} clients at once, one server | {ms(p(times, 50))} | {ms(p(times, 99))} | "
          f"{len(times) / wall:.0f} searches/s | {len(errors)} |")
    if replica is not None:
        r_times, r_wall, r_answers, r_errors = replica
        print(f"| HTTP, {options.clients} clients at once, two stateless replicas on PostgreSQL | "
              f"{ms(p(r_times, 50))} | {ms(p(r_times, 99))} | {len(r_times) / r_wall:.0f} searches/s | "
              f"{len(r_errors)} |")
    print(f"| HTTP, one client alone | {ms(p(alone, 50))} | {ms(p(alone, 99))} | "
          f"{len(alone) / sum(alone):.0f} searches/s | {len(alone_errors)} |")
    print(f"| stdio, one client alone (same run) | {ms(p(stdio, 50))} | {ms(p(stdio, 99))} | "
          f"{len(stdio) / sum(stdio):.0f} searches/s | 0 |")
    print()
    print(f"HTTP alone / stdio p50: {p(alone, 50) / p(stdio, 50):.2f}; "
          f"{options.clients} clients' throughput / stdio's: {len(times) / wall / (len(stdio) / sum(stdio)):.2f}")
    print(f"server RSS after warm-up {rss_before / 1024:.1f} MiB; after each of {len(rss_after)} rounds of the load "
          f"{', '.join(f'{kib / 1024:.1f}' for kib in rss_after)} MiB "
          f"(last round {(rss_after[-1] - rss_after[0]) / 1024:+.1f} MiB against the first); "
          f"access-log lines: {access_lines}")
    if replica is not None:
        distinct = {query: set(found) for query, found in replica[2].items()}
        same = all(len(found) == 1 and found == set(single_answers.get(query, found)) for query, found in
                   distinct.items())
        print(f"two replicas: {sum(map(len, replica[2].values()))} answers to {len(distinct)} queries, "
              f"{'all identical to the single server' if same else 'ANSWERS DIFFER'}")
    for error in (errors + (replica[3] if replica else []))[:5]:
        print(f"error: {error}")
    return 0 if not errors and (replica is None or not replica[3]) else 1


if __name__ == "__main__":
    sys.exit(main())
