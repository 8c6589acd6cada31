"""``vorpaline index``: build or update a repository's index, locally or in the shared store."""

import argparse
import bisect
import itertools
import os
import sys

from typing import Any, NamedTuple

from vorpaline.cli.common import (
    CliError, add_repository_arguments, add_store_options, check_store_options, connect_store, find_repository,
    path_given, report_skipped, scan_root, seconds, shown_path,
)

DEFAULT_WAIT = 600.0  # seconds an update waits for another one: long enough for a big build, never forever


def add_to(commands) -> None:
    index = commands.add_parser(
        "index",
        help="build or update the search index of a repository",
        description="Build or update the BM25 index of the repository at PATH in PATH/.vorpaline (or --index DIR), "
        "from the files the scan lists: unchanged files are not read again. Without PATH: the repository "
        "holding the current folder (the nearest folder up with an index, else the git work tree's top, else .). "
        "The index folder gets a .gitignore holding '*', so git never lists it.",
    )
    add_repository_arguments(index, index_help="keep the index in DIR (default: PATH/.vorpaline)")
    index.add_argument("--rebuild", action="store_true", help="start from nothing")
    index.add_argument("--force", action="store_true",
                       help="with --store and --rebuild: replace a collection vorpaline did not make")
    index.add_argument("--wait", type=seconds, default=DEFAULT_WAIT, metavar="SECONDS",
                       help=f"wait at most this long for another update to finish (default {DEFAULT_WAIT:g}; "
                            "'inf': as long as it takes)")
    index.add_argument("--quiet", action="store_true", help="print nothing")
    index.add_argument("--check", action="store_true",
                       help="read the whole index and check every file against its checksum; change nothing")
    grep_index = index.add_mutually_exclusive_group()
    grep_index.add_argument("--no-grep-index", dest="grep", action="store_false", default=None,
                            help="keep no trigram index: 'vorpaline grep' then reads every file")
    grep_index.add_argument("--grep-index", dest="grep", action="store_true",
                            help="keep the trigram index 'vorpaline grep' answers from (the default)")
    add_store_options(index)
    index.add_argument("--dry-run", action="store_true",
                       help="with --store: print what would be sent and deleted, and send nothing")
    index.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vorpaline.search import LockTimeout, NotAnIndexFolder

    check_store_options(args)
    root, folder = find_repository(args)
    if args.check:
        return _check(args, folder)
    scan_root(root)
    if os.path.normpath(root) != os.curdir and not path_given(args) and args.index is None and not args.quiet:
        print(f"indexing {os.path.abspath(root)} (the repository holding the current folder)", file=sys.stderr)
    bar = None
    if args.store is not None:
        update = _store_update(args, root)
        if _shows_progress(args):
            listed = _listed(root, folder)
            bar = _ProgressBar(_Totals(len(listed), sum(f.size for f in listed)))
    else:
        index = _local_index(args, root, folder)
        update = _local_update(args, root, index)
        if _shows_progress(args):
            bar = _ProgressBar(_totals(_listed(root, folder), _known_files(index)))
    try:
        counts = update(bar)
    except (LockTimeout, NotAnIndexFolder) as error:
        raise CliError(error.strerror) from None
    finally:
        if bar is not None:
            bar.close()
    if not args.quiet and not args.dry_run:
        _print_counts(counts)
    return 0


def _check(args: argparse.Namespace, folder: str) -> int:
    from vorpaline.search import Index, IndexUnusable

    if args.store is not None or args.rebuild:
        raise CliError("--check reads the local index as it is: give it without --store and --rebuild")
    try:
        checked = Index.open(folder).check()
    except (FileNotFoundError, IndexUnusable) as error:
        raise CliError(str(error)) from None
    if not args.quiet:
        print(f"{folder}: {checked} files checked, every one intact")
    return 0


def _store_update(args: argparse.Namespace, root: str):
    """The update of ``root`` in the shared store, to run with a progress callback."""
    store = connect_store(args.store, args.rebuild, args.force)
    return lambda progress: store.update(root, repository=args.repository, progress=progress,
                                         dry_run=args.dry_run, report=print)


def _shows_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and not args.dry_run and sys.stderr is not None and sys.stderr.isatty()


def _local_index(args: argparse.Namespace, root: str, folder: str):
    """The index of ``root`` in ``folder``, made when missing, and kept out of git's sight."""
    from vorpaline.search import Index, NotAnIndexFolder, index_folder

    try:
        index = Index.for_repository(root, folder, rebuild=args.rebuild)
    except NotAnIndexFolder as error:
        raise CliError(error.strerror) from None
    index_folder.ignore_in_git(index.folder)
    return index


def _local_update(args: argparse.Namespace, root: str, index):
    """The update of ``root``'s index, to run with a progress callback."""
    skipped_path = None if args.quiet else lambda path, reason: report_skipped(shown_path(root, path), reason)
    return lambda progress: index.update(root, wait=args.wait, progress=progress, skipped_path=skipped_path,
                                         grep=args.grep)


def _print_counts(counts) -> None:
    print(f"indexed {counts.indexed} files, skipped {counts.skipped}, unchanged {counts.unchanged}, "
          f"removed {counts.removed}; {counts.chunks} chunks, {counts.bytes / 1e6:.1f} MB "
          f"in {counts.seconds:.2f} s")
    if counts.without_parser:
        print("no parser for " + ", ".join(f"{language} ({count} file{'s' if count != 1 else ''})"
                                           for language, count in sorted(counts.without_parser.items()))
              + ": chunked by lines, without definitions")


class _Totals(NamedTuple):
    files: int  # the files an update will read
    bytes: int  # and their bytes, as the summary counts them
    # Per file in the order the update takes them: the bytes it reports when the file is done (its
    # whole size, a too-large file's included) and the bytes read. Empty: the reports are the bytes.
    sizes: tuple[tuple[int, int], ...] = ()


def _totals(listed, known: dict[str, tuple[int, int]], max_file_bytes: int | None = None) -> _Totals:
    """What an update of the ``listed`` files will read, given the (size, mtime_ns) of each file
    the index holds: files that changed or are new. A file over ``max_file_bytes`` is only
    looked at (its first bytes tell it is too large), so its bytes are not counted."""
    from vorpaline.search.files import DEFAULT_MAX_FILE_BYTES

    limit = DEFAULT_MAX_FILE_BYTES if max_file_bytes is None else max_file_bytes
    sizes = tuple((f.size, f.size if f.size <= limit else 0) for f in listed if known.get(f.path) != (f.size, f.mtime_ns))
    return _Totals(len(sizes), sum(read for _, read in sizes), sizes)


def _listed(root: str, folder: str) -> list[Any]:
    from vorpaline.search import listed_files

    return listed_files(os.path.abspath(root), os.path.abspath(folder))


def _known_files(index) -> dict[str, tuple[int, int]]:
    # The manifest's record of each file, which the update compares the scan with.
    return {path: (entry["size"], entry["mtime_ns"]) for path, entry in index._reading_manifest()["files"].items()}


class _ProgressBar:
    """A tqdm bar over the bytes an update will read, with the file count beside it.

    The update reports the files and bytes it has looked at, unchanged ones and whole sizes of
    files too large to read included; the bar counts from its first report (the files it need not
    read) and only the bytes read, so it ends at its totals and its time left is measured on the
    reading alone."""

    def __init__(self, totals: _Totals) -> None:
        from tqdm import tqdm

        self.totals = totals
        self._start: tuple[int, int] | None = None
        self._reported_upto = list(itertools.accumulate(reported for reported, _ in totals.sizes))
        self._read_upto = list(itertools.accumulate(read for _, read in totals.sizes))
        self._bar = tqdm(total=totals.bytes, unit="B", unit_scale=True, unit_divisor=1000, leave=False,
                         dynamic_ncols=True, file=sys.stderr, desc="indexing",
                         # tqdm's {postfix} starts with ", ": the file count goes after the bar
                         bar_format="{desc} {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B{postfix} "
                                    "[{rate_fmt}, {remaining} left]", postfix=f"0/{totals.files} files")

    def __call__(self, files_done: int, bytes_done: int) -> None:
        if self._start is None:
            self._start = (files_done, bytes_done)
        files = min(self.totals.files, max(0, files_done - self._start[0]))
        self._bar.set_postfix_str(f"{files}/{self.totals.files} files", refresh=False)
        self._bar.update(self._position(files, bytes_done - self._start[1]) - self._bar.n)

    def _position(self, files: int, reported: int) -> int:
        # The update reports whole sizes, too-large files' included, in about the order of the
        # plan: the reported bytes are turned into the bytes read by the files done up to there.
        if files >= self.totals.files:
            return self.totals.bytes
        if not self._reported_upto:
            return min(self.totals.bytes, max(0, reported))
        done = bisect.bisect_right(self._reported_upto, reported)
        return self._read_upto[done - 1] if done else 0

    def close(self) -> None:
        self._bar.close()
