"""What must hold for every input the scan fuzzer makes. An input is up to
four parts split at 0xFF bytes: the root's .gitignore, the .gitignore of
folder `a`, the extra patterns (one per line) and a path to explain. The
ignore files are written as raw bytes, so the reader sees every BOM, CR, NUL
and byte that is not UTF-8 the fuzzer can make; the patterns and the path go
through JSON as text.

- Every call returns a reply or raises ValueError; a scan with a
  well-formed configuration is never refused.
- The reply is well formed: the root as given, files sorted bytewise and
  unique, each one a regular file of the fixed tree with its real size;
  nothing named `.git` is listed.
- One thread and three threads give the same reply, and a second call gives
  it again.
- `scan_explain` agrees with the scan on every file of the tree: a listed
  file is not ignored, a file left out is; an explained path that is refused
  is one with '..', a NUL or a leading '/'.
"""

import json
import os
import tempfile

import vorpaline_core_py as core
from core_checks import expect, outcome

SEPARATOR = b"\xff"

# A small tree whose names are the ones patterns trip over: blanks, a leading
# '#' or '!', a trailing space, glob characters, a dot name, a non-ASCII name.
TREE_FILES = (
    "a.py", "b.log", "#c", "!d", "foo ", "x y", "[ab]", "*", ".hidden", "é.txt",
    "a/x.py", "a/b.log", "a/b/c.txt", "a/b/d/e.py", "build/out.o", "build/keep/k.txt",
    ".git/config", "sub/.git/HEAD", "sub/f.py",
)

ENVIRONMENT = {"GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull}


def on_disk(path):
    """The bytes of a path below the root: the embedded interpreter's file
    system encoding may be ASCII, and the tree's names are UTF-8."""
    return os.path.join(ROOT.encode(), path.encode())


def make_tree():
    for path in TREE_FILES:
        full = on_disk(path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as handle:
            handle.write(path.encode() * 3)
    # no user ignore file of the machine's may decide anything here
    home = os.path.join(ROOT, ".git", "home")
    os.makedirs(home)
    os.environ.update(ENVIRONMENT, HOME=home, XDG_CONFIG_HOME=home)


ROOT = tempfile.mkdtemp(prefix="vorpaline-scan-fuzz-")
make_tree()
SIZES = {path: os.path.getsize(on_disk(path)) for path in TREE_FILES}
IGNORE_FILES = (".gitignore", "a/.gitignore")


def split(data):
    parts = data.split(SEPARATOR, 3)
    parts += [b""] * (4 - len(parts))
    return parts


def config_text(extra_patterns):
    return json.dumps({
        "repo_root": ROOT, "builtin_patterns": [".git", "*.o"], "extra_patterns": extra_patterns,
        "ignore_mode": "git", "use_gitignore": True, "use_vorpalineignore": True,
        "replace_builtin_patterns": False,
    })


def check_reply(reply_text, present):
    reply = json.loads(reply_text)
    expect(reply["root"] == ROOT, "the root is not the one given", reply["root"])
    paths = [item["path"] for item in reply["files"]]
    expect(paths == sorted(set(paths), key=str.encode), "files are not sorted and unique", paths)
    for item in reply["files"]:
        path = item["path"]
        expect(path in present, "a path that is not a file of the tree was listed", path, present)
        expect(".git" not in path.split("/"), "a path in .git was listed", path)
        expect(item["size"] == present[path], "a wrong size", item)
        expect(type(item["mtime_ns"]) is int and item["mtime_ns"] > 0, "a wrong modification time", item)
    expect(reply["skipped"] == [], "a readable tree had skipped paths", reply["skipped"])
    return paths


def check_explain(config, path, listed):
    result = outcome(core.scan_explain, config, path)
    if isinstance(result, ValueError):
        parts = path.split("/")
        expect(".." in parts or "\0" in path or path.startswith("/"),
               "an explained path was refused", path, result)
        return
    reply = json.loads(result)
    expect(type(reply["ignored"]) is bool, "ignored is not a bool", reply)
    if reply["pattern"] is not None:
        expect(type(reply["line"]) is int and reply["line"] >= 1, "a pattern without its line", reply)
        expect(type(reply["source"]) is str, "a pattern without its source", reply)
    if path in SIZES:
        expect(reply["ignored"] is (path not in listed), "explain disagrees with the scan", path, reply, listed)


def check(data):
    root_ignore, folder_ignore, patterns, path = split(data)
    for name, contents in zip(IGNORE_FILES, (root_ignore, folder_ignore)):
        with open(on_disk(name), "wb") as handle:
            handle.write(contents)
    present = dict(SIZES, **{name: len(contents) for name, contents in zip(IGNORE_FILES, (root_ignore, folder_ignore))})

    config = config_text(patterns.decode("utf-8", "replace").split("\n"))
    first = outcome(core.scan_repository, config, 1)
    expect(not isinstance(first, ValueError), "a well-formed configuration was refused", config, first)
    listed = set(check_reply(first, present))
    for threads in (3, 1):
        expect(core.scan_repository(config, threads) == first, f"{threads} threads gave another reply", config)

    for file in SIZES:
        check_explain(config, file, listed)
    check_explain(config, path.decode("utf-8", "replace"), listed)
