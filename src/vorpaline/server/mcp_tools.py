"""The MCP server: a ``Library``'s search, look-ups and reading as tools a coding agent calls.

Answers are compact, for a model's context: a hit is its repository (when several are served),
``path:LINE``, its score, the names its chunk defines and its best few lines, numbered; ``search``
takes a budget of tokens and drops hits from the end to keep within it. A bad argument or a file
not served is a tool error saying why; nothing else of the server's insides reaches the client.
"""

from __future__ import annotations

import contextlib
import logging
from collections.abc import AsyncIterator, Callable
from typing import Any, TypeVar

from mcp.server.mcpserver import MCPServer
from mcp.server.mcpserver.exceptions import ToolError

from vorpaline import __version__
from vorpaline.server import shapes
from vorpaline.server.library import Library, NotServed

__all__ = ["build_mcp"]

log = logging.getLogger("vorpaline.server")

LINES_PER_HIT = 3
MAX_LINE_CHARS = 200
CHARS_PER_TOKEN = 4  # a rough rule for code and English alike
MAX_LISTED = 200  # definitions or references one answer lists
MAX_READ_LINES = 400  # lines one read gives an agent; it asks for the next range

INSTRUCTIONS = (
    "Code search over the repositories this server was started on. Use `search` with words or identifiers "
    "to find where something is implemented (it ranks code by BM25F over text, defined names and paths); "
    "`definitions` and `references` for a known name; `read` to see a file's lines (only files of a served "
    "repository); `status` to see how fresh the index is; `update` after large changes (files are watched).")

T = TypeVar("T")


def _answered(call: Callable[[], T]) -> T:
    try:
        return call()
    except (NotServed, ValueError, TypeError) as error:
        raise ToolError(str(error)) from None
    except Exception:
        log.exception("a tool failed")
        raise ToolError("internal error") from None


def _cut(line: str) -> str:
    return line if len(line) <= MAX_LINE_CHARS else line[:MAX_LINE_CHARS - 1] + "…"


def compact_hit(hit: dict[str, Any], several: bool) -> dict[str, Any]:
    """A hit as an agent reads it: where, how good, what it defines, its best lines."""
    start = hit["line"] - hit["snippet_line"] if hit["snippet"] else 0
    shown = hit["snippet"][start:start + LINES_PER_HIT] if 0 <= start < len(hit["snippet"]) else hit["snippet"][:3]
    first = hit["snippet_line"] + max(start, 0)
    compact = {"at": f"{hit['path']}:{hit['line']}", "score": round(hit["score"], 2),
               "lines": [f"{first + offset}: {_cut(line)}" for offset, line in enumerate(shown)]}
    if several:
        compact["repository"] = hit["repository"]
    if hit["definitions"]:
        compact["defines"] = [f"{d['kind']} {d['name']}" for d in hit["definitions"][:5]]
    if hit["roles"]:
        compact["roles"] = hit["roles"]
    if hit["stale"]:
        compact["stale"] = True
    return compact


def within_budget(hits: list[dict[str, Any]], max_tokens: int | None) -> tuple[list[dict[str, Any]], int]:
    """The hits that fit ``max_tokens`` (estimated from their JSON's length), and how many were left out."""
    if max_tokens is None:
        return hits, 0
    if max_tokens < 1:
        raise ValueError("max_tokens must be at least 1")
    import orjson

    kept, used = [], 0
    for hit in hits:
        used += len(orjson.dumps(hit)) // CHARS_PER_TOKEN + 1
        if used > max_tokens:
            break
        kept.append(hit)
    return kept, len(hits) - len(kept)


def build_mcp(library: Library, *, watch: bool = True) -> MCPServer:
    """The MCP server over ``library``; with ``watch``, its lifespan keeps the indexes fresh."""

    @contextlib.asynccontextmanager
    async def lifespan(server: MCPServer) -> AsyncIterator[None]:
        import asyncio

        watching = asyncio.create_task(library.watch()) if watch else None
        try:
            yield
        finally:
            if watching is not None:
                watching.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await watching

    server = MCPServer("vorpaline", version=__version__, instructions=INSTRUCTIONS, lifespan=lifespan)

    @server.tool()
    def search(query: str, k: int = 10, path: str | list[str] | None = None, files: bool = False,
               repository: str | None = None, language: str | None = None,
               max_tokens: int | None = None) -> dict[str, Any]:
        """Search the code for QUERY (words, identifiers or both) and return the best chunks: each with
        `at` (path:LINE of its best line), its score, the names it defines and its best lines, numbered.
        `path` keeps files matching a glob (or any of several), `language` files of one type ("python",
        "cpp", "markdown"...), `files` ranks files (each by its best chunk), `max_tokens` cuts the answer
        to about that many tokens."""
        def answer() -> dict[str, Any]:
            found = library.search(query, k=k, path_glob=path, files=files, repository=repository,
                                   language=language)
            hits, left_out = within_budget([compact_hit(shapes.hit(hit), library.several) for hit in found],
                                           max_tokens)
            reply: dict[str, Any] = {"hits": hits}
            if left_out:
                reply["left_out"] = f"{left_out} more hits left out to stay within max_tokens"
            return reply
        return _answered(answer)

    def listed(kind: str, items: list[dict[str, Any]]) -> dict[str, Any]:
        lines = [f"{item['repository'] + ': ' if library.several else ''}{item['path']}:{item['line']}: "
                 f"{item['kind']}{' ' + item['scope'] if item.get('scope') else ''}" for item in items[:MAX_LISTED]]
        reply: dict[str, Any] = {kind: lines}
        if len(items) > MAX_LISTED:
            reply["left_out"] = f"{len(items) - MAX_LISTED} more; narrow with `path`"
        return reply

    @server.tool()
    def definitions(name: str, ignore_case: bool = False, path: str | list[str] | None = None,
                    repository: str | None = None) -> dict[str, Any]:
        """Where NAME (a function, class, method, constant...) is defined: `path:LINE: kind scope` lines, in
        path order, from the files' parsers (Python, C, C++, JavaScript, TypeScript, Go, Rust, Java, Ruby)."""
        return _answered(lambda: listed("definitions", [shapes.definition(repo, d) for repo, d in library.definitions(
            name, ignore_case=ignore_case, path_glob=path, repository=repository)]))

    @server.tool()
    def references(name: str, ignore_case: bool = False, path: str | list[str] | None = None,
                   repository: str | None = None) -> dict[str, Any]:
        """Where NAME is used (called, instantiated, named as a type): `path:LINE: kind` lines, in path order."""
        return _answered(lambda: listed("references", [shapes.reference(repo, r) for repo, r in library.references(
            name, ignore_case=ignore_case, path_glob=path, repository=repository)]))

    @server.tool()
    def read(path: str, first: int = 1, last: int | None = None, repository: str | None = None) -> str:
        """Lines FIRST to LAST (1-based, inclusive) of a file of a served repository, numbered, as the file
        is now; at most 400 lines per call. PATH is relative to the repository's root, as search prints it."""
        def answer() -> str:
            capped = first + MAX_READ_LINES - 1 if last is None else min(last, first + MAX_READ_LINES - 1)
            lines = library.read(repository, path, first, capped)
            body = "\n".join(f"{lines.first + offset}: {line}" for offset, line in enumerate(lines.lines))
            more = f"\n(lines {lines.last + 1}-{lines.total} follow)" if lines.last < lines.total else ""
            return f"{lines.path} (lines {lines.first}-{lines.last} of {lines.total})\n{body}{more}"
        return _answered(answer)

    @server.tool()
    def status(repository: str | None = None) -> dict[str, Any]:
        """What each served repository's index holds (files, chunks, when it last changed) and which files
        changed since (the watch updates them within about a second)."""
        return _answered(lambda: {"repositories": [
            shapes.status(name, now, watching=library.watching, last_error=library.repositories[name].last_error)
            for name, now in library.status(repository)]})

    @server.tool()
    def update(repository: str | None = None) -> dict[str, Any]:
        """Bring the index up to date with the files now (files are watched; this is for when that is off)."""
        return _answered(lambda: {"updated": [shapes.update_counts(name, counts)
                                              for name, counts in library.update(repository).items()]})

    return server
