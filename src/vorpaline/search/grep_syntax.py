"""rg's regex syntax (Rust's ``regex`` crate as ripgrep 13 ships it) parsed to a small tree.

The tree is what ``grep_pattern`` translates to RE2 and plans trigrams from. Nodes are tuples:

- ``("lit", char, icase)``; ``("cls", charsets, icase)`` where ``charsets`` is a tuple of
  ``CharSet`` whose union is the class; ``("dot",)``; ``("empty",)``
- ``("cat", nodes)``, ``("alt", nodes)``, ``("rep", node, min, max_or_None, greedy)``
- ``("assert", kind)`` with kind one of ``"^" "$" "\\b" "\\B"`` (``\\A``/``\\z`` become ``^``/``$``:
  rg matches each line alone, so they hold per line)

Flags ``m`` and ``s`` change nothing here: rg's matches never span lines, so ``.`` and every class
exclude "\\n" and the anchors always mean line start/end. Smart case needs to know whether the
pattern has literal characters and upper-case ones, so the parser counts them as rg does (escapes
like ``\\x41`` are literals; ``\\w`` and ``\\pL`` are not).
"""

from __future__ import annotations

from dataclasses import dataclass

MAX_CODEPOINT = 0x10FFFF
NEST_LIMIT = 250  # Rust's default: deeper patterns are an error there too
MAX_REPEAT = 1000  # RE2's bound on counted repetition


class PatternError(ValueError):
    pass


@dataclass(frozen=True)
class CharSet:
    """Code point ``ranges`` plus RE2 Unicode ``props`` (``"L"``, ``"Greek"``), complemented when ``negated``."""

    negated: bool = False
    ranges: tuple[tuple[int, int], ...] = ()
    props: tuple[str, ...] = ()


NEWLINE_ERROR = "the literal '\"\\n\"' is not allowed in a regex"

_WHITESPACE = ((0x09, 0x0D), (0x20, 0x20), (0x85, 0x85), (0xA0, 0xA0), (0x1680, 0x1680), (0x2000, 0x200A),
               (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F), (0x3000, 0x3000))
# Unicode's Word: Alphabetic (letters, Nl, and Other_Alphabetic, whose So members are listed),
# marks, decimal digits, connector punctuation and Join_Control.
_WORD = CharSet(False, ((0x200C, 0x200D), (0x24B6, 0x24E9), (0x1F130, 0x1F149), (0x1F150, 0x1F169),
                        (0x1F170, 0x1F189)), ("L", "M", "Nd", "Pc", "Nl"))
_DIGIT = CharSet(False, (), ("Nd",))
_ASCII_WORD = ((0x30, 0x39), (0x41, 0x5A), (0x5F, 0x5F), (0x61, 0x7A))
_POSIX = {
    "alnum": ((0x30, 0x39), (0x41, 0x5A), (0x61, 0x7A)), "alpha": ((0x41, 0x5A), (0x61, 0x7A)),
    "ascii": ((0, 0x7F),), "blank": ((9, 9), (0x20, 0x20)), "cntrl": ((0, 0x1F), (0x7F, 0x7F)),
    "digit": ((0x30, 0x39),), "graph": ((0x21, 0x7E),), "lower": ((0x61, 0x7A),), "print": ((0x20, 0x7E),),
    "punct": ((0x21, 0x2F), (0x3A, 0x40), (0x5B, 0x60), (0x7B, 0x7E)), "space": ((9, 0x0D), (0x20, 0x20)),
    "upper": ((0x41, 0x5A),), "word": _ASCII_WORD, "xdigit": ((0x30, 0x39), (0x41, 0x46), (0x61, 0x66)),
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
_META = set("\\.+*?()|[]{}^$#&-~")
_SIMPLE_ESCAPES = {"t": "\t", "n": "\n", "r": "\r", "f": "\f", "v": "\v", "a": "\a"}


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


def _set_operation(op: str, left, right) -> tuple[CharSet, ...]:
    a, b = _explicit(left), _explicit(right)
    if op == "&&":
        result = _intersect(a, b)
    elif op == "--":
        result = _intersect(a, complement(b))
    else:
        result = normalise(_intersect(a, complement(b)) + _intersect(b, complement(a)))
    return (CharSet(False, result),)


class Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0
        self.depth = 0
        self.any_literal = False
        self.any_upper = False
        self.tree: tuple = ("empty",)

    # -- helpers ---------------------------------------------------------------------------------
    def error(self, message: str) -> PatternError:
        return PatternError(f"regex parse error:\n    {self.text}\nerror: {message}")

    def peek(self, offset: int = 0) -> str:
        i = self.pos + offset
        return self.text[i] if i < len(self.text) else ""

    def take(self) -> str:
        ch = self.peek()
        if not ch:
            raise self.error("unexpected end of pattern")
        self.pos += 1
        return ch

    def skip_space(self, flags: dict) -> None:
        if not flags["x"]:
            return
        while self.pos < len(self.text):
            ch = self.text[self.pos]
            if ch.isspace():
                self.pos += 1
            elif ch == "#":
                end = self.text.find("\n", self.pos)
                self.pos = len(self.text) if end < 0 else end + 1
            else:
                return

    def literal(self, ch: str, flags: dict) -> tuple:
        self.note_literal(ch, flags)
        return ("lit", ch, flags["i"])

    def note_literal(self, ch: str, flags: dict, in_class: bool = False, escaped: bool = False) -> None:
        if ch == "\n" and not in_class:  # in a class, "\n" is dropped (an empty class is the error)
            raise PatternError(NEWLINE_ERROR)
        if not flags.get("u", True) and not ch.isascii():
            # Without Unicode, rg refuses such characters and reads \x80-\xFF as raw bytes,
            # which a UTF-8 RE2 pattern cannot say.
            raise self.error("raw bytes (\\x80-\\xFF without Unicode) are not supported" if escaped
                             else "Unicode not allowed here")
        self.any_literal = True
        if ch.isupper():
            self.any_upper = True

    # -- structure -------------------------------------------------------------------------------
    def parse(self, flags: dict) -> tuple:
        node = self.alternation(dict(flags))
        if self.pos < len(self.text):
            raise self.error("unopened group")
        return node

    def alternation(self, flags: dict) -> tuple:
        self.depth += 1
        if self.depth > NEST_LIMIT:
            raise self.error(f"exceed the maximum number of nested parentheses/brackets ({NEST_LIMIT})")
        branches: list[tuple] = []
        items: list[tuple | None] = []
        while True:
            self.skip_space(flags)
            ch = self.peek()
            if not ch or ch == ")":
                break
            if ch == "|":
                self.pos += 1
                branches.append(_concat(items))
                items = []
                continue
            if ch in "*+?{":
                if not items or items[-1] is None:
                    raise self.error("repetition operator missing expression")
                items[-1] = self.repetition(items[-1], flags)
                continue
            items.append(self.atom(flags))
        branches.append(_concat([i for i in items if i is not None]))
        self.depth -= 1
        return branches[0] if len(branches) == 1 else ("alt", tuple(branches))

    def repetition(self, node: tuple, flags: dict) -> tuple:
        ch = self.take()
        if ch == "{":
            lo, hi = self.counts()
        else:
            lo, hi = {"*": (0, None), "+": (1, None), "?": (0, 1)}[ch]
        lazy = self.peek() == "?"
        if lazy:
            self.pos += 1
        greedy = lazy == flags["U"]
        nested, inner = 1, node
        while inner[0] == "rep" and nested + self.depth <= NEST_LIMIT:
            nested, inner = nested + 1, inner[1]
        if nested + self.depth > NEST_LIMIT:  # "a***...": each repetition nests, as in Rust
            raise self.error(f"exceed the maximum number of nested parentheses/brackets ({NEST_LIMIT})")
        return ("rep", node, lo, hi, greedy)

    def counts(self) -> tuple[int, int | None]:
        lo = self.decimal()
        hi: int | None = lo
        if self.peek() == ",":
            self.pos += 1
            hi = None if self.peek() == "}" else self.decimal()
        if self.peek() != "}":
            raise self.error("unclosed counted repetition")
        self.pos += 1
        if hi is not None and lo > hi:
            raise self.error("invalid repetition count range, the start must be <= the end")
        if max(lo, hi or 0) > MAX_REPEAT:
            raise self.error(f"repetition counts above {MAX_REPEAT} are not supported")
        return lo, hi

    def decimal(self) -> int:
        start = self.pos
        while self.peek().isdigit() and self.peek().isascii():
            self.pos += 1
        if start == self.pos:
            raise self.error("repetition quantifier expects a valid decimal")
        return int(self.text[start:self.pos])

    def atom(self, flags: dict) -> tuple | None:
        ch = self.take()
        if ch == "(":
            return self.group(flags)
        if ch == "[":
            charsets = self.bracket(flags)
            if all(not cs.negated and not cs.props and _drop_newline(cs.ranges) == () for cs in charsets):
                raise PatternError(NEWLINE_ERROR)
            return ("cls", charsets, flags["i"])
        if ch == ".":
            return ("dot",)
        if ch == "^":
            return ("assert", "^")
        if ch == "$":
            return ("assert", "$")
        if ch == "\\":
            return self.escape(flags)
        return self.literal(ch, flags)

    def group(self, flags: dict) -> tuple | None:
        inner = flags
        if self.peek() == "?":
            self.pos += 1
            if self.peek() == "P" and self.peek(1) == "<":
                self.pos += 2
                self.group_name()
                inner = dict(flags)
            else:
                inner = dict(flags)
                if self.flag_list(inner):  # "(?flags)" alone: they apply to the rest of this group
                    flags.update(inner)
                    return None
        else:
            inner = dict(flags)
        node = self.alternation(inner)
        if self.peek() != ")":
            raise self.error("unclosed group")
        self.pos += 1
        return node

    def group_name(self) -> None:
        end = self.text.find(">", self.pos)
        name = self.text[self.pos:end] if end >= 0 else ""
        if end < 0 or not name or not (name[0].isalpha() or name[0] == "_") or not all(c.isalnum() or c in "_.[]" for c in name):
            raise self.error("invalid capture group name")
        self.pos = end + 1

    def flag_list(self, flags: dict) -> bool:
        """Reads ``imsUxu-...`` up to ``)`` (returns True) or ``:`` (returns False)."""
        value, seen, named = True, False, set()
        while True:
            ch = self.peek()
            if not ch:
                raise self.error("expected flag but got end of regex")
            self.pos += 1
            if ch in "):":
                if not seen and (ch == ")" or not value):
                    raise self.error("expected flag")
                return ch == ")"
            if ch == "-":
                if not value:
                    raise self.error("duplicate negation")
                value, seen = False, False
                continue
            if ch not in "imsUxu":
                raise self.error("unrecognized flag")
            if ch in named:
                raise self.error("duplicate flag")
            named.add(ch)
            flags[ch] = value
            seen = True

    # -- escapes -------------------------------------------------------------------------------
    def escape(self, flags: dict, in_class: bool = False) -> tuple:
        ch = self.take()
        if ch in _META or ch in _SIMPLE_ESCAPES or ch in "xuU":
            value = _SIMPLE_ESCAPES.get(ch) or (self.hex_escape(ch) if ch in "xuU" else ch)
            self.note_literal(value, flags, in_class, escaped=True)
            return ("lit", value, flags["i"])
        if ch in "dDwWsS":
            return ("cls", (self.perl_class(ch, flags),), flags["i"])
        if ch in "pP":
            if not flags["u"]:
                raise self.error("Unicode not allowed here")
            return ("cls", (self.property_class(ch == "P"),), flags["i"])
        if not in_class and ch in "AzbB":
            return ("assert", {"A": "^", "z": "$", "b": "\\b", "B": "\\B"}[ch])
        if ch.isdigit():
            raise self.error("backreferences are not supported")
        if ch == " " and flags["x"]:
            return self.literal(" ", flags)
        raise self.error("unrecognized escape sequence")

    def hex_escape(self, kind: str) -> str:
        if self.peek() == "{":
            end = self.text.find("}", self.pos)
            digits = self.text[self.pos + 1:end] if end > 0 else ""
            self.pos = end + 1 if end > 0 else len(self.text)
        else:
            width = {"x": 2, "u": 4, "U": 8}[kind]
            digits = self.text[self.pos:self.pos + width]
            if len(digits) < width:
                raise self.error("unexpected end of hexadecimal literal")
            self.pos += width
        if not digits or not all(c in "0123456789abcdefABCDEF" for c in digits):
            raise self.error("invalid hexadecimal digit")
        value = int(digits, 16)
        if value > MAX_CODEPOINT or 0xD800 <= value <= 0xDFFF:
            raise self.error("hexadecimal literal is not a Unicode scalar value")
        return chr(value)

    def perl_class(self, ch: str, flags: dict) -> CharSet:
        kind = ch.lower()
        if not flags["u"]:
            ranges = {"d": ((0x30, 0x39),), "w": _ASCII_WORD, "s": ((9, 0x0D), (0x20, 0x20))}[kind]
            base = CharSet(False, ranges)
        else:
            base = {"d": _DIGIT, "w": _WORD, "s": CharSet(False, _WHITESPACE)}[kind]
        return CharSet(ch.isupper(), base.ranges, base.props)

    def property_class(self, negated: bool) -> CharSet:
        if self.peek() == "{":
            end = self.text.find("}", self.pos)
            if end < 0:
                raise self.error("unclosed Unicode class literal")
            name = self.text[self.pos + 1:end]
            self.pos = end + 1
        else:
            name = self.take()
        try:
            prop = unicode_property(name)
        except PatternError as error:
            raise self.error(str(error).removeprefix("regex parse error: ")) from None
        return CharSet(negated, (), (prop,))

    # -- classes -------------------------------------------------------------------------------
    def bracket(self, flags: dict) -> tuple[CharSet, ...]:
        """A ``[...]`` class (the ``[`` already read) as a union of charsets."""
        self.depth += 1
        if self.depth > NEST_LIMIT:
            raise self.error(f"exceed the maximum number of nested parentheses/brackets ({NEST_LIMIT})")
        negated = self.peek() == "^"
        if negated:
            self.pos += 1
        result = self.class_union(flags, first=True)
        while True:
            self.skip_space(flags)
            op = self.text[self.pos:self.pos + 2]
            if op in ("&&", "--", "~~"):
                self.pos += 2
                result = _set_operation(op, result, self.class_union(flags, first=False))
                continue
            if self.peek() != "]":
                raise self.error("unclosed character class")
            self.pos += 1
            break
        self.depth -= 1
        if negated:
            result = _negate(result)
        if all(_is_empty(cs) for cs in result):
            raise self.error("empty character classes are not allowed")
        return result

    def class_union(self, flags: dict, first: bool) -> tuple[CharSet, ...]:
        items: list[CharSet] = []
        loose: list[tuple[int, int]] = []
        start = self.pos
        while True:
            self.skip_space(flags)
            ch = self.peek()
            if not ch:
                raise self.error("unclosed character class")
            if ch == "]" and not (first and self.pos == start):
                break
            if self.text.startswith(("&&", "--", "~~"), self.pos) and self.pos != start:
                break
            if ch == "[":
                posix = self.posix_class()
                if posix is not None:
                    items.append(posix)
                else:
                    self.pos += 1
                    items.extend(self.bracket(flags))
                continue
            lo = self.class_char(flags)
            if isinstance(lo, CharSet):
                items.append(lo)
                continue
            self.skip_space(flags)
            if self.peek() == "-" and self.peek(1) not in ("]", "-", ""):
                self.pos += 1
                self.skip_space(flags)
                hi = self.class_char(flags)
                if isinstance(hi, CharSet):
                    raise self.error("invalid range boundary, must be a literal")
                if ord(lo) > ord(hi):
                    raise self.error("invalid character class range, the start must be <= the end")
                loose.append((ord(lo), ord(hi)))
            else:
                loose.append((ord(lo), ord(lo)))
        if loose:
            items.append(CharSet(False, normalise(loose)))
        if not items:
            raise self.error("unclosed character class")
        return tuple(items)

    def class_char(self, flags: dict) -> str | CharSet:
        ch = self.take()
        if ch != "\\":
            self.note_literal(ch, flags, in_class=True)
            return ch
        node = self.escape(flags, in_class=True)
        if node[0] == "cls":
            return node[1][0]
        return node[1]

    def posix_class(self) -> CharSet | None:
        if self.peek(1) != ":":
            return None
        end = self.text.find(":]", self.pos + 2)
        if end < 0:
            return None
        name = self.text[self.pos + 2:end]
        negated = name.startswith("^")
        ranges = _POSIX.get(name[1:] if negated else name)
        if ranges is None:
            return None
        self.pos = end + 2
        return CharSet(negated, ranges)


def _drop_newline(ranges) -> tuple[tuple[int, int], ...]:
    return _intersect(normalise(ranges), complement(((10, 10),)))


def _negate(charsets: tuple[CharSet, ...]) -> tuple[CharSet, ...]:
    if all(not cs.negated for cs in charsets):
        return (CharSet(True, normalise(r for cs in charsets for r in cs.ranges), tuple(p for cs in charsets for p in cs.props)),)
    if len(charsets) == 1:
        return (CharSet(False, charsets[0].ranges, charsets[0].props),)
    return (CharSet(True, complement(_explicit(charsets))),)


def _is_empty(cs: CharSet) -> bool:
    if cs.props:
        return False
    return complement(cs.ranges) == () if cs.negated else not cs.ranges


def _concat(items: list) -> tuple:
    items = [i for i in items if i is not None]
    if not items:
        return ("empty",)
    return items[0] if len(items) == 1 else ("cat", tuple(items))


def _check_repeat_sizes(node: tuple, product: int = 1) -> None:
    """RE2 refuses counted repetitions nested to more than 1000 copies in all (``(x{100}){11}``)."""
    kind = node[0]
    if kind == "rep":
        _, sub, lo, hi, _greedy = node
        if (lo, hi) not in ((0, None), (1, None), (0, 1)):
            product *= hi if hi is not None else lo
            if product > MAX_REPEAT:
                raise PatternError(f"regex parse error: nested repetition counts above {MAX_REPEAT} in all are not supported")
        _check_repeat_sizes(sub, product)
    elif kind in ("cat", "alt"):
        for sub in node[1]:
            if sub[0] in ("rep", "cat", "alt"):
                _check_repeat_sizes(sub, product)


def parse(text: str) -> Parser:
    """Parses ``text``; the tree is in ``.tree`` and the literal counts on the parser.

    A node's case flag is None where no inline ``(?i)``/``(?-i)`` applies: the search's case
    (which smart case decides from those counts) fills it in later.
    """
    parser = Parser(text)
    parser.tree = parser.parse({"i": None, "m": True, "s": False, "U": False, "x": False, "u": True})
    _check_repeat_sizes(parser.tree)
    return parser


def fixed(text: str) -> Parser:
    parser = Parser(text)
    parser.tree = _concat([parser.literal(ch, {"i": None, "u": True}) for ch in text])
    return parser
