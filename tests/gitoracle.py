"""Git as the oracle of the repository scan: build a tree in a sandbox, ask
`git ls-files --others` which files its ignore rules keep, and ask the
scanner the same.

A sandbox is a temporary folder holding the repository, a home folder, an XDG
config folder and a global git config of its own; git and the scanner both
see only those (GIT_CONFIG_NOSYSTEM=1, GIT_CONFIG_GLOBAL, HOME and
XDG_CONFIG_HOME), so the developer's own git settings never leak in.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import subprocess
from pathlib import Path

import pytest

# Every variable of this kind is dropped before a sandbox's own are set: git
# reads many of them (GIT_DIR, GIT_CONFIG_COUNT, ...), and so might the scanner.
_GIT_VARIABLE_PREFIX = "GIT_"
SANDBOX_VARIABLES = ("HOME", "XDG_CONFIG_HOME", "GIT_CONFIG_GLOBAL", "GIT_CONFIG_NOSYSTEM")

UNSET = None  # an environment override that removes the variable


@dataclasses.dataclass
class Tree:
    """What one comparison is made of.

    ``files`` maps '/'-separated paths below the repository to their contents
    (ignore files included; str is written as UTF-8). ``info_exclude`` is
    written to .git/info/exclude when not None. ``global_config`` is the text
    of the global git config. ``home_files`` are written below the home folder
    (".config/git/ignore", ".gitconfig", ...), ``xdg_files`` below
    XDG_CONFIG_HOME ("git/ignore", ...), ``sandbox_files`` below the
    sandbox folder itself (a system config, say). ``environment`` overrides the
    sandbox's variables (UNSET removes one). ``repo_config`` is added to
    .git/config. In config texts and variables "{sandbox}" stands for the
    sandbox folder. ``root`` is the folder scanned,
    relative to the repository's top ("" for the top itself).
    """

    files: dict[str, str | bytes]
    builtin: list[str] = dataclasses.field(default_factory=list)
    extra: list[str] = dataclasses.field(default_factory=list)
    replace_builtin: bool = False
    use_gitignore: bool = True
    use_vorpalineignore: bool = False
    info_exclude: str | bytes | None = None
    global_config: str | None = None
    home_files: dict[str, str | bytes] = dataclasses.field(default_factory=dict)
    xdg_files: dict[str, str | bytes] = dataclasses.field(default_factory=dict)
    sandbox_files: dict[str, str | bytes] = dataclasses.field(default_factory=dict)
    environment: dict[str, str | None] = dataclasses.field(default_factory=dict)
    repo_config: str | None = None
    root: str = ""
    threads: int = 0

    def listed_patterns(self) -> list[str]:
        """The lines of the root ignore file the scanner builds from its lists."""
        return ([] if self.replace_builtin else list(self.builtin)) + list(self.extra)

    def scan_config(self, repo_root: Path) -> dict[str, object]:
        return {
            "repo_root": str(repo_root),
            "builtin_patterns": list(self.builtin),
            "extra_patterns": list(self.extra),
            "ignore_mode": "git+vorpaline" if self.use_gitignore else "vorpaline",
            "use_gitignore": self.use_gitignore,
            "use_vorpalineignore": self.use_vorpalineignore,
            "replace_builtin_patterns": self.replace_builtin,
        }


def _as_bytes(contents: str | bytes) -> bytes:
    return contents if isinstance(contents, bytes) else contents.encode()


def _write(path: Path, contents: str | bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(_as_bytes(contents))


class Sandbox:
    """A temporary folder laid out for one tree: repo/, home/, xdg/, gitconfig."""

    def __init__(self, folder: Path):
        self.folder = Path(folder)
        self.repo = self.folder / "repo"
        self.home = self.folder / "home"
        self.xdg = self.folder / "xdg"
        self.global_config = self.folder / "gitconfig"
        self.patterns_file = self.folder / "listed-patterns"

    def base_environment(self) -> dict[str, str]:
        return {
            "HOME": str(self.home),
            "XDG_CONFIG_HOME": str(self.xdg),
            "GIT_CONFIG_GLOBAL": str(self.global_config),
            "GIT_CONFIG_NOSYSTEM": "1",
        }

    def environment(self, tree: Tree) -> dict[str, str]:
        """The sandbox's variables with the tree's overrides applied."""
        variables = self.base_environment()
        for name, value in tree.environment.items():
            if value is UNSET:
                variables.pop(name, None)
            else:
                variables[name] = self.filled_in(value)
        return variables

    def filled_in(self, text: str) -> str:
        return text.replace("{sandbox}", str(self.folder))

    def build(self, tree: Tree) -> None:
        self.repo.mkdir(parents=True)
        self.home.mkdir()
        self.xdg.mkdir()
        # An empty template: no sample hooks, and no info/exclude unless the tree has one.
        run_git(self, tree, ["init", "-q", "--template=", str(self.repo)], cwd=self.folder)
        for relative, contents in tree.files.items():
            _write(self.repo / relative, contents)
        if tree.info_exclude is not None:
            _write(self.repo / ".git" / "info" / "exclude", tree.info_exclude)
        if tree.global_config is not None:
            _write(self.global_config, self.filled_in(tree.global_config))
        if tree.repo_config is not None:
            with open(self.repo / ".git" / "config", "a", encoding="utf-8") as config:
                config.write(self.filled_in(tree.repo_config))
        for relative, contents in tree.home_files.items():
            _write(self.home / relative, contents)
        for relative, contents in tree.xdg_files.items():
            _write(self.xdg / relative, contents)
        for relative, contents in tree.sandbox_files.items():
            _write(self.folder / relative, contents)
        self.patterns_file.write_bytes(b"".join(line.encode() + b"\n" for line in tree.listed_patterns()))


def git_process_environment(sandbox: Sandbox, tree: Tree) -> dict[str, str]:
    variables = {
        name: value for name, value in os.environ.items() if not name.startswith(_GIT_VARIABLE_PREFIX)
    }
    for name in SANDBOX_VARIABLES:
        variables.pop(name, None)
    variables.update(sandbox.environment(tree))
    variables["LC_ALL"] = "C"
    return variables


def run_git(sandbox: Sandbox, tree: Tree, arguments: list[str], cwd: Path) -> bytes:
    process = subprocess.run(
        ["git", *arguments],
        cwd=cwd,
        env=git_process_environment(sandbox, tree),
        capture_output=True,
        timeout=60,
    )
    if process.returncode != 0:
        raise AssertionError(f"git {arguments} failed: {process.stderr.decode(errors='replace')}")
    return process.stdout


def git_command(sandbox: Sandbox, tree: Tree) -> list[str]:
    """The ls-files call whose answer the scan must equal.

    Later exclude files beat earlier ones, so the listed patterns come before
    --exclude-standard adds core.excludesFile and .git/info/exclude; any
    per-directory file beats every exclude file, as in the scanner.
    """
    command = ["ls-files", "-z", "--others", f"--exclude-from={sandbox.patterns_file}"]
    if tree.use_gitignore:
        command.append("--exclude-standard")
        if tree.use_vorpalineignore:
            # Git reads one per-directory name only: this stands for the
            # scan of a tree that holds no .gitignore.
            if any(Path(path).name == ".gitignore" for path in tree.files):
                raise ValueError("git cannot stand for .gitignore and .vorpalineignore together")
            command.append("--exclude-per-directory=.vorpalineignore")
    elif tree.use_vorpalineignore:
        command.append("--exclude-per-directory=.vorpalineignore")
    return command


def git_listing(sandbox: Sandbox, tree: Tree) -> list[str]:
    """The regular files git keeps, relative to the scanned folder, sorted bytewise."""
    root = sandbox.repo / tree.root
    output = run_git(sandbox, tree, git_command(sandbox, tree), cwd=root)
    paths = [os.fsdecode(raw) for raw in output.split(b"\0") if raw]
    # git lists symbolic links too; the scan lists regular files only
    paths = [path for path in paths if (root / path).is_file() and not (root / path).is_symlink()]
    return sorted(paths, key=os.fsencode)


@contextlib.contextmanager
def scanner_environment(sandbox: Sandbox, tree: Tree):
    """os.environ as git sees it in the sandbox, for the length of the block.

    The core reads these variables at each call, so patching os.environ (which
    also sets the process environment) is enough.
    """
    with pytest.MonkeyPatch.context() as patch:
        for name in list(os.environ):
            if name.startswith(_GIT_VARIABLE_PREFIX) or name in SANDBOX_VARIABLES:
                patch.delenv(name)
        for name, value in sandbox.environment(tree).items():
            patch.setenv(name, value)
        yield


def scan_reply(sandbox: Sandbox, tree: Tree) -> dict:
    import vorpaline_core_py

    config = tree.scan_config(sandbox.repo / tree.root)
    with scanner_environment(sandbox, tree):
        return json.loads(vorpaline_core_py.scan_repository(json.dumps(config), tree.threads))


def scanner_listing(sandbox: Sandbox, tree: Tree) -> list[str]:
    return [item["path"] for item in scan_reply(sandbox, tree)["files"]]


# ---------------------------------------------------------------- failure reports


def _shown(contents: str | bytes) -> str:
    text = _as_bytes(contents).decode("utf-8", errors="backslashreplace")
    return "\n".join("      | " + repr(line)[1:-1] for line in text.split("\n"))


def describe(sandbox: Sandbox, tree: Tree, expected: list[str], found: list[str],
             expected_name: str = "git", found_name: str = "the scan") -> str:
    """A report of a mismatch: the tree, every ignore source, both listings' difference."""
    ignore_names = {".gitignore", ".vorpalineignore"}
    lines = [f"{found_name} of {tree.root or '<top>'} differs from {expected_name}"]
    lines.append(
        f"  options: use_gitignore={tree.use_gitignore} use_vorpalineignore={tree.use_vorpalineignore}"
        f" replace_builtin={tree.replace_builtin} threads={tree.threads}"
    )
    lines.append(f"  builtin: {tree.builtin!r}")
    lines.append(f"  extra:   {tree.extra!r}")
    lines.append("  tree:")
    for path in sorted(tree.files, key=os.fsencode):
        lines.append(f"    {path!r}")
    for path in sorted(tree.files, key=os.fsencode):
        if Path(path).name in ignore_names:
            lines.append(f"  {path}:")
            lines.append(_shown(tree.files[path]))
    if tree.info_exclude is not None:
        lines.append("  .git/info/exclude:")
        lines.append(_shown(tree.info_exclude))
    if tree.global_config is not None:
        lines.append("  global config:")
        lines.append(_shown(tree.global_config))
    if tree.repo_config is not None:
        lines.append("  added to .git/config:")
        lines.append(_shown(tree.repo_config))
    for where, files in (("~/", tree.home_files), ("$XDG_CONFIG_HOME/", tree.xdg_files),
                         ("<sandbox>/", tree.sandbox_files)):
        for path, contents in files.items():
            lines.append(f"  {where}{path}:")
            lines.append(_shown(contents))
    if tree.environment:
        lines.append(f"  environment overrides: {tree.environment!r}")
    only_expected = sorted(set(expected) - set(found), key=os.fsencode)
    only_found = sorted(set(found) - set(expected), key=os.fsencode)
    lines.append(f"  listed by {expected_name} only: {only_expected!r}")
    lines.append(f"  listed by {found_name} only: {only_found!r}")
    lines.append(f"  {expected_name}: {expected!r}")
    lines.append(f"  {found_name}: {found!r}")
    return "\n".join(lines)


def compare_with_git(folder: Path, tree: Tree) -> list[str]:
    """Build the tree in `folder`, assert that the scan lists what git lists; return git's list."""
    sandbox = Sandbox(folder)
    sandbox.build(tree)
    expected = git_listing(sandbox, tree)
    found = scanner_listing(sandbox, tree)
    assert found == expected, describe(sandbox, tree, expected, found)
    return expected
