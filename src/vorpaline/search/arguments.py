"""The checks a backend's public methods run on their arguments before any work.

A wrong type is a TypeError naming the parameter: left to the core, ``None`` for a query would be a
core error and ``b"x"`` an empty result, neither saying what the caller got wrong.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any

__all__ = ["check_bool", "check_count", "check_document_metadata", "check_folder", "check_globs",
           "check_ids", "check_lookup", "check_metadata_filter", "check_search", "check_seconds", "check_text", "check_texts"]


def _name_of(value: Any) -> str:
    return type(value).__name__


def check_text(value: Any, parameter: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{parameter} must be a str, not {_name_of(value)}")
    return value


def check_count(value: Any, parameter: str) -> int:
    # bool is an int to Python, but k=True is a mistake, not "one hit"
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{parameter} must be an int, not {_name_of(value)}")
    return value


def check_seconds(value: Any, parameter: str) -> float:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"{parameter} must be a number of seconds, not {_name_of(value)}")
    return value


def check_bool(value: Any, parameter: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{parameter} must be a bool, not {_name_of(value)}")
    return value


def _sequence_of_str(value: Any, parameter: str, what: str) -> list[str]:
    # A str is a sequence of str too: taken as one, "ab" would be the ids "a" and "b".
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        raise TypeError(f"{parameter} must be {what}, not {_name_of(value)}")
    items = list(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{parameter} must hold only str, not {_name_of(item)}")
    return items


def check_globs(value: Any, parameter: str = "path_glob") -> str | list[str] | None:
    """None, one glob, or a sequence of globs."""
    if value is None or isinstance(value, str):
        return value
    return _sequence_of_str(value, parameter, "a str, a sequence of str or None")


def check_ids(value: Any, parameter: str = "ids") -> list[str]:
    return _sequence_of_str(value, parameter, "a sequence of str (a list, say)")


def check_texts(value: Any, parameter: str = "texts") -> list[str]:
    return _sequence_of_str(value, parameter, "a sequence of str (a list, say)")


def _str_mapping(value: Any, parameter: str) -> dict[str, str]:
    if not isinstance(value, Mapping):
        raise TypeError(f"{parameter} must map str to str, not be a {_name_of(value)}")
    for key, item in value.items():
        if not isinstance(key, str) or not isinstance(item, str):
            raise TypeError(f"{parameter} must map str to str, not {_name_of(key)} to {_name_of(item)}")
    return dict(value)


def check_document_metadata(value: Any, count: int, parameter: str = "metadata") -> list[dict[str, str] | None]:
    """One mapping of str to str (or None) per document; None for none of them."""
    if value is None:
        return [None] * count
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Sequence):
        raise TypeError(f"{parameter} must be a sequence with one dict (or None) per document, "
                        f"not {_name_of(value)}")
    items = list(value)
    if len(items) != count:
        raise ValueError(f"{count} ids but {len(items)} metadata entries")
    return [None if item is None else _str_mapping(item, f"{parameter}[{number}]")
            for number, item in enumerate(items)]


def check_metadata_filter(value: Any, parameter: str = "metadata") -> dict[str, list[str]] | None:
    """{key: [globs]} of a filter given as {key: glob or [globs]}; None for no filter."""
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise TypeError(f"{parameter} must map str to a glob or a sequence of globs, not be a {_name_of(value)}")
    wanted = {}
    for key, globs in value.items():
        if not isinstance(key, str):
            raise TypeError(f"{parameter}'s keys must be str, not {_name_of(key)}")
        checked = check_globs(globs, f"{parameter}[{key!r}]")
        if checked is None:
            raise TypeError(f"{parameter}[{key!r}] must be a glob or a sequence of globs, not None")
        wanted[key] = [checked] if isinstance(checked, str) else checked
    return wanted


def check_search(query: Any, k: Any, path_glob: Any, files: Any) -> None:
    """A search's arguments, as every backend takes them."""
    check_text(query, "query")
    check_count(k, "k")
    check_globs(path_glob)
    check_bool(files, "files")


def check_lookup(name: Any, ignore_case: Any, path_glob: Any) -> None:
    """A look-up's (definitions, references) arguments, as every backend takes them."""
    check_text(name, "name")
    check_bool(ignore_case, "ignore_case")
    check_globs(path_glob)


def check_folder(value: Any, parameter: str = "folder") -> str:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{parameter} must be a str or an os.PathLike, not {_name_of(value)}")
    folder = os.fspath(value)
    if not isinstance(folder, str):
        raise TypeError(f"{parameter} must name a folder as text, not as {_name_of(folder)}")
    return folder


_GREP_OPTIONS = {"fixed", "case", "word", "path_glob", "types", "types_not", "hidden", "paths", "mode", "context",
                 "before", "after", "max_count", "threads"}


def check_grep(options: dict[str, Any]) -> dict[str, Any]:
    """A grep's keyword arguments, checked, with ``context`` spread over ``before`` and ``after``."""
    unknown = set(options) - _GREP_OPTIONS
    if unknown:
        raise TypeError(f"grep() got an unexpected keyword argument {sorted(unknown)[0]!r}")
    checked = dict(options)
    for flag in ("fixed", "word", "hidden"):
        if flag in checked:
            check_bool(checked[flag], flag)
    if checked.get("case", "sensitive") not in ("sensitive", "insensitive", "smart"):
        raise ValueError(f"case must be 'sensitive', 'insensitive' or 'smart', not {checked['case']!r}")
    check_globs(checked.get("path_glob"))
    checked["path_glob"] = checked.get("path_glob") or ()
    for name in ("types", "types_not"):
        value = checked.get(name, ())
        checked[name] = [value] if isinstance(value, str) else _sequence_of_str(value, name, "a sequence of str")
    if checked.get("paths") is not None:
        checked["paths"] = _sequence_of_str(checked["paths"], "paths", "a sequence of str or None")
    context = checked.pop("context", 0) or 0
    for name in ("before", "after", "max_count", "threads"):
        value = checked.get(name)
        if value is not None and check_count(value, name) < (1 if name == "max_count" else 0):
            raise ValueError(f"{name} must be {'at least 1' if name == 'max_count' else '0 or more'}, not {value}")
    check_count(context, "context")
    for name in ("before", "after"):
        checked[name] = context if checked.get(name) is None else checked[name]
    return checked
