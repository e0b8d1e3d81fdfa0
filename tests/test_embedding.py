"""The embedding backends: both with the real model on the shipped corpus, the
ONNX export, finding the model's files, and the errors of open_embedder."""

import hashlib
import json
import logging
import os
from pathlib import Path

import numpy as np
import pytest
from conftest import link_graph
from hypothesis import given, settings, strategies as st

from tarvex import embedding, model_files, onnx_backend, onnx_graph
from tarvex.embedding import EmbeddingUnavailable, open_embedder

MODEL = embedding.DEFAULT_MODEL
QUERIES = [
    "deliver parcels to customers with a fleet of vans",
    "schedule nurses across shifts",
    "cut large glass sheets into ordered pieces with little waste",
    "where to build new warehouses",
]
# Largest difference between the two backends' vectors or scores taken as agreement
# (measured on the shipped corpus: about 2e-7).
BACKEND_TOLERANCE = 1e-6


@pytest.fixture(scope="module")
def onnx_cache(tmp_path_factory):
    return link_graph(tmp_path_factory.mktemp("cache"))


@pytest.fixture(scope="module")
def shipped_texts():
    from tarvex import rag_helper

    root = Path(rag_helper.__file__).parent / "zolt_models"
    texts = [rag_helper._read_text(path) for path in rag_helper._iter_description_files(root)]
    return [text for text in texts if text]


@pytest.fixture(scope="module")
def onnx_embedder(onnx_cache):
    return open_embedder(MODEL, "onnx", onnx_cache)


@pytest.fixture(scope="module")
def embedders(onnx_cache, onnx_embedder):
    return {"torch": open_embedder(MODEL, "torch", onnx_cache), "onnx": onnx_embedder}


@pytest.mark.slow
def test_backends_agree_on_the_shipped_corpus(embedders, shipped_texts):
    weights = model_files.locate_model(MODEL) / "model.safetensors"
    digest = hashlib.sha256(weights.read_bytes()).hexdigest()
    vectors = {}
    for name, embedder in embedders.items():
        assert embedder.identity == (MODEL, digest, name)
        assert embedder.dimension == 384
        texts = embedder.encode(shipped_texts)
        queries = embedder.encode(QUERIES)
        for block in (texts, queries):
            assert block.dtype == np.float32 and block.flags["C_CONTIGUOUS"]
            np.testing.assert_allclose(np.linalg.norm(block, axis=1), 1.0, atol=1e-6)
        assert texts.shape == (len(shipped_texts), 384)
        vectors[name] = (texts, queries)
    (torch_texts, torch_queries), (onnx_texts, onnx_queries) = vectors["torch"], vectors["onnx"]
    assert np.abs(onnx_texts - torch_texts).max() < BACKEND_TOLERANCE
    assert np.abs(onnx_queries - torch_queries).max() < BACKEND_TOLERANCE
    assert np.abs(onnx_queries @ onnx_texts.T - torch_queries @ torch_texts.T).max() < BACKEND_TOLERANCE
    assert embedders["onnx"].encode([]).shape == (0, 384)


def test_onnx_vectors_do_not_depend_on_the_batch(onnx_embedder, shipped_texts):
    """Each text alone, and all of them in another order (other padding, other
    batches), give the same vectors: padding is masked out of the pooling and
    the rows come back in the order given."""
    onnx = onnx_embedder
    texts = shipped_texts[:12] + ["", "   short   ", "x" * 3000]
    together = onnx.encode(texts[::-1])[::-1]
    alone = np.vstack([onnx.encode([text]) for text in texts])
    assert np.abs(together - alone).max() < 1e-5


def test_onnx_runs_each_batch_as_wide_as_its_longest_text(onnx_embedder, monkeypatch):
    """No padding beyond the batch's own longest text (a model's tokenizer file may ask
    for a fixed width, which would make a short query cost as much as a long text)."""
    widths = []

    class Recording:
        def __init__(self, session):
            self.session = session

        def run(self, outputs, feeds):
            widths.append(feeds["input_ids"].shape)
            return self.session.run(outputs, feeds)

    monkeypatch.setattr(onnx_embedder, "session", Recording(onnx_embedder.session))
    alone = onnx_embedder.encode(["vans"])
    assert widths == [(1, 3)]  # [CLS] vans [SEP]
    widths.clear()
    together = onnx_embedder.encode(["vans", "a fleet of vans"])
    assert widths == [(2, 6)]
    assert np.abs(together[0] - alone[0]).max() < 1e-5


@settings(max_examples=200, deadline=None)
@given(lengths=st.lists(st.integers(1, 300), max_size=80), max_texts=st.integers(1, 40),
       max_tokens=st.integers(1, 3000))
def test_token_batches_cover_every_text_once_within_both_limits(lengths, max_texts, max_tokens):
    batches = onnx_backend.token_batches(lengths, max_texts, max_tokens)
    flat = [i for batch in batches for i in batch]
    assert sorted(flat) == list(range(len(lengths)))
    assert [lengths[i] for i in flat] == sorted(lengths, reverse=True)  # longest first: little padding
    for batch in batches:
        assert 1 <= len(batch) <= max_texts
        assert len(batch) == 1 or len(batch) * lengths[batch[0]] <= max_tokens
    # Greedy: a batch is cut only when the next text would break a limit.
    for batch, following in zip(batches, batches[1:]):
        assert len(batch) == max_texts or (len(batch) + 1) * lengths[batch[0]] > max_tokens


def boundary_texts():
    """Texts on both sides of the 256 tokens the model reads ("word" is one token, and the
    tokenizer adds two), some with the spaces and capitals the model strips and lowers."""
    return [" ".join(["word"] * n) for n in range(250, 259)] + [
        "  " + " ".join(["Word"] * 254) + " \n", " ".join(["WORD"] * 255), "", "short", "x" * 3000]


def tokens_without_truncation(texts):
    """Oracle: the tokens of each text as the model prepares it, counted with truncation off."""
    from tokenizers import Tokenizer

    tokenizer = Tokenizer.from_file(str(model_files.locate_model(MODEL) / "tokenizer.json"))
    tokenizer.no_truncation()
    tokenizer.no_padding()
    return [len(tokenizer.encode(text.strip().lower()).ids) for text in texts]


def test_onnx_tells_which_texts_it_cuts(onnx_embedder, shipped_texts):
    texts = boundary_texts() + shipped_texts
    assert onnx_embedder.max_tokens == 256
    assert onnx_embedder.truncated(texts) == [count > 256 for count in tokens_without_truncation(texts)]
    assert onnx_embedder.truncated(texts)[4:7] == [False, True, True]  # 254 words: 256 tokens, read whole


@pytest.mark.slow
def test_backends_agree_on_which_texts_are_cut(embedders, shipped_texts):
    texts = boundary_texts() + shipped_texts
    assert embedders["torch"].max_tokens == embedders["onnx"].max_tokens == 256
    assert embedders["torch"].truncated(texts) == embedders["onnx"].truncated(texts)
    assert embedders["torch"].truncated([]) == []


@pytest.mark.parametrize("value, threads", [(None, min(2, os.cpu_count() or 1)), ("", min(2, os.cpu_count() or 1)),
                                            ("3", 3), (" 1 ", 1), ("0", None), ("-2", None), ("2.5", None),
                                            ("two", None), ("\u0663", None), ("100000", None)])
def test_threads_of_the_onnx_backend_from_the_environment(monkeypatch, onnx_cache, value, threads):
    import onnxruntime

    if value is None:
        monkeypatch.delenv("TARVEX_THREADS", raising=False)
    else:
        monkeypatch.setenv("TARVEX_THREADS", value)
    if threads is None:
        with pytest.raises(ValueError, match="TARVEX_THREADS must be a whole number of threads from 1 to 1024"):
            onnx_backend.session_options(onnxruntime)
        # The backend then fails to load, naming the setting rather than the graph.
        with pytest.raises(EmbeddingUnavailable, match="^TARVEX_THREADS must be a whole number"):
            open_embedder(MODEL, "onnx", onnx_cache)
    else:
        assert onnx_backend.session_options(onnxruntime).intra_op_num_threads == threads


def same_order(ours, reference, tolerance):
    """Paths in the reference's order wherever neighbouring scores differ by more than tolerance."""
    assert len(ours) == len(reference)
    blocks, block = {}, 0
    for i, record in enumerate(reference):
        if i and reference[i - 1]["score"] - record["score"] > tolerance:
            block += 1
        blocks[record["path"]] = block
    return [blocks[record["path"]] for record in ours] == sorted(blocks.values())


@pytest.fixture(scope="module")
def reference_records():
    from tarvex.rag_helper import rank_problem_descriptions

    return {query: rank_problem_descriptions(query, None, 0, MODEL) for query in QUERIES[:2]}


@pytest.mark.slow
@pytest.mark.parametrize("backend", ["torch", "onnx"])
def test_index_with_each_backend_ranks_like_the_reference(backend, onnx_cache, reference_records):
    from tarvex import DescriptionIndex

    with DescriptionIndex(None, MODEL, backend=backend, cache_dir=onnx_cache) as index:
        for query, reference in reference_records.items():
            ours = index.rank(query, 0)
            assert same_order(ours, reference, 1e-5)
            by_path = {record["path"]: record for record in reference}
            assert {record["path"] for record in ours} == set(by_path)
            for record in ours:
                assert record["preview"] == by_path[record["path"]]["preview"]
                assert record["score"] == pytest.approx(by_path[record["path"]]["score"], abs=1e-5)


@pytest.mark.slow
def test_build_writes_the_graph_once_and_auto_then_takes_it(tmp_path, onnx_embedder):
    assert open_embedder(MODEL, "auto", tmp_path).identity[2] == "torch"
    exported = open_embedder(MODEL, "onnx", tmp_path)
    graphs = sorted(path.name for path in (tmp_path / onnx_graph.GRAPH_FOLDER).iterdir())
    # No temporary file left; the build's turn keeps its (empty) lock file.
    assert graphs == [f"{exported.identity[1]}.onnx", f"{exported.identity[1]}.onnx.json",
                      f"{exported.identity[1]}.onnx.lock"]
    assert open_embedder(MODEL, "auto", tmp_path).identity == exported.identity
    probe = QUERIES + ["a longer text " * 40]
    assert np.abs(exported.encode(probe) - onnx_embedder.encode(probe)).max() < BACKEND_TOLERANCE


# --- finding the model without the hub client ----------------------------------------


def fake_snapshot(root, repo_id, revision="0" * 40, weights=b"weights"):
    repo = root / ("models--" + repo_id.replace("/", "--"))
    snapshot = repo / "snapshots" / revision
    snapshot.mkdir(parents=True)
    (snapshot / "model.safetensors").write_bytes(weights)
    (repo / "refs").mkdir()
    (repo / "refs" / "main").write_text(revision + "\n")
    return snapshot


@pytest.mark.parametrize(
    "variables, where",
    [
        ({"HF_HUB_CACHE": "{tmp}/hub-cache", "HF_HOME": "{tmp}/home"}, "hub-cache"),
        ({"HF_HOME": "{tmp}/home"}, "home/hub"),
        ({"XDG_CACHE_HOME": "{tmp}/xdg"}, "xdg/huggingface/hub"),
        ({"SENTENCE_TRANSFORMERS_HOME": "{tmp}/st", "HF_HUB_CACHE": "{tmp}/hub-cache"}, "st"),
    ],
)
def test_models_are_found_where_the_loaders_look(tmp_path, monkeypatch, variables, where):
    for name in ("HF_HUB_CACHE", "HUGGINGFACE_HUB_CACHE", "HF_HOME", "XDG_CACHE_HOME", "SENTENCE_TRANSFORMERS_HOME"):
        monkeypatch.delenv(name, raising=False)
    for name, value in variables.items():
        monkeypatch.setenv(name, value.format(tmp=tmp_path))
    monkeypatch.setenv("HOME", str(tmp_path / "nohome"))
    snapshot = fake_snapshot(tmp_path / where, "org/model", revision="ab" * 20)
    fake_snapshot(tmp_path / where, "sentence-transformers/short")
    assert model_files.locate_model("org/model") == snapshot
    assert model_files.locate_model("short").parent.parent.name == "models--sentence-transformers--short"
    assert model_files.locate_model("org/absent") is None
    assert model_files.locate_model(str(snapshot)) == snapshot  # a folder is taken as it is
    (snapshot.parent.parent / "refs" / "main").write_text("f" * 40)  # a revision not downloaded
    assert model_files.locate_model("org/model") is None


def test_the_default_model_is_found_in_its_package_when_not_in_the_cache(tmp_path, monkeypatch):
    for name in ("HF_HUB_CACHE", "HUGGINGFACE_HUB_CACHE", "HF_HOME", "SENTENCE_TRANSFORMERS_HOME"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    packaged = tmp_path / "site" / model_files.MODEL_PACKAGE / "model"
    packaged.mkdir(parents=True)
    (packaged.parent / "__init__.py").write_text("raise RuntimeError('imported')\n")  # never imported
    monkeypatch.syspath_prepend(str(tmp_path / "site"))
    short = MODEL.partition("/")[2]
    assert model_files.locate_model(MODEL) is None  # a package without the model's files
    (packaged / "modules.json").write_text("[]")
    assert model_files.locate_model(MODEL) == model_files.locate_model(short) == packaged
    assert model_files.locate_model("other/model") is None
    # A copy in the Hugging Face cache comes first, as the torch loader reads that one.
    snapshot = fake_snapshot(tmp_path / "xdg" / "huggingface" / "hub", MODEL)
    assert model_files.locate_model(MODEL) == snapshot


def test_weights_digest_is_cached_until_the_file_may_have_changed(tmp_path):
    folder = tmp_path / "model"
    folder.mkdir()
    weights = folder / "model.safetensors"
    weights.write_bytes(b"first weights")
    cache = tmp_path / "cache"
    sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731
    assert model_files.weights_digest(folder, cache) == sha(b"first weights")
    # An untouched file is not hashed again: a digest planted in the cache is what comes back.
    cache_file = cache / model_files.DIGEST_CACHE_FILE
    entries = json.loads(cache_file.read_text())
    (key,) = entries
    cache_file.write_text(json.dumps({key: [*entries[key][:-1], "planted"]}))
    assert model_files.weights_digest(folder, cache) == "planted"

    def rewrite(data, *, in_place):
        """New content of the same size, with the old modification time put back."""
        stat = weights.stat()
        if in_place:
            with weights.open("r+b") as stream:
                stream.write(data)
        else:
            (folder / "new").write_bytes(data)
            os.replace(folder / "new", weights)
        os.utime(weights, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        assert weights.stat().st_size == stat.st_size and weights.stat().st_mtime_ns == stat.st_mtime_ns

    rewrite(b"other weights", in_place=True)  # halves swapped in place keep size and time; ctime moves
    assert model_files.weights_digest(folder, cache) == sha(b"other weights")
    rewrite(b"third weights", in_place=False)  # a new file put in its place
    assert model_files.weights_digest(folder, cache) == sha(b"third weights")
    (folder / "model-2.safetensors").write_bytes(b"second shard")
    assert model_files.weights_digest(folder, cache) not in (sha(b"third weights"), sha(b"second shard"))
    cache_file.write_text("not json")  # a damaged cache file is rebuilt
    assert len(model_files.weights_digest(folder, cache)) == 64
    assert json.loads(cache_file.read_text())


# --- errors ----------------------------------------------------------------------------


def model_folder(tmp_path, modules):
    folder = tmp_path / "local-model"
    (folder / "1_Pooling").mkdir(parents=True)
    (folder / "modules.json").write_text(json.dumps(
        [{"idx": i, "name": str(i), "path": path, "type": f"sentence_transformers.models.{kind}"}
         for i, (kind, path) in enumerate(modules)]))
    (folder / "sentence_bert_config.json").write_text('{"max_seq_length": 16, "do_lower_case": false}')
    (folder / "1_Pooling" / "config.json").write_text(
        '{"word_embedding_dimension": 4, "pooling_mode_mean_tokens": true}')
    (folder / "model.safetensors").write_bytes(b"weights")
    return folder


@pytest.mark.parametrize(
    "modules, message",
    [
        ([("Transformer", ""), ("Pooling", "1_Pooling")], "building the ONNX graph of .* failed: cannot read .*config.json"),
        ([("Transformer", ""), ("Pooling", "1_Pooling"), ("Dense", "2_Dense")], "does not support the modules"),
        ([("Pooling", "1_Pooling")], "needs a transformer followed by pooling"),
    ],
)
def test_onnx_refuses_what_it_cannot_run(tmp_path, monkeypatch, modules, message):
    monkeypatch.setattr(embedding, "torch_available", lambda: False)
    folder = model_folder(tmp_path, modules)
    with pytest.raises(EmbeddingUnavailable, match=message) as caught:
        open_embedder(str(folder), "onnx", tmp_path / "cache")
    assert caught.value.logged is False
    with pytest.raises(EmbeddingUnavailable, match="not in the local Hugging Face cache"):
        open_embedder("nowhere/no-such-model", "onnx", tmp_path / "cache")
    with pytest.raises(ValueError, match="unknown embedding backend 'gpu'"):
        open_embedder(str(folder), "gpu")


def test_torch_failure_is_logged_once_and_auto_falls_back_to_torch(tmp_path, standins, caplog):
    model = open_embedder("stand-in/model", "auto", tmp_path)  # no files and no graph: torch
    assert model.identity == ("stand-in/model", model_files.UNLOCATED_DIGEST, "torch")
    vectors = model.encode(["3 three", "5 five"])
    assert vectors.tolist() == [[3.0], [5.0]] and vectors.dtype == np.float32
    assert standins.encoded[-1] == ["3 three", "5 five"]
    assert standins.calls[-3].kwargs == {"convert_to_tensor": True, "normalize_embeddings": True,
                                         "show_progress_bar": False}
    standins.fail_with = OSError("no such model")
    with caplog.at_level(logging.WARNING):
        with pytest.raises(EmbeddingUnavailable) as caught:
            open_embedder("stand-in/broken", "torch", tmp_path)
    assert caught.value.logged is True
    assert [record.getMessage() for record in caplog.records] == [
        "RAG disabled (embedding model load failed): no such model"]
