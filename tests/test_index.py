"""The description index against the reference ranking, with the shared stand-ins for the model packages."""

import contextlib
import json
import logging
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from tarvex.sqlite_store import SCHEMA_VERSION
from testsupport import standins
from testsupport.threads import failures_of, run_threads
from conftest import run_python, write_corpus

MODEL = "stand-in-model"
# The last name is not valid UTF-8: Python spells it with a surrogate escape.
NAMES = ["a.txt", "B.txt", "a-c.txt", "a/b.txt", "a/b/c.txt", ".hidden.txt", "d/.e.txt", "z.md", "é.txt",
         os.fsdecode(b"caf\xff.txt")]


@pytest.fixture
def models(rag, monkeypatch):
    """Installs stand-ins (embed chosen by the test) into sys.modules, with a cleared model cache."""

    def install(embed=standins.hashed, **kwargs):
        rag._load_model.cache_clear()
        return standins.StandIns(embed, **kwargs).install(monkeypatch)

    yield install
    rag._load_model.cache_clear()


def write(root, name, data):
    return write_corpus(root, {name: data}) / name


def index(root, cache, backend="torch", store=None):
    import tarvex

    return tarvex.DescriptionIndex(root, MODEL, backend=backend, cache_dir=cache, store=store)


@pytest.fixture(params=["sqlite", "postgres"])
def store(request):
    """Gives a store for each width of vectors: None (the SQLite store in the cache folder), or a
    PostgreSQL database of its own (a shared store refuses one identity in two widths)."""
    if request.param == "sqlite":
        yield lambda width: None
        return
    postgres, made = request.getfixturevalue("postgres"), {}

    def database(width):
        if width not in made:
            name = f"test_index_{int(width)}_{os.getpid()}"
            postgres.psql(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)", database="postgres")
            postgres.psql(f"CREATE DATABASE {name}", database="postgres")
            made[width] = postgres.url(name)
        return made[width]

    yield database
    for url in made.values():
        postgres.psql(f"DROP DATABASE {url.rsplit('/', 1)[1]} WITH (FORCE)", database="postgres")


def assert_same(ours, reference):
    """Identical paths, order, previews and key order; scores equal to float32 precision."""
    assert [list(r) for r in ours] == [["path", "score", "preview"]] * len(ours)
    assert [(r["path"], r["preview"]) for r in ours] == [(r["path"], r["preview"]) for r in reference]
    assert all(type(r["score"]) is float for r in ours)
    assert [r["score"] for r in ours] == pytest.approx([r["score"] for r in reference], abs=1e-6)


# ---------------------------------------------------------------------------
# Differential: the same answers as the reference while the corpus changes

operations = st.one_of(
    st.tuples(st.just("write"), st.sampled_from(NAMES),
              st.one_of(st.binary(max_size=40), st.text(max_size=400), st.sampled_from(["same text", " \n "]))),
    st.tuples(st.just("delete"), st.sampled_from(NAMES)),
    st.tuples(st.just("rename"), st.sampled_from(NAMES), st.sampled_from(NAMES)),
    st.tuples(st.just("link"), st.sampled_from(NAMES), st.sampled_from(["l.txt", "a/l.txt", "dangling.txt"])),
    st.tuples(st.just("folder link"), st.sampled_from(["a", "d"]), st.sampled_from(["la", "a/loop"])),
    st.tuples(st.just("unreadable"), st.sampled_from(NAMES)),
)


def apply(root, operation):
    kind, name, *rest = operation
    path = root / name
    with contextlib.suppress(OSError):
        if kind == "write":
            if path.is_symlink() or path.is_dir():
                return
            write(root, name, rest[0])
        elif kind == "delete":
            path.unlink()
        elif kind == "rename":
            (root / rest[0]).parent.mkdir(parents=True, exist_ok=True)
            path.rename(root / rest[0])
        elif kind in ("link", "folder link"):
            (root / rest[0]).parent.mkdir(parents=True, exist_ok=True)
            (root / rest[0]).symlink_to(root / "nowhere" if rest[0] == "dangling.txt" else path)
        elif kind == "unreadable":
            path.chmod(0)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=st.lists(st.tuples(operations, st.sampled_from(["1", "query", ""]), st.integers(-1, 6)),
                      min_size=1, max_size=8),
       coarse=st.booleans(), relative=st.booleans(), keep_texts=st.booleans(), between=operations)
# A NUL in a text, its preview and its stored body (PostgreSQL's text type refuses it).
@example(steps=[(("write", "a.txt", b"\x00"), "1", 0)], coarse=False, relative=False, keep_texts=False,
         between=("delete", "a.txt"))
@example(steps=[(("delete", "a.txt"), "1", 0)], coarse=False, relative=False, keep_texts=True,
         between=("write", "a.txt", b"x\x00\xff"))
def test_rank_matches_the_reference_while_the_corpus_changes(rag, models, monkeypatch, store, steps, coarse,
                                                             relative, keep_texts, between):
    import tarvex.corpus_files

    models(standins.coarse_hashed if coarse else standins.hashed)
    if not keep_texts:  # every text to embed is read a second time
        monkeypatch.setattr(tarvex.corpus_files, "TEXT_BUDGET_CHARS", 0)
    # Each example leaves its folder before the folder goes: a later example
    # (and hypothesis itself) must not run in a deleted working directory.
    with tempfile.TemporaryDirectory() as tmp, contextlib.chdir(tmp):
        root = Path(tmp) / "corpus"
        for name in NAMES[:4]:
            write(root, name, f"{name} text\nsecond line")
        given_dir = "corpus" if relative else str(root)
        with index(given_dir, Path(tmp) / "cache", store=store(coarse)) as ours:
            for operation, query, top_k in steps:
                apply(root, operation)
                expected = rag.rank_problem_descriptions(query, given_dir, top_k, MODEL)
                assert_same(ours.rank(query, top_k), expected)
                assert ours.descriptions() == [str(p) for p in rag._iter_description_files(Path(given_dir))
                                               if rag._read_text(p)]
        # A new process's index starts from the store, with the corpus changed meanwhile, and must agree
        # as well; it counts as added and removed exactly the paths that came and went.
        def listed():
            return {str(p) for p in rag._iter_description_files(Path(given_dir))}

        before = listed()
        apply(root, between)
        after = listed()
        with index(given_dir, Path(tmp) / "cache", store=store(coarse)) as again:
            stats = again.refresh()
            assert (stats.added, stats.removed) == (len(after - before), len(before - after))
            assert stats.added + stats.changed + stats.unchanged == len(after)
            assert_same(again.rank("query", 0), rag.rank_problem_descriptions("query", given_dir, 0, MODEL))


# ---------------------------------------------------------------------------
# What is read, embedded and stored


def test_only_new_texts_are_embedded_and_identities_never_mix(models, tmp_path):
    stand_ins = models()
    for i in range(5):
        write(tmp_path / "c", f"f{i}.txt", f"text {i}")
    write(tmp_path / "c", "copy.txt", "text 0")
    with index(tmp_path / "c", tmp_path / "cache") as ix:
        first = ix.refresh()
        assert (first.added, first.changed, first.removed, first.unchanged, first.embedded) == (6, 0, 0, 0, 5)
        stand_ins.clear()
        ix.rank("q")
        assert stand_ins.encoded == [["q"]]  # unchanged corpus: only the query
        write(tmp_path / "c", "f1.txt", "text 0")  # now a third copy of a stored text
        write(tmp_path / "c", "new.txt", "brand new")
        (tmp_path / "c" / "f2.txt").unlink()
        stats = ix.refresh()
        assert (stats.added, stats.changed, stats.removed, stats.embedded) == (1, 1, 1, 1)
        assert stand_ins.encoded[-1] == ["brand new"]
    with index(tmp_path / "c", tmp_path / "cache") as ix:  # a new index finds everything stored
        stats = ix.refresh()
        assert (stats.added, stats.changed, stats.removed, stats.unchanged, stats.embedded) == (0, 0, 0, 6, 0)
    import tarvex

    other = tarvex.DescriptionIndex(tmp_path / "c", "another-model", backend="torch", cache_dir=tmp_path / "cache")
    with other:  # another identity embeds everything again
        assert other.refresh().embedded == 4  # text 0, 3, 4 and "brand new"


def test_a_new_index_counts_edits_and_removals_of_freshly_indexed_files(models, tmp_path):
    """Files indexed moments ago cannot be trusted by their metadata, but are still known to be gone."""
    models()
    root, cache = tmp_path / "c", tmp_path / "cache"
    for number, name in enumerate(NAMES):
        write(root, name, f"text {number}")
    with index(root, cache) as ix:
        ix.refresh()
    kept = [name for name in NAMES if name.endswith(".txt")]
    edited, deleted = kept[:2], kept[2:5]
    for name in edited:
        write(root, name, "a new text")
    for name in deleted:
        (root / name).unlink()
    with index(root, cache) as ix:  # a new index starts from the store, as a new process does
        stats = ix.refresh()
        assert (stats.added, stats.changed, stats.removed) == (0, len(edited), len(deleted))
        assert stats.unchanged == len(kept) - len(edited) - len(deleted)
    with index(root, cache) as ix:
        assert ix.refresh().removed == 0  # the removals were recorded in the store as well


def test_listing_reading_and_closing(rag, models, tmp_path):
    models()
    root = tmp_path / "c"
    write(root, "b.txt", "bee\n")
    write(root, "a/z.txt", "zed")
    write(root, "blank.txt", "  ")
    ix = index(root, tmp_path / "cache")
    assert ix.descriptions() == [str(root / "a/z.txt"), str(root / "b.txt")]
    assert ix.read(str(root / "b.txt")) == rag._read_text(root / "b.txt") == "bee"
    for not_a_description in ("missing.txt", "blank.txt"):  # a blank file is listed by the engine, not here
        with pytest.raises(KeyError):
            ix.read(str(root / not_a_description))
    assert ix.models_dir == root
    ix.close()
    for call in (lambda: ix.rank("q"), ix.refresh, ix.descriptions, lambda: ix.read(str(root / "b.txt"))):
        with pytest.raises(ValueError, match="closed"):
            call()


def test_threads_share_one_index(rag, models, tmp_path):
    models()
    for i in range(30):
        write(tmp_path / "c", f"{i}.txt", f"description {i}")
    expected = rag.rank_problem_descriptions("q", tmp_path / "c", 5, MODEL)
    with index(tmp_path / "c", tmp_path / "cache") as ix:
        outcomes = run_threads(4, lambda _: [ix.rank("q", 5) for _ in range(10)])
    assert failures_of(outcomes) == []
    results = [result for outcome in outcomes for result in outcome]
    assert len(results) == 40
    for result in results:
        assert_same(result, expected)


# ---------------------------------------------------------------------------
# Failures as the reference reports them


def test_failures_match_the_reference(rag, models, tmp_path, caplog):
    stand_ins = models()
    write(tmp_path / "c", "a.txt", "text")

    def outcome(call):
        try:
            return ("ok", call())
        except Exception as error:  # noqa: BLE001 - compared below
            return (type(error), str(error), getattr(error, "__notes__", None))

    subclass = type("S", (str,), {})
    for args in [(None,), ("q", True), ("q", 2.0), (subclass("q"),), ("q", None)]:
        with index(tmp_path / "c", tmp_path / "cache") as ix:
            assert outcome(lambda: ix.rank(*args)) == outcome(
                lambda: rag.rank_problem_descriptions(args[0], tmp_path / "c", *args[1:]))
    with index(tmp_path / "missing", tmp_path / "cache") as ix:
        assert outcome(lambda: ix.rank("q")) == outcome(lambda: rag.rank_problem_descriptions("q", tmp_path / "missing"))
    with index(tmp_path / "c" / "a.txt", tmp_path / "cache") as ix:  # a file as the folder: nothing to rank
        assert ix.rank("q") == []
    with pytest.raises(ValueError, match="backend"):
        index(tmp_path / "c", tmp_path / "cache", backend="gpu")

    stand_ins.fail_with = RuntimeError("no weights here")
    caplog.set_level(logging.WARNING)
    with index(tmp_path / "c", tmp_path / "cache2") as ix:
        assert ix.rank("q") == [] and ix.rank("q") == []
    assert [(r.name, r.getMessage()) for r in caplog.records] == [
        ("root", "RAG disabled (embedding model load failed): no weights here")]  # logged by the reference's loader


def test_nothing_to_rank_loads_no_model(models, tmp_path):
    stand_ins = models()
    write(tmp_path / "c", "blank.txt", "\n\t ")
    write(tmp_path / "c", "not-a-description.md", "text")
    with index(tmp_path / "c", tmp_path / "cache") as ix:
        assert ix.rank("q") == [] and ix.refresh().embedded == 0
    assert stand_ins.calls == []


# ---------------------------------------------------------------------------
# The store: damage, unusable folders, processes


def test_damaged_or_foreign_database_is_reported_and_rebuilt(rag, models, tmp_path, caplog):
    models()
    write(tmp_path / "c", "a.txt", "alpha")
    write(tmp_path / "c", "b.txt", "beta")
    cache = tmp_path / "cache"
    with index(tmp_path / "c", cache) as ix:
        ix.refresh()
    database = cache / "index.sqlite3"
    good = database.read_bytes()

    def foreign(application_id, version):
        database.unlink()
        with contextlib.closing(sqlite3.connect(database)) as other:
            other.execute("CREATE TABLE vectors (identity, text_hash, vector)")
            other.execute("INSERT INTO vectors VALUES (1, x'00', x'0000803f')")
            other.execute(f"PRAGMA application_id = {application_id}")
            other.execute(f"PRAGMA user_version = {version}")
            other.commit()

    def without_real_paths():
        with contextlib.closing(sqlite3.connect(database)) as other:
            other.execute("ALTER TABLE files DROP COLUMN real_path")
            other.commit()

    damages = {
        "not sqlite": lambda: database.write_bytes(b"just some text, not a database" * 100),
        "another application": lambda: foreign(1234, 1),
        "another schema": lambda: foreign(0x54565849, 99),
        "the previous schema": lambda: foreign(0x54565849, 1),
        "a schema version its tables do not have": lambda: without_real_paths(),
        "damaged pages": lambda: database.write_bytes(good[:4096] + bytes(len(good) - 4096)),
    }
    expected = rag.rank_problem_descriptions("q", tmp_path / "c", 10, MODEL)
    for name, damage in damages.items():
        damage()
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger="tarvex.sqlite_store"), index(tmp_path / "c", cache) as ix:
            assert_same(ix.rank("q"), expected)
        warnings = [r for r in caplog.records if r.name == "tarvex.sqlite_store"]
        assert len(warnings) == 1 and "rebuilt" in warnings[0].getMessage(), name
        assert (cache / "index.sqlite3.damaged").exists()


def test_a_store_of_the_previous_schema_keeps_its_vectors_and_reads_its_files_again(models, tmp_path, caplog):
    """Rows written before real paths were kept are read again, however old their timestamps."""
    models()
    root, cache = tmp_path / "c", tmp_path / "cache"
    paths = [write(root, name, f"text {number}") for number, name in enumerate(NAMES) if name.endswith(".txt")]
    with index(root, cache) as ix:
        ix.refresh()
    database = cache / "index.sqlite3"
    with contextlib.closing(sqlite3.connect(database)) as old:
        old.execute("ALTER TABLE files DROP COLUMN real_path")
        old.execute("ALTER TABLE identities DROP COLUMN unit_length")
        old.execute("ALTER TABLE vectors DROP COLUMN cut")
        old.execute("UPDATE files SET scanned_ns = scanned_ns + 60000000000")  # metadata alone would trust them
        old.execute("PRAGMA user_version = 2")
        old.commit()
    with caplog.at_level(logging.WARNING, logger="tarvex.sqlite_store"), index(root, cache) as ix:
        stats = ix.refresh()
        assert (stats.unchanged, stats.embedded) == (len(paths), 0)
        assert ix.sources() == {str(path): os.path.realpath(path) for path in paths}
    assert not caplog.records
    assert not (cache / "index.sqlite3.damaged").exists()
    with contextlib.closing(sqlite3.connect(database)) as new:
        assert new.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
        assert new.execute("SELECT count(*) FROM files WHERE real_path IS NULL").fetchone()[0] == 0


def test_sources_name_the_file_each_text_was_read_from(models, tmp_path):
    models()
    root = tmp_path / "c"
    write(root, "a.txt", "alpha")
    outside = write(tmp_path / "outside", "secret.txt", "beyond")
    (root / "link.txt").symlink_to(outside)
    with index(root, tmp_path / "cache") as ix:
        assert ix.sources() == {str(root / "a.txt"): str(root / "a.txt"), str(root / "link.txt"): str(outside)}
        assert ix.read_with_source(str(root / "link.txt")) == ("beyond", str(outside))
        sourced = ix.rank_with_sources("q", 0)
        assert [{k: v for k, v in r.items() if k != "real_path"} for r in sourced] == ix.rank("q", 0)
        assert {r["path"]: r["real_path"] for r in sourced} == ix.sources()
        with pytest.raises(KeyError):
            ix.read_with_source(str(outside))


def test_files_dated_in_the_future_are_read_again_but_stored_only_when_changed(models, tmp_path):
    """Their timestamps never prove them unchanged, so each call reads them; a warm call writes nothing."""
    models()
    root, cache = tmp_path / "c", tmp_path / "cache"
    future = time.time_ns() + 365 * 24 * 3600 * 10**9
    paths = [write(root, f"f{i}.txt", f"text {i}") for i in range(20)]
    for path in paths:
        os.utime(path, ns=(future, future))
    with index(root, cache) as ix, contextlib.closing(sqlite3.connect(cache / "index.sqlite3")) as watcher:
        ix.rank("q")

        def commits():  # changes whenever another connection commits
            return watcher.execute("PRAGMA data_version").fetchone()[0]

        before = commits()
        for _ in range(3):
            ix.rank("q")
        assert commits() == before
        # Still read on every call: a rewrite that keeps size and timestamps shows at once.
        write(root, "f3.txt", "text X")
        os.utime(paths[3], ns=(future, future))
        assert {r["path"]: r["preview"] for r in ix.rank("q", 0)}[str(paths[3])] == "text X"
        assert commits() != before


def _overwrite_vectors(database, damages):
    """Apply each damage (stored vector bytes -> new stored value) to one stored vector row, in hash order."""
    with contextlib.closing(sqlite3.connect(database)) as db:
        rows = db.execute("SELECT identity, text_hash, vector FROM vectors ORDER BY text_hash").fetchall()
        assert len(rows) >= len(damages)
        for (identity, text_hash, blob), damage in zip(rows, damages):
            db.execute("UPDATE vectors SET vector = ? WHERE identity = ? AND text_hash = ?",
                       (damage(blob), identity, text_hash))
        db.commit()


def _floats(blob):
    return np.frombuffer(blob, dtype=np.float32)


# Damage that any stored vector can be told apart by, and damage that only a unit-length one can.
ANY_VECTOR_DAMAGE = [
    lambda blob: np.full(len(blob) // 4, np.nan, dtype=np.float32).tobytes(),
    lambda blob: (_floats(blob) * np.float32(np.inf)).tobytes(),
    lambda blob: blob[:-4],
    lambda blob: blob + blob,
    lambda blob: "not a blob",
]
UNIT_VECTOR_DAMAGE = [
    lambda blob: b"X" * len(blob),  # bytes written over the page: finite, far from unit length
    lambda blob: (_floats(blob) * np.float32(2)).tobytes(),
    lambda blob: bytes(len(blob)),
]


@pytest.mark.parametrize("embed, damages", [
    (standins.hashed, ANY_VECTOR_DAMAGE + UNIT_VECTOR_DAMAGE),
    (standins.leading_number, ANY_VECTOR_DAMAGE),  # vectors of any length: only what no vector can be
], ids=["unit-vectors", "vectors-of-any-length"])
def test_damaged_vector_rows_are_dropped_and_embedded_again(rag, models, tmp_path, caplog, embed, damages):
    stand_ins = models(embed)
    root, cache = tmp_path / "c", tmp_path / "cache"
    for i in range(12):
        write(root, f"{i:02}.txt", f"{(i % 5) - 1.5} text {i}")
    with index(root, cache) as ix:
        assert ix.refresh().embedded == 12
    _overwrite_vectors(cache / "index.sqlite3", damages)
    expected = rag.rank_problem_descriptions("1", root, 0, MODEL)
    stand_ins.clear()
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="tarvex.sqlite_store"), index(root, cache) as ix:
        assert ix.refresh().embedded == len(damages)
        assert_same(ix.rank("1", 0), expected)
    warnings = [r.getMessage() for r in caplog.records if r.name == "tarvex.sqlite_store"]
    assert len(warnings) == 1 and f"held {len(damages)} damaged vectors" in warnings[0]
    assert [len(batch) for batch in stand_ins.encoded][-2:] == [len(damages), 1]  # their texts, then the query
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="tarvex.sqlite_store"), index(root, cache) as ix:
        assert ix.refresh().embedded == 0  # the vectors embedded again were stored over the damaged rows
        assert_same(ix.rank("1", 0), expected)
    assert caplog.records == []


# Values the columns' affinity keeps as given (SQLite stores '1' in an INTEGER column as 1).
FILE_ROW_DAMAGE = [
    ("mtime_ns", "'abc'"), ("size", "1.5"), ("inode", "x'00'"), ("scanned_ns", "'9e99'"), ("mtime_ns", "1e30"),
    ("ctime_ns", "x''"), ("text_hash", "x'0102'"), ("text_hash", "'a text'"), ("preview", "x'ff'"),
    ("real_path", "42"), ("path", "'a.txt'"), ("path", "x''"),
]


def test_file_rows_holding_a_value_of_the_wrong_kind_are_read_again(rag, models, tmp_path, caplog):
    """Each kind of damage to one row of the file list costs a read of that file, never a traceback."""
    import sqlite3

    stand_ins = models()
    root, cache = tmp_path / "c", tmp_path / "cache"
    for i in range(6):
        write(root, f"{i}.txt", f"text {i}")
    with index(root, cache) as ix:
        ix.refresh()
    expected = rag.rank_problem_descriptions("query", root, 0, MODEL)
    for column, value in FILE_ROW_DAMAGE:
        with contextlib.closing(sqlite3.connect(cache / "index.sqlite3")) as db, db:
            db.execute(f"UPDATE files SET {column} = {value} WHERE path = CAST('3.txt' AS BLOB)")
        stand_ins.clear()
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger="tarvex.sqlite_store"), index(root, cache) as ix:
            stats = ix.refresh()
            assert (stats.embedded, stats.added + stats.changed + stats.unchanged) == (0, 6), column
            assert_same(ix.rank("query", 0), expected)
        assert any("held 1 damaged file rows" in r.getMessage() for r in caplog.records), (column, value)
        with index(root, cache) as ix:  # stored whole again: nothing to say
            caplog.clear()
            assert ix.refresh().added == 0 and not caplog.records


def test_a_store_written_before_the_unit_length_column_is_kept(rag, models, tmp_path, caplog):
    models()
    root, cache = tmp_path / "c", tmp_path / "cache"
    for i in range(4):
        write(root, f"{i}.txt", f"text {i}")
    with index(root, cache) as ix:
        ix.refresh()
    with contextlib.closing(sqlite3.connect(cache / "index.sqlite3")) as db:
        db.execute("ALTER TABLE identities DROP COLUMN unit_length")
        db.execute("ALTER TABLE files DROP COLUMN real_path")
        db.execute("ALTER TABLE vectors DROP COLUMN cut")
        db.execute("PRAGMA user_version = 2")
        db.commit()
    with caplog.at_level(logging.WARNING), index(root, cache) as ix:
        assert ix.refresh().embedded == 0
        assert_same(ix.rank("q"), rag.rank_problem_descriptions("q", root, 10, MODEL))
    assert caplog.records == []
    _overwrite_vectors(cache / "index.sqlite3", UNIT_VECTOR_DAMAGE[:1])  # unit length is asked of its vectors
    with index(root, cache) as ix:
        assert ix.refresh().embedded == 1


def test_rows_stored_too_close_to_their_writes_are_read_again_and_stored_once_proven(models, tmp_path):
    """Each row is judged by its own scan time: rows that prove nothing are read again, found
    unchanged, and stored with a time that proves them; rows already proven are left as they are."""
    from tarvex._index_engine import RACY_WINDOW_NS

    models()
    root, cache = tmp_path / "c", tmp_path / "cache"
    paths = [write(root, f"f{i}.txt", f"text {i}") for i in range(6)]
    database = cache / "index.sqlite3"

    def scan_margins():  # how long after each file's last change the scan that stored it started
        with contextlib.closing(sqlite3.connect(database)) as db:
            return dict(db.execute("SELECT path, scanned_ns - max(mtime_ns, ctime_ns) FROM files"))

    def unchanged_refresh():
        with index(root, cache) as ix:
            stats = ix.refresh()
        assert (stats.added, stats.changed, stats.unchanged, stats.embedded) == (0, 0, len(paths), 0)

    with index(root, cache) as ix:
        ix.refresh()
    assert max(scan_margins().values()) <= RACY_WINDOW_NS  # just written: nothing proven yet
    newest = max(max(os.stat(p).st_mtime_ns, os.stat(p).st_ctime_ns) for p in paths)
    time.sleep(max(0.0, (newest + RACY_WINDOW_NS - time.time_ns()) / 1e9 + 0.2))
    unchanged_refresh()
    proven = scan_margins()
    assert min(proven.values()) > RACY_WINDOW_NS
    with contextlib.closing(sqlite3.connect(database)) as db:
        db.execute("UPDATE files SET scanned_ns = max(mtime_ns, ctime_ns) WHERE path IN (?, ?)", (b"f1.txt", b"f4.txt"))
        db.commit()
    unchanged_refresh()
    again = scan_margins()
    assert min(again.values()) > RACY_WINDOW_NS
    assert {path for path in again if again[path] != proven[path]} == {b"f1.txt", b"f4.txt"}


# ---------------------------------------------------------------------------
# Descriptions longer than the model reads

READ_TOKENS = 6  # what the reading stand-in reads of a text: its words and two special tokens


def word_tokenizer(texts, truncation=False, max_length=None, **kwargs):
    """Token ids as a tokenizer gives them: one per word, between two special tokens."""
    ids = [[101, *range(1, len(text.split()) + 1), 102] for text in texts]
    return {"input_ids": [row[:max_length] if truncation else row for row in ids]}


def install_reading_model(models, monkeypatch):
    """The stand-in model with a tokenizer and the length it reads, as a real model has them."""
    model = models().sentence_transformers.SentenceTransformer
    monkeypatch.setattr(model, "max_seq_length", READ_TOKENS, raising=False)
    monkeypatch.setattr(model, "tokenizer", staticmethod(word_tokenizer), raising=False)


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lengths=st.lists(st.integers(0, 9), min_size=1, max_size=6),
       edits=st.lists(st.tuples(st.integers(0, 5), st.integers(-1, 9)), max_size=4))
@example(lengths=[0], edits=[(0, -1)])  # the corpus emptied: a new index loads no model, and nothing is truncated
def test_descriptions_longer_than_the_model_reads_are_counted(models, monkeypatch, lengths, edits):
    """The count follows the corpus, comes back from the store without embedding, and is made
    again from the texts for vectors stored before it was kept."""
    install_reading_model(models, monkeypatch)
    with tempfile.TemporaryDirectory() as tmp:
        root, cache = Path(tmp) / "corpus", Path(tmp) / "cache"

        def put(number, words):  # -1 words: the file goes
            path = root / f"{number}.txt"
            if words < 0:
                path.unlink(missing_ok=True)
            else:
                write(root, path.name, " ".join(["w"] * words) + f"  {number}\n")

        def longer():  # oracle: files whose words and two special tokens exceed what the model reads
            return sum(len(path.read_text().split()) + 2 > READ_TOKENS for path in root.glob("*.txt"))

        for number, words in enumerate(lengths):
            put(number, words)
        with index(root, cache) as ix:
            assert ix.refresh().truncated == longer()
            for number, words in edits:
                put(number, words)
                assert ix.refresh().truncated == longer()
                assert ix.truncation() == (longer(), READ_TOKENS)
        with index(root, cache) as ix:
            stats = ix.refresh()
            assert (stats.embedded, stats.truncated) == (0, longer())
        def unknown():  # listed texts whose vector is stored without the count (a vector of a text
            # no longer listed may stay unknown)
            with contextlib.closing(sqlite3.connect(cache / "index.sqlite3")) as db:
                return db.execute("SELECT count(*) FROM vectors JOIN files USING (text_hash)"
                                  " WHERE cut IS NULL OR cut NOT IN (0, 1)").fetchone()[0]

        assert unknown() == 0
        with contextlib.closing(sqlite3.connect(cache / "index.sqlite3")) as db:
            db.execute("ALTER TABLE vectors DROP COLUMN cut")
            db.execute("PRAGMA user_version = 3")
            db.commit()
        with index(root, cache) as ix:
            stats = ix.refresh()
            assert (stats.embedded, stats.truncated) == (0, longer())
        assert unknown() == 0
        with contextlib.closing(sqlite3.connect(cache / "index.sqlite3")) as db:
            db.execute("UPDATE vectors SET cut = 'yes'")  # not what the store writes: counted again
            db.commit()
        with index(root, cache) as ix:
            assert ix.refresh().truncated == longer()
        assert unknown() == 0


def test_a_model_that_cannot_tell_what_it_cuts_counts_nothing(models, tmp_path):
    models()  # the plain stand-in: no tokenizer
    write(tmp_path / "c", "a.txt", "many words " * 100)
    with index(tmp_path / "c", tmp_path / "cache") as ix:
        assert ix.truncation() is None  # no model loaded yet
        assert ix.refresh().truncated is None and ix.truncation() is None
        assert len(ix.rank("q")) == 1


def test_unusable_cache_folder_is_a_clear_error(models, tmp_path):
    models()
    (tmp_path / "file").write_text("x")
    with pytest.raises(OSError, match="index cache folder"):
        index(tmp_path, tmp_path / "file" / "cache")


CHILD = """
import json, os, signal, sys, time
import tarvex
with tarvex.DescriptionIndex(sys.argv[1], "stand-in-model", backend="torch", cache_dir=sys.argv[2]) as ix:
    def progress(done, total):
        print(json.dumps([done, total]), flush=True)
        if sys.argv[3] == "stop" and done:
            time.sleep(600)  # the parent kills the process here, after a committed chunk
    stats = ix.refresh(progress=progress)
    print(json.dumps({"embedded": stats.embedded, "top": ix.rank("1", 3)}), flush=True)
"""


def child(root, cache, mode, folder):
    env = dict(os.environ, PYTHONPATH=str(folder))
    return subprocess.Popen([sys.executable, "-c", CHILD, str(root), str(cache), mode],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def test_two_processes_refresh_the_same_corpus(rag, models, tmp_path):
    models(standins.leading_number)
    folder = standins.write_child_packages(tmp_path / "packages")
    for i in range(600):
        write(tmp_path / "c", f"{i:03}.txt", f"{i / 1000} text {i}")
    runs = [child(tmp_path / "c", tmp_path / "cache", "run", folder) for _ in range(2)]
    outputs = [run.communicate(timeout=300) for run in runs]
    assert [run.returncode for run in runs] == [0, 0], [err for _, err in outputs]
    finals = [json.loads(out.splitlines()[-1]) for out, _ in outputs]
    expected = rag.rank_problem_descriptions("1", tmp_path / "c", 3, MODEL)
    for final in finals:
        assert_same(final["top"], expected)
    with contextlib.closing(sqlite3.connect(tmp_path / "cache" / "index.sqlite3")) as db:
        assert db.execute("SELECT count(*) FROM vectors").fetchone()[0] == 600


def test_a_killed_refresh_loses_nothing_committed(rag, models, tmp_path):
    models(standins.leading_number)
    folder = standins.write_child_packages(tmp_path / "packages")
    for i in range(600):
        write(tmp_path / "c", f"{i:03}.txt", f"{i / 1000} text {i}")
    run = child(tmp_path / "c", tmp_path / "cache", "stop", folder)
    committed = 0
    for line in run.stdout:
        committed = json.loads(line)[0]
        if committed:
            break
    run.send_signal(signal.SIGKILL)
    run.wait(timeout=60)
    assert 0 < committed < 600
    with index(tmp_path / "c", tmp_path / "cache") as ix:
        assert ix.refresh().embedded == 600 - committed
        assert_same(ix.rank("1", 0), rag.rank_problem_descriptions("1", tmp_path / "c", 0, MODEL))


def test_import_tarvex_loads_no_index_machinery():
    done = run_python("""
        import json, sys
        import tarvex
        print(json.dumps(sorted(m for m in sys.modules if m.startswith("tarvex") or m in
                                ("numpy", "sqlite3", "torch", "onnxruntime"))))
        print(tarvex.DescriptionIndex.__name__, tarvex.RefreshStats.__name__)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ['["tarvex"]', "DescriptionIndex RefreshStats"]


AGREEMENT = """
import json, sys
import tarvex
from tarvex.rag_helper import rank_problem_descriptions
queries = json.loads(sys.argv[2])
with tarvex.DescriptionIndex(backend="torch", cache_dir=sys.argv[1]) as ix:
    print(json.dumps([[ix.rank(q, 0), rank_problem_descriptions(q, top_k=0)] for q in queries]))
"""


def agree(ours, reference, tolerance=1e-5):
    """Every score within tolerance; the same paths in the same order wherever neighbouring scores differ more."""
    by_path = {r["path"]: r for r in reference}
    assert sorted(by_path) == sorted(r["path"] for r in ours)
    assert all(abs(r["score"] - by_path[r["path"]]["score"]) <= tolerance for r in ours)
    assert all(r["preview"] == by_path[r["path"]]["preview"] for r in ours)
    for mine, theirs in zip(ours, reference):
        near = {r["path"] for r in reference if abs(r["score"] - theirs["score"]) <= 2 * tolerance}
        assert mine["path"] == theirs["path"] or mine["path"] in near


@pytest.mark.slow
def test_real_model_torch_backend_agrees_with_the_reference_on_the_shipped_corpus(tmp_path):
    queries = ["deliver parcels to customers with a fleet of vans", "schedule nurses across shifts"]
    done = run_python(AGREEMENT, str(tmp_path / "cache"), json.dumps(queries), env={"HF_HUB_OFFLINE": "1"})
    assert done.returncode == 0, done.stderr
    for ours, reference in json.loads(done.stdout):
        assert len(ours) == 50
        agree(ours, reference)
