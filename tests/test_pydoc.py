"""help(), pydoc and typing.get_type_hints on the extension modules: every
function shows its signature and docstring, and every annotation resolves."""

import contextlib
import html
import inspect
import io
import pathlib
import pydoc
import subprocess
import sys
import typing

import pytest

pytest.importorskip("vorpaline_core_py", reason="the native core is not built")

# (module, path from the module, signature as help() prints it, first docstring line or None)
FUNCTIONS = [
    ("vorpaline.sparse", "SparseEmbeddingService.__init__", "(self) -> 'None'", None),
    ("vorpaline.sparse", "SparseEmbeddingService.embed_single", "(self, text: 'str') -> 'SparseResult'",
     "Embed a single text into a sparse vector."),
    ("vorpaline.sparse", "SparseEmbeddingService.embed_batch", "(self, texts: 'list[str]') -> 'list[SparseResult]'",
     "Embed a batch of texts into sparse vectors."),
    ("vorpaline.sparse", "SparseEmbeddingService.embed_batch_list",
     "(self, texts: 'list[str]', batch_size: 'int | None' = None) -> 'list[SparseResult]'",
     "Embed a batch of texts and return as a list (batch_size ignored)."),
    ("vorpaline.sparse", "get_sparse_service", "() -> 'SparseEmbeddingService'",
     "Get or create the sparse embedding service singleton."),
    ("vorpaline.sparse", "reset_sparse_service", "() -> 'None'", "Reset the sparse service singleton (for testing)."),
    ("vorpaline.enginecheck", "_load_capabilities", "() -> 'set[str]'", None),
    ("vorpaline.enginecheck", "require_capability", "(name: 'str', context: 'str') -> 'None'",
     "Raise RuntimeError if the named capability is not available."),
    ("vorpaline.skiprules", "build_scan_config", "(repo_path: 'Path') -> 'dict[str, object]'",
     "Build a scan config dict for the Rust ignore matcher."),
]
FUNCTION_IDS = [f"{module}.{path}" for module, path, _, _ in FUNCTIONS]

pytest.importorskip("vorpaline_core_py", reason="the native core is not built")


def resolve(module_name, path):
    obj = __import__(module_name, fromlist=["_"])
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.fixture(scope="module")
def pages():
    """The plain-text help page of each module, rendered once."""
    return {
        name: pydoc.render_doc(__import__(name, fromlist=["_"]), renderer=pydoc.plaintext)
        for name in ("vorpaline.sparse", "vorpaline.enginecheck", "vorpaline.skiprules")
    }


# help() leaves private module functions out, as it does for Python modules.
PUBLIC = [f for f in FUNCTIONS if not f[1].startswith("_")]


def page_lines(page):
    return [line.strip().lstrip("|").strip() for line in page.splitlines()]


@pytest.mark.parametrize("module, path, signature, doc", PUBLIC, ids=[f"{m}.{p}" for m, p, _, _ in PUBLIC])
def test_help_page_shows_signature_and_docstring(pages, module, path, signature, doc):
    lines = page_lines(pages[module])
    heading = path.rpartition(".")[2] + signature
    assert heading in lines
    if doc is not None:
        assert lines[lines.index(heading) + 1] == doc


def test_help_shows_the_classes_the_property_and_the_record_fields(pages):
    page = pages["vorpaline.sparse"]
    assert "class SparseEmbeddingService(builtins.object)" in page
    assert "class SparseResult(builtins.object)" in page
    assert "Readonly properties defined here:" in page
    lines = page_lines(page)
    assert lines[lines.index("profile_version") + 1] == "Return the profile version string for cache tagging."
    assert (
        "SparseResult(indices: 'list[int]', values: 'list[float]', truncated: 'bool | None' = None, "
        "original_chars: 'int | None' = None, used_chars: 'int | None' = None) -> None"
    ) in page
    assert "releases the GIL during computation" in page


@pytest.mark.parametrize("module", ["vorpaline.sparse", "vorpaline.enginecheck", "vorpaline.skiprules"])
def test_help_builtin_prints_the_module_page(module):
    target = __import__(module, fromlist=["_"])
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        help(target)
    assert f"module {module} in vorpaline" in out.getvalue()
    assert "FUNCTIONS" in out.getvalue()


@pytest.mark.parametrize(
    "module, heading",
    [
        ("vorpaline.sparse", "embed_batch_list(self, texts: 'list[str]', batch_size: 'int | None' = None)"),
        ("vorpaline.skiprules", "build_scan_config(repo_path: 'Path') -> 'dict[str, object]'"),
    ],
)
def test_pydoc_command_and_html(module, heading, tmp_path):
    proc = subprocess.run(
        [sys.executable, "-m", "pydoc", module], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert heading in proc.stdout
    page = pydoc.html.page(module, pydoc.html.document(__import__(module, fromlist=["_"])))
    name, _, signature = heading.partition("(")
    assert f"<strong>{name}</strong></a>{html.escape('(' + signature, quote=False)}" in page


def test_pydoc_of_a_single_method_and_a_bound_method(sparse):
    service = sparse.get_sparse_service()
    text = pydoc.render_doc(sparse.SparseEmbeddingService.embed_single, renderer=pydoc.plaintext)
    assert "embed_single(self, text: 'str') -> 'SparseResult'" in text
    bound = pydoc.render_doc(service.embed_batch, renderer=pydoc.plaintext)
    assert "embed_batch(texts: 'list[str]') -> 'list[SparseResult]' method of" in bound


# --------------------------------------------------------------- type hints


def expected_hints():
    import vorpaline.sparse as sparse

    record, service = sparse.SparseResult, sparse.SparseEmbeddingService
    return {
        "SparseEmbeddingService.__init__": {"return": type(None)},
        "SparseEmbeddingService.embed_single": {"text": str, "return": record},
        "SparseEmbeddingService.embed_batch": {"texts": list[str], "return": list[record]},
        "SparseEmbeddingService.embed_batch_list": {
            "texts": list[str], "batch_size": int | None, "return": list[record]
        },
        "get_sparse_service": {"return": service},
        "reset_sparse_service": {"return": type(None)},
        "_load_capabilities": {"return": set[str]},
        "require_capability": {"name": str, "context": str, "return": type(None)},
        "build_scan_config": {"repo_path": pathlib.Path, "return": dict[str, object]},
    }


@pytest.mark.parametrize("module, path", [f[:2] for f in FUNCTIONS], ids=FUNCTION_IDS)
def test_get_type_hints_resolves_every_annotation(module, path):
    assert typing.get_type_hints(resolve(module, path)) == expected_hints()[path]


def test_get_type_hints_of_the_record_and_the_property(sparse):
    assert typing.get_type_hints(sparse.SparseResult) == {
        "indices": list[int],
        "values": list[float],
        "truncated": bool | None,
        "original_chars": int | None,
        "used_chars": int | None,
    }
    assert typing.get_type_hints(sparse.SparseEmbeddingService.profile_version.fget) == {"return": str}


def test_get_type_hints_of_bound_methods(sparse):
    service = sparse.get_sparse_service()
    assert typing.get_type_hints(service.embed_single) == {"text": str, "return": sparse.SparseResult}


def test_signature_with_evaluated_annotations(sparse):
    signature = inspect.signature(sparse.SparseEmbeddingService.embed_batch_list, eval_str=True)
    assert [p.annotation for p in signature.parameters.values()] == [inspect.Parameter.empty, list[str], int | None]
    assert signature.return_annotation == list[sparse.SparseResult]
