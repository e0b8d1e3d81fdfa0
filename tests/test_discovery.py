"""Finding the description files below a corpus folder."""

import pathlib
from pathlib import Path

import pytest

from conftest import entries_of

ITER = "tarvex.rag_helper._iter_description_files"


def make_tree(root, files, folders=()):
    for folder in folders:
        (root / folder).mkdir(parents=True, exist_ok=True)
    for name in files:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text("text")


# ---------------------------------------------------------------------------
# Real folders


def test_path_order_is_part_by_part(rag, tmp_path):
    make_tree(tmp_path / "m", ["a.txt", "a-c.txt", "a/b.txt", "B.txt"])
    found = rag._iter_description_files(tmp_path / "m")
    assert found == [tmp_path / "m" / name for name in ("B.txt", "a/b.txt", "a-c.txt", "a.txt")]


def test_deep_files_and_filters(rag, tmp_path):
    make_tree(
        tmp_path,
        ["top.txt", "one/two/three/deep.txt", "notes.txt/inside.txt", ".hidden.txt", "x.TXT", "y.txt.bak",
         "z.text", ".hidden_dir/h.txt"],
        folders=["empty.txt", "plain"],
    )
    found = rag._iter_description_files(tmp_path)
    assert found == sorted(
        tmp_path / name
        for name in (".hidden.txt", ".hidden_dir/h.txt", "notes.txt/inside.txt", "one/two/three/deep.txt", "top.txt")
    )
    assert all(type(p) is type(tmp_path) for p in found)


def test_folder_without_descriptions(rag, tmp_path):
    make_tree(tmp_path, ["a.md", "sub/b.TXT"], folders=["sub/notes.txt"])
    assert rag._iter_description_files(tmp_path) == []


def test_missing_folder_yields_empty_list(rag, tmp_path):
    assert rag._iter_description_files(tmp_path / "missing") == []


def test_relative_folder_gives_relative_entries(rag, tmp_path, monkeypatch):
    make_tree(tmp_path / "corpus", ["b.txt", "a/c.txt"])
    monkeypatch.chdir(tmp_path)
    assert rag._iter_description_files(Path("corpus")) == [Path("corpus/a/c.txt"), Path("corpus/b.txt")]


def test_entries_keep_the_path_class(rag, tmp_path):
    class CorpusPath(type(Path())):
        pass

    make_tree(tmp_path, ["a.txt"])
    found = rag._iter_description_files(CorpusPath(tmp_path))
    assert found == [CorpusPath(tmp_path / "a.txt")]
    assert type(found[0]) is CorpusPath


def test_each_call_returns_a_new_list(rag, tmp_path):
    make_tree(tmp_path, ["a.txt", "b/c.txt"])
    first = rag._iter_description_files(tmp_path)
    second = rag._iter_description_files(tmp_path)
    assert first == second and first is not second
    first.clear()
    assert rag._iter_description_files(tmp_path) == second


def test_keyword_call(rag, tmp_path):
    make_tree(tmp_path, ["a.txt"])
    assert rag._iter_description_files(models_dir=tmp_path) == [tmp_path / "a.txt"]


def test_str_argument_fails_without_touching_files(rag):
    with pytest.raises(AttributeError) as excinfo:
        rag._iter_description_files("/definitely/not/here")
    assert str(excinfo.value) == "'str' object has no attribute 'rglob'"
    assert entries_of(excinfo) == [(ITER, 29)]


def test_two_positional_arguments(rag, tmp_path):
    with pytest.raises(TypeError) as excinfo:
        rag._iter_description_files(tmp_path, tmp_path)
    assert str(excinfo.value) == "_iter_description_files() takes exactly 1 positional argument (2 given)"
    assert entries_of(excinfo) == [(ITER, 25)]


# ---------------------------------------------------------------------------
# Objects of other kinds: what is asked of them and in which order


class Item:
    """A candidate that answers is_file() with a fixed value; ordered by key."""

    def __init__(self, answer=True, key=0, tag=""):
        self.answer = answer
        self.key = key
        self.tag = tag
        self.asked = 0

    def is_file(self):
        self.asked += 1
        return self.answer

    def __lt__(self, other):
        return self.key < other.key

    def __repr__(self):
        return f"Item({self.tag})"


class Corpus:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def rglob(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class Falsy:
    def __bool__(self):
        return False


class Empty:
    def __len__(self):
        return 0


class Truthy:
    def __bool__(self):
        return True


ANSWERS = [
    (True, True), (False, False), (None, False), (1, True), (0, False), ("", False), ("yes", True),
    ([], False), ([0], True), (Falsy(), False), (Empty(), False), (Truthy(), True), (object(), True),
    (0.0, False), (2.5, True),
]


@pytest.mark.parametrize("kind", ["list", "tuple", "generator", "iterator"])
def test_is_file_answers_judged_by_truth(rag, kind):
    items = [Item(answer, key=k, tag=str(k)) for k, (answer, _) in enumerate(ANSWERS)]
    wrap = {
        "list": list,
        "tuple": tuple,
        "generator": lambda seq: (x for x in seq),
        "iterator": iter,
    }[kind]
    corpus = Corpus(wrap(items))
    found = rag._iter_description_files(corpus)
    assert found == [item for item, (_, keep) in zip(items, ANSWERS) if keep]
    assert all(a is b for a, b in zip(found, [item for item, (_, keep) in zip(items, ANSWERS) if keep]))
    assert [item.asked for item in items] == [1] * len(items)
    assert corpus.calls == [(("*.txt",), {})]


def test_sort_is_stable_ascending_by_less_than(rag):
    items = [Item(key=2, tag="a"), Item(key=1, tag="b"), Item(key=2, tag="c"), Item(key=1, tag="d"),
             Item(key=0, tag="e")]
    found = rag._iter_description_files(Corpus(items))
    assert [item.tag for item in found] == ["e", "b", "d", "a", "c"]
    # The walk's own list is left as it was.
    assert [item.tag for item in items] == ["a", "b", "c", "d", "e"]


def test_duplicates_are_kept(rag):
    item = Item()
    assert rag._iter_description_files(Corpus([item, item, item])) == [item, item, item]


def test_custom_iterator_ends_on_stop_iteration(rag):
    class Countdown:
        def __init__(self):
            self.left = 3

        def __iter__(self):
            return self

        def __next__(self):
            if self.left == 0:
                raise StopIteration
            self.left -= 1
            return Item(key=self.left)

    found = rag._iter_description_files(Corpus(Countdown()))
    assert [item.key for item in found] == [0, 1, 2]


def test_list_growing_during_the_walk_is_followed(rag):
    items = []

    class Growing(Item):
        def is_file(self):
            if len(items) < 4:
                items.append(Growing(key=-len(items)))
            return True

    items.append(Growing(key=1))
    found = rag._iter_description_files(Corpus(items))
    assert [item.key for item in found] == [-3, -2, -1, 1]


def test_rglob_is_looked_up_at_call_time(rag):
    corpus = Corpus([])
    corpus.rglob = lambda pattern: [Item(tag=pattern)]
    assert [item.tag for item in rag._iter_description_files(corpus)] == ["*.txt"]


# ---------------------------------------------------------------------------
# Failures pass through with an entry at the function's one statement


class Boom(Exception):
    pass


def failing_generator():
    yield Item()
    raise Boom("walk failed")


class RaisingBool:
    def __bool__(self):
        raise Boom("no truth")


class Unordered:
    def is_file(self):
        return True


class FailingItem:
    def is_file(self):
        raise Boom("is_file failed")


class FailingCorpus:
    def rglob(self, pattern):
        raise Boom("rglob failed")


FAILURES = [
    ("no rglob", lambda: object(), AttributeError),
    ("rglob raises", FailingCorpus, Boom),
    ("not iterable", lambda: Corpus(42), TypeError),
    ("walk raises", lambda: Corpus(failing_generator()), Boom),
    ("is_file raises", lambda: Corpus([Item(answer=None), FailingItem()]), Boom),
    ("item without is_file", lambda: Corpus([Item(), 3]), AttributeError),
    ("truth test raises", lambda: Corpus([Item(answer=RaisingBool())]), Boom),
    ("unorderable", lambda: Corpus([Unordered(), Unordered()]), TypeError),
]


@pytest.mark.parametrize("label,make,error", FAILURES, ids=[f[0] for f in FAILURES])
def test_failures_pass_through(rag, label, make, error):
    with pytest.raises(error) as excinfo:
        rag._iter_description_files(make())
    assert type(excinfo.value) is error
    assert entries_of(excinfo) == [(ITER, 29)]


def test_keyboard_interrupt_passes_through(rag):
    def interrupted():
        yield Item()
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as excinfo:
        rag._iter_description_files(Corpus(interrupted()))
    assert entries_of(excinfo) == [(ITER, 29)]


def test_path_ordering_is_not_text_ordering(rag, tmp_path):
    # Guards against sorting by str(p): text order would put a.txt before a/b.txt.
    make_tree(tmp_path, ["a.txt", "a/b.txt"])
    found = rag._iter_description_files(tmp_path)
    assert found == [tmp_path / "a/b.txt", tmp_path / "a.txt"]
    assert sorted(map(str, found)) != list(map(str, found))
    assert isinstance(found[0], pathlib.PurePath)
