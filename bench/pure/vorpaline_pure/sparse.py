"""
Sparse embedding service using Rust vorpaline-core for BM25-style sparse vectors.

This module provides deterministic, bounded-latency sparse embeddings with
code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.
"""
from __future__ import annotations
import json
import logging
from dataclasses import dataclass

import vorpaline_core_py

from vorpaline.config import settings

logger = logging.getLogger(__name__)


@dataclass
class SparseResult:
    """Sparse embedding result with plain Python lists."""

    indices: list[int]
    values: list[float]
    truncated: bool | None = None
    original_chars: int | None = None
    used_chars: int | None = None


class SparseEmbeddingService:
    """
    Sparse embeddings via Rust vorpaline-core.

    Uses deterministic tokenization and log-TF weighting. The Rust backend
    releases the GIL during computation, so it's safe to call from async
    executor contexts.
    """

    def __init__(self) -> None:
        self._profile_json = json.dumps({
            "version": (version := settings.sparse_profile_version),
            "max_text_chars": settings.sparse_max_text_chars,
            "code_pretokenize": settings.code_pretokenize,
            "min_token_len": 2,
        })
        logger.info(
            "Sparse embedding: using Rust backend (profile=%s)",
            settings.sparse_profile_version)
        self._profile_version = version  # the profile is fixed per instance

    @property
    def profile_version(self) -> str:
        """Return the profile version string for cache tagging."""
        return self._profile_version

    def embed_single(self, text: str) -> SparseResult:
        """Embed a single text into a sparse vector."""
        raw = vorpaline_core_py.sparse_embed_single(text, self._profile_json)
        resp = json.loads(raw)
        return SparseResult(
            indices=(indices := resp["indices"]),
            values=_parallel(indices, resp["values"], "sparse_embed_single"),
            truncated=resp.get("truncated"),
            original_chars=resp.get("original_chars"),
            used_chars=resp.get("used_chars"),
        )

    def embed_batch(self, texts: list[str]) -> list[SparseResult]:
        """Embed a batch of texts into sparse vectors."""
        if not texts:
            return []
        texts_json = json.dumps(texts)
        raw = vorpaline_core_py.sparse_embed_batch(texts_json, self._profile_json)
        resp = json.loads(raw)
        return _one_per_text([
            SparseResult(
                indices=(indices := item["indices"]),
                values=_parallel(indices, item["values"], "sparse_embed_batch", position),
                truncated=item.get("truncated"),
                original_chars=item.get("original_chars"),
                used_chars=item.get("used_chars"),
            )
            for position, item in enumerate(resp["embeddings"])
        ], texts)

    def embed_batch_list(
        self, texts: list[str], batch_size: int | None = None
    ) -> list[SparseResult]:
        """Embed a batch of texts and return as a list (batch_size ignored)."""
        return self.embed_batch(texts)


# The shared service, built on first request.
_sparse_service = None


def get_sparse_service() -> SparseEmbeddingService:
    """Get or create the sparse embedding service singleton."""
    global _sparse_service
    if _sparse_service is None:
        _sparse_service = SparseEmbeddingService()
    return _sparse_service


def reset_sparse_service() -> None:
    """Reset the sparse service singleton (for testing)."""
    global _sparse_service
    _sparse_service = None


def _parallel(indices, values, source, position=None):
    """Return ``values`` unless both are lists of different lengths (a broken reply)."""
    if isinstance(indices, list) and isinstance(values, list) and len(indices) != len(values):
        where = "" if position is None else f" for text {position}"
        raise ValueError(
            f"{source} returned {len(indices)} indices but {len(values)} values{where}")
    return values


def _one_per_text(records, texts):
    """Return ``records`` unless the core answered with a different count than asked."""
    if len(records) != len(texts):
        raise ValueError(
            f"sparse_embed_batch returned {len(records)} embeddings for {len(texts)} texts")
    return records
