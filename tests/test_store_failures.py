"""A store that cannot be written (disk full, read-only, busy) and indexes that build one cache at once.

The `tarvex` command runs as a new process with the shared stand-in model;
each condition is real SQLite behaviour: a page limit on the command's
connection (SQLITE_FULL), an immutable or read-only database file, and a
second connection holding `BEGIN IMMEDIATE`.
"""

import contextlib
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter

import anyio
import pytest

from testsupport import standins
from conftest import write_corpus
from testsupport.standins import write_child_packages
from testsupport.threads import failures_of, run_threads

MODEL = "stand-in/model"
CAUSES = {
    "full": "the disk is full",
    "read-only": "it is read-only",
    "busy": r"busy for \d+(\.\d)? s: another process is writing",
}
# The command, with a page limit on its database connection when TARVEX_TEST_PAGES is set
# (the database cannot grow: SQLITE_FULL) and a short busy timeout.
COMMAND = """
import os, sys
from tarvex import sqlite_store as store
from tarvex.cli import main

store.BUSY_TIMEOUT_MS = 200
pages = os.environ.get("TARVEX_TEST_PAGES")
if pages:
    connect = store.SqliteStore._connect

    def limited(self):
        connection = connect(self)
        connection.execute(f"PRAGMA max_page_count = {pages}")
        return connection

    store.SqliteStore._connect = limited
sys.exit(main(sys.argv[1:]))
"""


def make_read_only(database):
    """Make the database file read-only for the commands; returns the undo."""
    if os.geteuid() != 0:
        database.chmod(0o444)
        return lambda: database.chmod(0o644)
    if shutil.which("chattr") is None or subprocess.run(["chattr", "+i", str(database)]).returncode != 0:
        pytest.skip("root sees a read-only database only in an immutable file, and chattr +i is not available")
    return lambda: subprocess.run(["chattr", "-i", str(database)], check=True)


@contextlib.contextmanager
def unwritable(condition, database, env):
    """The store at ``database`` refuses the commands' writes while the block runs."""
    if condition == "full":
        with contextlib.closing(sqlite3.connect(database)) as probe:
            env["TARVEX_TEST_PAGES"] = str(probe.execute("PRAGMA page_count").fetchone()[0])
        yield
        del env["TARVEX_TEST_PAGES"]
    elif condition == "read-only":
        undo = make_read_only(database)
        try:
            yield
        finally:
            undo()
    else:
        with contextlib.closing(sqlite3.connect(database, isolation_level=None)) as writer:
            writer.execute("BEGIN IMMEDIATE")
            yield
            writer.execute("ROLLBACK")


def stored_vectors(database):
    with contextlib.closing(sqlite3.connect(database)) as db:
        return db.execute("SELECT count(*) FROM vectors").fetchone()[0]


@pytest.mark.parametrize("condition", list(CAUSES))
def test_a_store_that_cannot_be_written_says_one_line_answers_what_it_can_and_loses_nothing(
        condition, rag, standins, tmp_path):
    corpus = write_corpus(tmp_path / "corpus", {f"{i:02}.txt": f"{i / 100} text {i}" for i in range(30)})
    cache = tmp_path / "cache"
    database = cache / "index.sqlite3"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PYTHONPATH=str(write_child_packages(tmp_path / "packages")), HF_HUB_OFFLINE="1")

    def tarvex(*args):
        done = subprocess.run([sys.executable, "-c", COMMAND, *args, "--model", MODEL, "--backend", "torch",
                               "--cache-dir", str(cache)], capture_output=True, text=True, env=env, timeout=120)
        return done.returncode, done.stdout, done.stderr

    def agrees(out, top_k):
        """The printed records are the reference's (scores to float32 precision)."""
        ours, expected = json.loads(out), rag.rank_problem_descriptions("1", str(corpus), top_k, MODEL)
        assert [(r["path"], r["preview"]) for r in ours] == [(r["path"], r["preview"]) for r in expected]
        return [r["score"] for r in ours] == pytest.approx([r["score"] for r in expected], abs=1e-6)

    assert tarvex("index", str(corpus))[0] == 0
    # Copies need rows of their own (more pages) but have their texts' vectors; a new text has none.
    write_corpus(corpus, {f"copies/{path.name}": path.read_text() for path in sorted(corpus.glob("*.txt"))})
    failure = re.compile(rf"tarvex: cannot update the index database {re.escape(str(database))}: "
                         rf"{CAUSES[condition]}( \(1 of the descriptions have no stored vector\))?\n")

    with unwritable(condition, database, env):
        status, out, err = tarvex("search", "--json", "--top-k", "5", "--models-dir", str(corpus), "1")
        assert status == 0 and agrees(out, 5), err
        assert err.count("\n") == 1 and err.startswith(
            "tarvex: the index could not be updated (cannot update the index database"), err
        (corpus / "new.txt").write_text("0.995 a new text")
        for command in (["index", str(corpus)], ["search", "--models-dir", str(corpus), "1"]):
            status, out, err = tarvex(*command)
            assert (status, out) == (1, ""), err
            assert failure.fullmatch(err) and "Traceback" not in err, err

    assert stored_vectors(database) == 30 and not (cache / "index.sqlite3.damaged").exists()
    status, out, _ = tarvex("index", str(corpus))
    assert status == 0 and "; 1 embedded" in out, out
    status, out, _ = tarvex("search", "--json", "--top-k", "0", "--models-dir", str(corpus), "1")
    assert status == 0 and agrees(out, 0)


def read_only_mount_works():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount --bind -o ro / /mnt"], capture_output=True)
    return probe.returncode == 0


@pytest.mark.skipif(not read_only_mount_works(), reason="needs root and a mount namespace for a read-only folder")
def test_a_prebuilt_cache_in_a_read_only_folder_answers_until_something_must_be_written(rag, standins, tmp_path):
    corpus = write_corpus(tmp_path / "corpus", {f"{i:02}.txt": f"{i / 10} text {i}" for i in range(8)})
    cache = tmp_path / "cache"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PYTHONPATH=str(write_child_packages(tmp_path / "packages")), HF_HUB_OFFLINE="1")

    def tarvex(*args, read_only=True):
        command = [sys.executable, "-c", COMMAND, *args, "--model", MODEL, "--backend", "torch",
                   "--cache-dir", str(cache)]
        if read_only:  # the cache folder mounted read-only, in a mount namespace of the command's own
            command = ["unshare", "-m", "sh", "-c", f'mount --bind -o ro "{cache}" "{cache}" && exec "$0" "$@"',
                       *command]
        done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)
        return done.returncode, done.stdout, done.stderr

    assert tarvex("index", str(corpus), read_only=False)[0] == 0
    before = sorted(path.name for path in cache.iterdir())
    status, out, err = tarvex("search", "--json", "--top-k", "0", "--models-dir", str(corpus), "1")
    assert (status, err) == (0, "")
    expected = rag.rank_problem_descriptions("1", str(corpus), 0, MODEL)
    assert [r["path"] for r in json.loads(out)] == [r["path"] for r in expected]
    status, out, err = tarvex("index", str(corpus))
    assert status == 0 and "0 added, 0 changed, 0 removed, 8 unchanged; 0 embedded" in out, err
    (corpus / "new.txt").write_text("0.95 a new text")  # now something must be written
    status, out, err = tarvex("index", str(corpus))
    assert (status, out) == (1, "") and "read-only" in err and err.count("\n") == 1, err
    assert sorted(path.name for path in cache.iterdir()) == before  # nothing was made in the folder


def test_indexes_building_one_cache_at_once_embed_each_text_once(rag, tmp_path, monkeypatch):
    """Separate indexes (as separate processes would) on one empty cache, started together."""
    import tarvex

    def slow(text):  # slow enough that the builds overlap
        time.sleep(0.0005)
        return standins.leading_number(text)

    stand_ins = standins.StandIns(slow).install(monkeypatch)
    rag._load_model.cache_clear()
    count = 700  # three chunks
    texts = {f"{i:03}.txt": f"{i / 1000} text {i}" for i in range(count)}
    corpus = write_corpus(tmp_path / "corpus", texts)
    corpus_texts = set(texts.values())
    builders = 4
    opened = threading.Barrier(builders)
    progress = [[] for _ in range(builders)]

    def build(slot):
        with tarvex.DescriptionIndex(corpus, "stand-in-model", backend="torch", cache_dir=tmp_path / "cache") as ix:
            opened.wait()
            return (ix.refresh(progress=lambda done, total: progress[slot].append((done, total))),
                    ix.rank("1", 0))

    results = run_threads(builders, build)
    rag._load_model.cache_clear()
    assert failures_of(results) == []

    # Every text once, by one builder or another (the other calls embed queries and probes).
    encoded = Counter(text for batch in stand_ins.encoded for text in batch if text in corpus_texts)
    assert encoded == Counter(corpus_texts)
    assert sum(stats.embedded for stats, _ in results) == count
    expected = rag.rank_problem_descriptions("1", str(corpus), 0, "stand-in-model")
    for (_, records), calls in zip(results, progress):
        assert [r["path"] for r in records] == [r["path"] for r in expected]
        # Progress counts the texts with a vector, whoever embedded them (no calls: nothing was missing).
        assert not calls or (calls[0] == (0, count) and calls[-1] == (count, count))
        assert [done for done, _ in calls] == sorted(done for done, _ in calls)


def test_the_mcp_server_serves_what_is_stored_and_reports_a_store_failure_in_one_line(rag, standins, tmp_path):
    from test_mcp_server import STANDIN_MODEL, child_environment, connected, server_command

    import tarvex

    corpus = write_corpus(tmp_path / "corpus", {f"{i}.txt": f"{i / 10} text {i}" for i in range(5)})
    env = child_environment(tmp_path)
    database = tmp_path / "server-cache" / "tarvex" / "index.sqlite3"
    with tarvex.DescriptionIndex(corpus, STANDIN_MODEL, backend="torch", cache_dir=database.parent) as index:
        index.refresh()
    write_corpus(corpus, {f"copies/{i}.txt": f"{i / 10} text {i}" for i in range(5)})
    reference = rag.rank_problem_descriptions("1", str(corpus), 3, STANDIN_MODEL)
    undo = make_read_only(database)
    with tarvex.DescriptionIndex(corpus, STANDIN_MODEL, backend="torch", cache_dir=database.parent) as index:
        listed = index.descriptions()  # the copies' rows cannot be stored: listed all the same
    assert listed == sorted(str(path) for path in corpus.rglob("*.txt"))

    async def exchange(errlog):
        async with connected(server_command(corpus), env, errlog) as session:
            answered = await session.call_tool("search_descriptions", {"query": "1", "top_k": 3})
            (corpus / "new.txt").write_text("0.95 a new text")
            refused = await session.call_tool("search_descriptions", {"query": "1", "top_k": 3})
            return answered, refused

    try:
        with tempfile.TemporaryFile("w+") as errlog:
            answered, refused = anyio.run(exchange, errlog)
            errlog.seek(0)
            logged = errlog.read()
    finally:
        undo()
    assert not answered.is_error
    assert [r["path"] for r in answered.structured_content["results"]] == [r["path"] for r in reference]
    assert refused.is_error and refused.content[0].text == (
        f"search_descriptions failed: cannot update the index database {database}: it is read-only"
        " (1 of the descriptions have no stored vector)")
    assert "Traceback" not in logged and logged.count("could not be updated") == 1, logged


FIRST_OPEN = """
import sys, time
from pathlib import Path
from tarvex.stores import default_store
start = float(sys.argv[2])
while time.time() < start:
    pass
store = default_store(Path(sys.argv[1]))
store.update_files(store.corpus("/corpus/" + sys.argv[3]), [], [], 1, {})
"""


def test_processes_opening_a_new_database_at_once_all_get_it(tmp_path):
    """Switching a new database to WAL can answer busy at once while another process opens
    it; each opener waits its turn instead of failing."""
    for round_number in range(6):
        cache = tmp_path / f"cache{round_number}"
        start = time.time() + 0.5
        runs = [subprocess.Popen([sys.executable, "-c", FIRST_OPEN, str(cache), str(start), str(i)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for i in range(6)]
        errors = [run.communicate(timeout=120)[1] for run in runs]
        assert [run.returncode for run in runs] == [0] * 6, errors
        with contextlib.closing(sqlite3.connect(cache / "index.sqlite3")) as db:
            assert db.execute("SELECT count(*) FROM corpora").fetchone()[0] == 6
