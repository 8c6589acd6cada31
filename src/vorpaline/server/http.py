"""The HTTP server: a JSON API over a ``Library``, its web page, and the MCP tools over streamable HTTP.

Every request passes the same gate first: its ``Host`` header must name this server and its
``Origin``, when it has one, must be this server's own (a page elsewhere, or a DNS name rebound to
the loopback, gets 403), and with a token it must carry ``Authorization: Bearer TOKEN`` (the
page's own files excepted). Bodies, queries and counts are bounded; a bad request gets a 4xx with
a message, and nothing answers with a traceback.
"""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import logging
import time
from collections.abc import AsyncIterator, Callable, Iterable
from importlib import resources
from typing import Any

import orjson
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.types import ASGIApp, Receive, Scope, Send

from vorpaline.search.grep import PatternError
from vorpaline.server import shapes
from vorpaline.server.library import Library, NotServed

__all__ = ["LOOPBACK_HOSTS", "allowed_hosts_for", "build_app"]

log = logging.getLogger("vorpaline.server")

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]", "::1")
MAX_BODY_BYTES = 64 << 10
MAX_QUERY_CHARS = 1000
STATIC = ("index.html", "app.js", "style.css")


class BadRequest(ValueError):
    """A request's parameter is missing or malformed."""


def allowed_hosts_for(host: str, port: int) -> list[str]:
    """The ``Host`` values a server bound to ``host``:``port`` answers: the loopback's names, and
    the address it was bound to when that is another."""
    names = list(LOOPBACK_HOSTS)
    if host not in names and host not in ("0.0.0.0", "::"):
        names.append(f"[{host}]" if ":" in host else host)
    return [f"{name}:{port}" for name in names] + names


class Gate:
    """ASGI middleware: the Host, Origin, token and body-size checks of every request."""

    def __init__(self, app: ASGIApp, *, allowed_hosts: Iterable[str], token: str | None) -> None:
        self.app = app
        self.allowed_hosts = frozenset(host.lower() for host in allowed_hosts)
        self.token = token

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {key.decode("latin-1").lower(): value.decode("latin-1") for key, value in scope["headers"]}
        refusal = self._refusal(scope, headers)
        if refusal is not None:
            await refusal(scope, receive, send)
            return
        length = headers.get("content-length", "0")
        if not length.isdigit() or int(length) > MAX_BODY_BYTES:
            await _error(413, f"a request body holds at most {MAX_BODY_BYTES} bytes")(scope, receive, send)
            return
        await self.app(scope, _bounded_body(receive), send)

    def _refusal(self, scope: Scope, headers: dict[str, str]) -> Response | None:
        host = headers.get("host", "").lower()
        if host not in self.allowed_hosts:
            return _error(403, f"this server does not answer for host {host!r}")
        origin = headers.get("origin")
        if origin is not None and not (origin.lower().startswith("http://")
                                       and origin.lower()[len("http://"):] in self.allowed_hosts):
            return _error(403, f"requests from {origin!r} are not allowed")
        if self.token is not None and not _is_page(scope["path"]):
            offered = headers.get("authorization", "")
            if not hmac.compare_digest(offered.encode(), f"Bearer {self.token}".encode()):
                return _error(401, "this server needs `Authorization: Bearer TOKEN` (the token it was started with)")
        return None


def _is_page(path: str) -> bool:
    return path == "/" or path.startswith("/static/")


def _bounded_body(receive: Receive) -> Receive:
    """``receive``, ending a body (one sent without a length, say) that grows past MAX_BODY_BYTES."""
    seen = 0

    async def bounded() -> dict[str, Any]:
        nonlocal seen
        message = await receive()
        if message["type"] == "http.request":
            seen += len(message.get("body", b""))
            if seen > MAX_BODY_BYTES:
                raise HTTPException(413, f"a request body holds at most {MAX_BODY_BYTES} bytes")
        return message

    return bounded


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status)


def _json(content: Any) -> Response:
    return Response(orjson.dumps(content), media_type="application/json")


# ---------------------------------------------------------------- parameters

def _text(request: Request, name: str, *, required: bool = True, limit: int = MAX_QUERY_CHARS) -> str | None:
    value = request.query_params.get(name)
    if value is None or value == "":
        if required:
            raise BadRequest(f"the parameter {name!r} is missing")
        return None
    if len(value) > limit:
        raise BadRequest(f"{name!r} holds at most {limit} characters")
    return value


def _number(request: Request, name: str, default: int | None) -> int | None:
    value = request.query_params.get(name)
    if value is None or value == "":
        return default
    try:
        return int(value)
    except ValueError:
        raise BadRequest(f"{name!r} must be a whole number, not {value!r}") from None


def _flag(request: Request, name: str) -> bool:
    value = request.query_params.get(name, "").lower()
    if value in ("", "0", "false", "no"):
        return False
    if value in ("1", "true", "yes"):
        return True
    raise BadRequest(f"{name!r} must be 1 or 0, not {value!r}")


def _globs(request: Request) -> list[str] | None:
    globs = [glob for glob in request.query_params.getlist("path") if glob]
    if any(len(glob) > MAX_QUERY_CHARS for glob in globs) or len(globs) > 32:
        raise BadRequest(f"at most 32 path globs of {MAX_QUERY_CHARS} characters each")
    return globs or None


def _types(request: Request) -> list[str]:
    types = [name for name in request.query_params.getlist("type") if name]
    if len(types) > 32 or any(len(name) > 64 for name in types):
        raise BadRequest("at most 32 types")
    return types


# ---------------------------------------------------------------- endpoints

def _endpoints(library: Library) -> list[Route]:
    def search(request: Request) -> dict[str, Any]:
        started = time.perf_counter()
        hits = library.search(_text(request, "q"), k=_number(request, "k", 10), path_glob=_globs(request),
                              files=_flag(request, "files"), repository=_text(request, "repository", required=False),
                              language=_text(request, "lang", required=False))
        return {"hits": [shapes.hit(hit) for hit in hits], "took_ms": round((time.perf_counter() - started) * 1e3, 3),
                "several": library.several}

    def symbols(kind: str) -> Callable[[Request], dict[str, Any]]:
        look_up, shape = (library.definitions, shapes.definition) if kind == "definitions" \
            else (library.references, shapes.reference)

        def answer(request: Request) -> dict[str, Any]:
            found = look_up(_text(request, "name"), ignore_case=_flag(request, "ignore_case"),
                            path_glob=_globs(request), repository=_text(request, "repository", required=False),
                            limit=_number(request, "limit", 1000))
            return {kind: [shape(repository, item) for repository, item in found]}
        return answer

    def grep(request: Request) -> dict[str, Any]:
        started = time.perf_counter()
        context = _number(request, "context", 0)
        if context is None or not 0 <= context <= 100:
            raise BadRequest("'context' is 0 to 100 lines")
        case = request.query_params.get("case", "sensitive")
        if case not in ("sensitive", "insensitive", "smart"):
            raise BadRequest("'case' is sensitive, insensitive or smart")
        try:
            found, truncated = library.grep(
                _text(request, "q"), fixed=_flag(request, "fixed"), case=case, word=_flag(request, "word"),
                path_glob=_globs(request) or (), types=_types(request), context=context,
                mode="files" if _flag(request, "files") else "lines",
                repository=_text(request, "repository", required=False), limit=_number(request, "limit", 1000))
        except PatternError as error:
            raise BadRequest(str(error)) from None
        return {"files": [shapes.grep_file(repository, file) for repository, file in found], "truncated": truncated,
                "took_ms": round((time.perf_counter() - started) * 1e3, 3)}

    def file(request: Request) -> dict[str, Any]:
        return shapes.file_lines(library.read(_text(request, "repository", required=False),
                                              _text(request, "path", limit=4096), _number(request, "first", 1),
                                              _number(request, "last", None)))

    def status(request: Request) -> dict[str, Any]:
        return {"repositories": [shapes.status(name, now, watching=library.watching,
                                               last_error=library.repositories[name].last_error)
                                 for name, now in library.status(_text(request, "repository", required=False))]}

    def health(request: Request) -> dict[str, Any]:
        return {"ok": True, "repositories": sorted(library.repositories)}

    async def update(request: Request) -> Response:
        body = await request.body()
        try:
            asked = orjson.loads(body) if body.strip() else {}
        except orjson.JSONDecodeError as error:
            raise BadRequest(f"the body is no JSON: {error}") from None
        if not isinstance(asked, dict) or not isinstance(asked.get("repository", ""), (str, type(None))):
            raise BadRequest('the body is a JSON object, {"repository": NAME} or {}')
        counts = await asyncio.to_thread(library.update, asked.get("repository"))
        return _json({"updated": [shapes.update_counts(name, c) for name, c in counts.items()]})

    def threaded(answer: Callable[[Request], dict[str, Any]]) -> Callable[[Request], Any]:
        async def endpoint(request: Request) -> Response:  # off the event loop: an update may run beside
            return _json(await asyncio.to_thread(answer, request))
        return endpoint

    return [Route("/api/search", threaded(search)), Route("/api/definitions", threaded(symbols("definitions"))),
            Route("/api/references", threaded(symbols("references"))), Route("/api/file", threaded(file)),
            Route("/api/grep", threaded(grep)),
            Route("/api/status", threaded(status)), Route("/api/health", threaded(health)),
            Route("/api/update", update, methods=["POST"])]


def _page_routes() -> list[Route]:
    folder = resources.files("vorpaline.server") / "static"

    def serve(name: str) -> Callable[[Request], Response]:
        async def endpoint(request: Request) -> Response:
            with resources.as_file(folder / name) as path:
                return FileResponse(path, headers={"Cache-Control": "no-cache",
                                                   "Content-Security-Policy": "default-src 'self'"})
        return endpoint

    return [Route("/", serve("index.html"))] + [Route(f"/static/{name}", serve(name)) for name in STATIC]


async def _on_error(request: Request, error: Exception) -> Response:
    if isinstance(error, HTTPException):
        return _error(error.status_code, error.detail or "")
    if isinstance(error, NotServed):
        return _error(404, str(error))
    if isinstance(error, (BadRequest, ValueError, TypeError)):
        return _error(400, str(error))
    log.exception("answering %s failed", request.url.path)
    return _error(500, "internal error")


def build_app(library: Library, *, allowed_hosts: Iterable[str] = allowed_hosts_for("127.0.0.1", 7900),
              token: str | None = None, mcp: Any = None, watch: bool = True) -> ASGIApp:
    """The server's ASGI app; with ``mcp`` (the SDK's server), its tools at ``/mcp``."""
    allowed_hosts = list(allowed_hosts)
    routes: list[Any] = [*_endpoints(library), *_page_routes()]
    if mcp is not None:
        from mcp.server.transport_security import TransportSecuritySettings

        # The gate checks Host and Origin already; the transport is told the same names.
        security = TransportSecuritySettings(allowed_hosts=allowed_hosts,
                                             allowed_origins=[f"http://{host}" for host in allowed_hosts])
        routes.append(Mount("/mcp", app=mcp.streamable_http_app(streamable_http_path="/", transport_security=security)))

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        async with contextlib.AsyncExitStack() as stack:
            if mcp is not None:
                await stack.enter_async_context(mcp.session_manager.run())
            watching = asyncio.create_task(library.watch()) if watch else None
            try:
                yield
            finally:
                if watching is not None:
                    watching.cancel()
                    with contextlib.suppress(asyncio.CancelledError):
                        await watching

    app = Starlette(routes=routes, lifespan=lifespan,
                    exception_handlers={error: _on_error for error in (
                        HTTPException, NotServed, ValueError, TypeError, Exception)})
    return Gate(app, allowed_hosts=allowed_hosts, token=token)
