"""Timing: CPU time per run of a statement, both implementations interleaved run by run."""

import gc
import statistics
import textwrap
import time


# CPU time of this process: the machine may be shared, and waiting for a core
# is not work done by the code under test.  (B4 and B5 use wall time.)
CLOCK = time.process_time_ns


def time_loop(statement, namespace, number):
    """Seconds per execution of `statement`, run `number` times in one loop."""
    source = f"def _bench(_n):\n    for _ in range(_n):\n{textwrap.indent(statement, ' ' * 8)}\n"
    code = compile(source, "<bench>", "exec")
    scope = dict(namespace)
    exec(code, scope)
    bench = scope["_bench"]
    gc.collect()
    start = CLOCK()
    bench(number)
    return (CLOCK() - start) / 1e9 / number


def calibrate(statement, namespaces, budget):
    """A loop count that makes one timed run of the slower variant take about `budget` seconds."""
    number = 1
    while True:
        slowest = max(time_loop(statement, ns, number) for ns in namespaces)
        if slowest * number >= budget / 4 or number >= 10**7:
            break
        number *= 4
    return max(1, int(budget / max(slowest, 1e-9)))


class Timing(dict):
    """Median seconds per execution for each implementation, and the median
    of the native / Python ratios of runs made back to back (robust against
    load that drifts during the benchmark)."""

    ratio: float


def compare(statement, namespaces, repeat, budget=0.2):
    """Times `statement` for each implementation, the two interleaved run by run."""
    number = calibrate(statement, list(namespaces.values()), budget)
    samples = {name: [] for name in namespaces}
    names = list(namespaces)
    for run in range(repeat):
        for name in names if run % 2 == 0 else reversed(names):
            samples[name].append(time_loop(statement, namespaces[name], number))
    timing = Timing((name, statistics.median(values)) for name, values in samples.items())
    timing.ratio = statistics.median(n / p for n, p in zip(samples["native"], samples["python"]))
    return timing, number


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.0f} ns"
