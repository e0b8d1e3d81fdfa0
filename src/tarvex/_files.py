"""How tarvex writes and reads the files of its cache folder.

A file is written beside its final name, checked, then renamed into place, so
that a reader never sees half a file.  While it is written, the temporary file
is locked (``flock``) and listed here: a termination signal removes the listed
ones (see :func:`remove_pending`), and a temporary left by a process killed
outright is swept when the folder is next written to, once no live process
holds its lock.  Reading a cache file never follows a link or waits on a pipe:
anything but a regular file is damage (:class:`NotRegular`).

Shared by the embedding backends and the graph builder, which import nothing of
each other for it.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import json
import os
import stat
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

TEMPORARY_SUFFIX = ".tmp"
# A temporary this young may be one a writer has made and not yet locked.
FRESH_TEMPORARY_S = 10.0
# Opening a cache file: never through a link, never waiting for a writer of a pipe.
_READ_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC

_pending: set[str] = set()  # temporaries being written by this process


class NotRegular(OSError):
    """A cache file that is a link, a pipe, a device or a folder: damage, never read."""


def write_atomically(target: Path, data: bytes, *, check: Callable[[Path], None] | None = None) -> None:
    """Write ``data`` beside ``target``, let ``check`` look at the written file
    (it raises to refuse it), and rename it into place."""
    target.parent.mkdir(parents=True, exist_ok=True)
    sweep_temporaries(target.parent)
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=TEMPORARY_SUFFIX)
    _pending.add(tmp)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # a sweeper in another process leaves it alone while held
        with os.fdopen(fd, "wb", closefd=False) as out:
            out.write(data)
        if check is not None:
            check(Path(tmp))
        os.replace(tmp, target)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise
    finally:
        _pending.discard(tmp)
        os.close(fd)


def remove_pending() -> None:
    """Remove the temporaries this process is writing (called as a termination signal ends it)."""
    for tmp in list(_pending):
        with contextlib.suppress(OSError):
            os.unlink(tmp)


def sweep_temporaries(folder: Path) -> int:
    """Remove the temporaries in ``folder`` that no live process is writing; returns how many.

    A temporary is left alone while its lock is held, and for its first
    seconds (a writer locks it just after making it)."""
    swept = 0
    try:
        names = [name for name in os.listdir(folder) if name.startswith(".") and name.endswith(TEMPORARY_SUFFIX)]
    except OSError:
        return 0
    for name in names:
        path = os.path.join(folder, name)
        try:
            fd = os.open(path, _READ_FLAGS)
        except OSError:
            # A link or something else that is not a file to open: removed all the same, unread.
            with contextlib.suppress(OSError):
                if not stat.S_ISREG(os.lstat(path).st_mode):
                    os.unlink(path)
                    swept += 1
            continue
        try:
            if time.time() - os.fstat(fd).st_mtime < FRESH_TEMPORARY_S:
                continue
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            os.unlink(path)
            swept += 1
        except OSError:
            pass  # held by a live writer, or gone meanwhile
        finally:
            os.close(fd)
    return swept


@contextlib.contextmanager
def opened_regular(path: Path | str, *, follow: bool = False) -> Iterator[int]:
    """A descriptor of a regular file, opened without waiting on a pipe (and, unless
    ``follow``, without following a link); :class:`NotRegular` for anything else."""
    flags = _READ_FLAGS if not follow else _READ_FLAGS & ~os.O_NOFOLLOW
    try:
        fd = os.open(path, flags)
    except OSError as error:
        if error.errno == errno.ELOOP:  # the last part is a link
            raise NotRegular(error.errno, "a link, not a regular file", str(path)) from None
        raise
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise NotRegular(0, "not a regular file", str(path))
        # Reads of a regular file never wait; the flag served only the open.
        os.set_blocking(fd, True)
        yield fd
    finally:
        os.close(fd)


def read_regular(path: Path | str, limit: int) -> bytes:
    """The bytes of a regular cache file of at most ``limit`` bytes; :class:`NotRegular`, or
    ``ValueError`` for a larger one."""
    with opened_regular(path) as fd:
        data = b""
        while len(data) <= limit and (chunk := os.read(fd, limit + 1 - len(data))):
            data += chunk
    if len(data) > limit:
        raise ValueError(f"{path} is larger than {limit} bytes")
    return data


def read_json_record(path: Path | str, limit: int) -> Any:
    """The JSON a cache record holds; None for anything unreadable: missing, not a regular
    file, larger than ``limit``, not JSON, nested too deep."""
    try:
        return json.loads(read_regular(path, limit))
    except (OSError, ValueError, RecursionError):
        return None


def sha256_of(path: Path | str, *, follow: bool = False) -> tuple[str, os.stat_result]:
    """The SHA-256 of a regular file and its status, both from one descriptor."""
    digest = hashlib.sha256()
    with opened_regular(path, follow=follow) as fd:
        status = os.fstat(fd)
        while chunk := os.read(fd, 1 << 20):
            digest.update(chunk)
    return digest.hexdigest(), status


def open_lock_file(path: Path | str) -> int:
    """A descriptor of the lock file at ``path`` (made when missing) to take turns with
    (:func:`take_turn`).  Read-only suffices for ``flock``, so a lock file made by another
    user serves too.  A link is never followed nor created through, and a pipe is never
    waited on: anything but a regular file is :class:`NotRegular`."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise NotRegular(error.errno, "a link, not a regular file", str(path)) from None
        raise
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise NotRegular(0, "not a regular file", str(path))
    return fd


def take_turn(fd: int, wait_s: float) -> bool:
    """Lock ``fd`` (``flock``: the kernel releases it when its holder dies), waiting at most
    ``wait_s`` with growing pauses; whether it is held."""
    return wait_for(lambda: _try_lock(fd), wait_s)


def _try_lock(fd: int) -> bool:
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def wait_for(attempt: Callable[[], bool], limit_s: float) -> bool:
    """Retry ``attempt`` with growing pauses (5 ms up to 100 ms) until it succeeds or ``limit_s`` has passed."""
    deadline = time.monotonic() + limit_s
    pause = 0.005
    while not attempt():
        if time.monotonic() >= deadline:
            return False
        time.sleep(pause)
        pause = min(pause * 2, 0.1)
    return True
