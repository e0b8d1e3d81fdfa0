"""Instruction counts under callgrind: a noise-free view of the benchmark cases.

    .venv/bin/python benchmarks/run.py instructions                 # all cases
    .venv/bin/python benchmarks/run.py instructions b2-list b3-full # some of them

For each case and implementation, the program runs once with the operation
repeated N times and once with it left out; the difference divided by N is
the instruction count of one operation.  For the native run, the
instructions are also split by where they execute (the extension's own code,
the interpreter, the C library and others), which shows how little of the
work the extension itself can still save.  Needs valgrind.  Instructions in
the kernel (system calls) are not counted.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent

PRELUDE = """
import sys, io, random, types, importlib.util
from pathlib import Path
sys.path[:] = [p for p in sys.path if p not in ("", {repo!r})]
import tarvex.rag_helper as native
module_spec = importlib.util.spec_from_file_location("plain_rag", {plain!r})
plain = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(plain)
m = native if sys.argv[1] == "native" else plain
n = int(sys.argv[2])
root = Path(sys.argv[3])
rnd = random.Random(7)

def corpus(count, size):
    if not root.exists():
        for k in range(count):
            d = root / f"group_{{k % 10:02d}}" / f"topic_{{(k // 10) % 10:02d}}"
            d.mkdir(parents=True, exist_ok=True)
            words = " ".join("word%d" % rnd.randint(0, 999) for _ in range(size // 7))
            (d / f"description_{{k:05d}}.txt").write_text(words[:size])
    return sorted(root.rglob("*.txt"))

def constant_model(count):
    scores = [rnd.random() for _ in range(count)]
    class Tensor:
        def __getitem__(self, i): return self
        def cpu(self): return self
        def tolist(self): return scores
    tensor = Tensor()
    class SentenceTransformer:
        def __init__(self, name): pass
        def encode(self, batch, **kw): return tensor
    st = types.ModuleType("sentence_transformers"); st.SentenceTransformer = SentenceTransformer
    torch = types.ModuleType("torch"); torch.matmul = lambda a, b: tensor
    sys.modules["sentence_transformers"] = st; sys.modules["torch"] = torch
"""

CASES = {
    "b1-count-error": (
        "f = m._iter_description_files",
        "for _ in range(n):\n    try: f()\n    except TypeError: pass",
        20000,
    ),
    "b1-type-error-note": (
        "f = m._read_text",
        "for _ in range(n):\n    try: f('x.txt', True)\n    except TypeError: pass",
        20000,
    ),
    "b1-listing-empty": (
        "f = m._iter_description_files\nclass W: pass\nw = W(); w.rglob = {'*.txt': []}.get",
        "for _ in range(n): f(w)",
        50000,
    ),
    "b2-list": ("corpus(5000, 2048)\nm._iter_description_files(root)",
                "for _ in range(n): m._iter_description_files(root)", 2),
    "b2-read": ("files = corpus(5000, 2048)\nfor p in files: m._read_text(p)",
                "for _ in range(n):\n    for p in files: m._read_text(p)", 2),
    "b3-full": ("corpus(2000, 1000)\nconstant_model(2000)\nm.rank_problem_descriptions('q', root)",
                "for _ in range(n): m.rank_problem_descriptions('q', root)", 3),
    "b3-memory": (
        "files = corpus(2000, 1000)\nconstant_model(2000)\nnames = [str(p) for p in files]\n"
        "texts = {str(p): p.read_text() for p in files}\n"
        "m._iter_description_files = lambda d: list(names)\nm._read_text = texts.__getitem__\n"
        "m.rank_problem_descriptions('q', root)",
        "for _ in range(n): m.rank_problem_descriptions('q', root)", 5),
}

LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)$")


def run(script, which, n, root, out=None):
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out or '/dev/null'}",
               sys.executable, "-P", script, which, str(n), str(root)]
    done = subprocess.run(command, capture_output=True, text=True, cwd="/")
    if done.returncode != 0:
        raise SystemExit(done.stderr[-3000:])
    match = re.search(r"Collected : (\d+)", done.stderr)
    return int(match.group(1))


def split_by_object(out):
    """Exclusive instructions summed by the ELF object they ran in."""
    text = subprocess.run(["callgrind_annotate", "--threshold=100", out], capture_output=True, text=True).stdout
    shares = defaultdict(int)
    for line in text.splitlines():
        match = LINE.match(line)
        if not match or "PROGRAM TOTALS" in line:
            continue
        count = int(match.group(1).replace(",", ""))
        where = re.search(r"\[([^\]]+)\]\s*$", match.group(2))
        obj = where.group(1) if where else match.group(2)  # the source file names the part
        if "rag_helper" in obj:
            key = "extension (rag_helper)"
        elif "libpython" in obj or obj.endswith("python3.13") or "Python-3." in obj:
            key = "interpreter (libpython)"
        elif "libc.so" in obj or "ld-linux" in obj or obj.startswith(("./", "../")):
            key = "C library and loader"
        else:
            key = "other (" + Path(obj).name + ")"
        shares[key] += count
    return shares


def main():
    wanted = sys.argv[1:] or list(CASES)
    with tempfile.TemporaryDirectory(prefix="tarvex-ir-") as scratch:
        scratch = Path(scratch)
        for name in wanted:
            setup, operation, n = CASES[name]
            script = scratch / f"{name}.py"
            repo = str(HERE.parents[1])
            plain = str(HERE.parents[1] / "testsupport" / "plain_rag.py")
            script.write_text(PRELUDE.format(repo=repo, plain=plain) + setup + "\n"
                              + "if n:\n" + "\n".join("    " + line for line in operation.splitlines()) + "\n")
            root = scratch / f"{name}-corpus"
            # An unmeasured run first writes the corpus of the case.
            subprocess.run([sys.executable, "-P", str(script), "native", "0", str(root)], cwd="/", check=True)
            per_op = {}
            for which in ("native", "python"):
                outs = [str(scratch / f"{name}-{which}-{k}.out") for k in (0, n)]
                base = run(script, which, 0, root, outs[0])
                total = run(script, which, n, root, outs[1])
                per_op[which] = (total - base) / n
                if which == "native":
                    before, after = split_by_object(outs[0]), split_by_object(outs[1])
                    spent = {key: after[key] - before.get(key, 0) for key in after}
            print(f"{name}: native {per_op['native']:,.0f} Ir/op, Python {per_op['python']:,.0f} Ir/op, "
                  f"ratio {per_op['native'] / per_op['python']:.3f}")
            # Where the native operation's instructions went.
            total = sum(max(v, 0) for v in spent.values())
            for key, count in sorted(spent.items(), key=lambda item: -item[1]):
                if count > 0:
                    print(f"    {key:<34} {100 * count / total:5.1f} %")


if __name__ == "__main__":
    main()
