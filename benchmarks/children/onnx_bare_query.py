"""The floor of a search process: ONNX Runtime and the tokenizer load the exported
model and embed one query, with nothing else (no index, no corpus).

    python benchmarks/children/onnx_bare_query.py GRAPH TOKENIZER_JSON QUERY
"""

import sys

import numpy as np
import onnxruntime as ort
from tokenizers import Tokenizer

graph, tokenizer_file, query = sys.argv[1:4]
tokenizer = Tokenizer.from_file(tokenizer_file)
session = ort.InferenceSession(graph, providers=["CPUExecutionProvider"])
encoding = tokenizer.encode(query)
feeds = {"input_ids": np.array([encoding.ids]), "attention_mask": np.array([encoding.attention_mask]),
         "token_type_ids": np.array([encoding.type_ids])}
(tokens,) = session.run(None, {item.name: feeds[item.name] for item in session.get_inputs()})
vector = tokens[0].mean(axis=0)
print(float(vector @ vector))
