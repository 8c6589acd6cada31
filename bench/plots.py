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
