"""Timing helpers: calibrated loops, interleaved repeats, medians."""
from __future__ import annotations

import statistics
import time
import timeit
from collections.abc import Callable, Mapping
from typing import TypeVar

K = TypeVar("K")
S = TypeVar("S")


def median(samples: list[float]) -> float:
    return statistics.median(samples)


def quartiles(samples: list[float]) -> tuple[float, float]:
    """The first and third quartile: the spread of the middle half."""
    if len(samples) < 2:
        return (samples[0], samples[0])
    q1, _, q3 = statistics.quantiles(samples, n=4, method="inclusive")
    return (q1, q3)


def ratio(numerator: float, denominator: float) -> float:
    return numerator / denominator if denominator > 0 else float("inf")


def seconds(work: Callable[[], object]) -> float:
    """Wall time of one run of ``work``."""
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def cpu_seconds(work: Callable[[], object]) -> float:
    """CPU time of the calling thread for one run of ``work``: on a machine
    shared with other jobs it leaves out the time the thread waited for a core."""
    start = time.thread_time()
    work()
    return time.thread_time() - start


def paired_ratios(samples: Mapping[str, list[float]], numerator: str, denominator: str) -> list[float]:
    """The ratio within each round of interleaved samples: a load change between
    rounds cancels out."""
    return [ratio(a, b) for a, b in zip(samples[numerator], samples[denominator])]


def interleaved(samplers: Mapping[K, Callable[[], S]], repeats: int) -> dict[K, list[S]]:
    """``repeats`` samples of each sampler, taken in turns so that a change in
    the machine's load falls on every variant alike."""
    samples: dict[K, list[S]] = {name: [] for name in samplers}
    for _ in range(repeats):
        for name, sample in samplers.items():
            samples[name].append(sample())
    return samples


class CallTimer:
    """CPU seconds per execution of a statement, net of the timing loop itself.

    The statement's names are bound in the setup, so they are fast locals of
    the loop and every variant pays the same for reaching its callable.
    """

    def __init__(self, statement: str, names: Mapping[str, object], target_seconds: float = 0.1):
        setup = "\n".join(f"{name} = _names[{name!r}]" for name in names) or "pass"
        scope = {"_names": dict(names)}
        self._timer = timeit.Timer(statement, setup, timer=time.thread_time, globals=scope)
        self._empty = timeit.Timer("pass", setup, timer=time.thread_time, globals=scope)
        self.number = self._calibrate(target_seconds)

    def _calibrate(self, target_seconds: float) -> int:
        number = 1
        while True:
            elapsed = self._timer.timeit(number)
            if elapsed >= target_seconds / 10 or number >= 1 << 24:
                return max(1, int(number * target_seconds / max(elapsed, 1e-9)))
            number *= 10

    def sample(self) -> float:
        loop = self._empty.timeit(self.number)
        return max(self._timer.timeit(self.number) - loop, 0.0) / self.number


def vorpaline(*args: str) -> list[str]:
    """The command line a user runs: the installed script. `python -m vorpaline` would put the
    current folder first on the import path, and in a copy of the standard library it would import
    (and compile) the copy's modules instead of the interpreter's."""
    import shutil
    import sys
    from pathlib import Path

    script = Path(sys.executable).parent / "vorpaline"
    if script.exists():
        return [str(script), *args]
    return [shutil.which("vorpaline") or "vorpaline", *args]
