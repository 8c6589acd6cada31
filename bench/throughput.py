"""Table 2: MB/s of source text through the core, the service and the
competitors, on the standard-library corpus."""
from __future__ import annotations

import json
from collections.abc import Callable, Iterator
from contextlib import contextmanager

import vorpaline_core_py

from . import code_tokens, timing
from .corpus import Corpus

TARGET_CORE_MB_S = 300.0
TARGET_VS_CODE_AWARE = 5.0
TARGET_VS_DEFAULT = 2.0


@contextmanager
def unlimited_service() -> Iterator[object]:
    """The shared service built with no character limit, so that every variant
    handles every byte of the corpus; the settings are restored afterwards."""
    from vorpaline import sparse
    from vorpaline.config import settings

    saved = settings.sparse_max_text_chars
    settings.sparse_max_text_chars = None
    sparse.reset_sparse_service()
    try:
        yield sparse.get_sparse_service()
    finally:
        settings.sparse_max_text_chars = saved
        sparse.reset_sparse_service()


def variants(corpus: Corpus, service) -> dict[str, tuple[str, Callable[[], object]]]:
    """Label and work of each variant, keyed by the letter the report uses."""
    from sklearn.feature_extraction.text import HashingVectorizer

    texts = list(corpus.texts)
    payload = json.dumps(texts)
    profile = service._profile_json
    default = HashingVectorizer()
    code_aware = HashingVectorizer(analyzer=code_tokens.code_tokens)
    return {
        "a": ("core alone: sparse_embed_batch, reply not decoded",
              lambda: vorpaline_core_py.sparse_embed_batch(payload, profile)),
        "b": ("end to end: get_sparse_service().embed_batch(texts)", lambda: service.embed_batch(texts)),
        "c": ("embed_single in a loop", lambda: [service.embed_single(text) for text in texts]),
        "d": ("HashingVectorizer, default analyzer", lambda: default.transform(texts)),
        "e": ("HashingVectorizer, code-aware Python analyzer", lambda: code_aware.transform(texts)),
        "f": ("plain-Python tokeniser, log-TF weights",
              lambda: [code_tokens.log_tf_embed(text) for text in texts]),
    }


def stages(corpus: Corpus, service) -> dict[str, Callable[[], object]]:
    """The steps of (b), each alone, on inputs made beforehand: what the end-to-end
    call spends where."""
    from vorpaline.sparse import SparseResult

    texts = list(corpus.texts)
    payload = json.dumps(texts)
    profile = service._profile_json
    reply = vorpaline_core_py.sparse_embed_batch(payload, profile)
    decoded = json.loads(reply)

    def records():
        return [SparseResult(indices=e["indices"], values=e["values"], truncated=e.get("truncated"),
                             original_chars=e.get("original_chars"), used_chars=e.get("used_chars"))
                for e in decoded["embeddings"]]
    return {
        "json.dumps(texts)": lambda: json.dumps(texts),
        "core: sparse_embed_batch": lambda: vorpaline_core_py.sparse_embed_batch(payload, profile),
        "json.loads(reply)": lambda: json.loads(reply),
        "SparseResult records": records,
    }


def reply_size(corpus: Corpus, service) -> dict[str, float]:
    reply = vorpaline_core_py.sparse_embed_batch(json.dumps(list(corpus.texts)), service._profile_json)
    terms = sum(len(e["indices"]) for e in json.loads(reply)["embeddings"])
    return {"reply_megabytes": len(reply) / 1e6, "terms": terms, "bytes_per_term": len(reply) / max(terms, 1)}


def run(corpus: Corpus, repeats: int = 5, slow_repeats: int = 3) -> dict[str, object]:
    """Every variant is warmed once, then timed in interleaved rounds; the slow
    Python competitors (e, f) sit out the rounds beyond ``slow_repeats``."""
    megabytes = corpus.utf8_bytes / 1e6
    with unlimited_service() as service:
        work = variants(corpus, service)
        for _, run_once in work.values():
            run_once()
        samples: dict[str, list[float]] = {key: [] for key in work}
        for round_index in range(repeats):
            for key, (_, run_once) in work.items():
                if key in "ef" and round_index >= slow_repeats:
                    continue
                samples[key].append(timing.cpu_seconds(run_once))
        stage_samples = timing.interleaved(
            {name: (lambda step=step: timing.cpu_seconds(step)) for name, step in stages(corpus, service).items()},
            repeats)
        reply = reply_size(corpus, service)
    rows = []
    for key, (label, _) in work.items():
        seconds = timing.median(samples[key])
        rows.append({"key": key, "label": label, "seconds": seconds, "mb_s": megabytes / seconds,
                     "repeats": len(samples[key]), "samples_s": samples[key]})
    mb_s = {row["key"]: row["mb_s"] for row in rows}
    ratios = {
        "b_vs_e": timing.ratio(mb_s["b"], mb_s["e"]),
        "b_vs_d": timing.ratio(mb_s["b"], mb_s["d"]),
        "a_mb_s": mb_s["a"],
    }
    stage_seconds = {name: timing.median(s) for name, s in stage_samples.items()}
    return {"files": len(corpus.texts), "megabytes": megabytes, "skipped": list(corpus.skipped),
            "rows": rows, "ratios": ratios, "stages": stage_seconds, "reply": reply}
