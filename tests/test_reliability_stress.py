"""Thread stress: eight threads mix every entry point of the three modules on
the real core for a few seconds. Nothing may raise but what the modules
document (here: RuntimeError for a missing capability), and every result must
equal the one a single thread gets.

Set VORPALINE_LONG_TESTS=1 for a run of half a minute.
"""

import json
import os
import random
import sys
import threading
import time

import pytest

pytest.importorskip("vorpaline_core_py")

LONG = os.environ.get("VORPALINE_LONG_TESTS") == "1"
DURATION = 30.0 if LONG else 2.0
THREADS = 8

TEXTS = [
    "",
    "getUserName",
    "HTTPServer handles snake_case_requests and kebab-case-ids",
    "naïve Straße İstanbul ﬁle Ｆｕｌｌ 日本語のテキスト",
    "a\x00b\x00getUser",
    "x" * 5000 + " tail words after a long run",
    "repeat " * 4000,  # long enough to release the lock for a while
    "🙂 emoji 𝒳𝓎 and e\u0301 marks",
]
OTHER_PROFILE = (
    '{"version": "alt", "max_text_chars": 64, "code_pretokenize": false, "min_token_len": 3}'
)


class Expected:
    """What one thread gets for each operation, computed before the threads start."""

    def __init__(self, sparse, enginecheck, skiprules, core):
        service = sparse.SparseEmbeddingService()
        self.single = {text: service.embed_single(text) for text in TEXTS}
        self.batch = service.embed_batch(TEXTS)
        self.other = {text: core.sparse_embed_single(text, OTHER_PROFILE) for text in TEXTS}
        self.scan = skiprules.build_scan_config("/repo")
        enginecheck._cached_capabilities = None
        with pytest.raises(RuntimeError) as missing:
            enginecheck.require_capability("no_such_capability", "ctx")
        self.missing_message = str(missing.value)


class Worker:
    def __init__(self, index, modules, expected, deadline, start):
        self.random = random.Random(index)
        self.sparse, self.enginecheck, self.skiprules, self.core = modules
        self.expected = expected
        self.deadline = deadline
        self.start = start
        self.errors = []
        self.counts = {}

    def check(self, what, got, want):
        if got != want:
            self.errors.append(f"{what}: got {got!r:.200}, want {want!r:.200}")

    def op_single(self):
        text = self.random.choice(TEXTS)
        service = self.sparse.get_sparse_service()
        self.check("embed_single", service.embed_single(text), self.expected.single[text])

    def op_batch(self):
        first = self.random.randrange(len(TEXTS))
        texts = TEXTS[first:]
        service = self.sparse.get_sparse_service()
        self.check("embed_batch", service.embed_batch(texts), self.expected.batch[first:])

    def op_batch_list(self):
        service = self.sparse.get_sparse_service()
        self.check("embed_batch_list", service.embed_batch_list(TEXTS, 3), self.expected.batch)

    def op_own_service(self):
        # A service of one's own, built while others reset the shared one.
        text = self.random.choice(TEXTS)
        service = self.sparse.SparseEmbeddingService()
        self.check("own service", service.embed_single(text), self.expected.single[text])

    def op_reset(self):
        self.check("reset_sparse_service", self.sparse.reset_sparse_service(), None)

    def op_other_profile(self):
        # Another profile through the core directly, between the service's calls.
        text = self.random.choice(TEXTS)
        self.check("other profile", self.core.sparse_embed_single(text, OTHER_PROFILE), self.expected.other[text])

    def op_capability(self):
        self.check("require_capability", self.enginecheck.require_capability("sparse_embed", "ctx"), None)

    def op_missing_capability(self):
        try:
            self.enginecheck.require_capability("no_such_capability", "ctx")
        except RuntimeError as exc:  # documented
            self.check("missing capability message", str(exc), self.expected.missing_message)
        else:
            self.errors.append("require_capability passed for a missing capability")

    def op_forget_capabilities(self):
        # An outside reset of the cache, so that loads race with checks.
        self.enginecheck._cached_capabilities = None

    def op_scan_config(self):
        config = self.skiprules.build_scan_config("/repo")
        self.check("build_scan_config", config, self.expected.scan)
        config["builtin_patterns"].append("mine")  # the caller owns the lists

    def run(self):
        ops = [getattr(self, name) for name in dir(self) if name.startswith("op_")]
        self.start.wait()
        while time.monotonic() < self.deadline:
            op = self.random.choice(ops)
            try:
                op()
            except Exception as exc:  # anything undocumented is a finding
                self.errors.append(f"{op.__name__}: {type(exc).__name__}: {exc}")
            self.counts[op.__name__] = self.counts.get(op.__name__, 0) + 1


@pytest.fixture
def fast_switching():
    # Switch threads as often as the interpreter allows, to interleave the
    # Python-level steps as much as possible.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_eight_threads_mixing_every_entry_point_match_one_thread(
    sparse, enginecheck, skiprules, fast_switching
):
    import vorpaline_core_py as core

    modules = (sparse, enginecheck, skiprules, core)
    expected = Expected(*modules)
    start = threading.Barrier(THREADS)
    deadline = time.monotonic() + DURATION
    workers = [Worker(i, modules, expected, deadline, start) for i in range(THREADS)]
    threads = [threading.Thread(target=w.run, name=f"stress-{i}") for i, w in enumerate(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DURATION + 60)
    assert not any(thread.is_alive() for thread in threads), "a worker hung"

    errors = [error for w in workers for error in w.errors]
    assert errors == [], f"{len(errors)} failures, first ones: {errors[:5]}"
    totals = {}
    for w in workers:
        for name, count in w.counts.items():
            totals[name] = totals.get(name, 0) + count
    assert set(totals) == {name for name in dir(Worker) if name.startswith("op_")}
    # The shared state ends consistent: a service or none, a loaded set or none.
    assert sparse._sparse_service is None or isinstance(sparse._sparse_service, sparse.SparseEmbeddingService)
    assert enginecheck._cached_capabilities in (None, set(json.loads(core.handshake())["capabilities"]))


def test_one_service_shared_by_threads_in_the_core_at_once(sparse):
    """The core releases the interpreter lock while it embeds: long texts from
    several threads overlap inside it and must not disturb each other."""
    service = sparse.SparseEmbeddingService()
    texts = [f"thread{i}Word " * 20000 + f"unique{i}" for i in range(THREADS)]
    expected = [service.embed_single(t) for t in texts]
    results = [None] * THREADS
    start = threading.Barrier(THREADS)

    def embed(i):
        start.wait()
        for _ in range(10 if LONG else 3):
            results[i] = service.embed_single(texts[i])
            if results[i] != expected[i]:
                return

    threads = [threading.Thread(target=embed, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert results == expected
