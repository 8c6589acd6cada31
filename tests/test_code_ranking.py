"""Ranking that knows code: BM25F over a chunk's text, names and path exactly as the formula gives it,
file roles from paths and contents, the priors and the definition boost, and symbol look-up.

The reference scorer works from the segments' own per-field term vectors, so it checks the index's
statistics and arithmetic over live documents, not the tokeniser or the parser.
"""

from __future__ import annotations

import json
import math
import os
import random

import pytest

core = pytest.importorskip("vorpaline_core_py")

from vorpaline import languages  # noqa: E402
from vorpaline.search import queries as ranking  # noqa: E402
from vorpaline.cli import main  # noqa: E402
from vorpaline.search import Index  # noqa: E402

PROFILE = json.dumps({"version": "bm25-v1", "code_pretokenize": True, "min_token_len": 2})
ROLE_BITS = {role: 1 << bit for bit, role in enumerate(("test", "documentation", "changelog", "generated",
                                                        "vendored", "minified"))}
WORDS = ["parse", "url", "user", "get_user", "load", "config", "quota", "retry", "cache", "token"]


def build(root, folder, files):
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    languages.ensure_registered()
    listed = [[name, os.path.getsize(root / name)] for name in sorted(files)]
    reply = json.loads(core.index_build_files(str(root), json.dumps(listed), str(folder), "seg", PROFILE,
                                              json.dumps({"segment_bytes": 300}), 1, None))
    return [str(folder / segment["name"]) for segment in reply["segments"]]


def reference_bm25f(segments, deleted, query, k1, parameters):
    docs = [(s, d, doc) for s, path in enumerate(segments)
            for d, doc in enumerate(json.loads(core.index_term_vectors(path))["documents"]) if d not in deleted[s]]
    fields = (("tfs", "length", 1.0, parameters["b"]), ("names_tfs", "names_length", *parameters["names"]),
              ("path_tfs", "path_length", *parameters["path"]))
    n = len(docs)
    averages = [max(1.0, sum(doc[length] for *_, doc in docs) / n) for _, length, _, _ in fields]
    query_terms = {t["index"] for t in json.loads(core.sparse_explain(query, PROFILE))["tokens"]}
    scores = {}
    for term in query_terms:
        holding = [(s, d, doc, doc["terms"].index(term)) for s, d, doc in docs if term in doc["terms"]]
        if not holding:
            continue
        idf = math.log(1 + (n - len(holding) + 0.5) / (len(holding) + 0.5))
        for s, d, doc, at in holding:
            combined = sum(weight * doc[tfs][at] / (1 - b + b * doc[length] / average)
                           for (tfs, length, weight, b), average in zip(fields, averages) if doc[tfs][at] and weight)
            if combined:
                scores[(s, d)] = scores.get((s, d), 0.0) + idf * combined * (k1 + 1) / (combined + k1)
    for (s, d), score in scores.items():
        roles = next(doc["roles"] for ss, dd, doc in docs if (ss, dd) == (s, d))
        scores[(s, d)] = score * math.prod(w for bit, w in enumerate(parameters["roles"]) if roles >> bit & 1)
    return scores


def random_repository(rng):
    files = {}
    for number in range(rng.randint(3, 9)):
        folder = rng.choice(["", "src/", "tests/", "docs/", "vendor/lib/"])
        name = f"{folder}{rng.choice(WORDS)}_{number}.{rng.choice(['py', 'txt', 'md'])}"
        body = "\n\n".join(f"def {rng.choice(WORDS)}_{i}(x):\n    return {' '.join(rng.choices(WORDS, k=4))}"
                           for i in range(rng.randint(1, 4)))
        files[name] = body + "\n"
    return files


@pytest.mark.parametrize("seed", range(6))
def test_search_scores_bm25f_with_role_priors_over_live_documents(tmp_path, seed):
    rng = random.Random(seed)
    root, folder = tmp_path / "repo", tmp_path / "index"
    root.mkdir()
    folder.mkdir()
    segments = build(root, folder, random_repository(rng))
    counts = [json.loads(core.index_term_vectors(path))["documents"] for path in segments]
    deleted = [set(rng.sample(range(len(c)), rng.randint(0, len(c) - 1))) for c in counts]
    searcher = core.index_open(json.dumps([{"path": p, "deleted": sorted(deleted[i])} for i, p in enumerate(segments)]))
    for _ in range(4):
        parameters = {"b": rng.choice([0.0, 0.75, 1.0]), "names": [rng.choice([0.0, 1.0, 4.0]), rng.random()],
                      "path": [rng.choice([0.0, 2.0]), rng.random()], "roles": [rng.choice([1.0, 0.5, 0.1]) for _ in range(6)]}
        query = " ".join(rng.sample(WORDS + ["tests", "vendor", "md"], 3))
        ranking_json = json.dumps({key: value for key, value in parameters.items() if key != "b"})
        hits = json.loads(searcher.search(query, PROFILE, 1000, 1.2, parameters["b"], ranking_json))["hits"]
        expected = reference_bm25f(segments, deleted, query, 1.2, parameters)
        assert {(h["segment"], h["doc"]): pytest.approx(h["score"], rel=1e-9) for h in hits} == expected
        assert [h["score"] for h in hits] == sorted((h["score"] for h in hits), reverse=True)


@pytest.mark.parametrize("path, text, roles", [
    ("src/app.py", "x = 1\n", []),
    ("tests/test_app.py", "", ["test"]),
    ("pkg/app_test.go", "", ["test"]),
    ("web/button.spec.ts", "", ["test"]),
    ("src/main/java/AppTest.java", "", ["test"]),
    ("conftest.py", "", ["test"]),
    ("docs/guide.md", "", ["documentation"]),
    ("README.rst", "", ["documentation"]),
    ("CHANGES.rst", "", ["documentation", "changelog"]),
    ("changelog.d/123.bugfix", "", ["changelog"]),
    ("api/service_pb2.py", "", ["generated"]),
    ("src/schema.py", "# Code generated by tool. DO NOT EDIT.\n", ["generated"]),
    ("poetry.lock", "", ["generated"]),
    ("third_party/zlib/inflate.c", "", ["vendored"]),
    ("pip/_vendor/six.py", "", ["vendored"]),
    ("static/app.min.js", "", ["minified"]),
    ("static/bundle.js", "var a=1;" * 600, ["minified"]),
    ("Testing/Notes.TXT", "", ["test", "documentation"]),
    ("src/contest.py", "", []),
    ("src/latest_news_feed.py", "", []),
])
def test_file_roles_from_paths_and_contents(tmp_path, path, text, roles):
    folder = tmp_path / "index"
    folder.mkdir()
    root = tmp_path / "repo"
    root.mkdir()
    [segment] = build(root, folder, {path: text + "\nmarker\n"})
    [document, *_] = json.loads(core.index_term_vectors(segment))["documents"]
    assert ranking.role_names(document["roles"]) == tuple(roles)


@pytest.mark.parametrize("query, asked", [
    ("parse url", set()),
    ("test for parse url", {"test"}),
    ("update CHANGELOG for 1.2", {"changelog"}),
    ("testParseUrl", {"test"}),
    ("the vendored copy of six", {"vendored"}),
    ("latest contest results", set()),
])
def test_a_query_asks_for_a_role_by_naming_it(query, asked):
    assert ranking.asked_roles(query) == asked


@pytest.mark.parametrize("query, names", [
    ("urlparse", ["urlparse"]),
    ("parse url", ["parse", "parse_url", "parseurl", "url"]),
    ("HTTPAdapter", ["HTTPAdapter"]),
    ("find the files that changed in the last release", []),
])
def test_the_names_a_query_means(query, names):
    assert ranking.meant_names(query) == names


CODE = {
    "src/urls.py": "def parse_url(text):\n    return text.split('/')\n\n\n"
                   "class Parser:\n    def parse(self, url):\n        return parse_url(url)\n",
    # a use inside a dotted chain is tokenised as the chain and its words, not as the name whole
    "src/cache.py": "import urls\n\n\ndef cached_parse_url(text):\n    return urls.parse_url(text)\n\n\n"
                    "def _parse_url_table():\n    return {}\n",
    "tests/test_urls.py": "from urls import parse_url\n\n\ndef test_parse_url():\n    assert parse_url('a/b')\n",
    "CHANGES.md": "Version 1.1\n\n- parse_url handles slashes\n",
    "app.kt": "fun parseUrl(text: String) = text\n",
}


@pytest.fixture
def code_index(tmp_path):
    root = tmp_path / "repo"
    for name, text in CODE.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    index = Index.for_repository(root)
    counts = index.update(root)
    return root, index, counts


def test_the_definition_comes_before_its_uses_and_tests(code_index):
    _, index, counts = code_index
    hits = index.search("parse url", k=10)
    assert (hits[0].path, hits[0].line) == ("src/urls.py", 1)
    assert "parse_url" in [d.name for d in hits[0].definitions]
    test_hit = next(hit for hit in hits if hit.path == "tests/test_urls.py")
    assert test_hit.roles == ("test",)
    assert index.search("test parse url", k=1)[0].path == "tests/test_urls.py"
    assert counts.without_parser == {"Kotlin": 1}


def test_files_ranks_each_file_by_its_best_chunk(code_index):
    _, index, _ = code_index
    chunks = index.search("parse url", k=50)
    files = index.search("parse url", k=50, files=True)
    assert [hit.path for hit in files] == list(dict.fromkeys(hit.path for hit in chunks))
    assert [hit.path for hit in index.search("parse url", k=2, files=True)] == [hit.path for hit in files[:2]]


def test_definitions_and_references_are_exact_names(code_index):
    _, index, _ = code_index
    assert [(d.path, d.line, d.kind, d.scope) for d in index.definitions("parse_url")] == [("src/urls.py", 1, "function", "")]
    assert [(d.path, d.kind, d.scope) for d in index.definitions("parse")] == [("src/urls.py", "method", "Parser")]
    assert index.definitions("PARSE_URL") == [] and len(index.definitions("PARSE_URL", ignore_case=True)) == 1
    assert index.definitions("parseUrl") == []  # Kotlin has no parser here
    assert {(r.path, r.line) for r in index.references("parse_url")} == {
        ("src/urls.py", 7), ("src/cache.py", 5), ("tests/test_urls.py", 5)}
    assert index.references("parse_url", path_glob="src/*") == [r for r in index.references("parse_url")
                                                                 if r.path.startswith("src/")]


@pytest.mark.parametrize("argv, status, lines", [
    (["def", "parse"], 0, ["src/urls.py:6: method Parser"]),
    (["def", "Parser"], 0, ["src/urls.py:5: class"]),
    (["def", "parser"], 1, []),
    (["def", "parser", "--ignore-case"], 0, ["src/urls.py:5: class"]),
    (["refs", "parse_url", "--path", "tests/*"], 0, ["tests/test_urls.py:5: call"]),
    (["def", "nothing_like_it"], 1, []),
])
def test_def_and_refs_print_path_line_kind(code_index, capsys, argv, status, lines):
    root, _, _ = code_index
    capsys.readouterr()
    assert main([*argv[:2], str(root), *argv[2:]]) == status
    assert capsys.readouterr().out.splitlines() == lines


def test_a_grammar_installed_since_the_last_update_has_its_files_parsed_again(tmp_path, monkeypatch):
    root = tmp_path / "repo"
    root.mkdir()
    (root / "a.py").write_text("def alpha():\n    pass\n")
    (root / "notes.txt").write_text("alpha notes\n")
    index = Index.for_repository(root)
    monkeypatch.setattr(languages, "installed", lambda: [])
    assert index.update(root).indexed == 2
    assert index.update(root).indexed == 0
    monkeypatch.undo()
    again = index.update(root)  # Python's grammar is there now: a.py is read and parsed again, notes.txt is not
    assert (again.indexed, again.unchanged) == (1, 1)
    assert [d.name for d in index.definitions("alpha")] == ["alpha"]
    assert index.update(root).indexed == 0


@pytest.mark.parametrize("failure, later", [(OSError("too many open files"), True), (MemoryError(), True),
                                            (ModuleNotFoundError("gone"), False)])
def test_a_grammar_that_failed_to_load_for_now_is_tried_again(monkeypatch, failure, later):
    monkeypatch.setattr(languages, "_registered", {})
    real = languages._tags_query

    def failing(module_name):
        raise failure

    monkeypatch.setattr(languages, "_tags_query", failing)
    assert languages.ensure_registered(["python"]) == {"python": False}
    monkeypatch.setattr(languages, "_tags_query", real)
    assert languages.ensure_registered(["python"]) == {"python": later}  # not installed stays so: no retries
