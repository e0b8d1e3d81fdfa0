"""Stand-ins for `sentence_transformers` and `torch`, shared by the tests and the benchmarks.

The stand-ins answer the calls the retrieval pipeline makes, deterministically
and quickly, and record every call in order.  Embeddings are a function of the
text alone, so two implementations fed the same texts see the same vectors and
can be compared exactly.

    stand_ins = StandIns(embed=leading_number)   # or hashed, coarse_hashed, any text -> list of floats
    stand_ins.install(monkeypatch)               # in a test; `with stand_ins.installed():` elsewhere

In tests, use the `standins` fixture of conftest.py instead: it installs a
fresh `StandIns()` into `sys.modules` for the test and clears the module's
model cache before and after.

`StandIns(embed=leading_number, *, scores=None, fail_with=None, record=True, journal=None)`
    embed      text -> list of floats, the text's embedding (see the functions below).
    scores     when given, every `encode` returns one fixed tensor and every
               `matmul` returns `Tensor(scores)`, without looking at the texts:
               the pipeline's own cost with collaborators that cost nothing.
    fail_with  an exception the model constructor raises (after recording the call);
               may be set at any time.
    record     False to record nothing (benchmarks).
    journal    a file path: each call is also appended to it as one JSON line
               {"name": ..., "args": [...], "kwargs": {...}} (non-JSON values as
               their repr), so that a child process's calls can be read back.

  Attributes and methods:
    .sentence_transformers  the module: `SentenceTransformer(name, ...)`, whose
                            `encode(sentences, **kwargs)` returns a `Tensor` of the
                            texts' embeddings, one row per text.
    .torch                  the module: `matmul(matrix, vector)`, a `Tensor` of the
                            dot products of each row with the vector;
                            `Tensor` (the class below).
    .calls                  every `Call` so far, in order.
    .built                  the constructor calls; .encoded: the batches given to
                            `encode` (the objects passed); .multiplied: the
                            `matmul` calls.
    .take_calls()           returns `.calls` and starts a new list.
    .clear()                forgets the calls made so far.
    .install(monkeypatch)   puts both modules into `sys.modules` until the test ends.
    .installed()            the same as a context manager, for code outside pytest.

`Call(name, args, kwargs, result)`: one recorded call; `name` is one of
"construct", "encode", "getitem", "matmul", "cpu", "tolist"; for "encode",
`args[0]` is the batch as passed.  `call.comparable()` is a value that compares
equal for equal calls made by two implementations: types of the arguments
included, results and identities left out.

`Tensor(rows, owner=None)`: rows are a list of floats or a list of lists of
floats; `tensor[i]`, `.cpu()` and `.tolist()` behave as torch's do for these
and are recorded by the owning `StandIns` (a tensor made by a test, with no
owner, records nothing).  Tensors compare equal when their rows do.

Embeddings (text -> list of floats):
    leading_number(text)   [x] for a text whose first word is the number x, else [1.0]:
                           with a query such as "1", each description's score is
                           its leading number, chosen by the test.
    hashed(text)           a six-dimensional unit vector from a hash of the text.
    coarse_hashed(text)    a three-dimensional vector with coordinates from
                           {-1, 0, 1}, normalised, so that different texts often
                           score exactly alike (for ties).

`write_child_packages(folder)`: writes `torch` and `sentence_transformers`
packages into `folder`; a child process with `folder` first on its `PYTHONPATH`
imports these stand-ins instead of the real packages, with
`embed=leading_number` and the journal named by the environment variable
`TARVEX_STANDINS_JOURNAL` (none when unset).  Each package replaces itself in
`sys.modules` on import, so they cost nothing until the module asks for them.
"""

import contextlib
import hashlib
import json
import math
import os
import sys
import types
from typing import NamedTuple

JOURNAL_VARIABLE = "TARVEX_STANDINS_JOURNAL"
PACKAGES = ("sentence_transformers", "torch")


# ---------------------------------------------------------------------------
# Embeddings


def leading_number(text):
    """[x] when the text's first word is the number x; [1.0] otherwise."""
    try:
        return [float(text.split()[0])]
    except (IndexError, ValueError):
        return [1.0]


def hashed(text, coarse=False):
    """A unit vector computed from a hash of the text alone."""
    digest = hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=16).digest()
    if coarse:
        vector = [float(b % 3 - 1) for b in digest[:3]]
    else:
        vector = [int.from_bytes(digest[k : k + 2], "little") - 32768.0 for k in range(0, 12, 2)]
    norm = math.sqrt(sum(v * v for v in vector))
    return [v / norm for v in vector] if norm else vector


def coarse_hashed(text):
    return hashed(text, coarse=True)


# ---------------------------------------------------------------------------
# Calls and tensors


def _comparable_value(value):
    return (type(value), value)


class Call(NamedTuple):
    name: str
    args: tuple
    kwargs: dict
    result: object

    def comparable(self):
        return (
            self.name,
            tuple(_comparable_value(a) for a in self.args),
            [(k, _comparable_value(v)) for k, v in self.kwargs.items()],
        )


class Tensor:
    def __init__(self, rows, owner=None):
        self.rows, self.owner = rows, owner

    def _record(self, name, args, kwargs, result):
        if self.owner is not None:
            self.owner._record(name, args, kwargs, result)
        return result

    def __getitem__(self, index):
        return self._record("getitem", (index,), {}, Tensor(self.rows[index], self.owner))

    def cpu(self, *args, **kwargs):
        return self._record("cpu", args, kwargs, self)

    def tolist(self, *args, **kwargs):
        rows = [list(r) if isinstance(r, list) else r for r in self.rows] if isinstance(self.rows, list) else self.rows
        return self._record("tolist", args, kwargs, rows)

    def __eq__(self, other):
        return type(other) is Tensor and self.rows == other.rows

    __hash__ = None

    def __repr__(self):
        return f"Tensor({self.rows!r})"


def _product(matrix, vector):
    # math.sumprod rather than sum and zip: tests may rebind builtins while the stand-ins run.
    return [math.sumprod(row, vector) for row in matrix]


# ---------------------------------------------------------------------------
# The two packages


class StandIns:
    def __init__(self, embed=leading_number, *, scores=None, fail_with=None, record=True, journal=None):
        self.embed, self.fail_with, self.record, self.journal = embed, fail_with, record, journal
        self.calls = []
        stand_ins = self
        # With fixed scores, one matrix of one row serves every encode (its row is the query's vector).
        fixed = None if scores is None else (Tensor([list(scores)], self), Tensor(list(scores), self))

        class SentenceTransformer:
            def __init__(self, *args, **kwargs):
                self.name = args[0] if args else kwargs.get("model_name_or_path")
                stand_ins._record("construct", args, kwargs, self)
                if stand_ins.fail_with is not None:
                    raise stand_ins.fail_with

            def encode(self, sentences, *args, **kwargs):
                if fixed is None:
                    result = Tensor([stand_ins.embed(text) for text in sentences], stand_ins)
                else:
                    result = fixed[0]
                return stand_ins._record("encode", (sentences, *args), kwargs, result)

        def matmul(*args, **kwargs):
            if fixed is None:
                matrix, vector = args
                result = Tensor(_product(matrix.rows, vector.rows), stand_ins)
            else:
                result = fixed[1]
            return stand_ins._record("matmul", args, kwargs, result)

        self.sentence_transformers = types.ModuleType("sentence_transformers", "Stand-in model package.")
        self.sentence_transformers.SentenceTransformer = SentenceTransformer
        self.torch = types.ModuleType("torch", "Stand-in tensor package.")
        self.torch.matmul = matmul
        self.torch.Tensor = Tensor

    def _record(self, name, args, kwargs, result):
        if self.record:
            self.calls.append(Call(name, args, kwargs, result))
            if self.journal:
                entry = {"name": name, "args": list(args), "kwargs": kwargs}
                with open(self.journal, "a", encoding="utf-8") as stream:
                    stream.write(json.dumps(entry, default=repr) + "\n")
        return result

    def _named(self, name):
        return [call for call in self.calls if call.name == name]

    @property
    def built(self):
        return self._named("construct")

    @property
    def encoded(self):
        return [call.args[0] for call in self._named("encode")]

    @property
    def multiplied(self):
        return self._named("matmul")

    def take_calls(self):
        calls, self.calls = self.calls, []
        return calls

    def clear(self):
        del self.calls[:]

    def install(self, monkeypatch):
        for name in PACKAGES:
            monkeypatch.setitem(sys.modules, name, getattr(self, name))
        return self

    @contextlib.contextmanager
    def installed(self):
        saved = {name: sys.modules.get(name) for name in PACKAGES}
        sys.modules.update({name: getattr(self, name) for name in PACKAGES})
        try:
            yield self
        finally:
            for name, module in saved.items():
                if module is None:
                    sys.modules.pop(name, None)
                else:
                    sys.modules[name] = module


# ---------------------------------------------------------------------------
# The same stand-ins in a child process

_CHILD_PACKAGE = """\
# Written by the test suite: this package gives its place to the shared stand-ins.
import importlib.util
import sys

if "standins" not in sys.modules:
    _spec = importlib.util.spec_from_file_location("standins", {path!r})
    _module = importlib.util.module_from_spec(_spec)
    sys.modules["standins"] = _module
    _spec.loader.exec_module(_module)
sys.modules["standins"].take_place_of(__name__)
"""

_process_stand_ins = None


def take_place_of(name):
    """Make this process's stand-in the module `name` (called by a child package)."""
    global _process_stand_ins
    if _process_stand_ins is None:
        _process_stand_ins = StandIns(journal=os.environ.get(JOURNAL_VARIABLE) or None)
    sys.modules[name] = getattr(_process_stand_ins, name)


def write_child_packages(folder):
    for name in PACKAGES:
        (folder / name).mkdir(parents=True, exist_ok=True)
        (folder / name / "__init__.py").write_text(_CHILD_PACKAGE.format(path=os.path.abspath(__file__)))
    return folder

