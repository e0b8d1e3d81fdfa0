"""The native module against its plain-Python rendering in testsupport/plain_rag.py.

Both run on the same random corpora (unicode names, nesting, blank and huge
files, undecodable bytes, look-alike names) with the same deterministic
stand-ins for `sentence_transformers` and `torch`, and must agree exactly:
listings, texts, result records (paths, scores, previews, order, key order)
and the calls made on the model and on torch.
"""

import logging
import os
import random
import sys
from pathlib import Path

import pytest

from testsupport import fresh_plain
from testsupport.standins import coarse_hashed, hashed

LIMIT = 100000


@pytest.fixture(scope="module")
def plain():
    return fresh_plain("plain_rag_under_test")


@pytest.fixture
def standins(standins, plain):
    """The shared stand-ins (conftest.py) embedding by hash, with the plain rendering's
    model cache cleared too."""
    standins.embed = hashed
    plain._load_model.cache_clear()
    yield standins
    plain._load_model.cache_clear()


def both(rag, plain, standins, name, *args, **kwargs):
    """Call `name` on both modules; return (outcome, comparable collaborator calls) of each."""
    outcomes = []
    for module in (rag, plain):
        module._load_model.cache_clear()
        standins.clear()
        try:
            outcome = ("ok", getattr(module, name)(*args, **kwargs))
        except Exception as error:  # compared below, type and text
            outcome = ("raised", type(error), str(error))
        outcomes.append((outcome, [call.comparable() for call in standins.take_calls()]))
    return outcomes


def records(result):
    """Result records with their key order and value types made visible."""
    return [[(key, type(value), value) for key, value in record.items()] for record in result]


# ---------------------------------------------------------------------------
# Random corpora

NAME_PIECES = ["a", "b", "B", "z", "Z", "0", "9", "-", "_", " ", ".", "é", "ß", "Ж", "中", "🙂", "e\u0301",
               "~", "(", "'", "#", "a.txt", "txt"]
SUFFIXES = [".txt"] * 6 + [".TXT", ".Txt", ".md", "", ".txt.bak", ".txtx", "txt"]
TEXT_PIECES = ["alpha", "beta", "gamma", " ", " ", "\n", "\r\n", "\r", "\t", "é", "ß", "Ж", "中文", "🙂",
               "\u3000", "\x85", "\x0b", "\x0c", "\u2028", "0.5", "score", "\x00", "e\u0301"]
WHITESPACE = " \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2028\u2029\u3000"
BAD_BYTES = [b"\xff", b"\xfe", b"\x80", b"\xc3", b"\xe4\xb8", b"\xed\xa0\x80", b"\xf0\x9f\x99"]


def random_name(rnd):
    name = "".join(rnd.choice(NAME_PIECES) for _ in range(rnd.randint(1, 5)))
    if rnd.random() < 0.1:
        name = "." + name
    return name


def random_text(rnd, length):
    pieces = []
    size = 0
    while size < length:
        piece = rnd.choice(TEXT_PIECES)
        pieces.append(piece)
        size += len(piece)
    return "".join(pieces)


def random_content(rnd, earlier):
    kind = rnd.choices(
        ["empty", "blank", "text", "bad", "huge", "exact", "bom", "copy"],
        weights=[1, 2, 8, 3, 1, 1, 1, 2],
    )[0]
    if kind == "empty":
        return b""
    if kind == "blank":
        return "".join(rnd.choice(WHITESPACE) for _ in range(rnd.randint(1, 30))).encode()
    if kind == "text":
        return random_text(rnd, rnd.choice([1, 5, 40, 299, 300, 301, 700, 3000])).encode()
    if kind == "bad":
        data = bytearray(random_text(rnd, rnd.randint(0, 400)).encode())
        for _ in range(rnd.randint(1, 8)):
            at = rnd.randint(0, len(data))
            data[at:at] = rnd.choice(BAD_BYTES)
        return bytes(data)
    if kind == "huge":
        # More than the limit, with multi-byte characters, line ends and
        # whitespace around the cut, sometimes undecodable bytes on the way.
        around = random_text(rnd, 40)
        head = ("ab\r\n中" * (LIMIT // 4))[: LIMIT - rnd.randint(0, 30)]
        data = (head + around + "tail" * rnd.randint(1, 3000)).encode()
        if rnd.random() < 0.5:
            data = b"\xff\xfe" * rnd.randint(1, 5) + data
        return data
    if kind == "exact":
        body = random_text(rnd, 20)
        return ("x" * (LIMIT - len(body)) + body)[:LIMIT].encode()
    if kind == "bom":
        return "\ufeff".encode() + random_text(rnd, rnd.randint(0, 50)).encode()
    return rnd.choice(earlier) if earlier else b"copy"


def make_corpus(root, rnd):
    """Writes a random tree below `root`; returns the directories made."""
    root.mkdir()
    directories = [root]
    contents = []
    for _ in range(rnd.randint(0, 45)):
        parent = rnd.choice(directories)
        if rnd.random() < 0.25 and len(parent.relative_to(root).parts) < 5:
            suffix = ".txt" if rnd.random() < 0.3 else ""
            target = parent / (random_name(rnd) + suffix)
            if not target.exists():
                target.mkdir()
                directories.append(target)
            continue
        target = parent / (random_name(rnd) + rnd.choice(SUFFIXES))
        if target.exists() or target.name in (".", ".."):
            continue
        data = random_content(rnd, contents)
        target.write_bytes(data)
        contents.append(data)
    if rnd.random() < 0.3:
        files = [p for p in root.rglob("*") if p.is_file()]
        if files:
            (rnd.choice(directories) / "link-to-file.txt").symlink_to(rnd.choice(files))
        (rnd.choice(directories) / "dangling.txt").symlink_to(root / "no such file")
    return directories, contents


# ---------------------------------------------------------------------------
# The differential runs


@pytest.mark.parametrize("seed", range(24))
def test_random_corpora_agree(rag, plain, standins, tmp_path, monkeypatch, seed):
    rnd = random.Random(seed)
    standins.embed = coarse_hashed if seed % 2 == 0 else hashed
    root = tmp_path / "corpus"
    directories, contents = make_corpus(root, rnd)

    # Listing: the corpus, each of its directories, a missing one.
    for directory in directories + [root / "missing"]:
        native = rag._iter_description_files(directory)
        python = plain._iter_description_files(directory)
        assert native == python
        assert [type(p) for p in native] == [type(p) for p in python]

    # Reading: every listed file with the default and with other limits;
    # a directory and a missing file.
    listed = rag._iter_description_files(root)
    assert len(listed) == len(set(listed))
    for path in listed + [root, root / "missing.txt"]:
        assert rag._read_text(path) == plain._read_text(path)
        text = plain._read_text(path, LIMIT + 10)
        for limit in (0, 1, -1, -2, -3, 7, 300, len(text), len(text) - 1, len(text) + 1, rnd.randint(0, 2000)):
            assert rag._read_text(path, limit) == plain._read_text(path, limit), (path, limit)

    # Ranking, with the corpus given as a path, as text, and relative.
    texts = [t.decode("utf-8", "ignore") for t in contents]
    queries = ["", "alpha beta", random_text(rnd, 30), rnd.choice(texts).strip() if texts else "x"]
    monkeypatch.chdir(tmp_path)
    forms = [root, str(root), "corpus", Path("corpus")]
    limits = [10, 0, -1, 1, 3, 10**30]
    for round_number in range(6):
        query = queries[round_number % len(queries)]
        models_dir = forms[(round_number + seed) % len(forms)]
        top_k = limits[round_number]
        (native, native_log), (python, python_log) = both(
            rag, plain, standins, "rank_problem_descriptions", query, models_dir, top_k, "model-" + str(seed)
        )
        assert native[0] == python[0] == "ok", (native, python)
        assert records(native[1]) == records(python[1])
        assert native_log == python_log
    # Non-empty corpora did reach the model at least once.
    if any(plain._read_text(p) for p in listed):
        assert any(entry[0] == "encode" for entry in python_log)
    else:
        assert python_log == []


def test_ties_keep_path_order(rag, plain, standins, tmp_path):
    root = tmp_path / "c"
    for name in ["B.txt", "a/b.txt", "a-c.txt", "a.txt", "a/a/z.txt", "é.txt", "Z.txt"]:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text("same text\n", encoding="utf-8")
    (native, native_log), (python, python_log) = both(rag, plain, standins, "rank_problem_descriptions", "q", root, 0)
    assert records(native[1]) == records(python[1])
    assert native_log == python_log
    assert [Path(r["path"]).relative_to(root).as_posix() for r in native[1]] == [
        "B.txt", "Z.txt", "a/a/z.txt", "a/b.txt", "a-c.txt", "a.txt", "é.txt"]


@pytest.mark.parametrize("layout", ["missing", "regular file", "empty", "blank only"])
def test_corpora_without_descriptions_agree(rag, plain, standins, tmp_path, layout):
    root = tmp_path / "c"
    if layout == "regular file":
        root.write_text("not a directory")
    elif layout != "missing":
        root.mkdir()
        (root / "x.TXT").write_text("upper-case suffix")
        (root / "sub.txt").mkdir()
        if layout == "blank only":
            (root / "sub.txt" / "a.txt").write_text(" \n\t")
            (root / "b.txt").write_bytes(b"\xff\xfe\x80 \n")
    (native, native_log), (python, python_log) = both(rag, plain, standins, "rank_problem_descriptions", "q", root)
    assert native == python
    assert native_log == python_log == []
    if layout == "missing":
        assert native == ("raised", FileNotFoundError, f"Models directory not found: {root}")
    else:
        assert native == ("ok", [])


@pytest.mark.parametrize("failure", ["constructor", "import"])
def test_failed_model_load_ranks_nothing_in_both(rag, plain, standins, tmp_path, monkeypatch, caplog, failure):
    root = tmp_path / "c"
    root.mkdir()
    (root / "a.txt").write_text("some description")
    if failure == "constructor":
        standins.fail_with = OSError("no such model")
        expected_log = [("construct", ((str, "m"),), [])]
        message = "RAG disabled (embedding model load failed): no such model"
    else:
        monkeypatch.setitem(sys.modules, "sentence_transformers", None)
        expected_log = []
        message = ("RAG disabled (embedding model load failed): import of sentence_transformers halted; "
                   "None in sys.modules")
    with caplog.at_level(logging.WARNING):
        (native, native_log), (python, python_log) = both(
            rag, plain, standins, "rank_problem_descriptions", "q", root, model_name="m")
    assert native == python == ("ok", [])
    assert native_log == python_log == expected_log
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("root", logging.WARNING, message)] * 2


@pytest.mark.parametrize(
    "call",
    [
        ("rank_problem_descriptions", (None,), {}),
        ("rank_problem_descriptions", ("q",), {"top_k": True}),
        ("rank_problem_descriptions", ("q",), {"top_k": 3.0}),
        ("rank_problem_descriptions", ("q",), {"model_name": None}),
        ("rank_problem_descriptions", (type("Text", (str,), {})("q"),), {}),
        ("_read_text", ("x.txt", 3.0), {}),
        ("_read_text", ("x.txt",), {"max_chars": None}),
        ("_load_model", (5,), {}),
        ("_iter_description_files", ("not a path",), {}),
    ],
)
def test_type_errors_agree(rag, plain, standins, call):
    name, args, kwargs = call
    (native, native_log), (python, python_log) = both(rag, plain, standins, name, *args, **kwargs)
    assert native == python
    assert native[0] == "raised"
    assert native_log == python_log == []


def test_model_is_built_once_per_name_in_both(rag, plain, standins, tmp_path):
    root = tmp_path / "c"
    root.mkdir()
    (root / "a.txt").write_text("one")
    logs = []
    for module in (rag, plain):
        standins.clear()
        module.rank_problem_descriptions("q", root, model_name="m1")
        module.rank_problem_descriptions("q", root, model_name="m1")
        module.rank_problem_descriptions("q", root, model_name="m2")
        logs.append([(c.name, c.args, c.kwargs) for c in standins.take_calls() if c.name == "construct"])
        assert module._load_model.cache_info()[:2] == (1, 2)  # hits, misses
    assert logs[0] == logs[1] == [("construct", ("m1",), {}), ("construct", ("m2",), {})]


def test_plain_rendering_has_the_same_signatures(rag, plain):
    import inspect

    for name in ("rank_problem_descriptions", "_iter_description_files", "_read_text"):
        native = inspect.signature(getattr(rag, name))
        python = inspect.signature(getattr(plain, name))
        assert list(native.parameters) == list(python.parameters)
        assert [p.default for p in native.parameters.values()] == [p.default for p in python.parameters.values()]
        assert inspect.cleandoc(getattr(rag, name).__doc__) == inspect.cleandoc(getattr(plain, name).__doc__)
    assert list(inspect.signature(rag._load_model).parameters) == ["model_name"]
    assert list(inspect.signature(plain._load_model).parameters) == ["model_name"]


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind the superuser")
def test_unreadable_file_agrees(rag, plain, tmp_path):
    path = tmp_path / "secret.txt"
    path.write_text("hidden")
    path.chmod(0)
    try:
        assert rag._read_text(path) == plain._read_text(path) == ""
    finally:
        path.chmod(0o600)
