"""The leak hunt (tools/leakhunt.py) itself: it must fail a test that leaks and
pass the growth that pytest's own bookkeeping shows from run to run. It runs
on a debug interpreter only, as the hunt does (`make leakhunt`).
"""

import subprocess
import sys
from pathlib import Path

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs a debug interpreter (python3.11-dbg)", allow_module_level=True)

HUNTER = Path(__file__).resolve().parent.parent / "tools" / "leakhunt.py"

PLANTED = '''
import logging
import subprocess
import sys

import pytest

KEPT = []


def test_keeps_an_object_per_run():
    KEPT.append(object())


def test_keeps_a_reference_per_run():
    KEPT.append(KEPT)


def test_clean():
    assert sorted([3, 1, 2]) == [1, 2, 3]


def test_fixtures_pytest_keeps_track_of(tmp_path, capsys, caplog, monkeypatch):
    (tmp_path / "f").write_text("x")
    print("captured output")
    logging.getLogger("x").warning("captured log")
    monkeypatch.setattr(sys, "maxsize", 5)


@pytest.mark.parametrize("spent", [iter([1])])
def test_cannot_run_twice(spent):
    assert next(spent) == 1


def test_starts_a_child():
    subprocess.run([sys.executable, "-c", "pass"], check=True)


def test_excused():
    KEPT.append(object())
'''


def hunt(tmp_path, known=""):
    (tmp_path / "test_planted.py").write_text(PLANTED)
    (tmp_path / "known.txt").write_text(known)
    proc = subprocess.run(
        [sys.executable, str(HUNTER), "--known", str(tmp_path / "known.txt"), "-q",
         "--rootdir", str(tmp_path), "test_planted.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    return proc.returncode, proc.stdout


def test_leaks_fail_and_pytest_bookkeeping_does_not(tmp_path):
    status, out = hunt(tmp_path, known="test_planted.py::test_excused  # planted, excused\n")
    leaking = sorted(line.split()[1] for line in out.splitlines() if line.startswith("LEAK "))
    known = [line.split()[1] for line in out.splitlines() if line.startswith("KNOWN ")]
    assert status != 0
    assert leaking == [
        "test_planted.py::test_keeps_a_reference_per_run:",
        "test_planted.py::test_keeps_an_object_per_run:",
    ], out
    assert known == ["test_planted.py::test_excused:"], out
    assert "5 tests measured" in out and "2 not measured" in out, out
    # Every test passes as such; each leak fails its final teardown.
    assert out.splitlines()[-1].startswith("7 passed, 2 errors"), out
