"""B1–B6: the native `tarvex.rag_helper` against its plain-Python rendering.

Run from the repository root with the project's interpreter (`rag` is the
runner's default benchmark, so the name may be left out):

    .venv/bin/python benchmarks/run.py rag              # everything, writes its section of benchmarks/results.md
    .venv/bin/python benchmarks/run.py rag --skip-real-model
    .venv/bin/python benchmarks/run.py rag --only B1,B3 --output my-results.md

Both implementations run side by side in one process with the same CPython
(B5 and B6 in fresh child processes).  Times are medians over repeated runs,
the two implementations interleaved run by run so that drift hits both alike.
The ratio is native / Python: below 1 the native module is faster.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import tempfile
import time
from pathlib import Path

BENCHMARKS = Path(__file__).resolve().parents[1]

from b1_call_overhead import bench_call_overhead  # noqa: E402
from b2_corpus import bench_corpus  # noqa: E402
from b3_pipeline import bench_pipeline  # noqa: E402
from b4_real_model import bench_real_model  # noqa: E402
from b5_import import bench_import  # noqa: E402
from b6_memory import bench_memory  # noqa: E402
from table import Table  # noqa: E402


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
    parser.add_argument("--output", default=str(BENCHMARKS / "results.md"))
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
        SECTION,
        "",
        f"Machine: {machine_description()}.",
        f"Command: `{' '.join(['.venv/bin/python', 'benchmarks/run.py', 'rag', *sys.argv[1:]])}` ({elapsed:.0f} s).",
        f"B1–B3: medians of {args.repeat} interleaved runs of CPU time, ratio = median of the native / Python "
        f"ratios of back-to-back runs. B4: {args.b4_runs} runs per implementation, wall time. "
        f"B5: {max(args.repeat, 15)} fresh processes per variant (whole-process wall time: twice as many). "
        "Ratio below 1: the native module is faster.",
        "",
        table.markdown(),
        "",
    ]
    output = Path(args.output)
    output.write_text(with_section(output.read_text(encoding="utf-8") if output.exists() else "",
                                   "\n".join(report)), encoding="utf-8")
    print(f"wrote its section of {args.output}")


SECTION = "## The reference module against its Python rendering"


def with_section(document: str, section: str) -> str:
    """``document`` with the table of its SECTION (up to the next heading) replaced by ``section``; the
    notes under it and the other sections of a results file hold other tables and stay as they are."""
    if SECTION not in document:
        return (document.rstrip("\n") + "\n\n" if document.strip() else "# Benchmark results\n\n") + section
    before, _, rest = document.partition(SECTION)
    following = rest.find("\n#")
    return before + section.rstrip("\n") + ("\n" + rest[following:] if following >= 0 else "\n")


if __name__ == "__main__":
    main()
