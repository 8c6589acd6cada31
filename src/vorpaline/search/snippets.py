"""The lines shown for a hit, and the text safety of what is printed.

``best_lines(lines, query_terms)`` picks the few lines of a chunk that hold
the most query terms, and ``highlight(line, query_terms)`` marks the
identifiers, or the parts of identifiers, that match. Terms are the core's
token indices, so a match here is a match in the index:
``getUserName`` matches the query ``user``.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Collection, Sequence
from functools import lru_cache
from typing import Any, TextIO


from vorpaline.search import native
from vorpaline.search.display import printable, quoted_name
from vorpaline.search.native import file_name, loads
from vorpaline.search.queries import CODE_PART, CODE_WORD, TERM_TEXTS

__all__ = ["best_line", "best_lines", "chosen_lines", "chunk_lines", "highlight", "lines_that_may_hold", "matching_spans", "printable",
           "quoted_name", "text_terms", "use_color"]

BOLD = "\033[1m"
BOLD_RED = "\033[1;31m"
RESET = "\033[0m"




def lines_that_may_hold(lines: Sequence[str], terms: frozenset[int]) -> list[bool]:
    """For each line, whether it may hold one of the query's ``terms``: a token of ASCII text is
    that text's characters in a row, lower-cased, so an ASCII line that holds none of the terms'
    texts holds none of them and needs no tokenising. Every line may, when a term's text is
    unknown (not seen by query_terms) or is not ASCII."""
    texts = [TERM_TEXTS.get(term) for term in terms]
    if any(text is None or not text.isascii() for text in texts):
        return [True] * len(lines)
    return [not line.isascii() or any(text in line.lower() for text in texts) for line in lines]


def text_terms(texts: Sequence[str], profile_json: str | None = None) -> list[frozenset[int]]:
    """The core's term indices of each text, in one call."""
    import vorpaline_core_py

    if not texts:
        return []
    reply = loads(vorpaline_core_py.sparse_embed_batch(json.dumps(list(texts)), profile_json or native.profile_json()))
    return [frozenset(embedding["indices"]) for embedding in reply["embeddings"]]


# ----------------------------------------------------------------------------- snippets

def chunk_lines(full_path: str, first: int, last: int, begin: int | None = None, end: int | None = None) -> list[str]:
    """Lines ``first`` to ``last`` (1-based, inclusive) of a file as it is now; none when it cannot be read.
    With the chunk's byte range [begin, end), only those bytes are read."""
    if begin is not None and end is not None:
        try:
            with open(full_path, "rb") as handle:
                handle.seek(begin)
                data = handle.read(end - begin)
        except OSError:
            return []
        return [line.rstrip("\r") for line in data.decode("utf-8", errors="replace").split("\n")][:last - first + 1]
    try:
        with open(full_path, encoding="utf-8", errors="replace", newline="") as handle:
            lines = []
            for number, line in enumerate(handle, 1):
                if number > last:
                    break
                if number >= first:
                    lines.append(line.rstrip("\r\n"))
            return lines
    except OSError:
        return []


def best_lines(lines: Sequence[str], terms: frozenset[int], *, window: int = 3,
               line_terms: Callable[[Sequence[str]], list[frozenset[int]]] | None = None) -> tuple[int, list[str]]:
    """The (0-based offset, lines) of the ``window`` consecutive lines that hold the most distinct query terms.

    The earliest such window wins a tie; it is shown from its first matching line, without
    blank lines at its end.
    With no match anywhere, the chunk's first non-blank lines.
    """
    if not lines:
        return 0, []
    found = (line_terms or text_terms)(lines) if terms else [frozenset()] * len(lines)
    best_start, best_count = 0, 0
    for start in range(max(1, len(lines) - window + 1)):
        count = len(terms & frozenset().union(*found[start:start + window]))
        if count > best_count:
            best_start, best_count = start, count
    if best_count == 0:
        shown = [(offset, line) for offset, line in enumerate(lines) if line.strip()][:window]
        return (shown[0][0], [line for _, line in shown]) if shown else (0, [])
    # The snippet starts at its first matching line, the lines after it context; sliding
    # the window down keeps every term it held.
    offset = best_start
    while not terms & found[offset]:
        offset += 1
    chosen = list(lines[offset:offset + window])
    while not chosen[-1].strip():
        chosen.pop()
    return offset, chosen


def chosen_lines(chunks: Sequence[dict[str, Any]], terms: frozenset[int], profile_json: str, *,
                 root: str | None = None, snippets: bool = True, lines: bool = False) -> list[dict[str, Any]]:
    """Each chunk's lines and the choice ``best_line`` makes among them, made in one call of the core
    (the interpreter lock released while it reads, tokenises and chooses). A chunk is a file's, as
    files.FilesNow.chunk gives it (the file below ``root``, read as it is now), ``{"text": ...}``
    or ``{"lines": [...]}``, with ``"defined_at"``: the offsets of its lines that define a name.
    Each reply is ``{"gone": True}`` for a file that cannot be read, else ``{"stale", "count"}``
    (the number of its lines) with, for ``snippets``, ``"best"`` and ``"start"`` (best_line's
    offsets) and ``"snippet"`` (its lines joined by "\\n"), and the ``"lines"`` when asked."""
    if not chunks:
        return []
    request: dict[str, Any] = {"terms": sorted(terms), "snippets": snippets, "lines": lines, "hits": chunks}
    if root is not None:
        request.update(file_name("root", root))
    reply = native.core().hit_snippets(json.dumps(request), profile_json)
    hits: list[dict[str, Any]] = loads(reply)["hits"]
    return hits


def best_line(lines: Sequence[str], terms: frozenset[int], line_terms: Sequence[frozenset[int]],
              defined_at: Collection[int] = (), *, window: int = 3) -> tuple[int, int, list[str]]:
    """The (0-based) offset of the line that best matches the query, and the snippet around it as
    (offset of its first line, lines).

    The best line holds the most distinct query terms; among those, a line where the chunk defines
    a name comes first, then the earliest. The snippet is the window of ``window`` lines holding it
    that holds the most distinct terms (starting at the best line when that holds as many), without
    blank lines at its end. With
    no match, the best line is the chunk's first definition line or else its first non-blank line,
    and the snippet starts there.
    """
    if not lines:
        return 0, 0, []
    found = list(line_terms) if terms else [frozenset()] * len(lines)
    counts = [len(terms & line) for line in found]
    best = max(range(len(lines)), key=lambda i: (counts[i], i in defined_at, -i))
    if counts[best] == 0:
        defined = sorted(i for i in defined_at if 0 <= i < len(lines))
        best = defined[0] if defined else next((i for i, line in enumerate(lines) if line.strip()), 0)
        start = best
    else:
        starts = range(max(0, best - window + 1), best + 1)
        start = max(starts, key=lambda s: (len(terms & frozenset().union(*found[s:s + window])), s))
        while not terms & found[start]:
            start += 1
    return best, start, trimmed(lines[start:start + window])


def trimmed(lines: Sequence[str]) -> list[str]:
    """A snippet's lines without the blank lines at its end."""
    chosen = list(lines)
    while chosen and not chosen[-1].strip():
        chosen.pop()
    return chosen


def matching_spans(line: str, terms: frozenset[int], profile_json: str | None = None) -> list[tuple[int, int]]:
    """The character spans of ``line`` to mark: a whole identifier when the core's token of all
    of it is a query term, else its parts that are."""
    if not terms:
        return []
    profile_json = profile_json or native.profile_json()
    spans: list[tuple[int, int]] = []
    for match in CODE_WORD.finditer(line):
        tokens = _cached_explain(match.group(), profile_json)
        whole = match.group().casefold()
        if any(token["index"] in terms and token["token"] == whole for token in tokens):
            spans.append(match.span())
            continue
        if not any(token["index"] in terms for token in tokens):
            continue
        for part in CODE_PART.finditer(match.group()):
            if any(token["index"] in terms for token in _cached_explain(part.group(), profile_json)):
                spans.append((match.start() + part.start(), match.start() + part.end()))
    return spans


@lru_cache(maxsize=4096)
def _cached_explain_text(word: str, profile_json: str) -> str:
    import vorpaline_core_py

    return vorpaline_core_py.sparse_explain(word, profile_json)


def _cached_explain(word: str, profile_json: str) -> list[dict[str, Any]]:
    return json.loads(_cached_explain_text(word, profile_json))["tokens"]


def highlight(line: str, terms: frozenset[int], *, color: bool, profile_json: str | None = None,
              start: str = BOLD_RED, end: str = RESET) -> str:
    """``line`` with its matching identifiers between ``start`` and ``end`` when ``color``; as it is otherwise."""
    if not color:
        return line
    pieces: list[str] = []
    last = 0
    for begin, finish in matching_spans(line, terms, profile_json):
        pieces += [line[last:begin], start, line[begin:finish], end]
        last = finish
    pieces.append(line[last:])
    return "".join(pieces)


def use_color(stream: TextIO, environ: dict[str, str] | os._Environ[str] | None = None) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set to anything but the empty text."""
    environ = os.environ if environ is None else environ
    if environ.get("NO_COLOR"):
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # a replaced or closed stream
        return False
