"""The results as Markdown tables, written between two markers of docs/benchmarks.md."""
from __future__ import annotations

from pathlib import Path

from . import flooding, memory, overhead, scaling, throughput

BEGIN = "<!-- results:begin (written by `python -m bench`; edit outside these markers) -->"
END = "<!-- results:end -->"


def verdict(met: bool) -> str:
    return "met" if met else "**missed**"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def machine_section(machine: dict[str, object]) -> str:
    return "### Machine\n\n" + table(["", ""], [[key, str(value)] for key, value in machine.items()])


OUTCOMES = ("met", "within noise", "**missed**")


def target_outcome(row: dict[str, object], other: str, target: float) -> int:
    """0 when the median ratio meets the target, 1 when only the first quartile
    does (the rounds disagree), 2 otherwise; a comparison not measured counts as met."""
    if f"compiled_vs_{other}" not in row:
        return 0
    if row[f"compiled_vs_{other}"] <= target:
        return 0
    q1, _ = row.get(f"compiled_vs_{other}_quartiles", (float("inf"), None))
    return 1 if q1 <= target else 2


def spread(row: dict[str, object], other: str) -> str:
    """The median ratio and, when measured, the quartiles of the per-round ratios."""
    if f"compiled_vs_{other}" not in row:
        return "n/a"
    text = f"{row[f'compiled_vs_{other}']:.2f}"
    if f"compiled_vs_{other}_quartiles" in row:
        q1, q3 = row[f"compiled_vs_{other}_quartiles"]
        text += f" ({q1:.2f}-{q3:.2f})"
    return text


def dispatch_note(dispatch: dict[str, float]) -> str:
    measured = ", ".join(f"{name} {ns:.1f} ns" for name, ns in dispatch.items())
    return ("\n\nCalibration, a call that does nothing: " + measured + ". A type of one's own with a vectorcall "
            "slot, as the frame's function type is, costs no more to reach than a builtin function.")


def overhead_section(result: dict[str, object]) -> str:
    rows = []
    for row in result["rows"]:
        ns = row["ns"]
        outcome = max(target_outcome(row, "floor", overhead.TARGET_VS_FLOOR), target_outcome(row, "pure", 1.0))
        rows.append([row["row"], f"{ns['compiled']:.0f}", f"{ns['pure']:.0f}" if "pure" in ns else "n/a",
                     f"{ns['floor']:.0f}", spread(row, "pure"), spread(row, "floor"), OUTCOMES[outcome]])
    return (
        "### 1. Call overhead (fake core)\n\n"
        f"Nanoseconds of CPU time per call, median of {result['repeats']} interleaved rounds, net of the "
        "timing loop. Ratios are the medians of the per-round ratios. Targets: compiled / plain Python "
        f"at most 1.00 and compiled / floor at most {overhead.TARGET_VS_FLOOR:.2f}; the quartiles of the "
        "per-round ratios follow each median.\n\n"
        + table(["operation", "(a) compiled", "(b) plain Python", "(c) floor", "(a)/(b)", "(a)/(c)", "targets"],
                rows)
        + (dispatch_note(result["dispatch"]) if "dispatch" in result else ""))


def throughput_section(result: dict[str, object]) -> str:
    rows = [[f"({row['key']}) {row['label']}", f"{row['mb_s']:.1f}", f"{row['seconds']:.3f}", str(row["repeats"])]
            for row in result["rows"]]
    ratios = result["ratios"]
    checks = table(["target", "measured", ""], [
        [f"(b) at least {throughput.TARGET_VS_CODE_AWARE:g}x (e)", f"{ratios['b_vs_e']:.2f}x",
         verdict(ratios["b_vs_e"] >= throughput.TARGET_VS_CODE_AWARE)],
        [f"(b) at least {throughput.TARGET_VS_DEFAULT:g}x (d)", f"{ratios['b_vs_d']:.2f}x",
         verdict(ratios["b_vs_d"] >= throughput.TARGET_VS_DEFAULT)],
        [f"(a) at least {throughput.TARGET_CORE_MB_S:g} MB/s on one core", f"{ratios['a_mb_s']:.1f} MB/s",
         verdict(ratios["a_mb_s"] >= throughput.TARGET_CORE_MB_S)],
    ])
    stages = ""
    if "stages" in result:
        total = sum(result["stages"].values())
        stages = "\n\nWhere (b) spends its time, each step timed alone on the whole corpus:\n\n" + table(
            ["step", "seconds", "share"],
            [[name, f"{s:.3f}", f"{s / total:.0%}"] for name, s in result["stages"].items()])
        reply = result["reply"]
        stages += (f"\n\nThe reply holds {reply['terms']:,} terms in {reply['reply_megabytes']:.1f} MB of JSON: "
                   f"{reply['bytes_per_term']:.1f} bytes per term.")
    return (
        "### 2. Throughput on the standard-library corpus\n\n"
        f"{result['files']} `.py` files, {result['megabytes']:.1f} MB as UTF-8 ({len(result['skipped'])} "
        "files skipped: test inputs with deliberately broken encodings). MB/s = corpus MB / median CPU "
        "seconds of the calling thread for the whole corpus; the service runs without a character limit "
        "so that every variant handles every byte.\n\n"
        + table(["variant", "MB/s", "seconds", "repeats"], rows) + "\n\n" + checks + stages)


def scaling_section(result: dict[str, object]) -> str:
    threads = result["threads"]
    rows = []
    for row in result["rows"]:
        rows.append([row["label"]] + [f"{row['mb_s'][t]:.1f}" for t in threads]
                    + [f"{row['speedup'][t]:.2f}x" for t in threads[1:]]
                    + [" / ".join(f"{row['cores_busy'][t]:.2f}" for t in threads)])
    core = next(row for row in result["rows"] if row["key"] == "core")
    two = core["speedup"][2]
    return (
        "### 3. Thread scaling\n\n"
        f"MB/s of wall time for the whole corpus split into equal-size shards, one per thread, median of "
        f"{result['repeats']} interleaved rounds. Target: the core alone with 2 threads at least "
        f"{scaling.TARGET_TWO_THREADS:g}x one thread (measured {two:.2f}x: {verdict(two >= scaling.TARGET_TWO_THREADS)}).\n\n"
        + table(["workload"] + [f"{t} thread{'s' if t > 1 else ''} MB/s" for t in threads]
                + [f"speed-up {t} threads" for t in threads[1:]]
                + ["cores busy (" + " / ".join(map(str, threads)) + ")"], rows)
        + "\n\nCores busy is the process's CPU time over the wall time: below the thread count where threads "
        "wait for the interpreter lock, or for a core that other jobs on the machine hold.")


def memory_section(result: dict[str, object]) -> str:
    mib = 1 << 20
    rows = []
    for row in result["rows"]:
        rows.append([row["label"], f"{row['rss_before'] / mib:.0f}", f"{row['peak_rss'] / mib:.0f}",
                     f"{row['extra'] / mib:.0f}", f"{row['extra_vs_corpus']:.2f}x"])
    batch = next(row for row in result["rows"] if row["key"] == "batch")
    return (
        "### 4. Peak memory, whole corpus in one batch\n\n"
        "MiB of resident memory in a fresh interpreter: before the call (interpreter, corpus and the call's "
        "input), the peak during the call, and the difference. Target: the end-to-end call's extra memory "
        f"under {memory.TARGET_VS_CORPUS:g}x the corpus bytes (measured {batch['extra_vs_corpus']:.2f}x: "
        f"{verdict(batch['extra_vs_corpus'] < memory.TARGET_VS_CORPUS)}).\n\n"
        + table(["variant", "RSS before", "peak RSS", "extra", "extra / corpus"], rows))


def flooding_section(result: dict[str, object]) -> str:
    rows = [[row["label"], f"{row['bytes'] / 1e3:.0f}", f"{row['ms']:.2f}", f"{row['random_ms']:.2f}",
             f"{row['ratio']:.2f}x ({row['quartiles'][0]:.2f}-{row['quartiles'][1]:.2f})"]
            for row in result["rows"]]
    return (
        "### 5. Crafted tokens against the counting tables\n\n"
        f"One `sparse_embed_single` of {result['distinct']} distinct tokens, each {result['repeats_per_token']} "
        "times in a shuffled order, against random tokens of the same length and number: milliseconds of CPU "
        "time (medians of interleaved rounds) and the median of the per-round ratios with their quartiles. "
        f"Target: the worst at most {flooding.TARGET_RATIO:g}x random (measured {result['worst']:.2f}x: "
        f"{verdict(result['worst'] <= flooding.TARGET_RATIO)}).\n\n"
        + table(["crafted text", "kB", "ms", "random ms", "crafted / random"], rows))


def render(results: dict[str, object]) -> str:
    sections = [machine_section(results["machine"])]
    for key, section in (("overhead", overhead_section), ("throughput", throughput_section),
                         ("scaling", scaling_section), ("memory", memory_section),
                         ("flooding", flooding_section)):
        if key in results:
            sections.append(section(results[key]))
    if "plots" in results:
        sections.append("\n".join(f"![{name}]({path})" for name, path in results["plots"].items()))
    return "\n\n".join(sections)


def write(document: Path, results: dict[str, object]) -> None:
    """Replaces what lies between the markers; the rest of the document is kept.
    A document without the markers gets them, with the results, at its end."""
    block = f"{BEGIN}\n\n{render(results)}\n\n{END}"
    text = document.read_text(encoding="utf-8") if document.exists() else "# Benchmarks\n"
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        text = head + block + rest.split(END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    document.write_text(text, encoding="utf-8")
