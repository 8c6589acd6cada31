"""Table 7: finding a function from the first sentence of its docstring.

The corpus of ``bench/retrieval_corpus.py``: the standard library's functions,
methods and classes with their docstrings removed, each docstring's first
sentence a query whose one relevant document is the object it came from.
Ranking quality (MRR@10, recall@1, recall@10 over every query) of

- bm25s with its own tokenizer and defaults,
- bm25s given the core's code-aware tokens (``sparse_explain`` under the
  package's default profile, each token repeated as often as it occurs),
- tantivy with its default tokenizer, one text field,
- the package's own index (``vorpaline.search``), when it is built;

then speed, the contenders taking turns in each round: index build throughput
over the documents' text, queries per second one query at a time on one
thread, p99 latency of a query, and the index's size on disk.

    python -m bench --only retrieval    # the tables, printed
"""
from __future__ import annotations

import concurrent.futures
import datetime
import json
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

from . import machine, retrieval_corpus, timing

TOP_K = 10
NOT_BUILT = "not built yet"


# --- metrics -------------------------------------------------------------------------------------

def rank_of(ranking: Sequence[object], relevant: object, k: int = TOP_K) -> int | None:
    """The 1-based place of ``relevant`` among the first ``k`` results, or None."""
    for place, result in enumerate(ranking[:k], start=1):
        if result == relevant:
            return place
    return None


def rank_in_file(hits: Sequence[tuple[str, int, int]], path: str, line: int, k: int = TOP_K) -> int | None:
    """For the product path: the first of ``k`` hits (path, first line, last line)
    whose lines in ``path`` hold ``line``."""
    for place, (hit_path, start, end) in enumerate(hits[:k], start=1):
        if hit_path == path and start <= line <= end:
            return place
    return None


def metrics(ranks: Sequence[int | None]) -> dict[str, float]:
    """MRR@10, recall@1 and recall@10 over every query; a query not answered in the top ten counts 0."""
    if not ranks:
        raise ValueError("no queries to score")
    found = [rank for rank in ranks if rank is not None and rank <= TOP_K]
    return {"mrr10": sum(1.0 / rank for rank in found) / len(ranks),
            "recall1": sum(1 for rank in found if rank == 1) / len(ranks),
            "recall10": len(found) / len(ranks)}


# --- tokens and query text -----------------------------------------------------------------------

def default_profile_json() -> str:
    """The profile the package embeds with by default: the one a search would tokenise with."""
    from vorpaline.sparse import get_sparse_service

    return get_sparse_service()._profile_json


def code_tokens(text: str, profile_json: str) -> tuple[list[str], bool]:
    """The core's tokens of ``text``, each repeated ``tf`` times (bm25s counts
    the repeats), and whether the profile's character limit cut the text."""
    import vorpaline_core_py

    reply = json.loads(vorpaline_core_py.sparse_explain(text, profile_json))
    tokens = [item["token"] for item in reply["tokens"] for _ in range(item["tf"])]
    return tokens, bool(reply.get("truncated"))


def tantivy_query_text(query: str) -> str:
    """The query with every character that is not a letter or digit made a space,
    and lower-cased. Tantivy's default tokenizer splits at those characters and
    lower-cases anyway, so the terms are the same; what goes is all of the query
    syntax (``:``, quotes, brackets, ``+``/``-``, ``*``, ``^``, ``~``...) and the
    upper-case operators AND, OR, NOT and IN, so every query parses as the
    disjunction of its words."""
    return " ".join("".join(ch if ch.isalnum() else " " for ch in query).lower().split())


# --- contenders ----------------------------------------------------------------------------------

class Bm25s:
    """bm25s's BM25 with its defaults; ``tokens`` None means bm25s's own tokenizer
    (``bm25s.tokenize`` as it comes, English stop words and all)."""

    def __init__(self, tokens: Callable[[str], list[str]] | None = None):
        self.tokens = tokens
        self.retriever = None

    def _tokenized(self, texts: list[str]) -> object:
        import bm25s

        if self.tokens is None:
            return bm25s.tokenize(texts, show_progress=False)
        return [self.tokens(text) for text in texts]

    def build(self, texts: list[str]) -> None:
        import bm25s

        self.retriever = bm25s.BM25()
        self.retriever.index(self._tokenized(texts), show_progress=False)

    def search_batch(self, queries: list[str]) -> list[list[int]]:
        results, _ = self.retriever.retrieve(self._tokenized(queries), k=TOP_K, show_progress=False)
        return [list(map(int, row)) for row in results]

    def search(self, query: str) -> list[int]:
        results, _ = self.retriever.retrieve(self._tokenized([query]), k=TOP_K, show_progress=False)
        return list(map(int, results[0]))

    def save(self, folder: Path) -> None:
        self.retriever.save(str(folder), show_progress=False)


class Tantivy:
    """A tantivy index in a folder: one indexed text field, the document's number stored beside it."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.index = None
        self.searcher = None

    def build(self, texts: list[str]) -> None:
        import tantivy

        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False)
        builder.add_integer_field("id", stored=True, indexed=False)
        self.index = tantivy.Index(builder.build(), path=str(self.folder))
        writer = self.index.writer()
        for number, text in enumerate(texts):
            writer.add_document(tantivy.Document(id=number, body=text))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    def search(self, query: str) -> list[int]:
        parsed = self.index.parse_query(tantivy_query_text(query), ["body"])
        hits = self.searcher.search(parsed, TOP_K).hits
        return [self.searcher.doc(address)["id"][0] for _, address in hits]

    def search_batch(self, queries: list[str]) -> list[list[int]]:
        return [self.search(query) for query in queries]

    def save(self, folder: Path) -> None:
        pass  # the index lives in its folder already


# The package's index, written against the interface it is to have; only this
# class knows that interface, so a change to it is a change here.
def vorpaline_available() -> bool:
    try:
        import vorpaline.search  # noqa: F401
    except ImportError:
        return False
    return True


class Vorpaline:
    def __init__(self, folder: Path):
        self.folder = folder
        self.index = None

    def build(self, texts: list[str]) -> None:
        from vorpaline.search import Index

        self.index = Index.create(self.folder)
        self.index.add_documents([str(number) for number in range(len(texts))], texts)
        commit = getattr(self.index, "commit", None)
        if commit is not None:
            commit()

    def search(self, query: str) -> list[int]:
        return [int(hit.id) for hit in self.index.search(query, k=TOP_K)]

    def search_batch(self, queries: list[str]) -> list[list[int]]:
        return [self.search(query) for query in queries]

    def save(self, folder: Path) -> None:
        pass  # the index is persistent: it lives in its folder once built


def vorpaline_files_build(tree: Path, scratch: Path, repeats: int) -> dict[str, float]:
    """The product path's build from the files on disk (page cache warm after
    the first round): MB/s of file bytes with one and two threads, medians of
    interleaved rounds, each a fresh index."""
    from vorpaline.search import Index

    def once(threads: int) -> float:
        folder = Path(tempfile.mkdtemp(prefix=f"files-{threads}-", dir=scratch))
        try:
            index = Index.create(folder / "index")
            wall = time.perf_counter()
            counts = index.update(tree, threads=threads)
            return timing.ratio(counts.bytes / 1e6, time.perf_counter() - wall)
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    once(2)  # the page cache filled
    samples = timing.interleaved({threads: (lambda threads=threads: once(threads)) for threads in (1, 2)}, repeats)
    return {"files_mb_s_1": timing.median(samples[1]), "files_mb_s_2": timing.median(samples[2])}


def vorpaline_product_ranks(index_folder: Path, tree: Path, queries: list[retrieval_corpus.Query]) -> list[int | None]:
    """The product path: the index built over the stripped copy of the library,
    a hit a file and a line range. Written against the interface it is to have."""
    from vorpaline.search import Index

    index = Index.create(index_folder)
    index.update(tree)
    ranks = []
    for query in queries:
        hits = [(hit.path, hit.start_line, hit.end_line) for hit in index.search(query.text, k=TOP_K)]
        ranks.append(rank_in_file(hits, query.path, query.line))
    return ranks


@dataclass(frozen=True)
class Contender:
    key: str
    label: str
    make: Callable[[Path], object]  # a fresh, empty index in the folder given
    available: bool = True
    threads: tuple[int, ...] = (1,)  # query threads the speed table measures


def contenders(profile_json: str) -> list[Contender]:
    ready = vorpaline_available()
    return [
        Contender("bm25s", "bm25s, its default tokenizer", lambda folder: Bm25s()),
        Contender("bm25s-code", "bm25s, the core's code-aware tokens",
                  lambda folder: Bm25s(lambda text: code_tokens(text, profile_json)[0])),
        Contender("tantivy", "tantivy, its default tokenizer", Tantivy),
        Contender("vorpaline", "vorpaline.search", Vorpaline, available=ready, threads=(1, 2)),
    ]


# --- quality -------------------------------------------------------------------------------------

def quality(contender: Contender, built: retrieval_corpus.RetrievalCorpus, folder: Path) -> dict[str, object]:
    row: dict[str, object] = {"key": contender.key, "label": contender.label}
    if not contender.available:
        return {**row, "status": NOT_BUILT}
    folder.mkdir(parents=True, exist_ok=True)
    index = contender.make(folder)
    index.build([document.text for document in built.documents])
    results = index.search_batch([query.text for query in built.queries])
    ranks = [rank_of(result, query.document) for result, query in zip(results, built.queries)]
    return {**row, "status": "measured", **metrics(ranks)}


def truncated_documents(built: retrieval_corpus.RetrievalCorpus, profile_json: str) -> int:
    """How many documents the default profile's character limit cuts: the code-aware row sees only their start."""
    limit = json.loads(profile_json).get("max_text_chars")
    return sum(1 for document in built.documents if limit is not None and len(document.text) > limit)


# --- speed ---------------------------------------------------------------------------------------

def folder_bytes(folder: Path) -> int:
    return sum(path.stat().st_size for path in folder.rglob("*") if path.is_file())


def percentile(samples: Sequence[float], percent: int) -> float:
    """The ``percent``-th percentile (inclusive method): p99 of a few thousand latencies."""
    if len(samples) < 2:
        return samples[0]
    return statistics.quantiles(samples, n=100, method="inclusive")[percent - 1]


def timed_queries(search: Callable[[str], object], queries: list[str], threads: int) -> tuple[float, list[float]]:
    """Wall seconds for all the queries, one at a time per thread, and each query's latency."""
    def shard(part: list[str]) -> list[float]:
        latencies = []
        for query in part:
            start = time.perf_counter()
            search(query)
            latencies.append(time.perf_counter() - start)
        return latencies

    start = time.perf_counter()
    if threads == 1:
        latencies = shard(queries)
    else:
        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            parts = list(pool.map(shard, [queries[i::threads] for i in range(threads)]))
        latencies = [latency for part in parts for latency in part]
    return time.perf_counter() - start, latencies


def speed_sample(contender: Contender, texts: list[str], queries: list[str], megabytes: float,
                 scratch: Path) -> dict[str, object]:
    """One round of one contender: a fresh index built and saved, then every query on each thread count."""
    folder = Path(tempfile.mkdtemp(prefix=f"{contender.key}-", dir=scratch))
    try:
        (folder / "index").mkdir()
        index = contender.make(folder / "index")
        cpu, wall = time.process_time(), time.perf_counter()
        index.build(texts)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        index.save(folder / "index")
        sample: dict[str, object] = {"build_s": wall, "build_cpu_s": cpu, "build_mb_s": timing.ratio(megabytes, wall),
                                     "bytes": folder_bytes(folder / "index")}
        for threads in contender.threads:
            seconds, latencies = timed_queries(index.search, queries, threads)
            sample[f"qps_{threads}"] = timing.ratio(len(queries), seconds)
            sample[f"p99_ms_{threads}"] = 1e3 * percentile(latencies, 99)
        return sample
    finally:
        shutil.rmtree(folder, ignore_errors=True)


SPEED_FIGURES = ("build_mb_s", "qps_1")


def speed(rows: list[Contender], texts: list[str], queries: list[str], megabytes: float, scratch: Path,
          repeats: int) -> list[dict[str, object]]:
    samples = timing.interleaved(
        {row.key: (lambda row=row: speed_sample(row, texts, queries, megabytes, scratch)) for row in rows}, repeats)
    table = []
    for row in rows:
        mine = samples[row.key]
        entry: dict[str, object] = {
            "key": row.key, "label": row.label, "threads": list(row.threads),
            "build_mb_s": timing.median([s["build_mb_s"] for s in mine]),
            "build_cores_busy": timing.median([timing.ratio(s["build_cpu_s"], s["build_s"]) for s in mine]),
            "megabytes_on_disk": timing.median([s["bytes"] for s in mine]) / 1e6,
            "samples": mine}
        for threads in row.threads:
            entry[f"qps_{threads}"] = timing.median([s[f"qps_{threads}"] for s in mine])
            entry[f"p99_ms_{threads}"] = timing.median([s[f"p99_ms_{threads}"] for s in mine])
        # Per-round ratios against bm25s: a load change between rounds cancels out.
        for figure in SPEED_FIGURES:
            ratios = [timing.ratio(s[figure], base[figure]) for s, base in zip(mine, samples["bm25s"])]
            entry[f"{figure}_vs_bm25s"] = timing.median(ratios)
            entry[f"{figure}_vs_bm25s_quartiles"] = timing.quartiles(ratios)
        table.append(entry)
    return table


# --- the table -----------------------------------------------------------------------------------

# The speed table's rows: the code-aware bm25s row would time the core's
# tokens through one JSON explain reply per text, a path no index takes.
SPEED_ROWS = ("bm25s", "tantivy", "vorpaline")


def tool_versions() -> dict[str, str]:
    from importlib import metadata

    return {name: metadata.version(name) for name in ("bm25s", "tantivy")}


def log(message: str) -> None:
    print(f"bench: retrieval: {message}", file=sys.stderr, flush=True)


def run(build_dir: Path, repeats: int = 5) -> dict[str, object]:
    started = time.perf_counter()
    build_dir = build_dir.resolve()
    built = retrieval_corpus.ensure(build_dir)
    log(retrieval_corpus.describe(built))
    measured_at = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                   "load_average": machine.load_average()}
    profile_json = default_profile_json()
    rows = contenders(profile_json)
    scratch = build_dir / "retrieval-indexes"
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    try:
        quality_rows = []
        for row in rows:
            quality_rows.append(quality(row, built, scratch / f"quality-{row.key}"))
            entry = quality_rows[-1]
            log(f"{row.key}: " + (entry["status"] if entry["status"] != "measured" else
                                  f"MRR@10 {entry['mrr10']:.3f}, recall@1 {entry['recall1']:.3f}, "
                                  f"recall@10 {entry['recall10']:.3f}"))
        timed = [row for row in rows if row.key in SPEED_ROWS and row.available]
        texts = [document.text for document in built.documents]
        queries = [query.text for query in built.queries]
        speed_rows = speed(timed, texts, queries, built.text_bytes / 1e6, scratch, repeats)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    product: dict[str, object] = {"files": len(retrieval_corpus.library_files(built.root)) - len(built.skipped),
                                  "queries": len(built.queries), "tree": str(built.stripped_root)}
    if vorpaline_available() and "chunk_text" in json.loads(__import__("vorpaline_core_py").handshake())["capabilities"]:
        with tempfile.TemporaryDirectory(dir=build_dir) as folder:
            product.update(status="measured", **metrics(vorpaline_product_ranks(Path(folder) / "index",
                                                                                 built.stripped_root, built.queries)))
            product.update(vorpaline_files_build(built.stripped_root, Path(folder), repeats))
    else:
        product["status"] = NOT_BUILT
    return {"corpus": {"documents": len(built.documents), "megabytes": built.text_bytes / 1e6,
                       "queries": len(built.queries), "dropped": built.dropped, "skipped": len(built.skipped),
                       "min_query_words": retrieval_corpus.MIN_QUERY_WORDS,
                       "truncated": truncated_documents(built, profile_json),
                       "max_text_chars": json.loads(profile_json).get("max_text_chars")},
            "tools": tool_versions(), "repeats": repeats, **measured_at,
            "quality": quality_rows, "speed": speed_rows,
            "not_timed": [row.label for row in rows if row.key in SPEED_ROWS and not row.available],
            "product": product, "seconds": time.perf_counter() - started}


if __name__ == "__main__":
    print(json.dumps(run(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("build/bench"), repeats=1), indent=1,
                     default=str))
