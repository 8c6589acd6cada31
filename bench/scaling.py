"""Table 3: throughput with 1, 2 and 4 threads of a ThreadPoolExecutor."""
from __future__ import annotations

import json
import time
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

import vorpaline_core_py

from . import timing
from .corpus import Corpus
from .throughput import unlimited_service

THREAD_COUNTS = (1, 2, 4)
TARGET_TWO_THREADS = 1.7


def shards(texts: Sequence[str], count: int) -> list[list[str]]:
    """``count`` shards of about equal UTF-8 size: the largest text goes to the
    lightest shard first; each shard keeps the corpus order."""
    loads = [0] * count
    owner = [0] * len(texts)
    sizes = [len(text.encode("utf-8")) for text in texts]
    for index in sorted(range(len(texts)), key=sizes.__getitem__, reverse=True):
        lightest = loads.index(min(loads))
        owner[index] = lightest
        loads[lightest] += sizes[index]
    return [[text for text, o in zip(texts, owner) if o == shard] for shard in range(count)]


def workloads(service) -> dict[str, tuple[str, Callable[[list[str]], object], Callable[[list[str]], object]]]:
    """For each row: label, what is prepared per shard outside the timing, and
    the work on one prepared shard."""
    profile = service._profile_json
    return {
        "core": ("core alone: sparse_embed_batch per shard", json.dumps,
                 lambda payload: vorpaline_core_py.sparse_embed_batch(payload, profile)),
        "batch": ("embed_batch per shard", list, service.embed_batch),
        "single": ("embed_single over each shard", list,
                   lambda shard: [service.embed_single(text) for text in shard]),
    }


def timed_map(pool: ThreadPoolExecutor, work: Callable[[object], object], prepared: list[object]) -> Sample:
    cpu = time.process_time()
    wall = timing.seconds(lambda: list(pool.map(work, prepared)))
    return Sample(wall, time.process_time() - cpu)


class Sample(NamedTuple):
    wall: float  # seconds
    cpu: float  # CPU seconds of all the process's threads

    @property
    def cores_busy(self) -> float:
        """How many cores the process kept busy: below the thread count when
        the threads wait for the interpreter lock or for a core that other
        jobs hold."""
        return self.cpu / self.wall if self.wall > 0 else 0.0


def run(corpus: Corpus, repeats: int = 3) -> dict[str, object]:
    """Thread counts take turns within each round, so that a change in the
    machine's load falls on all of them alike."""
    megabytes = corpus.utf8_bytes / 1e6
    rows = []
    pools = {threads: ThreadPoolExecutor(max_workers=threads) for threads in THREAD_COUNTS}
    try:
        with unlimited_service() as service:
            for key, (label, prepare, work) in workloads(service).items():
                prepared = {t: [prepare(shard) for shard in shards(corpus.texts, t)] for t in THREAD_COUNTS}
                for threads, pool in pools.items():
                    timed_map(pool, work, prepared[threads])  # warm-up: threads started, caches filled
                samples = timing.interleaved(
                    {t: (lambda t=t: timed_map(pools[t], work, prepared[t])) for t in THREAD_COUNTS}, repeats)
                seconds = {t: timing.median([s.wall for s in runs]) for t, runs in samples.items()}
                rows.append({
                    "key": key, "label": label,
                    "mb_s": {t: megabytes / s for t, s in seconds.items()},
                    "speedup": {t: timing.ratio(seconds[1], s) for t, s in seconds.items()},
                    "cores_busy": {t: timing.median([s.cores_busy for s in runs]) for t, runs in samples.items()},
                })
    finally:
        for pool in pools.values():
            pool.shutdown()
    return {"threads": list(THREAD_COUNTS), "repeats": repeats, "rows": rows}
