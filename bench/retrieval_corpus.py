"""The retrieval table's corpus: the standard library's functions, methods and
classes as documents, their docstrings' first sentences as queries.

Every function, method or class is a document: its source lines (decorators
included) with every docstring inside it removed, its own and those of the
objects nested in it, so that a query never finds the text it was taken from.
An object with a docstring gives a query: the docstring's first sentence (up to
the first blank line or the first ". ", whitespace collapsed), kept when it
has at least four words and no other object's docstring starts with the same
text. Its relevant document is the object's own.

The product-path variant is a copy of the library's ``.py`` files with the same
docstrings removed, each replaced by ``...`` at its place and blank lines for
the rest of its lines: every line keeps its number and every file still parses
(a body that held only a docstring keeps a statement). Its queries name the
file and the object's definition line (the ``def`` or ``class`` line); a hit
counts when its line range holds that line.

The corpus is built once per builder version and interpreter and cached as
JSON lines under the bench build directory.

    python -m bench.retrieval_corpus [BUILD_DIR]   # builds it and prints the counts
"""
from __future__ import annotations

import ast
import json
import os
import re
import shutil
import sys
import tokenize
from collections import Counter
from collections.abc import Iterator
from dataclasses import asdict, dataclass
from pathlib import Path

from . import corpus

# Bump when the documents, queries or the stripped copy would come out differently.
BUILDER_VERSION = 2
MIN_QUERY_WORDS = 4
PLACEHOLDER = "..."

# Folders of the library's own test suites (test/, ctypes/test, tkinter/test,
# unittest/test, lib2to3/tests, distutils/tests, idlelib/idle_test) and of
# third-party packages: not library code.
EXCLUDED_NAMES = frozenset({"test", "tests", "idle_test", "site-packages", "dist-packages", "__pycache__"})

DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
WITH_DOCSTRING = (ast.Module, *DEFINITIONS)

# The line ends that Python's tokenizer counts: a form feed or a Unicode line
# separator, which str.splitlines also splits at, does not end a line.
_LINE = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\Z")


@dataclass(frozen=True)
class Document:
    id: int
    path: str  # relative to the library's root, "/"-separated
    name: str  # dotted name within the module: "Class.method"
    line: int  # the definition line, 1-based
    start: int  # first line of the document (its first decorator), 1-based
    end: int  # last line, inclusive
    text: str


@dataclass(frozen=True)
class Query:
    text: str
    document: int  # the relevant document's id
    path: str
    line: int  # the relevant object's definition line in ``path``


@dataclass(frozen=True)
class RetrievalCorpus:
    root: str  # the library the corpus was built from
    documents: list[Document]
    queries: list[Query]
    stripped_root: Path | None  # the product-path copy, when built
    skipped: list[str]  # files that do not parse (deliberately broken test inputs)
    dropped: dict[str, int]  # docstrings that gave no query, by reason

    @property
    def text_bytes(self) -> int:
        return sum(len(document.text.encode("utf-8")) for document in self.documents)


def split_lines(source: str) -> list[str]:
    """The source's lines with their ends, numbered as ``ast`` numbers them."""
    return _LINE.findall(source)


def first_sentence(docstring: str) -> str:
    """Up to the first blank line or the first ". ", whitespace collapsed."""
    paragraph = re.split(r"\n[ \t\f\v]*\n", docstring.strip(), maxsplit=1)[0]
    collapsed = " ".join(paragraph.split())
    return collapsed.split(". ", 1)[0]


def included(relative: str) -> bool:
    return not any(part in EXCLUDED_NAMES for part in relative.split("/")[:-1])


def library_files(root: str) -> list[str]:
    """The library's ``.py`` files outside its test suites, relative to ``root``, in a fixed order."""
    found = []
    for path in corpus.source_paths(root):
        relative = os.path.relpath(path, root).replace(os.sep, "/")
        if included(relative):
            found.append(relative)
    return found


def docstring_node(node: ast.AST) -> ast.Expr | None:
    """The statement that is ``node``'s docstring, as ``ast.get_docstring`` finds it."""
    body = getattr(node, "body", None)
    if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
            and isinstance(body[0].value.value, str):
        return body[0]
    return None


def char_column(line: str, byte_offset: int) -> int:
    """``ast`` gives columns as UTF-8 byte offsets."""
    return len(line.encode("utf-8")[:byte_offset].decode("utf-8", errors="replace"))


@dataclass(frozen=True)
class Span:
    """A docstring's place: lines 1-based, columns in characters, end exclusive."""
    start_line: int
    start_col: int
    end_line: int
    end_col: int


def docstring_spans(tree: ast.Module, lines: list[str]) -> list[Span]:
    spans = []
    for node in ast.walk(tree):
        if isinstance(node, WITH_DOCSTRING) and (expr := docstring_node(node)) is not None:
            spans.append(Span(expr.lineno, char_column(lines[expr.lineno - 1], expr.col_offset),
                              expr.end_lineno, char_column(lines[expr.end_lineno - 1], expr.end_col_offset)))
    return sorted(spans, key=lambda span: (span.start_line, span.start_col))


def line_end(line: str) -> str:
    return line[len(line.rstrip("\r\n")):]


def strip_docstrings(lines: list[str], spans: list[Span], placeholder: str | None) -> list[str]:
    """The lines with every span cut out. With a placeholder, it takes the span's
    place and the span's other lines stay as blank lines, so every line keeps its
    number; without one, a line that held nothing but docstring is dropped (an
    empty string in its place, for the caller to skip)."""
    out = list(lines)
    for span in spans:
        first, last = out[span.start_line - 1], out[span.end_line - 1]
        head, tail = first[:span.start_col], last[span.end_col:]
        if span.start_line == span.end_line:
            tail = first[span.end_col:]
        if placeholder is not None:
            out[span.start_line - 1] = head + placeholder + tail
            for number in range(span.start_line, span.end_line):
                out[number] = line_end(out[number])
            continue
        joined = head + tail
        out[span.start_line - 1] = "" if not joined.strip() else joined
        for number in range(span.start_line, span.end_line):
            out[number] = ""
    return out


def definitions(tree: ast.Module) -> Iterator[tuple[str, ast.AST]]:
    """The module's functions and classes and their methods and nested classes,
    in source order, with dotted names. What a function defines inside its body
    is part of that function's document, not one of its own: a search for it
    should land on the function a reader can call."""
    def visit(node: ast.AST, prefix: str) -> Iterator[tuple[str, ast.AST]]:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, DEFINITIONS):
                name = prefix + child.name
                yield name, child
                if isinstance(child, ast.ClassDef):
                    yield from visit(child, name + ".")
            elif not isinstance(child, ast.Lambda):
                yield from visit(child, prefix)
    yield from visit(tree, "")


@dataclass(frozen=True)
class Candidate:
    """A document with the first sentence of its docstring, before the corpus-wide filters."""
    document: Document
    sentence: str | None


def module_candidates(relative: str, source: str, first_id: int) -> tuple[list[Candidate], str]:
    """The documents of one module and its product-path copy; ``SyntaxError`` when it does not parse."""
    tree = ast.parse(source, filename=relative)
    lines = split_lines(source)
    spans = docstring_spans(tree, lines)
    without = strip_docstrings(lines, spans, None)
    candidates = []
    for name, node in definitions(tree):
        start = min([node.lineno] + [decorator.lineno for decorator in node.decorator_list])
        text = "".join(line for line in without[start - 1:node.end_lineno] if line)
        docstring = ast.get_docstring(node, clean=True)
        document = Document(first_id + len(candidates), relative, name, node.lineno, start, node.end_lineno, text)
        candidates.append(Candidate(document, first_sentence(docstring) if docstring else None))
    return candidates, "".join(strip_docstrings(lines, spans, PLACEHOLDER))


def choose_queries(candidates: list[Candidate]) -> tuple[list[Query], dict[str, int]]:
    """First sentences of at least ``MIN_QUERY_WORDS`` words that no other docstring starts with."""
    counts = Counter(c.sentence for c in candidates if c.sentence is not None)
    dropped = {"short": 0, "duplicate": 0}
    queries = []
    for candidate in candidates:
        sentence = candidate.sentence
        if sentence is None:
            continue
        if len(sentence.split()) < MIN_QUERY_WORDS:
            dropped["short"] += 1
        elif counts[sentence] > 1:
            dropped["duplicate"] += 1
        else:
            document = candidate.document
            queries.append(Query(sentence, document.id, document.path, document.line))
    return queries, dropped


def source_encoding(path: str) -> str:
    """The encoding Python reads the file in: its coding cookie or BOM, else UTF-8."""
    with open(path, "rb") as handle:
        return tokenize.detect_encoding(handle.readline)[0]


def build(root: str, stripped_root: Path | None) -> RetrievalCorpus:
    """The corpus of the library at ``root``; with ``stripped_root``, its product-path copy written there."""
    candidates: list[Candidate] = []
    skipped = []
    for relative in library_files(root):
        path = os.path.join(root, relative)
        try:
            source = corpus.read_source(path)
            found, stripped = module_candidates(relative, source, len(candidates))
        except (SyntaxError, UnicodeDecodeError, LookupError, ValueError):
            skipped.append(relative)
            continue
        candidates.extend(found)
        if stripped_root is not None:
            target = stripped_root / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            # In the original's encoding, so that its coding cookie stays true.
            with open(target, "w", encoding=source_encoding(path), newline="") as handle:
                handle.write(stripped)
    queries, dropped = choose_queries(candidates)
    return RetrievalCorpus(root, [c.document for c in candidates], queries, stripped_root, skipped, dropped)


def cache_dir(build_dir: Path, root: str) -> Path:
    """One folder per builder version and interpreter: another library is another corpus."""
    version = f"{sys.implementation.name}{sys.version_info.major}.{sys.version_info.minor}.{sys.version_info.micro}"
    return build_dir / f"retrieval-corpus-v{BUILDER_VERSION}-{version}"


def write_jsonl(path: Path, records: list[dict[str, object]]) -> None:
    with open(path, "w", encoding="utf-8") as handle:
        for record in records:
            handle.write(json.dumps(record, ensure_ascii=False) + "\n")


def read_jsonl(path: Path) -> list[dict[str, object]]:
    with open(path, encoding="utf-8") as handle:
        return [json.loads(line) for line in handle]


def save(built: RetrievalCorpus, folder: Path) -> None:
    write_jsonl(folder / "documents.jsonl", [asdict(d) for d in built.documents])
    write_jsonl(folder / "queries.jsonl", [asdict(q) for q in built.queries])
    (folder / "info.json").write_text(json.dumps({
        "root": built.root, "skipped": built.skipped, "dropped": built.dropped,
        "documents": len(built.documents), "queries": len(built.queries)}, indent=1), encoding="utf-8")


def load_cached(folder: Path) -> RetrievalCorpus:
    info = json.loads((folder / "info.json").read_text(encoding="utf-8"))
    documents = [Document(**record) for record in read_jsonl(folder / "documents.jsonl")]
    queries = [Query(**record) for record in read_jsonl(folder / "queries.jsonl")]
    if len(documents) != info["documents"] or len(queries) != info["queries"]:
        raise ValueError(f"the cached corpus in {folder} is incomplete")
    return RetrievalCorpus(info["root"], documents, queries, folder / "stripped", info["skipped"], info["dropped"])


def ensure(build_dir: Path, root: str | None = None) -> RetrievalCorpus:
    """The cached corpus, built first when missing. The folder is filled under a
    temporary name and renamed when complete: an interrupted build leaves no
    half corpus behind for the next run to trust."""
    root = root or corpus.stdlib_root()
    folder = cache_dir(build_dir, root)
    if (folder / "info.json").exists() and (folder / "stripped").is_dir():
        cached = load_cached(folder)
        if cached.root == root:
            return cached
    partial = folder.with_name(folder.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir(parents=True)
    built = build(root, partial / "stripped")
    save(built, partial)
    shutil.rmtree(folder, ignore_errors=True)
    partial.rename(folder)
    return load_cached(folder)


def describe(built: RetrievalCorpus) -> str:
    return (f"{len(built.documents):,} documents ({built.text_bytes / 1e6:.1f} MB), {len(built.queries):,} queries "
            f"({built.dropped['short']:,} first sentences under {MIN_QUERY_WORDS} words and "
            f"{built.dropped['duplicate']:,} shared by two or more docstrings dropped), "
            f"{len(built.skipped)} files that do not parse skipped")


if __name__ == "__main__":
    build_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "build" / "bench"
    print(describe(ensure(build_dir)))
