"""Shared helpers for the tarvex test suite."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# The embedding model is read from the local cache; without this the hub
# client first tries the network for every model file, with retries.
os.environ.setdefault("HF_HUB_OFFLINE", "1")

MODULE_FILE = "tarvex/rag_helper"


def module_entries(tb):
    """The (file, function, line) entries of a traceback that the module added."""
    entries = []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == MODULE_FILE:
            entries.append((code.co_filename, code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def entries_of(excinfo):
    """Module traceback entries of a pytest ExceptionInfo, outermost first."""
    return [(name, line) for _, name, line in module_entries(excinfo.value.__traceback__)]


# The same, for scripts run in a fresh interpreter: entries(exc) gives the
# module's traceback entries of an exception as [function, line] pairs.
ENTRIES_SOURCE = """
def entries(exc):
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "tarvex/rag_helper":
            out.append([code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return out
"""


def run_python(code, *args, cwd=None, env=None, timeout=300):
    """Run code in a fresh interpreter of this environment; returns CompletedProcess."""
    full_env = dict(os.environ)
    full_env.pop("PYTHONPATH", None)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        cwd=cwd or "/",
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def rag():
    import tarvex.rag_helper as module

    return module


@pytest.fixture
def fresh_cache(rag):
    """The module's model cache empty before the test and after it."""
    rag._load_model.cache_clear()
    yield
    rag._load_model.cache_clear()


@pytest.fixture
def standins(rag, monkeypatch):
    """Fresh stand-ins for `sentence_transformers` and `torch` (testsupport/standins.py) in
    `sys.modules` for the test, with the module's model cache cleared around it."""
    from testsupport.standins import StandIns

    load = rag._load_model  # tests may replace the global
    load.cache_clear()
    yield StandIns().install(monkeypatch)
    load.cache_clear()


def write_corpus(root, files):
    """Write {relative name: text or bytes} below root (folders made as needed, text as
    UTF-8); returns root."""
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
    return root


def swap_link(link, target):
    """Point `link` at `target` in one step (a new link renamed over the old)."""
    spare = link.with_name(link.name + ".swap")
    spare.unlink(missing_ok=True)
    spare.symlink_to(target)
    os.replace(spare, link)


# TARVEX_TEST_SCOPE chooses how thorough a run is: "quick" (the default) leaves out
# the tests marked slow and sweeps each path a few thousand times; "full" (CI, .ci/run)
# runs everything and sweeps each path 100000 times.
SCOPE_VARIABLE = "TARVEX_TEST_SCOPE"
SCOPES = {"quick": 3_000, "full": 100_000}  # memory sweep calls per path


def chosen_scope():
    scope = os.environ.get(SCOPE_VARIABLE, "quick") or "quick"
    if scope not in SCOPES:
        raise pytest.UsageError(f"{SCOPE_VARIABLE}={scope!r}: expected one of {', '.join(SCOPES)}")
    return scope


def sweep_calls():
    return SCOPES[chosen_scope()]


def pytest_configure(config):
    config.addinivalue_line("markers", f"slow: takes tens of seconds; runs only with {SCOPE_VARIABLE}=full")
    chosen_scope()


def pytest_report_header(config):
    return f"{SCOPE_VARIABLE}={chosen_scope()} (memory sweep: {sweep_calls()} calls per path)"


def pytest_collection_modifyitems(config, items):
    if chosen_scope() == "full":
        return
    skip = pytest.mark.skip(reason=f"slow; run with {SCOPE_VARIABLE}=full")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


# --- a real PostgreSQL server with pgvector, started once for the session --------------


@pytest.fixture(scope="session")
def postgres():
    from testsupport.postgres_server import postgres_server

    with postgres_server() as server:
        yield server


@pytest.fixture
def postgres_url(postgres):
    """The URL of a new, empty database of the session's server (with pgvector), dropped afterwards."""
    import uuid

    name = f"test_{uuid.uuid4().hex[:12]}"
    postgres.psql(f"CREATE DATABASE {name}", database="postgres")
    postgres.psql("CREATE EXTENSION vector", database=name)
    yield postgres.url(name)
    postgres.psql(f"DROP DATABASE {name} WITH (FORCE)", database="postgres")


@pytest.fixture(params=["sqlite", "postgres"])
def store_url(request, tmp_path):
    """A store of each kind: an SQLite file, or a new PostgreSQL database."""
    if request.param == "sqlite":
        return str(tmp_path / "store.sqlite3")
    return request.getfixturevalue("postgres_url")


def link_graph(cache_dir):
    """A cache folder holding (hard links to) the built graph of the default model and its record:
    a symbolic link is no graph of the cache."""
    from tarvex._defaults import DEFAULT_MODEL, default_cache_dir
    from tarvex.model_files import resolve_model
    from tarvex.onnx_graph import GRAPH_FOLDER, prepare_graph

    home = default_cache_dir()
    _, graph, _ = prepare_graph(resolve_model(DEFAULT_MODEL, home), home, export=True)
    target = cache_dir / GRAPH_FOLDER / graph.name
    target.parent.mkdir(parents=True, exist_ok=True)
    for source, link in ((graph, target), (graph.with_name(graph.name + ".json"), target.with_name(target.name + ".json"))):
        if not link.exists():
            os.link(source, link)
    return cache_dir
