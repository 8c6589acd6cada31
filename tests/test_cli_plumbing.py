"""The command line's plumbing: the repository found from any subfolder, paths shown as rg shows
them, the index kept out of git and of `vorpaline files`, the progress bar's totals, and the
exit statuses of grep."""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest

from conftest import make_tree

pytest.importorskip("vorpaline_core_py")

from vorpaline.cli import index as index_command  # noqa: E402
from vorpaline.cli import main, parser  # noqa: E402
from vorpaline.cli.common import find_repository, shown_path  # noqa: E402

SOURCE = {
    "src/config.py": "def parse_config(path):\n    return load_config(path)\n",
    "src/deep/loader.py": "from config import parse_config\n\n\ndef load_all(paths):\n"
                          "    return [parse_config(p) for p in paths]\n",
    "docs/notes.md": "Call parse_config for each file.\n",
}
HAS_GIT = shutil.which("git") is not None


def git(root, *args):
    return subprocess.run(["git", "-C", str(root), *args], check=True, capture_output=True, text=True).stdout


def git_init(root):
    git(root, "init", "-q")


def arguments(path=None, index=None):
    # As the parser leaves them: PATH not given reads as "." to code that does not ask.
    return parser().parse_args(["def", "NAME", *([path] if path else []), *(["--index", index] if index else [])])


# ---------------------------------------------------------------- where the repository is

# (the repository's make-up, the folder the command runs in) -> the root found, from there
@pytest.mark.parametrize("with_git, with_index, cwd, root", [
    (False, True, "", "."), (False, True, "src", ".."), (False, True, "src/deep", "../.."),
    (True, True, "", "."), (True, True, "src", ".."), (True, True, "src/deep", "../.."),
    (True, False, "src", ".."), (True, False, "src/deep", "../.."), (True, False, "", "."),
    (False, False, "src/deep", "."),  # no index, no git: here, as before
])
def test_the_repository_is_found_from_any_subfolder(tmp_path, monkeypatch, with_git, with_index, cwd, root):
    repo = make_tree(tmp_path / "repo", SOURCE)
    if with_git:
        git_init(repo)
    if with_index:
        monkeypatch.chdir(repo)
        assert main(["index", "--quiet"]) == 0
    monkeypatch.chdir(repo / cwd)
    assert find_repository(arguments()) == (root, os.path.join(root, ".vorpaline"))


def test_the_walk_stops_at_the_work_tree_and_takes_explicit_paths_as_given(tmp_path, monkeypatch):
    outer = make_tree(tmp_path / "outer", {"a.py": "x = 1\n"})
    monkeypatch.chdir(outer)
    assert main(["index", "--quiet"]) == 0
    inner = make_tree(outer / "vendor" / "lib", {"b.py": "y = 2\n"})
    git_init(inner)
    monkeypatch.chdir(inner / "..")  # not in the inner repository: the outer index is found
    assert find_repository(arguments()).root == ".."
    monkeypatch.chdir(inner)  # in a repository of its own: the index above is not its index
    assert find_repository(arguments()) == (".", "./.vorpaline")
    assert find_repository(arguments("src")) == ("src", "src/.vorpaline")
    assert find_repository(arguments(index="elsewhere")) == (".", "elsewhere")
    assert find_repository(arguments("/abs", "idx")) == ("/abs", "idx")


@pytest.mark.parametrize("cwd, root, path, shown", [
    ("", ".", "src/x.py", "src/x.py"),
    ("src", "..", "src/x.py", "x.py"),
    ("src", "..", "docs/y.md", "../docs/y.md"),
    ("src/deep", "../..", "src/x.py", "../x.py"),
    ("", "src", "deep/z.py", "src/deep/z.py"),
    ("", "/abs/repo", "a/b.py", "/abs/repo/a/b.py"),  # an absolute PATH stays absolute, as in rg
])
def test_paths_are_shown_relative_to_the_current_folder(tmp_path, monkeypatch, cwd, root, path, shown):
    (tmp_path / cwd).mkdir(parents=True, exist_ok=True)
    monkeypatch.chdir(tmp_path / cwd)
    assert shown_path(root, path) == shown


@pytest.mark.skipif(not HAS_GIT, reason="git is not installed")
@pytest.mark.parametrize("cwd", ["", "src", "src/deep", "docs"])
@pytest.mark.parametrize("command, pattern", [
    (["def", "parse_config"], ["-F", "def parse_config"]), (["refs", "parse_config"], ["-F", "[parse_config(p)"]),
    (["search", '"parse_config"', "-l", "--top", "100"], ["-w", "-i", "-F", "parse_config"]),
    (["search", "\"load_all\"", "--vimgrep"], ["-w", "-i", "-F", "load_all"]),
])
def test_commands_print_paths_as_git_grep_does(tmp_path, monkeypatch, capsys, cwd, command, pattern):
    repo = make_tree(tmp_path / "repo", SOURCE)
    git_init(repo)
    monkeypatch.chdir(repo)
    assert main(["index", "--quiet"]) == 0
    monkeypatch.chdir(repo / cwd)
    capsys.readouterr()
    assert main(command) == 0
    printed = {line.split(":")[0] for line in capsys.readouterr().out.splitlines()}
    # git grep from a subfolder searches below it; with ":/" the whole work tree, shown from here.
    assert printed == set(git(repo / cwd, "grep", "-l", "--untracked", *pattern, "--", ":/").splitlines())


@pytest.mark.skipif(not HAS_GIT, reason="git is not installed")
def test_index_in_a_subfolder_indexes_the_work_tree_and_says_so(tmp_path, monkeypatch, capsys):
    repo = make_tree(tmp_path / "repo", SOURCE)
    git_init(repo)
    monkeypatch.chdir(repo / "src" / "deep")
    assert main(["index"]) == 0
    err = capsys.readouterr().err
    assert err == f"indexing {repo} (the repository holding the current folder)\n"
    assert (repo / ".vorpaline" / "MANIFEST").is_file() and not (repo / "src" / "deep" / ".vorpaline").exists()
    assert main(["def", "load_all"]) == 0
    assert capsys.readouterr().out == "loader.py:4: function\n"


# ---------------------------------------------------------------- the index out of sight

@pytest.mark.skipif(not HAS_GIT, reason="git is not installed")
def test_the_index_never_shows_in_git_status(tmp_path, monkeypatch):
    repo = make_tree(tmp_path / "repo", SOURCE)
    git_init(repo)
    git(repo, "add", "-A")
    monkeypatch.chdir(repo)
    assert main(["index", "--quiet"]) == 0
    assert git(repo, "status", "--porcelain", "--untracked-files=all") == "A  docs/notes.md\nA  src/config.py\n" \
        "A  src/deep/loader.py\n"
    gitignore = repo / ".vorpaline" / ".gitignore"
    assert gitignore.read_text() == "*\n"
    gitignore.unlink()  # an update puts it back, and keeps one the user wrote
    assert main(["index", "--quiet"]) == 0 and gitignore.read_text() == "*\n"
    gitignore.write_text("*\n!notes\n")
    (repo / "src" / "config.py").write_text("def parse_config(path, strict):\n    pass\n")
    assert main(["index", "--quiet"]) == 0 and gitignore.read_text() == "*\n!notes\n"
    assert main(["index", "--quiet", "--rebuild"]) == 0 and gitignore.read_text() == "*\n!notes\n"
    assert main(["def", "parse_config"]) == 0


@pytest.mark.parametrize("index_folder, root_gitignore", [
    (".vorpaline", "!.vorpaline/\n"),  # the repository un-ignores the index folder
    ("tools/search-index", ""),  # an index kept under another name, inside the tree
    ("tools/search-index", "!tools/\n"),
])
def test_files_never_lists_the_index_s_own_files(tmp_path, monkeypatch, capsys, index_folder, root_gitignore):
    repo = make_tree(tmp_path / "repo", {**SOURCE, ".gitignore": root_gitignore})
    monkeypatch.chdir(repo)
    assert main(["index", "--quiet", "--index", index_folder]) == 0
    os.unlink(os.path.join(index_folder, ".gitignore"))  # as an index made before it had one
    capsys.readouterr()
    assert main(["files"]) == 0
    assert capsys.readouterr().out.splitlines() == sorted([".gitignore", *SOURCE])
    assert main(["index", "--quiet", "--index", index_folder]) == 0  # and an update still finds nothing new
    assert main(["files", "-z"]) == 0
    assert capsys.readouterr().out.split("\0")[:-1] == sorted([".gitignore", *SOURCE])


# ---------------------------------------------------------------- the progress bar

class _RecordingBar(index_command._ProgressBar):
    made: list[_RecordingBar] = []

    def __init__(self, totals):
        super().__init__(totals)
        self.made.append(self)
        self.last = None

    def __call__(self, files_done, bytes_done):
        super().__call__(files_done, bytes_done)
        self.last = self._bar.n

    def close(self):
        self.final = self._bar.n
        super().close()


def _index_with_a_bar(monkeypatch, capsys):
    """The bar's totals and where it ended, and the counts the summary printed."""
    printed = []
    _RecordingBar.made = []
    monkeypatch.setattr(index_command, "_ProgressBar", _RecordingBar)
    monkeypatch.setattr(index_command, "_print_counts", printed.append)
    monkeypatch.setattr("sys.stderr.isatty", lambda: True, raising=False)
    assert main(["index"]) == 0
    capsys.readouterr()
    (bar,) = _RecordingBar.made
    return bar, printed[0]


def test_the_bar_counts_what_the_summary_counts(tmp_path, monkeypatch, capsys):
    big = b"word " * (300 << 10)  # past the 1 MiB a file may have: looked at, never read
    binary = b"GIF89a\x00" + bytes(range(256)) * 40
    texts = {f"src/m{number}.py": f"def f{number}():\n    return {number}\n" * (number + 1) for number in range(8)}
    repo = make_tree(tmp_path / "repo", {**texts, "big.txt": big, "image.gif": binary})
    monkeypatch.chdir(repo)
    # The first build: the binary file is read (that is how it is known), the big one is not.
    bar, counts = _index_with_a_bar(monkeypatch, capsys)
    text_bytes = sum(len(text) for text in texts.values())
    assert counts.bytes == text_bytes
    assert bar.totals[:2] == (len(texts) + 2, text_bytes + len(binary))
    assert bar.final == bar.totals.bytes
    # An update where most files are unchanged: only the changed and the new ones count.
    (repo / "src" / "m3.py").write_text("def changed():\n    pass\n")
    (repo / "src" / "new.py").write_text("def brand_new():\n    pass\n")
    (repo / "huge.log").write_bytes(big + big)
    bar, counts = _index_with_a_bar(monkeypatch, capsys)
    assert (counts.indexed, counts.unchanged) == (2, len(texts) - 1)
    assert bar.totals[:2] == (3, counts.bytes) and bar.final == bar.totals.bytes
    # Nothing changed: nothing to read, and the bar says so.
    bar, counts = _index_with_a_bar(monkeypatch, capsys)
    assert bar.totals[:2] == (0, 0) == (counts.indexed, counts.bytes)


def test_totals_leave_out_unchanged_and_too_large_files():
    from vorpaline.scan import ScannedFile

    listed = [ScannedFile("same.py", 10, 1), ScannedFile("touched.py", 10, 2), ScannedFile("new.py", 5, 3),
              ScannedFile("big.bin", 2000, 4), ScannedFile("grown.py", 1000, 1)]
    known = {"same.py": (10, 1), "touched.py": (10, 1), "grown.py": (999, 1), "gone.py": (1, 1)}
    totals = index_command._totals(listed, known, max_file_bytes=1000)
    assert totals == (4, 10 + 5 + 1000, ((10, 10), (5, 5), (2000, 0), (1000, 1000)))
    bar = index_command._ProgressBar(totals)
    bar(7, 999)  # the first report: what the update need not read
    positions = []
    for files, reported in [(0, 0), (1, 10), (2, 14), (2, 15), (3, 2015), (3, 2500), (4, 3015)]:
        bar(7 + files, 999 + reported)
        positions.append(bar._bar.n)
    bar.close()
    # The too-large file moves the bar no further; the last report ends it at its total.
    assert positions == [0, 10, 10, 15, 15, 15, 1015]


# ---------------------------------------------------------------- exit statuses and help

@pytest.mark.parametrize("argv, status", [
    (["def", "parse_config"], 0),
    (["def", "no_such_name"], 1),
    (["refs", "no_such_name"], 1),
    (["def", "parse_config", "absent-folder"], 2),  # no index there
    (["search", "anything", "--index", "absent-folder"], 2),
    (["index", "absent-folder"], 2),
    (["files", "absent-folder"], 2),
    (["files", "--explain", "src/config.py"], 1),  # listed: git check-ignore's 1
    (["files", "--explain", ".vorpaline/MANIFEST"], 0),
    (["search"], 2),  # a usage error
    (["def", "x", "--top", "3"], 2),
])
def test_exit_statuses_are_grep_s(tmp_path, monkeypatch, capsys, argv, status):
    monkeypatch.chdir(make_tree(tmp_path / "repo", SOURCE))
    assert main(["index", "--quiet"]) == 0
    assert main(argv) == status
    err = capsys.readouterr().err
    assert (status == 2) == err.startswith("vorpaline: error: ")


def test_help_lists_the_commands_in_groups_search_first():
    text = parser().format_help()
    headings = [line for line in text.splitlines() if line.endswith("commands:")]
    assert headings == ["search commands:", "index and serve commands:", "other commands:"]
    listed = [line.split()[0] for line in text.split("search commands:")[1].splitlines()
              if line.startswith("  ") and not line.startswith("   ")]
    assert listed == ["search", "grep", "def", "refs", "index", "serve", "mcp", "files", "embed", "demo"]
    assert "usage: vorpaline [-h] [--version] COMMAND ..." in text
