"""`vorpaline grep` against rg, git grep and csearch, in one run, on two real trees.

Trees: a copy of the interpreter's library folder with site-packages (the files the index takes as
text) and a copy of /usr/include, each a fresh git work tree with nothing tracked. Each is indexed
twice by `vorpaline index`, without and with the trigram index, for the build's cost and the index's
size, and once by codesearch's `cindex`. Queries, drawn from the tree with a fixed seed: identifiers,
literals with punctuation (a slice of a real line), regexes with required trigrams and regexes with
none. Each tool runs as the process a user starts, printing numbered lines to /dev/null, warm (one
round before the timed ones); `git grep --untracked -n` stands in for a git-aware grep (`-F` or
`-E`), csearch answers from its own index (RE2 syntax, no ignore rules, no freshness).
"""
from __future__ import annotations

import datetime
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

from . import code_cost, corpus, identifiers, machine, timing

IDENTIFIERS, LITERALS, REGEXES = 50, 20, 20
NO_TRIGRAM_REGEXES = [r"\w+\s*=\s*\d{6,}", r"[A-Z]\d[a-z]\d", r"\(\s*\)\s*;\s*$", r"^\s{12}\S{2}$", r"\d\.\d\.\d"]
REGEX_FORMS = [r"def\s+{}\w*", r"{}\s*\(", r"class\s+\w*{}", r"\b{}_\w+", r"{}\s*=\s*\S", r"(?:self|this)\.{}",
               r"#\s*define\s+{}", r"{}\w*\(\w+,"]
GOALS = {"identifiers": 20.0, "literals": 20.0, "regexes": 10.0, "no trigram": 0.8}
BUILD_GOAL, SIZE_GOAL = 1.5, 0.35


def log(message: str) -> None:
    print(f"bench: grep: {message}", file=sys.stderr, flush=True)


vorpaline = timing.vorpaline


def queries_of(tree: Path, paths: list[str], seed: int) -> dict[str, list[tuple[str, bool]]]:
    """(pattern, is_literal) per kind, drawn from the tree's own text."""
    draw = random.Random(seed)
    sample = draw.sample(paths, min(400, len(paths)))
    words: set[str] = set()
    lines: list[str] = []
    for path in sample:
        text = (tree / path).read_text(encoding="utf-8", errors="replace")
        words.update(re.findall(r"\b[A-Za-z_][A-Za-z0-9_]{5,24}\b", text))
        lines += [line.strip() for line in text.splitlines() if 25 <= len(line.strip()) <= 120 and line.isascii()
                  and re.search(r"[(){}\[\].,:;=<>+*&|-]", line)]
    names = draw.sample(sorted(word for word in words if not word.startswith("__")), IDENTIFIERS)
    literals = []
    for line in draw.sample(lines, LITERALS * 3):
        start = draw.randrange(0, max(1, len(line) - 16))
        piece = line[start:start + draw.randint(12, 20)]
        if re.search(r"[(){}\[\].,:;=<>+*&|-]", piece) and not piece.startswith("-") and piece.strip() == piece:
            literals.append(piece)
    stems = draw.sample(sorted(w for w in words if w.isalpha() and w.islower() and len(w) >= 6), REGEXES)
    regexes = [draw.choice(REGEX_FORMS).format(stem[:6]) for stem in stems]
    return {"identifiers": [(name, True) for name in names], "literals": [(lit, True) for lit in literals[:LITERALS]],
            "regexes": [(regex, False) for regex in regexes],
            "no trigram": [(regex, False) for regex in NO_TRIGRAM_REGEXES]}


def commands(work: Path, csearch_index: Path) -> dict[str, tuple[list[str], dict[str, str]]]:
    env = dict(os.environ)
    return {"vorpaline grep": (vorpaline("grep", "--index", str(work / "index-with"), "-n"), env), "rg": (["rg", "--no-config", "-n"], env),
            "git grep": (["git", "grep", "--untracked", "-n"], env),
            "csearch": (["csearch", "-n"], {**env, "CSEARCHINDEX": str(csearch_index)})}


def flags_for(tool: str, literal: bool) -> list[str]:
    if tool == "git grep":
        return ["-F"] if literal else ["-E"]
    if literal:
        return ["-F"] if tool != "csearch" else []
    return []


def pattern_for(tool: str, pattern: str, literal: bool) -> str:
    if tool == "csearch" and literal:
        return re.escape(pattern)
    if tool == "git grep" and not literal:  # ERE has no \s, \w, \d, (?:: their POSIX classes
        return (pattern.replace(r"\s", "[[:space:]]").replace(r"\S", "[^[:space:]]").replace(r"\w", "[[:alnum:]_]")
                .replace(r"\d", "[0-9]").replace(r"\b", r"\b").replace("(?:", "("))
    return pattern


def time_tool(tool: str, command: tuple[list[str], dict[str, str]], tree: Path, pattern: str, literal: bool) -> float:
    argv, env = command
    started = time.perf_counter()
    subprocess.run([*argv, *flags_for(tool, literal), "-e" if tool != "csearch" else "--",
                    pattern_for(tool, pattern, literal)], cwd=tree, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - started


def build(tree: Path, work: Path) -> dict[str, float]:
    """Seconds to index without and with trigrams, the trigram segments' bytes, the text's bytes."""
    seconds = {}
    for name, extra in (("without", ["--no-grep-index"]), ("with", [])):
        folder = work / f"index-{name}"
        shutil.rmtree(folder, ignore_errors=True)
        started = time.perf_counter()
        subprocess.run(vorpaline("index", str(tree), "--index", str(folder), "--quiet", *extra), check=True,
                       stdout=subprocess.DEVNULL)
        seconds[name] = time.perf_counter() - started
    grep_bytes = sum(entry.stat().st_size for entry in (work / "index-with").iterdir() if entry.name.endswith(".grep"))
    shutil.rmtree(work / "index-without", ignore_errors=True)
    return {"without_s": seconds["without"], "with_s": seconds["with"], "grep_bytes": grep_bytes}


def measure_tree(label: str, source: Path, work: Path, rounds: int, paths: list[str] | None = None) -> dict[str, object]:
    paths = paths if paths is not None else code_cost.text_files(source)
    tree = identifiers.copied_tree(source, paths, work / "tree")
    subprocess.run(["git", "init", "-q", str(tree)], check=True)
    # A folder changed within two seconds of a scan proves nothing (an entry added in the same clock
    # tick leaves its time as it was): a repository is not indexed the moment it was made.
    time.sleep(2.5)
    text_bytes = sum((tree / path).stat().st_size for path in paths)
    log(f"{label}: {len(paths):,} files, {text_bytes / 1e6:.0f} MB; indexing")
    built = build(tree, work)
    csearch_index = work / "csearchindex"
    has_csearch = shutil.which("cindex") is not None
    if has_csearch:
        subprocess.run(["cindex", str(tree)], env={**os.environ, "CSEARCHINDEX": str(csearch_index)},
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    tools = {name: command for name, command in commands(work, csearch_index).items()
             if name != "csearch" or has_csearch}
    kinds = queries_of(tree, paths, seed=len(label))
    times: dict[str, dict[str, list[float]]] = {kind: {tool: [] for tool in tools} for kind in kinds}
    for number in range(rounds + 1):  # the first round warms the caches and is not kept
        log(f"{label}: round {number} of {rounds}")
        for kind, patterns in kinds.items():
            for pattern, literal in patterns:
                for tool, command in tools.items():
                    seconds = time_tool(tool, command, tree, pattern, literal)
                    if number:
                        times[kind][tool].append(seconds)
    shutil.rmtree(tree, ignore_errors=True)
    return {"label": label, "files": len(paths), "text_bytes": text_bytes, **built,
            "examples": {kind: [pattern for pattern, _ in patterns[:3]] for kind, patterns in kinds.items()},
            "times": {kind: {tool: sorted(samples) for tool, samples in by_tool.items()}
                      for kind, by_tool in times.items()}}


def include_paths(root: Path) -> list[str]:
    from vorpaline.search import listed_files

    return sorted(f.path for f in listed_files(str(root), None) if f.size <= 1 << 20)


def run(build_dir: Path, rounds: int = 3, quick: bool = False) -> dict[str, object]:
    measured_at = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                   "load_average": machine.load_average()}
    work = build_dir.resolve() / "grep"
    shutil.rmtree(work, ignore_errors=True)
    trees = []
    library = Path(corpus.stdlib_root())
    trees.append(measure_tree(f"{library} with site-packages", library, work / "library", rounds))
    if not quick and Path("/usr/include").is_dir():
        trees.append(measure_tree("/usr/include", Path("/usr/include"), work / "include", rounds,
                                  include_paths(Path("/usr/include"))))
    return {"status": "measured", **measured_at, "load_average_after": machine.load_average(), "rounds": rounds,
            "trees": trees}


def _median_ms(samples: list[float]) -> float:
    return timing.median(samples) * 1e3


def section(result: dict[str, object]) -> str:
    from .report import table, verdict

    if result.get("status") != "measured":
        return f"### 13. Indexed grep\n\nNot measured: {result.get('status')}."
    parts = ["### 13. Indexed grep: `vorpaline grep` against rg, git grep and csearch\n\n"
             f"{__doc__.split(chr(10), 1)[1].strip()}\n\nMeasured {result['date']}, {result['rounds']} rounds, load "
             f"average {result['load_average']} (after: {result['load_average_after']}). Each cell: the median "
             "time of one query in ms, over the kind's queries and rounds; the ratios are rg's median over "
             "vorpaline's, with the range of the per-query ratios (lowest to highest) in brackets."]
    for tree in result["trees"]:
        tools = list(next(iter(tree["times"].values())))
        rows, goals = [], []
        for kind, by_tool in tree["times"].items():
            ours = by_tool["vorpaline grep"]
            ratios = [rg / max(mine, 1e-9) for rg, mine in zip(by_tool["rg"], ours)]
            rows.append([kind, *[f"{_median_ms(by_tool[tool]):.1f}" for tool in tools],
                         f"{_median_ms(by_tool['rg']) / _median_ms(ours):.1f}x ({min(ratios):.1f}-{max(ratios):.1f})"])
            goal = GOALS[kind]
            speedup = _median_ms(by_tool["rg"]) / _median_ms(ours)
            goals.append([f"{kind}: at least {goal:g}x rg's speed", f"{speedup:.1f}x", verdict(speedup >= goal)])
            if kind in ("identifiers", "literals") and "csearch" in by_tool:
                versus = _median_ms(by_tool["csearch"]) / _median_ms(ours)
                goals.append([f"{kind}: no slower than csearch", f"{versus:.2f}x csearch's speed",
                              verdict(versus >= 1.0)])
        build_ratio = tree["with_s"] / tree["without_s"]
        size_ratio = tree["grep_bytes"] / tree["text_bytes"]
        goals.append([f"build with trigrams within {BUILD_GOAL:g}x of without",
                      f"{tree['with_s']:.1f} s against {tree['without_s']:.1f} s: {build_ratio:.2f}x",
                      verdict(build_ratio <= BUILD_GOAL)])
        goals.append([f"trigram index at most {SIZE_GOAL:g}x the text",
                      f"{tree['grep_bytes'] / 1e6:.1f} MB for {tree['text_bytes'] / 1e6:.1f} MB: {size_ratio:.2f}x",
                      verdict(size_ratio <= SIZE_GOAL)])
        examples = "; ".join(f"{kind}: " + ", ".join(f"`{p}`" for p in patterns)
                             for kind, patterns in tree["examples"].items())
        parts.append(f"**{tree['label']}** ({tree['files']:,} files, {tree['text_bytes'] / 1e6:.0f} MB). "
                     f"Examples: {examples}.\n\n"
                     + table(["queries", *[f"{tool} ms" for tool in tools], "vs rg"], rows) + "\n\n"
                     + table(["goal", "measured", "outcome"], goals))
    return "\n\n".join(parts)
