"""The core's chunker: texts cut into chunks of whole lines (docs/chunking.md)."""

import json

import pytest

from conftest import call_and_longest_stall, run_threads
from hypothesis import given, settings, strategies as st

import vorpaline_core_py as core

MAX_LINES = 60
MIN_LINES = 4
MERGE_LINES = 20
MAX_BYTES = 64 * 1024


def chunks(text):
    reply = json.loads(core.chunk_text(text))
    assert list(reply) == ["chunks"]
    return [tuple(pair) for pair in reply["chunks"]]


def method(name, lines):
    return f"    def {name}(self):\n" + "".join(f"        x{i} = {i}\n" for i in range(lines - 1))


def c_function_of_blocks(blocks, block_lines):
    body = "\n\n".join("\n".join(f"    step{b}_{i}();" for i in range(block_lines))
                       for b in range(blocks))
    return "int main(void)\n{\n" + body + "\n    return 0;\n}\n"


# --- units ---------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    # Python: imports and a constant are small, packed; each definition its own.
    ("import os\nimport sys\n\nLIMIT = 1\n\n\ndef f(x):\n    y = x + 1\n    z = y * 2\n"
     "    return z\n\n\n@cache\ndef g():\n    a = 1\n    return a\n",
     [(1, 4), (7, 10), (13, 16)]),
    # A comment and a decorator directly above a definition belong to it.
    ("def f():\n    a = 1\n    b = 2\n    return a\n# the next one\n@wraps\ndef g():\n    return 2\n",
     [(1, 4), (5, 8)]),
    # C: the closing brace stays with its function; the next one starts after it.
    ("int f(void)\n{\n    int a = 1;\n    return a;\n}\nint g(void)\n{\n    return 2;\n}\n",
     [(1, 5), (6, 9)]),
    # else, except, finally and catch go on with the block before them.
    ("try:\n    import fast\n    ok = True\nexcept ImportError:\n    fast = None\nfinally:\n"
     "    pass\n", [(1, 7)]),
    ("if (x) {\n    a();\n    b();\n}\nelse {\n    c();\n    d();\n}\n", [(1, 8)]),
    # Block-ending keywords of Ruby, shell, the C preprocessor, closing tags.
    ("class Stack\n  def push(x)\n    @items << x\n  end\nend\nclass Queue\n  def add(x)\n"
     "    @items << x\n  end\nend\n", [(1, 5), (6, 10)]),
    ("if [ -f x ]; then\n  echo one\n  echo two\nfi\nfor f in *; do\n  echo $f\n  echo again\n"
     "done\n", [(1, 4), (5, 8)]),
    ("#ifdef A\nint f(void);\n#else\nint g(void);\n#endif\nint h(void)\n{\n    return 0;\n}\n",
     [(1, 5), (6, 9)]),
    ("<div>\n  <p>one</p>\n  <p>two</p>\n</div>\n<div>\n  <p>three</p>\n  <p>four</p>\n</div>\n",
     [(1, 4), (5, 8)]),
    # A name that only looks like a keyword starts a unit as any other line.
    ("for x in y:\n    a = 1\n    b = 2\n    c = 3\ndone = True\nprint(done)\nprint(x)\n"
     "print(y)\n", [(1, 4), (5, 8)]),
    ("for x in y:\n    a = 1\n    b = 2\n    c = 3\nend.close()\nprint(x)\nprint(y)\n"
     "print(a)\n", [(1, 4), (5, 8)]),
    # Markdown: a heading joins the paragraph it introduces, not the one before.
    ("# Title\n\nSome text here\nthat wraps.\n\n## Section\n\nMore text, a long\nparagraph of\n"
     "four lines\nin all.\n", [(1, 4), (6, 11)]),
    # A small tail with nothing after it joins the chunk before.
    ("def main():\n    a = 1\n    b = 2\n    return a + b\n\n\nif __name__ == '__main__':\n"
     "    main()\n", [(1, 8)]),
    # The base indentation is the least of the text's, not column 0.
    ("    def f():\n        a = 1\n        b = 2\n        return a\n\n    def g():\n"
     "        a = 1\n        b = 2\n        return b\n", [(1, 4), (6, 9)]),
], ids=["python", "decorated", "c", "try-except", "c-else", "ruby", "shell", "ifdef", "html",
        "done-assigned", "end-member", "markdown", "small-tail", "indented-text"])
def test_units(text, expected):
    assert chunks(text) == expected


# --- long units are split, small pieces merged ---------------------------------

@pytest.mark.parametrize("text, expected", [
    # A class over the limit: its methods, the class line with the first one.
    ("class A:\n    \"\"\"Doc.\"\"\"\n\n" + "\n".join(method(name, 25) for name in "fgh"),
     [(1, 28), (30, 54), (56, 80)]),
    # A function over the limit: its blank-separated blocks; the closing brace
    # and the last statement with the last block.
    (c_function_of_blocks(10, 9),
     [(1, 11)] + [(13 + 10 * b, 21 + 10 * b) for b in range(8)] + [(93, 103)]),
    # Nothing to cut at: runs of equal length, no stub at the end.
    ("TABLE = [\n" + "".join(f"    {i},\n" for i in range(128)) + "]\n",
     [(1, 43), (44, 86), (87, 130)]),
    ("x = 1\n" * 130, [(1, 43), (44, 86), (87, 130)]),
    # Blank-separated one-liners packed up to the merge size.
    ("x = 1\n\n" * 30, [(1, 19), (21, 39), (41, 59)]),
    # Lines that together pass the byte cap.
    (("y" * 30000 + "\n") * 5, [(1, 2), (3, 4), (5, 5)]),
], ids=["class", "c-function", "literal", "flat", "one-liners", "bytes"])
def test_splitting_and_merging(text, expected):
    assert chunks(text) == expected


def test_a_unit_nested_too_deep_to_follow_is_still_split_within_limits():
    text = "".join(" " * depth + f"level{depth}\n\n" for depth in range(400))
    check_invariants(text, chunks(text))


# --- edge cases ----------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("\n", []),
    (" \t\r\n\f\n\v\n   ", []),
    ("x", [(1, 1)]),
    ("\n\n\nx = 1\n\n\n", [(4, 4)]),
    ("a = 1\nb = 2", [(1, 2)]),
    ("def f():\r\n    a = 1\r\n    b = 2\r\n    return a\r\n\r\ndef g():\r\n    return 1\r\n"
     "    pass\r\n    pass\r\n", [(1, 4), (6, 9)]),
    ("def f():\n\ta = 1\n\tb = 2\n\treturn a\n\ndef g():\n\treturn 1\n\tpass\n\tpass\n",
     [(1, 4), (6, 9)]),
    # A byte order mark is no part of the first line's indentation.
    ("\ufeffdef f():\n    a = 1\n    b = 2\n    return a\n\ndef g():\n    return 1\n"
     "    pass\n    pass\n", [(1, 4), (6, 9)]),
    # One huge line is one chunk, whole; so is each huge line among others.
    ("a" * 1_000_000, [(1, 1)]),
    ("a\n" + "b" * 100_000 + "\nc\n", [(1, 1), (2, 2), (3, 3)]),
    # Other line separators of str.splitlines do not end lines.
    ("a\u2028b\rc\x0bd\n", [(1, 1)]),
], ids=["empty", "newline", "only-blank", "one-char", "blank-around", "no-final-newline",
        "crlf", "tabs", "bom", "huge-line", "huge-line-inside", "other-separators"])
def test_edge_cases(text, expected):
    assert chunks(text) == expected


def test_a_hundred_thousand_one_line_statements():
    text = "".join(f"call_{i}()\n" for i in range(100_000))
    found = chunks(text)
    assert len(found) == 1667
    assert {last - first + 1 for first, last in found} == {59, 60}
    check_invariants(text, found)


def test_non_ascii_text_counts_lines_not_characters():
    text = "функция()\n" * 5 + "\n" + "名前 = 1\n" * 5
    assert chunks(text) == [(1, 5), (7, 11)]


# --- properties ------------------------------------------------------------------

def check_invariants(text, found):
    lines = text.split("\n")
    blank = [line.strip(" \t\r\f\v") == "" for line in lines]
    covered = [0] * len(lines)
    previous_last = 0
    for first, last in found:
        assert previous_last < first <= last <= len(lines), (first, last)
        assert not blank[first - 1] and not blank[last - 1], (first, last)
        assert last - first + 1 <= MAX_LINES, (first, last)
        size = sum(len(line.encode("utf-8", "surrogatepass")) + 1 for line in lines[first - 1:last])
        if last == len(lines):
            size -= 1  # no newline after the text's last line
        assert first == last or size <= MAX_BYTES, (first, last, size)
        for line in range(first, last + 1):
            covered[line - 1] += 1
        previous_last = last
    assert all(covered[i] == (0 if blank[i] else 1) or (blank[i] and covered[i] == 1)
               for i in range(len(lines)))
    assert all(covered[i] == 1 for i in range(len(lines)) if not blank[i])


LINE_BODIES = st.sampled_from([
    "x = 1", "def f(x):", "class A:", "return x", "}", "};", ")", "end", "fi", "done",
    "else:", "} else {", "except ValueError:", "#endif", "#else", "</div>", "// comment",
    "# heading", "@decorator", "done = 1", "endpoint()", "名前 = 'значение'", "\t", "",
    "x" * 3000,
])
LINES = st.tuples(st.sampled_from(["", " ", "  ", "    ", "\t", "\t  ", "        ", " \t"]),
                  LINE_BODIES, st.sampled_from(["", "\r", "  "]))
TEXTS = st.builds(
    lambda lines, final: "\n".join(indent + body + end for indent, body, end in lines) + final,
    st.lists(LINES, max_size=400), st.sampled_from(["", "\n", "\n\n"]))


@settings(max_examples=300, deadline=None)
@given(TEXTS)
def test_chunks_are_in_order_and_cover_every_non_blank_line_once(text):
    check_invariants(text, chunks(text))


@settings(max_examples=200, deadline=None)
@given(st.text(st.characters(blacklist_categories=("Cs",)), max_size=3000))
def test_any_text_gives_chunks_within_the_rules(text):
    check_invariants(text, chunks(text))


@settings(max_examples=200, deadline=None)
@given(TEXTS)
def test_line_ends_and_tabs_do_not_change_the_chunks(text):
    found = chunks(text)
    # Far below the byte cap, CRLF line ends and trailing blank lines change nothing.
    if len(text) * 2 < MAX_BYTES:
        assert chunks(text.replace("\n", "\r\n")) == found
    assert chunks(text + "\n  \n\t\n") == found
    # A tab is indentation to the next multiple of 8 columns.
    assert chunks(text.replace("\n        ", "\n\t")) == chunks(text.replace("\n\t", "\n        "))


# --- threads and memory kept between calls -------------------------------------

def test_a_long_text_before_a_short_one_changes_nothing():
    short = "def f():\n    return 1\n\n\nx = 2\n"
    expected = chunks(short)
    chunks("def g():\n    pass\n" * 400_000)
    assert chunks(short) == expected


def test_a_long_text_is_chunked_with_the_interpreter_lock_released():
    text = "def f(x):\n    return x\n\n" * 3_000_000
    seconds, longest_stall = call_and_longest_stall(lambda: core.chunk_text(text))
    assert seconds > 0.02
    assert longest_stall < seconds / 2


def test_threads_chunking_at_once_agree_with_serial_results():
    texts = [c_function_of_blocks(12, 8), "x = 1\n" * 5000, "a" * 200_000, "# T\n\nbody\n" * 3000,
             "".join(method(f"m{i}", 30) for i in range(50))]
    expected = [core.chunk_text(text) for text in texts]
    mismatches = []

    def run(offset):
        for round_ in range(60):
            at = (offset + round_) % len(texts)
            if core.chunk_text(texts[at]) != expected[at]:
                mismatches.append(at)

    run_threads(run, 4)
    assert mismatches == []


# --- arguments -------------------------------------------------------------------

class Text(str):
    pass


@pytest.mark.parametrize("call, error, message", [
    (lambda: core.chunk_text(), TypeError, r"chunk_text\(\) takes exactly one argument \(0 given\)"),
    (lambda: core.chunk_text("a", "b"), TypeError, r"takes exactly one argument \(2 given\)"),
    (lambda: core.chunk_text(text="a"), TypeError, "keyword arguments"),
    (lambda: core.chunk_text(b"a"), TypeError, r"argument 1 \('text'\) must be str, not bytes"),
    (lambda: core.chunk_text(None), TypeError, "must be str, not NoneType"),
    (lambda: core.chunk_text(Text("a")), TypeError, "must be str, not Text"),
    (lambda: core.chunk_text("a\ud800b"), ValueError,
     r"argument 1 \('text'\) cannot be encoded as UTF-8"),
])
def test_wrong_arguments(call, error, message):
    with pytest.raises(error, match=message) as caught:
        call()
    assert type(caught.value) is error
