"""What every code search answers, whichever backend holds it.

The local ``Index`` (a folder of segments) and the ``QdrantStore`` (a collection shared by
repositories and machines) both implement ``Searchable``; the command line, the HTTP server and
the MCP server ask for nothing more, so each of them serves either.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from types import MappingProxyType
from typing import NamedTuple, Protocol, TypeVar, runtime_checkable

from vorpaline.search.hits import Definition, Hit, PathGlobs, Reference

__all__ = ["IndexUnusable", "IndexedFile", "PathGlobs", "Searchable", "Status", "UpdateCounts"]


class IndexUnusable(ValueError):
    """The index exists but cannot be used as it is: another format or profile."""


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


class IndexedFile(NamedTuple):
    """A file as the index holds it."""

    path: str
    size: int
    chunks: int  # 0 for a file left out: binary, too large or unreadable


class Status(NamedTuple):
    where: str  # the index folder, or the store and its collection
    root: str | None  # the repository's folder, where it is known
    files: int  # files held, those left out included
    chunks: int
    updated: float | None  # when the index last changed (seconds since the epoch); None if never
    # The files that changed, came or went since, as the scan lists them now: what the next
    # update reads. Empty when the root is not known.
    stale: tuple[str, ...] = ()


_Open = TypeVar("_Open", bound="Closable")


class Closable:
    """``closed``, with-blocks and the check every call makes, for a backend whose ``close`` sets
    ``_closed``; ``_closed_message`` names it in the error."""

    _closed = False

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self: _Open) -> _Open:
        self._check_open()
        return self

    def __exit__(self, *_: object) -> None:
        self.close()  # type: ignore[attr-defined]

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"I/O operation on a closed {self._closed_message()}")

    def _closed_message(self) -> str:
        return type(self).__name__


@runtime_checkable
class Searchable(Protocol):
    def search(self, query: str, k: int = 10, path_glob: PathGlobs = None, *, files: bool = False,
               case: str = "smart", regex: str | None = None, types: Sequence[str] = (),
               types_not: Sequence[str] = (), tests: str | None = None) -> list[Hit]:
        """The ``k`` best chunks for ``query`` (in the query language), best first (with ``files``,
        each file's best), of the files the filters keep."""

    def definitions(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None) -> list[Definition]:
        """Where ``name`` is defined, in path and line order."""

    def references(self, name: str, *, ignore_case: bool = False, path_glob: PathGlobs = None) -> list[Reference]:
        """Where ``name`` is used, in path and line order."""

    def files(self) -> list[IndexedFile]:
        """The files held, in path order."""

    def update(self, root: str | os.PathLike[str], *,
               progress: Callable[[int, int], None] | None = None) -> UpdateCounts:
        """Brings the index up to date with the files under ``root``."""

    def status(self, root: str | os.PathLike[str] | None = None) -> Status:
        """What the index holds, and what changed under ``root`` (default: the root it last read) since."""

    def close(self) -> None:
        """Lets go of what the backend holds (a searcher, a client); using it then raises ValueError."""
