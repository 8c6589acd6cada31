"""Package settings.

``settings`` holds plain, assignable attributes. Each one starts from its
default and can be overridden by an environment variable named ``VORPALINE_``
followed by the attribute name in capitals (``VORPALINE_SPARSE_MAX_TEXT_CHARS``),
read once, when this module is imported. A malformed value fails the import
with a ValueError naming the variable and the value. The native modules read
the attributes at call time, so assigning one takes effect at the next call.
"""

import os
from collections.abc import Callable, Mapping
from typing import NamedTuple

ENV_PREFIX = "VORPALINE_"

_TRUE_WORDS = frozenset({"true", "1", "yes"})
_FALSE_WORDS = frozenset({"false", "0", "no"})


def parse_bool(text: str) -> bool:
    word = text.strip().lower()
    if word in _TRUE_WORDS:
        return True
    if word in _FALSE_WORDS:
        return False
    raise ValueError("expected one of true/false/1/0/yes/no")


def parse_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise ValueError("expected an integer") from None
    if value < 0:
        raise ValueError("expected a non-negative integer")
    return value


def parse_word(text: str) -> str:
    word = text.strip()
    if not word:
        raise ValueError("expected a non-empty value")
    return word


def parse_number_between(low: float, high: float | None) -> Callable[[str], float]:
    """A parser of a finite number from ``low`` to ``high`` (no upper bound when None)."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise ValueError("expected a number") from None
        # NaN fails every comparison, so it is refused here too
        if not (low <= value < float("inf") and (high is None or value <= high)):
            raise ValueError(f"expected a number from {low:g}" + (f" to {high:g}" if high is not None else " up"))
        return value
    return parse


def parse_list(text: str) -> list[str]:
    return [item for item in (part.strip() for part in text.split(",")) if item]


ROLES = ("test", "documentation", "changelog", "generated", "vendored", "minified")
ROLE_WEIGHTS = ("test=0.5", "documentation=0.5", "changelog=0.4", "generated=0.3", "vendored=0.5", "minified=0.2")


def parse_role_weights(text: str) -> list[str]:
    """``role=weight`` items, comma-separated: a weight from 0 for any of ROLES (the rest keep theirs)."""
    items = parse_list(text)
    for item in items:
        role, equals, weight = item.partition("=")
        if not equals or role.strip() not in ROLES:
            raise ValueError(f"expected role=weight items, a role one of {', '.join(ROLES)}")
        parse_number_between(0.0, None)(weight)
    return items


def role_weights(items: list[str]) -> dict[str, float]:
    """Every role's weight under ``items`` (as parse_role_weights gives them): later items win."""
    weights = dict(item.partition("=")[::2] for item in ROLE_WEIGHTS)
    weights.update(item.partition("=")[::2] for item in items)
    return {role.strip(): float(weight) for role, weight in weights.items()}


class _Field(NamedTuple):
    name: str
    default: object  # immutable: list settings keep a tuple here and copy it per object
    parse: Callable[[str], object]

    @property
    def env_var(self) -> str:
        return ENV_PREFIX + self.name.upper()

    def fresh_default(self) -> object:
        return list(self.default) if isinstance(self.default, tuple) else self.default


# Build output, caches, virtual environments, VCS metadata and dependency trees:
# never worth indexing, whatever the repository.
BUILTIN_IGNORE_PATTERNS = (
    ".git", ".hg", ".svn", ".bzr",
    "node_modules", "bower_components",
    "__pycache__", "*.pyc", "*.pyo", "*.egg-info",
    ".venv", "venv", ".tox", ".nox",
    ".mypy_cache", ".pytest_cache", ".ruff_cache", ".hypothesis", ".cache",
    "dist", "build", "target", ".gradle",
    "*.o", "*.so", "*.dylib", "*.dll", "*.class",
    ".idea", ".vscode", ".DS_Store",
)

FIELDS = (
    _Field("sparse_profile_version", "bm25-v1", parse_word),
    _Field("sparse_max_text_chars", 200_000, parse_count),
    _Field("code_pretokenize", True, parse_bool),
    _Field("builtin_ignore_replace", False, parse_bool),
    _Field("builtin_ignore_patterns", BUILTIN_IGNORE_PATTERNS, parse_list),
    _Field("extra_ignore_patterns", (), parse_list),
    _Field("ignore_mode", "git+vorpaline", parse_word),
    # BM25's term-frequency saturation and length normalisation at search time;
    # the defaults are the retrieval benchmark's choice (docs/benchmarks.md).
    _Field("search_k1", 2.0, parse_number_between(0.0, None)),
    _Field("search_b", 1.0, parse_number_between(0.0, 1.0)),
    _Field("search_query_stopwords", True, parse_bool),
    # A chunk's fields beside its text (weight 1): the names it defines and its file's path,
    # each a weight and a length normalisation; a chunk defining every word of the query is
    # weighed up; chunks of tests, documentation, changelogs and generated, vendored or
    # minified files are weighed down unless the query asks for them. Tuned on the
    # change-localisation and identifier benchmarks (docs/benchmarks.md).
    _Field("search_names_weight", 16.0, parse_number_between(0.0, None)),
    _Field("search_names_b", 0.75, parse_number_between(0.0, 1.0)),
    _Field("search_path_weight", 4.0, parse_number_between(0.0, None)),
    _Field("search_path_b", 0.5, parse_number_between(0.0, 1.0)),
    _Field("search_definition_boost", 2.0, parse_number_between(0.0, None)),
    _Field("search_role_weights", ROLE_WEIGHTS, parse_role_weights),
    _Field("search_store_avglen_drift", 0.02, parse_number_between(0.0, 1.0)),
)


class Settings:
    """The package's settings; see the module docstring."""

    __slots__ = tuple(field.name for field in FIELDS)  # a misspelt assignment fails loudly

    def __init__(self, **values: object) -> None:
        unknown = sorted(values.keys() - set(self.__slots__))
        if unknown:
            raise TypeError(f"unknown setting(s): {', '.join(unknown)}")
        for field in FIELDS:
            value = values.get(field.name, field.fresh_default())
            # The object owns its lists: a caller's list is copied, never shared.
            setattr(self, field.name, list(value) if isinstance(value, list) else value)

    @classmethod
    def from_environ(cls, environ: Mapping[str, str]) -> "Settings":
        overrides = {}
        for field in FIELDS:
            text = environ.get(field.env_var)
            if text is None:
                continue
            try:
                overrides[field.name] = field.parse(text)
            except ValueError as exc:
                raise ValueError(f"{field.env_var}={text!r}: {exc}") from None
        return cls(**overrides)

    def __repr__(self) -> str:
        shown = ", ".join(
            f"{field.name}={getattr(self, field.name)!r}"
            for field in FIELDS
            if hasattr(self, field.name)
        )
        return f"{type(self).__name__}({shown})"


settings = Settings.from_environ(os.environ)
