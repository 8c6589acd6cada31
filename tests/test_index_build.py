"""The core's file builder: what it makes of each kind of file, and segments
that do not depend on the number of threads."""

from __future__ import annotations

import hashlib
import json
import os

import pytest

core = pytest.importorskip("vorpaline_core_py")

PROFILE = json.dumps({"version": "bm25-v1", "code_pretokenize": True, "min_token_len": 2})


def build(root, names, folder, threads=1, prefix="seg", **limits):
    files = [[name, os.path.getsize(root / name) if (root / name).exists() else 0] for name in names]
    reply = core.index_build_files(str(root), json.dumps(files), str(folder), prefix, PROFILE,
                                   json.dumps(limits), threads, None)
    return json.loads(reply)


def searcher(folder, reply):
    return core.index_open(json.dumps([{"path": str(folder / s["name"]), "deleted": []} for s in reply["segments"]]))


@pytest.mark.parametrize(
    "contents, status, chunks",
    [
        (b"def get_user():\n    return user\n", "indexed", 1),
        (b"", "indexed", 0),
        (b"\n\n   \n", "indexed", 0),
        (b"text \xff\xfe with bad bytes\n", "indexed", 1),
        (b"x" * 8000 + b"\0" + b"y", "binary", 0),
        (b"x" * 9000 + b"\0", "indexed", 1),  # a NUL past the first 8 KiB
        (b"a" * 2000, "too large", 0),
    ],
)
def test_each_kind_of_file(tmp_path, contents, status, chunks):
    (tmp_path / "repo").mkdir()
    (tmp_path / "repo" / "f").write_bytes(contents)
    (tmp_path / "index").mkdir()
    reply = build(tmp_path / "repo", ["f"], tmp_path / "index", max_file_bytes=1500 if b"a" * 2000 == contents else 1 << 20)
    (outcome,) = reply["files"]
    assert outcome["status"] == status
    assert outcome["count"] == chunks
    assert (outcome["segment"] is None) == (chunks == 0)
    if status == "indexed":
        assert outcome["bytes"] == len(contents)
        assert len(outcome["hash"]) == 32
    else:
        assert outcome["hash"] is None


def test_unreadable_and_missing_files_say_why(tmp_path):
    (tmp_path / "repo").mkdir()
    (tmp_path / "index").mkdir()
    os.symlink("/etc/hostname", tmp_path / "repo" / "link")
    reply = build(tmp_path / "repo", ["missing", "link"], tmp_path / "index")
    # a file that went away after the scan, or turned into a link: never followed
    assert [f["status"] for f in reply["files"]] == ["vanished during the scan",
                                                     "became a symbolic link during the scan"]


def test_invalid_bytes_become_replacement_characters(tmp_path):
    (tmp_path / "repo").mkdir()
    (tmp_path / "index").mkdir()
    (tmp_path / "repo" / "f").write_bytes(b"caf\xe9 au lait\nna\xefve\n")
    reply = build(tmp_path / "repo", ["f"], tmp_path / "index")
    hits = json.loads(searcher(tmp_path / "index", reply).search("lait", PROFILE, 5, 1.2, 0.75))["hits"]
    assert [json.loads(h["metadata"]) for h in hits] == [["f", 1, 2, None]]


def make_tree(root, count):
    for i in range(count):
        folder = root / f"d{i % 7}"
        folder.mkdir(parents=True, exist_ok=True)
        body = "\n\n".join(f"def f{i}_{j}(user_{j}):\n    return store[{j}] + {i}" for j in range(i % 9 + 1))
        (folder / f"m{i}.py").write_text(body + "\n", encoding="utf-8")
    return sorted(str(p.relative_to(root)) for p in root.rglob("*.py"))


def test_segments_do_not_depend_on_the_thread_count(tmp_path):
    names = make_tree(tmp_path / "repo", 300)
    replies = {}
    for threads in (1, 2, 5):
        folder = tmp_path / f"index-{threads}"
        folder.mkdir()
        replies[threads] = (build(tmp_path / "repo", names, folder, threads, segment_bytes=2000), folder)
    reference, reference_folder = replies[1]
    assert len(reference["segments"]) > 5
    for threads, (reply, folder) in replies.items():
        assert reply == reference
        for segment in reply["segments"]:
            assert (folder / segment["name"]).read_bytes() == (reference_folder / segment["name"]).read_bytes()


def test_file_outcomes_place_every_chunk(tmp_path):
    names = make_tree(tmp_path / "repo", 40)
    (tmp_path / "index").mkdir()
    reply = build(tmp_path / "repo", names, tmp_path / "index", segment_bytes=500)
    found = searcher(tmp_path / "index", reply)
    assert found.documents == sum(f["count"] for f in reply["files"])
    for name, outcome in zip(names, reply["files"]):
        text = (tmp_path / "repo" / name).read_bytes()
        assert outcome["hash"] == outcome["hash"].lower() and outcome["bytes"] == len(text)
        assert outcome["count"] == len(json.loads(core.chunk_text(text.decode()))["chunks"])


@pytest.mark.parametrize(
    "files, limits, message",
    [
        ("[[1, 2]]", "{}", "pairs"),
        ('[["a"]]', "{}", "pairs"),
        ("{}", "{}", "pairs"),
        ('[["a", 1]]', '{"max_file_bytes": 0}', "positive"),
        ('[["a", 1]]', '{"nonsense": 1}', "unknown limit"),
        ('[["a", 1]]', "[]", "object"),
    ],
)
def test_bad_arguments(tmp_path, files, limits, message):
    with pytest.raises(ValueError, match=message):
        core.index_build_files(str(tmp_path), files, str(tmp_path), "s", PROFILE, limits, 1, None)


def test_an_existing_segment_name_is_never_overwritten(tmp_path):
    names = make_tree(tmp_path / "repo", 3)
    (tmp_path / "index").mkdir()
    (tmp_path / "index" / "seg-0000").write_bytes(b"kept")
    with pytest.raises(FileExistsError):
        build(tmp_path / "repo", names, tmp_path / "index")
    assert (tmp_path / "index" / "seg-0000").read_bytes() == b"kept"


def test_progress_is_told_and_what_it_raises_stops_the_build(tmp_path):
    names = make_tree(tmp_path / "repo", 400)
    files = json.dumps([[n, os.path.getsize(tmp_path / "repo" / n)] for n in names])
    (tmp_path / "a").mkdir()
    seen = []
    core.index_build_files(str(tmp_path / "repo"), files, str(tmp_path / "a"), "s", PROFILE, '{"segment_bytes": 300}',
                           2, lambda files_done, bytes_done: seen.append((files_done, bytes_done)))
    assert seen and seen == sorted(seen) and all(0 < f <= len(names) for f, _ in seen)

    class Stop(Exception):
        pass

    def stop(files_done, bytes_done):
        raise Stop(files_done)

    (tmp_path / "b").mkdir()
    for threads in (1, 3):
        with pytest.raises(Stop):
            slow = [[n, 1] for n in names] * 20  # enough files that a report comes before the end
            core.index_build_files(str(tmp_path / "repo"), json.dumps(slow), str(tmp_path / "b"), f"t{threads}",
                                   PROFILE, '{"segment_bytes": 1000}', threads, stop)
    with pytest.raises(TypeError, match="callable or None"):
        core.index_build_files(str(tmp_path), "[]", str(tmp_path), "s", PROFILE, "{}", 1, 5)
