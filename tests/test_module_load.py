"""Loading the module: each test runs in a fresh interpreter of this environment."""

import json
import os
import shutil
import subprocess
import sysconfig
import textwrap

import pytest

from conftest import ENTRIES_SOURCE, run_python

CHANGE_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
REINIT_MESSAGE = "Module 'rag_helper' has already been imported. Re-initialisation is not supported."

PRELUDE = """
import json, sys
""" + ENTRIES_SOURCE + """
def failure(exc):
    return {"type": type(exc).__name__, "message": str(exc), "entries": entries(exc)}

def report(value):
    sys.stdout.write("\\n" + json.dumps(value) + "\\n")

out = {}

def attempt(label):
    # Import the module afresh; out[label] says how that went.
    try:
        import tarvex.rag_helper
    except BaseException as exc:
        out[label] = failure(exc)
    else:
        out[label] = "loaded"
    sys.modules.pop("tarvex.rag_helper", None)
"""


def run_json(code, **kwargs):
    proc = run_python(PRELUDE + textwrap.dedent(code), **kwargs)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_reimport_after_deleting_the_registry_entry_keeps_everything():
    result = run_json(
        """
        import importlib, importlib.util
        import tarvex.rag_helper as first
        names = ["_load_model", "_iter_description_files", "_read_text", "rank_problem_descriptions"]
        functions = [getattr(first, name) for name in names]
        logger, test_dict = first.logger, first.__test__
        test_dict["marker"] = 1   # a second run of the body would replace this dictionary
        del sys.modules["tarvex.rag_helper"]
        import tarvex.rag_helper as second
        spec = importlib.util.find_spec("tarvex.rag_helper")
        from_spec = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        reloaded = importlib.reload(second)
        report({
            "same_module": second is first and from_spec is first and reloaded is first,
            "same_functions": all(getattr(second, name) is f for name, f in zip(names, functions)),
            "same_logger": second.logger is logger,
            "test_dict": second.__test__ is test_dict and second.__test__ == {"marker": 1},
            "registered": sys.modules["tarvex.rag_helper"] is first,
        })
        """
    )
    assert result == {
        "same_module": True,
        "same_functions": True,
        "same_logger": True,
        "test_dict": True,
        "registered": True,
    }


def test_missing_builtin_fails_the_load_and_a_later_import_starts_afresh():
    result = run_json(
        """
        import builtins
        out = {}
        for name in ("print", "enumerate", "FileNotFoundError", "zip", "sorted"):
            saved = getattr(builtins, name)
            delattr(builtins, name)
            try:
                import tarvex.rag_helper
            except BaseException as exc:
                out[name] = failure(exc)
            else:
                out[name] = "loaded"
            finally:
                setattr(builtins, name, saved)
            out[name + " registered"] = "tarvex.rag_helper" in sys.modules
        import tarvex.rag_helper as module
        out["after"] = [module.__test__ == {}, module.logger.name, module._read_text.__globals__ is vars(module),
                        "tarvex.rag_helper" in sys.modules]
        report(out)
        """
    )
    for name in ("print", "enumerate", "FileNotFoundError", "zip", "sorted"):
        assert result[name] == {
            "type": "NameError",
            "message": f"name '{name}' is not defined",
            "entries": [["init tarvex.rag_helper", 1]],
        }
        assert result[name + " registered"] is False
    assert result["after"] == [True, "tarvex.rag_helper", True, True]


def test_body_failures_carry_the_line_of_their_step():
    result = run_json(
        """
        import builtins, importlib.abc, types
        class Refuse(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name == "logging":
                    raise ImportError("logging refused")
                return None

        sys.modules.pop("logging", None)
        sys.meta_path.insert(0, Refuse())
        attempt("logging")
        del sys.meta_path[0]

        import logging, pathlib, typing, functools
        saved = sys.modules["pathlib"]
        sys.modules["pathlib"] = None
        attempt("pathlib")
        sys.modules["pathlib"] = saved

        saved = functools.lru_cache
        del functools.lru_cache
        attempt("lru_cache missing")
        functools.lru_cache = saved

        saved = typing.Optional
        del typing.Optional
        attempt("Optional missing")
        sys.modules["typing.Optional"] = stand_in = types.ModuleType("stand_in")
        try:
            import tarvex.rag_helper as module
            out["Optional from registry"] = module.Optional is stand_in
        finally:
            del sys.modules["typing.Optional"]
        typing.Optional = saved
        out["loaded once"] = module.__test__ == {}
        report(out)
        """
    )
    assert result["logging"] == {
        "type": "ImportError", "message": "logging refused", "entries": [["init tarvex.rag_helper", 3]]}
    assert result["pathlib"] == {
        "type": "ModuleNotFoundError",
        "message": "import of pathlib halted; None in sys.modules",
        "entries": [["init tarvex.rag_helper", 6]],
    }
    assert result["lru_cache missing"] == {
        "type": "ImportError", "message": "cannot import name lru_cache", "entries": [["init tarvex.rag_helper", 5]]}
    assert result["Optional missing"] == {
        "type": "ImportError", "message": "cannot import name Optional", "entries": [["init tarvex.rag_helper", 7]]}
    assert result["Optional from registry"] is True
    assert result["loaded once"] is True


def test_failures_while_publishing_carry_their_lines():
    result = run_json(
        """
        import logging, pathlib, typing, functools
        get_logger = logging.getLogger
        logging.getLogger = lambda name: 1 / 0
        attempt("getLogger")
        logging.getLogger = get_logger

        lru_cache = functools.lru_cache
        functools.lru_cache = lambda **kwargs: (lambda function: {}[function.__name__])
        attempt("decorator")
        functools.lru_cache = lambda maxsize: (lambda function: function)
        import tarvex.rag_helper as module
        out["undecorated"] = type(module._load_model).__name__ != "_lru_cache_wrapper"
        report(out)
        """
    )
    assert result["getLogger"] == {
        "type": "ZeroDivisionError", "message": "division by zero", "entries": [["init tarvex.rag_helper", 11]]}
    assert result["decorator"] == {
        "type": "KeyError", "message": "'_load_model'", "entries": [["init tarvex.rag_helper", 14]]}
    assert result["undecorated"] is True


def test_failed_exec_keeps_bound_globals_and_registry_entry():
    result = run_json(
        """
        import importlib.util, logging
        spec = importlib.util.find_spec("tarvex.rag_helper")
        first = importlib.util.module_from_spec(spec)
        get_logger = logging.getLogger
        logging.getLogger = lambda name: 1 / 0
        try:
            spec.loader.exec_module(first)
        except ZeroDivisionError as exc:
            error = failure(exc)
        logging.getLogger = get_logger
        bound = sorted(name for name in vars(first) if not name.startswith("__"))
        registered = sys.modules.get("tarvex.rag_helper") is first
        del sys.modules["tarvex.rag_helper"]
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        report({
            "error": error,
            "bound": bound,
            "registered": registered,
            "fresh": second is not first and second.__test__ == {} and "logger" not in vars(first),
            "now registered": sys.modules.get("tarvex.rag_helper") is second,
        })
        """
    )
    assert result["error"] == {
        "type": "ZeroDivisionError", "message": "division by zero", "entries": [["init tarvex.rag_helper", 11]]}
    assert result["bound"] == ["Any", "Dict", "List", "Optional", "Path", "logging", "lru_cache", "sys"]
    assert result["registered"] is True
    assert result["fresh"] is True
    assert result["now registered"] is True


def test_exec_on_another_module_object_is_refused():
    result = run_json(
        """
        import importlib.util
        spec = importlib.util.find_spec("tarvex.rag_helper")
        first = importlib.util.module_from_spec(spec)
        other = importlib.util.module_from_spec(spec)
        distinct = first is not other
        spec.loader.exec_module(first)
        test_dict = first.__test__
        try:
            spec.loader.exec_module(other)
        except RuntimeError as exc:
            error = failure(exc)
        else:
            error = None
        spec.loader.exec_module(first)
        report({
            "distinct": distinct,
            "error": error,
            "other untouched": sorted(vars(other)),
            "first intact": first.__test__ is test_dict and first.logger.name == "tarvex.rag_helper",
            "create returns adopted": importlib.util.module_from_spec(spec) is first,
            "registered": sys.modules.get("tarvex.rag_helper") is first,
        })
        """
    )
    assert result["distinct"] is True
    assert result["error"] == {"type": "RuntimeError", "message": REINIT_MESSAGE, "entries": []}
    assert result["other untouched"] == ["__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"]
    assert result["first intact"] is True
    assert result["create returns adopted"] is True
    assert result["registered"] is True


def test_create_phase_copies_spec_attributes():
    result = run_json(
        """
        import importlib.util
        spec = importlib.util.find_spec("tarvex.rag_helper")
        loader = spec.loader

        class Full:
            name = "alias.rag_helper"
            origin = spec.origin
            loader = spec.loader
            parent = None
            submodule_search_locations = ["somewhere"]

        class Bare:
            name = "tarvex.rag_helper"
            origin = spec.origin

        class Broken(Bare):
            @property
            def parent(self):
                raise ValueError("no parent")

        full = loader.create_module(Full())
        bare = loader.create_module(Bare())
        try:
            loader.create_module(Broken())
        except ValueError as exc:
            broken = str(exc)
        loader.exec_module(full)
        report({
            "full": [full.__name__, full.__loader__ is spec.loader, full.__file__ == spec.origin,
                     full.__package__, full.__path__],
            "bare": [bare.__name__, bare.__loader__, bare.__package__, bare.__file__ == spec.origin,
                     hasattr(bare, "__path__")],
            "broken": broken,
            "exec": [sys.modules.get("tarvex.rag_helper") is full, full.logger.name,
                     full._read_text.__module__, full.rank_problem_descriptions.__module__],
        })
        """
    )
    assert result["full"] == ["alias.rag_helper", True, True, None, ["somewhere"]]
    assert result["bare"] == ["tarvex.rag_helper", None, None, True, False]
    assert result["broken"] == "no parent"
    assert result["exec"] == [True, "alias.rag_helper", "tarvex.rag_helper", "tarvex.rag_helper"]


SUBINTERPRETER = """
import _interpreters

def import_elsewhere():
    interp = _interpreters.create("legacy")
    try:
        outcome = _interpreters.run_string(interp, "import tarvex.rag_helper")
    finally:
        _interpreters.destroy(interp)
    if outcome is None:
        return "loaded"
    return {"type": outcome.type.__name__, "message": outcome.msg}
"""


def test_second_interpreter_is_refused_after_a_load():
    result = run_json(
        SUBINTERPRETER
        + """
import tarvex.rag_helper as module
report({"elsewhere": import_elsewhere(), "still": module.__test__ == {}})
"""
    )
    assert result == {"elsewhere": {"type": "ImportError", "message": CHANGE_MESSAGE}, "still": True}


def test_second_interpreter_is_refused_after_a_failed_load():
    result = run_json(
        SUBINTERPRETER
        + """
import builtins
saved = builtins.sorted
del builtins.sorted
try:
    import tarvex.rag_helper
except NameError as exc:
    first = str(exc)
builtins.sorted = saved
elsewhere = import_elsewhere()
import tarvex.rag_helper as module
report({"first": first, "elsewhere": elsewhere, "after": module.__test__ == {}})
"""
    )
    assert result == {
        "first": "name 'sorted' is not defined",
        "elsewhere": {"type": "ImportError", "message": CHANGE_MESSAGE},
        "after": True,
    }


def test_first_interpreter_to_load_wins():
    result = run_json(
        SUBINTERPRETER
        + """
elsewhere = import_elsewhere()
try:
    import tarvex.rag_helper
except ImportError as exc:
    here = failure(exc)
report({"elsewhere": elsewhere, "here": here})
"""
    )
    assert result == {
        "elsewhere": "loaded",
        "here": {"type": "ImportError", "message": CHANGE_MESSAGE, "entries": []},
    }


def test_main_module_flag_renames_the_module_but_not_its_functions():
    # With the flag set the command-line block runs too; without a query it may
    # end the load with a usage line and SystemExit(1).  What is asserted here
    # holds either way, because the globals bound before that block stay.
    result = run_json(
        """
        import ctypes, importlib.util, logging
        sys.argv = ["prog"]
        spec = importlib.util.find_spec("tarvex.rag_helper")
        library = ctypes.CDLL(spec.origin)
        ctypes.c_int32.in_dll(library, "rag_helper_is_main").value = 1
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
            exit_code = None
        except SystemExit as exc:
            exit_code = exc.code
        report({
            "exit": exit_code,
            "name": module.__name__,
            "logger": module.logger.name,
            "logger object": module.logger is logging.getLogger("__main__"),
            "modules": [module._load_model.__module__, module._load_model.__wrapped__.__module__,
                        module._iter_description_files.__module__, module._read_text.__module__,
                        module.rank_problem_descriptions.__module__],
            "registered": sys.modules.get("tarvex.rag_helper") is module,
            "main untouched": sys.modules["__main__"] is not module,
        })
        """
    )
    assert result["exit"] in (None, 1)
    assert result["name"] == "__main__"
    assert result["logger"] == "__main__"
    assert result["logger object"] is True
    assert result["modules"] == ["tarvex.rag_helper"] * 5
    assert result["registered"] is True
    assert result["main untouched"] is True


def test_main_module_flag_unset_runs_no_command_line():
    result = run_json(
        """
        import tarvex.rag_helper as module
        report([module.__name__, sorted(set(vars(module)) & {"query", "results", "i", "r"})])
        """,
    )
    assert result == ["tarvex.rag_helper", []]


# ---------------------------------------------------------------------------
# Interpreter version check.  The running interpreter is 3.13, so another
# version is simulated by preloading a library that defines Py_Version ahead
# of libpython (possible only with a shared libpython and a C compiler).


@pytest.fixture(scope="module")
def version_shim(tmp_path_factory):
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("interpreter is linked statically; Py_Version cannot be interposed")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    folder = tmp_path_factory.mktemp("version")

    def build(hexversion):
        source = folder / f"v{hexversion:x}.c"
        library = folder / f"v{hexversion:x}.so"
        source.write_text(f"const unsigned long Py_Version = {hexversion:#x}UL;\n")
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
        return str(library)

    return build


VERSION_PROBE = """
import warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import tarvex.rag_helper as module
report({
    "warnings": [[w.category.__name__, str(w.message)] for w in caught
                 if "tarvex.rag_helper" in str(w.message)],
    "loaded": module.__test__ == {},
})
"""

VERSION_AS_ERROR = """
import warnings
warnings.simplefilter("error", RuntimeWarning)
try:
    import tarvex.rag_helper
    outcome = "loaded"
except RuntimeWarning as exc:
    outcome = failure(exc)
report({"outcome": outcome, "registered": "tarvex.rag_helper" in sys.modules})
"""


def preloading(library):
    """Environment preloading `library` after whatever is preloaded already (a sanitizer
    runtime, in the instrumented test run, has to stay first)."""
    return {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))}


@pytest.mark.parametrize("hexversion,shown", [(0x030E00F0, "3.14"), (0x040D00F0, "4.13"), (0x030C07F0, "3.12")])
def test_other_interpreter_version_warns(version_shim, hexversion, shown):
    env = preloading(version_shim(hexversion))
    message = f"compile time Python version 3.13 of module 'tarvex.rag_helper' does not match runtime version {shown}"
    assert run_json(VERSION_PROBE, env=env) == {"warnings": [["RuntimeWarning", message]], "loaded": True}
    assert run_json(VERSION_AS_ERROR, env=env) == {
        "outcome": {"type": "RuntimeWarning", "message": message, "entries": []},
        "registered": False,
    }


def test_other_micro_version_does_not_warn(version_shim):
    env = preloading(version_shim(0x030D05F0))
    assert run_json(VERSION_AS_ERROR, env=env) == {"outcome": "loaded", "registered": True}
