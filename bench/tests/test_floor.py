"""The floor must do the work the compiled modules do, or the overhead table
measures less than the operation."""
import traceback

import pytest

pytest.importorskip("vorpaline.sparse")

from contextlib import ExitStack  # noqa: E402

from bench import variants  # noqa: E402
from bench.__main__ import REPO_ROOT  # noqa: E402


@pytest.fixture(scope="module")
def built():
    floor = variants.load_floor(REPO_ROOT / "build" / "bench" / "floor")
    compiled = variants.compiled_modules()
    with ExitStack() as stack:
        profile_json = compiled.sparse.SparseEmbeddingService()._profile_json
        core = variants.fake_core(floor, profile_json)
        yield {
            "compiled": stack.enter_context(variants.module_variant("compiled", compiled, core)),
            "floor": variants.floor_variant(floor, core, compiled.sparse.SparseResult, profile_json),
        }


CALLS = [
    ("get_sparse_service", lambda v: type(v.get_sparse_service()).__name__),
    ("require_capability", lambda v: v.require_capability("sparse_embed", "ctx")),
    ("build_scan_config", lambda v: v.build_scan_config("/srv/repo")),
    ("build_scan_config keys", lambda v: list(v.build_scan_config("/srv/repo"))),
    ("embed_single", lambda v: v.service.embed_single(variants.SINGLE_TEXT)),
    ("embed_single by keyword", lambda v: v.service.embed_single(text=variants.SINGLE_TEXT)),
    ("embed_batch", lambda v: v.service.embed_batch(list(variants.BATCH_TEXTS))),
    ("embed_batch empty", lambda v: v.service.embed_batch([])),
]


@pytest.mark.parametrize(("name", "call"), CALLS, ids=[name for name, _ in CALLS])
def test_floor_returns_what_compiled_returns(built, name, call):
    assert call(built["floor"]) == call(built["compiled"])


def test_records_hold_the_real_reply(built):
    record = built["floor"].service.embed_single(variants.SINGLE_TEXT)
    assert len(record.indices) == len(record.values) > 3
    assert record.original_chars == len(variants.SINGLE_TEXT)


ERRORS = [
    ("embed_single, two arguments", lambda v: v.service.embed_single("a", "b"), TypeError),
    ("embed_single, no argument", lambda v: v.service.embed_single(), TypeError),
    ("embed_single, not a str", lambda v: v.service.embed_single(b"a"), TypeError),
    ("embed_batch, a tuple", lambda v: v.service.embed_batch(("a",)), TypeError),
    ("require_capability, missing", lambda v: v.require_capability("no_such", "ctx"), RuntimeError),
]


@pytest.mark.parametrize(("name", "call", "error"), ERRORS, ids=[name for name, _, _ in ERRORS])
def test_floor_fails_as_compiled_fails(built, name, call, error):
    raised = {}
    for variant in ("compiled", "floor"):
        with pytest.raises(error) as info:
            call(built[variant])
        raised[variant] = info.value
    assert type(raised["floor"]) is type(raised["compiled"])
    if error is RuntimeError:
        assert str(raised["floor"]) == str(raised["compiled"])


def test_binding_error_carries_the_same_traceback_entry(built):
    entries = {}
    for variant in ("compiled", "floor"):
        try:
            built[variant].service.embed_single("a", "b")
        except TypeError as error:
            entries[variant] = traceback.extract_tb(error.__traceback__)[-1]
            assert "takes exactly 2 positional arguments (3 given)" in str(error)
    assert (entries["floor"].filename, entries["floor"].name, entries["floor"].lineno) == (
        entries["compiled"].filename, entries["compiled"].name, entries["compiled"].lineno)


@pytest.mark.parametrize(("name", "call"), [
    ("_sparse_service", lambda v: v.get_sparse_service()),
    ("_cached_capabilities", lambda v: v.require_capability("sparse_embed", "ctx")),
])
def test_floor_reads_its_globals_at_each_call(built, name, call):
    floor = built["floor"]
    saved = floor.globals[name]
    floor.globals[name] = replacement = {"sparse_embed"} if name == "_cached_capabilities" else object()
    try:
        result = call(floor)
        assert result is replacement if name == "_sparse_service" else result is None
        del floor.globals[name]
        with pytest.raises(NameError, match=name):
            call(floor)
    finally:
        floor.globals[name] = saved
