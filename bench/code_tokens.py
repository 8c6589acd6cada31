"""Code-aware tokenising and log-TF weighting in plain Python: the competitors
that the native core is measured against.

``code_tokens`` follows the core's rules in code mode: a run of word
characters and joiners (``_``, ``-``, ``.``) loses the joiners at its ends and
splits at inner joiners, then at digit, caseless-letter and lower-to-upper
boundaries and before the last capital of an acronym that a lower-case letter
follows; every part of at least two characters is a token, and so is the
whole identifier when it has more than one part. Tokens are case-folded.
"""
from __future__ import annotations

import math
import re
import unicodedata
import zlib
from collections import Counter

MIN_TOKEN_LEN = 2
JOINERS = "_-."

# Candidate runs: ASCII word characters and joiners, and any non-ASCII
# character (sorted out by its Unicode category in the slow path).
_CANDIDATE = re.compile(r"[0-9A-Za-z_.\-\u0080-\U0010FFFF]+")
_ASCII_RUN = re.compile(r"[0-9A-Za-z_.\-]+\Z")
_JOINER_SPLIT = re.compile(r"[_.\-]+")
_ASCII_PART = re.compile(r"[A-Z]+(?=[A-Z][a-z])|[A-Z]?[a-z]+|[A-Z]+|[0-9]+")

UPPER, LOWER, CASELESS, DIGIT, MARK, JOINER, SEPARATOR = range(7)
_CATEGORY_KIND = {
    "Lu": UPPER, "Lt": UPPER, "Ll": LOWER, "Lm": CASELESS, "Lo": CASELESS,
    "Nd": DIGIT, "Mn": MARK, "Mc": MARK, "Me": MARK,
}


def char_kind(char: str) -> int:
    if char in JOINERS:
        return JOINER
    if char < "\x80":
        if "A" <= char <= "Z":
            return UPPER
        if "a" <= char <= "z":
            return LOWER
        return DIGIT if "0" <= char <= "9" else SEPARATOR
    return _CATEGORY_KIND.get(unicodedata.category(char), SEPARATOR)


def fold(word: str) -> str:
    if word.isascii():
        return word.lower()
    return unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", word).casefold())


def _split_kinds(chars: list[tuple[str, int]]) -> list[str]:
    """Parts of a joiner-free segment; marks stay with the character before them."""
    parts: list[str] = []
    start = 0
    previous = before_previous = SEPARATOR
    previous_index = -1
    for i, (_, kind) in enumerate(chars):
        if kind == MARK:
            continue
        if previous_index >= 0:
            boundary = start
            if ((kind == DIGIT) != (previous == DIGIT) or (kind == CASELESS) != (previous == CASELESS)
                    or (kind == UPPER and previous == LOWER)):
                boundary = i
            elif kind == LOWER and previous == UPPER and before_previous == UPPER:
                boundary = previous_index
            if boundary > start:
                parts.append("".join(c for c, _ in chars[start:boundary]))
                start = boundary
        before_previous, previous, previous_index = previous, kind, i
    parts.append("".join(c for c, _ in chars[start:]))
    return parts


def _identifier_tokens(run: str, parts: list[str], out: list[str]) -> None:
    whole = run.strip(JOINERS)
    if len(parts) == 1:
        word = fold(whole)
        if len(word) >= MIN_TOKEN_LEN:
            out.append(word)
        return
    for part in parts:
        word = fold(part)
        if len(word) >= MIN_TOKEN_LEN:
            out.append(word)
    word = fold(whole)
    if len(word) >= MIN_TOKEN_LEN:
        out.append(word)


def _ascii_run_tokens(run: str, out: list[str]) -> None:
    parts = [part for segment in _JOINER_SPLIT.split(run.strip(JOINERS)) if segment
             for part in _ASCII_PART.findall(segment)]
    if parts:
        _identifier_tokens(run, parts, out)


def _unicode_run_tokens(candidate: str, out: list[str]) -> None:
    """Splits a candidate at separators, then each run as the ASCII path does."""
    run: list[tuple[str, int]] = []
    for char in candidate + " ":
        kind = char_kind(char)
        if kind != SEPARATOR:
            run.append((char, kind))
            continue
        if not run:
            continue
        text = "".join(c for c, _ in run)
        parts: list[str] = []
        segment: list[tuple[str, int]] = []
        for item in run + [("_", JOINER)]:
            if item[1] != JOINER:
                segment.append(item)
            elif segment:
                parts.extend(_split_kinds(segment))
                segment = []
        if parts:
            _identifier_tokens(text, parts, out)
        run = []


def code_tokens(text: str) -> list[str]:
    """The tokens of ``text`` in order, repeats kept."""
    out: list[str] = []
    for candidate in _CANDIDATE.findall(text):
        if _ASCII_RUN.match(candidate):
            _ascii_run_tokens(candidate, out)
        else:
            _unicode_run_tokens(candidate, out)
    return out


def token_index(token: str) -> int:
    """A non-negative 31-bit index per token (CRC-32: the standard library has no xxHash)."""
    return zlib.crc32(token.encode("utf-8")) & 0x7FFFFFFF


def log_tf_embed(text: str) -> tuple[list[int], list[float]]:
    """A sparse vector of ``text``: indices ascending, weights 1 + ln(tf)."""
    counts = Counter(map(token_index, code_tokens(text)))
    indices = sorted(counts)
    return indices, [1.0 + math.log(counts[index]) for index in indices]
