"""The core's hit_snippets against the search's Python reference: the lines a hit shows, read as
its file holds them now (or cut from a text, or given), its best line and its snippet are
exactly what FilesNow.lines, text_terms and best_line give, over random chunks and through
Index.search on real files."""

from __future__ import annotations

import os
import random
import shutil
import sys
from pathlib import Path

import pytest

pytest.importorskip("vorpaline_core_py")

from vorpaline.search import Index, hits as hits_module, native, queries, snippets  # noqa: E402
from vorpaline.search.files import FilesNow  # noqa: E402
from vorpaline.search.hits import Definition, Hit, Row, hits_of_chunks, hits_with_snippets  # noqa: E402

LONG = os.environ.get("VORPALINE_LONG_TESTS") == "1"
WORDS = ("parse_config getUserName HTTPServer load_user_id xml2json cache ünïcödé Straße ΣΊΣΥΦΟΣ 日本語 "
         "😀smile a b foo_bar_baz retry").split()
SPACES = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]
NEAR_SPACES = ["\u200b", "\u180e", "\ufeff", "\x00", "\u2060"]  # not white space to str.strip
BAD_UTF8 = [b"\xff", b"\x80", b"\xc0\x80", b"\xc2", b"\xe2\x82", b"\xe2\x82a", b"\xed\xa0\x80", b"\xe0\x80\xaf",
            b"\xf0\x9f\x98", b"\xf4\x90\x80\x80", b"\xf5\x80", b"\xf0\x90\x80\x80"]


# ---------------------------------------------------------------- the reference: the search's Python path

def reference_hits(found, chunks, terms, profile_json, *, stale=None, reported=None, tokenise_all=False):
    """The hits as the search made them before the core chose: the lines that may hold a term
    tokenised in one sparse_embed_batch call, best_line's choice (or every line tokenised)."""
    every_line = [line for lines in chunks for line in lines]
    may_hold = ([True] * len(every_line) if tokenise_all else snippets.lines_that_may_hold(every_line, terms)) \
        if terms else []
    tokenised = iter(snippets.text_terms([line for line, may in zip(every_line, may_hold) if may], profile_json))
    line_terms = iter([next(tokenised) if may else frozenset() for may in may_hold])
    made = []
    for number, (row, lines) in enumerate(zip(found, chunks)):
        row = Row(*row)
        own_terms = [next(line_terms) for _ in lines] if terms else []
        defined_at = {d.line - row.first for d in row.definitions}
        forced = reported[number] if reported else None
        if forced is not None and 0 <= forced < len(lines):
            best, offset, snippet = forced, forced, snippets.trimmed(lines[forced:forced + 3])
        else:
            best, offset, snippet = snippets.best_line(lines, terms, own_terms, defined_at)
        made.append(Hit(row.path, row.first, row.last, row.score, "\n".join(snippet), row.id, row.repository,
                        bool(stale and stale[number]), row.first + best if lines else 0,
                        row.first + offset if lines else 0, row.roles, row.definitions, row.metadata))
    return made


def reference_read(files, rows, spans):
    """FilesNow.lines of each row's chunk: the rows kept (those not gone), their lines and staleness."""
    kept, chunks, stale = [], [], []
    for row, span in zip(rows, spans):
        now = files.lines(row.path, row.first, row.last, *span)
        if now is not None:
            kept.append(row)
            chunks.append(now[0])
            stale.append(now[1])
    return kept, chunks, stale


# ---------------------------------------------------------------- random chunks

def random_line(rng):
    pieces = []
    for _ in range(rng.choice([0, 0, 1, 2, 3, 6])):
        kind = rng.random()
        if kind < 0.6:
            pieces.append(rng.choice(WORDS).encode())
        elif kind < 0.8:
            pieces.append(rng.choice(SPACES).encode())
        else:
            pieces.append(rng.choice(BAD_UTF8))
        pieces.append(rng.choice([b" ", b"", b"(", b"."]))
    line = b"".join(pieces)
    return line + rng.choice([b"\n", b"\n", b"\r\n", b"\r\r\n", b"\r"])


def random_file(rng):
    lines = [random_line(rng) for _ in range(rng.randint(0, 14))]
    if lines and rng.random() < 0.3:
        lines[-1] = lines[-1].rstrip(b"\r\n")  # no newline at the end
    return lines


def line_starts(lines):
    starts, at = [], 0
    for line in lines:
        starts.append(at)
        at += len(line)
    return starts + [at]


def random_query(rng, profile):
    words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 3)))
    terms = set(queries.query_terms(words, profile)) if words else set()
    if rng.random() < 0.2:
        terms.add(rng.randrange(1 << 31))  # a term no line holds, its text unknown
    return frozenset(terms)


def random_case(rng, root, number, profile):
    """A file under root, a chunk's row of it, its byte span and the FilesNow entry the index keeps."""
    lines = random_file(rng)
    name = f"f{number}.py"
    (root / name).write_bytes(b"".join(lines))
    stat = os.stat(root / name)
    first = rng.randint(1, max(1, len(lines) + 1))
    last = rng.randint(first, first + 6)
    starts = line_starts(lines)
    span = (starts[min(first - 1, len(lines))], starts[min(last, len(lines))])
    fate = rng.random()
    entry = {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
    if fate < 0.15:
        entry = {"size": stat.st_size + 1, "mtime_ns": stat.st_mtime_ns}  # changed since: stale
    elif fate < 0.25:
        entry = None  # no record: the range is trusted
    elif fate < 0.3:
        span = ()  # an older index's chunk, without its byte range
    elif fate < 0.35:
        (root / name).unlink()  # gone
    elif fate < 0.38:
        os.remove(root / name)
        (root / name).mkdir()  # no longer a regular file
    definitions = tuple(Definition("x", "function", name, first + rng.randint(-1, 7), first, last, "")
                        for _ in range(rng.choice([0, 0, 1, 2])))
    row = Row(rng.choice([1.0, 2.5]), name, first, last, None, None, ("test",) if rng.random() < 0.5 else (),
              definitions)
    return row, span, entry


@pytest.mark.parametrize("seed", range(8 if LONG else 3))
def test_file_chunks_show_what_the_python_path_shows(tmp_path, seed):
    rng = random.Random(seed)
    profile = native.profile_json()
    known, rows, spans = {}, [], []
    for number in range(150):
        row, span, entry = random_case(rng, tmp_path, number, profile)
        rows.append(row)
        spans.append(span)
        if entry is not None:
            known[row.path] = entry
    for _ in range(6):
        terms = random_query(rng, profile)
        files = FilesNow(str(tmp_path), known)
        kept, chunks, stale = reference_read(files, rows, spans)
        expected = reference_hits(kept, chunks, terms, profile, stale=stale)
        assert expected == reference_hits(kept, chunks, terms, profile, stale=stale, tokenise_all=True)
        asked = [files.chunk(row.path, row.first, row.last, *span) for row, span in zip(rows, spans)]
        assert hits_of_chunks(rows, asked, terms, profile, None, str(tmp_path)) == expected


@pytest.mark.parametrize("seed", range(3))
def test_given_lines_and_texts_show_what_the_python_path_shows(seed):
    rng = random.Random(100 + seed)
    profile = native.profile_json()
    texts = [b"".join(random_file(rng)).decode("utf-8", errors="replace") for _ in range(80)]
    given = [text.split("\n") for text in texts]  # as a store's payload gives them: "\r" kept
    rows = [Row(1.0, "p", 5, 5 + len(lines), None, "repo",
                definitions=tuple(Definition("x", "class", "p", 5 + rng.randint(0, 4), 5, 9, "")
                                  for _ in range(rng.choice([0, 1]))))
            for lines in given]
    for _ in range(4):
        terms = random_query(rng, profile)
        reported = [rng.choice([None, None, 0, 2, -1, 50]) for _ in rows]
        stale = [rng.random() < 0.5 for _ in rows]
        assert hits_with_snippets(rows, given, terms, profile, stale=stale, reported=reported) == \
            reference_hits(rows, given, terms, profile, stale=stale, reported=reported)
        # a document's kept text: lines end at "\n", one "\r" before it dropped
        cut = [[line.removesuffix("\r") for line in text.split("\n")] for text in texts]
        documents = [{"text": text} for text in texts]
        assert hits_of_chunks(rows, documents, terms, profile, None, "") == reference_hits(rows, cut, terms, profile)


def test_blank_lines_are_what_str_strip_leaves_empty():
    # A snippet drops the blank lines at its end: the core must see white space as Python does.
    profile = native.profile_json()
    terms = queries.query_terms("retry", profile)
    odd = SPACES + NEAR_SPACES
    chunks = [["retry", ch * 2, ch] for ch in odd]
    rows = [Row(1.0, "p", 1, 3, None, None) for _ in chunks]
    assert [hit.snippet for hit in hits_with_snippets(rows, chunks, terms, profile)] == \
        ["retry" if ch.isspace() else f"retry\n{ch * 2}\n{ch}" for ch in odd]
    # with no term anywhere, the first non-blank line
    assert [hit.line for hit in hits_with_snippets(rows, [[ch, "x"] for ch in odd], frozenset(), profile)] == \
        [2 if ch.isspace() else 1 for ch in odd]


@pytest.mark.parametrize("request_json, message", [
    ("[]", "JSON object"),
    ("{}", "needs \"hits\""),
    ('{"hits": [{"path": "a", "first": 1, "last": 2}]}', "root"),
    ('{"root": "/", "hits": [{"path": "a", "first": 0, "last": 2}]}', "first >= 1"),
    ('{"root": "/", "hits": [{"path": "a", "first": 3, "last": 2}]}', "first >= 1"),
    ('{"root": "/", "hits": [{"path": "a", "first": 1, "last": 2, "begin": 3}]}', "come together"),
    ('{"root": "/", "hits": [{"path": "a", "first": 1, "last": 2, "size": 3}]}', "come together"),
    ('{"root": "/", "hits": [{"path_hex": "6", "first": 1, "last": 2}]}', "hex"),
    ('{"hits": [{"lines": ["a", 1]}]}', "a line must be a string"),
    ('{"hits": [{}]}', "needs \"path\", \"text\" or \"lines\""),
    ('{"terms": [-1], "hits": []}', "token index"),
    ('{"hits": [3]}', "must be an object"),
])
def test_bad_requests_are_value_errors(request_json, message):
    with pytest.raises(ValueError, match=message):
        native.core().hit_snippets(request_json, native.profile_json())


def test_names_that_are_not_utf8_are_read(tmp_path):
    name = os.fsdecode(b"caf\xe9.py")
    (tmp_path / name).write_bytes(b"x = 1\nretry()\n")
    profile = native.profile_json()
    files = FilesNow(str(tmp_path), {})
    row = Row(1.0, name, 1, 2, None, None)
    assert hits_of_chunks([row], [files.chunk(name, 1, 2)], queries.query_terms("retry", profile), profile, None,
                          str(tmp_path)) == [Hit(name, 1, 2, 1.0, "retry()", stale=False, line=2, snippet_line=2)]


# ---------------------------------------------------------------- real files, through Index.search

LIBRARY = Path(os.__file__).parent
PACKAGES = ["json", "email", "http"] + (["asyncio", "importlib", "xml"] if LONG else [])
QUERIES = ["parse_headers", "decode", "JSONDecoder raw_decode", "HTTPConnection", "Return the header value",
           "quoted-printable encoding of a string", "def _parse", '"class Message"', "Message", "zzzunknown"]


def python_path_hits(self, found, terms, files, profile, plan=None):
    """Index._hits as it was: each chunk read by FilesNow.lines, the choice made in Python."""
    rows, chunks, stale = [], [], []
    for hit in found:
        path, first, last, doc_id, *span = hit.metadata
        lines, changed, kept = [], False, None
        if path:
            now = files.lines(path, first, last, *span)
            if now is None:
                continue
            lines, changed = now
        else:
            kept = hit.metadata[4] if len(hit.metadata) > 4 and isinstance(hit.metadata[4], dict) else {}
            if isinstance(kept.get("text"), str):
                lines = [line.removesuffix("\r") for line in kept["text"].split("\n")]
        rows.append(Row(hit.score, path, first, last, doc_id, None, queries.role_names(hit.roles),
                        hit.definitions(), kept.get("metadata") if kept else None))
        chunks.append(lines)
        stale.append(changed)
    if plan is None or not plan.filters_rows:
        return reference_hits(rows, chunks, terms, profile, stale=stale)
    kept_rows, kept_chunks, kept_stale, reported = [], [], [], []
    for row, lines, changed in zip(rows, chunks, stale):
        if plan.accepts_row(row.roles, row.definitions):
            passes, offset = plan.reported_line(lines, row.definitions, row.first)
            if passes:
                kept_rows.append(row), kept_chunks.append(lines), kept_stale.append(changed), reported.append(offset)
    return reference_hits(kept_rows, kept_chunks, terms, profile, stale=kept_stale, reported=reported)


@pytest.fixture(scope="module")
def library_index(tmp_path_factory):
    root = tmp_path_factory.mktemp("library")
    for package in PACKAGES:
        shutil.copytree(LIBRARY / package, root / package, ignore=shutil.ignore_patterns("__pycache__"))
    index = Index.for_repository(root)
    index.update(root)
    index.add_documents(["doc-1", "doc-2"], ["Return the header value\r\nof a Message\n\nparse_headers here", ""],
                        [{"kind": "note"}, None])
    # Changed since indexed: one grew at its top (its chunks stale), one is gone.
    grown = root / "json" / "decoder.py"
    grown.write_text("# a new first line\n" + grown.read_text())
    (root / "email" / "header.py").unlink()
    return index


@pytest.mark.parametrize("options", [{}, {"files": True}, {"tests": "exclude", "k": 3}, {"regex": "def \\w+"}])
def test_search_shows_what_the_python_path_showed(library_index, monkeypatch, options):
    options = {"k": 10, **options}
    made = {query: library_index.search(query, **options) for query in QUERIES}
    monkeypatch.setattr(Index, "_hits", python_path_hits)
    assert made == {query: library_index.search(query, **options) for query in QUERIES}
    assert any(hit.stale for hits in made.values() for hit in hits) or options.get("k") == 3


def test_planned_hits_keeps_its_signature_for_given_texts():
    # A store passes its chunks' texts as lines and a plan that filters rows.
    from vorpaline.search import query_language

    profile = native.profile_json()
    plan = query_language.plan('"retry now"')
    rows = [(1.0, "a.py", 3, 5, None, "r", (), ()), (0.5, "b.py", 1, 2, None, "r", (), ())]
    texts = [["x", "retry now", "y"], ["retry", "now"]]
    terms = queries.query_terms("retry now", profile)
    assert hits_module.planned_hits(rows, texts, terms, profile, plan) == \
        [Hit("a.py", 3, 5, 1.0, "retry now\ny", None, "r", False, 4, 4)]


def test_a_line_is_tokenised_up_to_the_profiles_character_limit():
    profile = native.profile_json()
    limit = __import__("json").loads(profile).get("max_text_chars", 200_000)
    terms = queries.query_terms("retry cache", profile)
    # the first line's "cache" lies past the limit: the second line holds more terms
    chunks = [["é" * (limit - 6) + " retry cache", "x", "x", "retry cache"], ["é" * (limit - 12) + " retry cache", "x", "x", "retry cache"]]
    rows = [Row(1.0, "p", 1, len(lines), None, None) for lines in chunks]
    made = hits_with_snippets(rows, chunks, terms, profile)
    assert made == reference_hits(rows, chunks, terms, profile)
    assert [hit.line for hit in made] == [4, 1]


def test_only_regular_files_below_the_root_are_read(tmp_path):
    # As read_repository_file's guarded open: no link followed below the root, nothing but a regular
    # file read, a FIFO never waited on.
    root, outside = tmp_path / "repo", tmp_path / "outside"
    (root / "src").mkdir(parents=True)
    outside.mkdir()
    (root / "src" / "app.py").write_text("retry = 1\n")
    (outside / "app.py").write_text("secret = 1\n")
    (root / "link.py").symlink_to(root / "src" / "app.py")
    (root / "linked").symlink_to(outside, target_is_directory=True)
    os.mkfifo(root / "fifo.py")
    names = ["src/app.py", "link.py", "linked/app.py", "fifo.py", "src", "missing.py", "src/../src/app.py", "/etc/passwd"]
    chunks = [{"path": name, "first": 1, "last": 1} for name in names]
    shown = snippets.chosen_lines(chunks, frozenset(), native.profile_json(), root=str(root))
    assert [item.get("snippet") for item in shown] == ["retry = 1"] + [None] * 7
    assert snippets.chosen_lines(chunks[:1], frozenset(), native.profile_json(), root=str(tmp_path / "none")) == \
        [{"gone": True}]
