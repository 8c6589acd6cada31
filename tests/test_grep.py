"""`vorpaline grep` against rg itself: the same files, lines, submatches and order, from the index.

Each case runs `rg --no-config --sort path` and `vorpaline grep` (in this process, for speed) with the
same flags in the same folder, and compares their output byte for byte, or their JSON messages but
the timings. Trees: a generated one (Unicode, CRLF, no final newline, binary and ignored files,
hidden files), this repository, and the interpreter's standard library; and the generated tree again
after files are changed, added and deleted since it was indexed.
"""

import contextlib
import io
import json
import os
import random
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import make_tree
from vorpaline.cli import main
from vorpaline.search import Index

RG = shutil.which("rg")
LONG = os.environ.get("VORPALINE_LONG_TESTS") == "1"  # more of the real trees and patterns
pytestmark = pytest.mark.skipif(RG is None, reason="rg is the reference")
REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

GENERATED = {
    ".gitignore": "*.log\nignored/\n",
    "src/app.py": "import os\n\ndef should_run(x):\n    return os.path.join(x, 'a.b')  # TODO: fix\n\n"
                  "class Parser:\n    def parse_url(self, url):\n        return url.split('://')\n",
    "src/app_test.py": "def should_fail():\n    assert parse_url('http://x') == ['http', 'x']\n",
    "src/util.c": "#include <stdio.h>\nint main(void) {\n\tprintf(\"%d\\n\", 42);\n\treturn 0;\n}\n",
    "src/deep/er/mod.rs": "fn main() {\n    let v: Vec<u8> = vec![1, 2, 3];\n    println!(\"{:?}\", v);\n}\n",
    "docs/readme.md": "# Título\n\nÜber straße, naïve café. ΣΙΣΥΦΟΣ σίσυφος.\nKelvin: \u212a and long s: \u017f.\n"
                      "日本語のテキスト\nfoo bar foo\n",
    "docs/crlf.txt": "first line\r\nsecond TODO line\r\nthird\r\n",
    "docs/no_newline.txt": "ends without newline TODO",
    "docs/empty.txt": "",
    "docs/blank_lines.txt": "\n\n\nTODO\n\n",
    "a.c/x.txt": "component order TODO\n",
    "a/b.txt": "component order TODO\n",
    "a-b.txt": "component order TODO\n",
    "build.log": "TODO ignored by *.log\n",
    "ignored/x.py": "TODO ignored folder\n",
    ".hidden/secret.py": "TODO hidden\n",
    ".env": "TODO=hidden file\n",
    "data.bin": b"TODO\x00binary\x00\xff\xfe",
    "latin1.txt": b"caf\xe9 TODO \xff\n",
    "long.txt": ("x" * 5000 + " needle " + "y" * 5000 + "\n") * 3,
}

# Patterns: literals, identifiers, punctuation, classes, alternations, anchors, repetition, Unicode,
# case folding, and patterns with no trigram at all.
PATTERNS = [
    "TODO", "todo", "should_run", "should_\\w+", "def\\s+should_\\w+", "parse_url", "os\\.path\\.join",
    "'://'", "\\(self, url\\)", "vec!\\[", "printf\\(\"%d", "\\{:\\?\\}", "a\\.b", "42", "x", "e",
    "^def", "^\\s+return", "\\)$", "^$", "^", "$", "TODO$", "^TODO", "line\\r?$",
    "foo|bar", "(foo|bar) foo", "should_(run|fail)", "(?i)parser", "Pars(er|e)", "class [A-Z]\\w+",
    "[0-9]+", "[a-z]{10,}", "\\d{2}", "\\w+\\(", "[^a-z ]{3}", "fo+", "o{2,}", "(ab|cd)*e",
    "Über", "über", "straße", "STRASSE", "σίσυφος", "ΣΙΣΥΦΟΣ", "日本", "café", "caf.", "\\p{Greek}+",
    "\\pL{4}", "na.ve", "k", "s\\.", "Kelvin", "\u212a", "\u017f",
    "needle", "x{20} needle", "[[:upper:]]{2}", "\\btodo\\b", "a*", ".", "(?s).", "\\S+\\s\\S+",
    "component order", "ends without", "second TODO", "zzz_not_there", "Vec<u8>", "-> ", "\\\\n",
]
FLAG_SETS = [[], ["-i"], ["-w"], ["-F"]] + ([["-S"], ["-i", "-w"]] if LONG else [])


def run_ours(args: list[str], cwd) -> tuple[int, bytes]:
    out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
    here = os.getcwd()
    os.chdir(cwd)
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
            status = main(["grep", *args])
        out.flush()
        return status, out.buffer.getvalue()
    finally:
        os.chdir(here)


def run_rg(args: list[str], cwd) -> tuple[int, bytes]:
    done = subprocess.run([RG, "--no-config", "--sort", "path", *args], cwd=cwd, capture_output=True)
    return done.returncode, done.stdout


def messages(output: bytes, spans: bool = True) -> list:
    """rg's JSON messages without what differs by nature: timings and bytes counts of whole runs
    (and without the matches' spans, when not ``spans``)."""
    kept = []
    for line in output.splitlines():
        message = json.loads(line)
        if not spans and message["type"] == "match":
            message["data"]["submatches"] = len(message["data"]["submatches"]) > 0
        if message["type"] == "summary":
            stats = message["data"]["stats"]
            kept.append({key: stats[key] for key in ("matched_lines", "matches", "searches_with_match")})
        elif message["type"] == "end":
            stats = message["data"]["stats"]
            kept.append(("end", message["data"]["path"], stats["matched_lines"], stats["matches"]))
        else:
            kept.append(message)
    return kept


def same_as_rg(args: list[str], cwd, *, json_output: bool = True) -> int:
    extra = ["--json"] if json_output else []
    rg_status, rg_out = run_rg([*extra, *args], cwd)
    status, out = run_ours([*extra, *args], cwd)
    if json_output:
        # rg 13 places some -w matches one character early or late (its word matcher's fast path):
        # the lines are compared, not the spans.
        spans = "-w" not in args
        assert messages(out, spans) == messages(rg_out, spans), args
    else:
        assert out == rg_out, args
    assert status == rg_status, args
    return rg_status


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    root = make_tree(tmp_path_factory.mktemp("grep") / "tree", GENERATED)
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    Index.for_repository(root).update(root)
    return root


@pytest.mark.parametrize("flags", FLAG_SETS, ids=" ".join)
def test_patterns_on_a_generated_tree(generated, flags):
    found = sum(same_as_rg([*flags, "--", pattern], generated) == 0 for pattern in PATTERNS)
    assert found > len(PATTERNS) // 4  # the table tests matches, not only their absence


@pytest.mark.parametrize("args", [
    ["-e", "TODO", "-e", "should_\\w+"], ["-c", "TODO"], ["-l", "o"], ["-n", "TODO"], ["-C1", "-n", "TODO"],
    ["-A", "2", "-n", "^def"], ["-B", "1", "TODO"], ["-m", "1", "-n", "e"], ["-g", "*.py", "-n", "e"],
    ["-g", "!src", "TODO"], ["-t", "py", "-n", "def"], ["-T", "md", "-c", "e"], ["--hidden", "TODO"],
    ["-n", "TODO", "src", "docs"], ["-n", "TODO", "docs/crlf.txt"], ["-c", "TODO", "./docs"], ["-o", "-n", "fo+"],
    ["--vimgrep", "TODO"], ["-H", "TODO", "docs/crlf.txt"], ["-I", "-n", "TODO"], ["-N", "-i", "über"],
    ["-n", "--column", "should"], ["-F", "-e", "a.b", "-e", "(self"], ["-w", "-c", "foo"],
    ["--color", "always", "-n", "TODO"], ["--color", "always", "--heading", "-n", "-C1", "foo|TODO"],
])
def test_flags_print_as_rg_prints(generated, args):
    same_as_rg(args, generated, json_output=False)


def test_from_a_subfolder_rg_searches_below_it(generated):
    same_as_rg(["-n", "TODO"], generated / "docs", json_output=False)
    same_as_rg(["-n", "e", ".."], generated / "docs", json_output=False)


def test_bad_patterns_are_errors(generated):
    for pattern in ["(", "[a-", "a{2,1}", "\\p{Klingon}"]:
        assert run_rg(["--", pattern], generated)[0] == 2
        assert run_ours(["--", pattern], generated)[0] == 2


@pytest.fixture()
def changing(tmp_path):
    root = make_tree(tmp_path / "tree", {path: text for path, text in GENERATED.items() if not path.endswith(".bin")})
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    Index.for_repository(root).update(root)
    return root


def test_changes_since_indexing_are_searched_as_they_are(changing):
    (changing / "src/app.py").write_text("def renamed_thing():\n    pass  # NEWWORD\n")  # edited
    (changing / "src/new_file.py").write_text("NEWWORD in a file added since\n")  # added
    (changing / "fresh/folder").mkdir(parents=True)
    (changing / "fresh/folder/x.txt").write_text("NEWWORD deep\n")
    (changing / "docs/readme.md").unlink()  # deleted
    (changing / "ignored.log").write_text("NEWWORD but ignored\n")
    os.truncate(changing / "docs/crlf.txt", 5)  # shrunk
    for pattern in ["NEWWORD", "should_run", "Über", "TODO", "first", "renamed_\\w+"]:
        same_as_rg(["--", pattern], changing)
    (changing / ".gitignore").write_text("*.log\n")  # ignored/ is now searched
    same_as_rg(["--", "TODO"], changing)


@pytest.mark.parametrize("table", ["flags", "earlier form"])
def test_the_file_table_of_either_form_gives_rgs_answers(tmp_path, table):
    """A grep told by the file table's flags which files have a trigram document, or by its entries
    (a table written before the flags told it), binary files among them, after changes since."""
    from test_file_table import as_earlier_table
    from vorpaline.search.local import _read_manifest

    root = make_tree(tmp_path / "tree", GENERATED)
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    Index.for_repository(root).update(root)
    table_path = root / ".vorpaline" / _read_manifest(str(root / ".vorpaline" / "MANIFEST"))["table"]
    if table == "earlier form":
        table_path.write_bytes(as_earlier_table(table_path.read_bytes()))
    (root / "data.bin").write_text("TODO now text\n")  # held without a document, now changed
    (root / "src/new_file.py").write_text("TODO in a file added since\n")
    (root / "docs/readme.md").unlink()
    for pattern in ["TODO", "should_run", "binary", "now text"]:
        same_as_rg(["--", pattern], root)


def test_same_size_same_second_edit_is_seen(changing):
    path = changing / "docs/no_newline.txt"
    before = path.stat()
    path.write_text("ends without newline DONE")  # same length
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 1))
    same_as_rg(["--", "DONE"], changing)
    same_as_rg(["--", "TODO"], changing)


def _random_patterns(seed: int, words: list[str], count: int) -> list[str]:
    """Regexes built from the tree's own words: literals, alternations, classes and repetitions."""
    rng = random.Random(seed)
    forms = [
        lambda w: w, lambda w: w[: rng.randint(1, len(w))], lambda w: f"{w}\\w*", lambda w: f"\\b{w}",
        lambda w: f"{w}|{rng.choice(words)}", lambda w: f"{w[0]}[a-z_]+{w[-1]}", lambda w: f"^\\s*{w}",
        lambda w: f"{w}\\s*\\(", lambda w: f"(?i){w.upper()}", lambda w: f"{w}.{{0,20}}{rng.choice(words)}",
        lambda w: f"[{w[:3]}]{{2,}}", lambda w: f"{w[:2]}.?{w[2:]}",
    ]
    return [rng.choice(forms)(rng.choice(words)) for _ in range(count)]


def _words_of(root, limit: int = 400) -> list[str]:
    import re

    words: set[str] = set()
    for folder, _, names in os.walk(root):
        for name in sorted(names)[:5]:
            if name.endswith((".py", ".c", ".h", ".md")):
                with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as handle:
                    words.update(re.findall(r"[A-Za-z_]{4,12}", handle.read(20000)))
        if len(words) > limit:
            break
    return sorted(words)


@pytest.mark.skipif(not LONG, reason="a clone of this repository, for the wider run")
def test_this_repository(tmp_path):
    tree = tmp_path / "repository"
    subprocess.run(["git", "clone", "-q", "--depth", "1", "--no-local", REPOSITORY, str(tree)], check=True)
    Index.for_repository(tree).update(tree)
    words = _words_of(tree / "src")
    for number, pattern in enumerate(_random_patterns(1, words, 40 if LONG else 20)):
        same_as_rg([*(["-i"] if number % 3 == 0 else []), "--", pattern], tree)


@pytest.fixture(scope="module")
def standard_library(tmp_path_factory):
    source = sysconfig.get_paths()["stdlib"]
    tree = tmp_path_factory.mktemp("stdlib") / "lib"
    picked = ["json", "email", "http", "urllib", "asyncio", "collections", "importlib"] if LONG else \
        ["json", "http", "urllib", "collections"]
    for name in picked:
        shutil.copytree(os.path.join(source, name), tree / name, copy_function=os.link,
                        ignore=shutil.ignore_patterns("__pycache__"))
    modules = sorted(name for name in os.listdir(source) if name.endswith(".py"))
    for name in modules if LONG else modules[::4]:
        os.link(os.path.join(source, name), tree / name)
    subprocess.run(["git", "init", "-q", str(tree)], check=True)
    Index.for_repository(tree).update(tree)
    return tree


def test_the_standard_library(standard_library):
    words = _words_of(standard_library)
    fixed = ["def __init__(self", "raise ValueError(", "import os", "self._", "return None", "# XXX", "if __name__"]
    for number, pattern in enumerate(_random_patterns(2, words, 40 if LONG else 16) + fixed):
        flags = (["-F"] if pattern in fixed else []) + (["-w"] if number % 5 == 0 else [])
        same_as_rg([*flags, "--", pattern], standard_library)
    for pattern in ["\\bclass \\w+\\(Exception\\)", "def \\w+\\(self\\):$", "[A-Z]{5,}_[A-Z]+", "\\d+\\.\\d+\\.\\d+"]:
        same_as_rg(["-c", "--", pattern], standard_library, json_output=False)


def test_a_build_of_over_a_million_trigram_postings_answers_as_rg(tmp_path):
    """A build this large inverts its postings pass by pass over the key space, a small one sorts them:
    both must give rg's answers."""
    rng = random.Random(11)
    alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_ "
    lines = {f"f{number:03}.txt": ["".join(rng.choices(alphabet, k=79)) for _ in range(100)] for number in range(200)}
    root = make_tree(tmp_path / "tree", {name: "\n".join(text) + "\n" for name, text in lines.items()})
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    Index.for_repository(root).update(root)
    picked = [rng.choice(rng.choice(list(lines.values())))[at:at + 5] for at in rng.sample(range(70), 8)]
    for pattern in picked:
        assert same_as_rg(["-F", "--", pattern], root) == 0
        same_as_rg(["-i", "-F", "--", pattern.swapcase()], root)
    same_as_rg(["-c", "--", f"{picked[0][:3]}[0-9]"], root, json_output=False)


def test_the_api_answers_as_the_command(generated):
    with Index.open(generated / ".vorpaline") as index:
        files = index.grep(["should_\\w+"], path_glob="*.py")
        assert [(f.path, [line.number for line in f.lines]) for f in files] == \
            [("src/app.py", [3]), ("src/app_test.py", [1])]
        assert [f.count for f in index.grep("TODO", mode="count", paths=["docs"])] == [1, 1, 1]
        assert index.grep("TODO", mode="files", paths=["."]) == index.grep("TODO", mode="files")
        with pytest.raises(ValueError, match="regex parse error"):
            index.grep("(")
        with pytest.raises(TypeError, match="unexpected keyword"):
            index.grep("x", colour=True)


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))


def _grep_files(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".grep"))


def test_the_trigram_index_turned_off_and_on_answers_the_same(changing):
    folder = changing / ".vorpaline"
    expected = run_rg(["--json", "TODO"], changing)[1]
    with Index.open(folder) as index:
        index.update(changing, grep=False)
        assert _grep_files(folder) == [] and index.grep("TODO", mode="count")  # every file read
    assert messages(run_ours(["--json", "TODO"], changing)[1]) == messages(expected)
    with Index.open(folder) as index:
        index.update(changing, grep=True)  # every file read again for its trigrams
        assert len(_grep_files(folder)) == 1
    assert messages(run_ours(["--json", "TODO"], changing)[1]) == messages(expected)


def test_many_updates_merge_the_trigram_segments_and_keep_every_answer(changing):
    with Index.open(changing / ".vorpaline") as index:
        for number in range(9):
            (changing / f"src/gen_{number}.py").write_text(f"VALUE_{number} = {number}  # TODO\n")
            (changing / "docs/crlf.txt").write_text(f"edit {number} TODO\r\n")
            index.update(changing)
        assert len(_grep_files(changing / ".vorpaline")) <= 8
    for pattern in ["TODO", "VALUE_\\d+", "edit 11"]:
        same_as_rg(["--", pattern], changing)
