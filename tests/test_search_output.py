"""`vorpaline search` output in the shapes terminals, editors and scripts read, and its exit status."""

import re

import pytest

pytest.importorskip("vorpaline_core_py")

from vorpaline.cli import main  # noqa: E402
from vorpaline.cli.hit_output import wants_color  # noqa: E402

ANSI = re.compile(r"\033\[[0-9;]*m")
LONG = "x = '" + "long " * 100 + "'"
FILES = {
    "src/parse.py": "import os\n\n\ndef parse_config(path):\n    text = open(path).read()\n"
                    "    return load_config(text)\n\n\ndef load_config(text):\n    return dict(text)\n",
    "src/wide.py": "def wide_config():\n    " + LONG + "\n",
    "tests/test_parse.py": "from parse import parse_config\n\n\ndef test_parse_config():\n"
                           "    assert parse_config('x')\n",
    "README.md": "# Config\n\nparse_config reads the config file.\n",
    "src/many.py": "".join(f"def config_{n}():\n" + "    pass\n" * 40 + "\n\n" for n in range(3)),
}


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    root = tmp_path_factory.mktemp("repo")
    for path, text in FILES.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    assert main(["index", str(root), "--quiet"]) == 0
    return root


def _search(capsys, repo, *arguments):
    capsys.readouterr()
    status = main(["search", *arguments, str(repo)])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("arguments, status, err", [
    (["parse config"], 0, ""),
    (["zzzz_unknown"], 1, ""),
    (['"config parse"'], 1, ""),  # the words are there, never in that order
    (["--only-tests", "--", "-parse_config config"], 1, ""),  # a query that starts with "-" follows "--"
    (["config", "--no-tests", "--only-tests"], 2, "not allowed with"),
    (["path:src/*"], 1, "nothing can match: the query has no words"),
    (["config lang:klingon"], 1, "nothing can match: unknown file type 'klingon'"),
    (["config", "--type", "klingon"], 2, "unknown file type 'klingon'"),
    (["config", "--regex", "(open"], 2, "--regex"),
])
def test_exit_status_is_greps(repo, capsys, arguments, status, err):
    got, out, error = _search(capsys, repo, *arguments)
    assert got == status and (err in error if err else error == "")
    assert (out != "") is (status == 0)


def test_a_search_needs_a_query_or_a_pattern(capsys):
    assert main(["search"]) == 2 and "give a QUERY" in capsys.readouterr().err


@pytest.mark.parametrize("when, tty, environment, colored", [
    ("auto", True, {}, True),
    ("auto", False, {}, False),
    ("auto", True, {"NO_COLOR": "1"}, False),
    ("auto", True, {"NO_COLOR": ""}, True),  # set but empty: as if unset
    ("auto", True, {"TERM": "dumb"}, False),
    ("always", False, {"NO_COLOR": "1", "TERM": "dumb"}, True),
    ("never", True, {}, False),
])
def test_colour_follows_the_option_the_terminal_and_the_environment(when, tty, environment, colored):
    class Stream:
        def isatty(self):
            return tty

    assert wants_color(when, Stream(), {"TERM": "xterm", **environment}) is colored


def test_files_with_matches_and_counts(repo, capsys):
    status, out, _ = _search(capsys, repo, "parse config", "-l")
    assert status == 0 and out.splitlines()[0] == "src/parse.py"
    assert len(out.splitlines()) == len(set(out.splitlines()))
    status, out, _ = _search(capsys, repo, "config", "-c", "--top", "20", "--no-tests")
    counts = dict(line.rsplit(":", 1) for line in out.splitlines())
    assert "tests/test_parse.py" not in counts and int(counts["src/parse.py"]) >= 1


def test_vimgrep_names_the_line_and_column_of_the_match(repo, capsys):
    status, out, _ = _search(capsys, repo, "load", "--regex", r"return load_\w+", "--vimgrep")
    assert status == 0
    assert out.splitlines()[0] == "src/parse.py:6:5:    return load_config(text)"


def test_context_lines_are_the_file_around_the_hit(repo, capsys):
    status, out, _ = _search(capsys, repo, '"def parse_config"', "-C", "1", "--no-heading")
    assert out.splitlines()[:4] == [out.splitlines()[0], "3:", "4: def parse_config(path):",
                                    "5:     text = open(path).read()"]
    assert out.splitlines()[0].startswith("src/parse.py:4: ")
    status, out, _ = _search(capsys, repo, '"def parse_config"', "-A", "2", "-B", "0", "--heading")
    assert out.splitlines()[1:4] == ["4:def parse_config(path):", "5-    text = open(path).read()",
                                     "6-    return load_config(text)"]


def test_a_heading_groups_a_files_hits_in_line_order(repo, capsys):
    status, out, _ = _search(capsys, repo, "config", "--path", "src/many.py", "--heading", "--color", "never")
    lines = out.splitlines()
    assert lines[0].startswith("src/many.py  ") and lines.count("--") == 2
    numbers = [int(re.match(r"(\d+)[:-]", line)[1]) for line in lines[1:] if line != "--"]
    assert numbers == sorted(numbers)


@pytest.mark.parametrize("arguments, longest", [([], len(LONG) + 4), (["--max-columns", "40"], 40)])
def test_long_lines_are_cut_at_max_columns(repo, capsys, arguments, longest):
    status, out, _ = _search(capsys, repo, "wide_config", "--no-heading", *arguments)
    line = next(line for line in out.splitlines() if "long long" in line)
    shown = line.split(": ", 1)[1]
    assert len(shown.split(" [... ")[0]) == min(longest, len(LONG) + 4)
    assert ("more characters]" in line) is bool(arguments)


def test_colour_marks_the_heading_and_the_terms(repo, capsys):
    status, out, _ = _search(capsys, repo, "parse config", "--color", "always", "--heading")
    assert "\033[1;35msrc/parse.py\033[0m" in out and "\033[1;31mconfig\033[0m" in out
    assert ANSI.sub("", out).splitlines()[0].startswith("src/parse.py")
