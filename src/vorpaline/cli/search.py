"""``vorpaline search``: the best chunks (or files) for a query, as rg and editors read them."""

import argparse
import sys

from vorpaline.cli.common import (
    PROG, CliError, add_repository_arguments, add_store_options, check_store_options, connect_store, count,
    find_repository, open_index, positive_int, shows_paths,
)

QUERY_HELP = """\
the query: words are ranked; "a phrase" must appear as typed; -word and -"a phrase" exclude;
path:GLOB and -path:GLOB, lang:NAME or type:NAME (and -lang:, -type:), def:NAME filter;
anything else is a word"""


def add_to(commands) -> None:
    search = commands.add_parser(
        "search",
        help="search the index of a repository: ranked words, phrases, filters",
        description="Print the best chunks for QUERY, best first. On a terminal the hits are grouped under "
                    "each file's name, the line that matches best marked with ':' and the lines around it "
                    "with '-'; otherwise each hit is 'path:LINE: score' and its best lines, numbered. "
                    "Exit status: 0 when something was found, 1 when nothing was, 2 on an error.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog='examples:\n'
               f'  {PROG} search "parse a url into its parts"\n'
               f'  {PROG} search \'"def parse_" -test lang:python\'\n'
               f'  {PROG} search urlsplit --path "src/**" --path "!*/vendor/*" -C 2\n'
               f'  {PROG} search cache --regex "lru_cache\\(maxsize=\\d+\\)" --vimgrep',
    )
    search.add_argument("query", nargs="?", metavar="QUERY", help=QUERY_HELP)
    add_repository_arguments(search)
    search.add_argument("--top", "-k", type=positive_int, default=10, metavar="K", help="how many hits (default 10)")
    add_filter_options(search)
    output = search.add_argument_group("output")
    shown = output.add_mutually_exclusive_group()
    shown.add_argument("--files", action="store_true", help="rank files, each by its best chunk")
    shown.add_argument("-l", "--files-with-matches", action="store_true",
                       help="print only the paths of the K best files")
    shown.add_argument("-c", "--count", action="store_true",
                       help="print path:N for each file, N the number of the K best chunks in it")
    shown.add_argument("--vimgrep", action="store_true", help="print each hit as path:line:column:text")
    shown.add_argument("--json", action="store_true", help="print one JSON object per hit")
    output.add_argument("-C", "--context", type=count, metavar="N", help="show N lines before and after the "
                        "hit's line instead of its best lines")
    output.add_argument("-A", "--after-context", type=count, metavar="N", help="show N lines after the hit's line")
    output.add_argument("-B", "--before-context", type=count, metavar="N", help="show N lines before the hit's line")
    output.add_argument("--max-columns", type=count, metavar="N",
                        help="cut lines longer than N characters (default 200 on a terminal, 0 for no limit)")
    heading = output.add_mutually_exclusive_group()
    heading.add_argument("--heading", action="store_true", default=None,
                         help="group hits under each file's name (the default on a terminal)")
    heading.add_argument("--no-heading", action="store_false", dest="heading",
                         help="print the file's name on each hit's line (the default otherwise)")
    output.add_argument("--color", choices=("auto", "always", "never"), default="auto", metavar="WHEN",
                        help="auto (default: on a terminal, unless NO_COLOR is set or TERM is dumb), always, never")
    add_store_options(search)
    search.set_defaults(run=run)


def add_filter_options(command: argparse.ArgumentParser) -> None:
    filters = command.add_argument_group("filters (as rg's)")
    filters.add_argument("--path", "-g", dest="path_globs", action="append", default=[], metavar="GLOB",
                         help="only files matching GLOB (a folder: everything under it); !GLOB leaves them "
                              "out; repeatable, later ones win")
    filters.add_argument("--type", "-t", dest="types", action="append", default=[], metavar="TYPE",
                         help="only files of TYPE, by rg's names (py, c, cpp, js, ts, go, rust, md...)")
    filters.add_argument("--type-not", "-T", dest="types_not", action="append", default=[], metavar="TYPE",
                         help="no files of TYPE")
    tests = filters.add_mutually_exclusive_group()
    tests.add_argument("--no-tests", dest="tests", action="store_const", const="exclude",
                       help="leave out test files")
    tests.add_argument("--only-tests", dest="tests", action="store_const", const="only", help="only test files")
    filters.add_argument("--regex", "-e", metavar="PATTERN",
                         help="only chunks that match PATTERN (RE2 syntax, as rg's); the hit's line is its match")
    case = filters.add_mutually_exclusive_group()
    case.add_argument("-s", "--case-sensitive", dest="case", action="store_const", const="sensitive",
                      help="every word, phrase and pattern matches its case")
    case.add_argument("-i", "--ignore-case", dest="case", action="store_const", const="insensitive",
                      help="nothing matches its case")
    case.add_argument("-S", "--smart-case", dest="case", action="store_const", const="smart",
                      help="what holds an upper-case letter matches its case (the default)")
    command.set_defaults(case="smart", tests=None)


def run(args: argparse.Namespace) -> int:
    from vorpaline.search import query_language

    check_store_options(args)
    if args.query is None and args.regex is None:
        raise CliError("give a QUERY (or --regex PATTERN)")
    query = args.query or ""
    options = dict(path_glob=args.path_globs or None, types=args.types, types_not=args.types_not, tests=args.tests,
                   case=args.case, regex=args.regex)
    try:
        plan = query_language.plan(query, **options)
    except ValueError as error:  # an unknown --type, a pattern RE2 cannot read
        raise CliError(str(error)) from None
    if plan.impossible:
        print(f"{PROG}: nothing can match: {plan.impossible}", file=sys.stderr)
        return 1
    by_file = args.files or args.files_with_matches
    if args.store is not None:  # the store names each file as its repository holds it
        hits = connect_store(args.store).search(query, k=args.top, repository=args.repository, files=by_file,
                                                **options)
        files_root, shown = str(args.path), None
    else:
        root, folder = find_repository(args)
        index = open_index(folder)
        hits = index.search(query, k=args.top, files=by_file, **options)
        files_root, shown = index.root or root, shows_paths(args, root)
    from vorpaline.cli import hit_output

    hit_output.print_hits(hits, args, plan, files_root, shown=shown)
    return 0 if hits else 1
