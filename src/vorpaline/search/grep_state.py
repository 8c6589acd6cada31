"""The index's trigram segments as its manifest records them, and how an update changes them.

The manifest's ``"grep"`` entry is ``{"segments": [{"name", "files", "deleted"}]}`` (None: the index
keeps none, made with ``--no-grep-index``), and each file's entry has ``"grep": [segment, document]``,
or None for a file read without a document (binary, unreadable); a file never read for the trigram
index has no ``"grep"`` key, and the next update reads it. ``"listing"`` holds the scan's stamps of
the folders and ignore files the update listed, which tell a search whether files were added since.
A file read again always takes its new document (whose size and time are those read), and its old
one is deleted; segments are merged as the BM25 ones are, when there are too many or a segment holds
more deleted documents than live ones.
"""

from __future__ import annotations

import bisect
import os
from collections.abc import Callable, Collection, Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vorpaline.search.file_table import FileStamps

from vorpaline.search.native import core, fast_json

MAX_SEGMENTS = 8
SUFFIX = ".grep"


def segment_names(manifest: dict[str, Any]) -> set[str]:
    grep = manifest.get("grep")
    return {segment["name"] for segment in grep["segments"]} if grep else set()


def listing_stamps(stamps: dict[str, Any] | None, left_out: tuple[str, ...]) -> dict[str, Any] | None:
    """The scan's stamps without the index's own folders: the index writes there after the scan, and
    nothing in them is ever listed."""
    if stamps is None:
        return None
    from vorpaline.search.files import not_indexed

    return {**stamps, "folders": [f for f in stamps["folders"] if not f[0] or not not_indexed(f[0] + "/", left_out)],
            "sources": [s for s in stamps["sources"] if os.path.isabs(s[0]) or not not_indexed(s[0], left_out)]}


def stamps_renewed(root: str, recorded: Any, scanned: Any) -> bool:
    """Whether an update that changed nothing else must still record the scan's stamps: the recorded
    ones are missing, or prove nothing now (too recent when taken, or a folder has moved since)."""
    if scanned is None:
        return recorded is not None
    return recorded is None or not core().listing_unchanged(root, fast_json().dumps(recorded).decode(), 0)


def well_formed(grep: Any) -> bool:
    return grep is None or isinstance(grep, dict) and isinstance(grep.get("segments"), list) and all(
        isinstance(segment, dict) and isinstance(segment.get("name"), str) and isinstance(segment.get("files"), int)
        and isinstance(segment.get("deleted"), list) for segment in grep["segments"])


def switch(manifest: dict[str, Any], wanted: bool | None) -> None:
    """Turns the trigram index on (an index older than it gets it by default) or off, before an update."""
    if wanted is False and manifest.get("grep") is not None:
        manifest["grep"] = None
        for entry in manifest["files"].values():
            entry.pop("grep", None)  # read again should it be turned on
    elif wanted is True and manifest.get("grep") is None or wanted is None and "grep" not in manifest:
        manifest["grep"] = {"segments": []}


def wants_reading(entry: dict[str, Any], manifest: dict[str, Any]) -> bool:
    """Whether an unchanged file must be read anyway: the index keeps trigrams and has none of it."""
    return manifest.get("grep") is not None and "grep" not in entry


class GrepUpdate:
    """The trigram side of one update: the documents it deletes, the segment it adds."""

    def __init__(self, manifest: dict[str, Any]) -> None:
        self.enabled = manifest.get("grep") is not None
        self.deleted: dict[str, list[int]] = {}
        self.new_segment: dict[str, Any] | None = None

    def forget(self, entry: dict[str, Any] | None) -> None:
        place = entry.get("grep") if entry is not None else None
        if place:
            self.deleted.setdefault(place[0], []).append(place[1])

    def built(self, reply: dict[str, Any]) -> None:
        segments = reply.get("grep_segments") or []
        assert len(segments) <= 1, "a build writes one trigram segment"
        if segments:
            self.new_segment = {"name": segments[0]["name"], "files": segments[0]["files"], "deleted": []}

    def place(self, outcome: dict[str, Any]) -> list[Any] | None:
        """Where a file read by this update has its document, None when it has none."""
        document = outcome.get("grep")
        if document is None or self.new_segment is None:
            return None
        return [self.new_segment["name"], document]

    @property
    def changed(self) -> bool:
        return bool(self.deleted or self.new_segment)

    def commit(self, manifest: dict[str, Any], folder: str, new_name: Callable[[], str]) -> None:
        """The manifest's segments with this update's deletions and segment, merged when needed."""
        if not self.enabled:
            return
        segments = []
        for segment in manifest["grep"]["segments"] + ([self.new_segment] if self.new_segment else []):
            gone = self.deleted.get(segment["name"])
            if gone:
                segment = {**segment, "deleted": sorted(set(segment["deleted"]).union(gone))}
            if len(segment["deleted"]) < segment["files"]:
                segments.append(segment)
        manifest["grep"] = {"segments": _merged_if_needed(segments, manifest["files"], folder, new_name)}


def _live(segment: dict[str, Any]) -> int:
    return segment["files"] - len(segment["deleted"])


def _merged_if_needed(segments: list[dict[str, Any]], files: dict[str, Any], folder: str,
                      new_name: Callable[[], str]) -> list[dict[str, Any]]:
    by_size = sorted(segments, key=_live)
    chosen = {s["name"] for s in by_size[:max(0, len(segments) - MAX_SEGMENTS + 1)]}
    chosen |= {s["name"] for s in segments if len(s["deleted"]) > _live(s)}
    if len(chosen) < 2:
        return segments
    inputs = [s for s in segments if s["name"] in chosen]
    name = new_name() + "-merged" + SUFFIX
    reply = core().grep_merge_segments(os.path.join(folder, name), fast_json().dumps(
        [{"path": os.path.join(folder, s["name"]), "deleted": s["deleted"]} for s in inputs]).decode())
    base: dict[str, tuple[int, list[int]]] = {}
    start = 0
    for segment in inputs:  # the merged segment holds each input's live documents in order
        base[segment["name"]] = (start, segment["deleted"])
        start += _live(segment)
    for entry in files.values():
        place = entry.get("grep")
        if place and place[0] in base:
            offset, deleted = base[place[0]]
            entry["grep"] = [name, offset + place[1] - bisect.bisect_left(deleted, place[1])]
    merged = {"name": name, "files": fast_json().loads(reply)["files"], "deleted": []}
    return [s for s in segments if s["name"] not in chosen] + [merged]


def request_part(folder: str, manifest: dict[str, Any], table: FileStamps | None = None) -> dict[str, Any] | None:
    """What a search hands the core of this manifest; None when the index keeps no trigrams. The files'
    entries come from ``table``'s flags when it keeps which files have a document (no JSON read), else
    from the manifest's ``files``."""
    grep = manifest.get("grep")
    if grep is None:
        return None
    documents: Collection[str]
    if table is not None and table.flags_grep_documents:
        extra = table.without_grep_document()
        documents = _Deferred(table.with_grep_document)  # needed only when the listing changed
    else:
        extra, documents = [], set()
        for path, entry in manifest["files"].items():
            if entry.get("grep"):
                documents.add(path)
            else:  # read without a document, or never read for trigrams: read now if it changed, or always
                known = "grep" in entry
                extra.append([path, entry["size"] if known else None, entry["mtime_ns"] if known else None])
    return {"segments": [{"path": os.path.join(folder, s["name"]), "deleted": s["deleted"]} for s in grep["segments"]],
            "extra": extra, "documents": documents, "stamps": manifest.get("listing")}


class _Deferred(Collection[str]):
    """A set of paths made on the first question asked of it."""

    def __init__(self, make: Callable[[], set[str]]) -> None:
        self._make: Callable[[], set[str]] | None = make
        self._paths: set[str] = set()

    def _made(self) -> set[str]:
        if self._make is not None:
            self._paths, self._make = self._make(), None
        return self._paths

    def __contains__(self, path: object) -> bool:
        return path in self._made()

    def __iter__(self) -> Iterator[str]:
        return iter(self._made())

    def __len__(self) -> int:
        return len(self._made())
