"""Reads through one descriptor: a file's metadata, place, text and hash always belong together,
even while a link inside the corpus is swapped between files."""

import hashlib
import os
import threading
import time

import pytest

from conftest import swap_link
from tarvex._index_engine import Scanner, read_with_real_path

LATER_NS = 60_000_000_000


def stat_entry(path):
    st = os.stat(path)
    return (str(path), st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino)


def fingerprint(path):
    """What a faithful read of this file gives: its metadata, real path, text and hash."""
    st = os.stat(path)
    text = read_with_real_path(str(path))[0]
    return (st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino), os.path.realpath(path), text, \
        hashlib.sha256(text.encode()).digest()


@pytest.fixture
def swapped(tmp_path):
    """A corpus whose link race.txt points at inside.txt, a secret outside, and what each gives."""
    root = tmp_path / "c"
    root.mkdir()
    (root / "inside.txt").write_text("Inside: parcels and vans\n")
    (tmp_path / "secret.txt").write_text("TOPSECRET launch codes, a longer text than the other\n")
    (root / "race.txt").symlink_to("inside.txt")
    files = {os.stat(p).st_ino: fingerprint(p) for p in (root / "inside.txt", tmp_path / "secret.txt")}
    return root, root / "race.txt", tmp_path / "secret.txt", files


def test_reads_pair_each_text_with_its_own_file_while_a_link_swaps(swapped):
    root, race, secret, files = swapped
    scanner = Scanner(str(root))
    listing = scanner.scan()[0]
    stop = threading.Event()

    def swapper():
        while not stop.is_set():
            swap_link(race, secret)
            swap_link(race, "inside.txt")

    thread = threading.Thread(target=swapper)
    thread.start()
    seen = set()
    try:
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            for (path, *meta, scanned_ns), real_path, text, text_hash in scanner.read([str(race)] * 20 + listing):
                if text_hash is None:  # nothing could be opened: nothing read, nothing to trust
                    assert (text, real_path, meta[0]) == ("", None, -1)
                    continue
                assert (tuple(meta), real_path, text, text_hash) == files[meta[3]]
                seen.add(real_path)
            text, real_path = read_with_real_path(str(race))
            assert text == next(f[2] for f in files.values() if f[1] == real_path)
    finally:
        stop.set()
        thread.join()
    assert seen == {os.path.realpath(root / "inside.txt"), os.path.realpath(secret)}


def test_a_link_swapped_between_walk_and_read_is_stale_at_the_next_scan(swapped):
    root, race, secret, files = swapped
    scanner = Scanner(str(root))
    listing = scanner.scan()[0]

    def trust_the_walk():
        """Remember the files as if scanned long after every timestamp, so that metadata alone decides."""
        scanner.load([stat_entry(path) for path in listing], time.time_ns() + LATER_NS)

    trust_the_walk()
    swap_link(race, secret)  # after the walk, before the read
    scanner.read(listing)
    assert scanner.scan()[1] == []  # the scanner remembers the descriptor's metadata, and the link still points there
    swap_link(race, "inside.txt")
    assert scanner.scan()[1] == [str(race)]  # the walk's stat differs from the descriptor's

    # A file that gave no text (its link dangling at the read) is named again, even with
    # nothing else changed, so its text is not lost for good.
    trust_the_walk()
    swap_link(race, "missing.txt")
    ((entry, real_path, text, text_hash),) = scanner.read([str(race)])
    assert (entry[1], real_path, text, text_hash) == (-1, None, "", None)
    swap_link(race, "inside.txt")
    assert scanner.scan()[1] == [str(race)]


def test_read_takes_only_remembered_paths_and_reads_what_is_no_regular_file_as_empty(tmp_path):
    (tmp_path / "a.txt").write_text("alpha")
    scanner = Scanner(str(tmp_path))
    scanner.scan()
    for paths, error in [([str(tmp_path / "b.txt")], KeyError), ([b"a.txt"], TypeError), (5, TypeError),
                         ([str(tmp_path / "a.txt"), None], TypeError)]:
        with pytest.raises(error):
            scanner.read(paths)
    assert scanner.read([]) == []
    # Swapped for a FIFO after the walk: opened without blocking, read as nothing.
    (tmp_path / "a.txt").unlink()
    os.mkfifo(tmp_path / "a.txt")
    ((entry, real_path, text, text_hash),) = scanner.read([str(tmp_path / "a.txt")])
    assert (entry[1], real_path, text, text_hash) == (-1, str(tmp_path / "a.txt"), "", None)
    assert read_with_real_path(str(tmp_path / "a.txt")) == ("", str(tmp_path / "a.txt"))
    assert read_with_real_path(str(tmp_path / "none.txt")) == ("", None)
    assert read_with_real_path("a\0b") == ("", None)
