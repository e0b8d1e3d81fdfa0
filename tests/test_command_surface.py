"""What the commands share: one scan of the corpus per search (``tarvex search``
and the MCP server alike), one way of showing text on a terminal, and the
options of a command that opens the index (``--cache-dir`` included)."""

import json

import pytest
from conftest import write_corpus
from hypothesis import given
from hypothesis import strategies as st

from tarvex import cli, index, mcp_server
from tarvex._shell import shown

MODEL = "stand-in/model"  # no files anywhere: the torch backend, with the stand-ins
CONTROLS = {*range(0x20), *range(0x7F, 0xA0)}


@pytest.fixture
def scans(monkeypatch):
    """scans[0]: how many times a corpus folder has been scanned so far in the test."""
    from tarvex.corpus_files import CorpusFiles

    counted = [0]
    scan = CorpusFiles.scan

    def counting(self, *args, **kwargs):
        counted[0] += 1
        return scan(self, *args, **kwargs)

    monkeypatch.setattr(CorpusFiles, "scan", counting)
    return counted


@pytest.fixture
def corpus(tmp_path):
    # Links out of the corpus score best, so the MCP server must rank past them.
    root = write_corpus(tmp_path / "corpus", {f"d{i}.txt": f"-{i + 1} inside {i}" for i in range(5)})
    outside = write_corpus(tmp_path / "outside", {f"o{i}.txt": f"9 outside {i}" for i in range(12)})
    for i in range(12):
        (root / f"link{i}.txt").symlink_to(outside / f"o{i}.txt")
    return root


def test_a_search_scans_the_corpus_once(rag, standins, scans, corpus, tmp_path, capsys):
    options = ["--models-dir", str(corpus), "--model", MODEL, "--backend", "torch", "--cache-dir", str(tmp_path / "c")]
    for _ in range(2):  # a cold store, then a warm one
        scans[0] = 0
        assert cli.main(["search", *options, "--json", "1"]) == 0
        assert scans[0] == 1
        assert len(json.loads(capsys.readouterr().out)) == 10

    scans[0] = 0
    view = mcp_server._open_corpus(str(corpus), MODEL, "torch", tmp_path / "c")
    try:
        assert scans[0] == 0  # opened at start, built meanwhile
        view.build()
        assert scans[0] == 1  # no probe and no second scan in the build
        started = view.index
        expected = [r for r in started.rank_with_sources("1", 0, refresh=False) if "inside" in r["preview"]][:3]
        records = view.search("1", 3)
        assert scans[0] == 2  # one search, one scan, however many records it drops
        assert records == [{key: r[key] for key in ("path", "score", "preview")} for r in expected]
        assert [r["path"] for r in records] == [str(corpus / f"d{i}.txt") for i in range(3)]
    finally:
        view.close()


def test_a_model_that_cannot_load_is_raised_when_asked(rag, standins, corpus, tmp_path):
    standins.fail_with = OSError("no weights")
    with index.DescriptionIndex(corpus, MODEL, backend="torch", cache_dir=tmp_path / "c") as described:
        assert described.rank("1") == []  # the reference's answer
        with pytest.raises(index.embedding.EmbeddingUnavailable):
            described.rank("1", raise_unavailable=True)
        assert described.rank("1", refresh=False, raise_unavailable=True) == []  # nothing refreshed: nothing ranked


@given(st.text(alphabet=st.characters(codec=None, exclude_categories=()), max_size=30))
def test_shown_escapes_terminal_controls_and_nothing_else(text):
    out = shown(text)
    assert not any(ord(c) in CONTROLS for c in out)
    named = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
    assert out == "".join(named.get(c, f"\\x{ord(c):02x}") if ord(c) in CONTROLS else c for c in text)


def test_search_shows_paths_as_tarvex_rag_does(rag, standins, tmp_path, capsys):
    root = write_corpus(tmp_path / "corpus", {"no\u00a0break é.txt": "1 a", "line\nfeed\x9b.txt": "2 b"})
    assert cli.main(["search", "--models-dir", str(root), "--model", MODEL, "--backend", "torch",
                     "--cache-dir", str(tmp_path / "c"), "x"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split("  score=")[0] for line in lines] == [
        f" 1. {root}/line\\nfeed\\x9b.txt", f" 2. {root}/no\u00a0break é.txt"]


def test_tarvex_mcp_takes_cache_dir_and_store(monkeypatch, tmp_path):
    served = []
    monkeypatch.setattr(mcp_server, "serve", lambda *args, **store: served.append((args, store)) or 0)
    monkeypatch.setenv("TARVEX_STORE", "sqlite:///elsewhere.sqlite3")
    assert cli.main(["mcp", "--models-dir", "corpus", "--backend", "onnx", "--cache-dir", str(tmp_path)]) == 0
    assert cli.main(["mcp", "--models-dir", "corpus", "--store", "postgresql://team@db/tarvex", "--corpus-name",
                     "shared", "--from-store"]) == 0
    monkeypatch.setenv("TARVEX_MCP_TOKEN", "t0ken")
    assert cli.main(["mcp", "--models-dir", "corpus", "--http", "[::]:8750", "--stateless", "--allow-origin",
                     "https://a.example", "--max-sessions", "7"]) == 0
    from tarvex.mcp_http import HttpOptions

    assert served == [
        (("corpus", "sentence-transformers/all-MiniLM-L6-v2", "onnx", tmp_path),
         {"http": None, "store": "sqlite:///elsewhere.sqlite3", "corpus_name": None, "from_store": None}),
        (("corpus", "sentence-transformers/all-MiniLM-L6-v2", "auto", None),
         {"http": None, "store": "postgresql://team@db/tarvex", "corpus_name": "shared", "from_store": True}),
        (("corpus", "sentence-transformers/all-MiniLM-L6-v2", "auto", None),
         {"http": HttpOptions("::", 8750, token="t0ken", allowed_origins=("https://a.example",), stateless=True,
                              max_sessions=7),
          "store": "sqlite:///elsewhere.sqlite3", "corpus_name": None, "from_store": None})]


def test_the_server_keeps_its_store_in_the_cache_folder(rag, standins, corpus, tmp_path):
    view = mcp_server._open_corpus(str(corpus), MODEL, "torch", tmp_path / "elsewhere")
    view.close()
    assert (tmp_path / "elsewhere" / "index.sqlite3").is_file()
