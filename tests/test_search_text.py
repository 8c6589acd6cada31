"""The query as the index is asked it, the lines shown for a hit and their highlighting, the search settings."""

import io

import random

import pytest

pytest.importorskip("vorpaline_core_py")

from vorpaline import config  # noqa: E402
from vorpaline.search import queries, snippets  # noqa: E402
from vorpaline.search.queries import query_for_index, query_terms  # noqa: E402
from vorpaline.search.snippets import best_lines, highlight, printable  # noqa: E402

ON, OFF = "<", ">"


@pytest.mark.parametrize("query, expected", [
    ("Return the number of items in the list.", "Return   number   items     list."),
    ("The Value", "  Value"),  # case does not matter, the core folds it
    ("is_file of the path", "is_file     path"),  # an identifier keeps its function-word parts
    ("get_the_value", "get_the_value"),
    ("os.path.join and the rest", "os.path.join     rest"),
    ("the-end", "the-end"),  # joined by "-", one identifier to the core
    ("the is of", "the is of"),  # nothing else would be left: asked as it is
    ("not found", "not found"),  # negation changes what a query asks for
    ("", ""),
    ("   ", "   "),
    ("tuple's", "tuple's"),
])
def test_function_words_are_dropped_from_queries(query, expected):
    assert query_for_index(query) == expected


def test_a_dropped_word_leaves_the_query_terms_as_the_core_reads_them():
    query = "Split the text into chunks of whole lines, HTTPServer and getUserName."
    assert query_terms(query_for_index(query)) == query_terms(
        "Split text chunks whole lines, HTTPServer getUserName.")


def test_a_mark_on_a_function_word_makes_it_another_word():
    decomposed = "the\u0301 value"  # the core keeps the mark with the word before it
    assert query_for_index(decomposed) == decomposed


@pytest.mark.parametrize("lines, query, expected", [
    # the window with the most distinct query terms, not the first lines
    (["import os", "", "def other():", "    pass", "def parse_config(path):", "    return load(path)"],
     "parse config", (4, ["def parse_config(path):", "    return load(path)"])),
    # distinct terms count: a line repeating one term loses to lines with two;
    # the snippet starts at the first match
    (["alpha alpha alpha", "x", "y", "z", "beta", "gamma"], "beta gamma alpha", (4, ["beta", "gamma"])),
    # what follows the first match is kept as context
    (["x", "y", "def target():", "    body", "    more", "tail"], "target", (2, ["def target():", "    body", "    more"])),
    # a tie goes to the earliest window
    (["alpha", "x", "y", "z", "alpha"], "alpha", (0, ["alpha", "x", "y"])),
    # blank lines at the window's ends are left out
    (["x", "", "target", "", ""], "target", (2, ["target"])),
    # no match: the first non-blank lines
    (["", "first", "", "second", "third", "fourth"], "absent", (1, ["first", "second", "third"])),
    (["   ", ""], "absent", (0, [])),
    ([], "anything", (0, [])),
    (["short chunk"], "chunk", (0, ["short chunk"])),
])
def test_best_lines(lines, query, expected):
    assert best_lines(lines, query_terms(query)) == expected


def test_best_lines_window_size():
    lines = [f"line{n} target" if n in (5, 6) else f"line{n}" for n in range(10)]
    assert best_lines(lines, query_terms("target line5 line6"), window=2) == (5, ["line5 target", "line6 target"])


@pytest.mark.parametrize("line, query, expected", [
    ("user = get_user(name)", "user", "<user> = get_<user>(name)"),
    ("def getUserName():", "user name", "def get<User><Name>():"),  # the parts the core splits at
    ("def get_user_name():", "get_user_name", "def <get_user_name>():"),  # the whole identifier
    ("HTTPServerError raised", "server", "HTTP<Server>Error raised"),
    ("Straße STRASSE strasse", "strasse", "<Straße> <STRASSE> <strasse>"),  # as the core folds case
    ("nothing here", "absent", "nothing here"),
    ("x = y", "x", "x = y"),  # too short to be a token: nothing to match
])
def test_highlight_marks_what_the_index_matched(line, query, expected):
    assert highlight(line, query_terms(query), color=True, start=ON, end=OFF) == expected


def test_highlight_is_plain_without_color():
    assert highlight("user = get_user()", query_terms("user"), color=False, start=ON, end=OFF) == "user = get_user()"


def test_highlight_default_is_ansi():
    assert highlight("a user", query_terms("user"), color=True) == f"a {snippets.BOLD_RED}user{snippets.RESET}"


@pytest.mark.parametrize("text, expected", [
    ("plain text", "plain text"),
    ("a\tb", "a   b"),
    ("\x1b[2Jcleared", "\\x1b[2Jcleared"),  # a file cannot drive the terminal
    ("bell\x07", "bell\\x07"),
    ("access\u202e level", "access\\u202e level"),  # bidirectional override
    ("héllo 変数", "héllo 変数"),
])
def test_printable(text, expected):
    assert printable(text) == expected


class _Stream(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self._tty = tty

    def isatty(self):
        return self._tty


class _ClosedStream(io.StringIO):
    def isatty(self):
        raise ValueError("I/O operation on closed file")


@pytest.mark.parametrize("stream, environ, expected", [
    (_Stream(True), {}, True),
    (_Stream(False), {}, False),
    (_Stream(True), {"NO_COLOR": "1"}, False),
    (_Stream(True), {"NO_COLOR": ""}, True),  # set but empty does not count
    (_ClosedStream(), {}, False),
])
def test_use_color(stream, environ, expected):
    assert snippets.use_color(stream, environ) is expected


@pytest.mark.parametrize("name, text, value", [
    ("search_k1", "2", 2.0),
    ("search_k1", "0", 0.0),
    ("search_b", "0.5", 0.5),
    ("search_b", "1", 1.0),
    ("search_query_stopwords", "no", False),
])
def test_search_settings_from_the_environment(name, text, value):
    settings = config.Settings.from_environ({f"VORPALINE_{name.upper()}": text})
    assert getattr(settings, name) == value


@pytest.mark.parametrize("name, text", [
    ("search_k1", "-0.1"), ("search_k1", "inf"), ("search_k1", "nan"), ("search_k1", "fast"),
    ("search_b", "1.01"), ("search_b", "-1"), ("search_b", "nan"), ("search_b", ""),
])
def test_bad_search_settings_are_refused_by_name(name, text):
    variable = f"VORPALINE_{name.upper()}"
    with pytest.raises(ValueError, match=variable):
        config.Settings.from_environ({variable: text})


def test_prepared_query_follows_the_setting(monkeypatch):
    monkeypatch.setattr(config.settings, "search_query_stopwords", True)
    assert queries.prepared_query("the value") == "  value"
    monkeypatch.setattr(config.settings, "search_query_stopwords", False)
    assert queries.prepared_query("the value") == "the value"


@pytest.mark.parametrize("lines, query, defined_at, expected", [
    # the line with the most distinct terms, and the window holding it that holds the most
    (["import os", "def parse(path):", "    config = load(path)", "    return parse_config(config)"],
     "parse config", (), (3, 3, ["    return parse_config(config)"])),
    # earlier lines join the snippet only when they add terms
    (["def load(path):", "    config = read(path)", "    return parse(config)"],
     "load parse config", (), (2, 0, ["def load(path):", "    config = read(path)", "    return parse(config)"])),
    # a tie between lines goes to one where the chunk defines a name, then to the earliest
    (["url = parse(url)", "", "def parse(url):", "    pass"], "parse url", (2,), (2, 2, ["def parse(url):", "    pass"])),
    (["url = parse(url)", "", "def parse(url):", "    pass"], "parse url", (), (0, 0, ["url = parse(url)", "", "def parse(url):"])),
    # no match: the first definition line, else the first non-blank line
    (["", "# notes", "class Box:", "    pass"], "absent", (2,), (2, 2, ["class Box:", "    pass"])),
    (["", "# notes", "x = 1"], "absent", (), (1, 1, ["# notes", "x = 1"])),
    ([], "anything", (), (0, 0, [])),
])
def test_best_line(lines, query, defined_at, expected):
    from vorpaline.search.snippets import best_line, text_terms

    terms = query_terms(query)
    assert best_line(lines, terms, text_terms(lines) if lines else [], defined_at) == expected


@pytest.mark.parametrize("seed", range(4))
def test_a_line_skipped_before_tokenising_holds_none_of_the_query_terms(seed):
    from vorpaline.search.snippets import lines_that_may_hold, text_terms

    rng = random.Random(seed)
    pieces = ["parse_url", "HTTPAdapter", "self.getHeader()", "e-mail", "x1", "ÉTÉ", "straße", "STRASSE", "don't",
              "urls.parse", "a.b.c", "2024-01", "__init__", "get", "Header", "url", "(", ")", ".", "_", "-", "'", " "]
    lines = ["".join(rng.choice(pieces) for _ in range(rng.randint(0, 6))) for _ in range(300)]
    for query in ("parse url", "getHeader", "http adapter", "email", "strasse", "init", "a.b"):
        terms = query_terms(query)
        for line, may, found in zip(lines, lines_that_may_hold(lines, terms), text_terms(lines)):
            assert may or not terms & found, (query, line)
