"""
Capability enforcement for the Rust core extension.

Reads handshake() once and caches the result. Entry points call
require_capability() to fail fast when a needed capability is missing.
"""

import logging

logger: logging.Logger
# None until the first load; afterwards the core's capability names (empty without a core).
_cached_capabilities: set[str] | None
__test__: dict[str, object]

def _load_capabilities() -> set[str]: ...
def require_capability(name: str, context: str) -> None:
    """Raise RuntimeError if the named capability is not available."""
