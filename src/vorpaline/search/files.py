"""A repository's files as an update lists them and as a search reads them now.

Both go through the core: the scan lists what git would (ignore files, the index's own folder
left out), and a file is read with the guarded open the indexer uses, so no symbolic link is
followed on the way and nothing but a regular file under the root is read.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from vorpaline.search.index_folder import MARKER
from vorpaline.search.native import core, file_name, loads

INDEX_FOLDER = ".vorpaline"
DEFAULT_MAX_FILE_BYTES = 1 << 20

# The type of a file by its name, as a store's payload and a search's language filter name it.
FILE_TYPES = {
    "py": "python", "pyi": "python", "c": "c", "h": "c", "cc": "cpp", "cpp": "cpp", "cxx": "cpp", "hpp": "cpp",
    "hh": "cpp", "rs": "rust", "go": "go", "java": "java", "kt": "kotlin", "scala": "scala", "js": "javascript",
    "mjs": "javascript", "jsx": "javascript", "ts": "typescript", "tsx": "typescript", "rb": "ruby",
    "php": "php", "cs": "csharp", "swift": "swift", "m": "objc", "sh": "shell", "bash": "shell", "zsh": "shell",
    "pl": "perl", "lua": "lua", "r": "r", "jl": "julia", "hs": "haskell", "ml": "ocaml", "ex": "elixir",
    "erl": "erlang", "clj": "clojure", "sql": "sql", "html": "html", "css": "css", "md": "markdown",
    "rst": "rst", "txt": "text", "toml": "toml", "yaml": "yaml", "yml": "yaml", "json": "json", "xml": "xml",
    "cmake": "cmake", "mk": "make", "proto": "protobuf", "tex": "tex",
}
_NAMED_FILE_TYPES = {"makefile": "make", "cmakelists.txt": "cmake", "dockerfile": "docker"}


def file_type(path: str) -> str:
    """The type ("python", "cpp", "markdown"...) of a path ('/'-separated); "other" for a type not named here."""
    name = path.rsplit("/", 1)[-1].lower()
    if name in _NAMED_FILE_TYPES:
        return _NAMED_FILE_TYPES[name]
    return FILE_TYPES.get(name.rsplit(".", 1)[-1], "other") if "." in name else "other"


def in_index_folder(path: str) -> bool:
    """Whether ``path`` lies in a ``.vorpaline`` folder: a repository's own index, kept elsewhere or not."""
    return f"/{INDEX_FOLDER}/" in f"/{path}"


def listed_files(root: str, index_folder: str | None) -> list[Any]:
    """The scanner's files under ``root`` (ScannedFile records) but those of any .vorpaline
    folder, of ``index_folder`` when it lies in the tree, and of any folder marked as an index's:
    what an update indexes, and what ``vorpaline files`` lists."""
    from vorpaline.scan import ScannedFile, config_json

    return [ScannedFile(item["path"], item["size"], item["mtime_ns"])
            for item in repository_files(loads(core().scan_repository(config_json(root), 0))["files"], root, index_folder)]


def repository_files(scanned: list[dict[str, Any]], root: str, index_folder: str | None) -> list[dict[str, Any]]:
    """The scan's file records but those of an index: ``index_folder``, any .vorpaline folder, and any
    folder carrying an index's marker (one kept under another name, its .gitignore gone or overruled)."""
    skipped = skipped_folders(root, index_folder) + marked_folders(item["path"] for item in scanned)
    return [item for item in scanned if not not_indexed(item["path"], skipped)]


def marked_folders(paths) -> tuple[str, ...]:
    """The folders ('/'-ended) below the root where the listed ``paths`` show an index's marker file.
    A marker at the root itself leaves out nothing: the scan was asked for that folder."""
    return tuple(path[:-len(MARKER)] for path in paths if path.endswith("/" + MARKER))


def skipped_folders(root: str, index_folder: str | None) -> tuple[str, ...]:
    inside = os.path.relpath(index_folder, root) if index_folder is not None else ".."
    return () if inside.startswith("..") else (inside.replace(os.sep, "/") + "/",)


def not_indexed(path: str, skipped_folders: tuple[str, ...]) -> bool:
    return path.startswith(skipped_folders) or INDEX_FOLDER in path and in_index_folder(path)


class FilesNow:
    """The indexed files as they are now, each read at most once a search, with the guarded open the
    indexer uses: no symbolic link followed on the way, nothing but a regular file read."""

    WHOLE_FILE_LIMIT = 64 << 20  # a file that grew past this since it was indexed shows its first lines

    def __init__(self, root: str, known: Mapping[str, Any]) -> None:
        self._root = root
        self._known = known  # path -> the indexed file's entry, with its "size" and "mtime_ns"
        self._whole: dict[str, tuple[list[str], bool] | None] = {}

    @property
    def root(self) -> str:
        return self._root

    def chunk(self, path: str, first: int, last: int, begin: int | None = None,
              end: int | None = None) -> dict[str, Any]:
        """A chunk as the core's hit_snippets reads it: the lines ``lines`` gives, from the file as
        it is now, with the indexed file's size and mtime to tell whether it changed."""
        item: dict[str, Any] = {**file_name("path", path), "first": first, "last": last}
        if begin is not None and end is not None:
            item["begin"], item["end"] = begin, end
        entry = self._known.get(path)
        if entry is not None:
            item["size"], item["mtime_ns"] = entry["size"], entry["mtime_ns"]
        return item

    def _read(self, path: str, begin: int, end: int) -> tuple[bytes, bool] | None:
        """The bytes [begin, end) and whether the file differs from the one indexed; None if it cannot be read."""
        try:
            data, size, mtime_ns = core().read_repository_file(self._root, path, begin, end)
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
                return text_lines(data)[:last - first + 1], False
        if path not in self._whole:
            got = self._read(path, 0, self.WHOLE_FILE_LIMIT)
            self._whole[path] = None if got is None else (text_lines(got[0]), got[1])
        whole = self._whole[path]
        return None if whole is None else (whole[0][first - 1:last], whole[1])


def text_lines(data: bytes) -> list[str]:
    # Lines end at "\n", as the chunker counts them.
    return [line.removesuffix("\r") for line in data.decode("utf-8", errors="replace").split("\n")]
