"""A link inside the corpus swapped between a file inside and a secret outside while the server answers
searches, reads and resource reads: nothing of the secret is ever shown, and the index never pairs one
file's text with another file's metadata, in memory or in its store, then or after a restart."""

import hashlib
import os
import threading
import time

import anyio
from mcp import Client
from mcp.shared.exceptions import MCPError

from conftest import swap_link
from tarvex import DescriptionIndex
from tarvex._index_engine import RACY_WINDOW_NS, read_with_real_path
from tarvex._defaults import PREVIEW_CHARS
from tarvex.corpus_view import CorpusView
from tarvex.mcp_server import DescriptionServer
from tarvex.stores import default_store

MODEL = "tarvex-tests/standin-model"
SECRET = "TOPSECRET launch codes"
INSIDE = "Inside: parcels and vans"
RACE_SECONDS = 2.5


def faithful_rows(paths):
    """inode -> the (size, mtime_ns, ctime_ns, real path, hash, preview) a read of that file alone gives."""
    rows = {}
    for path in paths:
        st = os.stat(path)
        text = read_with_real_path(str(path))[0]
        rows[st.st_ino] = (st.st_size, st.st_mtime_ns, st.st_ctime_ns, os.path.realpath(path),
                           hashlib.sha256(text.encode()).digest(), text[:PREVIEW_CHARS].replace("\n", " "))
    return rows


def wait_until_trusted(paths):
    """Wait until the files' timestamps lie outside the racy window, so that metadata alone decides."""
    newest = max(max(os.stat(p).st_mtime_ns, os.stat(p).st_ctime_ns) for p in paths)
    time.sleep(max(0.0, (newest + RACY_WINDOW_NS - time.time_ns()) / 1e9 + 0.2))


def test_a_link_swapped_in_and_out_of_the_corpus_reveals_nothing(tmp_path, standins, rag):
    root = tmp_path / "c"
    root.mkdir()
    (root / "inside.txt").write_text(INSIDE + "\n")
    (root / "other.txt").write_text("Schedule nurses across shifts\n")
    secret = tmp_path / "secret.txt"
    secret.write_text(SECRET + ", kept outside the corpus\n")
    race = root / "race.txt"
    race.symlink_to("inside.txt")
    files = [root / "inside.txt", root / "other.txt", secret]
    faithful = faithful_rows(files)
    cache = tmp_path / "cache"
    wait_until_trusted(files)  # else every scan reads every file again and hides a stale pairing

    view = CorpusView(DescriptionIndex(root, MODEL, backend="torch", cache_dir=cache))
    server = DescriptionServer(view).protocol_server()
    uri = view.uri_of(str(race))
    shown, refused = [], 0
    stop = threading.Event()

    def swapper():
        while not stop.is_set():
            swap_link(race, secret)
            swap_link(race, "inside.txt")

    async def drive():
        nonlocal refused
        async with Client(server) as client:
            deadline = time.monotonic() + RACE_SECONDS
            while time.monotonic() < deadline:
                read = await client.call_tool("read_description", {"path": str(race)})
                shown.append(read.content[0].text)
                refused += read.is_error
                try:
                    resource = await client.read_resource(uri, cache_mode="bypass")
                    shown.append(resource.contents[0].text)
                except MCPError as error:
                    shown.append(str(error))
                    refused += 1
                found = await client.call_tool("search_descriptions", {"query": SECRET, "top_k": 100})
                shown.append(found.content[0].text)
                listed = await client.list_resources(cache_mode="bypass")
                shown.extend(resource.uri for resource in listed.resources)

    thread = threading.Thread(target=swapper)
    thread.start()
    try:
        anyio.run(drive)
    finally:
        stop.set()
        thread.join()
        swap_link(race, "inside.txt")
        view.close()

    assert not [text for text in shown if "TOPSECRET" in text or "secret.txt" in text]
    assert INSIDE in shown and refused  # the race was run: reads landed on both sides

    # Every stored row holds the metadata, real path, hash and preview of one and the same file.
    store = default_store(cache)
    try:
        rows = store.files(store.corpus(os.path.realpath(root)))
    finally:
        store.close()
    for row in rows:
        if row.text_hash is not None:
            assert (row.size, row.mtime_ns, row.ctime_ns, row.real_path, row.text_hash, row.preview) == \
                faithful[row.inode], row

    # With the link put back, a new index (a restarted server) ranks race.txt by the inside text,
    # as the reference does, and the server shows it again.
    with DescriptionIndex(root, MODEL, backend="torch", cache_dir=cache) as index:
        expected = rag.rank_problem_descriptions(SECRET, str(root), 100, MODEL)
        assert [(r["path"], r["preview"]) for r in index.rank(SECRET, 100)] == \
            [(r["path"], r["preview"]) for r in expected]
        assert CorpusView(index).read(str(race)) == INSIDE
