"""The plain-Python competitors must tokenise as the core does, or the
throughput comparison compares different work."""
import json
import math
from collections import Counter

import pytest

from bench import code_tokens

CASES = [
    ("getUserName", ["get", "user", "name", "getusername"]),
    ("HTTPServer", ["http", "server", "httpserver"]),
    ("ABCd", ["ab", "cd", "abcd"]),
    ("self.user_name", ["self", "user", "name", "self.user_name"]),
    ("__init__", ["init"]),
    ("--verbose", ["verbose"]),
    ("a.b", ["a.b"]),  # parts too short, the whole identifier stays
    ("x2y", ["x2y"]),
    ("http2Server", ["http", "server", "http2server"]),
    ("v1.2.3", ["v1.2.3"]),
    ("...", []),
    ("x = 1", []),
    ("foo bar", ["foo", "bar"]),
    ("ÜberCool", ["über", "cool", "übercool"]),
    ("Straße", ["strasse"]),
    ("ﬁle", ["file"]),
    ("naïve_café", ["naïve", "café", "naïve_café"]),
    ("日本語text", ["日本語", "text", "日本語text"]),
    ("a—b", []),  # an em dash separates: two one-letter words
]


@pytest.mark.parametrize(("text", "expected"), CASES)
def test_code_tokens(text, expected):
    assert code_tokens.code_tokens(text) == expected


@pytest.fixture(scope="module")
def explain():
    core = pytest.importorskip("vorpaline_core_py")
    profile = json.dumps({"version": "test", "max_text_chars": None, "code_pretokenize": True, "min_token_len": 2})

    def tokens(text):
        return {entry["token"]: entry["tf"] for entry in json.loads(core.sparse_explain(text, profile))["tokens"]}
    return tokens


@pytest.mark.parametrize("text", [text for text, _ in CASES] + [
    "def parse_http_list(s):\n    return [x.strip() for x in s.split(',')]  # RFC 2068",
    "class LRUCache(dict):\n    '''A cache.'''\n    maxSize = 128\n",
])
def test_agrees_with_the_core(explain, text):
    assert dict(Counter(code_tokens.code_tokens(text))) == explain(text)


def test_agrees_with_the_core_on_stdlib_sample(explain):
    from bench import corpus
    paths = corpus.source_paths(corpus.stdlib_root())[::97]
    for path in paths:
        text = corpus.read_source(path)
        assert dict(Counter(code_tokens.code_tokens(text))) == explain(text), path


def test_log_tf_embed_weights():
    indices, values = code_tokens.log_tf_embed("alpha beta alpha alpha gamma beta")
    weights = dict(zip(indices, values))
    assert indices == sorted(set(indices))
    assert weights[code_tokens.token_index("alpha")] == pytest.approx(1 + math.log(3))
    assert weights[code_tokens.token_index("beta")] == pytest.approx(1 + math.log(2))
    assert weights[code_tokens.token_index("gamma")] == 1.0


def test_token_index_range():
    assert all(0 <= code_tokens.token_index(t) < 2 ** 31 for t in ["", "a", "ü", "x" * 1000])
