"""What the package installs: type information, the command, and the wheel."""

import fcntl
import importlib.util
import os
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
    assert {"index.py", "store.py", "embedding.py", "cli.py", "onnx_export.py", "mcp_server.py"} <= {
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
