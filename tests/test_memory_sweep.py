"""Every success and failure path, called a hundred thousand times, keeps no memory."""

import sys
from pathlib import Path

import pytest

from conftest import run_python

CALLS = 100_000


@pytest.mark.slow
@pytest.mark.skipif(sys.getallocatedblocks() == 0,
                    reason="blocks are counted only by the interpreter's own allocator (PYTHONMALLOC=malloc)")
def test_sweep_keeps_no_memory():
    script = Path(__file__).with_name("memory_sweep.py")
    result = run_python("import runpy, sys; sys.argv[:] = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')",
                        str(script), str(CALLS), timeout=3600)
    table = result.stdout + result.stderr
    assert result.returncode == 0, table
    assert " paths, " in table and "no path kept memory" in table, table
    # Every path of the table ran the full count.
    rows = [line.split() for line in result.stdout.splitlines()[1:-1]]
    assert len(rows) > 60 and all(str(CALLS) in row for row in rows), table
