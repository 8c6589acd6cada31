"""``vorpaline grep``: every line matching a pattern, as rg prints it, answered from the index."""

import argparse
import sys

from vorpaline.cli.common import FOUND, NOT_FOUND, PROG, CliError, count, positive_int

DESCRIPTION = """\
Print the lines of the repository's files that match PATTERN (rg's regular expression syntax), in
path order, as rg does: the same files (git's ignore rules; hidden files only with --hidden), lines
and output. The index's trigrams pick the files that can match and the rest are never read; files
changed or added since the index was updated are searched as they are now. Without an index every
file is read. Exit status: 0 when a line matched, 1 when none did, 2 on an error."""


def add_to(commands) -> None:
    grep = commands.add_parser(
        "grep", help="every line matching a regular expression or a text, as rg prints it, from the index",
        description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="examples:\n"
               f"  {PROG} grep 'def\\s+should_\\w+'\n"
               f"  {PROG} grep -F 'foo(bar, ' src -t py\n"
               f"  {PROG} grep -w -i timeout -g '!tests' -C 2\n"
               f"  {PROG} grep -e urlsplit -e urlparse --json")
    grep.add_argument("operands", nargs="*", metavar="PATTERN [PATH ...]",
                      help="the pattern (unless -e gives it), then the files or folders to search "
                           "(default: the current folder)")
    pattern = grep.add_argument_group("pattern")
    pattern.add_argument("-e", "--regexp", dest="patterns", action="append", default=[], metavar="PATTERN",
                         help="a pattern; repeatable, a line matching any of them matches")
    pattern.add_argument("-F", "--fixed-strings", action="store_true", help="the patterns are texts, not regexes")
    pattern.add_argument("-w", "--word-regexp", action="store_true", help="only matches that are whole words")
    case = pattern.add_mutually_exclusive_group()
    case.add_argument("-s", "--case-sensitive", dest="case", action="store_const", const="sensitive",
                      help="match case (the default)")
    case.add_argument("-i", "--ignore-case", dest="case", action="store_const", const="insensitive",
                      help="ignore case")
    case.add_argument("-S", "--smart-case", dest="case", action="store_const", const="smart",
                      help="ignore case unless the pattern has an upper-case letter")
    filters = grep.add_argument_group("files")
    filters.add_argument("-g", "--glob", dest="globs", action="append", default=[], metavar="GLOB",
                         help="only files matching GLOB (a folder: everything under it); !GLOB leaves them out")
    filters.add_argument("-t", "--type", dest="types", action="append", default=[], metavar="TYPE",
                         help="only files of TYPE (rg's names: py, c, cpp, js, rust...)")
    filters.add_argument("-T", "--type-not", dest="types_not", action="append", default=[], metavar="TYPE",
                         help="no files of TYPE")
    filters.add_argument("-.", "--hidden", action="store_true", help="search hidden files and folders too")
    filters.add_argument("--index", metavar="DIR", help="the index folder (default: the nearest .vorpaline "
                                                        "above the current folder)")
    output = grep.add_argument_group("output")
    shown = output.add_mutually_exclusive_group()
    shown.add_argument("-l", "--files-with-matches", action="store_true", help="print only the files' paths")
    shown.add_argument("-c", "--count", action="store_true", help="print path:N, N the number of matching lines")
    shown.add_argument("--json", action="store_true", help="print rg's JSON lines (begin, match, context, end, "
                                                           "summary)")
    shown.add_argument("--vimgrep", action="store_true", help="print each match as path:line:column:text")
    shown.add_argument("-o", "--only-matching", action="store_true", help="print only the matching parts")
    numbers = output.add_mutually_exclusive_group()
    numbers.add_argument("-n", "--line-number", dest="line_number", action="store_true", default=None,
                         help="show line numbers (the default on a terminal)")
    numbers.add_argument("-N", "--no-line-number", dest="line_number", action="store_false",
                         help="no line numbers")
    output.add_argument("--column", action="store_true", help="show the column (in bytes) of the first match")
    names = output.add_mutually_exclusive_group()
    names.add_argument("-H", "--with-filename", dest="with_filename", action="store_true", default=None,
                       help="show each line's path (the default unless one file is searched)")
    names.add_argument("-I", "--no-filename", dest="with_filename", action="store_false", help="no paths")
    heading = output.add_mutually_exclusive_group()
    heading.add_argument("--heading", action="store_true", default=None,
                         help="paths above their files' lines (the default on a terminal)")
    heading.add_argument("--no-heading", action="store_false", dest="heading", help="the path on every line")
    output.add_argument("-A", "--after-context", type=count, metavar="N", help="show N lines after each match")
    output.add_argument("-B", "--before-context", type=count, metavar="N", help="show N lines before each match")
    output.add_argument("-C", "--context", type=count, metavar="N", help="show N lines before and after each match")
    output.add_argument("-m", "--max-count", type=positive_int, metavar="N", help="at most N matching lines a file")
    output.add_argument("--color", choices=("auto", "always", "never"), default="auto", metavar="WHEN",
                        help="auto (default: on a terminal, unless NO_COLOR is set or TERM is dumb), always, never")
    grep.add_argument("-j", "--threads", type=count, default=0, metavar="N", help="threads (default: one per core)")
    grep.set_defaults(run=run, case="sensitive")


def run(args: argparse.Namespace) -> int:
    operands = list(args.operands)
    patterns = args.patterns or operands[:1]
    if not patterns:
        raise CliError("give a PATTERN (or -e PATTERN)")
    paths = operands if args.patterns else operands[1:]
    from vorpaline.cli import grep_output
    from vorpaline.search.grep import PatternError

    where = grep_output.Where.find(args.index, paths)
    mode = "files" if args.files_with_matches else "count" if args.count else "lines"
    context = args.context or 0
    options = dict(fixed=args.fixed_strings, case=args.case, word=args.word_regexp, path_glob=args.globs,
                   types=args.types, types_not=args.types_not, hidden=args.hidden, paths=where.prefixes,
                   mode=mode, before=args.before_context if args.before_context is not None else context,
                   after=args.after_context if args.after_context is not None else context,
                   max_count=args.max_count, threads=args.threads)
    try:
        result = where.grep(patterns, options)
    except PatternError as error:
        raise CliError(str(error)) from None
    printer = grep_output.GrepPrinter(args, where, result, sys.stdout.buffer)
    printer.print_all()
    return FOUND if result.files else NOT_FOUND
