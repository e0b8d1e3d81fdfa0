"""The engine's corpus walk against the reference listing, on random trees."""

import errno
import os
import shutil
import tempfile
import threading
from pathlib import Path

from hypothesis import HealthCheck, given, settings, strategies as st

from tarvex._index_engine import Scanner
from tarvex.rag_helper import _iter_description_files

STEMS = ["a", "A", "b", "B", "a-c", "a.b", ".hidden", ".", "é", "e\u0301", "Z", "ü", "_", "日本", "a b",
         "\U0001f600", "\ue000", "\udcff", "\udcc3\udca9", "x\udcfe"]
SUFFIXES = ["", ".txt", ".txt", ".txt", ".txt", ".TXT", ".txt.bak", ".Txt"]
KINDS = ["folder", "folder", "file", "file", "file", "link to file", "link to outside file", "link to folder",
         "link to outside folder", "broken link", "unreadable folder"]

node = st.tuples(st.sampled_from(KINDS), st.integers(0, 50), st.sampled_from(STEMS), st.sampled_from(SUFFIXES),
                 st.integers(0, 50))


def build_tree(base, nodes):
    """A corpus at base/root (with files and folders outside it to link to)."""
    root = base / "root"
    outside = base / "outside"
    for folder in (root, outside / "folder"):
        folder.mkdir(parents=True)
    (outside / "far.txt").write_text("far")
    (outside / "folder" / "in.txt").write_text("in")
    folders, files = [root], []
    for kind, parent_pick, stem, suffix, target_pick in nodes:
        name = stem + suffix
        if name in (".", ".."):
            continue
        path = folders[parent_pick % len(folders)] / name
        if os.path.lexists(path):
            continue
        if kind in ("folder", "unreadable folder"):
            path.mkdir()
            folders.append(path)
        elif kind == "file":
            path.write_bytes(os.fsencode(name))
            files.append(path)
        elif kind == "link to file" and files:
            path.symlink_to(files[target_pick % len(files)])
        elif kind == "link to outside file":
            path.symlink_to(outside / "far.txt")
        elif kind == "link to folder":
            # Often an ancestor, which makes a loop.
            path.symlink_to(folders[target_pick % len(folders)])
        elif kind == "link to outside folder":
            path.symlink_to(outside / "folder")
        elif kind == "broken link":
            path.symlink_to(base / "nowhere.txt")
    for kind, *_ in nodes:
        if kind == "unreadable folder":
            break
    else:
        return root
    for folder in folders[1:]:
        if folder.name.endswith("b"):  # some of them, not always the same kind
            folder.chmod(0)
    return root


def reference(spelling):
    return [str(p) for p in _iter_description_files(Path(spelling))]


def outcome(call):
    """The result of a call, or the kind, errno and file of the OSError it raised."""
    try:
        return call()
    except OSError as error:
        return type(error), error.errno, error.filename


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(node, min_size=8, max_size=40))
def test_listing_matches_reference_on_random_trees(nodes):
    base = Path(tempfile.mkdtemp())
    old_cwd = os.getcwd()
    try:
        root = build_tree(base, nodes)
        (base / "root link").symlink_to(root)
        os.chdir(base)
        spellings = [str(root), str(root) + "/", "root", "./root//", "root/.", "root link", str(base / "missing")]
        for spelling in spellings:
            assert Scanner(spelling).scan()[0] == reference(spelling), spelling
        os.chdir(root)
        assert Scanner(".").scan()[0] == reference(".")
        assert Scanner("").scan()[0] == reference("")
    finally:
        os.chdir(old_cwd)
        for folder, subfolders, _ in os.walk(base):
            for sub in subfolders:
                os.chmod(os.path.join(folder, sub), 0o755, follow_symlinks=False) if not os.path.islink(
                    os.path.join(folder, sub)) else None
        shutil.rmtree(base)


def test_deep_and_overlong_paths_match_reference(tmp_path):
    """Deeper than the walk keeps folders open, and past the kernel's path limit."""
    deep = tmp_path / "deep"
    folder = deep
    for level in range(90):
        folder = folder / "d"
        folder.mkdir(parents=True)
        (folder / f"{level}.txt").write_text("x")
    assert Scanner(str(deep)).scan()[0] == reference(deep)

    # Paths of more than 4096 bytes, made one folder at a time: the reference
    # cannot list folders that deep, and fails on a file whose own path is too
    # long for the kernel in a folder it could list; so does the scan.
    long_root = tmp_path / "long"
    long_root.mkdir()
    fd = os.open(long_root, os.O_RDONLY)
    try:
        for level in range(24):
            name = f"{level:03d}" + "n" * 197
            os.mkdir(name, dir_fd=fd)
            for file_name in [f"{level}.txt", "!" + "f" * 240 + ".txt"]:
                with open(os.open(file_name, os.O_WRONLY | os.O_CREAT, dir_fd=fd), "w") as out:
                    out.write("x")
            inner = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
    finally:
        os.close(fd)
    failure = outcome(lambda: reference(long_root))
    assert failure[:2] == (OSError, errno.ENAMETOOLONG)
    assert outcome(lambda: Scanner(str(long_root)).scan()[0]) == failure


def test_root_that_is_not_a_folder(tmp_path):
    (tmp_path / "file.txt").write_text("x")
    for root in (tmp_path / "file.txt", tmp_path / "missing"):
        assert Scanner(str(root)).scan()[0] == reference(root) == []


def test_root_spelling_and_errors(tmp_path):
    assert Scanner(tmp_path).root == str(tmp_path)
    for spelling in ["a//b/./", "//x/", "///x", "", "./", "../a/..", "a/./b/."]:
        assert Scanner(spelling).root == str(Path(spelling))
    for bad in [None, b"bytes", 3]:
        try:
            Scanner(bad)
        except TypeError:
            pass
        else:
            raise AssertionError(f"Scanner({bad!r}) accepted")
    try:
        Scanner("a\0b")
    except ValueError:
        pass
    else:
        raise AssertionError("a path with a NUL was accepted")


def test_folders_the_user_cannot_read_or_search():
    """Compared as an unprivileged user, since permissions do not stop root.

    A folder that cannot be read is skipped; one whose names can be read but
    whose entries cannot be reached makes the reference raise PermissionError
    for the first such file, and the scan raises the same."""
    base = Path(tempfile.mkdtemp())
    try:
        base.chmod(0o755)
        for folder in ["open", "closed", "listable", "open/closed"]:
            (base / folder).mkdir()
            (base / folder / "x.txt").write_text("x")
            (base / folder / "sub").mkdir()
            (base / folder / "sub" / "y.txt").write_text("y")
        (base / "closed").chmod(0)
        (base / "open" / "closed").chmod(0)
        (base / "listable").chmod(0o444)
        pid = os.fork()
        if pid == 0:  # the child reports through its exit status only
            status = 1
            try:
                if os.geteuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                failure = outcome(lambda: Scanner(str(base)).scan()[0])
                expected = (PermissionError, errno.EACCES, str(base / "listable" / "x.txt"))
                status = 0 if failure == outcome(lambda: reference(base)) == expected else 3
            finally:
                os._exit(status)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        # Readable again: the closed folders stay out of the listing.
        (base / "listable").chmod(0o755)
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.setgid(65534)
                os.setuid(65534)
                listing = Scanner(str(base)).scan()[0]
                status = 0 if listing == reference(base) and len(listing) == 4 else 3
            finally:
                os._exit(status)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        for folder in ["closed", "listable", "open/closed"]:
            if (base / folder).exists():
                (base / folder).chmod(0o755)
        shutil.rmtree(base)


def test_deep_tree_on_a_thread_with_a_small_stack(tmp_path):
    deep = tmp_path
    for _ in range(1500):
        deep = deep / "d"
        deep.mkdir()
    (deep / "bottom.txt").write_text("bottom")
    (tmp_path / "top.txt").write_text("top")
    results = []
    old_size = threading.stack_size(64 * 1024)
    try:
        worker = threading.Thread(target=lambda: results.append(Scanner(str(tmp_path)).scan()[0]))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old_size)
    assert results == [reference(tmp_path)]
    assert len(results[0]) == 2


def test_wide_tree_walked_by_several_threads_matches_reference(tmp_path):
    # Enough waiting folders for the walk to start its helper threads.
    root = tmp_path / "wide"
    for i in range(600):
        folder = root / f"e{i}"
        folder.mkdir(parents=True)
        (folder / f"{i}.txt").write_text("x")
        (folder / "sub").mkdir()
        (folder / "sub" / "a.txt").write_text("y")
    expected = [str(p) for p in _iter_description_files(root)]
    scanner = Scanner(str(root))
    for _ in range(3):
        listing, stale, removed, _ = scanner.scan()
        assert listing == expected
    assert removed == [] and set(stale) <= set(expected)
