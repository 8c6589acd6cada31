"""The tree that the scan table lists: a repository-sized folder with nested ignore files.

It is made of hard links to the running interpreter's standard library
(several copies under different names) and to its base ``site-packages``,
plus a generated ``node_modules`` (many small files in deep folders), a
``.venv`` that ignores itself, an ignored ``build/`` and ``.gitignore`` files
at several levels, with negations, and a ``.git`` made by ``git init``.
Hard links cost neither time nor disk; where the file system refuses them
the files are copied.

The tree is built once into ``<cache>/repo`` with a manifest beside it and
built again when ``BUILDER_VERSION`` or the sources change.
"""
from __future__ import annotations

import errno
import json
import os
import random
import shutil
import subprocess
import sysconfig
from pathlib import Path
from typing import NamedTuple

# Raise when the layout below changes: a cached tree of another version is rebuilt.
BUILDER_VERSION = 1

MIN_FILES = 50_000
MIN_FOLDERS = 5_000
MIN_STDLIB_COPIES = 3
MAX_STDLIB_COPIES = 12

# name of the folder -> its .gitignore, relative to the tree's root. Together
# they use anchored and unanchored patterns, folder-only patterns, a deeper
# file that re-includes what a shallower one ignores, and a negation that
# cannot work because a folder above the file is excluded (gitignore(5)).
IGNORE_FILES = {
    "": "# build output and caches\n*.pyc\n__pycache__/\n/build/\n*.log\n!keep.log\n",
    "lib": "*.exe\n*.whl\n",
    "lib/std-b": "/test/\n!/test/__init__.py\n",
    "lib/std-c/logging": "!*.log\n",
    "vendor/site-packages": "*.so\n!_cffi_backend*.so\n*.dist-info/RECORD\n",
    "web": "*.map\n/node_modules/.cache/\n",
    ".venv": "*\n",
}

# Files written into the tree besides the copies: what the ignore files above decide.
EXTRA_FILES = {
    "README.md": "# scan benchmark tree\n",
    "keep.log": "kept: re-included at the root\n",
    "lib/std-a/run.log": "ignored\n",
    "lib/std-c/logging/debug.log": "kept: re-included by the deeper file\n",
    "tools/build/notes.txt": "kept: /build/ is anchored at the root\n",
    "build/output.txt": "ignored\n",
    ".venv/pyvenv.cfg": "home = /usr/bin\n",
}


class TreeInfo(NamedTuple):
    root: Path  # the repository: what every contender lists
    files: int  # regular files, outside .git
    folders: int  # folders, outside .git, the root not counted
    ignore_files: int


def stdlib_source() -> Path:
    return Path(sysconfig.get_paths()["stdlib"])


def site_packages_source() -> Path:
    """The base interpreter's site-packages (not the venv's, which this benchmark's own installs change)."""
    return stdlib_source() / "site-packages"


def link_or_copy(source: str, target: str) -> None:
    try:
        os.link(source, target)
    except OSError as error:
        if error.errno not in (errno.EXDEV, errno.EPERM, errno.EMLINK):
            raise
        shutil.copy2(source, target)


def link_tree(source: Path, target: Path, skip_top: frozenset[str] = frozenset()) -> None:
    """Hard links to every regular file under ``source``, in the same folders under ``target``.
    Symbolic links and special files are left out: the contenders disagree on them by design."""
    for directory, subdirs, files in os.walk(source):
        relative = os.path.relpath(directory, source)
        if relative == ".":
            subdirs[:] = [d for d in subdirs if d not in skip_top]
        subdirs.sort()
        destination = os.path.join(target, relative)
        os.makedirs(destination, exist_ok=True)
        for name in sorted(files):
            path = os.path.join(directory, name)
            if os.path.isfile(path) and not os.path.islink(path):
                link_or_copy(path, os.path.join(destination, name))


def write_node_modules(target: Path, packages: int = 450, seed: int = 7) -> None:
    """Packages of small files in deep folders, some with their own nested
    node_modules, as a package manager leaves them."""
    rng = random.Random(seed)

    def package(folder: Path, name: str, depth: int) -> None:
        folder.mkdir(parents=True)
        (folder / "package.json").write_text(f'{{"name": "{name}", "version": "1.0.{depth}"}}\n')
        for top in ("index.js", "README.md", "LICENSE", "index.d.ts"):
            (folder / top).write_text(f"// {name}/{top}\n")
        for branch in range(rng.randint(1, 3)):
            inner = folder / "lib" / f"part{branch}"
            for level in range(rng.randint(2, 5)):
                inner = inner / f"level{level}"
                inner.mkdir(parents=True, exist_ok=True)
                for index in range(rng.randint(1, 4)):
                    (inner / f"module{index}.js").write_text(f"module.exports = {index};\n")
                if rng.random() < 0.3:
                    (inner / f"module0.js.map").write_text("{}\n")
        if depth == 0 and rng.random() < 0.25:
            for dep in range(rng.randint(1, 3)):
                package(folder / "node_modules" / f"{name}-dep{dep}", f"{name}-dep{dep}", depth + 1)

    for index in range(packages):
        name = f"@scope{index % 7}/pkg{index}" if index % 5 == 0 else f"pkg{index}"
        package(target / name, name.replace("/", "-"), 0)
    cache = target / ".cache" / "build"
    cache.mkdir(parents=True)
    (cache / "state.json").write_text("{}\n")


def count(root: Path) -> tuple[int, int, int]:
    """Regular files, folders and ignore files under ``root``, ``.git`` left out."""
    files = folders = ignore_files = 0
    for directory, subdirs, names in os.walk(root):
        subdirs[:] = [d for d in subdirs if d != ".git"]
        folders += len(subdirs)
        for name in names:
            if name == ".git":
                continue
            files += 1
            ignore_files += name == ".gitignore"
    return files, folders, ignore_files


def sources_key() -> dict[str, object]:
    """What the cached tree depends on besides the layout: a change rebuilds it."""
    return {"version": BUILDER_VERSION, "stdlib": str(stdlib_source()),
            "site_packages": str(site_packages_source())}


def build(repo: Path) -> None:
    repo.mkdir(parents=True)
    subprocess.run(["git", "-c", "init.defaultBranch=main", "init", "-q", str(repo)], check=True,
                   env={**os.environ, "GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull})
    stdlib, site_packages = stdlib_source(), site_packages_source()
    if site_packages.is_dir():
        link_tree(site_packages, repo / "vendor" / "site-packages")
    link_tree(stdlib / "json", repo / ".venv" / "lib" / "python3" / "site-packages" / "json")
    link_tree(stdlib / "email", repo / "build" / "email")
    write_node_modules(repo / "web" / "node_modules")
    for copy in range(MAX_STDLIB_COPIES):
        name = f"std-{chr(ord('a') + copy)}"
        link_tree(stdlib, repo / "lib" / name, skip_top=frozenset({"site-packages"}))
        if copy + 1 >= MIN_STDLIB_COPIES:
            files, folders, _ = count(repo)
            if files >= MIN_FILES and folders >= MIN_FOLDERS:
                break
    write_rules(repo)


def write_rules(repo: Path) -> None:
    """The ignore files and the files written to show what they decide."""
    for folder, text in IGNORE_FILES.items():
        (repo / folder).mkdir(parents=True, exist_ok=True)
        (repo / folder / ".gitignore").write_text(text, encoding="utf-8")
    for path, text in EXTRA_FILES.items():
        (repo / path).parent.mkdir(parents=True, exist_ok=True)
        (repo / path).write_text(text, encoding="utf-8")


def ensure(cache: Path) -> TreeInfo:
    """The tree under ``cache``, built when missing or made by another builder version."""
    manifest_path = cache / "manifest.json"
    key = sources_key()
    try:
        manifest = json.loads(manifest_path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        manifest = None
    if manifest is None or manifest.get("key") != key or not (cache / "repo").is_dir():
        if cache.exists():
            shutil.rmtree(cache)
        staging = cache.with_name(cache.name + ".partial")  # a build cut short is never mistaken for a tree
        if staging.exists():
            shutil.rmtree(staging)
        build(staging / "repo")
        files, folders, ignore_files = count(staging / "repo")
        manifest = {"key": key, "files": files, "folders": folders, "ignore_files": ignore_files}
        (staging / "manifest.json").write_text(json.dumps(manifest, indent=1), encoding="utf-8")
        staging.rename(cache)
    return TreeInfo(cache / "repo", manifest["files"], manifest["folders"], manifest["ignore_files"])
