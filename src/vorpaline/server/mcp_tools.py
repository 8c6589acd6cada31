"""The MCP server: a library's search, symbols, files and status as tools for a coding agent.

Each tool answers twice over: text an agent reads (compact, every place as ``path:LINE`` so it
can be opened at once) and structured content built from ``shapes``' records. Answers are
capped, and say what they left out, so no call floods an agent's context. Failures an agent can
correct (a repository or file not served, a bad argument) come back as tool errors with their
message; anything else as "internal error", its detail logged.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import logging
import time
from collections.abc import AsyncIterator, Callable
from typing import Annotated, Any

from mcp.server.mcpserver import MCPServer
from mcp_types import CallToolResult, TextContent, ToolAnnotations
from pydantic import Field

from vorpaline.search import snippets
from vorpaline.server import shapes
from vorpaline.server.library import MAX_RESULTS, Library, NotServed

__all__ = ["build_mcp"]

log = logging.getLogger("vorpaline.server")

HIT_LINES = 3  # of a hit's snippet shown
LINE_CHARS = 200  # of each line a hit shows
HIT_DEFINITIONS = 8  # names a hit lists of those its chunk defines
CHARS_PER_TOKEN = 4  # how max_tokens is estimated
LEFT_OUT_NOTE_CHARS = 80  # the most the note of hits left out takes
MAX_SYMBOLS = 100  # definitions or references one answer lists
MAX_READ_LINES = 500  # lines one read shows
MAX_READ_CHARS = 60_000  # of text one read shows

# A tool answers with text and structured content, both of its own making.
Answer = Annotated[CallToolResult, dict[str, Any]]

Repository = Annotated[str | None, Field(
    description="Only this served repository (its name as status lists it); default: all of them.")]
PathGlobs = Annotated[str | list[str] | None, Field(
    description="Only files these globs keep, read as ripgrep's -g globs in order: '*.py' (a name at any "
                "depth), 'src/**/*.py' (with a '/': from the root; '*' stays within a folder), '!tests' "
                "(leaves out any folder tests); the last glob that matches decides.")]

INSTRUCTIONS = """\
Code search over the repositories this server serves, kept up to date as their files change.
Start with `search` (words, identifiers or a question: ranked chunks as path:LINE with their best
lines), then `read` the lines around a hit. `grep` finds every line matching a regular expression
or an exact text, as ripgrep would. `definitions` finds where a name is defined and
`references` where it is used, exactly and at once. `status` says what is indexed; `update`
re-reads changed files now (normally not needed: the server watches the files)."""


def build_mcp(library: Library, *, watch: bool = True) -> MCPServer[Any]:
    """The MCP server of ``library``: its tools, and with ``watch`` a lifespan that keeps it fresh."""
    server: MCPServer[Any] = MCPServer("vorpaline", instructions=INSTRUCTIONS,
                                       lifespan=(lambda _: _watching(library)) if watch else None)
    tools = _Tools(library)
    reading = ToolAnnotations(read_only_hint=True, open_world_hint=False)
    for tool in (tools.search, tools.grep, tools.definitions, tools.references, tools.read, tools.status):
        server.add_tool(_answering(tool), annotations=reading)
    server.add_tool(_answering(tools.update),
                    annotations=ToolAnnotations(read_only_hint=False, destructive_hint=False, idempotent_hint=True,
                                                open_world_hint=False))
    return server


@contextlib.asynccontextmanager
async def _watching(library: Library) -> AsyncIterator[None]:
    watch = asyncio.create_task(library.watch())  # its first updates run beside it, answers start at once
    watch.add_done_callback(_report_watch_end)
    try:
        yield
    finally:
        watch.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await watch


def _report_watch_end(task: asyncio.Task[None]) -> None:
    if not task.cancelled() and task.exception() is not None:
        log.error("the watch stopped: the index is no longer kept up to date", exc_info=task.exception())


def _answering(tool: Callable[..., CallToolResult]) -> Callable[..., CallToolResult]:
    """``tool`` with its failures as tool errors: the message of one a caller can correct, or
    "internal error" (the detail goes to the log, never to the caller)."""
    @functools.wraps(tool)
    def answer(**arguments: Any) -> CallToolResult:
        try:
            return tool(**arguments)
        except (NotServed, ValueError) as error:
            return _error(str(error))
        except Exception:
            log.exception("the %s tool failed", tool.__name__)
            return _error("internal error")

    return answer


def _error(message: str) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=message)], is_error=True)


def _answer(text: str, structured: dict[str, Any]) -> CallToolResult:
    return CallToolResult(content=[TextContent(type="text", text=text)], structured_content=structured)


QUERY_DESCRIPTION = ('Words, identifiers or a question, as you would grep or ask. "an exact phrase" must appear '
                     'as typed; -word and -"a phrase" leave out chunks holding them; path:GLOB and -path:GLOB, '
                     'lang:python (or type:py), def:NAME narrow it. A word with a capital inside (getUser) '
                     'matches that case.')


class _Tools:
    """The tools, each a method whose signature is its input schema and whose docstring the agent reads."""

    def __init__(self, library: Library) -> None:
        self.library = library

    def search(self,
               query: Annotated[str, Field(description=QUERY_DESCRIPTION)],
               k: Annotated[int, Field(ge=1, le=MAX_RESULTS, description="How many hits at most.")] = 10,
               path: PathGlobs = None,
               files: Annotated[bool, Field(description="Rank files instead of chunks: each file once, by its "
                                                        "best chunk.")] = False,
               repository: Repository = None,
               language: Annotated[str | None, Field(description="Only files of this type: 'python', 'cpp', 'c', "
                                                                 "'javascript', 'typescript', 'go', 'rust', "
                                                                 "'java', 'markdown', ...")] = None,
               max_tokens: Annotated[int | None, Field(ge=1, description="Keep the answer within about this many "
                                                                         "tokens: the last hits are left out.")] = None,
               ) -> Answer:
        """Ranked code search (BM25 over code-aware tokens) of the served repositories. Use it first to find
        where something is implemented, configured, tested or documented: give identifiers, words or a question.
        Each hit is path:LINE (the line that matches best), its score, the names its chunk defines and its best
        lines, numbered. Then `read` around a hit; for every definition or use of one exact name, use
        `definitions` or `references` instead."""
        found = self.library.search(query, k=k, path_glob=path, files=files, repository=repository,
                                    language=language)
        hits = [_compact_hit(shapes.hit(hit), self.library.several) for hit in found]
        shown = [_hit_text(hit) for hit in hits]
        kept = len(hits) if max_tokens is None else _fitting(shown, max_tokens * CHARS_PER_TOKEN)
        text = "\n\n".join(shown[:kept])
        if kept < len(hits):
            text += ("\n\n" if kept else "") + f"({len(hits) - kept} more hits left out to keep within " \
                                               f"max_tokens={max_tokens})"
        elif not hits:
            text = f"no hits for {query!r}{self._still_updating()}"
        return _answer(text, {"hits": hits[:kept], "left_out": len(hits) - kept})

    def grep(self,
             pattern: Annotated[str, Field(description="A regular expression in ripgrep's syntax (or, with fixed, "
                                                       "a literal text).")],
             fixed: Annotated[bool, Field(description="Take the pattern as a literal text.")] = False,
             ignore_case: Annotated[bool, Field(description="Ignore case.")] = False,
             word: Annotated[bool, Field(description="Only whole-word matches.")] = False,
             path: PathGlobs = None,
             context: Annotated[int, Field(ge=0, le=20, description="Lines shown before and after each "
                                                                    "match.")] = 0,
             max_lines: Annotated[int, Field(ge=1, le=MAX_RESULTS, description="Matching lines at most.")] = 100,
             repository: Repository = None,
             max_tokens: Annotated[int | None, Field(ge=1, description="Keep the answer within about this many "
                                                                       "tokens.")] = None,
             ) -> Answer:
        """Every line matching a regular expression or an exact text in the served repositories, as ripgrep
        finds them (ignored files left out), as the files are now, answered from a trigram index. Use it for
        exhaustive answers: every use of a string, an error message, a pattern such as `def test_\\w+`.
        Each line is path:LINE:text (context lines path-LINE-text), by path."""
        found, truncated = self.library.grep(pattern, fixed=fixed, case="insensitive" if ignore_case else "sensitive",
                                             word=word, path_glob=path or (), context=context,
                                             repository=repository, limit=max_lines)
        several = self.library.several
        lines = []
        for name, file in found:
            place = f"{name}:{file.path}" if several else file.path
            for line in file.lines:
                text = line.text.decode("utf-8", "replace").removesuffix("\n")[:LINE_CHARS]
                mark = ":" if line.is_match else "-"
                lines.append(snippets.printable(f"{place}{mark}{line.number}{mark}{text}"))
        budget = None if max_tokens is None else max_tokens * CHARS_PER_TOKEN
        kept = _within(lines, budget) if budget is not None else lines
        text = "\n".join(kept)
        if truncated or len(kept) < len(lines):
            text += f"\n(more matching lines left out: narrow with path, or raise max_lines)"
        elif not lines:
            text = f"no line matches {pattern!r}"
        return _answer(text, {"files": [shapes.grep_file(name, file) for name, file in found],
                              "truncated": truncated or len(kept) < len(lines)})

    def definitions(self,
                    name: Annotated[str, Field(description="The exact name: a function, class, method, "
                                                           "constant, type...")],
                    ignore_case: bool = False, path: PathGlobs = None, repository: Repository = None) -> Answer:
        """Where a name is defined, as its language's parser found it: path:LINE kind scope (the enclosing
        definitions). Use it to jump to the definition of an identifier you know."""
        found = self.library.definitions(name, ignore_case=ignore_case, path_glob=path, repository=repository)
        return self._symbols("definitions", name, [shapes.definition(*item) for item in found])

    def references(self,
                   name: Annotated[str, Field(description="The exact name whose uses you want.")],
                   ignore_case: bool = False, path: PathGlobs = None, repository: Repository = None) -> Answer:
        """Where a name is used (calls, types, implementations...), as its language's parser marks them:
        path:LINE kind. Use it to find the callers of a function or the users of a type before changing it."""
        found = self.library.references(name, ignore_case=ignore_case, path_glob=path, repository=repository)
        return self._symbols("references", name, [shapes.reference(*item) for item in found])

    def _symbols(self, what: str, name: str, records: list[dict[str, Any]]) -> Answer:
        shown = records[:MAX_SYMBOLS]
        lines = [self._symbol_line(record) for record in shown]
        more = len(records) - len(shown)
        if more:
            # The library lists at most MAX_RESULTS: there may be more than it counted.
            lines.append(f"({more}{' or more' if len(records) == MAX_RESULTS else ''} more {what} not shown: "
                         "narrow with path or repository)")
        text = "\n".join(lines) or f"no {what} of {name!r} found{self._still_updating()}"
        return _answer(text, {what: shown, "more": more})

    def _symbol_line(self, record: dict[str, Any]) -> str:
        place = f"{record['repository']}:" if self.library.several else ""
        where = " ".join(part for part in (record["kind"], record.get("scope", "")) if part)
        return snippets.printable(f"{place}{record['path']}:{record['line']} {where}")

    def read(self,
             path: Annotated[str, Field(description="The file's path in its repository, as search shows it.")],
             repository: Annotated[str | None, Field(description="The file's repository; needed when several "
                                                                 "are served.")] = None,
             first: Annotated[int, Field(ge=1, description="The first line to show (from 1).")] = 1,
             last: Annotated[int | None, Field(ge=1, description="The last line to show; default: as many as "
                                                                 "one read shows.")] = None,
             ) -> Answer:
        """Lines of a file of a served repository as it is now, numbered: to look around a search hit or a
        definition. Only files the repository lists are read (not ignored ones such as .env, nor anything
        outside it or through a symbolic link). One read shows at most 500 lines; it says where to go on."""
        cap = first + MAX_READ_LINES - 1
        read = self.library.read(repository, path, first, cap if last is None else min(last, cap))
        lines = _within(read.lines, MAX_READ_CHARS)
        read = read._replace(last=read.first + len(lines) - 1, lines=lines)
        width = len(str(max(read.last, 1)))
        text = "\n".join(f"{read.first + offset:>{width}}: {line}" for offset, line in enumerate(lines))
        wanted_last = read.total if last is None else min(last, read.total)
        if read.last < wanted_last:
            text += f"\n(lines {read.first}-{read.last} of {read.total} shown: read on with first={read.last + 1})"
        elif not lines:
            text = f"{read.path} has {read.total} lines: none from line {read.first}"
        return _answer(text, shapes.file_lines(read))

    def status(self, repository: Repository = None) -> Answer:
        """What is indexed of each served repository: files, chunks, when it was last updated, the files that
        changed since (an update reads them), whether the files are watched, and the last update's error."""
        records = [shapes.status(name, now, watching=self.library.watching,
                                 last_error=self.library.repositories[name].last_error)
                   for name, now in self.library.status(repository)]
        return _answer("\n".join(_status_line(record) for record in records), {"repositories": records})

    def update(self, repository: Repository = None) -> Answer:
        """Bring the index up to date with the files now (only changed files are read again) and answer what
        changed. The server already updates soon after files change; use this when that must be certain, say
        right after writing files and before searching them."""
        records = [shapes.update_counts(name, counts) for name, counts in self.library.update(repository).items()]
        text = "\n".join(f"{r['repository']}: {r['indexed']} files indexed, {r['removed']} removed, "
                         f"{r['unchanged']} unchanged, {r['skipped']} skipped in {r['seconds']} s" for r in records)
        return _answer(text, {"repositories": records})

    def _still_updating(self) -> str:
        first_pending = self.library.watching and any(served.last_update is None and served.last_error is None
                                                      for served in self.library.repositories.values())
        return " (the index is still being brought up to date: ask again shortly)" if first_pending else ""


def _compact_hit(record: dict[str, Any], several: bool) -> dict[str, Any]:
    """A hit as an agent needs it: where, how good, what it defines and its best lines, each cut short."""
    compact: dict[str, Any] = {"repository": record["repository"]} if several else {}
    compact |= {"path": record["path"], "line": record["line"] or record["start_line"],
                "score": round(record["score"], 2),
                "definitions": [{"name": d["name"], "kind": d["kind"]} for d in record["definitions"][:HIT_DEFINITIONS]],
                "lines": [{"line": record["snippet_line"] + offset, "text": text[:LINE_CHARS]}
                          for offset, text in enumerate(record["snippet"][:HIT_LINES])]}
    if len(record["definitions"]) > HIT_DEFINITIONS:
        compact["more_definitions"] = len(record["definitions"]) - HIT_DEFINITIONS
    if record["stale"]:
        compact["stale"] = True  # the lines are the file's now; the line numbers may have moved
    return compact


def _hit_text(hit: dict[str, Any]) -> str:
    place = f"{hit['repository']}:" if "repository" in hit else ""
    header = f"{place}{hit['path']}:{hit['line']}  {hit['score']}"
    if hit["definitions"]:
        header += "  defines " + ", ".join(f"{d['name']} ({d['kind']})" for d in hit["definitions"])
        header += f" and {hit['more_definitions']} more" if "more_definitions" in hit else ""
    if "stale" in hit:
        header += "  (changed since indexed)"
    width = len(str(hit["lines"][-1]["line"])) if hit["lines"] else 0
    lines = [f"{line['line']:>{width}}: {line['text']}" for line in hit["lines"]]
    return "\n".join(snippets.printable(line) for line in [header, *lines])


def _fitting(texts: list[str], budget: int) -> int:
    """How many of ``texts``, from the first, fit in ``budget`` characters with their separators
    and, when some are left out, the note that says so."""
    used = 0
    for count, text in enumerate(texts):
        used += len(text) + (2 if count else 0)
        if used + (0 if count + 1 == len(texts) else LEFT_OUT_NOTE_CHARS) > budget:
            return count
    return len(texts)


def _within(lines: list[str], budget: int) -> list[str]:
    """The first of ``lines`` that fit in ``budget`` characters; at least the first, cut to fit."""
    kept: list[str] = []
    used = 0
    for line in lines:
        used += len(line) + 1
        if used > budget:
            return kept or [line[:budget] + f" ... (cut: the line has {len(line)} characters)"]
        kept.append(line)
    return kept


def _status_line(record: dict[str, Any]) -> str:
    updated = "never" if record["updated"] is None else time.strftime("%Y-%m-%d %H:%M:%S",
                                                                       time.localtime(record["updated"]))
    line = (f"{record['repository']}: {record['files']} files, {record['chunks']} chunks in {record['where']}, "
            f"updated {updated}; {record['stale_files']} files changed since"
            f"{', watched' if record['watching'] else ', not watched'}")
    if record["stale"]:
        line += ": " + ", ".join(record["stale"][:10]) + (" ..." if record["stale_files"] > 10 else "")
    lines = [line] + ([f"  the last update failed: {record['last_error']}"] if record["last_error"] else [])
    return "\n".join(snippets.printable(line) for line in lines)
