"""Package settings.

``settings`` holds plain, assignable attributes. Each one starts from its
default and can be overridden by an environment variable named ``VORPALINE_``
followed by the attribute name in capitals (``VORPALINE_SPARSE_MAX_TEXT_CHARS``),
read once, when this module is imported. A malformed value fails the import
with a ValueError naming the variable and the value. The native modules read
the attributes at call time, so assigning one takes effect at the next call.
"""

from collections.abc import Callable, Mapping
from typing import NamedTuple

ENV_PREFIX: str
BUILTIN_IGNORE_PATTERNS: tuple[str, ...]

def parse_bool(text: str) -> bool: ...
def parse_count(text: str) -> int: ...
def parse_word(text: str) -> str: ...
def parse_number_between(low: float, high: float | None) -> Callable[[str], float]: ...
def parse_list(text: str) -> list[str]: ...

ROLES: tuple[str, ...]
ROLE_WEIGHTS: tuple[str, ...]

def parse_role_weights(text: str) -> list[str]: ...
def role_weights(items: list[str]) -> dict[str, float]: ...

class _Field(NamedTuple):
    name: str
    default: object
    parse: Callable[[str], object]
    @property
    def env_var(self) -> str: ...
    def fresh_default(self) -> object: ...

FIELDS: tuple[_Field, ...]

class Settings:
    """The package's settings; see the module docstring."""

    # The types the package's defaults and environment variables give; the
    # native modules pass the values on as they are.
    sparse_profile_version: str
    sparse_max_text_chars: int
    code_pretokenize: bool
    builtin_ignore_replace: bool
    builtin_ignore_patterns: list[str]
    extra_ignore_patterns: list[str]
    ignore_mode: str
    search_k1: float
    search_b: float
    search_query_stopwords: bool
    search_store_avglen_drift: float
    search_names_weight: float
    search_names_b: float
    search_path_weight: float
    search_path_b: float
    search_definition_boost: float
    search_role_weights: list[str]
    def __init__(self, **values: object) -> None: ...
    @classmethod
    def from_environ(cls, environ: Mapping[str, str]) -> Settings: ...

settings: Settings
