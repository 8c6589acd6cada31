"""vorpaline.search and the `index` and `search` commands as a user meets
them: an index brought up to date step by step answers exactly as one built
from nothing over the same files, its counts say what was read, and the
commands print what they promise.
"""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess

import pytest

search = pytest.importorskip("vorpaline.search")
pytest.importorskip("vorpaline_core_py")

from vorpaline.cli import main  # noqa: E402
from vorpaline.search import local  # noqa: E402
from conftest import make_tree  # noqa: E402

WORDS = ("parse_config load_user render_page cache_lookup flush_buffer retry_request token_bucket "
         "open_socket close_socket hash_digest merge_sorted split_lines quota limit queue worker "
         "schedule timeout payload header checksum segment manifest cursor offset").split()
QUERIES = ["parse_config", "load user", "retry request timeout", "segment manifest checksum", "quota",
           "cursor offset payload", "zebra", "banana split_lines", "é données"]
MAX_FILE_BYTES = 20_000
TEXT_FILES = 30  # and one non-UTF-8 file, indexed too
SKIPPED_FILES = 2  # the binary file and the large one
ALL_HITS = 10_000


def file_text(rng: random.Random, lines: int) -> str:
    return "".join(" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 8))) + "\n" for _ in range(lines))


def make_repository(root, seed=7):
    rng = random.Random(seed)
    for number in range(TEXT_FILES):
        folder = root / ("src", "lib/deep", "docs", "")[number % 4]
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"file{number:02d}.py").write_text(file_text(rng, rng.randint(3, 160)))
    (root / "blob.bin").write_bytes(b"parse_config\0" + bytes(range(256)))
    (root / "large.txt").write_text("parse_config quota\n" * (MAX_FILE_BYTES // 10))
    (root / "latin1.txt").write_bytes("latin_marker données quota é\nparse_config\n".encode("latin-1"))
    return root


def results(index, queries=QUERIES):
    """Every hit of every query, order-free among equal scores."""
    return {query: sorted((hit.path, hit.start_line, hit.end_line, round(hit.score, 9), hit.id)
                          for hit in index.search(query, k=ALL_HITS)) for query in queries}


def fresh_results(root, folder):
    shutil.rmtree(folder, ignore_errors=True)
    index = search.Index.create(folder)
    index.update(root, max_file_bytes=MAX_FILE_BYTES)
    return results(index), index.documents


def set_mtime(path, mtime_ns):
    os.utime(path, ns=(mtime_ns, mtime_ns))


def later_mtime(path):
    set_mtime(path, os.stat(path).st_mtime_ns + 5_000_000_000)


# Each step changes the tree; `counts` is (indexed, skipped, unchanged, removed) of the next update.
def same_size_and_mtime(root):
    path = root / "src/file00.py"
    before = os.stat(path)
    path.write_text(path.read_text().replace("a", "b").replace("e", "f"))
    assert os.stat(path).st_size == before.st_size
    set_mtime(path, before.st_mtime_ns)


def new_content(root):
    path = root / "lib/deep/file01.py"
    path.write_text("zebra banana split_lines\n" * 3)
    later_mtime(path)


def touched(root):
    later_mtime(root / "docs/file02.py")


def deleted(root):
    (root / "file03.py").unlink()


def added(root):
    (root / "lib/deep/new.py").write_text("zebra cursor offset\npayload\n")


def renamed(root):
    os.rename(root / "src/file04.py", root / "docs/file04-renamed.py")


def binary_becomes_text(root):
    (root / "blob.bin").write_text("zebra quota\n")
    later_mtime(root / "blob.bin")


def text_becomes_binary(root):
    (root / "src/file08.py").write_bytes(b"zebra\0quota\n")
    later_mtime(root / "src/file08.py")


def large_file_shrinks(root):
    (root / "large.txt").write_text("quota limit zebra\n")
    later_mtime(root / "large.txt")


def emptied(root):
    (root / "lib/deep/file05.py").write_text("")
    later_mtime(root / "lib/deep/file05.py")


def everything_deleted(root):
    for entry in list(root.iterdir()):
        shutil.rmtree(entry) if entry.is_dir() else entry.unlink()


TEXTS = TEXT_FILES + 1
STEPS = [
    # step, counts, matches a fresh build (a same size and mtime is taken as unchanged, by design)
    (same_size_and_mtime, (0, SKIPPED_FILES, TEXTS, 0), False),
    (new_content, (1, SKIPPED_FILES, TEXTS - 1, 0), True),
    (touched, (0, SKIPPED_FILES, TEXTS, 0), True),
    (deleted, (0, SKIPPED_FILES, TEXTS - 1, 1), True),
    (added, (1, SKIPPED_FILES, TEXTS, 0), True),
    (renamed, (1, SKIPPED_FILES, TEXTS - 1, 1), True),
    (binary_becomes_text, (1, SKIPPED_FILES - 1, TEXTS, 0), True),
    (text_becomes_binary, (0, SKIPPED_FILES + 1, TEXTS - 1, 0), True),
    (large_file_shrinks, (1, SKIPPED_FILES - 1, TEXTS, 0), True),
    (emptied, (1, SKIPPED_FILES, TEXTS - 1, 0), True),
    (everything_deleted, (0, 0, 0, TEXTS + SKIPPED_FILES), True),
]


@pytest.fixture
def repository(tmp_path, settings, sparse):
    return make_repository(tmp_path / "repo")


def counts_of(update_counts):
    return (update_counts.indexed, update_counts.skipped, update_counts.unchanged, update_counts.removed)


def test_the_first_build_counts_every_kind_of_file(repository, tmp_path):
    index = search.Index.create(tmp_path / "index")
    counts = index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert counts_of(counts) == (TEXTS, SKIPPED_FILES, 0, 0)
    assert counts.chunks == index.documents > TEXTS
    assert counts.bytes == sum(os.path.getsize(repository / p) for p in
                               [*(str(f.relative_to(repository)) for f in repository.rglob("*.py")), "latin1.txt"])
    hits = index.search("latin_marker", k=5)  # invalid UTF-8 is replaced, the rest of the file still found
    assert [hit.path for hit in hits] == ["latin1.txt"]
    assert not [hit for hit in index.search("parse_config", k=ALL_HITS) if hit.path in ("blob.bin", "large.txt")]


@pytest.mark.parametrize("step, counts, like_fresh", STEPS, ids=[step.__name__ for step, _, _ in STEPS])
def test_one_change_then_update_equals_a_fresh_build(repository, tmp_path, step, counts, like_fresh):
    index = search.Index.create(tmp_path / "index")
    index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    before = results(index)
    step(repository)

    update_counts = index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert counts_of(update_counts) == counts
    reopened = search.Index.open(tmp_path / "index")
    expected, documents = fresh_results(repository, tmp_path / "fresh")
    assert results(reopened) == (expected if like_fresh else before)
    if like_fresh:
        assert reopened.documents == documents

    again = index.update(repository, max_file_bytes=MAX_FILE_BYTES)  # nothing changed since
    assert counts_of(again) == (0, counts[1], counts[0] + counts[2], 0)
    assert again.chunks == again.bytes == 0


def test_every_change_in_turn_equals_a_fresh_build_each_time(repository, tmp_path):
    index = search.Index.create(tmp_path / "index")
    index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    for step, _, like_fresh in STEPS:
        if not like_fresh:
            continue  # the index would keep the old text of that file, and every later score differ
        step(repository)
        index.update(repository, max_file_bytes=MAX_FILE_BYTES)
        assert results(search.Index.open(tmp_path / "index")) == fresh_results(repository, tmp_path / "fresh")[0], \
            step.__name__
    assert search.Index.open(tmp_path / "index").documents == 0
    # No segment outlives its documents; the file table of the last commit remains.
    names = sorted(os.listdir(tmp_path / "index"))
    assert [name for name in names if not name.endswith(".files")] == ["MANIFEST", "VORPALINE-INDEX", "lock"]
    assert len(names) == 4


def test_a_touched_file_keeps_its_new_mtime_so_it_is_not_read_again(repository, tmp_path):
    index = search.Index.create(tmp_path / "index")
    index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    touched(repository)
    index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    before = results(index)
    same_size_and_mtime_of = repository / "docs/file02.py"
    stat = os.stat(same_size_and_mtime_of)
    same_size_and_mtime_of.write_text(same_size_and_mtime_of.read_text().replace("e", "f"))
    set_mtime(same_size_and_mtime_of, stat.st_mtime_ns)
    counts = index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert counts.indexed == 0 and results(index) == before


@pytest.mark.parametrize("grep", [False, True])
def test_files_only_touched_are_hashed_and_keep_their_chunks(repository, tmp_path, grep):
    index = search.Index.create(tmp_path / "index")
    index.update(repository, max_file_bytes=MAX_FILE_BYTES, grep=grep)
    segments = [(s["name"], s["deleted"]) for s in local._read_manifest(str(tmp_path / "index" / "MANIFEST"))["segments"]]
    before = results(index)
    for path in sorted(repository.rglob("*.py"))[:6]:
        later_mtime(path)
    counts = index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert (counts.indexed, counts.unchanged, counts.chunks) == (0, TEXT_FILES + 1, 0)
    # No chunk was made again, and none deleted: the segments are as they were.
    manifest = local._read_manifest(str(tmp_path / "index" / "MANIFEST"))
    assert [(s["name"], s["deleted"]) for s in manifest["segments"]] == segments
    assert results(index) == before
    assert index.update(repository, max_file_bytes=MAX_FILE_BYTES).unchanged == TEXT_FILES + 1  # not read again


def test_rebuild_reads_everything_again(repository, tmp_path):
    folder = repository / ".vorpaline"
    search.Index.for_repository(repository).update(repository, max_file_bytes=MAX_FILE_BYTES)
    same_size_and_mtime(repository)
    rebuilt = search.Index.for_repository(repository, rebuild=True)
    counts = rebuilt.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert counts_of(counts) == (TEXTS, SKIPPED_FILES, 0, 0)
    assert results(search.Index.open(folder)) == fresh_results(repository, tmp_path / "fresh")[0]
    assert not [hit for hit in rebuilt.search("manifest segment", k=ALL_HITS) if hit.path.startswith(".vorpaline")]


def test_an_index_folder_inside_the_root_is_never_indexed(repository):
    (repository / "idx").mkdir()
    index = search.Index.create(repository / "idx")
    index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    counts = index.update(repository, max_file_bytes=MAX_FILE_BYTES)  # the first update's files are there now
    assert counts_of(counts) == (0, SKIPPED_FILES, TEXTS, 0)


def test_application_documents_are_found_by_their_ids(tmp_path, settings, sparse):
    index = search.Index.create(tmp_path / "index")
    index.add_documents(["a", "b", "c"], ["retry the request", "parse the config\nand retry", "nothing here"])
    index.add_documents(["d"], ["retry retry retry"])
    hits = search.Index.open(tmp_path / "index").search("retry", k=10)
    assert [hit.id for hit in hits][0] == "d" and sorted(hit.id for hit in hits) == ["a", "b", "d"]
    assert all(hit.path is None and hit.metadata is None for hit in hits)
    # each document's best lines, from the text the index keeps, as a file's chunk's are
    assert {hit.id: (hit.snippet, hit.line) for hit in hits} == {
        "a": ("retry the request", 1), "b": ("and retry", 2), "d": ("retry retry retry", 1)}
    assert hits[0].score > hits[-1].score > 0
    with pytest.raises(ValueError, match="2 ids but 1 texts"):
        index.add_documents(["x", "y"], ["one"])


@pytest.mark.parametrize("k", [1, 3, 7])
def test_a_path_glob_still_returns_k_hits_when_more_exist(repository, tmp_path, k):
    index = search.Index.create(tmp_path / "index")
    index.update(repository, max_file_bytes=MAX_FILE_BYTES)
    everything = index.search("quota", k=ALL_HITS)
    in_docs = [hit for hit in everything if hit.path.startswith("docs/")]
    assert len(in_docs) > 7 and sum(hit.path.startswith("docs/") for hit in everything[:7]) < 7  # more is asked
    assert index.search("quota", k=k, path_glob="docs/*") == in_docs[:k]


# ---------------------------------------------------------------- the commands


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def indexed(repository, tmp_path, capsys):
    status, out, err = run(capsys, "index", str(repository), "--index", str(tmp_path / "index"))
    assert status == 0 and err == ""
    return repository, str(tmp_path / "index")


def test_index_prints_one_summary_line(repository, capsys):
    status, out, err = run(capsys, "index", str(repository))
    assert status == 0 and err == ""
    assert out.startswith(f"indexed {TEXTS + 1} files, skipped 1, unchanged 0, removed 0; ")  # large.txt < 1 MiB
    assert out.count("\n") == 1 and out.rstrip().endswith(" s")
    status, out, _ = run(capsys, "index", str(repository), "--quiet")
    assert status == 0 and out == ""


def test_search_prints_path_lines_score_and_snippet(indexed, capsys):
    root, folder = indexed
    status, out, err = run(capsys, "search", "latin_marker", str(root), "--index", folder)
    assert status == 0 and err == ""
    first, *snippet = out.splitlines()
    path, score, role = first.split()
    assert path == "latin1.txt:1:" and float(score) > 0 and role == "[documentation]"
    assert snippet == ["1: latin_marker donn\ufffdes quota \ufffd", "2: parse_config"]


@pytest.mark.parametrize("query", ["zzyzx_unknown", "!!! ...", " "])
def test_a_query_with_no_known_token_prints_nothing(indexed, capsys, query):
    root, folder = indexed
    status, out, err = run(capsys, "search", query, str(root), "--index", folder)
    assert (status, out) == (1, "")  # as grep: 1 for none
    # A blank query cannot match anything, and says so; the others might have.
    assert err == ("vorpaline: nothing can match: the query has no words to search for, only filters: add a word\n"
                   if not query.strip() else "")


@pytest.mark.parametrize("top, glob", [(3, None), (4, "docs/*"), (1, "src/*.py"), (50, "no-such/*")])
def test_search_json_is_one_object_per_hit(indexed, capsys, top, glob):
    root, folder = indexed
    status, out, err = run(capsys, "search", "quota", str(root), "--index", folder, "--top", str(top), "--json",
                           *(["--path", glob] if glob else []))
    assert status == (1 if glob == "no-such/*" else 0) and err == ""
    hits = [json.loads(line) for line in out.splitlines()]
    expected = search.Index.open(folder).search("quota", k=top, path_glob=glob)
    assert [(h["path"], h["start_line"], h["end_line"], h["score"], h["line"], h["roles"]) for h in hits] == [
        (h.path, h.start_line, h.end_line, h.score, h.line, list(h.roles)) for h in expected]
    assert len(hits) == (0 if glob == "no-such/*" else top)
    assert set(hits[0]) == {"path", "start_line", "end_line", "score", "snippet", "id", "stale", "line",
                            "snippet_line", "roles", "definitions", "metadata"} if hits else True


def test_search_without_an_index_says_how_to_make_one(repository, capsys):
    status, out, err = run(capsys, "search", "quota", str(repository))
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("vorpaline: error: ")
    assert "no index in" in err and "vorpaline index" in err


def narrowing_tree(root):
    """Many chunks that rank for "file_name", few that hold ``file_Name`` or ``FileName`` as written,
    among them a hidden file and one the trigram index leaves out (a NUL past the binary probe)."""
    rng = random.Random(5)
    files = {}
    for number in range(120):
        lines = [" ".join(rng.choice(("file_name", "file", "name", "open", "path")) for _ in range(6)) for _ in range(40)]
        if number % 17 == 0:
            lines[rng.randrange(40)] += " file_Name = FileName"
        files[f"src/m{number:03}.py"] = "\n".join(lines) + "\n"
    # Both rank low for "file_Name": found only deep in the ranking.
    files[".hidden/h.py"] = "open path read\n" * 30 + "file_Name\n"
    files["late_nul.txt"] = "open path read\n" * 700 + "file_Name\n\0\n"
    root = make_tree(root, files)
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    return root


@pytest.mark.parametrize("grep_index", [True, False], ids=["trigrams", "no-trigrams"])
def test_deep_searches_narrowed_by_the_trigram_index_answer_as_reading_every_chunk(tmp_path, monkeypatch, grep_index):
    root = narrowing_tree(tmp_path / "repo")
    index = search.Index.for_repository(root)
    index.update(root, grep=grep_index)
    # Changed since indexing: a word removed, one added, a file deleted; the answers are the files' now.
    (root / "src/m000.py").write_text((root / "src/m000.py").read_text().replace("file_Name", "file_name"))
    (root / "src/m001.py").write_text((root / "src/m001.py").read_text().replace("\n", " file_Name\n", 1))
    (root / "src/m017.py").unlink()
    asked = []
    grep = search.Index.grep
    monkeypatch.setattr(search.Index, "grep", lambda self, *args, **options: asked.append(args) or
                        grep(self, *args, **options))
    found_any = False
    for query, k, files in [("file_Name", 10, False), ("file_Name", 3, True), ("FileName", 5, False),
                            ("file_Name open", 10, False), ('file_Name "open path"', 4, False),
                            ("NoSuchName", 10, False), ("file_Name -FileName", 10, True)]:
        monkeypatch.setattr(local, "_NARROWED_ABOVE", 10**9)
        every = index.search(query, k=k, files=files)
        monkeypatch.setattr(local, "_NARROWED_ABOVE", 1)
        assert index.search(query, k=k, files=files) == every, query
        found_any |= bool(every)
    assert found_any and bool(asked) == grep_index
    paths = {hit.path for hit in index.search("file_Name", k=12)}
    assert {".hidden/h.py", "late_nul.txt", "src/m001.py"} <= paths and not paths & {"src/m000.py", "src/m017.py"}
