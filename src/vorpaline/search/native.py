"""The native core as the search package calls it, and the checks its inputs pass first."""

from __future__ import annotations

import json
from typing import Any

import orjson


def core() -> Any:
    from vorpaline.enginecheck import require_capability

    require_capability("index_bm25", "vorpaline.search")
    import vorpaline_core_py

    return vorpaline_core_py


def profile_json() -> str:
    from vorpaline.sparse import get_sparse_service

    return get_sparse_service()._profile_json  # the same tokens as the package's sparse vectors


def loads(data: bytes | str) -> Any:
    """JSON as orjson reads it; a text holding an escaped name that is not UTF-8 as the standard parser does."""
    try:
        return orjson.loads(data)
    except orjson.JSONDecodeError as error:
        if "surrogate" not in str(error):
            raise
        return json.loads(data)


UTF8_ROOT_REMEDY = "the scan reads trees under UTF-8 paths; give it one (a symbolic link will do)"


def is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:  # a name's bytes that are not UTF-8, as lone surrogates
        return False
    return True


def utf8_name(name: str, what: str, remedy: str) -> str:
    """``name``, when it is UTF-8 text: the scan's configuration, and a store's payloads, hold only such."""
    if not is_utf8(name):
        from vorpaline.search.display import quoted_name

        raise ValueError(f"{what} {quoted_name(name)} is not valid UTF-8: {remedy}")
    return name
