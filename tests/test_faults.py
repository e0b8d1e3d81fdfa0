"""Faults injected at every collaborator call, and file trees that change, loop or carry odd names.

Interrupts (KeyboardInterrupt, SystemExit) must leave each function as the very same object with
the traceback entries of the failing step, with every entered file closed and nothing cached.
"""

import gc
import logging
import os
import signal
import sys
import tracemalloc
import types
import warnings
import weakref
from pathlib import Path

import pytest

from conftest import entries_of, module_entries, run_python, write_corpus as write_tree
from testsupport.standins import Tensor

ITER = "tarvex.rag_helper._iter_description_files"
READ = "tarvex.rag_helper._read_text"
LOAD = "tarvex.rag_helper._load_model"
RANK = "tarvex.rag_helper.rank_problem_descriptions"
LAMBDA = "tarvex.rag_helper.rank_problem_descriptions.lambda1"
BUILDER = "genexpr"
TEXTS = {"a.txt": "0.2 alpha", "c.txt": "0.5 gamma", "sub/b.txt": "0.9 beta"}

# Traceback entries that each fault leaves in the function making the failing call.
LISTING = {"rglob": [(ITER, 29)], "walk": [(ITER, 29)], "is_file": [(ITER, 29)]}
READING = {"open": [(READ, 37)], "enter": [(READ, 37)], "read": [(READ, 37), (READ, 38)],
           "strip": [(READ, 37), (READ, 41)], "exit": [(READ, 37)], "exit after failure": [(READ, 37)]}
LOADING = {"import": [(LOAD, 17)], "class lookup": [(LOAD, 17)], "constructor": [(LOAD, 19)]}
# Entries of a whole ranking call for each fault.
RANKING = {
    **{step: [(RANK, 71)] + entries for step, entries in LISTING.items()},
    **{step: [(RANK, 75)] + entries for step, entries in READING.items()},
    **{step: [(RANK, 83)] + entries for step, entries in LOADING.items()},
    "encode texts": [(RANK, 87)], "encode query": [(RANK, 93)], "query item": [(RANK, 98)],
    "torch import": [(RANK, 102)], "matmul": [(RANK, 104)], "cpu": [(RANK, 105)], "tolist": [(RANK, 105)],
    "path": [(RANK, 108), (BUILDER, 111)], "score": [(RANK, 108), (BUILDER, 112)],
    "preview": [(RANK, 108), (BUILDER, 113)], "scores walk": [(RANK, 108), (BUILDER, 115)],
    "sort key": [(RANK, 108), (LAMBDA, 117)],
}


@pytest.fixture(params=[KeyboardInterrupt, SystemExit], ids=["KeyboardInterrupt", "SystemExit"])
def error(request):
    return request.param("injected")


@pytest.fixture
def corpus(tmp_path):
    return write_tree(tmp_path / "corpus", TEXTS)


# ---------------------------------------------------------------------------
# The fault rig: a real path class, a context around each real stream, and
# broken stand-ins for the model package and torch.


class Refusing:
    """Raises the given exception from whatever is asked of it."""

    def __init__(self, error, name=None):
        self.error, self.name = error, name

    def find_spec(self, name, path=None, target=None):
        if name == self.name:
            raise self.error

    def __float__(self):
        raise self.error

    def __getitem__(self, key):
        raise self.error


class FaultyText(str):
    """Text whose strip or slice raises."""

    def strip(self):
        raise self.error

    def __getitem__(self, key):
        raise self.error


def faulty_text(text, error):
    text = FaultyText(text)
    text.error = error
    return text


class Guarded:
    """The real stream's context; the rig's step inside it fails."""

    def __init__(self, stream, rig):
        self.stream, self.rig = stream, rig
        self.entered, self.exit_args = False, None

    def __enter__(self):
        self.rig.fire("enter")
        self.entered = self.stream.__enter__() is self.stream
        return self

    def read(self, size):
        if self.rig.step == "exit after failure":
            raise ValueError("read failed")
        self.rig.fire("read")
        text = self.stream.read(size)
        return faulty_text(text, self.rig.error) if self.rig.step == "strip" else text

    def __exit__(self, *exc):
        self.exit_args = exc
        self.stream.__exit__(*exc)
        if self.rig.step in ("exit", "exit after failure"):
            raise self.rig.error
        return False


class Rig:
    """One fault, named by its step, and the hooks that raise it there."""

    def __init__(self, step, error):
        self.step, self.error = step, error
        self.contexts = []
        self.armed = False  # set once scoring has begun

    def fire(self, step):
        if step == self.step:
            raise self.error

    def walk(self, found):
        yield next(found)
        raise self.error

    def path_class(rig):
        class RiggedPath(type(Path())):
            def rglob(self, pattern):
                rig.fire("rglob")
                found = super().rglob(pattern)
                return rig.walk(found) if rig.step == "walk" else found

            def is_file(self):
                if self.name == "c.txt":
                    rig.fire("is_file")
                return super().is_file()

            def open(self, *args, **kwargs):
                rig.fire("open")
                rig.contexts.append(Guarded(super().open(*args, **kwargs), rig))
                return rig.contexts[-1]

            def __str__(self):
                if rig.armed and self.name == "b.txt":  # the last record
                    rig.fire("path")
                    if rig.step == "sort key":
                        rig.spoil_first_record()
                return super().__str__()

        return RiggedPath

    def spoil_first_record(self):
        """Swap the first record that the sort has collected for one whose score cannot be read."""
        [collected] = [o for o in gc.get_objects()
                       if type(o) is list and len(o) == 2 and all(type(r) is dict and "preview" in r for r in o)]
        collected[0] = Refusing(self.error)

    def break_model_and_torch(self, rag, standins, monkeypatch):
        step, error = self.step, self.error
        model_class = standins.sentence_transformers.SentenceTransformer
        encode = model_class.encode
        if step in ("import", "torch import"):
            name = "sentence_transformers" if step == "import" else "torch"
            monkeypatch.delitem(sys.modules, name)
            monkeypatch.setattr(sys, "meta_path", [Refusing(error, name), *sys.meta_path])
        elif step == "class lookup":
            module = types.ModuleType("sentence_transformers")
            module.__getattr__ = lambda name: Refusing(error)[name]
            monkeypatch.setitem(sys.modules, "sentence_transformers", module)
        elif step == "constructor":
            monkeypatch.setattr(model_class, "__init__", lambda self, name: Refusing(error)[name])

        def faulty_encode(model, batch, **kwargs):
            call = len(standins.encoded)
            if (step, call) in (("encode texts", 0), ("encode query", 1)):
                raise error
            result = encode(model, batch, **kwargs)
            return Refusing(error) if (step, call) == ("query item", 1) else result

        monkeypatch.setattr(model_class, "encode", faulty_encode)
        matmul, cpu, tolist = standins.torch.matmul, Tensor.cpu, Tensor.tolist

        def faulty_matmul(*args):
            self.fire("matmul")
            self.armed = True
            return matmul(*args)

        def faulty_tolist(tensor):
            self.fire("tolist")
            scores = tolist(tensor)
            if step == "score":
                return [Refusing(error) for _ in scores]
            return self.walk(iter(scores)) if step == "scores walk" else scores

        standins.torch.matmul = faulty_matmul
        monkeypatch.setattr(Tensor, "cpu", lambda tensor: self.fire("cpu") or cpu(tensor))
        monkeypatch.setattr(Tensor, "tolist", faulty_tolist)
        if step == "preview":
            read = rag._read_text
            monkeypatch.setattr(rag, "_read_text", lambda p: faulty_text(read(p), error))


# ---------------------------------------------------------------------------
# Interrupts pass through every collaborator call unchanged


class TestInterruptsPassThrough:
    @pytest.mark.parametrize("step", LISTING)
    def test_listing(self, rag, corpus, error, step):
        rig = Rig(step, error)
        with pytest.raises(type(error)) as excinfo:
            rag._iter_description_files(rig.path_class()(corpus))
        assert excinfo.value is error
        assert entries_of(excinfo) == LISTING[step]

    @pytest.mark.parametrize("step", READING)
    def test_reading_closes_the_file_and_restores_the_handled_exception(self, rag, corpus, error, step):
        rig = Rig(step, error)
        path = rig.path_class()(corpus / "a.txt")
        outer = LookupError("outer")
        try:
            raise outer
        except LookupError:
            with pytest.raises(type(error)) as excinfo:
                rag._read_text(path)
            assert sys.exception() is outer
        assert sys.exception() is None
        assert excinfo.value is error
        assert entries_of(excinfo) == READING[step]
        if step == "open":
            assert rig.contexts == []
            return
        [context] = rig.contexts
        if step == "enter":
            # Never entered: no exit call, and the module keeps no hold on the opened file.
            assert context.exit_args is None
            stream = weakref.ref(context.stream)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ResourceWarning)  # the never-entered file closes as it dies
                del rig.contexts[:], context, excinfo
                error.__traceback__ = None
                gc.collect()
            assert stream() is None
            return
        assert context.entered and context.stream.closed
        if step in ("read", "strip"):
            assert context.exit_args[:2] == (type(error), error)
        elif step == "exit":
            assert context.exit_args == (None, None, None)
        else:
            failure = error.__context__
            assert isinstance(failure, ValueError) and context.exit_args[1] is failure
            assert [entry[1:] for entry in module_entries(failure.__traceback__)] == [(READ, 38)]

    @pytest.mark.parametrize("step", LOADING)
    def test_loading_caches_nothing_and_logs_nothing(self, rag, standins, monkeypatch, caplog, error, step):
        with monkeypatch.context() as patch:
            Rig(step, error).break_model_and_torch(rag, standins, patch)
            with pytest.raises(type(error)) as excinfo:
                rag._load_model("m")
            assert excinfo.value is error
            assert entries_of(excinfo) == LOADING[step]
            assert rag._load_model.cache_info().currsize == 0
        assert caplog.records == []
        # Nothing was remembered, so the repaired package is used by the next call.
        assert isinstance(rag._load_model("m"), standins.sentence_transformers.SentenceTransformer)

    @pytest.mark.parametrize("step", RANKING)
    def test_ranking(self, rag, standins, corpus, monkeypatch, caplog, error, step):
        rig = Rig(step, error)
        rig.break_model_and_torch(rag, standins, monkeypatch)
        monkeypatch.setattr(rag, "Path", rig.path_class())
        outer = LookupError("outer")
        try:
            raise outer
        except LookupError:
            with pytest.raises(type(error)) as excinfo:
                rag.rank_problem_descriptions("1 query", str(corpus))
            assert sys.exception() is outer
        assert excinfo.value is error
        assert entries_of(excinfo) == RANKING[step]
        assert all(c.stream.closed for c in rig.contexts if c.entered)
        for context in rig.contexts:
            context.stream.close()  # the one file whose context was never entered
        if step not in LISTING and step not in READING:
            assert len(rig.contexts) == 3
        assert caplog.records == []
        if step in LOADING:
            assert rag._load_model.cache_info().currsize == 0


# ---------------------------------------------------------------------------
# The tree changes while it is walked and read


def changing_path(root, trigger, change, method="is_file"):
    """A real path class that runs change(root) once, when `method` is first called on the file
    named `trigger`, and records every is_file answer."""
    done = []

    class ChangingPath(type(Path())):
        answers = []

        def hook(self, name):
            if name == method and self.name == trigger and not done:
                done.append(self)
                change(root)

        def is_file(self):
            self.hook("is_file")
            ChangingPath.answers.append((self, super().is_file()))
            return ChangingPath.answers[-1][1]

        def open(self, *args, **kwargs):
            self.hook("open")
            return super().open(*args, **kwargs)

    return ChangingPath


def vanish(name):
    return lambda root: (root / name).unlink()


def rewrite(name, text):
    return lambda root: (root / name).write_text(text)


def into_directory(name):
    def change(root):
        (root / name).unlink()
        (root / name).mkdir()
        (root / name / "inner.txt").write_text("0.8 inside")

    return change


ALL = {"a.txt", "c.txt", "sub/b.txt"}
MUTATIONS = {
    # name: (file whose is_file call triggers it, change made, names kept, names left out)
    "vanishes before its own check": ("c.txt", vanish("c.txt"), ALL - {"c.txt"}, {"c.txt"}),
    "becomes a directory before its own check": ("c.txt", into_directory("c.txt"), ALL - {"c.txt"}, {"c.txt"}),
    "listed file vanishes after its check": ("b.txt", vanish("a.txt"), ALL, set()),
    "listed file rewritten after its check": ("b.txt", rewrite("a.txt", "0.95 new"), ALL, set()),
    "listed file emptied after its check": ("b.txt", rewrite("a.txt", "  \n"), ALL, set()),
    "listed file becomes a directory": ("b.txt", into_directory("a.txt"), ALL, set()),
}


class TestChangingTree:
    @pytest.mark.parametrize("mutation", MUTATIONS)
    def test_each_candidate_is_judged_by_its_own_check(self, rag, corpus, mutation):
        trigger, change, kept, dropped = MUTATIONS[mutation]
        cls = changing_path(corpus, trigger, change)
        found = rag._iter_description_files(cls(corpus))
        # What the walk yielded and what each check answered decide; the list is not checked again.
        assert found == sorted(p for p, answer in cls.answers if answer)
        names = {p.relative_to(corpus).as_posix() for p in found}
        assert kept <= names and not dropped & names
        assert len({p for p, _ in cls.answers}) == len(cls.answers)  # one check per candidate

    @pytest.mark.parametrize("mutation", MUTATIONS)
    def test_ranking_reads_what_is_there_when_it_reads(self, rag, standins, corpus, monkeypatch, mutation):
        trigger, change, kept, dropped = MUTATIONS[mutation]
        cls = changing_path(corpus, trigger, change)
        monkeypatch.setattr(rag, "Path", cls)
        records = rag.rank_problem_descriptions("1", corpus, 0)
        expected = []
        for path in sorted(p for p, answer in cls.answers if answer):
            text = path.read_text().strip() if path.is_file() else ""  # unreadable: skipped
            if text:
                expected.append((float(text.split()[0]), str(path), text))
        assert [text for _, _, text in expected] == standins.encoded[0]
        assert [(r["score"], r["path"], r["preview"]) for r in records] == sorted(expected, reverse=True)
        assert not dropped & {Path(r["path"]).relative_to(corpus).as_posix() for r in records}

    def test_file_vanishing_between_check_and_read_is_skipped(self, rag, standins, corpus, monkeypatch):
        monkeypatch.setattr(rag, "Path", changing_path(corpus, "c.txt", vanish("c.txt"), "open"))
        records = rag.rank_problem_descriptions("1", corpus)
        assert [(Path(r["path"]).name, r["preview"]) for r in records] == [("b.txt", "0.9 beta"),
                                                                             ("a.txt", "0.2 alpha")]
        assert standins.encoded[0] == ["0.2 alpha", "0.9 beta"]


# ---------------------------------------------------------------------------
# Symbolic-link loops


@pytest.fixture
def looped(tmp_path):
    root = write_tree(tmp_path / "corpus", TEXTS)
    (root / "sub" / "up").symlink_to(root, target_is_directory=True)  # back to an ancestor
    (root / "ring.txt").symlink_to(root / "sub", target_is_directory=True)
    (root / "self.txt").symlink_to(root / "self.txt")  # points to itself
    (root / "x.txt").symlink_to(root / "missing.txt")  # dangling
    (root / "alias.txt").symlink_to(root / "a.txt")  # a file reached through a link
    return root


@pytest.fixture
def deadline():
    def expire(signum, frame):
        raise TimeoutError("the walk did not end")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(60)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


class TestSymlinkLoops:
    @pytest.mark.parametrize("start", [".", "sub/up", "sub/up/sub/up"])
    def test_listing_ends_and_matches_the_path_walk(self, rag, looped, deadline, start):
        root = looped / start
        found = rag._iter_description_files(root)
        assert found == sorted(p for p in root.rglob("*.txt") if p.is_file())
        assert [p.relative_to(root).as_posix() for p in found] == ["a.txt", "alias.txt", "c.txt", "sub/b.txt"]

    def test_ranking_a_looped_tree(self, rag, standins, looped, deadline):
        records = rag.rank_problem_descriptions("1", looped / "sub" / "up", 0)
        base = looped / "sub" / "up"
        # alias.txt scores like a.txt and follows it in path order.
        assert [(r["path"], r["score"]) for r in records] == [
            (str(base / "sub/b.txt"), 0.9), (str(base / "c.txt"), 0.5), (str(base / "a.txt"), 0.2),
            (str(base / "alias.txt"), 0.2)]


# ---------------------------------------------------------------------------
# A file of 1 GiB is read with bounded memory

GIB = 1 << 30
LIMIT_BYTES = 20 * 1024 * 1024


def sparse_file(path, head):
    path.write_text(head, encoding="utf-8")
    os.truncate(path, GIB)
    return path


def traced(function, *args):
    """The function's result and the peak of memory traced while it ran."""
    tracemalloc.start()
    try:
        return function(*args), tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


HEADS = {
    "text longer than the limit": "  \n" + "é€ word\tline\n" * 300_000,  # about 4 MB, multi-byte characters
    "short text then zero bytes": "  short head  ",
}


class TestHugeFile:
    @pytest.mark.parametrize("head", HEADS.values(), ids=HEADS)
    def test_only_the_head_is_read(self, rag, tmp_path, head):
        text, peak = traced(rag._read_text, sparse_file(tmp_path / "huge.txt", head))
        assert text == (head + "\0" * 100_000)[:100_000].strip()
        assert peak < LIMIT_BYTES

    def test_resident_memory_stays_small(self, tmp_path):
        path = sparse_file(tmp_path / "huge.txt", "x" * 10)
        done = run_python("""
            import resource, sys
            from pathlib import Path
            import tarvex.rag_helper as rag
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            text = rag._read_text(Path(sys.argv[1]))
            after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            print(len(text), (after - before) * 1024)
        """, str(path))
        assert done.returncode == 0, done.stderr
        length, growth = map(int, done.stdout.split())
        assert length == 100_000 and growth < LIMIT_BYTES

    def test_ranking_a_corpus_with_a_huge_file(self, rag, standins, tmp_path):
        root = write_tree(tmp_path / "corpus", {"small.txt": "0.1 small"})
        sparse_file(root / "huge.txt", "0.7 " + "word\n" * 50_000)
        records, peak = traced(rag.rank_problem_descriptions, "1", root)
        assert peak < LIMIT_BYTES
        assert [len(t) for t in standins.encoded[0]] == [100_000, 9]
        assert records[0]["preview"] == ("0.7 " + "word " * 60)[:300]


# ---------------------------------------------------------------------------
# File names with line feeds and bytes that are not UTF-8

ODD_NAMES = {
    b"caf\xe9.txt": "0.3 caf\u00e9 text",
    b"line\nbreak.txt": "0.7 two\nlines",
    b"d\xff\xfe/inner.txt": "0.5 inner",
    b"plain.txt": "  0.1 plain  ",
}


@pytest.fixture
def odd(tmp_path):
    root = os.path.join(os.fsencode(tmp_path), b"corpus")
    for name, text in ODD_NAMES.items():
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "wb") as f:
            f.write(text.encode("utf-8"))
    return Path(os.fsdecode(root))


class TestOddFileNames:
    def test_listed_and_read(self, rag, odd):
        found = rag._iter_description_files(odd)
        assert found == sorted(p for p in odd.rglob("*.txt") if p.is_file())
        assert {os.fsencode(p.relative_to(odd)) for p in found} == set(ODD_NAMES)
        for path in found:
            assert rag._read_text(path) == ODD_NAMES[os.fsencode(path.relative_to(odd))].strip()

    def test_ranked_with_escaped_paths_and_previews(self, rag, standins, odd):
        records = rag.rank_problem_descriptions("1", odd)
        root = os.fsencode(odd)
        expected = sorted(((os.path.join(root, name), text.strip()) for name, text in ODD_NAMES.items()),
                          key=lambda item: -float(item[1].split()[0]))
        assert [(os.fsencode(r["path"]), r["preview"]) for r in records] == [
            (path, text.replace("\n", " ")) for path, text in expected]
        assert all(type(r["path"]) is str for r in records)
        assert str(odd / os.fsdecode(b"caf\xe9.txt")) in [r["path"] for r in records]
        assert any("\udce9" in r["path"] for r in records)


# ---------------------------------------------------------------------------
# The handled exception seen inside a generator


def fails_to_load(rag, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    rag._load_model.__wrapped__("a")


def reads_a_missing_file(rag, monkeypatch, tmp_path):
    assert rag._read_text(tmp_path / "missing.txt") == ""


def fails_inside_the_file_context(rag, monkeypatch, tmp_path):
    class Stream:
        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            return False

        def read(self, size):
            raise OSError("read failed")

    class Source:
        def open(self, *args, **kwargs):
            return Stream()

    assert rag._read_text(Source()) == ""


@pytest.mark.parametrize("handler", [fails_to_load, reads_a_missing_file, fails_inside_the_file_context])
def test_a_handler_inside_a_generator_leaves_its_handled_exception_alone(rag, monkeypatch, tmp_path, handler):
    logging.disable(logging.CRITICAL)
    try:
        def generator():
            handler(rag, monkeypatch, tmp_path)
            yield sys.exception()
            yield sys.exception()

        running = generator()
        try:
            raise KeyError("outer")
        except KeyError as outer:
            assert next(running) is outer  # the generator sees the outer handler's exception ...
            assert sys.exception() is outer
        assert next(running) is None  # ... and nothing once that handler is done, as in Python
        assert sys.exception() is None
    finally:
        logging.disable(logging.NOTSET)
