"""Reference-leak hunt: runs every test several times in one debug interpreter
and fails a test whose runs keep growing the interpreter's total reference
count, its allocated memory blocks or its open file descriptors.

Each test runs `warmups` times unmeasured (first-use caches fill up), then
`rounds` times measured; a test leaks when every measured round grew the same
counter. One quiet round clears it: the interpreter's own caches grow now and
then, a leak grows on every call. This is the rule of CPython's own `-R` runs.

Usage (from the tests directory, with an interpreter built --with-pydebug):
    python ../tools/leakhunt.py [--warmups N] [--rounds N] [pytest arguments]
"""

import argparse
import gc
import linecache
import multiprocessing.process
import os
import re
import subprocess
import sys
import typing

import pytest
from _pytest.runner import CallInfo, runtestprotocol

COUNTERS = ("references", "memory blocks", "file descriptors")


def clear_caches():
    """Empty the interpreter's caches that tests fill as a side effect."""
    for module in list(sys.modules.values()):
        registry = getattr(module, "__warningregistry__", None)
        if isinstance(registry, dict):
            registry.clear()
    re.purge()
    linecache.clearcache()
    for cleanup in getattr(typing, "_cleanups", ()):
        cleanup()
    sys._clear_type_cache()


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def snapshot():
    clear_caches()
    gc.collect()
    gc.collect()
    return (sys.gettotalrefcount(), sys.getallocatedblocks(), open_fds())


def leaking(deltas):
    """The counters (by name) that grew in every measured round."""
    return [name for i, name in enumerate(COUNTERS) if all(d[i] >= 1 for d in deltas)]


def wider_fixtures(item):
    """The module-, class- and session-scoped fixtures that a test uses."""
    info = getattr(item, "_fixtureinfo", None)
    defs = getattr(info, "name2fixturedefs", {}) if info else {}
    return [d for seq in defs.values() for d in seq if getattr(d, "scope", "function") != "function"]


class FinalizerTrim:
    """Each run of a function-scoped fixture that depends on a wider one adds a
    finalizer to the wider one, kept until that one is torn down: pytest's own
    growth, not the code's. The finalizers added by a run are dropped after it
    (they have run at its teardown already)."""

    def __init__(self, item):
        self.lengths = [(d, len(d._finalizers)) for d in wider_fixtures(item) if hasattr(d, "_finalizers")]

    def trim(self):
        for fixturedef, length in self.lengths:
            del fixturedef._finalizers[length:]


class ChildWatch:
    """Notes whether a test starts a child process: its work happens there, out
    of this interpreter's sight, so repeating it here finds nothing and costs
    a whole interpreter start-up per round."""

    def __init__(self):
        self.started = False
        self.watch(subprocess.Popen, "__init__")
        self.watch(multiprocessing.process.BaseProcess, "start")
        self.watch(os, "fork")

    def watch(self, owner, name):
        original = getattr(owner, name)

        def watched(*args, **kwargs):
            self.started = True
            return original(*args, **kwargs)

        setattr(owner, name, watched)


def is_hypothesis_test(item):
    # Hypothesis keeps growing databases and caches of its own between runs.
    return getattr(getattr(item, "obj", None), "is_hypothesis_test", False)


class LeakHunter:
    """The pytest plugin. A test's first run is the one reported; the repeats
    only measure, and a test that cannot be repeated (it fails or skips on a
    later run, say because a parameter is a spent iterator) goes unmeasured."""

    def __init__(self, warmups, rounds, known):
        self.warmups = warmups
        self.rounds = rounds
        self.known = known  # nodeid prefix -> why the growth is not ours
        self.findings = {}  # nodeid -> message
        self.excused = {}  # nodeid -> message, for known growth
        self.measured = 0
        self.unmeasured = []
        self.children = ChildWatch()
        self.closing = None  # the test whose final teardown is being reported

    def run_once(self, item, log):
        """One run, torn down to the parent so that wider fixtures stay; True
        when every phase passed and no child process was started."""
        trim = FinalizerTrim(item)
        sections = len(item._report_sections)
        self.children.started = False
        reports = runtestprotocol(item, log=log, nextitem=item.parent)
        trim.trim()
        if not log:
            # Captured output and log text pile up on the item from run to run.
            del item._report_sections[sections:]
        return not self.children.started and all(report.passed for report in reports)

    def repeat(self, item):
        """The per-round deltas of a test, or None when a run did not pass."""
        deltas = []
        for round_number in range(self.warmups + self.rounds):
            before = snapshot()
            passed = self.run_once(item, log=False)
            after = snapshot()
            if not passed:
                return None
            if round_number >= self.warmups:
                deltas.append(tuple(a - b for a, b in zip(after, before)))
        return deltas

    def judge(self, item, deltas):
        grown = leaking(deltas)
        if not grown:
            return
        rows = ", ".join(f"{name} {[d[i] for d in deltas]}" for i, name in enumerate(COUNTERS))
        finding = f"leaks {' and '.join(grown)}: deltas per round {rows}"
        reason = self.known_reason(item.nodeid)
        if reason:
            self.excused[item.nodeid] = f"{finding} ({reason})"
        else:
            self.findings[item.nodeid] = finding

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        if is_hypothesis_test(item):
            self.unmeasured.append(item.nodeid)
            return None
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        deltas = self.repeat(item) if self.run_once(item, log=True) else None
        if deltas is None:
            self.unmeasured.append(item.nodeid)
        else:
            self.measured += 1
            self.judge(item, deltas)
        self.close(item, nextitem)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def close(self, item, nextitem):
        """Tears down the wider fixtures as the normal protocol would, reported
        as one more teardown of the test: a leak fails it."""
        setup_state = item.session._setupstate
        call = CallInfo.from_call(lambda: setup_state.teardown_exact(nextitem), when="teardown")
        self.closing = item.nodeid
        try:
            report = item.ihook.pytest_runtest_makereport(item=item, call=call)
        finally:
            self.closing = None
        item.ihook.pytest_runtest_logreport(report=report)

    def known_reason(self, nodeid):
        for prefix, reason in self.known.items():
            if nodeid.startswith(prefix):
                return reason
        return None

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        report = outcome.get_result()
        finding = self.findings.get(item.nodeid)
        if finding and call.when == "teardown" and self.closing == item.nodeid and report.passed:
            report.outcome = "failed"
            report.longrepr = finding

    def pytest_terminal_summary(self, terminalreporter):
        write = terminalreporter.write_line
        write(
            f"leak hunt: {self.measured} tests measured over {self.rounds} rounds "
            f"after {self.warmups} warm-ups, {len(self.unmeasured)} not measured "
            f"(Hypothesis, child processes, failing, skipped or not repeatable), "
            f"{len(self.findings)} leaking, {len(self.excused)} with known growth"
        )
        for nodeid, finding in self.findings.items():
            write(f"LEAK {nodeid}: {finding}")
        for nodeid, finding in self.excused.items():
            write(f"KNOWN {nodeid}: {finding}")


def read_known(path):
    """Lines of `nodeid-prefix  # reason`: growth that is not the code's own."""
    known = {}
    if not os.path.exists(path):
        return known
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            prefix, _, reason = line.partition("#")
            if prefix.strip():
                known[prefix.strip()] = reason.strip() or "known"
    return known


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--warmups", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--known", default=os.path.join(os.path.dirname(__file__), "leakhunt-known.txt"))
    options, pytest_args = parser.parse_known_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        parser.error("needs a debug interpreter (python3.11-dbg): sys.gettotalrefcount is missing")
    hunter = LeakHunter(options.warmups, options.rounds, read_known(options.known))
    status = pytest.main(["-p", "no:cacheprovider", *(pytest_args or ["."])], plugins=[hunter])
    return int(status)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
