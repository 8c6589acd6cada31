"""Character classes as rg means them: Unicode-aware Perl classes, POSIX classes, Unicode properties
named as RE2 names them, and the set operations ``&& -- ~~`` on explicit ranges.

A class is a union of ``CharSet``s. A ``CharSet`` is code point ranges plus RE2 property names,
complemented when ``negated``; set operations need plain ranges (they are computed here, RE2 has
none), so a class naming properties in one is refused as not supported.
"""

from __future__ import annotations

from dataclasses import dataclass

MAX_CODEPOINT = 0x10FFFF


class PatternError(ValueError):
    pass


@dataclass(frozen=True)
class CharSet:
    """Code point ``ranges`` plus RE2 Unicode ``props`` (``"L"``, ``"Greek"``), complemented when ``negated``."""

    negated: bool = False
    ranges: tuple[tuple[int, int], ...] = ()
    props: tuple[str, ...] = ()


NEWLINE_ERROR = "the literal '\"\\n\"' is not allowed in a regex"

WHITESPACE = ((0x09, 0x0D), (0x20, 0x20), (0x85, 0x85), (0xA0, 0xA0), (0x1680, 0x1680), (0x2000, 0x200A),
               (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F), (0x3000, 0x3000))
# Unicode's Word: Alphabetic (letters, Nl, and Other_Alphabetic, whose So members are listed),
# marks, decimal digits, connector punctuation and Join_Control.
WORD = CharSet(False, ((0x200C, 0x200D), (0x24B6, 0x24E9), (0x1F130, 0x1F149), (0x1F150, 0x1F169),
                        (0x1F170, 0x1F189)), ("L", "M", "Nd", "Pc", "Nl"))
DIGIT = CharSet(False, (), ("Nd",))
ASCII_WORD = ((0x30, 0x39), (0x41, 0x5A), (0x5F, 0x5F), (0x61, 0x7A))
POSIX = {
    "alnum": ((0x30, 0x39), (0x41, 0x5A), (0x61, 0x7A)), "alpha": ((0x41, 0x5A), (0x61, 0x7A)),
    "ascii": ((0, 0x7F),), "blank": ((9, 9), (0x20, 0x20)), "cntrl": ((0, 0x1F), (0x7F, 0x7F)),
    "digit": ((0x30, 0x39),), "graph": ((0x21, 0x7E),), "lower": ((0x61, 0x7A),), "print": ((0x20, 0x7E),),
    "punct": ((0x21, 0x2F), (0x3A, 0x40), (0x5B, 0x60), (0x7B, 0x7E)), "space": ((9, 0x0D), (0x20, 0x20)),
    "upper": ((0x41, 0x5A),), "word": ASCII_WORD, "xdigit": ((0x30, 0x39), (0x41, 0x46), (0x61, 0x66)),
}
_GENERAL_CATEGORIES = {
    "letter": "L", "casedletter": "LC", "uppercaseletter": "Lu", "lowercaseletter": "Ll", "titlecaseletter": "Lt",
    "modifierletter": "Lm", "otherletter": "Lo", "mark": "M", "combiningmark": "M", "nonspacingmark": "Mn",
    "spacingmark": "Mc", "enclosingmark": "Me", "number": "N", "decimalnumber": "Nd", "digit": "Nd",
    "letternumber": "Nl", "othernumber": "No", "punctuation": "P", "connectorpunctuation": "Pc",
    "dashpunctuation": "Pd", "openpunctuation": "Ps", "closepunctuation": "Pe", "initialpunctuation": "Pi",
    "finalpunctuation": "Pf", "otherpunctuation": "Po", "symbol": "S", "mathsymbol": "Sm",
    "currencysymbol": "Sc", "modifiersymbol": "Sk", "othersymbol": "So", "separator": "Z",
    "spaceseparator": "Zs", "lineseparator": "Zl", "paragraphseparator": "Zp", "other": "C", "control": "Cc",
    "format": "Cf", "surrogate": "Cs", "privateuse": "Co", "unassigned": "Cn",
}
_SHORT_CATEGORIES = {v.lower(): v for v in _GENERAL_CATEGORIES.values() if v != "LC"}
META = set("\\.+*?()|[]{}^$#&-~")
SIMPLE_ESCAPES = {"t": "\t", "n": "\n", "r": "\r", "f": "\f", "v": "\v", "a": "\a"}


def _loose(name: str) -> str:
    return "".join(ch for ch in name.lower() if ch not in " _-")


def _script_name(name: str) -> str:
    """RE2's spelling of a script (``Old_Italic``), checked against RE2 itself."""
    spelled = "_".join(part[:1].upper() + part[1:].lower() for part in name.replace("-", "_").replace(" ", "_").split("_") if part)
    import re2  # only patterns naming a script pay for it

    quiet = re2.Options()
    quiet.log_errors = False  # an unknown name is the user's error to report, not RE2's to log
    try:
        if not spelled.replace("_", "").isalpha() or not spelled.isascii():
            raise re2.error(name)
        re2.compile("\\p{%s}" % spelled, quiet)
    except re2.error:
        raise PatternError(f"regex parse error: Unicode property not found or not supported: {name}") from None
    return spelled


def unicode_property(name: str) -> str:
    """The RE2 property for a Rust ``\\p{name}``; binary properties other than ``Any`` are not supported."""
    key, sep, value = name.replace(":", "=").partition("=")
    if sep:
        kind = _loose(key)
        if kind in ("gc", "generalcategory"):
            return unicode_property(value)
        if kind in ("sc", "script"):
            return _script_name(value)
        raise PatternError(f"regex parse error: Unicode property not supported: {name}")
    loose = _loose(name)
    if loose == "any":
        return "Any"
    if loose in _SHORT_CATEGORIES:
        return _SHORT_CATEGORIES[loose]
    if loose in _GENERAL_CATEGORIES and loose != "casedletter":
        return _GENERAL_CATEGORIES[loose]
    return _script_name(name)


def complement(ranges: tuple[tuple[int, int], ...]) -> tuple[tuple[int, int], ...]:
    out, start = [], 0
    for lo, hi in normalise(ranges):
        if lo > start:
            out.append((start, lo - 1))
        start = hi + 1
    if start <= MAX_CODEPOINT:
        out.append((start, MAX_CODEPOINT))
    return tuple(out)


def normalise(ranges) -> tuple[tuple[int, int], ...]:
    out: list[list[int]] = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            out[-1][1] = max(out[-1][1], hi)
        else:
            out.append([lo, hi])
    return tuple((lo, hi) for lo, hi in out)


def _explicit(charsets: tuple[CharSet, ...]) -> tuple[tuple[int, int], ...]:
    """The union as plain ranges, for set operations; classes naming Unicode properties are refused."""
    ranges: list[tuple[int, int]] = []
    for cs in charsets:
        if cs.props:
            raise PatternError("regex parse error: class set operations on Unicode properties or \\w \\d are not supported")
        ranges.extend(complement(cs.ranges) if cs.negated else cs.ranges)
    return normalise(ranges)


def _intersect(a, b):
    return complement(complement(a) + complement(b))


def set_operation(op: str, left, right) -> tuple[CharSet, ...]:
    a, b = _explicit(left), _explicit(right)
    if op == "&&":
        result = _intersect(a, b)
    elif op == "--":
        result = _intersect(a, complement(b))
    else:
        result = normalise(_intersect(a, complement(b)) + _intersect(b, complement(a)))
    return (CharSet(False, result),)



def drop_newline(ranges) -> tuple[tuple[int, int], ...]:
    return _intersect(normalise(ranges), complement(((10, 10),)))


def negate(charsets: tuple[CharSet, ...]) -> tuple[CharSet, ...]:
    if all(not cs.negated for cs in charsets):
        return (CharSet(True, normalise(r for cs in charsets for r in cs.ranges), tuple(p for cs in charsets for p in cs.props)),)
    if len(charsets) == 1:
        return (CharSet(False, charsets[0].ranges, charsets[0].props),)
    return (CharSet(True, complement(_explicit(charsets))),)


def is_empty(cs: CharSet) -> bool:
    if cs.props:
        return False
    return complement(cs.ranges) == () if cs.negated else not cs.ranges
