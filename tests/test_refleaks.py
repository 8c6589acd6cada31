"""Reference leaks: every path through the modules, repeated, must leave the
number of allocated blocks flat and the reference counts of arguments and
results as they were."""

import gc
import os
import sys

import pytest

from conftest import Boom, FakeCore

WARMUP = 300
# A leak of one object per call shows as ROUNDS blocks, more than three times the slack.
ROUNDS = 3000 if os.environ.get("VORPALINE_LONG_TESTS") else 500
SLACK = 150


def allocated_after(call, rounds):
    for _ in range(rounds):
        call()
    gc.collect()
    return sys.getallocatedblocks()


def leaked_blocks(call):
    allocated_after(call, WARMUP)
    before = allocated_after(call, 0)
    return allocated_after(call, ROUNDS) - before


def failing(call, error=Exception):
    def run(*args):
        try:
            call(*args)
        except error:
            pass

    return run


class QuietLogger:
    def info(self, *args):
        pass


class Text(str):
    pass


@pytest.fixture
def lean(sparse, enginecheck, skiprules, monkeypatch):
    """The modules with a fake core that keeps no record of its calls."""
    core = FakeCore(record=False)
    monkeypatch.setattr(sparse, "vorpaline_core_py", core)
    monkeypatch.setattr(sparse, "logger", QuietLogger())
    monkeypatch.setitem(sys.modules, "vorpaline_core_py", core)
    service = sparse.SparseEmbeddingService()
    return sparse, enginecheck, skiprules, service, core


_TUPLE_BATCHES = {}


def tuple_batches(service):
    """A service whose embed_batch answers with a tuple; made once."""
    if "service" not in _TUPLE_BATCHES:
        cls = type("TupleBatches", (type(service),), {"embed_batch": lambda self, texts: ()})
        _TUPLE_BATCHES["service"] = cls()
    return _TUPLE_BATCHES["service"]


def reply(text):
    return lambda core: setattr(core, "single", text) or setattr(core, "batch", text)


# id, setup(core) or None, call(sparse, enginecheck, skiprules, service)
SPARSE_PATHS = [
    ("construct", None, lambda s, e, k, svc: s.SparseEmbeddingService()),
    ("profile-version", None, lambda s, e, k, svc: svc.profile_version),
    ("embed-single", None, lambda s, e, k, svc: svc.embed_single("some text")),
    ("embed-batch", None, lambda s, e, k, svc: svc.embed_batch(["a", "bb", "ccc"])),
    ("embed-batch-empty", None, lambda s, e, k, svc: svc.embed_batch([])),
    ("embed-batch-list-float", None, lambda s, e, k, svc: svc.embed_batch_list(["a"], 2.5)),
    ("get-and-reset", None, lambda s, e, k, svc: (s.get_sparse_service(), s.reset_sparse_service())),
    ("bind-missing", None, failing(lambda s, e, k, svc: svc.embed_single())),
    ("bind-unexpected", None, failing(lambda s, e, k, svc: svc.embed_single(texts="a"))),
    ("bind-duplicate", None, failing(lambda s, e, k, svc: svc.embed_batch_list([], 1, batch_size=2))),
    ("bind-surplus", None, failing(lambda s, e, k, svc: svc.embed_batch_list([], 1, 2))),
    ("bind-no-parameters", None, failing(lambda s, e, k, svc: s.get_sparse_service(1, x=2))),
    ("bind-dict-key", None, failing(lambda s, e, k, svc: svc.embed_single(**{1: 2}))),
    ("type-none", None, failing(lambda s, e, k, svc: svc.embed_single(None))),
    ("type-subclass", None, failing(lambda s, e, k, svc: svc.embed_single(Text("a")))),
    ("batch-size-refused", None, failing(lambda s, e, k, svc: svc.embed_batch_list([], "3"))),
    ("batch-size-nan", None, failing(lambda s, e, k, svc: svc.embed_batch_list([], float("nan")))),
    ("core-raises", reply(Boom("down")), failing(lambda s, e, k, svc: svc.embed_single("a"))),
    ("batch-core-raises", reply(Boom("down")), failing(lambda s, e, k, svc: svc.embed_batch(["a"]))),
    ("bad-json", reply("{nope"), failing(lambda s, e, k, svc: svc.embed_single("a"))),
    ("missing-values", reply('{"indices": [1]}'), failing(lambda s, e, k, svc: svc.embed_single("a"))),
    ("lengths-differ", reply('{"indices": [1], "values": [], "embeddings": [{"indices": [1], "values": []}]}'), failing(lambda s, e, k, svc: svc.embed_single("a"))),
    ("batch-lengths-differ", reply('{"embeddings": [{"indices": [1], "values": []}]}'), failing(lambda s, e, k, svc: svc.embed_batch(["a"]))),
    ("batch-count-differs", reply('{"embeddings": []}'), failing(lambda s, e, k, svc: svc.embed_batch(["a"]))),
    ("not-encodable", None, failing(lambda s, e, k, svc: svc.embed_batch([object()]))),
    ("return-check", None, failing(lambda s, e, k, svc: tuple_batches(svc).embed_batch_list([]))),
]

CAPABILITY_PATHS = [
    ("present", lambda s, e, k, svc: e.require_capability("sparse_embed", "ctx")),
    ("missing", failing(lambda s, e, k, svc: e.require_capability("absent", "ctx"))),
    ("type-refused", failing(lambda s, e, k, svc: e.require_capability(Text("a"), "ctx"))),
    ("bind-keywords", failing(lambda s, e, k, svc: e.require_capability(name="a", other="b"))),
    ("load-each-time", lambda s, e, k, svc: (setattr(e, "_cached_capabilities", None), e._load_capabilities())),
    ("scan-config", lambda s, e, k, svc: k.build_scan_config("/srv/repo")),
]


@pytest.mark.parametrize(
    "setup, call", [row[1:] for row in SPARSE_PATHS], ids=[row[0] for row in SPARSE_PATHS]
)
def test_sparse_paths_do_not_leak(lean, setup, call):
    sparse, enginecheck, skiprules, service, core = lean
    if setup is not None:
        setup(core)
    assert leaked_blocks(lambda: call(sparse, enginecheck, skiprules, service)) < SLACK


@pytest.mark.parametrize(
    "call", [row[1] for row in CAPABILITY_PATHS], ids=[row[0] for row in CAPABILITY_PATHS]
)
def test_capability_and_scan_paths_do_not_leak(lean, call):
    sparse, enginecheck, skiprules, service, core = lean
    assert leaked_blocks(lambda: call(sparse, enginecheck, skiprules, service)) < SLACK


def test_failure_paths_of_the_other_modules_do_not_leak(lean, monkeypatch):
    sparse, enginecheck, skiprules, service, core = lean

    def unloaded_core_missing():
        enginecheck._cached_capabilities = None
        enginecheck._load_capabilities()

    def handshake_fails():
        enginecheck._cached_capabilities = None
        enginecheck._load_capabilities()

    monkeypatch.setitem(sys.modules, "vorpaline_core_py", None)
    assert leaked_blocks(unloaded_core_missing) < SLACK
    monkeypatch.setitem(sys.modules, "vorpaline_core_py", FakeCore(handshake=Boom("x"), record=False))
    assert leaked_blocks(failing(handshake_fails)) < SLACK
    monkeypatch.setitem(sys.modules, "vorpaline_core_py", FakeCore(handshake="[]", record=False))
    assert leaked_blocks(failing(handshake_fails)) < SLACK

    monkeypatch.setattr(skiprules.settings, "builtin_ignore_replace", True)
    monkeypatch.setattr(enginecheck, "_cached_capabilities", {"ignore_builtin_replace"})
    assert leaked_blocks(lambda: skiprules.build_scan_config("/r")) < SLACK
    monkeypatch.setattr(enginecheck, "_cached_capabilities", set())
    assert leaked_blocks(failing(lambda: skiprules.build_scan_config("/r"))) < SLACK
    monkeypatch.delattr(skiprules.settings, "ignore_mode")
    assert leaked_blocks(failing(lambda: skiprules.build_scan_config("/r"))) < SLACK
    monkeypatch.delattr(sparse.settings, "code_pretokenize")
    assert leaked_blocks(failing(sparse.SparseEmbeddingService)) < SLACK
    monkeypatch.delattr(sparse, "_sparse_service")
    assert leaked_blocks(failing(sparse.get_sparse_service)) < SLACK


def test_arguments_and_results_hold_no_extra_references(lean):
    sparse, enginecheck, skiprules, service, core = lean
    text = "".join(["reference ", "counted"])
    texts = [text, text]
    name, context = "".join(["sparse_", "embed"]), "".join(["con", "text"])
    repo = "".join(["/srv/", "repo"])
    size = 10**20
    subclass_text = Text("x")
    watched = [text, texts, name, context, repo, size, subclass_text]
    before = [sys.getrefcount(obj) for obj in watched]

    for _ in range(100):
        service.embed_single(text)
        service.embed_batch_list(texts, size)
        enginecheck.require_capability(name, context)
        skiprules.build_scan_config(repo)
        for bad in (lambda: service.embed_single(subclass_text), lambda: enginecheck.require_capability(subclass_text, context), lambda: service.embed_single(text, text)):
            try:
                bad()
            except TypeError:
                pass
    assert [sys.getrefcount(obj) for obj in watched] == before

    # Counts are taken outside the asserts, whose rewriting keeps temporaries alive.
    record = service.embed_single(text)
    counts = sys.getrefcount(record), sys.getrefcount(record.indices), sys.getrefcount(record.values)
    assert counts == (2, 2, 2)
    records = service.embed_batch(texts)
    counts = sys.getrefcount(records), [sys.getrefcount(r) for r in records]
    assert counts == (2, [3, 3])  # the list and the iteration variable
    config = skiprules.build_scan_config(repo)
    counts = (
        sys.getrefcount(config),
        sys.getrefcount(config["builtin_patterns"]),
        sys.getrefcount(config["extra_patterns"]),
    )
    assert counts == (2, 2, 2)


def test_shared_singletons_keep_their_reference_counts(lean, monkeypatch):
    """A stray decref of None, True or False would count down here, then crash."""
    sparse, enginecheck, skiprules, service, core = lean
    monkeypatch.setattr(sparse.settings, "sparse_profile_version", None)
    unversioned = sparse.SparseEmbeddingService()
    core.single = '{"indices": [], "values": [], "truncated": true, "used_chars": null}'
    watched = (None, True, False)
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(1000):
        sparse.reset_sparse_service()
        unversioned.profile_version
        unversioned.embed_single("a")
        unversioned.embed_batch_list([], None)
        enginecheck.require_capability("sparse_embed", "ctx")
        skiprules.build_scan_config("/r")
    after = [sys.getrefcount(obj) for obj in watched]
    assert all(abs(a - b) < 50 for a, b in zip(after, before, strict=True)), (before, after)
