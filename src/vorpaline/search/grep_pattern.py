"""rg's patterns as one RE2 pattern that matches the same lines, and the trigram query that selects files.

``compile_patterns`` gives a ``GrepPattern``:

- ``re2`` starts with ``(?m)`` (``^``/``$`` at line ends: the core searches whole files) and never
  matches "\\n", so no match spans lines. Several patterns join as rg 13 joins them, as text with
  ``|`` (so a ``(?i)`` in one reaches the later ones). Rust's Unicode ``\\w \\d \\s`` are spelled out.
- With ``word`` (rg -w) the pattern is rg 13's own wrapper ``(?:^|\\W)(P)(?:$|\\W)``: it matches the
  same lines as rg, and rg's match is capture group ``match_group`` (1; it is 0, the whole match,
  otherwise). A search for the next match resumes at that group's end, as rg's does. RE2 has no
  look-around: the whole match also holds the boundary character on each side that is not a line end.
- ``query`` is True, False, a trigram key, or ``{"and": [...]}``/``{"or": [...]}`` of queries. It is
  sound: a file holding a line the pattern matches satisfies it. Keys are three UTF-8 bytes after ASCII
  lower-casing, ``(b0 << 16) | (b1 << 8) | b2``.

Where RE2 cannot say what rg means: ``\\b``/``\\B`` keep RE2's ASCII meaning (they differ next to
non-ASCII word characters); RE2's Unicode tables are newer than rg 13's (Unicode 14), so characters
assigned since then may be classed differently; ``(?i-u)`` still folds ``k`` with U+212A and ``s`` with
U+017F; without Unicode (``(?-u)``) ``.`` and negated classes match characters, not single bytes. Forms
that cannot be translated raise ``PatternError`` saying they are not supported: set operations on
Unicode properties, ``\\w`` or ``\\d``; binary Unicode properties; ``\\x80``-``\\xFF`` without Unicode;
counted repetitions beyond RE2's 1000.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from vorpaline.search import grep_classes, grep_syntax
from vorpaline.search.grep_classes import CharSet, PatternError
from vorpaline.search.grep_plan import plan

__all__ = ["GrepPattern", "PatternError", "compile_patterns"]


@dataclass(frozen=True)
class GrepPattern:
    re2: str
    query: Any
    ignore_case: bool
    match_group: int = 0


def compile_patterns(patterns: list[str], *, fixed: bool = False, case: str = "sensitive",
                     word: bool = False) -> GrepPattern:
    if case not in ("sensitive", "insensitive", "smart"):
        raise ValueError(f"case must be sensitive, insensitive or smart, not {case!r}")
    # rg 13 joins its patterns as text: a "(?i)" in one reaches those after it.
    parsers = [grep_syntax.fixed(p) for p in patterns] if fixed else [grep_syntax.parse("|".join(patterns))] * bool(patterns)
    if case == "smart":
        ignore_case = any(p.any_literal for p in parsers) and not any(p.any_upper for p in parsers)
    else:
        ignore_case = case == "insensitive"
    trees = [p.tree for p in parsers]
    tree = trees[0] if len(trees) == 1 else ("alt", tuple(trees))
    if not trees:
        tree = ("alt", ())
    body = "|".join(emit(t, ignore_case) for t in trees) if trees else NEVER
    flags = "(?mi)" if ignore_case else "(?m)"
    if word:
        non_word = emit_charsets((CharSet(True, grep_classes.WORD.ranges, grep_classes.WORD.props),))
        return GrepPattern(f"{flags}(?:^|{non_word})({body})(?:$|{non_word})", plan(tree, ignore_case), ignore_case, 1)
    return GrepPattern(flags + body, plan(tree, ignore_case), ignore_case)


NEVER = "[^\\x00-\\x{10FFFF}]"
# Properties holding "\n": a class naming one must still not match it.
_HOLDS_NEWLINE = {"Cc", "C", "Any", "Common", "Zyyy"}


def emit(node: tuple, ignore_case: bool) -> str:
    """RE2 text for ``node`` under a pattern whose leading flag is ``ignore_case``."""
    kind = node[0]
    if kind == "lit":
        return _cased(_escape(node[1]), node[2], ignore_case)
    if kind == "cls":
        return _cased(emit_charsets(node[1]), node[2], ignore_case)
    if kind == "dot":
        return "."
    if kind == "empty":
        return "(?:)"
    if kind == "assert":
        return node[1]
    if kind == "alt":
        return "|".join(emit(n, ignore_case) for n in node[1]) if node[1] else NEVER
    if kind == "cat":
        return "".join(_atom(n, ignore_case) for n in _merge_literals(node[1]))
    if kind == "rep":
        _, sub, lo, hi, greedy = node
        count = {(0, None): "*", (1, None): "+", (0, 1): "?"}.get((lo, hi))
        if count is None:
            count = f"{{{lo}}}" if lo == hi else f"{{{lo},{'' if hi is None else hi}}}"
        return f"(?:{emit(sub, ignore_case)}){count}{'' if greedy else '?'}"
    if kind == "run":
        return _cased("".join(_escape(ch) for ch in node[1]), node[2], ignore_case)
    raise AssertionError(kind)


def _atom(node: tuple, ignore_case: bool) -> str:
    text = emit(node, ignore_case)
    return f"(?:{text})" if node[0] == "alt" else text


def _merge_literals(nodes) -> list[tuple]:
    out: list[tuple] = []
    for node in nodes:
        if node[0] == "lit" and out and out[-1][0] in ("lit", "run") and out[-1][2] == node[2]:
            out[-1] = ("run", out[-1][1] + node[1], node[2])
        else:
            out.append(node)
    return out


def _cased(text: str, icase: bool | None, ignore_case: bool) -> str:
    if icase is None or icase == ignore_case:
        return text
    return f"(?{'' if icase else '-'}i:{text})"


def _escape(ch: str) -> str:
    if ch.isascii() and ch.isalnum() or ch == "_":
        return ch
    return "\\x{%x}" % ord(ch)


def _ranges_text(ranges) -> str:
    parts = []
    for lo, hi in ranges:
        if lo <= 0x0A <= hi:  # rg never lets a class match "\n"
            if lo < 0x0A:
                parts.append((lo, 0x09))
            if hi > 0x0A:
                parts.append((0x0B, hi))
        else:
            parts.append((lo, hi))
    return "".join("\\x{%x}" % lo if lo == hi else "\\x{%x}-\\x{%x}" % (lo, hi) for lo, hi in parts)


def emit_charsets(charsets: tuple[CharSet, ...]) -> str:
    """One RE2 class for a union, or an alternation of classes where one class cannot say it."""
    positive_ranges = grep_classes.normalise(r for cs in charsets if not cs.negated for r in cs.ranges)
    positive_props = [p for cs in charsets if not cs.negated for p in cs.props]
    alternatives = []
    plain = [p for p in positive_props if p not in _HOLDS_NEWLINE]
    body = _ranges_text(positive_ranges) + "".join("\\p{%s}" % p for p in plain)
    if body:
        alternatives.append(f"[{body}]")
    alternatives.extend("[^\\P{%s}\\n]" % p for p in positive_props if p in _HOLDS_NEWLINE)
    for cs in charsets:
        if cs.negated:
            alternatives.append("[^%s%s\\n]" % (_ranges_text(cs.ranges), "".join("\\p{%s}" % p for p in cs.props)))
    if not alternatives:
        return NEVER
    return alternatives[0] if len(alternatives) == 1 else "(?:%s)" % "|".join(alternatives)
