"""The query language: how a query is read, and what it finds next to rg given the equivalent flags."""

import random
import shutil
import subprocess

import pytest

pytest.importorskip("vorpaline_core_py")
pytest.importorskip("re2")

from vorpaline.search import Index, query_language  # noqa: E402
from vorpaline.search.query_language import parse  # noqa: E402


@pytest.mark.parametrize("query, expected", [
    ("parse url", dict(words=("parse", "url"))),
    ('"exact  phrase" foo', dict(words=("foo",), phrases=("exact  phrase",))),
    ('-word -"a b" keep', dict(words=("keep",), excluded=("word", "a b"))),
    ('x path:src/*.py -path:"my dir/*"', dict(words=("x",), paths=("src/*.py", "!my dir/*"))),
    ("x lang:python type:c -lang:md -type:txt", dict(words=("x",), types=("python", "c"), types_not=("md", "txt"))),
    ("def:parse_url meta:team=infra*", dict(definitions=("parse_url",), metadata=(("team", "infra*"),))),
    # What is not a term of the language is a word, as typed.
    ("http://host:8080/x path: -", dict(words=("http://host:8080/x", "path:", "-"))),
    ('say "hi', dict(words=("say", '"hi'))),
    ('"" x', dict(words=('""', "x"))),
    ("--verbose -1 a-b", dict(words=("--verbose", "-1", "a-b"))),
    ("Path:x meta:novalue meta:=x", dict(words=("Path:x", "meta:novalue", "meta:=x"))),
])
def test_a_query_is_read_into_its_pieces(query, expected):
    assert parse(query) == query_language.ParsedQuery(**expected)


@pytest.mark.parametrize("word, alone, names_its_case", [
    ("getUser", False, True), ("HttpServer", False, True), ("parseURL", False, True), ("MAX_SIZE", False, True),
    ("UTF8", False, True), ("Path", True, True), ("URL", True, True), ("Path", False, False), ("JSON", False, False),
    ("parse", True, False), ("_x", False, False), ("Été", False, False),
])
def test_smart_case_reads_identifiers_by_their_case(word, alone, names_its_case):
    assert query_language._names_its_case(word, alone) is names_its_case


@pytest.mark.parametrize("query, options, reason", [
    ("path:*.py", {}, "no words to search for"),
    ("-alpha", {}, "no words to search for"),
    ("alpha -alpha", {}, "'alpha' is both asked for and excluded"),
    ("alpha lang:klingon", {}, "unknown file type 'klingon'"),
    ("", {"regex": r"\d+"}, "holds no word to rank by"),
])
def test_a_query_that_can_match_nothing_says_why(query, options, reason):
    assert reason in query_language.plan(query, **options).impossible


@pytest.mark.parametrize("options, error", [
    ({"types": ["klingon"]}, ValueError), ({"regex": "(unclosed"}, ValueError), ({"case": "loud"}, ValueError),
    ({"tests": "some"}, ValueError), ({"types": "py"}, TypeError), ({"regex": 3}, TypeError),
    ({"path_glob": 3}, TypeError), ({"path_glob": [b"x"]}, TypeError),
])
def test_wrong_options_are_errors_naming_them(options, error):
    with pytest.raises(error):
        query_language.plan("alpha", **options)


# ----------------------------------------------------------------------------- against rg

# No word is a prefix of another and none is a function word, so rg's whole-word matches are
# the index's tokens; one file is one chunk.
VOCABULARY = ["alpha", "beta", "gamma", "Delta", "delta", "epsilon", "zeta", "theta", "kappa", "lambda"]
PUNCTUATION = [" ", " ", " ", ", ", "(", ") ", ". ", " -> "]
FOLDERS = ["", "src/", "src/sub/", "tests/", "docs/", "my dir/"]
SUFFIXES = [".py", ".md", ".txt", ".c"]


def _tree(root, seed=7, files=240):
    rng = random.Random(seed)
    for number in range(files):
        path = root / f"{rng.choice(FOLDERS)}f{number}{rng.choice(SUFFIXES)}"
        path.parent.mkdir(parents=True, exist_ok=True)
        lines = []
        for _ in range(rng.randint(1, 6)):
            words = rng.choices(VOCABULARY, k=rng.randint(1, 6))
            lines.append("".join(word + rng.choice(PUNCTUATION) for word in words).rstrip())
        path.write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    root = tmp_path_factory.mktemp("words")
    _tree(root)
    index = Index.for_repository(root, tmp_path_factory.mktemp("index") / "index")
    index.update(root)
    return root, index


def _rg(root, *arguments):
    """The files (relative paths) rg lists for ``arguments``."""
    done = subprocess.run(["rg", "--no-config", "--files-with-matches", "--no-ignore", "--hidden", *arguments,
                           "--", "."], cwd=root, capture_output=True, text=True)
    assert done.returncode in (0, 1), done.stderr
    return {line.removeprefix("./") for line in done.stdout.splitlines()}


def _rg_words(root, *words, flags=()):
    """The files holding any of ``words`` as whole words, ignoring case: what BM25 can rank."""
    return _rg(root, "-w", "-i", *flags, "-e", "|".join(words))


def _found(index, query, **options):
    return {hit.path for hit in index.search(query, k=10_000, **options)}


# (query, options, rg's files as a function of the tree)
CASES = [
    ('"alpha beta"', {}, lambda r: _rg(r, "-F", "-w", "-i", "alpha beta")),
    ('"alpha, beta"', {}, lambda r: _rg(r, "-F", "-w", "-i", "alpha, beta")),
    ('"gamma -> delta"', {}, lambda r: _rg(r, "-F", "-w", "-i", "gamma -> delta")),
    ('"(zeta"', {}, lambda r: _rg(r, "-i", "-e", r"\(zeta\b")),
    ('"Delta beta"', {}, lambda r: _rg(r, "-F", "-w", "-s", "Delta beta")),
    ('"Delta beta"', {"case": "insensitive"}, lambda r: _rg(r, "-F", "-w", "-i", "Delta beta")),
    ("alpha -beta", {}, lambda r: _rg_words(r, "alpha") - _rg_words(r, "beta")),
    ('alpha -"beta gamma"', {}, lambda r: _rg_words(r, "alpha") - _rg(r, "-F", "-w", "-i", "beta gamma")),
    ("alpha beta -gamma -kappa", {},
     lambda r: _rg_words(r, "alpha", "beta") - _rg_words(r, "gamma") - _rg_words(r, "kappa")),
    ("alpha -Delta", {}, lambda r: _rg_words(r, "alpha") - _rg(r, "-w", "-s", "Delta")),
    # Smart case: a word alone, or written as an identifier, matches its case; a capital among words folds.
    ("Delta", {}, lambda r: _rg(r, "-s", "-F", "Delta")),
    ("theta Delta", {}, lambda r: _rg_words(r, "delta", "theta")),
    ("Delta theta", {}, lambda r: _rg_words(r, "delta", "theta")),
    ("theta DELTA", {}, lambda r: _rg_words(r, "delta", "theta")),
    ("theta", {"case": "sensitive"}, lambda r: _rg(r, "-s", "-F", "theta")),
    ("Delta", {"case": "insensitive"}, lambda r: _rg_words(r, "delta")),
    ("delta", {"case": "sensitive"}, lambda r: _rg(r, "-s", "-F", "delta")),
    ("kappa Delta", {"case": "sensitive"}, lambda r: _rg(r, "-s", "-F", "kappa") & _rg(r, "-s", "-F", "Delta")),
    ("alpha", {"regex": r"alp\w+ be"}, lambda r: _rg_words(r, "alpha") & _rg(r, "-i", "-e", r"alp\w+ be")),
    ("alpha", {"regex": r"^alpha$"}, lambda r: _rg_words(r, "alpha") & _rg(r, "-e", r"^alpha$")),
    ("kappa", {"regex": r"kappa|Delta"}, lambda r: _rg_words(r, "kappa") & _rg(r, "-s", "-e", "kappa|Delta")),
    # Files, by the same globs and types as rg's.
    ("alpha path:src/*", {}, lambda r: _rg_words(r, "alpha", flags=["-g", "src/*", "-g", "src/*/**"])),
    ("alpha -path:src", {}, lambda r: _rg_words(r, "alpha", flags=["-g", "!src"])),
    ('alpha path:"my dir/*.md"', {}, lambda r: _rg_words(r, "alpha", flags=["-g", "my dir/*.md"])),
    ("alpha", {"path_glob": ["*.py", "*.md", "!tests/*"]},
     lambda r: _rg_words(r, "alpha", flags=["-g", "*.py", "-g", "*.md", "-g", "!tests/*"])),
    # rg's -g naming a folder keeps no file under it (`-g tests` lists nothing); a `!` one leaves all of it out.
    ("alpha", {"path_glob": "!tests/"}, lambda r: _rg_words(r, "alpha", flags=["-g", "!tests/"])),
    # A folder keeps what is under it, as rg keeps it for the folder's glob written out.
    ("alpha path:tests", {}, lambda r: _rg_words(r, "alpha", flags=["-g", "**/tests/**"])),
    ("alpha", {"path_glob": ["src/sub/", "docs"]},
     lambda r: _rg_words(r, "alpha", flags=["-g", "src/sub/**", "-g", "**/docs/**"])),
    ("alpha lang:python", {}, lambda r: _rg_words(r, "alpha", flags=["-t", "py"])),
    ("alpha type:c -lang:md", {}, lambda r: _rg_words(r, "alpha", flags=["-t", "c", "-T", "md"])),
    ("alpha", {"types": ["md", "txt"]}, lambda r: _rg_words(r, "alpha", flags=["-t", "md", "-t", "txt"])),
    ("alpha", {"types_not": ["py"]}, lambda r: _rg_words(r, "alpha", flags=["-T", "py"])),
    ("alpha", {"tests": "exclude"}, lambda r: _rg_words(r, "alpha", flags=["-g", "!tests"])),
    ("alpha", {"tests": "only"}, lambda r: _rg_words(r, "alpha", flags=["-g", "tests/**"])),
    ('"beta" -kappa lang:python', {},
     lambda r: _rg(r, "-F", "-w", "-i", "-t", "py", "beta") - _rg_words(r, "kappa")),
]


@pytest.mark.skipif(shutil.which("rg") is None, reason="needs ripgrep")
@pytest.mark.parametrize("query, options, expected", CASES, ids=[f"{q} {o}" for q, o, _ in CASES])
def test_the_files_found_are_rgs(indexed, query, options, expected):
    root, index = indexed
    wanted = expected(root)
    assert wanted, "the case tests nothing on this tree"
    assert _found(index, query, **options) == wanted


@pytest.mark.skipif(shutil.which("rg") is None, reason="needs ripgrep")
@pytest.mark.parametrize("query, options, rg_flags", [
    ('"beta gamma"', {}, ["-F", "-w", "-i", "beta gamma"]),
    ("alpha", {"regex": r"alp\w+ be"}, ["-i", "-e", r"alp\w+ be"]),
    ("kappa", {"regex": r"\bkappa\)"}, ["-e", r"\bkappa\)"]),
])
def test_a_hit_reports_the_line_that_matched(indexed, query, options, rg_flags):
    root, index = indexed
    done = subprocess.run(["rg", "--no-config", "-n", "-m1", "--no-heading", "--with-filename", *rg_flags, "--", "."],
                          cwd=root, capture_output=True, text=True)
    first = {}
    for line in done.stdout.splitlines():
        path, number, _ = line.split(":", 2)
        first[path.removeprefix("./")] = int(number)
    hits = index.search(query, k=10_000, **options)
    assert hits and {hit.path: hit.line for hit in hits} == first
    for hit in hits:
        assert hit.snippet_line == hit.line


def test_def_keeps_the_chunks_that_define_the_name(tmp_path):
    root = tmp_path / "repo"
    root.mkdir()
    (root / "a.py").write_text("def parse_url(text):\n    return text\n\n\ndef other():\n    parse_url('x')\n")
    (root / "b.py").write_text("from a import parse_url\n\nparse_url('y')\n")
    index = Index.for_repository(root)
    index.update(root)
    hits = index.search("def:parse_url")
    assert [(hit.path, hit.line) for hit in hits] == [("a.py", 1)]
    assert index.search("def:Parse_url") == []  # a name is exact, as `vorpaline def` finds it
