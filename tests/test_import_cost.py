"""Importing the module stays cheap: it loads nothing beyond its standard-library collaborators."""

import json

from conftest import run_python

HEAVY = ("torch", "sentence_transformers", "transformers", "numpy", "huggingface_hub")


def test_import_adds_only_the_package_and_the_module():
    done = run_python("""
        import json, sys
        import logging, functools, pathlib, typing
        before = set(sys.modules)
        import tarvex.rag_helper
        print(json.dumps(sorted(set(sys.modules) - before)))
    """)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == ["tarvex", "tarvex.rag_helper"]


def test_listing_reading_and_empty_rankings_load_no_model_package(tmp_path):
    (tmp_path / "blank.txt").write_text("  \n")
    (tmp_path / "sub").mkdir()
    done = run_python("""
        import json, sys
        from pathlib import Path
        import tarvex.rag_helper as rag
        corpus = Path(sys.argv[1])
        rag._iter_description_files(corpus)
        rag._read_text(corpus / "blank.txt")
        assert rag.rank_problem_descriptions("q", corpus) == []
        assert rag.rank_problem_descriptions("q", corpus / "sub") == []
        print(json.dumps(sorted(m for m in sys.modules if m.split(".")[0] in %r)))
    """ % (HEAVY,), str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == []
