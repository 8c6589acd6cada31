"""`vorpaline serve`: search served over HTTP, with a web page, a JSON API and the MCP tools."""

from __future__ import annotations

import argparse
import logging
import secrets
import sys
from typing import Any

from vorpaline.cli.common import UsageError
from vorpaline.cli.sources import add_sources, open_library

DEFAULT_PORT = 7900
LOOPBACK = ("127.0.0.1", "localhost", "::1")


def add_to(commands: Any) -> None:
    serve = commands.add_parser(
        "serve", help="serve search over HTTP: a web page, a JSON API and MCP tools, kept fresh",
        description="Hold the indexes of the repositories open and serve their search on http://HOST:PORT: "
                    "a web page at /, a JSON API at /api/ and the MCP tools at /mcp. The files are watched and "
                    "the indexes updated within about a second of a save. Loopback only unless --host names "
                    "another address, which needs --token.")
    add_sources(serve)
    serve.add_argument("--host", default="127.0.0.1", help="the address to listen on (default: 127.0.0.1)")
    serve.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"the port (default: {DEFAULT_PORT})")
    serve.add_argument("--token", help="a bearer token every request must carry; required off the loopback "
                                       "('random': make one and print it)")
    serve.set_defaults(run=run_serve)


def run_serve(args: argparse.Namespace) -> int:
    import uvicorn

    from vorpaline.server.http import allowed_hosts_for, build_app
    from vorpaline.server.mcp_tools import build_mcp

    token = secrets.token_urlsafe(24) if args.token == "random" else args.token
    if args.host not in LOOPBACK and not token:
        raise UsageError(f"listening on {args.host} would show the code to that network: give --token TOKEN "
                       "(or --token random), which every request must then carry")
    if not 0 < args.port < 65536:
        raise UsageError(f"no port {args.port}: give one from 1 to 65535")
    logging.basicConfig(level=logging.INFO, format="vorpaline: %(message)s", stream=sys.stderr)
    library = open_library(args)
    hosts = allowed_hosts_for(args.host, args.port)
    mcp = build_mcp(library, watch=False)
    app = build_app(library, allowed_hosts=hosts, token=token, mcp=mcp, watch=args.watch)
    shown = f"[{args.host}]" if ":" in args.host else args.host
    url = f"http://{'127.0.0.1' if args.host in ('0.0.0.0', '::') else shown}:{args.port}/"
    if args.host not in LOOPBACK:
        print(f"vorpaline: listening on {args.host}, open to that network; requests need the token", file=sys.stderr)
    print(f"vorpaline: serving {', '.join(sorted(library.repositories))} on {url}"
          + (f"#token={token}" if token else ""), file=sys.stderr, flush=True)
    uvicorn.run(app, host=args.host, port=args.port, log_level="warning", access_log=False)
    return 0
