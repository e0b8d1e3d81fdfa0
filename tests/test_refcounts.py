"""Repeated calls, on success and failure paths, keep no memory and no references."""

import gc
import sys
import types

import pytest

from conftest import write_corpus

ROUNDS = 3000
WARM_UP = 300
# A leak of one object per call shows as thousands of blocks; allow noise.
TOLERANCE = 200


class StrSub(str):
    pass


class Stream:
    def __init__(self, value="  some text  ", error=None):
        self.value = value
        self.error = error

    def read(self, size):
        if self.error is not None:
            raise self.error
        return self.value


class Manager:
    def __init__(self, stream, exit_result=False, exit_error=None, enter_error=None):
        self.stream = stream
        self.exit_result = exit_result
        self.exit_error = exit_error
        self.enter_error = enter_error

    def __enter__(self):
        if self.enter_error is not None:
            raise self.enter_error
        return self.stream

    def __exit__(self, *exc):
        if self.exit_error is not None:
            raise self.exit_error
        return self.exit_result


class Opener:
    def __init__(self, **kwargs):
        self.kwargs = kwargs

    def open(self, *args, **kwargs):
        stream_args = self.kwargs.get("stream", {})
        manager_args = {k: (v() if callable(v) else v) for k, v in self.kwargs.items() if k != "stream"}
        stream_args = {k: (v() if callable(v) and k == "error" else v) for k, v in stream_args.items()}
        return Manager(Stream(**stream_args), **manager_args)


class Item:
    def __init__(self, answer):
        self.answer = answer

    def is_file(self):
        return self.answer

    def __lt__(self, other):
        return id(self) < id(other)


class Corpus:
    def __init__(self, kind):
        self.kind = kind

    def rglob(self, pattern):
        items = [Item(True), Item(None), Item(object()), Item(0)]
        if self.kind == "tuple":
            return tuple(items)
        if self.kind == "generator":
            return (item for item in items)
        if self.kind == "fails":
            return [Item(True), 3]
        return items


def swallow(call):
    def run():
        try:
            call()
        except (TypeError, AttributeError, ValueError, NotImplementedError, KeyboardInterrupt):
            pass

    return run


def cases(rag, corpus_dir, text_file):
    read, listing, rank, load = rag._read_text, rag._iter_description_files, rag.rank_problem_descriptions, rag._load_model
    return {
        # discovery
        "list real folder": lambda: listing(corpus_dir),
        "list missing folder": lambda: listing(corpus_dir / "missing"),
        "list list": lambda: listing(Corpus("list")),
        "list tuple": lambda: listing(Corpus("tuple")),
        "list generator": lambda: listing(Corpus("generator")),
        "list failing item": swallow(lambda: listing(Corpus("fails"))),
        "list str": swallow(lambda: listing("folder")),
        "list bad count": swallow(lambda: listing(corpus_dir, corpus_dir)),
        "list bad keyword": swallow(lambda: listing(models_dir=corpus_dir, extra=1)),
        # reading
        "read real file": lambda: read(text_file),
        "read real file cut": lambda: read(text_file, 5),
        "read keywords": lambda: read(max_chars=3, path=text_file),
        "read str subclass keyword": lambda: read(text_file, **{StrSub("max_chars"): 3}),
        "read missing": lambda: read(corpus_dir / "missing.txt"),
        "read folder": lambda: read(corpus_dir),
        "read str path": lambda: read("missing.txt"),
        "read huge limit": lambda: read(text_file, 2**80),
        "read stream fails": lambda: read(Opener(stream={"error": lambda: ValueError("bad")})),
        "read exit suppresses": lambda: read(Opener(stream={"error": lambda: ValueError("bad")}, exit_result=True)),
        "read exit fails": lambda: read(Opener(exit_error=lambda: OSError("close"))),
        "read enter fails": lambda: read(Opener(enter_error=lambda: ValueError("enter"))),
        "read interrupted": swallow(lambda: read(Opener(stream={"error": lambda: KeyboardInterrupt()}))),
        "read exit interrupted": swallow(lambda: read(Opener(exit_error=lambda: KeyboardInterrupt()))),
        "read strip to bytes": lambda: read(Opener(stream={"value": b" x "})),
        "read unsliceable": lambda: read(Opener(stream={"value": 12345}), 2),
        "read bad count": swallow(lambda: read(text_file, 1, 2)),
        "read no argument": swallow(lambda: read()),
        "read multiple values": swallow(lambda: read(text_file, path=text_file)),
        "read bad type": swallow(lambda: read(text_file, 3.0)),
        "read bool": swallow(lambda: read(text_file, True)),
        # ranking and model loading: binding and type failures
        "rank no argument": swallow(lambda: rank()),
        "rank too many": swallow(lambda: rank("q", None, 1, "m", 5)),
        "rank keyword only": swallow(lambda: rank(top_k=1)),
        "rank unknown keyword": swallow(lambda: rank("q", k=1)),
        "rank multiple values": swallow(lambda: rank("q", query="q")),
        "rank str subclass keyword": swallow(lambda: rank("q", **{StrSub("top_k"): "x"})),
        "rank none query": swallow(lambda: rank(None)),
        "rank subclass query": swallow(lambda: rank(StrSub("q"))),
        "rank bool top_k": swallow(lambda: rank("q", top_k=True)),
        "rank none model": swallow(lambda: rank("q", model_name=None)),
        "load no argument": swallow(lambda: load()),
        "load two arguments": swallow(lambda: load("a", "b")),
        "load unknown keyword": swallow(lambda: load(name="a")),
        "load none": swallow(lambda: load(None)),
        "load subclass": swallow(lambda: load.__wrapped__(StrSub("m"))),
        # attribute access
        "attributes": lambda: (read.__defaults__, read.__annotations__, read.__code__, read.__globals__,
                               read.__name__, read.__qualname__, read.__doc__, read.__module__, repr(read)),
    }


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return write_corpus(tmp_path_factory.mktemp("corpus"), {"a.txt": "  first description  ", "sub/b.txt": "second " * 20})


def allocated_after(call, rounds):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        call()
    gc.collect()
    return sys.getallocatedblocks() - before


# The case names, taken from a namespace whose functions are never called.
NAMES = list(cases(types.SimpleNamespace(_read_text=None, _iter_description_files=None,
                                         rank_problem_descriptions=None, _load_model=None), None, None))


@pytest.mark.parametrize("name", NAMES)
def test_no_memory_kept(rag, corpus, name):
    call = cases(rag, corpus, corpus / "a.txt")[name]
    for _ in range(WARM_UP):
        call()
    growth = allocated_after(call, ROUNDS)
    if growth > TOLERANCE:
        # Caches and free lists can settle late; a real leak keeps growing.
        growth = allocated_after(call, ROUNDS)
    assert growth <= TOLERANCE, f"{growth} blocks kept after {ROUNDS} calls"


def test_no_references_kept_to_arguments(rag, corpus):
    path = corpus / "a.txt"
    limit = 10**20
    query = "some query " * 3
    keyword = StrSub("max_chars")
    interrupt = KeyboardInterrupt()
    error = ValueError("kept?")
    stream_failing = Stream(error=error)
    opener_failing = type("O", (), {"open": lambda self, *a, **k: Manager(stream_failing)})()
    opener_interrupted = type("O", (), {"open": lambda self, *a, **k: Manager(Stream(error=interrupt))})()
    exit_value = object()

    class Truthy:
        def __bool__(self):
            return True

    suppress = Truthy()
    opener_suppressing = type("O", (), {"open": lambda self, *a, **k: Manager(Stream(error=error), exit_result=suppress)})()
    items = [Item(exit_value), Item(True)]
    listing = type("C", (), {"rglob": lambda self, pattern: items})()

    watched = [path, limit, query, keyword, interrupt, error, exit_value, suppress, items[0], items[1], corpus]

    def exercise():
        rag._read_text(path, limit)
        rag._read_text(path, **{keyword: 4})
        rag._read_text(opener_failing)
        rag._read_text(opener_suppressing)
        try:
            rag._read_text(opener_interrupted)
        except KeyboardInterrupt:
            pass
        interrupt.__traceback__ = None
        error.__traceback__ = None
        rag._iter_description_files(listing)
        rag._iter_description_files(corpus)
        for call in (lambda: rag.rank_problem_descriptions(query, top_k=True),
                     lambda: rag.rank_problem_descriptions(query, k=query),
                     lambda: rag._read_text(path, **{keyword: 1.5}),
                     lambda: rag._load_model(model_name=query, extra=1)):
            try:
                call()
            except TypeError as exc:
                exc.__traceback__ = None

    for _ in range(50):
        exercise()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(500):
        exercise()
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before
