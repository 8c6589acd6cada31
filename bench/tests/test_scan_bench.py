"""The scan table's harness: the tree's ignore files must decide what the
builder means them to, the listings must be checked against one another,
the verdicts must read the ratios the right way round, and a table run alone
must put its own section in the document and nothing else."""
import os
import shutil
import subprocess

import pytest

from bench import __main__ as main_module
from bench import report, scan, scan_tree

GIT_ENV = {"GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull}

# Files of a tiny tree under the builder's ignore files, with whether git lists them.
TINY_TREE = {
    "README.md": True,
    "keep.log": True,  # "*.log" then "!keep.log" at the root
    "other.log": False,
    "pkg/mod.py": True,
    "pkg/mod.pyc": False,
    "pkg/__pycache__/mod.cpython-311.pyc": False,
    "pkg/__pycache__/notes.txt": False,  # the folder is never entered
    "build/output.txt": False,  # "/build/" is anchored at the root
    "tools/build/notes.txt": True,
    "lib/setup.exe": False,
    "lib/std-a/run.log": False,
    "lib/std-b/test/__init__.py": False,  # "!/test/__init__.py" cannot work below an excluded folder
    "lib/std-b/test/test_x.py": False,
    "lib/std-b/other/test/a.py": True,  # "/test/" is anchored at lib/std-b
    "lib/std-c/logging/debug.log": True,  # re-included by the deeper file
    "vendor/site-packages/_cffi_backend.cpython-311.so": True,
    "vendor/site-packages/_other.cpython-311.so": False,
    "vendor/site-packages/x-1.0.dist-info/RECORD": False,
    "vendor/site-packages/x-1.0.dist-info/METADATA": True,
    "web/app.js": True,
    "web/app.js.map": False,
    "web/node_modules/pkg/index.js": True,
    "web/node_modules/.cache/build/state.json": False,
    ".venv/pyvenv.cfg": False,
    ".venv/lib/x.py": False,
}


@pytest.fixture(scope="module")
def tiny_tree(tmp_path_factory):
    if shutil.which("git") is None:
        pytest.skip("git is not installed")
    repo = tmp_path_factory.mktemp("scan") / "repo"
    repo.mkdir()
    subprocess.run(["git", "init", "-q", str(repo)], check=True, env={**os.environ, **GIT_ENV})
    scan_tree.write_rules(repo)
    for path in TINY_TREE:
        (repo / path).parent.mkdir(parents=True, exist_ok=True)
        (repo / path).write_text("x\n", encoding="utf-8")
    return repo


def expected_listing(repo):
    """What the tiny tree must list: its files as the table says, the builder's
    extra files as their text says, and the ignore files that nothing ignores."""
    listed = {path for path, kept in TINY_TREE.items() if kept}
    for folder in scan_tree.IGNORE_FILES:
        if not folder.startswith(".venv"):
            listed.add(f"{folder}/.gitignore".lstrip("/"))
    return sorted(listed)


def git_listing(repo):
    out = subprocess.run(["git", "ls-files", "-z", "--others", "--exclude-standard"], cwd=repo, check=True,
                         env={**os.environ, **GIT_ENV}, stdout=subprocess.PIPE).stdout
    return sorted(scan.git_paths(out))


def test_the_builder_extra_files_say_what_the_ignore_files_decide(tiny_tree):
    listed = set(git_listing(tiny_tree))
    told = {path: text.startswith("kept") for path, text in scan_tree.EXTRA_FILES.items()
            if text.startswith(("kept", "ignored"))}
    assert len(told) >= 4
    for path, kept in told.items():
        assert (path in listed) == kept, path


@pytest.mark.parametrize("lister", ["git", "pathspec", "scanner"])
def test_every_lister_honours_the_tiny_tree_as_intended(tiny_tree, lister):
    if lister == "git":
        listed = git_listing(tiny_tree)
    elif lister == "pathspec":
        pytest.importorskip("pathspec")
        listed = sorted(scan.pathspec_listing(str(tiny_tree)))
    else:
        core = pytest.importorskip("vorpaline_core_py")
        if "scan_repository" not in core.handshake():
            pytest.skip("this build of the core has no scanner")
        with scan.environment(GIT_ENV):
            listed = scan.reply_paths(core.scan_repository(scan.scan_config(tiny_tree, None), 2))
    assert listed == expected_listing(tiny_tree)


@pytest.mark.parametrize(("counts", "wrong"), [
    ({"git": 5, "rg-1": 5, "git-builtin": 3, "core-builtin-2": 3}, None),
    ({"git": 5, "rg-1": 4, "git-builtin": 3, "core-builtin-2": 3}, "rg-1 lists 4 (expected 5, as git)"),
    ({"git": 5, "rg-1": 5, "git-builtin": 3, "core-builtin-2": 5}, "core-builtin-2 lists 5 (expected 3"),
])
def test_check_counts(counts, wrong):
    expected = {"git": "git", "rg-1": "git", "git-builtin": "git-builtin", "core-builtin-2": "git-builtin"}
    if wrong is None:
        scan.check_counts(counts, expected)
    else:
        with pytest.raises(RuntimeError, match=wrong.replace("(", r"\(").replace(")", r"\)")):
            scan.check_counts(counts, expected)


def test_same_count_other_files_is_a_failure():
    scan.check_same_files(["a", "b/c"], ["b/c", "a"], "git", "core-2")
    with pytest.raises(RuntimeError, match=r"1 missing \(first \['b/c'\]\), 1 extra \(first \['b/d'\]\)"):
        scan.check_same_files(["a", "b/c"], ["a", "b/d"], "git", "core-2")


def test_git_paths_keeps_newlines_and_spaces_in_names():
    assert scan.git_paths(b"a b\0c\nd\0") == ["a b", "c\nd"]


@pytest.mark.parametrize(("files", "folders", "fails"), [
    (scan_tree.MIN_FILES, scan_tree.MIN_FOLDERS, False),
    (scan_tree.MIN_FILES - 1, scan_tree.MIN_FOLDERS, True),
    (scan_tree.MIN_FILES, scan_tree.MIN_FOLDERS - 1, True),
])
def test_a_tree_below_the_size_fails_the_run(tmp_path, files, folders, fails):
    tree = scan_tree.TreeInfo(tmp_path, files, folders, 7)
    if fails:
        with pytest.raises(RuntimeError, match="fewer than"):
            scan.check_tree(tree)
    else:
        scan.check_tree(tree)


def scan_result(one=(1.0, (0.95, 1.05)), two=(0.7, (0.65, 0.75)), bytes_per_file=(150.0, 160.0)):
    keys = ["git", "git-builtin", "rg-1", "core-1", "core-2", "core-builtin-2"]
    ratios = {"core-1": one, "core-2": two}
    rows = []
    for key in keys:
        ratio, quartiles = ratios.get(key, (1.0, (1.0, 1.0)))
        rows.append({"key": key, "label": f"row {key}", "command": key, "files": 10,
                     "wall_ms": 100.0 * ratio, "cpu_ms": 100.0, "vs": "git-builtin" if "builtin" in key else "git",
                     "wall_vs_git": ratio, "wall_vs_git_quartiles": quartiles,
                     "cpu_vs_git": 1.0, "cpu_vs_git_quartiles": (1.0, 1.0)})
    memory_rows = [{"key": key, "label": f"memory {key}", "files": 1000, "rss_before": 1 << 20,
                    "peak_rss": (1 << 20) + int(b * 1000), "extra": int(b * 1000), "bytes_per_file": b}
                   for key, b in zip(("core-1", "core-2", "scan"), (*bytes_per_file, 600.0))]
    return {"tree": {"files": 60000, "folders": 6000, "ignore_files": 7, "listed": 40000, "listed_builtin": 30000},
            "tools": {"git": "git 2", "ripgrep": "rg 13", "fd": "fd 8", "pathspec": "1.1"},
            "repeats": 9, "date": "today", "load_average": "1.00 1.00 1.00", "rows": rows,
            "peers": [{"row": "core-1", "peer": "rg-1", "wall": 0.5, "wall_quartiles": (0.4, 0.6),
                       "cpu": 0.5, "cpu_quartiles": (0.4, 0.6)}],
            "memory": memory_rows}


def goal_verdict(text, goal):
    row = next(line for line in text.splitlines() if line.startswith(f"| {goal}"))
    return row.rsplit("|", 2)[1].strip()


@pytest.mark.parametrize(("kwargs", "goal", "verdict"), [
    ({"two": (0.99, (0.95, 1.02))}, "scanner, 2 threads, faster", "met"),
    ({"two": (1.0, (0.98, 1.02))}, "scanner, 2 threads, faster", "within noise"),  # equal is not faster
    ({"two": (1.1, (1.0, 1.2))}, "scanner, 2 threads, faster", "**missed**"),
    ({"one": (1.0, (1.0, 1.0))}, "scanner, 1 thread, not slower", "met"),
    ({"one": (1.02, (0.99, 1.05))}, "scanner, 1 thread, not slower", "within noise"),
    ({"one": (1.1, (1.05, 1.2))}, "scanner, 1 thread, not slower", "**missed**"),
    ({"bytes_per_file": (150.0, 199.9)}, "scanner memory", "met"),
    ({"bytes_per_file": (200.0, 150.0)}, "scanner memory", "**missed**"),  # the worse of the two decides
])
def test_scan_goals(kwargs, goal, verdict):
    assert goal_verdict(report.scan_section(scan_result(**kwargs)), goal) == verdict


def test_scan_section_shows_both_clocks_against_git():
    text = report.scan_section(scan_result())
    assert text.startswith("### 6. ")
    assert "| row core-2 | `core-2` | 10 | 70 | 100 | 1.43 | 0.70 (0.65-0.75) | 1.00 (1.00-1.00) |" in text
    assert "| row core-builtin-2 | `core-builtin-2` | 10 | 100 | 100 | 1.00 | 1.00 (1.00-1.00) (vs git with them) |" in text
    assert "| row core-1 | row rg-1 | 0.50 (0.40-0.60) | 0.50 (0.40-0.60) |" in text


def results_block(*sections):
    return f"# Doc\n\nprose\n\n{report.BEGIN}\n\n" + "\n\n".join(sections) + f"\n\n{report.END}\n\ntail\n"


MACHINE = "### Machine\n\n| a | b |"
TABLE_1 = "### 1. Call overhead\n\nfigures\n\n| x |\n|---|"
TABLE_5 = "### 5. Crafted tokens\n\nmore figures"
PLOTS = "![Throughput](bench-throughput.png)\n![Thread scaling](bench-scaling.png)"


@pytest.mark.parametrize(("before", "after"), [
    ([MACHINE, TABLE_1, TABLE_5, PLOTS], [MACHINE, TABLE_1, TABLE_5, "NEW", PLOTS]),  # put in its place
    ([MACHINE, TABLE_1, "### 6. Listing\n\nold figures", TABLE_5.replace("5.", "7."), PLOTS],
     [MACHINE, TABLE_1, "NEW", TABLE_5.replace("5.", "7."), PLOTS]),  # replaced where it stands
    ([MACHINE, TABLE_1], [MACHINE, TABLE_1, "NEW"]),
])
def test_update_replaces_only_its_own_section(tmp_path, monkeypatch, before, after):
    new = report.scan_section(scan_result())
    doc = tmp_path / "benchmarks.md"
    doc.write_text(results_block(*before), encoding="utf-8")
    report.update(doc, {"machine": {"date": "not written"}, "scan": scan_result()})
    assert doc.read_text(encoding="utf-8") == results_block(*[new if s == "NEW" else s for s in after])


def test_update_of_a_full_document_with_nothing_run_changes_nothing(tmp_path):
    from bench.tests.test_sections import memory_result
    doc = tmp_path / "benchmarks.md"
    report.write(doc, {"machine": {"cpu": "x"}, "memory": memory_result(2.0), "scan": scan_result(),
                       "plots": {"Throughput": "bench-throughput.png"}})
    text = doc.read_text(encoding="utf-8")
    report.update(doc, {"machine": {"cpu": "other"}})
    assert doc.read_text(encoding="utf-8") == text


def test_update_without_markers_adds_the_block(tmp_path):
    doc = tmp_path / "benchmarks.md"
    doc.write_text("# Benchmarks\n\nprose\n", encoding="utf-8")
    report.update(doc, {"machine": {"cpu": "x"}, "scan": scan_result()})
    text = doc.read_text(encoding="utf-8")
    assert text.startswith("# Benchmarks\n\nprose\n\n" + report.BEGIN) and "### 6. " in text


@pytest.mark.parametrize("update_doc", [False, True])
def test_scan_alone_touches_the_document_only_when_asked(tmp_path, monkeypatch, update_doc):
    monkeypatch.setattr(main_module.scan, "run", lambda *args, **kwargs: scan_result())
    doc = tmp_path / "benchmarks.md"
    before = results_block(MACHINE, TABLE_1, PLOTS)
    doc.write_text(before, encoding="utf-8")
    argv = ["--only", "scan", "--doc", str(doc), "--build-dir", str(tmp_path)] + ["--update-doc"] * update_doc
    assert main_module.main(argv) == 0
    expected = results_block(MACHINE, TABLE_1, report.scan_section(scan_result()), PLOTS) if update_doc else before
    assert doc.read_text(encoding="utf-8") == expected
