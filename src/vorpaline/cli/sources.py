"""What `vorpaline serve` and `vorpaline mcp` share: the repositories they serve."""

from __future__ import annotations

import argparse
from typing import Any


def add_sources(command: argparse.ArgumentParser) -> None:
    command.add_argument("paths", nargs="*", default=["."], metavar="PATH",
                         help="the repositories to serve (default: .); each is indexed in PATH/.vorpaline")
    command.add_argument("--index", metavar="DIR", help="with one PATH: its index folder (default: PATH/.vorpaline)")
    command.add_argument("--store", metavar="URL", help="serve the repositories' chunks in this Qdrant collection "
                                                        "(qdrant://HOST:PORT/COLLECTION) instead of local indexes")
    command.add_argument("--no-watch", dest="watch", action="store_false",
                         help="do not watch the files: the index changes only on `update`")


def open_library(args: argparse.Namespace) -> Any:
    from vorpaline.server.library import Library

    return Library.open(args.paths, store=args.store, folder=args.index)
