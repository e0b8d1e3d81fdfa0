"""B6: the memory of reads bounded to 100000 characters, in fresh processes."""

import json
import random
import shutil
import subprocess
import sys
from pathlib import Path

from corpora import text_of_bytes, vocabulary
from implementations import IMPLEMENTATIONS, PLAIN_FILE, child_env


CHILDREN = Path(__file__).resolve().parent.parent / "children"
MEMORY_CHILD = CHILDREN / "bounded_reads.py"


def bench_memory(table, workdir, count=20, size=50 * 1024 * 1024):
    print(f"B6 memory: _read_text on {count} files of {size // (1024 * 1024)} MB")
    root = workdir / "b6"
    root.mkdir()
    rnd = random.Random(6)
    words = vocabulary()
    kinds = {"ASCII": lambda: text_of_bytes(4096, rnd, words),
             "CJK (2 bytes per character in memory)": lambda: "中文字符描述问题" * 170 + "\n",
             "emoji (4 bytes per character in memory)": lambda: "🙂😀🚚📦" * 340 + "\n"}
    layout = ["ASCII"] * (count - 4) + ["CJK (2 bytes per character in memory)"] * 2 + \
             ["emoji (4 bytes per character in memory)"] * 2
    files = []
    for k, kind in enumerate(layout):
        block = kinds[kind]().encode("utf-8")
        path = root / f"huge_{k:02d}.txt"
        with open(path, "wb") as stream:
            repeats = size // len(block) + 1
            stream.write((block * repeats)[:size])
        files.append(path)
    outcomes = {}
    for which in IMPLEMENTATIONS:
        done = subprocess.run([sys.executable, "-P", str(MEMORY_CHILD), which, str(PLAIN_FILE), *map(str, files)],
                              capture_output=True, text=True, cwd=workdir, env=child_env(), check=True)
        outcomes[which] = json.loads(done.stdout)
    for kind in kinds:
        picks = [k for k, name in enumerate(layout) if name == kind]
        peak = {which: max(outcomes[which]["peaks"][k] for k in picks) for which in IMPLEMENTATIONS}
        table.add(
            f"B6 peak traced memory per `_read_text` call, 50 MB files, {kind}",
            f"{peak['native'] / 1024:.0f} KB", f"{peak['python'] / 1024:.0f} KB",
            f"{peak['native'] / peak['python']:.2f}", "few 100 KB" if kind == "ASCII" else "",
            peak["native"] <= 512 * 1024 if kind == "ASCII" else None,
        )
    table.add(
        f"B6 growth of the process's peak RSS over {count} calls",
        f"{outcomes['native']['rss_growth_kb']} KB", f"{outcomes['python']['rss_growth_kb']} KB", "", "", None,
    )
    shutil.rmtree(root)
