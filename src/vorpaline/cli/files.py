"""``vorpaline files``: the files of a repository its ignore rules keep, or why one is left out."""

import argparse
import json
import os
import sys

from vorpaline.cli.common import CliError, positive_int, quoted, report_skipped, scan_root, shown_prefix


def add_to(commands) -> None:
    files = commands.add_parser(
        "files",
        help="list the files of a repository that its ignore rules keep",
        description="List the regular files under PATH (default: the current folder) that the ignore rules "
        "keep, one per line, sorted: the built-in and extra patterns of the settings, git's core.excludesFile, "
        ".git/info/exclude and .gitignore files, then .vorpalineignore files. Paths that cannot be read are "
        "reported on standard error.",
    )
    files.add_argument("path", nargs="?", default=".", metavar="PATH", help="the folder to scan (default: .)")
    files.add_argument("--json", action="store_true",
                       help='print {"root", "files": [{"path", "size", "mtime_ns"}], "skipped": [{"path", "reason"}]}')
    files.add_argument("-z", "--null", action="store_true", help="end each path with NUL instead of a newline")
    files.add_argument("--explain", metavar="FILE",
                       help="say which pattern of which file decides FILE, as git check-ignore -v does; "
                       "exit 0 when it is ignored, 1 when it is listed")
    files.add_argument("--threads", type=positive_int, metavar="N", help="walk with N threads (default: one per core)")
    files.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    root = scan_root(args.path)
    if args.explain is not None:
        return _print_explanation(root, args.explain, args.json)
    scan = _scan_module()
    reply_text = scan._core().scan_repository(scan.config_json(root), args.threads or 0)
    reply = json.loads(reply_text)
    listed = _without_index_files(root, reply["files"])
    if args.json:  # the core's reply, the index's files left out: {"root", "files": [...], "skipped": [...]}
        print(reply_text if len(listed) == len(reply["files"]) else json.dumps({**reply, "files": listed}))
        return 0
    prefix = shown_prefix(args.path)
    paths = [item["path"] for item in listed]
    if args.null:  # byte-exact for xargs -0 and the like
        sys.stdout.writelines(f"{prefix}{path}\0" for path in paths)
    else:  # a name that could move the cursor or pose as two lines is quoted, as git quotes it
        sys.stdout.writelines(f"{quoted(prefix + path)}\n" for path in paths)
    sys.stdout.flush()
    for skipped in reply["skipped"]:
        report_skipped(prefix + skipped["path"], skipped["reason"])
    return 0


def _without_index_files(root: str, files: list[dict]) -> list[dict]:
    """The scan's files but an index's own, by the rule an update goes by (``vorpaline index`` never
    indexes them), so that ``files`` lists what an update reads."""
    from vorpaline.search.files import repository_files

    return repository_files(files, os.path.abspath(root), None)


def _scan_module():
    try:
        from vorpaline import scan
    except ImportError as exc:
        raise CliError(f"cannot import vorpaline.scan ({exc}); build it with 'make build'") from None
    return scan


def _relative_to_root(root: str, path: str) -> str:
    """``path`` as the user typed it (relative to the working directory) made relative to ``root``."""
    relative = os.path.relpath(os.path.abspath(path), os.path.abspath(root))
    if relative == os.pardir or relative.startswith(os.pardir + os.sep):
        raise CliError(f"{path} is outside the scanned folder {root}")
    relative = "" if relative == os.curdir else relative.replace(os.sep, "/")
    return relative + "/" if path.endswith("/") and relative else relative


def _print_explanation(root: str, path: str, as_json: bool) -> int:
    explanation = _scan_module().explain(root, _relative_to_root(root, path))
    if as_json:
        print(json.dumps(explanation._asdict(), ensure_ascii=False))
    elif explanation.pattern is not None:
        # git check-ignore -v: where the deciding pattern stands, then the path.
        line = (f"{quoted(explanation.source or '')}:{explanation.line}:{quoted(explanation.pattern)}"
                f"\t{quoted(path)}")
        if explanation.matched not in (None, explanation.path):
            line += f"\t(folder {quoted(explanation.matched)} is excluded)"
        print(line)
    else:
        print(f"::\t{quoted(path)}" + (f"\t({explanation.note})" if explanation.note else ""))
    return 0 if explanation.ignored else 1  # git check-ignore's status: 0 when ignored
