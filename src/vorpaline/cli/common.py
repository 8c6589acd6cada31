"""What several commands share: their errors, parser, argument types, store options and reports.

Imports only the standard library: a command loads the search package when it runs, not when
the parser is built.
"""

import argparse
import os
import sys
from typing import NamedTuple

PROG = "vorpaline"


# As grep and rg: 0 when something was found, 1 when nothing was, 2 on any error.
FOUND, NOT_FOUND, ERROR = 0, 1, 2


class CliError(Exception):
    """A failure reported to the user as one line, without a traceback."""

    exit_status = ERROR


class UsageError(CliError):
    pass


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

def _integer_at_least(text: str, least: int, needs: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {needs}: {text!r}")
    return value


def positive_int(text: str) -> int:
    return _integer_at_least(text, 1, "at least 1")


def count(text: str) -> int:
    """A number of lines or columns: 0 or more."""
    return _integer_at_least(text, 0, "0 or more")


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


INDEX_FOLDER = ".vorpaline"  # as vorpaline.search.files names it; not imported, so --help stays fast


class _NotGiven(str):
    """PATH's default: "." to code that reads ``args.path``, and told apart from a "." typed."""


NOT_GIVEN = _NotGiven(os.curdir)


def path_given(args: argparse.Namespace) -> bool:
    path = getattr(args, "path", None)
    return path is not None and not isinstance(path, _NotGiven)


def add_repository_arguments(command: argparse.ArgumentParser,
                             index_help: str = "the index folder (default: PATH/.vorpaline)") -> None:
    command.add_argument("path", nargs="?", default=NOT_GIVEN, metavar="PATH",
                         help="the repository (default: the nearest folder above the current one that holds "
                              "a .vorpaline index, else the git work tree holding it, else .)")
    command.add_argument("--index", metavar="DIR", help=index_help)


class Repository(NamedTuple):
    root: str  # as the user typed it, or relative to the current folder when it was found by walking up
    index_folder: str


def find_repository(args: argparse.Namespace) -> Repository:
    """The repository a command works on and its index folder, as git finds its ``.git``.

    An explicit PATH or ``--index`` is taken as given (PATH defaults to ``.``). Otherwise the nearest
    folder from the current one up that holds an index; failing that, the top of the git work tree
    holding the current folder; failing that, ``.``. The walk stops at a work tree's top: an index
    above the repository is not this repository's.
    """
    index = getattr(args, "index", None)
    if path_given(args) or index is not None:
        root = str(args.path) if path_given(args) else os.curdir
        return Repository(root, index if index is not None else os.path.join(root, INDEX_FOLDER))
    here = os.getcwd()
    top = _nearest_repository_top(here)
    if top is None or top == here:
        return Repository(os.curdir, os.path.join(os.curdir, INDEX_FOLDER))
    root = os.path.relpath(top, here)
    return Repository(root, os.path.join(root, INDEX_FOLDER))


def _nearest_repository_top(start: str) -> str | None:
    """The nearest folder from ``start`` up holding an index, else the nearest holding ``.git``, else None."""
    folder = start
    while True:
        if _holds_index(os.path.join(folder, INDEX_FOLDER)):
            return folder
        if os.path.lexists(os.path.join(folder, ".git")):  # a folder, or the file of a worktree or submodule
            return folder
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def _holds_index(folder: str) -> bool:
    # The marker, or the manifest of an index made before the marker existed: an empty or foreign
    # .vorpaline folder is not an index to search.
    return any(os.path.isfile(os.path.join(folder, name)) for name in ("VORPALINE-INDEX", "MANIFEST"))


def shown_path(repository_root: str, path_in_repository: str) -> str:
    """A repository's path as rg and git grep print it: below an absolute PATH as given, else
    relative to the current folder (``../src/x.py``; from inside ``src/``, ``x.py``)."""
    if os.path.isabs(repository_root):
        return repository_root.rstrip("/") + "/" + path_in_repository
    here = os.getcwd()
    return os.path.relpath(os.path.join(here, repository_root, path_in_repository), here)


def shows_paths(args: argparse.Namespace, repository_root: str):
    """How a command prints a path of the repository: relative to the current folder when the
    repository was found from it (a subfolder's ``../src/x.py``, as git grep prints it), and as the
    repository holds it when PATH or ``--index`` named the repository."""
    if path_given(args) or getattr(args, "index", None) is not None:
        return lambda path: path
    return lambda path: shown_path(repository_root, path)


def index_folder(args: argparse.Namespace) -> str:
    return find_repository(args).index_folder


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
