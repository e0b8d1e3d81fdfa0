"""B1: the overhead of one call, for calls that do next to nothing."""

import io
import statistics

from implementations import IMPLEMENTATIONS, constant_standins
from timing import compare


class EmptyWalk:
    """A directory stand-in whose `rglob` is a builtin answering an empty list."""

    def __init__(self):
        self.rglob = {"*.txt": []}.get


class MemoryFile:
    """A path stand-in whose `open` answers an in-memory text stream."""

    def open(self, mode, encoding=None, errors=None):
        return io.StringIO("  a short description \n")


def bench_call_overhead(table, repeat):
    print("B1 call overhead (per call)")
    walk = EmptyWalk()
    cases = [
        ("`_iter_description_files(d)`, `d.rglob` answers []", "f(walk)", "_iter_description_files"),
        ("`_iter_description_files()`: count error", "try:\n    f()\nexcept TypeError:\n    pass",
         "_iter_description_files"),
        ("`_read_text(path, True)`: type error", "try:\n    f('x.txt', True)\nexcept TypeError:\n    pass",
         "_read_text"),
        ("`_read_text(p)`, `p.open` answers an in-memory stream", "f(memory_file)", "_read_text"),
        ("`_read_text(3.5)`: no `open`, answers ''", "f(3.5)", "_read_text"),
        ("`rank_problem_descriptions()`: count error", "try:\n    f()\nexcept TypeError:\n    pass",
         "rank_problem_descriptions"),
        ("`rank_problem_descriptions(None)`: type error",
         "try:\n    f(None)\nexcept TypeError:\n    pass", "rank_problem_descriptions"),
        ("`rank_problem_descriptions('q', top_k=True)`: type error",
         "try:\n    f('q', top_k=True)\nexcept TypeError:\n    pass", "rank_problem_descriptions"),
        ("`_load_model('m')`: cache hit", "f('m')", "_load_model"),
        ("`_load_model(5)`: miss, type error", "try:\n    f(5)\nexcept TypeError:\n    pass", "_load_model"),
    ]
    with constant_standins([]):
        for module in IMPLEMENTATIONS.values():
            module._load_model("m")
        ratios = []
        for label, statement, function in cases:
            namespaces = {name: {"f": getattr(module, function), "walk": walk, "memory_file": MemoryFile()}
                          for name, module in IMPLEMENTATIONS.items()}
            times, _ = compare(statement, namespaces, repeat)
            table.add_times("B1 " + label, times, 0.5)
            ratios.append(times.ratio)
        geo = statistics.geometric_mean(ratios)
        table.add("B1 geometric mean of the ratios above", "", "", f"{geo:.2f}", "≤ 0.5", geo <= 0.5)
