"""listing_unchanged never says a scan's file list still stands when a fresh scan lists otherwise.

Each row changes a git tree that a scan with stamps has just listed, then
compares a fresh scan with the recorded list: whenever they differ, the
stamps must not hold. Times the file system gives right before a scan prove
nothing (they are racy), so the tree is back-dated before the scan, and what
the change touched is back-dated again, to another old time, afterwards: the
stamps are then judged on the times they recorded, not on the racy rule.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import time

import pytest

from conftest import git_repository

core = pytest.importorskip("vorpaline_core_py")

SCANNED = time.time_ns() - 100 * 10**9  # every time in the tree when it is scanned
CHANGED = time.time_ns() - 50 * 10**9  # what a change touched, afterwards

FILES = {
    ".gitignore": "*.log\nbuild/\n",
    "a.txt": "a\n",
    "b.log": "b\n",
    "sub/c.txt": "c\n",
    "sub/deep/d.txt": "d\n",
    "build/out.txt": "o\n",
    "pkg/e.txt": "e\n",
    "pkg/f.log": "f\n",
}


@pytest.fixture
def home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    (home / "ignore-one").write_text("*.tmp\n")
    (home / "ignore-two").write_text("")
    (home / ".gitconfig").write_text("[core]\n\texcludesFile = ~/ignore-one\n")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    for name in ("XDG_CONFIG_HOME", "GIT_CONFIG_GLOBAL", "GIT_CONFIG_SYSTEM", "GIT_DIR", "GIT_WORK_TREE"):
        monkeypatch.delenv(name, raising=False)
    return home


@pytest.fixture
def repo(tmp_path, home, settings):
    root = git_repository(tmp_path / "repo", {**FILES, "x.tmp": "t\n"})
    return root


def back_date(places, when, *, only_recent=False):
    """Gives every file and folder under `places` the time `when`; with
    `only_recent`, only those the last seconds touched."""
    recent = time.time_ns() - 20 * 10**9
    for place in places:
        for folder, folders, files in os.walk(place):
            for name in [*folders, *files, None]:
                path = folder if name is None else os.path.join(folder, name)
                status = os.lstat(path)
                if not only_recent or status.st_mtime_ns > recent:
                    os.utime(path, ns=(when, when), follow_symlinks=False)


def scan(root, stamps=True):
    from vorpaline import scan as scan_module

    return json.loads(core.scan_repository(scan_module.config_json(root, stamps=stamps), 2))


def listing(reply):
    return [item["path"] for item in reply["files"]]


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def git(repo, *args):
    subprocess.run(["git", "-C", str(repo), *args], check=True, capture_output=True)


def replace_by_link(repo, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    shutil.move(str(repo / "sub"), str(elsewhere))
    (repo / "sub").symlink_to(elsewhere, target_is_directory=True)


# (name, change(repo, home, tmp_path), scanned folder below the repository, whether the list changes)
CHANGES = [
    ("add-file", lambda r, h, t: write(r / "new.txt", "n"), "", True),
    ("add-file-deep", lambda r, h, t: write(r / "sub/deep/new.txt", "n"), "", True),
    ("add-ignored-file", lambda r, h, t: write(r / "new.log", "n"), "", False),
    ("add-file-in-new-folder", lambda r, h, t: write(r / "sub/fresh/new.txt", "n"), "", True),
    ("add-file-in-ignored-folder", lambda r, h, t: write(r / "build/more.txt", "n"), "", False),
    ("delete-file", lambda r, h, t: (r / "sub/deep/d.txt").unlink(), "", True),
    ("rename-file", lambda r, h, t: (r / "sub/c.txt").rename(r / "sub/c2.txt"), "", True),
    ("rename-folder", lambda r, h, t: (r / "sub/deep").rename(r / "sub/deeper"), "", True),
    ("gitignore-unignores", lambda r, h, t: write(r / ".gitignore", "build/\n"), "", True),
    ("gitignore-ignores", lambda r, h, t: write(r / ".gitignore", "*.log\nbuild/\nsub/\n"), "", True),
    ("gitignore-same-size-edit", lambda r, h, t: write(r / ".gitignore", "*.txt\nbuild/\n"), "", True),
    ("gitignore-removed", lambda r, h, t: (r / ".gitignore").unlink(), "", True),
    ("nested-gitignore-added", lambda r, h, t: write(r / "sub/deep/.gitignore", "*.txt\n"), "", True),
    ("vorpalineignore-added", lambda r, h, t: write(r / "pkg/.vorpalineignore", "e.txt\n"), "", True),
    ("info-exclude-edited", lambda r, h, t: write(r / ".git/info/exclude", "a.txt\n"), "", True),
    ("info-exclude-removed", lambda r, h, t: (r / ".git/info/exclude").unlink(), "", False),
    ("git-add-ignored-file", lambda r, h, t: git(r, "add", "-f", "b.log"), "", False),
    ("excludes-file-setting-changed",
     lambda r, h, t: write(h / ".gitconfig", "[core]\n\texcludesFile = ~/ignore-two\n"), "", True),
    ("excludes-file-edited", lambda r, h, t: write(h / "ignore-one", ""), "", True),
    ("excludes-file-set-in-repository-config",
     lambda r, h, t: git(r, "config", "core.excludesFile", str(h / "ignore-two")), "", True),
    ("global-config-created",
     lambda r, h, t: write(h / ".config/git/config", "[core]\n\texcludesFile = ~/ignore-two\n"), "", False),
    ("folder-replaced-by-link", lambda r, h, t: replace_by_link(r, t), "", True),
    ("gitignore-above-subfolder-root", lambda r, h, t: write(r / ".gitignore", "e.txt\n"), "pkg", True),
    ("repository-made-in-subfolder-root", lambda r, h, t: git(r / "pkg", "init", "-q"), "pkg", True),
    ("add-file-in-subfolder-root", lambda r, h, t: write(r / "pkg/g.txt", "g"), "pkg", True),
    ("file-edited-in-place", lambda r, h, t: write(r / "a.txt", "changed\n"), "", False),
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize(("change", "below", "changes_listing"),
                         [pytest.param(c, b, l, id=n) for n, c, b, l in CHANGES])
def test_stamps_never_hold_over_a_changed_listing(repo, home, tmp_path, change, below, changes_listing, threads):
    root = repo / below if below else repo
    back_date([repo, home], SCANNED)
    recorded = scan(root)
    stamps_json = json.dumps(recorded["stamps"])
    assert core.listing_unchanged(str(root), stamps_json, threads)

    change(repo, home, tmp_path)
    back_date([repo, home, tmp_path], CHANGED, only_recent=True)
    fresh = listing(scan(root, stamps=False))

    assert (fresh != listing(recorded)) == changes_listing  # the row does what it says
    if changes_listing:
        assert not core.listing_unchanged(str(root), stamps_json, threads)


def test_in_place_edit_keeps_the_stamps(repo, home):
    back_date([repo, home], SCANNED)
    stamps_json = json.dumps(scan(repo)["stamps"])
    write(repo / "sub/c.txt", "other\n")
    back_date([repo], CHANGED, only_recent=True)
    assert core.listing_unchanged(str(repo), stamps_json, 0)


def test_fresh_times_are_racy(repo, home):
    """A tree written just now: an entry added in the same tick would leave the times as they are."""
    reply = scan(repo)
    assert not core.listing_unchanged(str(repo), json.dumps(reply["stamps"]), 0)
    back_date([repo, home], SCANNED)
    assert core.listing_unchanged(str(repo), json.dumps(scan(repo)["stamps"]), 0)


def test_stamps_name_what_the_listing_depends_on(repo, home):
    (repo / "sub/.gitignore").write_text("*.x\n")
    stamps = scan(repo)["stamps"]
    folders = [path for path, _ in stamps["folders"]]
    assert folders == sorted(["", "pkg", "sub", "sub/deep"])  # build/ is ignored: never read
    sources = {path: size for path, size, _, _ in stamps["sources"]}
    assert sources[".gitignore"] == len(FILES[".gitignore"])
    assert sources["sub/.gitignore"] == 4
    for name in ("config", "HEAD", "info/exclude"):
        assert sources[str(repo / ".git" / name)] >= 0
    assert sources[str(repo / ".git/index")] == -1  # nothing added yet: made by the first `git add`
    assert sources[str(home / "ignore-one")] == len("*.tmp\n")
    assert sources[str(home / ".config/git/config")] == -1
    below = {path: size for path, size, _, _ in scan(repo / "pkg")["stamps"]["sources"]}
    assert below[str(repo / "pkg/.git")] == -1  # one made there would take the scanned folder out
    assert below["../.gitignore"] == len(FILES[".gitignore"])


def test_unreadable_folder_never_holds(repo, home, tmp_path):
    """Being let into a folder changes no time: the stamps of a scan that could not read one never hold."""
    if os.geteuid() == 0:
        pytest.skip("root reads every folder")
    (repo / "sub").chmod(0)
    try:
        back_date([repo, home], SCANNED)
        stamps_json = json.dumps(scan(repo)["stamps"])
        assert not core.listing_unchanged(str(repo), stamps_json, 0)
    finally:
        (repo / "sub").chmod(0o755)


@pytest.mark.parametrize("stamps_json", [
    "[]", "{}", '{"at_ns": 1, "folders": [["", "x"]], "sources": []}',
    '{"at_ns": 1, "folders": [], "sources": [["a", 1, 2]]}', "not json",
])
def test_malformed_stamps_are_refused(repo, stamps_json):
    with pytest.raises(ValueError):
        core.listing_unchanged(str(repo), stamps_json, 1)


@pytest.mark.parametrize("at_ns", [-(2**63), 0, 2**63 - 1])
def test_any_start_time_is_taken(repo, at_ns):
    stamps = {"at_ns": at_ns, "folders": [["", os.stat(repo).st_mtime_ns]], "sources": []}
    assert core.listing_unchanged(str(repo), json.dumps(stamps), 1) == (at_ns == 2**63 - 1)


def test_missing_root_does_not_hold(tmp_path):
    stamps = {"at_ns": time.time_ns(), "folders": [["", 1]], "sources": []}
    assert not core.listing_unchanged(str(tmp_path / "gone"), json.dumps(stamps), 1)


def test_python_wrapper_asks_the_core(repo, home):
    from vorpaline import scan as scan_module

    back_date([repo, home], SCANNED)
    stamps_json = json.dumps(scan(repo)["stamps"])
    assert scan_module.listing_unchanged(repo, stamps_json)
    write(repo / "new.txt", "n")
    assert not scan_module.listing_unchanged(repo, stamps_json, threads=1)
