"""Agreement of `tarvex.DescriptionIndex` with `rank_problem_descriptions`, real model.

    HF_HUB_OFFLINE=1 .venv/bin/python benchmarks/run.py index_agreement [--variants 2000]
        [--queries 20] [--output FILE]

On the shipped corpus and on generated variants of its descriptions, each
query is answered by the reference (all records, `top_k=0`) and by the index
with each backend. Rows per corpus and backend:

- paths and previews: the same set of records;
- order: the same paths in the same order wherever neighbouring reference
  scores differ by more than 1e-5 (records closer than that may swap);
- the largest score difference, against a bound of 1e-5;
- how many queries give the very same top 10.

Needs only the model in the local Hugging Face cache; the `onnx` rows need the
exported graph (`tarvex index --backend onnx`) and are left out without it.
The reference re-embeds the whole corpus for every query, so 20 queries on
2,000 variants take a quarter of an hour on two cores.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path
from typing import Any

from index_rank import MODEL, SHIPPED, age, cache_for, generated_texts, write_corpus

import tarvex
from graph_cache import graph_ready
from tarvex.rag_helper import rank_problem_descriptions

SCORE_BOUND = 1e-5
QUERIES = [
    "deliver parcels to customers with a fleet of vans",
    "schedule nurses across shifts",
    "choose where to open new warehouses",
    "cut glass sheets with little waste",
    "plan production lots on one machine with setup costs",
    "assign workers to jobs at least cost",
    "invest in a portfolio of assets with a risk limit",
    "commit power plants to meet hourly demand",
    "route flow through a network with capacities",
    "pack boxes into as few containers as possible",
    "order stock so that shelves never run empty",
    "design a telecommunication network at least cost",
    "sequence jobs on machines to finish early",
    "timetable exams so that no student has two at once",
    "blend raw materials into a feed at least cost",
    "pick up and drop off passengers within time windows",
    "place facilities to cover every customer",
    "balance an assembly line",
    "find the shortest tour through all cities",
    "buy and sell electricity with a battery",
]


def compare(reference: list[dict[str, Any]], got: list[dict[str, Any]]) -> dict[str, Any]:
    """How far the index's records are from the reference's for one query."""
    ref_paths = [r["path"] for r in reference]
    got_paths = [r["path"] for r in got]
    same_records = sorted((r["path"], r["preview"]) for r in reference) == sorted((r["path"], r["preview"]) for r in got)
    ref_score = {r["path"]: r["score"] for r in reference}
    largest = max((abs(r["score"] - ref_score[r["path"]]) for r in got if r["path"] in ref_score), default=0.0)
    # Cut the reference where neighbouring scores differ by more than the bound: each block
    # must hold the same paths in the index's answer, blocks in the same order.
    cuts = [0] + [i for i in range(1, len(reference))
                  if reference[i - 1]["score"] - reference[i]["score"] > SCORE_BOUND] + [len(reference)]
    order = same_records and all(set(ref_paths[a:b]) == set(got_paths[a:b]) for a, b in zip(cuts, cuts[1:]))
    return {"records": same_records, "order": order, "largest": largest, "top10": ref_paths[:10] == got_paths[:10],
            "exact": ref_paths == got_paths}


def agreement(corpus: Path, backend: str, cache: Path, references: dict[str, list[dict[str, Any]]]) -> list[str]:
    results = []
    with tarvex.DescriptionIndex(corpus, MODEL, backend=backend, cache_dir=cache) as index:
        index.refresh()
        for query, reference in references.items():
            results.append(compare(reference, index.rank(query, 0)))
    n = len(results)
    largest = max(r["largest"] for r in results)
    return [f"{sum(r['records'] for r in results)}/{n}", f"{sum(r['order'] for r in results)}/{n}",
            f"{sum(r['exact'] for r in results)}/{n}", f"{largest:.2e}", "yes" if largest <= SCORE_BOUND else "**no**",
            f"{sum(r['top10'] for r in results)}/{n}"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--variants", type=int, default=2000, help="generated descriptions (default 2000; 0: shipped corpus only)")
    parser.add_argument("--queries", type=int, default=len(QUERIES), help=f"queries per corpus (at most {len(QUERIES)})")
    parser.add_argument("--output", type=Path, help="also write the table as markdown to this file")
    args = parser.parse_args()
    queries = QUERIES[:args.queries]
    backends = ["torch"] + (["onnx"] if graph_ready(MODEL) else [])
    head = ("corpus", "backend", "same records", "order within 1e-5", "identical order", "largest score difference",
            f"<= {SCORE_BOUND:g}", "same top 10")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    with tempfile.TemporaryDirectory(prefix="tarvex-agreement-") as tmp:
        workdir = Path(tmp)
        corpora = [("shipped (50)", SHIPPED)]
        if args.variants:
            variants = workdir / "variants"
            age(write_corpus(variants, generated_texts(args.variants)))
            corpora.append((f"variants ({args.variants})", variants))
        for name, corpus in corpora:
            references = {}
            for number, query in enumerate(queries, 1):
                references[query] = rank_problem_descriptions(query, corpus, 0, MODEL)
                print(f"{name}: reference {number}/{len(queries)}", file=sys.stderr, flush=True)
            for backend in backends:
                row = [name, backend, *agreement(corpus, backend, cache_for(backend, workdir, name.split()[0]), references)]
                lines.append("| " + " | ".join(row) + " |")
                print(lines[-1], flush=True)
    table = "\n".join(lines) + "\n"
    if args.output:
        args.output.write_text(table, encoding="utf-8")
    print()
    print(table)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
