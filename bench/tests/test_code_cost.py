"""Table 11's arithmetic and its way of building without the grammars."""
import json
import subprocess
import sys

import pytest

from bench import code_cost, report


@pytest.mark.parametrize(("values", "expected"), [
    ([3.0], {"median": 3.0, "low": 3.0, "high": 3.0}),
    ([5.0, 1.0, 2.0], {"median": 2.0, "low": 1.0, "high": 5.0}),
    ([4.0, 2.0], {"median": 3.0, "low": 2.0, "high": 4.0}),
])
def test_spread_is_median_and_extremes(values, expected):
    assert code_cost.spread(values) == expected


def test_ratio_spread_pairs_rounds_so_a_shared_slowdown_cancels():
    assert code_cost.ratio_spread([2.0, 4.0, 8.0], [1.0, 2.0, 4.0]) == {"median": 2.0, "low": 2.0, "high": 2.0}
    with pytest.raises(ValueError):
        code_cost.ratio_spread([1.0, 2.0], [1.0])


def test_latency_percentiles_in_milliseconds():
    latencies = [i / 1000 for i in range(1, 101)]  # 1..100 ms
    figures = code_cost.latency_ms(latencies)
    assert figures["p50"] == pytest.approx(50.5)
    assert figures["p99"] == pytest.approx(99.01)


SOURCE = '''
def fetch_rows(cursor):
    """Read every row the cursor holds. More text follows."""

class Row:
    """A row of results"""
    def __len__(self):
        """The number of rows on this page, counted from the cursor and then some more"""
    def next_page(self):
        """return self._next()"""
'''


def test_names_and_sentences_from_definitions_and_docstrings():
    names, sentences = code_cost.names_and_sentences([SOURCE, "def broken(:\n"])
    assert names == ["fetch_rows", "Row", "__len__", "next_page"]
    assert sentences[:2] == ["Read every row the cursor holds", "A row of results"]


def test_pick_queries_keeps_identifiers_and_short_plain_sentences():
    names, sentences = code_cost.names_and_sentences([SOURCE])
    picked = code_cost.pick_queries(names * 2, sentences, 2, seed=1)
    assert sorted(picked["identifiers"]) == ["fetch_rows", "next_page"]  # no dunder, nothing under four characters
    # the third is over eight words, the fourth is code
    assert sorted(picked["sentences"]) == ["A row of results", "Read every row the cursor holds"]
    assert picked == code_cost.pick_queries(names, sentences, 2, seed=1)
    with pytest.raises(ValueError, match="too few queries"):
        code_cost.pick_queries(names, sentences, 3, seed=1)


LOW, MID, HIGH = 18.0, 19.0, 21.0


@pytest.mark.parametrize(("figure", "target", "at_least", "expected"), [
    ({"median": HIGH, "low": LOW, "high": HIGH}, 20.0, True, "met"),
    ({"median": MID, "low": LOW, "high": HIGH}, 20.0, True, "within noise"),
    ({"median": MID, "low": LOW, "high": MID}, 20.0, True, "**missed**"),
    ({"median": 1.1, "low": 1.0, "high": 1.3}, 1.2, False, "met"),
    ({"median": 1.2, "low": 1.2, "high": 1.2}, 1.2, False, "met"),
    ({"median": 1.3, "low": 1.1, "high": 1.4}, 1.2, False, "within noise"),
    ({"median": 1.3, "low": 1.25, "high": 1.4}, 1.2, False, "**missed**"),
])
def test_goal_outcome(figure, target, at_least, expected):
    assert report.goal_outcome(figure, target, at_least) == expected


@pytest.mark.parametrize(("figure", "expected"), [
    ({"median": 2.0, "low": 1.0, "high": 3.0}, "2.00x (1.00-3.00)"),
    ({"median": 2.0, "low": 1.999, "high": 2.001}, "2.00x"),  # the same once rounded: no range
])
def test_spread_text(figure, expected):
    assert report.spread_text(figure, ".2f", "x") == expected


def test_worker_builds_without_parsers(tmp_path):
    """The parse-free build the share is measured against: no definitions are found."""
    pytest.importorskip("tree_sitter_python")
    from vorpaline.search import Index

    tree = tmp_path / "tree"
    tree.mkdir()
    (tree / "rows.py").write_text("def fetch_rows(cursor):\n    return cursor.all()\n")
    found = {}
    for parsers in (True, False):
        folder = tmp_path / f"index-{parsers}"
        args = ["build", str(tree), str(folder), "1"] + ([] if parsers else ["no-parsers"])
        done = subprocess.run([sys.executable, "-I", str(code_cost.WORKER), *args], capture_output=True,
                              text=True, check=True, cwd=tmp_path)
        counts = json.loads(done.stdout)
        assert counts["files"] == 1 and counts["bytes"] == (tree / "rows.py").stat().st_size
        found[parsers] = len(Index.open(folder).definitions("fetch_rows"))
    assert found == {True: 1, False: 0}


def test_worker_times_the_reference_binding_over_every_file(tmp_path):
    pytest.importorskip("tree_sitter_python")
    sources = [tmp_path / name for name in ("a.py", "b.py")]
    for number, path in enumerate(sources):
        path.write_text(SOURCE * (number + 1))
    (tmp_path / "files.json").write_text(json.dumps([str(path) for path in sources]))
    done = subprocess.run([sys.executable, "-I", str(code_cost.WORKER), "tree-sitter", str(tmp_path / "files.json")],
                          capture_output=True, text=True, check=True)
    figures = json.loads(done.stdout)
    assert figures["files"] == 2 and figures["bytes"] == sum(path.stat().st_size for path in sources)
    assert figures["parse_seconds"] >= 0 and figures["query_seconds"] >= 0


def synthetic_round(scale):
    """One round's samples: the new version half as fast and 1.5x larger than the old."""
    def build(seconds, index_bytes, chunks=10):
        return {"seconds": seconds * scale, "cpu_seconds": seconds * scale, "bytes": 40e6, "files": 5,
                "chunks": chunks, "peak_rss": 300 << 20, "index_bytes": index_bytes}
    queries = {"latencies": [0.003 * scale] * 300}
    return {"new-2": build(2.0, 30e6), "new-1": build(4.0, 30e6), "old-2": build(1.0, 20e6),
            "old-1": build(2.0, 20e6), "new-2-no-parsers": build(0.5, 25e6, chunks=12),
            "bm25s": {"seconds": 4.0, "cpu_seconds": 4.0, "bytes": 40e6, "peak_rss": 800 << 20},
            "cindex": build(1.0, 8e6), "query-new": queries, "query-old": {"latencies": [0.002 * scale] * 300}}


def test_summary_ratios_and_section_over_synthetic_rounds():
    figures = code_cost.summary([synthetic_round(scale) for scale in (1.0, 2.0, 1.5)], old=True)
    assert figures["rows"]["new"]["mb_s_2"] == {"median": pytest.approx(40 / 3), "low": 10.0, "high": 20.0}
    assert figures["vs_old"]["mb_s_2"]["median"] == pytest.approx(0.5)  # each round's own pair
    assert figures["vs_old"]["p50_ms"] == {"median": pytest.approx(1.5), "low": pytest.approx(1.5),
                                           "high": pytest.approx(1.5)}
    assert figures["vs_old"]["index_bytes"]["median"] == pytest.approx(1.5)
    assert figures["parsing"]["share"]["median"] == pytest.approx(0.75)
    result = {"status": "measured", "date": "d", "load_average": "1", "load_average_after": "1", "rounds": 3,
              "root": "/lib", "files": 5, "text_bytes": 40e6, "disk_bytes": 1e9, "cindex_accepted_bytes": 39e6,
              "old_measured": True, "registering": {"seconds": 0.3, "languages": ["python"]},
              "reference_parse": {"error": "no binding"}, "queries": {"identifiers": 150, "sentences": 150},
              "query_examples": {"identifiers": ["f"], "sentences": ["s"]},
              "tools": {"bm25s": "1", "codesearch": "1", "old python": "p"}, **figures}
    text = report.code_cost_section(result)
    assert "| query p50 within 1.2x of 665bad7 | 1.50x | **missed** |" in text
    assert "| index size within 1.5x of 665bad7 | 1.50x | met |" in text
    assert "took 75% less wall time" in text
