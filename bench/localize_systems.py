"""The systems of the localisation table: each is built over one tree's files
and answers a query with its ten best files, best first.

Every baseline sees the query the same way: ``bm25s.tokenize`` with its
English stop words (lower case, words of two or more word characters). bm25s
rows index tokens made the same way; tantivy indexes with its own default
tokenizer and is given those query words joined by spaces (word characters
only, so no query syntax). Results of score 0, which match no query word, are
dropped.
"""
from __future__ import annotations

import ast
import inspect
import re
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from .file_ranking import TOP_K, files_in_order

WINDOW_LINES = 40


@dataclass(frozen=True)
class SourceFile:
    path: str  # relative to the tree's root, "/"-separated
    text: str


def words(text: str) -> list[str]:
    """The query and document words of every baseline."""
    import bm25s

    return bm25s.tokenize([text], stopwords="en", return_ids=False, show_progress=False)[0]


def windows(text: str, lines: int = WINDOW_LINES) -> list[str]:
    """The text cut into windows of ``lines`` lines, none overlapping; an empty text has none."""
    split = text.splitlines()
    return ["\n".join(split[at:at + lines]) for at in range(0, len(split), lines)]


_CAMEL = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|\d+")


def name_parts(name: str) -> list[str]:
    """A name split at ``/ . _ -`` and camelCase boundaries, lower-cased: ``HTTPServer_v2`` -> http, server, v, 2."""
    return [part.lower() for piece in re.split(r"[/._\-]+", name) for part in _CAMEL.findall(piece)]


def defined_names(source: str) -> list[str]:
    """Functions, classes and assignment targets at module or class level, in source order; [] if it does not parse."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return []
    names: list[str] = []

    def visit(body: list[ast.stmt]) -> None:
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                names.append(node.name)
                if isinstance(node, ast.ClassDef):
                    visit(node.body)
            elif isinstance(node, (ast.Assign, ast.AnnAssign)):
                targets = node.targets if isinstance(node, ast.Assign) else [node.target]
                names.extend(n.id for t in targets for n in ast.walk(t) if isinstance(n, ast.Name))

    visit(tree.body)
    return names


def name_tokens(file: SourceFile) -> list[str]:
    """The words of a file's path and, for Python, of its defined names: each name whole (as a query
    word would be) and in its parts; stop words and one-letter parts dropped, as the query's are."""
    import bm25s

    stop = set(bm25s.stopwords.STOPWORDS_EN)
    tokens = name_parts(file.path)
    if file.path.endswith(".py"):
        for name in defined_names(file.text):
            tokens += [name.lower()] + name_parts(name)
    return [token for token in tokens if len(token) > 1 and token not in stop]


class Bm25sRanker:
    """bm25s over token lists, each list owned by a file; a file ranks at its best list."""

    def __init__(self, owners: list[str], tokens: list[list[str]]):
        import bm25s

        self.owners = owners
        self.retriever = bm25s.BM25()
        self.retriever.index(tokens, show_progress=False)

    def rank(self, query: str, depth: int) -> list[str]:
        query_words = words(query)
        if not query_words or not self.owners:
            return []
        found, scores = self.retriever.retrieve([query_words], k=min(depth, len(self.owners)), show_progress=False)
        return files_in_order(self.owners[int(doc)] for doc, score in zip(found[0], scores[0]) if score > 0)


class WholeFiles:
    label = "bm25s, whole files"

    def __init__(self, root: Path, files: Sequence[SourceFile], scratch: Path):
        self.ranker = Bm25sRanker([f.path for f in files], [words(f.text) for f in files])

    def rank(self, query: str) -> list[str]:
        return self.ranker.rank(query, TOP_K)


class Windows:
    label = f"bm25s, {WINDOW_LINES}-line windows"
    DEPTH = 400  # windows asked for, enough to reach ten files

    def __init__(self, root: Path, files: Sequence[SourceFile], scratch: Path):
        owners, tokens = [], []
        for file in files:
            for window in windows(file.text):
                owners.append(file.path)
                tokens.append(words(window))
        self.ranker = Bm25sRanker(owners, tokens)

    def rank(self, query: str) -> list[str]:
        return self.ranker.rank(query, self.DEPTH)


class PathsAndNames:
    label = "bm25s, path and defined names"

    def __init__(self, root: Path, files: Sequence[SourceFile], scratch: Path):
        self.ranker = Bm25sRanker([f.path for f in files], [name_tokens(f) for f in files])

    def rank(self, query: str) -> list[str]:
        return self.ranker.rank(query, TOP_K)


class Tantivy:
    label = "tantivy, whole files"

    def __init__(self, root: Path, files: Sequence[SourceFile], scratch: Path):
        import tantivy

        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False)
        builder.add_integer_field("id", stored=True, indexed=False)
        folder = scratch / "tantivy"
        folder.mkdir(parents=True, exist_ok=True)
        self.index = tantivy.Index(builder.build(), path=str(folder))
        writer = self.index.writer()
        for number, file in enumerate(files):
            writer.add_document(tantivy.Document(id=number, body=file.text))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()
        self.paths = [f.path for f in files]

    def rank(self, query: str) -> list[str]:
        query_words = words(query)
        if not query_words:
            return []
        hits = self.searcher.search(self.index.parse_query(" ".join(query_words), ["body"]), TOP_K).hits
        return [self.paths[self.searcher.doc(address)["id"][0]] for score, address in hits if score > 0]


class Vorpaline:
    """The package's index of the tree, as `vorpaline index` makes it. Its query is the text as typed: the
    index prepares queries itself. Asks for files when ``search`` takes ``files``, else enough chunks."""
    label = "vorpaline"
    FIRST_ASK = 40

    def __init__(self, root: Path, files: Sequence[SourceFile], scratch: Path):
        from vorpaline.search import Index

        self.index = Index.for_repository(root, scratch / "vorpaline")
        self.counts = self.index.update(root)
        self.by_file = "files" in inspect.signature(self.index.search).parameters

    def rank(self, query: str) -> list[str]:
        if self.by_file:
            return files_in_order(hit.path for hit in self.index.search(query, k=TOP_K, files=True))
        asked = self.FIRST_ASK
        while True:
            hits = self.index.search(query, k=asked)
            ranking = files_in_order(hit.path for hit in hits)
            if len(ranking) == TOP_K or len(hits) < asked:
                return ranking
            asked *= 4


SYSTEMS = {"vorpaline": Vorpaline, "bm25s-files": WholeFiles, "bm25s-windows": Windows, "tantivy": Tantivy,
           "bm25s-names": PathsAndNames}
BASELINES = tuple(key for key in SYSTEMS if key != "vorpaline")
