"""File-level ranking metrics for the localisation table.

A system answers a query with a ranked list of files; one that ranks chunks
(windows, an index's hits) is reduced to files by each file's best chunk,
that is its first appearance in the chunk ranking.
"""
from __future__ import annotations

from collections.abc import Iterable, Sequence

TOP_K = 10
RECALL_AT = (1, 5, 10)


def files_in_order(paths: Iterable[str | None], k: int = TOP_K) -> list[str]:
    """The distinct paths in order of first appearance, at most ``k`` (None, a hit with no file, skipped)."""
    seen: dict[str, None] = {}
    for path in paths:
        if path is not None and path not in seen:
            seen[path] = None
            if len(seen) == k:
                break
    return list(seen)


def first_target_rank(ranking: Sequence[str], targets: Iterable[str], k: int = TOP_K) -> int | None:
    """The 1-based place of the first target among the first ``k`` files, or None."""
    wanted = set(targets)
    return next((place for place, path in enumerate(ranking[:k], start=1) if path in wanted), None)


def all_found(ranking: Sequence[str], targets: Iterable[str], k: int = TOP_K) -> bool:
    return set(targets) <= set(ranking[:k])


def file_metrics(rankings: Sequence[Sequence[str]], targets: Sequence[Sequence[str]]) -> dict[str, float]:
    """MRR@10, recall@1/5/10 (a target within the first 1/5/10 files) and all@10
    (every target within the first 10) over the queries, in ``[0, 1]``."""
    if len(rankings) != len(targets) or not rankings:
        raise ValueError("one ranking per query, and at least one query")
    ranks = [first_target_rank(ranking, wanted) for ranking, wanted in zip(rankings, targets)]
    count = len(ranks)
    scores = {"mrr10": sum(1.0 / rank for rank in ranks if rank is not None) / count}
    for cut in RECALL_AT:
        scores[f"recall{cut}"] = sum(1 for rank in ranks if rank is not None and rank <= cut) / count
    scores["all10"] = sum(1 for ranking, wanted in zip(rankings, targets) if all_found(ranking, wanted)) / count
    return scores
