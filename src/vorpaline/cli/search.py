"""``vorpaline search``: the best chunks (or files) for a query, numbered and highlighted."""

import argparse
import json
import sys

from vorpaline.cli.common import (
    PROG, add_repository_arguments, add_store_options, check_store_options, connect_store, index_folder, open_index,
    positive_int,
)


def add_to(commands) -> None:
    search = commands.add_parser(
        "search",
        help="search the index of a repository",
        description="Print the best chunks for QUERY: path:LINE: (the line that matches best) and the score, "
                    "then the chunk's best lines, numbered.",
    )
    search.add_argument("query", metavar="QUERY")
    add_repository_arguments(search)
    search.add_argument("--top", type=positive_int, default=10, metavar="K", help="how many hits (default 10)")
    search.add_argument("--path", dest="path_glob", metavar="GLOB", help="only chunks of files matching GLOB")
    search.add_argument("--files", action="store_true", help="rank files, each by its best chunk")
    search.add_argument("--json", action="store_true", help="print one JSON object per hit")
    add_store_options(search)
    search.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    check_store_options(args)
    if args.store is not None:
        hits = connect_store(args.store).search(args.query, k=args.top, path_glob=args.path_glob,
                                                repository=args.repository, files=args.files)
    else:
        hits = open_index(index_folder(args)).search(args.query, k=args.top, path_glob=args.path_glob,
                                                     files=args.files)
    if args.json:
        for hit in hits:
            print(json.dumps(_hit_record(hit), ensure_ascii=False))
    else:
        several_repositories = (args.store is not None and args.repository is None
                                and len({hit.repository for hit in hits}) > 1)
        _print_hits(hits, args.query, several_repositories)
    return 0


def _hit_record(hit) -> dict:
    record = hit._asdict()
    if record["repository"] is None:  # a local index's hit: its repository is the one searched
        del record["repository"]
    # "stale": the file changed since it was indexed; the snippet shows its lines now
    record["roles"] = list(hit.roles)
    record["definitions"] = [definition._asdict() for definition in hit.definitions]
    return record


def _print_hits(hits, query: str, several_repositories: bool) -> None:
    """Each hit's place and score, then its snippet's lines numbered; the query's terms bold on a terminal."""
    from vorpaline.search import queries, snippets

    color = snippets.use_color(sys.stdout)
    terms = queries.query_terms(queries.prepared_query(query)) if color else frozenset()

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
