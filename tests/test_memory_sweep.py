"""Every success and failure path, called many times, keeps no memory.

The number of calls per path is chosen by TARVEX_TEST_SCOPE (conftest.py): a
few thousand in the quick default run, enough for the sweep to see a path that
keeps one object per call (as the second test proves); 100000 in CI.
"""

import sys
from pathlib import Path

import pytest

from conftest import run_python, sweep_calls

SWEEP = Path(__file__).with_name("memory_sweep.py")

needs_block_counts = pytest.mark.skipif(
    sys.getallocatedblocks() == 0,
    reason="blocks are counted only by the interpreter's own allocator (PYTHONMALLOC=malloc)")


@needs_block_counts
def test_sweep_keeps_no_memory():
    calls = sweep_calls()
    result = run_python("import runpy, sys; sys.argv[:] = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')",
                        str(SWEEP), str(calls), timeout=3600)
    table = result.stdout + result.stderr
    assert result.returncode == 0, table
    assert " paths, " in table and "no path kept memory" in table, table
    # Every path of the table ran the full count.
    rows = [line.split() for line in result.stdout.splitlines()[1:-1]]
    assert len(rows) > 60 and all(str(calls) in row for row in rows), table


@needs_block_counts
def test_sweep_sees_one_object_kept_per_call():
    script = f"""
        import runpy, sys
        sweep = runpy.run_path({str(SWEEP)!r})
        kept = []
        verdicts = [sweep["kept_memory"](*sweep["measure"](None, call, {sweep_calls()}))
                    for call in (lambda: kept.append(object()), lambda: [object()])]
        print(verdicts)
    """
    result = run_python(script, timeout=600)
    assert result.stdout.split() == ["[True,", "False]"], result.stdout + result.stderr
