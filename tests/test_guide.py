"""The guide's examples and the example programs run, and print what the guide shows.

In docs/guide.md a `python` block runs as a script and an `sh` block under
bash, each in a fresh process; a `text` block that directly follows one is the
output it must print. `console` blocks are set-up instructions and are not run.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
GUIDE = DOCS / "guide.md"
EXAMPLES = sorted((DOCS / "examples").glob("*.py"))

pytest.importorskip("vorpaline_core_py", reason="the native core is not built")

RUNNABLE = {"python", "sh"}
KNOWN = RUNNABLE | {"text", "console"}
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def guide_blocks(markdown):
    """(language, code, expected output or None, line) for each runnable block."""
    blocks = []
    fences = list(FENCE.finditer(markdown))
    for i, fence in enumerate(fences):
        language, code = fence.group(1), fence.group(2)
        if language not in RUNNABLE:
            continue
        expected = None
        if i + 1 < len(fences):
            following = fences[i + 1]
            if following.group(1) == "text" and not markdown[fence.end():following.start()].strip():
                expected = following.group(2)
        blocks.append((language, code, expected, markdown.count("\n", 0, fence.start()) + 1))
    return blocks


def clean_environment():
    """The environment of a user who set nothing: the package's defaults apply,
    and `python` is the interpreter that runs the tests."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("VORPALINE_")}
    env.pop("PYTHONPATH", None)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    return env


def run_block(language, code, workdir):
    script = workdir / ("example.py" if language == "python" else "example.sh")
    script.write_text(code, encoding="utf-8")
    command = [sys.executable, script.name] if language == "python" else ["bash", "-e", script.name]
    return subprocess.run(command, cwd=workdir, env=clean_environment(), capture_output=True, text=True, timeout=180)


BLOCKS = guide_blocks(GUIDE.read_text(encoding="utf-8"))


@pytest.mark.parametrize(
    "language, code, expected", [block[:3] for block in BLOCKS], ids=[f"line{block[3]}" for block in BLOCKS]
)
def test_guide_example_runs_and_prints_what_the_guide_shows(language, code, expected, tmp_path):
    proc = run_block(language, code, tmp_path)
    assert proc.returncode == 0, proc.stderr
    if expected is not None:
        assert proc.stdout == expected


@pytest.mark.parametrize("program", EXAMPLES, ids=[program.name for program in EXAMPLES])
def test_example_program_runs(program, tmp_path):
    proc = subprocess.run(
        [sys.executable, str(program)], cwd=tmp_path, env=clean_environment(), capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip()


def test_every_fenced_block_is_run_or_deliberately_not():
    # A misspelt language would silently take an example out of the tests.
    languages = {fence.group(1) for fence in FENCE.finditer(GUIDE.read_text(encoding="utf-8"))}
    assert languages <= KNOWN


@pytest.mark.parametrize(
    "topic",
    [
        "## Install",
        "## Settings and their environment variables",
        "### From threads and asyncio",
        "### From worker processes",
        "## The capability check",
        "## The scan configuration",
    ],
)
def test_guide_covers(topic):
    assert topic in GUIDE.read_text(encoding="utf-8").splitlines()


def test_guide_documents_every_setting_and_its_variable():
    from vorpaline.config import FIELDS

    guide = GUIDE.read_text(encoding="utf-8")
    for field in FIELDS:
        assert f"| `{field.name}` |" in guide
        assert f"`{field.env_var}`" in guide


def test_guide_documents_every_scan_configuration_key():
    from vorpaline.skiprules import build_scan_config

    guide = GUIDE.read_text(encoding="utf-8")
    documented = re.findall(r"^\| `(\w+)` \|", guide.split("## The scan configuration")[1], re.MULTILINE)
    assert documented == list(build_scan_config("/srv/repo"))


def test_block_parser_pairs_output_only_with_the_block_right_before_it():
    markdown = (
        "```python\nprint(1)\n```\n\n```text\n1\n```\n"
        "```sh\necho 2\n```\nSome prose.\n```text\nnot output\n```\n"
        "```console\n$ make build\n```\n"
    )
    assert guide_blocks(markdown) == [("python", "print(1)\n", "1\n", 1), ("sh", "echo 2\n", None, 8)]
