"""The package's own modules import each other without a cycle, and the command line's help
loads neither the search package nor the native core."""

import ast
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parent.parent / "src"


def module_name(path: Path, sources: Path) -> str:
    parts = path.relative_to(sources).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _is_type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def import_time_statements(tree: ast.Module):
    """The import statements that run when the module is imported: none in a function or under TYPE_CHECKING."""
    pending = list(tree.body)
    while pending:
        node = pending.pop()
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            yield node
        elif isinstance(node, ast.If) and _is_type_checking(node.test):
            pending.extend(node.orelse)
        else:
            pending.extend(child for child in ast.iter_child_nodes(node) if isinstance(child, ast.stmt))


def _imported(node: ast.Import | ast.ImportFrom, importer: str, is_package: bool, modules: set[str]):
    if isinstance(node, ast.Import):
        yield from (alias.name for alias in node.names)
        return
    base = node.module or ""
    if node.level:
        package = (importer if is_package else importer.rpartition(".")[0]).split(".")
        anchor = ".".join(package[: len(package) - node.level + 1])
        base = f"{anchor}.{base}" if base else anchor
    for alias in node.names:
        # `from package import submodule` needs the submodule; `from module import name`, the module
        submodule = f"{base}.{alias.name}"
        yield submodule if submodule in modules else base


def every_import(tree: ast.Module):
    return (node for node in ast.walk(tree) if isinstance(node, (ast.Import, ast.ImportFrom)))


def import_graph(package: Path, statements=import_time_statements) -> dict[str, set[str]]:
    """For each module of ``package``, the package's modules it imports when it is imported (or,
    with ``statements=every_import``, anywhere: in its functions too)."""
    paths = {module_name(path, package.parent): path for path in sorted(package.rglob("*.py"))}
    graph = {}
    for name, path in paths.items():
        tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
        imported = (_imported(node, name, path.name == "__init__.py", set(paths))
                    for node in statements(tree))
        graph[name] = {target for targets in imported for target in targets if target in paths} - {name}
    return graph


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    """One cycle of ``graph`` as the modules along it, the first repeated at the end; None when it has none."""
    done, path = set(), []

    def visit(node):
        path.append(node)
        for target in sorted(graph[node]):
            if target in path:
                return path[path.index(target):] + [target]
            if target not in done and (cycle := visit(target)):
                return cycle
        done.add(path.pop())
        return None

    for node in sorted(graph):
        if node not in done and (cycle := visit(node)):
            return cycle
    return None


# Small packages named p: their files, and the cycle the check must find (None: none).
GRAPHS = [
    ({"__init__.py": "from p import a", "a.py": "from p.b import x", "b.py": "import p.a"},
     ["p.a", "p.b", "p.a"]),
    ({"__init__.py": "", "a.py": "from . import b", "b.py": "from .a import f"}, ["p.a", "p.b", "p.a"]),
    ({"__init__.py": "", "a.py": "from .sub import c", "sub/__init__.py": "", "sub/c.py": "from ..a import f"},
     ["p.a", "p.sub.c", "p.a"]),
    ({"__init__.py": "from p import a", "a.py": "from p import b", "b.py": ""}, None),
    ({"__init__.py": "from p import a", "a.py": "from p import name"}, ["p", "p.a", "p"]),
    ({"__init__.py": "", "a.py": "import p.b", "b.py": "def f():\n    import p.a\n"}, None),
    ({"__init__.py": "", "a.py": "import p.b",
      "b.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import p.a\nelse:\n    import os\n"}, None),
    ({"__init__.py": "", "a.py": "import p.b",
      "b.py": "try:\n    import p.a\nexcept ImportError:\n    pass\nclass C:\n    import os\n"},
     ["p.a", "p.b", "p.a"]),
]


@pytest.mark.parametrize("files, cycle", GRAPHS)
def test_the_check_finds_the_cycle_of_a_small_package(tmp_path, files, cycle):
    for relative, text in files.items():
        path = tmp_path / "p" / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    assert find_cycle(import_graph(tmp_path / "p")) == cycle


def test_no_cycle_hides_in_an_import_inside_a_function():
    # Such an import defers the cycle to a call, but the two modules are still one tangle.
    assert find_cycle(import_graph(SOURCES / "vorpaline", every_import)) is None


def test_the_packages_modules_import_each_other_without_a_cycle():
    graph = import_graph(SOURCES / "vorpaline")
    assert "vorpaline.cli.common" in graph["vorpaline.cli.search"]  # the graph sees the package's imports
    cycle = find_cycle(graph)
    assert cycle is None, "import cycle: " + " -> ".join(cycle)


NOT_FOR_HELP = ("vorpaline.search", "vorpaline.sparse", "vorpaline_core_py")


@pytest.mark.parametrize("argv", [["--help"], ["--version"],
                                  *([command, "--help"] for command in
                                    ("embed", "demo", "files", "index", "search", "def", "refs"))])
def test_help_loads_neither_the_search_package_nor_the_core(argv):
    done = subprocess.run([sys.executable, "-X", "importtime", "-m", "vorpaline", *argv],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    imported = {line.rpartition("|")[2].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    assert "vorpaline.cli.common" in imported
    loaded = sorted(name for name in imported if name.startswith(NOT_FOR_HELP))
    assert not loaded, f"{' '.join(argv)} imports {loaded}"


# Modules a search command has no use for, each a few milliseconds of every search's start-up.
NOT_FOR_SEARCH = ("logging", "dataclasses", "orjson", "_hashlib", "uuid", "difflib", "secrets",
                  "vorpaline.enginecheck", "vorpaline.sparse", "vorpaline.search.grep")


def test_a_search_command_imports_only_what_it_uses(tmp_path):
    (tmp_path / "a.py").write_text("def parse_url(url):\n    return url.split('://')\n")
    subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
    indexed = subprocess.run([sys.executable, "-m", "vorpaline", "index", "--quiet", str(tmp_path)],
                             capture_output=True, text=True, timeout=60)
    assert indexed.returncode == 0, indexed.stderr
    done = subprocess.run([sys.executable, "-X", "importtime", "-m", "vorpaline", "search", "parse_url"],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert done.returncode == 0 and "a.py:1" in done.stdout, done.stderr
    imported = {line.rpartition("|")[2].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    assert "vorpaline_core_py" in imported
    assert not imported & set(NOT_FOR_SEARCH), sorted(imported & set(NOT_FOR_SEARCH))
