"""Settings shared by the index, the embedding backends, the ``tarvex`` command
and the MCP server (kept apart so that the command's ``--help`` stays cheap)."""

DEFAULT_MODEL = "sentence-transformers/all-MiniLM-L6-v2"
BACKENDS = ("auto", "torch", "onnx")
