"""The shipped type stubs: they match the built modules (mypy's stubtest, with no
allow-list), typed programs pass `mypy --strict` against them, and they are
precise enough to reject wrong calls.

mypy runs in a scratch directory with no MYPYPATH, so it sees the package as a
user's environment does: what the wheel installed, not the source tree.
"""

import ast
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed: the type stubs cannot be checked")
pytest.importorskip("vorpaline_core_py", reason="the native core is not built")

from test_guide import GUIDE, guide_blocks  # noqa: E402

DOCS = Path(__file__).resolve().parent.parent / "docs"
PACKAGE_MODULES = ["vorpaline.sparse", "vorpaline.enginecheck", "vorpaline.skiprules", "vorpaline.config"]
CORE = "vorpaline_core_py"

# Each line must draw exactly the mypy error named in its ignore comment: with
# --strict an ignore that no longer suppresses anything is an error itself, so
# a stub that went lax (Any, a missing parameter kind) fails this program.
MISUSE = '''
    from pathlib import Path

    import vorpaline_core_py
    from vorpaline.config import settings
    from vorpaline.enginecheck import require_capability
    from vorpaline.skiprules import build_scan_config
    from vorpaline.sparse import SparseEmbeddingService, SparseResult, get_sparse_service

    service = get_sparse_service()
    service.embed_single(b"bytes")  # type: ignore[arg-type]
    service.embed_single(None)  # type: ignore[arg-type]
    service.embed_batch(("a", "b"))  # type: ignore[arg-type]
    service.embed_batch_list(["a"], batch_size="8")  # type: ignore[arg-type]
    service.embed_single(txt="a")  # type: ignore[call-arg]
    service.profile_version = "v2"  # type: ignore[misc]
    SparseEmbeddingService("profile")  # type: ignore[call-arg]
    get_sparse_service(True)  # type: ignore[call-arg]
    SparseResult([1])  # type: ignore[call-arg]
    SparseResult(["1"], [1.0])  # type: ignore[list-item]
    require_capability("sparse_embed")  # type: ignore[call-arg]
    build_scan_config(42)  # type: ignore[arg-type]
    settings.sparse_max_text_chars = "many"  # type: ignore[assignment]
    settings.no_such_setting = 1  # type: ignore[attr-defined]
    vorpaline_core_py.sparse_embed_single(text="a", profile_json="{}")  # type: ignore[call-arg]
    vorpaline_core_py.sparse_embed_batch(["a"], "{}")  # type: ignore[arg-type]
    build_scan_config(Path("/srv/repo"))["repo_root"].upper()  # type: ignore[attr-defined]
'''

# What mypy infers for each public call; assert_type fails type-checking on any difference.
INFERENCE = '''
    from pathlib import Path
    from typing import assert_type

    import vorpaline_core_py
    from vorpaline.config import Settings, settings
    from vorpaline.enginecheck import _load_capabilities, require_capability
    from vorpaline.skiprules import build_scan_config
    from vorpaline.sparse import SparseEmbeddingService, SparseResult, get_sparse_service, reset_sparse_service

    service = get_sparse_service()
    assert_type(service, SparseEmbeddingService)
    assert_type(reset_sparse_service(), None)
    assert_type(service.profile_version, str)
    result = service.embed_single("text")
    assert_type(result, SparseResult)
    assert_type(result.indices, list[int])
    assert_type(result.values, list[float])
    assert_type(result.truncated, bool | None)
    assert_type(result.original_chars, int | None)
    assert_type(result.used_chars, int | None)
    assert_type(service.embed_batch(["a"]), list[SparseResult])
    assert_type(service.embed_batch_list(["a"]), list[SparseResult])
    assert_type(service.embed_batch_list(["a"], None), list[SparseResult])
    assert_type(SparseResult(indices=[1], values=[0.5], truncated=None), SparseResult)
    assert_type(require_capability(name="sparse_embed", context="example"), None)
    assert_type(_load_capabilities(), set[str])
    assert_type(build_scan_config(Path("/srv/repo")), dict[str, object])
    assert_type(build_scan_config("/srv/repo"), dict[str, object])
    assert_type(settings, Settings)
    assert_type(settings.ignore_mode, str)
    assert_type(settings.builtin_ignore_patterns, list[str])
    assert_type(vorpaline_core_py.handshake(), str)
    assert_type(vorpaline_core_py.sparse_embed_single("text", "{}"), str)
    assert_type(vorpaline_core_py.hit_snippets('{"hits": []}', "{}"), str)
    assert_type(vorpaline_core_py.__version__, str)
    match result:
        case SparseResult(indices, values):
            assert_type(indices, list[int])
'''


def mypy_environment():
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    env.pop("PYTHONPATH", None)
    return env


def run_mypy_module(module, args, workdir):
    return subprocess.run(
        [sys.executable, "-m", module, *args],
        cwd=workdir,
        env=mypy_environment(),
        capture_output=True,
        text=True,
        timeout=600,
    )


def stubtest(modules, workdir):
    return run_mypy_module("mypy.stubtest", ["--concise", *modules], workdir)


def mypy_strict(paths, workdir):
    args = ["--strict", "--no-error-summary", "--cache-dir", str(workdir / ".mypy_cache"), *map(str, paths)]
    return run_mypy_module("mypy", args, workdir)


def test_stubs_match_the_package_modules(tmp_path):
    proc = stubtest(PACKAGE_MODULES, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_core_stub_is_installed_where_mypy_finds_it_and_matches_the_core(tmp_path):
    proc = stubtest([CORE], tmp_path)
    # "failed to find stubs": the stub is not installed where mypy looks for a
    # top-level module's stub (a vorpaline_core_py-stubs package). "should be
    # positional or keyword": the core takes positional arguments only, so the
    # signatures at the head of its docstrings must end in ", /" as the stub's do.
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_programs_pass_mypy_strict(tmp_path):
    programs = sorted((DOCS / "examples").glob("*.py"))
    for language, code, _, line in guide_blocks(GUIDE.read_text(encoding="utf-8")):
        if language == "python":
            programs.append(tmp_path / f"guide_line{line}.py")
            programs[-1].write_text(code, encoding="utf-8")
    for name, source in (("misuse.py", MISUSE), ("inference.py", INFERENCE)):
        programs.append(tmp_path / name)
        programs[-1].write_text(textwrap.dedent(source), encoding="utf-8")
    proc = mypy_strict(programs, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def stub_path(module):
    runtime = __import__(module, fromlist=["_"])
    candidates = [Path(runtime.__file__).with_name(module.rpartition(".")[2] + ".pyi")]
    if "." not in module:
        candidates.insert(0, Path(runtime.__file__).parent / f"{module}-stubs" / "__init__.pyi")
    return next((path for path in candidates if path.exists()), None)


def stub_docstrings(path):
    """{qualified name: docstring} of the module, its classes and their functions."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    found = {"": ast.get_docstring(tree)}

    def visit(nodes, prefix):
        for node in nodes:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                found[prefix + node.name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    visit(node.body, prefix + node.name + ".")

    visit(tree.body, "")
    return found


def runtime_object(module, qualname):
    obj = module
    for part in filter(None, qualname.split(".")):
        obj = inspect.getattr_static(obj, part)
    return obj.fget if isinstance(obj, property) else obj


@pytest.mark.parametrize("module", ["vorpaline.sparse", "vorpaline.enginecheck", "vorpaline.skiprules", CORE])
def test_stub_docstrings_are_the_runtime_docstrings(module):
    # Editors show the stub's docstrings; they must not drift from help()'s.
    path = stub_path(module)
    assert path is not None, f"no stub installed for {module}"
    runtime = __import__(module, fromlist=["_"])
    for qualname, doc in stub_docstrings(path).items():
        if doc is not None:
            assert doc == inspect.getdoc(runtime_object(runtime, qualname)), qualname or module


@pytest.mark.parametrize("module", ["vorpaline.sparse", "vorpaline.enginecheck", "vorpaline.skiprules"])
def test_package_ships_typing_marker_and_stub(module):
    runtime = __import__(module, fromlist=["_"])
    assert (Path(runtime.__file__).parent / "py.typed").is_file()
    assert stub_path(module) is not None
