"""Table 4: peak RSS of embedding the whole corpus in one batch.

Each variant runs in a fresh interpreter (``python -m bench.memory VARIANT``),
so that no earlier allocation hides its peak: the corpus and the call's input
are made first, the kernel's peak counter is reset, the call runs, and the
peak is read while the result is still alive.
"""
from __future__ import annotations

import json
import re
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parent.parent

TARGET_VS_CORPUS = 4.0

VARIANTS = {
    "core": "core alone: sparse_embed_batch, reply text kept",
    "batch": "end to end: embed_batch(texts), records kept",
    "hashing": "HashingVectorizer, default analyzer, matrix kept",
}


def status_kib(field: str, status: str) -> int:
    """A ``kB`` field of /proc/<pid>/status."""
    match = re.search(rf"^{field}:\s+(\d+) kB$", status, re.MULTILINE)
    if not match:
        raise ValueError(f"no {field} in the process status")
    return int(match.group(1))


def _status() -> str:
    with open("/proc/self/status", encoding="ascii") as handle:
        return handle.read()


def reset_peak() -> None:
    """Makes VmHWM start again from the current RSS (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w", encoding="ascii") as handle:
        handle.write("5")


def prepare(variant: str, texts: list[str]) -> Callable[[], object]:
    from .throughput import unlimited_service

    if variant == "hashing":
        from sklearn.feature_extraction.text import HashingVectorizer
        vectorizer = HashingVectorizer()
        return lambda: vectorizer.transform(texts)
    service_context = unlimited_service()
    service = service_context.__enter__()  # the process ends with the measurement
    if variant == "batch":
        return lambda: service.embed_batch(texts)
    import vorpaline_core_py
    payload, profile = json.dumps(texts), service._profile_json
    return lambda: vorpaline_core_py.sparse_embed_batch(payload, profile)


def measure(variant: str) -> dict[str, int]:
    from . import corpus as corpus_module

    corpus = corpus_module.load()
    work = prepare(variant, list(corpus.texts))
    before = status_kib("VmRSS", _status())
    reset_peak()
    result = work()
    peak = status_kib("VmHWM", _status())
    del result
    return {"corpus_bytes": corpus.utf8_bytes, "rss_before": before * 1024, "peak_rss": peak * 1024}


def run() -> dict[str, object]:
    rows = []
    for variant, label in VARIANTS.items():
        out = subprocess.run([sys.executable, "-m", "bench.memory", variant], capture_output=True, text=True,
                             check=True, cwd=REPO_ROOT).stdout
        measured = json.loads(out)
        extra = measured["peak_rss"] - measured["rss_before"]
        rows.append({"key": variant, "label": label, **measured, "extra": extra,
                     "extra_vs_corpus": extra / measured["corpus_bytes"],
                     "peak_vs_corpus": measured["peak_rss"] / measured["corpus_bytes"]})
    return {"rows": rows}


if __name__ == "__main__":
    print(json.dumps(measure(sys.argv[1])))
