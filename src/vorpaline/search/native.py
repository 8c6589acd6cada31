"""The native core as the search package calls it, and the checks its inputs pass first."""

from __future__ import annotations

import json
import sys
from types import ModuleType
from typing import Any

# Below this size the standard parser reads JSON as fast as orjson can be imported (its import
# brings dataclasses, uuid and more: about 25 ms that a search command cannot spare).
SMALL_JSON = 1 << 16


_checked_core: ModuleType | None = None  # the core module last found to offer the index


def core() -> Any:
    """The native core, once it is known to offer the index. The core's own handshake is asked
    directly: the capability check's module brings logging, which a search command does not need,
    and is imported only to refuse a core without the index, with its message."""
    global _checked_core
    try:
        import vorpaline_core_py
    except ImportError:
        vorpaline_core_py = None
    if vorpaline_core_py is None or (vorpaline_core_py is not _checked_core and not _offers_index(vorpaline_core_py)):
        from vorpaline.enginecheck import require_capability

        require_capability("index_bm25", "vorpaline.search")
        import vorpaline_core_py
    _checked_core = vorpaline_core_py
    return vorpaline_core_py


def _offers_index(module: ModuleType) -> bool:
    try:
        return "index_bm25" in json.loads(module.handshake())["capabilities"]
    except Exception:  # no handshake, or not the reply it should be: the capability check says why
        return False


def profile_json() -> str:
    """The tokenisation profile of the package's sparse vectors, so that the index's tokens are theirs."""
    if "vorpaline.sparse" in sys.modules:
        from vorpaline.sparse import get_sparse_service

        return get_sparse_service()._profile_json
    # The shared service is not made yet: the profile it would make, without importing the module
    # (logging and dataclasses, which a search command does not otherwise need).
    from vorpaline.config import settings

    return json.dumps({"version": settings.sparse_profile_version, "max_text_chars": settings.sparse_max_text_chars,
                       "code_pretokenize": settings.code_pretokenize, "min_token_len": 2})


def blake2b(data: bytes | memoryview, digest_size: int) -> Any:
    """hashlib's BLAKE2b, from its own module: hashlib would first load OpenSSL's bindings, which
    every search command would pay for a checksum of a few hundred bytes."""
    try:
        from _blake2 import blake2b as made
    except ImportError:  # an interpreter built without it: hashlib has one
        from hashlib import blake2b as made
    return made(data, digest_size=digest_size)


def file_name(key: str, name: str) -> dict[str, str]:
    """A file name as the core's requests take it: as text, or as its bytes in hex (``key``_hex)
    when it is no UTF-8 (a surrogate escape, as os.fsdecode gives it)."""
    import os

    return {key: name} if name.isascii() or is_utf8(name) else {f"{key}_hex": os.fsencode(name).hex()}


def fast_json() -> ModuleType:
    """orjson, imported on first use."""
    import orjson

    return orjson


def loads(data: bytes | str) -> Any:
    """JSON as orjson reads it; a text holding an escaped name that is not UTF-8 as the standard parser does."""
    if len(data) < SMALL_JSON:
        return json.loads(data)
    orjson = fast_json()
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
