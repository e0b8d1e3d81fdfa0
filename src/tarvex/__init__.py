"""tarvex: find the stored problem descriptions closest in meaning to a query.

The work is done by the native extension module :mod:`tarvex.rag_helper`::

    from tarvex.rag_helper import rank_problem_descriptions

    for record in rank_problem_descriptions("deliver parcels with a fleet of vans", top_k=3):
        print(record["path"], record["score"], record["preview"])

Each result record is a dictionary with the keys ``path`` (str), ``score``
(float, a cosine similarity) and ``preview`` (the first 300 characters of the
description).  By default the descriptions are the ``.txt`` files below the
``zolt_models`` folder of this package, embedded with the sentence-embedding
model "sentence-transformers/all-MiniLM-L6-v2"; ranking needs the optional
``ranking`` dependencies (``sentence-transformers`` and ``torch``).

From a shell, ``python -m tarvex WORDS...`` or ``tarvex-rag WORDS...`` prints
the ten best matches for the query made of the words.

To query one corpus repeatedly, :class:`tarvex.DescriptionIndex` keeps the
descriptions' embeddings in a database and returns the same records in
milliseconds::

    with tarvex.DescriptionIndex() as index:
        records = index.rank("deliver parcels with a fleet of vans", top_k=3)

Importing this package is cheap: it loads neither the extensions nor torch;
the index and what it needs load when ``tarvex.DescriptionIndex`` is first used.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tarvex.index import DescriptionIndex, RefreshStats

__all__ = ["DescriptionIndex", "RefreshStats"]


def __getattr__(name: str) -> object:
    # The index, its engine, its store and numpy load on first use, so that
    # `import tarvex` stays cheap.
    if name in __all__:
        from tarvex import index

        return getattr(index, name)
    raise AttributeError(f"module 'tarvex' has no attribute {name!r}")
