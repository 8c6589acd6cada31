"""Where the time goes, counted in instructions under callgrind.

    python -m bench.callgrind [--python PY] [--calls N] [--top K]

Each workload runs twice in a fresh interpreter under callgrind, with N calls
and with none; the difference of the two profiles, divided by N, is what one
call costs, function by function. Instruction counts do not depend on the
machine's load, so the comparison of the compiled modules with the floor
holds on a busy machine. PY should be an interpreter whose vorpaline build
keeps its symbols (see docs/benchmarks.md).
"""
from __future__ import annotations

import argparse
import collections
import itertools
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parent.parent
CALL_ROWS = ("service", "require", "config", "single", "batch", "error")
VARIANTS = ("compiled", "pure", "floor")
_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([\d.]+%\)\s+)?(.*)$")


def parse_annotate(text: str) -> dict[str, int]:
    """Self cost per function from ``callgrind_annotate`` output; the same
    function seen through several source files is added up."""
    costs: dict[str, int] = collections.Counter()
    in_table = False
    for line in text.splitlines():
        if line.startswith("Ir") and "file:function" in line:
            in_table = True
            continue
        match = _LINE.match(line) if in_table else None
        if not match or "PROGRAM TOTALS" in line:
            continue
        location = re.sub(r"\s+\[[^\]]*\]$", "", match.group(2))
        function = location.split(":", 1)[1] if ":" in location else location
        costs[function] += int(match.group(1).replace(",", ""))
    return dict(costs)


def per_call(with_calls: dict[str, int], without: dict[str, int], calls: int) -> dict[str, float]:
    """Instructions per call of each function whose count grew with the calls."""
    grown = {name: (cost - without.get(name, 0)) / calls for name, cost in with_calls.items()}
    return {name: cost for name, cost in grown.items() if cost > 0}


def profile(python: str, workload: list[str], out_dir: Path) -> dict[str, int]:
    out = out_dir / ("callgrind." + "-".join(workload))
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python, "-m", "bench.callgrind",
                    "target", *workload], check=True, cwd=REPO_ROOT, env=env, capture_output=True)
    annotated = subprocess.run(["callgrind_annotate", "--auto=no", "--threshold=100", str(out)], check=True,
                               capture_output=True, text=True).stdout
    return parse_annotate(annotated)


# --- what runs under callgrind -------------------------------------------------

def _call_statement(row: str, variant) -> tuple[object, tuple]:
    """The callable and arguments of one row of table 1."""
    from . import variants
    service = variant.service
    return {
        "service": (variant.get_sparse_service, ()),
        "require": (variant.require_capability, ("sparse_embed", "benchmark")),
        "config": (variant.build_scan_config, ("/srv/repo",)),
        "single": (service.embed_single, (variants.SINGLE_TEXT,)),
        "batch": (service.embed_batch, (list(variants.BATCH_TEXTS),)),
        "error": (service.embed_single, ("a", "b")),
    }[row]


def run_call_target(row: str, variant_name: str, calls: int) -> None:
    from contextlib import ExitStack

    from . import variants
    floor = variants.load_floor(REPO_ROOT / "build" / "bench" / "floor")
    compiled = variants.compiled_modules()
    with ExitStack() as stack:
        profile_json = compiled.sparse.SparseEmbeddingService()._profile_json
        core = variants.fake_core(floor, profile_json)
        if variant_name == "floor":
            variant = variants.floor_variant(floor, core, compiled.sparse.SparseResult, profile_json)
        else:
            modules = compiled if variant_name == "compiled" else variants.pure_modules()
            variant = stack.enter_context(variants.module_variant(variant_name, modules, core))
        function, args = _call_statement(row, variant)
        if row != "error":
            function(*args)  # warm: specialised bytecode, caches
        for _ in itertools.repeat(None, calls):
            try:
                function(*args)
            except TypeError:
                pass


def core_texts() -> list[str]:
    """Every 8th file of the corpus: enough to be typical, small enough for callgrind."""
    from . import corpus
    return list(corpus.load().texts)[::8]


def run_core_target(calls: int) -> None:
    import vorpaline_core_py

    texts = core_texts()
    profile_json = json.dumps({"version": "bench", "max_text_chars": None, "code_pretokenize": True,
                               "min_token_len": 2})
    payload = json.dumps(texts)
    for _ in range(calls):
        vorpaline_core_py.sparse_embed_batch(payload, profile_json)


# --- the driver ----------------------------------------------------------------

def top(costs: dict[str, float], count: int) -> list[tuple[str, float, float]]:
    total = sum(costs.values())
    ranked = sorted(costs.items(), key=lambda item: item[1], reverse=True)[:count]
    return [(name, cost, cost / total) for name, cost in ranked]


def shorten(name: str, width: int = 110) -> str:
    name = re.sub(r"\(anonymous namespace\)::", "", name)
    name = re.sub(r"std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string", name)
    name = re.sub(r"std::basic_string_view<char, std::char_traits<char> >", "std::string_view", name)
    return name if len(name) <= width else name[: width - 3] + "..."


def difference(costs: dict[str, float], baseline: dict[str, float]) -> dict[str, float]:
    """What ``costs`` spends beyond ``baseline``, function by function (positive part only)."""
    names = set(costs) | set(baseline)
    extra = {name: costs.get(name, 0.0) - baseline.get(name, 0.0) for name in names}
    return {name: cost for name, cost in extra.items() if cost > 0}


def report_costs(title: str, costs: dict[str, float], count: int, unit: str) -> str:
    lines = [f"{title}: {sum(costs.values()):,.0f} {unit}"]
    lines += [f"  {cost:>12,.0f}  {share:6.1%}  {shorten(name)}" for name, cost, share in top(costs, count)]
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    if argv[:1] == ["target"]:
        if argv[1] == "core":
            run_core_target(int(argv[2]))
        else:
            run_call_target(argv[1], argv[2], int(argv[3]))
        return 0
    parser = argparse.ArgumentParser(prog="python -m bench.callgrind", description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--top", type=int, default=12)
    parser.add_argument("--rows", nargs="*", default=list(CALL_ROWS), choices=CALL_ROWS)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="vorpaline-callgrind-") as tmp:
        out_dir = Path(tmp)
        core = per_call(profile(args.python, ["core", "1"], out_dir), profile(args.python, ["core", "0"], out_dir), 1)
        source_bytes = sum(len(text.encode("utf-8")) for text in core_texts())
        print(report_costs(f"core: sparse_embed_batch on every 8th corpus file ({source_bytes / 1e6:.1f} MB, "
                           f"{sum(core.values()) / source_bytes:.1f} instructions per byte)",
                           core, args.top * 2, "instructions"))
        for row in args.rows:
            by_variant = {}
            for variant in VARIANTS:
                by_variant[variant] = per_call(profile(args.python, [row, variant, str(args.calls)], out_dir),
                                               profile(args.python, [row, variant, "0"], out_dir), args.calls)
                print()
                print(report_costs(f"{row} / {variant}", by_variant[variant], args.top, "instructions per call"))
            print()
            print(report_costs(f"{row}: compiled beyond floor", difference(by_variant["compiled"], by_variant["floor"]),
                               args.top, "instructions per call (sum of the functions that grew)"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
