"""The pruned BM25 search of format-3 segments against scoring every posting
(the ranking's hidden "exhaustive" switch): the same hits, scores bit for
bit, in the same order, over random corpora of skewed term frequencies in
several segments, with deletions, role and field weights, the definition
boost and path filters; format-2 segments still searched as written; and
damaged format-3 files refused by name, never a crash."""

from __future__ import annotations

import json
import os
import random
from pathlib import Path

import pytest

core = pytest.importorskip("vorpaline_core_py")

PROFILE = json.dumps({"version": "bm25-v1", "code_pretokenize": True, "min_token_len": 2})
DATA = Path(__file__).parent / "data"
# A few hundred words, drawn Zipf-like: a handful fill many blocks, most fill part of one.
WORDS = [f"w{i}" for i in range(400)] + ["get_user", "UserStore", "parse", "load_config", "quota"]
WEIGHTS = [1.0 / (i + 1) ** 1.05 for i in range(len(WORDS))]
FOLDERS = ["src", "tests", "docs", "vendor", "build", "lib/pkg"]


def random_source(rng):
    """A Python file: definitions named after words (so the names field and the boost count), bodies of words."""
    lines = []
    for _ in range(rng.randrange(1, 4)):
        name = rng.choices(WORDS, WEIGHTS)[0]
        lines.append(f"def {name}():" if rng.random() < 0.7 else f"class {name}:")
        for _ in range(rng.randrange(1, 6)):
            lines.append("    " + " ".join(rng.choices(WORDS, WEIGHTS, k=rng.randrange(1, 12))))
        lines.append("")
    return "\n".join(lines)


def build_corpus(root, folder, rng, files):
    names = []
    for i in range(files):
        name = f"{rng.choice(FOLDERS)}/{rng.choice(WORDS)}_{i}.{rng.choice(['py', 'py', 'md', 'txt'])}"
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(random_source(rng))
        names.append([name, (root / name).stat().st_size])
    limits = {"segment_bytes": rng.choice([20_000, 60_000, 10**9])}
    folder.mkdir()
    reply = json.loads(core.index_build_files(str(root), json.dumps(names), str(folder), "seg", PROFILE,
                                              json.dumps(limits), 2, None))
    return [(str(folder / s["name"]), s["documents"]) for s in reply["segments"]]


def random_ranking(rng, query):
    ranking = {"names": [rng.choice([0.0, 0.5, 2.0, 7.0]), rng.choice([0.0, 0.5, 1.0])],
               "path": [rng.choice([0.0, 0.3, 1.5]), rng.choice([0.0, 0.5, 1.0])],
               "roles": [rng.choice([0.0, 0.2, 1.0, 1.0, 3.0]) for _ in range(6)]}
    if rng.random() < 0.6:
        ranking["definition_boost"] = rng.choice([0.5, 1.0, 2.0, 40.0])
        ranking["defined_names"] = [word for word in query.split() if rng.random() < 0.7] or [query.split()[0]]
    return ranking


def compare(searcher, rng, queries, documents):
    for query in queries:
        ranking = random_ranking(rng, query)
        k = rng.choice([1, 2, 3, 10, 40, documents + 5])
        k1, b = rng.choice([0.0, 0.4, 1.2, 5.0]), rng.choice([0.0, 0.5, 0.75, 1.0])
        pruned = searcher.search(query, PROFILE, k, k1, b, json.dumps(ranking))
        exhaustive = searcher.search(query, PROFILE, k, k1, b, json.dumps({**ranking, "exhaustive": True}))
        assert pruned == exhaustive, (query, k, k1, b, ranking)


def random_query(rng):
    return " ".join(rng.choices(WORDS, WEIGHTS, k=rng.choice([1, 1, 2, 3, 5, 9])))


@pytest.mark.parametrize("seed", range(3))
def test_pruned_search_equals_scoring_every_posting(tmp_path, seed):
    from vorpaline import languages

    languages.ensure_registered(["python"])
    rng = random.Random(seed)
    root = tmp_path / "tree"
    segments = build_corpus(root, tmp_path / "index", rng, files=rng.choice([500, 900]))
    documents = sum(count for _, count in segments)
    assert documents > 3 * 128, documents  # common words fill several blocks
    deletions = [[], None, None]  # none; then a random share of each segment, up to most of it
    for deleted in deletions:
        chosen = [sorted(rng.sample(range(count), rng.randrange(count) if deleted is None else 0))
                  for _, count in segments]
        searcher = core.index_open(json.dumps([{"path": path, "deleted": ids}
                                               for (path, _), ids in zip(segments, chosen)]))
        compare(searcher, rng, [random_query(rng) for _ in range(40)], documents)
    for path, _ in segments:
        core.index_verify_segment(path)


def test_pruned_search_of_a_merge_equals_scoring_every_posting(tmp_path):
    rng = random.Random(11)
    paths = []
    for s in range(3):
        texts = [" ".join(rng.choices(WORDS, WEIGHTS, k=rng.randrange(1, 30))) for _ in range(rng.randrange(50, 700))]
        paths.append((str(tmp_path / f"s{s}"), len(texts)))
        core.index_build_segment(paths[-1][0], PROFILE, json.dumps(texts), json.dumps([str(i % 17) for i in range(len(texts))]))
    inputs = [{"path": path, "deleted": sorted(rng.sample(range(n), n // 4))} for path, n in paths]
    merged = str(tmp_path / "merged")
    core.index_merge_segments(merged, json.dumps(inputs))
    core.index_verify_segment(merged)
    documents = sum(n - n // 4 for _, n in paths)
    for searcher in (core.index_open(json.dumps(inputs)), core.index_open(json.dumps([{"path": merged, "deleted": []}]))):
        compare(searcher, rng, [random_query(rng) for _ in range(40)], documents)


def test_path_filters_keep_the_same_hits(tmp_path, monkeypatch):
    """Filters apply to the ranking (more is asked until k hits pass): pruned or not, the same hits."""
    from vorpaline import search
    from vorpaline.search import queries

    rng = random.Random(5)
    root = tmp_path / "tree"
    for i in range(300):
        name = root / rng.choice(FOLDERS) / f"m{i}.py"
        name.parent.mkdir(parents=True, exist_ok=True)
        name.write_text(random_source(rng))
    index = search.Index.create(tmp_path / "index")
    index.update(root)
    asked = [(random_query(rng), rng.choice(["src/**", "tests/*", "*.py", "lib/**"]), rng.choice([1, 5, 30]))
             for _ in range(25)]

    def hits():
        return [[(hit.path, hit.start_line, hit.score) for hit in index.search(query, k=k, path_glob=glob)]
                for query, glob, k in asked]

    pruned = hits()
    plain = queries.ranking_json
    monkeypatch.setattr(queries, "ranking_json",
                        lambda *args, **kwargs: json.dumps({**json.loads(plain(*args, **kwargs)), "exhaustive": True}))
    queries._ranking_json.cache_clear()
    assert hits() == pruned
    assert any(pruned)


def test_format_2_segments_search_as_they_did(tmp_path):
    """A segment of the old writer (varint postings, no blocks) against the same documents rewritten."""
    fixture = json.loads((DATA / "format2-segment.json").read_text())
    old = str(DATA / "format2-segment")
    new = str(tmp_path / "format3")
    core.index_build_segment(new, fixture["profile"], json.dumps(fixture["texts"]), json.dumps(fixture["metadata"]))
    assert Path(old).read_bytes()[8] == 2 and Path(new).read_bytes()[8] == 3
    core.index_verify_segment(old)
    rng = random.Random(3)
    deleted = sorted(rng.sample(range(len(fixture["texts"])), 40))
    searchers = [core.index_open(json.dumps([{"path": path, "deleted": deleted}])) for path in (old, new)]
    mixed = core.index_open(json.dumps([{"path": old, "deleted": deleted[:20]}, {"path": new, "deleted": deleted[20:]}]))
    for _ in range(40):
        query = " ".join(rng.choices([f"w{i}" for i in range(40)], k=rng.randrange(1, 5)))
        k = rng.choice([1, 5, 300])
        replies = [searcher.search(query, fixture["profile"], k, 1.2, 0.75) for searcher in searchers]
        assert replies[0] == replies[1]
        assert mixed.search(query, fixture["profile"], k, 1.2, 0.75) == mixed.search(
            query, fixture["profile"], k, 1.2, 0.75, '{"exhaustive": true}')
    assert json.loads(core.index_term_vectors(old)) == json.loads(core.index_term_vectors(new))


@pytest.fixture(scope="module")
def blocked_segment(tmp_path_factory):
    """A segment whose common terms have skip entries, and the queries that read them."""
    rng = random.Random(9)
    path = tmp_path_factory.mktemp("blocked") / "segment"
    texts = [" ".join(rng.choices(WORDS[:30], WEIGHTS[:30], k=rng.randrange(1, 10))) for _ in range(700)]
    core.index_build_segment(str(path), PROFILE, json.dumps(texts), json.dumps([str(i) for i in range(700)]))
    return path.read_bytes()


def damaged_copies(data, rng):
    cuts = [data[:cut] for cut in range(0, len(data), max(1, len(data) // 40))]
    flips = []
    for _ in range(150):
        flipped = bytearray(data)
        at = rng.randrange(len(flipped))
        flipped[at] ^= 1 << rng.randrange(8)
        flips.append(bytes(flipped))
    return cuts + flips + [data + b"\0" * 8]


def test_damaged_format_3_segments_are_refused_by_name(tmp_path, blocked_segment):
    """The check of every byte refuses each copy; an open or search may not read the damage,
    but what reads it raises ValueError naming the file."""
    rng = random.Random(1)
    queries = ["w0", "w0 w1 w2", "w3 w17 w29", "w5 w0 w8 w1"]
    for i, data in enumerate(damaged_copies(blocked_segment, rng)):
        path = tmp_path / f"damaged-{i}"
        path.write_bytes(data)
        with pytest.raises(ValueError, match=f"index file {path} is damaged"):
            core.index_verify_segment(str(path))
        try:
            searcher = core.index_open(json.dumps([{"path": str(path), "deleted": [1, 2, 3]}]))
            for query in queries:
                for ranking in ('{}', '{"exhaustive": true}'):
                    searcher.search(query, PROFILE, rng.choice([1, 10, 1000]), 1.2, 0.75, ranking)
        except ValueError as error:
            assert f"index file {path} is damaged" in str(error)
        os.unlink(path)


def test_a_merge_refuses_a_damaged_input(tmp_path, blocked_segment):
    damaged = bytearray(blocked_segment)
    damaged[len(damaged) // 2] ^= 0x10
    path = tmp_path / "damaged"
    path.write_bytes(bytes(damaged))
    with pytest.raises(ValueError, match=f"index file {path} is damaged"):
        core.index_merge_segments(str(tmp_path / "merged"), json.dumps([{"path": str(path), "deleted": []}]))
    assert not (tmp_path / "merged").exists()
