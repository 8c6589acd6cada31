"""``vorpaline index``: build or update a repository's index, locally or in the shared store."""

import argparse
import os
import sys

from vorpaline.cli.common import (
    CliError, add_repository_arguments, add_store_options, check_store_options, connect_store, index_folder,
    report_skipped, scan_root, seconds, shown_prefix,
)

DEFAULT_WAIT = 600.0  # seconds an update waits for another one: long enough for a big build, never forever


def add_to(commands) -> None:
    index = commands.add_parser(
        "index",
        help="build or update the search index of a repository",
        description="Build or update the BM25 index of the repository at PATH (default: the current folder) "
        "in PATH/.vorpaline (or --index DIR), from the files the scan lists: unchanged files are not read again.",
    )
    add_repository_arguments(index, index_help="keep the index in DIR (default: PATH/.vorpaline)")
    index.add_argument("--rebuild", action="store_true", help="start from nothing")
    index.add_argument("--force", action="store_true",
                       help="with --store and --rebuild: replace a collection vorpaline did not make")
    index.add_argument("--wait", type=seconds, default=DEFAULT_WAIT, metavar="SECONDS",
                       help=f"wait at most this long for another update to finish (default {DEFAULT_WAIT:g}; "
                            "'inf': as long as it takes)")
    index.add_argument("--quiet", action="store_true", help="print nothing")
    add_store_options(index)
    index.add_argument("--dry-run", action="store_true",
                       help="with --store: print what would be sent and deleted, and send nothing")
    index.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from vorpaline.search import LockTimeout, NotAnIndexFolder

    check_store_options(args)
    root = scan_root(args.path)
    folder = index_folder(args)
    update = _store_update(args, root) if args.store is not None else _local_update(args, root, folder)
    bar = None
    if not args.quiet and not args.dry_run and sys.stderr is not None and sys.stderr.isatty():
        bar = _ProgressBar(*_files_to_index(root, folder))
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


def _store_update(args: argparse.Namespace, root: str):
    """The update of ``root`` in the shared store, to run with a progress callback."""
    store = connect_store(args.store, args.rebuild, args.force)
    return lambda progress: store.update(root, repository=args.repository, progress=progress,
                                         dry_run=args.dry_run, report=print)


def _local_update(args: argparse.Namespace, root: str, folder: str):
    """The update of ``root``'s index in ``folder``, to run with a progress callback."""
    from vorpaline.search import Index, NotAnIndexFolder

    try:
        index = Index.for_repository(root, folder, rebuild=args.rebuild)
    except NotAnIndexFolder as error:
        raise CliError(error.strerror) from None
    prefix = shown_prefix(args.path)
    skipped_path = None if args.quiet else lambda path, reason: report_skipped(prefix + path, reason)
    return lambda progress: index.update(root, wait=args.wait, progress=progress, skipped_path=skipped_path)


def _print_counts(counts) -> None:
    print(f"indexed {counts.indexed} files, skipped {counts.skipped}, unchanged {counts.unchanged}, "
          f"removed {counts.removed}; {counts.chunks} chunks, {counts.bytes / 1e6:.1f} MB "
          f"in {counts.seconds:.2f} s")
    if counts.without_parser:
        print("no parser for " + ", ".join(f"{language} ({count} file{'s' if count != 1 else ''})"
                                           for language, count in sorted(counts.without_parser.items()))
              + ": chunked by lines, without definitions")


class _ProgressBar:
    """A tqdm bar over the bytes of the files an update looks at, with the file count beside it."""

    def __init__(self, total_files: int, total_bytes: int) -> None:
        from tqdm import tqdm

        self._total_files = total_files
        self._bar = tqdm(total=total_bytes, unit="B", unit_scale=True, unit_divisor=1000, leave=False,
                         dynamic_ncols=True, file=sys.stderr, desc="indexing",
                         # tqdm's {postfix} starts with ", ": the file count goes after the bar
                         bar_format="{desc} {percentage:3.0f}%|{bar}| {n_fmt}B/{total_fmt}B{postfix} "
                                    "[{rate_fmt}, {remaining} left]", postfix=f"0/{total_files} files")

    def __call__(self, files_done: int, bytes_done: int) -> None:
        self._bar.set_postfix_str(f"{files_done}/{self._total_files} files", refresh=False)
        self._bar.update(bytes_done - self._bar.n)

    def close(self) -> None:
        self._bar.close()


def _files_to_index(root: str, folder: str) -> tuple[int, int]:
    """How many files an update of ``root`` will look at, and their bytes: the bar's totals."""
    from vorpaline.search import listed_files

    listed = listed_files(os.path.abspath(root), os.path.abspath(folder))
    return len(listed), sum(f.size for f in listed)
