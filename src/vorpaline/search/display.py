"""Names and lines made safe to print: nothing a terminal would act on, nothing that poses as two lines."""

from __future__ import annotations

import unicodedata

__all__ = ["printable", "quoted_name"]

_BIDI_CONTROLS = frozenset("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


def printable(text: str) -> str:
    """``text`` safe to print on a terminal: control characters, and the bidirectional
    overrides that can make code read otherwise, are shown as escapes; tabs become spaces."""
    def shown(ch: str) -> str:
        if unicodedata.category(ch) != "Cc" and ch not in _BIDI_CONTROLS:
            return ch
        return f"\\x{ord(ch):02x}" if ord(ch) < 0x100 else f"\\u{ord(ch):04x}"

    return "".join(shown(ch) for ch in text.expandtabs(4))


_C_ESCAPES = {0x07: "\\a", 0x08: "\\b", 0x09: "\\t", 0x0a: "\\n", 0x0b: "\\v", 0x0c: "\\f", 0x0d: "\\r",
              0x22: '\\"', 0x5c: "\\\\"}


def quoted_name(name: str) -> str:
    """A file name as git prints one: as it is, or, when it holds a control character, a quote, a
    backslash, a bidirectional override or bytes that are not UTF-8, in double quotes with C escapes
    (octal for the bytes without a letter), so that no name can move the cursor or pose as two."""
    if name.isprintable() and '"' not in name and "\\" not in name and not _BIDI_CONTROLS.intersection(name):
        return name
    pieces = ['"']
    for ch in name:
        if ch in _BIDI_CONTROLS or not ch.isprintable() and ch != " " or ch in '"\\':
            try:
                raw = ch.encode("utf-8", "surrogateescape")
            except UnicodeEncodeError:  # a lone surrogate no name's byte gives (an application's text)
                raw = ch.encode("utf-8", "surrogatepass")
            pieces.extend(_C_ESCAPES.get(byte, f"\\{byte:03o}") for byte in raw)
        else:
            pieces.append(ch)
    pieces.append('"')
    return "".join(pieces)
