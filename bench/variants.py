"""The three builds of the package's operations that the call-overhead table
compares: the compiled modules, their plain-Python versions and the floor.

Each variant is set up on a fake core whose replies are fixed, so that the
frame and the Python-level work are what a call costs.
"""
from __future__ import annotations

import json
import sys
import types
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import vorpaline_core_py

from .floor import build as floor_build

PURE_DIR = Path(__file__).resolve().parent / "pure"
CAPABILITIES = frozenset({"ignore_builtin_replace", "sparse_embed", "sparse_embed_batch"})
SINGLE_TEXT = "def getUserName(self): return self.user_name  # HTTPServer"
BATCH_TEXTS = ["import os.path", "class LRUCache(dict): pass", "parse_http_list(s)", "x = 1"]


@dataclass
class Variant:
    """The callables of one build, ready to be timed."""
    name: str
    get_sparse_service: object
    require_capability: object
    build_scan_config: object
    service: object
    globals: dict | None = None  # the floor's stand-in for module globals


@dataclass
class Modules:
    sparse: ModuleType
    enginecheck: ModuleType
    skiprules: ModuleType


def fake_core(floor: ModuleType, profile_json: str) -> types.SimpleNamespace:
    """A core whose functions are C functions returning the real core's replies
    for the benchmark's texts, fixed in advance."""
    single = vorpaline_core_py.sparse_embed_single(SINGLE_TEXT, profile_json)
    batch = vorpaline_core_py.sparse_embed_batch(json.dumps(BATCH_TEXTS), profile_json)
    floor.set_fake_replies(single, batch)
    return types.SimpleNamespace(
        sparse_embed_single=floor.fake_embed_single, sparse_embed_batch=floor.fake_embed_batch)


def compiled_modules() -> Modules:
    from vorpaline import enginecheck, skiprules, sparse
    return Modules(sparse, enginecheck, skiprules)


def pure_modules() -> Modules | None:
    """The plain-Python versions, when bench/pure has them."""
    if str(PURE_DIR) not in sys.path:
        sys.path.insert(0, str(PURE_DIR))
    try:
        from vorpaline_pure import enginecheck, skiprules, sparse
    except ImportError:
        return None
    return Modules(sparse, enginecheck, skiprules)


@contextmanager
def module_variant(name: str, modules: Modules, core: object) -> Iterator[Variant]:
    """The modules with the fake core and a loaded capability set; restored afterwards."""
    saved_core = modules.sparse.vorpaline_core_py
    saved_caps = modules.enginecheck._cached_capabilities
    modules.sparse.vorpaline_core_py = core
    modules.enginecheck._cached_capabilities = set(CAPABILITIES)
    modules.sparse.reset_sparse_service()
    try:
        yield Variant(name, modules.sparse.get_sparse_service, modules.enginecheck.require_capability,
                      modules.skiprules.build_scan_config, modules.sparse.get_sparse_service())
    finally:
        modules.sparse.vorpaline_core_py = saved_core
        modules.enginecheck._cached_capabilities = saved_caps
        modules.sparse.reset_sparse_service()


def floor_variant(floor: ModuleType, core: object, record_class: type, profile_json: str) -> Variant:
    """The floor's functions over a globals dict that holds what the modules' globals would."""
    from vorpaline.config import settings

    service_class = type("SparseEmbeddingService", (floor.ServiceBase,), {})
    service = service_class()
    service._profile_json = profile_json
    globals_dict = {
        "json": json,
        "vorpaline_core_py": core,
        "settings": settings,
        "SparseResult": record_class,
        "SparseEmbeddingService": service_class,
        "_sparse_service": service,
        "_cached_capabilities": set(CAPABILITIES),
        "_load_capabilities": floor._load_capabilities,
    }
    floor.use_globals(globals_dict)
    return Variant("floor", floor.get_sparse_service, floor.require_capability, floor.build_scan_config, service,
                   globals_dict)


def load_floor(build_dir: Path) -> ModuleType:
    return floor_build.load(build_dir)
