"""The description index's persistent store: one SQLite database per cache folder.

What it keeps:

- ``identities``: each embedding identity (model name, weights digest, backend)
  with the width of its vectors;
- ``vectors``: one float32 vector per (identity, SHA-256 of the text), so an
  identical text is embedded once and two backends never share a vector;
- ``corpora``: each corpus folder, keyed by its real path, with the start time
  of its last scan;
- ``files``: per corpus, each description file's path relative to the folder,
  the metadata it had when it was read, the start time of that scan, its
  text's hash (NULL for an empty or unreadable text) and its preview.

Paths are kept as the file system's bytes (``os.fsencode``), so a name that is
not valid UTF-8 is stored and given back exactly as Python spells it.

The database runs in WAL mode with a busy timeout, so several processes may
search and refresh at once; every write is a short ``BEGIN IMMEDIATE``
transaction, so a process killed mid-refresh loses only what it had not
committed.  A file that is not this store (not SQLite, another application,
another schema version, damaged pages) is reported once on the module's logger,
moved aside and rebuilt; it is never read as vectors.  Any other failure (a
full disk, a read-only file, a database kept busy by another process, an I/O
error) is raised as :class:`StoreUnavailable`, one line naming the database and
the cause, and touches nothing stored.

Processes embedding texts for the same cache take turns (:meth:`Store.embedding_turn`,
an advisory lock on a file next to the database), so that texts missing from
several processes at once are embedded once.
"""

from __future__ import annotations

import contextlib
import fcntl
import logging
import os
import sqlite3
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

logger = logging.getLogger(__name__)

DATABASE_NAME = "index.sqlite3"
# Held while embedding for this cache (flock: the kernel releases it when its holder dies).
LOCK_NAME = DATABASE_NAME + ".lock"
APPLICATION_ID = 0x54565849  # "TVXI"
SCHEMA_VERSION = 2  # 2: paths as bytes
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
        UNIQUE (model, digest, backend))""",
    """CREATE TABLE vectors (
        identity INTEGER NOT NULL REFERENCES identities (id),
        text_hash BLOB NOT NULL,
        vector BLOB NOT NULL,
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
        PRIMARY KEY (corpus, path)) WITHOUT ROWID""",
)


class StoreUnavailable(OSError):
    """The index cannot be kept here: the cache folder is unusable, or the database cannot be
    opened, read or written (disk full, read-only, busy, I/O error).  Its message is one line
    naming the folder or database and the cause."""


class StoreNotWritable(StoreUnavailable):
    """A write failed (disk full, read-only, busy, I/O error); what is stored can still be read."""


class StoreDamaged(Exception):
    """The database turned out to be damaged while in use; it has been rebuilt."""


@dataclass(frozen=True, slots=True)
class FileRow:
    """One description file as the store remembers it."""

    path: str  # relative to the corpus folder
    size: int
    mtime_ns: int
    ctime_ns: int
    inode: int
    scanned_ns: int
    text_hash: bytes | None
    preview: str


def _batches(items: list[_T], size: int = _BATCH) -> Iterator[list[_T]]:
    for start in range(0, len(items), size):
        yield items[start:start + size]


class Store:
    """An open connection to the index database of one cache folder."""

    def __init__(self, cache_dir: Path) -> None:
        self.cache_dir = Path(cache_dir)
        self.path = self.cache_dir / DATABASE_NAME
        try:
            self.cache_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise StoreUnavailable(f"cannot create the index cache folder {self.cache_dir}: {error}") from error
        if not os.access(self.cache_dir, os.W_OK | os.X_OK):
            raise StoreUnavailable(f"the index cache folder {self.cache_dir} is not writable")
        self._lock_file: int | None = None
        self._connection = self._open_checked()

    # -- opening, checking and rebuilding ---------------------------------------

    def _connect(self) -> sqlite3.Connection:
        with self._reported("open"):
            connection = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT_MS / 1000,
                                         isolation_level=None, check_same_thread=False)
            connection.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
        return connection

    def _open_checked(self) -> sqlite3.Connection:
        connection = self._connect()
        try:
            with self._reported("open"):
                problem = self._problem(connection)
                if problem is None:
                    self._prepare(connection)
                    return connection
        except sqlite3.DatabaseError as error:
            connection.close()
            if not is_damage(error):
                raise StoreUnavailable(f"cannot open the index database {self.path}: {error}") from error
            problem = f"not a usable database ({error})"
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

    @staticmethod
    def _problem(connection: sqlite3.Connection) -> str | None:
        """Why this database is not ours, or None when it is ours or still empty."""
        application_id = connection.execute("PRAGMA application_id").fetchone()[0]
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        tables = {name for (name,) in connection.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table'")}
        if application_id == 0 and version == 0 and not tables:
            return None  # new and empty: _prepare creates the schema
        if application_id != APPLICATION_ID:
            return f"it belongs to another application (application_id {application_id})"
        if version != SCHEMA_VERSION:
            return f"its schema version is {version}, expected {SCHEMA_VERSION}"
        if tables != {"identities", "vectors", "corpora", "files"}:
            return "its tables are not the index's"
        return None

    def _prepare(self, connection: sqlite3.Connection) -> None:
        """WAL mode and, for a new database, the schema (created once even when processes race)."""
        connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("PRAGMA synchronous = NORMAL")
        if connection.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION:
            return
        connection.execute("BEGIN IMMEDIATE")
        try:
            if connection.execute("PRAGMA user_version").fetchone()[0] == 0:
                for statement in _SCHEMA:
                    connection.execute(statement)
                connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            connection.execute("COMMIT")
        except BaseException:
            if connection.in_transaction:
                connection.execute("ROLLBACK")
            raise

    def _set_aside(self, problem: str) -> None:
        """Move an unusable database out of the way (kept for inspection) and start afresh."""
        aside = self.path.with_name(DATABASE_NAME + ".damaged")
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

    def rebuild(self, error: Exception) -> None:
        """Replace a database found damaged while in use (see :func:`is_damage`)."""
        self._connection.close()
        self._set_aside(f"damaged ({error})")
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
        """Turn SQLite's failures, other than damage (:func:`is_damage`), into one line naming the database."""
        started = time.monotonic()
        try:
            yield
        except sqlite3.OperationalError as error:
            if is_damage(error):
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
    def embedding_turn(self) -> Iterator[None]:
        """Hold this cache's embedding turn: one process at a time embeds and commits a chunk.

        Waits at most ``TURN_WAIT_S`` for a holder (then goes ahead without the
        turn); a cache folder where the lock file cannot be made has no turns.
        """
        if self._lock_file is None:
            try:
                # Read-only suffices for flock, so a lock file made by another user serves too.
                self._lock_file = os.open(self.cache_dir / LOCK_NAME, os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC, 0o644)
            except OSError:
                yield
                return
        descriptor = self._lock_file
        try:
            held = _wait_for(lambda: _try_lock(descriptor), TURN_WAIT_S)
        except OSError:  # a file system without flock: no turns
            held = False
        try:
            yield
        finally:
            if held:
                fcntl.flock(descriptor, fcntl.LOCK_UN)

    # -- identities and vectors ------------------------------------------------

    def identity(self, identity: tuple[str, str, str], dimension: int, *, add: bool = True) -> int | None:
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

    def vectors(self, identity_id: int, hashes: list[bytes], width: int) -> dict[bytes, bytes]:
        """The stored vectors (float32 bytes) of those text hashes; a blob of the wrong size is left out."""
        found: dict[bytes, bytes] = {}
        for batch in _batches(hashes):
            marks = ",".join("?" * len(batch))
            for text_hash, blob in self._read(
                    f"SELECT text_hash, vector FROM vectors WHERE identity = ? AND text_hash IN ({marks})",
                    (identity_id, *batch)):
                if isinstance(blob, bytes) and isinstance(text_hash, bytes) and len(blob) == width:
                    found[text_hash] = blob
        return found

    def add_vectors(self, identity_id: int, items: list[tuple[bytes, bytes]]) -> None:
        """Store vectors in one transaction (a vector stored by another process meanwhile is kept)."""
        self._write([("INSERT OR IGNORE INTO vectors (identity, text_hash, vector) VALUES (?, ?, ?)",
                      [(identity_id, h, v) for h, v in items])])

    # -- corpora and files -----------------------------------------------------

    def corpus(self, root: str, *, add: bool = True) -> int | None:
        """The row id of a corpus folder (its real path), added on first use (None when absent and not ``add``)."""
        key = os.fsencode(root)
        rows = self._read("SELECT id FROM corpora WHERE root = ?", (key,))
        if not rows and add:
            self._write([("INSERT OR IGNORE INTO corpora (root) VALUES (?)", [(key,)])])
            rows = self._read("SELECT id FROM corpora WHERE root = ?", (key,))
        return int(rows[0][0]) if rows else None

    def files(self, corpus_id: int) -> list[FileRow]:
        return [FileRow(os.fsdecode(path), *rest) for path, *rest in self._read(
            "SELECT path, size, mtime_ns, ctime_ns, inode, scanned_ns, text_hash, preview"
            " FROM files WHERE corpus = ?", (corpus_id,))]

    def update_files(self, corpus_id: int, rows: list[FileRow], removed: list[str], scanned_ns: int) -> None:
        """Record one scan's changes in one transaction."""
        self._write([
            ("DELETE FROM files WHERE corpus = ? AND path = ?", [(corpus_id, os.fsencode(path)) for path in removed]),
            ("INSERT OR REPLACE INTO files (corpus, path, size, mtime_ns, ctime_ns, inode, scanned_ns,"
             " text_hash, preview) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
             [(corpus_id, os.fsencode(r.path), r.size, r.mtime_ns, r.ctime_ns, r.inode, r.scanned_ns, r.text_hash, r.preview)
              for r in rows]),
            ("UPDATE corpora SET scanned_ns = max(scanned_ns, ?) WHERE id = ?", [(scanned_ns, corpus_id)]),
        ])


def _try_lock(descriptor: int) -> bool:
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def _wait_for(attempt: Callable[[], bool], limit_s: float) -> bool:
    """Retry ``attempt`` with growing pauses (5 ms up to 100 ms) until it succeeds or ``limit_s`` has passed."""
    deadline = time.monotonic() + limit_s
    pause = 0.005
    while not attempt():
        if time.monotonic() >= deadline:
            return False
        time.sleep(pause)
        pause = min(pause * 2, 0.1)
    return True


def is_damage(error: sqlite3.DatabaseError) -> bool:
    """Whether an error means the database file itself is bad (rather than, say, busy or read-only)."""
    if isinstance(error, (sqlite3.IntegrityError, sqlite3.ProgrammingError, sqlite3.InterfaceError)):
        return False
    code = getattr(error, "sqlite_errorcode", None)
    if isinstance(error, sqlite3.OperationalError):
        return code in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB)
    return True
