"""The local index against a careless or hostile world: folders that are not its own, a removed
lock file, names that are not UTF-8 or that hold control characters, files swapped for links or
edited after indexing, and an application's documents added twice."""

from __future__ import annotations

import json
import os
import random

import pytest

pytest.importorskip("vorpaline_core_py")

from vorpaline.search import file_table, index_folder  # noqa: E402
from vorpaline.cli import main  # noqa: E402
from vorpaline.search import Index, LockTimeout, NotAnIndexFolder  # noqa: E402
from vorpaline.search.local import _manifest_text, _named_segments, _read_manifest  # noqa: E402

SOURCE = "def parse_config(path):\n    return load_config(open(path).read())\n"
USER_FILES = {"report.tmp": "mine", "seg-notes.txt": "mine too", "notes.tmp": "x", "seg-fault.c": "int main;"}


def make_repo(root, files=None):
    root.mkdir(parents=True, exist_ok=True)
    for name, text in (files or {"config.py": SOURCE, "other.py": "def unrelated():\n    pass\n"}).items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    return root


def contents(folder):
    return {name: (folder / name).read_bytes() for name in os.listdir(folder)}


# ---------------------------------------------------------------- whose folder it is

@pytest.mark.parametrize("options", [(), ("--rebuild",)])
@pytest.mark.parametrize("foreign", [USER_FILES, {"MANIFEST": "another program's manifest\n"}])
def test_a_folder_holding_other_files_is_refused_and_left_as_it_was(tmp_path, capsys, options, foreign):
    repo = make_repo(tmp_path / "repo")
    folder = make_repo(tmp_path / "elsewhere", foreign)
    before = contents(folder)
    assert main(["index", str(repo), "--index", str(folder), "--quiet", *options]) == 2
    assert f"{folder} holds files that are not a vorpaline index; choose an empty folder" in capsys.readouterr().err
    assert contents(folder) == before


def test_the_repository_itself_is_refused_as_its_index_folder(tmp_path, capsys):
    repo = make_repo(tmp_path / "repo", {"config.py": SOURCE, **USER_FILES})
    before = contents(repo)
    assert main(["index", str(repo), "--index", str(repo), "--quiet"]) == 2
    assert "not a vorpaline index" in capsys.readouterr().err
    assert contents(repo) == before


def test_an_index_removes_only_files_it_wrote(tmp_path):
    """Files dropped into an index folder later outlive updates, rebuilds and merges."""
    repo = make_repo(tmp_path / "repo")
    folder = tmp_path / "index"
    assert main(["index", str(repo), "--index", str(folder), "--quiet"]) == 0
    for name, text in USER_FILES.items():
        (folder / name).write_text(text)
    for number in range(12):  # past the segment limit: merges remove the merged segments
        (repo / f"file{number}.py").write_text(f"def function_{number}():\n    pass\n")
        assert main(["index", str(repo), "--index", str(folder), "--quiet"]) == 0
    assert main(["index", str(repo), "--index", str(folder), "--quiet", "--rebuild"]) == 0
    for name, text in USER_FILES.items():
        assert (folder / name).read_text() == text
    named = _named_segments(_read_manifest(str(folder / "MANIFEST")))
    own = set(os.listdir(folder)) - set(USER_FILES)
    assert own == named | {"MANIFEST", "lock", index_folder.MARKER, ".gitignore"}


def test_an_index_made_before_the_marker_is_still_its_own(tmp_path):
    repo = make_repo(tmp_path / "repo")
    folder = tmp_path / "index"
    Index.create(folder).update(repo)
    (folder / index_folder.MARKER).unlink()
    assert index_folder.is_index_folder(str(folder))
    (repo / "new.py").write_text("def new_function():\n    pass\n")
    assert Index.open(folder).update(repo).indexed == 1
    assert (folder / index_folder.MARKER).exists()


def test_a_killed_writers_recorded_files_are_removed_by_the_next(tmp_path):
    repo = make_repo(tmp_path / "repo")
    folder = tmp_path / "index"
    Index.create(folder).update(repo)
    lock = index_folder.FolderLock(str(folder), wait=0)
    lock.record_writing(["seg-000099-0badc0de"])
    for leftover in ("seg-000099-0badc0de-0000", "seg-000099-0badc0de-0001"):
        (folder / leftover).write_bytes(b"half a segment")
    lock.release()  # as the kernel does for a killed holder
    (folder / "seg-000098-0badc0de-0000").write_bytes(b"not recorded: not removed")
    (repo / "new.py").write_text("def new_function():\n    pass\n")
    Index.open(folder).update(repo)
    names = set(os.listdir(folder))
    assert not {"seg-000099-0badc0de-0000", "seg-000099-0badc0de-0001"} & names
    assert "seg-000098-0badc0de-0000" in names


# ---------------------------------------------------------------- the lock

def test_removing_the_lock_file_does_not_let_a_second_update_in(tmp_path):
    repo = make_repo(tmp_path / "repo")
    folder = tmp_path / "index"
    Index.create(folder).update(repo)
    holder = index_folder.FolderLock(str(folder), wait=0)
    try:
        (folder / "lock").unlink()
        with pytest.raises(LockTimeout, match="gave up after 0.2 s"):
            Index.open(folder).update(repo, wait=0.2)
        with pytest.raises(LockTimeout):
            Index.open(folder).add_documents(["a"], ["text"], wait=0.1)
    finally:
        holder.release()
    assert Index.open(folder).update(repo, wait=1).indexed == 0


def test_the_command_waits_a_bounded_time_and_says_so(tmp_path, capsys):
    repo = make_repo(tmp_path / "repo")
    assert main(["index", str(repo), "--quiet"]) == 0
    holder = index_folder.FolderLock(str(repo / ".vorpaline"), wait=0)
    try:
        assert main(["index", str(repo), "--quiet", "--wait", "0.1"]) == 2
    finally:
        holder.release()
    assert "another update of the index in" in capsys.readouterr().err
    from vorpaline.cli import parser

    assert parser().parse_args(["index"]).wait == 600


# ---------------------------------------------------------------- names

BAD_FILE = os.fsdecode(b"bad\xff.py")
BAD_FOLDER = os.fsdecode(b"dir\xfe")


def test_names_that_are_not_utf8_are_skipped_and_the_rest_indexed(tmp_path, capsys):
    repo = make_repo(tmp_path / "repo")
    (repo / BAD_FILE).write_text("def hidden_function():\n    pass\n")
    (repo / BAD_FOLDER).mkdir()
    (repo / BAD_FOLDER / "inside.py").write_text("def inside_function():\n    pass\n")
    capsys.readouterr()
    assert main(["index", str(repo)]) == 0
    err = capsys.readouterr().err
    assert f'"{repo}/bad\\377.py": name is not valid UTF-8' in err and '/dir\\376": name is not valid UTF-8' in err
    hits = Index.open(repo / ".vorpaline").search("parse_config")
    assert [hit.path for hit in hits] == ["config.py"]


def test_a_root_that_is_not_utf8_is_refused_by_name(tmp_path, capsys):
    repo = make_repo(tmp_path / BAD_FOLDER)
    assert main(["index", str(repo), "--quiet"]) == 2
    assert 'dir\\376" is not valid UTF-8: the scan reads trees under UTF-8 paths' in capsys.readouterr().err


@pytest.mark.parametrize("root", ["/srv/caf\xe9/repo", "/srv/" + BAD_FOLDER + "/repo", "/srv/\u2603"])
def test_any_root_name_round_trips_through_the_manifest(tmp_path, root):
    manifest = {"format": 1, "generation": 1, "k1": None, "b": None, "segments": [], "files": {}, "root": root}
    (tmp_path / "MANIFEST").write_bytes(_manifest_text(manifest))
    assert _read_manifest(str(tmp_path / "MANIFEST"))["root"] == root


NAMES = ["plain.py", "caf\xe9.py", "new\nline.py", "\x1b[31mred.py", 'quote".py', "back\\slash.py", "rtl\u202efdp.py"]
QUOTED = ["plain.py", "caf\xe9.py", '"new\\nline.py"', '"\\033[31mred.py"', '"quote\\".py"', '"back\\\\slash.py"',
          '"rtl\\342\\200\\256fdp.py"']


def test_files_quotes_unusual_names_and_keeps_nul_and_json_exact(tmp_path, capsys, monkeypatch):
    repo = make_repo(tmp_path / "repo", {name: "x\n" for name in NAMES})
    monkeypatch.chdir(repo)
    capsys.readouterr()
    assert main(["files"]) == 0
    assert capsys.readouterr().out.splitlines() == sorted(QUOTED, key=lambda q: NAMES[QUOTED.index(q)])
    assert main(["files", "-z"]) == 0
    assert capsys.readouterr().out.split("\0")[:-1] == sorted(NAMES)
    assert main(["files", "--json"]) == 0
    assert [item["path"] for item in json.loads(capsys.readouterr().out)["files"]] == sorted(NAMES)


def test_explain_quotes_the_pattern_and_the_path(tmp_path, capsys, monkeypatch):
    repo = make_repo(tmp_path / "repo", {"evil\x1bc.log": "x\n", ".gitignore": "evil\x1bc.log\n"})
    monkeypatch.chdir(repo)
    capsys.readouterr()
    assert main(["files", "--explain", "evil\x1bc.log"]) == 0
    out = capsys.readouterr().out
    assert "\x1b" not in out and out.count('"evil\\033c.log"') == 2


# ---------------------------------------------------------------- files changed after indexing

@pytest.fixture
def indexed(tmp_path):
    repo = make_repo(tmp_path / "repo", {"config.py": SOURCE, "lib/settings.py": "def parse_settings():\n    pass\n"})
    (tmp_path / "outside.txt").write_text("def parse_config(): SECRET_OUTSIDE_THE_REPOSITORY\n")
    Index.for_repository(repo).update(repo)
    return repo, tmp_path / "outside.txt"


def swap_file_for_link(repo, outside):
    (repo / "config.py").unlink()
    (repo / "config.py").symlink_to(outside)


def swap_folder_for_link(repo, outside):
    (repo / "lib" / "settings.py").unlink()
    (repo / "lib").rmdir()
    (outside.parent / "lib").mkdir()
    (outside.parent / "lib" / "settings.py").write_text("def parse_settings(): SECRET_OUTSIDE_THE_REPOSITORY\n")
    (repo / "lib").symlink_to(outside.parent / "lib")


def swap_file_for_fifo(repo, outside):
    (repo / "config.py").unlink()
    os.mkfifo(repo / "config.py")


def test_an_update_names_a_file_that_became_no_regular_file(tmp_path, monkeypatch):
    from vorpaline.search import local as search

    repo = make_repo(tmp_path / "repo")
    os.mkfifo(repo / "pipe.py")
    core = search._core()

    class ScannedBeforeTheSwap:  # the scan as it was a moment before pipe.py became a FIFO
        def __getattr__(self, name):
            return getattr(core, name)

        def scan_repository(self, config, threads):
            reply = json.loads(core.scan_repository(config, threads))
            reply["files"] = sorted(reply["files"] + [{"path": "pipe.py", "size": 10, "mtime_ns": 1}],
                                    key=lambda item: item["path"])
            return json.dumps(reply)

    monkeypatch.setattr(search, "_core", ScannedBeforeTheSwap)
    told = []
    counts = Index.create(tmp_path / "index").update(repo, skipped_path=lambda *skip: told.append(skip))
    assert told == [("pipe.py", "not a regular file")]
    assert (counts.indexed, counts.skipped) == (2, 1)


@pytest.mark.parametrize("swap", [swap_file_for_link, swap_folder_for_link, swap_file_for_fifo])
def test_a_file_no_longer_the_one_indexed_shows_nothing(indexed, capsys, swap):
    repo, outside = indexed
    swap(repo, outside)
    capsys.readouterr()
    assert main(["search", "parse_config parse_settings", str(repo)]) == 0
    out = capsys.readouterr().out
    assert "SECRET_OUTSIDE_THE_REPOSITORY" not in out
    hits = Index.open(repo / ".vorpaline").search("parse_config parse_settings")
    assert "SECRET_OUTSIDE_THE_REPOSITORY" not in "".join(hit.snippet for hit in hits)
    swapped = "lib/settings.py" if swap is swap_folder_for_link else "config.py"
    assert swapped not in [hit.path for hit in hits]


def test_a_deleted_file_is_dropped_and_an_edited_one_marked_stale(indexed, capsys):
    repo, _ = indexed
    (repo / "lib" / "settings.py").unlink()
    (repo / "config.py").write_text(SOURCE.replace("(path):", "(path):  # edited"))
    hits = Index.open(repo / ".vorpaline").search("parse_config parse_settings")
    assert [(hit.path, hit.stale) for hit in hits] == [("config.py", True)]
    assert "# edited" in hits[0].snippet  # the lines as they are now
    capsys.readouterr()
    assert main(["search", "parse_config", str(repo)]) == 0
    assert "changed since it was indexed: run 'vorpaline index'" in capsys.readouterr().out
    assert main(["search", "parse_config", str(repo), "--json"]) == 0
    assert json.loads(capsys.readouterr().out.splitlines()[0])["stale"] is True
    Index.open(repo / ".vorpaline").update(repo)
    assert [hit.stale for hit in Index.open(repo / ".vorpaline").search("parse_config")] == [False]


# ---------------------------------------------------------------- an application's documents

def test_documents_of_an_id_replace_it_as_a_dict_would(tmp_path):
    """Random adds (with repeated ids, in and across calls) and deletions, past the merges, against a dict."""
    index = Index.create(tmp_path / "docs")
    model: dict[str, str] = {}
    rng = random.Random(7)
    for round_number in range(14):
        ids = [f"doc{rng.randrange(12)}" for _ in range(rng.randint(1, 5))]
        texts = [f"common {''.join(rng.choice('bcdfghjklmnpqrstvwz') for _ in range(12))} text" for _ in ids]
        index.add_documents(ids, texts)
        model.update(zip(ids, texts))
        if round_number % 4 == 3:
            gone = [f"doc{rng.randrange(12)}" for _ in range(2)] + ["never-added"]
            assert index.delete_documents(gone) == len(set(gone) & model.keys())
            for doc_id in gone:
                model.pop(doc_id, None)
        found = Index.open(tmp_path / "docs").search("common", k=100)
        assert sorted(hit.id for hit in found) == sorted(model)
        for doc_id, text in model.items():
            assert [hit.id for hit in index.search(text.split()[1], k=5)] == [doc_id]
    assert len(_read_manifest(str(tmp_path / "docs" / "MANIFEST"))["segments"]) <= 8


def test_an_index_without_an_id_table_finds_its_ids_in_the_segments(tmp_path):
    """Documents added twice by an older version: the next add keeps one of each id."""
    folder = tmp_path / "docs"
    index = Index.create(folder)
    index.add_documents(["a", "b"], ["alpha first", "beta first"])
    index.add_documents(["a"], ["alpha second"])
    manifest = _read_manifest(str(folder / "MANIFEST"))
    manifest.pop("ids_generation")
    table_path = str(folder / manifest["table"])
    table = file_table.read(table_path)
    table.pop("ids")
    os.unlink(table_path)
    file_table.write(table_path, table)
    # both versions of "a" live, as an older version left them
    manifest["segments"] = [{**segment, "deleted": []} for segment in manifest["segments"]]
    (folder / "MANIFEST").write_bytes(_manifest_text(manifest))
    assert sorted(hit.id for hit in Index.open(folder).search("alpha", k=10)) == ["a", "a"]
    Index.open(folder).add_documents(["c"], ["gamma"])
    assert [hit.id for hit in Index.open(folder).search("alpha", k=10)] == ["a"]
    assert [hit.id for hit in Index.open(folder).search("second", k=10)] == ["a"]


@pytest.mark.parametrize("doc_id, error", [(7, TypeError), ("lone\udcff", ValueError)])
def test_ids_that_cannot_be_stored_are_refused(tmp_path, doc_id, error):
    with pytest.raises(error):
        Index.create(tmp_path / "docs").add_documents([doc_id], ["text"])


def test_not_an_index_folder_is_an_os_error(tmp_path):
    make_repo(tmp_path / "busy", USER_FILES)
    with pytest.raises(NotAnIndexFolder):
        Index.create(tmp_path / "busy")
    assert issubclass(NotAnIndexFolder, OSError)


@pytest.mark.parametrize("record, prefixes", [
    (b'{"pid": 1, "writing": ["seg-000001-2d44bb45"]}', ["seg-000001-2d44bb45"]),
    # killed after writing a shorter record over a longer one, before cutting it to length
    (b'{"pid": 1, "writing": ["seg-000001-2d44bb45"]}44bb45", "seg-000002-00000000"]}', ["seg-000001-2d44bb45"]),
    (b'not json', []),
    (b'\xff\xfe', []),
])
def test_a_lock_record_cut_short_by_a_kill_still_names_its_files(tmp_path, record, prefixes):
    folder = tmp_path / "index"
    Index.create(folder)
    (folder / index_folder.LOCK).write_bytes(record)
    lock = index_folder.FolderLock(str(folder), wait=0)
    try:
        assert lock.leftover_prefixes == prefixes
    finally:
        lock.release()
