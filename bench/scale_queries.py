"""The core's BM25 search alone (`Searcher.search`, no snippets) on a large index, before and after pruning.

The index folder given is read as it is (its segments may be of format 2, scored posting by posting);
each of its segments is rewritten by the core's merge into a folder beside it, in format 3 (postings in
blocks with skip entries, searched with block-max WAND), the same documents in the same order. Queries
come from the tree with a fixed seed: identifiers (names a Python file of the tree defines) and natural
language (the first sentences of docstrings). One thread, k=10: p50 and p99 of each query's time over
the rounds; then the same queries split over two threads, for the queries per second two threads give
over one. Sizes: each folder's segment files on disk.
"""
from __future__ import annotations

import json
import random
import re
import statistics
import tempfile
import threading
import time
from pathlib import Path

IDENTIFIERS, SENTENCES, K = 50, 200, 10
DEFINITION = re.compile(r"^\s*(?:def|class)\s+([A-Za-z_][A-Za-z0-9_]{3,})", re.M)
DOCSTRING = re.compile(r'^\s*(?:def|class)[^\n]*:\s*\n\s*[rR]?"""\s*([A-Z][^."\n]{15,120}[.])', re.M)


def tree_queries(tree: Path, seed: int = 25) -> dict[str, list[str]]:
    rng = random.Random(seed)
    files = sorted(p for p in tree.rglob("*.py") if ".vorpaline" not in p.parts)
    rng.shuffle(files)
    names: set[str] = set()
    sentences: set[str] = set()
    for path in files:
        if len(names) >= IDENTIFIERS * 4 and len(sentences) >= SENTENCES:
            break
        try:
            text = path.read_text(errors="replace")
        except OSError:
            continue
        names.update(DEFINITION.findall(text)[:3])
        sentences.update(DOCSTRING.findall(text)[:2])
    return {"identifiers": rng.sample(sorted(names), min(IDENTIFIERS, len(names))),
            "natural language": rng.sample(sorted(sentences), min(SENTENCES, len(sentences)))}


def open_index(folder: Path) -> tuple[object, dict, list[dict]]:
    import vorpaline_core_py as core
    from vorpaline.search import local

    manifest = local._read_manifest(str(folder / "MANIFEST"))
    segments = [{"path": str(folder / s["name"]), "deleted": s["deleted"]} for s in manifest["segments"]]
    return core.index_open(json.dumps(segments)), manifest, segments


def format_3_copy(folder: Path, segments: list[dict], into: Path) -> tuple[object, list[dict]]:
    """Each segment merged alone (its deletions dropped) into `into`: the same live documents, in order."""
    import vorpaline_core_py as core

    copies = []
    for i, segment in enumerate(segments):
        path = into / f"seg-{i:04d}"
        core.index_merge_segments(str(path), json.dumps([segment]))
        copies.append({"path": str(path), "deleted": []})
    return core.index_open(json.dumps(copies)), copies


def size_of(segments: list[dict]) -> int:
    return sum(Path(s["path"]).stat().st_size for s in segments)


def latencies(searcher: object, asked: list[tuple[str, str]], profile: str, k1: float, b: float,
              rounds: int) -> list[float]:
    times = []
    for query, ranking in asked:  # one warm round
        searcher.search(query, profile, K, k1, b, ranking)  # type: ignore[attr-defined]
    for _ in range(rounds):
        for query, ranking in asked:
            start = time.perf_counter()
            searcher.search(query, profile, K, k1, b, ranking)  # type: ignore[attr-defined]
            times.append(time.perf_counter() - start)
    return times


def threaded_rate(searcher: object, asked: list[tuple[str, str]], profile: str, k1: float, b: float,
                  threads: int, rounds: int) -> float:
    """Queries per second with the list searched `rounds` times by each of `threads` threads."""
    def work() -> None:
        for _ in range(rounds):
            for query, ranking in asked:
                searcher.search(query, profile, K, k1, b, ranking)  # type: ignore[attr-defined]

    workers = [threading.Thread(target=work) for _ in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * rounds * len(asked) / (time.perf_counter() - start)


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def run(tree: Path, index_folder: Path, rounds: int) -> dict:
    from vorpaline.config import settings
    from vorpaline.search import queries

    before, manifest, segments = open_index(index_folder)
    profile = manifest["profile"]
    k1 = settings.search_k1 if manifest.get("k1") is None else manifest["k1"]
    b = settings.search_b if manifest.get("b") is None else manifest["b"]
    asked = {kind: [(q, queries.ranking_json(q)) for q in found] for kind, found in tree_queries(tree).items()}
    with tempfile.TemporaryDirectory(dir=index_folder.parent) as scratch:
        after, copies = format_3_copy(index_folder, segments, Path(scratch))
        result: dict = {"documents": before.documents, "rounds": rounds,  # type: ignore[attr-defined]
                        "bytes": {"before": size_of(segments), "after": size_of(copies)}, "kinds": {}}
        for kind, pairs in asked.items():
            row: dict = {"queries": len(pairs)}
            for name, searcher in (("before", before), ("after", after)):
                times = latencies(searcher, pairs, profile, k1, b, rounds)
                row[name] = {"p50_ms": 1000 * statistics.median(times), "p99_ms": 1000 * percentile(times, 0.99),
                             "qps_1": threaded_rate(searcher, pairs, profile, k1, b, 1, rounds),
                             "qps_2": threaded_rate(searcher, pairs, profile, k1, b, 2, rounds)}
            same = all(before.search(q, profile, K, k1, b, r) == after.search(q, profile, K, k1, b, r)  # type: ignore[attr-defined]
                       for q, r in pairs)
            row["same_hits"] = same
            result["kinds"][kind] = row
    return result


def section(result: dict) -> str:
    lines = [f"Core search alone (`Searcher.search`, k={K}, one thread unless said), {result['documents']:,} documents, "
             f"{result['rounds']} rounds; segments {result['bytes']['before'] / 1e6:.1f} MB before, "
             f"{result['bytes']['after'] / 1e6:.1f} MB after.", "",
             "| queries | index | p50 ms | p99 ms | q/s 1 thread | q/s 2 threads | 2 / 1 | same hits |",
             "|---|---|---:|---:|---:|---:|---:|---|"]
    for kind, row in result["kinds"].items():
        for name, label in (("before", "format 2, every posting"), ("after", "format 3, block-max WAND")):
            r = row[name]
            lines.append(f"| {kind} ({row['queries']}) | {label} | {r['p50_ms']:.3f} | {r['p99_ms']:.3f} | "
                         f"{r['qps_1']:,.0f} | {r['qps_2']:,.0f} | {r['qps_2'] / r['qps_1']:.2f}x | "
                         f"{'yes' if row['same_hits'] else 'NO'} |")
    return "\n".join(lines) + "\n"
