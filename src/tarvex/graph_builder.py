"""Build the ONNX graph of a BERT-family sentence-transformer from its files.

The graph maps ``input_ids``, ``attention_mask`` (and ``token_type_ids`` when
the model has more than one token type) to the token vectors
``token_embeddings``; pooling and normalisation stay outside it, in the ONNX
backend, where they follow the model's configuration files.  Batch and
sequence axes are dynamic.

It is built with ``onnx``'s own helpers straight from ``config.json`` and the
safetensors weights, so neither torch nor transformers is needed or imported.
The graph holds no copy of the weights: each float32 tensor is external data
that names its place (file, offset, length) in the model's own safetensors
file, and the backend hands ONNX Runtime that file when it opens the graph
(:func:`tarvex.onnx_backend.open_session`); the graph itself is a few hundred
kilobytes.  The same files always give the same bytes.  A configuration the
builder does not cover is refused with an error naming the field.  The graph
is written next to its final name, run once with ONNX Runtime as a check, and
only then renamed into place.
"""

from __future__ import annotations

import hashlib
import json
import math
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

OPSET = 17  # the first with LayerNormalization
# ONNX Runtime's own operators (FusedMatMul): the graph is made for it alone.
RUNTIME_DOMAIN = "com.microsoft"
WEIGHTS_FILE = "model.safetensors"
# Checkpoints saved from a task model keep the encoder under this prefix.
ENCODER_PREFIX = "bert."


class UnsupportedModel(ValueError):
    """The model's files describe something the builder does not build."""


# --- the model's configuration ------------------------------------------------------


@dataclass(frozen=True)
class BertShape:
    """The fields of ``config.json`` that a BERT encoder's graph depends on."""

    hidden: int
    layers: int
    heads: int
    intermediate: int
    epsilon: float
    positions: int
    types: int
    vocabulary: int

    @classmethod
    def read(cls, config: Any) -> BertShape:
        if not isinstance(config, dict):
            raise UnsupportedModel("config.json does not hold an object")

        def field(name: str, default: Any = None) -> Any:
            return config.get(name, default)

        def refuse(name: str, expected: str) -> UnsupportedModel:
            return UnsupportedModel(f"config.json: {name} is {field(name)!r}; the graph builder covers {expected}")

        if field("model_type") != "bert":
            raise refuse("model_type", "'bert' only")
        architectures = field("architectures", ["BertModel"])
        if not isinstance(architectures, list) or not all(
                isinstance(name, str) and name.startswith("Bert") for name in architectures):
            raise refuse("architectures", "BERT models only")
        if field("hidden_act") != "gelu":
            raise refuse("hidden_act", "'gelu' only")
        if field("position_embedding_type", "absolute") != "absolute":
            raise refuse("position_embedding_type", "'absolute' only")
        for flag in ("is_decoder", "add_cross_attention"):
            if field(flag, False) is not False:
                raise refuse(flag, "encoders only (false)")

        def count(name: str) -> int:
            value = field(name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise refuse(name, "a positive whole number")
            return value

        epsilon = field("layer_norm_eps")
        if isinstance(epsilon, bool) or not isinstance(epsilon, (int, float)) or not 0 < epsilon < 1:
            raise refuse("layer_norm_eps", "a number between 0 and 1")
        shape = cls(hidden=count("hidden_size"), layers=count("num_hidden_layers"),
                    heads=count("num_attention_heads"), intermediate=count("intermediate_size"),
                    epsilon=float(epsilon), positions=count("max_position_embeddings"),
                    types=count("type_vocab_size"), vocabulary=count("vocab_size"))
        if shape.hidden % shape.heads:
            raise refuse("num_attention_heads", f"a divisor of hidden_size {shape.hidden}")
        return shape

    def tensors(self) -> dict[str, tuple[int, ...]]:
        """The encoder's weights by name (without prefix), with their shapes."""
        h, i = self.hidden, self.intermediate
        shapes: dict[str, tuple[int, ...]] = {
            "embeddings.word_embeddings.weight": (self.vocabulary, h),
            "embeddings.position_embeddings.weight": (self.positions, h),
            "embeddings.token_type_embeddings.weight": (self.types, h),
            "embeddings.LayerNorm.weight": (h,),
            "embeddings.LayerNorm.bias": (h,),
        }
        for n in range(self.layers):
            layer = f"encoder.layer.{n}."
            for name in ("attention.self.query", "attention.self.key", "attention.self.value", "attention.output.dense"):
                shapes[layer + name + ".weight"], shapes[layer + name + ".bias"] = (h, h), (h,)
            shapes[layer + "intermediate.dense.weight"], shapes[layer + "intermediate.dense.bias"] = (i, h), (i,)
            shapes[layer + "output.dense.weight"], shapes[layer + "output.dense.bias"] = (h, i), (h,)
            for name in ("attention.output.LayerNorm", "output.LayerNorm"):
                shapes[layer + name + ".weight"], shapes[layer + name + ".bias"] = (h,), (h,)
        return shapes


def read_shape(folder: Path) -> BertShape:
    try:
        config = json.loads((folder / "config.json").read_text(encoding="utf-8"))
    except (OSError, ValueError, RecursionError) as error:
        raise UnsupportedModel(f"cannot read {folder / 'config.json'}: {error}") from None
    return BertShape.read(config)


@dataclass(frozen=True)
class Place:
    """Where a float32 tensor's bytes lie in a weight file: the graph points there."""

    file: str  # the file's name, as the graph's external data names it
    offset: int
    length: int


@dataclass(frozen=True)
class Weights:
    """The encoder's weights as float32 arrays, each checked against the configuration,
    and the place in its file of each that is stored as float32 (the others, cast,
    go into the graph itself)."""

    arrays: dict[str, np.ndarray]
    places: dict[str, Place]


# The largest safetensors header read: far above what any encoder's holds.
HEADER_LIMIT = 64 << 20


def _places(path: Path) -> dict[str, Place]:
    """The float32 tensors of a safetensors file and where their bytes lie: the file
    starts with the header's length (8 bytes, little-endian), then the header, a JSON
    object naming each tensor's dtype and data offsets, counted from the header's end."""
    with open(path, "rb") as file:
        (length,) = struct.unpack("<Q", file.read(8))
        if length > HEADER_LIMIT:
            raise ValueError(f"a header of {length} bytes")
        header = json.loads(file.read(length))
    start = 8 + length
    places = {}
    for name, entry in header.items():
        if name != "__metadata__" and entry.get("dtype") == "F32":
            begin, end = entry["data_offsets"]
            places[name] = Place(path.name, start + begin, end - begin)
    return places


def read_weights(folder: Path, shape: BertShape) -> Weights:
    from safetensors.numpy import load_file

    files = sorted(folder.glob("*.safetensors"))
    if not files:
        raise UnsupportedModel(f"no {WEIGHTS_FILE} in {folder}; the graph builder reads safetensors weights")
    stored: dict[str, np.ndarray] = {}
    places: dict[str, Place] = {}
    for path in files:
        try:
            stored.update(load_file(path))
            places.update(_places(path))
        except Exception as error:  # a damaged file, or a dtype numpy lacks
            raise UnsupportedModel(f"cannot read the weights {path}: {error}") from None
    prefix = ENCODER_PREFIX if ENCODER_PREFIX + "embeddings.word_embeddings.weight" in stored else ""
    weights = Weights({}, {})
    for name, expected in shape.tensors().items():
        array = stored.get(prefix + name)
        if array is None:
            raise UnsupportedModel(f"the weights in {folder} have no tensor {prefix + name}")
        if array.shape != expected or array.dtype.kind != "f":
            raise UnsupportedModel(f"the tensor {prefix + name} is {array.dtype} {array.shape}; "
                                   f"config.json asks for float {expected}")
        weights.arrays[name] = array.astype(np.float32, copy=False)
        if (place := places.get(prefix + name)) is not None and place.length == array.nbytes:
            weights.places[name] = place
    return weights


# --- the graph -------------------------------------------------------------------


class _Nodes:
    """Nodes and initializers of a graph under construction; each call adds one
    node and returns the name of its output."""

    def __init__(self) -> None:
        self.nodes: list[Any] = []
        self.initializers: list[Any] = []

    def constant(self, name: str, value: Any, dtype: Any = np.float32) -> str:
        from onnx import numpy_helper

        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(value, dtype=dtype), name))
        return name

    def stored(self, name: str, dims: tuple[int, ...], place: Place) -> str:
        """An initializer whose bytes stay in the weight file, at ``place``."""
        from onnx import TensorProto

        tensor = TensorProto(name=name, data_type=TensorProto.FLOAT, dims=dims, data_location=TensorProto.EXTERNAL)
        for key, value in (("location", place.file), ("offset", str(place.offset)), ("length", str(place.length))):
            entry = tensor.external_data.add()
            entry.key, entry.value = key, value
        self.initializers.append(tensor)
        return name

    def __call__(self, op: str, *inputs: str, output: str | None = None, **attributes: Any) -> str:
        from onnx import helper

        output = output or f"{op}_{len(self.nodes)}"
        self.nodes.append(helper.make_node(op, list(inputs), [output], name=f"n{len(self.nodes)}", **attributes))
        return output


def graph_model(shape: BertShape, weights: Weights) -> Any:
    """The ONNX model computing BERT's last hidden state, as transformers' BertModel does."""
    from onnx import TensorProto, helper

    g = _Nodes()
    heads, width = shape.heads, shape.hidden // shape.heads
    one, zero_i = g.constant("one", 1.0), g.constant("zero_i", [0], np.int64)
    split_heads = g.constant("split_heads", [0, 0, heads, width], np.int64)
    join_heads = g.constant("join_heads", [0, 0, shape.hidden], np.int64)

    def weight(name: str) -> str:
        place = weights.places.get(name)
        if place is None:
            return g.constant(name, weights.arrays[name])
        return g.stored(name, weights.arrays[name].shape, place)

    def dense(x: str, name: str) -> str:
        # x @ W^T + b with W as stored: ONNX Runtime's FusedMatMul reads it transposed, so no
        # transposed copy is made (and the products are the very ones of a MatMul by W^T)
        product = g("FusedMatMul", x, weight(name + ".weight"), domain=RUNTIME_DOMAIN, transB=1)
        return g("Add", product, weight(name + ".bias"))

    def layer_norm(x: str, name: str, output: str | None = None) -> str:
        return g("LayerNormalization", x, weight(name + ".weight"), weight(name + ".bias"),
                 axis=-1, epsilon=shape.epsilon, output=output)

    # Embeddings: word + token type + absolute position, normalised.
    ids = "input_ids"
    x = g("Gather", weight("embeddings.word_embeddings.weight"), ids)
    length = g("Shape", ids, start=1, end=2)  # [sequence]
    positions = g("Slice", weight("embeddings.position_embeddings.weight"), zero_i, length, zero_i)  # rows 0..sequence-1
    x = g("Add", x, positions)
    types = "embeddings.token_type_embeddings.weight"
    if shape.types > 1:
        x = g("Add", x, g("Gather", weight(types), "token_type_ids"))
    else:  # the only token type: every token adds its row, and the graph takes no token types
        x = g("Add", x, weight(types))  # (1, hidden) broadcast over batch and sequence
    x = layer_norm(x, "embeddings.LayerNorm")

    # Padding keys get the lowest float added to their attention scores: (batch, 1, 1, keys).
    mask = g("Cast", "attention_mask", to=TensorProto.FLOAT)
    lowest = g.constant("lowest", np.finfo(np.float32).min)
    bias = g("Unsqueeze", g("Mul", g("Sub", one, mask), lowest), g.constant("head_and_query_axes", [1, 2], np.int64))
    scale = g.constant("head_scale", math.sqrt(width))
    root_half, half = g.constant("sqrt_2", math.sqrt(2.0)), g.constant("half", 0.5)

    for n in range(shape.layers):
        layer = f"encoder.layer.{n}."

        def by_head(projected: str, perm: list[int]) -> str:
            return g("Transpose", g("Reshape", projected, split_heads), perm=perm)

        query = by_head(dense(x, layer + "attention.self.query"), [0, 2, 1, 3])  # (batch, head, token, width)
        keys = by_head(dense(x, layer + "attention.self.key"), [0, 2, 3, 1])  # (batch, head, width, token)
        values = by_head(dense(x, layer + "attention.self.value"), [0, 2, 1, 3])
        scores = g("Add", g("Div", g("MatMul", query, keys), scale), bias)
        context = g("MatMul", g("Softmax", scores, axis=-1), values)
        context = g("Reshape", g("Transpose", context, perm=[0, 2, 1, 3]), join_heads)
        x = layer_norm(g("Add", dense(context, layer + "attention.output.dense"), x), layer + "attention.output.LayerNorm")
        inner = dense(x, layer + "intermediate.dense")
        # gelu(u) = u/2 (1 + erf(u / sqrt 2)), the exact form BERT's "gelu" names
        inner = g("Mul", g("Mul", inner, half), g("Add", g("Erf", g("Div", inner, root_half)), one))
        last = n == shape.layers - 1
        x = layer_norm(g("Add", dense(inner, layer + "output.dense"), x), layer + "output.LayerNorm",
                       output="token_embeddings" if last else None)

    names = ["input_ids", "attention_mask"] + (["token_type_ids"] if shape.types > 1 else [])
    inputs = [helper.make_tensor_value_info(name, TensorProto.INT64, ["batch", "sequence"]) for name in names]
    output = helper.make_tensor_value_info("token_embeddings", TensorProto.FLOAT, ["batch", "sequence", shape.hidden])
    graph = helper.make_graph(g.nodes, "token_embeddings", inputs, [output], initializer=g.initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET), helper.make_opsetid(RUNTIME_DOMAIN, 1)],
                              producer_name="tarvex")
    model.ir_version = 8  # what ONNX Runtime of several years reads
    return model


def check_graph(path: Path, shape: BertShape, weight_files: list[Path]) -> None:
    """Run the graph on two sample batches of different shapes: the inputs and the
    output shape must be as promised and every vector finite."""
    from tarvex.onnx_backend import open_session

    session = open_session(path, weight_files)
    names = [item.name for item in session.get_inputs()]
    expected = ["input_ids", "attention_mask"] + (["token_type_ids"] if shape.types > 1 else [])
    if names != expected:
        raise RuntimeError(f"the built graph takes {names}, not {expected}")
    for batch, length in ((2, 7), (1, 3)):
        ids = (np.arange(batch * length, dtype=np.int64).reshape(batch, length) * 7919) % shape.vocabulary
        mask = np.ones_like(ids)
        mask[0, length // 2 + 1:] = 0  # padding at the end of the first text
        feeds = {"input_ids": ids, "attention_mask": mask,
                 "token_type_ids": np.tile(np.arange(length, dtype=np.int64) % shape.types, (batch, 1))}
        (vectors,) = session.run(None, {name: feeds[name] for name in names})
        if vectors.shape != (batch, length, shape.hidden):
            raise RuntimeError(f"the built graph gives token vectors of shape {vectors.shape} "
                               f"for a batch of {batch} x {length}")
        if not np.isfinite(vectors).all():
            raise RuntimeError("the built graph gives token vectors that are not finite")


def graph_bytes(folder: Path) -> tuple[bytes, BertShape]:
    """The serialised graph of the model in ``folder``, and its shape."""
    shape = read_shape(folder)
    model = graph_model(shape, read_weights(folder, shape))
    return model.SerializeToString(), shape


def build_graph(folder: Path, target: Path, weight_files: list[Path]) -> str:
    """Build the graph of the model in ``folder`` into ``target`` (written beside it,
    checked with ``weight_files``, renamed into place); returns the SHA-256 of the graph file."""
    from tarvex._files import write_atomically

    data, shape = graph_bytes(folder)
    write_atomically(target, data, check=lambda path: check_graph(path, shape, weight_files))
    return hashlib.sha256(data).hexdigest()
