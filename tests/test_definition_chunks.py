"""Chunks that follow a parser's definitions (docs/chunking.md, "Chunks that
follow definitions"): each definition whole when it fits, a long one cut at
its inner definitions, the rest chunked as chunk_text chunks it."""

import ast
import inspect
import json

import pytest

from hypothesis import given, settings, strategies as st
from test_chunking import TEXTS, method

import vorpaline_core_py as core

DEFAULT_LIMITS = {"max_lines": 60, "min_lines": 4, "merge_lines": 20, "max_bytes": 64 * 1024}
MAX_NESTING = 24


def chunks(text, spans, limits=None):
    arguments = (text, json.dumps(spans)) + (() if limits is None else (json.dumps(limits),))
    reply = json.loads(core.chunk_text_with_definitions(*arguments))
    assert list(reply) == ["chunks"]
    return [tuple(pair) for pair in reply["chunks"]]


def plain_chunks(text):
    return [tuple(pair) for pair in json.loads(core.chunk_text(text))["chunks"]]


# --- a model of the spans kept, and the contract ---------------------------------

def consistent(limits):
    limits = {**DEFAULT_LIMITS, **limits}
    max_lines = max(limits["max_lines"], 1)
    merge_lines = min(limits["merge_lines"], max_lines)
    return {"max_lines": max_lines, "merge_lines": merge_lines,
            "min_lines": min(limits["min_lines"], merge_lines),
            "max_bytes": max(limits["max_bytes"], 1)}


class Text:
    def __init__(self, text):
        self.lines = text.split("\n")
        self.blank = [line.strip(" \t\r\f\v") == "" for line in self.lines]

    def bytes(self, first, last):
        size = sum(len(line.encode("utf-8", "surrogatepass")) + 1
                   for line in self.lines[first - 1:last])
        return size - 1 if last == len(self.lines) else size

    def fits(self, first, last, limits):
        return last - first + 1 <= limits["max_lines"] and self.bytes(first, last) <= limits["max_bytes"]

    def no_blank_line(self, first, last):
        return not any(self.blank[first - 1:last])


def kept_definitions(text, spans):
    """(first, last, enclosing spans) of each span as the chunker mends and nests it."""
    mended = []
    for first, last in spans:
        if first == 0 or first > last or first > len(text.lines):
            continue
        last = min(last, len(text.lines))
        while first < last and text.blank[first - 1]:
            first += 1
        while last > first and text.blank[last - 1]:
            last -= 1
        if not text.blank[first - 1]:
            mended.append((first, last))
    kept, open_spans = [], []
    for first, last in sorted(mended, key=lambda span: (span[0], -span[1])):
        while open_spans and open_spans[-1][1] < first:
            open_spans.pop()
        if open_spans and (last > open_spans[-1][1] or (first, last) == open_spans[-1]
                           or len(open_spans) == MAX_NESTING):
            continue
        kept.append((first, last, tuple(open_spans)))
        open_spans.append((first, last))
    return kept


def check_contract(text, found, limits):
    previous_last = 0
    covered = set()
    for first, last in found:
        assert previous_last < first <= last <= len(text.lines), (first, last)
        assert not text.blank[first - 1] and not text.blank[last - 1], (first, last)
        assert first == last or text.fits(first, last, limits), (first, last)
        covered.update(range(first, last + 1))
        previous_last = last
    assert all(line in covered for line in range(1, len(text.lines) + 1) if not text.blank[line - 1])


def chunk_holding(found, line):
    return next(chunk for chunk in found if chunk[0] <= line <= chunk[1])


def check_definitions(text, spans, found, limits):
    for first, last, enclosing in kept_definitions(text, spans):
        holder = chunk_holding(found, first)
        if last - first + 1 >= limits["min_lines"]:
            # It starts its chunk, but for the lines directly above that lead
            # into it (its own, or a short head of what encloses it).
            leads = [first] + [outer_first for outer_first, _ in enclosing]
            assert any(holder[0] <= lead and text.no_blank_line(holder[0], lead) for lead in leads), \
                (first, last, holder)
        nothing_above = first == 1 or text.blank[first - 2]
        if nothing_above and text.fits(first, last, limits):
            assert holder == chunk_holding(found, last), (first, last)


# --- properties --------------------------------------------------------------------

LIMITS = st.fixed_dictionaries({
    "max_lines": st.integers(0, 70), "min_lines": st.integers(0, 10),
    "merge_lines": st.integers(0, 30), "max_bytes": st.sampled_from([0, 1, 40, 300, 5000, 65536]),
})


@st.composite
def texts_and_spans(draw):
    text = draw(TEXTS)
    count = text.count("\n") + 1
    line = st.integers(0, count + 2)
    spans = draw(st.lists(st.tuples(line, line), max_size=30))
    # Definitions as a parser gives them too: nested, from one line to a later one.
    starts = draw(st.lists(st.integers(1, count), max_size=10))
    spans += [(start, draw(st.integers(start, count))) for start in starts]
    return text, spans


@settings(max_examples=150, deadline=None)
@given(TEXTS)
def test_without_definitions_the_chunks_are_chunk_texts(text):
    assert chunks(text, []) == plain_chunks(text)


@settings(max_examples=300, deadline=None)
@given(texts_and_spans(), LIMITS)
def test_any_spans_and_limits_keep_the_contract(text_and_spans, limits):
    text, spans = text_and_spans
    found = chunks(text, spans, limits)
    lines, effective = Text(text), consistent(limits)
    check_contract(lines, found, effective)
    check_definitions(lines, spans, found, effective)


@settings(max_examples=100, deadline=None)
@given(texts_and_spans())
def test_the_order_of_the_spans_and_unusable_ones_change_nothing(text_and_spans):
    text, spans = text_and_spans
    count = text.count("\n") + 1
    garbage = [(0, 3), (5, 2), (count + 1, count + 9), (2 ** 32 - 1, 2 ** 32 - 1)]
    assert chunks(text, spans[::-1] + garbage + spans) == chunks(text, spans)


# --- examples ------------------------------------------------------------------------

PYTHON = """\
import os
import sys


class Store:
    def get(self, key):
        return self.items[key]

    def put(self, key, value):
        self.items[key] = value


@cache
def load(path):
    with open(path) as f:
        return f.read()


LIMIT = 10
if __name__ == "__main__":
    load(sys.argv[1])
"""
PYTHON_SPANS = [[5, 10], [6, 7], [9, 10], [14, 16]]

NESTED = """\
def outer(items):
    total = 0

    def add(item):
        nonlocal total
        total += item
        return total

    def show():
        print(total)

    for item in items:
        add(item)
    return show
"""
NESTED_SPANS = [[1, 14], [4, 7], [9, 10]]

C = """\
#include <stdio.h>

/* Counts the calls. */
static int count(void)
{
    static int calls;
    return ++calls;
}
int main(void)
{
    printf("%d\\n", count());
    return 0;
}
"""

HEAD_ALONE = ("def f():\n    a = 1\n    b = 2\n    return a\nclass B:\n    x = 1\n\n"
              + method("m", 8))

LONG_CLASS = 'class Big:\n    """Many methods."""\n\n' + "\n".join(method(name, 8) for name in "abcdefgh")


@pytest.mark.parametrize("text, spans, limits, expected", [
    # Each definition within the limits is one chunk; small module code apart
    # from a sizeable definition, packed with what is not one.
    (PYTHON, PYTHON_SPANS, None, [(1, 2), (5, 10), (13, 21)]),
    # The same class over the limits: its head leads into its first method;
    # the decorator above `load` belongs to it.
    (PYTHON, PYTHON_SPANS, {"max_lines": 5, "min_lines": 2}, [(1, 2), (5, 7), (9, 10), (13, 16), (19, 21)]),
    # chunk_text lets the imports lead into the class; a definition starts its chunk.
    (PYTHON, [], None, [(1, 10), (13, 21)]),
    # Nested functions: the outer one whole when it fits, else cut at them,
    # the code after them chunked as chunk_text would.
    (NESTED, NESTED_SPANS, None, [(1, 14)]),
    (NESTED, NESTED_SPANS, {"max_lines": 8, "min_lines": 3}, [(1, 7), (9, 14)]),
    (NESTED, NESTED_SPANS, {"max_lines": 8, "min_lines": 2}, [(1, 2), (4, 7), (9, 10), (12, 14)]),
    # C: the comment directly above a function is part of it; the include,
    # short, can join no definition and stays alone.
    (C, [[4, 8], [9, 13]], None, [(1, 1), (3, 8), (9, 13)]),
    (C, [], None, [(1, 8), (9, 13)]),
    # A short head that cannot lead into its method stays alone rather than
    # join the function before the class.
    (HEAD_ALONE, [[1, 4], [5, 15], [8, 15]], {"max_lines": 8, "min_lines": 3},
     [(1, 4), (5, 6), (8, 15)]),
    # A long class cut at its methods (one span each), the class line and
    # docstring leading into the first.
    (LONG_CLASS, [[1, 75]] + [[4 + 9 * i, 11 + 9 * i] for i in range(8)], {"max_lines": 30},
     [(1, 11)] + [(13 + 9 * i, 20 + 9 * i) for i in range(7)]),
    # A span past the text's end, one with blank ends, and the parser's
    # garbage: reversed, from line 0, overlapping without nesting, repeated.
    (C, [[9, 500]], None, [(1, 8), (9, 13)]),
    (NESTED, [[3, 8], [1, 14]], {"max_lines": 8, "min_lines": 3}, [(1, 7), (9, 14)]),
    (NESTED, [[7, 4], [0, 5], [5, 11], [3, 8], [4, 7], [4, 7]], {"max_lines": 8, "min_lines": 3},
     [(1, 2), (4, 7), (9, 14)]),
], ids=["python", "python-split", "python-plain", "nested", "nested-split", "nested-small",
        "c", "c-plain", "head-alone", "long-class", "past-end", "blank-ends", "garbage"])
def test_examples(text, spans, limits, expected):
    assert chunks(text, spans, limits) == expected


def test_definitions_nested_deeper_than_followed_still_keep_the_contract():
    text = "".join(" " * depth + f"level{depth}\n" for depth in range(300))
    spans = [[depth + 1, 300] for depth in range(300)]
    limits = consistent({"max_lines": 10})
    found = chunks(text, spans, limits)
    check_contract(Text(text), found, limits)
    check_definitions(Text(text), spans, found, limits)


def test_default_limits_given_are_the_defaults():
    assert chunks(PYTHON, PYTHON_SPANS, DEFAULT_LIMITS) == chunks(PYTHON, PYTHON_SPANS)
    assert chunks(PYTHON, PYTHON_SPANS, None) == chunks(PYTHON, PYTHON_SPANS)


@pytest.mark.parametrize("module", ["textwrap", "dataclasses", "json.decoder", "argparse"])
def test_the_standard_librarys_definitions_as_its_parser_finds_them(module):
    text = inspect.getsource(__import__(module, fromlist=["_"]))
    spans = [[node.lineno, node.end_lineno] for node in ast.walk(ast.parse(text))
             if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef))]
    found, limits = chunks(text, spans), consistent({})
    check_contract(Text(text), found, limits)
    check_definitions(Text(text), spans, found, limits)


# --- arguments -------------------------------------------------------------------------

@pytest.mark.parametrize("arguments, error, message", [
    (("a",), TypeError, r"takes 2 or 3 arguments \(1 given\)"),
    (("a", "[]", "{}", "x"), TypeError, r"takes 2 or 3 arguments \(4 given\)"),
    ((b"a", "[]"), TypeError, r"argument 1 \('text'\) must be str, not bytes"),
    (("a", [[1, 1]]), TypeError, r"argument 2 \('spans_json'\) must be str, not list"),
    (("a", "[]", {}), TypeError, r"argument 3 \('limits_json'\) must be str, not dict"),
    (("a", "{}"), ValueError, r"spans_json must be a JSON array of \[first_line, last_line\] pairs"),
    (("a", "[[1]]"), ValueError, "spans_json must be a JSON array"),
    (("a", "[[1, -2]]"), ValueError, "spans_json must be a JSON array"),
    (("a", "[[1, 2.5]]"), ValueError, "spans_json must be a JSON array"),
    (("a", "[[1, 2"), ValueError, "spans_json must be a JSON array"),
    (("a", "[]", "[]"), ValueError, "limits_json must be a JSON object"),
    (("a", "[]", '{"max_lines": -1}'), ValueError, r'limit "max_lines" must be an integer from 0'),
    (("a", "[]", '{"lines": 3}'), ValueError, r'unknown limit "lines"'),
])
def test_wrong_arguments(arguments, error, message):
    with pytest.raises(error, match=message) as caught:
        core.chunk_text_with_definitions(*arguments)
    assert type(caught.value) is error
