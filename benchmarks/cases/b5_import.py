"""B5: the cost of importing the module, in fresh processes."""

import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

from implementations import PLAIN_FILE, child_env
from timing import fmt_time


CHILDREN = Path(__file__).resolve().parent.parent / "children"
IMPORT_CHILD = CHILDREN / "import_cost.py"

PROCESS_CHILDREN = {
    "stdlib": "import logging, sys, functools, pathlib, typing",
    "native": "import logging, sys, functools, pathlib, typing; import tarvex.rag_helper",
}



def bench_import(table, repeat, workdir):
    print(f"B5 import in fresh processes ({repeat} processes each)")
    env = child_env()

    def in_process(which):
        done = subprocess.run([sys.executable, "-P", str(IMPORT_CHILD), which, str(PLAIN_FILE)],
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
