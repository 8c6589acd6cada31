"""
Sparse embedding service using Rust vorpaline-core for BM25-style sparse vectors.

This module provides deterministic, bounded-latency sparse embeddings with
code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.
"""

import logging
from dataclasses import dataclass

from vorpaline.config import Settings

settings: Settings
logger: logging.Logger
# The shared service, or None until get_sparse_service() builds it.
_sparse_service: SparseEmbeddingService | None
__test__: dict[str, object]

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

    def __init__(self) -> None: ...
    @property
    def profile_version(self) -> str:
        """Return the profile version string for cache tagging."""
    def embed_single(self, text: str) -> SparseResult:
        """Embed a single text into a sparse vector."""
    def embed_batch(self, texts: list[str]) -> list[SparseResult]:
        """Embed a batch of texts into sparse vectors."""
    def embed_batch_list(self, texts: list[str], batch_size: int | None = None) -> list[SparseResult]:
        """Embed a batch of texts and return as a list (batch_size ignored)."""

def get_sparse_service() -> SparseEmbeddingService:
    """Get or create the sparse embedding service singleton."""

def reset_sparse_service() -> None:
    """Reset the sparse service singleton (for testing)."""
