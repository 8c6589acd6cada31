"""The retrieval table's harness: the corpus must hide every docstring from the
document it describes and keep line numbers in the copy, the queries must be
filtered as the table says, the metrics must count ranks the right way, and
the section must render from a result without the package's index."""
import ast
import json

import pytest

from bench import __main__ as main_module
from bench import report, retrieval, retrieval_corpus as rc

TINY_MODULE = '''\
"""Module docstring that no document holds."""
import functools


@functools.cache
def cached_lookup(key):
    """Find the cached value for a key quickly.

    Details that the query leaves out.
    """
    return key


class Registry:
    """Keep every registered handler in one place. More text after the sentence."""

    def register(self, handler):
        """Add a handler to the registry
        so that it runs later."""
        def inner():
            """Nested docstring of a local function."""
            return handler
        return inner

    def short(self):
        """Too short."""
        return 1

    class Entry:
        """Same first sentence in two places."""
        value = 1


def other():
    """Same first sentence in two places."""
    return 2


def one_liner(): "Docstring on the definition line itself."; return 3


def undocumented():
    return "Not a docstring: a return value."


def only_docstring():
    """A body that holds nothing else but this."""
'''


@pytest.fixture(scope="module")
def tiny_corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("lib")
    (root / "tiny.py").write_text(TINY_MODULE, encoding="utf-8")
    (root / "broken.py").write_text("def (:\n", encoding="utf-8")
    for excluded in ("test/test_tiny.py", "pkg/tests/test_x.py", "idlelib/idle_test/t.py"):
        (root / excluded).parent.mkdir(parents=True, exist_ok=True)
        (root / excluded).write_text('def f():\n    """Excluded test code is never a document."""\n',
                                     encoding="utf-8")
    return rc.build(str(root), root.parent / "stripped"), root


def by_name(built):
    return {document.name: document for document in built.documents}


def test_every_class_method_and_function_is_a_document_but_not_local_functions(tiny_corpus):
    built, _ = tiny_corpus
    assert list(by_name(built)) == ["cached_lookup", "Registry", "Registry.register", "Registry.short",
                                    "Registry.Entry", "other", "one_liner", "undocumented", "only_docstring"]
    assert {document.path for document in built.documents} == {"tiny.py"}
    assert built.skipped == ["broken.py"]


@pytest.mark.parametrize("name", ["cached_lookup", "Registry", "Registry.register", "one_liner", "only_docstring"])
def test_no_docstring_is_left_in_a_document(tiny_corpus, name):
    document = by_name(tiny_corpus[0])[name]
    for word in ('"""', "quickly", "registered", "Details", "handler to", "Nested", "nothing else", "itself"):
        assert word not in document.text, (name, word)


# The lines a document keeps: its code, its own blank lines, none of a docstring's.
@pytest.mark.parametrize(("name", "kept", "lines"), [
    ("cached_lookup", ["@functools.cache", "def cached_lookup(key):", "return key"], 3),
    ("Registry", ["class Registry:", "def register(self, handler):", "def inner():", "return inner",
                  "class Entry:", "value = 1"], 12),
    ("one_liner", ["def one_liner():", "return 3"], 1),
    ("undocumented", ['return "Not a docstring: a return value."'], 2),
    ("only_docstring", ["def only_docstring():"], 1),
])
def test_the_code_around_docstrings_stays(tiny_corpus, name, kept, lines):
    document = by_name(tiny_corpus[0])[name]
    for text in kept:
        assert text in document.text, (name, text)
    assert len(document.text.splitlines()) == lines


def test_queries_are_unique_first_sentences_of_four_words_or_more(tiny_corpus):
    built, _ = tiny_corpus
    names = {document.id: document.name for document in built.documents}
    assert {names[query.document]: query.text for query in built.queries} == {
        "cached_lookup": "Find the cached value for a key quickly.",  # up to the blank line
        "Registry": "Keep every registered handler in one place",  # up to the first ". "
        "Registry.register": "Add a handler to the registry so that it runs later.",  # lines joined
        "one_liner": "Docstring on the definition line itself.",
        "only_docstring": "A body that holds nothing else but this.",
    }
    assert built.dropped == {"short": 1, "duplicate": 2}  # both of the shared sentences go


@pytest.mark.parametrize(("docstring", "sentence"), [
    ("One two three four.", "One two three four."),
    ("One two. Three four.", "One two"),
    ("One\n   two\tthree\n\n four", "One two three"),
    ("One two.\nThree", "One two"),  # a line end after the period ends the sentence too
    ("Version 3.11 is here", "Version 3.11 is here"),
    ("  \n  Leading blank.  ", "Leading blank."),
])
def test_first_sentence(docstring, sentence):
    assert rc.first_sentence(docstring) == sentence


def test_the_copy_keeps_every_line_and_parses(tiny_corpus):
    built, root = tiny_corpus
    copy = (built.stripped_root / "tiny.py").read_text(encoding="utf-8")
    original_lines, copy_lines = TINY_MODULE.splitlines(), copy.splitlines()
    assert len(copy_lines) == len(original_lines)
    tree = ast.parse(copy)
    assert not [node for node in ast.walk(tree) if isinstance(node, rc.WITH_DOCSTRING) and rc.docstring_node(node)]
    definition_lines = {name: node.lineno for name, node in rc.definitions(tree)}
    for document in built.documents:
        assert definition_lines[document.name] == document.line
        assert original_lines[document.line - 1].lstrip().startswith(("def ", "class ")), document.name
    for query in built.queries:
        assert query.path == "tiny.py" and query.line == by_name(built)[
            next(d.name for d in built.documents if d.id == query.document)].line
    assert not (built.stripped_root / "broken.py").exists()


@pytest.mark.parametrize(("source", "copy"), [
    ('def f():\n    """Doc."""\n', "def f():\n    ...\n"),
    ('def f():\n    """Two\n    lines."""\n    return 1\n', "def f():\n    ...\n\n    return 1\n"),
    ('def f(): "Doc."; return 1\n', "def f(): ...; return 1\n"),
    # ast's columns are UTF-8 bytes; a line with non-ASCII text before the docstring must still be cut right
    ('class Ä: "Dök."; x = "ü"\n', 'class Ä: ...; x = "ü"\n'),
    # a form feed is no line end for Python, as it is for str.splitlines
    ('\x0cdef f():\r\n    """Doc."""\r\n    return 1\r\n', "\x0cdef f():\r\n    ...\r\n    return 1\r\n"),
])
def test_docstring_removal_keeps_line_numbers(source, copy):
    lines = rc.split_lines(source)
    tree = ast.parse(source)
    assert "".join(rc.strip_docstrings(lines, rc.docstring_spans(tree, lines), rc.PLACEHOLDER)) == copy


@pytest.mark.parametrize(("relative", "kept"), [
    ("os.py", True), ("email/parser.py", True), ("test/test_os.py", False), ("ctypes/test/test_x.py", False),
    ("lib2to3/tests/data/x.py", False), ("idlelib/idle_test/t.py", False), ("site-packages/pkg/m.py", False),
    ("testing_helpers.py", True), ("unittest/case.py", True),
])
def test_test_suites_are_not_library_code(relative, kept):
    assert rc.included(relative) is kept


def test_the_cache_is_reused_and_a_partial_build_is_not_trusted(tmp_path, monkeypatch):
    root = tmp_path / "lib"
    root.mkdir()
    (root / "m.py").write_text('def f():\n    """Return the answer to everything here."""\n    return 42\n',
                               encoding="utf-8")
    first = rc.ensure(tmp_path / "build", str(root))
    assert [q.text for q in first.queries] == ["Return the answer to everything here."]
    assert (first.stripped_root / "m.py").read_text(encoding="utf-8").startswith("def f():\n    ...\n")
    import shutil
    shutil.rmtree(first.stripped_root)  # a cache without its copy is built again
    assert (rc.ensure(tmp_path / "build", str(root)).stripped_root / "m.py").exists()
    calls = []
    monkeypatch.setattr(rc, "build", lambda *args: calls.append(args))
    assert rc.ensure(tmp_path / "build", str(root)) == first and calls == []
    folder = rc.cache_dir(tmp_path / "build", str(root))
    (folder / "documents.jsonl").write_text("", encoding="utf-8")  # cut short
    with pytest.raises(ValueError, match="incomplete"):
        rc.load_cached(folder)


class FakeIndex:
    """Answers a query with its own number; saves one file of known size."""

    def __init__(self, folder):
        self.searched = []

    def build(self, texts):
        self.size = len(texts)

    def search(self, query):
        self.searched.append(query)
        return [int(query)]

    def save(self, folder):
        (folder / "index.bin").write_bytes(b"x" * 1000)


def test_speed_times_every_query_on_each_thread_count_and_rates_against_bm25s(tmp_path):
    rows = [retrieval.Contender("bm25s", "base", FakeIndex),
            retrieval.Contender("vorpaline", "two threads", FakeIndex, threads=(1, 2))]
    table = retrieval.speed(rows, ["a", "b"], [str(n) for n in range(7)], 1.0, tmp_path, repeats=3)
    base, two = table
    assert len(base["samples"]) == 3 and "qps_2" not in base and two["qps_2"] > 0 and two["p99_ms_2"] >= 0
    assert base["megabytes_on_disk"] == two["megabytes_on_disk"] == 0.001
    assert base["build_mb_s_vs_bm25s"] == base["qps_1_vs_bm25s"] == 1.0
    assert list(tmp_path.iterdir()) == []  # every round's index is removed


def test_a_query_shard_per_thread_covers_every_query_once():
    seen = []
    seconds, latencies = retrieval.timed_queries(seen.append, [str(n) for n in range(9)], threads=2)
    assert sorted(seen) == [str(n) for n in range(9)] and len(latencies) == 9 and seconds >= 0


def test_the_copy_keeps_the_encoding_its_cookie_names(tmp_path):
    root = tmp_path / "lib"
    root.mkdir()
    source = '# -*- coding: latin-1 -*-\ndef f():\n    """Return the café of the day here."""\n    return "été"\n'
    (root / "m.py").write_bytes(source.encode("latin-1"))
    built = rc.build(str(root), tmp_path / "stripped")
    copy = (tmp_path / "stripped" / "m.py").read_bytes()
    assert copy == source.replace('"""Return the café of the day here."""', "...").encode("latin-1")
    assert built.queries[0].text == "Return the café of the day here."


# --- metrics ---

@pytest.mark.parametrize(("ranking", "relevant", "rank"), [
    ([7, 3, 5], 7, 1), ([7, 3, 5], 5, 3), ([7, 3, 5], 9, None),
    (list(range(20)), 9, 10), (list(range(20)), 10, None),  # past the tenth is not found
])
def test_rank_of(ranking, relevant, rank):
    assert retrieval.rank_of(ranking, relevant) == rank


def test_metrics_on_a_hand_made_ranking():
    ranks = [1, 2, None, 10, 1]
    assert retrieval.metrics(ranks) == pytest.approx(
        {"mrr10": (1 + 0.5 + 0 + 0.1 + 1) / 5, "recall1": 2 / 5, "recall10": 4 / 5})
    with pytest.raises(ValueError):
        retrieval.metrics([])


@pytest.mark.parametrize(("hits", "rank"), [
    ([("a.py", 1, 20), ("b.py", 10, 30)], 2),
    ([("b.py", 12, 30)], 1),  # the definition line is the hit's first line
    ([("b.py", 1, 12)], 1),
    ([("b.py", 13, 30), ("b.py", 1, 11)], None),  # near is not a hit
    ([("c/b.py", 1, 99)], None),  # the same name in another folder
])
def test_rank_in_file(hits, rank):
    assert retrieval.rank_in_file(hits, "b.py", 12) == rank


@pytest.mark.parametrize(("query", "text"), [
    ('Return "x:y" (AND more) +a -b*', "return x y and more a b"),
    ("NOT IN OR", "not in or"),
    ("a\\b [c TO d] {e} ^2 ~1 f/g", "a b c to d e 2 1 f g"),
    ("Grüße aus Köln.", "grüße aus köln"),
    (":", ""),
])
def test_tantivy_query_text_leaves_no_syntax(query, text):
    assert retrieval.tantivy_query_text(query) == text


def test_tantivy_parses_every_escaped_query(tmp_path):
    pytest.importorskip("tantivy")
    index = retrieval.Tantivy(tmp_path)
    index.build(["def return_and(a, b): return a and b", "class Something: pass"])
    for query in ['Return "x:y" (AND more) +a -b*', "NOT IN OR", "a\\b [c TO d] {e} ^2 ~1", "Something?"]:
        index.search(query)
    assert index.search("return and")[0] == 0 and index.search("SOMETHING")[0] == 1


def test_the_code_aware_tokens_repeat_each_token_as_often_as_it_occurs():
    pytest.importorskip("vorpaline.sparse")
    tokens, truncated = retrieval.code_tokens("user_name user getUser", retrieval.default_profile_json())
    assert sorted(tokens) == sorted(["user_name", "user", "name", "user", "getuser", "get", "user"])
    assert truncated is False


@pytest.mark.parametrize("samples", [[1.0], list(range(1, 101)), [5.0] * 3 + [100.0]])
def test_percentile_is_within_the_samples(samples):
    assert min(samples) <= retrieval.percentile(samples, 99) <= max(samples)
    if len(samples) == 100:
        assert retrieval.percentile(samples, 99) == pytest.approx(99.01)


# --- the section ---

def retrieval_result(vorpaline=False):
    quality = [{"key": "bm25s", "label": "bm25s row", "status": "measured", "mrr10": 0.1834, "recall1": 0.128,
                "recall10": 0.309},
               {"key": "vorpaline", "label": "vorpaline row", "status": retrieval.NOT_BUILT}]
    speed = [{"key": "bm25s", "label": "bm25s row", "threads": [1], "build_mb_s": 13.4, "build_cores_busy": 0.98,
              "megabytes_on_disk": 4.34, "qps_1": 2293.3, "p99_ms_1": 1.03,
              "build_mb_s_vs_bm25s": 1.0, "build_mb_s_vs_bm25s_quartiles": (1.0, 1.0),
              "qps_1_vs_bm25s": 1.0, "qps_1_vs_bm25s_quartiles": (1.0, 1.0)}]
    if vorpaline:
        quality[1] = {**quality[1], "status": "measured", "mrr10": 0.3, "recall1": 0.2, "recall10": 0.5}
        speed.append({**speed[0], "key": "vorpaline", "label": "vorpaline row", "threads": [1, 2],
                      "qps_2": 4000.0, "p99_ms_2": 2.5, "qps_1_vs_bm25s": 1.5, "qps_1_vs_bm25s_quartiles": (1.4, 1.6)})
    return {"corpus": {"documents": 18706, "megabytes": 11.75, "queries": 6596, "dropped": {"short": 647,
                       "duplicate": 752}, "skipped": 0, "truncated": 0, "max_text_chars": 200000,
                       "min_query_words": 4},
            "tools": {"bm25s": "0.3", "tantivy": "0.2"}, "repeats": 5, "date": "today", "load_average": "1 1 1",
            "quality": quality, "speed": speed, "not_timed": [] if vorpaline else ["vorpaline row"],
            "product": {"files": 734, "queries": 6596, "tree": "/x",
                        **({"status": "measured", "mrr10": 0.25, "recall1": 0.2, "recall10": 0.4}
                           if vorpaline else {"status": retrieval.NOT_BUILT})},
            "seconds": 40.0}


def test_the_section_without_the_package_index():
    text = report.retrieval_section(retrieval_result())
    assert text.startswith("### 7. ")
    assert "18,706 functions, methods and classes" in text and "6,596 queries" in text
    assert "| bm25s row | 0.183 | 0.128 | 0.309 |" in text
    assert "| vorpaline row | not built yet | not built yet | not built yet |" in text
    assert "| bm25s row | 13.4 | 0.98 | 2,293 | 1.03 | n/a | n/a | 4.3 | 1.00x (1.00-1.00) | 1.00x (1.00-1.00) |" in text
    assert "| vorpaline row | not built yet | n/a |" in text
    assert text.endswith("the package's index is not built yet; the copy and its queries are ready.")


def test_the_section_with_the_package_index():
    text = report.retrieval_section(retrieval_result(vorpaline=True))
    assert "| vorpaline row | 0.300 | 0.200 | 0.500 |" in text
    assert "| vorpaline row | 13.4 | 0.98 | 2,293 | 1.03 | 4,000 | 2.50 | 4.3 | 1.00x (1.00-1.00) | 1.50x (1.40-1.60) |" in text
    assert text.endswith("MRR@10 0.250, recall@1 0.200, recall@10 0.400.")


def test_retrieval_alone_updates_only_its_section(tmp_path, monkeypatch):
    from bench.tests.test_scan_bench import MACHINE, PLOTS, TABLE_1, results_block

    monkeypatch.setattr(main_module.retrieval, "run", lambda *args, **kwargs: retrieval_result())
    doc = tmp_path / "benchmarks.md"
    doc.write_text(results_block(MACHINE, TABLE_1, PLOTS), encoding="utf-8")
    argv = ["--only", "retrieval", "--doc", str(doc), "--build-dir", str(tmp_path), "--update-doc"]
    assert main_module.main(argv) == 0
    assert doc.read_text(encoding="utf-8") == results_block(
        MACHINE, TABLE_1, report.retrieval_section(retrieval_result()), PLOTS)
    assert json.loads((tmp_path / "results.json").read_text(encoding="utf-8"))["retrieval"]["corpus"]["queries"] == 6596
