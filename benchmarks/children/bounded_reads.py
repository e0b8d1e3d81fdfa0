"""B6 child: memory of `_read_text` on large files, in a fresh process.

    python bounded_reads.py native|python PLAIN_FILE FILE...

Prints {"peaks", "rss_growth_kb"} as JSON: the traced peak of each read and the
growth of the maximum resident set over a second pass.
"""
import sys, json, resource, tracemalloc, importlib.util
from pathlib import Path
which, plain_file = sys.argv[1], sys.argv[2]
files = [Path(p) for p in sys.argv[3:]]
if which == "native":
    import tarvex.rag_helper as module
else:
    module_spec = importlib.util.spec_from_file_location("plain_rag", plain_file)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
module._read_text(files[0])  # warm up: first-use allocations stay out of the numbers
module._read_text(files[-1])
rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
tracemalloc.start()
peaks = []
for path in files:
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    text = module._read_text(path)
    peaks.append(tracemalloc.get_traced_memory()[1] - base)
    del text
tracemalloc.stop()
for path in files:
    module._read_text(path)
rss_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"peaks": peaks, "rss_growth_kb": rss_after - rss_before}))
