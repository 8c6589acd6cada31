"""
Unified scan configuration builder for the ignore matcher.

Provides a single helper that all Python consumers (pipeline, watcher,
relationships) use to construct ScanConfigV2 payloads for the Rust
ignore-matcher-based scanner.
"""

from pathlib import Path

from vorpaline.config import Settings

settings: Settings
__test__: dict[str, object]

# The root goes into the record as str(repo_path), so a Path and its text give the same record.
def build_scan_config(repo_path: Path | str) -> dict[str, object]:
    """Build a scan config dict for the Rust ignore matcher.

    Args:
        repo_path: Absolute path to the repository root.

    Returns:
        Dict ready for JSON serialization and passing to Rust scan APIs.

    Raises:
        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust
            extension lacks the ``IgnoreBuiltinReplace`` capability.
    """
