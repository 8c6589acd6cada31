"""Properties of the native core's embeddings that must hold for any text and
any valid profile, checked with generated inputs: the same input always gives
the same vector; indices are sorted, unique and non-negative 32-bit integers;
weights are positive and pair up with the indices; a batch gives what its
texts give one by one; the truncation fields agree with the text and the limit.

Set VORPALINE_LONG_TESTS=1 for many more examples per property.
"""

import json
import math
import os

import pytest
from hypothesis import HealthCheck, given
from hypothesis import settings as hypothesis_settings
from hypothesis import strategies as st

core = pytest.importorskip("vorpaline_core_py")

LONG = os.environ.get("VORPALINE_LONG_TESTS") == "1"
EXAMPLES = hypothesis_settings(
    max_examples=3000 if LONG else 150,
    deadline=None,  # sanitizer and debug builds are many times slower
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)

# Pieces that exercise the splitting rules: case changes, acronyms, digits,
# joiners, non-ASCII letters and marks, compatibility forms, separators.
PIECES = [
    "getUserName", "HTTPServer", "snake_case_name", "kebab-case", "dotted.path", "x", "a1b2",
    "42", "_", "-", ".", " ", "\n", "\t", "\x00", "Straße", "naïve", "e\u0301", "İstanbul",
    "ﬁle", "Ｆｕｌｌ", "日本語", "ΣίσυφοςΚ", "𝒳𝓎", "🙂", "ǅungla", "ABC", "abcDEF",
]
code_like = st.lists(st.sampled_from(PIECES), max_size=12).map("".join)
any_text = st.text(max_size=60)  # never lone surrogates: Hypothesis leaves them out
texts = st.one_of(any_text, code_like)

profiles = st.fixed_dictionaries(
    {
        "version": st.one_of(st.none(), st.text(max_size=8)),
        "max_text_chars": st.one_of(st.none(), st.integers(0, 80)),
        "code_pretokenize": st.booleans(),
        "min_token_len": st.integers(0, 4),
    }
)


def embed(text, profile):
    return json.loads(core.sparse_embed_single(text, json.dumps(profile)))


def embed_batch(text_list, profile, ensure_ascii=True):
    texts_json = json.dumps(text_list, ensure_ascii=ensure_ascii)
    return json.loads(core.sparse_embed_batch(texts_json, json.dumps(profile)))["embeddings"]


def vector(reply):
    return reply["indices"], reply["values"]


@EXAMPLES
@given(text=texts, profile=profiles, other=profiles)
def test_same_input_same_reply_whatever_came_between(text, profile, other):
    profile_json = json.dumps(profile)
    first = core.sparse_embed_single(text, profile_json)
    # Another profile in between must not leave anything behind.
    core.sparse_embed_single(text + " interleaved", json.dumps(other))
    assert core.sparse_embed_single(text, profile_json) == first


@EXAMPLES
@given(text=texts, profile=profiles)
def test_vector_is_well_formed(text, profile):
    indices, values = vector(embed(text, profile))
    assert len(indices) == len(values)
    assert all(type(i) is int and 0 <= i < 2**31 for i in indices)
    assert indices == sorted(set(indices)), "indices must be strictly ascending"
    assert all(type(v) is float and math.isfinite(v) and v > 0 for v in values)


@EXAMPLES
@given(text=texts, profile=profiles)
def test_truncation_fields_agree_with_text_and_limit(text, profile):
    reply = embed(text, profile)
    limit = profile["max_text_chars"]
    assert reply["original_chars"] == len(text)
    expected_used = len(text) if limit is None else min(len(text), limit)
    assert reply["used_chars"] == expected_used
    assert reply["truncated"] is (expected_used < len(text))


@EXAMPLES
@given(text=texts.filter(len), profile=profiles, data=st.data())
def test_truncated_text_embeds_as_its_kept_prefix(text, profile, data):
    limit = data.draw(st.integers(0, len(text) - 1), label="max_text_chars")
    profile = dict(profile, max_text_chars=limit)
    assert vector(embed(text, profile)) == vector(embed(text[:limit], profile))


@EXAMPLES
@given(text_list=st.lists(texts, max_size=8), profile=profiles, ensure_ascii=st.booleans())
def test_batch_equals_singles(text_list, profile, ensure_ascii):
    # ensure_ascii=False sends raw UTF-8; True sends \\u escapes, astral
    # characters as surrogate pairs.
    assert embed_batch(text_list, profile, ensure_ascii) == [embed(t, profile) for t in text_list]


@EXAMPLES
@given(chunks=st.lists(texts, min_size=1, max_size=6), profile=profiles)
def test_order_of_separated_chunks_does_not_matter(chunks, profile):
    profile = dict(profile, max_text_chars=None)
    forward = embed(" ".join(chunks), profile)
    backward = embed(" ".join(reversed(chunks)), profile)
    assert vector(forward) == vector(backward)


@EXAMPLES
@given(text=texts, profile=profiles)
def test_repeating_a_text_raises_every_weight(text, profile):
    profile = dict(profile, max_text_chars=None)
    once = embed(text, profile)
    twice = embed(text + " " + text, profile)
    assert twice["indices"] == once["indices"]
    assert all(w2 > w1 for w1, w2 in zip(once["values"], twice["values"]))


@EXAMPLES
@given(text_list=st.lists(texts, max_size=6))
def test_service_batch_equals_service_singles(sparse, text_list):
    service = sparse.SparseEmbeddingService()
    assert service.embed_batch(text_list) == [service.embed_single(t) for t in text_list]
    assert service.embed_batch_list(text_list, 3) == service.embed_batch(text_list)
