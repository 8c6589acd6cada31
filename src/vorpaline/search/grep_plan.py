"""The trigram query a pattern's matches imply (codesearch's approach, over ``grep_syntax`` trees).

For each node: can it match empty, its exact set of matching strings (when small), a set one of which
every match starts with, one every match ends with, and a query every match satisfies. Strings are
UTF-8 bytes with ASCII lower-cased, as the index keys them. Sets are capped, so planning is bounded for
hostile patterns; where a set must be given up, the node knows less (never wrongly more): the query
is sound, at worst True.
"""

from __future__ import annotations

from vorpaline.search.grep_classes import CharSet

MAX_EXACT = 7  # exact strings kept before they become trigrams plus prefixes and suffixes
MAX_SET = 20  # prefix/suffix strings kept before they are shortened
MAX_CLASS = 8  # characters of a class taken one by one; wider classes are "any character"
LONG_EXACT = 24  # bytes after which an exact string becomes trigrams right away
MAX_TERMS = 64  # children of an and (dropping some only weakens it) or of an or (beyond: True)

# Under simple case folding the only non-ASCII characters that match ASCII letters.
_ASCII_FOLDS = {"k": "k\u212a", "s": "s\u017f", "\u212a": "k\u212a", "\u017f": "s\u017f"}


class Info:
    __slots__ = ("can_empty", "exact", "prefix", "suffix", "match")

    def __init__(self, can_empty, exact, prefix, suffix, match):
        self.can_empty = can_empty
        self.exact = exact
        self.prefix = prefix
        self.suffix = suffix
        self.match = match


def _any_char() -> Info:
    return Info(False, None, {b""}, {b""}, True)


def _any_match() -> Info:
    return Info(True, None, {b""}, {b""}, True)


def _empty_string() -> Info:
    return Info(True, {b""}, set(), set(), True)


def _no_match() -> Info:
    return Info(False, None, set(), set(), False)


def _key(s: bytes) -> bytes:
    return bytes(b + 32 if 65 <= b <= 90 else b for b in s)


# -- queries: True, False, int, ("and", frozenset) or ("or", frozenset) --------------------------

def q_and(a, b):
    if a is True:
        return b
    if b is True or a == b:
        return a
    if a is False or b is False:
        return False
    a_terms = a[1] if isinstance(a, tuple) and a[0] == "and" else (a,)
    if len(a_terms) >= MAX_TERMS:  # enough to select by; more would only slow planning and lookups
        return a
    terms = set(a_terms)
    for term in b[1] if isinstance(b, tuple) and b[0] == "and" else (b,):
        if len(terms) >= MAX_TERMS:
            break
        terms.add(term)
    return ("and", frozenset(terms))


def q_or(a, b):
    if a is False:
        return b
    if b is False or a == b:
        return a
    if a is True or b is True:
        return True
    terms = set(a[1]) if isinstance(a, tuple) and a[0] == "or" else {a}
    terms |= set(b[1]) if isinstance(b, tuple) and b[0] == "or" else {b}
    if len(terms) > MAX_TERMS:
        return True
    return ("or", frozenset(terms))


def trigrams_of(s: bytes):
    query = True
    for i in range(len(s) - 2):
        query = q_and(query, (s[i] << 16) | (s[i + 1] << 8) | s[i + 2])
    return query


def and_trigrams(query, strings) -> object:
    """``query`` and: one of ``strings`` occurs (when all are long enough to say so)."""
    if not strings or min(map(len, strings)) < 3:
        return query
    either = False
    for s in strings:
        either = q_or(either, trigrams_of(s))
        if either is True:
            return query
    return q_and(query, either)


# -- sets --------------------------------------------------------------------------------------

def _cross(a, b) -> set:
    return {x + y for x in a for y in b}


def _clean(strings, suffix: bool) -> set:
    """Drops strings that a shorter member already starts (or ends) with: they add nothing."""
    kept: list[bytes] = []
    for s in sorted(strings, key=len):
        if not any((s.endswith(k) if suffix else s.startswith(k)) for k in kept):
            kept.append(s)
    return set(kept)


def _simplify(info: Info, force: bool) -> Info:
    exact = info.exact
    if exact is not None and (len(exact) > MAX_EXACT or (force and min(map(len, exact), default=0) >= 3)
                              or min(map(len, exact), default=0) >= LONG_EXACT):
        info.match = and_trigrams(info.match, exact)
        for s in exact:
            info.prefix.add(s if len(s) < 3 else s[:2])
            info.suffix.add(s if len(s) < 3 else s[-2:])
        info.exact = None
    if info.exact is None:
        info.prefix = _simplify_set(info, info.prefix, False)
        info.suffix = _simplify_set(info, info.suffix, True)
    return info


def _simplify_set(info: Info, strings: set, suffix: bool) -> set:
    strings = _clean(strings, suffix)
    info.match = and_trigrams(info.match, strings)
    n = 2
    while True:
        strings = _clean({s if len(s) <= n else (s[-n:] if suffix else s[:n]) for s in strings}, suffix)
        if len(strings) <= MAX_SET or n == 0:
            return strings
        n -= 1


def _concat(x: Info, y: Info) -> Info:
    match = q_and(x.match, y.match)
    exact = prefix = suffix = None
    if x.exact is not None and y.exact is not None:
        exact = _cross(x.exact, y.exact)
        prefix, suffix = set(), set()
    else:
        if x.exact is not None:
            prefix = _cross(x.exact, y.prefix)
        else:
            prefix = set(x.prefix) | (y.prefix if x.can_empty else set())
        if y.exact is not None:
            suffix = _cross(x.suffix, y.exact)
        else:
            suffix = set(y.suffix) | (x.suffix if y.can_empty else set())
    if (x.exact is None and y.exact is None and len(x.suffix) <= MAX_SET and len(y.prefix) <= MAX_SET
            and min(map(len, x.suffix), default=0) + min(map(len, y.prefix), default=0) >= 3):
        match = and_trigrams(match, _cross(x.suffix, y.prefix))
    return _simplify(Info(x.can_empty and y.can_empty, exact, prefix, suffix, match), False)


def _alternate(x: Info, y: Info) -> Info:
    if x.exact is not None and y.exact is not None:
        out = Info(x.can_empty or y.can_empty, x.exact | y.exact, set(), set(), q_or(x.match, y.match))
        return _simplify(out, False)
    match = q_or(_exact_match(x), _exact_match(y))
    prefix = (x.exact if x.exact is not None else x.prefix) | (y.exact if y.exact is not None else y.prefix)
    suffix = (x.exact if x.exact is not None else x.suffix) | (y.exact if y.exact is not None else y.suffix)
    return _simplify(Info(x.can_empty or y.can_empty, None, set(prefix), set(suffix), match), False)


def _exact_match(info: Info):
    return info.match if info.exact is None else and_trigrams(info.match, info.exact)


def _inexact(info: Info) -> Info:
    if info.exact is not None:
        info = Info(info.can_empty, None, set(info.exact), set(info.exact), info.match)
    return _simplify(info, False)


# -- nodes -------------------------------------------------------------------------------------

def _char_set(chars: str, icase: bool) -> Info:
    strings: set[bytes] = set()
    for ch in chars:
        if icase:
            folded = _ASCII_FOLDS.get(ch.lower())
            if folded:
                strings.update(_key(c.encode()) for c in folded)
                continue
            if not ch.isascii() and _has_case(ch):
                return _any_char()
        strings.add(_key(ch.encode()))
    return Info(False, strings, set(), set(), True)


def _has_case(ch: str) -> bool:
    import unicodedata

    return (ch.lower() != ch or ch.upper() != ch or ch.casefold() != ch
            or unicodedata.category(ch) in ("Lu", "Ll", "Lt", "Mn"))


def _class(charsets: tuple[CharSet, ...], icase: bool) -> Info:
    if any(cs.negated or cs.props for cs in charsets):
        return _any_char()
    chars: list[str] = []
    total = 0
    for cs in charsets:
        for lo, hi in cs.ranges:
            total += hi - lo + 1 - (lo <= 10 <= hi)
            if total > MAX_CLASS:
                return _any_char()
            chars.extend(chr(c) for c in range(lo, hi + 1) if c != 10)
    if not chars:
        return _no_match()
    return _char_set("".join(chars), icase)


def _copy(info: Info) -> Info:
    exact = None if info.exact is None else set(info.exact)
    return Info(info.can_empty, exact, set(info.prefix), set(info.suffix), info.match)


def _repeat(sub: Info, lo: int, hi: int | None) -> Info:
    if hi == 0:
        return _empty_string()
    if lo == 0:
        once = sub if hi == 1 else _inexact(sub)
        return _alternate(once, _empty_string())
    copies = min(lo, 3)
    info = sub
    for _ in range(copies - 1):
        info = _concat(info, _copy(sub))
    return info if lo == hi == copies else _inexact(info)


def analyse(node: tuple, ignore_case: bool) -> Info:
    kind = node[0]
    if kind == "lit":
        return _char_set(node[1], ignore_case if node[2] is None else node[2])
    if kind == "cls":
        return _class(node[1], ignore_case if node[2] is None else node[2])
    if kind == "dot":
        return _any_char()
    if kind in ("empty", "assert"):
        return _empty_string()
    if kind == "cat":
        info = _empty_string()
        for part in _literal_runs(node[1], ignore_case):
            info = _concat(info, part if isinstance(part, Info) else analyse(part, ignore_case))
        return info
    if kind == "alt":
        if not node[1]:
            return _no_match()
        info = analyse(node[1][0], ignore_case)
        for sub in node[1][1:]:
            info = _alternate(info, analyse(sub, ignore_case))
        return info
    if kind == "rep":
        _, sub, lo, hi, _greedy = node
        if hi is None and lo == 0:
            return _any_match()
        return _repeat(analyse(sub, ignore_case), lo, hi)
    raise AssertionError(kind)


def _literal_runs(nodes, ignore_case: bool):
    """The nodes, with each run of literals that have one spelling as one exact string (cheaper)."""
    run = b""
    for node in nodes:
        if node[0] == "lit":
            info = _char_set(node[1], ignore_case if node[2] is None else node[2])
            if info.exact is not None and len(info.exact) == 1:
                run += next(iter(info.exact))
                continue
        if run:
            yield Info(False, {run}, set(), set(), True)
            run = b""
        yield node
    if run:
        yield Info(False, {run}, set(), set(), True)


def _to_json(query):
    if isinstance(query, tuple):
        return {query[0]: sorted((_to_json(q) for q in query[1]), key=lambda q: (not isinstance(q, int), repr(q)))}
    return query


def plan(tree: tuple, ignore_case: bool):
    """The query every file with a line matching ``tree`` satisfies."""
    info = _simplify(analyse(tree, ignore_case), True)
    return _to_json(_exact_match(info))
