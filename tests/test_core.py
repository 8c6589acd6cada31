"""Tests of the native core vorpaline_core_py: tokens, weights, replies, errors."""

import json
import math
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from conftest import call_and_longest_stall, run_threads, token_index

import vorpaline_core_py as core


def make_profile(**members):
    profile = {"version": "test", "max_text_chars": 200000, "code_pretokenize": True,
               "min_token_len": 2}
    profile.update(members)
    return json.dumps(profile)


PROFILE = make_profile()
PLAIN = make_profile(code_pretokenize=False)


def token_tfs(text, profile=PROFILE):
    """{token: tf} as the explain reply lists them."""
    reply = json.loads(core.sparse_explain(text, profile))
    return {entry["token"]: entry["tf"] for entry in reply["tokens"]}


def embed(text, profile=PROFILE):
    return json.loads(core.sparse_embed_single(text, profile))




# --- tokenising --------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("getUserName", {"getusername", "get", "user", "name"}),
    ("GetUserName", {"getusername", "get", "user", "name"}),
    ("get_user_name", {"get_user_name", "get", "user", "name"}),
    ("my-kebab-name", {"my-kebab-name", "my", "kebab", "name"}),
    ("os.path.join", {"os.path.join", "os", "path", "join"}),
    ("HTTPServerError", {"httpservererror", "http", "server", "error"}),
    ("parseXMLToJSON", {"parsexmltojson", "parse", "xml", "to", "json"}),
    ("utf8Decode", {"utf8decode", "utf", "decode"}),
    ("sha256sum", {"sha256sum", "sha", "256", "sum"}),
    ("MAX_SIZE", {"max_size", "max", "size"}),
    # Joiners at either end are not part of the identifier; one part, no whole.
    ("__init__", {"init"}),
    ("--verbose", {"verbose"}),
    ("self._cache", {"self._cache", "self", "cache"}),
    ("x = a - b", set()),
    # Non-Latin scripts: cased scripts split by case, caseless ones at script changes.
    ("κείμενοΜεγάλο", {"κείμενομεγάλο", "κείμενο", "μεγάλο"}),
    ("строкаИмя", {"строкаимя", "строка", "имя"}),
    ("变量名Name", {"变量名name", "变量名", "name"}),
    ("नमस्ते_दुनिया", {"नमस्ते_दुनिया", "नमस्ते", "दुनिया"}),
    # Case folding with NFKC: ß, ligatures and full-width forms.
    ("Straße STRASSE", {"strasse"}),
    ("ﬁle Ｆｕｌｌ", {"file", "full"}),
    ("Cafe\u0301 CAFÉ", {"café"}),
    ("print('hello, world')  # done", {"print", "hello", "world", "done"}),
])
def test_code_tokens(text, expected):
    assert set(token_tfs(text)) == expected


@pytest.mark.parametrize("text, expected", [
    ("getUserName get_user_name", {"getusername", "get", "user", "name"}),
    ("os.path.join", {"os", "path", "join"}),
    ("HTTPServer utf8Decode", {"httpserver", "utf8decode"}),
    ("κείμενοΜεγάλο, 变量名", {"κείμενομεγάλο", "变量名"}),
])
def test_plain_tokens(text, expected):
    assert set(token_tfs(text, PLAIN)) == expected


@pytest.mark.parametrize("min_len, expected", [
    (0, {"a", "bb", "ccc", "dddd", "ss", "a_bb", "x9"}),
    (1, {"a", "bb", "ccc", "dddd", "ss", "a_bb", "x9"}),
    (2, {"bb", "ccc", "dddd", "ss", "a_bb", "x9"}),
    (3, {"ccc", "dddd", "a_bb"}),
    (5, set()),
])
def test_min_token_len_counts_folded_characters(min_len, expected):
    # "ß" folds to "ss", which is two characters; "x9" splits into x and 9.
    text = "a bb ccc dddd ß a_bb x9"
    assert set(token_tfs(text, make_profile(min_token_len=min_len))) - {"x", "9"} == expected


def test_repeated_tokens_are_counted():
    assert token_tfs("getUser get_user user USER") == {
        "getuser": 1, "get_user": 1, "get": 2, "user": 4}


# --- weights and indices -----------------------------------------------------

def test_weights_are_one_plus_log_tf():
    reply = embed("alpha beta beta gamma gamma gamma gamma")
    by_index = dict(zip(reply["indices"], reply["values"]))
    expected = {"alpha": 1.0, "beta": 1 + math.log(2), "gamma": 1 + math.log(4)}
    explained = json.loads(core.sparse_explain("alpha beta beta gamma gamma gamma gamma",
                                               PROFILE))["tokens"]
    for entry in explained:
        assert by_index[entry["index"]] == expected[entry["token"]] == entry["value"]
    assert all(type(value) is float for value in reply["values"])


def test_indices_sorted_unique_and_in_range():
    text = " ".join(f"name{i} value_{i % 7} getItem{i % 13}" for i in range(500))
    reply = embed(text)
    indices = reply["indices"]
    assert indices == sorted(set(indices))
    assert len(reply["values"]) == len(indices) > 500
    assert all(0 <= index < 2**31 for index in indices)


@pytest.mark.parametrize("token, index", [
    ("hello", 2063628281),
    ("ahmup", 1748281913),
    ("akevj", 1748281913),
])
def test_index_is_xxh32_masked_to_31_bits(token, index):
    (entry,) = json.loads(core.sparse_explain(token, PROFILE))["tokens"]
    assert entry["index"] == index
    if token_index is not None:
        assert token_index(token) == index


@pytest.mark.skipif(token_index is None, reason="libxxhash.so.0 not found")
@pytest.mark.parametrize("text, token", [("Μεγάλο", "μεγάλο"), ("变量名", "变量名")])
def test_index_hashes_the_folded_utf8(text, token):
    (entry,) = json.loads(core.sparse_explain(text, PROFILE))["tokens"]
    assert entry["index"] == token_index(token)


def test_colliding_tokens_merge_before_weighting():
    # "ahmup" and "akevj" share an index: tf 2 + 1 gives one weight 1 + ln 3.
    reply = embed("ahmup ahmup akevj")
    assert reply["indices"] == [1748281913]
    assert reply["values"] == [1 + math.log(3)]
    explained = json.loads(core.sparse_explain("ahmup ahmup akevj", PROFILE))["tokens"]
    assert explained == [
        {"token": "ahmup", "index": 1748281913, "tf": 2, "value": 1 + math.log(3)},
        {"token": "akevj", "index": 1748281913, "tf": 1, "value": 1 + math.log(3)},
    ]


def test_reply_text_format():
    assert core.sparse_embed_single("hello", PROFILE) == (
        '{"indices":[2063628281],"values":[1.0],"truncated":false,'
        '"original_chars":5,"used_chars":5}')
    assert core.sparse_embed_single("", PROFILE) == (
        '{"indices":[],"values":[],"truncated":false,"original_chars":0,"used_chars":0}')


# --- truncation --------------------------------------------------------------

@pytest.mark.parametrize("text, limit, truncated, original, used", [
    ("alpha beta", 20, False, 10, 10),
    ("alpha beta", 10, False, 10, 10),
    ("alpha beta", 5, True, 10, 5),
    ("éééé", 2, True, 4, 2),
    ("😀😀😀 x", 1, True, 5, 1),
    ("变量名", 0, True, 3, 0),
    ("long " * 1000, None, False, 5000, 5000),
])
def test_truncation_fields_count_characters(text, limit, truncated, original, used):
    reply = embed(text, make_profile(max_text_chars=limit))
    assert (reply["truncated"], reply["original_chars"], reply["used_chars"]) == (
        truncated, original, used)


def test_truncation_cuts_before_tokenising():
    profile = make_profile(max_text_chars=8)
    assert set(token_tfs("alpha betagamma", profile)) == {"alpha", "be"}
    assert set(token_tfs("κείμενο λέξη", make_profile(max_text_chars=3))) == {"κεί"}


def test_profile_defaults_and_unknown_members():
    reply = embed("word " * 40001, json.dumps({"future_member": [1, {"x": None}]}))
    assert (reply["truncated"], reply["used_chars"]) == (True, 200000)
    assert set(token_tfs("getUser a", "{}")) == {"getuser", "get", "user"}


# --- batch -------------------------------------------------------------------

BATCH_TEXTS = [
    "def getUserName(self): return self._user_name",
    "",
    "κείμενοΜεγάλο 变量名 नमस्ते",
    "emoji 😀 and \"quotes\" \\ back\nslash\ttab",
    "x" * 300 + " HTTPServer",
]


@pytest.mark.parametrize("profile", [PROFILE, PLAIN, make_profile(max_text_chars=10)])
def test_batch_equals_singles_text_for_text(profile):
    singles = [core.sparse_embed_single(text, profile) for text in BATCH_TEXTS]
    batch = core.sparse_embed_batch(json.dumps(BATCH_TEXTS), profile)
    assert batch == '{"embeddings":[' + ",".join(singles) + "]}"
    assert core.sparse_embed_batch("[]", profile) == '{"embeddings":[]}'


@settings(max_examples=150, deadline=None)
@given(texts=st.lists(st.text(), max_size=4), limit=st.integers(0, 40), code=st.booleans())
def test_any_text_gives_a_well_formed_reply(texts, limit, code):
    profile = make_profile(max_text_chars=limit, code_pretokenize=code, min_token_len=1)
    singles = [core.sparse_embed_single(text, profile) for text in texts]
    assert core.sparse_embed_batch(json.dumps(texts), profile) == (
        '{"embeddings":[' + ",".join(singles) + "]}")
    for text, single in zip(texts, singles):
        reply = json.loads(single)
        assert reply["indices"] == sorted(set(reply["indices"]))
        assert len(reply["values"]) == len(reply["indices"])
        assert (reply["original_chars"], reply["used_chars"]) == (len(text), min(len(text), limit))
        explained = json.loads(core.sparse_explain(text, profile))["tokens"]
        assert sorted({entry["index"] for entry in explained}) == reply["indices"]


DETERMINISM_SCRIPT = """
import json, sys
import vorpaline_core_py as core
texts, profile = json.loads(sys.stdin.read())
print(json.dumps([core.sparse_embed_single(text, profile) for text in texts]
                 + [core.sparse_embed_batch(json.dumps(texts), profile)]))
"""


def test_replies_identical_across_processes():
    expected = [core.sparse_embed_single(text, PROFILE) for text in BATCH_TEXTS]
    expected.append(core.sparse_embed_batch(json.dumps(BATCH_TEXTS), PROFILE))
    for seed in ("1", "2"):
        result = subprocess.run(
            [sys.executable, "-c", DETERMINISM_SCRIPT],
            input=json.dumps([BATCH_TEXTS, PROFILE]), capture_output=True, text=True,
            check=True, env={**os.environ, "PYTHONHASHSEED": seed})
        assert json.loads(result.stdout) == expected


# --- bad input ---------------------------------------------------------------

@pytest.mark.parametrize("profile, message", [
    ("{", "profile is not valid JSON"),
    ("", "profile is not valid JSON"),
    ("[1, 2]", "profile must be a JSON object, got an array"),
    ("null", "profile must be a JSON object, got null"),
    (make_profile(max_text_chars=-1),
     "profile member 'max_text_chars' must be a non-negative integer or null, got -1"),
    (make_profile(max_text_chars=1.5), "'max_text_chars' must be a non-negative integer"),
    (make_profile(max_text_chars=True), "'max_text_chars' must be a non-negative integer"),
    (make_profile(max_text_chars="10"), "'max_text_chars' must be a non-negative integer"),
    (make_profile(max_text_chars=10**30),
     "'max_text_chars' must be a non-negative integer below 2\\*\\*64 or null, got 1000"),
    (make_profile(max_text_chars=-10**30), "'max_text_chars' must be a non-negative integer"),
    (make_profile(min_token_len=-1), "'min_token_len' must be a non-negative integer, got -1"),
    (make_profile(min_token_len=None), "'min_token_len' must be a non-negative integer, got null"),
    (make_profile(min_token_len=2.0), "'min_token_len' must be a non-negative integer, got 2.0"),
    (make_profile(code_pretokenize="yes"), "'code_pretokenize' must be a bool, got \"yes\""),
    (make_profile(code_pretokenize=1), "'code_pretokenize' must be a bool, got 1"),
    (make_profile(version=3), "'version' must be a string or null, got 3"),
    (make_profile(version=["v" * 200]), "'version' must be a string or null, got \\[\"vvv.*\\.\\.\\.$"),
])
def test_bad_profile_raises_value_error(profile, message):
    for call in (lambda: core.sparse_embed_single("text", profile),
                 lambda: core.sparse_embed_batch('["text"]', profile),
                 lambda: core.sparse_explain("text", profile)):
        with pytest.raises(ValueError, match=message):
            call()


@pytest.mark.parametrize("texts_json, message", [
    ('["a", ', "batch is not valid JSON"),
    ('["a"] ["b"]', "batch is not valid JSON"),
    ('{"texts": ["a"]}', "batch must be a JSON array of strings, got an object"),
    ('"just text"', "batch must be a JSON array of strings, got a string"),
    ('["a", 1]', "batch element 1 must be a string, got a number"),
    ('["a", "b", null]', "batch element 2 must be a string, got null"),
    ('[["a"]]', "batch element 0 must be a string, got an array"),
    (json.dumps(["ok", "bad \ud800 text"]), "batch element 1 is not a valid string.*lone surrogate"),
    (json.dumps(["\udc00"]), "batch element 0 is not a valid string"),
    (json.dumps(["ok", "ok", "\ud83d\u00e9"]), "batch element 2 is not a valid string"),
])
def test_bad_batch_raises_value_error(texts_json, message):
    with pytest.raises(ValueError, match=message):
        core.sparse_embed_batch(texts_json, PROFILE)


@pytest.mark.parametrize("call, argument", [
    (lambda: core.sparse_embed_single("a\ud800b", PROFILE), "argument 1 \\('text'\\)"),
    (lambda: core.sparse_explain("\udfff", PROFILE), "argument 1 \\('text'\\)"),
    (lambda: core.sparse_embed_single("a", PROFILE[:-1] + ', "x": "\ud800"}'),
     "argument 2 \\('profile_json'\\)"),
    (lambda: core.sparse_embed_batch('["\ud800"]', PROFILE), "argument 1 \\('texts_json'\\)"),
])
def test_lone_surrogate_argument_raises_value_error(call, argument):
    with pytest.raises(ValueError, match=argument + " cannot be encoded as UTF-8") as caught:
        call()
    assert type(caught.value) is ValueError
    assert isinstance(caught.value.__cause__, UnicodeEncodeError)


class Text(str):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: core.handshake(1), "handshake\\(\\) takes no arguments \\(1 given\\)"),
    (lambda: core.sparse_embed_single("a"), "takes exactly 2 arguments \\(1 given\\)"),
    (lambda: core.sparse_embed_batch("[]", PROFILE, 1), "takes exactly 2 arguments \\(3 given\\)"),
    (lambda: core.sparse_explain(), "takes exactly 2 arguments \\(0 given\\)"),
    (lambda: core.sparse_embed_single(text="a", profile_json=PROFILE), "keyword arguments"),
    (lambda: core.sparse_embed_single(b"a", PROFILE), "argument 1 \\('text'\\) must be str, not bytes"),
    (lambda: core.sparse_embed_single(None, PROFILE), "must be str, not NoneType"),
    (lambda: core.sparse_embed_single(Text("a"), PROFILE), "must be str, not Text"),
    (lambda: core.sparse_embed_batch(["a"], PROFILE), "argument 1 \\('texts_json'\\) must be str, not list"),
    (lambda: core.sparse_explain("a", {}), "argument 2 \\('profile_json'\\) must be str, not dict"),
])
def test_wrong_arguments_raise_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()


# --- concurrency -------------------------------------------------------------

def test_embedding_releases_the_interpreter_lock():
    text = "getUserName parse_value HTTPServerError κείμενο " * 300_000
    seconds, longest_stall = call_and_longest_stall(
        lambda: core.sparse_embed_single(text, make_profile(max_text_chars=None)))
    # With the lock held for the whole call this thread would stall for all of it.
    assert seconds > 0.05
    assert longest_stall < seconds / 2


def test_threads_with_different_profiles_agree_with_serial_results():
    profiles = [PROFILE, PLAIN, make_profile(min_token_len=4), make_profile(max_text_chars=12)]
    expected = {(p, t): core.sparse_embed_single(t, p) for p in profiles for t in BATCH_TEXTS}
    mismatches = []

    def run(offset):
        for round_ in range(200):
            profile = profiles[(offset + round_) % len(profiles)]
            for text in BATCH_TEXTS:
                if core.sparse_embed_single(text, profile) != expected[(profile, text)]:
                    mismatches.append((profile, text))

    run_threads(run, 4)
    assert mismatches == []


# --- module ------------------------------------------------------------------

def test_handshake_lists_what_this_core_offers():
    reply = json.loads(core.handshake())
    assert list(reply) == ["capabilities", "version"]
    assert reply["capabilities"] == [
        "sparse_embed", "sparse_embed_batch", "sparse_explain",
        "scan_repository", "scan_explain", "ignore_builtin_replace", "chunk_text", "index_bm25", "index_term_vectors",
        "read_repository_file", "listing_unchanged", "index_verify_segment",
    ]
    assert reply["version"] == core.__version__


def test_module_and_functions_are_documented():
    assert core.__doc__
    for name in ("handshake", "sparse_embed_single", "sparse_embed_batch", "sparse_explain"):
        assert getattr(core, name).__doc__
