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
from testsupport.standins import JOURNAL_VARIABLE, write_child_packages

TARVEX = str(Path(sys.executable).with_name("tarvex"))
MODEL = "stand-in/model"  # no files anywhere: the torch backend, with the stand-ins
STANDIN_OPTIONS = ["--model", MODEL, "--backend", "torch"]
LINE = re.compile(r"^ ?\d+\. .*  score=-?\d+\.\d{4}$")
SETTINGS = ("TARVEX_CORPUS", "TARVEX_MODELS_DIR", "TARVEX_MODEL", "TARVEX_BACKEND", "TARVEX_CACHE_DIR", "TARVEX_THREADS")


@pytest.fixture
def child_env(tmp_path):
    packages = write_child_packages(tmp_path / "standin-packages")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH" and k not in SETTINGS}
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
    from conftest import link_graph

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


# ---------------------------------------------------------------------------
# Composing with scripts and hosts: the query from a file, JSON out, settings from the environment


def test_query_read_whole_from_a_file_or_standard_input(tmp_path, child_env, corpus, rag, standins):
    journal = tmp_path / "journal"
    child_env[JOURNAL_VARIABLE] = str(journal)
    text = "\ufeff \n 2 glass\ncutting, \"quoted\" -- with tabs\t\n\n"
    query = text.removeprefix("\ufeff").strip()
    (tmp_path / "query.txt").write_text(text, encoding="utf-8")
    expected = "".join(json.dumps(r, ensure_ascii=False) + "\n"
                       for r in rag.rank_problem_descriptions(query, str(corpus), 10, MODEL))
    for args, given in ((["-i", str(tmp_path / "query.txt")], None), (["--input", "-"], text)):
        journal.unlink(missing_ok=True)
        result = tarvex("search", "--jsonl", "--models-dir", str(corpus), *STANDIN_OPTIONS, *args, env=child_env,
                        input=given)
        assert (result.returncode, result.stdout, result.stderr) == (0, expected, "")
        # The model is asked about the whole text, stripped, as one query.
        encoded = [json.loads(line)["args"][0] for line in journal.read_text().splitlines()
                   if json.loads(line)["name"] == "encode"]
        assert encoded[-1] == [query]


@pytest.mark.parametrize("data, words, status, message", [
    (b"2 caf\xc3\xa9 caf\xff", [], 1, "tarvex: the query in {file} is not valid UTF-8 (byte 0xff at offset 11)\n"),
    (b"\xef\xbb\xbf2 \xc0\xaf", [], 1, "tarvex: the query in {file} is not valid UTF-8 (byte 0xc0 at offset 5)\n"),
    (b"x" * (1024 * 1024 + 1), [], 1, "tarvex: the query in {file} is longer than 1 MiB\n"),
    (None, [], 1, "tarvex: cannot read the query from {file}: No such file or directory\n"),
    (b" \n\t ", [], 2, "tarvex search: error: the query is empty\n"),
    (b"2 glass", ["more"], 2, "tarvex search: error: give the query as WORDS or with -i FILE, not both\n"),
])
def test_a_query_file_that_cannot_be_used(tmp_path, child_env, corpus, data, words, status, message):
    file = tmp_path / "query.txt"
    if data is not None:
        file.write_bytes(data)
    result = tarvex("search", "--models-dir", str(corpus), *STANDIN_OPTIONS, "-i", str(file), *words, env=child_env)
    assert (result.returncode, result.stdout) == (status, "")
    assert result.stderr.endswith(message.format(file=file)) and "Traceback" not in result.stderr


def test_jsonl_and_min_score(corpus, child_env):
    def search(*args):
        # Scores a tenth of each leading number: within the range of cosine similarities.
        result = tarvex("search", "--top-k", "0", "--models-dir", str(corpus), *STANDIN_OPTIONS, *args, "0.1",
                        env=child_env)
        assert result.returncode == 0 and result.stderr == "", result.stderr
        return result.stdout

    everything = json.loads(search("--json"))
    assert len(everything) == 4 and len({r["score"] for r in everything}) == 3  # a tie included
    # Each threshold keeps exactly the records scoring at or above it, in every output.
    for threshold in sorted({r["score"] for r in everything}) + [-1.0, 1.0, -0.5]:
        kept = [r for r in everything if r["score"] >= threshold]
        assert [json.loads(line) for line in search("--jsonl", "--min-score", str(threshold)).splitlines()] == kept
        assert json.loads(search("--json", "--min-score", str(threshold))) == kept
        assert len(search("--min-score", str(threshold)).splitlines()) == max(len(kept), 1)  # or "No descriptions"
    for bad, message in ((["--json", "--jsonl"], "not allowed with argument"),
                         (["--min-score", "nan"], "--min-score: not a finite number: nan"),
                         (["--min-score", "-inf"], "--min-score: not a finite number: -inf"),
                         (["--min-score", "2"], "--min-score: 2.0 is outside the range of scores, -1 to 1"),
                         (["--min-score", "-1.5"], "--min-score: -1.5 is outside the range of scores, -1 to 1"),
                         (["--min-score", "high"], "--min-score: not a number: 'high'")):
        result = tarvex("search", *bad, "x", env=child_env)
        assert result.returncode == 2 and message in result.stderr, result.stderr
    # A value that begins with '-' is the option's, wherever it stands.
    assert json.loads(search("--json", "--min-score", "-0.5")) == everything


def test_prune_deletes_the_vectors_no_description_has_any_more(tmp_path, child_env, corpus):
    index = ["index", str(corpus), *STANDIN_OPTIONS]
    assert tarvex(*index, env=child_env).returncode == 0
    for i in range(5):  # edits leave their old texts' vectors behind
        (corpus / "a" / "two.txt").write_text(f"2 glass cutting, edit {i}" + " padding" * 200)
        assert tarvex(*index, env=child_env).returncode == 0
    pruned = tarvex("cache", "prune", "--json", env=child_env)
    assert pruned.returncode == 0, pruned.stderr
    figures = json.loads(pruned.stdout)
    assert figures["vectors_deleted"] == 5 and figures["bytes_freed"] >= 0
    assert figures["store"] == str(tmp_path / "cache" / "tarvex" / "index.sqlite3")
    again = tarvex("cache", "prune", env=child_env)
    assert again.stdout.endswith(": 0 vectors no description refers to deleted, 0 B freed\n"), again.stdout
    assert stats(tarvex(*index, env=child_env).stdout)[4] == 0  # every listed text kept its vector


def test_index_and_cache_info_as_json(tmp_path, child_env, corpus):
    index = tarvex("index", str(corpus), *STANDIN_OPTIONS, "--json", env=child_env)
    assert index.returncode == 0, index.stderr
    figures = json.loads(index.stdout)
    seconds = figures.pop("seconds")
    assert type(seconds) is float and seconds >= 0
    assert figures == {"corpus": str(corpus), "backend": "torch", "added": 5, "changed": 0, "removed": 0,
                       "unchanged": 0, "embedded": 4, "truncated": None, "max_tokens": None}

    folder = tmp_path / "cache" / "tarvex"
    info = json.loads(tarvex("cache", "info", "--json", env=child_env).stdout)
    assert info["folder"] == str(folder) and info["exists"] is True
    assert info["files"] == [{"path": str(p.relative_to(folder)), "bytes": p.stat().st_size}
                             for p in (folder / name for name in ("index.sqlite3", "index.sqlite3-wal",
                                                                  "index.sqlite3-shm", "index.sqlite3.lock"))
                             if p.exists()]
    assert info["total_bytes"] == sum(item["bytes"] for item in info["files"])
    # The text listing names the same files.
    text = tarvex("cache", "info", env=child_env).stdout.splitlines()
    assert [line.split()[0] for line in text[1:-1]] == [item["path"] for item in info["files"]]
    tarvex("cache", "clear", env=child_env)
    assert json.loads(tarvex("cache", "info", "--json", env=child_env).stdout) == {
        "folder": str(folder), "exists": False, "files": [], "total_bytes": 0}


def test_index_line_says_how_many_descriptions_are_cut(tmp_path, corpus, standins, monkeypatch, capsys):
    from test_index import READ_TOKENS, word_tokenizer

    from tarvex import cli

    model = standins.sentence_transformers.SentenceTransformer
    monkeypatch.setattr(model, "max_seq_length", READ_TOKENS, raising=False)
    monkeypatch.setattr(model, "tokenizer", staticmethod(word_tokenizer), raising=False)
    command = ["index", str(corpus), *STANDIN_OPTIONS, "--cache-dir", str(tmp_path / "c")]
    assert cli.main(command) == 0
    # Only "3 routing with vans / second line" has more words than the model reads (with its two special tokens).
    assert re.fullmatch(rf".*: 5 added, .*; 4 embedded with torch in \d+\.\d\d s; 1 truncated to the model's {READ_TOKENS} "
                        r"tokens\n", capsys.readouterr().out)
    assert cli.main([*command, "--json"]) == 0
    figures = json.loads(capsys.readouterr().out)
    assert (figures["truncated"], figures["max_tokens"], figures["embedded"]) == (1, READ_TOKENS, 0)


def test_settings_from_the_environment(tmp_path, child_env, corpus):
    cache = tmp_path / "settings-cache"
    settings = {"TARVEX_MODELS_DIR": str(corpus), "TARVEX_MODEL": MODEL, "TARVEX_BACKEND": "torch",
                "TARVEX_CACHE_DIR": str(cache), "TARVEX_THREADS": "3"}
    with_options = tarvex("search", "--models-dir", str(corpus), *STANDIN_OPTIONS, "--cache-dir", str(cache), "1",
                          env=child_env)
    assert with_options.returncode == 0 and with_options.stdout.count("\n") == 4
    from_environment = tarvex("search", "1", env={**child_env, **settings})
    assert (from_environment.returncode, from_environment.stdout) == (0, with_options.stdout)
    assert json.loads(tarvex("cache", "info", "--json", env={**child_env, **settings}).stdout)["folder"] == str(cache)
    # An option given overrides its variable; an empty variable counts as unset.
    overridden = {**settings, "TARVEX_MODELS_DIR": "/nonexistent", "TARVEX_BACKEND": "onnx", "TARVEX_CACHE_DIR": ""}
    result = tarvex("search", "--models-dir", str(corpus), "--backend", "torch", "1", env={**child_env, **overridden})
    assert (result.returncode, result.stdout) == (0, with_options.stdout)
    index = tarvex("index", env={**child_env, **settings})
    assert index.returncode == 0 and index.stdout.startswith(f"{corpus}: 0 added")
    # A bad value is a usage error of every command that takes the settings.
    for variable, value, message in (("TARVEX_THREADS", "0", "TARVEX_THREADS must be a whole number"),
                                     ("TARVEX_THREADS", "two", "TARVEX_THREADS must be a whole number"),
                                     ("TARVEX_BACKEND", "gpu", "TARVEX_BACKEND is 'gpu'; choose one of"),
                                     ("TARVEX_MODELS_DIR", os.fsdecode(b"caf\xff"),
                                      "TARVEX_MODELS_DIR is not valid UTF-8: caf\\xff")):
        bad = {**child_env, variable: value}
        for command in ([TARVEX, "search", "x"], [TARVEX, "mcp"]):
            result = subprocess.run(command, capture_output=True, text=True, env=bad, timeout=300,
                                    stdin=subprocess.DEVNULL)
            assert result.returncode == 2 and message in result.stderr, (command, result.stderr)
    # The written reference command takes none of them.
    rag_command = [str(Path(sys.executable).with_name("tarvex-rag")), "1"]
    plain = subprocess.run(rag_command, capture_output=True, text=True, env=child_env, timeout=300)
    assert plain.returncode == 0 and str(corpus) not in plain.stdout
    assert subprocess.run(rag_command, capture_output=True, text=True, env={**child_env, **settings},
                          timeout=300).stdout == plain.stdout


def test_tarvex_mcp_takes_the_settings(tmp_path, monkeypatch):
    from tarvex import cli, mcp_server

    started = []
    monkeypatch.setattr(mcp_server, "serve", lambda *args, **store: started.append(args) or 0)
    settings = {"TARVEX_MODELS_DIR": str(tmp_path / "corpus"), "TARVEX_MODEL": MODEL, "TARVEX_BACKEND": "torch",
                "TARVEX_CACHE_DIR": str(tmp_path / "cache")}
    for variable, value in settings.items():
        monkeypatch.setenv(variable, value)
    assert cli.main(["mcp"]) == 0
    assert cli.main(["mcp", "--backend", "onnx", "--models-dir", "elsewhere"]) == 0
    assert started == [(str(tmp_path / "corpus"), MODEL, "torch", tmp_path / "cache"),
                       ("elsewhere", MODEL, "onnx", tmp_path / "cache")]


def test_help_names_the_settings(capsys):
    from tarvex import cli

    for argv in (["--help"], ["search", "--help"], ["index", "--help"], ["mcp", "--help"]):
        with pytest.raises(SystemExit):
            cli.main(argv)
        shown = capsys.readouterr().out
        assert all(f"{variable} " in shown for variable in SETTINGS), argv
        assert argv[0] != "search" or all(option in shown for option in ("-i, --input FILE", "--jsonl", "--min-score S"))


@pytest.mark.parametrize("environment, argv, expected", [
    ({"TARVEX_CORPUS": "new", "TARVEX_MODELS_DIR": "old"}, [], "new"),
    ({"TARVEX_MODELS_DIR": "old"}, [], "old"),
    ({"TARVEX_CORPUS": "", "TARVEX_MODELS_DIR": "old"}, [], "old"),
    ({"TARVEX_CORPUS": "new"}, ["--models-dir", "given"], "given"),
    ({"TARVEX_MODELS_DIR": "old"}, ["--corpus", "given"], "given"),
])
def test_the_corpus_goes_by_its_name_and_by_its_earlier_one(monkeypatch, environment, argv, expected):
    from tarvex import cli

    for variable in ("TARVEX_CORPUS", "TARVEX_MODELS_DIR"):
        monkeypatch.delenv(variable, raising=False)
    for variable, value in environment.items():
        monkeypatch.setenv(variable, value)
    parser = cli.build_parser()
    assert parser.parse_args(["search", *argv, "q"]).corpus == expected
    assert parser.parse_args(["index", *(argv[1:] or [])]).corpus == (argv[1] if argv else expected)


def test_the_index_takes_the_corpus_by_either_name(tmp_path):
    from tarvex import DescriptionIndex

    with DescriptionIndex(models_dir=tmp_path / "old", cache_dir=tmp_path / "cache") as index:
        assert index.corpus == index.models_dir == tmp_path / "old"
    with DescriptionIndex(tmp_path / "new", cache_dir=tmp_path / "cache") as index:
        assert index.models_dir == tmp_path / "new"
    with pytest.raises(TypeError, match="corpus or models_dir, not both"):
        DescriptionIndex(tmp_path / "new", models_dir=tmp_path / "old", cache_dir=tmp_path / "cache")
