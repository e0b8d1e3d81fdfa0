"""Call every success and failure path of the module many times; report memory.

    python tests/memory_sweep.py [CALLS]

For each path: a warm-up, then CALLS calls (100000 unless given), with the
interpreter's allocated blocks (`sys.getallocatedblocks()`) and the process's
resident memory read before and after.  One line per path; the exit status is 1
when any path kept memory.  Runs in its own interpreter so that nothing else
(pytest's log capture, say) holds on to what the calls make.
"""

import gc
import logging
import os
import sys
import tempfile
from pathlib import Path

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [TESTS, os.path.dirname(TESTS)]  # the test modules, and testsupport/ beside them

from testsupport.standins import StandIns  # noqa: E402
from test_ranking import CASES as BROKEN_RANKINGS, broken_pipeline  # noqa: E402
from test_refcounts import cases as basic_cases  # noqa: E402

import tarvex.rag_helper as rag  # noqa: E402

WARM_UP = 2000
# A path that keeps one object per call keeps at least CALLS blocks, and at least
# 16 bytes a call of resident memory in each half of the calls.  Resident memory
# also moves in one-off steps (a new allocator arena is a mebibyte), so it counts
# as kept only when it grows in both halves.
BLOCKS_ALLOWED = 500
RESIDENT_ALLOWED_PER_HALF = 256 << 10
PRE_PASS = 200


def kept_memory(blocks_before, blocks_after, resident):
    """Whether a path kept memory, from `measure`'s readings."""
    r0, r1, r2 = resident
    return blocks_after - blocks_before > BLOCKS_ALLOWED or min(r1 - r0, r2 - r1) > RESIDENT_ALLOWED_PER_HALF


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def quietly(call, errors=(Exception, KeyboardInterrupt, SystemExit)):
    def run():
        try:
            call()
        except errors:
            pass

    return run


def ranking_cases(corpus_dir):
    """Name -> (prepare(monkeypatch, standins), call) for the ranking pipeline and the model cache."""
    empty = corpus_dir / "empty"
    empty.mkdir(exist_ok=True)
    blank = corpus_dir / "blank"
    blank.mkdir(exist_ok=True)
    (blank / "b.txt").write_text(" \n ")
    rank, load = rag.rank_problem_descriptions, rag._load_model

    def nothing(mp, standins):
        pass

    def no_model(mp, standins):
        standins.sentence_transformers.SentenceTransformer = None  # calling it fails: the load is cached as None

    def interrupted_constructor(mp, standins):
        def construct(name):
            raise KeyboardInterrupt

        standins.sentence_transformers.SentenceTransformer = construct

    def unimportable(mp, standins):
        mp.setitem(sys.modules, "sentence_transformers", None)

    def fresh(call):
        def run():
            load.cache_clear()
            call()

        return run

    table = {
        "rank success": (nothing, lambda: rank("1", corpus_dir)),
        "rank top_k 1, keywords": (nothing, lambda: rank(top_k=1, query="1", models_dir=str(corpus_dir))),
        "rank missing folder": (nothing, quietly(lambda: rank("1", corpus_dir / "missing"))),
        "rank empty folder": (nothing, lambda: rank("1", empty)),
        "rank blank files": (nothing, lambda: rank("1", blank)),
        "rank model unloadable": (no_model, lambda: rank("1", corpus_dir, model_name="gone")),
        "load hit": (nothing, lambda: load("m")),
        "load miss": (nothing, fresh(lambda: load("m"))),
        "load constructor fails": (no_model, fresh(lambda: load("m"))),
        "load import fails": (unimportable, fresh(lambda: load("m"))),
        "load interrupted": (interrupted_constructor, fresh(quietly(lambda: load("m")))),
        "load unhashable": (nothing, quietly(lambda: load(["m"]))),
        "load keyword": (nothing, fresh(lambda: load(model_name="m"))),
    }
    for case in BROKEN_RANKINGS:
        def prepare(mp, standins, case=case):
            broken_pipeline(rag, standins, mp, case)

        table[f"rank fails: {case}"] = (prepare, quietly(lambda: rank("1", corpus_dir)))
    return table


def measure(prepare, call, calls, warm_up=WARM_UP):
    """Blocks before and after `calls` calls and resident bytes before, halfway and after;
    each path gets fresh stand-ins."""
    mp = pytest.MonkeyPatch()
    try:
        rag._load_model.cache_clear()
        standins = StandIns().install(mp)
        if prepare is not None:
            prepare(mp, standins)

        def once():
            standins.clear()
            call()

        for _ in range(warm_up):
            once()
        gc.collect()
        blocks, resident = sys.getallocatedblocks(), [resident_bytes()]
        for half in (calls // 2, calls - calls // 2):
            for _ in range(half):
                once()
            gc.collect()
            resident.append(resident_bytes())
        return blocks, sys.getallocatedblocks(), resident
    finally:
        mp.undo()
        rag._load_model.cache_clear()


def sweep(calls, out=sys.stdout):
    # The failed loads warn on the root logger; a handler that drops the records
    # keeps the logging package from configuring itself to print them all.
    logging.getLogger().addHandler(logging.NullHandler())
    kept = []
    with tempfile.TemporaryDirectory() as tmp:
        corpus_dir = Path(tmp)
        (corpus_dir / "sub").mkdir()
        (corpus_dir / "a.txt").write_text("0.2 first description")
        (corpus_dir / "sub" / "b.txt").write_text("0.7 second " * 20)
        (corpus_dir / "c.txt").write_text("0.5 third\n" * 50)
        table = {name: (None, call) for name, call in basic_cases(rag, corpus_dir, corpus_dir / "a.txt").items()}
        table.update(ranking_cases(corpus_dir))
        # One short pass over every path first, so that what the interpreter and the
        # C library set up once (caches, arenas, buffers) is not charged to a path.
        for prepare, call in table.values():
            measure(prepare, call, 0, PRE_PASS)
        print(f"{'path':40} {'calls':>7} {'blocks before':>14} {'after':>9} "
              f"{'resident KiB before':>20} {'halfway':>9} {'after':>9}", file=out)
        for name, (prepare, call) in table.items():
            b0, b1, (r0, r1, r2) = measure(prepare, call, calls)
            grew = kept_memory(b0, b1, (r0, r1, r2))
            if grew:
                kept.append(name)
            print(f"{name:40} {calls:>7} {b0:>14} {b1:>9} {r0 // 1024:>20} {r1 // 1024:>9} {r2 // 1024:>9}"
                  f"{'  KEPT' if grew else ''}", file=out, flush=True)
    print(f"{len(table)} paths, {len(table) * (calls + WARM_UP + PRE_PASS)} calls; "
          f"{'memory kept by: ' + ', '.join(kept) if kept else 'no path kept memory'}", file=out)
    return kept


if __name__ == "__main__":
    sys.exit(1 if sweep(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000) else 0)
