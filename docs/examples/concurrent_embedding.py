"""Embedding from threads, asyncio and worker processes, with one shared service.

Each way gives the same vectors as a direct call; the program checks that and
prints one line per way:

    python docs/examples/concurrent_embedding.py
"""

import asyncio
import multiprocessing
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

from vorpaline.sparse import SparseEmbeddingService, SparseResult, get_sparse_service

TEXTS = [
    "class RingBuffer: def try_pop(self) -> Optional[T]: ...",
    "parseHttpHeader(rawBytes, maxHeaderSize)",
    "Sparse retrieval weights rare terms above common ones.",
    "SELECT user_id, last_login FROM user_sessions WHERE active",
]


def with_threads(service: SparseEmbeddingService) -> list[SparseResult]:
    # The core releases the interpreter lock while it embeds, so the threads run in parallel.
    with ThreadPoolExecutor(max_workers=4) as pool:
        return list(pool.map(service.embed_single, TEXTS))


async def with_asyncio(service: SparseEmbeddingService) -> list[SparseResult]:
    loop = asyncio.get_running_loop()
    # The event loop stays free while the default executor's threads embed.
    return await asyncio.gather(*(loop.run_in_executor(None, service.embed_single, text) for text in TEXTS))


async def with_asyncio_processes(service: SparseEmbeddingService) -> list[SparseResult]:
    loop = asyncio.get_running_loop()
    with ProcessPoolExecutor(max_workers=2) as pool:
        return await loop.run_in_executor(pool, service.embed_batch, TEXTS)


def with_processes(service: SparseEmbeddingService) -> list[SparseResult]:
    # The bound method pickles by reference, with the service and its profile;
    # each worker imports vorpaline.sparse and the core on its own.
    with ProcessPoolExecutor(max_workers=2) as pool:
        return list(pool.map(service.embed_single, TEXTS))


def with_pool(service: SparseEmbeddingService) -> list[SparseResult]:
    with multiprocessing.get_context("spawn").Pool(processes=2) as pool:
        return pool.map(service.embed_single, TEXTS)


def main() -> None:
    service = get_sparse_service()
    expected = [service.embed_single(text) for text in TEXTS]
    ways = {
        "threads": with_threads(service),
        "asyncio, default executor": asyncio.run(with_asyncio(service)),
        "asyncio, process pool": asyncio.run(with_asyncio_processes(service)),
        "ProcessPoolExecutor": with_processes(service),
        "multiprocessing.Pool (spawn)": with_pool(service),
    }
    for way, results in ways.items():
        assert results == expected, way
        print(f"{way}: {len(results)} vectors, same as direct calls")


if __name__ == "__main__":
    main()
