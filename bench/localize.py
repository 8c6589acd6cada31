"""Table 9: change localisation, the files a commit changed found from its message.

The data of ``shared/data/localize`` (its README.md): 8 Python projects, each
a snapshot tree and 150 later commits whose cleaned messages are the queries
and whose changed source files are the targets. Every system is built over
the same files of the same extracted tree, the ones the package's scanner
lists (``vorpaline.search.listed_files``) that are text as the index judges
it (no NUL byte in the first 8 KiB, at most 1 MiB); each answers a query with
ten files, scored by ``bench/file_ranking.py`` per project and pooled.

    python -m bench --only localize    # the table, printed
"""
from __future__ import annotations

import datetime
import json
import os
import shutil
import sys
import tarfile
import time
from dataclasses import dataclass
from pathlib import Path

from . import file_ranking, localize_systems, machine, timing

REPO_ROOT = Path(__file__).resolve().parent.parent
DATA = Path(os.environ.get("VORPALINE_LOCALIZE_DATA", REPO_ROOT.parent / "shared" / "data" / "localize"))
PROJECTS = ("werkzeug", "jinja", "black", "starlette", "marshmallow", "packaging", "pip-tools", "poetry-core")
MAX_FILE_BYTES = 1 << 20  # the index's default: larger files are not indexed
BINARY_PROBE = 8192  # the index's test: a NUL byte in the first this many bytes


@dataclass(frozen=True)
class Project:
    name: str
    root: Path  # the extracted snapshot
    files: list[localize_systems.SourceFile]
    queries: list[str]
    targets: list[list[str]]
    unlisted_targets: int  # targets outside the file list: no system can find them


def extracted(archive: Path, cache: Path) -> Path:
    """The archive's tree under ``cache``, extracted again only when the archive changed."""
    stamp_text = f"{archive.stat().st_size} {archive.stat().st_mtime_ns}"
    tree, stamp = cache / "tree", cache / "extracted"
    if stamp.exists() and stamp.read_text() == stamp_text and tree.is_dir():
        return tree
    shutil.rmtree(tree, ignore_errors=True)
    tree.mkdir(parents=True)
    with tarfile.open(archive) as bundle:
        bundle.extractall(tree, filter="data")
    stamp.write_text(stamp_text)
    return tree


def text_of(path: Path) -> str | None:
    """The file's text, or None when the index would skip it (binary or too large)."""
    data = path.read_bytes()
    if len(data) > MAX_FILE_BYTES or b"\0" in data[:BINARY_PROBE]:
        return None
    return data.decode("utf-8", errors="replace")


def source_files(root: Path) -> list[localize_systems.SourceFile]:
    from vorpaline.search import listed_files

    files = []
    for listed in sorted(listed_files(str(root), None), key=lambda f: f.path):
        text = text_of(root / listed.path)
        if text is not None:
            files.append(localize_systems.SourceFile(listed.path, text))
    return files


def load_project(name: str, cache: Path) -> Project:
    data = json.loads((DATA / f"{name}.json").read_text(encoding="utf-8"))
    root = extracted(DATA / f"{name}.tar.gz", cache / name)
    files = source_files(root)
    listed = {f.path for f in files}
    targets = [query["targets"] for query in data["queries"]]
    return Project(name, root, files, [query["query"] for query in data["queries"]], targets,
                   sum(1 for wanted in targets for path in wanted if path not in listed))


def log(message: str) -> None:
    print(f"bench: localize: {message}", file=sys.stderr, flush=True)


def measure(project: Project, key: str, scratch: Path) -> dict[str, object]:
    """One system on one project: its rankings, scores and build and query seconds."""
    folder = scratch / project.name / key
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    started = time.perf_counter()
    system = localize_systems.SYSTEMS[key](project.root, project.files, folder)
    built = time.perf_counter()
    rankings = [system.rank(query) for query in project.queries]
    answered = time.perf_counter()
    row = {"build_s": built - started, "query_ms": 1e3 * (answered - built) / len(project.queries),
           "rankings": rankings, **file_ranking.file_metrics(rankings, project.targets)}
    counts = getattr(system, "counts", None)
    if counts is not None:
        row["indexed"] = counts.indexed
    return row


def vorpaline_available() -> bool:
    try:
        from vorpaline.search import Index, listed_files  # noqa: F401
    except ImportError:
        return False
    return True


def vorpaline_mode() -> str:
    import inspect

    from vorpaline.search import Index

    return "files" if "files" in inspect.signature(Index.search).parameters else "chunks"


def pooled(rows: list[dict[str, object]], projects: list[Project]) -> dict[str, float]:
    rankings = [ranking for row in rows for ranking in row["rankings"]]
    return file_ranking.file_metrics(rankings, [wanted for project in projects for wanted in project.targets])


def best_baseline(pooled_rows: dict[str, dict[str, float]]) -> str:
    return max(localize_systems.BASELINES, key=lambda key: pooled_rows[key]["mrr10"])


def run(build_dir: Path, projects: tuple[str, ...] = PROJECTS) -> dict[str, object]:
    started = time.perf_counter()
    build_dir = build_dir.resolve()
    measured_at = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                   "load_average": machine.load_average()}
    if not vorpaline_available():
        return {"status": "not built yet", **measured_at}
    cache, scratch = build_dir / "localize-trees", build_dir / "localize-indexes"
    loaded = [load_project(name, cache) for name in projects]
    results: dict[str, list[dict[str, object]]] = {key: [] for key in localize_systems.SYSTEMS}
    try:
        for project in loaded:
            for key in localize_systems.SYSTEMS:
                results[key].append(measure(project, key, scratch))
            log(f"{project.name}: " + ", ".join(f"{key} {results[key][-1]['mrr10']:.3f}" for key in results))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    per_project = [{"name": project.name, "files": len(project.files), "queries": len(project.queries),
                    "unlisted_targets": project.unlisted_targets,
                    "systems": {key: {name: value for name, value in rows[i].items() if name != "rankings"}
                                for key, rows in results.items()}}
                   for i, project in enumerate(loaded)]
    pooled_rows = {key: pooled(rows, loaded) for key, rows in results.items()}
    best = best_baseline(pooled_rows)
    from importlib import metadata

    return {"status": "measured", **measured_at, "mode": vorpaline_mode(),
            "labels": {key: system.label for key, system in localize_systems.SYSTEMS.items()},
            "tools": {name: metadata.version(name) for name in ("bm25s", "tantivy")},
            "projects": per_project, "pooled": pooled_rows, "best_baseline": best,
            "vs_best": timing.ratio(pooled_rows["vorpaline"]["mrr10"], pooled_rows[best]["mrr10"]),
            "seconds": time.perf_counter() - started}


if __name__ == "__main__":
    print(json.dumps(run(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("build/bench")), indent=1))
