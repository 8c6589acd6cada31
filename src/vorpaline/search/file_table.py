"""The index's table of files, kept apart from the manifest that a search reads.

A manifest names the segments and little else; what an update needs of each file (its size, time,
hash and the places of its chunks), the listing's stamps and the application's ids live in one
table file per commit, immutable like a segment. A search needs of it only the size and time of
the few files it shows, to tell a stale hit, and an update that finds nothing changed needs only
those of every file (the core's scan compares them in place) and the listing's stamps; so the file
starts with the stamps in binary, sorted by path, then the rest as JSON.

    header      b"VRPFILE2" (b"VRPFILES" before GREP_DOCUMENT was kept), then u64 each: the files, the files JSON's offset and length, the
                listing JSON's offset and length
    offsets     (files + 1) x u64: where each path starts in the path bytes, then their end
    sizes       files x i64, then mtimes, files x i64 (nanoseconds)
    flags       files x u8: NOT_INDEXED when the file was not indexed (binary, too large,
                unreadable), HAS_GREP when its entry records its trigram document (or that it has none),
                GREP_DOCUMENT when it has one: all a grep needs of the table, without its JSON
    paths       the paths' bytes (UTF-8, surrogate escapes as os.fsencode gives them), sorted
                bytewise, then zeros to a multiple of 8 bytes
    files JSON  {"files": {...}, "ids": ...}
    listing     the listing's stamps as JSON (null when none were taken)
    checksum    16 bytes of BLAKE2b over everything before it

Opening checks the magic and that every section fits; the checksum is checked when the files JSON
is read (an update that changes something, ``files``, ``status``, ``grep``) and by ``verify``.
"""

from __future__ import annotations

import mmap
import os
import struct
from collections.abc import Iterator, Mapping
from typing import Any, NamedTuple


from vorpaline.search.native import blake2b, fast_json, loads

__all__ = ["FileStamps", "GREP_DOCUMENT", "HAS_GREP", "NOT_INDEXED", "SUFFIX", "TABLE_KEYS", "TableDamaged", "read", "read_listing",
           "verify", "write"]

MAGIC = b"VRPFILE2"
EARLIER_MAGIC = b"VRPFILES"  # read as before: its flags lack GREP_DOCUMENT
HEADER = struct.Struct("<8sQQQQQ")
DIGEST = 16
NOT_INDEXED, HAS_GREP, GREP_DOCUMENT = 1, 2, 4
# What the manifest keeps in the table rather than in itself.
TABLE_KEYS = ("files", "listing", "ids")
SUFFIX = ".files"  # after a segment's name


class TableDamaged(ValueError):
    """A table file that is not what its writer left."""


class Layout(NamedTuple):
    magic: bytes
    count: int
    files_offset: int
    files_length: int
    listing_offset: int
    listing_length: int


def _encoded(path: str) -> bytes:
    return path.encode("utf-8", "surrogateescape")


def _json(value: Any) -> bytes:
    try:
        return fast_json().dumps(value)
    except TypeError:  # a name that is not UTF-8: written as an escape, read back as the same name
        import json

        return json.dumps(value, separators=(",", ":")).encode()


def _stamps_end(count: int) -> int:
    return HEADER.size + 8 * (count + 1) + 17 * count


def _flags(entry: dict[str, Any]) -> int:
    return (NOT_INDEXED if entry.get("hash") is None else 0) | (HAS_GREP if "grep" in entry else 0) \
        | (GREP_DOCUMENT if entry.get("grep") else 0)


def table_bytes(table: dict[str, Any]) -> bytes:
    files: dict[str, dict[str, Any]] = table["files"]
    ordered = sorted((_encoded(path), entry) for path, entry in files.items())
    count = len(ordered)
    offsets = [0] * (count + 1)
    for number, (name, _) in enumerate(ordered):
        offsets[number + 1] = offsets[number] + len(name)
    names = b"".join(name for name, _ in ordered)
    names += bytes(-(_stamps_end(count) + len(names)) % 8)
    body = _json({key: value for key, value in table.items() if key != "listing"})
    listing = _json(table.get("listing"))
    files_offset = _stamps_end(count) + len(names)
    data = b"".join([
        HEADER.pack(MAGIC, count, files_offset, len(body), files_offset + len(body), len(listing)),
        struct.pack(f"<{count + 1}Q", *offsets),
        struct.pack(f"<{count}q", *(entry["size"] for _, entry in ordered)),
        struct.pack(f"<{count}q", *(entry["mtime_ns"] for _, entry in ordered)),
        bytes(_flags(entry) for _, entry in ordered),
        names,
        body,
        listing,
    ])
    return data + blake2b(data, digest_size=DIGEST).digest()


def write(path: str, table: dict[str, Any]) -> None:
    """Writes a new table file at ``path`` and makes it durable (the manifest naming it comes after)."""
    with open(path, "xb") as handle:
        handle.write(table_bytes(table))
        handle.flush()
        os.fsync(handle.fileno())


def _layout(path: str, head: bytes, size: int) -> Layout:
    """Where the sections lie, each checked to lie inside the file of ``size`` bytes."""
    if size < HEADER.size + 8 + DIGEST or len(head) < HEADER.size:
        raise TableDamaged(f"index file {path} is damaged (too short)")
    layout = Layout(*HEADER.unpack_from(head, 0))
    if layout.magic not in (MAGIC, EARLIER_MAGIC) or layout.count > size \
            or _stamps_end(layout.count) > min(size, layout.files_offset) \
            or layout.files_offset + layout.files_length != layout.listing_offset \
            or layout.listing_offset + layout.listing_length + DIGEST != size:
        raise TableDamaged(f"index file {path} is damaged (its sections do not fit)")
    return layout


def _parsed(path: str, text: bytes) -> Any:
    try:
        return loads(text)
    except ValueError:
        raise TableDamaged(f"index file {path} is damaged (its JSON does not parse)") from None


def read(path: str) -> dict[str, Any]:
    """The table's ``files``, ``listing`` and ``ids``, its checksum checked."""
    with open(path, "rb") as handle:
        data = handle.read()
    layout = _layout(path, data, len(data))
    if blake2b(memoryview(data)[:-DIGEST], digest_size=DIGEST).digest() != data[-DIGEST:]:
        raise TableDamaged(f"index file {path} is damaged (its checksum does not match)")
    table = _parsed(path, data[layout.files_offset:layout.listing_offset])
    if not isinstance(table, dict) or not isinstance(table.get("files"), dict):
        raise TableDamaged(f"index file {path} is damaged (its fields do not fit)")
    table["listing"] = _parsed(path, data[layout.listing_offset:layout.listing_offset + layout.listing_length])
    return table


def read_listing(path: str) -> Any:
    """The listing's stamps alone, the sections checked to fit: all they decide is whether to list again."""
    with open(path, "rb") as handle:
        descriptor = handle.fileno()
        layout = _layout(path, os.pread(descriptor, HEADER.size, 0), os.fstat(descriptor).st_size)
        return _parsed(path, os.pread(descriptor, layout.listing_length, layout.listing_offset))


def verify(path: str) -> None:
    """Raises TableDamaged unless the whole file is as written."""
    read(path)


class FileStamps(Mapping[str, dict[str, int]]):
    """The size and time of each file in a table, looked up by path without reading the rest."""

    def __init__(self, path: str) -> None:
        with open(path, "rb") as handle:
            size = os.fstat(handle.fileno()).st_size
            if size < HEADER.size:
                raise TableDamaged(f"index file {path} is damaged (too short)")
            self._map = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
        layout = _layout(path, self._map[:HEADER.size], size)
        self._count = count = layout.count
        self._path = path
        view = memoryview(self._map)
        start = HEADER.size
        self._offsets = view[start:start + 8 * (count + 1)].cast("Q")
        start += 8 * (count + 1)
        self._sizes = view[start:start + 8 * count].cast("q")
        self._mtimes = view[start + 8 * count:start + 16 * count].cast("q")
        self._flags = self._map[start + 16 * count:start + 17 * count]
        # Tables written before GREP_DOCUMENT was kept cannot tell a grep which files have a document.
        self.flags_grep_documents = layout.magic == MAGIC
        self._paths_start = _stamps_end(count)
        self._paths_end = layout.files_offset
        if self._offsets[0] != 0 or self._offsets[count] > self._paths_end - self._paths_start:
            raise TableDamaged(f"index file {path} is damaged (its paths do not fit)")

    def _name(self, number: int) -> bytes:
        begin, end = self._offsets[number], self._offsets[number + 1]
        if begin > end or self._paths_start + end > self._paths_end:
            raise TableDamaged(f"index file {self._path} is damaged (its paths do not fit)")
        return self._map[self._paths_start + begin:self._paths_start + end]

    def _find(self, name: bytes) -> int:
        low, high = 0, self._count
        while low < high:
            middle = (low + high) // 2
            if self._name(middle) < name:
                low = middle + 1
            else:
                high = middle
        return low if low < self._count and self._name(low) == name else -1

    def __getitem__(self, path: str) -> dict[str, int]:
        number = self._find(_encoded(path))
        if number < 0:
            raise KeyError(path)
        return {"size": self._sizes[number], "mtime_ns": self._mtimes[number]}

    def __len__(self) -> int:
        return self._count

    def __iter__(self) -> Iterator[str]:
        for number in range(self._count):
            yield self._name(number).decode("utf-8", "surrogateescape")

    def without_grep_document(self) -> list[list[Any]]:
        """``[path, size, mtime_ns]`` of each file with no trigram document, size and time None for
        those never read for trigrams (a grep reads them always; the others, when they changed)."""
        found = []
        for number, flag in enumerate(self._flags):
            if not flag & GREP_DOCUMENT:
                name = self._name(number).decode("utf-8", "surrogateescape")
                known = flag & HAS_GREP
                found.append([name, self._sizes[number] if known else None, self._mtimes[number] if known else None])
        return found

    def with_grep_document(self) -> set[str]:
        """The files that have a trigram document."""
        return {self._name(number).decode("utf-8", "surrogateescape")
                for number, flag in enumerate(self._flags) if flag & GREP_DOCUMENT}
