"""The repository scan lists what git lists.

Each tree is built in a sandbox of its own (see gitoracle) and the scan's file
list is compared with `git ls-files --others` under the same ignore sources.
The hand-written table follows gitignore(5) rule by rule; each row also
states which files the manual says are ignored, so that a row that stops
exercising its rule (or a misreading of the manual) shows up on git's side
first. The combination of .gitignore and .vorpalineignore has no git
equivalent, so those rows give the expected list outright. A property test
then compares random trees and ignore files.

Set VORPALINE_LONG_TESTS=1 for many more random trees.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given
from hypothesis import settings as hypothesis_settings
from hypothesis import strategies as st

from gitoracle import UNSET, Sandbox, Tree, describe, git_listing, scanner_listing

pytest.importorskip("vorpaline_core_py")

LONG = os.environ.get("VORPALINE_LONG_TESTS") == "1"

PLAIN = b"x"


def case(name, paths="", ignores=None, ignored="", *, xfail=None, **options):
    """One row: plain files (whitespace-separated, or a list for names with
    blanks), ignore files with their contents, and the files the manual says
    are ignored (relative to the scanned folder)."""
    files = {path: PLAIN for path in (paths.split() if isinstance(paths, str) else paths)}
    files.update(ignores or {})
    ignored_paths = frozenset(ignored.split() if isinstance(ignored, str) else ignored)
    marks = [pytest.mark.xfail(strict=True, reason=xfail)] if xfail else []
    return pytest.param(Tree(files=files, **options), ignored_paths, id=name, marks=marks)


def gi(text):
    return {".gitignore": text}


GITIGNORE_CASES = [
    # ---- a directory that is excluded is never entered
    case("dir-slash-then-negated-file", "dir/keep dir/other top", gi("dir/\n!dir/keep\n"),
         "dir/keep dir/other"),
    case("dir-name-then-negated-file", "dir/keep dir/other top", gi("dir\n!dir/keep\n"),
         "dir/keep dir/other"),
    case("dir-star-then-negated-file", "dir/keep dir/other dir/sub/x top", gi("dir/*\n!dir/keep\n"),
         "dir/other dir/sub/x"),
    case("negation-in-excluded-dir-gitignore", "dir/keep dir/other",
         {".gitignore": "dir/\n", "dir/.gitignore": "!keep\n"},
         "dir/keep dir/other dir/.gitignore"),
    case("everything-but-python", "a.py b.log d/c.py d/e.txt", gi("*\n!*/\n!*.py\n"),
         ".gitignore b.log d/e.txt"),
    case("root-only-but-one-dir", "a keep/b keep/c/d other/e", gi("/*\n!/keep/\n"),
         ".gitignore a other/e"),
    case("negated-dir-inside-excluded-dir", "out/keep/a out/b", gi("out/\n!out/keep/\n"),
         "out/keep/a out/b"),
    # ---- ** in each position
    case("double-star-leading", "foo a/foo a/b/foo c/foo/x xfoo foox", gi("**/foo\n"),
         "foo a/foo a/b/foo c/foo/x"),
    case("double-star-leading-two-levels", "foo/bar a/foo/bar a/bar bar/foo", gi("**/foo/bar\n"),
         "foo/bar a/foo/bar"),
    case("double-star-trailing", "foo/a foo/b/c x/foo/a foo2/a", gi("foo/**\n"),
         "foo/a foo/b/c"),
    case("double-star-trailing-then-negated", "foo/a foo/keep foo/b/keep", gi("foo/**\n!foo/**/keep\n"),
         "foo/a foo/b/keep"),
    case("double-star-inner", "a/b a/x/b a/x/y/b a/xb c/a/b a/y/b/c", gi("a/**/b\n"),
         "a/b a/x/b a/x/y/b a/y/b/c"),
    case("double-star-alone", "a b/c", gi("**\n"), ".gitignore a b/c"),
    case("double-star-inside-a-name", ["a**b", "ab", "axyb", "d/ab", "a/b", "ba"], gi("a**b\n"),
         ["a**b", "ab", "axyb", "d/ab"]),
    # After its literal head the rest of a pattern is matched on its own, so this
    # `**` starts a segment there: git ignores abc/b too.
    case("double-star-after-literal-head", "ab a/b a/x/b abc/b", gi("a**/b\n"),
         "ab a/b a/x/b abc/b"),
    case("double-star-before-name-part", "a/xb a/b a/x/yb", gi("a/**b\n"), "a/xb a/b"),
    case("double-star-dirs-only", "foo/a foo/b/c foo/d/e/f", gi("foo/**/\n"), "foo/b/c foo/d/e/f"),
    case("double-star-anchored", "foo a/foo a/b/foo", {"a/.gitignore": "/**/foo\n"}, "a/foo a/b/foo"),
    case("double-star-twice", "a/b a/x/y/b a/x/b/c", gi("a/**/**/b\n"), "a/b a/x/y/b a/x/b/c"),
    case("double-star-slash-alone-dirs", "a b/c d/e/f", gi("**/\n"), "b/c d/e/f"),
    # ---- ? and character classes
    case("question-mark", "a.txt ab.txt .txt d/b.txt", gi("?.txt\n"), "a.txt d/b.txt"),
    case("question-mark-never-slash", "a/b axb", gi("/a?b\n"), "axb"),
    case("class-list", "a.txt b.txt d.txt", gi("[abc].txt\n"), "a.txt b.txt"),
    case("class-range", "a.txt c.txt d.txt", gi("[a-c].txt\n"), "a.txt c.txt"),
    case("class-bang", "a.txt b.txt", gi("[!a].txt\n"), "b.txt"),
    case("class-caret", "a.txt b.txt", gi("[^a].txt\n"), "b.txt"),
    case("class-bracket-first", ["].txt", "a.txt", "[.txt"], gi("[]].txt\n"), ["].txt"]),
    case("class-bracket-and-letter", ["].txt", "a.txt", "b.txt"], gi("[]a].txt\n"), ["].txt", "a.txt"]),
    case("class-negated-bracket", ["].txt", "a.txt"], gi("[!]].txt\n"), ["a.txt"]),
    case("class-dash-last", ["-.txt", "a.txt", "b.txt"], gi("[a-].txt\n"), ["-.txt", "a.txt"]),
    case("class-digit", "1.txt 9.txt a.txt", gi("[[:digit:]].txt\n"), "1.txt 9.txt"),
    case("class-named-and-list", "1.txt A.txt a.txt _.txt", gi("[[:upper:]_].txt\n"), "A.txt _.txt"),
    # each named class over names holding a blank, a control character, punctuation
    # git's own character table: a vertical tab or a form feed is not a space to it
    case("class-space", ["a b", "a\tb", "a\x0bb", "a\x0cb", "a\rb", "axb"], gi("a[[:space:]]b\n"),
         ["a b", "a\tb", "a\rb"]),
    case("class-blank", ["a b", "a\tb", "a\x0bb", "axb"], gi("a[[:blank:]]b\n"), ["a b", "a\tb"]),
    case("class-cntrl", ["a\x01b", "a\x1fb", "a\x7fb", "a b", "axb"], gi("a[[:cntrl:]]b\n"),
         ["a\x01b", "a\x1fb", "a\x7fb"]),
    case("class-punct", ["a!b", "a~b", "a_b", "a b", "axb", "a1b"], gi("a[[:punct:]]b\n"),
         ["a!b", "a~b", "a_b"]),
    case("class-graph-and-print", ["a!b", "a b", "a\x7fb", "axb"], gi("a[[:print:]]b\n!a[[:graph:]]b\n"),
         ["a b"]),
    case("class-alnum-lower-xdigit", ["1", "f", "g", "G", "F", "_"], gi("[[:alnum:]]\n![[:lower:]]\n[[:xdigit:]]\n"),
         ["1", "f", "G", "F"]),
    case("class-unknown-name", ["a.txt", "[[:bogus:]].txt"], gi("[[:bogus:]].txt\n"), []),
    case("class-unclosed", ["[abc", "a", "abc"], gi("[abc\n"), []),
    case("class-holding-slash", ["x/y", "xy"], gi("x[/]y\n"), []),
    case("class-escaped-bracket", ["].txt", "\\.txt", "a.txt"], gi("[\\]].txt\n"), ["].txt"]),
    # ---- escapes, comments, blanks, trailing blanks
    case("escaped-hash", ["#c", "c"], gi("\\#c\n"), ["#c"]),
    case("hash-starts-comment", ["#c", "c"], gi("#c\n"), []),
    case("hash-inside-is-literal", ["a#c", "a"], gi("a#c\n"), ["a#c"]),
    case("escaped-bang", ["!d", "d"], gi("*d\n\\!d\n!d\n"), ["!d"]),
    case("comments-and-blank-lines", "a.log b.py", gi("# logs\n\n   \n*.log\n#*.py\n"), "a.log"),
    case("escaped-trailing-space", ["foo ", "foo"], gi("foo\\ \n"), ["foo "]),
    case("escaped-space-then-spaces", ["foo ", "foo", "foo  "], gi("foo\\   \n"), ["foo "]),
    case("trailing-spaces-trimmed", ["foo ", "foo"], gi("foo   \n"), ["foo"]),
    case("trailing-tab-kept", ["foo\t", "foo"], gi("foo\t\n"), ["foo\t"]),
    case("leading-spaces-kept", ["  lead", "lead"], gi("  lead\n"), ["  lead"]),
    case("escaped-star", ["*", "a"], gi("\\*\n"), ["*"]),
    case("escaped-question-mark", ["a?b", "axb"], gi("a\\?b\n"), ["a?b"]),
    case("escaped-backslash", ["a\\b", "ab"], gi("a\\\\b\n"), ["a\\b"]),
    case("trailing-backslash-matches-nothing", ["foo", "foo\\"], gi("foo\\\n"), []),
    case("lone-bang-and-slash", "a b/c", gi("!\n/\n!/\n"), ""),
    case("many-stars-long-name", ["a" * 200, "a" * 199 + "b"], gi("*a*a*a*a*a*a*a*a*a*a*a*b\n"),
         ["a" * 199 + "b"]),
    # ---- directory-only patterns
    case("dir-only-skips-file", "foo bar/foo/x baz/foo", gi("foo/\n"), "bar/foo/x"),
    case("dir-only-with-path", "a/foo/x foo/y b/a/foo/z", gi("a/foo/\n"), "a/foo/x"),
    case("dir-only-star", "a b/c d/e/f", gi("*/\n"), "b/c d/e/f"),
    # ---- anchoring in nested ignore files
    case("nested-leading-slash", "foo sub/foo sub/x/foo", {"sub/.gitignore": "/foo\n"}, "sub/foo"),
    case("nested-unanchored", "foo sub/foo sub/x/foo", {"sub/.gitignore": "foo\n"}, "sub/foo sub/x/foo"),
    case("nested-inner-slash", "sub/x/foo sub/y/x/foo x/foo", {"sub/.gitignore": "x/foo\n"}, "sub/x/foo"),
    case("root-inner-slash-anchors", "sub/foo a/sub/foo", gi("sub/foo\n"), "sub/foo"),
    case("nested-star-path", "sub/a/b.c sub/a/x/b.c sub/b.c", {"sub/.gitignore": "a/*.c\n"}, "sub/a/b.c"),
    case("star-never-crosses-slash", "a/x/b a/b", gi("a/*/b\n"), "a/x/b"),
    # ---- precedence within and between files
    case("last-match-wins", "a.log b.log", gi("*.log\n!b.log\n"), "a.log"),
    case("last-match-wins-reversed", "a.log b.log", gi("!b.log\n*.log\n"), "a.log b.log"),
    case("deeper-file-re-includes", "keep.log sub/keep.log sub/other.log",
         {".gitignore": "*.log\n", "sub/.gitignore": "!keep.log\n"}, "keep.log sub/other.log"),
    case("deeper-file-excludes", "x.log sub/x.log",
         {".gitignore": "!x.log\n", "sub/.gitignore": "*.log\n"}, "sub/x.log"),
    case("deeper-file-excludes-dir", "sub/out/a out/b", {"sub/.gitignore": "out/\n"}, "sub/out/a"),
    case("gitignore-that-is-a-folder", ".gitignore/a.log b.log sub/c.log", {"sub/.gitignore": "*.log\n"},
         "sub/c.log"),
    # ---- file formats
    case("byte-order-mark", "a.log b.log", gi("\ufeffa.log\n"), "a.log"),
    case("byte-order-mark-nested", "sub/a.log sub/b.log", {"sub/.gitignore": "\ufeffa.log\n"}, "sub/a.log"),
    case("byte-order-mark-not-first", ["a.log", "b.log", "\ufeffb.log"], gi("a.log\n\ufeffb.log\n"),
         ["a.log", "\ufeffb.log"]),
    case("crlf-line-ends", "a.log b.tmp c.py", gi("*.log\r\n*.tmp\r\n"), "a.log b.tmp"),
    case("crlf-with-trailing-spaces", ["foo", "foo "], gi("foo  \r\nbar\r"), ["foo"]),
    case("no-final-line-end", "a.log b.tmp", gi("*.tmp\n*.log"), "a.log b.tmp"),
    case("nul-inside-a-line", ["ab", "a"], gi("a\0b\n"), ["a"]),
    # ---- case and non-ASCII names
    case("case-sensitive-literal", "Foo foo", gi("Foo\n"), "Foo"),
    case("case-sensitive-glob", "a.LOG b.log", gi("*.log\n"), "b.log"),
    case("non-ascii-literal", ["café.txt", "cafe.txt"], gi("café.txt\n"), ["café.txt"]),
    case("non-ascii-dir", ["日本/a.md", "日本/b.txt", "x/a.md"], gi("日本/*.md\n"), ["日本/a.md"]),
    case("question-mark-is-one-byte", ["é.txt", "e.txt"], gi("?.txt\n"), ["e.txt"]),
    case("two-question-marks-for-two-bytes", ["é.txt", "e.txt"], gi("??.txt\n"), ["é.txt"]),
    case("class-of-multibyte-letter", ["é.txt", "e.txt"], gi("[é].txt\n"), []),
    case("star-over-non-ascii", ["naïve.md", "plain.md"], gi("na*.md\n"), ["naïve.md"]),
]

BUILTIN = [".git", "node_modules", "*.pyc"]

LISTED_CASES = [
    case("builtin-patterns", "a.pyc node_modules/x/y.js src/b.py", builtin=BUILTIN,
         ignored="a.pyc node_modules/x/y.js"),
    case("extra-patterns", "a.log b.py", extra=["*.log"], ignored="a.log"),
    case("extra-re-includes-builtin", "a.pyc keep.pyc", builtin=BUILTIN, extra=["!keep.pyc"],
         ignored="a.pyc"),
    case("builtin-cannot-re-include-extra", "a.log keep.log", builtin=["!keep.log"], extra=["*.log"],
         ignored="a.log keep.log"),
    case("replaced-builtin", "a.pyc a.log", builtin=BUILTIN + ["*.log"], extra=["*.pyc"],
         replace_builtin=True, ignored="a.pyc"),
    case("replaced-builtin-no-extra", "a.pyc a.log", builtin=["*.pyc"], replace_builtin=True),
    case("gitignore-re-includes-builtin", "build/x", gi("!build/\n"), builtin=["build/"]),
    case("gitignore-beats-listed-dir", "out/a out/keep", gi("!out/\nout/a\n"), extra=["out"],
         ignored="out/a"),
    case("listed-anchored", "build/a x/build/b", builtin=["/build"], ignored="build/a"),
    case("listed-comment-and-blank", ["#a", "a", "b"], extra=["#a", "", "   ", "b"], ignored="b"),
    case("info-exclude", "a.log b.py", info_exclude="*.log\n", ignored="a.log"),
    case("info-exclude-under-gitignore", "a.log b.log", gi("!b.log\n"), info_exclude="*.log\n",
         ignored="a.log"),
    case("info-exclude-over-listed", "a.log b.log", extra=["*.log"], info_exclude="!b.log\n",
         ignored="a.log"),
    case("listed-under-info-exclude", "a.log b.log", extra=["!b.log"], info_exclude="*.log\n",
         ignored="a.log b.log"),
    case("info-exclude-bom-crlf", "a.log b.tmp c", info_exclude="\ufeff*.log\r\n*.tmp\r\n",
         ignored="a.log b.tmp"),
    case("info-exclude-is-root-based", "foo sub/foo", info_exclude="/foo\n", ignored="foo"),
]

EXCLUDES = "[core]\n\texcludesFile = ~/excludes\n"

EXCLUDES_FILE_CASES = [
    case("excludes-file-absolute", "a.log b.py",
         global_config="[core]\n\texcludesFile = {sandbox}/home/excludes\n",
         home_files={"excludes": "*.log\n"}, ignored="a.log"),
    case("excludes-file-home-expansion", "a.log b.py", global_config=EXCLUDES,
         home_files={"excludes": "*.log\n"}, ignored="a.log"),
    case("excludes-file-quoted-with-space", "a.log b.py",
         global_config='[core]\n\texcludesFile = "~/my excludes"  # where they are\n',
         home_files={"my excludes": "*.log\n"}, ignored="a.log"),
    case("excludes-file-names-any-case", "a.log b.py",
         global_config="[Core]\n\tEXCLUDESFILE = ~/excludes\n",
         home_files={"excludes": "*.log\n"}, ignored="a.log"),
    case("excludes-file-last-setting-wins", "a.log b.tmp",
         global_config="[core]\n\texcludesFile = ~/first\n[core]\n\texcludesFile = ~/second\n",
         home_files={"first": "*.log\n", "second": "*.tmp\n"}, ignored="b.tmp"),
    case("excludes-file-relative-to-top", "a.log b.py",
         {"my-excludes": "*.log\n"}, global_config="[core]\n\texcludesFile = my-excludes\n",
         ignored="a.log"),
    case("excludes-file-missing", "a.log", global_config="[core]\n\texcludesFile = ~/nowhere\n",
         xdg_files={"git/ignore": "*.log\n"}),
    case("excludes-file-under-info-exclude", "a.log b.log", global_config=EXCLUDES,
         home_files={"excludes": "!b.log\n"}, info_exclude="*.log\n", ignored="a.log b.log"),
    case("excludes-file-over-listed", "a.log b.log", global_config=EXCLUDES,
         home_files={"excludes": "!b.log\n"}, extra=["*.log"], ignored="a.log"),
    case("excludes-file-bom-crlf", "a.log b.tmp c", global_config=EXCLUDES,
         home_files={"excludes": "\ufeff*.log\r\n*.tmp\r\n"}, ignored="a.log b.tmp"),
    case("excludes-file-in-repo-config", "a.log b.tmp", global_config=EXCLUDES,
         home_files={"excludes": "*.log\n", "repo-excludes": "*.tmp\n"},
         repo_config="[core]\n\texcludesFile = ~/repo-excludes\n", ignored="b.tmp"),
    case("excludes-file-from-include", "a.log b.py",
         global_config="[include]\n\tpath = ~/more.gitconfig\n",
         home_files={"more.gitconfig": EXCLUDES, "excludes": "*.log\n"}, ignored="a.log"),
    case("excludes-file-from-relative-include", "a.log b.py",
         global_config="[include]\n\tpath = home/more.gitconfig\n",
         home_files={"more.gitconfig": EXCLUDES, "excludes": "*.log\n"}, ignored="a.log"),
    # conditional includes: each row's condition either holds (a.log ignored) or not
    *[case(f"include-if-{name}", "a.log b.py",
           global_config=f'[includeIf "{condition}"]\n\tpath = ~/more.gitconfig\n',
           home_files={"more.gitconfig": EXCLUDES, "excludes": "*.log\n"}, ignored="a.log" if holds else "")
      for name, condition, holds in [
          ("gitdir", "gitdir:{sandbox}/repo/", True),
          ("gitdir-exact", "gitdir:{sandbox}/repo/.git", True),
          ("gitdir-other", "gitdir:{sandbox}/elsewhere/", False),
          ("gitdir-relative", "gitdir:repo/", True),
          ("gitdir-glob", "gitdir:{sandbox}/r*/", True),
          ("gitdir-case", "gitdir:{sandbox}/REPO/", False),
          ("gitdir-folded-case", "gitdir/i:{sandbox}/REPO/", True),
          ("gitdir-home", "gitdir:~/../repo/", False),
          ("onbranch", "onbranch:master", True),
          ("onbranch-other", "onbranch:main", False),
          ("onbranch-glob", "onbranch:m*r", True),
          ("hasconfig", "hasconfig:remote.*.url:https://example.com/**", False),
          ("unknown", "nosuchcondition:x", False),
      ]],
    case("include-if-gitdir-beside-the-config-file", "a.log b.py",
         global_config='[includeIf "gitdir:./repo/"]\n\tpath = home/more.gitconfig\n',
         home_files={"more.gitconfig": EXCLUDES, "excludes": "*.log\n"}, ignored="a.log"),
    case("excludes-file-in-a-core-subsection-is-another-key", "a.log b.py",
         global_config='[core "x"]\n\texcludesFile = ~/excludes\n', home_files={"excludes": "*.log\n"}),
    case("xdg-default-ignore", "a.log b.py", xdg_files={"git/ignore": "*.log\n"}, ignored="a.log"),
    case("xdg-default-ignore-off-when-set", "a.log b.tmp", global_config=EXCLUDES,
         home_files={"excludes": "*.tmp\n"}, xdg_files={"git/ignore": "*.log\n"}, ignored="b.tmp"),
    case("xdg-unset-home-config", "a.log b.tmp", environment={"XDG_CONFIG_HOME": UNSET},
         home_files={".config/git/ignore": "*.log\n"}, xdg_files={"git/ignore": "*.tmp\n"},
         ignored="a.log"),
    case("xdg-empty-home-config", "a.log b.tmp", environment={"XDG_CONFIG_HOME": ""},
         home_files={".config/git/ignore": "*.log\n"}, ignored="a.log"),
    case("no-global-variable-reads-home-gitconfig", "a.log b.py",
         environment={"GIT_CONFIG_GLOBAL": UNSET},
         home_files={".gitconfig": EXCLUDES, "excludes": "*.log\n"}, ignored="a.log"),
    case("no-global-variable-reads-xdg-config", "a.log b.py",
         environment={"GIT_CONFIG_GLOBAL": UNSET},
         xdg_files={"git/config": EXCLUDES}, home_files={"excludes": "*.log\n"}, ignored="a.log"),
    case("home-gitconfig-over-xdg-config", "a.log b.tmp",
         environment={"GIT_CONFIG_GLOBAL": UNSET},
         xdg_files={"git/config": "[core]\n\texcludesFile = ~/first\n"},
         home_files={".gitconfig": "[core]\n\texcludesFile = ~/second\n",
                     "first": "*.log\n", "second": "*.tmp\n"}, ignored="b.tmp"),
    case("global-variable-hides-home-gitconfig", "a.log b.py",
         home_files={".gitconfig": EXCLUDES, "excludes": "*.log\n"}),
    case("system-config-read", "a.log b.tmp",
         sandbox_files={"system.gitconfig": "[core]\n\texcludesFile = ~/system-excludes\n"},
         environment={"GIT_CONFIG_NOSYSTEM": UNSET, "GIT_CONFIG_SYSTEM": "{sandbox}/system.gitconfig"},
         home_files={"system-excludes": "*.log\n"}, ignored="a.log"),
    case("system-config-under-global", "a.log b.tmp",
         sandbox_files={"system.gitconfig": "[core]\n\texcludesFile = ~/system-excludes\n"},
         environment={"GIT_CONFIG_NOSYSTEM": UNSET, "GIT_CONFIG_SYSTEM": "{sandbox}/system.gitconfig"},
         global_config=EXCLUDES,
         home_files={"system-excludes": "*.log\n", "excludes": "*.tmp\n"}, ignored="b.tmp"),
    case("system-config-off", "a.log b.tmp",
         sandbox_files={"system.gitconfig": "[core]\n\texcludesFile = ~/system-excludes\n"},
         environment={"GIT_CONFIG_SYSTEM": "{sandbox}/system.gitconfig"},
         home_files={"system-excludes": "*.log\n"}),
    case("git-layers-off", "a.log b.tmp c.py", gi("*.log\n"), use_gitignore=False,
         info_exclude="*.tmp\n", xdg_files={"git/ignore": "*.py\n"}),
]

VORPALINEIGNORE_ALONE_CASES = [
    case("vorpalineignore-alone", "a.log b.py sub/c.log", {".vorpalineignore": "*.log\n", ".gitignore": "*.py\n"},
         use_gitignore=False, use_vorpalineignore=True, ignored="a.log sub/c.log"),
    case("vorpalineignore-nested", "a.log sub/a.log sub/keep.log",
         {".vorpalineignore": "*.log\n", "sub/.vorpalineignore": "!keep.log\n"},
         use_gitignore=False, use_vorpalineignore=True, ignored="a.log sub/a.log"),
    case("vorpalineignore-over-listed", "build/a build/b", {".vorpalineignore": "!build/\nbuild/b\n"},
         builtin=["build/"], use_gitignore=False, use_vorpalineignore=True, ignored="build/b"),
    case("vorpalineignore-off", "a.log", {".vorpalineignore": "*.log\n"}, use_gitignore=False),
    case("vorpalineignore-over-git-exclude-files", "a.log b.log", {".vorpalineignore": "!b.log\n"},
         use_vorpalineignore=True, info_exclude="*.log\n", ignored="a.log"),
]

SUBFOLDER_CASES = [
    case("subfolder-root-gitignore-above", "sub/a.log sub/b.py sub/x/c.log a.log",
         {".gitignore": "/sub/x/\n*.log\n!sub/*.log\n"}, root="sub", ignored="x/c.log"),
    case("subfolder-root-nested", "sub/a.tmp sub/d/b.tmp sub/d/c", {"sub/d/.gitignore": "*.tmp\n"},
         root="sub", ignored="d/b.tmp"),
    case("subfolder-root-info-exclude", "sub/foo sub/x/foo foo", info_exclude="/sub/foo\n",
         root="sub", ignored="foo"),
    case("subfolder-vorpalineignore-above", "sub/a.log sub/b.py x.py",
         {".vorpalineignore": "*.log\n/sub/b.py\n"}, root="sub", use_gitignore=False,
         use_vorpalineignore=True, ignored="a.log b.py"),
    case("subfolder-two-levels-down", "a/b/c.log a/b/d a/e.log", {".gitignore": "a/b/*.log\n"},
         root="a/b", ignored="c.log"),
]

ORACLE_CASES = (GITIGNORE_CASES + LISTED_CASES + EXCLUDES_FILE_CASES + VORPALINEIGNORE_ALONE_CASES
                + SUBFOLDER_CASES)


def files_below(folder: Path) -> list[str]:
    found = []
    for directory, subdirectories, names in os.walk(folder):
        subdirectories[:] = [name for name in subdirectories if name != ".git"]
        for name in names:
            found.append(os.path.relpath(os.path.join(directory, name), folder).replace(os.sep, "/"))
    return sorted(found, key=os.fsencode)


@pytest.mark.parametrize("tree, ignored", ORACLE_CASES)
def test_scan_lists_what_git_lists(tmp_path, tree, ignored):
    sandbox = Sandbox(tmp_path)
    sandbox.build(tree)
    expected = git_listing(sandbox, tree)
    by_the_manual = [path for path in files_below(sandbox.repo / tree.root) if path not in ignored]
    assert expected == by_the_manual, describe(sandbox, tree, by_the_manual, expected, "the manual", "git")
    found = scanner_listing(sandbox, tree)
    assert found == expected, describe(sandbox, tree, expected, found)


# ---------------------------------------------------------------- .gitignore with .vorpalineignore
#
# A .vorpalineignore pattern that matches decides, whatever any .gitignore
# says, at any depth; only where no .vorpalineignore pattern matches do the
# git layers and then the listed patterns decide.

BOTH = {"use_gitignore": True, "use_vorpalineignore": True}

COMBINED_CASES = [
    case("same-folder-re-include", "a.log b.log c.py",
         {".gitignore": "*.log\n", ".vorpalineignore": "!b.log\n"}, "a.log", **BOTH),
    case("same-folder-exclude", "a.log b.log c.py",
         {".gitignore": "*.log\n!b.log\n", ".vorpalineignore": "b.log\n"}, "a.log b.log", **BOTH),
    case("root-vorpalineignore-over-deeper-gitignore", "a.log sub/b.log sub/c.tmp",
         {".vorpalineignore": "!*.log\n", "sub/.gitignore": "*.log\n*.tmp\n"}, "sub/c.tmp", **BOTH),
    case("root-vorpalineignore-excludes-over-deeper-gitignore", "a.log sub/b.log",
         {".vorpalineignore": "*.log\n", "sub/.gitignore": "!b.log\n"}, "a.log sub/b.log", **BOTH),
    case("no-vorpalineignore-match-falls-through", "a.log b.tmp c.py",
         {".gitignore": "*.log\n", ".vorpalineignore": "*.tmp\n"}, "a.log b.tmp", **BOTH),
    case("re-include-builtin-dir", "build/x build/y/z src/a", {".vorpalineignore": "!build/\n"},
         builtin=["build"], **BOTH),
    case("re-include-gitignored-dir-then-its-gitignore", "out/a.tmp out/b",
         {".gitignore": "out/\n", ".vorpalineignore": "!out/\n", "out/.gitignore": "*.tmp\n"},
         "out/a.tmp", **BOTH),
    case("file-negation-under-gitignored-dir", "out/keep out/other",
         {".gitignore": "out/\n", ".vorpalineignore": "!out/keep\n"}, "out/keep out/other", **BOTH),
    case("over-info-exclude-and-excludes-file", "a.log b.tmp c.py",
         {".vorpalineignore": "!a.log\n!b.tmp\n"}, "c.py", info_exclude="*.log\n",
         global_config=EXCLUDES, home_files={"excludes": "*.tmp\n*.py\n"}, **BOTH),
    case("deeper-gitignore-under-shallower-vorpalineignore", "sub/deep/a.log sub/deep/b.log",
         {"sub/.vorpalineignore": "a.log\n", "sub/deep/.gitignore": "!a.log\n*.log\n"},
         "sub/deep/a.log sub/deep/b.log", **BOTH),
    case("deeper-vorpalineignore-over-shallower", "a.log sub/a.log",
         {".vorpalineignore": "*.log\n", "sub/.vorpalineignore": "!a.log\n", ".gitignore": "*.log\n"},
         "a.log", **BOTH),
    case("vorpalineignore-excluding-a-gitignore", "a.log b.py",
         {".gitignore": "*.log\n", ".vorpalineignore": ".gitignore\n"}, ".gitignore a.log", **BOTH),
]


@pytest.mark.parametrize("tree, ignored", COMBINED_CASES)
def test_vorpalineignore_over_gitignore(tmp_path, tree, ignored):
    sandbox = Sandbox(tmp_path)
    sandbox.build(tree)
    expected = [path for path in files_below(sandbox.repo) if path not in ignored]
    found = scanner_listing(sandbox, tree)
    assert found == expected, describe(sandbox, tree, expected, found, "the expected list")


# ---------------------------------------------------------------- random trees

# Names chosen so that random patterns hit: globs, blanks, '#' and '!' at the
# start, a dot name, a non-ASCII letter, a name the built-in lists often hold.
NAMES = ["a.py", "b.log", "x y", "#c", "!d", "build", "a", "b", "ab", "foo", "foo ", ".hidden", "é", "C.PY"]
FOLDERS = ["a", "b", "build", "foo", "sub", "x y", "!d"]

literal = st.sampled_from(["a", "b", "ab", "foo", "build", "sub", "py", "log", "x", "é", "C"])
escaped = st.sampled_from(["\\#", "\\!", "\\ ", "\\*", "\\?", "\\[", "\\a", "\\\\"])
class_body = st.sampled_from(["ab", "a-c", "!a", "^b", "]", "]a", "a-", "[:digit:]", "[:alpha:]", "[:upper:]",
                              "[:punct:]", "!.", "é"])
piece = st.one_of(
    literal,
    literal,
    st.just("*"),
    st.just("?"),
    st.just("."),
    st.just(" "),
    class_body.map(lambda body: f"[{body}]"),
    escaped,
)
# A segment of wildcards only matches nearly every name; drawn often, it would
# leave most trees with nothing listed, so it is drawn rarely.
named_segment = st.lists(piece, min_size=1, max_size=3).map("".join).filter(
    lambda text: not set(text) <= {"*", "?"})
segment = st.one_of(*[named_segment] * 8, st.sampled_from(["*", "?", "*?"]))
glob_path = st.lists(st.one_of(*[segment] * 8, st.just("**")), min_size=1, max_size=3).map("/".join)


@st.composite
def patterns(draw):
    kind = draw(st.integers(0, 19))
    if kind == 0:
        return "#" + draw(segment)
    if kind == 1:
        return draw(st.sampled_from(["", "   ", "\t"]))
    body = draw(glob_path)
    if draw(st.booleans()):
        body = draw(st.sampled_from(["/", "**/", "/**/"])) + body
    if draw(st.integers(0, 3)) == 0:
        body += draw(st.sampled_from(["/", "/**", "/**/"]))
    if not body.strip("/*?") and draw(st.integers(0, 4)):
        body = draw(named_segment)  # most of the patterns that match everything
    if draw(st.integers(0, 3)) == 0:
        body = "!" + body
    if draw(st.integers(0, 5)) == 0:
        body += draw(st.sampled_from([" ", "  ", "\\ ", "\t"]))
    return body


@st.composite
def derived_patterns(draw, paths):
    """A pattern made from a path of the tree, so that it matches something:
    characters turned into wildcards or classes, anchored or not, for
    folders only or negated."""
    text = list(draw(st.sampled_from(paths)))
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(text) - 1))
        if text[at] != "/":
            text[at] = draw(st.sampled_from(["?", "*", f"[{text[at]}]", f"[!{text[at]}]", "[a-z]"]))
    body = "".join(text)
    if draw(st.integers(0, 3)) == 0:
        body = draw(st.sampled_from(["/", "**/", "*/"])) + body
    if draw(st.integers(0, 4)) == 0:
        body += draw(st.sampled_from(["/", "/**", "*"]))
    if draw(st.integers(0, 2)) == 0:
        body = "!" + body
    return body


def ignore_text(draw, paths):
    pattern = st.one_of(patterns(), derived_patterns(paths))
    lines = draw(st.lists(pattern, max_size=6))
    ending = draw(st.sampled_from(["\n", "\n", "\r\n"]))
    text = ending.join(lines) + (ending if lines and draw(st.booleans()) else "")
    if draw(st.integers(0, 9)) == 0:
        text = "\ufeff" + text
    return text


@st.composite
def random_trees(draw):
    folders = [""]
    for _ in range(draw(st.integers(0, 5))):
        parent = draw(st.sampled_from(folders))
        if parent.count("/") < 3:
            child = parent + draw(st.sampled_from(FOLDERS)) + "/"
            if child not in folders:
                folders.append(child)
    files = {}
    for folder in folders:
        for name in draw(st.lists(st.sampled_from(NAMES), min_size=folder == "", max_size=4, unique=True)):
            files[folder + name] = PLAIN
    # a folder and a file may want the same path; the folder wins
    files = {path: contents for path, contents in files.items()
             if not any(folder.startswith(path + "/") for folder in folders)}

    # what derived patterns are made of: every file and folder path, and every name
    paths = sorted(set(files) | {folder.rstrip("/") for folder in folders if folder}
                   | {path.rstrip("/").rsplit("/", 1)[-1] for path in [*files, *folders] if path})

    mode = draw(st.sampled_from(["git", "git", "git", "vorpaline-alone", "both-without-gitignore"]))
    ignore_name = ".gitignore" if mode == "git" else ".vorpalineignore"
    # When git is off, a stray .gitignore must be left unread; when it is on, a .vorpalineignore.
    stray_name = ".vorpalineignore" if mode == "git" else (".gitignore" if mode == "vorpaline-alone" else None)
    for folder in folders:
        if draw(st.integers(0, 2)) > 0:
            files[folder + ignore_name] = ignore_text(draw, [p[len(folder):] for p in paths
                                                             if p.startswith(folder)] or paths)
        if stray_name and draw(st.integers(0, 5)) == 0:
            files[folder + stray_name] = "*\n"

    listed = st.lists(st.one_of(patterns(), derived_patterns(paths)).filter(lambda line: "\r" not in line),
                      max_size=3)
    use_gitignore = mode != "vorpaline-alone"
    return Tree(
        files=files,
        builtin=draw(listed),
        extra=draw(listed),
        replace_builtin=draw(st.booleans()),
        use_gitignore=use_gitignore,
        use_vorpalineignore=mode != "git",
        info_exclude=ignore_text(draw, paths) if draw(st.booleans()) else None,
        global_config=EXCLUDES if draw(st.integers(0, 3)) == 0 else None,
        home_files={"excludes": ignore_text(draw, paths)},
        xdg_files={"git/ignore": ignore_text(draw, paths)} if draw(st.integers(0, 3)) == 0 else {},
        threads=draw(st.sampled_from([0, 1, 3])),
    )


RANDOM_TREES = 120  # about 5 s on this shared two-core machine; `make test-long` tries 2,000
RANDOM_SETTINGS = hypothesis_settings(
    max_examples=2000 if LONG else RANDOM_TREES,
    deadline=None,  # a noisy machine forks git at uneven speed
    derandomize=True,  # the same trees on every run, so a failure in CI is reproducible
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@RANDOM_SETTINGS
@given(tree=random_trees())
def test_random_trees_match_git(tree):
    with tempfile.TemporaryDirectory(prefix="scan-git-") as folder:
        sandbox = Sandbox(Path(folder))
        sandbox.build(tree)
        expected = git_listing(sandbox, tree)
        found = scanner_listing(sandbox, tree)
        assert found == expected, describe(sandbox, tree, expected, found)
