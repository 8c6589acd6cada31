"""A description of the machine and software that a benchmark run used."""
from __future__ import annotations

import datetime
import os
import platform
import shutil
import subprocess
import sys
import time
from importlib import metadata


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory_gib() -> float | None:
    try:
        with open("/proc/meminfo", encoding="utf-8") as handle:
            for line in handle:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / (1 << 20)
    except OSError:
        pass
    return None


def _compiler() -> str:
    compiler = os.environ.get("CXX") or shutil.which("c++") or "c++"
    try:
        out = subprocess.run([compiler, "--version"], capture_output=True, text=True, check=True).stdout
        return out.splitlines()[0]
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "unknown"


def _version(distribution: str) -> str:
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return "not installed"


def _cpu_times() -> tuple[int, int]:
    """Idle and total jiffies of all cores since boot, from /proc/stat."""
    with open("/proc/stat", encoding="ascii") as handle:
        fields = [int(x) for x in handle.readline().split()[1:]]
    return fields[3] + fields[4], sum(fields[:8])  # idle + iowait; user..steal


def idle_share(seconds: float = 1.0) -> float:
    """The share of the machine's CPU time that was idle over ``seconds``."""
    idle_before, total_before = _cpu_times()
    time.sleep(seconds)
    idle_after, total_after = _cpu_times()
    total = total_after - total_before
    return (idle_after - idle_before) / total if total > 0 else 0.0


def wait_until_idle(max_seconds: float, threshold: float = 0.9, probe: float = 1.0) -> bool:
    """Waits, at most ``max_seconds``, for two probes in a row in which at least
    ``threshold`` of the machine's CPU time was idle; True when it came."""
    deadline = time.monotonic() + max_seconds
    quiet = 0
    while time.monotonic() < deadline:
        quiet = quiet + 1 if idle_share(probe) >= threshold else 0
        if quiet >= 2:
            return True
    return False


def load_average() -> str:
    """The 1, 5 and 15 minute load averages: above the core count, other jobs
    compete with the benchmark for the machine."""
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def describe() -> dict[str, object]:
    memory = _memory_gib()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": _cpu_model(),
        "cores": os.cpu_count(),
        "memory": f"{memory:.1f} GiB" if memory else "unknown",
        "os": f"{platform.system()} {platform.release()}",
        "python": f"{platform.python_implementation()} {sys.version.split()[0]}",
        "compiler": _compiler(),
        "load_average at start": load_average(),
        "vorpaline": _version("vorpaline"),
        "scikit-learn": _version("scikit-learn"),
        "numpy": _version("numpy"),
    }
