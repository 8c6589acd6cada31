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
its checksum), a table of the files indexed (file_table), and one
``MANIFEST`` naming the live segments, the documents deleted from each and
the table. An update writes new segments and a new table first and then
replaces the manifest atomically, so that a reader sees the old
index or the new one and a killed update leaves the old one intact; one
update at a time holds the folder's lock.
"""

from __future__ import annotations

import bisect
import contextlib
import errno
import fnmatch
import json
import os
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any


from vorpaline import languages
from vorpaline.search import file_table, grep_state, index_folder, queries, query_language
from vorpaline.search.arguments import (check_document_metadata, check_folder, check_grep, check_ids, check_lookup,
                                        check_metadata_filter, check_search, check_seconds, check_texts)
from vorpaline.search.files import (DEFAULT_MAX_FILE_BYTES, INDEX_FOLDER, FilesNow, listed_files, not_indexed,
                                    skipped_folders)
from vorpaline.search.hits import (Definition, Found, Hit, PathGlobs, Reference, Row, best_hit_of_each_file,
                                   best_of_each_file, definitions_among, hits_of_chunks, references_among)
from vorpaline.search.index_folder import FolderLock
from vorpaline.search.native import UTF8_ROOT_REMEDY, blake2b, fast_json, is_utf8, loads, profile_json, utf8_name
from vorpaline.search.native import core as _core
from vorpaline.search.protocol import Closable, IndexedFile, IndexUnusable, Status, UpdateCounts

if TYPE_CHECKING:
    from vorpaline.search.grep import GrepFile, GrepResult

__all__ = ["Index"]

FORMAT = 3
# Format 2 kept the file table inside the manifest; such an index is read as it is and written anew.
INLINE_TABLE_FORMAT = 2
MANIFEST = index_folder.MANIFEST
MAX_SEGMENTS = 8  # beyond this many, the smallest segments are merged
BUILD_SEGMENTS = 6  # a build's files are cut into about this many segments, one per batch of threads' work
MIN_SEGMENT_BYTES = 1 << 20
# A manifest written this recently may be followed by another of the same size, time stamp (the
# clock file times take ticks coarsely) and inode (freed by the first, given to the next): its
# stamp alone does not show a change then, its checksum line does.
RECENT_NS = 2_000_000_000
CHECKSUM_LINE = 33  # the manifest's last line: its checksum in hex and the line end


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


def _manifest_text(manifest: dict[str, Any]) -> bytes:
    """The manifest's JSON, then a line with the checksum of those bytes."""
    fields = {key: value for key, value in manifest.items() if key != "checksum" and key not in file_table.TABLE_KEYS}
    try:
        body = fast_json().dumps(fields)
    except TypeError:
        # A name that is not UTF-8 (a surrogate escape, as os.fsdecode gives it): written as an escape,
        # which the standard parser reads back as the same name.
        body = json.dumps(fields, separators=(",", ":")).encode()
    return body + b"\n" + blake2b(body, digest_size=16).hexdigest().encode() + b"\n"


def _token() -> str:
    return os.urandom(4).hex()  # as secrets.token_hex(4), without importing random for it


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


# What a manifest file was when it was read: size, mtime_ns, inode, and whether it was written too
# recently for these to show the next change.
Stamp = tuple[int, int, int, bool]


def _stamp_of(status: os.stat_result) -> Stamp:
    return (status.st_size, status.st_mtime_ns, status.st_ino, time.time_ns() - status.st_mtime_ns < RECENT_NS)


def _checksum_line(path: str) -> bytes:
    with open(path, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        return os.pread(handle.fileno(), CHECKSUM_LINE, max(0, size - CHECKSUM_LINE))


def _read_manifest(path: str) -> dict[str, Any]:
    """The manifest at ``path``, checked whole: a damaged one would give wrong results, not an error."""
    return _read_manifest_stamped(path)[0]


def _read_manifest_stamped(path: str, copies: int = 0) -> tuple[dict[str, Any], Stamp, bytes, list[dict[str, Any]]]:
    """The manifest at ``path``, the stamp of the file read, its checksum line, and ``copies`` more
    copies of it that share nothing with it."""
    with open(path, "rb") as handle:
        stamp = _stamp_of(os.fstat(handle.fileno()))
        data = handle.read()
    manifest = _parsed_manifest(path, data)
    body = data[:-1].rpartition(b"\n")[0]
    return manifest, stamp, data[-CHECKSUM_LINE:], [loads(body) for _ in range(copies)]


def _parsed_manifest(path: str, data: bytes) -> dict[str, Any]:
    body = index_folder.checked_manifest_body(path, data)
    try:
        manifest = loads(body)
    except ValueError as error:
        raise IndexUnusable(f"index file {path} is damaged ({error}); run `vorpaline index --rebuild`") from None
    segments = manifest.get("segments") if isinstance(manifest, dict) else None
    well_formed = (
        isinstance(manifest, dict) and isinstance(manifest.get("generation"), int)
        and all(manifest.get(key) is None or _is_number(manifest.get(key)) for key in ("k1", "b"))
        and (isinstance(manifest.get("files"), dict) if manifest.get("format") == INLINE_TABLE_FORMAT
             else isinstance(manifest.get("table"), str) and "/" not in manifest["table"])
        and isinstance(segments, list)
        and all(isinstance(segment, dict) and isinstance(segment.get("name"), str)
                and isinstance(segment.get("documents"), int) and isinstance(segment.get("deleted"), list)
                for segment in segments)
        and grep_state.well_formed(manifest.get("grep")))
    if not isinstance(manifest, dict) or manifest.get("format") in (INLINE_TABLE_FORMAT, FORMAT) and not well_formed:
        raise IndexUnusable(f"index file {path} is damaged (its fields do not fit); run `vorpaline index --rebuild`")
    return manifest


def _segments_named_by_any(manifest_path: str, folder: str) -> set[str]:
    """The segments the manifest at ``manifest_path`` names, its checksum not trusted (a rebuild replaces
    a damaged index too); where it cannot be read at all, the segment files of a folder marked as an index's."""
    try:
        with open(manifest_path, "rb") as handle:
            body = handle.read()[:-1].rpartition(b"\n")[0]
        return {name for name in _named_segments(loads(body)) if isinstance(name, str) and "/" not in name}
    except (OSError, ValueError, TypeError, KeyError):
        return index_folder.marked_segment_files(folder)


def _named_segments(manifest: dict[str, Any]) -> set[str]:
    """The files of the segments, BM25 and trigram, and the file table, that a manifest names."""
    table = {manifest["table"]} if isinstance(manifest.get("table"), str) else set()
    return {segment["name"] for segment in manifest["segments"]} | grep_state.segment_names(manifest) | table


def _read_table(folder: str, manifest: dict[str, Any]) -> dict[str, Any]:
    """The entries the manifest keeps in its file table (none to read for a format 2 manifest)."""
    if manifest.get("format") == INLINE_TABLE_FORMAT or "files" in manifest:
        return {}
    path = os.path.join(folder, manifest["table"])
    try:
        return file_table.read(path)
    except FileNotFoundError:
        raise IndexUnusable(f"index file {path} named by {os.path.join(folder, MANIFEST)} is missing; "
                            "run `vorpaline index --rebuild`") from None
    except file_table.TableDamaged as error:
        raise IndexUnusable(f"{error}; run `vorpaline index --rebuild`") from None


def _check_id(doc_id: Any) -> None:
    if not isinstance(doc_id, str):
        raise TypeError(f"a document id must be str, not {type(doc_id).__name__}")
    utf8_name(doc_id, "document id", "give ids of Unicode text")


def _metadata(path: str | None, first: int, last: int, doc_id: str | None) -> str:
    return json.dumps([path, first, last, doc_id], ensure_ascii=False, separators=(",", ":"))


def _document_record(doc_id: str, text: str, metadata: dict[str, str] | None) -> str:
    """An application's document as its segment keeps it: where a file's chunk has its byte range
    after the id, a document has its text and metadata, which older versions pass over."""
    kept: dict[str, Any] = {"text": text} if metadata is None else {"text": text, "metadata": metadata}
    return json.dumps([None, 1, text.count("\n") + 1, doc_id, kept], ensure_ascii=False, separators=(",", ":"))


def _kept(found: Found) -> dict[str, Any]:
    """A document's kept text and metadata; {} for a file's chunk, and for a document an older version added."""
    extra = found.metadata[4] if len(found.metadata) > 4 and found.metadata[0] is None else None
    return extra if isinstance(extra, dict) else {}


def _metadata_matches(metadata: Any, wanted: dict[str, list[str]]) -> bool:
    """Each key's value matches one of its globs (fnmatch's, case-sensitive); a document without the key does not."""
    if not isinstance(metadata, dict):
        return False
    for key, globs in wanted.items():
        value = metadata.get(key)
        if not isinstance(value, str) or not any(fnmatch.fnmatchcase(value, glob) for glob in globs):
            return False
    return True


# Rows of the ranking past which a search whose words' case counts asks which files hold them.
_NARROWED_ABOVE = 1000


def _passes(found: Found, path_matches: Callable[[str | None], bool] | None,
            metadata: dict[str, list[str]] | None) -> bool:
    """Whether a search's filters keep this document: its path, and its metadata."""
    if path_matches is not None and not path_matches(found.metadata[0]):
        return False
    return not metadata or _metadata_matches(_kept(found).get("metadata"), metadata)


def _check_usable(folder: str, manifest: dict[str, Any]) -> None:
    if manifest.get("format") not in (INLINE_TABLE_FORMAT, FORMAT):
        raise IndexUnusable(f"the index in {folder} has format {manifest.get('format')!r}, this vorpaline reads "
                            f"{INLINE_TABLE_FORMAT} and {FORMAT}; run `vorpaline index --rebuild`")
    if manifest.get("profile") != profile_json():
        raise IndexUnusable(f"the index in {folder} was made with another tokenisation profile; "
                            "run `vorpaline index --rebuild`")


class Index(Closable):
    """A BM25 index kept in one folder; see the module docstring.

    Searches may run from several threads at once; one write at a time runs (others wait for it).
    Each read first looks whether another writer committed since (a stat of the manifest), and
    reads what it committed. ``with Index.open(folder) as index:`` closes it at the end."""

    def __init__(self, folder: str, manifest: dict[str, Any], *, rebuilding: bool = False) -> None:
        self.folder = folder
        # What the writer works on: read again once its lock is held, and changed until its commit.
        self._manifest = manifest
        # What searches read: the manifest last committed or read, never changed in place, with its
        # searcher (None until a search opens it); the two are replaced together under _state_lock.
        self._committed = _empty_manifest(manifest.get("k1"), manifest.get("b"))
        self._searcher: Any = None
        self._stamp: Stamp | None = None  # of the manifest file _committed was read from
        self._checksum = b""  # its checksum line
        self._state_lock = threading.Lock()
        self._write_mutex = threading.Lock()  # one write at a time through this object
        self._closed = False
        self._rebuilding = rebuilding  # the next commit replaces the index on disk, whatever it holds
        self._lock: FolderLock | None = None  # held while this object writes
        self._writing: list[str] = []  # name prefixes of the files being written, as the lock records them
        self._named_on_disk: set[str] = set()  # the segments the manifest on disk names
        self._ids_current = False  # the manifest's table of the application's ids is up to date
        self._grep_part: dict[str, Any] | None = None  # what a grep hands the core of _grep_part_of
        self._grep_part_of: dict[str, Any] | None = None
        # The committed manifest with its file table read in, and the table's stamps: each made once.
        self._full_committed: tuple[dict[str, Any], dict[str, Any]] | None = None
        self._searcher_stamps: Any = None  # the file stamps of the manifest the searcher was opened for

    # ---------------------------------------------------------------- opening

    @classmethod
    def create(cls, folder: str | os.PathLike[str], *, k1: float | None = None, b: float | None = None) -> Index:
        """A new, empty index in ``folder`` (made if missing); refuses a folder that holds one, and
        one that holds files of anything else (NotAnIndexFolder).
        ``k1`` and ``b`` fix BM25's parameters for this index; left None, each search takes the settings'."""
        folder = os.path.abspath(check_folder(folder))
        manifest_path = os.path.join(folder, MANIFEST)
        index = cls(folder, _empty_manifest(k1, b))
        with index._writing_lock(None, reload=False):
            if os.path.exists(manifest_path):
                raise FileExistsError(errno.EEXIST, f"an index exists in {folder}; open it or rebuild it",
                                      manifest_path)
            index._write_manifest()
            index._published_from_disk()
        return index

    @classmethod
    def open(cls, folder: str | os.PathLike[str]) -> Index:
        """The index in ``folder``, as its manifest names it now."""
        folder = os.path.abspath(check_folder(folder))
        manifest_path = os.path.join(folder, MANIFEST)
        try:
            manifest, stamp, checksum, _ = _read_manifest_stamped(manifest_path)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, f"no index in {folder}; create it with `vorpaline index`",
                                    manifest_path) from None
        except IndexUnusable:
            if not index_folder.is_index_folder(folder):  # another program's MANIFEST: not ours to rebuild
                raise index_folder.not_an_index(folder) from None
            raise
        _check_usable(folder, manifest)
        index = cls(folder, manifest)
        index._committed, index._stamp, index._checksum = manifest, stamp, checksum
        return index

    @classmethod
    def for_repository(cls, root: str | os.PathLike[str], folder: str | os.PathLike[str] | None = None,
                       *, rebuild: bool = False) -> Index:
        """The index of the repository at ``root`` (in ``root/.vorpaline`` unless ``folder``), made when missing."""
        root = check_folder(root, "root")
        folder = check_folder(folder) if folder is not None else os.path.join(root, INDEX_FOLDER)
        if rebuild:
            # The index there stays searchable, and intact should this process die, until the new one is committed.
            folder = os.path.abspath(folder)
            index_folder.claim(folder)
            return cls(folder, _empty_manifest(None, None), rebuilding=True)
        try:
            return cls.open(folder)
        except FileNotFoundError:
            return cls.create(folder)

    # ---------------------------------------------------------------- closing

    def close(self) -> None:
        """Lets the searcher go (searches running now finish with it); using the index then raises
        ValueError. Closing again does nothing."""
        with self._state_lock:
            self._closed = True
            self._searcher = None

    def _closed_message(self) -> str:
        return f"index ({self.folder})"

    # ---------------------------------------------------------------- reading

    @property
    def root(self) -> str | None:
        """The repository the index last indexed; None for an index of an application's documents."""
        return self._reading_manifest(table=False).get("root")

    @property
    def documents(self) -> int:
        return sum(segment["documents"] - len(segment["deleted"]) for segment in self._committed["segments"])

    def refresh(self) -> bool:
        """Reads the manifest again if another writer (another process's, or another Index object's)
        committed since it was read; returns whether it had. Each search, look-up, ``files`` and
        ``status`` does this first: it costs a stat of the manifest when nothing changed."""
        self._check_open()
        if self._rebuilding:
            return False  # this object's next commit replaces what is there: it searches nothing until then
        path = os.path.join(self.folder, MANIFEST)
        try:
            stamp = _stamp_of(os.stat(path))
            if stamp[:3] == (self._stamp or ())[:3] and not (self._stamp and self._stamp[3]):
                return False
            if _checksum_line(path) == self._checksum:
                self._stamp = stamp  # the same manifest, or one written again the same
                return False
            manifest, stamp, checksum, _ = _read_manifest_stamped(path)
        except FileNotFoundError:
            return False  # the folder was removed: searches go on with what was read, as long as they can
        _check_usable(self.folder, manifest)
        with self._state_lock:
            self._committed, self._searcher, self._stamp, self._checksum = manifest, None, stamp, checksum
        return True

    def _reading(self) -> tuple[dict[str, Any], Any]:
        """The manifest as last committed (refreshed first) and its searcher, one that fits it (None
        when it names no segment)."""
        manifest, searcher, _ = self._reading_with_stamps()
        return manifest, searcher

    def _reading_with_stamps(self) -> tuple[dict[str, Any], Any, Any]:
        """``_reading``'s manifest and searcher, and the size and time of each file it indexed, by path."""
        self.refresh()
        while True:
            with self._state_lock:
                self._check_open()
                manifest, searcher, stamps = self._committed, self._searcher, self._searcher_stamps
            if searcher is not None or not manifest["segments"]:
                return manifest, searcher, stamps
            segments = [{"path": os.path.join(self.folder, s["name"]), "deleted": s["deleted"]}
                        for s in manifest["segments"]]
            try:
                # The file table too, while the files the manifest names are there: open, it stays readable.
                stamps = self._file_stamps(manifest)
                searcher = _core().index_open(json.dumps(segments))
            except FileNotFoundError as error:
                # An update committed since this manifest was read removes the segments it no longer
                # needs: the new manifest names the index to search. The same manifest: really missing.
                if not self.refresh() and self._committed is manifest:
                    named = [s["path"] for s in segments] + [os.path.join(self.folder, manifest.get("table", ""))]
                    missing = next((path for path in named if not os.path.exists(path)), str(error))
                    raise IndexUnusable(f"index file {missing} named by {os.path.join(self.folder, MANIFEST)} "
                                        "is missing; run `vorpaline index --rebuild`") from None
                continue
            except ValueError as error:  # a damaged segment, or deletions that do not fit it
                raise IndexUnusable(f"{error}; run `vorpaline index --rebuild`") from None
            with self._state_lock:
                if self._committed is manifest and not self._closed:
                    # Kept for the next search, unless a newer manifest came meanwhile.
                    self._searcher, self._searcher_stamps = searcher, stamps
            return manifest, searcher, stamps

    def _open_searcher(self) -> Any:
        return self._reading()[1]

    def search(self, query: str, k: int = 10, path_glob: PathGlobs = None, *, files: bool = False,
               case: str = "smart", regex: str | None = None, types: Sequence[str] = (),
               types_not: Sequence[str] = (), tests: str | None = None,
               metadata: dict[str, str | Sequence[str]] | None = None) -> list[Hit]:
        """The ``k`` best documents for ``query`` (in the query language of ``query_language``), best
        first; ``path_glob``, ``types`` and ``types_not`` keep the chunks of matching files, ``tests``
        ("exclude" or "only") those of test files or the others, ``regex`` those whose text matches it.
        ``metadata`` ({key: glob or [globs]}) keeps the application's documents whose metadata value
        for each key matches one of its globs (fnmatch's, case-sensitive), as ``meta:KEY=GLOB`` does.
        With ``files``, the ``k`` best files instead, each as its best chunk.
        A chunk whose file is gone, or is no longer the regular file indexed, is left out; one whose
        file changed since it was indexed is marked ``stale``."""
        check_search(query, k, path_glob, files)
        wanted_metadata = check_metadata_filter(metadata)
        plan = query_language.plan(query, path_glob=path_glob, types=types, types_not=types_not, tests=tests,
                                   case=case, regex=regex)
        asked_metadata = {key: list(globs) for key, globs in plan.metadata.items()}
        if k < 1 or plan.impossible:
            self._check_open()
            return []
        manifest, searcher, stamps = self._reading_with_stamps()
        if searcher is None:
            return []
        profile = manifest["profile"]
        from vorpaline.config import settings

        k1 = settings.search_k1 if manifest.get("k1") is None else manifest["k1"]
        b = settings.search_b if manifest.get("b") is None else manifest["b"]
        ranking = queries.ranking_json(plan.ranked, settings)
        ranked = queries.prepared_query(plan.ranked)
        terms = queries.query_terms(ranked, profile)
        files_now = FilesNow(manifest.get("root", ""), stamps)
        matches = plan.accepts_path
        wanted = k * 4 if files else k
        hits: list[Hit] = []
        examined = 0  # the ranking's rows made into hits so far: its order is the same at any depth
        holding: set[str] | None = None  # the files that can hold a passing chunk, once known
        while True:
            # Filters apply to the ranking; more is asked until k hits pass or none are left.
            try:
                reply = loads(searcher.search(ranked, profile, wanted, k1, b, ranking))
            except ValueError as error:  # a document whose stored text fails its check: a damaged segment
                raise IndexUnusable(f"{error}; run `vorpaline index --rebuild`") from None
            found = [Found.of(item) for item in reply["hits"]]
            if files and not plan.filters_rows:
                kept = [hit for hit in found
                        if _passes(hit, matches, wanted_metadata) and _passes(hit, None, asked_metadata)]
                shown = self._hits(best_of_each_file(kept)[:k], terms, files_now, profile, plan)
            else:
                fresh = [hit for hit in found[examined:]
                         if (holding is None or hit.metadata[0] in holding)
                         and _passes(hit, matches, wanted_metadata) and _passes(hit, None, asked_metadata)]
                hits += self._hits(fresh, terms, files_now, profile, plan)
                examined = len(found)
                shown = best_hit_of_each_file(hits) if files else hits
            if len(shown) >= k or len(found) < wanted:
                return shown[:k]
            # Deep in the ranking, the trigram index costs less than the chunks it saves reading.
            if holding is None and wanted * 4 >= _NARROWED_ABOVE and plan.content is not None \
                    and plan.content.substrings:
                holding = self._files_that_may_hold(manifest, plan.content.substrings)
                if holding is not None and not holding:
                    return shown[:k]
            wanted *= 4

    def _files_that_may_hold(self, manifest: dict[str, Any], substrings: Sequence[str]) -> set[str] | None:
        """The indexed files that hold each of ``substrings`` now, as the trigram index finds them, with
        those it keeps no trigrams of; None when that cannot narrow a search (no trigram index, or
        documents of an application among the files)."""
        root = manifest.get("root")
        if root is None or manifest.get("grep") is None or any("\ufffd" in text for text in substrings):
            return None
        try:
            entries = self._with_table(manifest)["files"]
        except IndexUnusable:  # its table removed by a commit since: the search goes on without
            return None
        chunked = sum(entry.get("count", 0) for entry in entries.values() if entry.get("segment") is not None)
        if chunked != sum(segment["documents"] - len(segment["deleted"]) for segment in manifest["segments"]):
            return None
        holding: set[str] | None = None
        for text in substrings:
            found = {file.path for file in self.grep(text, fixed=True, hidden=True, mode="files")}
            holding = found if holding is None else holding & found
        return (holding or set()) | {path for path, entry in entries.items()
                                     if not entry.get("grep") and entry.get("count")}

    def definitions(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None) -> list[Definition]:
        """Where ``name`` is defined (exactly, or ignoring case), in path and line order, in the files
        whose language has a parser."""
        return definitions_among(self._with_symbols(name, "names", ignore_case, path_glob), name, ignore_case,
                                 path_glob)

    def references(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None) -> list[Reference]:
        """Where ``name`` is used (called, say) as the files' parsers mark uses, in path and line order."""
        return references_among(self._with_symbols(name, "text", ignore_case, path_glob), name, ignore_case,
                                path_glob)

    def _with_symbols(self, name: str, field: str, ignore_case: bool, path_glob: PathGlobs) -> list[Found]:
        check_lookup(name, ignore_case, path_glob)
        manifest, searcher = self._reading()
        if not name.strip() or searcher is None:
            return []
        reply = loads(searcher.with_symbols(name, manifest["profile"], field))
        return [Found.of(item) for item in reply["hits"]]

    def files(self) -> list[IndexedFile]:
        """The repository's files the index holds, in path order (an application's documents are not files)."""
        manifest = self._reading_manifest()
        return [IndexedFile(path, entry["size"], entry.get("count", 0) if entry["hash"] is not None else 0)
                for path, entry in sorted(manifest["files"].items())]

    def grep(self, patterns: str | Sequence[str], *, fixed: bool = False, case: str = "sensitive",
             word: bool = False, path_glob: PathGlobs = None, types: Sequence[str] = (),
             types_not: Sequence[str] = (), hidden: bool = False, paths: Sequence[str] | None = None,
             mode: str = "lines", context: int = 0, before: int | None = None, after: int | None = None,
             max_count: int | None = None, threads: int | None = None) -> list[GrepFile]:
        """Every file of the indexed repository with a line matching one of ``patterns`` (rg's regular
        expressions; with ``fixed``, literal texts), in rg's ``--sort path`` order, as the files are now.
        ``case`` is "sensitive", "insensitive" or "smart" (rg's -S); ``word`` matches whole words only (-w).
        ``path_glob``, ``types`` and ``types_not`` filter as rg's -g, -t and -T, ``hidden`` searches hidden
        files and folders too, ``paths`` (relative to the root) keeps what lies at or under them.
        ``mode`` "lines" gives each file's matching lines, with ``context`` (or ``before``/``after``) lines
        around them; "count" the number of matching lines; "files" only the files. ``max_count`` stops
        each file after that many matching lines. See ``vorpaline.search.grep``."""
        return self.grep_result(patterns, fixed=fixed, case=case, word=word, path_glob=path_glob, types=types,
                                types_not=types_not, hidden=hidden, paths=paths, mode=mode, context=context,
                                before=before, after=after, max_count=max_count, threads=threads).files

    def grep_result(self, patterns: str | Sequence[str], **options: Any) -> GrepResult:
        """As ``grep``, with the pattern as it was read and the search's counts."""
        manifest = self._reading_manifest()
        root = manifest.get("root")
        if root is None:
            raise ValueError("this index holds no repository's files: grep searches a repository's files; "
                             "index one with `vorpaline index`")
        with self._state_lock:
            part = self._grep_part if self._grep_part_of is manifest else None
        if part is None:
            part = grep_state.request_part(self.folder, manifest)
            with self._state_lock:
                self._grep_part, self._grep_part_of = part, manifest
        from vorpaline.search.grep import grep_repository  # its regular-expression machinery: a grep's alone

        return grep_repository(root, part, patterns, index_folder=self.folder, **check_grep(options))

    def _file_stamps(self, manifest: dict[str, Any]) -> Any:
        """The size and time of each indexed file, by path: from the file table, read in place
        (FileNotFoundError when a later commit removed it)."""
        if "files" in manifest:
            return manifest["files"]
        try:
            return file_table.FileStamps(os.path.join(self.folder, manifest["table"]))
        except file_table.TableDamaged as error:
            raise IndexUnusable(f"{error}; run `vorpaline index --rebuild`") from None

    def _with_table(self, manifest: dict[str, Any]) -> dict[str, Any]:
        """The committed ``manifest`` with the entries of its file table, read once for it."""
        cached = self._full_committed
        if cached is not None and cached[0] is manifest:
            return cached[1]
        full = {**manifest, **_read_table(self.folder, manifest)}
        with self._state_lock:
            if self._committed is manifest:
                self._full_committed = (manifest, full)
        return full

    def _reading_manifest(self, *, table: bool = True) -> dict[str, Any]:
        """The manifest as last committed, refreshed first, with its file table unless ``table`` is
        false: what needs no searcher reads this."""
        self.refresh()
        while True:
            manifest = self._committed
            if not table:
                return manifest
            try:
                return self._with_table(manifest)
            except IndexUnusable:
                # A commit since this manifest was read removes the table it replaced.
                if self.refresh() or self._committed is not manifest:
                    continue
                raise

    def check(self) -> int:
        """Reads every file the committed manifest names whole and checks it against its checksum (a
        search checks only what it reads); returns how many files were checked. IndexUnusable names
        the first damaged or missing one. Nothing is changed."""
        manifest = self._reading_manifest(table=False)
        core = _core()
        named = [(core.index_verify_segment, s["name"]) for s in manifest["segments"]]
        named += [(core.grep_verify_segment, s["name"]) for s in (manifest.get("grep") or {}).get("segments", [])]
        if manifest.get("format") != INLINE_TABLE_FORMAT:
            named.append((file_table.verify, manifest["table"]))
        for verify, name in named:
            path = os.path.join(self.folder, name)
            try:
                verify(path)
            except FileNotFoundError:
                if self.refresh():  # an update committed meanwhile: check what it committed
                    return self.check()
                raise IndexUnusable(f"index file {path} named by {os.path.join(self.folder, MANIFEST)} is missing; "
                                    "run `vorpaline index --rebuild`") from None
            except (ValueError, OSError) as error:  # a damaged segment or table
                raise IndexUnusable(f"{error}; run `vorpaline index --rebuild`") from None
        return len(named) + 1  # and the manifest, checked as it was read

    def status(self, root: str | os.PathLike[str] | None = None) -> Status:
        """What the index holds as its manifest read last says, and the files that changed, came or
        went under ``root`` (default: the repository it last indexed) since."""
        manifest = self._reading_manifest()
        root = check_folder(root, "root") if root is not None else manifest.get("root")
        try:
            updated: float | None = os.stat(os.path.join(self.folder, MANIFEST)).st_mtime
        except FileNotFoundError:
            updated = None
        stale: tuple[str, ...] = ()
        if root is not None:
            known = manifest["files"]
            now = {f.path: f for f in listed_files(os.path.abspath(root), self.folder)}
            stale = tuple(sorted({path for path, f in now.items() if (entry := known.get(path)) is None
                                  or (entry["size"], entry["mtime_ns"]) != (f.size, f.mtime_ns)}
                                 | known.keys() - now.keys()))
        documents = sum(segment["documents"] - len(segment["deleted"]) for segment in manifest["segments"])
        return Status(self.folder, root, len(manifest["files"]), documents, updated, stale)

    def _hits(self, found: list[Found], terms: frozenset[int], files: FilesNow, profile: str,
              plan: Any = None) -> list[Hit]:
        """The hits with their snippets, from each chunk's lines as the file holds them now, and from
        each document's text as the index keeps it."""
        rows, chunks = [], []
        for hit in found:
            path, first, last, doc_id, *span = hit.metadata
            kept = None
            if path:
                chunk = files.chunk(path, first, last, *span)
            else:
                kept = _kept(hit)
                chunk = {"text": kept["text"]} if isinstance(kept.get("text"), str) else {"lines": []}
            rows.append(Row(hit.score, path, first, last, doc_id, None, queries.role_names(hit.roles),
                            hit.definitions(), kept.get("metadata") if kept else None))
            chunks.append(chunk)
        return hits_of_chunks(rows, chunks, terms, profile, plan, files.root)

    # ---------------------------------------------------------------- writing

    @contextlib.contextmanager
    def _writing_lock(self, wait: float | None, *, reload: bool = True) -> Iterator[None]:
        """The folder (refused unless it is an index's) and its lock, held while this object writes,
        with the manifest as it is on disk once the lock is held."""
        self._check_open()
        if wait is not None:
            check_seconds(wait, "wait")
        # Threads writing through this object take turns: the folder's lock is the object's, not theirs.
        if not self._write_mutex.acquire(timeout=-1 if wait is None else wait):
            raise index_folder.LockTimeout(errno.ETIMEDOUT, f"another write through this index of {self.folder} "
                                           f"is running; gave up after {wait:g} s")
        try:
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
        finally:
            self._write_mutex.release()

    def _record_writing(self, *prefixes: str) -> None:
        """Notes in the lock, before they are written, the names of files this index is about to own."""
        assert self._lock is not None
        self._writing.extend(prefixes)
        self._lock.record_writing(self._writing)

    def _new_segment_name(self) -> str:
        self._manifest["generation"] += 1
        name = f"seg-{self._manifest['generation']:06d}-{_token()}"
        self._record_writing(name)
        return name

    def _write_manifest(self) -> None:
        """A new file table, then the manifest naming it in place of the last one."""
        self._ensure_table()
        superseded = self._manifest.get("table")
        if superseded is not None:
            self._record_writing(superseded)  # removed once the manifest no longer names it
        # Named apart from the segments' count, which the application's ids table is dated by.
        name = f"seg-{self._manifest['generation']:06d}-{_token()}{file_table.SUFFIX}"
        self._record_writing(name)
        table = {key: self._manifest[key] for key in file_table.TABLE_KEYS if key in self._manifest}
        file_table.write(os.path.join(self.folder, name), {"files": {}, **table})
        self._manifest["table"] = name
        self._manifest["format"] = FORMAT
        token = _token()
        self._record_writing(f"{MANIFEST}.{token}.")
        _write_atomically(os.path.join(self.folder, MANIFEST), _manifest_text(self._manifest), token)

    def add_documents(self, ids: Sequence[str], texts: Sequence[str],
                      metadata: Sequence[dict[str, str] | None] | None = None, *, wait: float | None = None) -> None:
        """Adds one document per text, found by ``search`` with its id in ``Hit.id``, its best lines
        in ``Hit.snippet`` and its ``metadata`` entry (a dict of str to str, or None) in
        ``Hit.metadata``: the index keeps each document's text and metadata. A document whose id
        the index holds already replaces it; of equal ids in one call, the last is kept."""
        ids = check_ids(ids)
        texts = check_texts(texts)
        if len(ids) != len(texts):
            raise ValueError(f"{len(ids)} ids but {len(texts)} texts")
        kept_metadata = check_document_metadata(metadata, len(ids))
        for doc_id, text in zip(ids, texts):
            _check_id(doc_id)
            if not is_utf8(text):  # the core takes UTF-8 only: said here, before a segment is begun
                raise ValueError(f"the text of document {doc_id!r} is not valid UTF-8: give texts of Unicode text")
        for entry in kept_metadata:
            for key, value in (entry or {}).items():
                utf8_name(key, "metadata key", "give metadata of Unicode text")
                utf8_name(value, "metadata value", "give metadata of Unicode text")
        with self._writing_lock(wait):
            by_id, deletions = self._document_ids()
            name = self._new_segment_name()
            for position, doc_id in enumerate(ids):
                older = by_id.get(doc_id)
                if older is not None:
                    deletions.setdefault(older[0], []).append(older[1])
                by_id[doc_id] = [name, position]
            records = [_document_record(doc_id, text, entry) for doc_id, text, entry in zip(ids, texts, kept_metadata)]
            self._commit([(name, self._write_segment(name, texts, records))], deletions)

    def delete_documents(self, ids: Sequence[str], *, wait: float | None = None) -> int:
        """Removes the documents of these ids; returns how many the index held."""
        ids = check_ids(ids)
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
        self._ensure_table()
        if self._ids_current:
            return self._manifest["ids"], {}
        by_id: dict[str, list[Any]] = {}
        deletions: dict[str, list[int]] = {}
        for segment in self._manifest["segments"]:
            deleted = set(segment["deleted"])
            documents = fast_json().loads(_core().index_term_vectors(os.path.join(self.folder, segment["name"])))
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
               skipped_path: Callable[[str, str], None] | None = None, grep: bool | None = None) -> UpdateCounts:
        """Brings the index up to date with the files of the repository at ``root``.

        Files whose size and modification time are as the index last saw them
        are not read; the others are read, chunked and tokenised by the core
        with ``threads`` threads (default: one per core), into new segments.
        ``progress(files_done, bytes_done)``, when given, is called now and
        then as the files listed are looked at, and once after the last.
        ``skipped_path(path, reason)`` is told of each path the scan could not
        list (a name that is not UTF-8, a folder it may not read...) and of
        each file that could not be read (one no longer a regular file, say).
        ``grep`` turns the trigram index that ``grep`` searches on or off; None keeps it as it is (on for
        an index made before it existed: its files are read once more).
        """
        from vorpaline.scan import ScannedFile, config_json

        started = time.perf_counter()
        root = utf8_name(os.path.abspath(check_folder(root, "root")), "the repository's path", UTF8_ROOT_REMEDY)
        with self._writing_lock(wait):
            # A grammar installed or removed since the last update: its language's files are parsed anew.
            parsers_now = languages.installed()
            reparsed = set(parsers_now).symmetric_difference(self._manifest.get("parsers", parsers_now))
            known_table = self._table_to_compare(root, grep, parsers_now)
            if known_table is None:
                self._ensure_table()
            grep_state.switch(self._manifest, grep)
            # Neither a .vorpaline folder (in_index_folder) nor this index, wherever it lies in the tree, is indexed.
            left_out = skipped_folders(root, self.folder)
            # With trigrams, the scan's stamps tell a grep later whether this listing still holds.
            grep_on = self._manifest.get("grep") is not None
            config = config_json(root, stamps=grep_on)
            if known_table is not None:  # the scan leaves out the files the table holds as they are
                config = json.dumps({**json.loads(config), "known_files": known_table, "known_need_grep": grep_on})
            try:
                reply = loads(_core().scan_repository(config, threads or 0))
            except ValueError as error:
                if known_table is None or "known_files" not in str(error):
                    raise
                raise IndexUnusable(f"{error}; run `vorpaline index --rebuild`") from None
            if skipped_path is not None:
                for item in reply["skipped"]:
                    skipped_path(item["path"], item["reason"])
            if known_table is not None:
                listing = grep_state.listing_stamps(reply.get("stamps"), left_out) if grep_on else None
                if not reply["removed"] and all(not_indexed(item["path"], left_out) for item in reply["files"]) \
                        and not grep_state.stamps_renewed(root, file_table.read_listing(known_table), listing):
                    self._remove_unnamed_files()  # what a killed update left behind
                    return UpdateCounts(0, reply["unchanged_skipped"], reply["unchanged"], 0, 0, 0,
                                        time.perf_counter() - started, {})
                self._ensure_table()
            known: dict[str, dict[str, Any]] = self._manifest["files"]
            files: dict[str, dict[str, Any]] = {}
            to_read = []
            listed_count = listed_bytes = skipped = unchanged = 0
            if known_table is not None:
                # The files the scan found as the table holds them are kept as they are.
                left = set(reply["removed"]).union(item["path"] for item in reply["files"])
                files = {path: entry for path, entry in known.items() if path not in left}
                skipped, unchanged = reply["unchanged_skipped"], reply["unchanged"]
                listed_count = skipped + unchanged
                listed_bytes = sum(entry["size"] for entry in files.values())
            to_parse: set[str] = set()
            # The loop every update runs over every file: kept lean, records made only for files to read.
            for item in reply["files"]:
                path = item["path"]
                if not_indexed(path, left_out):
                    continue
                listed_count += 1
                listed_bytes += item["size"]
                entry = known.get(path)
                if reparsed and entry is not None and entry["hash"] is not None and \
                        languages.language_of(path) in reparsed:
                    to_parse.add(path)
                elif entry is not None and entry["size"] == item["size"] and entry["mtime_ns"] == item["mtime_ns"] \
                        and not grep_state.wants_reading(entry, self._manifest):
                    files[path] = entry
                    if entry["hash"] is None:  # binary, too large or unreadable, as it was
                        skipped += 1
                    else:
                        unchanged += 1
                    continue
                to_read.append(ScannedFile(path, item["size"], item["mtime_ns"]))

            deletions: dict[str, list[int]] = {}
            trigrams = grep_state.GrepUpdate(self._manifest)

            def forget(entry: dict[str, Any] | None) -> None:
                trigrams.forget(entry)
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
                root, json.dumps([self._file_to_read(f, known.get(f.path), to_parse) for f in to_read]), self.folder, prefix,
                self._manifest["profile"], json.dumps({"max_file_bytes": max_file_bytes, "grep": trigrams.enabled,
                                                       "segment_bytes": max(
                    MIN_SEGMENT_BYTES, sum(f.size for f in to_read) // BUILD_SEGMENTS + 1)}),
                threads or len(os.sched_getaffinity(0)), report if progress is not None else None))
            report(len(to_read), sum(f.size for f in to_read))
            new_segments = [(segment["name"], segment["documents"]) for segment in built["segments"]]
            trigrams.built(built)
            if new_segments or trigrams.new_segment:
                _test_crash_point("segment-written")
            indexed = chunks = read_bytes = 0
            without_parser: dict[str, int] = {}
            for scanned, outcome in zip(to_read, built["files"]):
                entry = known.get(scanned.path)
                placed = None if outcome["segment"] is None else new_segments[outcome["segment"]][0]
                grep_place = {"grep": trigrams.place(outcome)} if trigrams.enabled else {}
                if outcome["status"] == "unchanged":  # only touched: hashed, its chunks kept
                    assert entry is not None
                    trigrams.forget(entry)  # the new document holds what was read now, with its time
                    files[scanned.path] = {**entry, "size": scanned.size, "mtime_ns": scanned.mtime_ns, **grep_place}
                    read_bytes += outcome["bytes"]
                    unchanged += 1
                    continue
                if outcome["status"] != "indexed":
                    if skipped_path is not None and outcome["status"] not in ("binary", "too large"):
                        skipped_path(scanned.path, outcome["status"])  # unreadable, or no longer a regular file
                    # kept, so that the file is not read again until it changes
                    forget(entry)
                    files[scanned.path] = {"size": scanned.size, "mtime_ns": scanned.mtime_ns, "hash": None,
                                           **grep_place}
                    skipped += 1
                    continue
                read_bytes += outcome["bytes"]
                if entry is not None and entry["hash"] == outcome["hash"] and scanned.path not in to_parse:
                    # only touched: the index keeps the chunks it has, the new ones go
                    trigrams.forget(entry)  # the new document holds what was read now, with its time
                    files[scanned.path] = {**entry, "size": scanned.size, "mtime_ns": scanned.mtime_ns, **grep_place}
                    if placed is not None:
                        deletions.setdefault(placed, []).extend(range(outcome["first"], outcome["first"] + outcome["count"]))
                    unchanged += 1
                    continue
                forget(entry)
                files[scanned.path] = {"size": scanned.size, "mtime_ns": scanned.mtime_ns, "hash": outcome["hash"],
                                       "segment": placed, "first": outcome["first"], "count": outcome["count"],
                                       **grep_place}
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
            listing = grep_state.listing_stamps(reply.get("stamps"), left_out) if grep_on else None
            changed = bool(new_segments or deletions or to_read or removed or trigrams.changed) \
                or grep_state.stamps_renewed(root, self._manifest.get("listing"), listing) \
                or self._manifest.get("root") != root or self._manifest.get("grep") != self._committed.get("grep") \
                or self._manifest.get("parsers") != parsers_now
            if changed:
                self._manifest["root"] = root
                self._manifest["parsers"] = parsers_now
                self._manifest["files"] = files
                self._manifest["listing"] = listing
                if new_segments or trigrams.new_segment:
                    _fsync_folder(self.folder)
                self._commit(new_segments, deletions, trigrams)
            else:
                self._remove_unnamed_files()  # what a killed update left behind
            return UpdateCounts(indexed, skipped, unchanged, removed, chunks, read_bytes,
                                time.perf_counter() - started, without_parser)

    @staticmethod
    def _file_to_read(scanned: Any, entry: dict[str, Any] | None, to_parse: set[str]) -> list[Any]:
        """What the core is given of a file to read: with the hash the index holds, when the file may
        be unchanged but for its time, so that the core then only hashes it."""
        if entry is None or entry["hash"] is None or entry["size"] != scanned.size or scanned.path in to_parse:
            return [scanned.path, scanned.size]
        return [scanned.path, scanned.size, entry["hash"]]

    def _table_to_compare(self, root: str, grep: bool | None, parsers_now: list[str]) -> str | None:
        """The file table the scan can compare the files with in place, when the update changes
        nothing else: the same repository, the trigram index kept as it is, the same grammars."""
        manifest = self._manifest
        if "files" in manifest or manifest.get("root") != root or manifest.get("parsers") != parsers_now \
                or "grep" not in manifest or grep is not None and grep != (manifest["grep"] is not None):
            return None
        return os.path.join(self.folder, manifest["table"])

    def _ensure_table(self) -> None:
        """The file table read into the manifest this object writes, when it is not yet."""
        if "files" not in self._manifest:
            self._manifest.update(_read_table(self.folder, self._manifest))
            self._note_ids_table()

    def _reload(self) -> None:
        """The manifest as it is on disk now, the lock held: another process may have updated it.
        Searches read it too, as a copy of their own that the writer does not change."""
        path = os.path.join(self.folder, MANIFEST)
        if self._rebuilding:
            self._manifest = _empty_manifest(self._manifest["k1"], self._manifest["b"])
            self._named_on_disk = _segments_named_by_any(path, self.folder)
        else:
            manifest, stamp, checksum, (working,) = _read_manifest_stamped(path, copies=1)
            _check_usable(self.folder, manifest)
            self._publish(manifest, stamp, checksum)
            self._manifest = working  # its file table read when the write needs it
            self._named_on_disk = _named_segments(self._manifest)
        self._ids_current = False
        if "files" in self._manifest:
            self._note_ids_table()

    def _note_ids_table(self) -> None:
        ids = self._manifest.get("ids")
        self._ids_current = isinstance(ids, dict) and self._manifest.get("ids_generation") == self._manifest["generation"]

    def _publish(self, manifest: dict[str, Any], stamp: Stamp, checksum: bytes) -> None:
        with self._state_lock:
            if checksum != self._checksum:
                self._committed, self._searcher = manifest, None
            self._stamp, self._checksum = stamp, checksum

    def _published_from_disk(self) -> None:
        """What this object has just committed, for its searches: read back, so that nothing is shared."""
        self._publish(*_read_manifest_stamped(os.path.join(self.folder, MANIFEST))[:3])

    def _write_segment(self, name: str, texts: list[str], metadata: list[str]) -> int:
        """A new segment file of these documents; returns its document count."""
        reply = _core().index_build_segment(os.path.join(self.folder, name), self._manifest["profile"],
                                            json.dumps(texts), json.dumps(metadata))
        _test_crash_point("segment-written")
        _fsync_folder(self.folder)
        return int(json.loads(reply)["documents"])

    def _commit(self, new_segments: list[tuple[str, int]], deletions: dict[str, list[int]],
                trigrams: grep_state.GrepUpdate | None = None) -> None:
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
        if trigrams is not None:
            trigrams.commit(self._manifest, self.folder, self._new_segment_name)
        if self._ids_current:
            self._manifest["ids_generation"] = self._manifest["generation"]
        else:  # out of date (an older version wrote since): rebuilt from the segments when next needed
            self._manifest.pop("ids", None)
            self._manifest.pop("ids_generation", None)
        # The segments this commit stops naming are noted first, so that a kill after it leaves none behind.
        self._record_writing(*sorted(self._named_on_disk - _named_segments(self._manifest)))
        self._write_manifest()
        _test_crash_point("manifest-replaced")
        self._rebuilding = False
        self._published_from_disk()
        self._remove_unnamed_files()

    def _merge_small(self, segments: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """With more than MAX_SEGMENTS segments, the smallest are merged into one
        (and so is any segment with more documents deleted than live): searches
        then open few files, and deleted documents stop taking room. The places
        of the files' chunks and of the application's documents move to the merged segment."""
        def live(segment: dict[str, Any]) -> int:
            return segment["documents"] - len(segment["deleted"])

        self._ensure_table()
        by_size = sorted(segments, key=live)
        chosen = {s["name"] for s in by_size[:max(0, len(segments) - MAX_SEGMENTS + 1)]}
        chosen |= {s["name"] for s in segments if len(s["deleted"]) > live(s)}
        if len(chosen) < 2:
            return segments
        inputs = [s for s in segments if s["name"] in chosen]
        name = self._new_segment_name() + "-merged"
        reply = _core().index_merge_segments(os.path.join(self.folder, name), fast_json().dumps(
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
        named = _named_segments(self._manifest)
        index_folder.remove_own_files(self.folder, self._named_on_disk - named, self._writing,
                                      named | {MANIFEST, index_folder.LOCK, index_folder.MARKER})
        self._named_on_disk = named
        self._writing = []
        if self._lock is not None:
            self._lock.record_writing([])


def _empty_manifest(k1: float | None, b: float | None) -> dict[str, Any]:
    return {"format": FORMAT, "profile": profile_json(), "generation": 0, "k1": k1, "b": b, "segments": [], "files": {},
            "grep": {"segments": []}}

