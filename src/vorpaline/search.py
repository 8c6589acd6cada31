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

import errno
import fcntl
import fnmatch
import hashlib
import json
import os
import secrets
import time
from collections.abc import Sequence
from typing import Any, NamedTuple

__all__ = ["Hit", "Index", "IndexUnusable", "UpdateCounts"]

FORMAT = 1
MANIFEST = "MANIFEST"
LOCK = "lock"
INDEX_FOLDER = ".vorpaline"
BINARY_PROBE = 8192  # a NUL byte in this many first bytes makes a file binary
DEFAULT_MAX_FILE_BYTES = 1 << 20
DEFAULT_K1 = 1.2
DEFAULT_B = 0.75


class IndexUnusable(ValueError):
    """The index exists but cannot be used as it is: another format or profile."""


class Hit(NamedTuple):
    path: str | None  # the file of a repository chunk; None for an application's document
    start_line: int
    end_line: int
    score: float
    snippet: str
    id: str | None = None  # the application's id of the document


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


def _write_atomically(path: str, text: str) -> None:
    """Write, fsync, rename over ``path``, fsync the folder: all of it or none."""
    temporary = f"{path}.{secrets.token_hex(4)}.tmp"
    with open(temporary, "w", encoding="utf-8") as handle:
        handle.write(text)
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


def _manifest_checksum(manifest: dict[str, Any]) -> str:
    content = {key: value for key, value in manifest.items() if key != "checksum"}
    canonical = json.dumps(content, sort_keys=True, ensure_ascii=False, separators=(",", ":"))
    return hashlib.blake2b(canonical.encode("utf-8"), digest_size=16).hexdigest()


def _manifest_text(manifest: dict[str, Any]) -> str:
    return json.dumps({**manifest, "checksum": _manifest_checksum(manifest)})


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _read_manifest(path: str) -> dict[str, Any]:
    """The manifest at ``path``, checked whole: a damaged one would give wrong results, not an error."""
    with open(path, encoding="utf-8") as handle:
        text = handle.read()
    try:
        manifest = json.loads(text)
    except ValueError as error:
        raise IndexUnusable(f"index file {path} is damaged ({error}); run `vorpaline index --rebuild`") from None
    if not isinstance(manifest, dict) or manifest.get("checksum") != _manifest_checksum(manifest):
        # checked before the format, so that a format number can be trusted
        raise IndexUnusable(f"index file {path} is damaged (its checksum does not match); "
                            "run `vorpaline index --rebuild`")
    segments = manifest.get("segments")
    well_formed = (
        isinstance(manifest.get("generation"), int) and _is_number(manifest.get("k1")) and _is_number(manifest.get("b"))
        and isinstance(manifest.get("files"), dict) and isinstance(segments, list)
        and all(isinstance(segment, dict) and isinstance(segment.get("name"), str)
                and isinstance(segment.get("documents"), int) and isinstance(segment.get("deleted"), list)
                for segment in segments))
    if manifest.get("format") == FORMAT and not well_formed:
        raise IndexUnusable(f"index file {path} is damaged (its fields do not fit); run `vorpaline index --rebuild`")
    return manifest


def _metadata(path: str | None, first: int, last: int, doc_id: str | None) -> str:
    return json.dumps([path, first, last, doc_id], ensure_ascii=False, separators=(",", ":"))


def _chunks(core: Any, text: str) -> list[tuple[int, int]]:
    return [tuple(pair) for pair in json.loads(core.chunk_text(text))["chunks"]]


def _read_text_file(full_path: str, max_bytes: int) -> bytes | None:
    """The file's bytes, or None when it is too large, binary or unreadable."""
    try:
        with open(full_path, "rb") as handle:
            data = handle.read(max_bytes + 1)
    except OSError:
        return None
    if len(data) > max_bytes or b"\0" in data[:BINARY_PROBE]:
        return None
    return data


class Index:
    """A BM25 index kept in one folder; see the module docstring."""

    def __init__(self, folder: str, manifest: dict[str, Any], *, rebuilding: bool = False) -> None:
        self.folder = folder
        self._manifest = manifest
        self._searcher: Any = None
        self._rebuilding = rebuilding  # the next commit replaces the index on disk, whatever it holds

    # ---------------------------------------------------------------- opening

    @classmethod
    def create(cls, folder: str | os.PathLike[str], *, k1: float = DEFAULT_K1, b: float = DEFAULT_B) -> Index:
        """A new, empty index in ``folder`` (made if missing); refuses a folder that holds one."""
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
            return cls(folder, _empty_manifest(DEFAULT_K1, DEFAULT_B), rebuilding=True)
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
        wanted = k
        while True:
            # A path filter is applied to the ranking; more is asked until k hits pass or none are left.
            reply = json.loads(searcher.search(query, profile, wanted, self._manifest["k1"], self._manifest["b"]))
            hits = [self._hit(item) for item in reply["hits"]]
            kept = [hit for hit in hits if path_glob is None or (hit.path and fnmatch.fnmatchcase(hit.path, path_glob))]
            if len(kept) >= k or len(hits) < wanted:
                return kept[:k]
            wanted *= 4

    def _hit(self, item: dict[str, Any]) -> Hit:
        path, first, last, doc_id = json.loads(item["metadata"])
        snippet = ""
        if path is not None:
            snippet = _snippet(os.path.join(self._manifest.get("root", ""), path), first, last)
        return Hit(path, first, last, item["score"], snippet, doc_id)

    # ---------------------------------------------------------------- writing

    def add_documents(self, ids: Sequence[str], texts: Sequence[str], *, wait: float | None = None) -> None:
        """Adds one document per text, found by ``search`` with its id in ``Hit.id``."""
        if len(ids) != len(texts):
            raise ValueError(f"{len(ids)} ids but {len(texts)} texts")
        lock = _Lock(self.folder, wait)
        try:
            self._reload()
            metadata = [_metadata(None, 1, text.count("\n") + 1, doc_id) for doc_id, text in zip(ids, texts)]
            segment = self._write_segment(list(texts), metadata)
            self._commit(segment_added=segment, deletions={})
        finally:
            lock.release()

    def update(self, root: str | os.PathLike[str], *, max_file_bytes: int = DEFAULT_MAX_FILE_BYTES,
               wait: float | None = None) -> UpdateCounts:
        """Brings the index up to date with the files of the repository at ``root``."""
        from vorpaline.scan import scan

        started = time.perf_counter()
        root = os.path.abspath(os.fspath(root))
        lock = _Lock(self.folder, wait)
        try:
            self._reload()
            core = _core()
            known: dict[str, dict[str, Any]] = self._manifest["files"]
            inside = os.path.relpath(self.folder, root)
            skip_prefix = None if inside.startswith("..") else inside.replace(os.sep, "/") + "/"
            listed = [f for f in scan(root) if not (skip_prefix is not None and f.path.startswith(skip_prefix)
                                                    or _in_index_folder(f.path))]
            seen = {f.path for f in listed}
            texts: list[str] = []
            metadata: list[str] = []
            files: dict[str, dict[str, Any]] = {}
            pending: list[tuple[str, int, int]] = []  # path, first document, count, in the new segment
            deletions: dict[str, list[int]] = {}
            indexed = skipped = unchanged = read_bytes = 0

            def forget(entry: dict[str, Any]) -> None:
                if entry.get("segment") is not None:
                    deletions.setdefault(entry["segment"], []).extend(range(entry["first"], entry["first"] + entry["count"]))

            for scanned in listed:
                entry = known.get(scanned.path)
                if entry is not None and entry["size"] == scanned.size and entry["mtime_ns"] == scanned.mtime_ns:
                    files[scanned.path] = entry
                    if entry["hash"] is None:  # binary or too large, as it was
                        skipped += 1
                    else:
                        unchanged += 1
                    continue
                if entry is not None:
                    forget(entry)
                data = _read_text_file(os.path.join(root, scanned.path), max_file_bytes)
                if data is None:
                    # kept, so that the file is not read again until it changes
                    files[scanned.path] = {"size": scanned.size, "mtime_ns": scanned.mtime_ns, "hash": None}
                    skipped += 1
                    continue
                digest = hashlib.blake2b(data, digest_size=16).hexdigest()
                if entry is not None and entry["hash"] == digest:
                    files[scanned.path] = {**entry, "size": scanned.size, "mtime_ns": scanned.mtime_ns}
                    deletions[entry["segment"]] = [d for d in deletions.get(entry["segment"], [])
                                                   if not entry["first"] <= d < entry["first"] + entry["count"]]
                    unchanged += 1
                    continue
                text = data.decode("utf-8", errors="replace")
                chunks = _chunks(core, text)
                lines = text.split("\n")
                pending.append((scanned.path, len(texts), len(chunks)))
                for first, last in chunks:
                    texts.append("\n".join(lines[first - 1:last]))
                    metadata.append(_metadata(scanned.path, first, last, None))
                files[scanned.path] = {"size": scanned.size, "mtime_ns": scanned.mtime_ns, "hash": digest}
                indexed += 1
                read_bytes += len(data)
            removed = 0
            for path, entry in known.items():
                if path not in seen:
                    forget(entry)
                    removed += 1
            segment = self._write_segment(texts, metadata) if texts else None
            for path, first, count in pending:
                files[path].update(segment=segment[0] if segment else None, first=first, count=count)
            self._manifest["root"] = root
            self._manifest["files"] = files
            self._commit(segment_added=segment, deletions=deletions)
            return UpdateCounts(indexed, skipped, unchanged, removed, len(texts), read_bytes,
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

    def _commit(self, *, segment_added: tuple[str, int] | None, deletions: dict[str, list[int]]) -> None:
        segments = []
        for segment in self._manifest["segments"]:
            gone = deletions.get(segment["name"])
            if gone:
                segment = {**segment, "deleted": sorted(set(segment["deleted"]).union(gone))}
            if len(segment["deleted"]) < segment["documents"]:
                segments.append(segment)
        if segment_added is not None:
            segments.append({"name": segment_added[0], "documents": segment_added[1], "deleted": []})
        self._manifest["segments"] = segments
        _write_atomically(os.path.join(self.folder, MANIFEST), _manifest_text(self._manifest))
        _test_crash_point("manifest-replaced")
        self._rebuilding = False
        self._searcher = None
        self._remove_unnamed_files()

    def _remove_unnamed_files(self) -> None:
        """Segments no manifest names any more, and the leftovers of a killed update."""
        named = {segment["name"] for segment in self._manifest["segments"]}
        for entry in os.listdir(self.folder):
            if entry.startswith("seg-") and entry not in named or entry.endswith(".tmp"):
                try:
                    os.unlink(os.path.join(self.folder, entry))
                except FileNotFoundError:
                    pass


def _empty_manifest(k1: float, b: float) -> dict[str, Any]:
    return {"format": FORMAT, "profile": _profile_json(), "generation": 0, "k1": k1, "b": b, "segments": [], "files": {}}


def _snippet(full_path: str, first: int, last: int, lines: int = 3) -> str:
    """The first few non-blank lines of a chunk, as the file holds them now."""
    try:
        with open(full_path, encoding="utf-8", errors="replace") as handle:
            chunk = [line.rstrip("\n") for number, line in enumerate(handle, 1) if first <= number <= last]
    except OSError:
        return ""
    return "\n".join([line for line in chunk if line.strip()][:lines])

