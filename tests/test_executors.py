"""Embedding through executors, threads and worker processes gives the same
vectors as direct calls, and the core lets other threads run while it embeds.

These use the real native core, as callers do.
"""

import asyncio
import multiprocessing
import random
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest
from test_pickling import forget_slotnames  # noqa: F401 - autouse fixture

pytest.importorskip("vorpaline_core_py", reason="the native core is not built")

TEXTS = [
    "def load_user_profile(user_id: int) -> UserProfile:",
    "template <typename T> std::optional<T> RingBuffer<T>::tryPop()",
    "Sparse retrieval weights rare terms above common ones.",
    "Быстрая бурая лиса перепрыгивает через ленивую собаку",
    "",
    "parseHttpHeader(rawBytes, maxHeaderSize) " * 50,
]

START_METHODS = ["fork", "spawn"]


@pytest.fixture
def service(sparse):
    return sparse.get_sparse_service()


@pytest.fixture
def expected(service):
    return [service.embed_single(text) for text in TEXTS]


def mp_context(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"start method {method} is not available here")
    return multiprocessing.get_context(method)


def test_run_in_executor_on_threads(service, expected):
    async def embed_all():
        loop = asyncio.get_running_loop()
        return await asyncio.gather(*(loop.run_in_executor(None, service.embed_single, t) for t in TEXTS))

    assert asyncio.run(embed_all()) == expected


def test_to_thread_batch(service, expected):
    async def embed():
        return await asyncio.to_thread(service.embed_batch, TEXTS)

    assert asyncio.run(embed()) == expected


@pytest.mark.parametrize("method", START_METHODS)
def test_run_in_executor_on_processes(service, expected, method):
    async def embed_all():
        loop = asyncio.get_running_loop()
        with ProcessPoolExecutor(max_workers=2, mp_context=mp_context(method)) as pool:
            singles = await asyncio.gather(*(loop.run_in_executor(pool, service.embed_single, t) for t in TEXTS))
            batch = await loop.run_in_executor(pool, service.embed_batch_list, TEXTS, 3)
        return singles, batch

    singles, batch = asyncio.run(embed_all())
    assert singles == expected
    assert batch == expected


@pytest.mark.parametrize("method", START_METHODS)
def test_process_pool_executor_map(sparse, service, expected, method):
    with ProcessPoolExecutor(max_workers=2, mp_context=mp_context(method)) as pool:
        by_bound_method = list(pool.map(service.embed_single, TEXTS))
        by_class_function = list(pool.map(sparse.SparseEmbeddingService.embed_single, [service] * len(TEXTS), TEXTS))
    assert by_bound_method == expected
    assert by_class_function == expected


@pytest.mark.parametrize("method", START_METHODS)
def test_multiprocessing_pool(skiprules, service, expected, method):
    halves = [TEXTS[:3], TEXTS[3:]]
    with mp_context(method).Pool(processes=2) as pool:
        singles = pool.map(service.embed_single, TEXTS)
        batches = pool.map(service.embed_batch, halves)
        # A module function: the worker builds the configuration from its own settings.
        configs = pool.map(skiprules.build_scan_config, ["/srv/a", "/srv/b"])
    assert singles == expected
    assert batches[0] + batches[1] == expected
    assert [config["repo_root"] for config in configs] == ["/srv/a", "/srv/b"]


def test_worker_processes_embed_with_the_senders_profile(sparse, settings):
    # The worker reads its settings from its own environment; the pickled
    # service brings the profile it was built with instead.
    settings.sparse_max_text_chars = 8
    service = sparse.SparseEmbeddingService()
    text = "a text well over eight characters"
    with ProcessPoolExecutor(max_workers=1, mp_context=mp_context("spawn")) as pool:
        remote = pool.submit(service.embed_single, text).result()
    assert remote == service.embed_single(text)
    assert (remote.truncated, remote.used_chars) == (True, 8)


def test_many_threads_share_one_service(service, expected):
    rounds = 25
    with ThreadPoolExecutor(max_workers=8) as pool:
        singles = list(pool.map(service.embed_single, TEXTS * rounds))
        batches = list(pool.map(service.embed_batch, [TEXTS] * rounds))
    assert singles == expected * rounds
    assert all(batch == expected for batch in batches)


def test_threads_with_different_profiles_do_not_mix(sparse, settings):
    # The core may keep profiles between calls; calls with two profiles at once
    # must each get their own.
    short = sparse.SparseEmbeddingService()
    settings.sparse_max_text_chars = 4
    shorter = sparse.SparseEmbeddingService()
    text = "loadUserProfile fetchProfileFromDb"
    wanted = {short: short.embed_single(text), shorter: shorter.embed_single(text)}
    assert wanted[short] != wanted[shorter]
    jobs = [short, shorter] * 200
    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(lambda s: s.embed_single(text), jobs))
    assert results == [wanted[s] for s in jobs]


def longest_pause_of_this_thread(work):
    """Runs work() in another thread and returns (how long it took, the longest
    time this thread went without running meanwhile)."""
    done = threading.Event()
    worker = threading.Thread(target=lambda: (work(), done.set()))
    longest = 0.0
    start = last = time.perf_counter()
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        longest = max(longest, now - last)
        last = now
    worker.join()
    return time.perf_counter() - start, longest


def test_embedding_lets_other_threads_run(sparse, settings):
    # One long text, so nearly all of the call is the core's work. Were the
    # interpreter lock held throughout, this thread would stall for about the
    # whole call; the machine may be busy, so any of a few tries will do.
    settings.sparse_max_text_chars = 10**8
    service = sparse.SparseEmbeddingService()
    rng = random.Random(7)
    words = ["".join(rng.choice("abcdefghijklmnop") for _ in range(rng.randint(3, 9))) for _ in range(5000)]
    text = " ".join(rng.choice(words) for _ in range(1_500_000))
    tries = []
    for _ in range(3):
        duration, longest_pause = longest_pause_of_this_thread(lambda: service.embed_single(text))
        tries.append((duration, longest_pause))
        if longest_pause < duration / 3:
            return
    pytest.fail(f"this thread stalled while the core embedded: (duration, longest pause) {tries}")
