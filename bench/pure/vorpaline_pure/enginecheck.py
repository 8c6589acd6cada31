"""
Capability enforcement for the Rust core extension.

Reads handshake() once and caches the result. Entry points call
require_capability() to fail fast when a needed capability is missing.
"""
from __future__ import annotations
import json
import logging

logger = logging.getLogger(__name__)

_cached_capabilities = None


def _load_capabilities() -> set[str]:
    global _cached_capabilities
    if _cached_capabilities is not None:
        return _cached_capabilities
    try:
        import vorpaline_core_py

        resp = json.loads(vorpaline_core_py.handshake())
        _cached_capabilities = set(resp.get("capabilities", []))
    except ImportError:
        _cached_capabilities = set()
    return _cached_capabilities


def require_capability(name: str, context: str) -> None:
    """Raise RuntimeError if the named capability is not available."""
    caps = _load_capabilities()
    if name not in caps:
        raise RuntimeError(
            f"Rust core capability '{name}' required for {context} but not found. "
            f"Available: {sorted(caps)}. Rebuild the Rust extension: maturin develop --release"
        )
