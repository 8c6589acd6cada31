"""Table 8: the core against a ceiling made of the best measured pieces of its work.

The ceiling (``bench/limits/ceiling.cpp``, built here and loaded through
ctypes) runs each piece of what ``sparse_embed_batch`` does as a tight C++
loop over the whole corpus: parse the batch, classify the bytes with the
widest SIMD the CPU has, one table update per token, XXH32 once per distinct
term, sort the terms, write the reply. Its time is the sum of the pieces,
the batch read by the faster of simdjson and an in-place scan; a memory copy
of the corpus is timed beside them for reference. The pieces run
in order write the core's own reply byte for byte, which is checked before
anything is timed, so the ceiling does the same work on the same tokens.

The core and the pieces take turns in each round, CPU time of the calling
thread; the core's share of the ceiling is the median of the per-round
ratios ceiling time / core time. Single texts are ``sparse_embed_single``
over each text against the ceiling without the parse. Two threads: wall
time of the corpus in two shards on two threads against one thread.

    python -m bench.limits [ROUNDS]     # the table, printed (and build/bench/limits.json)
    python -m bench.limits memory NAME  # one corpus's peak memory, in a fresh interpreter
"""
from __future__ import annotations

import ctypes
import json
import os
import shlex
import struct
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import vorpaline_core_py

from . import limits_corpora, memory, timing
from .scaling import shards

REPO_ROOT = Path(__file__).resolve().parent.parent
SOURCE = Path(__file__).resolve().parent / "limits" / "ceiling.cpp"
PROFILE = json.dumps({"version": "bench", "max_text_chars": None, "code_pretokenize": True, "min_token_len": 2})
PIECES = ("parse", "copy", "classify", "table", "hash", "sort", "reply", "scan")
# The batch is read by the faster of simdjson (parse) and the in-place scan.
READING = ("parse", "scan")
WORK_PIECES = ("classify", "table", "hash", "sort", "reply")  # all a single text needs: it arrives as a str
TARGET_SHARE = 0.85
TARGET_TWO_THREADS = 1.9
TARGET_MEMORY = 3.0
FLAGS = ("-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared", "-fvisibility=hidden",
         "-Wall", "-Wextra", "-Werror", "-Wno-psabi")


def library_path(build_dir: Path) -> Path:
    return build_dir / "limits_ceiling.so"


def build(build_dir: Path) -> Path:
    """Compiles the ceiling when its source is newer than the library."""
    target = library_path(build_dir)
    if not target.exists() or target.stat().st_mtime < SOURCE.stat().st_mtime:
        build_dir.mkdir(parents=True, exist_ok=True)
        compiler = shlex.split(os.environ.get("CXX", "c++"))
        subprocess.run([*compiler, *FLAGS, str(SOURCE), "-lsimdjson", "-o", str(target)], check=True)
    return target


def token_blob(texts: list[str] | tuple[str, ...]) -> bytes:
    """Each text's distinct tokens with their counts, as the core finds them
    (``sparse_explain``): per text a count, then tf, length and bytes of each."""
    parts = []
    for text in texts:
        tokens = json.loads(vorpaline_core_py.sparse_explain(text, PROFILE))["tokens"]
        parts.append(struct.pack("<I", len(tokens)))
        for token in tokens:
            data = token["token"].encode("utf-8")
            parts.append(struct.pack("<II", token["tf"], len(data)))
            parts.append(data)
    return b"".join(parts)


class Ceiling:
    """The ceiling's loops over one corpus."""

    def __init__(self, library: Path, payload: str, tokens: bytes):
        self._lib = ctypes.CDLL(str(library))
        self._lib.ceiling_open.restype = ctypes.c_void_p
        self._lib.ceiling_open.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
        self._lib.ceiling_close.argtypes = [ctypes.c_void_p]
        self._lib.ceiling_run.restype = ctypes.c_double
        self._lib.ceiling_run.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self._lib.ceiling_reply.restype = ctypes.c_size_t
        self._lib.ceiling_reply.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p)]
        self._lib.ceiling_scan_mismatches.restype = ctypes.c_size_t
        self._lib.ceiling_scan_mismatches.argtypes = [ctypes.c_void_p]
        json_bytes = payload.encode("utf-8")
        self._handle = self._lib.ceiling_open(json_bytes, len(json_bytes), tokens, len(tokens))
        if not self._handle:
            raise ValueError("the ceiling could not read the batch or its tokens")

    @property
    def simd_width(self) -> int:
        return self._lib.ceiling_simd_width()

    def run(self, piece: str) -> float:
        """CPU seconds of one piece over the whole corpus."""
        return self._lib.ceiling_run(self._handle, PIECES.index(piece))

    def reply(self) -> str:
        """The reply the pieces make, run in order."""
        for piece in PIECES:
            self.run(piece)
        data = ctypes.c_char_p()
        size = self._lib.ceiling_reply(self._handle, ctypes.byref(data))
        return ctypes.string_at(data, size).decode("ascii")

    def scan_mismatches(self) -> int:
        """Texts the in-place scan reads otherwise than simdjson: 0."""
        return self._lib.ceiling_scan_mismatches(self._handle)

    def close(self) -> None:
        if self._handle:
            self._lib.ceiling_close(self._handle)
            self._handle = None


def two_thread_samplers(payload: str, texts: tuple[str, ...], pool: ThreadPoolExecutor) -> dict[str, object]:
    halves = [json.dumps(shard) for shard in shards(texts, 2)]

    def one() -> float:
        return timing.seconds(lambda: vorpaline_core_py.sparse_embed_batch(payload, PROFILE))

    def two() -> float:
        return timing.seconds(lambda: list(pool.map(lambda half: vorpaline_core_py.sparse_embed_batch(half, PROFILE),
                                                    halves)))
    return {"one thread": one, "two threads": two}


def spread(samples: list[float]) -> dict[str, object]:
    return {"median": timing.median(samples), "quartiles": timing.quartiles(samples)}


def run_corpus(name: str, build_dir: Path, repeats: int) -> dict[str, object]:
    corpus = limits_corpora.load(name)
    payload = json.dumps(list(corpus.texts))
    ceiling = Ceiling(build(build_dir), payload, token_blob(corpus.texts))
    try:
        if ceiling.reply() != vorpaline_core_py.sparse_embed_batch(payload, PROFILE):
            raise AssertionError(f"the ceiling's pieces do not write the core's reply on {name}")
        if ceiling.scan_mismatches():
            raise AssertionError(f"the ceiling's scan does not read the texts of {name} as simdjson does")
        embed_single = vorpaline_core_py.sparse_embed_single
        samplers = {
            "core batch": lambda: timing.cpu_seconds(lambda: vorpaline_core_py.sparse_embed_batch(payload, PROFILE)),
            "core single": lambda: timing.cpu_seconds(lambda: [embed_single(t, PROFILE) for t in corpus.texts]),
            **{piece: (lambda piece=piece: ceiling.run(piece)) for piece in PIECES},
        }
        for sample in samplers.values():
            sample()  # warm: caches, the parser's buffers, the texts' UTF-8
        samples = timing.interleaved(samplers, repeats)
        simd = ceiling.simd_width
    finally:
        ceiling.close()
    rounds = range(repeats)
    single_ceiling = [sum(samples[p][r] for p in WORK_PIECES) for r in rounds]
    reading = min(READING, key=lambda piece: timing.median(samples[piece]))
    batch_ceiling = [single + samples[reading][r] for r, single in zip(rounds, single_ceiling)]
    with ThreadPoolExecutor(max_workers=2) as pool:
        threads = two_thread_samplers(payload, corpus.texts, pool)
        for sample in threads.values():
            sample()
        wall = timing.interleaved(threads, repeats)
    megabytes = corpus.utf8_bytes / 1e6
    return {
        "name": name, "label": limits_corpora.LABELS[name], "texts": len(corpus.texts), "files": corpus.files,
        "generated": corpus.generated, "megabytes": megabytes, "simd_width": simd, "reading": reading,
        "mb_s": {key: megabytes / timing.median(values) for key, values in samples.items()},
        "ceiling_mb_s": {"batch": megabytes / timing.median(batch_ceiling),
                         "single": megabytes / timing.median(single_ceiling)},
        "share": {"batch": spread([c / t for c, t in zip(batch_ceiling, samples["core batch"])]),
                  "single": spread([c / t for c, t in zip(single_ceiling, samples["core single"])])},
        "two_threads": spread(timing.paired_ratios(wall, "one thread", "two threads")),
        "memory": memory_of(name),
    }


MEMORY_VARIANTS = ("core", "end_to_end")


def memory_of(name: str) -> dict[str, float]:
    """Each variant in a fresh interpreter, so that no earlier allocation hides its peak."""
    result = {}
    for variant in MEMORY_VARIANTS:
        out = subprocess.run([sys.executable, "-m", "bench.limits", "memory", name, variant], capture_output=True,
                             text=True, check=True, cwd=REPO_ROOT).stdout
        result[variant] = json.loads(out)
    return result


def measure_memory(name: str, variant: str) -> float:
    """Extra resident memory of one whole-corpus batch (the reply, or the
    records, kept) over the corpus's UTF-8 bytes; the input is made before the
    peak counter is reset."""
    from .throughput import unlimited_service

    corpus = limits_corpora.load(name)
    texts = list(corpus.texts)
    with unlimited_service() as service:
        if variant == "core":
            payload, profile = json.dumps(texts), service._profile_json
            work = lambda: vorpaline_core_py.sparse_embed_batch(payload, profile)  # noqa: E731
        else:
            work = lambda: service.embed_batch(texts)  # noqa: E731
        before = memory.status_kib("VmRSS", memory._status())
        memory.reset_peak()
        kept = work()
        peak = memory.status_kib("VmHWM", memory._status())
        del kept
    return (peak - before) * 1024 / corpus.utf8_bytes


def run(build_dir: Path, repeats: int = 7) -> dict[str, object]:
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    rows = [run_corpus(name, build_dir, repeats) for name in limits_corpora.NAMES]
    return {"date": started, "load_average": " ".join(f"{x:.2f}" for x in os.getloadavg()),
            "repeats": repeats, "rows": rows}


if __name__ == "__main__":
    if sys.argv[1:2] == ["memory"]:
        print(json.dumps(measure_memory(sys.argv[2], sys.argv[3])))
    else:
        from . import report
        build_dir = REPO_ROOT / "build" / "bench"
        results = run(build_dir, repeats=int(sys.argv[1]) if sys.argv[1:] else 7)
        (build_dir / "limits.json").write_text(json.dumps(results, indent=1), encoding="utf-8")
        print(report.limits_section(results))
