"""Table 11: what code-aware indexing costs, beside the version before it and two peers.

One tree, the interpreter's library folder with site-packages (the files the
scanner lists that the index takes as text), indexed from nothing by

- the package as built here (definitions, references, chunks by definitions, BM25F),
- the package at the commit before code-aware indexing, from a venv of its own
  (``VORPALINE_OLD_PYTHON``, by default /work/wt-old/.venv-old/bin/python),
- bm25s over whole files with its default tokenizer (build only),
- codesearch's ``cindex`` (a trigram index) over a copy of the same files (build only),

each build in a process of its own (``bench/code_cost_worker.py``), the rows
taking turns in every round. Then, on each round's two-thread indexes, the same
300 queries against both versions of the package, one at a time.

    python -m bench --only code_cost    # the table, printed
"""
from __future__ import annotations

import ast
import datetime
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path

from . import corpus, identifiers, localize, machine, retrieval, retrieval_corpus, timing

REPO_ROOT = Path(__file__).resolve().parent.parent
WORKER = Path(__file__).resolve().parent / "code_cost_worker.py"
OLD_COMMIT = "665bad7"
OLD_PYTHON = Path(os.environ.get("VORPALINE_OLD_PYTHON", REPO_ROOT.parent / "wt-old" / ".venv-old" / "bin" / "python"))
TARGET_BUILD_MB_S = 20.0  # with 2 threads
TARGET_QUERY_VS_OLD = 1.2
TARGET_SIZE_VS_OLD = 1.5
QUERIES_EACH = 150  # identifiers, and as many short sentences
SENTENCE_WORDS = (3, 8)
PARSED_FILES = 3000  # the .py files read for the queries, drawn from the tree
SEED = 20261208
ROWS = {"new": "vorpaline now", "old": f"vorpaline at {OLD_COMMIT}", "bm25s": "bm25s, whole files",
        "cindex": "codesearch `cindex`"}


def log(message: str) -> None:
    print(f"bench: code_cost: {message}", file=sys.stderr, flush=True)


# --- figures -------------------------------------------------------------------------------------

def spread(values: Sequence[float]) -> dict[str, float]:
    """The median of a figure over the rounds, and its lowest and highest."""
    return {"median": timing.median(list(values)), "low": min(values), "high": max(values)}


def ratio_spread(numerators: Sequence[float], denominators: Sequence[float]) -> dict[str, float]:
    """The ratio within each round (a load change between rounds cancels out), spread over the rounds."""
    return spread([timing.ratio(a, b) for a, b in zip(numerators, denominators, strict=True)])


def latency_ms(latencies: Sequence[float]) -> dict[str, float]:
    return {"p50": 1e3 * retrieval.percentile(latencies, 50), "p99": 1e3 * retrieval.percentile(latencies, 99)}


def mb_s(sample: dict[str, float]) -> float:
    return timing.ratio(sample["bytes"] / 1e6, sample["seconds"])


# --- the tree and the queries --------------------------------------------------------------------

def text_files(root: Path) -> list[str]:
    """The files the index takes as text, relative to ``root``, in a fixed order."""
    from vorpaline.search import listed_files

    taken = []
    for listed in sorted(listed_files(str(root), None), key=lambda f: f.path):
        if listed.size <= localize.MAX_FILE_BYTES:
            with open(root / listed.path, "rb") as handle:
                if b"\0" not in handle.read(localize.BINARY_PROBE):
                    taken.append(listed.path)
    return taken


def names_and_sentences(sources: Iterable[str]) -> tuple[list[str], list[str]]:
    """The names the sources define (functions, classes, methods) and the first
    sentences of their docstrings, in order; a source that does not parse gives none."""
    names, sentences = [], []
    for source in sources:
        try:
            tree = ast.parse(source)
        except (SyntaxError, ValueError):
            continue
        for dotted, node in retrieval_corpus.definitions(tree):
            names.append(dotted.rsplit(".", 1)[-1])
            docstring = ast.get_docstring(node, clean=True)
            if docstring:
                sentences.append(retrieval_corpus.first_sentence(docstring).rstrip("."))
    return names, sentences


_PLAIN_WORDS = re.compile(r"[A-Za-z][A-Za-z' ,-]*")


def pick_queries(names: Iterable[str], sentences: Iterable[str], each: int, seed: int) -> dict[str, list[str]]:
    """``each`` distinct identifiers (no dunders, four characters or more) and
    ``each`` distinct short sentences (of SENTENCE_WORDS words, letters and
    plain punctuation only: natural language rather than code), drawn with ``seed``."""
    low, high = SENTENCE_WORDS
    identifiers_ = sorted({n for n in names if len(n) >= 4 and not (n.startswith("__") and n.endswith("__"))})
    short = sorted({s for s in sentences if low <= len(s.split()) <= high and _PLAIN_WORDS.fullmatch(s)})
    if len(identifiers_) < each or len(short) < each:
        raise ValueError(f"too few queries: {len(identifiers_)} identifiers, {len(short)} sentences")
    draw = random.Random(seed)
    return {"identifiers": draw.sample(identifiers_, each), "sentences": draw.sample(short, each)}


def tree_queries(root: Path, paths: list[str]) -> dict[str, list[str]]:
    python = [path for path in paths if path.endswith(".py")]
    chosen = sorted(random.Random(SEED).sample(python, min(PARSED_FILES, len(python))))

    def sources() -> Iterable[str]:
        for path in chosen:
            try:
                yield corpus.read_source(str(root / path))
            except (SyntaxError, UnicodeDecodeError, LookupError):
                continue
    return pick_queries(*names_and_sentences(sources()), QUERIES_EACH, SEED)


def reference_parse(root: Path, paths: list[str], work: Path) -> dict[str, object]:
    """The binding's parse and tags query on PARSED_FILES of the tree's .py files, or why not."""
    python = [str(root / path) for path in paths if path.endswith(".py")]
    sample = work / "parsed.json"
    sample.write_text(json.dumps(sorted(random.Random(SEED).sample(python, min(PARSED_FILES, len(python))))))
    try:
        return worker(Path(sys.executable), "tree-sitter", str(sample), cwd=work)
    except RuntimeError as error:
        return {"error": str(error).splitlines()[-1]}


# --- one measurement each ------------------------------------------------------------------------

def worker(python: Path, *args: str, cwd: Path) -> dict[str, object]:
    """One run of the worker under ``python`` (-I: no harness or checkout on its path)."""
    done = subprocess.run([str(python), "-I", str(WORKER), *args], cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{python} {' '.join(args)} failed:\n{done.stderr[-2000:]}")
    return json.loads(done.stdout.splitlines()[-1])


def vorpaline_build(python: Path, root: Path, folder: Path, threads: int, parsers: bool = True
                    ) -> dict[str, object]:
    shutil.rmtree(folder, ignore_errors=True)
    return worker(python, "build", str(root), str(folder), str(threads), *([] if parsers else ["no-parsers"]),
                  cwd=folder.parent)


def cindex_build(tree: Path, index: Path, text_bytes: int) -> dict[str, object]:
    """``cindex`` over the copy, timed as a child; its rusage gives CPU time and peak RSS."""
    index.unlink(missing_ok=True)
    scratch = index.parent / "cindex-tmp"
    scratch.mkdir(exist_ok=True)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "CSEARCHINDEX": str(index), "TMPDIR": str(scratch),
           "HOME": str(scratch)}
    wall = time.perf_counter()
    child = subprocess.Popen(["cindex", str(tree)], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - wall
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise RuntimeError(f"cindex failed with {child.returncode}")
    return {"seconds": wall, "cpu_seconds": usage.ru_utime + usage.ru_stime, "bytes": text_bytes,
            "peak_rss": usage.ru_maxrss * 1024, "index_bytes": index.stat().st_size}


def cindex_accepted_bytes(tree: Path, index: Path) -> int:
    """The bytes ``cindex -verbose`` says it indexed: it skips files with very long
    lines, too many distinct trigrams or bytes that are not UTF-8."""
    index.unlink(missing_ok=True)
    done = subprocess.run(["cindex", "-verbose", str(tree)], env={**os.environ, "CSEARCHINDEX": str(index)},
                          capture_output=True, text=True, check=True)
    found = re.search(r"(\d+) data bytes", done.stderr)
    return int(found.group(1)) if found else 0


def tool_versions() -> dict[str, str]:
    def package(name: str) -> str:
        done = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True, text=True)
        return done.stdout or "not installed"
    return {"bm25s": machine._version("bm25s"), "codesearch": package("codesearch"),
            "old python": str(OLD_PYTHON)}


# --- the run -------------------------------------------------------------------------------------

def samplers(root: Path, copy: Path, files_json: Path, text_bytes: int, work: Path, old: bool
             ) -> dict[str, Callable[[], dict[str, object]]]:
    """Every build of a round, in the order they take turns."""
    new_python = Path(sys.executable)
    runs = {"new-2": lambda: vorpaline_build(new_python, root, work / "new-2", 2),
            "new-1": lambda: vorpaline_build(new_python, root, work / "new-1", 1),
            "new-2-no-parsers": lambda: vorpaline_build(new_python, root, work / "new-np", 2, parsers=False),
            "bm25s": lambda: worker(new_python, "bm25s", str(files_json), cwd=work),
            "cindex": lambda: cindex_build(copy, work / "csearchindex", text_bytes)}
    if old:
        runs["old-2"] = lambda: vorpaline_build(OLD_PYTHON, root, work / "old-2", 2)
        runs["old-1"] = lambda: vorpaline_build(OLD_PYTHON, root, work / "old-1", 1)
    order = ("new-2", "old-2", "new-2-no-parsers", "bm25s", "cindex", "new-1", "old-1")
    return {key: runs[key] for key in order if key in runs}


def one_round(builds: dict[str, Callable[[], dict[str, object]]], queries_json: Path, work: Path,
              old: bool) -> dict[str, dict[str, object]]:
    """Each build once, then both versions' queries on their two-thread indexes of this round."""
    round_: dict[str, dict[str, object]] = {}
    for key, build in builds.items():
        log(f"  {key}")
        round_[key] = build()
    round_["query-new"] = worker(Path(sys.executable), "query", str(work / "new-2"), str(queries_json), cwd=work)
    if old:
        round_["query-old"] = worker(OLD_PYTHON, "query", str(work / "old-2"), str(queries_json), cwd=work)
    return round_


def run(build_dir: Path, rounds: int = 3, library_root: str | None = None) -> dict[str, object]:
    started = time.perf_counter()
    measured_at = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                   "load_average": machine.load_average()}
    root = Path(library_root or corpus.stdlib_root())
    work = build_dir.resolve() / "code_cost"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    paths = text_files(root)
    text_bytes = sum((root / path).stat().st_size for path in paths)
    log(f"{len(paths):,} files, {text_bytes / 1e6:.0f} MB of text; copying them for cindex")
    copy = identifiers.copied_tree(root, paths, work / "tree")
    files_json, queries_json = work / "files.json", work / "queries.json"
    files_json.write_text(json.dumps([str(root / path) for path in paths]), encoding="utf-8")
    queries = tree_queries(root, paths)
    queries_json.write_text(json.dumps(queries["identifiers"] + queries["sentences"]), encoding="utf-8")
    registering = worker(Path(sys.executable), "register", cwd=work)
    reference = reference_parse(root, paths, work)
    old = OLD_PYTHON.exists()
    builds = samplers(root, copy, files_json, text_bytes, work, old)
    samples = []
    for number in range(rounds):
        log(f"round {number + 1} of {rounds}")
        samples.append(one_round(builds, queries_json, work, old))
    accepted = cindex_accepted_bytes(copy, work / "csearchindex")
    result = {"status": "measured", **measured_at, "load_average_after": machine.load_average(), "rounds": rounds,
              "root": str(root), "files": len(paths), "text_bytes": text_bytes,
              "disk_bytes": retrieval.folder_bytes(root), "cindex_accepted_bytes": accepted,
              "old_measured": old, "registering": registering,
              "reference_parse": reference, "queries": {kind: len(texts) for kind, texts in queries.items()},
              "query_examples": {kind: texts[:3] for kind, texts in queries.items()}, "tools": tool_versions(),
              **summary(samples, old)}
    shutil.rmtree(work, ignore_errors=True)
    return {**result, "seconds": time.perf_counter() - started}


def column(samples: list[dict[str, dict[str, object]]], key: str, figure: Callable[[dict], float]) -> list[float]:
    return [figure(sample[key]) for sample in samples]


def version_row(samples: list[dict[str, dict[str, object]]], version: str) -> dict[str, object]:
    """The figures of one version of the package over the rounds."""
    two, one = f"{version}-2", f"{version}-1"
    latencies = [latency_ms(sample[f"query-{version}"]["latencies"]) for sample in samples]
    last = samples[-1][two]
    return {"mb_s_2": spread(column(samples, two, mb_s)), "mb_s_1": spread(column(samples, one, mb_s)),
            "cores_busy_2": spread(column(samples, two, lambda s: s["cpu_seconds"] / s["seconds"])),
            "peak_rss": spread(column(samples, two, lambda s: s["peak_rss"])),
            "peak_rss_1": spread(column(samples, one, lambda s: s["peak_rss"])),
            "index_bytes": last["index_bytes"], "size_vs_text": last["index_bytes"] / last["bytes"],
            "bytes": last["bytes"], "files": last["files"], "chunks": last["chunks"],
            "p50_ms": spread([l["p50"] for l in latencies]), "p99_ms": spread([l["p99"] for l in latencies])}


def peer_row(samples: list[dict[str, dict[str, object]]], key: str) -> dict[str, object]:
    return {"mb_s_2": spread(column(samples, key, mb_s)),
            "cores_busy_2": spread(column(samples, key, lambda s: s["cpu_seconds"] / s["seconds"])),
            "peak_rss": spread(column(samples, key, lambda s: s["peak_rss"])),
            "index_bytes": samples[-1][key].get("index_bytes")}


def summary(samples: list[dict[str, dict[str, object]]], old: bool) -> dict[str, object]:
    rows = {"new": version_row(samples, "new"), "bm25s": peer_row(samples, "bm25s"),
            "cindex": peer_row(samples, "cindex")}
    seconds_2 = column(samples, "new-2", lambda s: s["seconds"])
    without = column(samples, "new-2-no-parsers", lambda s: s["seconds"])
    parsing = {"share": spread([1 - timing.ratio(w, p) for w, p in zip(without, seconds_2)]),
               "mb_s": spread(column(samples, "new-2-no-parsers", mb_s)),
               "index_bytes": samples[-1]["new-2-no-parsers"]["index_bytes"],
               "chunks": samples[-1]["new-2-no-parsers"]["chunks"]}
    result: dict[str, object] = {"rows": rows, "parsing": parsing}
    if old:
        rows["old"] = version_row(samples, "old")
        lat = {version: [latency_ms(sample[f"query-{version}"]["latencies"]) for sample in samples]
               for version in ("new", "old")}
        result["vs_old"] = {
            "mb_s_2": ratio_spread(column(samples, "new-2", mb_s), column(samples, "old-2", mb_s)),
            "mb_s_1": ratio_spread(column(samples, "new-1", mb_s), column(samples, "old-1", mb_s)),
            "peak_rss": ratio_spread(column(samples, "new-2", lambda s: s["peak_rss"]),
                                     column(samples, "old-2", lambda s: s["peak_rss"])),
            "index_bytes": ratio_spread(column(samples, "new-2", lambda s: s["index_bytes"]),
                                        column(samples, "old-2", lambda s: s["index_bytes"])),
            "p50_ms": ratio_spread([l["p50"] for l in lat["new"]], [l["p50"] for l in lat["old"]]),
            "p99_ms": ratio_spread([l["p99"] for l in lat["new"]], [l["p99"] for l in lat["old"]])}
    return result


if __name__ == "__main__":
    print(json.dumps(run(Path(sys.argv[1]) if len(sys.argv) > 1 else REPO_ROOT / "build" / "bench",
                         rounds=int(sys.argv[2]) if len(sys.argv) > 2 else 3), indent=1))
