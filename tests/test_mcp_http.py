"""`tarvex mcp --http`: the same server over streamable HTTP, run as a subprocess on a loopback
address and driven with the SDK's HTTP client and with raw HTTP requests.

The server child ranks with the shared stand-in model (see tests/test_mcp_server.py), so its
answers are compared exactly with `DescriptionIndex.rank` in this process.
"""

import contextlib
import datetime
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

import anyio
import httpx2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from mcp import ClientSession
from mcp.client.streamable_http import streamable_http_client

from conftest import write_corpus
from tarvex._shell import json_records
from test_mcp_server import GATED_MODEL_PACKAGE, STANDIN_MODEL, child_environment
from testsupport import standins as standins_module
from testsupport.standins import StandIns

CORPUS = {f"group{i % 3}/problem{i:02}.txt": f"{i % 7} Problem number {i} about routing and shifts." for i in range(40)}
TOKEN = "s3cret-Token_for-tests"
LISTENING = re.compile(r"listening on (https?://\S+/mcp)")
INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "raw", "version": "0"}}}
ACCEPT = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json"}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("http")
    root = write_corpus(tmp / "corpus", CORPUS)
    from tarvex import DescriptionIndex, rag_helper

    rag_helper._load_model.cache_clear()
    with StandIns(record=False).installed(), DescriptionIndex(root, STANDIN_MODEL, backend="torch",
                                                              cache_dir=tmp / "cache") as index:
        yield tmp, root, index
    rag_helper._load_model.cache_clear()


class Running:
    """A server child: its process, its URL and its standard error so far."""

    def __init__(self, process, url, log_path):
        self.process, self.url, self.log_path = process, url, log_path
        self.base = url.removesuffix("/mcp")

    def log(self):
        return self.log_path.read_text(errors="replace")


@contextlib.contextmanager
def http_server(root, tmp, *options, env=None, model_package=None, address="127.0.0.1:0"):
    """`tarvex mcp --http` on a free loopback port; stopped (by its handle) however the test ends."""
    command = [sys.executable, "-m", "tarvex.cli", "mcp", "--models-dir", str(root), "--model", STANDIN_MODEL,
               "--backend", "torch", "--http", address, *options]
    log_path = tmp / f"server-{time.monotonic_ns()}.log"
    environment = {**os.environ, **child_environment(tmp, model_package), **(env or {})}
    with open(log_path, "w") as log:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                                   env=environment, cwd="/")
    try:
        deadline = time.monotonic() + 60
        while not (found := LISTENING.search(log_path.read_text(errors="replace"))):
            assert process.poll() is None and time.monotonic() < deadline, log_path.read_text()
            time.sleep(0.05)
        yield Running(process, found.group(1), log_path)
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=30)


def client(**kwargs):
    return httpx2.Client(trust_env=False, timeout=30, **kwargs)


async def _session_calls(url, calls, token=None, verify=True):
    """Run ``calls(session)`` in one SDK client session; returns what it returns."""
    headers = {"Authorization": f"Bearer {token}"} if token else None
    async with httpx2.AsyncClient(trust_env=False, headers=headers, verify=verify,
                                  timeout=httpx2.Timeout(30, read=60)) as http:
        async with streamable_http_client(url, http_client=http) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                return await calls(session)


def searches(url, queries, token=None, verify=True):
    """The structured results of one search per query, in one session."""

    async def calls(session):
        answers = []
        for query, top_k in queries:
            result = await session.call_tool("search_descriptions", {"query": query, "top_k": top_k})
            assert not result.is_error, result.content
            answers.append(result.structured_content["results"])
        return answers

    return anyio.run(_session_calls, url, calls, token, verify)


def expected(index, query, top_k):
    return json_records(index.rank(query, top_k))


@pytest.fixture(scope="module")
def server(corpus):
    tmp, root, _ = corpus
    with http_server(root, tmp, "--max-sessions", "3", env={"TARVEX_MCP_TOKEN": TOKEN}) as live:
        yield live


@pytest.fixture(scope="module")
def stateless(corpus):
    tmp, root, _ = corpus
    with http_server(root, tmp, "--stateless", "--log-queries") as live:
        yield live


QUERIES = st.lists(st.tuples(st.builds(lambda x, words: f"{x} {words}", st.integers(-5, 5), st.text(max_size=15)),
                             st.integers(1, 12)), min_size=1, max_size=4)


@settings(max_examples=15, deadline=None)
@given(queries=QUERIES)
def test_both_modes_answer_as_the_index_ranks(corpus, server, stateless, queries):
    _, _, index = corpus
    wanted = [expected(index, query, top_k) for query, top_k in queries]
    assert searches(server.url, queries, token=TOKEN) == wanted
    assert searches(stateless.url, queries) == wanted


def test_a_token_is_needed_and_only_the_state_is_shown_without_it(corpus, server):
    _, root, _ = corpus
    with client() as http:
        for headers in [{}, {"Authorization": "Bearer wrong"}, {"Authorization": f"Basic {TOKEN}"},
                        {"Authorization": f"Bearer {TOKEN}x"}, {"Authorization": TOKEN}]:
            refused = http.post(server.url, json=INITIALIZE, headers={**ACCEPT, **headers})
            assert refused.status_code == 401 and refused.headers["www-authenticate"].startswith("Bearer")
            assert str(root) not in refused.text and "problem" not in refused.text
        searches(server.url, [("1", 1)], token=TOKEN)  # the index is ready
        bare = http.get(server.base + "/health")
        assert (bare.status_code, bare.json()) == (200, {"state": "ready"})
        full = http.get(server.base + "/health", headers={"Authorization": f"Bearer {TOKEN}"})
        assert full.status_code == 200 and full.json()["corpus"] == str(root)
        assert full.json()["descriptions"] == len(CORPUS)
    assert TOKEN not in server.log()
    assert re.search(r"127\.0\.0\.1 POST /mcp 401 [\d.]+ ms", server.log())


@settings(max_examples=40, deadline=None)
@given(origin=st.one_of(
    st.builds(lambda scheme, host, port: f"{scheme}://{host}{port}", st.sampled_from(["http", "https"]),
              st.sampled_from(["127.0.0.1", "localhost", "[::1]", "evil.example", "127.0.0.1.evil.example",
                               "localhost.evil", "10.0.0.1"]),
              st.sampled_from(["", ":80", ":8080"])),
    st.text(max_size=30).filter(lambda text: text.isascii() and text.isprintable())))
def test_only_loopback_origins_and_listed_ones_may_call(stateless, origin):
    from tarvex.mcp_http import origin_allowed

    with client() as http:
        answer = http.get(stateless.base + "/health", headers={"Origin": origin})
    host = re.match(r"https?://(\[[^]]*\]|[^:/]*)", origin)
    loopback = host is not None and host.group(1) in ("127.0.0.1", "localhost", "[::1]") and (
        origin.startswith(("http://", "https://")))
    assert (answer.status_code == 403) == (not loopback)
    assert origin_allowed("https://agents.example.org", ["https://agents.example.org/"])


def test_bad_requests_get_their_errors_and_others_are_still_served(corpus, server, stateless):
    _, _, index = corpus
    auth = {"Authorization": f"Bearer {TOKEN}"}
    with client() as http:
        cases = [
            (http.post(server.url, content=b"{not json", headers={**ACCEPT, **auth}), 400, -32700),
            (http.post(server.url, content=b"x" * ((1 << 20) + 1), headers={**ACCEPT, **auth}), 413, None),
            (http.post(server.url, content=json.dumps(INITIALIZE), headers={**auth, "Accept": ACCEPT["Accept"],
                                                                             "Content-Type": "text/plain"}), 400, None),
            (http.post(server.url, json={"jsonrpc": "2.0", "id": 2, "method": "tools/list"},
                       headers={**ACCEPT, **auth}), 400, None),  # no session id
            (http.post(server.url, json={"jsonrpc": "2.0", "id": 2, "method": "tools/list"},
                       headers={**ACCEPT, **auth, "Mcp-Session-Id": "no-such-session"}), 404, None),
            (http.get(server.base + "/elsewhere", headers=auth), 404, None),
            (http.post(stateless.url, content=b"[1, 2", headers=ACCEPT), 400, -32700),
        ]
        for answer, status, code in cases:
            assert answer.status_code == status, (answer.status_code, answer.text)
            if code is not None:
                assert answer.json()["error"]["code"] == code
        # A client that goes away in the middle of its answer.
        request = {"jsonrpc": "2.0", "id": 3, "method": "tools/call",
                   "params": {"name": "search_descriptions", "arguments": {"query": "3", "top_k": 100}}}
        for _ in range(20):
            with http.stream("POST", stateless.url, json=request, headers=ACCEPT) as answer:
                assert answer.status_code == 200
    with socket.create_connection(("127.0.0.1", int(stateless.base.rsplit(":", 1)[1])), timeout=10) as raw:
        raw.sendall(b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                    b"Content-Length: 100000\r\n\r\n{\"jsonrpc\"")  # and never the rest
    assert searches(server.url, [("2", 5)], token=TOKEN) == [expected(index, "2", 5)]
    assert searches(stateless.url, [("2", 5)]) == [expected(index, "2", 5)]
    assert "Traceback" not in server.log() + stateless.log()


def test_sessions_beyond_the_cap_are_refused_with_503(server):
    opened = []
    with client() as http:
        auth = {**ACCEPT, "Authorization": f"Bearer {TOKEN}"}
        for _ in range(5):
            answer = http.post(server.url, json=INITIALIZE, headers=auth)
            opened.append((answer.status_code, answer.headers.get("mcp-session-id")))
        assert [status for status, _ in opened].count(200) <= 3 and opened[-1][0] == 503
        for status, session in opened:
            if session:
                assert http.delete(server.url, headers={**auth, "Mcp-Session-Id": session}).status_code in (200, 204)
    searches(server.url, [("1", 1)], token=TOKEN)  # room again


def test_queries_are_logged_only_when_asked_and_sigterm_ends_with_status_0(corpus, tmp_path):
    tmp, root, _ = corpus
    with http_server(root, tmp) as quiet:
        searches(quiet.url, [("4 secret words", 2)])
        quiet.process.send_signal(signal.SIGTERM)
        assert quiet.process.wait(timeout=30) == 0
        assert "secret words" not in quiet.log() and re.search(r"POST /mcp 200 [\d.]+ ms", quiet.log())
    with http_server(root, tmp, "--log-queries") as noisy:
        searches(noisy.url, [("4 secret words", 2)])
        assert 'search_descriptions "4 secret words"' in noisy.log()


def test_health_is_503_while_the_first_build_runs(corpus, tmp_path):
    tmp, root, _ = corpus
    gate = tmp_path / "gate"
    package = GATED_MODEL_PACKAGE.format(standins=standins_module.__file__, gate=str(gate), read_tokens=8)
    with http_server(root, tmp_path, model_package=package) as live, client() as http:
        building = http.get(live.base + "/health")
        assert building.status_code == 503 and building.json()["state"] == "building"
        gate.touch()
        deadline = time.monotonic() + 60
        while (ready := http.get(live.base + "/health")).status_code != 200:
            assert time.monotonic() < deadline
            time.sleep(0.1)
        assert ready.json()["state"] == "ready" and ready.json()["descriptions"] == len(CORPUS)


def _certificate(folder):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
    now = datetime.datetime.now(datetime.UTC)
    import ipaddress

    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                                  critical=False)
                   .sign(key, hashes.SHA256()))
    (folder / "cert.pem").write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    (folder / "key.pem").write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                                       serialization.PrivateFormat.PKCS8,
                                                       serialization.NoEncryption()))
    return folder / "cert.pem", folder / "key.pem"


def test_https_with_a_certificate(corpus, tmp_path):
    import ssl

    tmp, root, index = corpus
    cert, key = _certificate(tmp_path)
    trusted = ssl.create_default_context(cafile=str(cert))
    with http_server(root, tmp, "--tls-cert", str(cert), "--tls-key", str(key)) as live:
        assert live.url.startswith("https://")
        assert searches(live.url, [("3", 4)], verify=trusted) == [expected(index, "3", 4)]
        with client(verify=False) as http:
            plain = live.base.replace("https://", "http://")
            with pytest.raises(httpx2.HTTPError):
                http.get(plain + "/health")


@pytest.mark.parametrize("arguments, env, says", [
    (["--http", "0.0.0.0:8750"], {}, "without a token"),
    (["--http", "[::]:8750"], {}, "without a token"),
    (["--http", "10.1.2.3:8750", "--token-file", "/no/such/file"], {}, "cannot read the token file"),
    (["--http", "10.1.2.3:8750"], {"TARVEX_MCP_TOKEN": "has space"}, "printable ASCII"),
    (["--http", "70000"], {}, "port from 0 to 65535"),
    (["--stateless"], {}, "--stateless needs --http"),
    (["--http", "8750", "--tls-cert", "c.pem"], {}, "go together"),
])
def test_a_server_that_may_not_start_says_why_with_status_2(tmp_path, arguments, env, says):
    process = subprocess.run([sys.executable, "-m", "tarvex.cli", "mcp", "--models-dir", str(tmp_path), *arguments],
                             capture_output=True, text=True, timeout=60, env={**os.environ, **env}, cwd="/",
                             stdin=subprocess.DEVNULL)
    assert process.returncode == 2 and says in process.stderr and process.stdout == ""
    if "token" in says or "printable" in says:
        assert process.stderr.count("\n") == 1


@pytest.mark.slow
def test_ten_thousand_bad_tokens_and_five_hundred_silent_connections_stop_no_one(corpus, server):
    _, _, index = corpus
    port = int(server.base.rsplit(":", 1)[1])
    silent = []
    try:
        for _ in range(500):
            silent.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        assert searches(server.url, [("5", 3)], token=TOKEN) == [expected(index, "5", 3)]

        async def hammer():
            async with httpx2.AsyncClient(trust_env=False, timeout=30,
                                          limits=httpx2.Limits(max_connections=20)) as http:
                statuses = []

                async def one(i):
                    answer = await http.post(server.url, json=INITIALIZE,
                                             headers={**ACCEPT, "Authorization": f"Bearer bad-{i}"})
                    statuses.append(answer.status_code)

                with anyio.fail_after(300):
                    for start in range(0, 10_000, 200):
                        async with anyio.create_task_group() as tasks:
                            for i in range(start, start + 200):
                                tasks.start_soon(one, i)
                return statuses

        statuses = anyio.run(hammer)
        assert statuses == [401] * 10_000
        # The silent connections are dropped once their headers are late.
        deadline = time.monotonic() + 30
        for sock in silent:
            sock.settimeout(max(0.1, deadline - time.monotonic()))
            assert sock.recv(1) == b""
    finally:
        for sock in silent:
            sock.close()
    assert searches(server.url, [("5", 3)], token=TOKEN) == [expected(index, "5", 3)]
    assert server.process.poll() is None
