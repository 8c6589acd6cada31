"""The native core's fast paths against plain reference rules: ASCII
identifiers split by bit arithmetic over 64-byte windows, runs that cross
windows or outgrow them, windows that mix in non-ASCII text, short tokens
counted by their bytes, the index sort, batches read a text at a time, and
replies written straight into the returned str."""

import json
import math
import random
import re
import unicodedata
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

from conftest import token_index

import vorpaline_core_py as core


def make_profile(**members):
    profile = {"version": "test", "max_text_chars": None, "code_pretokenize": True,
               "min_token_len": 2}
    profile.update(members)
    return json.dumps(profile)


CODE = make_profile()
PLAIN = make_profile(code_pretokenize=False)


def core_tfs(text, profile=CODE):
    """{token: tf} as sparse_explain counts them."""
    reply = json.loads(core.sparse_explain(text, profile))
    return Counter({entry["token"]: entry["tf"] for entry in reply["tokens"]})


def embedding_tfs(text, profile=CODE):
    """{index: tf} read back from the weights of sparse_embed_single."""
    reply = json.loads(core.sparse_embed_single(text, profile))
    return {index: round(math.exp(value - 1))
            for index, value in zip(reply["indices"], reply["values"])}


# --- a plain reference for ASCII text ------------------------------------------

def _kind(char):
    return "D" if char.isdigit() else "U" if char.isupper() else "L"


def _split_piece(piece):
    """Parts of a joiner-free stretch, one character at a time."""
    cuts = set()
    for at in range(1, len(piece)):
        before, here = _kind(piece[at - 1]), _kind(piece[at])
        if (here == "D") != (before == "D") or (here == "U" and before == "L"):
            cuts.add(at)
        elif here == "L" and before == "U" and at >= 2 and _kind(piece[at - 2]) == "U":
            cuts.add(at - 1)
    bounds = [0, *sorted(cuts), len(piece)]
    return [piece[a:b] for a, b in zip(bounds, bounds[1:])]


def reference_tokens(text, code=True, min_len=2):
    """The documented rules for ASCII text, written the slow and obvious way."""
    found = []
    if not code:
        found = re.findall(r"[A-Za-z0-9]+", text)
    else:
        for run in re.findall(r"[A-Za-z0-9_.\-]+", text):
            identifier = run.strip("_.-")
            if not identifier:
                continue
            parts = [part for piece in re.split(r"[_.\-]+", identifier)
                     for part in _split_piece(piece)]
            found += parts + ([identifier] if len(parts) > 1 else [])
    return Counter(token.lower() for token in found if len(token) >= min_len)


CHUNKS = ["get", "User", "HTTP", "Server", "utf", "8", "42", "x", "I", "ABc", "aB", "Xml",
          "_", "__", ".", "-", "..", " ", "  ", "\n", "(", ")", "=", "self", "MAX", "SIZE",
          "sha256", "v2", "0x1F", "parseXMLToJSON"]

ascii_texts = st.lists(st.sampled_from(CHUNKS), max_size=120).map("".join)
random_ascii = st.text(alphabet="aAbBzZ019_-. \t", max_size=300)


@settings(max_examples=300, deadline=None)
@given(text=st.one_of(ascii_texts, random_ascii), shift=st.integers(0, 70),
       code=st.booleans(), min_len=st.integers(0, 4))
def test_ascii_tokens_follow_the_rules_at_any_window_offset(text, shift, code, min_len):
    text = " " * shift + text
    profile = make_profile(code_pretokenize=code, min_token_len=min_len)
    assert core_tfs(text, profile) == reference_tokens(text, code, min_len)


@pytest.mark.parametrize("length", [1, 2, 62, 63, 64, 65, 66, 127, 128, 129, 200, 1000])
@pytest.mark.parametrize("shape", [
    lambda n: "a" * n,                                   # one part
    lambda n: ("getHttpServer" * n)[:n],                 # case splits all along
    lambda n: ("HTTPServer" * n)[:n],                    # acronyms
    lambda n: ("ab_" * n)[:n],                           # joiners all along
    lambda n: ("utf8" * n)[:n],                          # digit changes
    lambda n: "_" + ("aB1." * n)[:n] + "__",             # joiners at the ends
])
@pytest.mark.parametrize("shift", [0, 1, 31, 63])
def test_long_and_window_crossing_runs(length, shape, shift):
    # Runs up to a window long are split by bit arithmetic, longer ones one
    # character at a time; both must give what the rules give.
    text = "#" * shift + shape(length) + " tail"
    for code in (True, False):
        profile = make_profile(code_pretokenize=code, min_token_len=1)
        assert core_tfs(text, profile) == reference_tokens(text, code, 1)


# --- windows that mix ASCII and non-ASCII text ---------------------------------

MIXED_ALPHABET = list("aBcXyZ09_-. \n") + ["é", "ß", "Σ", "σ", "ж", "Ж", "变", "量", "न", "\u0301",
                                           "😀", "\u00a0", "Ｆ", "ﬁ", "٣"]


def _is_word(char):
    return unicodedata.category(char)[0] in "LM" or unicodedata.category(char) == "Nd"


def runs_of(text, code):
    """Maximal runs of word characters (and joiners in code mode)."""
    runs, current = [], ""
    for char in text:
        if _is_word(char) or (code and char in "_-."):
            current += char
        elif current:
            runs.append(current)
            current = ""
    return runs + ([current] if current else [])


@settings(max_examples=200, deadline=None)
@given(text=st.text(alphabet=st.sampled_from(MIXED_ALPHABET), max_size=400),
       code=st.booleans())
def test_tokens_of_mixed_text_are_the_tokens_of_its_runs(text, code):
    # ASCII runs that share a window with non-ASCII bytes take another way
    # through the tokenizer than those in pure ASCII windows; a run's tokens
    # must not depend on what surrounds it.
    profile = make_profile(code_pretokenize=code, min_token_len=1)
    expected = Counter()
    for run in runs_of(text, code):
        expected += core_tfs(run, profile)
    assert core_tfs(text, profile) == expected


@pytest.mark.parametrize("text", [
    "é" * 100, "a" * 63 + "é" + "b" * 63, "变量" * 50 + "x", "x" * 64 + "😀" * 20,
    "Straße" * 30, "e\u0301" * 70, "ab" * 31 + "é",
])
@pytest.mark.parametrize("limit", [None, 10**6])
def test_characters_are_counted_on_the_tokenizing_pass(text, limit):
    # With no cut possible the code points are counted while the text is
    # classified; with a limit above the text's bytes the same path is taken.
    reply = json.loads(core.sparse_embed_single(text, make_profile(max_text_chars=limit)))
    assert (reply["original_chars"], reply["used_chars"], reply["truncated"]) == (
        len(text), len(text), False)


@pytest.mark.parametrize("text, limit", [("é" * 100, 60), ("aé" * 100, 199), ("😀" * 30, 29)])
def test_a_limit_below_the_bytes_still_cuts_by_characters(text, limit):
    reply = json.loads(core.sparse_embed_single(text, make_profile(max_text_chars=limit)))
    cut = len(text) > limit
    assert (reply["original_chars"], reply["used_chars"], reply["truncated"]) == (
        len(text), min(len(text), limit), cut)


# --- counting and sorting ------------------------------------------------------

def _word(number, length):
    letters = []
    for _ in range(length):
        number, digit = divmod(number, 26)
        letters.append(chr(ord("a") + digit))
    return "".join(letters)


@pytest.mark.parametrize("lengths", [range(1, 41), [15, 16, 17], [8, 9], [40, 100, 300]])
def test_embedding_counts_agree_with_explained_tokens(lengths):
    # Tokens up to 16 bytes are counted by their bytes, longer ones by index;
    # sparse_explain counts every token by its text.
    rng = random.Random(sum(lengths))
    words = [_word(rng.randrange(26**6), length) for length in lengths for _ in range(3)]
    text = " ".join(rng.choice(words) for _ in range(2000)) + " ünïcödé Ünïcödé straße"
    explained = json.loads(core.sparse_explain(text, CODE))["tokens"]
    by_index = Counter()
    for entry in explained:
        by_index[entry["index"]] += entry["tf"]
    assert embedding_tfs(text) == dict(by_index)


@pytest.mark.parametrize("distinct", [10, 31, 32, 33, 1000, 40000])
def test_many_distinct_terms_grow_the_tables_and_sort(distinct):
    words = [_word(i, 2 + i % 9) for i in range(distinct)]
    text = " ".join(words + words[: distinct // 3])
    reply = json.loads(core.sparse_embed_single(text, CODE))
    assert reply["indices"] == sorted(set(reply["indices"]))
    expected = Counter()
    for word, tf in Counter(text.split()).items():
        expected[json.loads(core.sparse_explain(word, CODE))["tokens"][0]["index"]] += tf
    assert embedding_tfs(text) == dict(expected)


XXH32 = token_index


@pytest.mark.skipif(XXH32 is None, reason="libxxhash.so.0 not found")
def test_tokens_crafted_to_share_top_index_bits_still_sort():
    # The sort buckets indices by their top bits; a bucket that crafted tokens
    # crowd is sorted on its own, and the order must come out the same.
    crowded, number = [], 0
    while len(crowded) < 60:
        token = _word(number, 7)
        number += 1
        if XXH32(token) >> 20 == 0:
            crowded.append(token)
    others = [_word(number + i, 6) for i in range(2000)]
    text = " ".join(crowded + others)
    reply = json.loads(core.sparse_embed_single(text, CODE))
    assert reply["indices"] == sorted({XXH32(token) for token in crowded + others})


# --- batches read a text at a time --------------------------------------------

@pytest.mark.parametrize("texts", [
    ["plain", "with \"quotes\" and \\ backslash", "tab\tnew\nline\r", "nul\x00byte"],
    ["é ß 变量 😀 \u0301", "Ｆｕｌｌ ﬁle Straße"],
    ["x" * 100000, "", "a"],
    [f"text{i} getUser{i % 7}" for i in range(500)],
])
@pytest.mark.parametrize("ensure_ascii", [True, False])
def test_batch_read_a_text_at_a_time_equals_singles(texts, ensure_ascii):
    singles = [core.sparse_embed_single(text, CODE) for text in texts]
    batch = core.sparse_embed_batch(json.dumps(texts, ensure_ascii=ensure_ascii), CODE)
    assert batch == '{"embeddings":[' + ",".join(singles) + "]}"


NOT_JSON = "batch is not valid JSON: "
STRUCTURE = NOT_JSON + ("The JSON document has an improper structure: missing or superfluous "
                        "commas, braces, missing keys, etc.")
UNESCAPED = NOT_JSON + "Within strings, some characters must be escaped, we found unescaped characters"


@pytest.mark.parametrize("texts_json, message", [
    # Content after the array, or an array that is not closed as it must be.
    ('["a"] "x"]', STRUCTURE), ('["a"] ]', STRUCTURE), ('["a"]]', STRUCTURE),
    ('["a"],', STRUCTURE), ('["a"][', STRUCTURE), ('["a"]{}', STRUCTURE),
    ('["a"] x', STRUCTURE), ('["a"]\x00', STRUCTURE), ('["ok"] // c', STRUCTURE),
    ("\ufeff[\"a\"]", STRUCTURE), ('["a"', STRUCTURE), ("[", STRUCTURE),
    # Commas.
    ('["a" "b"]', STRUCTURE), ('["a",]', STRUCTURE), ('[,"a"]', STRUCTURE),
    # Characters that JSON strings must escape.
    ('["a\x01b"]', UNESCAPED), ('["tab\there"]', UNESCAPED), ('["a\nb"]', UNESCAPED),
    ('["a', NOT_JSON + "A string is opened, but never closed."),
    # Good elements first, then a bad one: no partial reply.
    ('["good", "good", 3]', "batch element 2 must be a string, got a number"),
    ('["good", ["x"]]', "batch element 1 must be a string, got an array"),
    ('["good", 1.5e400]', NOT_JSON + "Problem while parsing a number"),
    ('["good", "\\ud800"]', "batch element 1 is not a valid string"),
    ('["good", "\\q"]', "batch element 1 is not a valid string"),
])
def test_malformed_batches_are_rejected_as_a_whole(texts_json, message):
    with pytest.raises(ValueError) as raised:
        core.sparse_embed_batch(texts_json, CODE)
    assert str(raised.value).startswith(message)


@pytest.mark.parametrize("texts_json, texts", [
    ('  ["a b"]  \n', ["a b"]),
    ('[\n"ab"\n,\n"cd"\n]', ["ab", "cd"]),
    ('["\\u0000x", "\\/\\b\\f\\n\\r\\t"]', ["\x00x", "/\b\f\n\r\t"]),
    ('["\\uD83D\\uDE00 smile"]', ["😀 smile"]),
])
def test_batches_json_dumps_would_not_write_are_read_too(texts_json, texts):
    assert core.sparse_embed_batch(texts_json, CODE) == (
        '{"embeddings":[' + ",".join(core.sparse_embed_single(t, CODE) for t in texts) + "]}")


# --- replies written into the returned str -------------------------------------

@pytest.mark.parametrize("text", [
    "",                                                       # far below the room lent
    " ".join(_word(i, 2) for i in range(600)),                # a term every 3 bytes: outgrows it
    " ".join(_word(i, 3) for i in range(5000)) + " é" * 10,
])
def test_replies_of_any_size_relative_to_the_room_lent(text):
    single = core.sparse_embed_single(text, CODE)
    reply = json.loads(single)
    assert len(reply["indices"]) == len(reply["values"]) == len(set(text.split()) - {"é"})
    assert core.sparse_embed_batch(json.dumps([text, text]), CODE) == (
        '{"embeddings":[' + single + "," + single + "]}")
    assert single.isascii() and type(single) is str
