"""The core's index segments: BM25 exactly as the formula gives it over the
live documents, damaged files refused by name, and searches from threads.

The reference scorer below works from the core's own tokens
(sparse_explain), so it checks the index's statistics and arithmetic, not
the tokeniser.
"""

from __future__ import annotations

import json
import math
import random
import threading

import pytest

core = pytest.importorskip("vorpaline_core_py")

PROFILE = json.dumps({"version": "bm25-v1", "code_pretokenize": True, "min_token_len": 2})
WORDS = ["get", "user", "name", "store", "index", "search", "getUser", "user_name", "fox", "brown", "x1", "é", "数据"]


def terms_of(text):
    return {t["index"]: t["tf"] for t in json.loads(core.sparse_explain(text, PROFILE))["tokens"]}


def head_line(text):
    """The first line that is not blank, a decorator or a comment; else the first that is not blank."""
    lines = [line.strip(" \t\r\f\v") for line in text.split("\n")]
    lines = [line for line in lines if line]
    decorated = ("@", "#", "//", "/*", "*", "--", ";")
    return next((line for line in lines if not line.startswith(decorated)), lines[0] if lines else "")


def document_terms(text):
    """What the index counts for a document: its text and its head line twice more."""
    head = head_line(text)
    return terms_of(f"{text}\n{head}\n{head}")


def reference_bm25(segments, deleted, query, k1, b):
    """{(segment, doc): score} over the documents not deleted."""
    live = [(s, d, document_terms(text)) for s, texts in enumerate(segments) for d, text in enumerate(texts)
            if d not in deleted[s]]
    n = len(live)
    if n == 0:
        return {}
    average = max(1.0, sum(sum(t.values()) for _, _, t in live) / n)
    scores = {}
    for term in terms_of(query):
        df = sum(1 for _, _, t in live if term in t)
        if df == 0:
            continue
        idf = math.log(1 + (n - df + 0.5) / (df + 0.5))
        for s, d, t in live:
            if term in t:
                tf = t[term]
                norm = k1 * (1 - b + b * sum(t.values()) / average)
                scores[(s, d)] = scores.get((s, d), 0.0) + idf * tf * (k1 + 1) / (tf + norm)
    return scores


def write_segments(folder, segments):
    paths = []
    for s, texts in enumerate(segments):
        path = str(folder / f"segment-{s}")
        core.index_build_segment(path, PROFILE, json.dumps(texts), json.dumps([f"{s}:{d}" for d in range(len(texts))]))
        paths.append(path)
    return paths


def open_segments(paths, deleted):
    return core.index_open(json.dumps([{"path": p, "deleted": sorted(deleted[i])} for i, p in enumerate(paths)]))


def random_text(rng):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 12)))


@pytest.mark.parametrize("seed", range(40))
def test_scores_are_bm25_over_the_live_documents(tmp_path, seed):
    rng = random.Random(seed)
    segments = [[random_text(rng) for _ in range(rng.randint(1, 9))] for _ in range(rng.randint(1, 3))]
    deleted = [set(rng.sample(range(len(texts)), rng.randint(0, len(texts)))) for texts in segments]
    query = random_text(rng) or "user"
    k1, b = rng.choice([(1.2, 0.75), (0.9, 1.0), (2.0, 0.0)])
    k = rng.randint(1, 12)
    searcher = open_segments(write_segments(tmp_path, segments), deleted)

    hits = json.loads(searcher.search(query, PROFILE, k, k1, b))["hits"]
    expected = reference_bm25(segments, deleted, query, k1, b)
    assert len(hits) == min(k, len(expected))
    for hit in hits:
        assert hit["score"] == pytest.approx(expected[(hit["segment"], hit["doc"])], rel=1e-12)
        assert hit["metadata"] == f"{hit['segment']}:{hit['doc']}"
    scores = [hit["score"] for hit in hits]
    assert scores == sorted(scores, reverse=True)
    if hits:  # nothing better than the last hit was left out
        returned = {(hit["segment"], hit["doc"]) for hit in hits}
        assert all(key in returned for key, score in expected.items() if score > scores[-1] * (1 + 1e-9))
    assert searcher.documents == sum(len(t) for t in segments) - sum(len(d) for d in deleted)


def test_equal_scores_come_in_metadata_order_whatever_the_segments(tmp_path):
    path_a, path_b = str(tmp_path / "a"), str(tmp_path / "b")
    core.index_build_segment(path_a, PROFILE, json.dumps(["user", "other", "user"]), json.dumps(["m3", "m0", "m1"]))
    core.index_build_segment(path_b, PROFILE, json.dumps(["user"]), json.dumps(["m2"]))
    for order in ([path_a, path_b], [path_b, path_a]):
        searcher = core.index_open(json.dumps([{"path": p, "deleted": []} for p in order]))
        hits = json.loads(searcher.search("user", PROFILE, 10, 1.2, 0.75))["hits"]
        assert [h["metadata"] for h in hits] == ["m1", "m2", "m3"]


@pytest.mark.parametrize("query", ["", "   ", "zzz_unknown_token", "a"])
def test_a_query_without_known_tokens_finds_nothing(tmp_path, query):
    paths = write_segments(tmp_path, [["user store"]])
    assert json.loads(open_segments(paths, [set()]).search(query, PROFILE, 5, 1.2, 0.75)) == {"hits": []}


def test_metadata_and_texts_come_through_exactly(tmp_path):
    metadata = ['quo"te\\back', "new\nline", "ünïcödé \U0001f600", ""]
    path = str(tmp_path / "segment")
    core.index_build_segment(path, PROFILE, json.dumps(["user"] * 4), json.dumps(metadata))
    searcher = core.index_open(json.dumps([{"path": path, "deleted": []}]))
    hits = json.loads(searcher.search("user", PROFILE, 4, 1.2, 0.75))["hits"]
    assert [h["metadata"] for h in hits] == sorted(metadata, key=str.encode)  # equal scores: by metadata


@pytest.fixture
def segment_bytes(tmp_path):
    path = tmp_path / "good"
    core.index_build_segment(str(path), PROFILE, json.dumps([random_text(random.Random(i)) for i in range(30)]),
                             json.dumps([str(i) for i in range(30)]))
    return path.read_bytes()


def test_every_truncation_and_bit_flip_is_refused_by_name(tmp_path, segment_bytes):
    """A check of every byte refuses each; an open checks the layout alone, so a
    damaged file may open, but then what reads the damage refuses it by name."""
    rng = random.Random(7)
    damaged = [segment_bytes[:cut] for cut in range(0, len(segment_bytes), max(1, len(segment_bytes) // 60))]
    for _ in range(200):
        flipped = bytearray(segment_bytes)
        flipped[rng.randrange(len(flipped))] ^= 1 << rng.randrange(8)
        damaged.append(bytes(flipped))
    damaged.append(segment_bytes + b"\0")
    for i, data in enumerate(damaged):
        path = tmp_path / f"damaged-{i}"
        path.write_bytes(data)
        with pytest.raises(ValueError, match=f"index file {path} is damaged"):
            core.index_verify_segment(str(path))
        try:
            searcher = core.index_open(json.dumps([{"path": str(path), "deleted": []}]))
            for query in ("user name", "get store index", "fox"):
                searcher.search(query, PROFILE, 5, 1.2, 0.75)
            core.index_term_vectors(str(path))
        except ValueError as error:
            assert f"index file {path} is damaged" in str(error)


@pytest.mark.parametrize(
    "segments, error",
    [
        ("[", ValueError),
        ('{"path": "x"}', ValueError),
        ('[{"path": "x"}]', ValueError),
        ('[{"path": "GOOD", "deleted": [30]}]', ValueError),
        ('[{"path": "GOOD", "deleted": [-1]}]', ValueError),
        ('[{"path": "MISSING", "deleted": []}]', FileNotFoundError),
    ],
)
def test_bad_segment_lists(tmp_path, segment_bytes, segments, error):
    good = tmp_path / "good"
    segments = segments.replace("GOOD", str(good)).replace("MISSING", str(tmp_path / "missing"))
    with pytest.raises(error):
        core.index_open(segments)


def test_writing_never_replaces_a_file(tmp_path):
    path = tmp_path / "segment"
    path.write_bytes(b"kept")
    with pytest.raises(FileExistsError):
        core.index_build_segment(str(path), PROFILE, '["a b"]', '["m"]')
    assert path.read_bytes() == b"kept"


@pytest.mark.parametrize(
    "arguments, error",
    [
        (("q", PROFILE, 0, 1.2, 0.75), ValueError),
        (("q", PROFILE, 10, 1.2, 1.5), ValueError),
        (("q", PROFILE, 10, -1.0, 0.75), ValueError),
        (("q", PROFILE, 10, float("nan"), 0.75), ValueError),
        (("q", PROFILE, "10", 1.2, 0.75), TypeError),
        ((b"q", PROFILE, 10, 1.2, 0.75), TypeError),
        (("q", PROFILE, 10, 1.2), TypeError),
        (("q", "[]", 10, 1.2, 0.75), ValueError),
    ],
)
def test_search_arguments(tmp_path, arguments, error):
    searcher = open_segments(write_segments(tmp_path, [["user"]]), [set()])
    with pytest.raises(error):
        searcher.search(*arguments)


def test_index_build_segment_refuses_mismatched_lists(tmp_path):
    with pytest.raises(ValueError, match="2 texts but 1 metadata"):
        core.index_build_segment(str(tmp_path / "s"), PROFILE, '["a", "b"]', '["m"]')
    assert not (tmp_path / "s").exists()


def test_searches_from_threads_agree(tmp_path):
    rng = random.Random(3)
    searcher = open_segments(write_segments(tmp_path, [[random_text(rng) for _ in range(300)] for _ in range(3)]),
                             [set(), {1, 2}, set()])
    queries = [random_text(rng) or "user" for _ in range(40)]
    expected = [searcher.search(q, PROFILE, 10, 1.2, 0.75) for q in queries]
    failures = []

    def work():
        for _ in range(5):
            if [searcher.search(q, PROFILE, 10, 1.2, 0.75) for q in queries] != expected:
                failures.append("mismatch")

    threads = [threading.Thread(target=work) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_the_searcher_cannot_be_made_directly():
    with pytest.raises(TypeError):
        core.Searcher()


def test_opening_searching_and_failing_leak_nothing(tmp_path):
    import gc
    import sys

    paths = write_segments(tmp_path, [["user store", "get user name"], ["fox user"]])
    segments = json.dumps([{"path": p, "deleted": [0]} for p in paths])
    missing = json.dumps([{"path": str(tmp_path / "missing"), "deleted": []}])

    def cycle():
        searcher = core.index_open(segments)
        searcher.search("user name", PROFILE, 3, 1.2, 0.75)
        for bad in (lambda: core.index_open(missing), lambda: searcher.search("q", PROFILE, 0, 1.2, 0.75)):
            try:
                bad()
            except (OSError, ValueError):
                pass

    def blocks_after(rounds):
        for _ in range(rounds):
            cycle()
        gc.collect()
        return sys.getallocatedblocks()

    blocks_after(200)
    before = blocks_after(0)
    assert blocks_after(2000) - before < 150


@pytest.mark.parametrize("seed", range(12))
def test_a_merge_keeps_exactly_the_live_documents_in_order(tmp_path, seed):
    rng = random.Random(seed)
    segments = [[random_text(rng) for _ in range(rng.randint(1, 8))] for _ in range(rng.randint(1, 4))]
    deleted = [set(rng.sample(range(len(texts)), rng.randint(0, len(texts)))) for texts in segments]
    paths = write_segments(tmp_path, segments)
    merged = str(tmp_path / "merged")
    reply = json.loads(core.index_merge_segments(merged, json.dumps(
        [{"path": p, "deleted": sorted(deleted[i])} for i, p in enumerate(paths)])))
    live = [(s, d) for s, texts in enumerate(segments) for d in range(len(texts)) if d not in deleted[s]]
    assert reply["documents"] == len(live)
    if not live:
        return
    query = random_text(rng) or "user"
    before = json.loads(open_segments(paths, deleted).search(query, PROFILE, 50, 1.2, 0.75))["hits"]
    after = json.loads(core.index_open(json.dumps([{"path": merged, "deleted": []}])).search(
        query, PROFILE, 50, 1.2, 0.75))["hits"]
    assert [(h["metadata"], h["score"]) for h in after] == [(h["metadata"], h["score"]) for h in before]
    assert [h["doc"] for h in after] == [live.index((h["segment"], h["doc"])) for h in before]


@pytest.mark.parametrize(
    "named, other",
    [
        ("def parse_url(value):\n    return value", "def other(value):\n    return parse_url(value)"),
        ("@decorator\n# a comment\ndef parse_url(value):\n    pass", "def other():\n    parse_url = 1"),
        ("Parse URL\n\nsome text", "some text\n\nparse url"),
    ],
)
def test_a_document_named_by_its_head_line_ranks_first(tmp_path, named, other):
    path = str(tmp_path / "segment")
    core.index_build_segment(path, PROFILE, json.dumps([other, named]), json.dumps(["other", "named"]))
    hits = json.loads(core.index_open(json.dumps([{"path": path, "deleted": []}])).search(
        "parse url", PROFILE, 2, 1.2, 1.0))["hits"]
    assert [h["metadata"] for h in hits] == ["named", "other"]


@pytest.mark.parametrize("seed", range(8))
def test_term_vectors_give_back_each_documents_counts_in_order(tmp_path, seed):
    rng = random.Random(seed)
    texts = [random_text(rng) for _ in range(rng.randint(1, 40))]
    metadata = [json.dumps([f"doc {d}", rng.random()]) for d in range(len(texts))]
    path = str(tmp_path / "segment")
    core.index_build_segment(path, PROFILE, json.dumps(texts), json.dumps(metadata))
    documents = json.loads(core.index_term_vectors(path))["documents"]
    assert [d["metadata"] for d in documents] == metadata
    for document, text in zip(documents, texts):
        assert document["terms"] == sorted(document_terms(text))
        assert document["tfs"] == [document_terms(text)[term] for term in document["terms"]]
        assert document["length"] == sum(document["tfs"])


@pytest.mark.parametrize("arguments, error", [((), TypeError), ((b"path",), TypeError), (("/no/such/segment",), OSError)])
def test_term_vectors_arguments(arguments, error):
    with pytest.raises(error):
        core.index_term_vectors(*arguments)


def test_term_vectors_of_a_damaged_segment_are_refused_by_name(tmp_path, segment_bytes):
    path = tmp_path / "damaged"
    path.write_bytes(segment_bytes[:-1])
    with pytest.raises(ValueError, match=f"index file {path} is damaged"):
        core.index_term_vectors(str(path))
