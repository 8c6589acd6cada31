"""`vorpaline search`: the best chunks for a query, as path:LINE: and their best lines."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from vorpaline.cli.common import (PROG, add_store_options, check_store_options, connect_store, index_folder, open_index,
                                  positive_int)

def _run_search(args: argparse.Namespace) -> int:
    from vorpaline.search import queries, snippets

    check_store_options(args)
    several_repositories = False
    if args.store is not None:
        store = connect_store(args.store)
        hits = store.search(args.query, k=args.top, path_glob=args.path_glob, repository=args.repository,
                            files=args.files)
        several_repositories = args.repository is None and len({hit.repository for hit in hits}) > 1
    else:
        hits = open_index(index_folder(args)).search(args.query, k=args.top, path_glob=args.path_glob,
                                                       files=args.files)
    if args.json:
        for hit in hits:
            print(json.dumps(_hit_record(hit), ensure_ascii=False))
        return 0
    color = snippets.use_color(sys.stdout)
    terms = queries.query_terms(queries.prepared_query(args.query)) if color else frozenset()

    def location(hit) -> str:
        place = f"{hit.path if hit.path is not None else hit.id}:{hit.line or hit.start_line}:"
        return snippets.printable(f"{hit.repository}:{place}" if several_repositories else place)

    for number, hit in enumerate(hits):
        if number:
            print()
        header = f"{location(hit)} {hit.score:.3f}" + (f"  [{', '.join(hit.roles)}]" if hit.roles else "")
        header = f"{snippets.BOLD}{header}{snippets.RESET}" if color else header
        print(header + (f"  (changed since it was indexed: run '{PROG} index')" if hit.stale else ""))
        lines = hit.snippet.splitlines()
        width = len(str(hit.snippet_line + len(lines) - 1))
        for offset, line in enumerate(lines):
            shown = snippets.highlight(snippets.printable(line), terms, color=color)
            print(f"{hit.snippet_line + offset:>{width}}: {shown}".rstrip())
    return 0


def _hit_record(hit) -> dict:
    record = hit._asdict()
    if record["repository"] is None:  # a local index's hit: its repository is the one searched
        del record["repository"]
    # "stale": the file changed since it was indexed; the snippet shows its lines now
    record["roles"] = list(hit.roles)
    record["definitions"] = [definition._asdict() for definition in hit.definitions]
    return record


def add_to(commands: Any) -> None:
    search = commands.add_parser(
        "search",
        help="search the index of a repository",
        description="Print the best chunks for QUERY: path:LINE: (the line that matches best) and the score, "
                    "then the chunk's best lines, numbered.",
    )
    search.add_argument("query", metavar="QUERY")
    search.add_argument("path", nargs="?", default=".", metavar="PATH", help="the repository (default: .)")
    search.add_argument("--index", metavar="DIR", help="the index folder (default: PATH/.vorpaline)")
    search.add_argument("--top", type=positive_int, default=10, metavar="K", help="how many hits (default 10)")
    search.add_argument("--path", dest="path_glob", metavar="GLOB", help="only chunks of files matching GLOB")
    search.add_argument("--files", action="store_true", help="rank files, each by its best chunk")
    search.add_argument("--json", action="store_true", help="print one JSON object per hit")
    add_store_options(search)
    search.set_defaults(run=_run_search)
