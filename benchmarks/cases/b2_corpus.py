"""B2: listing and reading a corpus of files."""

import random
import shutil

from corpora import text_of_bytes, vocabulary, write_corpus
from implementations import IMPLEMENTATIONS, native, plain
from timing import compare


def bench_corpus(table, repeat, workdir, count=5000, size=2048):
    print(f"B2 corpus: {count} files of {size} bytes")
    rnd = random.Random(2)
    words = vocabulary()
    root = workdir / "b2"
    files = write_corpus(root, count, lambda k: text_of_bytes(size, rnd, words))
    assert native._iter_description_files(root) == plain._iter_description_files(root) == sorted(files)
    namespaces = {name: {"m": module, "root": root, "files": files} for name, module in IMPLEMENTATIONS.items()}
    listing, _ = compare("m._iter_description_files(root)", namespaces, repeat, budget=0.5)
    table.add_times(f"B2 listing {count} files: `_iter_description_files`", listing, 0.95)
    reading, _ = compare("for p in files:\n    m._read_text(p)", namespaces, repeat, budget=0.5)
    table.add_times(f"B2 reading {count} files: `_read_text` each", reading, 0.95)
    both, _ = compare("for p in m._iter_description_files(root):\n    m._read_text(p)", namespaces, repeat,
                      budget=0.5)
    table.add_times("B2 listing and reading", both, 0.95)
    shutil.rmtree(root)
