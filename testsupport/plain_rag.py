"""Plain-Python rendering of ``tarvex.rag_helper``: the baseline for the benchmarks
and the oracle of the differential tests.

This is what a user would write in Python for the same job: the same four
functions with the same signatures, results and calls on ``pathlib``,
``sentence_transformers`` and ``torch``, plus the command-line block.  The
annotated ``str``/``int`` parameters are tested for their exact type, with the
same messages as the native module, because callers rely on those errors.

Differences that callers do not see in ordinary use: argument-binding errors
carry the interpreter's own wording, traceback entries are ordinary Python
frames, and the returned value of ``strip()`` is not type-checked (it only
matters for path objects whose stream yields something other than text).

Run directly, ``python testsupport/plain_rag.py WORDS...`` ranks the
descriptions in ``zolt_models`` next to this file.
"""

import logging
import sys
from functools import lru_cache
from pathlib import Path
from typing import Any, Dict, List, Optional

logger = logging.getLogger(__name__)

_DEFAULT_MODEL = "sentence-transformers/all-MiniLM-L6-v2"


def _type_error(name: str, expected: type, value: object) -> TypeError:
    error = TypeError(
        f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
    )
    if isinstance(value, expected):
        error.add_note(
            f"Subclasses of builtin types are rejected: pass a plain {expected.__name__}, "
            f"for example {expected.__name__}(value)."
        )
    return error


@lru_cache(maxsize=None)
def _load_model(model_name: str):
    if type(model_name) is not str:
        raise _type_error("model_name", str, model_name)
    try:
        from sentence_transformers import SentenceTransformer

        return SentenceTransformer(model_name)
    except Exception as e:
        logging.warning("RAG disabled (embedding model load failed): %s", e)
        return None


def _iter_description_files(models_dir: Path) -> List[Path]:
    """
    Find all .txt files recursively under models_dir.
    """
    return sorted([p for p in models_dir.rglob("*.txt") if p.is_file()])


def _read_text(path: Path, max_chars: int = 100000) -> str:
    """
    Read text content safely with UTF-8, truncating very large files.
    """
    if type(max_chars) is not int:
        raise _type_error("max_chars", int, max_chars)
    try:
        with path.open("r", encoding="utf-8", errors="ignore") as f:
            txt = f.read(max_chars + 1)
            if len(txt) > max_chars:
                txt = txt[:max_chars]
            return txt.strip()
    except Exception:
        return ""


def rank_problem_descriptions(
    query: str,
    models_dir: Optional[Path | str] = None,
    top_k: int = 10,
    model_name: str = _DEFAULT_MODEL,
) -> List[Dict[str, Any]]:
    """
    Rank problem description .txt files under 'zolt_models' by semantic similarity to the query.

    Args:
        query: The problem description to search with.
        models_dir: Root folder containing subfolders with .txt descriptions.
                    Defaults to '<repo_root>/zolt_models'.
        top_k: Number of top matches to return.
        model_name: Sentence embedding model to use.

    Returns:
        A list of dicts with: path, score, preview.
    """
    if type(query) is not str:
        raise _type_error("query", str, query)
    if type(top_k) is not int:
        raise _type_error("top_k", int, top_k)
    if type(model_name) is not str:
        raise _type_error("model_name", str, model_name)

    repo_root = Path(__file__).resolve().parent
    models_dir = Path(models_dir) if models_dir else repo_root / "zolt_models"
    if not models_dir.exists():
        raise FileNotFoundError(f"Models directory not found: {models_dir}")

    files_t = _iter_description_files(models_dir)
    if not files_t:
        return []

    texts_t = [_read_text(p) for p in files_t]
    nonempty = [(p, t) for p, t in zip(files_t, texts_t) if t]
    if not nonempty:
        return []
    files, texts = zip(*nonempty)

    model = _load_model(model_name)
    if model is None:
        # The load failed and has been logged: nothing to rank with.
        return []

    doc_embs = model.encode(
        list(texts),
        convert_to_tensor=True,
        normalize_embeddings=True,
        show_progress_bar=False,
    )
    query_emb = model.encode(
        [query],
        convert_to_tensor=True,
        normalize_embeddings=True,
        show_progress_bar=False,
    )[0]

    import torch

    sims = torch.matmul(doc_embs, query_emb)
    scores = sims.cpu().tolist()

    ranked = sorted(
        (
            {"path": str(p), "score": float(s), "preview": texts[i][:300].replace("\n", " ")}
            for i, (p, s) in enumerate(zip(files, scores))
        ),
        key=lambda x: x["score"],
        reverse=True,
    )
    return ranked[:top_k] if top_k > 0 else ranked


if __name__ == "__main__":
    query = " ".join(sys.argv[1:]).strip()
    if not query:
        print('Usage: python rag.py "your problem description here"')
        sys.exit(1)

    results = rank_problem_descriptions(query=query, top_k=10)
    if not results:
        print("No descriptions found.")
        sys.exit(0)

    for i, r in enumerate(results, 1):
        print(f"{i:2d}. {r['path']}  score={r['score']:.4f}")
