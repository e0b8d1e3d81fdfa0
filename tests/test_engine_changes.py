"""Which listed files a scan names for reading again, and what it remembers."""

import os
import threading
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import write_corpus
from tarvex._index_engine import RACY_WINDOW_NS, Scanner
from testsupport.threads import failures_of, run_threads
from tarvex.rag_helper import _iter_description_files

LATER_NS = 60_000_000_000


def stat_entry(path):
    st = os.stat(path)
    return (str(path), st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino)


def make_corpus(root, count):
    write_corpus(root, {f"f{i % 7}/{i}.txt": f"text {i}" for i in range(count)})


def test_first_scan_lists_everything_as_stale_and_remembers_it(tmp_path):
    make_corpus(tmp_path, 20)
    scanner = Scanner(str(tmp_path))
    before = time.time_ns()
    listing, stale, removed, scanned_ns = scanner.scan()
    assert before <= scanned_ns <= time.time_ns()
    assert listing == [str(p) for p in _iter_description_files(tmp_path)]
    assert stale == listing and removed == []
    # The scan remembered each file's metadata with its own start; reading unchanged files gives them back.
    assert [entry for entry, *_ in scanner.read(listing)] == [stat_entry(p) + (scanned_ns,) for p in listing]

    # While nothing is listed anew, the very same list comes back; a list the
    # caller changed is not handed out again.
    again = scanner.scan()[0]
    assert again is listing
    listing.append("mine")
    fresh = scanner.scan()[0]
    assert fresh is not listing and fresh == again[:-1]
    (tmp_path / "new.txt").write_text("new")
    assert scanner.scan()[0] is not fresh


OPS = ["append", "truncate", "replace", "utime", "delete", "create", "keep"]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rounds=st.lists(st.lists(st.tuples(st.sampled_from(OPS), st.integers(0, 30)), max_size=8), min_size=1,
                       max_size=4))
def test_exactly_the_changed_files_are_stale_after_a_trusted_scan(tmp_path, rounds):
    """With the remembered scan long after the files were written, metadata alone decides."""
    root = tmp_path / f"c{time.monotonic_ns()}"
    root.mkdir()
    make_corpus(root, 12)
    scanner = Scanner(str(root))
    serial = 0
    for ops in rounds:
        listing = scanner.scan()[0]
        scanner.load([stat_entry(path) for path in listing], time.time_ns() + LATER_NS)
        changed, deleted = set(), set()
        for op, pick in ops:
            path = Path(listing[pick % len(listing)]) if listing else root / "first.txt"
            serial += 1
            if op == "create" or not path.exists():
                path = root / f"new{serial}.txt"
                path.write_text("created")
            elif op == "append":
                with open(path, "a") as out:
                    out.write("more")
            elif op == "truncate":
                path.write_text("")
            elif op == "replace":  # a new inode under the old name
                (root / "tmp").write_text(path.read_text())
                os.replace(root / "tmp", path)
            elif op == "utime":
                os.utime(path, ns=(0, serial * 1_000_000_007))
            elif op == "delete":
                path.unlink()
                deleted.add(str(path))
                changed.discard(str(path))
                continue
            else:
                continue
            changed.add(str(path))
            deleted.discard(str(path))
        listing, stale, removed, _ = scanner.scan()
        assert listing == [str(p) for p in _iter_description_files(root)]
        assert set(stale) == changed
        assert set(removed) == deleted - changed


def test_racily_clean_entries_are_read_again(tmp_path):
    """Metadata that was recorded too close to the scan start proves nothing."""
    path = tmp_path / "a.txt"
    path.write_text("one")
    entry = stat_entry(path)
    newest = max(entry[2], entry[3])
    scanner = Scanner(str(tmp_path))
    # The same size and timestamps as remembered, as after a rewrite within one
    # timestamp tick: only the racy rule can tell.
    for scanned_ns, stale in [(newest, True), (newest - 1, True), (newest + RACY_WINDOW_NS, True),
                              (newest + RACY_WINDOW_NS + 1, False), (newest + LATER_NS, False), (-(2**63), True)]:
        scanner.load([entry], scanned_ns)
        assert scanner.scan()[1] == ([str(path)] if stale else []), scanned_ns
        # The scan remembered its own start, which is after the write.
        assert scanner.scan()[3] > newest


def test_honest_scans_never_miss_a_rewrite(tmp_path):
    """Rewrites with the same size right after a scan, timestamps put back."""
    paths = [tmp_path / f"{i}.txt" for i in range(20)]
    for path in paths:
        path.write_text("aaaa")
    scanner = Scanner(str(tmp_path))
    scanner.scan()
    for round_number in range(5):
        for path in paths[round_number::5]:
            st = os.stat(path)
            path.write_text("bbbb" if round_number % 2 else "cccc")
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        stale = scanner.scan()[1]
        assert {str(p) for p in paths[round_number::5]} <= set(stale)


def test_load_checks_its_input(tmp_path):
    scanner = Scanner(str(tmp_path))
    good = (str(tmp_path / "a.txt"), 1, 2, 3, 4)
    for entries, scanned_ns in [([good], 1.5), ([good], None), ([(b"a", 1, 2, 3, 4)], 0), ([good[:4]], 0),
                                ([list(good)], 0), ([good[:1] + ("1",) + good[2:]], 0), (5, 0)]:
        with pytest.raises(TypeError):
            scanner.load(entries, scanned_ns)
    with pytest.raises(ValueError):
        scanner.load([good, good], 0)
    with pytest.raises(OverflowError):
        scanner.load([good], 2**70)
    # Inodes come back as signed 64-bit numbers, so that any fits an SQLite integer, and are
    # taken back in both spellings.  (a.txt does not exist: its read leaves the metadata as
    # loaded, but for a size that no file has.)
    for inode in (2**64 - 1, -1):
        scanner.load([good[:4] + (inode,)], 0)
        assert [entry for entry, *_ in scanner.read([good[0]])] == [good[:1] + (-1,) + good[2:4] + (-1, 0)]
    assert scanner.scan()[2] == [good[0]]


def test_concurrent_scans_of_one_scanner(tmp_path):
    make_corpus(tmp_path, 300)
    expected = [str(p) for p in _iter_description_files(tmp_path)]
    scanner = Scanner(str(tmp_path))
    results = []

    def work(seed):
        for i in range(15):
            if i > 0 and (seed + i) % 4 == 0:
                scanner.load([stat_entry(path) for path in expected[:50]], time.time_ns())
            results.append(scanner.scan())

    assert failures_of(run_threads(4, work)) == []
    assert all(listing == expected and set(stale) <= set(expected) for listing, stale, _, _ in results)


def test_scanning_while_the_tree_changes(tmp_path):
    """Files and folders come and go during the walk: no error, a well-formed listing."""
    make_corpus(tmp_path, 200)
    stop = threading.Event()

    def churn():
        i = 0
        while not stop.is_set():
            folder = tmp_path / f"churn{i % 5}"
            folder.mkdir(exist_ok=True)
            (folder / f"{i}.txt").write_text("x")
            if i % 3 == 0:
                for path in folder.iterdir():
                    path.unlink(missing_ok=True)
                folder.rmdir()
            i += 1

    worker = threading.Thread(target=churn)
    worker.start()
    try:
        scanner = Scanner(str(tmp_path))
        for _ in range(30):
            listing, stale, removed, _ = scanner.scan()
            assert listing == sorted(set(listing), key=Path)
            assert set(stale) <= set(listing) and not set(removed) & set(listing)
    finally:
        stop.set()
        worker.join()


def test_each_entry_is_judged_by_its_own_scan_time_and_reads_keep_a_proving_one(tmp_path):
    for name in ("proven.txt", "racy.txt", "unknown.txt"):
        (tmp_path / name).write_text(name)
    listing = [str(tmp_path / name) for name in ("proven.txt", "racy.txt", "unknown.txt")]
    newest = max(max(os.stat(p).st_mtime_ns, os.stat(p).st_ctime_ns) for p in listing)
    later = newest + LATER_NS
    scanner = Scanner(tmp_path)
    scanner.load([stat_entry(listing[0]) + (later,), stat_entry(listing[1]) + (newest,),
                  stat_entry(listing[2]) + (None,)])
    _, stale, _, scanned_ns = scanner.scan()
    assert stale == listing[1:]
    # Unchanged metadata keeps its time while the scan's proves no more (the files are
    # too fresh for it), so the entry comes back as it was stored; an unknown one takes the scan's.
    read = [entry for entry, *_ in scanner.read(listing)]
    assert [entry[5] for entry in read] == [later, newest, scanned_ns]
    # What a read gave is what the scanner remembers: read again, nothing has changed.
    assert [entry for entry, *_ in scanner.read(listing)] == read


@pytest.mark.parametrize("root", [".", "corpus", "corpus/", "corpus//sub/.", "/"])
def test_prefix_joins_relative_paths_as_the_listing_spells_them(root):
    scanner = Scanner(root)
    for relative in ("a.txt", "x/b.txt"):
        assert scanner.prefix + relative == str(Path(root) / relative)
