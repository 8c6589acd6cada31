"""What a search returns: hits with their snippets, and the definitions and references of a name.

A search's backend finds rows (a score, a chunk's place, its file's roles and definitions); the
rows become ``Hit`` records here, each with the line that best matches the query and its chunk's
best lines as its snippet, whether the chunk's lines came from the file or from a store.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, NamedTuple, TypeAlias

from vorpaline.search import snippets
from vorpaline.search.native import loads
from vorpaline.search.path_filters import path_filter, str_list

__all__ = ["Definition", "Found", "Hit", "PathGlobs", "Reference", "Row", "best_hit_of_each_file", "best_of_each_file", "definitions_among",
           "hits_of_chunks", "hits_with_snippets", "path_matcher", "planned_hits", "references_among"]

# ripgrep's -g globs: one, or several in order (the last that matches decides); None for every path.
PathGlobs: TypeAlias = "str | Sequence[str] | None"


def path_matcher(path_glob: PathGlobs) -> Callable[[str | None], bool] | None:
    """Whether a path is kept by ``path_glob``, read as ripgrep reads ``-g`` globs given in that order
    (vorpaline.search.path_filters); None for no glob."""
    return None if path_glob is None else path_filter(str_list(path_glob, "path_glob"))


class Hit(NamedTuple):
    path: str | None  # the file of a repository chunk; None for an application's document
    start_line: int
    end_line: int
    score: float
    snippet: str
    id: str | None = None  # the application's id of the document
    repository: str | None = None  # the repository of a chunk found in a shared store
    # The file changed since it was indexed: the lines shown are the file's now, the score and
    # the line range the index's; `vorpaline index` brings them together again.
    stale: bool = False
    line: int = 0  # the line that best matches the query (0 when the chunk has no lines to show)
    snippet_line: int = 0  # the snippet's first line
    roles: tuple[str, ...] = ()  # of its file: "test", "documentation", "changelog", ...
    definitions: tuple[Definition, ...] = ()  # the names the chunk defines, where a parser read its file
    metadata: dict[str, str] | None = None  # an application's document's, as it was added with it


class Definition(NamedTuple):
    """A name a file defines, as its language's parser found it."""

    name: str
    kind: str  # "function", "method", "class", "constant", "module", "interface", "type", ...
    path: str
    line: int  # of the name
    first_line: int  # the whole definition
    last_line: int
    scope: str  # the enclosing definitions' names, dotted; "" at the top level


class Reference(NamedTuple):
    """A use of a name (a call, say) where its file's parser marks one."""

    name: str
    kind: str  # "call", "class", "type", "implementation", ...
    path: str
    line: int


class Row(NamedTuple):
    """A hit before its snippet."""

    score: float
    path: str | None
    first: int
    last: int
    id: str | None
    repository: str | None
    roles: tuple[str, ...] = ()
    definitions: tuple[Definition, ...] = ()
    metadata: dict[str, str] | None = None


class Found(NamedTuple):
    """A document as the core's search replies: its score, metadata, roles and symbols."""

    score: float
    metadata: list[Any]
    roles: int
    symbols: dict[str, Any]

    @classmethod
    def of(cls, item: dict[str, Any]) -> Found:
        return cls(item["score"], loads(item["metadata"]), item.get("roles", 0),
                   loads(item["symbols"]) if item.get("symbols") else {})

    def definitions(self) -> tuple[Definition, ...]:
        path = self.metadata[0]
        return tuple(Definition(d[0], d[1], path, d[2], d[3], d[4], d[5]) for d in self.symbols.get("d", ()))


def best_of_each_file(found: list[Found]) -> list[Found]:
    """Each file's best chunk, in order: files ranked by their best chunks."""
    seen: set[str] = set()
    best = []
    for hit in found:
        path = hit.metadata[0]
        if path not in seen:
            seen.add(path)
            best.append(hit)
    return best


def best_hit_of_each_file(hits: list[Hit]) -> list[Hit]:
    """Each file's best hit, in order."""
    seen: set[str | None] = set()
    best = []
    for hit in hits:
        if hit.path not in seen:
            seen.add(hit.path)
            best.append(hit)
    return best


def _same_name(found: str, name: str, ignore_case: bool) -> bool:
    return found == name or ignore_case and found.casefold() == name.casefold()


def _sorted_in(found: list[Any], path_glob: PathGlobs) -> list[Any]:
    matches = path_matcher(path_glob)
    kept = {item for item in found if matches is None or matches(item.path)}
    return sorted(kept, key=lambda item: (item.path, item.line, item.name, item.kind))


def definitions_among(candidates: Sequence[Found], name: str, ignore_case: bool,
                      path_glob: PathGlobs) -> list[Definition]:
    """The definitions of ``name`` the candidate documents' symbols hold, in path and line order."""
    found = [Definition(item[0], item[1], candidate.metadata[0], item[2], item[3], item[4], item[5])
             for candidate in candidates for item in candidate.symbols.get("d", ())
             if _same_name(item[0], name, ignore_case)]
    return _sorted_in(found, path_glob)


def references_among(candidates: Sequence[Found], name: str, ignore_case: bool,
                     path_glob: PathGlobs) -> list[Reference]:
    """The uses of ``name`` the candidate documents' symbols hold, in path and line order."""
    found = [Reference(item[0], item[1], candidate.metadata[0], item[2])
             for candidate in candidates for item in candidate.symbols.get("r", ())
             if _same_name(item[0], name, ignore_case)]
    return _sorted_in(found, path_glob)


def planned_hits(found: Sequence[Row | tuple[Any, ...]], chunks: Sequence[list[str]], terms: frozenset[int],
                 profile_json: str, plan: Any, *, stale: Sequence[bool] | None = None) -> list[Hit]:
    """``hits_with_snippets`` of the rows whose chunks pass ``plan`` (a query_language.SearchPlan),
    each showing the line it matched (a pattern's, a phrase's, a definition's) where the plan names one."""
    if plan is None or not plan.filters_rows:
        return hits_with_snippets(found, chunks, terms, profile_json, stale=stale)
    kept_rows, kept_chunks, kept_stale, reported = [], [], [], []
    for number, (row, lines) in enumerate(zip(found, chunks)):
        row = Row(*row)
        if not plan.accepts_row(row.roles, row.definitions):
            continue
        passes, offset = plan.reported_line(lines, row.definitions, row.first)
        if passes:
            kept_rows.append(row)
            kept_chunks.append(lines)
            kept_stale.append(bool(stale and stale[number]))
            reported.append(offset)
    return hits_with_snippets(kept_rows, kept_chunks, terms, profile_json, stale=kept_stale, reported=reported)


def hits_of_chunks(found: Sequence[Row], chunks: Sequence[dict[str, Any]], terms: frozenset[int],
                   profile_json: str, plan: Any, root: str) -> list[Hit]:
    """``planned_hits`` of rows whose chunks the core reads (snippets.chosen_lines: files below
    ``root`` as they are now, or the texts given); a row whose file is gone, or is no longer a
    regular file, is left out."""
    if plan is None or not plan.filters_rows:
        chosen = snippets.chosen_lines([_with_definitions(chunk, row) for row, chunk in zip(found, chunks)],
                                       terms, profile_json, root=root)
        return [_hit(row, shown) for row, shown in zip(found, chosen) if not shown.get("gone")]
    # The plan reads each chunk's lines: they are read here, and only the chunks kept are tokenised.
    accepted = [(row, chunk) for row, chunk in zip(found, chunks) if plan.accepts_row(row.roles, row.definitions)]
    read = snippets.chosen_lines([chunk for _, chunk in accepted], terms, profile_json, root=root,
                                 snippets=False, lines=True)
    now = [(row, shown) for (row, _), shown in zip(accepted, read) if not shown.get("gone")]
    return planned_hits([row for row, _ in now], [shown["lines"] for _, shown in now], terms, profile_json, plan,
                        stale=[shown["stale"] for _, shown in now])


def hits_with_snippets(found: Sequence[Row | tuple[Any, ...]], chunks: Sequence[list[str]], terms: frozenset[int],
                       profile_json: str, *, stale: Sequence[bool] | None = None,
                       reported: Sequence[int | None] | None = None) -> list[Hit]:
    """Hits of rows (score, path, first line, last line, id, repository[, roles, definitions, metadata]), each
    with the line that best matches the query and its chunk's best lines as its snippet, chosen by the
    core in one call for all the chunks. Where ``reported`` gives a line's offset, that line is the
    hit's and its snippet starts there."""
    rows = [Row(*row) for row in found]
    forced = [reported[number] if reported else None for number in range(len(rows))]
    forced = [offset if offset is not None and 0 <= offset < len(lines) else None
              for offset, lines in zip(forced, chunks)]
    chosen = iter(snippets.chosen_lines([_with_definitions({"lines": lines}, row)
                                         for row, lines, offset in zip(rows, chunks, forced) if offset is None],
                                        terms, profile_json))
    hits = []
    for number, (row, lines, offset) in enumerate(zip(rows, chunks, forced)):
        if offset is None:
            shown = next(chosen)
        else:
            shown = {"count": len(lines), "best": offset, "start": offset,
                     "snippet": "\n".join(snippets.trimmed(lines[offset:offset + 3]))}
        hits.append(_hit(row, {**shown, "stale": bool(stale and stale[number])}))
    return hits


def _with_definitions(chunk: dict[str, Any], row: Row) -> dict[str, Any]:
    """The chunk with the offsets of the lines where its row defines a name."""
    if row.definitions:
        chunk["defined_at"] = sorted({d.line - row.first for d in row.definitions})
    return chunk


def _hit(row: Row, shown: dict[str, Any]) -> Hit:
    """The hit of a row with its lines as snippets.chosen_lines shows them."""
    lines = shown["count"] > 0
    return Hit(row.path, row.first, row.last, row.score, shown["snippet"], row.id, row.repository, shown["stale"],
               row.first + shown["best"] if lines else 0, row.first + shown["start"] if lines else 0,
               row.roles, row.definitions, row.metadata)
