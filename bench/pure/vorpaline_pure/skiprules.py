"""
Unified scan configuration builder for the ignore matcher.

Provides a single helper that all Python consumers (pipeline, watcher,
relationships) use to construct ScanConfigV2 payloads for the Rust
ignore-matcher-based scanner.
"""
from __future__ import annotations
from pathlib import Path

from vorpaline.config import settings


def build_scan_config(repo_path: Path) -> dict[str, object]:
    """Build a scan config dict for the Rust ignore matcher.

    Args:
        repo_path: Absolute path to the repository root.

    Returns:
        Dict ready for JSON serialization and passing to Rust scan APIs.

    Raises:
        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust
            extension lacks the ``IgnoreBuiltinReplace`` capability.
    """
    if settings.builtin_ignore_replace:
        from vorpaline_pure.enginecheck import require_capability

        require_capability("ignore_builtin_replace", "builtin_ignore_replace=True")

    return {
        "repo_root": str(repo_path),
        "builtin_patterns": list(settings.builtin_ignore_patterns),
        "extra_patterns": list(settings.extra_ignore_patterns),
        "ignore_mode": settings.ignore_mode,
        "use_gitignore": settings.ignore_mode == "git+vorpaline",
        "use_vorpalineignore": True,
        "replace_builtin_patterns": settings.builtin_ignore_replace,
    }
