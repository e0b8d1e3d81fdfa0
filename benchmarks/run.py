"""Runs tarvex's benchmarks: each one by name, with its own options.

    .venv/bin/python benchmarks/run.py list                # the benchmarks, one line each
    .venv/bin/python benchmarks/run.py NAME [OPTIONS...]   # one of them; NAME --help for its options
    .venv/bin/python benchmarks/run.py [OPTIONS...]        # the default, `rag` (B1–B6)

Each benchmark is a module of benchmarks/cases/ with a `main()` that reads its
options from the command line; the runner gives it the words after its name.
The benchmarks' shared helpers (benchmarks/), their cases (benchmarks/cases/)
and the support they share with the tests (testsupport/) are importable here.
Prefix a benchmark that loads the real model with HF_HUB_OFFLINE=1.
"""

from __future__ import annotations

import importlib
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE / "cases"), str(HERE.parent)]

# name -> module in benchmarks/cases/ (the names the runner answers to)
BENCHMARKS = {
    "rag": "rag_table",
    "index_rank": "index_rank",
    "index_agreement": "index_agreement",
    "index_engine": "index_engine",
    "index_command": "index_command",
    "shared_build": "shared_build",
    "index_memory": "index_memory",
    "search_installs": "search_installs",
    "mcp_search": "mcp_search",
    "mcp_start": "mcp_start",
    "mcp_http_load": "mcp_http_load",
    "graph_builder": "graph_builder",
    "instructions": "instructions",
    "store_search": "store_search",
    "pgvector_hnsw": "pgvector_hnsw",
    "ray_build": "ray_build",
}
DEFAULT = "rag"


def summary(name):
    """The first line of the benchmark's docstring, read without importing it (imports are heavy)."""
    import ast

    source = (HERE / "cases" / f"{BENCHMARKS[name]}.py").read_text(encoding="utf-8")
    return (ast.get_docstring(ast.parse(source)) or "").splitlines()[0]


def main(argv: list[str]) -> int:
    if argv[:1] in (["list"], ["-l"], ["--list"]):
        width = max(map(len, BENCHMARKS))
        for name in BENCHMARKS:
            print(f"{name:<{width}}  {summary(name)}")
        return 0
    if argv[:1] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return 0
    if not argv or argv[0].startswith("-"):
        argv = [DEFAULT, *argv]
    name, options = argv[0], argv[1:]
    if name not in BENCHMARKS:
        print(f"run.py: no benchmark {name!r}; one of: {', '.join(BENCHMARKS)} (or: list)", file=sys.stderr)
        return 2
    module = importlib.import_module(BENCHMARKS[name])
    sys.argv = [f"run.py {name}", *options]  # argparse takes its program name and options from here
    return module.main() or 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
