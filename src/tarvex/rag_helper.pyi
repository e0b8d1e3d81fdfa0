"""Types of the native extension module tarvex.rag_helper.

The module is compiled; this stub describes what it publishes.  When the
module runs as the main module (``python -m tarvex``) it also binds the
globals ``query``, ``results``, ``i`` and ``r``, which are not listed here.
"""

import logging
from functools import _lru_cache_wrapper
from pathlib import Path
from typing import Any

logger: logging.Logger
__test__: dict[str, Any]

_load_model: _lru_cache_wrapper[Any]

def _iter_description_files(models_dir: Path) -> list[Path]: ...
def _read_text(path: Path, max_chars: int = 100000) -> str: ...
def rank_problem_descriptions(
    query: str,
    models_dir: Path | str | None = None,
    top_k: int = 10,
    model_name: str = "sentence-transformers/all-MiniLM-L6-v2",
) -> list[dict[str, Any]]: ...
