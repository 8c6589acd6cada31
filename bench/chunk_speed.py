"""How fast the core chunks the standard library's sources: MB/s of UTF-8.

    python -m bench.chunk_speed [--rounds N]

Each text's UTF-8 form is made once before timing (the str caches it), so
the figure is the chunker's own work and the call, not the encoding. The
best of the rounds is reported. Not part of the harness's tables.
"""
from __future__ import annotations

import argparse
import json
import time

import vorpaline_core_py as core

from bench.corpus import load


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    options = parser.parse_args()

    corpus = load()
    size = corpus.utf8_bytes
    chunks = sum(len(json.loads(core.chunk_text(text))["chunks"]) for text in corpus.texts)
    lines = sum(text.count("\n") + 1 for text in corpus.texts)
    whole = "".join(corpus.texts)
    core.chunk_text(whole)

    def best(work) -> float:
        times = []
        for _ in range(options.rounds):
            started = time.perf_counter()
            work()
            times.append(time.perf_counter() - started)
        return min(times)

    per_file = best(lambda: [core.chunk_text(text) for text in corpus.texts])
    one_text = best(lambda: core.chunk_text(whole))
    print(f"{len(corpus.texts)} files, {size / 1e6:.1f} MB, {lines} lines, {chunks} chunks "
          f"({lines / chunks:.1f} lines a chunk)")
    print(f"file by file: {size / per_file / 1e6:8.0f} MB/s")
    print(f"as one text:  {size / one_text / 1e6:8.0f} MB/s")


if __name__ == "__main__":
    main()
