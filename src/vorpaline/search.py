"""Code search: a persistent BM25 index of a repository, and search over it.

``Index.create(folder)`` or ``Index.open(folder)`` gives an index kept in
``folder`` (for a repository, ``ROOT/.vorpaline``). ``index.update(root)``
brings it up to date with the files the scanner lists under ``root``: each
text file is split into chunks of whole lines (the core's ``chunk_text``),
and each chunk is one document; a file whose size and modification time,
or else whose content, is unchanged is not read again. ``index.search(query)``
returns the best chunks as ``Hit`` records. Applications that bring their own
texts use ``add_documents(ids, texts)`` and the same ``search``.

On disk an index is immutable segment files (written by the core, each with
its checksum) and one ``MANIFEST`` naming the live segments, the documents
deleted from each and the files indexed. An update writes new segments first
and then replaces the manifest atomically, so that a reader sees the old
index or the new one and a killed update leaves the old one intact; one
update at a time holds the folder's lock.
"""

from __future__ import annotations

import bisect
import errno
import fcntl
import hashlib
import fnmatch
import json
import os
import secrets
import time
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import orjson

from vorpaline import search_text

__all__ = ["Hit", "Index", "IndexUnusable", "UpdateCounts", "open_store"]

FORMAT = 1
MANIFEST = "MANIFEST"
LOCK = "lock"
INDEX_FOLDER = ".vorpaline"
DEFAULT_MAX_FILE_BYTES = 1 << 20
MAX_SEGMENTS = 8  # beyond this many, the smallest segments are merged
BUILD_SEGMENTS = 6  # a build's files are cut into about this many segments, one per batch of threads' work
MIN_SEGMENT_BYTES = 1 << 20


class IndexUnusable(ValueError):
    """The index exists but cannot be used as it is: another format or profile."""


class Hit(NamedTuple):
    path: str | None  # the file of a repository chunk; None for an application's document
    start_line: int
    end_line: int
    score: float
    snippet: str
    id: str | None = None  # the application's id of the document
    repository: str | None = None  # the repository of a chunk found in a shared store


class UpdateCounts(NamedTuple):
    indexed: int  # files read and indexed again
    skipped: int  # binary, too large or unreadable
    unchanged: int
    removed: int
    chunks: int  # documents written
    bytes: int  # of the files read
    seconds: float


def _core() -> Any:
    from vorpaline.enginecheck import require_capability

    require_capability("index_bm25", "vorpaline.search")
    import vorpaline_core_py

    return vorpaline_core_py


def _profile_json() -> str:
    from vorpaline.sparse import get_sparse_service

    return get_sparse_service()._profile_json  # the same tokens as the package's sparse vectors


def _test_crash_point(step: str) -> None:
    """Test hook: ends the process at once, as a kill would, where $VORPALINE_TEST_CRASH_AT names this step."""
    if os.environ.get("VORPALINE_TEST_CRASH_AT") == step:
        os._exit(99)


def _fsync_folder(folder: str) -> None:
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _write_atomically(path: str, data: bytes) -> None:
    """Write, fsync, rename over ``path``, fsync the folder: all of it or none."""
    temporary = f"{path}.{secrets.token_hex(4)}.tmp"
    with open(temporary, "wb") as handle:
        handle.write(data)
        handle.flush()
        os.fsync(handle.fileno())
    _test_crash_point("manifest-written")
    os.replace(temporary, path)
    _fsync_folder(os.path.dirname(path) or ".")


class _Lock:
    """The folder's update lock: held by one update at a time, released by the kernel if its holder dies."""

    def __init__(self, folder: str, wait: float | None) -> None:
        self._descriptor = os.open(os.path.join(folder, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
        deadline = None if wait is None else time.monotonic() + wait
        while True:
            try:
                fcntl.flock(self._descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except OSError as error:
                if error.errno not in (errno.EAGAIN, errno.EACCES):
                    os.close(self._descriptor)
                    raise
            if deadline is not None and time.monotonic() >= deadline:
                os.close(self._descriptor)
                raise TimeoutError(f"another update of the index in {folder} is running; gave up after {wait} s")
            time.sleep(0.05)

    def release(self) -> None:
        os.close(self._descriptor)


def _in_index_folder(path: str) -> bool:
    """Whether ``path`` lies in a ``.vorpaline`` folder: a repository's own index, kept elsewhere or not."""
    return f"/{INDEX_FOLDER}/" in f"/{path}"


def _manifest_text(manifest: dict[str, Any]) -> bytes:
    """The manifest's JSON, then a line with the checksum of those bytes."""
    body = orjson.dumps({key: value for key, value in manifest.items() if key != "checksum"})
    return body + b"\n" + hashlib.blake2b(body, digest_size=16).hexdigest().encode() + b"\n"


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _read_manifest(path: str) -> dict[str, Any]:
    """The manifest at ``path``, checked whole: a damaged one would give wrong results, not an error."""
    with open(path, "rb") as handle:
        data = handle.read()
    body, _, checksum = data[:-1].rpartition(b"\n")  # the file ends with the checksum's line end
    if not data.endswith(b"\n") or not body or hashlib.blake2b(body, digest_size=16).hexdigest().encode() != checksum:
        # checked before the format, so that a format number can be trusted
        raise IndexUnusable(f"index file {path} is damaged (its checksum does not match); "
                            "run `vorpaline index --rebuild`")
    try:
        manifest = orjson.loads(body)
    except ValueError as error:
        raise IndexUnusable(f"index file {path} is damaged ({error}); run `vorpaline index --rebuild`") from None
    segments = manifest.get("segments") if isinstance(manifest, dict) else None
    well_formed = (
        isinstance(manifest, dict) and isinstance(manifest.get("generation"), int)
        and all(manifest.get(key) is None or _is_number(manifest.get(key)) for key in ("k1", "b"))
        and isinstance(manifest.get("files"), dict) and isinstance(segments, list)
        and all(isinstance(segment, dict) and isinstance(segment.get("name"), str)
                and isinstance(segment.get("documents"), int) and isinstance(segment.get("deleted"), list)
                for segment in segments))
    if not isinstance(manifest, dict) or manifest.get("format") == FORMAT and not well_formed:
        raise IndexUnusable(f"index file {path} is damaged (its fields do not fit); run `vorpaline index --rebuild`")
    return manifest


def _metadata(path: str | None, first: int, last: int, doc_id: str | None) -> str:
    return json.dumps([path, first, last, doc_id], ensure_ascii=False, separators=(",", ":"))


class Index:
    """A BM25 index kept in one folder; see the module docstring."""

    def __init__(self, folder: str, manifest: dict[str, Any], *, rebuilding: bool = False) -> None:
        self.folder = folder
        self._manifest = manifest
        self._searcher: Any = None
        self._rebuilding = rebuilding  # the next commit replaces the index on disk, whatever it holds

    # ---------------------------------------------------------------- opening

    @classmethod
    def create(cls, folder: str | os.PathLike[str], *, k1: float | None = None, b: float | None = None) -> Index:
        """A new, empty index in ``folder`` (made if missing); refuses a folder that holds one.
        ``k1`` and ``b`` fix BM25's parameters for this index; left None, each search takes the settings'."""
        folder = os.path.abspath(os.fspath(folder))
        os.makedirs(folder, exist_ok=True)
        manifest_path = os.path.join(folder, MANIFEST)
        if os.path.exists(manifest_path):
            raise FileExistsError(errno.EEXIST, f"an index exists in {folder}; open it or rebuild it", manifest_path)
        manifest = _empty_manifest(k1, b)
        _write_atomically(manifest_path, _manifest_text(manifest))
        return cls(folder, manifest)

    @classmethod
    def open(cls, folder: str | os.PathLike[str]) -> Index:
        """The index in ``folder``, as its manifest names it now."""
        folder = os.path.abspath(os.fspath(folder))
        manifest_path = os.path.join(folder, MANIFEST)
        try:
            manifest = _read_manifest(manifest_path)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, f"no index in {folder}; create it with `vorpaline index`",
                                    manifest_path) from None
        if manifest.get("format") != FORMAT:
            raise IndexUnusable(f"the index in {folder} has format {manifest.get('format')!r}, this vorpaline reads "
                                f"{FORMAT}; run `vorpaline index --rebuild`")
        if manifest.get("profile") != _profile_json():
            raise IndexUnusable(f"the index in {folder} was made with another tokenisation profile; "
                                "run `vorpaline index --rebuild`")
        return cls(folder, manifest)

    @classmethod
    def for_repository(cls, root: str | os.PathLike[str], folder: str | os.PathLike[str] | None = None,
                       *, rebuild: bool = False) -> Index:
        """The index of the repository at ``root`` (in ``root/.vorpaline`` unless ``folder``), made when missing."""
        folder = os.fspath(folder) if folder is not None else os.path.join(os.fspath(root), INDEX_FOLDER)
        if rebuild:
            # The index there stays searchable, and intact should this process die, until the new one is committed.
            folder = os.path.abspath(folder)
            os.makedirs(folder, exist_ok=True)
            return cls(folder, _empty_manifest(None, None), rebuilding=True)
        try:
            return cls.open(folder)
        except FileNotFoundError:
            return cls.create(folder)

    # ---------------------------------------------------------------- reading

    @property
    def documents(self) -> int:
        return sum(segment["documents"] - len(segment["deleted"]) for segment in self._manifest["segments"])

    def _open_searcher(self) -> Any:
        while self._searcher is None:
            segments = [{"path": os.path.join(self.folder, s["name"]), "deleted": s["deleted"]}
                        for s in self._manifest["segments"]]
            try:
                self._searcher = _core().index_open(json.dumps(segments))
            except FileNotFoundError as error:
                # An update committed since this manifest was read removes the segments it no longer
                # needs: the new manifest names the index to search. The same manifest: really missing.
                manifest = self._manifest
                self._reload()
                if self._manifest == manifest:
                    missing = next((s["path"] for s in segments if not os.path.exists(s["path"])), str(error))
                    raise IndexUnusable(f"index file {missing} named by {os.path.join(self.folder, MANIFEST)} "
                                        "is missing; run `vorpaline index --rebuild`") from None
            except ValueError as error:  # a damaged segment, or deletions that do not fit it
                raise IndexUnusable(f"{error}; run `vorpaline index --rebuild`") from None
        return self._searcher

    def search(self, query: str, k: int = 10, path_glob: str | None = None) -> list[Hit]:
        """The ``k`` best documents for ``query``, best first; ``path_glob`` keeps the chunks of matching files."""
        if k < 1 or not self._manifest["segments"]:
            return []
        searcher = self._open_searcher()
        profile = self._manifest["profile"]
        from vorpaline.config import settings

        k1 = settings.search_k1 if self._manifest.get("k1") is None else self._manifest["k1"]
        b = settings.search_b if self._manifest.get("b") is None else self._manifest["b"]
        query = search_text.prepared_query(query)
        terms = search_text.query_terms(query, profile)
        wanted = k
        while True:
            # A path filter is applied to the ranking; more is asked until k hits pass or none are left.
            reply = json.loads(searcher.search(query, profile, wanted, k1, b))
            found = [(item["score"], json.loads(item["metadata"])) for item in reply["hits"]]
            kept = [(score, metadata) for score, metadata in found
                    if path_glob is None or (metadata[0] and fnmatch.fnmatchcase(metadata[0], path_glob))]
            if len(kept) >= k or len(found) < wanted:
                return self._hits(kept[:k], terms)
            wanted *= 4

    def _hits(self, found: list[tuple[float, list[Any]]], terms: frozenset[int]) -> list[Hit]:
        """The hits with their snippets, from each chunk's lines as the file holds them now."""
        root = self._manifest.get("root", "")
        chunks = []
        for _, (path, first, last, _doc_id, *span) in found:
            chunks.append(search_text.chunk_lines(os.path.join(root, path), first, last, *span) if path else [])
        return hits_with_snippets([(score, path, first, last, doc_id, None)
                                   for score, (path, first, last, doc_id, *_) in found],
                                  chunks, terms, self._manifest["profile"])

    # ---------------------------------------------------------------- writing

    def add_documents(self, ids: Sequence[str], texts: Sequence[str], *, wait: float | None = None) -> None:
        """Adds one document per text, found by ``search`` with its id in ``Hit.id``."""
        if len(ids) != len(texts):
            raise ValueError(f"{len(ids)} ids but {len(texts)} texts")
        lock = _Lock(self.folder, wait)
        try:
            self._reload()
            metadata = [_metadata(None, 1, text.count("\n") + 1, doc_id) for doc_id, text in zip(ids, texts)]
            self._commit([self._write_segment(list(texts), metadata)], {})
        finally:
            lock.release()

    def update(self, root: str | os.PathLike[str], *, max_file_bytes: int = DEFAULT_MAX_FILE_BYTES,
               wait: float | None = None, threads: int | None = None,
               progress: Callable[[int, int], None] | None = None) -> UpdateCounts:
        """Brings the index up to date with the files of the repository at ``root``.

        Files whose size and modification time are as the index last saw them
        are not read; the others are read, chunked and tokenised by the core
        with ``threads`` threads (default: one per core), into new segments.
        ``progress(files_done, bytes_done)``, when given, is called now and
        then as the files listed are looked at, and once after the last.
        """
        from vorpaline.scan import ScannedFile, config_json

        started = time.perf_counter()
        root = os.path.abspath(os.fspath(root))
        lock = _Lock(self.folder, wait)
        try:
            self._reload()
            known: dict[str, dict[str, Any]] = self._manifest["files"]
            # Neither a .vorpaline folder (_in_index_folder) nor this index, wherever it lies in the tree, is indexed.
            skipped_folders = _skipped_folders(root, self.folder)
            reply = orjson.loads(_core().scan_repository(config_json(root), threads or 0))
            files: dict[str, dict[str, Any]] = {}
            to_read = []
            listed_count = listed_bytes = skipped = unchanged = 0
            # The loop every update runs over every file: kept lean, records made only for files to read.
            for item in reply["files"]:
                path = item["path"]
                if _not_indexed(path, skipped_folders):
                    continue
                listed_count += 1
                listed_bytes += item["size"]
                entry = known.get(path)
                if entry is not None and entry["size"] == item["size"] and entry["mtime_ns"] == item["mtime_ns"]:
                    files[path] = entry
                    if entry["hash"] is None:  # binary, too large or unreadable, as it was
                        skipped += 1
                    else:
                        unchanged += 1
                    continue
                to_read.append(ScannedFile(path, item["size"], item["mtime_ns"]))

            deletions: dict[str, list[int]] = {}

            def forget(entry: dict[str, Any] | None) -> None:
                if entry is not None and entry.get("segment") is not None:
                    deletions.setdefault(entry["segment"], []).extend(
                        range(entry["first"], entry["first"] + entry["count"]))

            self._manifest["generation"] += 1
            prefix = f"seg-{self._manifest['generation']:06d}-{secrets.token_hex(4)}"
            looked_at = listed_count - len(to_read)
            bytes_looked_at = listed_bytes - sum(f.size for f in to_read)

            def report(files_done: int, bytes_done: int) -> None:
                if progress is not None:
                    progress(looked_at + files_done, bytes_looked_at + bytes_done)

            report(0, 0)
            built = json.loads(_core().index_build_files(
                root, json.dumps([[f.path, f.size] for f in to_read]), self.folder, prefix,
                self._manifest["profile"], json.dumps({"max_file_bytes": max_file_bytes, "segment_bytes": max(
                    MIN_SEGMENT_BYTES, sum(f.size for f in to_read) // BUILD_SEGMENTS + 1)}),
                threads or len(os.sched_getaffinity(0)), report if progress is not None else None))
            report(len(to_read), sum(f.size for f in to_read))
            new_segments = [(segment["name"], segment["documents"]) for segment in built["segments"]]
            if new_segments:
                _test_crash_point("segment-written")
            indexed = chunks = read_bytes = 0
            for scanned, outcome in zip(to_read, built["files"]):
                entry = known.get(scanned.path)
                placed = None if outcome["segment"] is None else new_segments[outcome["segment"]][0]
                if outcome["status"] != "indexed":
                    # kept, so that the file is not read again until it changes
                    forget(entry)
                    files[scanned.path] = {"size": scanned.size, "mtime_ns": scanned.mtime_ns, "hash": None}
                    skipped += 1
                    continue
                read_bytes += outcome["bytes"]
                if entry is not None and entry["hash"] == outcome["hash"]:
                    # only touched: the index keeps the chunks it has, the new ones go
                    files[scanned.path] = {**entry, "size": scanned.size, "mtime_ns": scanned.mtime_ns}
                    if placed is not None:
                        deletions.setdefault(placed, []).extend(range(outcome["first"], outcome["first"] + outcome["count"]))
                    unchanged += 1
                    continue
                forget(entry)
                files[scanned.path] = {"size": scanned.size, "mtime_ns": scanned.mtime_ns, "hash": outcome["hash"],
                                       "segment": placed, "first": outcome["first"], "count": outcome["count"]}
                indexed += 1
                chunks += outcome["count"]
            removed = 0
            if len(files) != len(known) or to_read:
                for path, entry in known.items():
                    if path not in files:
                        forget(entry)
                        removed += 1
            changed = bool(new_segments or deletions or to_read or removed) or self._manifest.get("root") != root
            if changed:
                self._manifest["root"] = root
                self._manifest["files"] = files
                if new_segments:
                    _fsync_folder(self.folder)
                self._commit(new_segments, deletions)
            else:
                self._remove_unnamed_files()  # what a killed update left behind
            return UpdateCounts(indexed, skipped, unchanged, removed, chunks, read_bytes,
                                time.perf_counter() - started)
        finally:
            lock.release()

    def _reload(self) -> None:
        """The manifest as it is on disk now: another process may have updated it."""
        if self._rebuilding:
            self._manifest = _empty_manifest(self._manifest["k1"], self._manifest["b"])
        else:
            self._manifest = _read_manifest(os.path.join(self.folder, MANIFEST))
        self._searcher = None

    def _write_segment(self, texts: list[str], metadata: list[str]) -> tuple[str, int]:
        """A new segment file of these documents: its name and document count."""
        self._manifest["generation"] += 1
        name = f"seg-{self._manifest['generation']:06d}-{secrets.token_hex(4)}"
        reply = _core().index_build_segment(os.path.join(self.folder, name), self._manifest["profile"],
                                            json.dumps(texts), json.dumps(metadata))
        _test_crash_point("segment-written")
        _fsync_folder(self.folder)
        return name, json.loads(reply)["documents"]

    def _commit(self, new_segments: list[tuple[str, int]], deletions: dict[str, list[int]]) -> None:
        """The new manifest: the segments with their deletions, the new ones after them, written atomically."""
        segments = self._manifest["segments"] + [{"name": name, "documents": documents, "deleted": []}
                                                 for name, documents in new_segments]
        kept = []
        for segment in segments:
            gone = deletions.get(segment["name"])
            if gone:
                segment = {**segment, "deleted": sorted(set(segment["deleted"]).union(gone))}
            if len(segment["deleted"]) < segment["documents"]:
                kept.append(segment)
        self._manifest["segments"] = self._merge_small(kept)
        _write_atomically(os.path.join(self.folder, MANIFEST), _manifest_text(self._manifest))
        _test_crash_point("manifest-replaced")
        self._rebuilding = False
        self._searcher = None
        self._remove_unnamed_files()

    def _merge_small(self, segments: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """With more than MAX_SEGMENTS segments, the smallest are merged into one
        (and so is any segment with more documents deleted than live): searches
        then open few files, and deleted documents stop taking room. The files'
        places are moved to the merged segment."""
        def live(segment: dict[str, Any]) -> int:
            return segment["documents"] - len(segment["deleted"])

        by_size = sorted(segments, key=live)
        chosen = {s["name"] for s in by_size[:max(0, len(segments) - MAX_SEGMENTS + 1)]}
        chosen |= {s["name"] for s in segments if len(s["deleted"]) > live(s)}
        if len(chosen) < 2:
            return segments
        inputs = [s for s in segments if s["name"] in chosen]
        self._manifest["generation"] += 1
        name = f"seg-{self._manifest['generation']:06d}-{secrets.token_hex(4)}-merged"
        reply = _core().index_merge_segments(os.path.join(self.folder, name), orjson.dumps(
            [{"path": os.path.join(self.folder, s["name"]), "deleted": s["deleted"]} for s in inputs]).decode())
        _fsync_folder(self.folder)
        # A file's documents keep their order among the live ones of its segment.
        base: dict[str, tuple[int, list[int]]] = {}
        start = 0
        for segment in inputs:
            base[segment["name"]] = (start, segment["deleted"])
            start += live(segment)
        for entry in self._manifest["files"].values():
            if entry.get("segment") in base:
                offset, deleted = base[entry["segment"]]
                entry["first"] = offset + entry["first"] - bisect.bisect_left(deleted, entry["first"])
                entry["segment"] = name
        merged = {"name": name, "documents": json.loads(reply)["documents"], "deleted": []}
        return [s for s in segments if s["name"] not in chosen] + [merged]

    def _remove_unnamed_files(self) -> None:
        """Segments no manifest names any more, and the leftovers of a killed update."""
        named = {segment["name"] for segment in self._manifest["segments"]}
        for entry in os.listdir(self.folder):
            if entry.startswith("seg-") and entry not in named or entry.endswith(".tmp"):
                try:
                    os.unlink(os.path.join(self.folder, entry))
                except FileNotFoundError:
                    pass


def open_store(root: str | os.PathLike[str] = ".", store: str | None = None, *,
               folder: str | os.PathLike[str] | None = None, rebuild: bool = False) -> Any:
    """Where the code search of the repository at ``root`` is kept: its local ``Index`` (in
    ``folder``, default ``root/.vorpaline``), or with ``store`` the Qdrant collection it names
    (``qdrant://HOST:PORT/COLLECTION``, a ``QdrantStore``). Both have ``update(root)`` and ``search(query)``."""
    if store is None:
        return Index.for_repository(root, folder, rebuild=rebuild)
    from vorpaline.qdrant_store import QdrantStore

    return QdrantStore.connect(store, rebuild=rebuild)


def hits_with_snippets(found: Sequence[tuple[float, str | None, int, int, str | None, str | None]],
                       chunks: Sequence[list[str]], terms: frozenset[int], profile_json: str) -> list[Hit]:
    """Hits of (score, path, first line, last line, id, repository), each with its chunk's best
    lines as its snippet; the lines of all the chunks are tokenised in one call."""
    every_line = [line for lines in chunks for line in lines]
    line_terms = iter(search_text.text_terms(every_line, profile_json) if terms else [])
    hits = []
    for (score, path, first, last, doc_id, repository), lines in zip(found, chunks):
        own_terms = [next(line_terms) for _ in lines] if terms else []  # asked for only when there are terms
        snippet = "\n".join(search_text.best_lines(lines, terms, line_terms=lambda _lines: own_terms)[1])
        hits.append(Hit(path, first, last, score, snippet, doc_id, repository))
    return hits


def listed_files(root: str, index_folder: str | None) -> list[Any]:
    """The scanner's files under ``root`` (ScannedFile records) but those of any .vorpaline
    folder and of ``index_folder`` when it lies in the tree: what an update indexes."""
    from vorpaline.scan import ScannedFile, config_json

    reply = orjson.loads(_core().scan_repository(config_json(root), 0))
    skipped = _skipped_folders(root, index_folder)
    return [ScannedFile(item["path"], item["size"], item["mtime_ns"]) for item in reply["files"]
            if not _not_indexed(item["path"], skipped)]


def _skipped_folders(root: str, index_folder: str | None) -> tuple[str, ...]:
    inside = os.path.relpath(index_folder, root) if index_folder is not None else ".."
    return () if inside.startswith("..") else (inside.replace(os.sep, "/") + "/",)


def _not_indexed(path: str, skipped_folders: tuple[str, ...]) -> bool:
    return path.startswith(skipped_folders) or INDEX_FOLDER in path and _in_index_folder(path)


def _empty_manifest(k1: float | None, b: float | None) -> dict[str, Any]:
    return {"format": FORMAT, "profile": _profile_json(), "generation": 0, "k1": k1, "b": b, "segments": [], "files": {}}

