"""The MCP server's tools as a client sees them: their names, descriptions and schemas,
the checking of their arguments and the shape of their answers.

The tools, each read-only:

* ``search_descriptions(query, top_k=10, min_score=None)``: the records of
  :meth:`tarvex.DescriptionIndex.rank` (``path``, ``score``, ``preview``),
  best first, those scoring below ``min_score`` left out, as structured
  content;
* ``read_description(path)``: the full text of one description, for a path
  that the index lists;
* ``index_info()``: the corpus, the counts, the model, the backend, the state
  of the build and when the index was last brought up to date (answered at
  once, during the build too).

This is the one place that lists them: the server, the help of ``tarvex mcp``
and the protocol's tool list take them from here (the README's list is
checked against it).  Light to import: the protocol SDK and the schema
validator are imported only when a tool is listed or called.
"""

from __future__ import annotations

import functools
from typing import TYPE_CHECKING, Any

from tarvex._defaults import DEFAULT_TOP_K, PREVIEW_CHARS

if TYPE_CHECKING:
    from mcp import types

SEARCH_TOOL = "search_descriptions"
READ_TOOL = "read_description"
INFO_TOOL = "index_info"

MAX_TOP_K = 100
MAX_QUERY_CHARS = 10_000
MAX_PATH_CHARS = 4096
# The most characters of any value the client sent that an error message sends back.
ECHO_CHARS = 200
# Characters kept from the end of a schema validator's message when it is cut short.
SCHEMA_MESSAGE_TAIL = 40

# The states of the index's build that index_info reports.
BUILDING, READY, FAILED = "building", "ready", "failed"


def echo(text: str, tail: int = 0) -> str:
    """The client's own text cut short for an error message, which is no place to send a
    long input back: its first characters, "...", and its last ``tail`` characters."""
    if len(text) <= ECHO_CHARS:
        return text
    return text[: ECHO_CHARS - tail] + "..." + (text[len(text) - tail :] if tail else "")


RECORD_SCHEMA: dict[str, Any] = {
    "type": "object",
    "properties": {
        "path": {"type": "string", "description": f"The description file; pass it to {READ_TOOL}."},
        "score": {"type": ["number", "null"],
                  "description": "Cosine similarity to the query (higher is closer); null when the model gave none."},
        "preview": {"type": "string", "description": f"The first {PREVIEW_CHARS} characters, line feeds as spaces."},
    },
    "required": ["path", "score", "preview"],
    "additionalProperties": False,
}

# Each tool's description, input schema and output schema (None: text only).
TOOL_SCHEMAS: dict[str, tuple[str, dict[str, Any], dict[str, Any] | None]] = {
    SEARCH_TOOL: (
        "Find the stored problem descriptions closest in meaning to a free-text problem description. "
        "Returns the best matches first, each with its path, similarity score and a short preview.",
        {
            "type": "object",
            "properties": {
                "query": {
                    "type": "string",
                    "maxLength": MAX_QUERY_CHARS,
                    "description": "The problem to search for, in plain words.",
                },
                "top_k": {
                    "type": "integer",
                    "minimum": 1,
                    "maximum": MAX_TOP_K,
                    "default": DEFAULT_TOP_K,
                    "description": "How many matches to return.",
                },
                "min_score": {
                    "type": "number",
                    "minimum": -1,
                    "maximum": 1,
                    "description": "Leave out matches scoring below this (cosine similarity, -1 to 1).",
                },
            },
            "required": ["query"],
            "additionalProperties": False,
        },
        {
            "type": "object",
            "properties": {"results": {"type": "array", "items": RECORD_SCHEMA}},
            "required": ["results"],
            "additionalProperties": False,
        },
    ),
    READ_TOOL: (
        f"Read the full text of one stored problem description, given a path returned by {SEARCH_TOOL}.",
        {
            "type": "object",
            "properties": {
                "path": {
                    "type": "string",
                    "minLength": 1,
                    "maxLength": MAX_PATH_CHARS,
                    "description": f"A path exactly as {SEARCH_TOOL} returned it.",
                },
            },
            "required": ["path"],
            "additionalProperties": False,
        },
        None,
    ),
    INFO_TOOL: (
        "Tell what the server searches: the corpus folder, how many descriptions it lists and how many "
        "have a vector, the model and backend, whether the index is still being built (with the texts "
        "embedded so far) or ready, and when it was last brought up to date.  Answers at once.",
        {"type": "object", "properties": {}, "additionalProperties": False},
        {
            "type": "object",
            "properties": {
                "corpus": {"type": "string", "description": "The corpus folder."},
                "source": {"enum": ["folder", "store"],
                           "description": "Whether the descriptions are read from the corpus folder, or from "
                                          "the store alone (the folder is not on this machine)."},
                "store": {"type": "string", "description": "Where the vectors and the file list are kept."},
                "state": {"enum": [BUILDING, READY, FAILED]},
                "progress": {
                    "type": ["object", "null"],
                    "properties": {"embedded": {"type": "integer"}, "total": {"type": "integer"}},
                    "description": "While building: texts embedded so far, of how many (null before "
                                   "embedding starts and once the build is over).",
                },
                "error": {"type": ["string", "null"],
                          "description": "Why the build failed, or why the descriptions cannot be listed now "
                                         "(the corpus folder is missing, say)."},
                "descriptions": {"type": ["integer", "null"],
                                 "description": "Descriptions listed now (null until the index is built)."},
                "vectors": {"type": ["integer", "null"],
                            "description": "Descriptions ranked, as of updated_at (null until built)."},
                "truncated": {"type": ["integer", "null"],
                              "description": "Descriptions ranked by their first max_tokens tokens only, "
                                             "being longer (null until built, or when the model cannot tell)."},
                "max_tokens": {"type": ["integer", "null"], "description": "Tokens of a text the model reads."},
                "model": {"type": "string"},
                "backend": {"type": "string", "description": "The backend loaded, else the one asked for."},
                "updated_at": {"type": ["string", "null"],
                               "description": "When the index was last brought up to date (ISO 8601, UTC)."},
            },
            "required": ["corpus", "source", "store", "state", "progress", "error", "descriptions", "vectors", "truncated",
                         "max_tokens", "model", "backend", "updated_at"],
            "additionalProperties": False,
        },
    ),
}


def _called(tool: str, note: str = "") -> str:
    """``tool(argument, ...)`` as the tool's input schema names its arguments, ``note`` before the parenthesis closes."""
    return f"{tool}({', '.join(TOOL_SCHEMAS[tool][1]['properties'])}{note})"


# The help of ``tarvex mcp``.
MCP_DESCRIPTION = (
    "Run the MCP server over standard input/output until the client disconnects (or, with --http, over "
    "streamable HTTP for many clients until SIGTERM).  It answers at once "
    "and builds the index in the background; a request that needs the index waits for the build "
    "(with progress notifications, texts embedded of total, when the request carries a progress "
    "token), and a build that fails makes such requests fail with its one-line reason.  Tools: "
    f"{_called(SEARCH_TOOL, ': from -1 to 1, leaves out matches scoring below it')}, "
    f"{_called(READ_TOOL)}, and {_called(INFO_TOOL)} (corpus folder, descriptions listed, vectors, model, "
    "backend, state of the build with its progress, and when the index was last brought up to date); "
    "every description is also a resource."
)

# What the server tells a client about itself when the session starts.
INSTRUCTIONS = (
    f"Search stored optimisation problem descriptions by meaning with {SEARCH_TOOL}, "
    f"then read a whole description with {READ_TOOL}; {INFO_TOOL} tells whether the "
    "index is still being built."
)


def listed_tools() -> list[types.Tool]:
    """The tools as the protocol's tool list gives them."""
    from mcp import types

    return [
        types.Tool(
            name=name,
            description=description,
            input_schema=input_schema,
            output_schema=output_schema,
            annotations=types.ToolAnnotations(read_only_hint=True, idempotent_hint=True, open_world_hint=False),
        )
        for name, (description, input_schema, output_schema) in TOOL_SCHEMAS.items()
    ]


def text_result(text: str, structured: dict[str, Any] | None = None, *, is_error: bool = False) -> types.CallToolResult:
    """A tool's answer: ``text``, with ``structured`` content when the tool has an output schema."""
    from mcp.types import CallToolResult, TextContent

    return CallToolResult(
        content=[TextContent(type="text", text=text)], structured_content=structured, is_error=is_error
    )


@functools.cache
def _validator(tool: str) -> Any:
    from jsonschema import Draft202012Validator  # type: ignore[import-untyped]  # the SDK's own dependency

    return Draft202012Validator(TOOL_SCHEMAS[tool][1])


def argument_error(tool: str, arguments: Any) -> str | None:
    """A clear message for arguments that do not fit the tool's input schema, or None."""
    from jsonschema.exceptions import best_match  # type: ignore[import-untyped]

    error = best_match(_validator(tool).iter_errors(arguments))
    if error is None:
        return None
    where = f"argument {'.'.join(map(str, error.absolute_path))!r}: " if error.absolute_path else ""
    # The validator's message quotes the offending value whole; its end says what is wrong with it.
    return f"invalid arguments for {tool}: {where}{echo(error.message, tail=SCHEMA_MESSAGE_TAIL)}"
