"""What several commands share: their errors, parser, argument types, store options and reports.

Imports only the standard library: a command loads the search package when it runs, not when
the parser is built.
"""

import argparse
import os
import sys

PROG = "vorpaline"


class CliError(Exception):
    """A failure reported to the user as one line, without a traceback."""

    exit_status = 1


class UsageError(CliError):
    exit_status = 2


class Parser(argparse.ArgumentParser):
    _intermixing = False

    def error(self, message: str):  # argparse would print usage and exit; main reports it instead
        raise UsageError(f"{message} (see '{PROG} --help')")

    def parse_known_args(self, args=None, namespace=None):  # type: ignore[override]
        # A command takes its options and operands in any order, as rg and git do
        # (`search QUERY -t py src`); argparse alone stops filling operands at the first option.
        # After "--" everything is an operand; argparse's intermixed parsing loses that, the plain one keeps it.
        if self._subparsers is not None or self._intermixing or args is not None and "--" in args:
            return super().parse_known_args(args, namespace)
        self._intermixing = True
        try:
            return super().parse_known_intermixed_args(args, namespace)
        finally:
            self._intermixing = False


# --- argument types ----------------------------------------------------------------------------

def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text!r}")
    return value


# --- the repository and its index ----------------------------------------------------------------

def scan_root(path: str) -> str:
    if not os.path.isdir(path):
        reason = "no such directory" if not os.path.exists(path) else "not a directory"
        raise CliError(f"cannot scan {path}: {reason}")
    return path


def shown_prefix(path: str) -> str:
    """What goes before a path relative to the repository at ``path`` to show it as the user typed it."""
    return "" if os.path.normpath(path) == os.curdir else path.rstrip("/") + "/"


def add_repository_arguments(command: argparse.ArgumentParser,
                             index_help: str = "the index folder (default: PATH/.vorpaline)") -> None:
    command.add_argument("path", nargs="?", default=".", metavar="PATH", help="the repository (default: .)")
    command.add_argument("--index", metavar="DIR", help=index_help)


def index_folder(args: argparse.Namespace) -> str:
    return args.index if args.index is not None else os.path.join(args.path, ".vorpaline")


def open_index(folder: str):
    from vorpaline.search import Index, NotAnIndexFolder

    try:
        return Index.open(folder)
    except NotAnIndexFolder as error:
        raise CliError(error.strerror) from None
    except FileNotFoundError:
        raise CliError(f"no index in {folder}; create it with '{PROG} index'") from None


# --- the shared store --------------------------------------------------------------------------

def add_store_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("--store", metavar="URL",
                         help="a Qdrant collection instead of the local index: qdrant://HOST:PORT/COLLECTION or "
                              "https://HOST:PORT/COLLECTION (API key from $VORPALINE_QDRANT_API_KEY)")
    command.add_argument("--repository", metavar="NAME",
                         help="with --store: the repository's name in the collection (index: default PATH's "
                              "folder name; search: default all of them)")


def check_store_options(args: argparse.Namespace) -> None:
    if args.store is None:
        for option, given in [("--repository", args.repository), ("--dry-run", getattr(args, "dry_run", False)),
                              ("--force", getattr(args, "force", False))]:
            if given:
                raise CliError(f"{option} goes with --store")
    elif args.index is not None:
        raise CliError("--index and --store name two different indexes: give one")


def connect_store(url: str, rebuild: bool = False, force: bool = False):
    try:
        from vorpaline.search.qdrant import QdrantStore
    except ImportError as error:
        raise CliError(f"--store needs qdrant-client ({error}): pip install 'vorpaline[qdrant]'") from None
    return QdrantStore.connect(url, rebuild=rebuild, force=force)


# --- reports -----------------------------------------------------------------------------------

def quoted(name: str) -> str:
    from vorpaline.search.snippets import quoted_name

    return quoted_name(name)


def report_skipped(path: str, reason: str) -> None:
    print(f"{PROG}: skipped {quoted(path)}: {reason}", file=sys.stderr)


def report(message: object) -> None:
    one_line = " ".join(line.strip() for line in str(message).splitlines())
    if not one_line and isinstance(message, BaseException):
        one_line = type(message).__name__
    print(f"{PROG}: error: {one_line}", file=sys.stderr)
