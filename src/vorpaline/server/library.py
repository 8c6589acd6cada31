"""The repositories one server holds open: searched together, read safely, kept fresh.

A ``Library`` serves one or more repositories, each through a ``Searchable`` backend (its
local index, or a Qdrant collection) that a factory opens. Searches go to each repository's
current reader; an update runs on a backend of its own and, once it has committed, a new reader
takes the old one's place, so a search never waits for an update and never sees half of one.
``watch()`` updates a repository soon after its files change.

Everything a client names is checked here: a repository must be one served, a path one the
scan lists under its root (never a path through "..", a symbolic link, or an ignored file such
as ``.env``), and counts stay within bounds.
"""

from __future__ import annotations

import asyncio
import logging
import os
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any, NamedTuple, TypeVar

from vorpaline.search import Definition, Hit, PathGlobs, Reference, Searchable, Status, UpdateCounts, open_store
from vorpaline.search.arguments import check_grep
from vorpaline.search.files import file_type, listed_files, text_lines
from vorpaline.search.grep import GrepFile, grep_repository
from vorpaline.search.native import core

__all__ = ["FileLines", "Library", "NotServed", "Repository"]

log = logging.getLogger("vorpaline.server")

MAX_RESULTS = 1000  # hits, definitions or references one request may ask for
MAX_READ_LINES = 5000  # lines one read returns
MAX_READ_BYTES = 8 << 20  # of a file one read looks at
DEBOUNCE_SECONDS = 0.05  # a burst of saves (an editor's, a checkout's) becomes one update

T = TypeVar("T")


class NotServed(LookupError):
    """A client named a repository or a file that is not served. Its text says which, and why."""


class FileLines(NamedTuple):
    repository: str
    path: str
    first: int  # 1-based, as asked (or 1)
    last: int  # the last line returned
    total: int  # lines in the file (of its first MAX_READ_BYTES)
    lines: list[str]


class Repository:
    """One served repository: its name, its root, and the backend searches read now."""

    def __init__(self, name: str, root: str, open_backend: Callable[[], Searchable]) -> None:
        self.name = name
        self.root = root
        self._open_backend = open_backend
        self.reader: Searchable = open_backend()
        self._update_lock = threading.Lock()  # one update of a repository at a time
        self._listed: frozenset[str] | None = None  # the scan's paths, until the files change
        self.last_update: UpdateCounts | None = None
        self.last_error: str | None = None

    def update(self) -> UpdateCounts:
        """Brings the index up to date with the files now, then lets searches read the new one."""
        with self._update_lock:
            # A backend of its own: searches running now keep the old reader, and the new one is
            # the writer itself once it has committed.
            writer = self._open_backend()
            counts = writer.update(self.root)
            self.reader = writer
            self._listed = None
            self.last_update = counts
            self.last_error = None
            return counts

    def listed(self) -> frozenset[str]:
        """The paths the scan lists under the root (the index's own folder left out)."""
        listed = self._listed
        if listed is None:
            folder = getattr(self.reader, "folder", None)
            listed = frozenset(f.path for f in listed_files(self.root, folder))
            self._listed = listed
        return listed

    def files_changed(self) -> None:
        self._listed = None


class Library:
    """The repositories a server holds open; see the module docstring."""

    def __init__(self, repositories: Sequence[Repository]) -> None:
        if not repositories:
            raise ValueError("a library serves at least one repository")
        self.repositories = {repository.name: repository for repository in repositories}
        if len(self.repositories) != len(repositories):
            raise ValueError("two repositories have the same name")
        self.watching = False

    @classmethod
    def open(cls, roots: Sequence[str | os.PathLike[str]], *, store: str | None = None,
             folder: str | os.PathLike[str] | None = None) -> Library:
        """The repositories at ``roots``, each with its local index (in ``folder`` when one root is
        given it) or, with ``store``, in that Qdrant collection. Each is named by its folder's
        name, made unique by its parents' where two share one."""
        if folder is not None and len(roots) != 1:
            raise ValueError("an index folder can be given for one repository only")
        absolute = [os.path.abspath(os.fspath(root)) for root in roots]
        for root in absolute:
            if not os.path.isdir(root):
                raise NotServed(f"{root} is not a folder")
        names = _names(absolute)

        def opener(root: str, name: str) -> Callable[[], Searchable]:
            return lambda: open_store(root, store, folder=folder, repository=name)

        return cls([Repository(name, root, opener(root, name)) for root, name in zip(absolute, names)])

    # ---------------------------------------------------------------- asking

    @property
    def several(self) -> bool:
        return len(self.repositories) > 1

    def chosen(self, repository: str | None) -> list[Repository]:
        """The repository named, or all of them for None."""
        if repository is None:
            return list(self.repositories.values())
        try:
            return [self.repositories[repository]]
        except KeyError:
            raise NotServed(f"no repository {repository!r} is served; these are: "
                            f"{', '.join(sorted(self.repositories))}") from None

    def search(self, query: str, *, k: int = 10, path_glob: PathGlobs = None, files: bool = False,
               repository: str | None = None, language: str | None = None) -> list[Hit]:
        """The ``k`` best hits for ``query`` across the repositories chosen, best first; with
        ``language`` (a file type: "python", "cpp", "markdown"...), only files of that type.
        Each hit names its repository when several are served."""
        k = _bounded(k, "k")
        chosen = self.chosen(repository)
        wanted = k if language is None else min(MAX_RESULTS, k * 8)
        hits: list[Hit] = []
        for served in chosen:
            while True:
                found = served.reader.search(query, wanted, path_glob, files=files)
                kept = [hit for hit in found if language is None or hit.path and file_type(hit.path) == language]
                if len(kept) >= k or len(found) < wanted or wanted >= MAX_RESULTS:
                    break
                wanted = min(MAX_RESULTS, wanted * 4)
            hits += [hit._replace(repository=served.name) if self.several else hit for hit in kept[:k]]
        hits.sort(key=lambda hit: (-hit.score, hit.repository or "", hit.path or "", hit.start_line))
        return hits[:k]

    def grep(self, patterns: str | Sequence[str], *, repository: str | None = None, limit: int = MAX_RESULTS,
             **options: Any) -> tuple[list[tuple[str, GrepFile]], bool]:
        """(repository, file) of each file with a line matching ``patterns``, by repository and path, as
        ``Index.grep`` answers with ``options``; at most ``limit`` matching lines in all, and whether
        more were left out. A backend without trigrams (a Qdrant store) has the root's files read."""
        limit = _bounded(limit, "limit")
        asked = options.get("max_count")
        options["max_count"] = min(asked or limit + 1, limit + 1)  # one more than shown tells a cut
        found: list[tuple[str, GrepFile]] = []
        left = limit
        for served in self.chosen(repository):
            grep_result = getattr(served.reader, "grep_result", None)
            result = grep_result(patterns, **options) if grep_result is not None else \
                grep_repository(served.root, None, patterns, **check_grep(options))
            for file in result.files:
                if left <= 0:
                    return found, True
                if file.count is not None and file.count > left:
                    found.append((served.name, _cut(file, left)))
                    return found, True
                found.append((served.name, file))
                left -= file.count or 1
        return found, False

    def definitions(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None,
                    repository: str | None = None, limit: int = MAX_RESULTS) -> list[tuple[str, Definition]]:
        """(repository, definition) of each place ``name`` is defined, by repository, path and line."""
        return self._symbols(lambda backend: backend.definitions(name, ignore_case=ignore_case, path_glob=path_glob),
                             repository, limit)

    def references(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None,
                   repository: str | None = None, limit: int = MAX_RESULTS) -> list[tuple[str, Reference]]:
        """(repository, reference) of each place ``name`` is used, by repository, path and line."""
        return self._symbols(lambda backend: backend.references(name, ignore_case=ignore_case, path_glob=path_glob),
                             repository, limit)

    def _symbols(self, look_up: Callable[[Searchable], list[T]], repository: str | None,
                 limit: int) -> list[tuple[str, T]]:
        limit = _bounded(limit, "limit")
        found: list[tuple[str, T]] = []
        for served in self.chosen(repository):
            found += [(served.name, item) for item in look_up(served.reader)]
        return found[:limit]

    def read(self, repository: str | None, path: str, first: int = 1, last: int | None = None) -> FileLines:
        """Lines ``first`` to ``last`` (1-based, inclusive; default to the end, at most
        MAX_READ_LINES) of a file the scan lists under a served root, as the file is now."""
        served = self._only(repository)
        if not isinstance(path, str) or not path:
            raise NotServed("name a file by its path in the repository")
        path = path.removeprefix("./")
        if first < 1 or last is not None and last < first:
            raise ValueError(f"lines {first} to {last} are no range of lines: they count from 1")
        if path not in served.listed():
            raise NotServed(f"{path!r} is not a file of repository {served.name!r}: only the files it lists "
                            "(not ignored, not through a symbolic link, inside it) are read")
        try:
            data, _, _ = core().read_repository_file(served.root, path, 0, MAX_READ_BYTES)
        except (OSError, ValueError) as error:
            raise NotServed(f"{path!r} cannot be read now: {error}") from None
        lines = text_lines(data)
        if lines and lines[-1] == "":
            lines.pop()  # the text after the last newline, when there is none
        last = min(len(lines), first + MAX_READ_LINES - 1 if last is None else min(last, first + MAX_READ_LINES - 1))
        return FileLines(served.name, path, first, max(last, first - 1), len(lines), lines[first - 1:last])

    def _only(self, repository: str | None) -> Repository:
        if repository is None:
            if self.several:
                raise NotServed(f"several repositories are served; name one of: {', '.join(sorted(self.repositories))}")
            return next(iter(self.repositories.values()))
        return self.chosen(repository)[0]

    def status(self, repository: str | None = None) -> list[tuple[str, Status]]:
        """(repository, its status) of each repository chosen."""
        return [(served.name, served.reader.status(served.root)) for served in self.chosen(repository)]

    # ---------------------------------------------------------------- keeping fresh

    def update(self, repository: str | None = None) -> dict[str, UpdateCounts]:
        """Updates the repositories chosen now, one after the other."""
        return {served.name: served.update() for served in self.chosen(repository)}

    async def watch(self, *, debounce: float = DEBOUNCE_SECONDS, stop: asyncio.Event | None = None,
                    update_first: bool = True) -> None:
        """Updates each repository soon after its files change, until cancelled (or ``stop`` is set).
        Updates run in a thread, one repository at a time; changes seen during one bring another.
        With ``update_first``, each repository is brought up to date first (an index made
        now is built then), while searches answer from what the index holds."""
        import watchfiles

        roots = {served.root: served for served in self.repositories.values()}
        ignored = tuple(_own_folders(self.repositories.values()))
        self.watching = True
        # The first updates run beside the watch, so a change made while they run is seen too.
        first = asyncio.create_task(self._update_each(list(roots.values()))) if update_first else None
        try:
            async for changes in watchfiles.awatch(*roots, debounce=int(debounce * 1000), step=max(1, int(debounce * 500)),
                                                   stop_event=stop, watch_filter=lambda _, path: not path.startswith(ignored),
                                                   recursive=True, ignore_permission_denied=True):
                for served in _touched(roots, (path for _, path in changes)):
                    served.files_changed()
                    await asyncio.to_thread(self._update_logged, served)
        except OSError as error:  # no watch to be had (the system's limit of watches, say): searches go on
            log.warning("cannot watch the files (%s); `update` brings the index up to date", error)
            for served in roots.values():
                served.last_error = f"not watching: {error}"
        finally:
            self.watching = False
            if first is not None:
                first.cancel()

    async def _update_each(self, repositories: list[Repository]) -> None:
        for served in repositories:
            await asyncio.to_thread(self._update_logged, served)

    def _update_logged(self, served: Repository) -> None:
        started = time.perf_counter()
        try:
            counts = served.update()
        except Exception as error:  # an update that fails leaves the old index searchable; the next may pass
            served.last_error = f"{type(error).__name__}: {error}"
            log.warning("updating %s failed: %s", served.name, served.last_error)
            return
        if counts.indexed or counts.removed:
            log.info("%s: %d files indexed, %d removed in %.2f s", served.name, counts.indexed, counts.removed,
                     time.perf_counter() - started)


def _cut(file: GrepFile, matches: int) -> GrepFile:
    """The file's first ``matches`` matching lines, with their context up to the last of them."""
    if not file.lines:
        return GrepFile(file.path, (), matches)
    kept, seen = [], 0
    for line in file.lines:
        if line.is_match:
            if seen == matches:
                break
            seen += 1
        kept.append(line)
    return GrepFile(file.path, tuple(kept), matches)


def _bounded(count: Any, what: str) -> int:
    if not isinstance(count, int) or isinstance(count, bool) or not 1 <= count <= MAX_RESULTS:
        raise ValueError(f"{what} must be a whole number from 1 to {MAX_RESULTS}, not {count!r}")
    return count


def _names(roots: Sequence[str]) -> list[str]:
    """A name for each root: its folder's name, with as many parent folders as tell it apart."""
    if len(set(roots)) != len(roots):
        raise ValueError("a repository is given twice")
    parts = [root.rstrip("/").split("/")[1:] or ["/"] for root in roots]

    def tail(index: int, depth: int) -> list[str]:
        return parts[index][-depth:]

    names = []
    for index, own in enumerate(parts):
        depth = 1
        while depth < len(own) and any(tail(other, depth) == tail(index, depth)
                                       for other in range(len(parts)) if other != index):
            depth += 1
        names.append("/".join(tail(index, depth)))
    return names


def _own_folders(repositories: Iterable[Repository]) -> Iterable[str]:
    """The folders whose changes need no update: git's own store and the index folders."""
    for served in repositories:
        yield os.path.join(served.root, ".git") + os.sep
        folder = getattr(served.reader, "folder", None)
        if folder is not None:
            yield os.path.join(folder, "")


def _touched(roots: dict[str, Repository], paths: Iterable[str]) -> list[Repository]:
    """The repositories the changed paths lie in; the innermost root where roots nest."""
    by_depth = sorted(roots, key=len, reverse=True)
    touched: dict[str, Repository] = {}
    for path in paths:
        root = next((root for root in by_depth if path == root or path.startswith(root + os.sep)), None)
        if root is not None:
            touched[root] = roots[root]
    return list(touched.values())
