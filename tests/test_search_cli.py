"""`vorpaline index` and `vorpaline search` as a user sees them: output, colour, progress and errors."""

import json

import pytest

pytest.importorskip("vorpaline_core_py")

from vorpaline.search import snippets  # noqa: E402
from vorpaline.cli import main  # noqa: E402
from vorpaline.search import Index  # noqa: E402

SOURCE = (
    "import os\n\n\n"
    "def helper():\n    return 1\n\n\n"
    "def parse_config(path):\n    text = open(path).read()\n    return load_config(text)\n"
)


@pytest.fixture
def repo(tmp_path):
    root = tmp_path / "repo"
    root.mkdir()
    (root / "config.py").write_text(SOURCE)
    (root / "other.py").write_text("def unrelated():\n    pass\n")
    assert main(["index", str(root), "--quiet"]) == 0
    return root


def _tty(monkeypatch, stream_name, tty):
    import sys

    monkeypatch.setattr(getattr(sys, stream_name), "isatty", lambda: tty, raising=False)


@pytest.mark.parametrize("tty, no_color, colored", [(False, None, False), (True, None, True), (True, "1", False)])
def test_search_prints_the_best_lines_colored_only_on_a_terminal(repo, capsys, monkeypatch, tty, no_color, colored):
    capsys.readouterr()
    _tty(monkeypatch, "stdout", tty)
    if no_color is None:
        monkeypatch.delenv("NO_COLOR", raising=False)
    else:
        monkeypatch.setenv("NO_COLOR", no_color)
    assert main(["search", "the config parser", str(repo), "--no-heading"]) == 0
    out = capsys.readouterr().out
    assert ("\033[" in out) is colored
    plain = out.replace(snippets.BOLD_RED, "").replace(snippets.BOLD, "").replace(snippets.RESET, "")
    header, *snippet = plain.split("\n\n")[0].splitlines()
    location, score = header.split()
    assert location == "config.py:8:" and float(score) > 0
    assert snippet[0] == " 8: def parse_config(path):"
    if colored:
        assert f"parse_{snippets.BOLD_RED}config{snippets.RESET}" in out


def test_search_headers_name_the_best_line_as_editors_read_it(repo, capsys):
    (repo / "tests").mkdir()
    (repo / "tests" / "test_config.py").write_text("from config import parse_config\n\n\n"
                                                   "def test_it():\n    assert parse_config('x')\n")
    main(["index", str(repo), "--quiet"])
    capsys.readouterr()
    main(["search", "parse config", str(repo)])
    headers = [block.splitlines()[0] for block in capsys.readouterr().out.split("\n\n")]
    # the definition before the test that uses it; each header path:LINE: then the score
    assert [header.split()[0] for header in headers][:2] == ["config.py:8:", "tests/test_config.py:1:"]
    assert headers[1].endswith("[test]")


def test_search_json_is_one_object_per_hit_with_its_snippet(repo, capsys):
    capsys.readouterr()
    assert main(["search", "parse config", str(repo), "--json", "--top", "1"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1
    hit = json.loads(lines[0])
    assert hit["path"] == "config.py" and "parse_config" in hit["snippet"]
    assert set(hit) == {"path", "start_line", "end_line", "score", "snippet", "id", "stale", "line", "snippet_line",
                        "roles", "definitions", "metadata"}
    assert hit["line"] == 8 and "parse_config" in [d["name"] for d in hit["definitions"]]


@pytest.mark.parametrize("query", ["zzzz_unknown", "the of", "x"])
def test_a_query_without_known_tokens_prints_nothing(repo, capsys, query):
    capsys.readouterr()
    assert main(["search", query, str(repo)]) == 1  # nothing found: 1, as grep
    assert capsys.readouterr().out == ""


def test_a_missing_index_says_how_to_make_one(tmp_path, capsys):
    assert main(["search", "anything", str(tmp_path)]) == 2
    err = capsys.readouterr().err
    assert err.startswith("vorpaline: error: no index in ") and "vorpaline index" in err and len(err.splitlines()) == 1


def test_file_contents_cannot_drive_the_terminal(tmp_path, capsys):
    (tmp_path / "evil.txt").write_text("payload \x1b]0;owned\x07 \x1b[2J here\n")
    main(["index", str(tmp_path), "--quiet"])
    capsys.readouterr()
    main(["search", "payload", str(tmp_path)])
    out = capsys.readouterr().out
    assert "\x1b" not in out and "\\x1b[2J" in out


@pytest.mark.parametrize("tty, quiet", [(False, False), (True, True)])
def test_no_progress_bar_off_a_terminal_or_when_quiet(tmp_path, capsys, monkeypatch, tty, quiet):
    (tmp_path / "a.py").write_text("x = 1\n")
    _tty(monkeypatch, "stderr", tty)
    assert main(["index", str(tmp_path)] + (["--quiet"] if quiet else [])) == 0
    captured = capsys.readouterr()
    assert captured.err == ""
    assert captured.out == "" if quiet else captured.out.startswith("indexed 1 files")


def test_a_progress_bar_on_a_terminal_then_the_summary(tmp_path, capsys, monkeypatch):
    for number in range(5):
        (tmp_path / f"f{number}.py").write_text("value = 1\n" * (number + 1))
    _tty(monkeypatch, "stderr", True)
    assert main(["index", str(tmp_path)]) == 0
    captured = capsys.readouterr()
    assert "0/5 files" in captured.err and "/150B" in captured.err  # the totals, known from the start
    assert captured.out.startswith("indexed 5 files")


def test_update_reports_every_file_and_byte(tmp_path):
    sizes = [3, 10, 0, 7]
    for number, size in enumerate(sizes):
        (tmp_path / f"f{number}.txt").write_text("y" * size)
    (tmp_path / "big.bin").write_bytes(b"\0" * 50)  # skipped, still looked at
    calls = []
    index = Index.create(tmp_path / ".vorpaline")
    index.update(tmp_path, progress=lambda files, done: calls.append((files, done)))
    # told now and then, from the start to the end, never backwards
    assert calls[0] == (0, 0) and calls[-1] == (5, sum(sizes) + 50)
    assert calls == sorted(calls)
    calls.clear()
    index.update(tmp_path, progress=lambda files, done: calls.append((files, done)))  # all unchanged
    assert calls[-1] == (5, sum(sizes) + 50)


@pytest.mark.parametrize("k1, b", [(None, None), (2.0, 0.25)])
def test_search_takes_the_settings_unless_the_index_fixes_its_parameters(tmp_path, monkeypatch, k1, b):
    from vorpaline.config import settings

    index = Index.create(tmp_path / "index", k1=k1, b=b)
    index.add_documents(["short", "long"], ["needle", "needle " + "hay " * 50])
    monkeypatch.setattr(settings, "search_b", 0.0)
    unnormalised = {hit.id: hit.score for hit in index.search("needle")}
    monkeypatch.setattr(settings, "search_b", 1.0)
    normalised = {hit.id: hit.score for hit in index.search("needle")}
    if k1 is None:
        assert unnormalised["short"] == unnormalised["long"] and normalised["short"] > normalised["long"]
    else:
        assert unnormalised == normalised
