"""`tarvex search` from a new process in two installs, side by side: same lines, and the wall-time ratio.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py search_installs .venv-search/bin/tarvex [--rounds 11]
        [--env-of-other VAR=VALUE ...]

The first install is this environment's `tarvex search --backend onnx` (the
full install), the second the given command (for instance a search-only
install made by `scripts/setup.sh --search-only`), run with the extra
environment variables given (its own cache folder, say).  Both search the
shipped corpus with their index built (a first search of each is made and not
timed); the rounds are interleaved.  The lines must agree once each path is
cut to its part below `zolt_models/` (each install ships its own copy).
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

QUERY = "deliver parcels to customers with a fleet of vans"


def run(command: list[str], env: dict[str, str]) -> tuple[float, float, str]:
    """(wall seconds, peak resident MiB, standard output) of one run in a new process."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    output = process.stdout.read().decode() if process.stdout else ""
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        error = process.stderr.read().decode(errors="replace") if process.stderr else ""
        raise SystemExit(f"{' '.join(command)} failed: {error}")
    return wall, usage.ru_maxrss / 1024, output


def below_corpus(output: str) -> list[str]:
    return [re.sub(r" /\S*/zolt_models/", " ", line) for line in output.splitlines()]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("other", help="the other install's tarvex command")
    parser.add_argument("--rounds", type=int, default=11, help="timed runs of each (default: 11)")
    parser.add_argument("--env-of-other", action="append", default=[], metavar="VAR=VALUE")
    args = parser.parse_args()
    base_env = {**os.environ, "HF_HUB_OFFLINE": "1"}
    other_env = dict(base_env)
    for item in args.env_of_other:
        name, _, value = item.partition("=")
        other_env[name] = value
    cases = {
        "full install": ([str(Path(sys.executable).with_name("tarvex")), "search", "--backend", "onnx", QUERY],
                         base_env),
        "other install": ([args.other, "search", QUERY], other_env),
    }
    outputs = {name: run(command, env)[2] for name, (command, env) in cases.items()}  # index built, untimed
    same = below_corpus(outputs["full install"]) == below_corpus(outputs["other install"])
    measured: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
    for _ in range(args.rounds):
        for name, (command, env) in cases.items():
            wall, peak, _ = run(command, env)
            measured[name].append((wall, peak))
    base = statistics.median(w for w, _ in measured["full install"])
    print(f"same ten lines (paths below zolt_models/, scores to 4 decimals): {same}")
    print(f"{'tarvex search, new process':28} {'runs':>4} {'wall s':>8} {'peak MiB':>9} {'wall ratio':>11}")
    for name, runs in measured.items():
        wall = statistics.median(w for w, _ in runs)
        peak = max(p for _, p in runs)
        print(f"{name:28} {len(runs):4d} {wall:8.3f} {peak:9.1f} {wall / base:11.3f}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
