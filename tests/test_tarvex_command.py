"""The `tarvex` command, run as users run it: a new process per call.

Most runs use the shared stand-in model (testsupport/standins.py) through child
packages first on PYTHONPATH, with a private cache folder; one run uses the
real model with the ONNX backend to show that a search imports no torch.
"""

import fcntl
import json
import os
import pty
import re
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest
from conftest import write_corpus
from testsupport.standins import write_child_packages

TARVEX = str(Path(sys.executable).with_name("tarvex"))
MODEL = "stand-in/model"  # no files anywhere: the torch backend, with the stand-ins
STANDIN_OPTIONS = ["--model", MODEL, "--backend", "torch"]
LINE = re.compile(r"^ ?\d+\. .*  score=-?\d+\.\d{4}$")


@pytest.fixture
def child_env(tmp_path):
    packages = write_child_packages(tmp_path / "standin-packages")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PYTHONPATH=str(packages), XDG_CACHE_HOME=str(tmp_path / "cache"), HF_HUB_OFFLINE="1")
    return env


@pytest.fixture
def corpus(tmp_path):
    root = write_corpus(tmp_path / "corpus", {
        "b/three.txt": "3 routing with vans\nsecond line",
        "a/one.txt": "1 nurse rostering",
        "a/two.txt": "2 glass cutting",
        "c/tie.txt": "2 another two",
        "empty.txt": "   ",
    })
    return root


def tarvex(*args, env, cwd="/", **kwargs):
    return subprocess.run([TARVEX, *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=300, **kwargs)


def test_search_prints_the_reference_records(corpus, child_env, rag, standins):
    reference = rag.rank_problem_descriptions("1", str(corpus), 10, MODEL)
    lines = tarvex("search", "--models-dir", str(corpus), *STANDIN_OPTIONS, "1", env=child_env)
    assert lines.returncode == 0, lines.stderr
    assert lines.stdout.splitlines() == [f"{i:2d}. {r['path']}  score={r['score']:.4f}"
                                         for i, r in enumerate(reference, 1)]
    as_json = tarvex("search", "--json", "--top-k", "2", "--models-dir", str(corpus), *STANDIN_OPTIONS, "1",
                     env=child_env)
    assert as_json.returncode == 0, as_json.stderr
    assert json.loads(as_json.stdout) == reference[:2]
    # A relative folder gives relative paths, as the reference does.
    relative = tarvex("search", "--models-dir", "corpus", *STANDIN_OPTIONS, "1", env=child_env, cwd=corpus.parent)
    assert [line.split()[1] for line in relative.stdout.splitlines()] == [
        os.path.relpath(r["path"], corpus.parent) for r in reference]


def test_json_holds_no_number_that_strict_parsers_refuse(tmp_path, child_env):
    # The stand-in model embeds "nan ..." as [nan]: its score is not a number.
    corpus = write_corpus(tmp_path / "corpus", {"a.txt": "nan text", "b.txt": "2 text"})

    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")

    for _ in range(2):  # the second run finds the finite vector stored and embeds the other again
        result = tarvex("search", "--json", "--models-dir", str(corpus), *STANDIN_OPTIONS, "1", env=child_env)
        assert result.returncode == 0 and result.stderr == ""
        records = json.loads(result.stdout, parse_constant=refuse)
        assert sorted((Path(r["path"]).name, r["score"]) for r in records) == [("a.txt", None), ("b.txt", 2.0)]


def test_a_path_cannot_forge_a_line(tmp_path, child_env):
    corpus = write_corpus(tmp_path / "corpus", {"x\n 2. forged\x1b[31m.txt": "1 text"})
    result = tarvex("search", "--models-dir", str(corpus), *STANDIN_OPTIONS, "1", env=child_env)
    assert result.returncode == 0
    assert result.stdout.splitlines() == [f" 1. {corpus}/x\\n 2. forged\\x1b[31m.txt  score=1.0000"]


def one_line(stderr):
    return len(stderr.splitlines()) == 1 and stderr.startswith("tarvex: ") and "Traceback" not in stderr


@pytest.mark.parametrize(
    "args, status, expected",
    [
        (["--help"], 0, "usage: tarvex"),
        (["search", "--help"], 0, "--top-k N"),
        (["--version"], 0, "tarvex 0.1.0"),
        ([], 2, "required: COMMAND"),
        (["search"], 2, "required: WORDS"),
        (["search", "  ", ""], 2, "the query is empty"),
        (["search", "--backend", "gpu", "x"], 2, "invalid choice: 'gpu'"),
        (["search", "--top-k", "many", "x"], 2, "invalid int value"),
        (["cache", "wipe"], 2, "invalid choice: 'wipe'"),
        # An empty folder name would be the working directory.
        (["search", "--cache-dir", "", "x"], 2, "argument --cache-dir: the folder name is empty"),
        (["index", "--cache-dir", ""], 2, "argument --cache-dir: the folder name is empty"),
        (["cache", "clear", "--cache-dir", ""], 2, "argument --cache-dir: the folder name is empty"),
        (["search", "--models-dir", "/nonexistent/corpus", "x"], 1, "Models directory not found: /nonexistent/corpus"),
        (["index", "/nonexistent/corpus"], 1, "Models directory not found: /nonexistent/corpus"),
        (["search", "--model", "nowhere/no-model", "--backend", "onnx", "x"], 1,
         "the embedding model cannot be loaded: the model 'nowhere/no-model' is not in the local Hugging Face cache"),
    ],
)
def test_statuses_and_messages(child_env, corpus, args, status, expected):
    if "--models-dir" not in args and args[:1] == ["search"]:
        args = [*args, "--models-dir", str(corpus)]
    result = tarvex(*args, env=child_env)
    assert result.returncode == status
    assert expected in (result.stdout if status == 0 else result.stderr)
    if status == 1:
        assert one_line(result.stderr) and result.stdout == ""


def test_model_that_cannot_load_fails_with_one_line(tmp_path, child_env, corpus):
    broken = tmp_path / "broken"
    (broken / "sentence_transformers").mkdir(parents=True)
    (broken / "sentence_transformers" / "__init__.py").write_text("raise ImportError('no model package here')\n")
    child_env["PYTHONPATH"] = f"{broken}{os.pathsep}{child_env['PYTHONPATH']}"
    result = tarvex("search", "--models-dir", str(corpus), *STANDIN_OPTIONS, "1", env=child_env)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == "tarvex: RAG disabled (embedding model load failed): no model package here\n"


def test_bad_words_closed_output_and_early_pipe_end(tmp_path, child_env):
    not_utf8 = subprocess.run([TARVEX.encode(), b"search", b"caf\xff route"], capture_output=True, env=child_env)
    assert not_utf8.returncode == 2 and b"not valid UTF-8: caf\\xff route" in not_utf8.stderr  # its bytes, as tarvex-rag shows them
    closed = subprocess.run(f"'{TARVEX}' --version >&-", shell=True, capture_output=True, text=True, env=child_env)
    assert closed.returncode == 1 and one_line(closed.stderr)
    # Enough output to fill the pipe: the reader leaves after one line.
    corpus = write_corpus(tmp_path / "many", {f"{'d' * 120}{i:04d}.txt": f"{i} text" for i in range(1200)})
    process = subprocess.Popen([TARVEX, "search", "--top-k", "0", "--models-dir", str(corpus), *STANDIN_OPTIONS, "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env)
    assert LINE.match(process.stdout.readline().decode().rstrip("\n"))
    process.stdout.close()
    assert process.wait(timeout=300) == 1
    assert process.stderr.read() == b""


def stats(output):
    numbers = re.fullmatch(r".*: (\d+) added, (\d+) changed, (\d+) removed, (\d+) unchanged; (\d+) embedded"
                           r"(?: with torch)? in \d+\.\d\d s\n", output)
    assert numbers, output
    return tuple(int(n) for n in numbers.groups())


def test_index_reports_changes_and_cache_clears(tmp_path, child_env, corpus):
    index = ["index", str(corpus), *STANDIN_OPTIONS]
    assert stats(tarvex(*index, env=child_env).stdout) == (5, 0, 0, 0, 4)
    assert stats(tarvex(*index, env=child_env).stdout) == (0, 0, 0, 5, 0)
    (corpus / "a" / "one.txt").write_text("7 changed text")
    (corpus / "b" / "three.txt").unlink()
    assert stats(tarvex(*index, env=child_env).stdout) == (0, 1, 1, 3, 1)

    info = tarvex("cache", "info", env=child_env)
    assert info.returncode == 0 and "index.sqlite3" in info.stdout
    assert info.stdout.splitlines()[0] == f"cache folder: {tmp_path / 'cache' / 'tarvex'}"
    cleared = tarvex("cache", "clear", env=child_env)
    assert cleared.returncode == 0 and not (tmp_path / "cache" / "tarvex" / "index.sqlite3").exists()
    assert tarvex("cache", "info", env=child_env).stdout.splitlines()[-1] == "total: 0 B in 0 files"
    assert stats(tarvex(*index, env=child_env).stdout) == (4, 0, 0, 0, 3)


def test_progress_bar_on_a_terminal(tmp_path, child_env):
    corpus = write_corpus(tmp_path / "many", {f"{i:03d}.txt": f"{i} text" for i in range(100)})
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a bar needs a width
    try:
        result = subprocess.run([TARVEX, "index", str(corpus), *STANDIN_OPTIONS], stdout=subprocess.PIPE,
                                stderr=terminal, env=child_env, timeout=300)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    assert result.returncode == 0
    assert b"embedding:" in shown and b"/100" in shown
    assert b"embedding" not in result.stdout


def test_onnx_search_imports_no_torch(tmp_path):
    from test_embedding import link_graph

    cache = link_graph(tmp_path / "tarvex")
    code = (
        "import sys, tarvex.cli\n"
        f"status = tarvex.cli.main(['search', '--backend', 'onnx', '--cache-dir', {str(cache)!r}, 'vans deliver parcels'])\n"
        "heavy = sorted(m for m in sys.modules if m.split('.')[0] in ('torch', 'sentence_transformers', 'transformers'))\n"
        "print('status', status, 'heavy', heavy)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/", timeout=300,
                            env={**os.environ, "HF_HUB_OFFLINE": "1"})
    lines = result.stdout.splitlines()
    assert lines[-1] == "status 0 heavy []", result.stderr
    assert len(lines) == 11 and all(LINE.match(line) for line in lines[:10])
    assert "capacitated_vehicle_routing" in lines[0]


def test_without_torch_the_torch_backend_says_so_in_one_line(tmp_path, corpus):
    code = (
        "import sys, logging\n"
        "sys.modules.update(torch=None, sentence_transformers=None)  # as where they are not installed\n"
        "import tarvex, tarvex.cli\n"
        f"status = tarvex.cli.main(['search', '--backend', 'torch', '--models-dir', {str(corpus)!r}, 'vans'])\n"
        f"index = tarvex.DescriptionIndex({str(corpus)!r}, backend='torch', cache_dir={str(tmp_path / 'cache')!r})\n"
        "print(status, index.rank('vans'), index.rank('vans'))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/", timeout=300,
                            env={**os.environ, "HF_HUB_OFFLINE": "1", "XDG_CACHE_HOME": str(tmp_path / "xdg")})
    assert result.stdout == "1 [] []\n"
    reason = "torch is not installed (the torch backend needs torch and sentence-transformers; --backend onnx does not)"
    # The command's one line, then the index's one warning for both calls.
    assert result.stderr.splitlines() == [f"tarvex: the embedding model cannot be loaded: {reason}",
                                          f"tarvex: RAG disabled (embedding model load failed): {reason}"]


def test_ctrl_c_ends_with_one_line_and_status_130(tmp_path, child_env, corpus):
    slow = tmp_path / "slow"
    (slow / "sentence_transformers").mkdir(parents=True)
    marker = tmp_path / "loading"
    (slow / "sentence_transformers" / "__init__.py").write_text(
        f"import pathlib, time\npathlib.Path({str(marker)!r}).touch()\ntime.sleep(120)\n")
    child_env["PYTHONPATH"] = f"{slow}{os.pathsep}{child_env['PYTHONPATH']}"
    process = subprocess.Popen([TARVEX, "search", "--models-dir", str(corpus), *STANDIN_OPTIONS, "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env,
                               preexec_fn=hear_ctrl_c)
    deadline = time.monotonic() + 120
    while not marker.exists() and time.monotonic() < deadline and process.poll() is None:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130 and out == ""
    assert err.strip().splitlines() == ["tarvex: interrupted"]


def hear_ctrl_c():
    """In the child before it starts: Ctrl-C as a terminal delivers it, even when
    the test runner was started in the background with SIGINT ignored."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
