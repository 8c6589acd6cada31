"""The Qdrant store's own work at scale: an update from nothing and an unchanged one, on qdrant-client's local mode.

    python -m bench.scale_store [TREE] [--rounds N]

Each round makes a fresh in-memory collection (``QdrantClient(":memory:")``),
sends the tree to it, then updates it again with nothing changed. Every call
into the client is timed, the points it is handed built before it is called:
the store's own work is the wall time less that (scan, chunks, tokens, term
vectors, weights, points, bookkeeping), and Qdrant's is the rest. The core's
build of the files' chunks and tokens (the same work the local index does) is
timed apart too, so the store's work around it shows on its own. The local
index updates the same tree beside it, from nothing and unchanged.
"""
from __future__ import annotations

import argparse
import datetime
import os
import statistics
import sysconfig
import tempfile
import time
from pathlib import Path
from typing import Any

from . import machine

OWN_CHUNKS_GOAL = 50_000  # chunks a second of the store's own work
UNCHANGED_GOAL = 0.050  # seconds, an update that finds nothing changed


class TimedClient:
    """A client whose every call's seconds add up in ``seconds``, and whose calls are counted by name."""

    def __init__(self, client: Any) -> None:
        self._client = client
        self.seconds = 0.0
        self.calls: dict[str, int] = {}

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._client, name)
        if not callable(attribute):
            return attribute

        def timed(*args: Any, **kwargs: Any) -> Any:
            started = time.perf_counter()
            try:
                return attribute(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - started
                self.calls[name] = self.calls.get(name, 0) + 1

        return timed


class TimedBuild:
    """The core, its ``index_build_files`` calls' seconds adding up in ``seconds``."""

    def __init__(self, core: Any) -> None:
        self._core = core
        self.seconds = 0.0

    def __getattr__(self, name: str) -> Any:
        return getattr(self._core, name)

    def index_build_files(self, *args: Any) -> Any:
        started = time.perf_counter()
        try:
            return self._core.index_build_files(*args)
        finally:
            self.seconds += time.perf_counter() - started


def _timed_update(store: Any, client: TimedClient, tree: Path) -> dict[str, Any]:
    from vorpaline.search import qdrant

    client.seconds, client.calls = 0.0, {}
    build = TimedBuild(qdrant.core())
    real_core = qdrant.core
    qdrant.core = lambda: build  # type: ignore[assignment]
    try:
        started = time.perf_counter()
        counts = store.update(tree)
        wall = time.perf_counter() - started
    finally:
        qdrant.core = real_core  # type: ignore[assignment]
    own = wall - client.seconds
    return {"wall_s": wall, "client_s": client.seconds, "own_s": own, "build_s": build.seconds,
            "around_build_s": own - build.seconds, "chunks": counts.chunks,
            "files": counts.indexed + counts.unchanged + counts.skipped, "calls": dict(client.calls)}


def _local_update(tree: Path, folder: str) -> tuple[float, float, int]:
    from vorpaline.search import Index

    index = Index.create(os.path.join(folder, "index"))
    started = time.perf_counter()
    counts = index.update(tree)
    full = time.perf_counter() - started
    started = time.perf_counter()
    index.update(tree)
    return full, time.perf_counter() - started, counts.chunks


def run(tree: Path, rounds: int) -> dict[str, Any]:
    from qdrant_client import QdrantClient

    from vorpaline.search.qdrant import QdrantStore

    tree = Path(tree)
    load_before = machine.load_average()
    full, unchanged, local_full, local_unchanged = [], [], [], []
    local_chunks = 0
    for _ in range(rounds):
        client = TimedClient(QdrantClient(":memory:"))
        store = QdrantStore(client, "bench")
        full.append(_timed_update(store, client, tree))
        unchanged.append(_timed_update(store, client, tree))
        store.close()
        with tempfile.TemporaryDirectory(prefix="bench-scale-store-") as folder:
            seconds, again, local_chunks = _local_update(tree, folder)
        local_full.append(seconds)
        local_unchanged.append(again)
    return {"status": "measured", "date": datetime.date.today().isoformat(), "tree": str(tree), "rounds": rounds,
            "load_average": load_before, "load_average_after": machine.load_average(), "full": full,
            "unchanged": unchanged, "local_full_s": local_full, "local_unchanged_s": local_unchanged,
            "local_chunks": local_chunks}


def _median(rows: list[dict[str, Any]], key: str) -> float:
    return statistics.median(row[key] for row in rows)


def section(result: dict[str, Any]) -> str:
    from .report import table, verdict

    if result.get("status") != "measured":
        return f"### The Qdrant store's own work\n\nNot measured: {result.get('status')}."
    full, unchanged = result["full"], result["unchanged"]
    chunks = full[0]["chunks"]
    own_rate = chunks / _median(full, "own_s")
    around_rate = chunks / _median(full, "around_build_s")
    local_rate = result["local_chunks"] / statistics.median(result["local_full_s"])
    unchanged_wall = _median(unchanged, "wall_s")
    rows = [
        ["store, from nothing", f"{_median(full, 'wall_s'):.2f} s", f"{_median(full, 'client_s'):.2f} s",
         f"{_median(full, 'own_s'):.2f} s", f"{_median(full, 'build_s'):.2f} s",
         f"{_median(full, 'around_build_s'):.2f} s", f"{chunks:,}", f"{own_rate:,.0f}", f"{around_rate:,.0f}"],
        ["store, nothing changed", f"{unchanged_wall * 1000:.1f} ms", f"{_median(unchanged, 'client_s') * 1000:.1f} ms",
         f"{_median(unchanged, 'own_s') * 1000:.1f} ms", "-", "-", "0", "-", "-"],
        ["local index, from nothing", f"{statistics.median(result['local_full_s']):.2f} s", "-", "-", "-", "-",
         f"{result['local_chunks']:,}", f"{local_rate:,.0f}", "-"],
        ["local index, nothing changed", f"{statistics.median(result['local_unchanged_s']) * 1000:.1f} ms", "-", "-",
         "-", "-", "0", "-", "-"],
    ]
    calls = ", ".join(f"{name} {count}" for name, count in sorted(unchanged[0]["calls"].items()))
    goals = [[f"the store's own work at least {OWN_CHUNKS_GOAL:,} chunks/s, beside the core's build",
              f"{around_rate:,.0f}", verdict(around_rate >= OWN_CHUNKS_GOAL)],
             [f"the store's own work at least {OWN_CHUNKS_GOAL:,} chunks/s, the core's build included",
              f"{own_rate:,.0f}", verdict(own_rate >= OWN_CHUNKS_GOAL)],
             [f"an unchanged update under {UNCHANGED_GOAL * 1000:.0f} ms", f"{unchanged_wall * 1000:.1f} ms",
              verdict(unchanged_wall < UNCHANGED_GOAL)]]
    return ("### The Qdrant store's own work\n\n"
            f"{__doc__.split(chr(10), 1)[1].strip()}\n\n"
            f"Measured {result['date']} on {result['tree']} ({full[0]['files']:,} files), {result['rounds']} rounds "
            f"(medians), load average {result['load_average']} (after: {result['load_average_after']}).\n\n"
            + table(["update", "wall", "in qdrant-client", "store's own", "of it the core's build", "the rest",
                     "chunks", "own chunks/s", "the rest's chunks/s"], rows)
            + f"\n\nThe unchanged update's calls: {calls}.\n\n" + table(["goal", "measured", ""], goals))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tree", nargs="?", type=Path, default=Path(sysconfig.get_paths()["stdlib"]))
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print(section(run(args.tree, args.rounds)))


if __name__ == "__main__":
    main()
