"""Export a sentence-embedding model's transformer to an ONNX graph.

The graph maps ``input_ids``, ``attention_mask`` (and ``token_type_ids`` when
the model takes them) to the token vectors ``token_embeddings``; pooling and
normalisation stay outside it, in :mod:`tarvex.embedding`, where they follow
the model's configuration files.  Batch and sequence axes are dynamic.

This module imports torch and transformers, so only the export needs them; the
graph is written next to its final name and renamed into place, and checked
against the torch model before it is kept.
"""

from __future__ import annotations

import inspect
import os
import sys
import tempfile
import warnings
from pathlib import Path

OPSET = 14
# Largest difference between a token vector of the graph and of torch that is
# taken as the same computation.
TOLERANCE = 1e-4
CHECK_TEXTS = ["a fleet of vans delivers parcels to customers", "schedule nurses"]


def export_graph(model_folder: Path, target: Path) -> Path:
    """Export the transformer of the model in ``model_folder`` to ``target``."""
    import numpy as np
    import torch
    from transformers import AutoModel, AutoTokenizer

    model = AutoModel.from_pretrained(str(model_folder), local_files_only=True).eval()
    tokenizer = AutoTokenizer.from_pretrained(str(model_folder), local_files_only=True)  # type: ignore[no-untyped-call]
    takes_types = "token_type_ids" in inspect.signature(model.forward).parameters
    names = ["input_ids", "attention_mask"] + (["token_type_ids"] if takes_types else [])

    class TokenVectors(torch.nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.model = model

        def forward(self, *inputs: torch.Tensor) -> torch.Tensor:
            vectors: torch.Tensor = self.model(**dict(zip(names, inputs, strict=True))).last_hidden_state
            return vectors

    wrapper = TokenVectors().eval()  # the exporter restores this mode afterwards
    sample = tokenizer(CHECK_TEXTS, padding=True, return_tensors="pt")
    inputs = tuple(sample[name] for name in names)
    axes = {name: {0: "batch", 1: "sequence"} for name in [*names, "token_embeddings"]}

    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    os.close(fd)
    try:
        with torch.no_grad(), warnings.catch_warnings():
            # The TorchScript-based exporter: the default one of this torch needs onnxscript,
            # which is not installed; it warns that it is the older one, and about tracing
            # the attention mask's constant 1.0, which is indeed constant.
            warnings.simplefilter("ignore")
            torch.onnx.export(
                wrapper,
                inputs,
                tmp,
                input_names=names,
                output_names=["token_embeddings"],
                dynamic_axes=axes,
                opset_version=OPSET,
                do_constant_folding=True,
                dynamo=False,
            )
            expected = wrapper(*inputs).numpy()
        import onnxruntime as ort  # type: ignore[import-untyped]

        session = ort.InferenceSession(tmp, providers=["CPUExecutionProvider"])
        (got,) = session.run(None, {name: sample[name].numpy() for name in names})
        # Vectors at padding positions carry no meaning and are left out.
        mask = sample["attention_mask"].numpy()[:, :, None] > 0
        difference = float(np.abs(np.where(mask, got - expected, 0)).max())
        if difference > TOLERANCE:
            raise RuntimeError(f"the exported graph differs from the model by {difference:.3g}")
        os.chmod(tmp, 0o644)
        os.replace(tmp, target)
    finally:
        Path(tmp).unlink(missing_ok=True)
    return target


def main(argv: list[str] | None = None) -> int:
    """Export the model's graph into the cache unless it is there already (the set-up runs this)."""
    import argparse

    from tarvex import embedding

    parser = argparse.ArgumentParser(prog="python -m tarvex.onnx_export", description=main.__doc__)
    parser.add_argument("--model", default=embedding.DEFAULT_MODEL, metavar="NAME")
    parser.add_argument("--cache-dir", type=Path, metavar="DIR", default=None,
                        help="(default: $XDG_CACHE_HOME/tarvex, else ~/.cache/tarvex)")
    args = parser.parse_args(argv)
    cache = args.cache_dir or embedding.default_cache_dir()
    try:
        _, graph, _ = embedding.prepare_graph(args.model, cache, export=True)
    except embedding.EmbeddingUnavailable as error:
        print(f"onnx_export: {error}", file=sys.stderr)
        return 1
    print(f"onnx_export: the ONNX graph of {args.model} is {graph}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
