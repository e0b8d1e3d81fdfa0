"""The embedded store of the description index: one SQLite database, by default in the cache folder.

It keeps both halves of a store (:mod:`tarvex.vector_store`,
:mod:`tarvex.file_catalog`) in one file, and ranks in memory
(:class:`tarvex.matrix_ranking.MatrixRanking`).

What it keeps:

- ``identities``: each embedding identity (model name, weights digest, backend)
  with the width of its vectors and whether the model gives unit-length ones
  (NULL until its first vectors are stored);
- ``vectors``: one float32 vector per (identity, SHA-256 of the text), so an
  identical text is embedded once and two backends never share a vector, and
  whether the model read only part of that text (NULL when not known: stored
  before this was kept, or by a model that cannot tell);
- ``corpora``: each corpus folder, keyed by its real path, with the start time
  of its last scan;
- ``files``: per corpus, each description file's path relative to the folder,
  the metadata it had when it was read, the start time of that scan, its
  text's hash (NULL for an empty or unreadable text), its preview, and the
  real path of the file that text was read from (the path of the opened
  descriptor; NULL when unknown, and in rows written before it was kept).

The metadata, the hash, the preview and the real path of a row all come from
one opened file, so a link swapped between the listing and the read can never
pair one file's text with another's metadata or place.

Paths are kept as the file system's bytes (``os.fsencode``), so a name that is
not valid UTF-8 is stored and given back exactly as Python spells it.

The database runs in WAL mode with a busy timeout, so several processes may
search and refresh at once; every write is a short ``BEGIN IMMEDIATE``
transaction, so a process killed mid-refresh loses only what it had not
committed.  A file that is not this store (not SQLite, another application,
another schema version, damaged pages) is reported once on the module's logger,
moved aside and rebuilt; it is never read as vectors.  Damage found while in use
is raised as :class:`StoreDamaged`, and :meth:`SqliteStore.recover` rebuilds.  A stored vector is used
only when it has its identity's width, holds finite values and, for a model that
gives unit-length vectors, has unit length; any other row is deleted (with one
warning) so that its text is embedded and stored again.  Any other failure (a
full disk, a read-only file, a database kept busy by another process, an I/O
error) is raised as :class:`StoreUnavailable`, one line naming the database and
the cause, and touches nothing stored.

Processes embedding texts for the same database take turns (:meth:`SqliteStore.embedding_turn`,
an advisory lock on a file next to the database), so that texts missing from
several processes at once are embedded once.

It runs past 400 lines on purpose: everything that knows SQLite (its errors,
its damage, setting a damaged file aside, the schema and its upgrades) stays
inside this one module, so that nothing else in the package does.
"""

from __future__ import annotations

import contextlib
import fcntl
import logging
import os
import sqlite3
import time
import urllib.parse
from collections.abc import Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, TypeVar

import numpy as np

from tarvex._files import NotRegular, open_lock_file, take_turn, wait_for
from tarvex.file_catalog import FileRow
from tarvex.matrix_ranking import MatrixRanking
from tarvex.vector_store import Identity, StoreDamaged, StoredVectors, StoreNotWritable, StoreUnavailable, usable_rows

logger = logging.getLogger(__name__)

DATABASE_NAME = "index.sqlite3"
# Held while embedding into the database beside it (flock: the kernel releases it when its holder dies).
LOCK_SUFFIX = ".lock"
LOCK_NAME = DATABASE_NAME + LOCK_SUFFIX
# Where a damaged database is set aside before it is rebuilt.
DAMAGED_SUFFIX = ".damaged"
DAMAGED_NAME = DATABASE_NAME + DAMAGED_SUFFIX
# Every file the store may leave in the cache folder (SQLite's own beside the database).
STORE_FILES = (DATABASE_NAME, DATABASE_NAME + "-wal", DATABASE_NAME + "-shm", DATABASE_NAME + "-journal",
               DAMAGED_NAME, LOCK_NAME)
APPLICATION_ID = 0x54565849  # "TVXI"
# 2: paths as bytes; 3: the real path of each text, whether a model's vectors are unit length;
# 4: whether the model read only part of a text (the column `cut`: the name it was made with,
# kept so that the file stays one that earlier versions open)
SCHEMA_VERSION = 4
# What each version added, in order: an earlier version is upgraded in place, keeping vectors and rows.
_ADDED: dict[int, tuple[tuple[str, str, str], ...]] = {
    # Vectors of version 2 are held to unit length until their model stores new ones.
    3: (("files", "real_path", "BLOB"), ("identities", "unit_length", "INTEGER")),
    4: (("vectors", "cut", "INTEGER"),),
}
_UPGRADES = {version: tuple(f"ALTER TABLE {table} ADD COLUMN {column} {kind}"
                            for added in range(version + 1, SCHEMA_VERSION + 1) for table, column, kind in _ADDED[added])
             for version in range(min(_ADDED) - 1, SCHEMA_VERSION)}
BUSY_TIMEOUT_MS = 30_000
# How long a process waits for another one's embedding turn before it embeds on its own:
# the turn only saves work, so a holder that hangs must not hold everyone else.
TURN_WAIT_S = 120.0
# SQLite's limit on bound variables is far higher; this keeps statements short.
_BATCH = 500
_T = TypeVar("_T")

_SCHEMA = (
    """CREATE TABLE identities (
        id INTEGER PRIMARY KEY,
        model TEXT NOT NULL,
        digest TEXT NOT NULL,
        backend TEXT NOT NULL,
        dimension INTEGER NOT NULL,
        unit_length INTEGER,
        UNIQUE (model, digest, backend))""",
    """CREATE TABLE vectors (
        identity INTEGER NOT NULL REFERENCES identities (id),
        text_hash BLOB NOT NULL,
        vector BLOB NOT NULL,
        cut INTEGER,
        PRIMARY KEY (identity, text_hash)) WITHOUT ROWID""",
    """CREATE TABLE corpora (
        id INTEGER PRIMARY KEY,
        root BLOB NOT NULL UNIQUE,
        scanned_ns INTEGER NOT NULL DEFAULT 0)""",
    """CREATE TABLE files (
        corpus INTEGER NOT NULL REFERENCES corpora (id),
        path BLOB NOT NULL,
        size INTEGER NOT NULL,
        mtime_ns INTEGER NOT NULL,
        ctime_ns INTEGER NOT NULL,
        inode INTEGER NOT NULL,
        scanned_ns INTEGER NOT NULL,
        text_hash BLOB,
        preview TEXT NOT NULL,
        real_path BLOB,
        PRIMARY KEY (corpus, path)) WITHOUT ROWID""",
)


def _batches(items: list[_T], size: int = _BATCH) -> Iterator[list[_T]]:
    for start in range(0, len(items), size):
        yield items[start:start + size]


class SqliteStore:
    """An open connection to one index database (by default ``DATABASE_NAME`` in the cache folder)."""

    keeps_texts = False  # the corpus folder is at hand wherever this file is
    shared_url: str | None = None  # a file of one machine: workers elsewhere hand their vectors to its writer

    def __init__(self, path: Path) -> None:
        self.path = Path(path)
        self.cache_dir = self.path.parent
        self.location = str(self.path)
        try:
            self.cache_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise StoreUnavailable(f"cannot create the index cache folder {self.cache_dir}: {error}") from error
        # A folder that cannot be written (a prebuilt cache in an image) is read as it is:
        # only a write, when one is needed, is refused.
        self.read_only = not os.access(self.cache_dir, os.W_OK | os.X_OK)
        self._lock_file: int | None = None
        self._said_lock_damaged = False
        self._connection = self._open_checked()

    # -- opening, checking and rebuilding ---------------------------------------

    def _connect(self) -> sqlite3.Connection:
        with self._reported("open"):
            if self.read_only:
                # Nothing can change a file in a folder no one may write: SQLite need not look
                # for a write-ahead log it could not create.
                where = f"file:{urllib.parse.quote(str(self.path.absolute()))}?mode=ro&immutable=1"
                connection = sqlite3.connect(where, uri=True, isolation_level=None, check_same_thread=False)
            else:
                connection = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT_MS / 1000,
                                             isolation_level=None, check_same_thread=False)
            connection.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
        return connection

    def _open_checked(self) -> sqlite3.Connection:
        if self.read_only and not self.path.is_file():
            raise StoreUnavailable(f"cannot create the index database {self.path}: the folder is read-only")
        connection = self._connect()
        try:
            with self._reported("open"):
                problem = self._problem(connection)
                if problem is None and self.read_only:
                    if connection.execute("PRAGMA user_version").fetchone()[0] != SCHEMA_VERSION:
                        problem = "of an earlier schema, and the folder is read-only"
                    else:
                        return connection
                if problem is None:
                    self._prepare(connection)
                    return connection
        except StoreDamaged as error:
            connection.close()
            problem = f"not a usable database ({error.__cause__})"
        except sqlite3.DatabaseError as error:
            connection.close()
            raise StoreUnavailable(f"cannot open the index database {self.path}: {error}") from error
        except BaseException:
            connection.close()
            raise
        else:
            connection.close()
        self._set_aside(problem)
        connection = self._connect()
        try:
            with self._reported("create"):
                self._prepare(connection)
        except BaseException:
            connection.close()
            raise
        return connection

    @classmethod
    def _problem(cls, connection: sqlite3.Connection) -> str | None:
        """Why this database is not ours, or None when it is ours, older but upgradable, or still empty."""
        # One read transaction: another process preparing the database meanwhile is seen whole or not at all.
        connection.execute("BEGIN")
        try:
            return cls._problem_seen(connection)
        finally:
            connection.execute("COMMIT")

    @staticmethod
    def _problem_seen(connection: sqlite3.Connection) -> str | None:
        application_id = connection.execute("PRAGMA application_id").fetchone()[0]
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        tables = {name for (name,) in connection.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table'")}
        if application_id == 0 and version == 0 and not tables:
            return None  # new and empty: _prepare creates the schema
        if application_id != APPLICATION_ID:
            return f"it belongs to another application (application_id {application_id})"
        if version != SCHEMA_VERSION and version not in _UPGRADES:
            return f"its schema version is {version}, expected {SCHEMA_VERSION}"
        if tables != {"identities", "vectors", "corpora", "files"}:
            return "its tables are not the index's"
        # The columns that later versions added are there exactly when the version says so.
        for added, columns in _ADDED.items():
            for table, column, _ in columns:
                present = any(row[1] == column for row in connection.execute(f"PRAGMA table_info({table})"))
                if present != (version >= added):
                    return "its tables do not match its schema version"
        return None

    def _prepare(self, connection: sqlite3.Connection) -> None:
        """WAL mode and, for a new or older database, the schema (made once even when processes race).

        Switching a new database to WAL while another process opens it can answer
        busy at once, without SQLite's busy handler: that is tried again, with
        growing pauses, until the busy timeout has passed.
        """
        refused: list[sqlite3.OperationalError] = []

        def attempt() -> bool:
            try:
                self._prepare_once(connection)
            except sqlite3.OperationalError as error:
                if (getattr(error, "sqlite_errorcode", 0) or 0) & 0xFF != sqlite3.SQLITE_BUSY:
                    raise
                refused[:] = [error]
                return False
            return True

        if not wait_for(attempt, BUSY_TIMEOUT_MS / 1000):
            raise refused[0]

    @staticmethod
    def _prepare_once(connection: sqlite3.Connection) -> None:
        connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("PRAGMA synchronous = NORMAL")
        if connection.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION:
            return
        connection.execute("BEGIN IMMEDIATE")
        try:
            # Read again inside the transaction: another process may have prepared it meanwhile.
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            if version == 0:
                for statement in _SCHEMA:
                    connection.execute(statement)
                connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            elif version in _UPGRADES:
                for statement in _UPGRADES[version]:
                    connection.execute(statement)
                connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            connection.execute("COMMIT")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise

    def _set_aside(self, problem: str) -> None:
        """Move an unusable database out of the way (kept for inspection) and start afresh."""
        if self.read_only:
            raise StoreUnavailable(f"the index database {self.path} is unusable ({problem}) and its folder is "
                                   "read-only")
        aside = self.path.with_name(self.path.name + DAMAGED_SUFFIX)
        logger.warning("index database %s is unusable: %s; moved to %s and rebuilt", self.path, problem, aside)
        try:
            os.replace(self.path, aside)
        except FileNotFoundError:
            pass
        except OSError as error:
            raise StoreUnavailable(f"cannot move the unusable index database {self.path} aside: {error}") from error
        # A write-ahead log left from the old file must never be replayed into the new one.
        for suffix in ("-wal", "-shm"):
            try:
                os.unlink(str(self.path) + suffix)
            except FileNotFoundError:
                pass

    def recover(self, error: StoreDamaged) -> None:
        """Replace a database found damaged while in use: this file is this cache's own."""
        self._connection.close()
        self._set_aside(f"damaged ({error.__cause__ or error})")
        self._connection = self._connect()
        with self._reported("create"):
            self._prepare(self._connection)

    def close(self) -> None:
        self._connection.close()
        if self._lock_file is not None:
            os.close(self._lock_file)
            self._lock_file = None

    # -- failures -----------------------------------------------------------------

    @contextlib.contextmanager
    def _reported(self, doing: str) -> Iterator[None]:
        """Turn SQLite's failures into one line naming the database: :class:`StoreDamaged` for damage
        (:func:`is_damage`), else :class:`StoreUnavailable`."""
        started = time.monotonic()
        try:
            yield
        except sqlite3.DatabaseError as error:
            if is_damage(error):
                raise StoreDamaged(f"the index database {self.path} is damaged: {error}") from error
            if not isinstance(error, sqlite3.OperationalError):
                raise
            kind = StoreNotWritable if doing == "update" else StoreUnavailable
            raise kind(f"cannot {doing} the index database {self.path}: "
                       f"{self._cause(error, time.monotonic() - started)}") from error

    def _cause(self, error: sqlite3.OperationalError, waited_s: float) -> str:
        code = getattr(error, "sqlite_errorcode", None)
        primary = -1 if code is None else code & 0xFF
        if primary == sqlite3.SQLITE_FULL:
            return "the disk is full"
        if primary in (sqlite3.SQLITE_READONLY, sqlite3.SQLITE_PERM):
            return "it is read-only"
        if primary in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
            return f"busy for {round(waited_s, 1):g} s: another process is writing"
        if primary == sqlite3.SQLITE_CANTOPEN:
            denied = self.path.exists() and not os.access(self.path, os.R_OK | os.W_OK)
            return "permission denied" if denied else "it cannot be opened"
        if primary == sqlite3.SQLITE_IOERR:
            return f"I/O error ({getattr(error, 'sqlite_errorname', code)})"
        return str(error)

    # -- transactions -----------------------------------------------------------

    def _write(self, statements: Iterable[tuple[str, Iterable[Sequence[object]]]]) -> None:
        connection = self._connection
        with self._reported("update"):
            connection.execute("BEGIN IMMEDIATE")
            try:
                for sql, rows in statements:
                    connection.executemany(sql, rows)
                connection.execute("COMMIT")
            except BaseException:
                if connection.in_transaction:
                    connection.execute("ROLLBACK")
                raise

    def _read(self, sql: str, parameters: Sequence[object]) -> list[Any]:
        with self._reported("read"):
            return self._connection.execute(sql, parameters).fetchall()

    # -- taking turns at embedding ---------------------------------------------

    @contextlib.contextmanager
    def embedding_turn(self, *, wait: bool = True) -> Iterator[bool]:
        """Hold this database's embedding turn: one process at a time embeds and commits a chunk.

        Waits at most ``TURN_WAIT_S`` for a holder (then goes ahead without the
        turn), or only tries once without ``wait``; gives whether the turn is
        held.  A folder where the lock file cannot be made has no turns.
        """
        if self._lock_file is None:
            try:
                self._lock_file = open_lock_file(str(self.path) + LOCK_SUFFIX)
            except NotRegular as error:
                # Damage, but the turn only saves work: embedding goes on without turns.
                if not self._said_lock_damaged:
                    logger.warning("the lock file %s is %s: embedding without taking turns", error.filename,
                                   error.strerror)
                    self._said_lock_damaged = True
                yield False
                return
            except OSError:
                yield False
                return
        descriptor = self._lock_file
        try:
            held = take_turn(descriptor, TURN_WAIT_S if wait else 0.0)
        except OSError:  # a file system without flock: no turns
            held = False
        try:
            yield held
        finally:
            if held:
                fcntl.flock(descriptor, fcntl.LOCK_UN)

    # -- identities and vectors ------------------------------------------------

    def identity(self, identity: Identity, dimension: int, *, add: bool = True) -> int | None:
        """The row id of an embedding identity, added on first use (None when absent and not ``add``)."""
        model, digest, backend = identity
        select = "SELECT id, dimension FROM identities WHERE model = ? AND digest = ? AND backend = ?"
        rows = self._read(select, (model, digest, backend))
        if not rows:
            if not add:
                return None
            self._write([("INSERT OR IGNORE INTO identities (model, digest, backend, dimension) VALUES (?, ?, ?, ?)",
                          [(model, digest, backend, dimension)])])
            rows = self._read(select, (model, digest, backend))
        found, width = rows[0]
        if width != dimension:
            raise StoreDamaged(f"stored vectors of {identity} have {width} values, the model gives {dimension}")
        return int(found)

    def vectors(self, identity_id: int, hashes: Sequence[bytes], *, values: bool = True) -> StoredVectors:
        """The usable stored vectors of those text hashes (see :func:`usable_rows`), and whether the
        model read only part of each text whose vector is given and stored with that known.

        Any other row is deleted, with one warning, so that its text is embedded
        and stored again; a row another process rewrote meanwhile is kept.
        """
        identity = self._read("SELECT dimension, unit_length FROM identities WHERE id = ?", (identity_id,))
        if not identity:
            return StoredVectors()  # an identity the store could not record holds no vectors
        ((dimension, unit_length),) = identity
        found: dict[bytes, np.ndarray] = {}
        truncated: dict[bytes, bool] = {}
        damaged: list[tuple[bytes, bytes]] = []
        for batch in _batches(list(hashes)):
            marks = ",".join("?" * len(batch))
            rows = self._read(f"SELECT text_hash, vector, cut FROM vectors WHERE identity = ? AND text_hash IN ({marks})",
                              (identity_id, *batch))
            flags = {text_hash: bool(flag) for text_hash, _, flag in rows if type(flag) is int and flag in (0, 1)}
            sized: list[tuple[bytes, bytes]] = []
            for text_hash, blob, _ in rows:
                (sized if isinstance(blob, bytes) and isinstance(text_hash, bytes) and len(blob) == 4 * dimension else damaged).append((text_hash, blob))
            matrix = np.frombuffer(b"".join(blob for _, blob in sized), dtype=np.float32).reshape(len(sized), dimension)
            finite, unit = usable_rows(matrix)
            usable = (finite & (unit | (unit_length == 0))).tolist()
            for row, (text_hash, blob) in enumerate(sized):
                if usable[row]:
                    found[text_hash] = matrix[row]
                    if text_hash in flags:
                        truncated[text_hash] = flags[text_hash]
                else:
                    damaged.append((text_hash, blob))
        if damaged:
            logger.warning("index database %s held %d damaged vectors; they are dropped and their texts embedded "
                           "again", self.path, len(damaged))
            try:
                self._write([("DELETE FROM vectors WHERE identity = ? AND text_hash = ? AND vector IS ?",
                              [(identity_id, h, blob) for h, blob in damaged])])
            except StoreNotWritable:
                pass  # left out all the same; dropped by the next process that can write
        return StoredVectors(found, truncated)

    def add_vectors(self, identity_id: int, items: Sequence[tuple[bytes, np.ndarray]], *, unit_length: bool,
                    truncated: Mapping[bytes, bool]) -> None:
        """Store vectors in one transaction (a vector stored by another process meanwhile is kept).

        ``unit_length``: whether the model gave these (finite) vectors unit
        length; once it gave one that is not, its vectors are not held to it.
        ``truncated``: whether the model read only part of each text (None: not known).
        """
        self._write([
            ("INSERT OR IGNORE INTO vectors (identity, text_hash, vector, cut) VALUES (?, ?, ?, ?)",
             [(identity_id, h, np.ascontiguousarray(v, dtype=np.float32).tobytes(), _flag(truncated.get(h)))
              for h, v in items]),
            ("UPDATE identities SET unit_length = ? WHERE id = ? AND coalesce(unit_length, 1) >= ?",
             [(int(unit_length), identity_id, int(unit_length))]),
        ])

    def set_truncation_flags(self, identity_id: int, flags: Mapping[bytes, bool]) -> None:
        """Record whether the model read only part of texts whose vectors are stored without it."""
        # A value that is neither 0 nor 1 was not written by this store: it is replaced too.
        self._write([("UPDATE vectors SET cut = ? WHERE identity = ? AND text_hash = ?"
                      " AND (cut IS NULL OR cut NOT IN (0, 1))",
                      [(_flag(flag), identity_id, h) for h, flag in flags.items()])])

    def prune(self) -> tuple[int, int]:
        """Delete the vectors that no file row of any corpus refers to, and give the space back;
        returns (vectors deleted, bytes freed)."""
        before = self._size()
        with self._reported("update"):
            deleted = self._connection.execute(
                "DELETE FROM vectors WHERE text_hash NOT IN"
                " (SELECT text_hash FROM files WHERE text_hash IS NOT NULL)").rowcount
            self._connection.execute("VACUUM")
            self._connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        return deleted, max(before - self._size(), 0)

    def _size(self) -> int:
        return sum(os.stat(name).st_size for name in (str(self.path), str(self.path) + "-wal")
                   if os.path.exists(name))

    # -- ranking -----------------------------------------------------------------

    def ranking(self, identity_id: int, corpus_id: int, prefix: str) -> MatrixRanking:
        """Rows are ranked in this process, from a matrix in memory."""
        return MatrixRanking()

    # -- corpora and files -----------------------------------------------------

    def corpus(self, name: str, *, add: bool = True) -> int | None:
        """The row id of a corpus (its folder's real path, or a name given it), added on first use
        (None when absent and not ``add``)."""
        key = os.fsencode(name)
        rows = self._read("SELECT id FROM corpora WHERE root = ?", (key,))
        if not rows and add:
            self._write([("INSERT OR IGNORE INTO corpora (root) VALUES (?)", [(key,)])])
            rows = self._read("SELECT id FROM corpora WHERE root = ?", (key,))
        return int(rows[0][0]) if rows else None

    def files(self, corpus_id: int) -> list[FileRow]:
        """The corpus's file rows; a row with a value of the wrong kind is deleted, with one warning,
        so that its file is read again."""
        rows = self._read("SELECT path, size, mtime_ns, ctime_ns, inode, scanned_ns, text_hash, preview, real_path"
                          " FROM files WHERE corpus = ?", (corpus_id,))
        usable = [row for values in rows if (row := _file_row(values)) is not None]
        if len(usable) < len(rows):
            damaged = [values for values in rows if _file_row(values) is None]
            logger.warning("index database %s held %d damaged file rows; their files are read again",
                           self.path, len(damaged))
            try:
                self._write([("DELETE FROM files WHERE corpus = ? AND path IS ?",
                              [(corpus_id, values[0]) for values in damaged])])
            except StoreNotWritable:
                pass  # left out all the same
        return usable

    def update_files(self, corpus_id: int, rows: Sequence[FileRow], removed: Sequence[str], scanned_ns: int,
                     texts: Mapping[bytes, str] | None = None) -> None:
        """Record one scan's changes in one transaction (texts are not kept here)."""
        self._write([
            ("DELETE FROM files WHERE corpus = ? AND path = ?", [(corpus_id, os.fsencode(path)) for path in removed]),
            ("INSERT OR REPLACE INTO files (corpus, path, size, mtime_ns, ctime_ns, inode, scanned_ns,"
             " text_hash, preview, real_path) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
             [(corpus_id, os.fsencode(r.path), r.size, r.mtime_ns, r.ctime_ns, r.inode, r.scanned_ns, r.text_hash,
               r.preview, None if r.real_path is None else os.fsencode(r.real_path))
              for r in rows]),
            ("UPDATE corpora SET scanned_ns = max(scanned_ns, ?) WHERE id = ?", [(scanned_ns, corpus_id)]),
        ])


    def text(self, text_hash: bytes) -> str | None:
        return None


_INT64 = range(-(1 << 63), 1 << 63)


def _file_row(values: Sequence[object]) -> FileRow | None:
    """A file row as stored, or None when a value is not of its kind (damage)."""
    path, size, mtime_ns, ctime_ns, inode, scanned_ns, text_hash, preview, real = values
    if not (type(path) is bytes and path and type(preview) is str
            and all(type(n) is int and n in _INT64 for n in (size, mtime_ns, ctime_ns, inode, scanned_ns))
            and (text_hash is None or (type(text_hash) is bytes and len(text_hash) == 32))
            and (real is None or type(real) is bytes)):
        return None
    return FileRow(os.fsdecode(path), size, mtime_ns, ctime_ns, inode, scanned_ns,  # type: ignore[arg-type]
                   text_hash, preview, os.fsdecode(real) if real is not None else None)


def _flag(value: bool | None) -> int | None:
    return None if value is None else int(value)


def is_damage(error: sqlite3.DatabaseError) -> bool:
    """Whether an error means the database file itself is bad (rather than, say, busy or read-only)."""
    if isinstance(error, (sqlite3.IntegrityError, sqlite3.ProgrammingError, sqlite3.InterfaceError)):
        return False
    code = getattr(error, "sqlite_errorcode", None)
    if isinstance(error, sqlite3.OperationalError):
        return code in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB)
    return True
