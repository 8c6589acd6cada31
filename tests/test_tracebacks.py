"""Failures inside the modules: the exception reaches the caller unchanged, with
one traceback entry per module function it left, at the failing statement."""

import json

import pytest

from conftest import (
    Boom,
    FakeCore,
    ScriptedSettings,
    entry,
    module_entries,
)

SVC = "SparseEmbeddingService"


def sparse_entry(function, line):
    return entry("sparse", function, line)


def reply(**members):
    return json.dumps(members)


def single_fails(single):
    """embed_single against a core that gives this reply."""

    def setup(sparse, svc, mp):
        mp.setattr(sparse, "vorpaline_core_py", FakeCore(single=single))
        return lambda: svc.embed_single("t")

    return setup


def batch_fails(batch, texts=("a", "b")):
    """embed_batch of these texts against a core that gives this reply."""

    def setup(sparse, svc, mp):
        mp.setattr(sparse, "vorpaline_core_py", FakeCore(batch=batch))
        return lambda: svc.embed_batch(list(texts))

    return setup


def blank_service(method, *args):
    """A method of a service whose constructor never ran."""
    return lambda sparse, svc, mp: lambda: getattr(type(svc).__new__(type(svc)), method)(*args)


def raising_record(sparse, svc, mp):
    def refuse(**fields):
        raise Boom("no record")

    mp.setattr(sparse, "SparseResult", refuse)
    return lambda: svc.embed_single("t")


def raising_record_in_batch(sparse, svc, mp):
    raising_record(sparse, svc, mp)
    return lambda: svc.embed_batch(["t"])


def missing_json_loads(sparse, svc, mp):
    mp.setattr(sparse, "json", type("NoLoads", (), {"dumps": staticmethod(json.dumps)})())
    return lambda: svc.embed_single("t")


def batch_list_passes_on(sparse, svc, mp):
    mp.setattr(sparse, "vorpaline_core_py", FakeCore(batch=Boom("core down")))
    return lambda: svc.embed_batch_list(["a"], 2.5)


THREE_TWO = reply(indices=[1, 2, 3], values=[0.5, 0.5])
GOOD = {"indices": [1], "values": [0.5]}

# id, setup(sparse, service, monkeypatch) -> call, exception, message (None: not checked), entries
SERVICE_FAILURES = [
    ("single-core-raises", single_fails(Boom("core down")), Boom, "core down", [(f"{SVC}.embed_single", 58)]),
    ("single-no-profile", blank_service("embed_single", "t"), AttributeError, None, [(f"{SVC}.embed_single", 58)]),
    ("single-bad-json", single_fails("not json"), json.JSONDecodeError, None, [(f"{SVC}.embed_single", 59)]),
    ("single-not-text", single_fails(lambda t, p: None), TypeError, "the JSON object must be str, bytes or bytearray, not NoneType", [(f"{SVC}.embed_single", 59)]),
    ("single-no-loads", missing_json_loads, AttributeError, None, [(f"{SVC}.embed_single", 59)]),
    ("single-no-indices", single_fails(reply(values=[])), KeyError, "'indices'", [(f"{SVC}.embed_single", 61)]),
    ("single-no-values", single_fails(reply(indices=[])), KeyError, "'values'", [(f"{SVC}.embed_single", 62)]),
    ("single-array", single_fails("[1, 2]"), TypeError, "list indices must be integers or slices, not str", [(f"{SVC}.embed_single", 61)]),
    ("single-string", single_fails('"text"'), TypeError, "string indices must be integers, not 'str'", [(f"{SVC}.embed_single", 61)]),
    ("single-lengths", single_fails(THREE_TWO), ValueError, "sparse_embed_single returned 3 indices but 2 values", [(f"{SVC}.embed_single", 60)]),
    ("single-empty-indices", single_fails(reply(indices=[], values=[1.0])), ValueError, "sparse_embed_single returned 0 indices but 1 values", [(f"{SVC}.embed_single", 60)]),
    ("single-record-raises", raising_record, Boom, "no record", [(f"{SVC}.embed_single", 60)]),
    ("batch-not-encodable", lambda sparse, svc, mp: lambda: svc.embed_batch(["a", object()]), TypeError, "Object of type object is not JSON serializable", [(f"{SVC}.embed_batch", 72)]),
    ("batch-no-profile", blank_service("embed_batch", ["t"]), AttributeError, None, [(f"{SVC}.embed_batch", 73)]),
    ("batch-core-raises", batch_fails(Boom("core down")), Boom, "core down", [(f"{SVC}.embed_batch", 73)]),
    ("batch-bad-json", batch_fails("{"), json.JSONDecodeError, None, [(f"{SVC}.embed_batch", 74)]),
    ("batch-no-embeddings", batch_fails(reply(records=[])), KeyError, "'embeddings'", [(f"{SVC}.embed_batch", 83)]),
    ("batch-array", batch_fails("[]"), TypeError, "list indices must be integers or slices, not str", [(f"{SVC}.embed_batch", 83)]),
    ("batch-embeddings-null", batch_fails(reply(embeddings=None)), TypeError, "'NoneType' object is not iterable", [(f"{SVC}.embed_batch", 83)]),
    ("batch-embeddings-number", batch_fails(reply(embeddings=5)), TypeError, "'int' object is not iterable", [(f"{SVC}.embed_batch", 83)]),
    ("batch-embeddings-true", batch_fails(reply(embeddings=True)), TypeError, "'bool' object is not iterable", [(f"{SVC}.embed_batch", 83)]),
    ("batch-no-indices", batch_fails(reply(embeddings=[GOOD, {"values": []}])), KeyError, "'indices'", [(f"{SVC}.embed_batch", 77)]),
    ("batch-no-values", batch_fails(reply(embeddings=[GOOD, {"indices": []}])), KeyError, "'values'", [(f"{SVC}.embed_batch", 78)]),
    ("batch-element-number", batch_fails(reply(embeddings=[GOOD, 7])), TypeError, "'int' object is not subscriptable", [(f"{SVC}.embed_batch", 77)]),
    ("batch-lengths", batch_fails(reply(embeddings=[GOOD, json.loads(THREE_TWO)])), ValueError, "sparse_embed_batch returned 3 indices but 2 values for text 1", [(f"{SVC}.embed_batch", 76)]),
    ("batch-lengths-first", batch_fails(reply(embeddings=[{"indices": [], "values": [1.0]}])), ValueError, "sparse_embed_batch returned 0 indices but 1 values for text 0", [(f"{SVC}.embed_batch", 76)]),
    ("batch-too-few", batch_fails(reply(embeddings=[GOOD, GOOD]), texts="abc"), ValueError, "sparse_embed_batch returned 2 embeddings for 3 texts", [(f"{SVC}.embed_batch", 75)]),
    ("batch-too-many", batch_fails(reply(embeddings=[GOOD, GOOD]), texts="a"), ValueError, "sparse_embed_batch returned 2 embeddings for 1 texts", [(f"{SVC}.embed_batch", 75)]),
    ("batch-none", batch_fails(reply(embeddings=[]), texts="a"), ValueError, "sparse_embed_batch returned 0 embeddings for 1 texts", [(f"{SVC}.embed_batch", 75)]),
    # An element error wins over the count: the records are built before counting.
    ("batch-too-few-and-broken", batch_fails(reply(embeddings=[{"values": []}]), texts="ab"), KeyError, "'indices'", [(f"{SVC}.embed_batch", 77)]),
    ("batch-record-raises", raising_record_in_batch, Boom, "no record", [(f"{SVC}.embed_batch", 76)]),
    ("batch-list-passes-on", batch_list_passes_on, Boom, "core down", [(f"{SVC}.embed_batch_list", 90), (f"{SVC}.embed_batch", 73)]),
    ("profile-version-missing", lambda sparse, svc, mp: lambda: type(svc).__new__(type(svc)).profile_version, AttributeError, None, [(f"{SVC}.profile_version", 54)]),
]


@pytest.mark.parametrize(
    "setup, error, message, expected",
    [row[1:] for row in SERVICE_FAILURES],
    ids=[row[0] for row in SERVICE_FAILURES],
)
def test_service_failures(sparse, service, monkeypatch, setup, error, message, expected):
    call = setup(sparse, service, monkeypatch)
    with pytest.raises(error) as excinfo:
        call()
    if message is not None:
        assert str(excinfo.value) == message
    assert module_entries(excinfo) == [sparse_entry(*e) for e in expected]


def test_core_exception_passes_unchanged_and_unchained(service, core):
    raised = Boom("core down")
    core.single = raised
    with pytest.raises(Boom) as excinfo:
        service.embed_single("t")
    assert excinfo.value is raised
    assert excinfo.value.__cause__ is None and excinfo.value.__context__ is None


def test_traceback_entry_frames(sparse, service, core):
    """Entries carry the module's globals, and one code object per line is reused."""

    def fail(reply_text):
        core.single = reply_text
        try:
            service.embed_single("t")
        except Exception as exc:  # noqa: BLE001 - any failure will do
            tb = exc.__traceback__
            while tb.tb_frame.f_code.co_filename != "src/vorpaline/sparse":
                tb = tb.tb_next
            return tb

    first, second, other = fail("{}"), fail('{"values": []}'), fail('{"indices": []}')
    assert first.tb_frame.f_globals is vars(sparse)
    code = first.tb_frame.f_code
    assert code.co_name == "vorpaline.sparse.SparseEmbeddingService.embed_single"
    assert (first.tb_lineno, second.tb_lineno, other.tb_lineno) == (61, 61, 62)
    assert second.tb_frame.f_code is code
    assert other.tb_frame.f_code is not code


# ---------------------------------------------------------------- construction and singleton


def missing_setting(name):
    return lambda sparse, mp: mp.delattr(sparse.settings, name)


def scripted(fail_at):
    return lambda sparse, mp: mp.setattr(sparse, "settings", ScriptedSettings(fail_at=fail_at))


def failing_logger(sparse, mp):
    class Refusing:
        def info(self, *args):
            raise Boom("log refused")

    mp.setattr(sparse, "logger", Refusing())


CONSTRUCTION_FAILURES = [
    ("no-version", missing_setting("sparse_profile_version"), AttributeError, 41),
    ("no-max-chars", missing_setting("sparse_max_text_chars"), AttributeError, 42),
    ("no-pretokenize", missing_setting("code_pretokenize"), AttributeError, 43),
    ("version-gone-when-logging", scripted(("sparse_profile_version", 2)), AttributeError, 48),
    ("not-encodable", lambda sparse, mp: mp.setattr(sparse.settings, "sparse_max_text_chars", {1j}), TypeError, 40),
    ("no-json", lambda sparse, mp: mp.setattr(sparse, "json", object()), AttributeError, 40),
    ("logger-raises", failing_logger, Boom, 46),
]


@pytest.mark.parametrize(
    "setup, error, line",
    [row[1:] for row in CONSTRUCTION_FAILURES],
    ids=[row[0] for row in CONSTRUCTION_FAILURES],
)
def test_construction_failures(sparse, monkeypatch, setup, error, line):
    setup(sparse, monkeypatch)
    with pytest.raises(error) as excinfo:
        sparse.SparseEmbeddingService()
    assert module_entries(excinfo) == [sparse_entry(f"{SVC}.__init__", line)]

    if isinstance(sparse.settings, ScriptedSettings):
        sparse.settings.reads.clear()  # fail again at the same read
    with pytest.raises(error) as excinfo:
        sparse.get_sparse_service()
    assert module_entries(excinfo) == [
        sparse_entry("get_sparse_service", 101),
        sparse_entry(f"{SVC}.__init__", line),
    ]
    assert sparse._sparse_service is None


def test_profile_version_of_wrong_type(sparse, core, monkeypatch):
    monkeypatch.setattr(sparse.settings, "sparse_profile_version", 3)
    service = sparse.SparseEmbeddingService()
    with pytest.raises(TypeError) as excinfo:
        service.profile_version
    assert str(excinfo.value) == "Expected str, got int"
    assert module_entries(excinfo) == [sparse_entry(f"{SVC}.profile_version", 54)]


def test_deleted_singleton_global(sparse, monkeypatch):
    monkeypatch.delattr(sparse, "_sparse_service")
    with pytest.raises(NameError) as excinfo:
        sparse.get_sparse_service()
    assert str(excinfo.value) == "name '_sparse_service' is not defined"
    assert module_entries(excinfo) == [sparse_entry("get_sparse_service", 100)]


# ---------------------------------------------------------------- capability checks


def handshake(reply_or_error):
    return {"handshake": reply_or_error}


LOAD = ("_load_capabilities",)
REQUIRE = ("require_capability",)

# id, core replies (None: no core importable), exception, message, entries below require_capability
CAPABILITY_FAILURES = [
    ("handshake-raises", handshake(Boom("no handshake")), Boom, "no handshake", [("_load_capabilities", 23)]),
    ("handshake-bad-json", handshake("caps"), json.JSONDecodeError, None, [("_load_capabilities", 23)]),
    ("handshake-not-text", handshake(lambda: 5), TypeError, "the JSON object must be str, bytes or bytearray, not int", [("_load_capabilities", 23)]),
    ("reply-array", handshake("[]"), AttributeError, "'list' object has no attribute 'get'", [("_load_capabilities", 24)]),
    ("reply-string", handshake('"caps"'), AttributeError, "'str' object has no attribute 'get'", [("_load_capabilities", 24)]),
    ("reply-number", handshake("5"), AttributeError, "'int' object has no attribute 'get'", [("_load_capabilities", 24)]),
    ("capabilities-null", handshake('{"capabilities": null}'), TypeError, "'NoneType' object is not iterable", [("_load_capabilities", 24)]),
    ("capabilities-number", handshake('{"capabilities": 3}'), TypeError, "'int' object is not iterable", [("_load_capabilities", 24)]),
    ("capabilities-unhashable", handshake('{"capabilities": [[1]]}'), TypeError, "unhashable type: 'list'", [("_load_capabilities", 24)]),
    ("missing", handshake('{"capabilities": ["b", "a"]}'), RuntimeError, None, []),
    ("unorderable", handshake('{"capabilities": ["a", 1]}'), TypeError, None, []),
]
MISSING_LINE = {"missing": 34, "unorderable": 36}


@pytest.mark.parametrize(
    "case, replies, error, message, below",
    CAPABILITY_FAILURES,
    ids=[row[0] for row in CAPABILITY_FAILURES],
)
def test_capability_failures(enginecheck, install_core, case, replies, error, message, below):
    core = install_core(**replies)
    with pytest.raises(error) as excinfo:
        enginecheck.require_capability("wanted", "the test")
    if message is not None:
        assert str(excinfo.value) == message
    top = entry("enginecheck", "require_capability", MISSING_LINE.get(case, 32))
    assert module_entries(excinfo) == [top] + [entry("enginecheck", *e) for e in below]
    assert core.names() == ["handshake"]
    # A failed load leaves the cache unloaded, so the next call tries again.
    assert (enginecheck._cached_capabilities is None) is (case not in MISSING_LINE)


def test_cache_of_wrong_type(enginecheck, monkeypatch):
    monkeypatch.setattr(enginecheck, "_cached_capabilities", frozenset({"a"}))
    with pytest.raises(TypeError) as excinfo:
        enginecheck.require_capability("a", "c")
    assert str(excinfo.value) == "Expected set, got frozenset"
    assert module_entries(excinfo) == [
        entry("enginecheck", "require_capability", 32),
        entry("enginecheck", "_load_capabilities", 19),
    ]


# ---------------------------------------------------------------- scan configuration


class Unprintable:
    def __str__(self):
        raise Boom("no text")


def scan_settings(fail_at=None, **changes):
    def setup(skiprules, monkeypatch, install_core):
        values = {**ScriptedSettings().values, **changes}
        monkeypatch.setattr(skiprules, "settings", ScriptedSettings(values, fail_at))

    return setup


def without_require_capability(skiprules, monkeypatch, install_core):
    import sys
    import types

    monkeypatch.setitem(sys.modules, "vorpaline.enginecheck", types.ModuleType("vorpaline.enginecheck"))
    scan_settings(builtin_ignore_replace=True)(skiprules, monkeypatch, install_core)


def lacking_capability(handshake_reply):
    def setup(skiprules, monkeypatch, install_core):
        import vorpaline.enginecheck as enginecheck

        monkeypatch.setattr(enginecheck, "_cached_capabilities", None)
        install_core(handshake=handshake_reply)
        scan_settings(builtin_ignore_replace=True)(skiprules, monkeypatch, install_core)

    return setup


# id, setup, repo path, exception, message, entries (module, function, line)
SCAN_FAILURES = [
    ("no-replace-flag", scan_settings(("builtin_ignore_replace", 1)), "/r", AttributeError, [("skiprules", "build_scan_config", 27)]),
    ("no-require-capability", without_require_capability, "/r", ImportError, [("skiprules", "build_scan_config", 28)]),
    ("capability-missing", lacking_capability('{"capabilities": []}'), "/r", RuntimeError, [("skiprules", "build_scan_config", 30), ("enginecheck", "require_capability", 34)]),
    ("handshake-raises", lacking_capability(Boom("x")), "/r", Boom, [("skiprules", "build_scan_config", 30), ("enginecheck", "require_capability", 32), ("enginecheck", "_load_capabilities", 23)]),
    ("unprintable-path", scan_settings(), Unprintable(), Boom, [("skiprules", "build_scan_config", 33)]),
    ("no-builtin-patterns", scan_settings(("builtin_ignore_patterns", 1)), "/r", AttributeError, [("skiprules", "build_scan_config", 34)]),
    ("builtin-patterns-none", scan_settings(builtin_ignore_patterns=None), "/r", TypeError, [("skiprules", "build_scan_config", 34)]),
    ("no-extra-patterns", scan_settings(("extra_ignore_patterns", 1)), "/r", AttributeError, [("skiprules", "build_scan_config", 35)]),
    ("extra-patterns-number", scan_settings(extra_ignore_patterns=5), "/r", TypeError, [("skiprules", "build_scan_config", 35)]),
    ("no-mode", scan_settings(("ignore_mode", 1)), "/r", AttributeError, [("skiprules", "build_scan_config", 36)]),
    ("mode-gone-when-compared", scan_settings(("ignore_mode", 2)), "/r", AttributeError, [("skiprules", "build_scan_config", 37)]),
    ("replace-flag-gone-at-the-end", scan_settings(("builtin_ignore_replace", 2)), "/r", AttributeError, [("skiprules", "build_scan_config", 39)]),
]


@pytest.mark.parametrize(
    "setup, repo_path, error, expected",
    [row[1:] for row in SCAN_FAILURES],
    ids=[row[0] for row in SCAN_FAILURES],
)
def test_scan_config_failures(skiprules, monkeypatch, install_core, setup, repo_path, error, expected):
    setup(skiprules, monkeypatch, install_core)
    with pytest.raises(error) as excinfo:
        skiprules.build_scan_config(repo_path)
    assert module_entries(excinfo) == [entry(*e) for e in expected]


def test_import_error_names_the_missing_name(skiprules, monkeypatch, install_core):
    without_require_capability(skiprules, monkeypatch, install_core)
    with pytest.raises(ImportError, match="^cannot import name require_capability$"):
        skiprules.build_scan_config("/r")
