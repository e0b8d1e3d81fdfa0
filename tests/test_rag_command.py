"""The command line: the module run as the main module, and its two host commands.

Every run happens in a fresh interpreter, because the command line runs while
the module initialises.  Most runs put the stand-ins for `torch` and
`sentence_transformers` (testsupport/standins.py) first on the path: the stand-in
model embeds a text that starts with the number X as X and any other text as
1, so the score of each description is chosen by the test.
A `sitecustomize` of the same folder points the default corpus folder at a
folder of the test's choosing, or makes it missing.
"""

import importlib.metadata
import importlib.util
import json
import os
import random
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import ENTRIES_SOURCE
from testsupport.standins import JOURNAL_VARIABLE, leading_number, write_child_packages

USAGE = 'Usage: python rag.py "your problem description here"'
NOTHING = "No descriptions found."
INIT = "init tarvex.rag_helper"
PYTHON = sys.executable
TARVEX_RAG = str(Path(sys.executable).parent / "tarvex-rag")

CORPUS_REDIRECT = '''
import os
import re

_corpus = os.environ.get("TARVEX_TEST_CORPUS")
_missing = os.environ.get("TARVEX_TEST_NO_CORPUS")
if _corpus or _missing:
    import pathlib

    _exists = pathlib.Path.exists
    _rglob = pathlib.Path.rglob

    def _redirect(path):
        return pathlib.Path(_corpus) if _corpus and path.name == "zolt_models" else path

    def exists(self, *args, **kwargs):
        if _missing and self.name == "zolt_models":
            return False
        return _exists(_redirect(self), *args, **kwargs)

    def rglob(self, pattern, *args, **kwargs):
        return _rglob(_redirect(self), pattern, *args, **kwargs)

    pathlib.Path.exists = exists
    pathlib.Path.rglob = rglob
'''

# A run of the module as the main module inside the script's own process,
# keeping hold of the module object to report its globals afterwards.
IN_PROCESS = """
import builtins, ctypes, importlib.util, json, sys
""" + ENTRIES_SOURCE + """
spec = importlib.util.find_spec("tarvex.rag_helper")
ctypes.c_int32.in_dll(ctypes.CDLL(spec.origin), "rag_helper_is_main").value = 1
module = importlib.util.module_from_spec(spec)
calls = []

def fake_rank(*args, **kwargs):
    calls.append([list(args), list(kwargs.items())])
    return RESULTS

class Argv(list):
    # Slicing happens inside the block, after the body published its
    # functions: the moment to swap in another ranking function.
    def __getitem__(self, index):
        if SWAP_RANK:
            vars(module)["rank_problem_descriptions"] = fake_rank
        before_slice()
        return list.__getitem__(self, index)

RESULTS = None
SWAP_RANK = False
def before_slice():
    pass
sys.argv = ["prog"]
"""

IN_PROCESS_RUN = """
try:
    spec.loader.exec_module(module)
    outcome = {"type": None}
except BaseException as exc:
    outcome = {"type": type(exc).__name__, "message": str(exc), "code": getattr(exc, "code", None),
               "entries": entries(exc)}
sys.stdout = sys.__stdout__
g = vars(module)
outcome["globals"] = {name: g[name] for name in ("query", "results", "i", "r") if name in g}
outcome["calls"] = calls
outcome.update(EXTRA())
sys.stdout.write("REPORT " + json.dumps(outcome, default=repr) + "\\n")
"""


@pytest.fixture(scope="module")
def standin_path(tmp_path_factory):
    folder = write_child_packages(tmp_path_factory.mktemp("standins"))
    (folder / "sitecustomize.py").write_text(CORPUS_REDIRECT)
    return folder


class Run:
    def __init__(self, proc, log):
        self.status = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        lines = (proc.stdout or "").splitlines()
        self.report = None
        if lines and lines[-1].startswith("REPORT "):
            self.report = json.loads(lines.pop()[len("REPORT "):])
        self.lines = lines
        self.log = [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []

    @property
    def loads(self):
        return [entry["args"][0] for entry in self.log if entry["name"] == "construct"]

    @property
    def encoded(self):
        return [entry["args"][0] for entry in self.log if entry["name"] == "encode"]


@pytest.fixture
def run(standin_path, tmp_path):
    """Run a command with the stand-ins first on the path and the corpus redirected."""

    def run(command, corpus=None, missing=False, stand_ins=True, stdout=subprocess.PIPE):
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        log = tmp_path / "standins.log"
        log.unlink(missing_ok=True)
        if stand_ins:
            env["PYTHONPATH"] = str(standin_path)
            env[JOURNAL_VARIABLE] = str(log)
        if corpus is not None:
            env["TARVEX_TEST_CORPUS"] = str(corpus)
        if missing:
            env["TARVEX_TEST_NO_CORPUS"] = "1"
        proc = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, text=True, cwd=tmp_path, env=env,
                              timeout=300)
        return Run(proc, log)

    return run


@pytest.fixture
def run_main(run):
    """Run the module as the main module in one process; `setup` runs before the import."""

    def run_main(setup="", extra="{}", **kwargs):
        script = IN_PROCESS + textwrap.dedent(setup) + f"\nEXTRA = lambda: {extra}\n" + IN_PROCESS_RUN
        return run([PYTHON, "-c", script], **kwargs)

    return run_main


def make_corpus(root, scores, blank=()):
    """One description file per score, named so that path order differs from score order."""
    root.mkdir(parents=True, exist_ok=True)
    paths = {}
    for k, score in enumerate(scores):
        path = root / f"model_{len(scores) - k:02d}" / "description.txt"
        path.parent.mkdir()
        path.write_text(f"{score}\nA description.\n")
        paths[score] = str(path)
    for name in blank:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(" \n\t\n")
    return paths


def match_line(position, path, score):
    return f"{position:2d}. {path}  score={score:.4f}"


# ---------------------------------------------------------------------------
# The query and the usage line


@pytest.mark.parametrize(
    "argv",
    [["prog"], [], ["prog", "   "], ["prog", "", " \t ", "\n"]],
    ids=["program-only", "empty-argv", "spaces", "blank-words"],
)
def test_no_query_prints_usage_and_exits_1_without_ranking(run_main, argv):
    result = run_main(f"sys.argv = Argv({argv!r}); SWAP_RANK = True")
    assert result.lines == [USAGE]
    report = result.report
    assert (report["type"], report["code"], report["entries"]) == ("SystemExit", 1, [[INIT, 130]])
    assert report["calls"] == []
    assert report["globals"] == {"query": ""}


def test_query_is_the_words_joined_by_single_spaces_with_ends_stripped(run_main):
    result = run_main("sys.argv = Argv(['prog', 'a', 'b  c', ' d ']); SWAP_RANK = True; RESULTS = []")
    assert result.report["globals"]["query"] == "a b  c  d"
    # Only keywords, in this order, with the query and top_k 10.
    assert result.report["calls"] == [[[], [["query", "a b  c  d"], ["top_k", 10]]]]


def test_query_reaches_the_model_after_the_descriptions(run_main, tmp_path):
    make_corpus(tmp_path / "corpus", [0.5])
    result = run_main("sys.argv = ['prog', 'a', 'b  c', ' d ']", corpus=tmp_path / "corpus")
    assert result.report["type"] is None
    assert result.loads == ["sentence-transformers/all-MiniLM-L6-v2"]
    assert result.encoded == [["0.5\nA description."], ["a b  c  d"]]


@pytest.mark.parametrize(
    "argv,error,message",
    [
        ("5", "TypeError", "'int' object is unsliceable"),
        ("None", "TypeError", "'NoneType' object is unsliceable"),
        ("['prog', 'a', 3]", "TypeError", "sequence item 1: expected str instance, int found"),
        ("['prog', b'a']", "TypeError", "sequence item 0: expected str instance, bytes found"),
    ],
)
def test_unusable_argv_fails_at_the_query_line(run_main, argv, error, message):
    result = run_main(f"sys.argv = {argv}")
    assert result.lines == []
    report = result.report
    assert (report["type"], report["message"], report["entries"]) == (error, message, [[INIT, 127]])
    assert report["globals"] == {}


def test_missing_argv_fails_at_the_query_line(run_main):
    result = run_main("del sys.argv")
    assert (result.report["type"], result.report["entries"]) == ("AttributeError", [[INIT, 127]])


# ---------------------------------------------------------------------------
# Ranking outcomes


@pytest.mark.parametrize("blank", [(), ("a/description.txt", "b.txt")], ids=["no-files", "blank-files"])
def test_corpus_without_usable_descriptions(run_main, tmp_path, blank):
    (tmp_path / "corpus").mkdir()
    make_corpus(tmp_path / "corpus", [], blank=blank)
    result = run_main("sys.argv = ['prog', 'route', 'vans']", corpus=tmp_path / "corpus")
    assert result.lines == [NOTHING]
    report = result.report
    assert (report["type"], report["code"], report["entries"]) == ("SystemExit", 0, [[INIT, 135]])
    assert report["globals"] == {"query": "route vans", "results": []}
    assert result.loads == []


@pytest.mark.parametrize("returned", ["[]", "()", "None", "0", "''"])
def test_any_false_result_means_nothing_found(run_main, returned):
    result = run_main(f"sys.argv = Argv(['prog', 'q']); SWAP_RANK = True; RESULTS = {returned}")
    assert result.lines == [NOTHING]
    assert (result.report["type"], result.report["code"]) == ("SystemExit", 0)


def test_an_exit_that_returns_lets_the_block_go_on(run_main):
    # Both early ends call sys.exit; a replacement that returns ends neither.
    result = run_main("sys.argv = Argv(['prog']); SWAP_RANK = True; RESULTS = []; EXITS = []; "
                      "sys.exit = EXITS.append", extra="{'exits': EXITS}")
    assert result.lines == [USAGE, NOTHING]
    assert result.report["type"] is None and result.report["exits"] == [1, 0]
    assert result.report["calls"] == [[[], [["query", ""], ["top_k", 10]]]]


def test_missing_corpus_passes_the_error_on_and_prints_nothing(run_main):
    result = run_main("sys.argv = ['prog', 'route', 'vans']", missing=True)
    report = result.report
    assert result.lines == []
    assert report["type"] == "FileNotFoundError"
    assert report["message"].startswith("Models directory not found: /")
    assert report["message"].endswith("zolt_models")
    assert report["entries"][0] == [INIT, 132]
    assert report["globals"] == {"query": "route vans"}
    assert result.loads == []


# ---------------------------------------------------------------------------
# The match lines


def test_ten_best_matches_are_printed_best_first(run, tmp_path):
    scores = [0.25, -0.0123, 1.0, 0.7345612, -0.5, 0.1, 0.9, 0.33333, 0.0, 0.6, -0.9, 0.05]
    paths = make_corpus(tmp_path / "corpus", scores)
    result = run([PYTHON, "-m", "tarvex", "deliver", "parcels"], corpus=tmp_path / "corpus")
    assert result.status == 0, result.stderr
    best = sorted(scores, reverse=True)[:10]
    assert result.lines == [match_line(k, paths[s], s) for k, s in enumerate(best, 1)]
    assert result.lines[0] == f" 1. {paths[1.0]}  score=1.0000"
    assert result.lines[2].endswith("  score=0.7346")
    assert result.lines[9] == f"10. {paths[-0.0123]}  score=-0.0123"
    assert result.stderr == ""


RECORDS = """
import pathlib, fractions
class Shown(str):
    def __format__(self, spec):
        return "<" + str.__format__(self, spec) + ">"
RECORDS = [
    {"path": "plain.txt", "score": 1},
    {"path": pathlib.PurePosixPath("a/b.txt"), "score": fractions.Fraction(1, 3)},
    {"path": Shown("sub.txt"), "score": -2.5, "preview": "ignored"},
    {"score": 0.5, "path": 7},
]
"""


@pytest.mark.parametrize("container", ["RECORDS", "tuple(RECORDS)", "iter(RECORDS)", "(r for r in RECORDS)"])
def test_records_of_any_iterable_are_formatted_field_by_field(run_main, container):
    setup = RECORDS + f"sys.argv = Argv(['prog', 'q']); SWAP_RANK = True; RESULTS = {container}"
    result = run_main(setup, extra='{"last": vars(module)["r"] is RECORDS[-1]}')
    assert result.lines == [
        " 1. plain.txt  score=1.0000",
        " 2. a/b.txt  score=0.3333",
        " 3. <sub.txt>  score=-2.5000",
        " 4. 7  score=0.5000",
    ]
    assert result.report["type"] is None
    assert result.report["globals"]["i"] == 4
    assert result.report["last"] is True


@pytest.mark.parametrize(
    "results,error,printed",
    [
        ("5", "TypeError", 0),
        ("[{'path': 'a', 'score': 0.5}, {'path': 'b'}]", "KeyError", 1),
        ("[{'score': 0.5}]", "KeyError", 0),
        ("[{'path': 'a', 'score': 0.5}, {'path': 'b', 'score': 'high'}]", "ValueError", 1),
        ("[{'path': 'a', 'score': 0.5}, 3]", "TypeError", 1),
    ],
    ids=["not-iterable", "no-score", "no-path", "score-not-a-number", "not-a-record"],
)
def test_failures_while_printing_keep_the_lines_already_printed(run_main, results, error, printed):
    result = run_main(f"sys.argv = Argv(['prog', 'q']); SWAP_RANK = True; RESULTS = {results}")
    assert len(result.lines) == printed
    line = 137 if results == "5" else 138
    assert (result.report["type"], result.report["entries"]) == (error, [[INIT, line]])


def test_printing_uses_the_print_of_load_time(run_main):
    setup = """
    import io
    sys.argv = Argv(['prog', 'q']); SWAP_RANK = True; RESULTS = [{'path': 'p', 'score': 0.5}]
    captured = io.StringIO()
    def before_slice():
        builtins.print = vars(module)["print"] = lambda *a, **k: captured.write("replaced\\n")
    """
    result = run_main(setup, extra='{"captured": captured.getvalue()}')
    assert result.lines == [" 1. p  score=0.5000"]
    assert result.report["captured"] == ""


def test_names_are_looked_up_when_used(run_main):
    # Truth-testing `results` rebinds the global: the walk takes the new value.
    # Reading a record's path rebinds `r`: the score comes from the new record.
    setup = """
    class Switching:
        def __bool__(self):
            vars(module)["results"] = [Rebinding()]
            return True
    class Rebinding(dict):
        def __getitem__(self, key):
            vars(module)["r"] = {"path": "other", "score": 0.25}
            return "first"
    sys.argv = Argv(['prog', 'q']); SWAP_RANK = True; RESULTS = Switching()
    """
    result = run_main(setup)
    assert result.lines == [" 1. first  score=0.2500"]


def test_failing_output_ends_the_run_at_the_print(run_main):
    setup = """
    class Broken:
        def write(self, text):
            raise OSError("stdout closed")
        def flush(self):
            pass
    sys.stdout = Broken()
    """
    result = run_main(setup)
    assert (result.report["type"], result.report["entries"]) == ("OSError", [[INIT, 129]])


# ---------------------------------------------------------------------------
# The module after a run


def test_globals_and_names_after_a_normal_run(run_main, tmp_path):
    paths = make_corpus(tmp_path / "corpus", [0.2, 0.8, 0.5])
    extra = """{
        "name": module.__name__,
        "logger": module.logger.name,
        "function modules": sorted({f.__module__ for f in (module.rank_problem_descriptions, module._read_text,
                                    module._iter_description_files, module._load_model)}),
        "test": module.__test__,
        "registered": sys.modules.get("tarvex.rag_helper") is module,
        "results are records": all(type(r) is dict for r in module.results),
        "r is last": module.r is module.results[-1],
    }"""
    result = run_main("sys.argv = ['prog', ' find ', 'it ']", extra=extra, corpus=tmp_path / "corpus")
    report = result.report
    assert report["type"] is None
    g = report["globals"]
    assert g["query"] == "find  it"
    assert [(r["path"], r["score"]) for r in g["results"]] == [(paths[0.8], 0.8), (paths[0.5], 0.5), (paths[0.2], 0.2)]
    assert g["i"] == 3
    assert g["r"]["path"] == paths[0.2]
    assert report["name"] == report["logger"] == "__main__"
    assert report["function modules"] == ["tarvex.rag_helper"]
    assert report["test"] == {}
    assert report["registered"] is True
    assert report["r is last"] is True
    assert report["results are records"] is True
    assert result.lines == [match_line(k, paths[s], s) for k, s in enumerate([0.8, 0.5, 0.2], 1)]


# ---------------------------------------------------------------------------
# The host commands


COMMANDS = {"module": [PYTHON, "-m", "tarvex"], "script": [TARVEX_RAG]}


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("words", [[], ["   "], ["", "\t"]], ids=["none", "spaces", "blank"])
def test_host_without_query_exits_1_with_usage(run, command, words):
    result = run(COMMANDS[command] + words, stand_ins=False)
    assert (result.status, result.lines, result.stderr) == (1, [USAGE], "")


@pytest.mark.parametrize("command", COMMANDS)
def test_host_statuses_for_matches_and_for_nothing_found(run, command, tmp_path):
    paths = make_corpus(tmp_path / "corpus", [0.3, 0.9])
    found = run(COMMANDS[command] + ["fleet", "of  vans"], corpus=tmp_path / "corpus")
    assert (found.status, found.stderr) == (0, "")
    assert found.lines == [match_line(1, paths[0.9], 0.9), match_line(2, paths[0.3], 0.3)]
    assert found.encoded[-1] == ["fleet of  vans"]

    (tmp_path / "empty").mkdir()
    nothing = run(COMMANDS[command] + ["fleet"], corpus=tmp_path / "empty")
    assert (nothing.status, nothing.lines, nothing.stderr) == (0, [NOTHING], "")


@pytest.mark.parametrize("command", COMMANDS)
def test_host_reports_a_missing_corpus_with_a_traceback(run, command):
    result = run(COMMANDS[command] + ["fleet"], missing=True)
    assert result.status == 1
    assert result.lines == []
    assert 'File "tarvex/rag_helper", line 132, in init tarvex.rag_helper' in result.stderr
    assert "FileNotFoundError: Models directory not found: /" in result.stderr
    assert result.stderr.rstrip().endswith("zolt_models")


HOST_IN_PROCESS = """
import ctypes, importlib.util, json, sys
from tarvex.__main__ import main
flag = ctypes.c_int32.in_dll(ctypes.CDLL(importlib.util.find_spec("tarvex.rag_helper").origin),
                             "rag_helper_is_main")
argv = list(sys.argv)
out = {}
"""


def test_host_called_again_after_a_usage_exit_runs_the_module_again(run, tmp_path):
    paths = make_corpus(tmp_path / "corpus", [0.5])
    script = HOST_IN_PROCESS + """
out["first"] = main([])
out["restored"] = sys.argv == argv and flag.value == 0
out["second"] = main(["again"])
out["after"] = [sys.argv == argv, flag.value, sys.modules["tarvex.rag_helper"].query]
print("REPORT " + json.dumps(out))
"""
    result = run([PYTHON, "-c", script], corpus=tmp_path / "corpus")
    assert result.lines == [USAGE, match_line(1, paths[0.5], 0.5)]
    assert result.report == {"first": 1, "restored": True, "second": 0, "after": [True, 0, "again"]}


@pytest.mark.parametrize(
    "before",
    [
        "import tarvex.rag_helper",
        "import tarvex.rag_helper; del sys.modules['tarvex.rag_helper']",
        "import tarvex.rag_helper; del sys.modules['tarvex.rag_helper']; del sys.modules['tarvex'].rag_helper",
    ],
    ids=["imported", "unregistered", "forgotten"],
)
def test_host_refuses_when_the_module_is_already_loaded(run, before):
    script = HOST_IN_PROCESS + before + "\nsys.exit(main(['fleet']))\n"
    result = run([PYTHON, "-c", script])
    assert result.status == 2
    assert result.lines == []
    assert "tarvex.rag_helper is already imported in this process" in result.stderr
    assert result.loads == []


def test_package_import_is_light(run):
    script = """
import sys, tarvex, tarvex.__main__
print("REPORT " + __import__("json").dumps([
    sorted(m for m in ("tarvex.rag_helper", "torch", "sentence_transformers") if m in sys.modules),
    bool(tarvex.__doc__), bool(tarvex.__main__.__doc__)]))
"""
    assert run([PYTHON, "-c", script], stand_ins=False).report == [[], True, True]


# ---------------------------------------------------------------------------
# The host in a shell: options, statuses, streams and signals


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("words", [["-h"], ["--help"], ["fleet", "--help"], ["--version"], ["--bogus", "fleet"]])
def test_host_options_answer_without_loading_anything(run, command, words):
    result = run(COMMANDS[command] + words)
    shown = "tarvex-rag" if command == "script" else f"{Path(PYTHON).name} -m tarvex"
    assert result.loads == []
    if words == ["--version"]:
        assert (result.status, result.lines, result.stderr) == (
            0, [f"{shown} {importlib.metadata.version('tarvex')}"], "")
    elif "--bogus" in words:
        assert result.status == 2 and result.lines == []
        assert result.stderr.splitlines() == [
            f"usage: {shown} [-h] [--version] [WORDS ...]", f"{shown}: error: unrecognized arguments: --bogus"]
    else:
        assert result.status == 0 and result.stderr == ""
        assert result.lines[0] == f"usage: {shown} [-h] [--version] [WORDS ...]"
        # Every exit status the host can give is explained.
        assert {"0", "1", "2", "130"} <= {line.split()[0] for line in result.lines if line[:3].strip().isdigit()}


@pytest.mark.parametrize(
    "words,query",
    [(["--", "--help", "-x"], "--help -x"), (["fleet", "--", "-v"], "fleet -v"), (["-5", "degrees"], "-5 degrees")],
)
def test_words_after_a_double_dash_and_negative_numbers_stay_words(run, tmp_path, words, query):
    paths = make_corpus(tmp_path / "corpus", [0.4])
    result = run([TARVEX_RAG, *words], corpus=tmp_path / "corpus")
    assert (result.status, result.stderr, result.encoded[-1]) == (0, "", [query])
    assert result.lines == [match_line(1, paths[0.4], 0.4 * leading_number(query)[0])]


def test_word_that_is_not_utf8_is_refused_up_front(run, tmp_path):
    make_corpus(tmp_path / "corpus", [0.4])
    result = run([TARVEX_RAG, "fine", b"caf\xff route"], corpus=tmp_path / "corpus")
    assert (result.status, result.lines, result.loads) == (2, [], [])
    assert result.stderr == "tarvex-rag: error: the query must be valid UTF-8; this word is not: caf\\xff route\n"


# Breaks the model load in one of two ways before the host runs: the package
# cannot be imported, or its constructor is hit by Ctrl-C.
BROKEN_LOAD = HOST_IN_PROCESS + """
import logging, os, signal, types
if MODE == "unimportable":
    sys.modules["sentence_transformers"] = None
else:
    # Heard even when the test runner was started with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    def interrupted(name):
        os.kill(os.getpid(), signal.SIGINT)
    sys.modules["sentence_transformers"] = types.SimpleNamespace(SentenceTransformer=interrupted)
status = main(["fleet"])
print("REPORT " + json.dumps([status, logging.getLogger().filters]))
"""


@pytest.mark.parametrize("mode", ["unimportable", "interrupted"])
def test_failed_or_interrupted_model_load_gives_one_line_and_a_status(run, tmp_path, mode):
    make_corpus(tmp_path / "corpus", [0.4])
    result = run([PYTHON, "-c", f"MODE = {mode!r}\n" + BROKEN_LOAD], corpus=tmp_path / "corpus")
    [line] = result.stderr.splitlines()
    if mode == "interrupted":
        assert (result.report, result.lines, line) == ([130, []], [], "tarvex-rag: interrupted")
    else:
        assert (result.report, result.lines) == ([1, []], [NOTHING])
        assert line.startswith("tarvex-rag: error: the embedding model could not be loaded")
        assert '"The embedding model, offline"' in line and "sentence_transformers" in line


@pytest.mark.parametrize("depth", [1, 12], ids=["short-paths", "long-paths"])
def test_reader_that_goes_away_ends_the_run_quietly(run, tmp_path, depth):
    # Long paths overflow the output buffer, so the write fails inside the printing
    # itself; short ones fail when the host flushes at the end.
    folder = tmp_path / "corpus" / "/".join(["d" * 200] * (depth - 1)) if depth > 1 else tmp_path / "corpus"
    make_corpus(folder, [k / 10 for k in range(10)])
    reader, writer = os.pipe()
    os.close(reader)
    try:
        result = run([TARVEX_RAG, "fleet"], corpus=folder, stdout=writer)
    finally:
        os.close(writer)
    assert (result.status, result.stderr) == (1, "")
    assert len(result.encoded) == 2  # the search ran; only its output was lost


def test_closed_standard_output_is_an_error(run, tmp_path):
    make_corpus(tmp_path / "corpus", [0.4])
    result = run(["sh", "-c", 'exec "$@" >&-', "sh", TARVEX_RAG, "fleet"], corpus=tmp_path / "corpus")
    assert (result.status, result.loads) == (1, [])
    assert result.stderr == "tarvex-rag: error: standard output is closed; there is nowhere to print the matches\n"


# ---------------------------------------------------------------------------
# The real model on the shipped corpus (offline)

MODEL_FAILED = "RAG disabled (embedding model load failed)"
EXPECTED_BEST = {
    "deliver parcels to customers with a fleet of vans": "capacitated_vehicle_routing",
    "schedule nurses to hospital shifts fairly": "nurse_rostering",
    "cut large steel rolls into narrower strips with minimal waste": "steel_coil_cutting_stock",
    "assign exams to time slots so no student has two exams at once": "exam_timetabling",
}


@pytest.fixture(scope="module")
def real_env():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["HF_HUB_OFFLINE"] = "1"
    return env


@pytest.fixture(scope="module")
def real_best(real_env, tmp_path_factory):
    """Folder names of the three best matches per query; skips when the model cannot load offline."""
    script = textwrap.dedent(
        """
        import json, sys
        from pathlib import Path
        import tarvex.rag_helper as rag
        best = {q: [Path(r["path"]).parent.name for r in rag.rank_problem_descriptions(q, top_k=3)]
                for q in json.loads(sys.argv[1])}
        print(json.dumps(best))
        """
    )
    proc = subprocess.run(
        [PYTHON, "-c", script, json.dumps(list(EXPECTED_BEST))],
        capture_output=True, text=True, cwd=tmp_path_factory.mktemp("real"), env=real_env, timeout=900,
    )
    if MODEL_FAILED in proc.stderr:
        reason = next(line for line in proc.stderr.splitlines() if MODEL_FAILED in line)
        pytest.skip(f"the embedding model cannot be loaded offline (run scripts/place_model.py): {reason}")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.slow
def test_real_model_puts_the_closest_description_first(real_best):
    assert {query: folders[0] for query, folders in real_best.items()} == EXPECTED_BEST
    assert all("routing" in folder for folder in real_best["deliver parcels to customers with a fleet of vans"])


@pytest.mark.slow
def test_real_model_command_line_run(real_best, real_env, tmp_path):
    words = "deliver parcels to customers with a fleet of vans".split()
    proc = subprocess.run([TARVEX_RAG, *words], capture_output=True, text=True, cwd=tmp_path, env=real_env,
                          timeout=900)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 10
    corpus = Path(importlib.util.find_spec("tarvex").origin).parent / "zolt_models"
    scores = []
    for position, line in enumerate(lines, 1):
        head, path, score = re.fullmatch(r"(..)\. (.+)  score=(-?\d+\.\d{4})", line).groups()
        assert head == f"{position:2d}"
        assert Path(path).is_relative_to(corpus.resolve()) and path.endswith("description.txt")
        scores.append(float(score))
    assert scores == sorted(scores, reverse=True)
    assert Path(lines[0].split()[1]).parent.name == "capacitated_vehicle_routing"


# ---------------------------------------------------------------------------
# Match lines whatever a file name holds


CONTROLS = [chr(c) for c in [*range(0x20), *range(0x7F, 0xA0)]]
OTHERS = list("az09 ./\\_-'\"%{}") + ["é", "ß", "Ж", "中", "\u200d", "\u2028", "😀", "\u00a0"]


def shown(path):
    """The path as a match line must show it: controls escaped, all else as it is."""
    named = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
    return "".join(named.get(c, f"\\x{ord(c):02x}") if c in CONTROLS else c for c in path)


def test_each_match_stays_one_line_whatever_its_file_name_holds(run_main):
    rnd = random.Random(10)
    paths = ["x\n 2. forged.txt", "\x1b[31mred.txt", "plain/café.txt", "tab\there\r.txt", "\x9b2J.txt"]
    paths += ["".join(rnd.choice(CONTROLS if rnd.random() < 0.2 else OTHERS) for _ in range(rnd.randint(0, 12)))
              for _ in range(300)]
    result = run_main("sys.stdout.reconfigure(encoding='utf-8'); sys.argv = Argv(['prog', 'q']); SWAP_RANK = True\n"
                      f"RESULTS = [{{'path': p, 'score': 0.5}} for p in json.loads({json.dumps(paths)!r})]")
    assert result.report["type"] is None, result.stderr
    # Split at line feeds alone: str.splitlines would also split at U+2028 and other separators.
    lines = result.stdout.split("\n")
    assert lines.pop() == "" and lines.pop().startswith("REPORT ")
    assert lines == [f"{i:2d}. {shown(p)}  score=0.5000" for i, p in enumerate(paths, 1)]
