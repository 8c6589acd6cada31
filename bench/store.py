"""What an update through the Qdrant store costs, beside the local index, on one tree.

    python -m bench.store [PATH]      (default: the interpreter's library folder, site-packages included)

Four runs over the same files, each from nothing: the local index; the store
sending to a client that keeps nothing (the store's own work: scan, chunks,
tokens, term vectors, weights, points); the store on Qdrant's embedded engine
(qdrant-edge-py, through the tests' adapter), and that engine's no-op update.
Wall seconds and peak RSS growth, one run each. Not part of the harness's tables.
"""
from __future__ import annotations

import argparse
import os
import resource
import sys
import sysconfig
import tempfile
import time
from types import SimpleNamespace
from typing import Any, Callable

from vorpaline.search.qdrant import QdrantStore
from vorpaline.search import Index


class DiscardingClient:
    """Takes every request and keeps nothing."""

    def __init__(self) -> None:
        self.points = 0

    def collection_exists(self, collection_name: str) -> bool:
        return False

    def upsert(self, collection_name: str, points: list[Any], wait: bool) -> None:
        self.points += len(points)

    def scroll(self, **_: Any) -> tuple[list[Any], None]:
        return [], None

    def retrieve(self, **_: Any) -> list[Any]:
        return []

    def count(self, **_: Any) -> SimpleNamespace:
        return SimpleNamespace(count=0)

    def __getattr__(self, name: str) -> Callable[..., None]:
        return lambda **_: None


def measured(label: str, run: Callable[[], Any]) -> None:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.perf_counter()
    counts = run()
    seconds = time.perf_counter() - started
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    rate = f"{counts.chunks / seconds:,.0f}" if counts.chunks else "-"
    print(f"| {label} | {seconds:.1f} s | {counts.chunks} | {rate} | {grown:.0f} MB |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", default=sysconfig.get_paths()["stdlib"])
    root = parser.parse_args().path
    print("| run | wall | chunks | chunks/s | peak RSS growth |\n|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        measured("local index", lambda: Index.create(os.path.join(folder, "index")).update(root))
        discarding = QdrantStore(DiscardingClient(), "bench")
        measured("store, to a client that keeps nothing", lambda: discarding.update(root))
        try:
            sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
            from qdrant_edge_client import EdgeClient
        except ImportError as error:
            print(f"(the embedded engine is not installed: {error})")
            return
        engine = QdrantStore(EdgeClient(os.path.join(folder, "shard")), "bench")
        measured("store on the embedded engine", lambda: engine.update(root))
        measured("the same, nothing changed", lambda: engine.update(root))


if __name__ == "__main__":
    main()
