"""Calls to a Qdrant server as a long-running update needs them: each one
retried with backoff while the failure is transient, batched to a size the
server takes, and any other failure turned into a message that says what to do.

Every request ends by a deadline, its reply read whole included (httpx's own
timeouts bound each read, so a server sending a byte now and then would hold a
request for ever), and no reply over MAX_REPLY_BYTES is read: both kept by
``BoundedTransport``, the transport the store gives qdrant-client.
"""

from __future__ import annotations

import contextvars
import json
import random
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypeVar

import httpcore
import httpx

__all__ = ["BoundedTransport", "Deadline", "DeadlinePassed", "ReplyTooLarge", "StoreError", "batches",
           "bounded_proxy_mounts", "call_with_retries"]

T = TypeVar("T")

# Requests stay well under the server's default limit of 32 MiB per request.
BATCH_POINTS = 256
BATCH_BYTES = 4 << 20
ATTEMPTS = 6
TRANSIENT_STATUS = frozenset({408, 429, 500, 502, 503, 504})
REQUEST_SECONDS = 60.0  # one request, its reply read whole
RETRY_SECONDS = 120.0  # no call starts a new attempt this long after its first
MAX_REPLY_BYTES = 256 << 20  # far over any reply the store asks for: a scroll page is a few MiB


class Deadline:
    """A time by which some work, such as all of a command's calls, must end: ``seconds`` from now."""

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self.at = time.monotonic() + seconds


# The monotonic time by which the request under way must end, and the deadline of the call making it.
_request_deadline: contextvars.ContextVar[float | None] = contextvars.ContextVar("request_deadline", default=None)
_call_deadline: contextvars.ContextVar[Deadline | None] = contextvars.ContextVar("call_deadline", default=None)


class StoreError(OSError):
    """The store refused or failed a request in a way retrying does not mend."""


class DeadlinePassed(TimeoutError):
    """A request, or the calls of a command, took longer than they may."""

    def __init__(self, seconds: float) -> None:
        super().__init__(f"no answer within {seconds:g} s")
        self.seconds = seconds


class ReplyTooLarge(Exception):
    """A reply larger than the store reads."""

    def __init__(self, limit: int, announced: int | None = None) -> None:
        bound = f"{limit >> 20} MiB" if limit % (1 << 20) == 0 else f"{limit} bytes"
        said = "a reply larger than" if announced is None else f"a reply of {announced} bytes, over"
        super().__init__(f"{said} the {bound} vorpaline reads")
        self.limit = limit


def _seconds_left(timeout: float | None, timed_out: type[Exception]) -> float | None:
    """``timeout`` cut to what is left of the request's time; ``timed_out`` raised when none is."""
    deadline = _request_deadline.get()
    if deadline is None:
        return timeout
    left = deadline - time.monotonic()
    if left <= 0:
        raise timed_out("the request's time is up")
    return left if timeout is None else min(timeout, left)


class _DeadlineStream:
    """A connection's stream whose every read and write waits no longer than the request has left."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        return self._stream.read(max_bytes, _seconds_left(timeout, httpcore.ReadTimeout))

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        self._stream.write(buffer, _seconds_left(timeout, httpcore.WriteTimeout))

    def close(self) -> None:
        self._stream.close()

    def start_tls(self, ssl_context: Any, server_hostname: str | None = None, timeout: float | None = None) -> Any:
        return _DeadlineStream(self._stream.start_tls(ssl_context, server_hostname,
                                                      _seconds_left(timeout, httpcore.ConnectTimeout)))

    def get_extra_info(self, info: str) -> Any:
        return self._stream.get_extra_info(info)


class _DeadlineBackend:
    """httpcore's network backend, its connections' waits bounded by the request's deadline."""

    def __init__(self, backend: Any) -> None:
        self._backend = backend

    def connect_tcp(self, host: str, port: int, timeout: float | None = None, local_address: str | None = None,
                    socket_options: Any = None) -> _DeadlineStream:
        return _DeadlineStream(self._backend.connect_tcp(host, port, _seconds_left(timeout, httpcore.ConnectTimeout),
                                                         local_address, socket_options))

    def connect_unix_socket(self, path: str, timeout: float | None = None, socket_options: Any = None) -> Any:
        return _DeadlineStream(self._backend.connect_unix_socket(
            path, _seconds_left(timeout, httpcore.ConnectTimeout), socket_options))

    def sleep(self, seconds: float) -> None:
        self._backend.sleep(seconds)


class BoundedTransport(httpx.HTTPTransport):
    """httpx's transport, each request ending within ``seconds`` (or by the call's deadline, when
    sooner), its reply read whole and refused past ``max_reply_bytes``."""

    def __init__(self, seconds: float = REQUEST_SECONDS, max_reply_bytes: int | None = None, **options: Any) -> None:
        super().__init__(**options)
        self.seconds = seconds
        self.max_reply_bytes = MAX_REPLY_BYTES if max_reply_bytes is None else max_reply_bytes
        # Each wait cut to the time left, so the deadline holds within a read too. Where httpcore keeps
        # its backend elsewhere, the deadline is checked between reads, each bounded by httpx's timeout.
        pool = getattr(self, "_pool", None)
        backend = getattr(pool, "_network_backend", None)
        if backend is not None:
            pool._network_backend = _DeadlineBackend(backend)  # type: ignore[union-attr]

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        deadline, seconds = time.monotonic() + self.seconds, self.seconds
        outer = _call_deadline.get()
        if outer is not None and outer.at < deadline:
            deadline, seconds = outer.at, outer.seconds  # the command's time ends first: it is what is told
        token = _request_deadline.set(deadline)
        try:
            response = super().handle_request(request)
            try:
                body = self._body(response, deadline, seconds)
            finally:
                response.close()
        except httpx.TimeoutException as error:
            if time.monotonic() >= deadline - 0.01:
                raise DeadlinePassed(seconds) from error
            raise
        finally:
            _request_deadline.reset(token)
        # The body as read, decoded: what the client parses, never more than the bound.
        headers = [(name, value) for name, value in response.headers.raw
                   if name.lower() not in (b"content-encoding", b"content-length", b"transfer-encoding")]
        return httpx.Response(response.status_code, headers=headers, content=body, extensions=response.extensions,
                              request=request)

    def _body(self, response: httpx.Response, deadline: float, seconds: float) -> bytes:
        announced = response.headers.get("content-length", "")
        if announced.isdigit() and int(announced) > self.max_reply_bytes:
            raise ReplyTooLarge(self.max_reply_bytes, int(announced))
        body = bytearray()
        for chunk in response.iter_bytes():
            body += chunk
            if len(body) > self.max_reply_bytes:
                raise ReplyTooLarge(self.max_reply_bytes)
            if time.monotonic() > deadline:
                raise DeadlinePassed(seconds)
        return bytes(body)


def bounded_proxy_mounts(seconds: float = REQUEST_SECONDS) -> dict[str, BoundedTransport | None]:
    """A BoundedTransport for each proxy the environment names (HTTPS_PROXY, NO_PROXY...): a client
    given a transport of its own reads no proxy from the environment, and would go around them."""
    try:
        from httpx._utils import get_environment_proxies  # where httpx itself reads them
    except ImportError:  # pragma: no cover - a later httpx that moved it: no proxy, as before
        return {}
    return {pattern: None if proxy is None else BoundedTransport(seconds, proxy=proxy)
            for pattern, proxy in get_environment_proxies().items()}


def _status(error: BaseException) -> int | None:
    status = getattr(error, "status_code", None)
    return status if isinstance(status, int) else None


def _cause(error: BaseException) -> BaseException:
    """What failed under qdrant-client's wrapping of a request that found no reply it could use."""
    from qdrant_client.http.exceptions import ResponseHandlingException

    return error.source if isinstance(error, ResponseHandlingException) else error


def _malformed(error: BaseException) -> bool:
    """Whether the server's reply was not what a Qdrant server sends: asking again would not mend it."""
    cause = _cause(error)
    if cause is not error:
        return isinstance(cause, (ValueError, httpx.DecodingError))  # JSON or its shape; a bad encoding
    return isinstance(error, json.JSONDecodeError)


def _transient(error: BaseException) -> bool:
    cause = _cause(error)
    if isinstance(cause, ReplyTooLarge) or _malformed(error):
        return False
    if isinstance(cause, (ConnectionError, TimeoutError, httpx.TransportError)):
        return True  # the connection failed or timed out: the server may be restarting, or busy
    return _status(error) in TRANSIENT_STATUS


def explained(error: BaseException, where: str) -> StoreError:
    """A StoreError saying what ``error`` means for the user of ``where``."""
    cause = _cause(error)
    if isinstance(cause, DeadlinePassed):
        return StoreError(f"{where} did not answer within {cause.seconds:g} s")
    if isinstance(cause, ReplyTooLarge):
        return StoreError(f"{where} sent {cause}: refused")
    if _malformed(error):
        return StoreError(f"{where} sent a malformed reply: {' '.join(str(cause).split())[:300]}")
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
                      first_delay: float = 0.5, sleep: Callable[[float], None] | None = None,
                      deadline: Deadline | None = None) -> T:
    """``call()``, again after 0.5, 1, 2, ... seconds (with jitter) while it fails transiently; no
    attempt starts RETRY_SECONDS after the first, and none goes on past ``deadline``."""
    retry_until = time.monotonic() + RETRY_SECONDS
    if deadline is not None:
        retry_until = min(retry_until, deadline.at)
    token = _call_deadline.set(deadline)
    try:
        for attempt in range(attempts):
            if deadline is not None and time.monotonic() >= deadline.at:
                raise StoreError(f"{where} did not answer within {deadline.seconds:g} s")
            try:
                return call()
            except Exception as error:
                delay = min(30.0, first_delay * 2 ** attempt) * random.uniform(0.5, 1.0)
                if not _transient(error) or attempt == attempts - 1 or time.monotonic() + delay >= retry_until:
                    raise explained(error, where) from error
                (sleep or time.sleep)(delay)
    finally:
        _call_deadline.reset(token)
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
    text = len(payload.get("text", "")) + len(payload.get("symbols", ""))
    vector = point.vector.get("bm25") if isinstance(point.vector, dict) else None
    terms = len(vector.indices) if vector is not None else 0
    return 400 + text * 11 // 10 + terms * 32  # its weight and its three fields' frequencies
