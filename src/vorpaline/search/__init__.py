"""Code search: a repository's chunks ranked for a query, with definitions and references.

Two backends implement one protocol (``Searchable``): ``Index``, a persistent BM25F index kept
in a folder (for a repository, ``ROOT/.vorpaline``), and ``QdrantStore``
(``vorpaline.search.qdrant``), a Qdrant collection shared by repositories and machines.
``open_store(root, store)`` gives the one a repository uses. Each has ``update(root)``, which
brings it up to date with the files the scan lists, and ``search``, ``definitions``,
``references``, ``files`` and ``status``. Applications that bring their own texts use
``Index.add_documents(ids, texts, metadata)`` and the same ``search``. ``AsyncIndex`` (``aio``)
answers the same calls as coroutines, for asyncio applications.

The modules: ``protocol`` (what every backend answers), ``hits`` (the records a search
returns), ``queries`` (how a query is read and what it asks of the ranking), ``snippets``
(the lines shown for a hit), ``files`` (the files as the scan lists them and as they are
read now), ``local`` and ``index_folder`` (the local index), ``qdrant`` and
``qdrant_calls`` (the store), ``aio`` (coroutines over either), ``arguments`` (the checks of
their arguments), and for ``Index.grep``: ``grep_syntax``, ``grep_classes``, ``grep_pattern`` and
``grep_plan`` (rg's regular expressions read, translated to RE2 and planned as a trigram query),
``grep`` (the search) and ``grep_state`` (the trigram segments in the manifest).
"""

from __future__ import annotations

import importlib
import os
from typing import Any

__all__ = ["AsyncIndex", "DEFAULT_MAX_FILE_BYTES", "Definition", "FORMAT", "Hit", "INDEX_FOLDER", "Index", "IndexUnusable",
           "IndexedFile", "LockTimeout", "NotAnIndexFolder", "PathGlobs", "Reference", "Searchable", "Status",
           "UpdateCounts", "listed_files", "open_store"]

# Each name from the module that defines it, imported on first use: a grep needs neither the index's
# ranking nor asyncio (tens of milliseconds of imports a command would pay at every start).
_HOMES = {
    "DEFAULT_MAX_FILE_BYTES": "files", "INDEX_FOLDER": "files", "listed_files": "files",
    "Definition": "hits", "Hit": "hits", "PathGlobs": "hits", "Reference": "hits",
    "LockTimeout": "index_folder", "NotAnIndexFolder": "index_folder",
    "FORMAT": "local", "Index": "local", "AsyncIndex": "aio",
    "IndexedFile": "protocol", "IndexUnusable": "protocol", "Searchable": "protocol", "Status": "protocol",
    "UpdateCounts": "protocol",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


def open_store(root: str | os.PathLike[str] = ".", store: str | None = None, *,
               folder: str | os.PathLike[str] | None = None, rebuild: bool = False,
               repository: str | None = None) -> Any:
    """Where the code search of the repository at ``root`` is kept: its local ``Index`` (in
    ``folder``, default ``root/.vorpaline``), or with ``store`` the Qdrant collection it names
    (``qdrant://HOST:PORT/COLLECTION``, a ``QdrantStore``; with ``repository``, its searches keep
    to that repository). Both are ``Searchable``."""
    if store is None:
        from vorpaline.search.local import Index

        return Index.for_repository(root, folder, rebuild=rebuild)
    from vorpaline.search.qdrant import QdrantStore

    return QdrantStore.connect(store, rebuild=rebuild, repository=repository)
