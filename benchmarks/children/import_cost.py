"""B5 child: times importing one implementation in a fresh process.

    python import_cost.py native|python PLAIN_FILE

Prints {"total", "package", "heavy"} as JSON: nanoseconds in all, of which the
package's own import, and the heavy packages found in sys.modules afterwards.
"""
import sys, time, json, importlib.util
import logging, functools, pathlib, typing
which = sys.argv[1]
start = time.perf_counter_ns()
if which == "native":
    import tarvex
    package = time.perf_counter_ns()
    import tarvex.rag_helper
elif which == "python":
    package = start
    module_spec = importlib.util.spec_from_file_location("plain_rag", sys.argv[2])
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
end = time.perf_counter_ns()
heavy = sorted(m for m in ("torch", "sentence_transformers") if m in sys.modules)
print(json.dumps({"total": end - start, "package": package - start, "heavy": heavy}))
