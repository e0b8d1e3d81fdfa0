"""Choosing a store by URL: a plain path or ``sqlite:///PATH`` is the embedded SQLite store,
``postgresql://…`` a shared PostgreSQL database."""

from __future__ import annotations

import os
import urllib.parse
from pathlib import Path
from typing import TYPE_CHECKING, Protocol

from tarvex.file_catalog import FileCatalog
from tarvex.vector_store import StoreUnavailable, VectorStore

if TYPE_CHECKING:
    from tarvex.sqlite_store import SqliteStore

STORE_VARIABLE = "TARVEX_STORE"
SQLITE_SCHEME = "sqlite://"
POSTGRES_SCHEMES = ("postgresql://", "postgres://")
POSTGRES_INSTALL = "pip install 'tarvex[postgres]'"


class Store(VectorStore, FileCatalog, Protocol):
    """Both halves of a store, as every store here keeps them in one database."""


def default_store(cache_dir: Path) -> SqliteStore:
    """The SQLite store in a cache folder."""
    from tarvex.sqlite_store import DATABASE_NAME, SqliteStore

    return SqliteStore(Path(cache_dir) / DATABASE_NAME)


def open_store(url: str | os.PathLike[str] | None, cache_dir: Path) -> Store:
    """The store a URL names (None: the SQLite store in ``cache_dir``).

    A path names an SQLite database file, or a folder to keep the default one in.
    """
    if url is None:
        return default_store(cache_dir)
    text = os.fspath(url)
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if text.startswith(POSTGRES_SCHEMES):
        try:
            from tarvex.postgres_store import PostgresStore
        except ImportError as error:
            raise StoreUnavailable(f"a PostgreSQL store needs psycopg and pgvector ({error.name} is not "
                                   f"installed): {POSTGRES_INSTALL}") from None
        return PostgresStore(text)
    if text.startswith(SQLITE_SCHEME):
        parsed = urllib.parse.urlsplit(text)
        if parsed.netloc not in ("", "localhost") or not parsed.path:
            raise StoreUnavailable(f"an SQLite store URL names a local file, as sqlite:///PATH: {text!r}")
        text = urllib.parse.unquote(parsed.path)
    elif "://" in text:
        scheme = text.split("://", 1)[0]
        raise StoreUnavailable(f"unknown store {scheme + '://'!r}: give a path, sqlite:///PATH or postgresql://…")
    if not text:
        raise StoreUnavailable("the store's path is empty")
    path = Path(text).expanduser()
    if path.is_dir():
        return default_store(path)
    from tarvex.sqlite_store import SqliteStore

    return SqliteStore(path)
