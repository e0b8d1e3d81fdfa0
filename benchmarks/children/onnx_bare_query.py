"""The floor of a search process: ONNX Runtime and the tokenizer load the built
graph (handed its weight file, mapped, as the backend does) and embed one query,
with nothing else (no index, no corpus).

    python benchmarks/children/onnx_bare_query.py GRAPH TOKENIZER_JSON WEIGHTS QUERY
"""

import mmap
import sys
from pathlib import Path

import numpy as np
import onnxruntime as ort
from tokenizers import Tokenizer

graph, tokenizer_file, weights, query = sys.argv[1:5]
tokenizer = Tokenizer.from_file(tokenizer_file)
options = ort.SessionOptions()
with open(weights, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
    options.add_external_initializers_from_files_in_memory([Path(weights).name], [mapped], [len(mapped)])
    session = ort.InferenceSession(graph, sess_options=options, providers=["CPUExecutionProvider"])
encoding = tokenizer.encode(query)
feeds = {"input_ids": np.array([encoding.ids]), "attention_mask": np.array([encoding.attention_mask]),
         "token_type_ids": np.array([encoding.type_ids])}
(tokens,) = session.run(None, {item.name: feeds[item.name] for item in session.get_inputs()})
vector = tokens[0].mean(axis=0)
print(float(vector @ vector))
