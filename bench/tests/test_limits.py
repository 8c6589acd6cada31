"""The limits table's harness: its ceiling must do the core's work on the
same tokens (its pieces, run in order, write the core's reply), its corpora
must be what they say, and its verdicts must point the right way."""
import json

import pytest

import vorpaline_core_py
from bench import limits, limits_corpora, report

TEXTS = [
    "", "x", "def getUserName(self):\n    return self._name  # HTTPServer\n",
    "ahmup ahmup akevj",  # two tokens of one index: merged
    "word " * 300 + " ".join(f"t{i}x" for i in range(400)),  # a radix-sorted text
    "a_very_long_identifier_with_many_parts_beyond_sixteen_bytes = 1",
    "Straße STRASSE ﬁle Ｆｕｌｌ строкаИмя 变量名 😀 \"quoted\" \\ back\\slash \t\x01",
    "\ud7ff\ue000 é\u0301 " * 50, "tf " * 300,  # a weight beyond the formatted ones
]


@pytest.fixture(scope="module")
def ceiling(tmp_path_factory):
    payload = json.dumps(TEXTS)
    made = limits.Ceiling(limits.build(tmp_path_factory.mktemp("limits")), payload, limits.token_blob(TEXTS))
    yield made, payload
    made.close()


def test_the_ceilings_pieces_write_the_cores_reply(ceiling):
    made, payload = ceiling
    assert made.reply() == vorpaline_core_py.sparse_embed_batch(payload, limits.PROFILE)


def test_the_ceilings_scan_reads_the_texts_as_simdjson_does(ceiling):
    assert ceiling[0].scan_mismatches() == 0


def test_every_piece_takes_time(ceiling):
    assert all(ceiling[0].run(piece) >= 0 for piece in limits.PIECES)


@pytest.mark.parametrize(("sizes", "max_bytes", "kept"), [
    ([10] * 10, 100, 10), ([10] * 10, 50, 5), ([10] * 10, 49, 4), ([10] * 10, 1, 1)])
def test_thinning_keeps_every_nth_text_under_the_size(sizes, max_bytes, kept):
    texts = [f"{i}" * size for i, size in enumerate(sizes)]
    assert len(limits_corpora.thinned(texts, max_bytes)) == kept


def test_prose_is_made_up_to_the_size_from_its_own_paragraphs_the_same_each_time():
    texts = ["first paragraph\n\nsecond one", "third"]
    made, generated = limits_corpora.made_up_to(texts, 2000)
    assert generated and made[:2] == texts and sum(map(len, made)) >= 2000
    assert made == limits_corpora.made_up_to(texts, 2000)[0]
    paragraphs = {"first paragraph", "second one", "third"}
    assert all(set(text.split("\n\n")) <= paragraphs for text in made[2:])
    assert limits_corpora.made_up_to(texts, 10) == (texts, False)


def limits_result(share=0.9, single=0.9, two=1.95, memory=2.5):
    row = {"name": "code", "label": "code", "texts": 3, "megabytes": 1.0, "generated": False, "simd_width": 512,
           "reading": "scan", "mb_s": {key: 100.0 for key in ("core batch", "core single", *limits.PIECES)},
           "ceiling_mb_s": {"batch": 110.0, "single": 120.0},
           "share": {"batch": {"median": share, "quartiles": (share, share)},
                     "single": {"median": single, "quartiles": (single, single)}},
           "two_threads": {"median": two, "quartiles": (two, two)}, "memory": {"end_to_end": memory, "core": 0.5}}
    return {"date": "today", "load_average": "0.00", "repeats": 3, "rows": [row]}


@pytest.mark.parametrize(("result", "verdicts"), [
    (limits_result(), ["met", "met", "met"]),
    (limits_result(share=0.84), ["**missed**", "met", "met"]),
    (limits_result(single=0.84), ["**missed**", "met", "met"]),
    (limits_result(two=1.89), ["met", "**missed**", "met"]),
    (limits_result(memory=3.01), ["met", "met", "**missed**"]),
    (limits_result(share=0.85, two=1.9, memory=3.0), ["met", "met", "met"]),
])
def test_limits_verdicts(result, verdicts):
    text = report.limits_section(result)
    goals = text.strip().splitlines()[-1].split("|")
    assert [goals[i].strip() for i in (3, 5, 7)] == verdicts
