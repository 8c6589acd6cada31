"""Table 5: crafted tokens against the core's counting tables.

Each crafted text is timed against random tokens of the same length and
number, in interleaved rounds of one run; the table gives the median of the
per-round ratios. The crafted texts are the worst this harness knows how to
make: tokens that crowded one slot of the previous core's tables (found by
brute force, ``bench/flood/search.cpp``), tokens that crowd one bucket of the
index sort, and regular token sets (counters, shared prefixes) that a weak
keyed hash would cluster.

    python -m bench.flooding     # the table, printed
"""
from __future__ import annotations

import json
import os
import random
import shlex
import subprocess
from pathlib import Path

import vorpaline_core_py

from . import timing

REPO_ROOT = Path(__file__).resolve().parent.parent
SEARCH_SOURCE = Path(__file__).resolve().parent / "flood" / "search.cpp"
TARGET_RATIO = 2.0
DISTINCT = 4000
REPEATS_PER_TOKEN = 4  # each token comes back, so look-ups count as well as inserts
PROFILE = json.dumps({"max_text_chars": None, "code_pretokenize": True, "min_token_len": 2})


def search_tool(build_dir: Path) -> Path:
    """Compiles the brute-force search when its source is newer than the tool."""
    tool = build_dir / "flood_search"
    if not tool.exists() or tool.stat().st_mtime < SEARCH_SOURCE.stat().st_mtime:
        build_dir.mkdir(parents=True, exist_ok=True)
        compiler = shlex.split(os.environ.get("CXX", "c++"))
        subprocess.run([*compiler, "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror",
                        str(SEARCH_SOURCE), "-o", str(tool)], check=True)
    return tool


def searched(build_dir: Path, mode: str, count: int, bits: int) -> list[str]:
    """Tokens from the search tool, kept in the build directory once found."""
    cached = build_dir / f"flood_{mode}_{count}_{bits}.txt"
    if not cached.exists():
        out = subprocess.run([str(search_tool(build_dir)), mode, str(count), str(bits)],
                             check=True, capture_output=True, text=True).stdout
        cached.write_text(out, encoding="ascii")
    return cached.read_text(encoding="ascii").split()


def letters(number: int, length: int) -> str:
    return "".join(chr(ord("a") + (number // 26**i) % 26) for i in range(length))


def random_tokens(length: int, rng: random.Random) -> list[str]:
    return ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(length))
            for _ in range(DISTINCT)]


def text_of(tokens: list[str], rng: random.Random) -> str:
    repeated = tokens * REPEATS_PER_TOKEN
    rng.shuffle(repeated)
    return " ".join(repeated)


def crafted(build_dir: Path) -> dict[str, tuple[str, list[str]]]:
    """Label and tokens of each crafted text; the key's last number is the
    token length whose random text it is measured against."""
    return {
        "old-short-8": ("one slot of the previous short-token table", searched(build_dir, "short", DISTINCT, 14)),
        "counter-8": ("counters: tokens that differ in their first bytes", [letters(i, 8) for i in range(DISTINCT)]),
        "digits-8": ("consecutive 8-digit numbers", [f"{i:08d}" for i in range(10**7, 10**7 + DISTINCT)]),
        "prefix-16": ("one 8-byte prefix, counters after it", ["prefixab" + letters(i, 8) for i in range(DISTINCT)]),
        "old-long-20": ("one slot of the previous long-token table (low 15 index bits equal)",
                        searched(build_dir, "low", DISTINCT, 15)),
        "bucket-20": ("one bucket of the index sort (top 15 index bits equal)", searched(build_dir, "high", DISTINCT, 15)),
        "counter-20": ("counters in 20-letter tokens", ["x" * 12 + letters(i, 8) for i in range(DISTINCT)]),
    }


def run(build_dir: Path, repeats: int = 7) -> dict[str, object]:
    rng = random.Random(5)
    inputs = {key: (label, text_of(tokens, rng)) for key, (label, tokens) in crafted(build_dir).items()}
    lengths = sorted({int(key.rsplit("-", 1)[1]) for key in inputs})
    baselines = {length: text_of(random_tokens(length, rng), rng) for length in lengths}
    texts = {**{key: text for key, (_, text) in inputs.items()},
             **{f"random-{length}": text for length, text in baselines.items()}}
    timers = {key: timing.CallTimer("embed(text, profile)", {"embed": vorpaline_core_py.sparse_embed_single,
                                                            "text": text, "profile": PROFILE}, 0.05)
              for key, text in texts.items()}
    samples = timing.interleaved({key: timer.sample for key, timer in timers.items()}, repeats)
    rows = []
    for key, (label, text) in inputs.items():
        baseline = "random-" + key.rsplit("-", 1)[1]
        ratios = timing.paired_ratios(samples, key, baseline)
        rows.append({"key": key, "label": label, "bytes": len(text), "ms": timing.median(samples[key]) * 1e3,
                     "random_ms": timing.median(samples[baseline]) * 1e3, "ratio": timing.median(ratios),
                     "quartiles": timing.quartiles(ratios)})
    return {"distinct": DISTINCT, "repeats_per_token": REPEATS_PER_TOKEN, "rows": rows,
            "worst": max(row["ratio"] for row in rows)}


if __name__ == "__main__":
    from . import report

    print(report.flooding_section(run(REPO_ROOT / "build" / "bench")))
