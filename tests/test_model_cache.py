"""Loading the embedding model once per call pattern, and answering a failed load with a cached None."""

import gc
import logging
import sys
import types

import pytest

from conftest import entries_of, module_entries, run_python

LOAD = "tarvex.rag_helper._load_model"
PREFIX = "RAG disabled (embedding model load failed): "


class Package:
    """A stand-in for `sentence_transformers`, counting constructions."""

    def __init__(self, monkeypatch, error=None):
        self.built = []
        package = self

        class SentenceTransformer:
            def __init__(self, *args, **kwargs):
                package.built.append((args, kwargs))
                if error is not None:
                    raise error() if isinstance(error, type) else error

        self.cls = SentenceTransformer
        self.module = types.ModuleType("sentence_transformers")
        self.module.SentenceTransformer = SentenceTransformer
        monkeypatch.setitem(sys.modules, "sentence_transformers", self.module)


@pytest.fixture(autouse=True)
def fresh_cache(rag):
    rag._load_model.cache_clear()
    yield
    rag._load_model.cache_clear()


def entries(error):
    return [(name, line) for _, name, line in module_entries(error.__traceback__)]


def unimportable(monkeypatch):
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)


# ---------------------------------------------------------------------------
# Caching


class TestCache:
    def test_one_construction_per_name(self, rag, monkeypatch):
        package = Package(monkeypatch)
        first = rag._load_model("m")
        assert rag._load_model("m") is first and isinstance(first, package.cls)
        assert package.built == [(("m",), {})]
        info = rag._load_model.cache_info()
        assert (info.hits, info.misses, info.currsize) == (1, 1, 1)
        rag._load_model("other")
        assert package.built[-1] == (("other",), {})

    def test_keyword_and_positional_calls_are_different_keys(self, rag, monkeypatch):
        package = Package(monkeypatch)
        assert rag._load_model("m") is not rag._load_model(model_name="m")
        assert len(package.built) == 2 and rag._load_model.cache_info().currsize == 2

    def test_empty_name_reaches_the_constructor_unchanged(self, rag, monkeypatch):
        package = Package(monkeypatch)
        rag._load_model("")
        assert package.built == [(("",), {})]

    def test_import_happens_on_each_miss_but_not_on_a_hit(self, rag, monkeypatch):
        first = Package(monkeypatch)
        model = rag._load_model("m")
        unimportable(monkeypatch)
        assert rag._load_model("m") is model
        second = Package(monkeypatch)
        assert isinstance(rag._load_model("n"), second.cls) and len(first.built) == 1

    def test_class_registered_as_submodule_is_found(self, rag, monkeypatch):
        package = Package(monkeypatch)
        del package.module.SentenceTransformer
        monkeypatch.setitem(sys.modules, "sentence_transformers.SentenceTransformer", package.cls)
        assert isinstance(rag._load_model("m"), package.cls)

    def test_module_import_loads_no_model_package(self):
        done = run_python("""
            import sys, tarvex.rag_helper
            print(sorted(m for m in ("sentence_transformers", "torch") if m in sys.modules))
        """)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == "[]"


# ---------------------------------------------------------------------------
# Failed loads: one warning on the root logger, a cached None


class TestFailedLoad:
    def test_unimportable_package_warns_once_and_caches_none(self, rag, monkeypatch, caplog):
        unimportable(monkeypatch)
        assert rag._load_model("m") is None
        [record] = caplog.records
        error = record.args[0]
        assert (record.name, record.levelno, record.exc_info) == ("root", logging.WARNING, None)
        assert isinstance(error, ImportError) and record.getMessage() == PREFIX + str(error)
        assert entries(error) == [(LOAD, 17)]
        package = Package(monkeypatch)
        assert rag._load_model("m") is None and len(caplog.records) == 1 and package.built == []
        rag._load_model.cache_clear()
        assert isinstance(rag._load_model("m"), package.cls)

    def test_each_name_fails_on_its_own(self, rag, monkeypatch, caplog):
        unimportable(monkeypatch)
        rag._load_model("a")
        rag._load_model("b")
        assert len(caplog.records) == 2 and rag._load_model.cache_info().currsize == 2

    @pytest.mark.parametrize(
        "error,text",
        [(ValueError(""), ""), (OSError("no files"), "no files"), (MemoryError("big"), "big")],
    )
    def test_constructor_failure_is_logged_with_its_text(self, rag, monkeypatch, caplog, error, text):
        Package(monkeypatch, error)
        assert rag._load_model("m") is None
        assert [r.getMessage() for r in caplog.records] == [PREFIX + text]
        assert caplog.records[0].args[0] is error

    def test_missing_class_is_an_import_error(self, rag, monkeypatch, caplog):
        del Package(monkeypatch).module.SentenceTransformer
        # An earlier test in this process may have imported the real package,
        # whose submodule of that name would answer the from-import.
        monkeypatch.delitem(sys.modules, "sentence_transformers.SentenceTransformer", raising=False)
        assert rag._load_model("m") is None
        assert caplog.records[0].getMessage() == PREFIX + "cannot import name SentenceTransformer"

    def test_warning_goes_through_the_current_logging_global(self, rag, monkeypatch):
        calls = []
        outer = KeyError("outer")

        def warning(*args, **kwargs):
            calls.append((args, kwargs, sys.exception()))

        monkeypatch.setattr(rag, "logging", types.SimpleNamespace(warning=warning))
        unimportable(monkeypatch)
        try:
            raise outer
        except KeyError:
            rag._load_model("m")
            assert sys.exception() is outer
        [(args, kwargs, handled)] = calls
        assert args[0] == PREFIX + "%s" and len(args) == 2 and kwargs == {} and handled is args[1]

    def test_module_logger_does_not_see_the_record(self, rag, monkeypatch, caplog):
        seen = []
        handler = logging.Handler()
        handler.emit = seen.append
        rag.logger.addHandler(handler)
        try:
            unimportable(monkeypatch)
            rag._load_model("m")
        finally:
            rag.logger.removeHandler(handler)
        assert seen == [] and len(caplog.records) == 1


# ---------------------------------------------------------------------------
# What passes through, uncached


class TestPassThrough:
    def test_keyboard_interrupt_in_constructor(self, rag, monkeypatch, caplog):
        package = Package(monkeypatch, KeyboardInterrupt)
        with pytest.raises(KeyboardInterrupt) as excinfo:
            rag._load_model("m")
        assert entries_of(excinfo) == [(LOAD, 19)] and caplog.records == []
        assert rag._load_model.cache_info().currsize == 0
        with pytest.raises(KeyboardInterrupt):
            rag._load_model("m")
        assert len(package.built) == 2

    def test_keyboard_interrupt_during_import(self, rag, monkeypatch):
        module = types.ModuleType("sentence_transformers")

        def interrupt(name):
            raise KeyboardInterrupt

        module.__getattr__ = interrupt
        monkeypatch.setitem(sys.modules, "sentence_transformers", module)
        with pytest.raises(KeyboardInterrupt) as excinfo:
            rag._load_model("m")
        assert entries_of(excinfo) == [(LOAD, 17)]

    @pytest.mark.parametrize("how", ["raises", "removed"])
    def test_failing_warning_passes_on_with_the_load_error_as_context(self, rag, monkeypatch, how):
        Package(monkeypatch, ValueError("bad model"))
        if how == "raises":
            monkeypatch.setattr(rag, "logging", types.SimpleNamespace(warning=lambda *a: 1 / 0))
            expected = ZeroDivisionError
        else:
            monkeypatch.delattr(rag, "logging")
            expected = NameError
        with pytest.raises(expected) as excinfo:
            rag._load_model("m")
        assert entries_of(excinfo) == [(LOAD, 21)]
        context = excinfo.value.__context__
        assert isinstance(context, ValueError) and str(context) == "bad model"
        assert entries(context) == [(LOAD, 19)]
        assert rag._load_model.cache_info().currsize == 0
        if how == "removed":
            assert str(excinfo.value) == "name 'logging' is not defined"


# ---------------------------------------------------------------------------
# Arguments


class TestArguments:
    def test_wrong_type_fails_without_entry_and_caches_nothing(self, rag, monkeypatch):
        package = Package(monkeypatch)
        with pytest.raises(TypeError, match=r"^Argument 'model_name' has incorrect type \(expected str, got int\)$") as excinfo:
            rag._load_model(5)
        assert entries_of(excinfo) == [] and rag._load_model.cache_info().currsize == 0
        rag._load_model("m")
        assert len(package.built) == 1

    def test_unhashable_argument_fails_in_the_wrapper(self, rag, monkeypatch):
        package = Package(monkeypatch)
        with pytest.raises(TypeError, match="unhashable") as excinfo:
            rag._load_model(["m"])
        assert entries_of(excinfo) == [] and package.built == []

    @pytest.mark.parametrize("args,given", [((), 0), (("a", "b"), 2)])
    def test_count_errors(self, rag, args, given):
        with pytest.raises(TypeError) as excinfo:
            rag._load_model(*args)
        assert str(excinfo.value) == f"_load_model() takes exactly 1 positional argument ({given} given)"
        assert entries_of(excinfo) == [(LOAD, 14)]


def test_failed_loads_keep_no_memory(rag, monkeypatch):
    monkeypatch.setattr(rag, "logging", types.SimpleNamespace(warning=lambda *a: None))
    package = Package(monkeypatch, ValueError)

    def once():
        rag._load_model("m")
        rag._load_model.cache_clear()
        package.built.clear()

    for _ in range(200):
        once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        once()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
