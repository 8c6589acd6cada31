"""Calls to a Qdrant server as a long-running update needs them: each one
retried with backoff while the failure is transient, batched to a size the
server takes, and any other failure turned into a message that says what to do.
"""

from __future__ import annotations

import random
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypeVar

__all__ = ["StoreError", "batches", "call_with_retries"]

T = TypeVar("T")

# Requests stay well under the server's default limit of 32 MiB per request.
BATCH_POINTS = 256
BATCH_BYTES = 4 << 20
ATTEMPTS = 6
TRANSIENT_STATUS = frozenset({408, 429, 500, 502, 503, 504})


class StoreError(OSError):
    """The store refused or failed a request in a way retrying does not mend."""


def _status(error: BaseException) -> int | None:
    status = getattr(error, "status_code", None)
    return status if isinstance(status, int) else None


def _transient(error: BaseException) -> bool:
    from qdrant_client.http.exceptions import ResponseHandlingException

    if isinstance(error, (ResponseHandlingException, ConnectionError, TimeoutError)):
        return True  # the connection failed or timed out: the server may be restarting
    try:
        import httpx
    except ImportError:  # pragma: no cover - qdrant-client depends on it
        return False
    if isinstance(error, httpx.TransportError):
        return True
    return _status(error) in TRANSIENT_STATUS


def explained(error: BaseException, where: str) -> StoreError:
    """A StoreError saying what ``error`` means for the user of ``where``."""
    status = _status(error)
    if status in (401, 403):
        return StoreError(f"{where} refused the request ({status}): set VORPALINE_QDRANT_API_KEY "
                          "to an API key the cluster accepts")
    content = getattr(error, "content", b"")
    detail = content.decode("utf-8", "replace")[:300] if isinstance(content, bytes) and content else str(error)
    if status is not None:
        return StoreError(f"{where} answered {status}: {detail}")
    return StoreError(f"{where} could not be reached: {detail}")


def call_with_retries(call: Callable[[], T], where: str, *, attempts: int = ATTEMPTS,
                      first_delay: float = 0.5, sleep: Callable[[float], None] | None = None) -> T:
    """``call()``, again after 0.5, 1, 2, ... seconds (with jitter) while it fails transiently."""
    for attempt in range(attempts):
        try:
            return call()
        except Exception as error:
            if not _transient(error):
                raise explained(error, where) from error
            if attempt == attempts - 1:
                raise explained(error, where) from error
            (sleep or time.sleep)(min(30.0, first_delay * 2 ** attempt) * random.uniform(0.5, 1.0))
    raise AssertionError("unreachable")


def batches(items: Iterable[T], size_of: Callable[[T], int], *, max_items: int = BATCH_POINTS,
            max_bytes: int = BATCH_BYTES) -> Iterator[list[T]]:
    """``items`` in runs of at most ``max_items`` and about ``max_bytes`` (one item alone may be more)."""
    batch: list[T] = []
    held = 0
    for item in items:
        size = size_of(item)
        if batch and (len(batch) >= max_items or held + size > max_bytes):
            yield batch
            batch, held = [], 0
        batch.append(item)
        held += size
    if batch:
        yield batch


def point_bytes(point: Any) -> int:
    """About how many bytes a point takes in a request's JSON."""
    payload = point.payload or {}
    text = payload.get("text", "")
    vector = point.vector.get("bm25") if isinstance(point.vector, dict) else None
    terms = len(vector.indices) if vector is not None else 0
    return 400 + len(text) * 11 // 10 + terms * 24
