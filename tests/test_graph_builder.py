"""The ONNX graph builder (tarvex.graph_builder) against torch's forward pass, what
it refuses, and how a graph in the cache is checked before use."""

import contextlib
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from tarvex import embedding, graph_builder, model_files, onnx_backend, onnx_graph
from tarvex.embedding import EmbeddingUnavailable, open_embedder

MODEL = embedding.DEFAULT_MODEL
TINY = {"model_type": "bert", "architectures": ["BertModel"], "hidden_act": "gelu",
        "position_embedding_type": "absolute", "hidden_size": 15, "num_hidden_layers": 2,
        "num_attention_heads": 5, "intermediate_size": 22, "layer_norm_eps": 1e-12,
        "max_position_embeddings": 32, "type_vocab_size": 2, "vocab_size": 50}


def prepare(cache, *, export, model=MODEL):
    return onnx_graph.prepare_graph(model_files.resolve_model(model, cache), cache, export=export)


def fault(graph, model=MODEL):
    return onnx_graph.graph_fault(graph, model_files.weight_files(model_files.locate_model(model)))


def run_graph(path, weights, ids, mask, types):
    session = onnx_backend.open_session(path, weights)
    feeds = {"input_ids": ids, "attention_mask": mask, "token_type_ids": types}
    return session.run(None, {item.name: feeds[item.name] for item in session.get_inputs()})[0], session


def random_batch(rng, config, batch, length):
    ids = rng.integers(0, config["vocab_size"], (batch, length), dtype=np.int64)
    lengths = rng.integers(1, length + 1, batch)
    mask = (np.arange(length)[None, :] < lengths[:, None]).astype(np.int64)
    types = rng.integers(0, config["type_vocab_size"], (batch, length), dtype=np.int64)
    return ids, mask, types


# --- agreement with torch ----------------------------------------------------------------


@pytest.mark.slow
@pytest.mark.parametrize("seed, changes", [
    (1, {}),
    (2, {"num_hidden_layers": 3, "num_attention_heads": 3, "hidden_size": 21, "type_vocab_size": 1}),
    (3, {"num_hidden_layers": 1, "num_attention_heads": 7, "hidden_size": 7, "intermediate_size": 9,
         "type_vocab_size": 3, "layer_norm_eps": 1e-5}),
    (4, {"num_attention_heads": 1, "hidden_size": 8, "type_vocab_size": 1, "max_position_embeddings": 40}),
])
def test_built_graph_computes_what_torch_computes(tmp_path, seed, changes):
    """Random BERT configurations and weights, saved as transformers saves them: the
    graph's token vectors are torch's last hidden state at every position."""
    torch = pytest.importorskip("torch")
    transformers = pytest.importorskip("transformers")
    config = {**TINY, **changes}
    torch.manual_seed(seed)
    model = transformers.BertModel(transformers.BertConfig(**config), add_pooling_layer=False).eval()
    with torch.no_grad():  # the initial LayerNorm weights (ones, zeros) would hide a swap
        for parameter in model.parameters():
            parameter.normal_(0.0, 0.5)
    model.save_pretrained(tmp_path / "model", safe_serialization=True)
    graph = tmp_path / "graph.onnx"
    weights = [tmp_path / "model" / "model.safetensors"]
    digest = graph_builder.build_graph(tmp_path / "model", graph, weights)
    assert digest == graph_builder.build_graph(tmp_path / "model", tmp_path / "again.onnx", weights)  # same bytes
    assert graph.stat().st_size < 100_000  # the weights stay in their file
    rng = np.random.default_rng(seed)
    for batch, length in ((1, 1), (3, 9), (2, config["max_position_embeddings"])):
        ids, mask, types = random_batch(rng, config, batch, length)
        got, session = run_graph(graph, weights, ids, mask, types)
        takes_types = config["type_vocab_size"] > 1
        assert [item.name for item in session.get_inputs()] == (
            ["input_ids", "attention_mask"] + (["token_type_ids"] if takes_types else []))
        arguments = {"input_ids": torch.from_numpy(ids), "attention_mask": torch.from_numpy(mask)}
        if takes_types:
            arguments["token_type_ids"] = torch.from_numpy(types)
        with torch.no_grad():
            expected = model(**arguments).last_hidden_state.numpy()
        assert got.shape == expected.shape == (batch, length, config["hidden_size"])
        assert np.abs(got - expected).max() < 1e-4


# --- what the builder refuses -------------------------------------------------------


def write_model(folder, config, *, drop=None, reshape=None):
    """A BERT model folder (config.json, random safetensors weights, the
    sentence-transformers files) made without torch."""
    from safetensors.numpy import save_file

    folder.mkdir(parents=True, exist_ok=True)
    (folder / "config.json").write_text(json.dumps(config))
    rng = np.random.default_rng(0)
    shapes = graph_builder.BertShape.read(TINY).tensors()
    tensors = {name: rng.normal(size=reshape if name == drop and reshape else shape).astype(np.float32)
               for name, shape in shapes.items() if name != drop or reshape}
    save_file(tensors, str(folder / "model.safetensors"))
    (folder / "modules.json").write_text(json.dumps([
        {"idx": 0, "name": "0", "path": "", "type": "sentence_transformers.models.Transformer"},
        {"idx": 1, "name": "1", "path": "1_Pooling", "type": "sentence_transformers.models.Pooling"}]))
    (folder / "sentence_bert_config.json").write_text('{"max_seq_length": 16, "do_lower_case": false}')
    (folder / "1_Pooling").mkdir(exist_ok=True)
    (folder / "1_Pooling" / "config.json").write_text('{"word_embedding_dimension": 15, "pooling_mode_mean_tokens": true}')
    return folder


@pytest.mark.parametrize("field, value", [
    ("model_type", "roberta"),
    ("architectures", ["DistilBertModel"]),
    ("hidden_act", "relu"),
    ("hidden_act", "gelu_new"),
    ("position_embedding_type", "relative_key"),
    ("is_decoder", True),
    ("add_cross_attention", True),
    ("num_attention_heads", 4),  # does not divide 15
    ("num_hidden_layers", 0),
    ("hidden_size", "15"),
    ("layer_norm_eps", None),
    ("type_vocab_size", True),
])
def test_unsupported_configurations_are_refused_naming_the_field(tmp_path, field, value):
    folder = write_model(tmp_path / "model", {**TINY, field: value})
    cache = tmp_path / "cache"
    with pytest.raises(EmbeddingUnavailable) as caught:
        open_embedder(str(folder), "onnx", cache)
    message = str(caught.value)
    assert "\n" not in message and f"config.json: {field} is {value!r}" in message
    # Nothing half-written left (the lock file of the build's turn stays, empty).
    assert not (cache / onnx_graph.GRAPH_FOLDER).exists() or not [p for p in (cache / onnx_graph.GRAPH_FOLDER).iterdir() if p.suffix != ".lock"]


@pytest.mark.parametrize("drop, reshape, message", [
    ("encoder.layer.1.output.dense.bias", None, "no tensor encoder.layer.1.output.dense.bias"),
    ("encoder.layer.0.attention.self.key.weight", (15, 14), "encoder.layer.0.attention.self.key.weight is float32 (15, 14)"),
])
def test_weights_that_do_not_fit_the_configuration_are_refused(tmp_path, drop, reshape, message):
    folder = write_model(tmp_path / "model", TINY, drop=drop, reshape=reshape)
    with pytest.raises(graph_builder.UnsupportedModel, match=message.replace("(", r"\(").replace(")", r"\)")):
        graph_builder.graph_bytes(folder)
    (folder / "model.safetensors").write_bytes(b"\xff" * 100)
    with pytest.raises(graph_builder.UnsupportedModel, match="cannot read the weights"):
        graph_builder.graph_bytes(folder)
    (folder / "model.safetensors").unlink()
    with pytest.raises(graph_builder.UnsupportedModel, match="reads safetensors weights"):
        graph_builder.graph_bytes(folder)


def test_the_graph_points_into_the_weight_file_and_is_guarded_with_it(tmp_path):
    """float32 tensors stay in the weight file, the graph holding only their places; one stored as
    float16 is cast into the graph; both graphs compute the same; and weights that change after
    the build make the graph a fault."""
    import onnx
    from safetensors.numpy import load_file, save_file

    cast = "encoder.layer.0.intermediate.dense.weight"
    folders = {kind: write_model(tmp_path / kind, TINY) for kind in ("float32", "float16")}
    tensors = load_file(folders["float16"] / "model.safetensors")
    tensors[cast] = tensors[cast].astype(np.float16)
    save_file(tensors, str(folders["float16"] / "model.safetensors"))
    tensors[cast] = tensors[cast].astype(np.float32)  # the same values, stored as float32
    save_file(tensors, str(folders["float32"] / "model.safetensors"))
    cache = tmp_path / "cache"
    batch = random_batch(np.random.default_rng(5), TINY, 3, 9)
    vectors = {}
    for kind, folder in folders.items():
        _, graph, weights = prepare(cache, export=True, model=str(folder))
        proto = onnx.load(str(graph), load_external_data=False)
        embedded = {t.name for t in proto.graph.initializer if t.data_location != onnx.TensorProto.EXTERNAL}
        stored = set(graph_builder.BertShape.read(TINY).tensors())
        assert embedded & stored == ({cast} if kind == "float16" else set())
        vectors[kind] = run_graph(graph, weights, *batch)[0]
    assert np.array_equal(vectors["float32"], vectors["float16"])

    weights = folders["float32"] / "model.safetensors"
    _, graph, _ = prepare(cache, export=False, model=str(folders["float32"]))
    data = bytearray(weights.read_bytes())
    data[-8:] = bytes(8)  # the last weights zeroed, the size kept
    weights.write_bytes(bytes(data))
    assert fault(graph, str(folders["float32"])) == "built from other weights (model.safetensors: its content differs)"


# --- the graph in the cache is the one that was built ---------------------------------------


def swap_halves(graph, initializer="split_heads"):
    """Swap the halves of one constant inside the graph file, in place: the
    file keeps its size, inode and modification time and still parses."""
    import onnx

    tensor = next(t for t in onnx.load(str(graph), load_external_data=False).graph.initializer
                  if t.name == initializer)
    data = tensor.raw_data
    status = graph.stat()
    content = graph.read_bytes()
    start = content.index(data)
    half = len(data) // 2
    with graph.open("r+b") as stream:
        stream.seek(start)
        stream.write(data[half:] + data[:half])
    os.utime(graph, ns=(status.st_atime_ns, status.st_mtime_ns))
    onnx.load(str(graph), load_external_data=False)  # still parses


@pytest.fixture
def built(tmp_path):
    """A cache folder holding the default model's built graph, and its path."""
    cache = tmp_path / "cache"
    _, graph, _ = prepare(cache, export=True)
    return cache, graph


def self_match(index, text):
    """The best record of an index for a query that is a stored text itself."""
    best = index.rank(text, 1)[0]
    return Path(best["path"]).name, best["score"]


def test_a_changed_graph_is_built_again_and_never_embeds(tmp_path, built):
    from tarvex import DescriptionIndex

    cache, graph = built
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    texts = {"vans.txt": "deliver parcels to customers with a fleet of vans",
             "nurses.txt": "schedule nurses across the shifts of a hospital week",
             "glass.txt": "cut large glass sheets into ordered pieces with little waste"}
    for name, text in list(texts.items())[:2]:
        (corpus / name).write_text(text)
    with DescriptionIndex(corpus, MODEL, backend="onnx", cache_dir=cache) as index:
        index.refresh()
        good = open_embedder(MODEL, "onnx", cache).encode(list(texts.values()))
    swap_halves(graph)
    assert fault(graph) == "not the graph that was built (its content differs)"
    with pytest.raises(EmbeddingUnavailable, match="is not the graph that was built .* build it again"):
        prepare(cache, export=False)

    (corpus / "glass.txt").write_text(texts["glass.txt"])  # added while the graph is damaged
    with DescriptionIndex(corpus, MODEL, backend="auto", cache_dir=cache) as index:
        index.refresh()  # auto builds the graph again rather than use it or fall back to torch
        assert index._embedder.identity[2] == "onnx"
        assert self_match(index, texts["glass.txt"]) == ("glass.txt", pytest.approx(1.0, abs=1e-5))
    assert fault(graph) is None
    again = open_embedder(MODEL, "auto", cache)
    assert again.identity[2] == "onnx"
    assert np.abs(again.encode(list(texts.values())) - good).max() < 1e-6


def test_a_junk_or_unrecorded_graph_is_repaired_by_the_set_up_command(built, capsys):
    cache, graph = built
    record = graph.with_name(graph.name + ".json")
    built_bytes = graph.read_bytes()
    from tarvex import cli

    assert cli.main(["graph", "--cache-dir", str(cache)]) == 0
    assert capsys.readouterr().out == f"the ONNX graph of {MODEL} is {graph}, as built and checked\n"

    graph.write_bytes(os.urandom(1000))  # does not parse at all
    assert open_embedder(MODEL, "auto", cache).identity[2] == "onnx"  # built again, not refused
    assert graph.read_bytes() == built_bytes

    graph.write_bytes(os.urandom(1000))
    assert cli.main(["graph", "--cache-dir", str(cache)]) == 0
    assert capsys.readouterr().out == (
        f"the ONNX graph of {MODEL} is not the graph that was built (its size differs); "
        f"building it again; built {graph}\n")
    assert graph.read_bytes() == built_bytes and fault(graph) is None

    record.unlink()  # a cache from before graphs were recorded
    assert fault(graph) == "not recorded as built and checked"
    assert cli.main(["graph", "--cache-dir", str(cache)]) == 0
    assert "not recorded as built and checked; building it again" in capsys.readouterr().out
    assert fault(graph) is None


def test_a_copied_graph_is_checked_by_its_content_once(built):
    cache, graph = built
    record = graph.with_name(graph.name + ".json")
    copy = graph.with_name("copy")
    shutil.copy(graph, copy)
    os.replace(copy, graph)  # the same bytes under another inode and times
    before = json.loads(record.read_text())
    assert fault(graph) is None
    after = json.loads(record.read_text())
    assert after["sha256"] == before["sha256"] and after["inode"] == graph.stat().st_ino != before["inode"]
    record.write_text('{"sha256": 5}')  # a record that is not one
    assert fault(graph) == "not recorded as built and checked"


def test_a_graph_changed_while_it_loads_is_not_used(built, monkeypatch):
    cache, graph = built

    class Interrupted(onnx_backend.OnnxEmbedder):
        def __init__(self, *args):
            super().__init__(*args)
            swap_halves(graph)

    monkeypatch.setattr(onnx_backend, "OnnxEmbedder", Interrupted)
    with pytest.raises(EmbeddingUnavailable, match="changed while it was loaded: it is not the graph that was built"):
        open_embedder(MODEL, "onnx", cache)


def test_commands_say_why_they_build(tmp_path, built, capsys):
    from tarvex import cli

    cache, graph = built
    graph.write_bytes(b"junk")
    assert cli.main(["search", "--cache-dir", str(cache), "--top-k", "1", "schedule", "nurses"]) == 0
    captured = capsys.readouterr()
    assert captured.err == (f"tarvex: the ONNX graph of {MODEL} is not the graph that was built (its size "
                            "differs); building it again\n")
    assert captured.out.startswith(" 1. ")
    graph.unlink()
    assert cli.main(["index", "--cache-dir", str(cache), "--backend", "onnx"]) == 0
    captured = capsys.readouterr()
    assert captured.err == f"tarvex: building the ONNX graph of {MODEL} (once for these weights)\n"
    assert "; 0 embedded" in captured.out  # the same weights: the vectors stored by the search stand


# --- cache files that are not what they should be -----------------------------------------


@contextlib.contextmanager
def within(seconds):
    """Fail, rather than hang, when the block takes longer (a pipe waited on, a device read forever)."""
    def expired(*_):
        raise TimeoutError(f"still running after {seconds} s")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_records_and_graphs_that_are_no_regular_file_or_no_json_are_damage(built):
    cache, graph = built
    record = graph.with_name(graph.name + ".json")
    kept = record.read_bytes()
    digests = cache / model_files.DIGEST_CACHE_FILE
    folder = model_files.locate_model(MODEL)
    digest = model_files.weights_digest(folder, cache)
    with within(20):
        for junk in (b"[" * 100_000, b'{"a":' * 50_000, b"\xff\xfe", os.urandom(64)):
            record.write_bytes(junk)
            assert fault(graph) == "not recorded as built and checked"
            digests.write_bytes(junk)
            assert model_files.weights_digest(folder, cache) == digest  # hashed again, not a traceback
        record.write_bytes(kept)
        assert fault(graph) is None
        aside = graph.with_name("aside")
        os.replace(graph, aside)
        graph.symlink_to("/dev/zero")
        assert fault(graph) == "not a regular file"
        graph.unlink()
        graph.symlink_to(aside)  # a link to the very graph is no graph of the cache either
        assert fault(graph) == "not a regular file"
        graph.unlink()
        os.mkfifo(graph)
        assert fault(graph) == "not a regular file"
        with pytest.raises(EmbeddingUnavailable, match="not a regular file; build it again"):
            prepare(cache, export=False)
        record.unlink()
        os.mkfifo(record)
        assert fault(graph) == "not a regular file"
    _, again, _ = prepare(cache, export=True)  # built again in place of the pipe
    assert again == graph and fault(graph) is None and graph.read_bytes() == aside.read_bytes()


def test_temporaries_are_swept_once_no_live_writer_holds_them(tmp_path):
    from tarvex import _files

    old = time.time() - 3600
    stale = tmp_path / ".graph.onnx.a1.tmp"
    stale.write_bytes(b"half a graph")
    held = tmp_path / ".graph.onnx.b2.tmp"
    held.write_bytes(b"being written")
    fresh = tmp_path / ".graph.onnx.c3.tmp"
    fresh.write_bytes(b"just made")
    linked = tmp_path / ".graph.onnx.d4.tmp"
    linked.symlink_to(tmp_path / "elsewhere")
    kept = tmp_path / "graph.onnx"
    kept.write_bytes(b"a graph")
    for path in (stale, held, kept):
        os.utime(path, (old, old))
    writer = os.open(held, os.O_RDONLY)
    try:
        fcntl.flock(writer, fcntl.LOCK_EX)
        assert _files.sweep_temporaries(tmp_path) == 2
    finally:
        os.close(writer)
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted([held.name, fresh.name, kept.name])
    assert not (tmp_path / "elsewhere").exists()


CONCURRENT_BUILD = """
import sys, time
from pathlib import Path
from tarvex import embedding, graph_builder, model_files, onnx_backend, onnx_graph

build = graph_builder.build_graph
def slow_build(folder, target, weights):
    time.sleep(1.0)  # long enough for every process to find the graph missing
    return build(folder, target, weights)
graph_builder.build_graph = slow_build
start = float(sys.argv[3])
while time.time() < start:
    time.sleep(0.001)
cache = Path(sys.argv[2])
onnx_graph.prepare_graph(model_files.resolve_model(sys.argv[1], cache), cache, export=True,
                         on_build=lambda why: print("built", flush=True))
"""


def test_processes_that_miss_a_graph_at_once_build_it_once(tmp_path):
    folder = write_model(tmp_path / "model", TINY)
    start = time.time() + 2.0
    children = [subprocess.Popen([sys.executable, "-c", CONCURRENT_BUILD, str(folder), str(tmp_path / "cache"),
                                  str(start)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for _ in range(3)]
    finished = [child.communicate(timeout=300) for child in children]
    assert [child.returncode for child in children] == [0, 0, 0], finished
    assert sum(out.count("built") for out, _ in finished) == 1


@pytest.mark.slow
def test_a_terminated_build_leaves_no_temporary(tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    (corpus / "a.txt").write_text("deliver parcels with vans")
    cache = tmp_path / "cache"
    command = [sys.executable, "-m", "tarvex.cli", "index", str(corpus), "--backend", "onnx", "--cache-dir", str(cache)]
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def temporaries():
        return list((cache / onnx_graph.GRAPH_FOLDER).glob(".*.tmp")) if (cache / onnx_graph.GRAPH_FOLDER).is_dir() else []

    try:
        deadline = time.monotonic() + 240
        while not temporaries():
            assert child.poll() is None and time.monotonic() < deadline, "no temporary was seen"
            time.sleep(0.01)
        child.send_signal(signal.SIGTERM)
        assert child.wait(timeout=60) == -signal.SIGTERM
    finally:
        child.kill()
    assert not temporaries()


@pytest.mark.parametrize("name", ["config.json", "modules.json", "sentence_bert_config.json"])
def test_a_model_file_nested_too_deep_is_one_line(tmp_path, name):
    folder = write_model(tmp_path / "model", TINY)
    (folder / name).write_text("[" * 100_000)
    with pytest.raises(EmbeddingUnavailable) as caught:
        open_embedder(str(folder), "onnx", tmp_path / "cache")
    assert "\n" not in str(caught.value) and name in str(caught.value)
