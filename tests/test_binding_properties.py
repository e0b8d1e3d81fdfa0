"""Generated calls of the module's functions, checked against a small model of the binding rules.

`predict` below says what a call must do: a binding failure (exact TypeError
text, one traceback entry at the first line of the function), an exception
raised by a keyword name's own `__eq__` (same entry), a failed exact-type test
(no entry; a note for subclass instances), or a successful binding.  Calls that
bind run a harmless body whose collaborators record the values they received.
"""

import sys
import types
from collections import namedtuple

import pytest
from hypothesis import event, given, settings, strategies as st

from conftest import chosen_scope, entries_of

import tarvex.rag_helper as rag  # conftest has already fixed sys.path

# The full run (CI) tries four times as many generated calls as the quick default.
PROFILE = settings(max_examples=400 if chosen_scope() == "full" else 100, deadline=None)

Signature = namedtuple("Signature", "name first_line params defaults exact_types")
SIGNATURES = {s.name: s for s in (
    Signature("_load_model", 14, ("model_name",), {}, {"model_name": str}),
    Signature("_iter_description_files", 25, ("models_dir",), {}, {}),
    Signature("_read_text", 32, ("path", "max_chars"), {"max_chars": 100000}, {"max_chars": int}),
    Signature("rank_problem_descriptions", 46, ("query", "models_dir", "top_k", "model_name"),
              {"models_dir": None, "top_k": 10, "model_name": "sentence-transformers/all-MiniLM-L6-v2"},
              {"query": str, "top_k": int, "model_name": str}),
)}
FUNCTION_NAMES = pytest.mark.parametrize("name", list(SIGNATURES))

# ---------------------------------------------------------------------------
# Keyword names and values

ARMED = [False]  # the odd names misbehave only during the call, not while the test builds its dict


class ComparisonFailed(Exception):
    pass


class StrSub(str):
    equality = "text"


class Name(str):
    """A keyword name whose `==` behaves as `equality` says during the call."""

    equality = "text"
    __hash__ = str.__hash__

    def __eq__(self, other):
        if not ARMED[0] or self.equality == "text":
            return str.__eq__(self, other)
        if self.equality == "raise":
            raise ComparisonFailed(str.__str__(self))
        return self.equality == "all"


EqualsAll = type("EqualsAll", (Name,), {"equality": "all"})
EqualsNone = type("EqualsNone", (Name,), {"equality": "none"})
EqualityFails = type("EqualityFails", (Name,), {"equality": "raise"})


class HashFails(str):
    equality = "text"  # binding compares names; it has no need of their hash

    def __hash__(self):
        if ARMED[0]:
            raise ComparisonFailed("hashed " + str.__str__(self))
        return str.__hash__(self)


IntSub = type("IntSub", (int,), {})


class Hostile:
    """A value that refuses to be compared or hashed."""

    def __eq__(self, other):
        raise ComparisonFailed("value compared")

    def __hash__(self):
        raise ComparisonFailed("value hashed")


class Recorder:
    """Stands for a path: records `open` arguments, `read` sizes and `rglob` patterns."""

    TEXT = "  line one\nline two  "

    def __init__(self):
        self.opened, self.sizes, self.globs = [], [], []

    def open(self, *args, **kwargs):
        self.opened.append((args, kwargs))
        return self

    __enter__ = lambda self: self  # noqa: E731
    __exit__ = lambda self, *exc: False  # noqa: E731

    def read(self, size):
        self.sizes.append(size)
        return self.TEXT

    def rglob(self, pattern):
        self.globs.append(pattern)
        return []

    def untouched(self):
        return self.opened == self.sizes == self.globs == []


ALL_PARAMS = ["query", "models_dir", "top_k", "model_name", "path", "max_chars"]
UNKNOWN = ["k", "", "zzz", "top_k ", "Query", "modèle", "x" * 300]
NAME_CLASSES = [StrSub, EqualsAll, EqualsNone, EqualityFails, HashFails]


def same_text(text):
    return "".join(list(text))  # equal, but not the same object


def names_for(sig):
    """Keyword names: mostly the function's own parameters, as the same or another object."""
    own, texts = list(sig.params), list(sig.params) + ALL_PARAMS + UNKNOWN
    return st.one_of(st.sampled_from(own), st.sampled_from(texts), st.sampled_from(own).map(same_text),
                     st.builds(lambda cls, text: cls(text), st.sampled_from(NAME_CLASSES), st.sampled_from(texts)))


values = st.one_of(
    st.text(max_size=5), st.integers(), st.builds(Recorder),
    st.sampled_from([None, True, False, 0, 7, -3, 2**200, -(2**200), 1.5, float("inf"), "", "q"]),
    st.one_of(st.builds(StrSub, st.text(max_size=3)), st.builds(IntSub, st.integers()),
              st.builds(Hostile), st.builds(EqualityFails, st.sampled_from(ALL_PARAMS))),
)


def positionals_for(sig):
    return st.one_of(st.lists(values, max_size=len(sig.params)), st.lists(values, max_size=6))


def keywords_for(sig, extra_names=st.nothing()):
    pair = st.tuples(st.one_of(names_for(sig), extra_names), values)
    return st.one_of(st.lists(pair, max_size=2), st.lists(pair, max_size=4))


# ---------------------------------------------------------------------------
# The model of the binding rules


def _equal(name, param):
    if type(name) is str:
        return name == param
    if name.equality == "raise":
        raise ComparisonFailed(str.__str__(name))
    return {"all": True, "none": False}.get(name.equality, str.__str__(name) == param)


def predict(sig, positional, keywords):
    """('binding', message), ('raises', name text), ('type', message, noted) or ('ok', bound values)."""
    n, count = len(sig.params), len(positional)

    def count_error(given):
        word, most = ("exactly", 1) if n == 1 else ("at least", 1) if given < 1 else ("at most", n)
        return ("binding", f"{sig.name}() takes {word} {most} positional argument{'s' * (most != 1)} ({given} given)")

    if (not keywords and not 1 <= count <= n) or (keywords and count > n):
        return count_error(count)
    bound = dict(zip(sig.params, positional))
    for name, value in keywords:
        if not isinstance(name, str):
            return ("binding", f"{sig.name}() keywords must be strings")
        text = str.__str__(name)
        try:
            match = next((p for p in sig.params[count:] if _equal(name, p)), None)
            repeated = match is None and any(_equal(name, p) for p in sig.params[:count])
        except ComparisonFailed:
            return ("raises", text)
        if match is not None:
            bound[match] = value  # a later keyword matching the same parameter replaces the value
        elif repeated:
            return ("binding", f"{sig.name}() got multiple values for keyword argument '{text}'")
        else:
            return ("binding", f"{sig.name}() got an unexpected keyword argument '{text}'")
    if sig.params[0] not in bound:
        return count_error(0)
    bound = {p: bound.get(p, sig.defaults.get(p)) for p in sig.params}
    for param, expected in sig.exact_types.items():
        if type(bound[param]) is not expected:
            got = type(bound[param]).__name__
            message = f"Argument '{param}' has incorrect type (expected {expected.__name__}, got {got})"
            return ("type", message, isinstance(bound[param], expected))
    return ("ok", bound)


# ---------------------------------------------------------------------------
# Harmless bodies: collaborators that record what the function received


class FakePath:
    """Stands in for the module's `Path`: records what it is made from; nothing exists."""

    made = []

    def __init__(self, arg):
        FakePath.made.append(arg)

    resolve = lambda self: self  # noqa: E731
    parent = property(resolve)
    exists = lambda self: False  # noqa: E731
    __str__ = lambda self: "fake-corpus"  # noqa: E731

    def __truediv__(self, other):
        return FakePath(("default", other))


def check_body(sig, bound, call):
    """Run a call that binds; the body must see exactly the bound values.  Returns the recorder it used."""
    if sig.name == "_load_model":
        fake = types.ModuleType("sentence_transformers")
        fake.SentenceTransformer = lambda name: ("model", name)
        with pytest.MonkeyPatch.context() as mp:
            mp.setitem(sys.modules, "sentence_transformers", fake)
            result = call()
        assert result[0] == "model" and result[1] is bound["model_name"]
    elif sig.name == "_iter_description_files":
        if isinstance(bound["models_dir"], Recorder):
            assert call() == [] and bound["models_dir"].globs == ["*.txt"]
            return bound["models_dir"]
        with pytest.raises(AttributeError) as excinfo:
            call()
        assert entries_of(excinfo) == [(f"tarvex.rag_helper.{sig.name}", 29)]
    elif sig.name == "_read_text":
        path, limit = bound["path"], bound["max_chars"]
        result = call()
        if not isinstance(path, Recorder):
            assert result == ""  # no `open`: the failure is swallowed
            return None
        assert path.opened == [(("r",), {"encoding": "utf-8", "errors": "ignore"})]
        assert path.sizes == [limit + 1]
        text = Recorder.TEXT
        assert result == (text[:limit] if len(text) > limit else text).strip()
        return path
    else:
        FakePath.made = []
        with pytest.MonkeyPatch.context() as mp:
            mp.setitem(vars(rag), "Path", FakePath)
            with pytest.raises(FileNotFoundError) as excinfo:
                call()
        assert str(excinfo.value) == "Models directory not found: fake-corpus"
        assert entries_of(excinfo) == [(f"tarvex.rag_helper.{sig.name}", 69)]
        chosen = bound["models_dir"]
        assert len(FakePath.made) == 2 and FakePath.made[0] == rag.__file__
        assert FakePath.made[1] is chosen if chosen else FakePath.made[1] == ("default", "zolt_models")
    return None


def function_of(sig):
    function = getattr(rag, sig.name)
    return function.__wrapped__ if sig.name == "_load_model" else function


def check_call(sig, positional, keywords, invoke):
    """Predict the call, make it with `invoke(function)`, and compare."""
    prediction = predict(sig, positional, keywords)
    kind = prediction[0]
    event(kind if kind == "ok" else f"{kind}: {prediction[1][:45]}")
    recorders = [v for v in [*positional, *(v for _, v in keywords)] if isinstance(v, Recorder)]

    def call():
        ARMED[0] = True
        try:
            return invoke(function_of(sig))
        finally:
            ARMED[0] = False

    used = None
    if kind == "ok":
        used = check_body(sig, prediction[1], call)
    else:
        with pytest.raises(Exception) as excinfo:
            call()
        error, notes = excinfo.value, getattr(excinfo.value, "__notes__", [])
        assert type(error) is (ComparisonFailed if kind == "raises" else TypeError), (prediction, error)
        if kind == "raises":
            assert error.args == (prediction[1],)
        else:
            assert str(error) == prediction[1]
        if kind == "type":  # no traceback entry; a note only for subclass instances
            assert entries_of(excinfo) == []
            assert len(notes) == prediction[2] and all("subclass" in note.lower() for note in notes)
        else:
            assert entries_of(excinfo) == [(f"tarvex.rag_helper.{sig.name}", sig.first_line)]
            assert notes == []
    assert all(r.untouched() for r in recorders if r is not used)
    return kind


def dictionary_of(pairs):
    keywords = {}
    for key, value in pairs:  # built before the call: names with equal texts merge as in any dict
        keywords[key] = value
    return keywords


@FUNCTION_NAMES
@PROFILE
@given(data=st.data())
def test_generated_calls_bind_as_the_rules_predict(name, data):
    sig = SIGNATURES[name]
    positional = data.draw(positionals_for(sig), label="positional")
    keywords = dictionary_of(data.draw(keywords_for(sig), label="keywords"))
    check_call(sig, positional, list(keywords.items()), lambda function: function(*positional, **keywords))


FITTING = {"query": st.text(max_size=5), "models_dir": st.one_of(st.builds(Recorder), st.sampled_from([None, ""])),
           "path": st.builds(Recorder), "max_chars": st.integers(), "top_k": st.integers(),
           "model_name": st.text(max_size=5)}


@FUNCTION_NAMES
@PROFILE
@given(data=st.data())
def test_calls_that_fit_put_every_value_in_its_parameter(name, data):
    """Any split into positional values and keywords, in any order and written as any kind of name."""
    sig = SIGNATURES[name]
    given_ = [p for i, p in enumerate(sig.params) if i == 0 or data.draw(st.booleans(), label=f"give {p}")]
    count = data.draw(st.integers(0, next((i for i, p in enumerate(sig.params) if p not in given_), len(given_))))
    chosen = {p: data.draw(FITTING[p], label=p) for p in given_}
    order = data.draw(st.permutations(given_[count:]), label="keyword order")
    spell = st.sampled_from([str, same_text, StrSub, HashFails, Name])
    keywords = dictionary_of((data.draw(spell)(p), chosen[p]) for p in order)
    positional = [chosen[p] for p in given_[:count]]
    assert predict(sig, positional, list(keywords.items()))[0] == "ok"
    check_call(sig, positional, list(keywords.items()), lambda function: function(*positional, **keywords))


@FUNCTION_NAMES
@PROFILE
@given(data=st.data(), bad_key=st.sampled_from([1, None, 2.5, b"top_k", ("query",), frozenset()]),
       where=st.integers(0, 4))
def test_non_string_key_in_keyword_dictionary(name, data, bad_key, where):
    sig = SIGNATURES[name]
    positional = data.draw(positionals_for(sig), label="positional")
    pairs = data.draw(keywords_for(sig), label="keywords")
    pairs.insert(where, (bad_key, 0))
    keywords = dictionary_of(pairs)
    callables = [function_of(sig)]
    if name == "_load_model" and not any(isinstance(v, Hostile) for v in [*positional, *keywords.values()]):
        callables.append(rag._load_model)  # the cache wrapper hands the dictionary on as it is
    size = rag._load_model.cache_info().currsize
    for function in callables:
        with pytest.raises(TypeError) as excinfo:
            function(*positional, **keywords)
        assert str(excinfo.value) == "keywords must be strings"
        assert entries_of(excinfo) == []
    assert rag._load_model.cache_info().currsize == size


@FUNCTION_NAMES
@PROFILE
@given(data=st.data())
def test_keyword_names_handed_over_without_a_dictionary(name, data):
    """Names passed as a tuple: never hashed, not merged, and not necessarily strings."""
    testcapi = pytest.importorskip("_testcapi")
    sig = SIGNATURES[name]
    positional = data.draw(positionals_for(sig), label="positional")
    pairs = data.draw(keywords_for(sig, st.sampled_from([1, None, b"path", ("k",)])), label="keywords")
    keyword_names = tuple(key for key, _ in pairs) or None
    arguments = (*positional, *(value for _, value in pairs))
    check_call(sig, positional, pairs,
               lambda function: testcapi.pyobject_vectorcall(function, arguments, keyword_names))
