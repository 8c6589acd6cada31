"""Hostile input: texts no caller should send, settings of the wrong types,
profiles the core can choke on, sizes far beyond the usual and a second
interpreter. Each must end in a result or in the exception the modules
document, never in a crash, a hang or a wrong vector.
"""

import json
import math

import pytest

from conftest import run_python

core = pytest.importorskip("vorpaline_core_py")

PROFILE = {"version": "bm25-v1", "max_text_chars": 200000, "code_pretokenize": True, "min_token_len": 2}


def profile_text(**changes):
    return json.dumps(dict(PROFILE, **changes))


def vector(record):
    return record.indices, record.values


@pytest.fixture
def service(sparse):
    return sparse.SparseEmbeddingService()


# ---------------------------------------------------------------- texts


@pytest.mark.parametrize(
    "text", ["\ud800", "\udfff", "ok \ud83d then", "getUser\udc80Name", "\ud800" * 1000]
)
def test_lone_surrogates_are_refused_single_and_batch(service, text):
    with pytest.raises(ValueError, match="(?i)utf-8|surrogate"):
        service.embed_single(text)
    with pytest.raises(ValueError, match="batch element 1"):
        service.embed_batch(["fine", text, "fine too"])


def test_surrogate_pairs_in_a_batch_are_characters_not_errors(service):
    # json.dumps writes astral characters as \ud83d\ude00 escapes.
    texts = ["😀 smile", "𝒳𝓎 math", "a😀b"]
    assert service.embed_batch(texts) == [service.embed_single(t) for t in texts]


@pytest.mark.parametrize(
    "text, same_as",
    [
        ("getUser\x00Name", "getUser Name"),
        ("\x00leading and trailing\x00", " leading and trailing "),
        ("\x00" * 10_000 + "after", " " * 10_000 + "after"),
        ("nul\x00\x00\x00runs", "nul   runs"),
    ],
)
def test_nul_separates_and_never_ends_the_text(service, text, same_as):
    record = service.embed_single(text)
    assert vector(record) == vector(service.embed_single(same_as))
    assert record.original_chars == len(text)
    assert service.embed_batch([text, same_as]) == [record, service.embed_single(same_as)]


def test_fifty_megabyte_text_is_cut_to_the_limit(service):
    text = "token " * (50 * 1024 * 1024 // 6)
    record = service.embed_single(text)
    assert record.truncated is True
    assert record.original_chars == len(text)
    assert record.used_chars == PROFILE["max_text_chars"]
    assert vector(record) == vector(service.embed_single(text[: PROFILE["max_text_chars"]]))


def test_fifty_megabyte_text_without_a_limit_is_embedded_whole():
    text = "token " * (50 * 1024 * 1024 // 6)
    reply = json.loads(core.sparse_embed_single(text, profile_text(max_text_chars=None)))
    once = json.loads(core.sparse_embed_single("token", profile_text()))
    assert reply["indices"] == once["indices"]
    assert reply["values"] == [pytest.approx(1 + math.log(text.count("token")))]
    assert reply["truncated"] is False and reply["used_chars"] == len(text)


def test_batch_of_a_hundred_thousand_texts(service):
    texts = [f"item{i} getUser{i % 97} shared" for i in range(100_000)]
    records = service.embed_batch(texts)
    assert len(records) == len(texts)
    for i in range(0, len(texts), 9973):
        assert records[i] == service.embed_single(texts[i])
    assert service.embed_batch_list(texts[:10], 10) == records[:10]


@pytest.mark.parametrize(
    "batch",
    [["a", 1], ["a", None], [["nested"]], [{"a": "b"}], [float("nan")], [True]],
    ids=["int", "none", "list", "dict", "nan", "bool"],
)
def test_batch_elements_that_are_not_text_are_refused(service, batch):
    with pytest.raises(ValueError):
        service.embed_batch(batch)


# ---------------------------------------------------------------- profiles


DEEP = 100_000


@pytest.mark.parametrize(
    "profile",
    [
        "[" * DEEP + "]" * DEEP,
        '{"a":' * DEEP + "1" + "}" * DEEP,
        '{"max_text_chars": ' + "[" * DEEP + "]" * DEEP + "}",
        "{" * DEEP,
        "",
        "null",
        '"a string"',
        "[1, 2, 3]",
        '{"max_text_chars": 1e400}',
        '{"max_text_chars": 99999999999999999999999999999999}',
        '{"min_token_len": -1}',
        '{"code_pretokenize": "yes"}',
        '{"version": 5}',
        '{"version": "\\ud800"}',
        '{"max_text_chars": NaN}',
        '{"max_text_chars": Infinity}',
    ],
    ids=[
        "deep-array", "deep-object", "deep-member", "unclosed", "empty", "null", "string",
        "array", "huge-float", "huge-int", "negative-len", "bool-as-string", "number-version",
        "lone-surrogate-version", "nan", "infinity",
    ],
)
def test_malformed_profiles_are_refused(profile):
    for call in (
        lambda: core.sparse_embed_single("getUser", profile),
        lambda: core.sparse_embed_batch('["getUser"]', profile),
        lambda: core.sparse_explain("getUser", profile),
    ):
        with pytest.raises(ValueError):
            call()


def test_huge_profile_members_are_tolerated():
    big = "v" * (20 * 1024 * 1024)
    expected = json.loads(core.sparse_embed_single("getUser", profile_text()))
    for profile in (profile_text(version=big), profile_text(unknown=[big] * 3)):
        assert json.loads(core.sparse_embed_single("getUser", profile)) == expected


@pytest.mark.parametrize(
    "texts_json",
    ["[" * DEEP + "]" * DEEP, '["a",' * DEEP, "", "[", '{"a": "b"}', '["a", "b",]', "[\"\\ud800\"]"],
    ids=["deep", "unclosed", "empty", "open", "object", "trailing-comma", "lone-surrogate"],
)
def test_malformed_batch_texts_are_refused(texts_json):
    with pytest.raises(ValueError):
        core.sparse_embed_batch(texts_json, profile_text())


# ---------------------------------------------------------------- settings


@pytest.mark.parametrize(
    "value",
    [float("nan"), float("inf"), float("-inf"), -1, -(2**70), 2**64, 10**30, 1.5, 100.0, True, "100", [], {}],
    ids=lambda v: repr(v)[:12],
)
def test_unusable_max_text_chars_fails_at_embedding_with_value_error(sparse, settings, monkeypatch, value):
    monkeypatch.setattr(settings, "sparse_max_text_chars", value)
    service = sparse.SparseEmbeddingService()  # the profile is only text until the core reads it
    with pytest.raises(ValueError, match="max_text_chars|not valid JSON"):
        service.embed_single("getUser")
    with pytest.raises(ValueError, match="max_text_chars|not valid JSON"):
        service.embed_batch(["getUser"])


@pytest.mark.parametrize("value, used", [(0, 0), (3, 3), (2**64 - 1, 7), (None, 7)])
def test_extreme_but_valid_max_text_chars(sparse, settings, monkeypatch, value, used):
    monkeypatch.setattr(settings, "sparse_max_text_chars", value)
    record = sparse.SparseEmbeddingService().embed_single("getUser")
    assert (record.used_chars, record.truncated) == (used, used < 7)
    if used == 0:
        assert vector(record) == ([], [])


def test_max_text_chars_nested_too_deep_for_the_encoder(sparse, settings, monkeypatch):
    deep = []
    for _ in range(100_000):
        deep = [deep]
    monkeypatch.setattr(settings, "sparse_max_text_chars", deep)
    with pytest.raises(RecursionError):
        sparse.SparseEmbeddingService()


@pytest.mark.parametrize(
    "name, value, at_construction, at_embedding",
    [
        ("sparse_profile_version", object(), TypeError, None),
        ("sparse_profile_version", 5, None, ValueError),
        ("sparse_profile_version", ["v1"], None, ValueError),
        ("sparse_profile_version", "\ud800", None, ValueError),
        ("code_pretokenize", "yes", None, ValueError),
        ("code_pretokenize", 1, None, ValueError),
        ("code_pretokenize", None, None, ValueError),
        ("code_pretokenize", {1, 2}, TypeError, None),
        ("sparse_max_text_chars", b"100", TypeError, None),
    ],
)
def test_sparse_settings_of_the_wrong_type(
    sparse, settings, monkeypatch, name, value, at_construction, at_embedding
):
    monkeypatch.setattr(settings, name, value)
    if at_construction:
        with pytest.raises(at_construction):
            sparse.SparseEmbeddingService()
        assert sparse._sparse_service is None
        with pytest.raises(at_construction):
            sparse.get_sparse_service()
        assert sparse._sparse_service is None
        return
    service = sparse.SparseEmbeddingService()
    with pytest.raises(at_embedding):
        service.embed_single("getUser")


@pytest.mark.parametrize("name", ["sparse_profile_version", "sparse_max_text_chars", "code_pretokenize"])
def test_missing_sparse_setting(sparse, settings, monkeypatch, name):
    monkeypatch.delattr(settings, name)
    with pytest.raises(AttributeError):
        sparse.SparseEmbeddingService()


class Unbooled:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("builtin_ignore_patterns", None, TypeError),
        ("builtin_ignore_patterns", 5, TypeError),
        ("extra_ignore_patterns", object(), TypeError),
        ("builtin_ignore_replace", Unbooled(), ZeroDivisionError),
        ("builtin_ignore_replace", "no", RuntimeError),  # a non-empty string is true
    ],
)
def test_scan_settings_of_the_wrong_type(skiprules, enginecheck, settings, monkeypatch, name, value, error):
    monkeypatch.setattr(settings, name, value)
    if error is RuntimeError:  # shows that the check ran: the capability is made to be missing
        monkeypatch.setattr(enginecheck, "_cached_capabilities", set())
    with pytest.raises(error):
        skiprules.build_scan_config("/repo")


@pytest.mark.parametrize(
    "name, value, key, stored",
    [
        ("builtin_ignore_patterns", "ab", "builtin_patterns", ["a", "b"]),
        ("extra_ignore_patterns", (p for p in ["x", "y"]), "extra_patterns", ["x", "y"]),
        ("ignore_mode", None, "use_gitignore", False),
        ("ignore_mode", ["git+vorpaline"], "use_gitignore", False),
        ("builtin_ignore_replace", "", "replace_builtin_patterns", ""),
        ("builtin_ignore_replace", 0, "replace_builtin_patterns", 0),
    ],
)
def test_scan_settings_of_odd_but_usable_types(skiprules, settings, monkeypatch, name, value, key, stored):
    monkeypatch.setattr(settings, name, value)
    assert skiprules.build_scan_config("/repo")[key] == stored


@pytest.mark.parametrize("repo_path", [b"/bytes/path", 12, None, "\ud800", "x" * 1_000_000])
def test_any_repo_path_that_str_accepts(skiprules, repo_path):
    assert skiprules.build_scan_config(repo_path)["repo_root"] == str(repo_path)


# ---------------------------------------------------------------- a second interpreter


def test_module_first_imported_in_a_destroyed_subinterpreter(tmp_path):
    """A module that a sub-interpreter loaded first stays bound to it: once that
    interpreter is gone, the main one is refused, cleanly, to the end."""
    out = run_python(
        """
        import _xxsubinterpreters as interpreters
        for short in ("enginecheck", "skiprules", "sparse"):
            sub = interpreters.create()
            interpreters.run_string(sub, f"import vorpaline.{short}")
            interpreters.destroy(sub)
            try:
                __import__(f"vorpaline.{short}")
            except ImportError as exc:
                print(short, "refused:", "Interpreter change detected" in str(exc))
            else:
                print(short, "imported")
        import gc
        gc.collect()
        print("done")
        """,
        tmp_path,
    )
    assert out.splitlines() == [
        "enginecheck refused: True",
        "skiprules refused: True",
        "sparse refused: True",
        "done",
    ]


def test_core_embeds_alike_in_every_interpreter_while_modules_refuse(tmp_path):
    out = run_python(
        """
        import _xxsubinterpreters as interpreters
        import vorpaline.sparse as sparse
        main = sparse.SparseEmbeddingService().embed_single("getUserName HTTPServer")
        code = '''
        import json, vorpaline_core_py as core
        profile = json.dumps({"version": "bm25-v1", "max_text_chars": 200000,
                              "code_pretokenize": True, "min_token_len": 2})
        reply = json.loads(core.sparse_embed_single("getUserName HTTPServer", profile))
        assert reply["indices"] == %r, reply
        try:
            import vorpaline.sparse
        except ImportError:
            pass
        else:
            raise AssertionError("vorpaline.sparse imported in a second interpreter")
        '''
        import textwrap
        for _ in range(3):
            sub = interpreters.create()
            interpreters.run_string(sub, textwrap.dedent(code % (main.indices,)))
            interpreters.destroy(sub)
        again = sparse.SparseEmbeddingService().embed_single("getUserName HTTPServer")
        print("main still embeds:", again == main)
        """,
        tmp_path,
    )
    assert out.strip() == "main still embeds: True"
