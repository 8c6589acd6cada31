"""PNG plots of the throughput table and the scaling curve."""
from __future__ import annotations

import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import ticker  # noqa: E402


def throughput_plot(result: dict[str, object], path: Path) -> None:
    rows = list(reversed(result["rows"]))
    labels = [f"({row['key']}) {row['label']}" for row in rows]
    values = [row["mb_s"] for row in rows]
    figure, axes = plt.subplots(figsize=(9, 4))
    bars = axes.barh(labels, values, color=["#2b6cb0" if row["key"] in "abc" else "#a0aec0" for row in rows])
    axes.bar_label(bars, labels=[f"{v:.1f}" for v in values], padding=3, fontsize=8)
    axes.set_xscale("log")
    axes.xaxis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}"))
    axes.xaxis.set_minor_formatter(ticker.NullFormatter())
    axes.set_xlim(min(values) / 1.5, max(values) * 1.6)  # room for the labels on a log scale
    axes.set_xlabel("MB/s of source text (log scale, one core)")
    axes.set_title(f"Throughput on {result['files']} stdlib .py files ({result['megabytes']:.1f} MB)")
    axes.tick_params(axis="y", labelsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def scaling_plot(result: dict[str, object], path: Path) -> None:
    threads = result["threads"]
    figure, axes = plt.subplots(figsize=(6, 4))
    for row in result["rows"]:
        axes.plot(threads, [row["speedup"][t] for t in threads], marker="o", label=row["label"])
    cores = os.cpu_count() or 1
    axes.plot(threads, [min(t, cores) for t in threads], linestyle=":", color="grey",
              label=f"ideal on {cores} cores")
    axes.set_xticks(threads)
    axes.set_xlabel("threads")
    axes.set_ylabel("speed-up over one thread")
    axes.set_title("Thread scaling (ThreadPoolExecutor)")
    axes.legend(fontsize=8)
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def retrieval_plot(result: dict[str, object], path: Path) -> None:
    """Quality (MRR@10) and build speed of the retrieval table's contenders, side by side."""
    quality = [row for row in result["quality"] if row["status"] == "measured"]
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 3.6))
    labels = [row["label"] for row in quality]
    values = [row["mrr10"] for row in quality]
    bars = left.barh(labels, values, color=["#2b6cb0" if row["key"] == "vorpaline" else "#a0aec0" for row in quality])
    left.bar_label(bars, labels=[f"{v:.3f}" for v in values], padding=3, fontsize=8)
    left.set_xlim(0, max(values) * 1.25)
    left.set_xlabel("MRR@10, a function found from its docstring's first sentence")
    left.invert_yaxis()
    speed = [(row["label"], row["build_mb_s"], row["key"] == "vorpaline") for row in result["speed"]]
    product = result["product"]
    for threads in (1, 2):
        if f"files_mb_s_{threads}" in product:
            speed.append((f"vorpaline index from files, {threads} thread{'s' if threads > 1 else ''}",
                          product[f"files_mb_s_{threads}"], True))
    bars = right.barh([s[0] for s in speed], [s[1] for s in speed],
                      color=["#2b6cb0" if mine else "#a0aec0" for _, _, mine in speed])
    right.bar_label(bars, labels=[f"{s[1]:.0f}" for s in speed], padding=3, fontsize=8)
    right.set_xlim(0, max(s[1] for s in speed) * 1.25)
    right.set_xlabel("index build, MB/s of text")
    right.invert_yaxis()
    for axes in (left, right):
        axes.tick_params(axis="y", labelsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
