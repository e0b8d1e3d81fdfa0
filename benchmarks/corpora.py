"""Generated corpora: words from the shipped descriptions, texts of a given size, folders of files."""

import re
from pathlib import Path


CORPUS_WORDS_DIR = Path(__file__).resolve().parent.parent / "src" / "tarvex" / "zolt_models"


def vocabulary():
    words = re.findall(r"[A-Za-z]+", " ".join(p.read_text("utf-8") for p in CORPUS_WORDS_DIR.rglob("*.txt")))
    return words or ["alpha", "beta", "gamma", "delta"]


def write_corpus(root, count, make_text, fanout=10):
    """`count` description files in two levels of folders below `root`."""
    files = []
    for k in range(count):
        folder = root / f"group_{k % fanout:02d}" / f"topic_{(k // fanout) % fanout:02d}"
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / f"description_{k:05d}.txt"
        path.write_text(make_text(k), encoding="utf-8")
        files.append(path)
    return files


def text_of_bytes(size, rnd, words):
    parts = []
    length = 0
    line = 0
    while length < size:
        word = rnd.choice(words)
        line += len(word) + 1
        parts.append(word)
        parts.append("\n" if line > 70 else " ")
        if line > 70:
            line = 0
        length += len(word) + 1
    return "".join(parts)[:size]
