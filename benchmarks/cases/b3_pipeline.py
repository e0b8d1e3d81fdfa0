"""B3: the ranking pipeline's own cost, with a model and torch that cost nothing."""

import random
import shutil

from corpora import text_of_bytes, vocabulary, write_corpus
from implementations import IMPLEMENTATIONS, constant_standins
from timing import compare


def bench_pipeline(table, repeat, workdir, count=2000):
    print(f"B3 pipeline: {count} descriptions, constant-time model and torch")
    rnd = random.Random(3)
    words = vocabulary()
    root = workdir / "b3"
    texts = {}

    def make_text(k):
        text = text_of_bytes(rnd.randint(600, 1400), rnd, words)
        texts[k] = text
        return text

    files = write_corpus(root, count, make_text)
    scores = [rnd.random() for _ in range(count)]
    with constant_standins(scores):
        results = {name: module.rank_problem_descriptions("query", root, 10) for name, module in IMPLEMENTATIONS.items()}
        assert results["native"] == results["python"] and len(results["native"]) == 10
        namespaces = {name: {"f": module.rank_problem_descriptions, "root": root}
                      for name, module in IMPLEMENTATIONS.items()}
        times, _ = compare("f('query', root, 10)", namespaces, repeat, budget=0.5)
        table.add_times(f"B3 `rank_problem_descriptions` on {count} files, top_k=10", times, 0.9)

        # The same call with listing and reading answered from memory, through
        # the module globals that the pipeline looks up, so that only the
        # pipeline's own work remains (str paths keep the stand-ins builtin).
        names = [str(p) for p in files]
        by_name = {name: texts[k] for k, name in enumerate(names)}
        originals = {name: (m._iter_description_files, m._read_text) for name, m in IMPLEMENTATIONS.items()}
        try:
            for module in IMPLEMENTATIONS.values():
                module._iter_description_files = lambda models_dir: list(names)
                module._read_text = by_name.__getitem__
            results = {n: m.rank_problem_descriptions("query", root, 10) for n, m in IMPLEMENTATIONS.items()}
            assert results["native"] == results["python"]
            times, _ = compare("f('query', root, 10)", namespaces, repeat, budget=0.5)
            table.add_times("B3 same, listing and reading answered from memory", times, 0.9)
            times, _ = compare("f('query', root, 0)", namespaces, repeat, budget=0.5)
            table.add_times("B3 same, top_k=0 (all records returned)", times, 0.9)
        finally:
            for name, module in IMPLEMENTATIONS.items():
                module._iter_description_files, module._read_text = originals[name]
    shutil.rmtree(root)
