"""Rules written once in C++ (src/common/description_rules.hpp, the module's own
messages) keep a Python copy in tarvex._defaults; these tests hold each copy to
the built modules, so that a change to one side fails here rather than drifting."""

import inspect
import logging

import numpy as np
import pytest

from tarvex import _defaults
from tarvex import _index_engine as engine


def test_the_default_model_and_the_read_limit_are_the_modules_own(rag):
    assert inspect.signature(rag.rank_problem_descriptions).parameters["model_name"].default == _defaults.DEFAULT_MODEL
    limit = inspect.signature(rag._read_text).parameters["max_chars"].default
    assert inspect.signature(engine.read_with_real_path).parameters["max_chars"].default == limit


def test_previews_are_as_long_as_the_modules_make_them(rag, standins, tmp_path):
    from tarvex import DescriptionIndex

    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "long.txt").write_text("1 " + "word " * 200)
    [reference] = rag.rank_problem_descriptions("1", tmp_path / "c", model_name="m")
    assert len(reference["preview"]) == _defaults.PREVIEW_CHARS
    with DescriptionIndex(tmp_path / "c", "m", backend="torch", cache_dir=tmp_path / "cache") as index:
        assert [record["preview"] for record in index.rank("1")] == [reference["preview"]]


def test_the_index_says_what_the_module_says(rag, standins, tmp_path, caplog):
    missing = tmp_path / "missing"
    with pytest.raises(FileNotFoundError) as raised:
        rag.rank_problem_descriptions("q", missing)
    assert str(raised.value) == f"{_defaults.NOT_FOUND_PREFIX}{missing}"

    (tmp_path / "c").mkdir()
    (tmp_path / "c" / "a.txt").write_text("a description")
    standins.fail_with = OSError("no such model")
    with caplog.at_level(logging.WARNING):
        assert rag.rank_problem_descriptions("q", tmp_path / "c", model_name="m") == []
    assert [record.msg for record in caplog.records] == [_defaults.LOAD_FAILURE_FORMAT]


ARGUMENTS = {"path": None, "max_chars": 5, "vectors": np.eye(2, dtype=np.float32),
             "query": np.ones(2, dtype=np.float32), "k": 1, "root": None}


def test_each_engine_function_takes_the_keywords_its_signature_names(tmp_path):
    """The signature in each docstring (what the stub is checked against) is also the
    keyword table the function parses its arguments with."""
    (tmp_path / "a.txt").write_text("a description")
    values = {**ARGUMENTS, "path": str(tmp_path / "a.txt"), "root": str(tmp_path)}
    functions = [getattr(engine, name) for name in dir(engine) if not name.startswith("_")]
    checked = 0
    for function in functions:
        if not callable(function) or function.__text_signature__ is None:
            continue
        parameters = inspect.signature(function).parameters.values()
        keywords = {p.name: values[p.name] for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD}
        positional = [values[p.name] for p in parameters if p.kind is p.POSITIONAL_ONLY]
        function(*positional, **keywords)
        with pytest.raises(TypeError):
            function(*positional, **keywords, unexpected=1)
        checked += 1
    assert checked >= 2


def test_the_pages_name_the_settings_and_statuses_the_command_has():
    """The settings and exit statuses are listed once, in the command surface; the pages that
    explain them name exactly those."""
    import re
    from pathlib import Path

    from tarvex import _shell

    root = Path(__file__).resolve().parent.parent
    page = (root / "docs" / "command-line.md").read_text(encoding="utf-8")
    readme = (root / "README.md").read_text(encoding="utf-8")
    settings = set(re.findall(r"\bTARVEX_[A-Z_]+\b", _shell.ENVIRONMENT_HELP))
    assert set(re.findall(r"\bTARVEX_[A-Z_]+\b", page)) == settings
    statuses = {0, _shell.STATUS_FAILED, _shell.STATUS_USAGE, _shell.STATUS_INTERRUPTED}
    assert {int(n) for n in re.findall(r"^  (\d+) ", _shell.EXIT_STATUS_HELP, re.MULTILINE)} == statuses
    said = page[page.index("Exit statuses:"):].split("\n\n")[0]
    assert {int(n) for n in re.findall(r"(?:^|[;:] )(\d+) (?:on|for|when)", said, re.MULTILINE)} == statuses
    summary = re.search(r"exit statuses \(([^)]*)\)", readme.replace("\n", " ")).group(1)
    assert {int(n) for n in re.findall(r"(\d+) \w", summary)} == statuses
