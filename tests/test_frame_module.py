"""Module objects: their attributes, what their bodies bind, how often they
initialise, and what an import that fails leaves behind.

Anything that needs a pristine import runs in a fresh interpreter."""

import builtins
import dataclasses
import importlib
import json
import logging
import pathlib
import sys

import pytest

from conftest import run_python

MODULES = ["sparse", "enginecheck", "skiprules"]

DOCS = {
    "sparse": (
        "\nSparse embedding service using Rust vorpaline-core for BM25-style sparse vectors.\n"
        "\nThis module provides deterministic, bounded-latency sparse embeddings with\n"
        "code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.\n"
    ),
    "enginecheck": (
        "\nCapability enforcement for the Rust core extension.\n"
        "\nReads handshake() once and caches the result. Entry points call\n"
        "require_capability() to fail fast when a needed capability is missing.\n"
    ),
    "skiprules": (
        "\nUnified scan configuration builder for the ignore matcher.\n"
        "\nProvides a single helper that all Python consumers (pipeline, watcher,\n"
        "relationships) use to construct ScanConfigV2 payloads for the Rust\n"
        "ignore-matcher-based scanner.\n"
    ),
}

# The names each body binds, in binding order (dunder names aside).
BODY_NAMES = {
    "sparse": [
        "json",
        "logging",
        "dataclass",
        "vorpaline_core_py",
        "settings",
        "logger",
        "SparseResult",
        "SparseEmbeddingService",
        "_sparse_service",
        "get_sparse_service",
        "reset_sparse_service",
    ],
    "enginecheck": [
        "json",
        "logging",
        "logger",
        "_cached_capabilities",
        "_load_capabilities",
        "require_capability",
    ],
    "skiprules": ["Path", "settings", "build_scan_config"],
}


@pytest.fixture(params=MODULES)
def module(request, settings):
    return importlib.import_module("vorpaline." + request.param)


def test_module_attributes(module):
    short = module.__name__.rsplit(".", 1)[-1]
    spec = module.__spec__
    assert module.__name__ == spec.name == "vorpaline." + short
    assert module.__doc__ == DOCS[short]
    assert module.__package__ == "vorpaline"
    assert module.__file__ == spec.origin and module.__file__.endswith(".so")
    assert module.__loader__ is spec.loader
    assert module.__builtins__ is builtins
    assert not hasattr(module, "__path__")
    assert not hasattr(module, "__all__")


def test_body_binds_the_shared_objects(sparse, enginecheck, skiprules):
    from vorpaline.config import settings

    assert (sparse.json, sparse.logging, sparse.dataclass) == (json, logging, dataclasses.dataclass)
    assert sparse.vorpaline_core_py is sys.modules["vorpaline_core_py"]
    assert sparse.settings is settings and skiprules.settings is settings
    assert sparse.logger is logging.getLogger("vorpaline.sparse")
    assert enginecheck.logger is logging.getLogger("vorpaline.enginecheck")
    assert (enginecheck.json, enginecheck.logging) == (json, logging)
    assert skiprules.Path is pathlib.Path
    assert not hasattr(skiprules, "logger")


def test_fresh_import_binds_names_in_order(tmp_path):
    out = run_python(
        """
        import importlib, json
        report = {}
        for short in ("sparse", "enginecheck", "skiprules"):
            m = importlib.import_module("vorpaline." + short)
            names = list(vars(m))
            report[short] = {
                "body": [n for n in names if not n.startswith("__")],
                "last": names[-1],
                "test": m.__test__,
                "annotations": "__annotations__" in vars(m),
            }
        print(json.dumps(report))
        """,
        tmp_path,
    )
    report = json.loads(out)
    for short in MODULES:
        assert report[short] == {
            "body": BODY_NAMES[short],
            "last": "__test__",
            "test": {},
            "annotations": False,
        }, short


# A global each body binds, to see whether the body ran again.
BODY_GLOBAL = {"sparse": "_sparse_service", "enginecheck": "_cached_capabilities", "skiprules": "settings"}


def test_reimport_and_reload_give_the_same_module_without_rerunning_the_body(module, monkeypatch):
    short = module.__name__.rsplit(".", 1)[-1]
    marker = object()
    monkeypatch.setattr(module, BODY_GLOBAL[short], marker)
    monkeypatch.delitem(sys.modules, module.__name__)

    again = importlib.import_module(module.__name__)
    assert again is module
    assert sys.modules[module.__name__] is module
    assert importlib.reload(module) is module
    assert getattr(module, BODY_GLOBAL[short]) is marker


@pytest.mark.parametrize("short", MODULES)
def test_second_interpreter_is_refused(short, tmp_path):
    out = run_python(
        f"""
        import _xxsubinterpreters as interpreters
        import vorpaline.{short} as module
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import vorpaline.{short}")
        except interpreters.RunFailedError as exc:
            print("refused:", exc)
        else:
            print("imported")
        interpreters.destroy(sub)
        import sys, importlib
        print("same:", importlib.import_module("vorpaline.{short}") is module)
        """,
        tmp_path,
    )
    assert (
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process." in out
    )
    assert "ImportError" in out
    assert "same: True" in out


@pytest.mark.parametrize("short", MODULES)
def test_exec_on_a_second_module_object_is_refused(short, tmp_path):
    out = run_python(
        f"""
        import importlib.util, sys
        spec = importlib.util.find_spec("vorpaline.{short}")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        print("registered:", sys.modules.get("vorpaline.{short}") is first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            print("refused:", exc)
        print("created again:", importlib.util.module_from_spec(spec) is first)
        spec.loader.exec_module(first)
        print("reexec ok")
        """,
        tmp_path,
    )
    assert out.splitlines() == [
        "registered: True",
        f"refused: Module '{short}' has already been imported. Re-initialisation is not supported.",
        "created again: True",
        "reexec ok",
    ]


# ---------------------------------------------------------------- failing imports

FAILING_IMPORT = """
import importlib, json, sys, traceback
import vorpaline.config

def entries(tb):
    return [[e.filename, e.name, e.lineno] for e in traceback.extract_tb(tb)
            if e.filename.startswith("src/vorpaline/")]

class Block:
    def find_spec(self, name, path=None, target=None):
        if name == BLOCKED:
            raise ImportError("blocked " + name)

{prepare}
try:
    importlib.import_module(MODULE)
except Exception as exc:
    print(json.dumps([type(exc).__name__, str(exc), entries(exc.__traceback__),
                      MODULE in sys.modules]))
else:
    print(json.dumps(None))
{restore}
module = importlib.import_module(MODULE)
print(json.dumps([module.__test__, sorted(n for n in vars(module) if not n.startswith("__"))]))
"""

BLOCK = """
BLOCKED = {name!r}
saved = sys.modules.pop(BLOCKED, None)
sys.meta_path.insert(0, Block())
"""
UNBLOCK = """
sys.meta_path.pop(0)
if saved is not None:
    sys.modules[BLOCKED] = saved
"""
BREAK_GETLOGGER = """
BLOCKED = None
import logging
original = logging.getLogger
def broken(name):
    raise LookupError("no logger for " + name)
logging.getLogger = broken
"""
MEND_GETLOGGER = "logging.getLogger = original"
BREAK_DATACLASS = """
BLOCKED = None
import dataclasses
original = dataclasses.dataclass
def broken(cls):
    raise LookupError("no dataclass for " + cls.__name__)
dataclasses.dataclass = broken
"""
MEND_DATACLASS = "dataclasses.dataclass = original"

# module, prepare, restore, exception, message, line
MODULE_LEVEL_FAILURES = [
    ("sparse", BLOCK.format(name="json"), UNBLOCK, "ImportError", "blocked json", 8),
    ("sparse", BLOCK.format(name="logging"), UNBLOCK, "ImportError", "blocked logging", 9),
    ("sparse", BLOCK.format(name="dataclasses"), UNBLOCK, "ImportError", "blocked dataclasses", 10),
    ("sparse", BLOCK.format(name="vorpaline_core_py"), UNBLOCK, "ImportError", "blocked vorpaline_core_py", 12),
    ("sparse", BLOCK.format(name="vorpaline.config"), UNBLOCK, "ImportError", "blocked vorpaline.config", 14),
    ("sparse", BREAK_GETLOGGER, MEND_GETLOGGER, "LookupError", "no logger for vorpaline.sparse", 16),
    ("sparse", BREAK_DATACLASS, MEND_DATACLASS, "LookupError", "no dataclass for SparseResult", 19),
    ("enginecheck", BLOCK.format(name="json"), UNBLOCK, "ImportError", "blocked json", 8),
    ("enginecheck", BLOCK.format(name="logging"), UNBLOCK, "ImportError", "blocked logging", 9),
    ("enginecheck", BREAK_GETLOGGER, MEND_GETLOGGER, "LookupError", "no logger for vorpaline.enginecheck", 11),
    ("skiprules", BLOCK.format(name="pathlib"), UNBLOCK, "ImportError", "blocked pathlib", 9),
    ("skiprules", BLOCK.format(name="vorpaline.config"), UNBLOCK, "ImportError", "blocked vorpaline.config", 11),
]


@pytest.mark.parametrize(
    "short, prepare, restore, error, message, line",
    MODULE_LEVEL_FAILURES,
    ids=[f"{row[0]}-{row[5]}" for row in MODULE_LEVEL_FAILURES],
)
def test_failing_body_statement_fails_the_import_and_a_later_import_succeeds(
    short, prepare, restore, error, message, line, tmp_path
):
    code = f"MODULE = 'vorpaline.{short}'\n" + FAILING_IMPORT.format(prepare=prepare, restore=restore)
    failure, retried = [json.loads(text) for text in run_python(code, tmp_path).splitlines()]
    assert failure == [
        error,
        message,
        [[f"src/vorpaline/{short}", f"init vorpaline.{short}", line]],
        False,
    ]
    assert retried == [{}, sorted(BODY_NAMES[short])]


def test_core_marked_missing_in_sys_modules_fails_the_sparse_import(tmp_path):
    out = run_python(
        """
        import sys, traceback
        sys.modules["vorpaline_core_py"] = None
        try:
            import vorpaline.sparse
        except ImportError as exc:
            last = traceback.extract_tb(exc.__traceback__)[-1]
            print(type(exc).__name__, last.filename, last.name, last.lineno)
        else:
            print("imported with", vorpaline.sparse.vorpaline_core_py)
        del sys.modules["vorpaline_core_py"]
        import vorpaline.sparse
        print(vorpaline.sparse.vorpaline_core_py is sys.modules["vorpaline_core_py"])
        """,
        tmp_path,
    )
    assert out.splitlines() == [
        "ModuleNotFoundError src/vorpaline/sparse init vorpaline.sparse 12",
        "True",
    ]


@pytest.mark.parametrize("short, line", [("sparse", 14), ("skiprules", 11)])
def test_config_without_settings(short, line, tmp_path):
    out = run_python(
        f"""
        import sys, traceback, types
        import vorpaline
        sys.modules["vorpaline.config"] = types.ModuleType("vorpaline.config")
        try:
            import vorpaline.{short}
        except ImportError as exc:
            last = traceback.extract_tb(exc.__traceback__)[-1]
            print(exc, "|", last.name, last.lineno)
        # A registered submodule of that name stands in for the attribute.
        standin = sys.modules["vorpaline.config.settings"] = types.ModuleType("x")
        import vorpaline.{short} as module
        print(module.settings is standin)
        """,
        tmp_path,
    )
    assert out.splitlines() == [
        f"cannot import name settings | init vorpaline.{short} {line}",
        "True",
    ]


def test_missing_builtin_fails_only_the_module_that_uses_it(tmp_path):
    out = run_python(
        """
        import builtins, traceback
        import json, logging, dataclasses, pathlib, vorpaline.config, vorpaline_core_py
        saved = builtins.property
        del builtins.property
        import vorpaline.enginecheck, vorpaline.skiprules
        try:
            import vorpaline.sparse
        except NameError as exc:
            last = traceback.extract_tb(exc.__traceback__)[-1]
            print(exc, "|", last.filename, last.name, last.lineno)
        builtins.property = saved
        import vorpaline.sparse
        print(type(vars(vorpaline.sparse.SparseEmbeddingService)["profile_version"]).__name__)
        """,
        tmp_path,
    )
    assert out.splitlines() == [
        "name 'property' is not defined | src/vorpaline/sparse init vorpaline.sparse 1",
        "property",
    ]


def test_a_retried_import_resolves_its_builtins_afresh(tmp_path):
    out = run_python(
        """
        import builtins, traceback
        import json, logging, dataclasses, vorpaline.config, vorpaline_core_py
        saved = builtins.property
        def broken(getter):
            raise LookupError("broken property")
        builtins.property = broken
        try:
            import vorpaline.sparse
        except LookupError as exc:
            print(exc, [e.lineno for e in traceback.extract_tb(exc.__traceback__) if e.name.startswith("init")])
        builtins.property = saved
        import vorpaline.sparse
        print(type(vars(vorpaline.sparse.SparseEmbeddingService)["profile_version"]).__name__)
        """,
        tmp_path,
    )
    assert out.splitlines() == ["broken property [51]", "property"]
