"""Path filters against ripgrep: the files kept for -g/-t/-T are those `rg --files` lists."""

import os
import random
import re
import shutil
import subprocess

import pytest

from vorpaline.search import hits
from vorpaline.search.path_filters import FILE_TYPES, folder_globs, path_filter, required_folder

RG = shutil.which("rg")
needs_rg = pytest.mark.skipif(RG is None, reason="ripgrep is not installed: no reference to compare with")

TREE = [
    "README.md", "Makefile", "Dockerfile", "CMakeLists.txt", "setup.py", "tests.py", "notes.TXT", "config.ini",
    "a.tar.gz", "src/main.c", "src/main.h", "src/util.hpp", "src/util.cpp", "src/Main.C", "src/tests/x.py",
    "src/vorpaline/__init__.py", "src/vorpaline/core.pyi", "src/vorpaline/search/hits.py",
    "src/vorpaline/search/README.md", "tests/test_a.py", "tests/data/sample.json", "tests/data/deep/more.yaml",
    "docs/guide.md", "docs/my notes.md", "docs/a b/c d.txt", "lib/v1.2/mod.rs", "lib/v1.2/mod.RS",
    "build/Makefile", "tools/docker/Dockerfile.dev", "web/app.js", "web/app.ts", "web/style.css",
    "web/index.html", "deep/x/y/z/deep.py", "docs/café.md", "docs/cafe.md",
]

# (globs, types, types_not): each as `-g`, `-t` and `-T` flags, in that order.
CASES = [
    (["*.py"], [], []), (["*.PY"], [], []), (["src/*.py"], [], []), (["src/**/*.py"], [], []),
    (["**/*.py"], [], []), (["*"], [], []), (["**"], [], []),
    # Folders: a plain glob naming one keeps nothing under it, a `!` glob leaves all of it out.
    (["tests"], [], []), (["tests/"], [], []), (["tests/**"], [], []), (["src/vorpaline"], [], []),
    (["src/vorpaline/"], [], []), (["src/vorpaline/**"], [], []), (["/tests/**"], [], []), (["**/deep"], [], []),
    (["!tests"], [], []), (["!tests/"], [], []), (["!/tests"], [], []), (["!deep"], [], []),
    (["!src/vorpaline"], [], []), (["!**/data/**"], [], []), (["!src/*"], [], []),
    # Order: the last glob that matches decides.
    (["*.py", "!tests"], [], []), (["!tests", "*.py"], [], []), (["*.py", "!test_*"], [], []),
    (["!*.md", "*.md"], [], []), (["*.md", "!*.md"], [], []), (["*.md", "!docs/*.md"], [], []),
    (["!src", "src/main.c"], [], []), (["**/*.md", "!**/README.md"], [], []), (["*.py", "!src/**", "src/tests/*"], [], []),
    # Glob syntax.
    (["*.{py,md}"], [], []), (["{src,docs}/*"], [], []), (["*notes*"], [], []), (["docs/a b/*"], [], []),
    (["Makefile"], [], []), (["/Makefile"], [], []), (["*file"], [], []), (["[A-Z]*"], [], []),
    (["*.[ch]"], [], []), (["?akefile"], [], []), (["lib/v1.2/*"], [], []), (["*.gz"], [], []),
    (["*.tar.*"], [], []), (["src/**/README.md"], [], []), (["**/search/*"], [], []), (["src/*/*"], [], []),
    (["tests/data/**/*.yaml"], [], []), (["#comment"], [], []), (["*.py "], [], []), (["[!a-z]*"], [], []),
    (["docs/caf?.md"], [], []), (["docs/caf??.md"], [], []),  # `?` is a byte, as for ripgrep
    # Types, and types with globs: a glob that matches decides before the types.
    ([], ["py"], []), ([], ["c"], []), ([], ["cpp"], []), ([], ["h"], []), ([], ["make"], []),
    ([], ["cmake"], []), ([], ["docker"], []), ([], ["txt"], []), ([], ["rust"], []), ([], ["config"], []),
    ([], ["py", "md"], []), ([], ["json", "yaml"], []), ([], ["js", "ts"], []), ([], ["all"], []),
    ([], [], ["py"]), ([], ["c"], ["h"]), ([], ["cpp", "c"], ["c"]), ([], ["html", "css"], ["css"]),
    (["*.md"], ["py"], []), (["!tests"], ["py"], []), (["src/**"], [], ["cpp"]), (["!*.py"], ["py"], []),
    (["!docs"], [], ["md"]),
]


def case_id(case):
    globs, types, types_not = case
    return " ".join([*(f"-g{g!r}" for g in globs), *(f"-t{t}" for t in types), *(f"-T{t}" for t in types_not)])


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    for path in TREE:
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text("x\n")
    return root


def rg_files(root, globs, types, types_not):
    """What rg searches given our globs as it needs them written: a folder's glob keeps what is under it."""
    flags = [*(f"--glob={g}" for g in folder_globs(globs)), *(f"--type={t}" for t in types), *(f"--type-not={t}" for t in types_not)]
    listed = subprocess.run([RG, "--no-config", "--files", "--hidden", "--no-ignore", *flags], cwd=root,
                            capture_output=True, text=True)
    assert listed.returncode in (0, 1) and not listed.stderr, listed.stderr  # 1: no file listed
    return {line.removeprefix("./") for line in listed.stdout.splitlines()}


def kept(globs, types, types_not):
    keeps = path_filter(globs, types, types_not)
    return set(TREE) if keeps is None else {path for path in TREE if keeps(path)}


@needs_rg
@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_the_files_kept_are_those_ripgrep_searches(tree, case):
    assert kept(*case) == rg_files(tree, *case)


@pytest.mark.parametrize("case", CASES, ids=case_id)
def test_every_file_kept_lies_in_the_required_folder(case):
    globs = case[0]
    folder = required_folder(globs)
    if folder is not None:
        assert all(path.startswith(folder + "/") for path in kept(*case)), folder


@pytest.mark.parametrize("globs, folder", [
    ("src/*.py", "src"), ("lib/deep/*", "lib/deep"), ("*.py", None), ("lib/de*/x.py", "lib"),
    ("docs/a[0-9]/*", "docs"), ("exact.py", None), ("/exact.py", None), ("src/vorpaline/**", "src/vorpaline"),
    ("**/tests/*.py", None), ("{src,lib}/*.py", None), ("tests/", None), (["src/a/*", "src/b/*"], "src"),
    (["src/a/*", "lib/*"], None), (["src/a/*", "!src/a/x"], "src/a"), (["!src/*"], None), (["src/a/*", "*.md"], None),
    (["#src/x", "src/a/*"], "src/a"), ("/src/x/*", "src/x"), ([], None),
])
def test_required_folder(globs, folder):
    assert required_folder(globs) == folder


@pytest.mark.parametrize("path_glob, held", [(3, "int"), ([None], "NoneType"), (b"src/*", "bytes"),
                                             (["*.py", b"*.c"], "bytes"), ((1.5,), "float")])
def test_a_path_glob_that_is_no_str_is_a_type_error(path_glob, held):
    with pytest.raises(TypeError, match=f"path_glob must be a str or a sequence of str.*{held}"):
        hits.path_matcher(path_glob)


def test_an_unknown_type_names_the_closest():
    with pytest.raises(ValueError, match=r"unknown file type 'rusty'; did you mean 'rust'"):
        path_filter(types=["rusty"])
    with pytest.raises(ValueError, match="unknown file type 'zzzz'"):
        path_filter(types_not=["zzzz"])


@pytest.mark.parametrize("glob, why", [("[abc", "unclosed character class"), ("x{a", "unclosed alternate group"),
                                       ("{a,{b}}", "nested alternate"), ("a\\", "dangling"),
                                       ("[[:nope:]]", "unknown character class")])
def test_a_glob_ripgrep_refuses_is_a_value_error(glob, why):
    with pytest.raises(ValueError, match=re.escape(why)):
        path_filter([glob])


@pytest.mark.parametrize("globs", [["{a,b}" * 11], ["{a,b}" * 60], ["*.{c,h}"] * 513, ["x"] * 1025])
def test_globs_standing_for_too_many_patterns_are_refused_before_they_are_expanded(globs):
    # Each group multiplies the patterns every path is matched against: 2**60 would never end.
    with pytest.raises(ValueError, match="more than 1024 patterns"):
        path_filter(globs)


def test_globs_standing_for_as_many_patterns_as_allowed_match():
    # 1024 patterns: each glob that keeps stands for itself and its folder's form
    assert path_filter(["{a,b}" * 9])("ab" * 4 + "a") and path_filter(["*.{c,h}"] * 256)("x.h")


def test_names_that_are_not_utf8_match_as_their_bytes():
    name = os.fsdecode(b"caf\xe9.py")
    assert path_filter(["*.py"])(name) and not path_filter(["caf?.py"])(os.fsdecode(b"caf\xe9\xe9.py"))
    assert not path_filter(["*.py"])(None)


@needs_rg
def test_the_types_are_ripgreps():
    version = subprocess.run([RG, "--version"], capture_output=True, text=True, check=True).stdout
    if not version.startswith("ripgrep 13."):
        pytest.skip(f"the types are ripgrep 13's; this is {version.splitlines()[0]}")
    listed = subprocess.run([RG, "--no-config", "--type-list"], capture_output=True, text=True, check=True).stdout
    theirs = {name: tuple(globs.split(", ")) for name, globs in (line.split(": ", 1) for line in listed.splitlines())}
    assert FILE_TYPES == theirs


def random_glob(rng):
    parts = ["*", "**", "src", "tests", "docs", "vorpaline", "search", "*.py", "*.md", "[a-m]*", "{src,docs}",
             "*.{c,h}", "?ake*", "data", "deep", "x", "*.[ChH]", "lib", "v1.2", "a b", "*s*"]
    glob = "/".join(rng.choice(parts) for _ in range(rng.choice([1, 1, 2, 2, 3])))
    if rng.random() < 0.2:
        glob = "/" + glob
    if rng.random() < 0.15:
        glob += "/"
    return ("!" if rng.random() < 0.35 else "") + glob


@needs_rg
def test_random_globs_keep_what_ripgrep_searches(tree):
    rng = random.Random(20261208)
    for _ in range(150):
        case = ([random_glob(rng) for _ in range(rng.choice([1, 2, 3]))],
                rng.sample(["py", "c", "cpp", "md", "make"], rng.choice([0, 0, 1, 2])),
                rng.sample(["h", "py", "markdown"], rng.choice([0, 0, 1])))
        assert kept(*case) == rg_files(tree, *case), case_id(case)


@pytest.mark.parametrize("globs, under", [
    (["tests"], ("tests/", "src/tests/")), (["tests/"], ("tests/", "src/tests/")), (["/tests"], ("tests/",)),
    (["src/vorpaline"], ("src/vorpaline/",)), (["src/vorpaline/"], ("src/vorpaline/",)),
    (["tests", "!tests/data"], ("tests/test_a.py", "src/tests/")),
])
def test_a_folder_keeps_what_lies_under_it(globs, under):
    assert kept(globs, [], []) == {path for path in TREE if path.startswith(under)}
