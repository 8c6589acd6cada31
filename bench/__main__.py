"""Runs the benchmarks and writes docs/benchmarks.md and its plots.

    python -m bench                  # everything, a few minutes
    python -m bench --only overhead  # one table, printed (repeatable); the document is left alone
    python -m bench --quick          # fewer rounds, for a smoke run
    python -m bench --idle-wait 300  # wait for an idle machine before the scaling table
    python -m bench --only flooding  # crafted tokens against the counting tables
    python -m bench --only scan      # listing a repository's files against git, ripgrep, fd, pathspec
    python -m bench --only scan --update-doc  # and put that table alone into the document
    python -m bench --only retrieval # finding a function from its docstring: bm25s, tantivy, the package's index
    python -m bench --only limits    # the core against a ceiling of its own work's pieces, on three corpora
    python -m bench --only localize  # the files a commit changed, found from its message, on 8 projects
    python -m bench --only identifiers  # a standard-library name's definition, found from the bare name
    python -m bench --only code_cost # code-aware indexing against the version before it, bm25s and cindex
    python -m bench --only serving   # search through `vorpaline serve` (HTTP, MCP) against a process and csearch
    python -m bench --only grep      # vorpaline grep against rg, git grep and csearch on two real trees
    python -m bench --only scale     # the search command, queries, builds, re-indexing and the store, at scale
"""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from . import (code_cost, corpus, flooding, grep, identifiers, limits, localize, machine, memory, overhead, plots,
               report, retrieval, scale, scaling, scan, serving, throughput)

REPO_ROOT = Path(__file__).resolve().parent.parent
TABLES = ("overhead", "throughput", "scaling", "memory", "flooding", "scan", "retrieval", "limits", "localize",
          "identifiers", "code_cost", "serving", "grep", "scale")


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", choices=TABLES, help="run only this table")
    parser.add_argument("--quick", action="store_true", help="fewer rounds: numbers for a smoke run only")
    parser.add_argument("--update-doc", action="store_true",
                        help="with --only: replace just these tables' sections in the document, keep the rest")
    parser.add_argument("--doc", type=Path, default=REPO_ROOT / "docs" / "benchmarks.md")
    parser.add_argument("--build-dir", type=Path, default=REPO_ROOT / "build" / "bench")
    parser.add_argument("--idle-wait", type=float, default=0.0, metavar="SECONDS",
                        help="before the scaling table, wait up to this long for the machine to be idle")
    return parser.parse_args(argv)


def log(message: str) -> None:
    print(f"bench: {message}", file=sys.stderr, flush=True)


def run_tables(args: argparse.Namespace) -> dict[str, object]:
    tables = args.only or list(TABLES)
    results: dict[str, object] = {"machine": machine.describe()}
    machine_info = results["machine"]

    def starting(table: str) -> None:
        log(table)
        machine_info[f"load_average before {table}"] = machine.load_average()

    if "overhead" in tables:
        starting("overhead")
        results["overhead"] = overhead.run(args.build_dir / "floor", repeats=5 if args.quick else 15)
    # Loaded after the call overhead is timed: 30 MB of texts in the process
    # shift those figures (the compiled embed_single by a tenth) in a way that
    # has nothing to do with the modules.
    texts = corpus.load() if {"throughput", "scaling"} & set(tables) else None
    if "throughput" in tables:
        starting("throughput")
        results["throughput"] = throughput.run(texts, repeats=2 if args.quick else 5,
                                               slow_repeats=1 if args.quick else 3)
    if "scaling" in tables:
        if args.idle_wait > 0:
            log(f"waiting up to {args.idle_wait:g} s for an idle machine")
            machine_info["idle before scaling"] = machine.wait_until_idle(args.idle_wait)
        starting("scaling")
        results["scaling"] = scaling.run(texts, repeats=1 if args.quick else 3)
    if "memory" in tables:
        starting("memory")
        results["memory"] = memory.run()
    if "flooding" in tables:
        starting("flooding")
        results["flooding"] = flooding.run(args.build_dir, repeats=3 if args.quick else 7)
    if "scan" in tables:
        starting("scan")
        results["scan"] = scan.run(args.build_dir, repeats=3 if args.quick else 9)
    if "retrieval" in tables:
        starting("retrieval")
        results["retrieval"] = retrieval.run(args.build_dir, repeats=2 if args.quick else 5)
    if "limits" in tables:
        starting("limits")
        results["limits"] = limits.run(args.build_dir, repeats=3 if args.quick else 9)
    if "localize" in tables:
        starting("localize")
        results["localize"] = localize.run(args.build_dir, localize.PROJECTS[:2] if args.quick else localize.PROJECTS)
    if "identifiers" in tables:
        starting("identifiers")
        results["identifiers"] = identifiers.run(args.build_dir)
    if "code_cost" in tables:
        starting("code_cost")
        results["code_cost"] = code_cost.run(args.build_dir, rounds=1 if args.quick else 3)
    if "serving" in tables:
        starting("serving")
        results["serving"] = serving.run(args.build_dir, rounds=1 if args.quick else 3, quick=args.quick)
    if "grep" in tables:
        starting("grep")
        results["grep"] = grep.run(args.build_dir, rounds=1 if args.quick else 3, quick=args.quick)
    if "scale" in tables:
        starting("scale")
        results["scale"] = scale.run(args.build_dir, rounds=1 if args.quick else 3, quick=args.quick)
    return results


def write_plots(results: dict[str, object], doc: Path) -> dict[str, str]:
    written = {}
    if "throughput" in results:
        path = doc.parent / "bench-throughput.png"
        plots.throughput_plot(results["throughput"], path)
        written["Throughput"] = path.name
    if "scaling" in results:
        path = doc.parent / "bench-scaling.png"
        plots.scaling_plot(results["scaling"], path)
        written["Thread scaling"] = path.name
    if "retrieval" in results:
        path = doc.parent / "bench-retrieval.png"
        plots.retrieval_plot(results["retrieval"], path)  # shown in its own section
    return written


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    results = run_tables(args)
    results["machine"]["load_average after"] = machine.load_average()
    args.build_dir.mkdir(parents=True, exist_ok=True)
    (args.build_dir / "results.json").write_text(json.dumps(results, indent=1), encoding="utf-8")
    if args.only:  # a partial run leaves the document alone, or only its own sections
        print(report.render(results))
        if args.update_doc:
            if "retrieval" in results:
                plots.retrieval_plot(results["retrieval"], args.doc.parent / "bench-retrieval.png")
            report.update(args.doc, results)
            log(f"updated the sections of {', '.join(args.only)} in {args.doc}")
        return 0
    args.doc.parent.mkdir(parents=True, exist_ok=True)
    results["plots"] = write_plots(results, args.doc)
    report.write(args.doc, results)
    log(f"wrote {args.doc}, its plots and {args.build_dir / 'results.json'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
