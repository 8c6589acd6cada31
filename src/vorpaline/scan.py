"""The files of a repository, as its ignore rules leave them.

``scan(repo_path)`` lists the regular files under ``repo_path`` that the
ignore rules keep, with their size and modification time, sorted by path.
The rules and their precedence (README, "Repository scan"): the built-in and
extra patterns of ``vorpaline.config.settings``, then git's
``core.excludesFile``, ``.git/info/exclude`` and every ``.gitignore`` (when
``settings.ignore_mode`` is ``"git+vorpaline"``), then every
``.vorpalineignore``. The native core walks the tree with several threads,
without the interpreter lock.
"""

from __future__ import annotations

import json
import os
from typing import NamedTuple

__all__ = [
    "Explanation",
    "ScanReport",
    "ScannedFile",
    "SkippedPath",
    "explain",
    "listing_unchanged",
    "scan",
    "scan_report",
]


class ScannedFile(NamedTuple):
    path: str  # relative to the root, '/'-separated
    size: int
    mtime_ns: int


class SkippedPath(NamedTuple):
    """A path the scan could not read ("permission denied", "name is not valid UTF-8", ...).

    A name that is not UTF-8 is decoded as ``os.fsdecode`` does, so
    ``os.fsencode(path)`` gives its bytes back.
    """

    path: str
    reason: str


class ScanReport(NamedTuple):
    root: str
    files: list[ScannedFile]
    skipped: list[SkippedPath]


class Explanation(NamedTuple):
    """What decides whether a path is listed, as ``git check-ignore -v`` tells it.

    ``source``, ``line`` and ``pattern`` name the deciding pattern (None when
    no pattern matches; ``pattern`` starts with ``!`` when it re-includes the
    path); ``matched`` is the path it matched, the path itself or an excluded
    folder above it; ``note`` names a rule of the walk that is no pattern.
    """

    path: str
    ignored: bool
    source: str | None
    line: int | None
    pattern: str | None
    matched: str | None
    note: str | None


def _core(capability: str = "scan_repository"):
    from vorpaline.enginecheck import require_capability

    require_capability(capability, "vorpaline.scan")
    import vorpaline_core_py

    return vorpaline_core_py


def config_json(repo_path: str | os.PathLike[str], *, stamps: bool = False) -> str:
    """The scan configuration of ``repo_path`` from the current settings, as the core takes it.

    With ``stamps`` the core's reply also carries ``"stamps"``: what
    ``listing_unchanged`` needs to tell later that the file list still stands.
    """
    from vorpaline.skiprules import build_scan_config

    config = build_scan_config(os.fspath(repo_path))
    if stamps:
        config["stamps"] = True
    return json.dumps(config)


def listing_unchanged(repo_path: str | os.PathLike[str], stamps_json: str, *, threads: int | None = None) -> bool:
    """Whether a scan of ``repo_path`` would list what the scan that gave ``stamps_json`` listed.

    ``stamps_json`` is the JSON text of that reply's ``"stamps"``. True only when
    no folder read and no file deciding the rules has changed since, and no stamp
    is too recent to tell; a file's content changing in place is no listing change.
    """
    return _core("listing_unchanged").listing_unchanged(os.fspath(repo_path), stamps_json, threads or 0)


def scan_report(repo_path: str | os.PathLike[str], *, threads: int | None = None) -> ScanReport:
    """The files and the skipped paths under ``repo_path``; ``threads`` defaults to one per core."""
    reply_text = _core().scan_repository(config_json(repo_path), threads or 0)
    reply = json.loads(reply_text)
    return ScanReport(
        reply["root"],
        [ScannedFile(item["path"], item["size"], item["mtime_ns"]) for item in reply["files"]],
        [SkippedPath(item["path"], item["reason"]) for item in reply["skipped"]],
    )


def scan(repo_path: str | os.PathLike[str], *, threads: int | None = None) -> list[ScannedFile]:
    """The files under ``repo_path`` that the ignore rules keep, sorted by path."""
    return scan_report(repo_path, threads=threads).files


def explain(repo_path: str | os.PathLike[str], path: str) -> Explanation:
    """What decides ``path`` (relative to ``repo_path``; a trailing '/' for a folder that does not exist)."""
    reply = json.loads(_core().scan_explain(config_json(repo_path), path))
    return Explanation(**reply)
