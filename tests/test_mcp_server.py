"""The MCP server, run as a subprocess and driven with the SDK's own stdio client.

The server child imports the shared stand-in model (testsupport/standins.py,
`leading_number` embeddings) through packages first on its PYTHONPATH; the
test process ranks with the same stand-ins in process, so the server's answers
can be compared exactly with `DescriptionIndex.rank` and `_read_text`.
"""

import contextlib
import itertools
import json
import logging
import math
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
from datetime import UTC, datetime, timedelta
from pathlib import Path

import anyio
import anyio.from_thread
import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st
from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from mcp.shared.exceptions import MCPError

from conftest import write_corpus
from tarvex._shell import json_records
from testsupport import standins as standins_module
from testsupport.standins import StandIns, leading_number, write_child_packages

# Not in the local model cache: only the stand-in answers to this name.
STANDIN_MODEL = "tarvex-tests/standin-model"
REFUSED = "is not a description of this corpus"

# With leading_number embeddings a description's score is its first number
# times the query's; ties ("1 ...") keep path order.
CORPUS = {
    "routing/vans.txt": "3 Deliver parcels to customers with a fleet of vans.",
    "rostering/nurses.txt": "5 Schedule nurses across early, late and night shifts.\nSecond line.",
    ".hidden/secret-plan.txt": "4 A hidden file is a description too.",
    "ünï cödé/a b#c?d%.txt": "2 Unusual characters in the path.",
    "ties/first.txt": "1 Tie, listed first.",
    "ties/second.txt": "1 Tie, listed second.",
    "blank.txt": "   \n\t",
    "notes.md": "9 Not a description: wrong suffix.",
    # Enough for two pages of resources.
    **{f"many/{i:03}.txt": f"0 Filler description number {i}." for i in range(520)},
}
OUTSIDE_TEXT = "7 OUTSIDE-THE-CORPUS text that the server must never show."


def child_environment(tmp, model_package=None):
    """Environment of a server child: stand-ins first on PYTHONPATH, its own cache folder."""
    site = write_child_packages(tmp / "site")
    if model_package is not None:
        (site / "sentence_transformers" / "__init__.py").write_text(model_package)
    # The SDK starts the server with a small default environment; an
    # instrumented build also needs its sanitizer runtime and options.
    inherited = {name: os.environ[name] for name in INHERITED if name in os.environ}
    return inherited | {
        "PYTHONPATH": str(site),
        "XDG_CACHE_HOME": str(tmp / "server-cache"),
        "HF_HUB_OFFLINE": "1",
        "PYTHONUNBUFFERED": "1",
    }


INHERITED = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


# `tarvex mcp`.
TARVEX_MCP = [sys.executable, "-m", "tarvex.cli", "mcp"]


def server_command(corpus, entry=TARVEX_MCP):
    return [*entry, "--models-dir", str(corpus), "--model", STANDIN_MODEL, "--backend", "torch"]


@contextlib.asynccontextmanager
async def connected(command, env, errlog):
    params = StdioServerParameters(command=command[0], args=command[1:], env=env, cwd="/")
    async with stdio_client(params, errlog=errlog) as (read, write):
        async with ClientSession(read, write) as session:
            await session.initialize()
            yield session


class Server:
    """A live client session on a server child, callable from synchronous test code."""

    def __init__(self, portal, session):
        self.portal, self.session = portal, session

    def call(self, tool, arguments):
        return self.portal.call(lambda: self.session.call_tool(tool, arguments))

    def search(self, query, top_k=None, min_score=None):
        arguments = {"query": query, "top_k": top_k, "min_score": min_score}
        result = self.call("search_descriptions", {k: v for k, v in arguments.items() if v is not None})
        assert not result.is_error, result.content
        assert json.loads(result.content[0].text) == result.structured_content
        return result.structured_content["results"]

    def read(self, path):
        return self.call("read_description", {"path": path})

    def resource_pages(self):
        pages, cursor = [], None
        while True:
            page = self.portal.call(lambda: self.session.list_resources(params=_page(cursor)))
            pages.append(page.resources)
            cursor = page.next_cursor
            if cursor is None:
                return pages

    def read_resource(self, uri):
        return self.portal.call(lambda: self.session.read_resource(uri))

    def list_tools(self):
        return self.portal.call(self.session.list_tools).tools

    def info(self):
        result = self.call("index_info", {})
        assert not result.is_error and json.loads(result.content[0].text) == result.structured_content
        return result.structured_content


def _page(cursor):
    from mcp import types

    return None if cursor is None else types.PaginatedRequestParams(cursor=cursor)


@contextlib.contextmanager
def running_server(command, env):
    with tempfile.TemporaryFile("w+") as errlog, anyio.from_thread.start_blocking_portal() as portal:
        with portal.wrap_async_context_manager(connected(command, env, errlog)) as session:
            live = Server(portal, session)
            live.errlog = errlog
            yield live


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """The corpus, a link out of it, a link inside it, and the index of it in this process."""
    tmp = tmp_path_factory.mktemp("mcp")
    root = write_corpus(tmp / "corpus", CORPUS)
    outside = write_corpus(tmp / "outside", {"secret.txt": OUTSIDE_TEXT})
    (root / "escape.txt").symlink_to(outside / "secret.txt")
    (root / "routing" / "alias.txt").symlink_to(root / "rostering" / "nurses.txt")
    (root / "linked-folder").symlink_to(outside, target_is_directory=True)
    from tarvex import DescriptionIndex
    from tarvex import rag_helper

    rag_helper._load_model.cache_clear()
    with (
        StandIns(record=False).installed(),
        DescriptionIndex(root, STANDIN_MODEL, backend="torch", cache_dir=tmp / "cache") as index,
    ):
        assert str(root / "escape.txt") in index.descriptions()  # the library does follow the link
        yield tmp, root, index
    rag_helper._load_model.cache_clear()


@pytest.fixture(scope="module")
def server(corpus):
    tmp, root, _ = corpus
    with running_server(server_command(root), child_environment(tmp)) as live:
        yield live


def shown(index, root):
    """The descriptions the server may show: all the index lists but the link out of the corpus."""
    return [path for path in index.descriptions() if path != str(root / "escape.txt")]


QUERIES = st.one_of(
    st.text(max_size=40),
    st.builds(lambda x, rest: f"{x} {rest}", st.floats(-10, 10, allow_nan=False), st.text(max_size=20)),
)


@settings(max_examples=60, deadline=None)
@given(query=QUERIES, top_k=st.one_of(st.none(), st.integers(1, 100)),
       min_score=st.one_of(st.none(), st.floats(-1, 1), st.sampled_from([-1, 0, 1])))
@example(query="1E100", top_k=None, min_score=None)  # scores that overflow go out as null, as strict JSON has it
@example(query="1E100", top_k=None, min_score=1)  # and reach any minimum
@example(query="0.2", top_k=3, min_score=0.6)  # a minimum cuts within the top_k
def test_search_answers_as_the_index_ranks_without_the_link_out(corpus, server, query, top_k, min_score):
    assume(math.isfinite(leading_number(query)[0]))
    _, root, index = corpus
    allowed = set(shown(index, root))
    best = [record for record in index.rank(query, 0) if record["path"] in allowed][: top_k or 10]
    expected = json_records([record for record in best if min_score is None or record["score"] >= min_score])
    answer = server.search(query, top_k, min_score)
    assert answer == expected
    assert all("OUTSIDE-THE-CORPUS" not in record["preview"] for record in answer)


def test_reads_and_resources_give_the_texts_as_read_text_reads_them(corpus, server):
    from tarvex.rag_helper import _read_text

    _, root, index = corpus
    paths = shown(index, root)
    for path in paths:
        result = server.read(path)
        assert not result.is_error and result.content[0].text == _read_text(Path(path))

    pages = server.resource_pages()
    assert len(pages) == 2
    resources = [resource for page in pages for resource in page]
    assert [resource.name for resource in resources] == [Path(p).relative_to(root).as_posix() for p in paths]
    for resource, path in zip(resources, paths, strict=True):
        assert resource.mime_type == "text/plain"
        (content,) = server.read_resource(resource.uri).contents
        assert content.text == _read_text(Path(path))


def test_tools_are_listed_with_their_limits(server):
    tools = {tool.name: tool for tool in server.list_tools()}
    assert set(tools) == {"search_descriptions", "read_description", "index_info"}
    search = tools["search_descriptions"].input_schema["properties"]
    assert search["top_k"]["minimum"] == 1 and search["top_k"]["maximum"] == 100
    assert search["min_score"]["minimum"] == -1 and search["min_score"]["maximum"] == 1
    assert search["query"]["maxLength"] > 0
    assert tools["search_descriptions"].output_schema["required"] == ["results"]


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"path": "{outside}/secret.txt"}, REFUSED),
        ({"path": "{root}/escape.txt"}, REFUSED),  # listed by the library, real path outside
        ({"path": "{root}/routing/../rostering/nurses.txt"}, REFUSED),
        ({"path": "{root}/../outside/secret.txt"}, REFUSED),
        ({"path": "{root}/linked-folder/secret.txt"}, REFUSED),
        ({"path": "{root}/notes.md"}, REFUSED),
        ({"path": "{root}/missing.txt"}, REFUSED),
        ({"path": "{root}/blank.txt"}, REFUSED),  # listed by the engine, but empty once stripped
        ({"path": "routing/vans.txt"}, REFUSED),
        ({"path": "/etc/passwd"}, REFUSED),
        ({"path": ""}, "should be non-empty"),
        ({"path": "x" * 5000}, "is too long"),
        ({"path": 7}, "7 is not of type 'string'"),
        ({}, "'path' is a required property"),
        ({"path": "{root}/routing/vans.txt", "offset": 3}, "'offset' was unexpected"),
    ],
)
def test_read_refuses_everything_but_a_listed_description(corpus, server, arguments, message):
    tmp, root, _ = corpus
    arguments = {k: v.format(root=root, outside=tmp / "outside") if isinstance(v, str) else v
                 for k, v in arguments.items()}
    result = server.call("read_description", arguments)
    assert result.is_error
    assert message in result.content[0].text
    assert "OUTSIDE-THE-CORPUS" not in result.content[0].text


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"query": "x", "top_k": 0}, "0 is less than the minimum of 1"),
        ({"query": "x", "top_k": 101}, "101 is greater than the maximum of 100"),
        ({"query": "x", "top_k": True}, "True is not of type 'integer'"),
        ({"query": "x", "top_k": "3"}, "'3' is not of type 'integer'"),
        ({"query": "x", "top_k": 2.5}, "2.5 is not of type 'integer'"),
        ({"query": 3}, "3 is not of type 'string'"),
        ({"query": None}, "None is not of type 'string'"),
        ({"query": "x" * 10_001}, "is too long"),
        ({"top_k": 3}, "'query' is a required property"),
        ({"query": "x", "k": 3}, "'k' was unexpected"),
        ({"query": "x", "min_score": 1.5}, "1.5 is greater than the maximum of 1"),
        ({"query": "x", "min_score": -2}, "-2 is less than the minimum of -1"),
        ({"query": "x", "min_score": "0.5"}, "'0.5' is not of type 'number'"),
        ({"query": "x", "min_score": None}, "None is not of type 'number'"),
    ],
)
def test_search_refuses_arguments_out_of_bounds(server, arguments, message):
    result = server.call("search_descriptions", arguments)
    assert result.is_error
    assert result.content[0].text.startswith("invalid arguments for search_descriptions")
    assert message in result.content[0].text


def test_refused_resources_and_unknown_tools_are_protocol_errors(corpus, server):
    tmp, root, _ = corpus
    for uri in [
        "tarvex://description/escape.txt",
        "tarvex://description/../outside/secret.txt",
        "tarvex://description/%2E%2E/outside/secret.txt",
        "tarvex://description/linked-folder/secret.txt",
        "tarvex://description/notes.md",
        "tarvex://description/",
        "tarvex://description/%ff.txt",
        f"file://{root}/routing/vans.txt",
    ]:
        with pytest.raises(MCPError, match=REFUSED) as refused:
            server.read_resource(uri)
        assert "OUTSIDE-THE-CORPUS" not in str(refused.value)
    with pytest.raises(MCPError, match="unknown tool 'delete_everything'"):
        server.call("delete_everything", {})
    # Still serving.
    assert server.search("1", 1)[0]["path"] == str(root / "rostering" / "nurses.txt")


def _raw_exchange(command, env, lines):
    """Send raw lines to a server child, then close its input; returns (answers by id, exit status, stderr)."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env={**os.environ, **env}, text=True, cwd="/")
    out_lines = []
    try:
        for line in lines:
            process.stdin.write(line + "\n")
            process.stdin.flush()
            if "notifications/" not in line:  # everything else gets one answer
                ready, _, _ = select.select([process.stdout], [], [], 60)
                assert ready, f"no answer to {line!r}"
                out_lines.append(process.stdout.readline())
        process.stdin.close()  # the client goes away
        status = process.wait(timeout=60)
    finally:
        process.kill()
    out_lines += process.stdout.read().splitlines()
    answers = {}
    for line in out_lines:
        message = json.loads(line)  # standard output carries protocol messages only
        answers.setdefault(message["id"], []).append(message)
    return answers, status, process.stderr.read()


REQUEST = '{"jsonrpc": "2.0", "id": %d, "method": "%s", "params": %s}'
INITIALIZE = REQUEST % (1, "initialize", '{"protocolVersion": "2025-11-25", "capabilities": {}, '
                                         '"clientInfo": {"name": "raw", "version": "0"}}')

# A model package's end: it gives its place to the shared stand-ins (formatted with their file).
STANDIN_PACKAGE_END = """\
from importlib.util import spec_from_file_location, module_from_spec
if "standins" not in sys.modules:
    spec = spec_from_file_location("standins", {standins!r})
    module = module_from_spec(spec)
    sys.modules["standins"] = module
    spec.loader.exec_module(module)
sys.modules["standins"].take_place_of(__name__)
"""
NOISY_MODEL_PACKAGE = """\
import os, sys
print("printed while the model loads")
os.write(1, b"written by native code while the model loads\\n")
""" + STANDIN_PACKAGE_END


def test_malformed_requests_get_error_answers_and_the_server_ends_with_its_client(corpus, tmp_path):
    _, root, _ = corpus
    noisy = NOISY_MODEL_PACKAGE.format(standins=standins_module.__file__)
    answers, status, stderr = _raw_exchange(
        server_command(root),
        child_environment(tmp_path, model_package=noisy),
        [
            INITIALIZE,
            '{"jsonrpc": "2.0", "method": "notifications/initialized"}',
            "this is not JSON",
            '{"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": "not an object"}',
            REQUEST % (3, "no/such/method", "{}"),
            REQUEST % (4, "tools/call", '{"name": "search_descriptions", "arguments": "not an object"}'),
            REQUEST % (5, "tools/call", '{"name": "search_descriptions", "arguments": {"query": "1", "top_k": 1}}'),
            REQUEST % (6, "resources/list", '{"cursor": "not a cursor"}'),
            REQUEST % (7, "tools/list", "{}"),
        ],
    )
    assert status == 0, stderr
    assert "Traceback" not in stderr
    assert "printed while the model loads" in stderr and "written by native code" in stderr
    assert [answer["error"]["code"] for answer in answers[None]] == [-32700]
    assert [answer["error"]["code"] for answer in answers[2]] == [-32600]  # its id could be read
    (found,) = answers[5]
    assert found["result"]["structuredContent"]["results"][0]["path"] == str(root / "rostering" / "nurses.txt")
    assert [answer["error"]["code"] for i in (3, 4, 6) for answer in answers[i]] == [-32601, -32602, -32602]
    assert [tool["name"] for tool in answers[7][0]["result"]["tools"]] == [
        "search_descriptions", "read_description", "index_info"]


def test_hostile_lines_are_answered_by_their_id_and_never_held_whole(corpus, tmp_path):
    """A line past the cap is dropped as it arrives; a message the SDK cannot take is
    answered with its id where that can be read; a request before initialize is told why."""
    _, root, _ = corpus

    def exchange(*lines):
        process = subprocess.Popen(server_command(root), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env={**os.environ, **child_environment(tmp_path)}, cwd="/")
        with contextlib.suppress(BrokenPipeError):
            for line in lines:
                for piece in ([line.encode() + b"\n"] if isinstance(line, str) else line):
                    process.stdin.write(piece)
            process.stdin.close()
        out = process.stdout.read()
        _, status, usage = os.wait4(process.pid, 0)
        answers = {}
        for message in map(json.loads, out.splitlines()):
            answers.setdefault(message["id"], []).append(message)
        return answers, os.waitstatus_to_exitcode(status), usage.ru_maxrss, process.stderr.read().decode()

    early = REQUEST % (9, "tools/list", "{}")
    nan_score = REQUEST % (4, "tools/call", '{"name": "search_descriptions", "arguments": {"query": "1", '
                                            '"min_score": NaN}}')
    # The search waits for the build, so that both runs hold the built index at their peak.
    common = [early, INITIALIZE, INITIALIZED, nan_score, REQUEST % (8, "tools/call", SEARCH),
              '{"jsonrpc": "2.0", "id": 5, "method": "ping", "params": {"x": "\\ud800"}}',
              '{"jsonrpc": "2.0", "id": 6, "method": "ping", "params": [1, 2]}']
    baseline, status, baseline_rss, _ = exchange(*common, REQUEST % (7, "ping", "{}"))
    assert status == 0
    # Made piece by piece: a child's peak counts the pages it shares with this process when forked.
    long_line = itertools.chain((b"\xff" * (1 << 20) for _ in range(48)), (b"a" * (1 << 20) for _ in range(16)),
                                [b"\n"])
    answers, status, rss, stderr = exchange(*common, long_line, REQUEST % (7, "ping", "{}"))
    assert status == 0 and "Traceback" not in stderr
    assert answers[7] == baseline[7] == [{"jsonrpc": "2.0", "id": 7, "result": {}}]  # still serving
    (dropped,) = answers[None]
    assert dropped["error"]["code"] == -32600 and "longer than 4 MiB" in dropped["error"]["data"]
    assert rss < baseline_rss + (24 << 10)  # KiB: far less than the 64 MiB line
    (refused,) = answers[9]
    assert refused["error"]["data"] == "the session is not initialized: send initialize first"
    (nan,) = answers[4]
    assert nan["result"]["isError"] and "not a finite number" in nan["result"]["content"][0]["text"]
    assert [answer["error"]["code"] for i in (5, 6) for answer in answers[i]] == [-32600, -32600]


def _exchange_at_once(command, env, lines):
    """Send all lines to a server child, then end its input; returns (answers by id, exit status, stderr)."""
    process = subprocess.run(command, input="".join(line + "\n" for line in lines), capture_output=True, text=True,
                             env={**os.environ, **env}, cwd="/", timeout=120)
    answers = {}
    for line in process.stdout.splitlines():
        message = json.loads(line)
        answers.setdefault(json.dumps(message["id"]), []).append(message)
    return answers, process.returncode, process.stderr


INITIALIZED = '{"jsonrpc": "2.0", "method": "notifications/initialized"}'
SEARCH = '{"name": "search_descriptions", "arguments": {"query": "1", "top_k": 1}}'
ODD_IDS = ['{"a": 1}', "1.5", "true", "[1]", "null"]


def test_every_request_read_before_the_input_ends_is_answered(corpus, tmp_path):
    _, root, _ = corpus
    pings = [REQUEST % (i, "ping", "{}") for i in range(2, 7)]
    searches = [REQUEST % (i, "tools/call", SEARCH) for i in range(7, 12)]
    odd = ['{"jsonrpc": "2.0", "id": %s, "method": "ping"}' % ident for ident in ODD_IDS]
    answers, status, stderr = _exchange_at_once(
        server_command(root), child_environment(tmp_path), [INITIALIZE, INITIALIZED, *pings, *searches, *odd])
    assert status == 0, stderr
    assert sorted(answers) == sorted(map(str, range(1, 12))) + ["null"]
    assert all(len(answers[str(i)]) == 1 and answers[str(i)][0]["result"] == {} for i in range(2, 7))
    for i in range(7, 12):
        (found,) = answers[str(i)]
        assert found["result"]["structuredContent"]["results"][0]["path"] == str(root / "rostering" / "nurses.txt")
    # A request whose id is neither a string nor an integer is no JSON-RPC request: refused, and said so.
    assert [answer["error"]["code"] for answer in answers["null"]] == [-32600] * len(ODD_IDS)
    assert stderr.count("Invalid request: the client sent a line") == len(ODD_IDS)


def test_no_error_sends_back_more_than_a_short_piece_of_a_long_input(corpus, tmp_path):
    _, root, _ = corpus
    long = "x" * 1_000_000

    def call(i, method, params):
        return json.dumps({"jsonrpc": "2.0", "id": i, "method": method, "params": params})

    lines = [
        call(2, "tools/call", {"name": "search_descriptions", "arguments": {"query": long}}),
        call(3, "tools/call", {"name": "search_descriptions", "arguments": {"query": [long]}}),
        call(4, "tools/call", {"name": "search_descriptions", "arguments": {"query": [1] * 300_000}}),
        call(5, "tools/call", {"name": "search_descriptions", "arguments": {"query": "1", long: 1}}),
        call(6, "tools/call", {"name": "read_description", "arguments": {"path": long}}),
        call(7, "tools/call", {"name": long, "arguments": {}}),
        call(8, "resources/read", {"uri": "tarvex://description/" + long}),
        call(9, "resources/read", {"uri": "file:///" + long}),
        call(10, long, {}),
        call(11, "resources/list", {"cursor": long}),
    ]
    answers, status, stderr = _exchange_at_once(server_command(root), child_environment(tmp_path),
                                                [INITIALIZE, INITIALIZED, *lines])
    assert status == 0, stderr
    expected = {2: "is too long", 3: "is not of type 'string'", 4: "is not of type 'string'", 5: "was unexpected",
                6: "is too long", 7: "unknown tool", 8: REFUSED, 9: REFUSED, 10: "Method not found",
                11: "invalid cursor"}
    for i, says in expected.items():
        (answer,) = answers[str(i)]
        text = json.dumps(answer)
        assert says in text and len(text) < 1000, (i, text[:300])
        assert "x" * 201 not in text and "1, " * 201 not in text


def test_the_end_of_input_waits_for_each_request_read_but_not_forever(monkeypatch, caplog):
    from mcp import types

    from tarvex import mcp_stdio

    def request(ident):
        return types.JSONRPCRequest(jsonrpc="2.0", id=ident, method="ping")

    def answer(ident):
        return types.JSONRPCResponse(jsonrpc="2.0", id=ident, result={})

    def cancel(ident):
        return types.JSONRPCNotification(jsonrpc="2.0", method="notifications/cancelled", params={"requestId": ident})

    async def drained_after(read, written):
        """Whether drained() returns once the read messages and then the written ones went by."""
        unanswered = mcp_stdio._Unanswered()
        for message in read:
            unanswered.read(message)
        async with anyio.create_task_group() as tasks:
            done = anyio.Event()

            async def drain():
                await unanswered.drained()
                done.set()

            tasks.start_soon(drain)
            for message in written:
                await anyio.sleep(0)
                assert not done.is_set()
                unanswered.written(message)
            with anyio.move_on_after(5):
                await done.wait()
            return done.is_set()

    caplog.set_level(logging.WARNING, logger="tarvex.mcp_stdio")
    # Answers in any order, a repeated id answered twice, a cancelled request, ids "1" and 1 apart.
    assert anyio.run(drained_after, [request(1), request("1"), request(2), request(2), request(3), cancel(3)],
                     [answer(2), answer("1"), answer(2), answer(1)])
    assert anyio.run(drained_after, [], [])
    assert caplog.records == []
    # A cancel naming `true` is no cancel of request 1; with nothing more written the wait gives up and says so.
    monkeypatch.setattr(mcp_stdio, "DRAIN_STALL_SECONDS", 0.2)
    assert anyio.run(drained_after, [request(1), cancel(True)], [])
    assert ["1 requests still unanswered" in record.getMessage() for record in caplog.records] == [True]

    # While the build moves on (and an answer waits for it) the wait goes on; once it stands still too, it ends.
    caplog.clear()
    moves = iter(range(5))

    async def drain_while_building():
        unanswered = mcp_stdio._Unanswered(lambda: next(moves, "stands still"))
        unanswered.read(request(1))
        await unanswered.drained()

    anyio.run(drain_while_building)
    assert next(moves, "all seen") == "all seen"
    assert ["1 requests still unanswered" in record.getMessage() for record in caplog.records] == [True]


def test_ctrl_c_ends_a_serving_server(corpus, tmp_path):
    _, root, _ = corpus
    # SIGINT as a terminal delivers it, even when the runner was started with it ignored.
    process = subprocess.Popen(server_command(root), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env={**os.environ, **child_environment(tmp_path)}, cwd="/",
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        process.stdin.write(INITIALIZE.encode() + b"\n")
        process.stdin.flush()
        assert json.loads(process.stdout.readline())["id"] == 1  # serving, and waiting for the next line
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=60) == -signal.SIGINT
    finally:
        process.kill()
        process.communicate()


BROKEN_MODEL_PACKAGE = "raise ImportError('this stand-in model cannot be imported')\n"


def test_a_server_that_cannot_start_says_why_and_writes_nothing_to_stdout(corpus, tmp_path):
    tmp, _, _ = corpus
    process = subprocess.run(
        server_command(tmp / "no-such-folder"), input="", capture_output=True, text=True, timeout=120,
        cwd="/", env={**os.environ, **child_environment(tmp_path)},
    )
    assert process.returncode == 1
    assert process.stdout == ""
    assert "Models directory not found" in process.stderr and "Traceback" not in process.stderr


def test_index_info_tells_what_a_built_index_holds(corpus, server):
    _, root, index = corpus
    server.search("1", 1)  # brings the index up to date now
    info = server.info()
    updated = datetime.fromisoformat(info.pop("updated_at"))
    assert abs(datetime.now(UTC) - updated) < timedelta(minutes=5)
    count = len(shown(index, root))
    assert info.pop("store").endswith("index.sqlite3")
    assert info == {"corpus": str(root), "source": "folder", "state": "ready", "progress": None, "error": None,
                    "descriptions": count,
                    "vectors": count, "truncated": None, "max_tokens": None, "model": STANDIN_MODEL,
                    "backend": "torch"}
    answer = server.call("index_info", {"x": 1})
    assert answer.is_error and "'x' was unexpected" in answer.content[0].text


# The build's batches wait until the test opens the gate; a query (one text) does not.
GATED_MODEL_PACKAGE = "import os, sys, time\n" + STANDIN_PACKAGE_END + """\
_model = sys.modules[__name__].SentenceTransformer
_encode = _model.encode

def _gated(self, sentences, *args, **kwargs):
    deadline = time.monotonic() + 120
    while len(sentences) > 1 and not os.path.exists({gate!r}) and time.monotonic() < deadline:
        time.sleep(0.01)
    return _encode(self, sentences, *args, **kwargs)

_model.encode = _gated
# A length it reads and a tokenizer (a word a token, between two special ones), as a real model has them.
_model.max_seq_length = {read_tokens}
_model.tokenizer = staticmethod(lambda texts, truncation=False, max_length=None, **kwargs: {{"input_ids": [
    [101, *range(1, len(text.split()) + 1), 102][:max_length if truncation else None] for text in texts]}})
"""
READ_TOKENS = 8


def test_the_server_answers_while_it_builds_and_a_search_waits_with_progress(corpus, tmp_path):
    _, root, index = corpus
    gate = tmp_path / "gate"
    package = GATED_MODEL_PACKAGE.format(standins=standins_module.__file__, gate=str(gate), read_tokens=READ_TOKENS)
    notes = []

    async def progress(done, total, message):
        notes.append((done, total, message))

    with running_server(server_command(root), child_environment(tmp_path, model_package=package)) as live:
        # Initialised, listed and pinged with the build held at its first batch.
        assert {tool.name for tool in live.list_tools()} >= {"search_descriptions", "index_info"}
        live.portal.call(live.session.send_ping)
        searching = live.portal.start_task_soon(lambda: live.session.call_tool(
            "search_descriptions", {"query": "1", "top_k": 3}, progress_callback=progress))
        while not notes:  # the waiting search is told where the build stands
            assert not searching.done()
            live.portal.call(anyio.sleep, 0.05)
        info = live.info()
        total = info["progress"]["total"]
        assert (info["state"], info["progress"], info["descriptions"], info["updated_at"]) == (
            "building", {"embedded": 0, "total": total}, None, None)
        assert not searching.done()
        gate.touch()
        result = searching.result(timeout=120)
        assert not result.is_error
        after = live.info()
        seen = len(notes)
        live.portal.call(lambda: live.session.call_tool("search_descriptions", {"query": "1"},
                                                        progress_callback=progress))
        assert len(notes) == seen  # built: nothing to wait for, nothing to report
    assert result.structured_content["results"] == json_records(
        [record for record in index.rank("1", 0) if record["path"] in shown(index, root)][:3])
    done = [note[0] for note in notes]
    assert done == sorted(set(done)) and done[0] == 0 and done[-1] == total > 500
    assert notes[-1] == (total, total, f"{total} of {total} texts embedded")
    assert after["state"] == "ready" and after["progress"] is None
    assert after["descriptions"] == after["vectors"] == len(shown(index, root))
    # Ranked by their beginning only: the texts whose words and two special tokens exceed what the model reads.
    longer = sum(len(Path(path).read_text().split()) + 2 > READ_TOKENS for path in index.descriptions())
    assert (after["truncated"], after["max_tokens"]) == (longer, READ_TOKENS) and longer > 0


def test_a_build_that_fails_fails_what_needs_the_index_and_nothing_else(corpus, tmp_path):
    _, root, _ = corpus
    with running_server(server_command(root), child_environment(tmp_path, BROKEN_MODEL_PACKAGE)) as live:
        for tool, arguments in [("search_descriptions", {"query": "1"}),
                                ("read_description", {"path": str(root / "blank.txt")})]:
            result = live.call(tool, arguments)
            (text,) = [content.text for content in result.content]
            assert result.is_error and text.startswith(f"{tool} failed: ") and "could not be loaded" in text
            assert "\n" not in text
        with pytest.raises(MCPError, match="listing the descriptions failed: .*could not be loaded"):
            live.resource_pages()
        info = live.info()
        assert info["state"] == "failed" and "could not be loaded" in info["error"]
        assert info["descriptions"] is None and info["updated_at"] is None
        live.portal.call(live.session.send_ping)  # still serving
        live.errlog.seek(0)
        log = live.errlog.read()
    assert "the index could not be built" in log and "Traceback" not in log


# `tarvex mcp` with a short busy timeout on its store.
SHORT_BUSY_MCP = [sys.executable, "-c", "import sys; from tarvex import sqlite_store; "
                  "sqlite_store.BUSY_TIMEOUT_MS = 300; from tarvex.cli import main; sys.exit(main(sys.argv[1:]))",
                  "mcp"]


def test_a_failed_build_is_built_again_by_the_next_request_and_a_missing_folder_is_a_state(tmp_path):
    import sqlite3

    from tarvex.stores import default_store

    root = write_corpus(tmp_path / "corpus", {"a.txt": "2 two", "b.txt": "1 one"})
    default_store(tmp_path / "server-cache" / "tarvex").close()
    writer = sqlite3.connect(tmp_path / "server-cache" / "tarvex" / "index.sqlite3", isolation_level=None)
    writer.execute("BEGIN IMMEDIATE")  # another process keeps the store busy: the first build fails
    with running_server(server_command(root, SHORT_BUSY_MCP), child_environment(tmp_path)) as live:
        failed = live.call("search_descriptions", {"query": "1"})
        assert failed.is_error and "another process is writing" in failed.content[0].text
        assert live.info()["state"] == "failed"
        writer.execute("ROLLBACK")  # mended
        assert [r["path"] for r in live.search("1")] == [str(root / "a.txt"), str(root / "b.txt")]
        info = live.info()
        assert (info["state"], info["error"], info["descriptions"]) == ("ready", None, 2)
        shutil.rmtree(root)
        gone = live.call("index_info", {})
        assert not gone.is_error
        assert gone.structured_content["state"] == "ready"
        assert gone.structured_content["error"] == f"Models directory not found: {root}"
        assert gone.structured_content["descriptions"] is None
        live.errlog.seek(0)
        log = live.errlog.read()
    writer.close()
    assert "Traceback" not in log and "building the index again" in log


@pytest.mark.slow
def test_real_model_answers_as_its_index_ranks(tmp_path):
    """The shipped corpus with the real model: the server's answers are the index's."""
    from conftest import run_python

    # A fresh index cache; the model stays where the hub client finds it (which also follows XDG_CACHE_HOME).
    cache_home = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
    hub_home = os.environ.get("HF_HOME") or str(cache_home / "huggingface")
    inherited = {name: os.environ[name] for name in INHERITED if name in os.environ}
    env = inherited | {"XDG_CACHE_HOME": str(tmp_path / "cache"), "HF_HOME": hub_home, "HF_HUB_OFFLINE": "1"}
    queries = ["deliver parcels to customers with a fleet of vans", "schedule nurses across shifts"]
    # Ranked in a child first (it builds the index the server then finds stored), so that
    # two copies of the model are never in memory at once.
    child = run_python(
        """
        import json, sys
        from tarvex import DescriptionIndex
        with DescriptionIndex() as index:
            print(json.dumps([index.rank(q, 5) for q in json.loads(sys.argv[1])]))
        """,
        json.dumps(queries),
        env=env,
    )
    assert child.returncode == 0, child.stderr
    expected = json.loads(child.stdout.strip().splitlines()[-1])
    with running_server(TARVEX_MCP, {**env, "PATH": os.environ.get("PATH", "")}) as live:
        answers = [live.search(query, 5) for query in queries]
        (resources,) = live.resource_pages()
    assert answers == expected
    assert Path(answers[0][0]["path"]).parent.name == "capacitated_vehicle_routing"
    assert len(resources) == 50


def test_help_says_what_the_server_offers(capsys):
    from tarvex import cli

    with pytest.raises(SystemExit) as ended:
        cli.main(["mcp", "--help"])
    assert ended.value.code == 0
    text = " ".join(capsys.readouterr().out.split())
    for words in ["answers at once", "builds the index in the background", "progress notifications",
                  "min_score: from -1 to 1", "index_info()"]:
        assert words in text


def test_the_tool_lists_written_out_are_the_servers_own():
    from tarvex import mcp_tools

    def called(pattern, text):
        """{tool: its arguments} for each `tool(argument=default, ...)` that pattern finds."""
        return {name: [arg.split("=")[0].strip() for arg in args.split(",") if arg.strip()]
                for name, args in re.findall(pattern, text, re.MULTILINE)}

    offered = {name: list(schemas[1]["properties"]) for name, schemas in mcp_tools.TOOL_SCHEMAS.items()}
    page = (Path(__file__).parents[1] / "docs" / "mcp-server.md").read_text(encoding="utf-8")
    assert called(r"^- tool `(\w+)\(([^)]*)\)`", page) == offered
    assert called(r"^\* ``(\w+)\(([^)]*)\)``", mcp_tools.__doc__) == offered
