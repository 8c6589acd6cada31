"""``vorpaline def`` and ``vorpaline refs``: where a name is defined, and where it is used."""

import argparse
import json

from vorpaline.cli.common import FOUND, NOT_FOUND, add_repository_arguments, find_repository, open_index, shows_paths


def add_to(commands) -> None:
    for command, what in (("def", "definitions"), ("refs", "references")):
        symbols = commands.add_parser(
            command,
            help=f"list the {what} of a name",
            description=f"Print the {what} of NAME as path:line: kind"
                        + (" scope" if command == "def" else "") + ", as the files' parsers found them"
                        + ("" if command == "def" else " (calls and uses)") + "; exit 1 when there is none.",
        )
        symbols.add_argument("name", metavar="NAME")
        add_repository_arguments(symbols)
        symbols.add_argument("-i", "--ignore-case", action="store_true", help="match NAME ignoring case")
        symbols.add_argument("--path", dest="path_glob", metavar="GLOB", help="only files matching GLOB")
        symbols.add_argument("--json", action="store_true", help="print one JSON object per line")
        symbols.set_defaults(run=run, command=command)


def run(args: argparse.Namespace) -> int:
    from vorpaline.search import snippets

    root, folder = find_repository(args)
    shown_path = shows_paths(args, root)
    index = open_index(folder)
    look_up = index.definitions if args.command == "def" else index.references
    found = look_up(args.name, ignore_case=args.ignore_case, path_glob=args.path_glob)
    for symbol in found:
        if args.json:  # for programs: the path in the repository, wherever the command ran
            print(json.dumps(symbol._asdict(), ensure_ascii=False))
            continue
        shown = shown_path(symbol.path)
        where = " ".join(part for part in (symbol.kind, getattr(symbol, "scope", "")) if part)
        print(snippets.printable(f"{shown}:{symbol.line}: {where}"))
    return FOUND if found else NOT_FOUND
