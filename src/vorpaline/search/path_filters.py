"""Which files a search keeps, as ripgrep's ``-g/--glob``, ``-t/--type`` and ``-T/--type-not`` decide.

Paths are relative to the repository's root and ``/``-separated. The globs are gitignore lines with
their sense turned over: ``*.py`` keeps Python files at any depth (a glob without ``/`` matches the
name), ``src/*.py`` only those directly in ``src`` (a glob with ``/`` is anchored at the root, ``*``
stays within a folder, ``**`` crosses folders as in git), ``!tests`` leaves out everything under any
folder ``tests``. The last glob that matches a path decides, and when any glob keeps, a file no glob
matches is left out. One thing differs from ripgrep, on purpose: a glob that keeps also keeps
everything under the folders it matches (``tests``, ``src/vorpaline``), as people mean it and as a
``!`` glob already leaves out everything under them; ripgrep keeps no file for ``-g tests`` and
needs ``tests/**`` (``folder_globs`` writes the globs out as ripgrep would need them).
Types decide only the files no glob matched.
The globs are read once by the native core, which matches them with git's wildmatch.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence

from vorpaline.search.file_types import FILE_TYPES
from vorpaline.search.native import core

__all__ = ["FILE_TYPES", "folder_globs", "path_filter", "required_folder", "str_list", "type_globs"]

_GLOB_SPECIAL = "*?[\\{"


def path_filter(globs: str | Sequence[str] = (), types: str | Sequence[str] = (),
                types_not: str | Sequence[str] = ()) -> Callable[[str | None], bool] | None:
    """Whether ripgrep, given ``-g GLOB`` for each of ``globs`` (in order), ``-t`` for each of ``types`` and
    ``-T`` for each of ``types_not``, would search the file at a path; None when nothing filters.
    A path of None (a document that is no file) is never kept. A str stands for one glob or type.
    An unknown type, a glob ripgrep refuses, or globs whose ``{a,b}`` groups stand for more than 1024
    patterns, is a ValueError."""
    globs = folder_globs(str_list(globs, "globs"))
    rules = type_globs(str_list(types, "types"), str_list(types_not, "types_not"))
    if not globs and not rules:
        return None
    keeps = core().path_filter_compile(globs, rules).keeps
    return lambda path: path is not None and keeps(path)


def folder_globs(globs: Sequence[str]) -> list[str]:
    """The globs with, after each that keeps, one that keeps what lies under the folders it matches:
    ``tests`` gains ``**/tests/**``, ``src/vorpaline`` gains ``src/vorpaline/**``."""
    written = []
    for glob in globs:
        written.append(glob)
        line = glob.rstrip()
        if not line or line.startswith(("#", "!")) or line.endswith("**"):
            continue
        folder = line.rstrip("/")
        anchored = "/" in folder
        written.append(f"{folder}/**" if anchored else f"**/{folder}/**")
    return written


def type_globs(types: Iterable[str], types_not: Iterable[str] = ()) -> list[str]:
    """The file-name globs of the types, in ripgrep's order of precedence: the selected types' first,
    then the left-out types' marked with ``!``, so that those win."""
    rules = [glob for name in types for glob in _globs_of(name)]
    return rules + ["!" + glob for name in types_not for glob in _globs_of(name)]


def required_folder(globs: str | Sequence[str]) -> str | None:
    """The deepest folder every file the globs keep lies in, or None: a glob that keeps lets a file
    through only if it matches it, so the folders of those globs' literal heads bound them all."""
    folders = []
    for glob in str_list(globs, "globs"):
        head = _keeping_head(glob)
        if head is None:
            continue  # leaves out, or keeps nothing: it lets no other file through
        folder = head.rsplit("/", 1)[0] if "/" in head else ""
        if not folder:
            return None
        folders.append(folder.split("/"))
    if not folders:
        return None
    return "/".join(os.path.commonprefix(folders)) or None


def _keeping_head(glob: str) -> str | None:
    """The literal start of a glob that keeps, as the root-relative path it is anchored at ("" for one
    that matches names at any depth); None for a glob that leaves out or is no glob (a comment)."""
    line = glob if glob.endswith("\\ ") else glob.rstrip()
    if not line or line.startswith(("#", "!")):
        return None
    if line.startswith("\\"):
        return ""  # `\!` and `\#` stand for names, matched at any depth
    anchored = line.startswith("/")
    line = line[1:] if anchored else line
    if not anchored and "/" not in line.rstrip("/"):
        return ""
    cut = min((i for i in (line.find(c) for c in _GLOB_SPECIAL) if i >= 0), default=len(line))
    return line[:cut]


def _globs_of(name: str) -> tuple[str, ...]:
    if name == "all":  # as ripgrep: every type it knows
        return tuple(glob for globs in FILE_TYPES.values() for glob in globs)
    if name not in FILE_TYPES:
        import difflib

        close = difflib.get_close_matches(name, FILE_TYPES, n=3)
        hint = f"; did you mean {', '.join(repr(c) for c in close)}?" if close else ""
        raise ValueError(f"unknown file type {name!r}{hint} (the types are ripgrep's: `rg --type-list`)")
    return FILE_TYPES[name]


def str_list(values: str | Sequence[str], name: str) -> list[str]:
    """``values`` as a list of str (a str is one); a TypeError naming ``name`` for anything else."""
    if isinstance(values, str):
        return [values]
    if isinstance(values, (bytes, bytearray)) or not isinstance(values, Iterable):
        raise TypeError(f"{name} must be a str or a sequence of str, not {type(values).__name__}")
    listed = list(values)
    for value in listed:
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str or a sequence of str, not one holding {type(value).__name__}")
    return listed
