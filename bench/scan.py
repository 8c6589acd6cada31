"""Table 6: listing a repository's files under its ignore rules.

The scanner (``vorpaline_core_py.scan_repository`` and ``vorpaline.scan.scan``)
against git's own listing of untracked files, ripgrep, fd and pathspec over
``os.walk``, on the tree of ``bench/scan_tree.py``. Every contender lists the
files it would index, honouring the same ignore files; each must list as many
files as git, or the run fails. Contenders take turns within each round; the
table gives medians of wall and CPU time and the medians of the per-round
ratios against git. Peak memory of one scan is measured in a fresh interpreter
(``python -m bench.scan memory VARIANT ROOT``).

    python -m bench --only scan     # the table, printed
"""
from __future__ import annotations

import contextlib
import datetime
import json
import os
import resource
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

from . import machine, memory, scan_tree, timing

REPO_ROOT = Path(__file__).resolve().parent.parent

TARGET_BYTES_PER_FILE = 200

# No system or user configuration, no user excludes file: git, ripgrep, fd and
# the scanner all read exactly the tree's own ignore files. HOME and
# XDG_CONFIG_HOME point at an empty folder because ripgrep and fd look for the
# user's git excludes there without asking git's configuration.
def isolated_environment(empty_home: Path) -> dict[str, str]:
    return {"GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull,
            "HOME": str(empty_home), "XDG_CONFIG_HOME": str(empty_home / ".config")}


@contextlib.contextmanager
def environment(values: dict[str, str]) -> Iterator[None]:
    """``values`` in this process's environment (the in-process scanner reads it), restored after."""
    saved = {name: os.environ.get(name) for name in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def scan_settings(builtin_patterns: list[str] | None) -> Iterator[None]:
    """The package settings for one scan configuration: ``None`` replaces the
    built-in patterns by nothing, a list keeps those patterns. No extra patterns."""
    from vorpaline.config import settings

    names = ("builtin_ignore_replace", "builtin_ignore_patterns", "extra_ignore_patterns", "ignore_mode")
    saved = {name: getattr(settings, name) for name in names}
    settings.builtin_ignore_replace = builtin_patterns is None
    settings.builtin_ignore_patterns = list(builtin_patterns or [])
    settings.extra_ignore_patterns = []
    settings.ignore_mode = "git+vorpaline"
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(settings, name, value)


def scan_config(root: Path, builtin_patterns: list[str] | None) -> str:
    """The JSON configuration that ``vorpaline.scan`` would give the core under these settings."""
    from vorpaline.scan import config_json

    with scan_settings(builtin_patterns):
        return config_json(root)


def default_builtin_patterns() -> list[str]:
    from vorpaline.config import BUILTIN_IGNORE_PATTERNS

    return list(BUILTIN_IGNORE_PATTERNS)


def pathspec_listing(root: str) -> list[str]:
    """The files git would list, found with pathspec's GitIgnoreSpec over os.walk:
    ``.git/info/exclude`` below every ``.gitignore``, a deeper file deciding
    before a shallower one, an excluded folder never entered."""
    import pathspec

    def matcher_of(path: str) -> pathspec.GitIgnoreSpec | None:
        try:
            with open(path, encoding="utf-8") as handle:
                return pathspec.GitIgnoreSpec.from_lines(handle.read().splitlines())
        except FileNotFoundError:
            return None

    exclude = matcher_of(os.path.join(root, ".git", "info", "exclude"))
    matchers_of_folder: dict[str, list[tuple[int, pathspec.GitIgnoreSpec]]] = {
        "": [(0, exclude)] if exclude else []}
    listed: list[str] = []
    for directory, subdirs, files in os.walk(root):
        prefix = directory[len(root) + 1:] + "/" if directory != root else ""
        matchers = matchers_of_folder.pop(prefix)
        if ".gitignore" in files:
            matcher = matcher_of(os.path.join(directory, ".gitignore"))
            if matcher is not None:
                matchers = matchers + [(len(prefix), matcher)]  # the part of a path below the file's folder

        def ignored(path: str) -> bool:
            for base, matcher in reversed(matchers):
                decided = matcher.check_file(path[base:]).include
                if decided is not None:
                    return decided
            return False

        subdirs[:] = [name for name in subdirs if name != ".git" and not ignored(f"{prefix}{name}/")]
        for name in subdirs:
            matchers_of_folder[f"{prefix}{name}/"] = matchers
        listed.extend(prefix + name for name in files if name != ".git" and not ignored(prefix + name))
    return listed


class Sample(NamedTuple):
    wall: float  # seconds
    cpu: float  # CPU seconds of all the threads of the process that did the work


@dataclass(frozen=True)
class Contender:
    key: str
    label: str
    command: str  # what the table shows
    run: Callable[[], object]  # lists the files once: the timed work
    count: Callable[[object], int]  # how many files the listing holds, outside the timing
    in_process: bool  # CPU time of this process rather than of a child
    expected: str = "git"  # the row whose file count this one must match

    def sample(self) -> Sample:
        if self.in_process:
            cpu, wall = time.process_time(), time.perf_counter()
            listing = self.run()  # freed after the clocks are read: a caller keeps it
            sample = Sample(time.perf_counter() - wall, time.process_time() - cpu)
            del listing
            return sample
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        wall = time.perf_counter()
        self.run()
        wall = time.perf_counter() - wall
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        return Sample(wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)


def listed_by(argv: list[str], root: Path, env: dict[str, str]) -> bytes:
    """Runs a lister with its output to a pipe, read to the end as an indexer would."""
    return subprocess.run(argv, cwd=root, env=env, stdout=subprocess.PIPE, check=True).stdout


def reply_files(reply: object) -> int:
    return len(json.loads(reply)["files"])


def contenders(root: Path, env: dict[str, str], builtin_exclude_file: Path) -> list[Contender]:
    import vorpaline_core_py
    from vorpaline.scan import scan

    child_env = {**os.environ, **env}

    def process(argv: list[str]) -> Callable[[], bytes]:
        return lambda: listed_by(argv, root, child_env)

    def lines(out: object) -> int:
        return out.count(b"\n")

    def nul_terminated(out: object) -> int:
        return out.count(b"\0")

    def core(config: str, threads: int) -> Callable[[], str]:
        return lambda: vorpaline_core_py.scan_repository(config, threads)

    def end_to_end() -> list:
        with scan_settings(None):
            return scan(root, threads=2)

    fair, default = scan_config(root, None), scan_config(root, default_builtin_patterns())
    git = ["git", "ls-files", "-z", "--others"]
    # Shown files are dot files too (.gitignore is listed by git); .git is
    # left out by name, as git and the scanner do; ignore files above the
    # tree's root are not read, as git does not.
    rg = ["rg", "--files", "--hidden", "--no-ignore-parent", "--glob", "!.git"]
    fd = ["fdfind", "--type", "f", "--hidden", "--no-ignore-parent", "--exclude", ".git"]
    return [
        Contender("git", "git ls-files, untracked", "git ls-files -z --others --exclude-standard",
                  process([*git, "--exclude-standard"]), nul_terminated, False),
        Contender("git-builtin", "git ls-files, built-in patterns as an exclude file",
                  "git ls-files -z --others --exclude-from=BUILTIN --exclude-standard",
                  process([*git, f"--exclude-from={builtin_exclude_file}", "--exclude-standard"]),
                  nul_terminated, False, expected="git-builtin"),
        Contender("rg-1", "ripgrep, 1 thread", " ".join(rg[:2] + ["-j1"] + rg[2:]), process([*rg, "-j1"]), lines, False),
        Contender("rg-2", "ripgrep, 2 threads", " ".join(rg[:2] + ["-j2"] + rg[2:]), process([*rg, "-j2"]), lines, False),
        Contender("fd-1", "fd, 1 thread", " ".join(fd[:3] + ["-j1"] + fd[3:]), process([*fd, "-j1"]), lines, False),
        Contender("fd-2", "fd, 2 threads", " ".join(fd[:3] + ["-j2"] + fd[3:]), process([*fd, "-j2"]), lines, False),
        Contender("pathspec", "pathspec over os.walk, in Python", "GitIgnoreSpec.check_file per path",
                  lambda: pathspec_listing(str(root)), len, True),
        Contender("core-1", "scanner, 1 thread", "scan_repository(config, 1)", core(fair, 1), reply_files, True),
        Contender("core-2", "scanner, 2 threads", "scan_repository(config, 2)", core(fair, 2), reply_files, True),
        Contender("core-builtin-2", "scanner, 2 threads, built-in patterns",
                  "scan_repository(default config, 2)", core(default, 2), reply_files, True, expected="git-builtin"),
        Contender("scan-2", "scan() end to end, 2 threads", "vorpaline.scan.scan(root, threads=2)",
                  end_to_end, len, True),
    ]


# The scanner's rows against the peer that does the same work with as many threads.
PEERS = (("core-1", "git"), ("core-1", "rg-1"), ("core-1", "fd-1"), ("core-1", "pathspec"),
         ("core-2", "git"), ("core-2", "rg-2"), ("core-2", "fd-2"), ("core-2", "pathspec"),
         ("core-builtin-2", "git-builtin"), ("scan-2", "core-2"))


def check_counts(counts: dict[str, int], expected: dict[str, str]) -> None:
    """Every contender lists as many files as the git row it is checked against."""
    wrong = {key: f"{count} (expected {counts[expected[key]]}, as {expected[key]})"
             for key, count in counts.items() if count != counts[expected[key]]}
    if wrong:
        raise RuntimeError("the contenders disagree on the files of the tree: "
                           + ", ".join(f"{key} lists {text}" for key, text in wrong.items()))


def check_same_files(expected: list[str], listed: list[str], expected_by: str, listed_by_row: str) -> None:
    """The same paths, not only as many: two faults can cancel out in a count."""
    missing, extra = sorted(set(expected) - set(listed)), sorted(set(listed) - set(expected))
    if missing or extra:
        raise RuntimeError(f"{listed_by_row} and {expected_by} disagree on the files of the tree: "
                           f"{len(missing)} missing (first {missing[:3]}), {len(extra)} extra (first {extra[:3]})")


def git_paths(out: bytes) -> list[str]:
    return [os.fsdecode(path) for path in out.split(b"\0") if path]


def reply_paths(reply: str) -> list[str]:
    return [item["path"] for item in json.loads(reply)["files"]]


def ratio_summary(samples: dict[str, list[Sample]], numerator: str, denominator: str) -> dict[str, object]:
    summary: dict[str, object] = {}
    for measure in ("wall", "cpu"):
        ratios = timing.paired_ratios({key: [getattr(s, measure) for s in samples[key]]
                                       for key in (numerator, denominator)}, numerator, denominator)
        summary[measure] = timing.median(ratios)
        summary[f"{measure}_quartiles"] = timing.quartiles(ratios)
    return summary


def measure_memory(variant: str, root: Path) -> dict[str, int]:
    """In a fresh interpreter: RSS before one scan, its peak, and the files listed."""
    import vorpaline_core_py
    from vorpaline.scan import scan

    config = scan_config(root, None)
    if variant == "scan":
        def work() -> object:
            with scan_settings(None):
                return scan(root, threads=2)
    else:
        threads = int(variant.removeprefix("core-"))

        def work() -> object:
            return vorpaline_core_py.scan_repository(config, threads)
    import vorpaline.enginecheck  # noqa: F401  (scan() imports it on its first call: not the scan's memory)

    with open("/proc/self/status", encoding="ascii") as handle:
        before = memory.status_kib("VmRSS", handle.read())
    memory.reset_peak()
    result = work()
    with open("/proc/self/status", encoding="ascii") as handle:
        peak = memory.status_kib("VmHWM", handle.read())
    files = len(result) if variant == "scan" else len(json.loads(result)["files"])
    return {"files": files, "rss_before": before * 1024, "peak_rss": peak * 1024}


MEMORY_VARIANTS = {
    "core-1": "scan_repository(config, 1), reply text kept",
    "core-2": "scan_repository(config, 2), reply text kept",
    "scan": "scan(root, threads=2), records kept",
}


def memory_rows(root: Path, env: dict[str, str]) -> list[dict[str, object]]:
    rows = []
    for variant, label in MEMORY_VARIANTS.items():
        out = subprocess.run([sys.executable, "-m", "bench.scan", "memory", variant, str(root)],
                             capture_output=True, text=True, check=True, cwd=REPO_ROOT,
                             env={**os.environ, **env}).stdout
        measured = json.loads(out)
        extra = measured["peak_rss"] - measured["rss_before"]
        rows.append({"key": variant, "label": label, **measured, "extra": extra,
                     "bytes_per_file": extra / measured["files"]})
    return rows


def tool_versions() -> dict[str, str]:
    from importlib import metadata

    versions = {}
    for name, argv in (("git", ["git", "--version"]), ("ripgrep", ["rg", "--version"]),
                       ("fd", ["fdfind", "--version"])):
        out = subprocess.run(argv, capture_output=True, text=True, check=True).stdout
        versions[name] = out.splitlines()[0]
    versions["pathspec"] = metadata.version("pathspec")
    return versions


def log(message: str) -> None:
    print(f"bench: scan: {message}", file=sys.stderr, flush=True)


def check_tree(tree: scan_tree.TreeInfo) -> None:
    """The tree is as large as the table says it is: a smaller one would flatter whoever starts fastest."""
    if tree.files < scan_tree.MIN_FILES or tree.folders < scan_tree.MIN_FOLDERS:
        raise RuntimeError(f"the scan tree {tree.root} holds {tree.files} files in {tree.folders} folders, "
                           f"fewer than {scan_tree.MIN_FILES} files in {scan_tree.MIN_FOLDERS} folders: "
                           "the interpreter's library is too small for this builder")


def run(build_dir: Path, repeats: int = 7) -> dict[str, object]:
    build_dir = build_dir.resolve()
    tree = scan_tree.ensure(build_dir / "scan-tree")
    root = tree.root.resolve()
    log(f"tree {root}: {tree.files} files in {tree.folders} folders, {tree.ignore_files} .gitignore files")
    check_tree(tree)
    # This table may be written into the document alone, under the machine
    # section of an earlier full run: it keeps its own date and load.
    measured_at = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                   "load_average": machine.load_average()}
    empty_home = build_dir / "scan-home"
    (empty_home / ".config").mkdir(parents=True, exist_ok=True)
    builtin_exclude_file = build_dir / "scan-builtin-patterns"
    builtin_exclude_file.write_text("".join(p + "\n" for p in default_builtin_patterns()), encoding="utf-8")
    env = isolated_environment(empty_home)
    with environment(env):
        rows = contenders(root, env, builtin_exclude_file)
        listings = {row.key: row.run() for row in rows}  # also the warm-up: caches filled
        counts = {row.key: row.count(listings[row.key]) for row in rows}
        log("files listed: " + ", ".join(f"{key} {count}" for key, count in counts.items()))
        check_counts(counts, {row.key: row.expected for row in rows})
        for scanner, git in (("core-2", "git"), ("core-builtin-2", "git-builtin")):
            check_same_files(git_paths(listings[git]), reply_paths(listings[scanner]), git, scanner)
        del listings
        samples = timing.interleaved({row.key: row.sample for row in rows}, repeats)
        memory_result = memory_rows(root, env)
    table = []
    for row in rows:
        entry: dict[str, object] = {
            "key": row.key, "label": row.label, "command": row.command, "files": counts[row.key],
            "wall_ms": 1e3 * timing.median([s.wall for s in samples[row.key]]),
            "cpu_ms": 1e3 * timing.median([s.cpu for s in samples[row.key]]),
            "samples": [list(s) for s in samples[row.key]]}
        baseline = "git-builtin" if row.expected == "git-builtin" else "git"
        entry["vs"] = baseline
        against = ratio_summary(samples, row.key, baseline)
        for measure in ("wall", "cpu"):
            entry[f"{measure}_vs_git"] = against[measure]
            entry[f"{measure}_vs_git_quartiles"] = against[f"{measure}_quartiles"]
        table.append(entry)
    peers = [{"row": a, "peer": b, **ratio_summary(samples, a, b)} for a, b in PEERS]
    return {"tree": {"files": tree.files, "folders": tree.folders, "ignore_files": tree.ignore_files,
                     "listed": counts["git"], "listed_builtin": counts["git-builtin"]},
            "tools": tool_versions(), "repeats": repeats, **measured_at,
            "rows": table, "peers": peers, "memory": memory_result}


if __name__ == "__main__":
    if sys.argv[1:2] != ["memory"] or len(sys.argv) != 4:
        sys.exit("usage: python -m bench.scan memory VARIANT ROOT")
    print(json.dumps(measure_memory(sys.argv[2], Path(sys.argv[3]))))
