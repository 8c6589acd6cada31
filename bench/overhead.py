"""Table 1: time per call of the compiled modules, their plain-Python versions
and the floor, on a fake core."""
from __future__ import annotations

from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path

from . import timing, variants

TARGET_VS_FLOOR = 1.15

BINDING_ERROR = "try:\n    s.embed_single(a, b)\nexcept TypeError:\n    pass"


@dataclass(frozen=True)
class Row:
    label: str
    statement: str

    def names(self, variant: variants.Variant) -> dict[str, object]:
        return {
            "f_service": variant.get_sparse_service,
            "f_require": variant.require_capability,
            "f_config": variant.build_scan_config,
            "s": variant.service,
            "name": "sparse_embed",
            "context": "benchmark",
            "repo": "/srv/repo",
            "text": variants.SINGLE_TEXT,
            "texts": list(variants.BATCH_TEXTS),
            "a": "a",
            "b": "b",
        }


ROWS = (
    Row("get_sparse_service()", "f_service()"),
    Row("require_capability(name, context), present", "f_require(name, context)"),
    Row("build_scan_config(repo)", "f_config(repo)"),
    Row("service.embed_single(text)", "s.embed_single(text)"),
    Row("service.embed_batch(texts), 4 texts", "s.embed_batch(texts)"),
    Row("binding error: service.embed_single(a, b)", BINDING_ERROR),
)


def measure_row(row: Row, built: dict[str, variants.Variant], repeats: int,
                target_seconds: float) -> dict[str, object]:
    timers = {name: timing.CallTimer(row.statement, row.names(v), target_seconds) for name, v in built.items()}
    samples = timing.interleaved({name: t.sample for name, t in timers.items()}, repeats)
    ns = {name: timing.median(s) * 1e9 for name, s in samples.items()}
    result: dict[str, object] = {"row": row.label, "ns": ns, "samples_ns": {
        name: [x * 1e9 for x in s] for name, s in samples.items()}}
    for other in ("pure", "floor"):
        if other in samples:
            ratios = timing.paired_ratios(samples, "compiled", other)
            result[f"compiled_vs_{other}"] = timing.median(ratios)
            result[f"compiled_vs_{other}_quartiles"] = timing.quartiles(ratios)
    return result


def dispatch_calibration(floor, repeats: int, target_seconds: float) -> dict[str, float]:
    """ns per call of a do-nothing builtin function and of a do-nothing object
    whose type has only a vectorcall slot, as the frame's function type does."""
    callables = {"builtin function": floor.do_nothing, "own type with vectorcall": floor.BareCallable()}
    timers = {name: timing.CallTimer("f()", {"f": f}, target_seconds) for name, f in callables.items()}
    samples = timing.interleaved({name: t.sample for name, t in timers.items()}, repeats)
    return {name: timing.median(s) * 1e9 for name, s in samples.items()}


def run(build_dir: Path, repeats: int = 15, target_seconds: float = 0.02) -> dict[str, object]:
    floor = variants.load_floor(build_dir)
    compiled = variants.compiled_modules()
    pure = variants.pure_modules()
    with ExitStack() as stack:
        profile_json = compiled.sparse.SparseEmbeddingService()._profile_json
        core = variants.fake_core(floor, profile_json)
        built = {"compiled": stack.enter_context(variants.module_variant("compiled", compiled, core))}
        if pure is not None:
            built["pure"] = stack.enter_context(variants.module_variant("pure", pure, core))
        built["floor"] = variants.floor_variant(floor, core, compiled.sparse.SparseResult, profile_json)
        rows = [measure_row(row, built, repeats, target_seconds) for row in ROWS]
    return {"repeats": repeats, "variants": list(built), "rows": rows,
            "dispatch": dispatch_calibration(floor, repeats, target_seconds)}
