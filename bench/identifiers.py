"""Table 10: an identifier's definition found from its bare name.

The tree: a copy of the standard library's ``.py`` files outside its test
suites and third-party folders (the files of the retrieval table,
``retrieval_corpus.library_files``), the files that do not parse left out.
A name qualifies when the tree defines it exactly once, as a function or
class at module level or in a class body (no other ``def``, ``class`` or
module- or class-level assignment of it anywhere), is not a dunder, and
occurs as a word (``\\w+``) in at least 3 other files. 500 of them, drawn
with a fixed seed, are the queries; a hit is right when its file is the
definition's and its line range holds the ``def``/``class`` line.

When the index has ``definitions(name)``: the share of names whose listing
holds their definition (file, and the ``def``/``class`` line or the first
decorator's), and how many listed entries are no definition of the name by
``ast`` (no ``def``, ``class`` or assignment to it at that line).

    python -m bench --only identifiers    # the table, printed
"""
from __future__ import annotations

import ast
import datetime
import json
import random
import re
import shutil
import sys
import time
from collections import Counter, defaultdict
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

from . import corpus, localize, machine, retrieval, retrieval_corpus

# Debian's library, the one the system's tools run on; the interpreter's own where there is none.
DEBIAN_LIBRARY = Path("/usr/lib/python3.11")
SAMPLE = 500
SEED = 20261208
MIN_OTHER_FILES = 3
DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
_WORD = re.compile(r"\w+")


@dataclass(frozen=True)
class Definition:
    name: str
    path: str
    line: int  # the def or class line
    lines: frozenset[int]  # lines that count as the definition's: that one and its first decorator's


def definition_lines(node: ast.stmt) -> frozenset[int]:
    decorators = getattr(node, "decorator_list", [])
    return frozenset({node.lineno, *(d.lineno for d in decorators[:1])})


def assigned_names(node: ast.stmt) -> Iterable[tuple[str, int]]:
    if isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
        targets = node.targets if isinstance(node, ast.Assign) else [node.target]
        for target in targets:
            for found in ast.walk(target):
                if isinstance(found, ast.Name):
                    yield found.id, found.lineno


def outer_definitions(tree: ast.Module) -> Iterable[ast.stmt]:
    """Functions and classes at module level or in a (nested) class body: the ones that qualify."""
    pending = list(tree.body)
    while pending:
        node = pending.pop()
        if isinstance(node, DEFINITIONS):
            yield node
            if isinstance(node, ast.ClassDef):
                pending.extend(node.body)


def definition_sites(tree: ast.Module) -> dict[str, set[int]]:
    """Every line where ``ast`` sees a name defined: any def or class (its lines), any assignment target."""
    sites: dict[str, set[int]] = defaultdict(set)
    for node in ast.walk(tree):
        if isinstance(node, DEFINITIONS):
            sites[node.name] |= definition_lines(node)
        for name, line in assigned_names(node) if isinstance(node, ast.stmt) else ():
            sites[name].add(line)
    return sites


def competing_definitions(tree: ast.Module) -> Counter[str]:
    """How often each name is defined: every def or class anywhere, module- and class-level assignments."""
    counts: Counter[str] = Counter(node.name for node in ast.walk(tree) if isinstance(node, DEFINITIONS))
    pending = list(tree.body)
    while pending:
        node = pending.pop()
        counts.update(name for name, _ in assigned_names(node))
        if isinstance(node, ast.ClassDef):
            pending.extend(node.body)
    return counts


@dataclass
class Library:
    trees: dict[str, ast.Module]  # by path, the files that parse
    words: dict[str, frozenset[str]]


def read_library(root: Path, paths: Iterable[str]) -> Library:
    trees, words = {}, {}
    for path in paths:
        if localize.text_of(root / path) is None:
            continue  # a file the index does not take: its names could not be found
        try:
            source = corpus.read_source(str(root / path))
            trees[path] = ast.parse(source)
        except (SyntaxError, ValueError, LookupError):
            continue  # deliberately broken inputs
        words[path] = frozenset(_WORD.findall(source))
    return Library(trees, words)


def qualifying(library: Library) -> list[Definition]:
    """The definitions that qualify, in a fixed order."""
    counts: Counter[str] = Counter()
    for tree in library.trees.values():
        counts.update(competing_definitions(tree))
    using: Counter[str] = Counter(word for words in library.words.values() for word in words)
    found = []
    for path, tree in sorted(library.trees.items()):
        for node in outer_definitions(tree):
            name = node.name
            if counts[name] != 1 or (name.startswith("__") and name.endswith("__")):
                continue
            if using[name] - (name in library.words[path]) >= MIN_OTHER_FILES:
                found.append(Definition(name, path, node.lineno, definition_lines(node)))
    return sorted(found, key=lambda d: (d.path, d.line))


def copied_tree(root: Path, paths: Iterable[str], tree: Path) -> Path:
    """The files copied under ``tree`` (made afresh): the index sees those alone."""
    shutil.rmtree(tree, ignore_errors=True)
    for path in paths:
        (tree / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(root / path, tree / path)
    return tree


def listed_only(library: Library, tree: Path) -> Library:
    """The files the scanner lists in the copy (its built-in patterns leave out ``venv/``, for one)."""
    from vorpaline.search import listed_files

    listed = {f.path for f in listed_files(str(tree), None)}
    return Library({p: t for p, t in library.trees.items() if p in listed},
                   {p: w for p, w in library.words.items() if p in listed})


def listed_place(entry: object, root: Path) -> tuple[str, int]:
    """A definitions() entry as (path relative to the tree, line): a record with path and line, or a pair."""
    path = getattr(entry, "path", None)
    line = getattr(entry, "line", None)
    if path is None or line is None:
        path, line = entry[0], entry[1]
    path = str(path)
    if path.startswith("/"):
        path = str(Path(path).relative_to(root))
    return path, int(line)


def definitions_check(index: object, queries: list[Definition], library: Library, root: Path) -> dict[str, object]:
    listed = found = wrong = 0
    sites: dict[str, dict[str, set[int]]] = {}
    for query in queries:
        places = [listed_place(entry, root) for entry in index.definitions(query.name)]
        listed += len(places)
        found += any(path == query.path and line in query.lines for path, line in places)
        for path, line in places:
            if path not in sites:
                sites[path] = definition_sites(library.trees[path]) if path in library.trees else {}
            wrong += line not in sites[path].get(query.name, ())
    return {"found": found / len(queries), "listed": listed, "not_definitions": wrong}


def search_ranks(index: object, queries: list[Definition]) -> tuple[list[int | None], int | None]:
    """Each query's rank of the definition's chunk, and (with ``Hit.line``) how many first hits name its line."""
    ranks, on_line = [], 0
    has_line = None
    for query in queries:
        hits = index.search(query.name, k=retrieval.TOP_K)
        ranks.append(retrieval.rank_in_file([(h.path, h.start_line, h.end_line) for h in hits], query.path,
                                            query.line))
        if hits and hasattr(hits[0], "line"):
            has_line = True
            on_line += hits[0].path == query.path and hits[0].line in query.lines
    return ranks, on_line if has_line else None


def run(build_dir: Path, library_root: str | None = None) -> dict[str, object]:
    started = time.perf_counter()
    measured_at = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                   "load_average": machine.load_average()}
    if not retrieval.vorpaline_available():
        return {"status": retrieval.NOT_BUILT, **measured_at}
    from vorpaline.search import Index

    root = Path(library_root or (DEBIAN_LIBRARY if DEBIAN_LIBRARY.is_dir() else corpus.stdlib_root()))
    library = read_library(root, retrieval_corpus.library_files(str(root)))
    work = build_dir.resolve() / "identifiers"
    tree = copied_tree(root, sorted(library.trees), work / "tree")
    library = listed_only(library, tree)
    candidates = qualifying(library)
    queries = random.Random(SEED).sample(candidates, min(SAMPLE, len(candidates)))
    shutil.rmtree(work / "index", ignore_errors=True)
    index = Index.for_repository(tree, work / "index")
    counts = index.update(tree)
    ranks, on_line = search_ranks(index, queries)
    result = {"status": "measured", **measured_at, "root": str(root), "files": len(library.trees),
              "indexed": counts.indexed, "candidates": len(candidates), "queries": len(queries),
              "seed": SEED, **retrieval.metrics(ranks), "line_rank1": None if on_line is None else on_line / len(queries)}
    if hasattr(index, "definitions"):
        result["definitions"] = definitions_check(index, queries, library, tree)
    shutil.rmtree(work, ignore_errors=True)
    return {**result, "seconds": time.perf_counter() - started}


if __name__ == "__main__":
    print(json.dumps(run(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("build/bench")), indent=1))
