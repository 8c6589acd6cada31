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

from vorpaline.search.grep_classes import (
    ASCII_WORD, DIGIT, MAX_CODEPOINT, META, NEWLINE_ERROR, POSIX, SIMPLE_ESCAPES, WHITESPACE, WORD,
    CharSet, PatternError, drop_newline, is_empty, negate, normalise, set_operation, unicode_property,
)

NEST_LIMIT = 250  # Rust's default: deeper patterns are an error there too
MAX_REPEAT = 1000  # RE2's bound on counted repetition


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
            if all(not cs.negated and not cs.props and drop_newline(cs.ranges) == () for cs in charsets):
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
        if ch in META or ch in SIMPLE_ESCAPES or ch in "xuU":
            value = SIMPLE_ESCAPES.get(ch) or (self.hex_escape(ch) if ch in "xuU" else ch)
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
            ranges = {"d": ((0x30, 0x39),), "w": ASCII_WORD, "s": ((9, 0x0D), (0x20, 0x20))}[kind]
            base = CharSet(False, ranges)
        else:
            base = {"d": DIGIT, "w": WORD, "s": CharSet(False, WHITESPACE)}[kind]
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
                result = set_operation(op, result, self.class_union(flags, first=False))
                continue
            if self.peek() != "]":
                raise self.error("unclosed character class")
            self.pos += 1
            break
        self.depth -= 1
        if negated:
            result = negate(result)
        if all(is_empty(cs) for cs in result):
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
        ranges = POSIX.get(name[1:] if negated else name)
        if ranges is None:
            return None
        self.pos = end + 2
        return CharSet(negated, ranges)


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
