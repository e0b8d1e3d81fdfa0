"""How tarvex writes a file of its cache folder: beside its final name, checked,
then renamed into place, so that a reader never sees half a file.  Shared by
the embedding backends and the graph builder, which import nothing of each
other for it."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable
from pathlib import Path


def write_atomically(target: Path, data: bytes, *, check: Callable[[Path], None] | None = None) -> None:
    """Write ``data`` beside ``target``, let ``check`` look at the written file
    (it raises to refuse it), and rename it into place."""
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        if check is not None:
            check(Path(tmp))
        os.replace(tmp, target)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise
