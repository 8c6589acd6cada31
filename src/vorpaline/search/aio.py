"""The search backends for asyncio applications: each call runs in a worker thread.

``AsyncIndex`` wraps an ``Index`` (or any ``Searchable``, a ``QdrantStore`` say) and answers the
same calls as coroutines, each one ``asyncio.to_thread`` of the wrapped object's method, so that
the event loop goes on while the core searches or writes (it does both with the interpreter lock
released). Searches may run at once: an ``Index``'s searcher is read by many threads, and the
wrapped object takes its writes in turn.

    async with AsyncIndex(Index.open(folder)) as index:
        hits = await index.search("retry the request", k=5)
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

from vorpaline.search.hits import Definition, Hit, PathGlobs, Reference
from vorpaline.search.protocol import IndexedFile, Status, UpdateCounts

__all__ = ["AsyncIndex"]

T = TypeVar("T")


class AsyncIndex:
    """Coroutines over a search backend (``Index`` or another ``Searchable``); see the module docstring."""

    def __init__(self, backend: Any) -> None:
        self.backend = backend

    @classmethod
    async def open(cls, folder: str | os.PathLike[str]) -> AsyncIndex:
        """The local index in ``folder``, opened in a worker thread."""
        from vorpaline.search.local import Index

        return cls(await asyncio.to_thread(Index.open, folder))

    async def _run(self, name: str, *args: Any, **kwargs: Any) -> Any:
        method: Callable[..., Any] | None = getattr(self.backend, name, None)
        if method is None:
            raise NotImplementedError(f"{type(self.backend).__name__} has no {name}()")
        return await asyncio.to_thread(method, *args, **kwargs)

    async def search(self, query: str, k: int = 10, path_glob: PathGlobs = None, *, files: bool = False,
                     metadata: dict[str, str | Sequence[str]] | None = None) -> list[Hit]:
        # A metadata filter is passed on only when given: a backend without documents may not take one.
        extra = {} if metadata is None else {"metadata": metadata}
        hits: list[Hit] = await self._run("search", query, k, path_glob, files=files, **extra)
        return hits

    async def definitions(self, name: str, *, ignore_case: bool = False,
                          path_glob: PathGlobs = None) -> list[Definition]:
        found: list[Definition] = await self._run("definitions", name, ignore_case=ignore_case, path_glob=path_glob)
        return found

    async def references(self, name: str, *, ignore_case: bool = False,
                         path_glob: PathGlobs = None) -> list[Reference]:
        found: list[Reference] = await self._run("references", name, ignore_case=ignore_case, path_glob=path_glob)
        return found

    async def files(self) -> list[IndexedFile]:
        held: list[IndexedFile] = await self._run("files")
        return held

    async def status(self, root: str | os.PathLike[str] | None = None) -> Status:
        status: Status = await self._run("status", root)
        return status

    async def update(self, root: str | os.PathLike[str], **options: Any) -> UpdateCounts:
        """The backend's ``update(root, **options)``; a ``progress`` callable is called from the worker thread."""
        counts: UpdateCounts = await self._run("update", root, **options)
        return counts

    async def add_documents(self, ids: Sequence[str], texts: Sequence[str],
                            metadata: Sequence[dict[str, str] | None] | None = None, *,
                            wait: float | None = None) -> None:
        await self._run("add_documents", ids, texts, metadata, wait=wait)

    async def delete_documents(self, ids: Sequence[str], *, wait: float | None = None) -> int:
        removed: int = await self._run("delete_documents", ids, wait=wait)
        return removed

    async def refresh(self) -> bool:
        changed: bool = await self._run("refresh")
        return changed

    async def close(self) -> None:
        await self._run("close")

    async def __aenter__(self) -> AsyncIndex:
        if getattr(self.backend, "closed", False):
            raise ValueError(f"I/O operation on a closed index ({type(self.backend).__name__})")
        return self

    async def __aexit__(self, *_: object) -> None:
        await self.close()
