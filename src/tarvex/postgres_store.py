"""The shared store of the description index: one PostgreSQL database with pgvector, for a team.

It keeps both halves of a store (:mod:`tarvex.vector_store`,
:mod:`tarvex.file_catalog`) and ranks in the database:

- ``tarvex_identities``, ``tarvex_vectors``: the vectors as ``vector`` values,
  keyed by embedding identity and text hash, as the SQLite store keeps them;
- ``tarvex_corpora``, ``tarvex_files``: each corpus under a name (by default
  its writer's folder), its files with their metadata, preview and real path,
  and a key that orders paths as the engine does (a '/' below every other
  character), so that equal scores keep path order;
- ``tarvex_texts``: each text by its hash, so that a searcher that does not
  see the folder can answer from the store alone.

Ranking is exact by default: the database orders the corpus's rows by
``embedding <=> query``, and the best of them (with a margin for its float
rounding) are scored and ordered by the engine's own top-k, so the records
are exactly the SQLite store's.  With ``?hnsw=1`` in the URL, an HNSW index
(cosine) per identity finds the candidates instead, approximately;
``ef_search=N`` sets its breadth.

The schema carries a version, upgraded by numbered migrations on connect; a
newer one than this code knows is refused.  Writers take turns at embedding
with an advisory lock.  Every failure is one line (:class:`StoreUnavailable`)
naming the store with its password masked; a shared database is never set
aside or rebuilt because one client saw damage.

It runs past 400 lines on purpose: everything that knows PostgreSQL (its
errors, the connection and its one retry, the schema's migrations, the turn's
advisory lock, ranking in the database) stays inside this one module.
"""

from __future__ import annotations

import contextlib
import hashlib
import logging
import urllib.parse
from collections.abc import Callable, Collection, Iterator, Mapping, Sequence
from typing import Any, TypeVar

import numpy as np
import psycopg
from pgvector.psycopg import register_vector

from tarvex import _index_engine as engine
from tarvex._files import wait_for
from tarvex.file_catalog import FileRow
from tarvex.vector_store import (Identity, Row, StoreDamaged, StoredVectors, StoreNotWritable, StoreUnavailable,
                                 usable_rows)

logger = logging.getLogger(__name__)

# What each version of the schema adds, in order.
MIGRATIONS: dict[int, tuple[str, ...]] = {
    1: (
        """CREATE TABLE tarvex_identities (
            id serial PRIMARY KEY,
            model text NOT NULL,
            digest text NOT NULL,
            backend text NOT NULL,
            dimension integer NOT NULL,
            unit_length boolean,
            UNIQUE (model, digest, backend))""",
        """CREATE TABLE tarvex_vectors (
            identity integer NOT NULL REFERENCES tarvex_identities (id),
            text_hash bytea NOT NULL,
            embedding vector NOT NULL,
            truncated boolean,
            PRIMARY KEY (identity, text_hash))""",
        """CREATE TABLE tarvex_corpora (
            id serial PRIMARY KEY,
            name bytea NOT NULL UNIQUE,
            scanned_ns bigint NOT NULL DEFAULT 0)""",
        """CREATE TABLE tarvex_files (
            corpus integer NOT NULL REFERENCES tarvex_corpora (id),
            path bytea NOT NULL,
            path_order bytea NOT NULL,
            size bigint NOT NULL,
            mtime_ns bigint NOT NULL,
            ctime_ns bigint NOT NULL,
            inode numeric(20) NOT NULL,
            scanned_ns bigint NOT NULL,
            text_hash bytea,
            preview bytea NOT NULL,
            real_path bytea,
            PRIMARY KEY (corpus, path))""",
        "CREATE INDEX tarvex_files_by_text ON tarvex_files (text_hash)",
        """CREATE TABLE tarvex_texts (
            text_hash bytea PRIMARY KEY,
            body bytea NOT NULL)""",
    ),
}
SCHEMA_VERSION = max(MIGRATIONS)
# Advisory lock keys (64-bit): one for migrating the schema, one for the embedding turn.
_SCHEMA_LOCK = int.from_bytes(hashlib.sha256(b"tarvex schema").digest()[:8], "big", signed=True)
_TURN_LOCK = int.from_bytes(hashlib.sha256(b"tarvex embedding turn").digest()[:8], "big", signed=True)
# How long a writer waits for another one's embedding turn before it embeds on its own.
TURN_WAIT_S = 120.0
CONNECT_TIMEOUT_S = 10
# Candidates an HNSW search takes per record asked for, before the corpus's files are joined.
HNSW_CANDIDATES = 4
# Scores the database computes differ from the engine's by float rounding, far below this.
TIE_MARGIN = 1e-5
PGVECTOR_INSTALL = ("install pgvector on the server (the postgresql-NN-pgvector package, or from source), "
                    "then run CREATE EXTENSION vector in the database as a superuser")
_T = TypeVar("_T")


def masked(url: str) -> str:
    """The URL with its password, if any, replaced by ***."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    user = urllib.parse.quote(parts.username or "", safe="")
    host = parts.hostname or ""
    netloc = f"{user}:***@{host}" + (f":{parts.port}" if parts.port else "")
    return urllib.parse.urlunsplit(parts._replace(netloc=netloc))


def _options(url: str) -> tuple[str, bool, int | None]:
    """The URL for the driver, and the HNSW options taken out of it."""
    parts = urllib.parse.urlsplit(url)
    query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
    ours = {key: value for key, value in query if key in ("hnsw", "ef_search")}
    rest = [(key, value) for key, value in query if key not in ours]
    hnsw = ours.get("hnsw", "0").lower() in ("1", "true", "yes", "on")
    ef_search = ours.get("ef_search")
    if ef_search is not None and (not ef_search.isdigit() or not 1 <= int(ef_search) <= 1000):
        raise StoreUnavailable(f"ef_search in the store URL is a whole number from 1 to 1000, not {ef_search!r}")
    driver = urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(rest)))
    return driver, hnsw, int(ef_search) if ef_search is not None else None


def _path_order(path: bytes) -> bytes:
    return path.replace(b"/", b"\0")


class PostgresStore:
    """An open connection to a shared index database."""

    keeps_texts = True  # searchers elsewhere answer without the folder

    @property
    def shared_url(self) -> str:
        return self._url

    def __init__(self, url: str) -> None:
        self.location = masked(url)
        self._url, self.hnsw, self.ef_search = _options(url)
        self._connection: psycopg.Connection[Any] | None = None
        self._turn_held = False
        self._hnsw_ready: set[int] = set()
        self._connection = self._connect()

    # -- connecting and failing -----------------------------------------------------

    def _connect(self) -> psycopg.Connection[Any]:
        try:
            connection = psycopg.connect(self._url, autocommit=True, connect_timeout=CONNECT_TIMEOUT_S)
        except psycopg.Error as error:
            raise StoreUnavailable(f"cannot connect to the PostgreSQL store {self.location}: "
                                   f"{self._cause(error)}") from None
        try:
            self._prepare(connection)
            register_vector(connection)
            if self.ef_search is not None:
                connection.execute(f"SET hnsw.ef_search = {self.ef_search}")
        except BaseException:
            connection.close()
            raise
        return connection

    def _cause(self, error: BaseException) -> str:
        text = str(error).strip()
        first = next((line.strip() for line in text.splitlines() if line.strip()), type(error).__name__)
        # Keep what the server said, not the driver's preamble naming the address again.
        first = first.split(": FATAL:  ", 1)[-1].split("failed: ", 1)[-1] if "FATAL" in first else first
        for secret in filter(None, (urllib.parse.urlsplit(self._url).password,)):
            first = first.replace(secret, "***")
        return first

    def _prepare(self, connection: psycopg.Connection[Any]) -> None:
        """pgvector present, and the schema at this code's version (migrated once, however many connect)."""
        try:
            available = connection.execute(
                "SELECT 1 FROM pg_available_extensions WHERE name = 'vector'").fetchone()
            if available is None:
                raise StoreUnavailable(f"the PostgreSQL server of {self.location} has no pgvector: {PGVECTOR_INSTALL}")
            if not connection.execute("SELECT 1 FROM pg_extension WHERE extname = 'vector'").fetchone():
                try:
                    connection.execute("CREATE EXTENSION IF NOT EXISTS vector")
                except psycopg.errors.InsufficientPrivilege:
                    raise StoreUnavailable(f"the vector extension is not created in {self.location}, and this user "
                                           "may not create it: run CREATE EXTENSION vector as a superuser") from None
            with connection.transaction():
                connection.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
                connection.execute("CREATE TABLE IF NOT EXISTS tarvex_schema (version integer NOT NULL)")
                row = connection.execute("SELECT max(version) FROM tarvex_schema").fetchone()
                version = row[0] if row and row[0] is not None else 0
                if version > SCHEMA_VERSION:
                    raise StoreUnavailable(f"the PostgreSQL store {self.location} has schema version {version}, "
                                           f"newer than this tarvex knows ({SCHEMA_VERSION}): upgrade tarvex")
                for step in range(version + 1, SCHEMA_VERSION + 1):
                    for statement in MIGRATIONS[step]:
                        connection.execute(statement)
                    connection.execute("INSERT INTO tarvex_schema (version) VALUES (%s)", (step,))
        except psycopg.Error as error:
            raise StoreUnavailable(f"cannot prepare the PostgreSQL store {self.location}: {self._cause(error)}") from None

    def _run(self, doing: str, work: Callable[[psycopg.Connection[Any]], _T], *, writes: bool = False) -> _T:
        """Run ``work`` on the connection; a connection that dropped is opened again once."""
        for attempt in (1, 2):
            connection = self._connection
            try:
                if connection is None or connection.closed:
                    connection = self._connection = self._connect()
                return work(connection)
            except (psycopg.OperationalError, psycopg.InterfaceError) as error:
                lost = connection is None or connection.closed or connection.broken
                if lost and attempt == 1 and not self._turn_held:
                    logger.warning("the connection to %s was lost (%s); connecting again", self.location,
                                   self._cause(error))
                    self._connection = None
                    continue
                kind = StoreNotWritable if writes and not lost else StoreUnavailable
                raise kind(f"cannot {doing} the PostgreSQL store {self.location}: {self._cause(error)}") from None
            except psycopg.Error as error:
                kind = StoreNotWritable if writes else StoreUnavailable
                raise kind(f"cannot {doing} the PostgreSQL store {self.location}: {self._cause(error)}") from None
        raise AssertionError("unreachable")

    def close(self) -> None:
        if self._connection is not None:
            self._connection.close()
            self._connection = None

    def recover(self, error: StoreDamaged) -> None:
        raise StoreUnavailable(f"the PostgreSQL store {self.location} holds what this tarvex cannot use ({error}); "
                               "a shared store is never rebuilt by one client") from None

    # -- taking turns at embedding ---------------------------------------------------

    @contextlib.contextmanager
    def embedding_turn(self, *, wait: bool = True) -> Iterator[bool]:
        def attempt() -> bool:
            row = self._run("lock", lambda c: c.execute("SELECT pg_try_advisory_lock(%s)", (_TURN_LOCK,)).fetchone())
            return bool(row and row[0])

        held = wait_for(attempt, TURN_WAIT_S if wait else 0.0)
        self._turn_held = held
        try:
            yield held
        finally:
            self._turn_held = False
            if held:
                with contextlib.suppress(StoreUnavailable):
                    self._run("unlock", lambda c: c.execute("SELECT pg_advisory_unlock(%s)", (_TURN_LOCK,)))

    @contextlib.contextmanager
    def claimed(self, identity_id: int, hashes: Sequence[bytes], *, wait_s: float = 0.0) -> Iterator[set[bytes]]:
        """Claim texts for embedding, so that writers sharing the store (the workers of
        several jobs) embed each once; gives the hashes claimed here.  The others are
        claimed by another writer now: they are skipped, or waited for up to ``wait_s``.

        A claim is an advisory lock on (identity, the hash's first 32 bits), held until
        the block ends or the connection drops; two hashes sharing a key only cost a wait.
        """
        keys: dict[int, list[bytes]] = {}
        for h in dict.fromkeys(hashes):
            keys.setdefault(int.from_bytes(h[:4], "big", signed=True), []).append(h)
        taken: list[int] = []

        def take() -> bool:
            wanted = sorted(set(keys) - set(taken))  # in one order, so that waiting writers never deadlock
            rows = self._run("claim texts in", lambda c: c.execute(
                "SELECT k FROM unnest(%s::integer[]) AS k WHERE pg_try_advisory_lock(%s, k)",
                (wanted, identity_id)).fetchall())
            taken.extend(row[0] for row in rows)
            return len(taken) == len(keys)

        try:
            if keys and not take() and wait_s > 0:
                wait_for(take, wait_s)
            yield {h for key in taken for h in keys[key]}
        finally:
            if taken:
                with contextlib.suppress(StoreUnavailable):
                    self._run("release claims in", lambda c: c.execute(
                        "SELECT pg_advisory_unlock(%s, k) FROM unnest(%s::integer[]) AS k", (identity_id, taken)))

    # -- identities and vectors --------------------------------------------------------

    def identity(self, identity: Identity, dimension: int, *, add: bool = True) -> int | None:
        model, digest, backend = identity

        def find(connection: psycopg.Connection[Any]) -> Any:
            if add:
                connection.execute("INSERT INTO tarvex_identities (model, digest, backend, dimension)"
                                   " VALUES (%s, %s, %s, %s) ON CONFLICT DO NOTHING",
                                   (model, digest, backend, dimension))
            return connection.execute("SELECT id, dimension FROM tarvex_identities"
                                      " WHERE model = %s AND digest = %s AND backend = %s",
                                      (model, digest, backend)).fetchone()

        found = self._run("read" if not add else "update", find, writes=add)
        if found is None:
            return None
        if found[1] != dimension:
            raise StoreDamaged(f"stored vectors of {identity} have {found[1]} values, the model gives {dimension}")
        return int(found[0])

    def vectors(self, identity_id: int, hashes: Sequence[bytes], *, values: bool = True) -> StoredVectors:
        if not values:
            return self._present(identity_id, hashes)

        def read(connection: psycopg.Connection[Any]) -> tuple[Any, list[Any]]:
            identity = connection.execute("SELECT dimension, unit_length FROM tarvex_identities WHERE id = %s",
                                          (identity_id,)).fetchone()
            rows = connection.execute("SELECT text_hash, embedding, truncated FROM tarvex_vectors"
                                      " WHERE identity = %s AND text_hash = ANY(%s)",
                                      (identity_id, list(hashes))).fetchall() if identity else []
            return identity, rows

        identity, rows = self._run("read", read)
        if identity is None or not rows:
            return StoredVectors()
        dimension, unit_length = identity
        sized = [(bytes(h), _array(v), flag) for h, v, flag in rows]
        damaged = [h for h, v, _ in sized if v.shape != (dimension,)]
        sized = [item for item in sized if item[1].shape == (dimension,)]
        found: dict[bytes, np.ndarray] = {}
        truncated: dict[bytes, bool] = {}
        if sized:
            finite, unit = usable_rows(np.stack([v for _, v, _ in sized]))
            for i, (h, vector, flag) in enumerate(sized):
                if finite[i] and (unit[i] or unit_length is False):
                    found[h] = vector
                    if flag is not None:
                        truncated[h] = bool(flag)
                else:
                    damaged.append(h)
        if damaged:
            logger.warning("the PostgreSQL store %s held %d damaged vectors; they are dropped and their texts "
                           "embedded again", self.location, len(damaged))
            with contextlib.suppress(StoreUnavailable):
                self._write("update", [("DELETE FROM tarvex_vectors WHERE identity = %s AND text_hash = %s",
                                        [(identity_id, h) for h in damaged])])
        return StoredVectors(found, truncated)

    def _present(self, identity_id: int, hashes: Sequence[bytes]) -> StoredVectors:
        """Which of the hashes have a vector (and their truncation flags), without reading the vectors: the
        database ranks with them itself, checking those it returns."""
        rows = self._run("read", lambda c: c.execute(
            "SELECT text_hash, truncated FROM tarvex_vectors WHERE identity = %s AND text_hash = ANY(%s)",
            (identity_id, list(hashes))).fetchall())
        return StoredVectors({bytes(h): _NO_VALUES for h, _ in rows},
                             {bytes(h): bool(flag) for h, flag in rows if flag is not None})

    def add_vectors(self, identity_id: int, items: Sequence[tuple[bytes, np.ndarray]], *,
                    unit_length: bool, truncated: Mapping[bytes, bool]) -> None:
        self._write("update", [
            ("INSERT INTO tarvex_vectors (identity, text_hash, embedding, truncated) VALUES (%s, %s, %s, %s)"
             " ON CONFLICT DO NOTHING",
             [(identity_id, h, np.asarray(v, dtype=np.float32), truncated.get(h)) for h, v in items]),
            ("UPDATE tarvex_identities SET unit_length = %s WHERE id = %s AND coalesce(unit_length, true)",
             [(unit_length, identity_id)]),
        ])

    def set_truncation_flags(self, identity_id: int, flags: Mapping[bytes, bool]) -> None:
        self._write("update", [("UPDATE tarvex_vectors SET truncated = %s WHERE identity = %s AND text_hash = %s"
                                " AND truncated IS NULL", [(flag, identity_id, h) for h, flag in flags.items()])])

    def prune(self) -> tuple[int, int]:
        def prune(connection: psycopg.Connection[Any]) -> tuple[int, int]:
            size = "SELECT pg_total_relation_size('tarvex_vectors') + pg_total_relation_size('tarvex_texts')"
            before = connection.execute(size).fetchone()[0]  # type: ignore[index]
            with connection.transaction():
                deleted = connection.execute(
                    "DELETE FROM tarvex_vectors v WHERE NOT EXISTS"
                    " (SELECT 1 FROM tarvex_files f WHERE f.text_hash = v.text_hash)").rowcount
                connection.execute("DELETE FROM tarvex_texts t WHERE NOT EXISTS"
                                   " (SELECT 1 FROM tarvex_files f WHERE f.text_hash = t.text_hash)")
            connection.execute("VACUUM FULL tarvex_vectors")
            connection.execute("VACUUM FULL tarvex_texts")
            after = connection.execute(size).fetchone()[0]  # type: ignore[index]
            return deleted, max(int(before) - int(after), 0)

        return self._run("prune", prune, writes=True)

    def _write(self, doing: str, statements: Sequence[tuple[str, Sequence[Sequence[object]]]]) -> None:
        def write(connection: psycopg.Connection[Any]) -> None:
            with connection.transaction(), connection.cursor() as cursor:
                for sql, rows in statements:
                    if rows:
                        cursor.executemany(sql, rows)

        self._run(doing, write, writes=True)

    # -- ranking --------------------------------------------------------------------------

    def ranking(self, identity_id: int, corpus_id: int, prefix: str) -> DatabaseRanking:
        if self.hnsw and identity_id and identity_id not in self._hnsw_ready:
            self._hnsw_index(identity_id)
        return DatabaseRanking(self, identity_id, corpus_id, prefix)

    def _hnsw_index(self, identity_id: int) -> None:
        def create(connection: psycopg.Connection[Any]) -> None:
            row = connection.execute("SELECT dimension FROM tarvex_identities WHERE id = %s",
                                     (identity_id,)).fetchone()
            if row is None:
                return
            connection.execute(f"CREATE INDEX IF NOT EXISTS tarvex_vectors_hnsw_{identity_id} ON tarvex_vectors"
                               f" USING hnsw ((embedding::vector({int(row[0])})) vector_cosine_ops)"
                               f" WHERE identity = {identity_id}")

        self._run("index", create, writes=True)
        self._hnsw_ready.add(identity_id)

    def nearest_rows(self, identity_id: int, corpus_id: int, query: np.ndarray,
                     limit: int) -> list[tuple[bytes, float, bytes, np.ndarray]]:
        """(path, score, text hash, vector) of the corpus's nearest files (``limit`` <= 0: all), best
        first as the database computes it."""
        vector = np.asarray(query, dtype=np.float32)
        bound = "LIMIT %(limit)s" if limit > 0 else ""
        if self.hnsw:
            width = len(vector)
            sql = (f"WITH near AS (SELECT text_hash, embedding::vector({width}) <=> %(q)s::vector({width}) AS distance"
                   f" FROM tarvex_vectors WHERE identity = %(identity)s"
                   f" ORDER BY embedding::vector({width}) <=> %(q)s::vector({width}) LIMIT %(candidates)s)"
                   " SELECT f.path, 1 - n.distance, f.text_hash, v.embedding"
                   " FROM near n JOIN tarvex_files f ON f.text_hash = n.text_hash AND f.corpus = %(corpus)s"
                   " JOIN tarvex_vectors v ON v.identity = %(identity)s AND v.text_hash = n.text_hash"
                   f" ORDER BY n.distance, f.path_order {bound}")
        else:
            sql = ("SELECT f.path, 1 - (v.embedding <=> %(q)s), f.text_hash, v.embedding"
                   " FROM tarvex_files f JOIN tarvex_vectors v"
                   " ON v.identity = %(identity)s AND v.text_hash = f.text_hash"
                   " WHERE f.corpus = %(corpus)s"
                   f" ORDER BY v.embedding <=> %(q)s, f.path_order {bound}")
        parameters = {"q": vector, "identity": identity_id, "corpus": corpus_id, "limit": limit,
                      "candidates": max(limit, 10) * HNSW_CANDIDATES}
        rows = self._run("search", lambda c: c.execute(sql, parameters).fetchall())
        return [(bytes(path), float(score), bytes(h), _array(vector)) for path, score, h, vector in rows]

    # -- corpora and files ------------------------------------------------------------------

    def corpus(self, name: str, *, add: bool = True) -> int | None:
        key = name.encode("utf-8", "surrogateescape")

        def find(connection: psycopg.Connection[Any]) -> Any:
            if add:
                connection.execute("INSERT INTO tarvex_corpora (name) VALUES (%s) ON CONFLICT DO NOTHING", (key,))
            return connection.execute("SELECT id FROM tarvex_corpora WHERE name = %s", (key,)).fetchone()

        found = self._run("update" if add else "read", find, writes=add)
        return int(found[0]) if found else None

    def files(self, corpus_id: int) -> list[FileRow]:
        rows = self._run("read", lambda c: c.execute(
            "SELECT path, size, mtime_ns, ctime_ns, inode, scanned_ns, text_hash, preview, real_path"
            " FROM tarvex_files WHERE corpus = %s", (corpus_id,)).fetchall())
        return [FileRow(_text(path), size, mtime_ns, ctime_ns, int(inode), scanned_ns,
                        bytes(h) if h is not None else None, _read_back(preview),
                        _text(real) if real is not None else None)
                for path, size, mtime_ns, ctime_ns, inode, scanned_ns, h, preview, real in rows]

    def update_files(self, corpus_id: int, rows: Sequence[FileRow], removed: Sequence[str], scanned_ns: int,
                     texts: Mapping[bytes, str] | None = None) -> None:
        def encoded(path: str) -> bytes:
            return path.encode("utf-8", "surrogateescape")

        self._write("update", [
            ("DELETE FROM tarvex_files WHERE corpus = %s AND path = %s",
             [(corpus_id, encoded(path)) for path in removed]),
            ("INSERT INTO tarvex_texts (text_hash, body) VALUES (%s, %s) ON CONFLICT DO NOTHING",
             [(h, _stored(text)) for h, text in (texts or {}).items()]),
            ("INSERT INTO tarvex_files (corpus, path, path_order, size, mtime_ns, ctime_ns, inode, scanned_ns,"
             " text_hash, preview, real_path) VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s)"
             " ON CONFLICT (corpus, path) DO UPDATE SET size = excluded.size, mtime_ns = excluded.mtime_ns,"
             " ctime_ns = excluded.ctime_ns, inode = excluded.inode, scanned_ns = excluded.scanned_ns,"
             " text_hash = excluded.text_hash, preview = excluded.preview, real_path = excluded.real_path",
             [(corpus_id, encoded(r.path), _path_order(encoded(r.path)), r.size, r.mtime_ns, r.ctime_ns, r.inode,
               r.scanned_ns, r.text_hash, _stored(r.preview),
               None if r.real_path is None else encoded(r.real_path)) for r in rows]),
            ("UPDATE tarvex_corpora SET scanned_ns = greatest(scanned_ns, %s) WHERE id = %s",
             [(scanned_ns, corpus_id)]),
        ])

    def text(self, text_hash: bytes) -> str | None:
        row = self._run("read", lambda c: c.execute("SELECT body FROM tarvex_texts WHERE text_hash = %s",
                                                    (text_hash,)).fetchone())
        return _read_back(row[0]) if row else None


_NO_VALUES = np.empty(0, dtype=np.float32)


def _array(value: Any) -> np.ndarray:
    """A stored vector as float32 values (the driver gives pgvector's own type)."""
    values = value.to_numpy() if hasattr(value, "to_numpy") else value
    return np.asarray(values, dtype=np.float32)


def _text(value: bytes | memoryview) -> str:
    return bytes(value).decode("utf-8", "surrogateescape")


def _stored(text: str) -> bytes:
    """A description's text or preview as bytes: PostgreSQL's text type holds no NUL, and a lone
    surrogate (an undecodable byte kept by the reader) must come back as it went in."""
    return text.encode("utf-8", "surrogatepass")


def _read_back(value: bytes | memoryview) -> str:
    return bytes(value).decode("utf-8", "surrogatepass")


class DatabaseRanking:
    """The rows of one corpus, ranked by the database."""

    holds_vectors = False

    def __init__(self, store: PostgresStore, identity_id: int, corpus_id: int, prefix: str) -> None:
        self._store = store
        self._identity_id = identity_id
        self._corpus_id = corpus_id
        self._prefix = prefix
        self._rows: list[Row] = []
        self._by_path: dict[str, Row] = {}

    def update(self, rows: Sequence[Row], vectors: Mapping[bytes, np.ndarray], *,
               edited: Collection[str] = ()) -> None:
        # The vectors are in the database already: only which rows are ranked is kept here.
        self._rows = list(rows)
        self._by_path = {row.path: row for row in self._rows}

    def rows(self) -> Sequence[Row]:
        return self._rows

    def nearest(self, query: np.ndarray, k: int, hidden: Collection[str] = ()) -> list[tuple[Row, float]]:
        """The database finds the candidates; their scores and order are the engine's top-k over their
        vectors, so that the records are exactly the in-process ranking's, ties in path order."""
        wanted = k + len(hidden) if k > 0 else 0
        limit = 2 * wanted + 16 if wanted else 0
        while True:
            found = self._store.nearest_rows(self._identity_id, self._corpus_id, query, limit)
            # Enough once the last candidate scores clearly below the last one wanted: the database's
            # rounding moves a score by far less than TIE_MARGIN.
            if not limit or len(found) < limit or found[-1][1] < found[wanted - 1][1] - TIE_MARGIN:
                break
            limit *= 2
        candidates = []
        width = len(query)
        found = [item for item in found if item[3].shape == (width,)]  # another width is no vector of this model
        if found:
            finite, _ = usable_rows(np.stack([vector for *_, vector in found]))
            found = [item for i, item in enumerate(found) if finite[i]]
        for path, _, text_hash, vector in found:
            listed = self._prefix + _text(path)
            row = self._by_path.get(listed)
            # A row not ranked here (yet): another writer's, or changed since this process read it.
            if row is not None and row.text_hash == text_hash and listed not in hidden:
                candidates.append((row, vector))
        if not candidates:
            return []
        candidates.sort(key=lambda item: _path_order(item[0].path.encode("utf-8", "surrogateescape")))
        matrix = np.ascontiguousarray(np.stack([vector for _, vector in candidates]), dtype=np.float32)
        hits = engine.top_k(matrix, np.ascontiguousarray(query, dtype=np.float32), k if 0 < k < len(candidates) else 0)
        return [(candidates[index][0], score) for index, score in hits]
