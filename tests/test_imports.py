"""The package's layers: no import cycle among its modules, and a command line that loads only what it runs."""

import ast
import pathlib
import subprocess
import sys

import vorpaline

PACKAGE = pathlib.Path(vorpaline.__file__).parent


def module_name(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def top_level_imports(path, modules):
    """The package's modules ``path`` imports, at its top or inside its functions:
    ``from package import module`` is an edge to the module, ``from module import name`` one to the module."""
    here = module_name(path)
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found |= {alias.name for alias in node.names}
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                package = here.split(".")[:len(here.split(".")) - node.level + (path.name == "__init__.py")]
                base = ".".join(package + ([base] if base else []))
            found |= {f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names}
    return {name for name in found if name.startswith("vorpaline")}


def test_no_module_of_the_package_imports_itself_through_others():
    # Imports inside functions count: a cycle hidden in one still ties the two modules together.
    modules = {module_name(path): path for path in PACKAGE.rglob("*.py")}
    graph = {name: {other for other in top_level_imports(path, modules) if other in modules and other != name}
             for name, path in modules.items()}
    state = {}

    def visit(name, trail):
        state[name] = "open"
        for other in sorted(graph[name]):
            if state.get(other) == "open":
                cycle = trail[trail.index(other):] + [other]
                raise AssertionError("import cycle: " + " -> ".join(cycle))
            if other not in state:
                visit(other, trail + [other])
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name, [name])


def test_the_help_loads_no_search_no_core_and_no_server():
    probe = ("import sys, runpy\nsys.argv = ['vorpaline', '--help']\ntry:\n    runpy.run_module('vorpaline', "
             "run_name='__main__')\nexcept SystemExit:\n    pass\nprint(sorted(m for m in sys.modules if m.startswith("
             "('vorpaline.search', 'vorpaline.server', 'vorpaline_core_py', 'starlette', 'mcp'))))")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert done.stdout.strip().splitlines()[-1] == "[]"
