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
import contextlib
import errno
import hashlib
import fnmatch
import json
import os
import secrets
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from types import MappingProxyType
from typing import Any, NamedTuple

import orjson

from vorpaline import index_folder, languages, search_text
from vorpaline.index_folder import FolderLock, LockTimeout, NotAnIndexFolder
from vorpaline.ranking import ranking_json, role_names

__all__ = ["Definition", "Hit", "Index", "IndexUnusable", "LockTimeout", "NotAnIndexFolder", "Reference",
           "UpdateCounts", "open_store"]

FORMAT = 2
MANIFEST = index_folder.MANIFEST
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
    # The file changed since it was indexed: the lines shown are the file's now, the score and
    # the line range the index's; `vorpaline index` brings them together again.
    stale: bool = False
    line: int = 0  # the line that best matches the query (0 when the chunk has no lines to show)
    snippet_line: int = 0  # the snippet's first line
    roles: tuple[str, ...] = ()  # of its file: "test", "documentation", "changelog", ...
    definitions: tuple[Definition, ...] = ()  # the names the chunk defines, where a parser read its file


class Definition(NamedTuple):
    """A name a file defines, as its language's parser found it."""

    name: str
    kind: str  # "function", "method", "class", "constant", "module", "interface", "type", ...
    path: str
    line: int  # of the name
    first_line: int  # the whole definition
    last_line: int
    scope: str  # the enclosing definitions' names, dotted; "" at the top level


class Reference(NamedTuple):
    """A use of a name (a call, say) where its file's parser marks one."""

    name: str
    kind: str  # "call", "class", "type", "implementation", ...
    path: str
    line: int


class UpdateCounts(NamedTuple):
    indexed: int  # files read and indexed again
    skipped: int  # binary, too large or unreadable
    unchanged: int
    removed: int
    chunks: int  # documents written
    bytes: int  # of the files read
    seconds: float
    # Of the files indexed, how many in each language (display name) that has no parser here:
    # they are chunked by lines and have no definitions.
    without_parser: Mapping[str, int] = MappingProxyType({})


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


def _write_atomically(path: str, data: bytes, token: str) -> None:
    """Write, fsync, rename over ``path``, fsync the folder: all of it or none. The temporary file
    is ``path.TOKEN.tmp``: its writer records the token first, so that a leftover can be removed."""
    temporary = f"{path}.{token}.tmp"
    with open(temporary, "wb") as handle:
        handle.write(data)
        handle.flush()
        os.fsync(handle.fileno())
    _test_crash_point("manifest-written")
    os.replace(temporary, path)
    _fsync_folder(os.path.dirname(path) or ".")


def _in_index_folder(path: str) -> bool:
    """Whether ``path`` lies in a ``.vorpaline`` folder: a repository's own index, kept elsewhere or not."""
    return f"/{INDEX_FOLDER}/" in f"/{path}"


def _manifest_text(manifest: dict[str, Any]) -> bytes:
    """The manifest's JSON, then a line with the checksum of those bytes."""
    fields = {key: value for key, value in manifest.items() if key != "checksum"}
    try:
        body = orjson.dumps(fields)
    except TypeError:
        # A name that is not UTF-8 (a surrogate escape, as os.fsdecode gives it): written as an escape,
        # which the standard parser reads back as the same name.
        body = json.dumps(fields, separators=(",", ":")).encode()
    return body + b"\n" + hashlib.blake2b(body, digest_size=16).hexdigest().encode() + b"\n"


def _loads(data: bytes | str) -> Any:
    """JSON as orjson reads it; a text holding an escaped name that is not UTF-8 as the standard parser does."""
    try:
        return orjson.loads(data)
    except orjson.JSONDecodeError as error:
        if "surrogate" not in str(error):
            raise
        return json.loads(data)


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
        manifest = _loads(body)
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


def _segments_named_by_any(manifest_path: str, folder: str) -> set[str]:
    """The segments the manifest at ``manifest_path`` names, its checksum not trusted (a rebuild replaces
    a damaged index too); where it cannot be read at all, the segment files of a folder marked as an index's."""
    try:
        with open(manifest_path, "rb") as handle:
            body = handle.read()[:-1].rpartition(b"\n")[0]
        return {segment["name"] for segment in _loads(body)["segments"]
                if isinstance(segment["name"], str) and "/" not in segment["name"]}
    except (OSError, ValueError, TypeError, KeyError):
        return index_folder.marked_segment_files(folder)


UTF8_ROOT_REMEDY = "the scan reads trees under UTF-8 paths; give it one (a symbolic link will do)"


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:  # a name's bytes that are not UTF-8, as lone surrogates
        return False
    return True


def _utf8_name(name: str, what: str, remedy: str) -> str:
    """``name``, when it is UTF-8 text: the scan's configuration, and a store's payloads, hold only such."""
    if not _is_utf8(name):
        raise ValueError(f"{what} {search_text.quoted_name(name)} is not valid UTF-8: {remedy}")
    return name


def _check_id(doc_id: Any) -> None:
    if not isinstance(doc_id, str):
        raise TypeError(f"a document id must be str, not {type(doc_id).__name__}")
    _utf8_name(doc_id, "document id", "give ids of Unicode text")


def _metadata(path: str | None, first: int, last: int, doc_id: str | None) -> str:
    return json.dumps([path, first, last, doc_id], ensure_ascii=False, separators=(",", ":"))


class Index:
    """A BM25 index kept in one folder; see the module docstring."""

    def __init__(self, folder: str, manifest: dict[str, Any], *, rebuilding: bool = False) -> None:
        self.folder = folder
        self._manifest = manifest
        self._searcher: Any = None
        self._rebuilding = rebuilding  # the next commit replaces the index on disk, whatever it holds
        self._lock: FolderLock | None = None  # held while this object writes
        self._writing: list[str] = []  # name prefixes of the files being written, as the lock records them
        self._named_on_disk: set[str] = set()  # the segments the manifest on disk names
        self._ids_current = False  # the manifest's table of the application's ids is up to date

    # ---------------------------------------------------------------- opening

    @classmethod
    def create(cls, folder: str | os.PathLike[str], *, k1: float | None = None, b: float | None = None) -> Index:
        """A new, empty index in ``folder`` (made if missing); refuses a folder that holds one, and
        one that holds files of anything else (NotAnIndexFolder).
        ``k1`` and ``b`` fix BM25's parameters for this index; left None, each search takes the settings'."""
        folder = os.path.abspath(os.fspath(folder))
        manifest_path = os.path.join(folder, MANIFEST)
        index = cls(folder, _empty_manifest(k1, b))
        with index._writing_lock(None, reload=False):
            if os.path.exists(manifest_path):
                raise FileExistsError(errno.EEXIST, f"an index exists in {folder}; open it or rebuild it",
                                      manifest_path)
            index._write_manifest()
        return index

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
        except IndexUnusable:
            if not index_folder.is_index_folder(folder):  # another program's MANIFEST: not ours to rebuild
                raise index_folder.not_an_index(folder) from None
            raise
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
            index_folder.claim(folder)
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

    def search(self, query: str, k: int = 10, path_glob: str | None = None, *, files: bool = False) -> list[Hit]:
        """The ``k`` best documents for ``query``, best first; ``path_glob`` keeps the chunks of matching files.
        With ``files``, the ``k`` best files instead, each as its best chunk.
        A chunk whose file is gone, or is no longer the regular file indexed, is left out; one whose
        file changed since it was indexed is marked ``stale``."""
        if k < 1 or not self._manifest["segments"]:
            return []
        searcher = self._open_searcher()
        profile = self._manifest["profile"]
        from vorpaline.config import settings

        k1 = settings.search_k1 if self._manifest.get("k1") is None else self._manifest["k1"]
        b = settings.search_b if self._manifest.get("b") is None else self._manifest["b"]
        ranking = ranking_json(query, settings)
        query = search_text.prepared_query(query)
        terms = search_text.query_terms(query, profile)
        files_now = _FilesNow(self._manifest.get("root", ""), self._manifest["files"])
        wanted = k * 4 if files else k
        while True:
            # Filters apply to the ranking; more is asked until k hits pass or none are left.
            reply = _loads(searcher.search(query, profile, wanted, k1, b, ranking))
            found = [_Found.of(item) for item in reply["hits"]]
            kept = [hit for hit in found if path_glob is None or (hit.metadata[0] and
                                                                  fnmatch.fnmatchcase(hit.metadata[0], path_glob))]
            if files:
                kept = _best_of_each_file(kept)
            hits = self._hits(kept[:k] if files else kept, terms, files_now)
            if len(hits) >= k or len(found) < wanted:
                return hits[:k]
            wanted *= 4

    def definitions(self, name: str, *, ignore_case: bool = False, path_glob: str | None = None) -> list[Definition]:
        """Where ``name`` is defined (exactly, or ignoring case), in path and line order, in the files
        whose language has a parser."""
        return definitions_among(self._with_symbols(name, "names"), name, ignore_case, path_glob)

    def references(self, name: str, *, ignore_case: bool = False, path_glob: str | None = None) -> list[Reference]:
        """Where ``name`` is used (called, say) as the files' parsers mark uses, in path and line order."""
        return references_among(self._with_symbols(name, "text"), name, ignore_case, path_glob)

    def _with_symbols(self, name: str, field: str) -> list[_Found]:
        if not name.strip() or not self._manifest["segments"]:
            return []
        reply = _loads(self._open_searcher().with_symbols(name, self._manifest["profile"], field))
        return [_Found.of(item) for item in reply["hits"]]

    def _hits(self, found: list[_Found], terms: frozenset[int], files: _FilesNow) -> list[Hit]:
        """The hits with their snippets, from each chunk's lines as the file holds them now."""
        rows, chunks, stale = [], [], []
        for hit in found:
            path, first, last, doc_id, *span = hit.metadata
            lines: list[str] = []
            changed = False
            if path:
                now = files.lines(path, first, last, *span)
                if now is None:
                    continue  # gone, or no longer the regular file indexed
                lines, changed = now
            rows.append(_Row(hit.score, path, first, last, doc_id, None, role_names(hit.roles),
                             hit.definitions()))
            chunks.append(lines)
            stale.append(changed)
        return hits_with_snippets(rows, chunks, terms, self._manifest["profile"], stale=stale)

    # ---------------------------------------------------------------- writing

    @contextlib.contextmanager
    def _writing_lock(self, wait: float | None, *, reload: bool = True) -> Iterator[None]:
        """The folder (refused unless it is an index's) and its lock, held while this object writes,
        with the manifest as it is on disk once the lock is held."""
        index_folder.claim(self.folder)
        lock = FolderLock(self.folder, wait)
        self._lock = lock
        self._writing = list(lock.leftover_prefixes)  # a killed writer's files, removed at the next commit
        try:
            if reload:
                self._reload()
            yield
        finally:
            self._lock = None
            self._writing = []
            lock.release()

    def _record_writing(self, *prefixes: str) -> None:
        """Notes in the lock, before they are written, the names of files this index is about to own."""
        assert self._lock is not None
        self._writing.extend(prefixes)
        self._lock.record_writing(self._writing)

    def _new_segment_name(self) -> str:
        self._manifest["generation"] += 1
        name = f"seg-{self._manifest['generation']:06d}-{secrets.token_hex(4)}"
        self._record_writing(name)
        return name

    def _write_manifest(self) -> None:
        token = secrets.token_hex(4)
        self._record_writing(f"{MANIFEST}.{token}.")
        _write_atomically(os.path.join(self.folder, MANIFEST), _manifest_text(self._manifest), token)

    def add_documents(self, ids: Sequence[str], texts: Sequence[str], *, wait: float | None = None) -> None:
        """Adds one document per text, found by ``search`` with its id in ``Hit.id``. A document
        whose id the index holds already replaces it; of equal ids in one call, the last is kept."""
        if len(ids) != len(texts):
            raise ValueError(f"{len(ids)} ids but {len(texts)} texts")
        for doc_id in ids:
            _check_id(doc_id)
        with self._writing_lock(wait):
            by_id, deletions = self._document_ids()
            name = self._new_segment_name()
            for position, doc_id in enumerate(ids):
                older = by_id.get(doc_id)
                if older is not None:
                    deletions.setdefault(older[0], []).append(older[1])
                by_id[doc_id] = [name, position]
            metadata = [_metadata(None, 1, text.count("\n") + 1, doc_id) for doc_id, text in zip(ids, texts)]
            self._commit([(name, self._write_segment(name, list(texts), metadata))], deletions)

    def delete_documents(self, ids: Sequence[str], *, wait: float | None = None) -> int:
        """Removes the documents of these ids; returns how many the index held."""
        for doc_id in ids:
            _check_id(doc_id)
        with self._writing_lock(wait):
            by_id, deletions = self._document_ids()
            removed = 0
            for doc_id in dict.fromkeys(ids):
                held = by_id.pop(doc_id, None)
                if held is not None:
                    deletions.setdefault(held[0], []).append(held[1])
                    removed += 1
            if deletions:
                self._commit([], deletions)
            return removed

    def _document_ids(self) -> tuple[dict[str, list[Any]], dict[str, list[int]]]:
        """{id: [segment, document]} of the application's live documents, and the deletions that leave
        one document an id: an index that has no such table yet (or one an older version left out
        of date) gets it from its segments, where ids added twice are both found."""
        if self._ids_current:
            return self._manifest["ids"], {}
        by_id: dict[str, list[Any]] = {}
        deletions: dict[str, list[int]] = {}
        for segment in self._manifest["segments"]:
            deleted = set(segment["deleted"])
            documents = orjson.loads(_core().index_term_vectors(os.path.join(self.folder, segment["name"])))
            for number, document in enumerate(documents["documents"]):
                path, _first, _last, doc_id, *_ = json.loads(document["metadata"])
                if number in deleted or path is not None or doc_id is None:
                    continue
                older = by_id.get(doc_id)
                if older is not None:
                    deletions.setdefault(older[0], []).append(older[1])
                by_id[doc_id] = [segment["name"], number]
        self._manifest["ids"] = by_id
        self._ids_current = True
        return by_id, deletions

    def update(self, root: str | os.PathLike[str], *, max_file_bytes: int = DEFAULT_MAX_FILE_BYTES,
               wait: float | None = None, threads: int | None = None,
               progress: Callable[[int, int], None] | None = None,
               skipped_path: Callable[[str, str], None] | None = None) -> UpdateCounts:
        """Brings the index up to date with the files of the repository at ``root``.

        Files whose size and modification time are as the index last saw them
        are not read; the others are read, chunked and tokenised by the core
        with ``threads`` threads (default: one per core), into new segments.
        ``progress(files_done, bytes_done)``, when given, is called now and
        then as the files listed are looked at, and once after the last.
        ``skipped_path(path, reason)`` is told of each path the scan could not
        list (a name that is not UTF-8, a folder it may not read...) and of
        each file that could not be read (one no longer a regular file, say).
        """
        from vorpaline.scan import ScannedFile, config_json

        started = time.perf_counter()
        root = _utf8_name(os.path.abspath(os.fspath(root)), "the repository's path", UTF8_ROOT_REMEDY)
        with self._writing_lock(wait):
            known: dict[str, dict[str, Any]] = self._manifest["files"]
            # Neither a .vorpaline folder (_in_index_folder) nor this index, wherever it lies in the tree, is indexed.
            skipped_folders = _skipped_folders(root, self.folder)
            reply = _loads(_core().scan_repository(config_json(root), threads or 0))
            if skipped_path is not None:
                for item in reply["skipped"]:
                    skipped_path(item["path"], item["reason"])
            files: dict[str, dict[str, Any]] = {}
            to_read = []
            listed_count = listed_bytes = skipped = unchanged = 0
            # A grammar installed or removed since the last update: its language's files are parsed anew.
            parsers_now = languages.installed()
            reparsed = set(parsers_now).symmetric_difference(self._manifest.get("parsers", parsers_now))
            to_parse: set[str] = set()
            # The loop every update runs over every file: kept lean, records made only for files to read.
            for item in reply["files"]:
                path = item["path"]
                if _not_indexed(path, skipped_folders):
                    continue
                listed_count += 1
                listed_bytes += item["size"]
                entry = known.get(path)
                if reparsed and entry is not None and entry["hash"] is not None and \
                        languages.language_of(path) in reparsed:
                    to_parse.add(path)
                elif entry is not None and entry["size"] == item["size"] and entry["mtime_ns"] == item["mtime_ns"]:
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

            prefix = self._new_segment_name()
            looked_at = listed_count - len(to_read)
            bytes_looked_at = listed_bytes - sum(f.size for f in to_read)

            def report(files_done: int, bytes_done: int) -> None:
                if progress is not None:
                    progress(looked_at + files_done, bytes_looked_at + bytes_done)

            report(0, 0)
            parsers = languages.ensure_registered_for(f.path for f in to_read)
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
            without_parser: dict[str, int] = {}
            for scanned, outcome in zip(to_read, built["files"]):
                entry = known.get(scanned.path)
                placed = None if outcome["segment"] is None else new_segments[outcome["segment"]][0]
                if outcome["status"] != "indexed":
                    if skipped_path is not None and outcome["status"] not in ("binary", "too large"):
                        skipped_path(scanned.path, outcome["status"])  # unreadable, or no longer a regular file
                    # kept, so that the file is not read again until it changes
                    forget(entry)
                    files[scanned.path] = {"size": scanned.size, "mtime_ns": scanned.mtime_ns, "hash": None}
                    skipped += 1
                    continue
                read_bytes += outcome["bytes"]
                if entry is not None and entry["hash"] == outcome["hash"] and scanned.path not in to_parse:
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
                language = languages.language_of(scanned.path)
                if language is not None and not parsers[language]:
                    shown = languages.display_name(language)
                    without_parser[shown] = without_parser.get(shown, 0) + 1
            removed = 0
            if len(files) != len(known) or to_read:
                for path, entry in known.items():
                    if path not in files:
                        forget(entry)
                        removed += 1
            changed = bool(new_segments or deletions or to_read or removed) or self._manifest.get("root") != root \
                or self._manifest.get("parsers") != parsers_now
            if changed:
                self._manifest["root"] = root
                self._manifest["parsers"] = parsers_now
                self._manifest["files"] = files
                if new_segments:
                    _fsync_folder(self.folder)
                self._commit(new_segments, deletions)
            else:
                self._remove_unnamed_files()  # what a killed update left behind
            return UpdateCounts(indexed, skipped, unchanged, removed, chunks, read_bytes,
                                time.perf_counter() - started, without_parser)

    def _reload(self) -> None:
        """The manifest as it is on disk now: another process may have updated it."""
        path = os.path.join(self.folder, MANIFEST)
        if self._rebuilding:
            self._manifest = _empty_manifest(self._manifest["k1"], self._manifest["b"])
            self._named_on_disk = _segments_named_by_any(path, self.folder)
        else:
            self._manifest = _read_manifest(path)
            self._named_on_disk = {segment["name"] for segment in self._manifest["segments"]}
        ids = self._manifest.get("ids")
        self._ids_current = isinstance(ids, dict) and self._manifest.get("ids_generation") == self._manifest["generation"]
        self._searcher = None

    def _write_segment(self, name: str, texts: list[str], metadata: list[str]) -> int:
        """A new segment file of these documents; returns its document count."""
        reply = _core().index_build_segment(os.path.join(self.folder, name), self._manifest["profile"],
                                            json.dumps(texts), json.dumps(metadata))
        _test_crash_point("segment-written")
        _fsync_folder(self.folder)
        return int(json.loads(reply)["documents"])

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
        if self._ids_current:
            self._manifest["ids_generation"] = self._manifest["generation"]
        else:  # out of date (an older version wrote since): rebuilt from the segments when next needed
            self._manifest.pop("ids", None)
            self._manifest.pop("ids_generation", None)
        # The segments this commit stops naming are noted first, so that a kill after it leaves none behind.
        self._record_writing(*sorted(self._named_on_disk - {s["name"] for s in self._manifest["segments"]}))
        self._write_manifest()
        _test_crash_point("manifest-replaced")
        self._rebuilding = False
        self._searcher = None
        self._remove_unnamed_files()

    def _merge_small(self, segments: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """With more than MAX_SEGMENTS segments, the smallest are merged into one
        (and so is any segment with more documents deleted than live): searches
        then open few files, and deleted documents stop taking room. The places
        of the files' chunks and of the application's documents move to the merged segment."""
        def live(segment: dict[str, Any]) -> int:
            return segment["documents"] - len(segment["deleted"])

        by_size = sorted(segments, key=live)
        chosen = {s["name"] for s in by_size[:max(0, len(segments) - MAX_SEGMENTS + 1)]}
        chosen |= {s["name"] for s in segments if len(s["deleted"]) > live(s)}
        if len(chosen) < 2:
            return segments
        inputs = [s for s in segments if s["name"] in chosen]
        name = self._new_segment_name() + "-merged"
        reply = _core().index_merge_segments(os.path.join(self.folder, name), orjson.dumps(
            [{"path": os.path.join(self.folder, s["name"]), "deleted": s["deleted"]} for s in inputs]).decode())
        _fsync_folder(self.folder)
        # A document keeps its order among the live ones of its segment.
        base: dict[str, tuple[int, list[int]]] = {}
        start = 0
        for segment in inputs:
            base[segment["name"]] = (start, segment["deleted"])
            start += live(segment)

        def moved(segment: str, first: int) -> int:
            offset, deleted = base[segment]
            return offset + first - bisect.bisect_left(deleted, first)

        for entry in self._manifest["files"].values():
            if entry.get("segment") in base:
                entry["first"] = moved(entry["segment"], entry["first"])
                entry["segment"] = name
        if self._ids_current:
            for place in self._manifest["ids"].values():
                if place[0] in base:
                    place[:] = [name, moved(place[0], place[1])]
        merged = {"name": name, "documents": json.loads(reply)["documents"], "deleted": []}
        return [s for s in segments if s["name"] not in chosen] + [merged]

    def _remove_unnamed_files(self) -> None:
        """The segments the manifest no longer names, and the files a killed writer recorded and left."""
        named = {segment["name"] for segment in self._manifest["segments"]}
        index_folder.remove_own_files(self.folder, self._named_on_disk - named, self._writing,
                                      named | {MANIFEST, index_folder.LOCK, index_folder.MARKER})
        self._named_on_disk = named
        self._writing = []
        if self._lock is not None:
            self._lock.record_writing([])


def open_store(root: str | os.PathLike[str] = ".", store: str | None = None, *,
               folder: str | os.PathLike[str] | None = None, rebuild: bool = False) -> Any:
    """Where the code search of the repository at ``root`` is kept: its local ``Index`` (in
    ``folder``, default ``root/.vorpaline``), or with ``store`` the Qdrant collection it names
    (``qdrant://HOST:PORT/COLLECTION``, a ``QdrantStore``). Both have ``update(root)`` and ``search(query)``."""
    if store is None:
        return Index.for_repository(root, folder, rebuild=rebuild)
    from vorpaline.qdrant_store import QdrantStore

    return QdrantStore.connect(store, rebuild=rebuild)


class _Row(NamedTuple):
    """A hit before its snippet."""

    score: float
    path: str | None
    first: int
    last: int
    id: str | None
    repository: str | None
    roles: tuple[str, ...] = ()
    definitions: tuple[Definition, ...] = ()


class _Found(NamedTuple):
    """A document as the core's search replies: its score, metadata, roles and symbols."""

    score: float
    metadata: list[Any]
    roles: int
    symbols: dict[str, Any]

    @classmethod
    def of(cls, item: dict[str, Any]) -> _Found:
        return cls(item["score"], _loads(item["metadata"]), item.get("roles", 0),
                   _loads(item["symbols"]) if item.get("symbols") else {})

    def definitions(self) -> tuple[Definition, ...]:
        path = self.metadata[0]
        return tuple(Definition(d[0], d[1], path, d[2], d[3], d[4], d[5]) for d in self.symbols.get("d", ()))


def _best_of_each_file(found: list[_Found]) -> list[_Found]:
    """Each file's best chunk, in order: files ranked by their best chunks."""
    seen: set[str] = set()
    best = []
    for hit in found:
        path = hit.metadata[0]
        if path not in seen:
            seen.add(path)
            best.append(hit)
    return best


def _same_name(found: str, name: str, ignore_case: bool) -> bool:
    return found == name or ignore_case and found.casefold() == name.casefold()


def _sorted_in(found: list[Any], path_glob: str | None) -> list[Any]:
    kept = {item for item in found if path_glob is None or fnmatch.fnmatchcase(item.path, path_glob)}
    return sorted(kept, key=lambda item: (item.path, item.line, item.name, item.kind))


def definitions_among(candidates: Sequence[_Found], name: str, ignore_case: bool,
                      path_glob: str | None) -> list[Definition]:
    """The definitions of ``name`` the candidate documents' symbols hold, in path and line order."""
    found = [Definition(item[0], item[1], candidate.metadata[0], item[2], item[3], item[4], item[5])
             for candidate in candidates for item in candidate.symbols.get("d", ())
             if _same_name(item[0], name, ignore_case)]
    return _sorted_in(found, path_glob)


def references_among(candidates: Sequence[_Found], name: str, ignore_case: bool,
                     path_glob: str | None) -> list[Reference]:
    """The uses of ``name`` the candidate documents' symbols hold, in path and line order."""
    found = [Reference(item[0], item[1], candidate.metadata[0], item[2])
             for candidate in candidates for item in candidate.symbols.get("r", ())
             if _same_name(item[0], name, ignore_case)]
    return _sorted_in(found, path_glob)


def hits_with_snippets(found: Sequence[_Row | tuple[Any, ...]], chunks: Sequence[list[str]], terms: frozenset[int],
                       profile_json: str, *, stale: Sequence[bool] | None = None) -> list[Hit]:
    """Hits of rows (score, path, first line, last line, id, repository[, roles, definitions]), each
    with the line that best matches the query and its chunk's best lines as its snippet; the lines
    of all the chunks are tokenised in one call."""
    every_line = [line for lines in chunks for line in lines]
    may_hold = search_text.lines_that_may_hold(every_line, terms) if terms else []
    tokenised = iter(search_text.text_terms([line for line, may in zip(every_line, may_hold) if may], profile_json))
    line_terms = iter([next(tokenised) if may else frozenset() for may in may_hold])
    hits = []
    for number, (row, lines) in enumerate(zip(found, chunks)):
        row = _Row(*row)
        own_terms = [next(line_terms) for _ in lines] if terms else []  # asked for only when there are terms
        defined_at = {d.line - row.first for d in row.definitions}
        best, offset, snippet = search_text.best_line(lines, terms, own_terms, defined_at)
        hits.append(Hit(row.path, row.first, row.last, row.score, "\n".join(snippet), row.id, row.repository,
                        bool(stale and stale[number]), row.first + best if lines else 0,
                        row.first + offset if lines else 0, row.roles, row.definitions))
    return hits


class _FilesNow:
    """The indexed files as they are now, each read at most once a search, with the guarded open the
    indexer uses: no symbolic link followed on the way, nothing but a regular file read."""

    WHOLE_FILE_LIMIT = 64 << 20  # a file that grew past this since it was indexed shows its first lines

    def __init__(self, root: str, known: dict[str, dict[str, Any]]) -> None:
        self._root = root
        self._known = known
        self._whole: dict[str, tuple[list[str], bool] | None] = {}

    def _read(self, path: str, begin: int, end: int) -> tuple[bytes, bool] | None:
        """The bytes [begin, end) and whether the file differs from the one indexed; None if it cannot be read."""
        try:
            data, size, mtime_ns = _core().read_repository_file(self._root, path, begin, end)
        except (OSError, ValueError):
            return None
        entry = self._known.get(path)
        return data, entry is not None and (entry["size"], entry["mtime_ns"]) != (size, mtime_ns)

    def lines(self, path: str, first: int, last: int, begin: int | None = None,
              end: int | None = None) -> tuple[list[str], bool] | None:
        """Lines ``first`` to ``last`` (1-based) as the file holds them now, and whether it changed since
        it was indexed; None when it is gone or no longer a regular file. With the chunk's byte range,
        an unchanged file is read only there."""
        if begin is not None and end is not None:
            got = self._read(path, begin, end)
            if got is None:
                return None
            data, changed = got
            if not changed:
                return _text_lines(data)[:last - first + 1], False
        if path not in self._whole:
            got = self._read(path, 0, self.WHOLE_FILE_LIMIT)
            self._whole[path] = None if got is None else (_text_lines(got[0]), got[1])
        whole = self._whole[path]
        return None if whole is None else (whole[0][first - 1:last], whole[1])


def _text_lines(data: bytes) -> list[str]:
    # Lines end at "\n", as the chunker counts them.
    return [line.removesuffix("\r") for line in data.decode("utf-8", errors="replace").split("\n")]


def listed_files(root: str, index_folder: str | None) -> list[Any]:
    """The scanner's files under ``root`` (ScannedFile records) but those of any .vorpaline
    folder and of ``index_folder`` when it lies in the tree: what an update indexes."""
    from vorpaline.scan import ScannedFile, config_json

    reply = _loads(_core().scan_repository(config_json(root), 0))
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

