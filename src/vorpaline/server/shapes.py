"""What the servers answer, as JSON: one shape for each record, whichever server sends it."""

from __future__ import annotations

from typing import Any

from vorpaline.search import Definition, Hit, Reference, Status, UpdateCounts
from vorpaline.search.grep import GrepFile
from vorpaline.server.library import FileLines

MAX_STALE_SHOWN = 100  # paths a status lists of the files that changed since the last update


def hit(found: Hit) -> dict[str, Any]:
    return {"repository": found.repository, "path": found.path, "line": found.line, "start_line": found.start_line,
            "end_line": found.end_line, "score": round(found.score, 4), "snippet_line": found.snippet_line,
            "snippet": found.snippet.split("\n") if found.snippet else [], "stale": found.stale,
            "roles": list(found.roles), "definitions": [_defined(d) for d in found.definitions], "id": found.id}


def _defined(definition: Definition) -> dict[str, Any]:
    return {"name": definition.name, "kind": definition.kind, "line": definition.line,
            "first_line": definition.first_line, "last_line": definition.last_line, "scope": definition.scope}


def grep_file(repository: str, found: GrepFile) -> dict[str, Any]:
    """A file's matching lines; offsets are in bytes of the line's UTF-8, as rg's JSON gives them."""
    return {"repository": repository, "path": found.path, "count": found.count,
            "lines": [{"line": line.number, "text": line.text.decode("utf-8", "replace").removesuffix("\n"),
                       "match": line.is_match, "submatches": [list(span) for span in line.submatches or ()]}
                      for line in found.lines]}


def definition(repository: str, found: Definition) -> dict[str, Any]:
    return {"repository": repository, "path": found.path, **_defined(found)}


def reference(repository: str, found: Reference) -> dict[str, Any]:
    return {"repository": repository, "path": found.path, "name": found.name, "kind": found.kind, "line": found.line}


def file_lines(read: FileLines) -> dict[str, Any]:
    return {"repository": read.repository, "path": read.path, "first": read.first, "last": read.last,
            "total_lines": read.total, "lines": read.lines}


def status(repository: str, now: Status, *, watching: bool, last_error: str | None = None) -> dict[str, Any]:
    return {"repository": repository, "where": now.where, "root": now.root, "files": now.files, "chunks": now.chunks,
            "updated": now.updated, "stale_files": len(now.stale), "stale": list(now.stale[:MAX_STALE_SHOWN]),
            "watching": watching, "last_error": last_error}


def update_counts(repository: str, counts: UpdateCounts) -> dict[str, Any]:
    return {"repository": repository, "indexed": counts.indexed, "skipped": counts.skipped,
            "unchanged": counts.unchanged, "removed": counts.removed, "chunks": counts.chunks,
            "bytes": counts.bytes, "seconds": round(counts.seconds, 3)}
