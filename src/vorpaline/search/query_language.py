"""The query language: the words a search ranks, and the terms that narrow what it finds.

    parse url              words, ranked by BM25F as always
    "exact phrase"         only chunks holding the phrase: its words in order, punctuation as typed
    -word  -"a phrase"     no chunk holding the word (as a whole word) or the phrase
    path:GLOB  -path:GLOB  only (or never) files matching GLOB, as ``--path GLOB`` and ``--path '!GLOB'``
    lang:python  type:py   only files of a language, as ``--type py``; ``-lang:`` and ``-type:`` as ``--type-not``
    def:NAME               only chunks that define NAME (exactly)
    meta:KEY=GLOB          only an application's documents whose metadata KEY matches GLOB

Anything else is a word, a qualifier that is not one of these (``http://host``) or that has no
value too: a query is never an error. A query that cannot match anything says why (``impossible``).

Case is smart, as rg's ``--smart-case``: a phrase, an excluded word or a pattern with an upper-case
letter matches that case only, and so does a word written as an identifier with one (``getUser``,
``MAX_SIZE``; any capital when the word is the whole query: ``Path``, ``URL``), but not a
capitalised or all-capital word among others ("Parse JSON lines" folds). The ranking itself folds
case; a word that matches its case is required in that case. ``case="sensitive"`` makes every word match
its case, ``case="insensitive"`` none.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple

CASES = ("smart", "sensitive", "insensitive")
TESTS = (None, "exclude", "only")
QUALIFIERS = ("path", "lang", "type", "def", "meta")

# Language names as people write them, to rg's type names; a type name stands for itself.
LANGUAGE_TYPES = {
    "python": "py", "python3": "py", "javascript": "js", "typescript": "ts", "golang": "go", "rs": "rust",
    "c++": "cpp", "cxx": "cpp", "rb": "ruby", "kt": "kotlin", "c#": "csharp", "cs": "csharp", "shell": "sh",
    "bash": "sh", "zsh": "sh", "md": "markdown", "yml": "yaml", "makefile": "make", "dockerfile": "docker",
    "text": "txt", "restructuredtext": "rst", "protobuf": "protobuf", "tex": "tex", "latex": "tex",
}

# rg's word characters: letters, marks, digits and connectors, in every script.
_WORD_CHAR = r"[\pL\pM\pN\p{Pc}]"
_NOT_WORD_CHAR = r"[^\pL\pM\pN\p{Pc}]"
_QUALIFIED = re.compile(r"(-?)(path|lang|type|def|meta):(.*)", re.DOTALL)
_REGEX_LITERAL_WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]{2,}")


class ParsedQuery(NamedTuple):
    """A query's pieces as written."""

    words: tuple[str, ...] = ()
    phrases: tuple[str, ...] = ()
    excluded: tuple[str, ...] = ()  # words and phrases alike
    paths: tuple[str, ...] = ()  # globs; "!GLOB" excludes, in the order written
    types: tuple[str, ...] = ()  # as written after lang: or type:
    types_not: tuple[str, ...] = ()
    definitions: tuple[str, ...] = ()
    metadata: tuple[tuple[str, str], ...] = ()  # (key, glob)


def parse(text: str) -> ParsedQuery:
    """The pieces of ``text``; see the module docstring."""
    pieces: dict[str, list[Any]] = {name: [] for name in ParsedQuery._fields}
    for negated, kind, value in _tokens(text):
        if kind == "phrase":
            pieces["excluded" if negated else "phrases"].append(value)
        elif kind == "word":
            pieces["excluded" if negated else "words"].append(value)
        elif kind == "path":
            pieces["paths"].append("!" + value if negated else value)
        elif kind in ("lang", "type"):
            pieces["types_not" if negated else "types"].append(value)
        elif kind == "def":
            pieces["definitions"].append(value)
        elif kind == "meta":
            key, _, glob = value.partition("=")
            pieces["metadata"].append((key, glob))
    return ParsedQuery(**{name: tuple(values) for name, values in pieces.items()})


def _tokens(text: str):
    """(negated, kind, value) of each piece: kind is "word", "phrase" or a qualifier's name."""
    position, end = 0, len(text)
    while position < end:
        if text[position].isspace():
            position += 1
            continue
        start = position
        negated = text[position] == "-" and position + 1 < end and (text[position + 1] == '"'
                                                                    or _starts_word(text[position + 1]))
        if negated:
            position += 1
        if text[position] == '"':
            close = text.find('"', position + 1)
            if close > position + 1:
                phrase = text[position + 1:close]
                position = close + 1
                if phrase.strip():
                    yield negated, "phrase", phrase
                continue
            # An unmatched quote (or an empty phrase) is text like any other.
        word, position = _word_at(text, position)
        qualified = _QUALIFIED.fullmatch(word)
        if qualified and _qualifier_value(qualified):
            yield negated, qualified[2], _qualifier_value(qualified)
        elif negated:
            yield True, "word", word
        else:
            yield False, "word", text[start:position]


def _starts_word(character: str) -> bool:
    return character.isalpha() or character == "_"  # -1 is a number, not an exclusion


def _word_at(text: str, position: int) -> tuple[str, int]:
    """The run of text from ``position`` to the next space, a quoted qualifier value (path:"a b") whole."""
    start = position
    while position < len(text) and not text[position].isspace():
        if text[position] == '"' and text[start:position].rstrip("-").split(":", 1)[0] in QUALIFIERS \
                and text[position - 1] == ":":
            close = text.find('"', position + 1)
            if close != -1:
                position = close + 1
                continue
        position += 1
    return text[start:position], position


def _qualifier_value(qualified: re.Match[str]) -> str:
    value = qualified[3]
    if len(value) >= 2 and value[0] == value[-1] == '"':
        value = value[1:-1]
    if qualified[2] == "meta" and ("=" not in value or not value.partition("=")[0]):
        return ""  # meta: needs KEY=GLOB
    return value


# ----------------------------------------------------------------------------- plans

def _has_upper(text: str) -> bool:
    return any(character.isupper() for character in text)


def _names_its_case(word: str, alone: bool) -> bool:
    """Whether a word, as smart case reads it, is an identifier written in a case: a capital after a
    lower-case letter (getUser, HttpServer), a capital beside ``_`` or a digit (MAX_SIZE, UTF8), or
    any capital in a query of that word alone (Path, URL). A capitalised or all-capital word among
    others (a sentence's first word, JSON in "parse JSON") folds, as words of prose do."""
    if not _has_upper(word):
        return False
    if alone:
        return True
    letters = [character for character in word if character.isalpha()]
    mixed = any(a.islower() and b.isupper() for a, b in zip(letters, letters[1:]))
    return mixed or any(character == "_" or character.isdigit() for character in word)


def _literal_pattern(text: str, case_sensitive: bool) -> str:
    """An RE2 pattern for ``text`` as a whole word or phrase: its pieces in order with any spaces
    between them on a line, and word boundaries at ends that are word characters."""
    body = r"[ \t]+".join(re.escape(piece) for piece in text.split())
    before = f"(?:^|{_NOT_WORD_CHAR})" if re.match(r"\w", text.strip()) else ""
    after = f"(?:$|{_NOT_WORD_CHAR})" if re.search(r"\w$", text.strip()) else ""
    return f"(?m{'' if case_sensitive else 'i'}){before}({body}){after}"


def _compiled(pattern: str, what: str) -> Any:
    import re2

    try:
        return re2.compile(pattern)
    except re2.error as error:
        raise ValueError(f"{what}: {error}") from None


class ContentFilter:
    """What a chunk's text must and must not hold, and the line it reports when it passes."""

    def __init__(self, required: Sequence[Any], excluded: Sequence[Any], substrings: Sequence[str],
                 regex: Any | None) -> None:
        self._required = list(required)
        self._excluded = list(excluded)
        self._substrings = list(substrings)
        self._regex = regex

    @property
    def substrings(self) -> tuple[str, ...]:
        """The texts a chunk must hold as they are written (the words whose case counts)."""
        return tuple(self._substrings)

    @property
    def regex(self) -> Any | None:
        """The compiled pattern a chunk must match, if one was given."""
        return self._regex

    def line_of(self, lines: Sequence[str]) -> tuple[bool, int | None]:
        """Whether the chunk passes, and the offset of its line that matched (the pattern's first
        match, else the first phrase's), None for the ranking's own best line."""
        text = "\n".join(lines)
        if any(substring not in text for substring in self._substrings):
            return False, None
        if any(pattern.search(text) for pattern in self._excluded):
            return False, None
        reported: int | None = None
        for pattern in ([self._regex] if self._regex is not None else []) + self._required:
            match = pattern.search(text)
            if match is None:
                return False, None
            if reported is None:
                start = match.start(1) if pattern is not self._regex else match.start()
                reported = text.count("\n", 0, start)
        return True, reported


class SearchPlan(NamedTuple):
    """What a backend ranks, and what each chunk it finds must pass."""

    ranked: str  # the text the index ranks by
    accepts_path: Callable[[str | None], bool] | None = None
    content: ContentFilter | None = None
    definitions: tuple[str, ...] = ()  # a chunk must define each of them
    tests: str | None = None  # "exclude" or "only": chunks of test files
    metadata: Mapping[str, tuple[str, ...]] = {}  # never changed: shared by plans that filter none
    impossible: str | None = None  # why nothing can match, when nothing can
    path_globs: tuple[str, ...] = ()  # the options' and the query's, in order ("!GLOB" excludes)

    @property
    def filters_rows(self) -> bool:
        """Whether rows are filtered after ranking by more than their paths."""
        return bool(self.content or self.definitions or self.tests)

    def accepts_row(self, roles: Sequence[str], definitions: Sequence[Any]) -> bool:
        if self.tests is not None and ("test" in roles) != (self.tests == "only"):
            return False
        defined = {definition.name for definition in definitions}
        return all(name in defined for name in self.definitions)

    def reported_line(self, lines: Sequence[str], definitions: Sequence[Any], first: int) -> tuple[bool, int | None]:
        """Whether a chunk's lines pass, and the offset of the line to report (None: the best line)."""
        passes, offset = self.content.line_of(lines) if self.content is not None else (True, None)
        if passes and offset is None and self.definitions:
            offset = next((d.line - first for d in definitions if d.name == self.definitions[0]), None)
        return passes, offset


def plan(query: str, *, path_glob: Any = None, types: Sequence[str] = (), types_not: Sequence[str] = (),
         tests: str | None = None, case: str = "smart", regex: str | None = None) -> SearchPlan:
    """The plan of a search for ``query`` with the options given (the query's own terms add to them)."""
    _check(query, path_glob, types, types_not, tests, case, regex)
    parsed = parse(query)
    alone = len(parsed.words) == 1
    words_with_case = [word for word in parsed.words
                       if case == "sensitive" or case == "smart" and _names_its_case(word, alone)]

    def sensitive(text: str) -> bool:
        return case == "sensitive" or case == "smart" and _has_upper(text)

    required = [_compiled(_literal_pattern(phrase, sensitive(phrase)), f"phrase {phrase!r}")
                for phrase in parsed.phrases]
    excluded = [_compiled(_literal_pattern(text, sensitive(text)), f"-{text}") for text in parsed.excluded]
    compiled_regex = None
    if regex is not None:  # matched line by line, as rg does: ^ and $ at each line's ends
        insensitive = case == "insensitive" or case == "smart" and not _regex_has_upper(regex)
        compiled_regex = _compiled(("(?mi)" if insensitive else "(?m)") + regex, "--regex")
    content = ContentFilter(required, excluded, words_with_case, compiled_regex) \
        if required or excluded or words_with_case or compiled_regex is not None else None

    ranked_pieces = list(parsed.words) + list(parsed.phrases) + list(parsed.definitions)
    if not ranked_pieces and regex is not None:
        ranked_pieces = _REGEX_LITERAL_WORD.findall(re.sub(r"\\.|\[[^\]]*\]", " ", regex))
    impossible = _why_nothing_matches(parsed, ranked_pieces, regex)
    globs = list(_as_globs(path_glob)) + list(parsed.paths)
    chosen_types, impossible = _types(list(types) + list(parsed.types), impossible, from_query=parsed.types)
    excluded_types, impossible = _types(list(types_not) + list(parsed.types_not), impossible,
                                        from_query=parsed.types_not)
    accepts_path = None
    if globs or chosen_types or excluded_types:
        from vorpaline.search.path_filters import path_filter

        accepts_path = path_filter(globs, chosen_types, excluded_types)
    metadata: dict[str, tuple[str, ...]] = {}
    for key, glob in parsed.metadata:
        metadata[key] = metadata.get(key, ()) + (glob,)
    return SearchPlan(" ".join(ranked_pieces), accepts_path, content, parsed.definitions, tests, metadata, impossible,
                      tuple(globs))


def _regex_has_upper(pattern: str) -> bool:
    """rg's smart case for a pattern: an upper-case letter that is a literal, not an escape's (\\W, \\S)."""
    return _has_upper(re.sub(r"\\.", "", pattern))


def _as_globs(path_glob: Any) -> Sequence[str]:
    if path_glob is None:
        return ()
    return [path_glob] if isinstance(path_glob, str) else list(path_glob)


def _types(names: list[str], impossible: str | None, *, from_query: Sequence[str]) -> tuple[list[str], str | None]:
    """rg's type names for ``names``. An unknown one given as an option is an error; in the query,
    a reason nothing matches."""
    from vorpaline.search.path_filters import FILE_TYPES

    resolved = []
    for name in names:
        known = name if name in FILE_TYPES else LANGUAGE_TYPES.get(name.lower(), name.lower())
        if known not in FILE_TYPES:
            if name not in from_query:
                raise ValueError(_unknown_type(name))
            impossible = impossible or _unknown_type(name)
            continue
        resolved.append(known)
    return resolved, impossible


def _unknown_type(name: str) -> str:
    import difflib

    from vorpaline.search.path_filters import FILE_TYPES

    close = difflib.get_close_matches(name.lower(), list(FILE_TYPES) + list(LANGUAGE_TYPES), n=3)
    return f"unknown file type {name!r}" + (f" (did you mean {', '.join(close)}?)" if close else "")


def _why_nothing_matches(parsed: ParsedQuery, ranked: Sequence[str], regex: str | None) -> str | None:
    if not any(piece.strip() for piece in ranked):
        if regex is not None:
            return "the pattern holds no word to rank by: give words to search for beside --regex"
        return "the query has no words to search for, only filters: add a word"
    asked = {piece.casefold() for piece in list(parsed.words) + list(parsed.phrases)}
    both = sorted(text for text in parsed.excluded if text.casefold() in asked)
    if both:
        return f"{both[0]!r} is both asked for and excluded"
    return None


def _check(query: Any, path_glob: Any, types: Any, types_not: Any, tests: Any, case: Any, regex: Any) -> None:
    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__}")
    if path_glob is not None and not isinstance(path_glob, str):
        if not isinstance(path_glob, Sequence) or isinstance(path_glob, bytes) \
                or not all(isinstance(glob, str) for glob in path_glob):
            raise TypeError(f"path_glob must be a str or a sequence of str, not {type(path_glob).__name__}")
    for name, value in (("types", types), ("types_not", types_not)):
        if isinstance(value, str) or not isinstance(value, Sequence) or not all(isinstance(v, str) for v in value):
            raise TypeError(f"{name} must be a sequence of str (a list of type names), not {type(value).__name__}")
    if tests not in TESTS:
        raise ValueError(f"tests must be None, 'exclude' or 'only', not {tests!r}")
    if case not in CASES:
        raise ValueError(f"case must be one of {', '.join(CASES)}, not {case!r}")
    if regex is not None and not isinstance(regex, str):
        raise TypeError(f"regex must be a str, not {type(regex).__name__}")
