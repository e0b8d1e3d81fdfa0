"""Filling a store by a Ray Data job, for corpora too big for one machine to embed.

:class:`RayFill` is called as :func:`tarvex.fill.fill_missing` is, and the
description index uses it in its place: the driver (this process) has walked,
read and hashed the corpus and knows which texts lack a vector; the job
streams those texts through ``map_batches`` over a pool of actors
(:class:`tarvex.ray_worker.EmbedWorker`), each of which opens the ONNX
embedder once and embeds batches as the local path does.

Vectors reach the store batch by batch, each batch in one transaction: through
the driver for a store only this process writes (SQLite), or from the workers
themselves for a shared one (PostgreSQL), where each worker claims its texts so
that two jobs embed each text once.  A killed driver loses only the batches in
flight; the next run asks the store again and embeds exactly what is missing.

Without an address a local Ray is started with this machine's cores, bound to
the loopback interface.  With one, the job joins that cluster, and the driver
ships the model through the object store unless told the workers have it.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import socket
import sys
import tempfile
import warnings
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from tarvex.embedder import Embedder
from tarvex.fill import Embedded, Filled, FillRefused, Progress, fill_missing, store_embedded
from tarvex.ray_worker import EmbedWorker, LocalModel, Outcome, WorkPlan, pack_model
from tarvex.vector_store import StoreNotWritable, VectorStore

RAY_INSTALL = "pip install 'tarvex[ray]'"
# How a job finds the model on a cluster: shipped by the driver, or installed on each worker.
MODEL_SOURCES = ("ship", "installed")
# Ray retries a batch whose worker died this many times before the job fails.
TASK_RETRIES = 3
# Texts per batch, each stored in one transaction: small enough that the actors share out even a
# small job evenly and a killed driver loses little, large enough for the model's own batching.
RAY_BATCH = 128
# Batches queued at an actor beside the one it embeds: batches come longest first, so a deeper
# queue would leave the first actors with most of the work while the others wait idle.
TASKS_AHEAD = 2
# How long the driver waits for texts another job is embedding before it embeds them itself.
CLAIM_WAIT_S = 120.0
# How long the driver tries to reach a cluster's address before it gives up.
CONNECT_TIMEOUT_S = 10.0
# Failed texts named in the message (the others are counted).
FAILURES_SHOWN = 3

logger = logging.getLogger(__name__)


class RayUnavailable(Exception):
    """Ray is not installed, or the cluster cannot be reached or refuses the job."""


class EmbeddingFailed(Exception):
    """Some texts could not be embedded on the cluster (every other vector was stored)."""


def ray_module() -> Any:
    """The ray package, or the one line that says how to install it."""
    try:
        import ray
        import ray.data  # noqa: F401
    except ImportError:
        raise RayUnavailable(f"--ray needs Ray, which is not installed: {RAY_INSTALL}") from None
    return ray


class RayFill:
    """Fill a store with a Ray Data job; a callable in the place of :func:`tarvex.fill.fill_missing`.

    ``address``: a cluster to join (``ray.init(address=…)``); None starts a
    local Ray with this machine's cores, unless this process has started Ray
    already.  ``actors``: how many workers (default: one per CPU of the
    cluster, each with one thread).  ``model``: "ship" the model's files to
    the workers through the object store, or use the model "installed" on
    each; by default the workers of a cluster that is only this machine open
    the driver's files, and those of any other are shipped them.
    """

    # What a job raises for a cluster that cannot be used and for texts that could not be embedded.
    failures = (RayUnavailable, EmbeddingFailed)

    def __init__(self, address: str | None = None, *, actors: int | None = None, model: str | None = None,
                 cpus_per_actor: float = 1.0) -> None:
        if actors is not None and actors < 1:
            raise ValueError(f"a Ray job needs at least one actor, not {actors}")
        if model is not None and model not in MODEL_SOURCES:
            raise ValueError(f"unknown model source {model!r}; choose one of {', '.join(MODEL_SOURCES)}")
        self.address = address or None
        self.actors = actors
        self.model = model
        self.cpus_per_actor = cpus_per_actor
        self._started = False  # whether this object started the Ray it uses

    # -- the cluster --------------------------------------------------------------------

    def _connect(self) -> Any:
        if self.address is None:
            # A local Ray listens on the loopback interface only (Ray reads this when imported).
            os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
        ray = ray_module()
        if not ray.is_initialized():
            if self.address is not None:
                _check_reachable(self.address)
            options: dict[str, Any] = {"include_dashboard": False, "logging_level": logging.ERROR,
                                       "log_to_driver": False}
            try:
                if self.address is None:
                    ray.init(num_cpus=len(os.sched_getaffinity(0)), **options)
                else:
                    ray.init(address=self.address, **options)
            except Exception as error:  # Ray's own errors share no base class
                where = self.address or "a local Ray"
                raise RayUnavailable(f"cannot start or join {where}: {_first_line(error)}") from None
            self._started = True
        context = ray.data.DataContext.get_current()
        context.enable_progress_bars = False  # the index shows its own
        context.print_on_execution_start = False
        logging.getLogger("ray.data").setLevel(logging.ERROR)
        return ray

    def close(self) -> None:
        """Shut down the Ray this object started (a local one stops with it)."""
        if self._started:
            import ray

            ray.shutdown()
            self._started = False

    def __enter__(self) -> RayFill:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- the job --------------------------------------------------------------------------

    def __call__(self, store: VectorStore, identity_id: int, embedder: Embedder, items: Sequence[tuple[bytes, str]],
                 progress: Progress | None = None) -> Filled:
        backend = embedder.identity[2]
        if backend != "onnx":
            raise RayUnavailable(f"a Ray job embeds with the onnx backend, not {backend}")
        pending = sorted(dict(items).items(), key=lambda item: -len(item[1]))  # batches of like length
        filled = Filled()
        if not pending:
            return filled
        total = len(pending)
        if progress is not None:
            progress(0, total)
        stored = store.vectors(identity_id, [h for h, _ in pending])  # stored by another writer meanwhile
        filled.vectors.update(stored.vectors)
        filled.truncated.update(stored.truncated)
        todo = [item for item in pending if item[0] not in stored.vectors]
        if todo:
            with _native_stderr_aside():
                self._run(store, identity_id, embedder, todo, filled, progress, total)
        if progress is not None:
            progress(total, total)
        return filled

    def _run(self, store: VectorStore, identity_id: int, embedder: Embedder, todo: list[tuple[bytes, str]],
             filled: Filled, progress: Progress | None, total: int) -> None:
        model_name, digest, _ = embedder.identity
        ray = self._connect()
        plan = WorkPlan(model_name, digest, identity_id, self._model_source(ray, embedder), store.shared_url)
        job = _Job(store, identity_id, filled, progress, total, done=total - len(todo))
        job.run(self._dataset(ray, plan, todo))
        if job.claimed:  # being embedded by another job: wait for it, then embed what it left
            self._embed_claimed(store, identity_id, embedder, [item for item in todo if item[0] in job.claimed],
                                filled)
        if job.failures:
            raise EmbeddingFailed(_failures_message(job.failures, dict(todo)))

    def _model_source(self, ray: Any, embedder: Embedder) -> Any:
        layout = getattr(embedder, "layout", None)
        graph = getattr(embedder, "graph", None)
        weights = getattr(embedder, "weight_files", None)
        if layout is None or graph is None or weights is None:
            raise RayUnavailable("the embedder does not say where its model files are")
        if self.model == "installed":
            return None
        if self.model is None and _this_machine_only(ray):
            return LocalModel(layout, graph, tuple(weights))
        return ray.put(pack_model(layout, graph, weights))

    def _actor_count(self, ray: Any, batches: int) -> int:
        if self.actors is not None:
            wanted = self.actors
        else:
            wanted = int(ray.cluster_resources().get("CPU", 1) // self.cpus_per_actor)
        return max(1, min(wanted, batches))

    def _dataset(self, ray: Any, plan: WorkPlan, todo: list[tuple[bytes, str]]) -> Any:
        batches = math.ceil(len(todo) / RAY_BATCH)
        dataset = ray.data.from_items([{"hash": h, "text": text} for h, text in todo], override_num_blocks=batches)
        with warnings.catch_warnings():
            # Bounded retries have no named parameter yet; Ray Data's default retries for ever,
            # which a text that kills its worker every time would turn into a job that never ends.
            warnings.simplefilter("ignore", DeprecationWarning)
            return dataset.map_batches(
                EmbedWorker, fn_constructor_kwargs={"plan": plan}, batch_size=RAY_BATCH, batch_format="numpy",
                compute=ray.data.ActorPoolStrategy(size=self._actor_count(ray, batches),
                                                   max_tasks_in_flight_per_actor=TASKS_AHEAD),
                num_cpus=self.cpus_per_actor, max_restarts=TASK_RETRIES, max_task_retries=TASK_RETRIES)

    @staticmethod
    def _embed_claimed(store: VectorStore, identity_id: int, embedder: Embedder, items: list[tuple[bytes, str]],
                       filled: Filled) -> None:
        claimed = getattr(store, "claimed")  # only a shared store hands out claims
        with claimed(identity_id, [h for h, _ in items], wait_s=CLAIM_WAIT_S):
            left = fill_missing(store, identity_id, embedder, items)
        filled.vectors.update(left.vectors)
        filled.truncated.update(left.truncated)
        filled.embedded += left.embedded


class _Job:
    """The driver's side of one job: takes the workers' answers as they stream in."""

    def __init__(self, store: VectorStore, identity_id: int, filled: Filled, progress: Progress | None, total: int,
                 done: int) -> None:
        self.store = store
        self.identity_id = identity_id
        self.filled = filled
        self.progress = progress
        self.total = total
        self.done = done
        self.claimed: set[bytes] = set()
        self.failures: dict[bytes, str] = {}
        self.stored_elsewhere: list[bytes] = []

    def run(self, dataset: Any) -> None:
        batches = iter(dataset.iter_batches(batch_size=None, batch_format="numpy"))
        while True:
            try:
                batch = next(batches, None)
            except Exception as error:  # inside Ray: a worker kept dying, the cluster went away
                raise RayUnavailable(f"the Ray job failed: {_first_line(error)}") from None
            if batch is None:
                break
            self.take(batch)  # the store's own errors pass as they are
        if self.stored_elsewhere:
            found = self.store.vectors(self.identity_id, self.stored_elsewhere)
            self.filled.vectors.update(found.vectors)
            self.filled.truncated.update(found.truncated)

    def take(self, batch: dict[str, np.ndarray]) -> None:
        hashes = [bytes(h) for h in batch["hash"]]
        outcome, vectors, truncated, errors = batch["outcome"], batch["vector"], batch["truncated"], batch["error"]
        refused = [str(errors[i]) for i in range(len(hashes)) if outcome[i] == Outcome.REFUSED]
        if refused:
            raise RayUnavailable(refused[0])
        embedded = [i for i in range(len(hashes)) if outcome[i] == Outcome.EMBEDDED]
        flags = {hashes[i]: bool(truncated[i]) for i in embedded if truncated[i] >= 0}
        if embedded and self.store.shared_url is None:  # the workers of a shared store stored their own
            rows = [hashes[i] for i in embedded]
            try:
                store_embedded(self.store, self.identity_id, Embedded(rows, np.asarray(vectors[embedded]), flags))
            except StoreNotWritable as refusal:
                raise FillRefused(refusal, self.total - self.done) from refusal
        for i in embedded:
            self.filled.vectors[hashes[i]] = np.array(vectors[i], dtype=np.float32)
        self.filled.truncated.update(flags)
        self.filled.embedded += len(embedded)
        for i, h in enumerate(hashes):
            if outcome[i] == Outcome.STORED:
                self.stored_elsewhere.append(h)
            elif outcome[i] == Outcome.CLAIMED:
                self.claimed.add(h)
            elif outcome[i] == Outcome.FAILED:
                self.failures[h] = str(errors[i])
        self.done += len(hashes)
        if self.progress is not None:
            self.progress(self.done, self.total)


def _this_machine_only(ray: Any) -> bool:
    """Whether every node of the cluster is this machine, whose files the workers then share."""
    here = {"127.0.0.1", "::1", ray.util.get_node_ip_address()}
    return all(node.get("NodeManagerAddress") in here for node in ray.nodes() if node.get("Alive"))


def _check_reachable(address: str) -> None:
    """Fail at once for a cluster address nothing answers at (Ray itself retries for minutes)."""
    host, _, port = address.removeprefix("ray://").rpartition(":")
    if not host or not port.isdigit():
        return  # "auto", or a form Ray resolves itself
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=CONNECT_TIMEOUT_S).close()
    except OSError as error:
        raise RayUnavailable(f"cannot reach the Ray cluster at {address}: {error.strerror or error}") from None


@contextlib.contextmanager
def _native_stderr_aside() -> Iterator[None]:
    """Send what Ray's native code writes to the standard error descriptor to a log file while
    Python's own writes (the progress bar, warnings) still reach the terminal.  The file is
    kept, and named in a warning, only when something went wrong."""
    try:
        sys.stderr.flush()
        terminal = os.dup(2)
    except (OSError, AttributeError, ValueError):  # no standard error to keep clean
        yield
        return
    log = tempfile.NamedTemporaryFile(prefix="tarvex-ray-", suffix=".log", delete=False)
    python_stderr = sys.stderr
    sys.stderr = open(terminal, "w", encoding=getattr(python_stderr, "encoding", None) or "utf-8",
                      errors="backslashreplace", buffering=1, closefd=False)
    os.dup2(log.fileno(), 2)
    failed = False
    try:
        yield
    except Exception:  # not an interruption, which says enough
        failed = True
        raise
    finally:
        sys.stderr.flush()
        os.dup2(terminal, 2)
        sys.stderr.close()
        sys.stderr = python_stderr
        os.close(terminal)
        log.close()
        if failed and os.path.getsize(log.name):
            logger.warning("what Ray logged is in %s", log.name)
        else:
            os.unlink(log.name)


def _failures_message(failures: dict[bytes, str], texts: dict[bytes, str]) -> str:
    shown = []
    for h, reason in list(failures.items())[:FAILURES_SHOWN]:
        beginning = " ".join(texts.get(h, "").split())[:40]
        shown.append(f"the text {h.hex()[:12]}… beginning {beginning!r}: {reason}")
    more = f" (and {len(failures) - FAILURES_SHOWN} more)" if len(failures) > FAILURES_SHOWN else ""
    count = f"{len(failures)} description" + ("s" if len(failures) != 1 else "")
    return (f"{count} could not be embedded on the cluster; every other vector was stored: "
            + "; ".join(shown) + more)


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return next((line.strip() for line in text.splitlines() if line.strip()), type(error).__name__)
