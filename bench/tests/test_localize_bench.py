"""The localisation and identifier tables' harness: metrics that count ranks
the wrong way, a name split wrongly or a definition chosen that is not unique
would change the figures without anyone noticing."""
import ast
import textwrap

import pytest

from bench import file_ranking, identifiers, localize_systems, report


# ranked files, targets, and the query's (1/r, r<=1, r<=5, r<=10, all in ten)
RANKED = [
    (["a", "b", "c"], ["a"], (1.0, 1, 1, 1, 1)),
    (["x", "a", "b"], ["b", "a"], (0.5, 0, 1, 1, 1)),
    (["x", "y", "z", "w", "v", "a"], ["a"], (1 / 6, 0, 0, 1, 1)),
    ([f"f{i}" for i in range(10)] + ["a"], ["a"], (0.0, 0, 0, 0, 0)),  # eleventh: not counted
    (["x", "a"], ["a", "missing"], (0.5, 0, 1, 1, 0)),
    ([], ["a"], (0.0, 0, 0, 0, 0)),
]


@pytest.mark.parametrize(("ranking", "targets", "expected"), RANKED)
def test_one_query(ranking, targets, expected):
    scores = file_ranking.file_metrics([ranking], [targets])
    assert [scores[key] for key in ("mrr10", "recall1", "recall5", "recall10", "all10")] == pytest.approx(expected)


def test_pooled_is_the_mean_over_queries():
    scores = file_ranking.file_metrics([r for r, _, _ in RANKED], [t for _, t, _ in RANKED])
    for position, key in enumerate(("mrr10", "recall1", "recall5", "recall10", "all10")):
        assert scores[key] == pytest.approx(sum(e[position] for _, _, e in RANKED) / len(RANKED))


def test_no_query_is_refused():
    with pytest.raises(ValueError):
        file_ranking.file_metrics([], [])


def test_chunks_rank_files_by_first_appearance():
    chunks = ["b", "a", "b", None, "c", "a", "d"]
    assert file_ranking.files_in_order(chunks) == ["b", "a", "c", "d"]
    assert file_ranking.files_in_order(chunks, k=2) == ["b", "a"]


@pytest.mark.parametrize(("name", "parts"), [
    ("src/jinja2/nativeTypes.py", ["src", "jinja", "2", "native", "types", "py"]),
    ("HTTPServer_v2", ["http", "server", "v", "2"]),
    ("pip-tools/setup.cfg", ["pip", "tools", "setup", "cfg"]),
    ("__init__", ["init"]),
])
def test_name_parts(name, parts):
    assert localize_systems.name_parts(name) == parts


def test_defined_names_are_module_and_class_level():
    source = textwrap.dedent("""\
        import os
        LIMIT = 3
        a, (b, c) = 1, (2, 3)
        level: int = 1
        def outer():
            hidden = 1
            def inner(): pass
        class Box:
            size = 2
            async def fetch(self): pass
            class Lid: pass
        """)
    assert localize_systems.defined_names(source) == ["LIMIT", "a", "b", "c", "level", "outer", "Box", "size",
                                                      "fetch", "Lid"]
    assert localize_systems.defined_names("def broken(:") == []


def test_windows_cover_every_line_once():
    text = "\n".join(f"line {i}" for i in range(95))
    cut = localize_systems.windows(text, lines=40)
    assert [len(w.splitlines()) for w in cut] == [40, 40, 15]
    assert "\n".join(cut) == text
    assert localize_systems.windows("") == []


LIBRARY = {
    "pkg/core.py": """\
        import functools

        @functools.cache
        def unique_helper(x):
            return x

        class Engine:
            def start_engine(self):
                shared_name = 1

            def shared_name(self):
                pass

        def rarely_used():
            pass

        def __dunder_name__():
            pass

        assigned_twice = 1

        def nested_elsewhere():
            pass
        """,
    "pkg/other.py": """\
        def assigned_twice():
            def nested_elsewhere():
                pass
        """,
    "a.py": "unique_helper(); Engine().start_engine(); rarely_used(); shared_name; __dunder_name__; assigned_twice\n"
            "nested_elsewhere",
    "b.py": "x = unique_helper\ny = Engine\nstart_engine = None\n__dunder_name__\nassigned_twice\nshared_name\n"
            "nested_elsewhere",
    "c.py": "# unique_helper Engine start_engine shared_name __dunder_name__ assigned_twice nested_elsewhere\n",
    "d.py": "rarely_used\n",
    "broken.py": "def unique_helper(:\n",
}


@pytest.fixture
def library(tmp_path):
    for path, source in LIBRARY.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(textwrap.dedent(source), encoding="utf-8")
    return identifiers.read_library(tmp_path, sorted(LIBRARY))


def test_identifier_selection(library):
    chosen = {d.name: d for d in identifiers.qualifying(library)}
    # start_engine is also assigned at module level in b.py, assigned_twice in core.py, nested_elsewhere defined
    # in a function of other.py; a local assignment does not compete with the method shared_name; rarely_used is
    # used in two other files only; the broken file's unique_helper is no second definition.
    assert sorted(chosen) == ["Engine", "shared_name", "unique_helper"]
    helper = chosen["unique_helper"]
    assert (helper.path, helper.line, helper.lines) == ("pkg/core.py", 4, frozenset({3, 4}))
    assert "broken.py" not in library.trees


class FakeIndex:
    def __init__(self, listing):
        self.listing = listing

    def definitions(self, name):
        return self.listing.get(name, [])


def test_definitions_check(library, tmp_path):
    chosen = {d.name: d for d in identifiers.qualifying(library)}
    index = FakeIndex({"unique_helper": [("pkg/core.py", 3), ("a.py", 1)],  # decorator line; a use
                       "Engine": [(str(tmp_path / "pkg/core.py"), 8)]})  # the class is on line 7
    checked = identifiers.definitions_check(index, [chosen["unique_helper"], chosen["Engine"]], library, tmp_path)
    assert checked == {"found": 0.5, "listed": 3, "not_definitions": 2}


def test_definition_sites_count_any_depth(library):
    sites = identifiers.definition_sites(library.trees["pkg/core.py"])
    assert sites["shared_name"] == {9, 11} and sites["unique_helper"] == {3, 4}


def localize_result():
    systems = {key: {"mrr10": 0.5, "recall1": 0.4, "recall5": 0.6, "recall10": 0.7, "all10": 0.3,
                     "build_s": 1.0, "query_ms": 2.0} for key in localize_systems.SYSTEMS}
    pooled = {key: {name: row[name] for name in report.LOCALIZE_FIGURES} for key, row in systems.items()}
    return {"status": "measured", "date": "d", "load_average": "0 0 0", "mode": "chunks",
            "labels": {key: system.label for key, system in localize_systems.SYSTEMS.items()},
            "tools": {"bm25s": "1", "tantivy": "2"}, "pooled": pooled, "best_baseline": "tantivy", "vs_best": 1.25,
            "projects": [{"name": "p", "files": 3, "queries": 150, "unlisted_targets": 0, "systems": systems}]}


def test_sections_render():
    text = report.localize_section(localize_result())
    assert "**1.25x**" in text and text.count("| vorpaline | 0.500 | 0.400 | 0.600 | 0.700 | 0.300 |") == 2
    assert "not built" in report.identifiers_section({"status": "not built yet"})
    measured = {"status": "measured", "files": 3, "root": "/lib", "candidates": 9, "queries": 5, "seed": 1,
                "date": "d", "load_average": "0", "mrr10": 0.5, "recall1": 0.25, "recall10": 0.75, "line_rank1": None}
    assert "| first hit holds the definition (recall@1) | 0.250 |" in report.identifiers_section(measured)


@pytest.mark.parametrize("key", list(localize_systems.SYSTEMS))
def test_every_system_finds_the_one_file_that_matches(key, tmp_path):
    pytest.importorskip("bm25s")
    pytest.importorskip("tantivy")
    if key == "vorpaline":
        pytest.importorskip("vorpaline.search")
    root = tmp_path / "tree"
    texts = {f"pkg/module_{i}.py": f"def common_{i}():\n    return 'ordinary words here'\n" for i in range(12)}
    texts["pkg/tokenizer_cache.py"] = "def tokenizer_cache():\n    'evict the stale tokenizer entries'\n"
    for path, text in texts.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text, encoding="utf-8")
    files = [localize_systems.SourceFile(path, text) for path, text in sorted(texts.items())]
    (tmp_path / "scratch").mkdir()
    system = localize_systems.SYSTEMS[key](root, files, tmp_path / "scratch")
    ranking = system.rank("Evict stale entries from the tokenizer cache")
    assert ranking[0] == "pkg/tokenizer_cache.py" and len(ranking) == len(set(ranking)) <= 10
    if key != "vorpaline":  # the index prepares queries with its own word list
        assert system.rank("the of and") == []  # stop words only: the baselines match nothing


class ChunkIndex:
    """Hits over a fixed chunk ranking: ``paths[i]`` is the file of the i-th best chunk."""

    def __init__(self, paths, lines=None):
        self.paths, self.lines, self.asked = paths, lines or {}, []

    def search(self, query, k=10, files=False):
        from collections import namedtuple
        Hit = namedtuple("Hit", "path start_line end_line line")
        self.asked.append((k, files))
        chosen = file_ranking.files_in_order(self.paths, k) if files else self.paths[:k]
        return [Hit(path, 1, 20, self.lines.get(path, 0)) for path in chosen]


@pytest.mark.parametrize(("by_file", "chunks", "asked"), [
    (False, ["a"] * 100 + [f"f{i}" for i in range(12)], [(40, False), (160, False)]),  # ten files need more
    (False, ["a", "b", "a"], [(40, False)]),  # fewer chunks than asked: all there is
    (True, ["a"] * 100 + [f"f{i}" for i in range(12)], [(10, True)]),
])
def test_vorpaline_asks_until_ten_files(by_file, chunks, asked):
    system = object.__new__(localize_systems.Vorpaline)
    system.index, system.by_file = ChunkIndex(chunks), by_file
    ranking = system.rank("q")
    assert ranking == file_ranking.files_in_order(chunks) and system.index.asked == asked


def test_search_ranks_and_the_hit_line():
    helper = identifiers.Definition("helper", "m.py", 5, frozenset({4, 5}))
    other = identifiers.Definition("other", "n.py", 30, frozenset({30}))
    index = ChunkIndex(["m.py", "n.py"], lines={"m.py": 4})
    ranks, on_line = identifiers.search_ranks(index, [helper, other])
    assert ranks == [1, None] and on_line == 1  # n.py's chunk ends at line 20; m.py's line is the decorator's


def test_update_keeps_a_sections_own_image_and_puts_new_sections_before_the_plots(tmp_path):
    doc = tmp_path / "benchmarks.md"
    doc.write_text(f"# Doc\n\n{report.BEGIN}\n\n### 7. Retrieval\n\ntable\n\n![Quality](q.png)\n\ntext after it\n\n"
                   f"### 8. Limits\n\nmore\n\n![Throughput](t.png)\n![Scaling](s.png)\n\n{report.END}\ntail\n",
                   encoding="utf-8")
    report.update(doc, {"localize": {"status": "not built yet"}})
    text = doc.read_text(encoding="utf-8")
    order = [text.index(mark) for mark in ("### 7.", "![Quality]", "text after it", "### 8.", "### 9.",
                                           "![Throughput]", "![Scaling]", report.END, "tail")]
    assert order == sorted(order)
