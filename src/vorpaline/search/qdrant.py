"""Code search kept in a Qdrant collection, shared by many repositories and machines.

``QdrantStore.connect("qdrant://HOST:PORT/COLLECTION")`` (or ``https://``,
with the API key from ``$VORPALINE_QDRANT_API_KEY``) or ``QdrantStore(client,
collection)`` with any qdrant-client client, its local mode ``QdrantClient(":memory:")``
included, gives a store with the local index's ``update`` and ``search``.

Each chunk of a repository's file is one point: a sparse vector ``bm25`` and
a payload (repository, path, its folders, language, line range, the chunk's
text and symbols, the file's content hash, size and modification time, the
tokenisation profile's version, its roles flags, the term ids of its names,
the casefolded names it uses, each field's length and term frequencies). The
collection scores with Qdrant's IDF modifier, which multiplies each term's
value by ln(1 + (N - df + 0.5) / (df + 0.5)); a point's value for a term is
BM25F's saturated frequency tf~ (k1 + 1) / (tf~ + k1), tf~ summing over the
text, names and path fields w_f tf_f / (1 - b_f + b_f len_f / avglen_f), so a
query holding each of its terms once scores exactly as the local index before
its priors.

The priors depend on the query, so they are applied to the points found: each
point's score is multiplied by its roles' weights, and by the definition boost
when its names hold every query term some chunk searched holds (a term none of
the points found names is asked for once). One query is sent per round; a
point not found scores at most the last found's BM25F times the largest prior,
so the found points scoring more after their priors are ranked for sure; the
round's limit grows until k of them are.

The averages are the collection's, over every repository, one per field.
Points without a vector hold the bookkeeping: one for the collection (format,
profile, k1, each field's weight and b, and the averages the points are
weighted with) and one per repository (its document count and fields' total
lengths, and the files it skips). Each chunk records the averages it was
weighted with; after an update, every chunk whose average of any field differs
from the collection's by more than ``settings.search_store_avglen_drift`` (2%
by default) is weighted again and re-sent. Within that share a score is off by
less than the share. The collection's point keeps the lowest and highest
average of each field its chunks are weighted with (widened before any chunk
is sent), so an update that can drift no chunk does not look for one.

An update that changes nothing reads two points: the collection's, settled
(no update under way, none stopped midway), and the repository's, whose stamp
of the scan's listing (every file's path, size and time) is the scan's now.
An update that writes withdraws both before its first write; it stamps the
repository's point with its bookkeeping, after the chunks, and settles the
collection last.
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import itertools
import math
import os
import tempfile
import time
import urllib.parse
import uuid
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import orjson

from vorpaline import languages
from vorpaline.search import queries, query_language, snippets
from vorpaline.search.arguments import check_lookup, check_metadata_filter, check_search
from vorpaline.search.files import DEFAULT_MAX_FILE_BYTES, file_type, not_indexed
from vorpaline.search.hits import (Definition, Found, Hit, PathGlobs, Reference, best_hit_of_each_file,
                                   definitions_among, planned_hits, references_among)
from vorpaline.search.native import UTF8_ROOT_REMEDY, core, is_utf8, loads, profile_json, utf8_name
from vorpaline.search.path_filters import required_folder
from vorpaline.search.protocol import Closable, IndexedFile, IndexUnusable, Status, UpdateCounts
from vorpaline.search.qdrant_calls import (ATTEMPTS, REQUEST_SECONDS, BoundedTransport, Deadline, StoreError, batches,
                                    bounded_proxy_mounts, call_with_retries, point_bytes)
from vorpaline.scan import ScannedFile, config_json

__all__ = ["QdrantStore", "StoreError", "parse_store_url"]

FORMAT = 2  # 2: BM25F over three fields, roles and names kept for the priors
VECTOR = "bm25"
MIN_SERVER = (1, 11)  # sparse vectors with the IDF modifier, tenant indexes
_NAMESPACE = uuid.UUID("5b0d6f9e-8c1a-4f3e-9a57-6c0e2d4b7a11")
_FILE_FIELDS = ["path", "hash", "size", "mtime_ns", "parts", "file_lengths"]
_FIELDS = ("text", "names", "path")
# The payload fields of the average length each chunk's field was weighted with, one per field.
_AVERAGE_FIELDS = ("avglen", "names_avglen", "path_avglen")

def folders_of(path: str) -> list[str]:
    """The folders a path lies in, outermost first: what a path glob's literal head is matched against."""
    parts = path.split("/")[:-1]
    return ["/".join(parts[:depth]) for depth in range(1, len(parts) + 1)]


def parse_store_url(url: str) -> tuple[str, str]:
    """(server URL, collection) of ``qdrant://HOST:PORT/COLLECTION``, ``http://...`` or ``https://...``."""
    parsed = urllib.parse.urlsplit(url)
    collection = parsed.path.strip("/")
    if parsed.scheme not in ("qdrant", "http", "https") or not parsed.hostname or not collection or "/" in collection:
        raise ValueError(f"--store {url!r}: expected qdrant://HOST:PORT/COLLECTION or https://HOST:PORT/COLLECTION")
    scheme = "https" if parsed.scheme == "https" else "http"
    port = parsed.port or 6333
    host = f"[{parsed.hostname}]" if ":" in parsed.hostname else parsed.hostname
    return f"{scheme}://{host}:{port}", collection


def profile_version(profile_json: str) -> str:
    """The profile's declared version and a digest of all of it: two profiles that could give
    other tokens never share it, whatever their declared version."""
    declared = orjson.loads(profile_json).get("version", "")
    return f"{declared}+{hashlib.blake2b(profile_json.encode(), digest_size=8).hexdigest()}"


def term_weights(tfs: Sequence[Sequence[int]], lengths: Sequence[int], averages: Sequence[float], k1: float,
                 fields: Sequence[Sequence[float]]) -> list[float]:
    """Each term's saturated BM25F frequency, tf~ (k1 + 1) / (tf~ + k1), of a document whose fields
    (text, names, path) hold it ``tfs[field][term]`` times: tf~ sums each field's frequency, weighted
    and normalised by the field's length against its average (fields: [weight, b] each)."""
    norms = [(weight, 1.0 - b + b * length / average if average > 0 else 1.0)
             for (weight, b), length, average in zip(fields, lengths, averages)]
    weights = []
    for frequencies in zip(*tfs):
        combined = 0.0
        for tf, (weight, norm) in zip(frequencies, norms):
            if tf and weight:  # as the core skips them: a field without the term, or weighed as nothing
                combined += weight * tf / norm
        weights.append(combined * (k1 + 1.0) / (combined + k1))
    return weights


def field_averages(total_lengths: Sequence[int], documents: int) -> list[float]:
    """Each field's average length as the core takes it: at least 1; 0 for no documents."""
    return [max(1.0, total / documents) if documents else 0.0 for total in total_lengths]


def role_prior(roles: int, weights: Sequence[float]) -> float:
    """The product of the weights of the roles whose flags are set, multiplied in the core's order."""
    prior = 1.0
    for bit, weight in enumerate(weights):
        if roles >> bit & 1:
            prior *= weight
    return prior


def _scan(root: str) -> str:
    """The core's scan of the repository at ``root``: its reply's JSON text."""
    return core().scan_repository(config_json(root), 0)


def _listing_digest(scanned: str) -> str:
    """What tells two scans' listings apart: a digest of the reply, every file's path, size and
    modification time in it (and the root, and the names skipped)."""
    return hashlib.blake2b(scanned.encode(), digest_size=16).hexdigest()


def _listed(scanned: str) -> tuple[list[ScannedFile], list[tuple[str, str]]]:
    """The files of a scan's reply that an update indexes, and the (name, reason) of those it skipped."""
    reply = loads(scanned)
    files = [ScannedFile(item["path"], item["size"], item["mtime_ns"]) for item in reply["files"]
             if not not_indexed(item["path"], ())]
    return files, [(item["path"], item["reason"]) for item in reply["skipped"]]


def _point_ids(repository: str, path: str, content_hash: str, parts: int) -> list[str]:
    """The ids of a file version's chunks: str(uuid.uuid5(_NAMESPACE, name)) of each, made from the
    digest of the name's shared head without a UUID object for each (a few times faster)."""
    head = hashlib.sha1(_NAMESPACE.bytes + f"{repository}\0{path}\0{content_hash}\0".encode())
    ids = []
    for part in range(parts):
        digest = head.copy()
        digest.update(str(part).encode())
        ids.append(_uuid5_text(digest.hexdigest()))
    return ids


# The variant's hex digit (bits 10xx) for each digit the digest has there.
_VARIANT_DIGIT = {digit: "89ab"[int(digit, 16) & 3] for digit in "0123456789abcdef"}


def _uuid5_text(sha1: str) -> str:
    """The text of the version 5 UUID of a name whose SHA-1 is ``sha1`` (hex), as uuid.uuid5 makes it:
    the digest's first 16 bytes with the version (5) and variant set."""
    return f"{sha1[:8]}-{sha1[8:12]}-5{sha1[13:16]}-{_VARIANT_DIGIT[sha1[16]]}{sha1[17:20]}-{sha1[20:32]}"


def _point_id(repository: str, path: str, content_hash: str, part: int) -> str:
    name = f"{repository}\0{path}\0{content_hash}\0{part}"
    return _uuid5_text(hashlib.sha1(_NAMESPACE.bytes + name.encode()).hexdigest())


class _SegmentVectors:
    """One segment's documents as the core packs them: per document its metadata and symbols, its
    fields' lengths and roles, and its run of (term, text tf, names tf, path tf) pairs; with the
    weighting ({"k1", "fields", "averages"}), each pair's saturated BM25F frequency (term_weights)."""

    def __init__(self, segment_path: str, weighting: dict[str, Any] | None = None) -> None:
        self.metadata, self.symbols, records, starts, pairs, weights = core().index_term_vectors_packed(
            segment_path, orjson.dumps(weighting).decode() if weighting is not None else "")
        self.records = memoryview(records).cast("I")  # per document: 3 lengths, roles
        self.starts = memoryview(starts).cast("Q")
        packed = memoryview(pairs).cast("I")
        count = len(packed) // 4
        self.terms, *self.tfs = (packed[field * count:(field + 1) * count] for field in range(4))
        self.weights = memoryview(weights).cast("d")

    def lengths(self) -> list[list[int]]:
        """Each document's fields' lengths (text, names, path), in order."""
        records = self.records
        return [records[at:at + 3].tolist() for at in range(0, len(records), 4)]


def _file_ids(repository: str, path: str, entry: dict[str, Any]) -> list[str]:
    return _point_ids(repository, path, entry["hash"], entry["parts"])


def _file_bytes(root: str, path: str, entry: dict[str, Any]) -> bytes | None:
    """The file's bytes as the core read them, or None when they cannot be read again so: the path
    refused (a symbolic link on its way, not a regular file), the file unreadable, or changed since."""
    try:
        data, size, mtime_ns = core().read_repository_file(root, path, 0, entry["size"] + 1)
    except (OSError, ValueError):
        return None
    return data if [size, mtime_ns] == [entry["size"], entry["mtime_ns"]] else None


def _chunk_texts(data: bytes, chunks: list[list[Any]]) -> list[str]:
    """The text of each chunk ([path, first, last, id, begin?, end?]) of the file's ``data``."""
    lines: list[str] | None = None
    texts = []
    for _path, first, last, _id, *span in chunks:
        if span:
            texts.append(data[span[0]:span[1]].decode("utf-8", "replace").rstrip("\n"))
            continue
        if lines is None:
            lines = data.decode("utf-8", "replace").split("\n")
        texts.append("\n".join(line.rstrip("\r") for line in lines[first - 1:last]))
    return texts


def _say_unlisted(say: Callable[[str], None], unlisted: list[tuple[str, str]]) -> None:
    for name, reason in unlisted:
        say(f"  {snippets.quoted_name(name)}  (skipped: {reason})")


def _widened(bounds: list[list[float]] | None, averages: Sequence[float]) -> list[list[float]] | None:
    """The [lowest, highest] average per field that the chunks are weighted with, once chunks weighted
    with ``averages`` join them: [] when no chunk is weighted yet, None when not known (a collection
    made before the bounds were kept)."""
    if bounds is None:
        return None
    if not bounds:
        return [[average, average] for average in averages]
    return [[min(low, average), max(high, average)] for (low, high), average in zip(bounds, averages)]


def _none_drifted(bounds: list[list[float]] | None, averages: Sequence[float], drift: float) -> bool:
    """Whether the bounds prove that no chunk is weighted with an average of any field more than
    ``drift`` away from ``averages``: the test the re-weighting's filter makes of each chunk."""
    return bounds is not None and all(average * (1 - drift) <= low and high <= average * (1 + drift)
                                      for (low, high), average in zip(bounds, averages))


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """The cyclic garbage collector held off while points are made and sent: a batch's thousands of
    containers outlive the young generations' collections, and the full collections they then bring
    about cost as much as making the points. None of them is in a cycle."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _unvalidated(model: Any) -> Callable[..., Any]:
    """A maker of the pydantic ``model``'s instances from every field, each of its type by
    construction: what ``model.model_construct`` makes, without its look at each field's default and
    alias on every call. Where this pydantic's instances are not made so (checked once on a sample),
    ``model.model_construct`` itself."""
    new, assign = object.__new__, object.__setattr__

    def make(**fields: Any) -> Any:
        made = new(model)
        assign(made, "__dict__", fields)
        assign(made, "__pydantic_fields_set__", set(fields))
        assign(made, "__pydantic_extra__", None)
        assign(made, "__pydantic_private__", None)
        return made

    sample = {name: None for name in model.model_fields}
    try:
        made, constructed = make(**sample), model.model_construct(**sample)
        same = made == constructed and made.model_fields_set == constructed.model_fields_set
    except Exception:  # pragma: no cover - a pydantic whose models keep their state otherwise
        same = False
    return make if same else model.model_construct


class _NotMadeByVorpaline(IndexUnusable):
    """A collection without vorpaline's bookkeeping point, and not one vorpaline left unfinished."""


class _Changes:
    """What an update of one repository finds: the files to send, the points to delete, the
    counts, and the repository's figures after it."""

    def __init__(self, repository: str, held: dict[str, dict[str, Any]], stale: set[str],
                 bookkeeping: dict[str, Any], strays: Iterable[str] = ()) -> None:
        self.repository = repository
        self.held = held  # {path: file fields} of the files with points
        self.stale = stale  # read and sent again, and every other version of them deleted
        # Files with no points, each [size, mtime_ns] as last read: binary, too large or unreadable;
        # or blank, with nothing to find.
        self.held_skipped: dict[str, list[int]] = bookkeeping.get("skipped", {})
        self.held_blank: dict[str, list[int]] = bookkeeping.get("blank", {})
        self.bookkeeping = bookkeeping  # the repository's point's payload, {} when it has none
        self.files: dict[str, dict[str, Any]] = {}  # the files with points after the update
        self.skipped: dict[str, list[int]] = {}
        self.blank: dict[str, list[int]] = {}
        # (path, segment, first document, documents) of each file to send, in file order
        self.to_send: list[tuple[str, int, int, int]] = []
        self.to_delete: list[str] = list(strays)  # point ids
        self.touched: list[tuple[str, dict[str, Any]]] = []  # files read again and found the same
        self.removed: list[str] = []
        self.indexed = self.unchanged = self.chunks = self.read_bytes = 0

    def compare(self, listed: list[Any]) -> list[Any]:
        """The listed files to read: those whose size or modification time the collection has not seen."""
        to_read = []
        for scanned in listed:
            seen = [scanned.size, scanned.mtime_ns]
            entry = self.held.get(scanned.path)
            if entry is not None and scanned.path not in self.stale and [entry["size"], entry["mtime_ns"]] == seen:
                self.files[scanned.path] = entry
                self.unchanged += 1
            elif self.held_skipped.get(scanned.path) == seen:
                self.skipped[scanned.path] = seen
            elif self.held_blank.get(scanned.path) == seen:
                self.blank[scanned.path] = seen
                self.unchanged += 1
            else:
                to_read.append(scanned)
        listed_paths = {scanned.path for scanned in listed}
        self.removed = [path for path in [*self.held, *self.held_skipped, *self.held_blank] if path not in listed_paths]
        for path in self.removed:
            self._forget(path)
        return to_read

    def sort_outcomes(self, to_read: list[Any], outcomes: list[dict[str, Any]],
                      lengths: list[list[list[int]]]) -> None:
        """Each file read, by what the core found in it; ``lengths`` are the documents' fields' in each segment."""
        for scanned, outcome in zip(to_read, outcomes):
            path = scanned.path
            seen = [scanned.size, scanned.mtime_ns]
            old = self.held.get(path)
            if outcome["status"] != "indexed":
                self.skipped[path] = seen
                self._forget(path)
                continue
            self.read_bytes += outcome["bytes"]
            if old is not None and old["hash"] == outcome["hash"] and path not in self.stale:
                entry = {**old, "size": scanned.size, "mtime_ns": scanned.mtime_ns}
                self.files[path] = entry
                self.touched.append((path, entry))
                self.unchanged += 1
                continue
            self._forget(path)
            self.indexed += 1
            first = outcome["first"]
            count = outcome["count"]
            if count == 0:  # blank: nothing to find, and not read again until it changes
                self.blank[path] = seen
                continue
            self.files[path] = {"path": path, "hash": outcome["hash"], "size": scanned.size,
                                "mtime_ns": scanned.mtime_ns, "parts": count, "file_lengths": [
                                    sum(field) for field in zip(*lengths[outcome["segment"]][first:first + count])]}
            self.to_send.append((path, outcome["segment"], first, count))
            self.chunks += count

    def unsend(self, path: str) -> None:
        """A file to send found unreadable when its chunks' texts were read: skipped, as the core skips one."""
        entry = self.files.pop(path)
        self.skipped[path] = [entry["size"], entry["mtime_ns"]]
        self.indexed -= 1
        self.chunks -= entry["parts"]

    def stamp(self, listing: dict[str, Any]) -> dict[str, Any]:
        """What the repository's point records of the listing the update found, and its files with points."""
        return {**listing, "files": len(self.files)}

    def counts(self) -> UpdateCounts:
        return UpdateCounts(self.indexed, len(self.skipped), self.unchanged, len(self.removed), self.chunks,
                            self.read_bytes, 0.0)

    def _forget(self, path: str) -> None:
        old = self.held.get(path)
        if old is not None:
            self.to_delete.extend(_file_ids(self.repository, path, old))

    @property
    def documents(self) -> int:
        return sum(entry["parts"] for entry in self.files.values())

    @property
    def total_lengths(self) -> list[int]:
        """Of each field, over the repository's chunks."""
        return [sum(entry["file_lengths"][field] for entry in self.files.values()) for field in range(len(_FIELDS))]


    @property
    def any(self) -> bool:
        return bool(self.to_send or self.to_delete or self.touched or self.stale or self.removed
                    or self.skipped != self.held_skipped or self.blank != self.held_blank)

    def report(self, say: Callable[[str], None]) -> None:
        for path, _, _, count in self.to_send:
            say(f"{'~' if path in self.held else '+'} {path}  ({count} chunks)")
        for path in self.removed:
            say(f"- {path}")
        for path in sorted(set(self.skipped) - set(self.held_skipped)):
            say(f"  {path}  (skipped: binary, too large or unreadable)")
        say(f"would send {self.chunks} points for {len(self.to_send)} files, delete {len(set(self.to_delete))} points, "
            f"and update {len(self.touched)} files' times")


class QdrantStore(Closable):
    """A Qdrant collection holding the code search of any number of repositories; see the module docstring."""

    def __init__(self, client: Any, collection: str, *, where: str | None = None, rebuild: bool = False,
                 force: bool = False, deadline: float | None = None, repository: str | None = None) -> None:
        from qdrant_client import models

        self.client = client
        self.collection = collection
        # The repository searches, look-ups, files and status keep to when they name none; None: all of them.
        self.repository = None if repository is None else utf8_name(
            repository, "the repository's name", "give the repository a UTF-8 name")
        self.where = where or f"Qdrant collection {collection!r}"
        self._models = models
        self._sparse_vector, self._point = _unvalidated(models.SparseVector), _unvalidated(models.PointStruct)
        self._profile = profile_json()
        # IDF over the points searched, until the server (or an older client) says it cannot
        self._corpus_idf = hasattr(models, "IdfCorpusParams")
        self._rebuilding = rebuild  # the next update sends its repository from nothing
        self._force = force  # a rebuild may replace a collection vorpaline did not make
        # Every call of the store's ends within this many seconds from now, retries included
        self._deadline = Deadline(deadline) if deadline is not None else None
        self._searchable = False  # the collection was found to be of this format and profile
        self._closed = False

    @classmethod
    def connect(cls, url: str, *, api_key: str | None = None, timeout: float = REQUEST_SECONDS,
                rebuild: bool = False, force: bool = False, deadline: float | None = None,
                repository: str | None = None) -> QdrantStore:
        """The store at ``qdrant://HOST:PORT/COLLECTION`` (or ``http``/``https``); with ``rebuild``
        its next update sends the repository from nothing, and with ``force`` too that update
        replaces a collection vorpaline did not make.

        Each request ends within ``timeout`` seconds, its reply read whole; a call is tried again
        for RETRY_SECONDS at most; with ``deadline``, all of them end within that many seconds."""
        from qdrant_client import QdrantClient

        server, collection = parse_store_url(url)
        if api_key is None:
            api_key = os.environ.get("VORPALINE_QDRANT_API_KEY") or None
        client = QdrantClient(url=server, api_key=api_key, timeout=math.ceil(timeout), check_compatibility=False,
                              transport=BoundedTransport(timeout), mounts=bounded_proxy_mounts(timeout))
        store = cls(client, collection, where=f"Qdrant at {server}", rebuild=rebuild, force=force, deadline=deadline,
                    repository=repository)
        store._check_server()
        return store

    # ---------------------------------------------------------------- closing

    def close(self) -> None:
        """Closes the client; using the store then raises ValueError. Closing again does nothing."""
        if not self._closed:
            self._closed = True
            self.client.close()

    def _closed_message(self) -> str:
        return f"store ({self.where})"

    def add_documents(self, ids: Sequence[str], texts: Sequence[str],
                      metadata: Sequence[dict[str, str] | None] | None = None, *, wait: float | None = None) -> None:
        """Not for a store: it holds repositories' files. An application's own documents go in a local Index."""
        raise NotImplementedError("a Qdrant store holds repositories' files only: add an application's documents "
                                  "to a local Index (vorpaline.search.Index)")

    def delete_documents(self, ids: Sequence[str], *, wait: float | None = None) -> int:
        """Not for a store: see ``add_documents``."""
        raise NotImplementedError("a Qdrant store holds repositories' files only: an application's documents "
                                  "are in a local Index (vorpaline.search.Index)")

    def refresh(self) -> bool:
        """Each search asks the server: there is nothing to read again. Always False."""
        self._check_open()
        return False

    # ---------------------------------------------------------------- calls

    def _call(self, method: str, **arguments: Any) -> Any:
        function = getattr(self.client, method)
        return self._retried(lambda: function(collection_name=self.collection, **arguments))

    def _retried(self, call: Callable[[], Any], attempts: int = ATTEMPTS) -> Any:
        self._check_open()
        return call_with_retries(call, self.where, attempts=attempts, deadline=self._deadline)

    def _check_server(self) -> None:
        # Few attempts: a server that cannot be reached at the start is more likely a wrong address.
        info = self._retried(self.client.info, attempts=3)
        version = tuple(int(part) for part in info.version.split("-")[0].split(".")[:2] if part.isdigit())
        if version < MIN_SERVER:
            raise StoreError(f"{self.where} runs Qdrant {info.version}; vorpaline needs {MIN_SERVER[0]}."
                             f"{MIN_SERVER[1]} or newer (sparse vectors with the IDF modifier, tenant indexes)")

    def _match(self, key: str, value: Any) -> Any:
        models = self._models
        if isinstance(value, list):
            return models.FieldCondition(key=key, match=models.MatchAny(any=value))
        return models.FieldCondition(key=key, match=models.MatchValue(value=value))

    def _filter(self, *, must_not: dict[str, Any] | None = None, extra: Iterable[Any] = (), **must: Any) -> Any:
        return self._models.Filter(
            must=[self._match(key, value) for key, value in must.items()] + list(extra),
            must_not=[self._match(key, value) for key, value in (must_not or {}).items()] or None)

    def _scroll(self, scroll_filter: Any, fields: list[str] | bool, *, vectors: bool = False) -> Iterator[Any]:
        offset = None
        while True:
            records, offset = self._call("scroll", scroll_filter=scroll_filter, limit=1024, offset=offset,
                                         with_payload=fields, with_vectors=[VECTOR] if vectors else False)
            yield from records
            if offset is None:
                return

    def _upsert(self, points: Iterable[Any]) -> int:
        sent = 0
        for batch in batches(points, point_bytes):
            self._call("upsert", points=batch, wait=True)
            sent += len(batch)
        return sent

    def _delete_ids(self, ids: list[Any]) -> None:
        for start in range(0, len(ids), 1024):
            self._call("delete", points_selector=self._models.PointIdsList(points=ids[start:start + 1024]), wait=True)

    # ---------------------------------------------------------------- the collection

    def _collection_id(self) -> str:
        return str(uuid.uuid5(_NAMESPACE, "collection"))

    def _repository_id(self, repository: str) -> str:
        return str(uuid.uuid5(_NAMESPACE, f"repository\0{repository}"))

    def _read_meta(self) -> dict[str, Any] | None:
        if not self._retried(lambda: self.client.collection_exists(self.collection)):
            return None
        found = self._call("retrieve", ids=[self._collection_id()], with_payload=True)
        if not found:
            if self._left_unfinished():
                return None  # the next update finishes making it
            raise _NotMadeByVorpaline(f"{self.where}: collection {self.collection!r} was not made by vorpaline")
        meta = dict(found[0].payload)
        if meta.get("format") != FORMAT:
            raise IndexUnusable(f"collection {self.collection!r} has format {meta.get('format')!r}, this vorpaline "
                                f"writes {FORMAT}; run `vorpaline index --store ... --rebuild`")
        if meta.get("profile") != profile_version(self._profile):
            raise IndexUnusable(f"collection {self.collection!r} was made with another tokenisation profile; "
                                "run `vorpaline index --store ... --rebuild`")
        return meta

    def _left_unfinished(self) -> bool:
        """Whether the collection is one an update stopped making: the bookkeeping point is written
        last, so until then it holds no point, and its vectors are exactly those vorpaline makes."""
        if self._call("count", exact=True).count:
            return False
        params = self._call("get_collection").config.params
        sparse = params.sparse_vectors or {}
        return not params.vectors and list(sparse) == [VECTOR] and sparse[VECTOR].modifier == self._models.Modifier.IDF

    def _create(self) -> dict[str, Any]:
        """Makes the collection, or finishes one an update stopped making: its payload indexes, then
        its bookkeeping point, the mark of a finished collection."""
        models = self._models
        if not self._retried(lambda: self.client.collection_exists(self.collection)):
            self._call("create_collection", vectors_config={}, on_disk_payload=True,
                       sparse_vectors_config={VECTOR: models.SparseVectorParams(modifier=models.Modifier.IDF)})
        with warnings.catch_warnings():
            # qdrant-client's local mode, used in tests, says it has no use for payload indexes
            warnings.filterwarnings("ignore", "Payload indexes have no effect in the local Qdrant")
            self._create_payload_indexes()
        meta = self._new_meta()
        self._write_meta(self._collection_id(), meta)
        return meta

    def _new_meta(self) -> dict[str, Any]:
        """The bookkeeping of a new collection: the scoring its chunks are weighted for (k1, and each
        field's [weight, b]) and the fields' average lengths."""
        from vorpaline.config import settings

        return {"kind": "collection", "format": FORMAT, "profile": profile_version(self._profile),
                "k1": settings.search_k1, "fields": [[1.0, settings.search_b],
                                                     [settings.search_names_weight, settings.search_names_b],
                                                     [settings.search_path_weight, settings.search_path_b]],
                "averages": [0.0] * len(_FIELDS), "weighted": []}

    def _create_payload_indexes(self) -> None:
        models = self._models
        keyword, integer = models.PayloadSchemaType.KEYWORD, models.PayloadSchemaType.INTEGER
        tenant = models.KeywordIndexParams(type=models.KeywordIndexType.KEYWORD, is_tenant=True)
        for field, schema in [("repository", tenant), ("kind", keyword), ("path", keyword), ("folders", keyword),
                              ("language", keyword), ("part", integer), ("roles", integer), ("names", integer),
                              ("referenced", keyword),
                              *((average, models.PayloadSchemaType.FLOAT) for average in _AVERAGE_FIELDS)]:
            self._call("create_payload_index", field_name=field, field_schema=schema, wait=True)

    def _write_meta(self, point_id: str, payload: dict[str, Any]) -> None:
        self._call("upsert", points=[self._models.PointStruct(id=point_id, vector={}, payload=payload)], wait=True)

    def _meta_or_create(self, rebuild: bool) -> dict[str, Any]:
        try:
            meta = self._read_meta()
        except _NotMadeByVorpaline:
            if not rebuild:
                raise
            if not self._force:  # someone else's points: not deleted on a guess
                raise _NotMadeByVorpaline(f"{self.where}: collection {self.collection!r} was not made by vorpaline; "
                                          "`--rebuild` would delete it: give --force to replace it") from None
            self._call("delete_collection")
            meta = None
        except IndexUnusable:
            if not rebuild:
                raise
            self._call("delete_collection")  # another format or profile: nothing in it can be kept
            meta = None
        return meta if meta is not None else self._create()

    def repositories(self) -> dict[str, dict[str, Any]]:
        """{name: its bookkeeping} of every repository in the collection."""
        return self._repositories() if self._read_meta() is not None else {}

    def _repositories(self) -> dict[str, dict[str, Any]]:
        return {record.payload["repository"]: record.payload
                for record in self._scroll(self._filter(kind="repository"), True)}

    # ---------------------------------------------------------------- writing

    def update(self, root: str | os.PathLike[str], *, repository: str | None = None,
               max_file_bytes: int = DEFAULT_MAX_FILE_BYTES, threads: int | None = None,
               progress: Callable[[int, int], None] | None = None, dry_run: bool = False,
               report: Callable[[str], None] | None = None) -> UpdateCounts:
        """Brings the repository's points up to date with its files at ``root``.

        Files whose size and modification time, or else whose content hash,
        are as the collection holds them are not sent again; the chunks of
        changed files replace the old ones, and deleted files' chunks go. The
        files are read and tokenised by the core with ``threads`` threads;
        ``progress(files_done, bytes_done)`` is called now and then. With
        ``dry_run`` nothing is written: ``report`` (default print) is told
        each file's fate. ``report``, when given, is told too of the names
        the scan skipped (one that is not UTF-8, one it cannot read).
        """
        from vorpaline.config import settings

        started = time.perf_counter()
        root = utf8_name(os.path.abspath(os.fspath(root)), "the repository's path", UTF8_ROOT_REMEDY)
        repository = utf8_name(repository or self.repository or os.path.basename(root) or "root", "the repository's name",
                                "give --repository a UTF-8 name")
        say = report if report is not None else print if dry_run else None
        rebuild = self._rebuilding
        scanned = _scan(root)
        listing = {"digest": _listing_digest(scanned)}
        if not dry_run and not rebuild:
            settled = self._settled_counts(repository, listing["digest"])
            if settled is not None:  # nothing changed: not a chunk read, nor a payload
                if say is not None:
                    _say_unlisted(say, _listed(scanned)[1])
                return settled._replace(seconds=time.perf_counter() - started)
        if dry_run:
            meta = self._read_meta() or {**self._new_meta(), "format": None}
        else:
            meta = self._meta_or_create(rebuild)
        exists = meta["format"] is not None  # a dry run's collection may not exist
        changes = _Changes(repository, *(({}, set(), {}) if rebuild or not exists else self._held_files(repository)))
        listed, unlisted = _listed(scanned)
        if say is not None:
            _say_unlisted(say, unlisted)
        to_read = changes.compare(listed)
        languages.ensure_registered_for(f.path for f in to_read)  # parsed as the local index parses them
        with tempfile.TemporaryDirectory(prefix="vorpaline-store-") as folder:
            built = loads(core().index_build_files(
                root, orjson.dumps([[f.path, f.size] for f in to_read]).decode(), folder, "batch", self._profile,
                orjson.dumps({"max_file_bytes": max_file_bytes}).decode(), threads or len(os.sched_getaffinity(0)),
                progress))
            segments = [os.path.join(folder, segment["name"]) for segment in built["segments"]]
            # Read twice, lengths first (the average must be known before a point goes), then each
            # segment's term vectors as its points go: one segment's vectors in memory at a time.
            changes.sort_outcomes(to_read, built["files"], [_SegmentVectors(path).lengths() for path in segments])
            others = [m for name, m in (self._repositories() if exists else {}).items() if name != repository]
            averages = field_averages(
                [own + sum(m["total_lengths"][field] for m in others) for field, own in enumerate(changes.total_lengths)],
                changes.documents + sum(m["documents"] for m in others))
            if dry_run:
                changes.report(report or print)
                return changes.counts()._replace(seconds=time.perf_counter() - started)
            if changes.any or rebuild or meta["averages"] != averages:
                meta = self._begin_writing(meta, changes, averages, rebuild)
                self._send(root, changes, segments, rebuild, averages, meta, listing)
                weighted = self._reweight(averages, meta, settings.search_store_avglen_drift)
                self._write_meta(self._collection_id(), {**meta, "averages": averages, "weighted": weighted,
                                                         "settled": True})
            elif meta.get("settled") is not True or changes.bookkeeping.get("listing") != changes.stamp(listing):
                self._settle(meta, changes, listing)
        self._rebuilding = False
        return changes.counts()._replace(seconds=time.perf_counter() - started)

    def _settled_counts(self, repository: str, digest: str) -> UpdateCounts | None:
        """The counts of an update that would find nothing to do, told by the bookkeeping alone; None
        unless the collection is settled (no update under way, none stopped midway) and the repository's
        last update listed its files as the scan lists them now, each of the same size and time."""
        meta = self._read_meta()
        if meta is None or meta.get("settled") is not True:
            return None
        found = self._call("retrieve", ids=[self._repository_id(repository)], with_payload=True)
        stamp = found[0].payload.get("listing") if found else None
        if not isinstance(stamp, dict) or stamp.get("digest") != digest:
            return None
        bookkeeping = found[0].payload
        return UpdateCounts(0, len(bookkeeping["skipped"]), stamp["files"] + len(bookkeeping["blank"]), 0, 0, 0, 0.0)

    def _begin_writing(self, meta: dict[str, Any], changes: _Changes, averages: list[float],
                       rebuild: bool) -> dict[str, Any]:
        """Before anything is written: the collection marked unsettled, its bounds of the averages its
        chunks are weighted with widened to ``averages``, and the repository's listing stamp withdrawn.
        An update stopped past here leaves the next one of every repository to look at everything."""
        meta = {**meta, "weighted": _widened(meta.get("weighted"), averages), "settled": False}
        self._write_meta(self._collection_id(), meta)
        bookkeeping = changes.bookkeeping
        if rebuild:  # the files held were not looked at, nor the repository's point: a stamp it has must go too
            found = self._call("retrieve", ids=[self._repository_id(changes.repository)], with_payload=["listing"])
            bookkeeping = found[0].payload if found else {}
        if bookkeeping.get("listing") is not None:
            self._call("batch_update_points", wait=True, update_operations=[self._models.SetPayloadOperation(
                set_payload=self._models.SetPayload(payload={"listing": None},
                                                    points=[self._repository_id(changes.repository)]))])
        return meta

    def _settle(self, meta: dict[str, Any], changes: _Changes, listing: dict[str, Any]) -> None:
        """An update that found nothing to send records what lets the next find so alone: the
        repository's listing stamp, and the collection settled (its averages found current)."""
        repository = changes.repository
        if changes.bookkeeping:
            self._write_meta(self._repository_id(repository), {
                **changes.bookkeeping, "listing": changes.stamp(listing)})
        if meta.get("settled") is not True:
            self._write_meta(self._collection_id(), {**meta, "settled": True})

    def _held_files(self, repository: str) -> tuple[dict[str, dict[str, Any]], set[str], dict[str, Any], list[str]]:
        """What the collection holds of the repository: {path: its first chunk's file fields}, the
        paths to send again (held under two hashes, or with chunks missing: an update stopped
        midway), the repository's bookkeeping, and the ids of chunks no file's first chunk accounts for."""
        held: dict[str, dict[str, Any]] = {}
        stale: set[str] = set()
        accounted = 0
        for record in self._scroll(self._filter(kind="chunk", repository=repository, part=0), _FILE_FIELDS):
            payload = record.payload
            if payload["path"] in held:
                stale.add(payload["path"])
            held[payload["path"]] = payload
            accounted += payload["parts"]
        strays: list[str] = []
        # One count tells whether every chunk belongs to a file's version held by its first chunk; only
        # when one does not (an update stopped while deleting or sending) are all the chunks looked at.
        everything = self._filter(kind="chunk", repository=repository)
        if self._call("count", count_filter=everything, exact=True).count != accounted:
            strays = self._unaccounted(everything, held, stale)
        found = self._call("retrieve", ids=[self._repository_id(repository)], with_payload=True)
        return held, stale, dict(found[0].payload) if found else {}, strays

    def _unaccounted(self, everything: Any, held: dict[str, dict[str, Any]], stale: set[str]) -> list[str]:
        """The ids of chunks of no held version of their file, whatever part they are; the paths of
        held versions missing a chunk are added to ``stale``."""
        strays: list[str] = []
        present: dict[str, set[int]] = {}
        for record in self._scroll(everything, ["path", "hash", "part"]):
            path = record.payload["path"]
            if path in stale:
                continue  # every version but the one read now is deleted by its path
            entry = held.get(path)
            if entry is None or record.payload["hash"] != entry["hash"]:
                strays.append(str(record.id))
            else:
                present.setdefault(path, set()).add(record.payload["part"])
        stale.update(path for path, entry in held.items()
                     if path not in stale and len(present.get(path, ())) != entry["parts"])
        return strays

    def _send(self, root: str, changes: _Changes, segments: list[str], rebuild: bool, averages: list[float],
              meta: dict[str, Any], listing: dict[str, Any]) -> None:
        """New chunks first, then the old ones deleted: a file is never missing, even if this stops midway."""
        models = self._models
        repository = changes.repository
        if rebuild:
            self._call("delete", wait=True, points_selector=models.FilterSelector(
                filter=self._filter(kind="chunk", repository=repository)))
        profile = profile_version(self._profile)
        sent: set[str] = set()
        unread: list[str] = []  # files whose texts could not be read again as the core read them

        weighting = {"k1": meta["k1"], "fields": meta["fields"], "averages": averages}

        def points() -> Iterator[Any]:
            vectors: dict[int, _SegmentVectors] = {}  # the segment being sent's alone
            for path, segment, first, _ in changes.to_send:
                data = _file_bytes(root, path, changes.files[path])
                if data is None:
                    unread.append(path)
                    continue
                if segment not in vectors:
                    vectors = {segment: _SegmentVectors(segments[segment], weighting)}
                yield from self._points(repository, path, changes.files[path], vectors[segment], first, data, averages,
                                        profile, sent)

        with _collector_paused():
            self._upsert(points())
        for path in unread:
            changes.unsend(path)
        for path in changes.stale:
            entry = changes.files.get(path)
            self._call("delete", wait=True, points_selector=models.FilterSelector(filter=self._filter(
                kind="chunk", repository=repository, path=path,
                must_not={"hash": entry["hash"]} if entry is not None else None)))
        self._delete_ids(sorted(set(changes.to_delete) - sent))  # a file sent again under its old hash keeps its ids
        for batch in batches(changes.touched, lambda _: 1):
            self._call("batch_update_points", wait=True, update_operations=[models.SetPayloadOperation(
                set_payload=models.SetPayload(payload={"size": entry["size"], "mtime_ns": entry["mtime_ns"]},
                                              points=[_point_id(repository, path, entry["hash"], 0)]))
                for path, entry in batch])
        self._write_meta(self._repository_id(repository), {
            "kind": "repository", "repository": repository, "root": root, "documents": changes.documents,
            "total_lengths": changes.total_lengths, "skipped": changes.skipped, "blank": changes.blank,
            "updated": time.time(), "listing": changes.stamp(listing)})

    def _points(self, repository: str, path: str, entry: dict[str, Any], vectors: _SegmentVectors, first: int,
                data: bytes, averages: list[float], profile: str, sent: set[str]) -> Iterator[Any]:
        """The file's points, from its documents ``first``... of the segment's ``vectors``, their ids
        added to ``sent``. Built without pydantic's validation, which would cost more than making
        them: every field is of its type by construction."""
        sparse_vector, point = self._sparse_vector, self._point
        count = entry["parts"]
        chunks = [orjson.loads(text) for text in vectors.metadata[first:first + count]]
        texts = _chunk_texts(data, chunks)
        folders = folders_of(path)
        language = file_type(path)
        ids = _point_ids(repository, path, entry["hash"], count)
        sent.update(ids)
        weighted_with = dict(zip(_AVERAGE_FIELDS, averages))
        records, starts, terms, weights = vectors.records, vectors.starts, vectors.terms, vectors.weights
        text_tfs, names_tfs, path_tfs = vectors.tfs
        for part, (chunk, text) in enumerate(zip(chunks, texts)):
            document = first + part
            begin, end = starts[document], starts[document + 1]
            indices = terms[begin:end].tolist()
            in_names = names_tfs[begin:end].tolist()
            symbols = vectors.symbols[document]
            used = orjson.loads(symbols) if symbols else None
            record = 4 * document
            vector = sparse_vector(indices=indices, values=weights[begin:end].tolist())
            yield point(id=ids[part], vector={VECTOR: vector}, payload={
                "kind": "chunk", "repository": repository, "path": path, "folders": folders, "language": language,
                "start_line": chunk[1], "end_line": chunk[2], "part": part, "parts": count,
                "hash": entry["hash"], "size": entry["size"], "mtime_ns": entry["mtime_ns"],
                "file_lengths": entry["file_lengths"], "profile": profile,
                "lengths": records[record:record + 3].tolist(),
                "tfs": [text_tfs[begin:end].tolist(), in_names, path_tfs[begin:end].tolist()],
                **weighted_with, "roles": records[record + 3],
                # the query-time priors' and symbol lookups' filters: the terms of the names it defines,
                # the names it uses
                "names": list(itertools.compress(indices, in_names)),
                "referenced": sorted({item[0].casefold() for item in used["r"]}) if used else [],
                "defined": sorted({item[0] for item in used["d"]}) if used else [],
                "symbols": symbols, "text": text})

    def _reweight(self, averages: list[float], meta: dict[str, Any], drift: float) -> list[list[float]] | None:
        """Weights again, with ``averages``, the chunks weighted with any field's average more than
        ``drift`` away; none are looked for when the collection's bounds prove there are none. Returns
        the bounds of the averages the chunks are weighted with after it."""
        bounds = meta.get("weighted")
        if not any(averages) or _none_drifted(bounds, averages, drift):
            return bounds
        models = self._models
        outside = self._filter(kind="chunk", extra=[models.Filter(should=[
            models.FieldCondition(key=field, range=bound)
            for field, average in zip(_AVERAGE_FIELDS, averages)
            for bound in (models.Range(lt=average * (1 - drift)), models.Range(gt=average * (1 + drift)))])])

        def reweighted() -> Iterator[Any]:
            for record in self._scroll(outside, True, vectors=True):
                payload = {**record.payload, **dict(zip(_AVERAGE_FIELDS, averages))}
                vector = record.vector[VECTOR]
                order = sorted(range(len(vector.indices)), key=vector.indices.__getitem__)
                indices = [vector.indices[i] for i in order]  # as sent: ascending, the order of "tfs"
                values = term_weights(payload["tfs"], payload["lengths"], averages, meta["k1"], meta["fields"])
                yield self._point(id=record.id, payload=payload, vector={
                    VECTOR: self._sparse_vector(indices=indices, values=values)})

        # Scrolling goes by point id, so points re-sent behind it leaving the filter skip nothing ahead.
        with _collector_paused():
            self._upsert(reweighted())
        # Every chunk is now within the drift of the averages, and within the bounds it was in.
        within = [[average * (1 - drift), average * (1 + drift)] for average in averages]
        if not bounds:
            return within
        return [[max(low, least), min(high, most)] for (low, high), (least, most) in zip(bounds, within)]

    # ---------------------------------------------------------------- reading

    def search(self, query: str, k: int = 10, path_glob: PathGlobs = None, repository: str | None = None, *,
               files: bool = False, case: str = "smart", regex: str | None = None, types: Sequence[str] = (),
               types_not: Sequence[str] = (), tests: str | None = None,
               metadata: dict[str, str | Sequence[str]] | None = None) -> list[Hit]:
        """The ``k`` best chunks for ``query``, best first, of one repository or of all of them; with
        ``files``, the ``k`` best files instead, each as its best chunk. The query and the filters
        are read as the local index reads them. A ``metadata`` filter keeps nothing here: only an
        application's documents have metadata, and a store holds none."""
        check_search(query, k, path_glob, files)
        plan = query_language.plan(query, path_glob=path_glob, types=types, types_not=types_not, tests=tests,
                                   case=case, regex=regex)
        if check_metadata_filter(metadata) is not None or plan.metadata:
            self._check_open()
            return []
        repository = self._repository(repository)
        if plan.impossible:
            return []
        matches = plan.accepts_path
        # Every path held lies in the folder the globs require, if any: the server filters by it.
        folder = required_folder(plan.path_globs)
        if k < 1 or folder is not None and not is_utf8(folder):  # every path held is UTF-8
            return []
        self._check_searchable()
        ranking = orjson.loads(queries.ranking_json(plan.ranked))
        terms = queries.query_terms(queries.prepared_query(plan.ranked), self._profile)
        if not terms:
            return []
        conditions: dict[str, Any] = {"kind": "chunk"}
        if repository is not None:
            conditions["repository"] = repository
        if folder is not None:
            conditions["folders"] = folder
        search_filter = self._filter(**conditions)
        vector = self._models.SparseVector(indices=sorted(terms), values=[1.0] * len(terms))
        priors = _Priors(ranking, terms, lambda term: self._holds(term, repository))
        wanted = k * 4 if files else k
        limit = wanted * 4  # more than asked: the priors may raise a chunk ranked below the first
        while True:
            found, exhausted = self._ranked(vector, search_filter, repository, limit, priors)
            kept = [(score, point) for score, point in found if matches is None or matches(point.payload["path"])]
            if plan.filters_rows:
                hits = self._hits(kept, terms, plan)
                hits = best_hit_of_each_file(hits) if files else hits
                if len(hits) >= k or exhausted:
                    return hits[:k]
            else:
                if files:
                    kept = _best_of_each_file(kept)
                if len(kept) >= k or exhausted:
                    return self._hits(kept[:k], terms)
            limit *= 4

    def _ranked(self, vector: Any, search_filter: Any, repository: str | None, limit: int,
                priors: _Priors) -> tuple[list[tuple[float, Any]], bool]:
        """The (score, point) of the ``limit`` best chunks by BM25F, each scaled by its priors, best
        first, cut to those whose rank is sure: a chunk not among them scores at most the last one's
        BM25F times the largest prior. And whether every chunk was among them."""
        points = self._query(vector, search_filter, repository, limit,
                             ["repository", "path", "start_line", "roles", "names", "defined"])
        priors.learn(points)
        # A chunk scoring nothing holds the query's terms only in fields weighed as nothing: the core skips it.
        found = [(priors.scaled(point.score, point.payload), point) for point in points if point.score > 0]
        found.sort(key=lambda item: (-item[0], item[1].payload["repository"], item[1].payload["path"],
                                     item[1].payload["start_line"]))
        exhausted = len(points) < limit
        if not exhausted:
            bound = points[-1].score * priors.largest
            found = [item for item in found if item[0] > bound]
        return found, exhausted

    def _holds(self, term: int, repository: str | None) -> bool:
        """Whether any chunk searched holds ``term``, in any field."""
        scope = self._filter(**self._corpus_scope(repository))
        return bool(self._query(self._models.SparseVector(indices=[term], values=[1.0]), scope, repository, 1, []))

    def _hits(self, kept: list[tuple[float, Any]], terms: frozenset[int], plan: Any = None) -> list[Hit]:
        """The hits of the chunks kept, with their texts and symbols, read for them alone."""
        held = {str(record.id): record.payload for record in self._call(
            "retrieve", ids=[point.id for _, point in kept], with_payload=["end_line", "text", "symbols"])} \
            if kept else {}
        rows, texts = [], []
        for score, point in kept:
            payload = {**point.payload, **held[str(point.id)]}
            rows.append((score, payload["path"], payload["start_line"], payload["end_line"], None,
                         payload["repository"], queries.role_names(payload["roles"]), _found(payload).definitions()))
            texts.append(payload["text"].split("\n"))
        return planned_hits(rows, texts, terms, self._profile, plan)

    def definitions(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None,
                    repository: str | None = None) -> list[Definition]:
        """Where ``name`` is defined (exactly, or ignoring case), in path and line order, in the files
        whose language has a parser; of one repository or of all of them."""
        check_lookup(name, ignore_case, path_glob)
        return definitions_among(self._with_symbols(name, repository, "names"), name, ignore_case, path_glob)

    def references(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None,
                   repository: str | None = None) -> list[Reference]:
        """Where ``name`` is used (called, say) as the files' parsers mark uses, in path and line order."""
        check_lookup(name, ignore_case, path_glob)
        return references_among(self._with_symbols(name, repository, "text"), name, ignore_case, path_glob)

    def files(self, repository: str | None = None) -> list[IndexedFile]:
        """The files held of one repository (by default the store's own) or of all, in path order."""
        repository = self._repository(repository)
        self._check_searchable()
        conditions: dict[str, Any] = {"kind": "chunk", "part": 0}
        if repository is not None:
            conditions["repository"] = repository
        held = [IndexedFile(record.payload["path"], record.payload["size"], record.payload["parts"])
                for record in self._scroll(self._filter(**conditions), ["path", "size", "parts"])]
        for name, meta in self._repositories().items():
            if repository is None or name == repository:
                held += [IndexedFile(path, seen[0], 0) for kept in ("skipped", "blank")
                         for path, seen in meta.get(kept, {}).items()]
        return sorted(held)

    def status(self, root: str | os.PathLike[str] | None = None, repository: str | None = None) -> Status:
        """What the collection holds of one repository (by default the store's own) or of all; with
        ``root``, the repository's files that changed, came or went there since it was sent."""
        repository = self._repository(repository)
        if root is not None and repository is None:
            repository = os.path.basename(os.path.abspath(os.fspath(root))) or "root"
        self._check_searchable()
        kept = {name: meta for name, meta in self._repositories().items() if repository is None or name == repository}
        stale: tuple[str, ...] = ()
        if root is not None:
            held = {f.path: f for f in self.files(repository)}
            stamps = self._stamps(repository)
            listed, _ = _listed(_scan(os.path.abspath(os.fspath(root))))
            now = {f.path: f for f in listed}
            stale = tuple(sorted({path for path, f in now.items() if stamps.get(path) != (f.size, f.mtime_ns)}
                                 | held.keys() - now.keys()))
        files = sum(len(meta.get("skipped", {})) + len(meta.get("blank", {})) for meta in kept.values())
        files += self._call("count", count_filter=self._filter(**self._corpus_scope(repository), part=0),
                            exact=True).count
        updated = max((meta["updated"] for meta in kept.values() if meta.get("updated")), default=None)
        return Status(f"{self.where}, collection {self.collection!r}", None if root is None else os.fspath(root),
                      files, sum(meta["documents"] for meta in kept.values()), updated, stale)

    def _stamps(self, repository: str) -> dict[str, tuple[int, int]]:
        """{path: (size, mtime_ns)} of each file of the repository as it was last read."""
        stamps = {record.payload["path"]: (record.payload["size"], record.payload["mtime_ns"]) for record in
                  self._scroll(self._filter(kind="chunk", repository=repository, part=0), ["path", "size", "mtime_ns"])}
        meta = self._repositories().get(repository, {})
        for kept in ("skipped", "blank"):
            stamps.update((path, (seen[0], seen[1])) for path, seen in meta.get(kept, {}).items())
        return stamps

    def _repository(self, repository: str | None) -> str | None:
        if repository is None:
            return self.repository
        return utf8_name(repository, "the repository's name", "no repository is named so")

    def _check_searchable(self) -> None:
        # Checked once per store, as a local index reads its manifest once: not a round trip per query.
        if not self._searchable:
            if self._read_meta() is None:
                raise FileNotFoundError(f"no collection {self.collection!r} at {self.where}; "
                                        "make it with `vorpaline index --store ...`")
            self._searchable = True

    def _with_symbols(self, name: str, repository: str | None, field: str) -> list[Found]:
        """The chunks with symbols among which the local index looks for ``name``'s definitions (its
        terms all in their names) or its uses (it among the names they use, casefolded)."""
        if not name.strip():
            return []
        self._check_searchable()
        terms = queries.query_terms(name, self._profile)
        if not terms:
            return []
        conditions: dict[str, Any] = {"kind": "chunk"}
        repository = self._repository(repository)
        if repository is not None:
            conditions["repository"] = repository
        extra = [self._match("names", term) for term in sorted(terms)] if field == "names" \
            else [self._match("referenced", name.casefold())]
        records = self._scroll(self._filter(**conditions, extra=extra), ["path", "roles", "symbols"])
        return [_found(record.payload) for record in records if record.payload["symbols"]]

    def _corpus_scope(self, repository: str | None) -> dict[str, Any]:
        return {"kind": "chunk"} if repository is None else {"kind": "chunk", "repository": repository}

    def _query(self, vector: Any, search_filter: Any, repository: str | None, limit: int,
               fields: list[str]) -> list[Any]:
        models = self._models
        with_payload: Any = fields or False
        if self._corpus_idf:
            # IDF over the live chunks (a server's collection-wide figures count deleted points until its
            # segments are optimised), and over one repository's alone when one is searched, as its own
            # local index would have them.
            corpus = self._filter(**self._corpus_scope(repository))
            try:
                return self._call("query_points", query=vector, using=VECTOR, query_filter=search_filter,
                                  limit=limit, with_payload=with_payload,
                                  search_params=models.SearchParams(idf=models.IdfCorpusParams(corpus=corpus))).points
            except StoreError as error:
                if "idf" not in str(error).lower():
                    raise
                self._corpus_idf = False  # an older server: the collection's IDF
        return self._call("query_points", query=vector, using=VECTOR, query_filter=search_filter, limit=limit,
                          with_payload=with_payload).points


class _Priors:
    """What multiplies a chunk's BM25F score for one query, as the core's priors do: the weights of
    its file's roles, and when its names hold every query term that any chunk searched holds
    (``holds(term)`` asks that of a term, once a search), the definition boost for a chunk defining
    a name the query means in the query's case, its square root for one in another case."""

    def __init__(self, ranking: dict[str, Any], terms: frozenset[int], holds: Callable[[int], bool]) -> None:
        self.weights = ranking["roles"]
        self.boost = ranking["definition_boost"]
        self.meant = frozenset(ranking.get("defined_names", ()))
        self.meant_folded = frozenset(_ascii_lower(name) for name in self.meant)
        self.terms = terms
        self._holds = holds
        self._held: dict[int, bool] = {}
        # No prior is more than this: every weight over 1, and the boost if it raises.
        self.largest = max(1.0, self.boost) * math.prod(weight for weight in self.weights if weight > 1)

    def learn(self, points: list[Any]) -> None:
        """The terms that chunks found hold among their names: held, without asking."""
        for point in points:
            self._held.update((term, True) for term in self.terms.intersection(point.payload["names"]))

    def scaled(self, score: float, payload: dict[str, Any]) -> float:
        score *= role_prior(payload["roles"], self.weights)
        if self.boost == 1.0 or not self.meant or not self._defines_all(payload["names"]):
            return score
        defined = payload["defined"]
        if self.meant.intersection(defined):
            return score * self.boost
        if self.meant_folded.intersection(_ascii_lower(name) for name in defined):
            return score * math.sqrt(self.boost)
        return score

    def _defines_all(self, names: list[int]) -> bool:
        named = self.terms.intersection(names)
        return bool(named) and not any(self._is_held(term) for term in self.terms - named)

    def _is_held(self, term: int) -> bool:
        if term not in self._held:
            self._held[term] = self._holds(term)
        return self._held[term]


def _ascii_lower(name: str) -> str:
    # as the core folds a name: ASCII letters only
    return name.translate(_ASCII_LOWER)


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def _found(payload: dict[str, Any]) -> Found:
    """A chunk's payload as the local index's search reports a document."""
    symbols = payload["symbols"]
    return Found(0.0, [payload["path"]], payload["roles"], orjson.loads(symbols) if symbols else {})


def _best_of_each_file(found: list[tuple[float, Any]]) -> list[tuple[float, Any]]:
    """Each file's best chunk, in order: files ranked by their best chunks."""
    seen: set[tuple[str, str]] = set()
    best = []
    for score, point in found:
        file = (point.payload["repository"], point.payload["path"])
        if file not in seen:
            seen.add(file)
            best.append((score, point))
    return best
