"""Out-of-memory injection: every public function, run again and again with
the interpreter's allocator made to fail at each successive allocation, must
either finish as it normally does or raise MemoryError. It must never crash,
raise anything else, leave shared state half made, or leak.

Two ways of failing: from allocation n on ("persistent", as when memory has
really run out), and allocation n alone ("single", which drives the code
through its error paths and then lets the clean-up allocate again).
"""

import functools
import gc
import os
import subprocess
import sys

import pytest

_testcapi = pytest.importorskip("_testcapi")
pytest.importorskip("vorpaline_core_py")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("_testcapi.set_nomemory is missing", allow_module_level=True)

TEXT = "getUserName parses HTTPServer replies for snake_case_ids"
TEXTS = ["getUserName", "HTTPServer reply", "naïve Straße"]
PROFILE = (
    '{"version": "bm25-v1", "max_text_chars": 200000, '
    '"code_pretokenize": true, "min_token_len": 2}'
)
CORE_CAPABILITIES = {
    "sparse_embed", "sparse_embed_batch", "sparse_explain", "scan_repository", "scan_explain", "ignore_builtin_replace", "chunk_text", "index_bm25", "index_term_vectors",
    "read_repository_file", "listing_unchanged", "index_verify_segment",
}

# A failing allocator fails every thread's allocations. Under pytest-xdist a
# worker's message thread allocates whenever the controller writes to it, and
# a failure there makes the worker take the connection for lost: it interrupts
# itself and exits. In a worker the sweeps therefore run in a child
# interpreter with no other thread, and this process only reports its outcome.
IN_XDIST_WORKER = "PYTEST_XDIST_WORKER" in os.environ
ALONE = "test_sweeps_alone_in_a_child_interpreter"


@pytest.fixture(autouse=True)
def _run_alone(request):
    if IN_XDIST_WORKER and request.node.name != ALONE:
        pytest.skip(f"run by {ALONE}")


@pytest.mark.skipif(not IN_XDIST_WORKER, reason="this process runs the sweeps itself")
def test_sweeps_alone_in_a_child_interpreter(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    child = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "no:xdist",
         f"--basetemp={tmp_path}", os.path.basename(__file__)],
        cwd=os.path.dirname(os.path.abspath(__file__)), env=env,
        capture_output=True, text=True, timeout=600,
    )
    assert child.returncode == 0, child.stdout[-20000:] + child.stderr[-5000:]


SETTLE = 30  # passes in a row meaning the failure point is past the call's last allocation
LIMIT = 50_000


def run_failing_at(call, start, stop):
    """Calls with allocations failing from number `start` (until `stop`, 0 for
    good); returns the type and text of the exception raised, or None.

    The exception itself is not kept: held in a local of a frame on its own
    traceback it would sit in a reference cycle until the next collection,
    and CPython aborts ("Cannot recover from MemoryErrors") once its sixteen
    spare MemoryError objects are all held that way while allocation fails."""
    _testcapi.set_nomemory(start, stop)
    try:
        call()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        return type(exc), str(exc)
    finally:
        _testcapi.remove_mem_hooks()
    return None


class Sweep:
    """Fails each allocation of one call in turn and checks what comes out."""

    def __init__(self, call, setup=None, expected=()):
        self.call = call
        self.setup = setup  # runs before each attempt, with the allocator working
        self.expected = expected  # the call's normal exception, if it has one

    def attempt(self, start, mode):
        if self.setup:
            self.setup()
        raised = run_failing_at(self.call, start, start + 1 if mode == "single" else 0)
        if raised is None or issubclass(raised[0], (MemoryError, *self.expected)):
            return raised is not None and issubclass(raised[0], MemoryError)
        kind, text = raised
        raise AssertionError(f"allocation {start} failing ({mode}): {kind.__name__}: {text}")

    def count_points(self):
        """Failure points: one past the last allocation whose failure surfaced."""
        last_failure, streak = -1, 0
        for start in range(LIMIT):
            if self.attempt(start, "persistent"):
                last_failure, streak = start, 0
            else:
                streak += 1
                if streak >= SETTLE:
                    return last_failure + 1
        raise AssertionError(f"the call still failed with {LIMIT} allocations allowed")

    def run(self, points, mode):
        for start in range(points + SETTLE):
            self.attempt(start, mode)


def exceptions(expected):
    return expected if isinstance(expected, tuple) else (expected,)


@pytest.fixture
def world(sparse, enginecheck, skiprules):
    """The three modules on the real core, with their shared state reset."""
    import vorpaline_core_py

    class World:
        pass

    w = World()
    w.sparse, w.enginecheck, w.skiprules, w.core = sparse, enginecheck, skiprules, vorpaline_core_py
    w.service = sparse.SparseEmbeddingService()
    return w


def forget_capabilities(w):
    w.enginecheck._cached_capabilities = None


def forget_service(w):
    w.sparse.reset_sparse_service()


# name: (setup before each attempt, the call as (function, arguments), its normal exception).
# Calls go to the C functions directly: a Python-level wrapper would put the
# interpreter's own frame set-up inside the failing window, and CPython 3.11
# answers some failures there with SystemError instead of MemoryError.
CASES = {
    "service construction": (None, lambda w: (w.sparse.SparseEmbeddingService, ()), ()),
    "get_sparse_service builds": (forget_service, lambda w: (w.sparse.get_sparse_service, ()), ()),
    "get_sparse_service shares": (None, lambda w: (w.sparse.get_sparse_service, ()), ()),
    "reset_sparse_service": (None, lambda w: (w.sparse.reset_sparse_service, ()), ()),
    "profile_version": (None, lambda w: (type(w.service).profile_version.fget, (w.service,)), ()),
    "embed_single": (None, lambda w: (w.service.embed_single, (TEXT,)), ()),
    "embed_single unencodable": (None, lambda w: (w.service.embed_single, ("a\ud800b",)), ValueError),
    "embed_single unbound": (None, lambda w: (w.service.embed_single, ()), TypeError),
    "embed_single not str": (None, lambda w: (w.service.embed_single, (None,)), TypeError),
    "embed_batch": (None, lambda w: (w.service.embed_batch, (TEXTS,)), ()),
    "embed_batch empty": (None, lambda w: (w.service.embed_batch, ([],)), ()),
    "embed_batch not a string": (None, lambda w: (w.service.embed_batch, (["a", 1],)), ValueError),
    "embed_batch_list": (None, lambda w: (w.service.embed_batch_list, (TEXTS, 2.5)), ()),
    "capability load": (forget_capabilities, lambda w: (w.enginecheck._load_capabilities, ()), ()),
    "require_capability present": (
        forget_capabilities,
        lambda w: (w.enginecheck.require_capability, ("sparse_embed", "ctx")),
        (),
    ),
    "require_capability missing": (
        None,
        lambda w: (w.enginecheck.require_capability, ("absent", "ctx")),
        RuntimeError,
    ),
    "build_scan_config": (None, lambda w: (w.skiprules.build_scan_config, ("/repo",)), ()),
    "core sparse_embed_single": (None, lambda w: (w.core.sparse_embed_single, (TEXT, PROFILE)), ()),
    "core sparse_embed_batch": (
        None,
        lambda w: (w.core.sparse_embed_batch, ('["getUser", "HTTPServer"]', PROFILE)),
        (),
    ),
    "core bad profile": (None, lambda w: (w.core.sparse_embed_single, (TEXT, "[1")), ValueError),
    "core handshake": (None, lambda w: (w.core.handshake, ()), ()),
}


def sweep_for(world, name):
    setup, target, expected = CASES[name]
    function, args = target(world)
    return Sweep(
        functools.partial(function, *args),
        setup=functools.partial(setup, world) if setup else None,
        expected=exceptions(expected),
    )


@pytest.mark.parametrize("name", CASES)
def test_every_allocation_failure_raises_memory_error_or_passes(world, name):
    sweep = sweep_for(world, name)
    points = sweep.count_points()
    sweep.run(points, "single")
    # Whatever failed on the way, the next call behaves normally.
    assert not sweep.attempt(2**31 - 1, "persistent")


def watched_objects(world):
    """The objects the calls receive or read: arguments and settings values."""
    settings = world.sparse.settings
    names = ["builtin_ignore_patterns", "extra_ignore_patterns", "sparse_profile_version", "ignore_mode"]
    return {"TEXT": TEXT, "TEXTS": TEXTS, **{name: getattr(settings, name) for name in names}}


@pytest.mark.parametrize("name", CASES)
def test_failing_allocations_keep_no_reference_to_inputs(world, name):
    sweep = sweep_for(world, name)
    points = sweep.count_points()
    watched = watched_objects(world)
    gc.collect()
    before = {key: sys.getrefcount(obj) for key, obj in watched.items()}
    for mode in ("single", "persistent"):
        sweep.run(points, mode)
    gc.collect()
    after = {key: sys.getrefcount(obj) for key, obj in watched.items()}
    assert after == before


NOISE = 8  # blocks the measuring itself may add; a leak per failure point adds hundreds


def counters():
    gc.collect()
    total_refs = getattr(sys, "gettotalrefcount", lambda: 0)()  # debug interpreters only
    return sys.getallocatedblocks(), total_refs


@pytest.mark.parametrize(
    "name",
    ["service construction", "embed_single", "embed_batch", "embed_single unencodable",
     "capability load", "require_capability missing", "build_scan_config"],
)
def test_failing_allocations_leak_nothing(world, name):
    sweep = sweep_for(world, name)
    points = sweep.count_points()
    text_refs = sys.getrefcount(TEXT), sys.getrefcount(TEXTS)

    def sweeps(times):
        for _ in range(times):
            sweep.run(points, "single")
            sweep.run(points, "persistent")

    sweeps(2)  # fills what a first failure at each point fills
    first = counters()
    sweeps(1)
    second = counters()
    sweeps(3)
    third = counters()
    # Growth that repeats with every sweep is a leak; what the first measured
    # sweep adds once is not.
    assert third[0] - second[0] <= max(second[0] - first[0], 0) + NOISE
    assert third[1] - second[1] <= max(second[1] - first[1], 0) + NOISE
    assert (sys.getrefcount(TEXT), sys.getrefcount(TEXTS)) == text_refs


def test_capability_cache_is_never_left_half_loaded(world):
    outcomes = set()
    for start in range(400):
        forget_capabilities(world)
        run_failing_at(world.enginecheck._load_capabilities, start, 0)
        cached = world.enginecheck._cached_capabilities
        assert cached is None or cached == CORE_CAPABILITIES
        outcomes.add(cached is None)
    assert outcomes == {True, False}, "the sweep should see both failed and finished loads"


def test_shared_service_is_either_absent_or_complete(world):
    expected = world.service.embed_single(TEXT)
    outcomes = set()
    for start in range(600):
        forget_service(world)
        run_failing_at(world.sparse.get_sparse_service, start, 0)
        service = world.sparse._sparse_service
        if service is not None:
            assert service.embed_single(TEXT) == expected
        outcomes.add(service is None)
    assert outcomes == {True, False}, "the sweep should see both failed and finished builds"


@pytest.mark.parametrize("kind", [list, tuple], ids=["list", "tuple"])
def test_scan_config_keeps_no_reference_to_pattern_settings(world, settings, monkeypatch, kind):
    builtin, extra = kind([".git", "*.pyc"]), kind(["dist"])
    monkeypatch.setattr(settings, "builtin_ignore_patterns", builtin)
    monkeypatch.setattr(settings, "extra_ignore_patterns", extra)
    sweep = sweep_for(world, "build_scan_config")
    points = sweep.count_points()
    gc.collect()
    before = sys.getrefcount(builtin), sys.getrefcount(extra)
    for mode in ("single", "persistent"):
        sweep.run(points, mode)
    gc.collect()
    assert (sys.getrefcount(builtin), sys.getrefcount(extra)) == before
