"""How the module's functions bind their arguments, test types and report failures."""

import itertools
import sys

import pytest

from conftest import entries_of

LOAD = "tarvex.rag_helper._load_model"
ITER = "tarvex.rag_helper._iter_description_files"
READ = "tarvex.rag_helper._read_text"
RANK = "tarvex.rag_helper.rank_problem_descriptions"


class StrSub(str):
    pass


class EqualsAnything(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class EqualsNothing(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class EqualityFails(str):
    def __eq__(self, other):
        raise LookupError("no comparison")

    __hash__ = str.__hash__


class Thing:
    pass


class RecordingPath:
    """A path whose stream records how many characters were asked for."""

    def __init__(self, text="abcdefghij"):
        self.text = text
        self.opened = 0
        self.requests = []

    def open(self, *args, **kwargs):
        self.opened += 1
        return self

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def read(self, size):
        self.requests.append(size)
        return self.text


def functions(rag):
    return {
        "load": rag._load_model,
        "iter": rag._iter_description_files,
        "read": rag._read_text,
        "rank": rag.rank_problem_descriptions,
    }


# ---------------------------------------------------------------------------
# Binding failures: message and one traceback entry at the function's first line

P = object()  # stands for "some path-like value"; binding fails before it is used

BINDING_FAILURES = [
    # count errors
    ("rank", (), {}, "rank_problem_descriptions() takes at least 1 positional argument (0 given)", RANK, 46),
    ("rank", (1, 2, 3, 4, 5), {}, "rank_problem_descriptions() takes at most 4 positional arguments (5 given)", RANK, 46),
    ("rank", ("q", None, 10, "m", "x"), {"top_k": 1},
     "rank_problem_descriptions() takes at most 4 positional arguments (5 given)", RANK, 46),
    ("rank", (), {"top_k": 1}, "rank_problem_descriptions() takes at least 1 positional argument (0 given)", RANK, 46),
    ("rank", (), {"models_dir": None, "top_k": 3, "model_name": "m"},
     "rank_problem_descriptions() takes at least 1 positional argument (0 given)", RANK, 46),
    ("read", (), {}, "_read_text() takes at least 1 positional argument (0 given)", READ, 32),
    ("read", (P, 1, 2), {}, "_read_text() takes at most 2 positional arguments (3 given)", READ, 32),
    ("read", (), {"max_chars": 5}, "_read_text() takes at least 1 positional argument (0 given)", READ, 32),
    ("iter", (), {}, "_iter_description_files() takes exactly 1 positional argument (0 given)", ITER, 25),
    ("iter", (P, P), {}, "_iter_description_files() takes exactly 1 positional argument (2 given)", ITER, 25),
    ("iter", (P, P, P), {"models_dir": P},
     "_iter_description_files() takes exactly 1 positional argument (3 given)", ITER, 25),
    ("load", (), {}, "_load_model() takes exactly 1 positional argument (0 given)", LOAD, 14),
    ("load", ("a", "b"), {}, "_load_model() takes exactly 1 positional argument (2 given)", LOAD, 14),
    # a keyword repeating a positional argument
    ("rank", ("q",), {"query": "q"},
     "rank_problem_descriptions() got multiple values for keyword argument 'query'", RANK, 46),
    ("rank", ("q", None, 5, "m"), {"top_k": 1},
     "rank_problem_descriptions() got multiple values for keyword argument 'top_k'", RANK, 46),
    ("read", (P,), {"path": P}, "_read_text() got multiple values for keyword argument 'path'", READ, 32),
    ("iter", (P,), {"models_dir": P},
     "_iter_description_files() got multiple values for keyword argument 'models_dir'", ITER, 25),
    ("load", ("a",), {"model_name": "a"}, "_load_model() got multiple values for keyword argument 'model_name'", LOAD, 14),
    # unknown keywords
    ("rank", ("q",), {"k": 1}, "rank_problem_descriptions() got an unexpected keyword argument 'k'", RANK, 46),
    ("read", (P,), {"maxchars": 1}, "_read_text() got an unexpected keyword argument 'maxchars'", READ, 32),
    ("iter", (), {"foo": 1}, "_iter_description_files() got an unexpected keyword argument 'foo'", ITER, 25),
    ("load", (), {"model_name": "a", "other": 1}, "_load_model() got an unexpected keyword argument 'other'", LOAD, 14),
    # the first keyword that fails ends the call
    ("rank", ("q",), {"a": 1, "query": 2}, "rank_problem_descriptions() got an unexpected keyword argument 'a'", RANK, 46),
    ("rank", ("q",), {"query": 2, "a": 1},
     "rank_problem_descriptions() got multiple values for keyword argument 'query'", RANK, 46),
    # binding errors come before type errors
    ("rank", ("q",), {"k": 1, "top_k": True},
     "rank_problem_descriptions() got an unexpected keyword argument 'k'", RANK, 46),
    ("rank", (None,), {"top_k": True, "k": 1},
     "rank_problem_descriptions() got an unexpected keyword argument 'k'", RANK, 46),
    ("read", (P, True), {"zzz": 1}, "_read_text() got an unexpected keyword argument 'zzz'", READ, 32),
    ("rank", (None, None, True, None, None), {},
     "rank_problem_descriptions() takes at most 4 positional arguments (5 given)", RANK, 46),
]


@pytest.mark.parametrize("which,args,kwargs,message,tb_name,line", BINDING_FAILURES)
def test_binding_failure_message_and_entry(rag, which, args, kwargs, message, tb_name, line):
    function = functions(rag)[which]
    with pytest.raises(TypeError) as excinfo:
        function(*args, **kwargs)
    assert str(excinfo.value) == message
    assert entries_of(excinfo) == [(tb_name, line)]
    assert not getattr(excinfo.value, "__notes__", None)


def test_binding_failure_through_the_unwrapped_load_model(rag):
    with pytest.raises(TypeError) as excinfo:
        rag._load_model.__wrapped__("a", "b")
    assert str(excinfo.value) == "_load_model() takes exactly 1 positional argument (2 given)"
    assert entries_of(excinfo) == [(LOAD, 14)]


def test_binding_messages_use_the_function_name_not_the_attribute(rag):
    original = rag._read_text.__name__
    rag._read_text.__name__ = "renamed"
    try:
        with pytest.raises(TypeError) as excinfo:
            rag._read_text()
    finally:
        rag._read_text.__name__ = original
    assert str(excinfo.value) == "_read_text() takes at least 1 positional argument (0 given)"
    assert entries_of(excinfo) == [(READ, 32)]


def test_binding_entry_frame_belongs_to_the_module(rag):
    with pytest.raises(TypeError) as excinfo:
        rag._iter_description_files()
    tb = excinfo.value.__traceback__
    while tb.tb_frame.f_code.co_filename != "tarvex/rag_helper":
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(rag)
    assert tb.tb_frame.f_code.co_name == ITER
    assert tb.tb_lineno == 25
    # The module adds nothing below its own entry: the failure started there.
    assert tb.tb_next is None


# ---------------------------------------------------------------------------
# Keyword names that are not plain strings


def test_non_string_key_in_keyword_dictionary(rag):
    for call in (
        lambda: rag.rank_problem_descriptions(**{1: 2}),
        lambda: rag._read_text(P, **{"max_chars": 5, 2: 3}),
        lambda: rag._iter_description_files(**{(): 1}),
    ):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == "keywords must be strings"
        assert entries_of(excinfo) == []


@pytest.mark.parametrize(
    "which,args,name,line",
    [("read", ("x",), "_read_text", 32), ("iter", (), "_iter_description_files", 25),
     ("rank", ("q",), "rank_problem_descriptions", 46), ("load", (), "_load_model", 14)],
)
def test_non_string_keyword_name_reaching_binding(rag, which, args, name, line):
    testcapi = pytest.importorskip("_testcapi")
    function = functions(rag)[which]
    if which == "load":
        function = function.__wrapped__
    with pytest.raises(TypeError) as excinfo:
        testcapi.pyobject_vectorcall(function, (*args, 1), (5,))
    assert str(excinfo.value) == f"{name}() keywords must be strings"
    assert entries_of(excinfo) == [(f"tarvex.rag_helper.{name}", line)]


def test_str_subclass_keyword_name_binds_by_text(rag):
    path = RecordingPath()
    assert rag._read_text(path, **{StrSub("max_chars"): 4}) == "abcd"
    assert path.requests == [5]
    with pytest.raises(TypeError) as excinfo:
        rag.rank_problem_descriptions("q", **{StrSub("top_k"): "many"})
    assert str(excinfo.value) == "Argument 'top_k' has incorrect type (expected int, got str)"


def test_str_subclass_keyword_name_compares_with_python_equality(rag):
    path = RecordingPath()
    # Equal to any parameter name: takes the first free one.
    assert rag._read_text(path, **{EqualsAnything("zzz"): 3}) == "abc"
    assert path.requests == [4]
    with pytest.raises(TypeError) as excinfo:
        rag._read_text(path, **{EqualsNothing("max_chars"): 3})
    assert str(excinfo.value) == "_read_text() got an unexpected keyword argument 'max_chars'"
    assert entries_of(excinfo) == [(READ, 32)]
    with pytest.raises(TypeError) as excinfo:
        rag._read_text(path, **{StrSub("path"): 3})
    assert str(excinfo.value) == "_read_text() got multiple values for keyword argument 'path'"


def test_failing_keyword_comparison_passes_on_with_binding_entry(rag):
    with pytest.raises(LookupError, match="no comparison") as excinfo:
        rag._read_text(RecordingPath(), **{EqualityFails("max_chars"): 3})
    assert entries_of(excinfo) == [(READ, 32)]


# ---------------------------------------------------------------------------
# Keywords in any order


def test_read_text_keywords_in_any_order(rag):
    for kwargs in ({"path": None, "max_chars": 6}, {"max_chars": 6, "path": None}):
        path = RecordingPath()
        kwargs = {k: (path if v is None else v) for k, v in kwargs.items()}
        assert rag._read_text(**kwargs) == "abcdef"
        assert path.requests == [7]
    path = RecordingPath()
    assert rag._read_text(path, max_chars=2) == "ab"
    assert path.requests == [3]


@pytest.mark.parametrize("order", list(itertools.permutations(["query", "models_dir", "top_k", "model_name"])))
def test_rank_keywords_in_any_order_reach_their_parameters(rag, order):
    good = {"query": "q", "models_dir": None, "top_k": 3, "model_name": "m"}
    for wrong, bad_value, expected in (("query", 1, "str"), ("top_k", "3", "int"), ("model_name", 2.5, "str")):
        values = dict(good, **{wrong: bad_value})
        kwargs = {name: values[name] for name in order}
        with pytest.raises(TypeError) as excinfo:
            rag.rank_problem_descriptions(**kwargs)
        assert str(excinfo.value) == (
            f"Argument '{wrong}' has incorrect type (expected {expected}, got {type(bad_value).__name__})"
        )
        assert entries_of(excinfo) == []


def test_keyword_dictionary_binds_like_written_keywords(rag):
    first, second = RecordingPath(), RecordingPath()
    assert rag._read_text(**{"path": first, "max_chars": 3}) == rag._read_text(path=second, max_chars=3)
    assert first.requests == second.requests == [4]


# ---------------------------------------------------------------------------
# Exact-type tests

TYPE_FAILURES = [
    ("rank", (None,), {}, "query", "str", "NoneType", False),
    ("rank", (b"q",), {}, "query", "str", "bytes", False),
    ("rank", (StrSub("q"),), {}, "query", "str", "StrSub", True),
    ("rank", (Thing(),), {}, "query", "str", "Thing", False),
    ("rank", ("q",), {"top_k": True}, "top_k", "int", "bool", True),
    ("rank", ("q", None, 2.0), {}, "top_k", "int", "float", False),
    ("rank", ("q",), {"top_k": None}, "top_k", "int", "NoneType", False),
    ("rank", ("q",), {"model_name": None}, "model_name", "str", "NoneType", False),
    ("rank", ("q", None, 3, StrSub("m")), {}, "model_name", "str", "StrSub", True),
    # parameter order decides which failure is reported
    ("rank", (None,), {"top_k": True, "model_name": None}, "query", "str", "NoneType", False),
    ("rank", ("q", None, True, None), {}, "top_k", "int", "bool", True),
    ("read", (P, 3.0), {}, "max_chars", "int", "float", False),
    ("read", (P, 100000.0), {}, "max_chars", "int", "float", False),
    ("read", (P, None), {}, "max_chars", "int", "NoneType", False),
    ("read", (P,), {"max_chars": True}, "max_chars", "int", "bool", True),
    ("read", (P, "5"), {}, "max_chars", "int", "str", False),
    ("load", (None,), {}, "model_name", "str", "NoneType", False),
    ("load", (7,), {}, "model_name", "str", "int", False),
    ("load", (StrSub("m"),), {}, "model_name", "str", "StrSub", True),
]


@pytest.mark.parametrize("which,args,kwargs,param,expected,got,noted", TYPE_FAILURES)
def test_type_failure_message_note_and_no_entry(rag, which, args, kwargs, param, expected, got, noted):
    function = functions(rag)[which]
    with pytest.raises(TypeError) as excinfo:
        function(*args, **kwargs)
    assert str(excinfo.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert entries_of(excinfo) == []
    notes = getattr(excinfo.value, "__notes__", [])
    if noted:
        assert len(notes) == 1
        assert "subclass" in notes[0].lower()
    else:
        assert notes == []


def test_type_failure_of_the_unwrapped_load_model(rag):
    with pytest.raises(TypeError) as excinfo:
        rag._load_model.__wrapped__(model_name=StrSub("m"))
    assert str(excinfo.value) == "Argument 'model_name' has incorrect type (expected str, got StrSub)"
    assert len(excinfo.value.__notes__) == 1
    assert entries_of(excinfo) == []


def test_int_subclass_is_rejected_with_note(rag):
    class Count(int):
        pass

    path = RecordingPath()
    with pytest.raises(TypeError) as excinfo:
        rag._read_text(path, Count(5))
    assert str(excinfo.value) == "Argument 'max_chars' has incorrect type (expected int, got Count)"
    assert len(excinfo.value.__notes__) == 1
    assert path.opened == 0


def test_type_test_comes_before_any_file_access(rag):
    path = RecordingPath()
    for bad in (True, None, 100000.0):
        with pytest.raises(TypeError):
            rag._read_text(path, bad)
    assert path.opened == 0 and path.requests == []


def test_large_int_passes_the_type_test(rag):
    path = RecordingPath()
    assert rag._read_text(path, 10**30) == "abcdefghij"
    assert path.requests == [10**30 + 1]


# ---------------------------------------------------------------------------
# Defaults


def test_assigning_defaults_does_not_change_calls(rag):
    original = rag._read_text.__defaults__
    try:
        rag._read_text.__defaults__ = (5,)
        assert rag._read_text.__defaults__ == (5,)
        path = RecordingPath()
        assert rag._read_text(path) == "abcdefghij"
        assert path.requests == [100001]
        rag._read_text.__defaults__ = None
        path = RecordingPath()
        assert rag._read_text(path) == "abcdefghij"
        assert path.requests == [100001]
    finally:
        rag._read_text.__defaults__ = original
    assert rag._read_text.__defaults__ == (100000,)


def test_assigning_rank_defaults_does_not_change_calls(rag, tmp_path):
    original = rag.rank_problem_descriptions.__defaults__
    try:
        # Were these used, the type test of top_k or model_name would fail.
        rag.rank_problem_descriptions.__defaults__ = (None, "ten", None)
        with pytest.raises(Exception) as excinfo:
            rag.rank_problem_descriptions("q", tmp_path / "missing")
    finally:
        rag.rank_problem_descriptions.__defaults__ = original
    assert not isinstance(excinfo.value, TypeError)


def test_defaults_must_be_a_tuple_or_none(rag):
    with pytest.raises(TypeError):
        rag._read_text.__defaults__ = [5]
    assert rag._read_text.__defaults__ == (100000,)


def test_binding_keeps_no_state_between_calls(rag):
    path = RecordingPath()
    rag._read_text(path, 2)
    rag._read_text(path)
    rag._read_text(path, max_chars=1)
    rag._read_text(path)
    assert path.requests == [3, 100001, 2, 100001]

