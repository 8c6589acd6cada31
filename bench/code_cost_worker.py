"""One measurement of table 11 in a process of its own, its figures printed as JSON.

    python -I code_cost_worker.py build ROOT INDEX THREADS [no-parsers]
    python -I code_cost_worker.py query INDEX QUERIES.json
    python -I code_cost_worker.py bm25s FILES.json
    python -I code_cost_worker.py register
    python -I code_cost_worker.py tree-sitter FILES.json

Run by any venv's interpreter, so that two versions of the package are timed
in the same run: it imports nothing of the harness, only the standard library
and the package (or bm25s) of the interpreter that runs it. A process per
build also gives each its own peak RSS.
"""
from __future__ import annotations

import json
import os
import resource
import sys
import time


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def rss_now() -> int:
    """Bytes resident now, from /proc/self/status."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def folder_bytes(folder: str) -> int:
    return sum(os.path.getsize(os.path.join(where, name)) for where, _, names in os.walk(folder) for name in names)


def without_parsers() -> None:
    """Leaves every language without a parser, as if no grammar were installed:
    files are chunked by lines and nothing is parsed."""
    from vorpaline import languages

    def nothing_registered(wanted=None):
        return {name: False for name in (wanted if wanted is not None else [l.name for l in languages.LANGUAGES])}

    languages.ensure_registered = nothing_registered
    languages.installed = lambda: []


def build(root: str, folder: str, threads: int, parsers: bool = True) -> dict[str, object]:
    from vorpaline.search import Index

    if not parsers:
        without_parsers()
    index = Index.create(folder)
    rss_before = rss_now()
    cpu, wall = cpu_seconds(), time.perf_counter()
    counts = index.update(root, threads=threads)
    wall, cpu = time.perf_counter() - wall, cpu_seconds() - cpu
    return {"seconds": wall, "cpu_seconds": cpu, "bytes": counts.bytes, "files": counts.indexed,
            "chunks": counts.chunks, "rss_before": rss_before, "peak_rss": peak_rss(),
            "index_bytes": folder_bytes(folder)}


def query(folder: str, queries_path: str) -> dict[str, object]:
    """Each query's wall seconds, one at a time, in a pass after a first untimed
    one: the figures are of an index already open and read."""
    from vorpaline.search import Index

    with open(queries_path, encoding="utf-8") as handle:
        queries = json.load(handle)
    index = Index.open(folder)
    for text in queries:
        index.search(text, k=10)
    latencies = []
    for text in queries:
        start = time.perf_counter()
        index.search(text, k=10)
        latencies.append(time.perf_counter() - start)
    return {"latencies": latencies}


def bm25s_build(files_path: str) -> dict[str, object]:
    """bm25s over whole files, its default tokenizer: the files read, tokenised and indexed."""
    import bm25s

    with open(files_path, encoding="utf-8") as handle:
        paths = json.load(handle)
    rss_before = rss_now()
    cpu, wall = cpu_seconds(), time.perf_counter()
    texts, size = [], 0
    for path in paths:
        with open(path, "rb") as handle:
            data = handle.read()
        size += len(data)
        texts.append(data.decode("utf-8", errors="replace"))
    retriever = bm25s.BM25()
    retriever.index(bm25s.tokenize(texts, show_progress=False), show_progress=False)
    wall, cpu = time.perf_counter() - wall, cpu_seconds() - cpu
    return {"seconds": wall, "cpu_seconds": cpu, "bytes": size, "files": len(paths), "rss_before": rss_before,
            "peak_rss": peak_rss()}


def register() -> dict[str, object]:
    """What registering the grammars costs a fresh process: each update pays it once."""
    wall = time.perf_counter()
    from vorpaline import languages

    parsers = languages.ensure_registered()
    return {"seconds": time.perf_counter() - wall, "languages": sorted(name for name, has in parsers.items() if has)}


def reference_parse(files_path: str) -> dict[str, object]:
    """The py-tree-sitter binding's speed on Python files, CPU seconds of one
    thread: the parse, and the Python grammar's tags query over the trees. The
    ceiling the core's own parse has, whatever is built around it."""
    import importlib.resources

    import tree_sitter
    import tree_sitter_python

    with open(files_path, encoding="utf-8") as handle:
        paths = json.load(handle)
    language = tree_sitter.Language(tree_sitter_python.language())
    parser = tree_sitter.Parser(language)
    tags = (importlib.resources.files("tree_sitter_python") / "queries" / "tags.scm").read_text(encoding="utf-8")
    cursor = tree_sitter.QueryCursor(tree_sitter.Query(language, tags))
    sources = []
    for path in paths:
        with open(path, "rb") as handle:
            sources.append(handle.read())
    start = time.thread_time()
    trees = [parser.parse(source) for source in sources]
    parse = time.thread_time() - start
    start = time.thread_time()
    for tree in trees:
        cursor.captures(tree.root_node)
    return {"bytes": sum(map(len, sources)), "files": len(paths), "parse_seconds": parse,
            "query_seconds": time.thread_time() - start, "binding": tree_sitter.__version__}


def main(argv: list[str]) -> dict[str, object]:
    command, *args = argv
    if command == "build":
        return build(args[0], args[1], int(args[2]), parsers=args[3:] != ["no-parsers"])
    if command == "query":
        return query(args[0], args[1])
    if command == "tree-sitter":
        return reference_parse(args[0])
    if command == "register":
        return register()
    if command == "bm25s":
        return bm25s_build(args[0])
    raise SystemExit(f"unknown command {command!r}")


if __name__ == "__main__":
    print(json.dumps(main(sys.argv[1:])))
