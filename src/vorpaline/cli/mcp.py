"""`vorpaline mcp`: search as MCP tools on standard input and output, for a coding agent."""

from __future__ import annotations

import argparse
import logging
import sys
from typing import Any

from vorpaline.cli.sources import add_sources, open_library


def add_to(commands: Any) -> None:
    mcp = commands.add_parser(
        "mcp", help="serve search as MCP tools on standard input and output, for a coding agent",
        description="An MCP server on standard input and output with the tools search, definitions, "
                    "references, read, status and update over the repositories given; the files are watched.")
    add_sources(mcp)
    mcp.set_defaults(run=run_mcp)


def run_mcp(args: argparse.Namespace) -> int:
    from vorpaline.server.mcp_tools import build_mcp

    # Standard output carries the protocol alone: every log line goes to standard error.
    logging.basicConfig(level=logging.WARNING, format="vorpaline: %(message)s", stream=sys.stderr)
    build_mcp(open_library(args), watch=args.watch).run("stdio")
    return 0
