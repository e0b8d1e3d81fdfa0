"""The options of ``tarvex mcp --http``: their parser, their help, and the checks that
decide whether a server may start as asked (a token wherever it is not loopback)."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from tarvex import _shell
from tarvex._defaults import MCP_MAX_SESSIONS
from tarvex._shell import Refusal, UsageError, positive_integer, setting, shown

HTTP_EXAMPLE = f"""
over HTTP, for a team (a token is required unless bound to a loopback address):
  export {_shell.TOKEN_VARIABLE}="$(cat /etc/tarvex/token)"
  tarvex mcp --http 0.0.0.0:8750 --store postgresql://tarvex@db/tarvex \\
      --corpus-name team-corpus --stateless --tls-cert cert.pem --tls-key key.pem
  agents connect to https://HOST:8750/mcp with "Authorization: Bearer TOKEN";
  GET /health answers 200 once the index is ready (503 before)
"""


def add_http_options(parser: argparse.ArgumentParser) -> None:
    http = parser.add_argument_group("over HTTP")
    http.add_argument("--http", metavar="[HOST:]PORT",
                      help="serve over streamable HTTP at http://HOST:PORT/mcp instead of standard "
                           "input/output (HOST defaults to 127.0.0.1)")
    http.add_argument("--token-file", metavar="FILE",
                      help=f"read the bearer token from FILE (default: ${_shell.TOKEN_VARIABLE}); required "
                           "unless HOST is a loopback address")
    http.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                      help="a browser origin allowed to call, such as https://agents.example.org "
                           "(repeatable; default: loopback origins only)")
    http.add_argument("--stateless", action="store_true",
                      help="keep no session between requests, so that replicas can share one store behind "
                           "a load balancer")
    http.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate (PEM)")
    http.add_argument("--tls-key", metavar="FILE", help="the certificate's private key (PEM)")
    http.add_argument("--max-sessions", type=positive_integer, default=MCP_MAX_SESSIONS, metavar="N",
                      help=f"sessions open at once; more are refused with 503 (default: {MCP_MAX_SESSIONS})")
    http.add_argument("--log-queries", action="store_true",
                      help="add each search's query to its access-log line (default: never logged)")
    parser.epilog = (parser.epilog or "") + HTTP_EXAMPLE


def http_options(args: argparse.Namespace) -> Any:
    """The HTTP server's options; UsageError for options that do not go together, Failure
    (status 2) for a server that may not start as asked."""
    from tarvex.mcp_http import HttpOptions, is_loopback, parse_address

    http_only = [option for option, value in (("--token-file", args.token_file), ("--stateless", args.stateless),
                                              ("--allow-origin", args.allow_origin), ("--tls-cert", args.tls_cert),
                                              ("--tls-key", args.tls_key), ("--log-queries", args.log_queries))
                 if value]
    if args.http is None:
        if http_only:
            raise UsageError(f"{http_only[0]} needs --http")
        return None
    try:
        host, port = parse_address(args.http)
    except ValueError as error:
        raise UsageError(f"--http: {error}") from None
    if (args.tls_cert is None) != (args.tls_key is None):
        raise UsageError("--tls-cert and --tls-key go together")
    token = setting(_shell.TOKEN_VARIABLE)
    if args.token_file is not None:
        try:
            token = Path(args.token_file).read_text(encoding="utf-8").strip()
        except (OSError, UnicodeDecodeError) as error:
            raise Refusal(f"cannot read the token file {shown(args.token_file)}: "
                          f"{getattr(error, 'strerror', None) or error}") from None
    token = token.strip() if token else None
    if token is not None and not (token.isascii() and token.isprintable() and " " not in token):
        raise Refusal("the token must be printable ASCII without spaces")
    if token is None and not is_loopback(host):
        raise Refusal(f"refusing to serve {shown(host)} without a token: set {_shell.TOKEN_VARIABLE} or "
                      "--token-file, or bind a loopback address")
    return HttpOptions(host, port, token=token, allowed_origins=tuple(args.allow_origin), stateless=args.stateless,
                       tls_cert=args.tls_cert, tls_key=args.tls_key, max_sessions=args.max_sessions,
                       log_queries=args.log_queries)
