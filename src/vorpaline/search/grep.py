"""Exact and regular-expression search of a repository's files, as rg answers it, from the index.

The index keeps, beside its BM25 segments, trigram segments: for each file read, the set of its
three-byte sequences (ASCII case folded). A search turns its pattern into a boolean query over
trigrams (``grep_pattern``); the core evaluates it on the segments to pick the candidate files and
verifies each candidate with RE2 as the file is now, on several threads. A file whose size or
modification time differs from the one indexed is a candidate whatever the query says, and a file
the index does not hold (added since, or one it could not read) is read as it is: the answer is
the one a fresh search gives. Whether files were added since is told by the folders' and ignore
files' stamps the last update recorded; when they moved, the repository is scanned again.
Without a trigram index (an index made with ``--no-grep-index``, or none at all) every file the
scan lists is read.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import orjson

from vorpaline.search.files import repository_files
from vorpaline.search.grep_pattern import GrepPattern, PatternError, compile_patterns
from vorpaline.search.native import core, loads
from vorpaline.search.path_filters import folder_globs, str_list, type_globs

__all__ = ["GrepFile", "GrepLine", "GrepResult", "PatternError", "HIDDEN_GLOB", "MODES", "grep_repository"]

MODES = ("lines", "files", "count")
# rg leaves out hidden files and folders unless --hidden; as the first glob, any later one overrides it.
HIDDEN_GLOB = "!.*"


@dataclass(frozen=True, slots=True)
class GrepLine:
    """A line of a file as it is now: 1-based ``number``, ``offset`` of its first byte in the file, its
    bytes with the line end, and the byte ranges of the matches in it; ``submatches`` is None for a
    line shown as context."""

    number: int
    offset: int
    text: bytes
    submatches: tuple[tuple[int, int], ...] | None

    @property
    def is_match(self) -> bool:
        return self.submatches is not None


@dataclass(frozen=True, slots=True)
class GrepFile:
    """A file with matches: its path in the repository, its matching lines (and context lines) in order
    when the search asked for lines, and the number of lines that match (None when it asked for files)."""

    path: str
    lines: tuple[GrepLine, ...]
    count: int | None


@dataclass(frozen=True, slots=True)
class GrepResult:
    files: list[GrepFile]
    pattern: GrepPattern
    stats: dict[str, int]


def grep_repository(root: str, state: dict[str, Any] | None, patterns: str | Sequence[str], *,
                    fixed: bool = False, case: str = "sensitive", word: bool = False,
                    path_glob: str | Sequence[str] = (), types: Sequence[str] = (), types_not: Sequence[str] = (),
                    hidden: bool = False, paths: Sequence[str] | None = None, mode: str = "lines",
                    before: int = 0, after: int = 0, max_count: int | None = None,
                    threads: int | None = None, index_folder: str | None = None) -> GrepResult:
    """The files under ``root`` matching any of ``patterns`` (rg's syntax), in rg's ``--sort path`` order.

    ``state`` is what the index knows (``GrepState.request_part``): its trigram segments, the files it
    holds without a trigram document, and the listing's stamps; None searches every file the scan lists.
    ``paths`` (repository-relative) keeps the files at or under them. ``mode`` is "lines", "files" (stop
    at each file's first match) or "count"."""
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, not {mode!r}")
    pattern = compile_patterns(str_list(patterns, "patterns"), fixed=fixed, case=case, word=word)
    globs = ([] if hidden else [HIDDEN_GLOB]) + folder_globs(str_list(path_glob, "path_glob"))
    request: dict[str, Any] = {
        "root": root, "pattern": pattern.re2, "match_group": pattern.match_group, "query": pattern.query, "mode": mode,
        "before": before, "after": after, "max_count": max_count,
        "prefixes": _prefixes(paths),
        "globs": globs, "type_globs": type_globs(str_list(types, "types"), str_list(types_not, "types_not")),
    }
    request.update(_file_sources(root, state, index_folder))
    found, stats = core().grep_search(orjson.dumps(request).decode(), threads or 0)
    return GrepResult([_grep_file(path, result, mode) for path, result in found], pattern, stats)


def _prefixes(paths: Sequence[str] | None) -> list[str] | None:
    """The repository-relative folders or files searched; None for the whole repository."""
    if paths is None:
        return None
    prefixes = [os.path.normpath(path).strip("/") for path in paths]
    return None if any(prefix in ("", os.curdir) for prefix in prefixes) else prefixes


def _file_sources(root: str, state: dict[str, Any] | None, index_folder: str | None) -> dict[str, Any]:
    """The segments, listing and extra files of a request: the index's when its listing is current."""
    if state is not None and state["stamps"] is not None and \
            core().listing_unchanged(root, orjson.dumps(state["stamps"]).decode(), 0):
        return {"segments": state["segments"], "listing": None, "extra": state["extra"]}
    from vorpaline.scan import config_json

    listed = repository_files(loads(core().scan_repository(config_json(root), 0))["files"], root, index_folder)
    if state is None:
        return {"segments": [], "listing": None, "extra": [[item["path"], None, None] for item in listed]}
    # Files the index holds without a document (binary, unreadable) are read again only if they changed.
    unread = {path: (size, mtime_ns) for path, size, mtime_ns in state["extra"]}
    in_documents = state["documents"]
    extra = [[item["path"], *unread.get(item["path"], (None, None))] for item in listed
             if item["path"] not in in_documents]
    return {"segments": state["segments"], "listing": [item["path"] for item in listed], "extra": extra}


def _grep_file(path: str, result: Any, mode: str) -> GrepFile:
    if mode == "files":
        return GrepFile(path, (), None)
    if mode == "count":
        return GrepFile(path, (), result)
    lines = tuple(GrepLine(*line) for line in result)
    return GrepFile(path, lines, sum(line.submatches is not None for line in lines))


def repository_prefixes(root: str, operands: Sequence[str]) -> list[str]:
    """The repository-relative paths that PATH operands (relative to the current folder, or absolute)
    name; a ValueError for one outside the repository."""
    top = os.path.realpath(root)
    prefixes = []
    for operand in operands:
        inside = os.path.relpath(os.path.realpath(operand), top)
        if inside == os.pardir or inside.startswith(os.pardir + os.sep):
            raise ValueError(f"{operand}: not in the repository at {root}")
        prefixes.append("" if inside == os.curdir else inside.replace(os.sep, "/"))
    return prefixes
