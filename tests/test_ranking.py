"""Ranking the stored descriptions against a query, with stand-ins for the model package and torch
(testsupport/standins.py: each text embeds as its leading number, so the query "1" scores it by that number)."""

import builtins
import gc
import os
import sys
import types
from pathlib import Path

import pytest

from conftest import entries_of, write_corpus as corpus
from testsupport.standins import Tensor

RANK = "tarvex.rag_helper.rank_problem_descriptions"
LAMBDA = "tarvex.rag_helper.rank_problem_descriptions.lambda1"
KEYWORDS = {"convert_to_tensor": True, "normalize_embeddings": True, "show_progress_bar": False}


@pytest.fixture
def three(tmp_path):
    return corpus(tmp_path / "c", {"a.txt": "0.2 alpha", "b/x.txt": "0.9 beta", "c.txt": "0.5 gamma",
                                   "blank.txt": " \n\t ", "note.md": "9 not a description"})


def paths(records):
    return [Path(r["path"]).name for r in records]


# ---------------------------------------------------------------------------
# Collaborator protocol


class TestCollaborators:
    def test_texts_then_query_are_encoded_with_fixed_keywords(self, rag, standins, three):
        rag.rank_problem_descriptions("1 query", three)
        construct, docs, query, item, product, cpu, tolist = standins.calls
        assert (construct.name, construct.args, construct.kwargs) == (
            "construct", ("sentence-transformers/all-MiniLM-L6-v2",), {})
        assert type(docs.args[0]) is list and docs.args == (["0.2 alpha", "0.9 beta", "0.5 gamma"],)
        assert type(query.args[0]) is list and query.args == (["1 query"],)
        for encoded in (docs, query):
            assert encoded.name == "encode" and list(encoded.kwargs.items()) == list(KEYWORDS.items())
            assert all(v is KEYWORDS[k] for k, v in encoded.kwargs.items())
        assert (item.name, item.args, item.kwargs) == ("getitem", (0,), {})
        assert product.name == "matmul" and product.args[0] is docs.result and product.args[1] is item.result
        assert product.kwargs == {} and product.args[1].rows == query.result.rows[0]
        assert [(c.name, c.args, c.kwargs) for c in (cpu, tolist)] == [("cpu", (), {}), ("tolist", (), {})]

    def test_model_is_loaded_by_name_once(self, rag, standins, three):
        rag.rank_problem_descriptions("1", three, 10, "mine")
        rag.rank_problem_descriptions("1", three, model_name="mine")
        assert [(c.args, c.kwargs) for c in standins.built] == [(("mine",), {})]

    def test_torch_is_imported_at_each_call(self, rag, standins, three, monkeypatch):
        rag.rank_problem_descriptions("1", three)
        other = types.ModuleType("torch")
        other.matmul = lambda d, q: Tensor([7.0] * len(d.rows))
        monkeypatch.setitem(sys.modules, "torch", other)
        assert {r["score"] for r in rag.rank_problem_descriptions("1", three)} == {7.0}

    def test_replaced_module_globals_are_honoured(self, rag, standins, tmp_path, monkeypatch):
        seen = []

        def second(p):
            seen.append(p)
            return "0.3 second reader"

        def first(p):
            monkeypatch.setattr(rag, "_read_text", second)
            return "0.1 first reader"

        monkeypatch.setattr(rag, "_iter_description_files", lambda d: ["p1", "p2", "p3"])
        monkeypatch.setattr(rag, "_read_text", first)
        records = rag.rank_problem_descriptions("1", tmp_path)
        assert [r["path"] for r in records] == ["p2", "p3", "p1"] and seen == ["p2", "p3"]

    def test_cached_builtins_ignore_later_rebinding(self, rag, standins, three, monkeypatch):
        def broken(*args, **kwargs):
            raise AssertionError("rebound builtin used")

        for name in ("sorted", "zip", "FileNotFoundError"):
            monkeypatch.setattr(builtins, name, broken)
            monkeypatch.setattr(rag, name, broken, raising=False)
        assert len(rag.rank_problem_descriptions("1", three)) == 3
        with pytest.raises(OSError) as excinfo:
            rag.rank_problem_descriptions("1", three / "missing")
        assert type(excinfo.value).__name__ == "FileNotFoundError"


# ---------------------------------------------------------------------------
# Records, order and the cut


class TestRecords:
    def test_records_are_sorted_with_exact_types_and_key_order(self, rag, standins, three):
        records = rag.rank_problem_descriptions("1", str(three))
        assert [list(r) for r in records] == [["path", "score", "preview"]] * 3
        assert [(r["path"], r["score"], r["preview"]) for r in records] == [
            (str(three / "b/x.txt"), 0.9, "0.9 beta"),
            (str(three / "c.txt"), 0.5, "0.5 gamma"),
            (str(three / "a.txt"), 0.2, "0.2 alpha"),
        ]
        assert all(type(r["path"]) is str and type(r["score"]) is float for r in records)

    def test_equal_scores_keep_path_order(self, rag, standins, tmp_path):
        names = ("a.txt", "a/b.txt", "a-c.txt", "B.txt")
        root = corpus(tmp_path, {"z.txt": "0.7 best", "0.txt": "0.1 worst", **{n: "0.5 same" for n in names}})
        records = rag.rank_problem_descriptions("1", root)
        assert [r["path"][len(str(root)) + 1:] for r in records] == [
            "z.txt", "B.txt", "a/b.txt", "a-c.txt", "a.txt", "0.txt"]

    @pytest.mark.parametrize("value", [3, True, "0.25", 0.5, type("F", (float,), {})(0.75)])
    def test_scores_become_plain_floats(self, rag, standins, three, monkeypatch, value):
        standins.torch.matmul = lambda d, q: Tensor([value] * 3)
        scores = [r["score"] for r in rag.rank_problem_descriptions("1", three)]
        assert scores == [float(value)] * 3 and {type(s) for s in scores} == {float}

    @pytest.mark.parametrize(
        "text,preview",
        [("x" * 1000, "x" * 300), ("line\none", "line one"), ("tab\there", "tab\there"),
         ("y" * 299 + "\n\nz", "y" * 299 + " "), ("y" * 300 + "\nz", "y" * 300), ("é" * 301, "é" * 300)],
    )
    def test_preview(self, rag, standins, tmp_path, text, preview):
        [record] = rag.rank_problem_descriptions("1", corpus(tmp_path, {"t.txt": text}))
        assert record["preview"] == preview

    @pytest.mark.parametrize("top_k,count", [(0, 3), (-1, 3), (-10**30, 3), (1, 1), (2, 2), (3, 3), (4, 3),
                                             (10**30, 3)])
    def test_top_k(self, rag, standins, three, top_k, count):
        records = rag.rank_problem_descriptions("1", three, top_k)
        assert paths(records) == ["x.txt", "c.txt", "a.txt"][:count]

    def test_every_call_returns_new_objects(self, rag, standins, three):
        first = rag.rank_problem_descriptions("1", three)
        first[0]["score"] = -1.0
        first.append("junk")
        second = rag.rank_problem_descriptions("1", three)
        assert second is not first and len(second) == 3 and second[0]["score"] == 0.9
        assert all(a is not b for a, b in zip(first, second))


# ---------------------------------------------------------------------------
# The corpus folder


class TestCorpusFolder:
    def test_relative_folder_gives_relative_paths(self, rag, standins, three, monkeypatch):
        monkeypatch.chdir(three.parent)
        for given in ("c", Path("c")):
            assert [r["path"] for r in rag.rank_problem_descriptions("1", given)] == [
                os.path.join("c", "b", "x.txt"), os.path.join("c", "c.txt"), os.path.join("c", "a.txt")]

    @pytest.mark.parametrize("given", [None, "", 0, [], "omitted"])
    def test_default_is_zolt_models_beside_the_resolved_module_file(self, rag, standins, tmp_path, monkeypatch,
                                                                     given):
        real = corpus(tmp_path / "real", {"zolt_models/d.txt": "0.4 default"})
        (tmp_path / "link").symlink_to(real)
        monkeypatch.setattr(rag, "__file__", str(tmp_path / "link" / "rag_helper.so"))
        args = ("1",) if given == "omitted" else ("1", given)
        [record] = rag.rank_problem_descriptions(*args)
        assert record["path"] == str(real.resolve() / "zolt_models" / "d.txt")

    def test_installed_default_corpus(self, rag, standins):
        folder = Path(rag.__file__).resolve().parent / "zolt_models"
        if not folder.exists():  # the corpus ships separately from the module
            with pytest.raises(FileNotFoundError, match=f"^Models directory not found: {folder}$"):
                rag.rank_problem_descriptions("1")
            return
        records = rag.rank_problem_descriptions("1", top_k=0)
        assert records == rag.rank_problem_descriptions("1", folder, top_k=0)
        assert all(Path(r["path"]).is_absolute() and folder in Path(r["path"]).parents for r in records)

    @pytest.mark.parametrize("where", ["relative", "default"])
    def test_missing_folder(self, rag, standins, tmp_path, monkeypatch, where):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(rag, "__file__", str(tmp_path / "pkg" / "m.so"))
        with pytest.raises(FileNotFoundError) as excinfo:
            rag.rank_problem_descriptions("1", "gone/x" if where == "relative" else None)
        shown = "gone/x" if where == "relative" else str(tmp_path.resolve() / "pkg" / "zolt_models")
        assert excinfo.value.args == ("Models directory not found: " + shown,)
        assert entries_of(excinfo) == [(RANK, 69)] and standins.built == []

    def test_regular_file_as_folder_ranks_nothing(self, rag, standins, three):
        assert rag.rank_problem_descriptions("1", three / "a.txt") == [] and standins.built == []

    @pytest.mark.parametrize("files", [{}, {"e.txt": "", "w.txt": " \n "}])
    def test_nothing_to_rank_loads_no_model_and_no_torch(self, rag, tmp_path, monkeypatch, files):
        monkeypatch.setitem(sys.modules, "torch", None)
        monkeypatch.setattr(rag, "_load_model", lambda *a: pytest.fail("model loaded"))
        assert rag.rank_problem_descriptions("1", corpus(tmp_path, files)) == []


# ---------------------------------------------------------------------------
# A model that cannot be loaded


def test_failed_model_load_ranks_nothing(rag, three, monkeypatch, caplog):
    rag._load_model.cache_clear()
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    monkeypatch.setitem(sys.modules, "torch", None)
    try:
        assert rag.rank_problem_descriptions("1", three) == []
        assert rag.rank_problem_descriptions("1", three) == []
    finally:
        rag._load_model.cache_clear()
    assert len(caplog.records) == 1


# ---------------------------------------------------------------------------
# Failures and their traceback entries


class Unprintable:
    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error


def broken_pipeline(rag, standins, monkeypatch, case):
    """Break one collaborator; returns the expected module entries."""
    st = standins.sentence_transformers.SentenceTransformer
    encode = st.encode
    if case == "no encode":
        monkeypatch.setattr(rag, "_load_model", lambda name: object())
        return [(RANK, 87)]
    if case in ("texts encode", "query encode", "query item"):
        failing_call, line = {"texts encode": (0, 87), "query encode": (1, 93), "query item": (1, 98)}[case]

        def flaky(self, batch, **kw):
            if len(standins.encoded) < failing_call:
                return encode(self, batch, **kw)
            if case == "query item":
                return None  # not subscriptable
            raise RuntimeError(case)

        monkeypatch.setattr(st, "encode", flaky)
        return [(RANK, line)]
    if case == "no torch":
        monkeypatch.setitem(sys.modules, "torch", None)
        return [(RANK, 102)]
    if case == "matmul":
        standins.torch.matmul = lambda d, q: 1 / 0
        return [(RANK, 104)]
    if case == "tolist":
        monkeypatch.setattr(Tensor, "tolist", lambda self: 1 / 0)
        return [(RANK, 105)]
    if case in ("listing", "reading", "loading"):
        name = {"listing": "_iter_description_files", "reading": "_read_text", "loading": "_load_model"}[case]
        monkeypatch.setattr(rag, name, lambda *a: 1 / 0)
        return [(RANK, {"listing": 71, "reading": 75, "loading": 83}[case])]
    if case == "no Path":
        monkeypatch.delattr(rag, "Path")
        return [(RANK, 65)]
    if case == "score":
        standins.torch.matmul = lambda d, q: Tensor(["high", "low", "mid"])
        return [(RANK, 108), ("genexpr", 112)]
    if case == "scores iterator":
        def scores():
            yield 0.5
            raise LookupError

        standins.torch.matmul = lambda d, q: types.SimpleNamespace(cpu=lambda: types.SimpleNamespace(tolist=scores))
        return [(RANK, 108), ("genexpr", 115)]
    if case == "path":
        monkeypatch.setattr(rag, "_iter_description_files", lambda d: [Unprintable(LookupError())])
        monkeypatch.setattr(rag, "_read_text", lambda p: "0.5 text")
        return [(RANK, 108), ("genexpr", 111)]
    if case == "preview":
        monkeypatch.setattr(rag, "_read_text", lambda p: b"0.5 bytes")
        return [(RANK, 108), ("genexpr", 113)]
    raise AssertionError(case)


CASES = {"no encode": AttributeError, "texts encode": RuntimeError, "query encode": RuntimeError,
         "query item": TypeError, "no torch": ImportError, "matmul": ZeroDivisionError,
         "tolist": ZeroDivisionError, "listing": ZeroDivisionError, "reading": ZeroDivisionError,
         "loading": ZeroDivisionError, "no Path": NameError, "score": ValueError,
         "scores iterator": LookupError, "path": LookupError, "preview": TypeError}


@pytest.mark.parametrize("case", CASES)
def test_failure_lines(rag, standins, three, monkeypatch, case):
    expected = broken_pipeline(rag, standins, monkeypatch, case)
    with pytest.raises(CASES[case]) as excinfo:
        rag.rank_problem_descriptions("1", three)
    assert entries_of(excinfo) == expected


def test_stop_iteration_inside_the_builder_is_not_an_early_end(rag, standins, tmp_path, monkeypatch):
    monkeypatch.setattr(rag, "_iter_description_files", lambda d: ["ok", Unprintable(StopIteration())])
    monkeypatch.setattr(rag, "_read_text", lambda p: "0.5 text")
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as excinfo:
        rag.rank_problem_descriptions("1", tmp_path)
    assert entries_of(excinfo) == [(RANK, 108), ("genexpr", 111)]
    assert isinstance(excinfo.value.__cause__, StopIteration)


def find(rag, qualname):
    return [o for o in gc.get_objects()
            if type(o).__module__ == "tarvex.rag_helper" and getattr(o, "__qualname__", None) == qualname]


class Spy:
    """A path whose string form runs `probe` while the record builder is running."""

    def __init__(self, name, probe=None):
        self.name, self.probe = name, probe

    def __str__(self):
        if self.probe:
            self.probe()
        return self.name


class TestPerCallObjects:
    def run(self, rag, monkeypatch, tmp_path, probe):
        monkeypatch.setattr(rag, "_iter_description_files", lambda d: [Spy("first"), Spy("second", probe)])
        monkeypatch.setattr(rag, "_read_text", lambda p: "0.5 text")
        return rag.rank_problem_descriptions("1", tmp_path)

    def test_sort_key_function(self, rag, standins, tmp_path, monkeypatch):
        seen = []

        def probe():
            gc.collect()  # earlier probes' frames hold their finds in cycles
            [key] = [k for k in find(rag, "rank_problem_descriptions.<locals>.<lambda>") if k not in seen]
            seen.append(key)
            assert key({"score": 2.5}) == 2.5 and key(types.MappingProxyType({"score": 1})) == 1
            with pytest.raises(KeyError) as missing:
                key({})
            with pytest.raises(TypeError, match=r"^lambda1\(\) takes exactly 1 positional argument \(0 given\)$") as bad:
                key()
            assert entries_of(missing) == entries_of(bad) == [(LAMBDA, 117)]
            [builder] = find(rag, "rank_problem_descriptions.<locals>.genexpr")
            with pytest.raises(ValueError, match="already executing"):
                next(builder)

        self.run(rag, monkeypatch, tmp_path, probe)
        self.run(rag, monkeypatch, tmp_path, probe)
        assert seen[0] is not seen[1] and seen[0].__name__ == "<lambda>"
        del seen[:]
        gc.collect()
        assert find(rag, "rank_problem_descriptions.<locals>.genexpr") == []

    def test_failing_sort_key_adds_its_entry(self, rag, standins, tmp_path, monkeypatch):
        def probe():
            [built] = [o for o in gc.get_objects()
                       if type(o) is list and o and type(o[0]) is dict and o[0].get("path") == "first"]
            del built[0]["score"]

        with pytest.raises(KeyError) as excinfo:
            self.run(rag, monkeypatch, tmp_path, probe)
        assert entries_of(excinfo) == [(RANK, 108), (LAMBDA, 117)]


# ---------------------------------------------------------------------------
# Memory


@pytest.mark.parametrize("case", [None, "score", "query encode", "missing"])
def test_calls_keep_no_memory(rag, standins, three, monkeypatch, case):
    if case not in (None, "missing"):
        broken_pipeline(rag, standins, monkeypatch, case)
    folder = three / "missing" if case == "missing" else three

    def once():
        standins.clear()
        try:
            rag.rank_problem_descriptions("1", folder)
        except Exception:
            pass

    for _ in range(100):
        once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(1000):
        once()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
