"""Ranking trials on the retrieval corpus: which query and scoring choices help.

Two ways of scoring, both over the core's tokens (``sparse_explain`` under the
default profile):

- the core's own index (``index_build_segment`` once, then ``index_open``'s
  ``search`` per query), for the choices the shipped search can make: BM25's
  ``k1`` and ``b`` and the query text (``vorpaline.search.queries``);
- a BM25 of the same formula in numpy, checked against the core on the
  baseline, for choices the core cannot make yet: a query word counted as often
  as it is repeated, and a name field (the chunk's first line, the file's path)
  added with a weight.

Every trial scores all the queries; the numbers are MRR@10, recall@1 and
recall@10, as in the retrieval table.

    python -m bench.ranking_trials [BUILD_DIR]    # about a minute
"""
from __future__ import annotations

import json
import re
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np
import scipy.sparse

from . import retrieval, retrieval_corpus

PATH_WORDS = re.compile(r"[^\W\d_]+")


def core_tokens(text: str, profile_json: str) -> dict[int, int]:
    """Term index -> tf, the way the core's index counts a text."""
    import vorpaline_core_py

    reply = json.loads(vorpaline_core_py.sparse_explain(text, profile_json))
    counts: dict[int, int] = {}
    for token in reply["tokens"]:
        counts[token["index"]] = counts.get(token["index"], 0) + token["tf"]
    return counts


def path_words(path: str) -> str:
    """The words of a file's path without its extension: ``json/decoder.py`` -> ``json decoder``."""
    return " ".join(PATH_WORDS.findall(path.rsplit(".", 1)[0]))


class NumpyBm25:
    """The core's BM25 (Lucene's IDF, live statistics) over a document-term matrix of tf."""

    def __init__(self, documents: Sequence[dict[int, int]]):
        self.columns: dict[int, int] = {}
        rows, cols, values = [], [], []
        for row, counts in enumerate(documents):
            for term, tf in counts.items():
                rows.append(row)
                cols.append(self.columns.setdefault(term, len(self.columns)))
                values.append(tf)
        self.tf = scipy.sparse.csr_matrix((np.array(values, float), (rows, cols)),
                                          shape=(len(documents), len(self.columns)))
        self.lengths = np.asarray(self.tf.sum(axis=1)).ravel()
        df = np.diff(self.tf.tocsc().indptr)
        n = len(documents)
        self.idf = np.log(1.0 + (n - df + 0.5) / (df + 0.5))

    def weights(self, k1: float, b: float) -> scipy.sparse.csr_matrix:
        matrix = self.tf.tocoo()
        norm = k1 * (1.0 - b + b * self.lengths / max(1.0, self.lengths.mean()))
        data = matrix.data * (k1 + 1.0) / (matrix.data + norm[matrix.row])
        return scipy.sparse.csr_matrix((data, (matrix.row, matrix.col)), shape=matrix.shape)

    def top(self, queries: Sequence[dict[int, float]], k1: float, b: float, k: int = retrieval.TOP_K) -> list[list[int]]:
        weights = self.weights(k1, b).T.tocsr()
        results: list[list[int]] = []
        for start in range(0, len(queries), 512):
            batch = queries[start:start + 512]
            rows, cols, values = [], [], []
            for row, query in enumerate(batch):
                for term, weight in query.items():
                    column = self.columns.get(term)
                    if column is not None:
                        rows.append(row)
                        cols.append(column)
                        values.append(weight * self.idf[column])
            q = scipy.sparse.csr_matrix((values, (rows, cols)), shape=(len(batch), len(self.columns)))
            scores = (q @ weights).toarray()
            for row in scores:
                best = np.argpartition(-row, k)[:k]
                # higher score first, then the earlier document, as the core breaks ties
                ordered = sorted((int(doc) for doc in best if row[doc] > 0), key=lambda doc: (-row[doc], doc))
                results.append(ordered)
        return results


def scored(results: Sequence[Sequence[int]], built: retrieval_corpus.RetrievalCorpus) -> dict[str, float]:
    return retrieval.metrics([retrieval.rank_of(list(r), q.document) for r, q in zip(results, built.queries)])


def row(label: str, figures: dict[str, float]) -> str:
    return f"| {label} | {figures['mrr10']:.3f} | {figures['recall1']:.3f} | {figures['recall10']:.3f} |"


def core_trials(built: retrieval_corpus.RetrievalCorpus, profile_json: str, folder: Path,
                prepare: Callable[[str], str]) -> list[str]:
    """The shipped path: the core's index and its search, with and without the query preparation."""
    import vorpaline_core_py

    texts = [document.text for document in built.documents]
    metadata = [str(document.id) for document in built.documents]
    segment = folder / "seg-trials"
    vorpaline_core_py.index_build_segment(str(segment), profile_json, json.dumps(texts), json.dumps(metadata))
    searcher = vorpaline_core_py.index_open(json.dumps([{"path": str(segment), "deleted": []}]))

    def run(k1: float, b: float, prepared: bool) -> dict[str, float]:
        results = []
        for query in built.queries:
            text = prepare(query.text) if prepared else query.text
            reply = json.loads(searcher.search(text, profile_json, retrieval.TOP_K, k1, b))
            results.append([int(hit["metadata"]) for hit in reply["hits"]])
        return scored(results, built)

    lines = []
    for k1, b, prepared in ((1.2, 0.75, False), (1.2, 1.0, False), (1.2, 0.75, True), (1.2, 1.0, True),
                            (1.5, 1.0, True), (2.0, 1.0, True)):
        label = f"core: k1={k1} b={b}" + (", query prepared" if prepared else "")
        lines.append(row(label, run(k1, b, prepared)))
        log(lines[-1])
    return lines


def numpy_trials(built: retrieval_corpus.RetrievalCorpus, profile_json: str,
                 prepare: Callable[[str], str]) -> list[str]:
    documents = [core_tokens(document.text, profile_json) for document in built.documents]
    queries_raw = [core_tokens(query.text, profile_json) for query in built.queries]
    queries_prepared = [core_tokens(prepare(query.text), profile_json) for query in built.queries]

    def once(counts: Sequence[dict[int, int]]) -> list[dict[int, float]]:
        return [{term: 1.0 for term in query} for query in counts]

    def repeated(counts: Sequence[dict[int, int]]) -> list[dict[int, float]]:
        return [{term: float(tf) for term, tf in query.items()} for query in counts]

    lines = []
    plain = NumpyBm25(documents)
    trials: list[tuple[str, NumpyBm25, list[dict[int, float]], float, float]] = [
        ("numpy: k1=1.2 b=0.75 (the core's baseline)", plain, once(queries_raw), 1.2, 0.75),
        ("numpy: k1=1.2 b=1.0, query prepared", plain, once(queries_prepared), 1.2, 1.0),
        ("numpy: k1=1.2 b=1.0, query prepared, repeated words counted", plain, repeated(queries_prepared), 1.2, 1.0),
    ]
    for b in (0.8, 0.9, 1.0):
        for k1 in (0.9, 1.2, 1.5, 2.0):
            trials.append((f"numpy grid: k1={k1} b={b}, query prepared", plain, once(queries_prepared), k1, b))

    def with_field(field: Callable[[retrieval_corpus.Document], str], weight: int) -> NumpyBm25:
        combined = []
        for document, counts in zip(built.documents, documents):
            extra = core_tokens(field(document), profile_json)
            merged = dict(counts)
            for term, tf in extra.items():
                merged[term] = merged.get(term, 0) + weight * tf
            combined.append(merged)
        return NumpyBm25(combined)

    def first_line(document: retrieval_corpus.Document) -> str:
        # the definition line, past any decorators: what a chunk's first code line usually is
        lines = document.text.split("\n")
        return lines[document.line - document.start] if 0 <= document.line - document.start < len(lines) else lines[0]

    for weight in (1, 2):
        index = with_field(first_line, weight)
        trials.append((f"numpy: + definition line x{weight}, k1=1.2 b=1.0, query prepared", index,
                       once(queries_prepared), 1.2, 1.0))
    for weight in (1, 2):
        index = with_field(lambda document: path_words(document.path), weight)
        trials.append((f"numpy: + path words x{weight}, k1=1.2 b=1.0, query prepared", index,
                       once(queries_prepared), 1.2, 1.0))
    index = with_field(lambda document: first_line(document) + "\n" + path_words(document.path), 1)
    trials.append(("numpy: + definition line and path words x1, k1=1.2 b=1.0, query prepared", index,
                   once(queries_prepared), 1.2, 1.0))
    for label, index, queries, k1, b in trials:
        lines.append(row(label, scored(index.top(queries, k1, b), built)))
        log(lines[-1])
    return lines


def log(message: str) -> None:
    print(f"bench: ranking: {message}", file=sys.stderr, flush=True)


def main() -> None:
    from vorpaline.search.queries import query_for_index

    build_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "build" / "bench"
    built = retrieval_corpus.ensure(build_dir)
    profile_json = retrieval.default_profile_json()
    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        lines = core_trials(built, profile_json, Path(folder), query_for_index)
    lines += numpy_trials(built, profile_json, query_for_index)
    print("| trial | MRR@10 | recall@1 | recall@10 |")
    print("|---|---|---|---|")
    print("\n".join(lines))
    log(f"{time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
