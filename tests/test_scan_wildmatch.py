"""The scan's glob matching: git's answers for patterns that are hard to get
right, and time bounded for patterns that make a backtracking matcher (git's
own among them) take forever.

Each row of the table is one ignore file and a tree: the scan must list what
`git ls-files --others` lists (tests/gitoracle.py). The last rows make the
core's backtracking give up and its tabulated matcher answer, at sizes git
still answers quickly.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from gitoracle import Tree, compare_with_git

pytest.importorskip("vorpaline_core_py")


def row(name, patterns, paths, ignores="some", **options):
    """An ignore file of `patterns` over the files `paths`; git ignores "some"
    of them, "all" (the .gitignore too) or "none"."""
    files = {path: b"x" for path in paths.split()} if isinstance(paths, str) else {path: b"x" for path in paths}
    files[".gitignore"] = "".join(line + "\n" for line in patterns)
    return pytest.param(Tree(files=files, **options), ignores, id=name)


A31C = "a" * 31 + "c"
WILDMATCH_ROWS = [
    # ---- `**` in every position
    row("leading", ["**/foo"], "foo a/foo a/b/foo xfoo foox c/foo/x"),
    row("leading-then-star", ["**/*.log"], "a.log d/b.log d/e/c.log d/log x.logs"),
    row("trailing", ["foo/**"], "foo/a foo/b/c foo2/a x/foo/a"),
    row("inner", ["a/**/b"], "a/b a/x/b a/x/y/b a/xb ab/b c/a/b a/y/b/c"),
    row("inner-twice", ["a/**/**/b"], "a/b a/x/b a/x/y/z/b a/bb"),
    row("chain", ["**/**/**/b"], "b a/b a/c/b a/c/d/e/b a/bc"),
    row("chain-then-trailing", ["**/a/**/b/**"], "a/b/c x/a/y/b/z a/bb a/c"),
    row("alone-twice", ["**/**"], "a b/c d/e/f", "all"),
    row("start-of-name", ["**b/c"], "b/c xb/c y/xb/c y/b/c"),
    row("end-of-name", ["a/b**"], "a/bx a/b/c a/xb a/c"),
    row("inside-names", ["x**y", "**z"], "xy xay x/y xa/by z az a/z a/bz"),
    row("escaped-slash-after", ["**\\/b"], "b a/b x/y/b ab"),
    row("trailing-folders-only", ["a/**/"], "a/b a/c/d a/e/f/g"),
    row("anchored-alone", ["/**"], "a b/c", "all"),
    # ---- `*` next to `/`
    row("star-slash", ["*/x"], "x a/x a/b/x ax"),
    row("slash-star-slash", ["a/*/b"], "a/b a/x/b a/x/y/b ab/x/b"),
    row("star-slash-star", ["*/*/c"], "a/b/c a/c a/b/d/c c"),
    row("star-before-slash-in-name", ["a*/b"], "ab/b a/b ax/y/b b/ab/b"),
    row("anchored-star", ["/*.py"], "a.py d/b.py"),
    row("slash-star", ["a/*"], "a/b a/c/d b/a/c"),
    row("star-folders-only", ["/*/"], "a b/c d/e/f"),
    row("question-mark-and-slash", ["a?b", "x/c?d"], "a/b acb x/c/d x/ced"),
    # ---- classes
    row("range", ["[a-c]*"], "apple bob cat dog Alpha"),
    row("negated", ["[!a]?", "[^b]x"], "ab bb a bx cx"),
    row("named", ["[[:digit:]]x", "[[:upper:]]*"], "1x ax Bee bee 9y"),
    row("bracket-member", ["[]]", "[!]]z"], ["]", "a", "]z", "az"]),
    row("escaped-members", ["[\\]]a", "[a\\-c]b"], ["]a", "-b", "bb", "cb", "ab"]),
    row("dash-at-the-ends", ["[a-]q", "[-b]r"], ["aq", "-q", "bq", "-r", "br", "ar"]),
    row("slash-in-class", ["a[/]b", "*[/]*"], "a/b ab", "none"),
    row("unknown-name", ["[[:bogus:]]", "[[:alpha:]"], ["a", "b", "[", ":"], "none"),
    row("unterminated", ["[ab", "a\\"], ["[ab", "a", "b", "a\\"], "none"),
    row("colon-without-class", ["[[:a]x", "[a:]y"], ["ax", "[x", ":x", "ay", ":y", "by"]),
    # ---- escapes
    row("escaped-specials", ["\\*", "\\?x", "\\[a]"], ["*", "a", "?x", "bx", "[a]", "a]"]),
    row("escaped-letters", ["\\a\\b", "\\\\"], ["ab", "\\", "b"]),
    row("escaped-hash-and-bang", ["\\#a", "\\!b"], ["#a", "!b", "a", "b"]),
    # ---- past the backtracking's budget: the tabulated matcher answers
    row("many-stars", ["*a*a*a*a*a*a"], [A31C, "a" * 32, "ba" * 16, "b" * 32]),
    row("many-stars-in-a-path", ["x/*a*a*a*a*a*a"], ["x/" + A31C, "x/" + "a" * 32, "y/" + "a" * 32]),
    row("many-double-stars", ["**/**/**/**/**/b"], ["a/" * 10 + "b", "a/" * 10 + "c", "b"]),
    row("many-double-stars-listed", [], ["a/" * 10 + "b", "a/" * 10 + "c", "b", A31C, "a" * 32],
        extra=["**/**/**/**/**/b", "*a*a*a*a*a*a"]),
]


@pytest.mark.parametrize("tree, ignores", WILDMATCH_ROWS)
def test_tricky_patterns_match_as_in_git(tmp_path, tree, ignores):
    kept = compare_with_git(tmp_path, tree)
    # what git does with the row, so that a row that stops exercising its patterns shows
    assert {0: "all", len(tree.files): "none"}.get(len(kept), "some") == ignores, kept


# ---- time

def pathological_tree(root, repetitions):
    """A tree of 100-byte paths and a .gitignore of the two families that
    backtracking takes exponential time over; returns the paths it keeps."""
    lines = []
    for count in repetitions:
        lines += ["**/" * count + "b", "*a" * count, "x/" + "*a" * count]
    # A 200 KB line that needs more bytes than any name has: no table over it is needed.
    lines.append("*a" * 100_000)
    files = {
        ".gitignore": "\n".join(lines) + "\n",
        "a" * 99 + "c": "kept: no trailing a",
        "a" * 254 + "c": "kept: the longest name",
        "a" * 100: "ignored by *a...",
        "a/" * 49 + "cc": "kept: no b at the end",
        "a/" * 49 + "b": "ignored by **/...b",
        "x/" + "a" * 97 + "c": "kept",
        "x/" + "a" * 98: "ignored by x/*a...",
    }
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return sorted([".gitignore", "a" * 99 + "c", "a" * 254 + "c", "a/" * 49 + "cc", "x/" + "a" * 97 + "c"])


SCAN_SCRIPT = textwrap.dedent("""
    import json, sys, time
    from vorpaline.scan import scan
    started = time.perf_counter()
    files = scan(sys.argv[1], threads=1)
    print(json.dumps({"seconds": time.perf_counter() - started, "paths": [f.path for f in files]}))
""")


def test_pathological_patterns_take_bounded_time(tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    expected = pathological_tree(repo, [10, 15, 20])
    home = tmp_path / "home"
    home.mkdir()
    environment = {**os.environ, "HOME": str(home), "GIT_CONFIG_NOSYSTEM": "1"}
    environment.pop("GIT_CONFIG_GLOBAL", None)
    try:
        # a matcher that backtracks would take years: the process is stopped long before
        process = subprocess.run([sys.executable, "-c", SCAN_SCRIPT, str(repo)], capture_output=True, text=True,
                                 env=environment, timeout=20, check=True)
    except subprocess.TimeoutExpired:
        pytest.fail("the scan did not finish within 20 s")
    reply = json.loads(process.stdout)
    assert reply["paths"] == expected
    assert reply["seconds"] < 1.0
