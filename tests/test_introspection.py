"""What introspection sees of the module and its functions after an ordinary import."""

import builtins
import functools
import gc
import importlib.util
import inspect
import logging
import pathlib
import subprocess
import sys
import types
import typing

import pytest

from testsupport import fresh_plain

RANK_DOC = "\n".join(
    [
        "",
        "    Rank problem description .txt files under 'zolt_models' by semantic similarity to the query.",
        "",
        "    Args:",
        "        query: The problem description to search with.",
        "        models_dir: Root folder containing subfolders with .txt descriptions.",
        "                    Defaults to '<repo_root>/zolt_models'.",
        "        top_k: Number of top matches to return.",
        "        model_name: Sentence embedding model to use.",
        "",
        "    Returns:",
        "        A list of dicts with: path, score, preview.",
        "    ",
    ]
)
DEFAULT_MODEL = "sentence-transformers/all-MiniLM-L6-v2"

EXPECTED = {
    "_load_model": dict(
        doc=None,
        defaults=None,
        annotations=[("model_name", "str")],
        firstlineno=14,
        argcount=1,
        params=("model_name",),
    ),
    "_iter_description_files": dict(
        doc="\n    Find all .txt files recursively under models_dir.\n    ",
        defaults=None,
        annotations=[("models_dir", "Path"), ("return", "List[Path]")],
        firstlineno=25,
        argcount=1,
        varnames=("models_dir", "p"),
    ),
    "_read_text": dict(
        doc="\n    Read text content safely with UTF-8, truncating very large files.\n    ",
        defaults=(100000,),
        annotations=[("path", "Path"), ("max_chars", "int"), ("return", "str")],
        firstlineno=32,
        argcount=2,
        varnames=("path", "max_chars", "f", "txt"),
    ),
    "rank_problem_descriptions": dict(
        doc=RANK_DOC,
        defaults=(None, 10, DEFAULT_MODEL),
        annotations=[
            ("query", "str"),
            ("models_dir", "Optional[Path | str]"),
            ("top_k", "int"),
            ("model_name", "str"),
            ("return", "List[Dict[str, Any]]"),
        ],
        firstlineno=46,
        argcount=4,
        params=("query", "models_dir", "top_k", "model_name"),
    ),
}


def function_object(rag, name):
    value = getattr(rag, name)
    return value.__wrapped__ if name == "_load_model" else value


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_function_attributes(rag, name):
    expected = EXPECTED[name]
    function = function_object(rag, name)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "tarvex.rag_helper"
    assert function.__doc__ == expected["doc"]
    assert function.__defaults__ == expected["defaults"]
    assert function.__kwdefaults__ is None
    assert list(function.__annotations__.items()) == expected["annotations"]
    assert all(type(value) is str for value in function.__annotations__.values())
    assert function.__globals__ is vars(rag)
    assert function.__closure__ is None
    assert callable(function)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_function_code_objects(rag, name):
    expected = EXPECTED[name]
    code = function_object(rag, name).__code__
    assert code.co_filename == "tarvex/rag_helper"
    assert code.co_name == name
    assert code.co_firstlineno == expected["firstlineno"]
    assert code.co_argcount == expected["argcount"]
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    if "varnames" in expected:
        assert code.co_varnames == expected["varnames"]
    else:
        assert code.co_varnames[: expected["argcount"]] == expected["params"]
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_GENERATOR)
    # Made once at load, not per access.
    assert function_object(rag, name).__code__ is code


def test_rank_signature(rag):
    signature = inspect.signature(rag.rank_problem_descriptions)
    assert str(signature) == (
        "(query: 'str', models_dir: 'Optional[Path | str]' = None, top_k: 'int' = 10, "
        "model_name: 'str' = 'sentence-transformers/all-MiniLM-L6-v2') -> 'List[Dict[str, Any]]'"
    )
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert signature.parameters["query"].default is inspect.Parameter.empty


def test_other_signatures(rag):
    assert str(inspect.signature(rag._read_text)) == "(path: 'Path', max_chars: 'int' = 100000) -> 'str'"
    assert str(inspect.signature(rag._iter_description_files)) == "(models_dir: 'Path') -> 'List[Path]'"
    assert str(inspect.signature(rag._load_model)) == "(model_name: 'str')"
    assert str(inspect.signature(rag._load_model.__wrapped__)) == "(model_name: 'str')"


def test_load_model_is_an_unbounded_lru_cache_wrapper(rag):
    wrapper = rag._load_model
    assert type(wrapper) is type(functools.lru_cache(maxsize=None)(len))
    assert wrapper.cache_parameters() == {"maxsize": None, "typed": False}
    assert wrapper.cache_info().maxsize is None
    # Not cleared here: other tests may rely on what the cache holds.
    assert callable(wrapper.cache_clear)
    assert wrapper.__wrapped__ is not wrapper
    assert wrapper.__name__ == "_load_model"
    assert wrapper.__module__ == "tarvex.rag_helper"
    assert wrapper.__doc__ is None


def test_functions_are_module_globals(rag):
    namespace = vars(rag)
    for name in ("_iter_description_files", "_read_text", "rank_problem_descriptions", "_load_model"):
        assert namespace[name] is getattr(rag, name)


def test_module_attributes(rag):
    spec = importlib.util.find_spec("tarvex.rag_helper")
    assert rag.__name__ == "tarvex.rag_helper"
    assert rag.__doc__ is None
    assert rag.__test__ == {} and type(rag.__test__) is dict
    assert rag.__package__ == "tarvex"
    assert rag.__file__ == spec.origin
    assert rag.__loader__ is rag.__spec__.loader
    assert not hasattr(rag, "__path__")
    assert rag.__builtins__ is builtins
    assert sys.modules["tarvex.rag_helper"] is rag


def test_module_collaborators(rag):
    assert rag.logging is logging
    assert rag.sys is sys
    assert rag.lru_cache is functools.lru_cache
    assert rag.Path is pathlib.Path
    assert (rag.Any, rag.Dict, rag.List, rag.Optional) == (typing.Any, typing.Dict, typing.List, typing.Optional)
    assert rag.logger is logging.getLogger("tarvex.rag_helper")
    assert rag.logger.name == "tarvex.rag_helper"


def test_body_binds_globals_in_source_order(rag):
    # Read in a fresh interpreter: a test that deletes a global and puts it back
    # (monkeypatch.delattr) moves it to the end of this process's module dict.
    listing = subprocess.run(
        [sys.executable, "-c", "import tarvex.rag_helper as m; "
         "print(*[n for n in vars(m) if n == '__test__' or not n.startswith('__')])"],
        capture_output=True, text=True, check=True, cwd="/")
    body_names = listing.stdout.split()
    assert body_names == [
        "logging", "sys", "lru_cache", "Path", "Any", "Dict", "List", "Optional", "logger",
        "_load_model", "_iter_description_files", "_read_text", "rank_problem_descriptions", "__test__",
    ]
    for name in ("query", "results", "i", "r"):
        assert name not in vars(rag)


# ---------------------------------------------------------------------------
# Local names of the code objects, as in the plain rendering


def code_names(code):
    return code.co_varnames, code.co_cellvars, code.co_freevars, code.co_nlocals


def record_builder_code(rag, tmp_path, monkeypatch):
    """The code object of a running ranking call's record builder."""
    (tmp_path / "a.txt").write_text("text")
    found = []

    class Score(float):
        def __float__(self):
            found.extend(o for o in gc.get_objects() if type(o).__name__ == "record_builder")
            return 0.5

    class Model:
        def encode(self, batch, **kwargs):
            return [[1.0]]

    torch = types.ModuleType("torch")
    torch.matmul = lambda docs, query: types.SimpleNamespace(cpu=lambda: types.SimpleNamespace(tolist=lambda: [Score()]))
    package = types.ModuleType("sentence_transformers")
    package.SentenceTransformer = lambda name: Model()
    monkeypatch.setitem(sys.modules, "torch", torch)
    monkeypatch.setitem(sys.modules, "sentence_transformers", package)
    assert len(rag.rank_problem_descriptions("q", tmp_path)) == 1
    return found[0].gi_code


def test_code_objects_name_their_locals_as_the_compiler_does(rag, fresh_cache, tmp_path, monkeypatch):
    plain = fresh_plain("plain_rag_names")
    for name in ("rank_problem_descriptions", "_read_text", "_iter_description_files", "_load_model"):
        native = getattr(rag, name)
        python = getattr(plain, name)
        native, python = getattr(native, "__wrapped__", native), getattr(python, "__wrapped__", python)
        assert code_names(native.__code__) == code_names(python.__code__), name

    python_builder = next(c for c in plain.rank_problem_descriptions.__code__.co_consts if getattr(c, "co_name", "") == "<genexpr>")
    native_builder = record_builder_code(rag, tmp_path, monkeypatch)
    assert code_names(native_builder) == code_names(python_builder)
    assert native_builder.co_freevars == rag.rank_problem_descriptions.__code__.co_cellvars == ("texts",)
