"""The file table kept apart from the manifest: stamps looked up in place agree with the table's
JSON for any paths, a damaged table is refused by name, and an index whose manifest still holds
its table (the format before) is searched as it is and written in the new form at its next update."""

from __future__ import annotations

import hashlib
import os
import random

import orjson
import pytest

search = pytest.importorskip("vorpaline.search")
pytest.importorskip("vorpaline_core_py")

from vorpaline.search import file_table, local  # noqa: E402

PIECES = ["a", "b", "é", "z", "/", ".", "-", "\udcff", "日本", "A", "0", " "]


def random_files(rng: random.Random, count: int) -> dict[str, dict[str, int]]:
    files = {}
    while len(files) < count:
        path = "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 12)))
        files[path] = {"size": rng.randrange(1 << 40), "mtime_ns": rng.randrange(-(1 << 62), 1 << 62),
                       "hash": None if rng.random() < 0.2 else "%032x" % rng.getrandbits(128)}
    return files


@pytest.mark.parametrize("count", [0, 1, 2, 3, 500])
def test_stamps_in_place_agree_with_the_table_for_any_paths(tmp_path, count):
    rng = random.Random(count)
    files = random_files(rng, count)
    path = str(tmp_path / "table.files")
    file_table.write(path, {"files": files, "listing": {"at_ns": 5}, "ids": {"x": ["seg", 1]}})
    assert file_table.read(path) == {"files": files, "listing": {"at_ns": 5}, "ids": {"x": ["seg", 1]}}
    stamps = file_table.FileStamps(path)
    assert len(stamps) == count
    assert sorted(stamps, key=os.fsencode) == list(stamps)
    for name, entry in files.items():
        assert stamps[name] == {"size": entry["size"], "mtime_ns": entry["mtime_ns"]}
    for missing in ("", "missing", "a" * 20, *(name + "x" for name in list(files)[:20])):
        if missing not in files:
            assert stamps.get(missing) is None


def as_earlier_table(data: bytes) -> bytes:
    """A table as written before its flags told which files have a trigram document."""
    count = file_table.HEADER.unpack_from(data)[1]
    body = bytearray(data[:-file_table.DIGEST])
    body[:8] = file_table.EARLIER_MAGIC
    flags_at = file_table.HEADER.size + 8 * (count + 1) + 16 * count
    for number in range(flags_at, flags_at + count):
        body[number] &= ~file_table.GREP_DOCUMENT
    return bytes(body) + hashlib.blake2b(body, digest_size=file_table.DIGEST).digest()


@pytest.mark.parametrize("count", [0, 1, 7, 500])
def test_a_grep_told_by_the_flags_is_told_what_the_entries_tell(tmp_path, count):
    """Which files a grep reads whatever their trigram documents say, and which have one: from the
    flags alone as from the JSON entries; a table of the earlier form says it cannot tell."""
    from vorpaline.search.grep_state import request_part

    rng = random.Random(count)
    files = random_files(rng, count)
    for entry in files.values():  # never read for trigrams, read without a document, or with one
        kind = rng.randrange(3)
        if kind:
            entry["grep"] = None if kind == 1 else ["seg.grep", rng.randrange(1000)]
    path = str(tmp_path / "table.files")
    file_table.write(path, {"files": files, "listing": None})
    manifest = {"grep": {"segments": []}, "listing": None}
    expected = request_part(str(tmp_path), {**manifest, "files": files})
    stamps = file_table.FileStamps(path)
    assert stamps.flags_grep_documents
    told = request_part(str(tmp_path), manifest, stamps)
    assert sorted(told["extra"]) == sorted(expected["extra"])
    assert set(told["documents"]) == expected["documents"]
    assert all(name in told["documents"] for name in expected["documents"])
    with open(path, "rb") as handle:
        data = handle.read()
    with open(path, "wb") as handle:
        handle.write(as_earlier_table(data))
    assert file_table.read(path)["files"] == files
    assert not file_table.FileStamps(path).flags_grep_documents


def damaged_copies(data: bytes):
    yield "truncated", data[:-1]
    yield "empty", b""
    yield "magic", b"X" + data[1:]
    yield "a flipped byte", data[:40] + bytes([data[40] ^ 1]) + data[41:]
    body = bytearray(data[:-file_table.DIGEST])
    body[8] ^= 0x80  # a count far past the file's end, the checksum made to match
    yield "a lying count", bytes(body) + hashlib.blake2b(body, digest_size=file_table.DIGEST).digest()


@pytest.mark.parametrize("name", ["truncated", "empty", "magic", "a flipped byte", "a lying count"])
def test_a_damaged_table_is_refused_by_name(tmp_path, name):
    path = str(tmp_path / "table.files")
    file_table.write(path, {"files": random_files(random.Random(1), 40)})
    with open(path, "rb") as handle:
        data = dict(damaged_copies(handle.read()))[name]
    with open(path, "wb") as handle:
        handle.write(data)
    with pytest.raises(file_table.TableDamaged, match="table.files is damaged"):
        file_table.read(path)
    if name != "a flipped byte":  # the stamps' own bytes are checked by the checksum alone
        with pytest.raises(file_table.TableDamaged, match="table.files is damaged"):
            file_table.FileStamps(path)


def make_repository(root):
    for number in range(12):
        folder = root / ("src", "docs", "")[number % 3]
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"file{number}.py").write_text(f"def handler_{number}(request):\n    return quota_{number}\n")


def test_an_index_that_keeps_its_table_in_the_manifest_is_read_and_then_rewritten(tmp_path):
    root, folder = tmp_path / "repo", tmp_path / "index"
    make_repository(root)
    search.Index.create(folder).update(root)
    expected = [tuple(hit) for hit in search.Index.open(folder).search("quota", k=20)]
    manifest = local._read_manifest(str(folder / "MANIFEST"))
    table_name = manifest.pop("table")
    manifest.update(file_table.read(str(folder / table_name)))
    manifest["format"] = local.INLINE_TABLE_FORMAT
    body = orjson.dumps(manifest)  # as the format before wrote it: everything in the manifest
    (folder / "MANIFEST").write_bytes(body + b"\n" + hashlib.blake2b(body, digest_size=16).hexdigest().encode() + b"\n")
    os.unlink(folder / table_name)
    index = search.Index.open(folder)
    assert [tuple(hit) for hit in index.search("quota", k=20)] == expected
    assert len(index.files()) == 12
    (root / "src" / "file0.py").write_text("def handler_0(request):\n    return quota_0 + 1\n")
    assert index.update(root).indexed == 1
    rewritten = local._read_manifest(str(folder / "MANIFEST"))
    assert rewritten["format"] == local.FORMAT and "files" not in rewritten
    assert len(file_table.read(str(folder / rewritten["table"]))["files"]) == 12
    assert len(search.Index.open(folder).search("quota", k=20)) == len(expected)


@pytest.mark.parametrize("need_grep", [False, True])
def test_a_scan_against_the_table_replies_with_what_differs(tmp_path, need_grep):
    """The core's comparison against a model: the full scan, then each file looked up in the table."""
    import json

    import vorpaline_core_py
    from vorpaline.scan import config_json

    rng = random.Random(need_grep)
    root = tmp_path / "repo"
    names = sorted({"f" + "".join(rng.choice("ab.-_é") for _ in range(rng.randint(1, 4))) for _ in range(60)})
    for number, name in enumerate(names):
        folder = root / ("", "a", "a/b", "a.b", "z")[number % 5]
        folder.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text("x" * rng.randint(0, 30))
    full = json.loads(vorpaline_core_py.scan_repository(config_json(str(root)), 1))
    files, expected_changed = {}, []
    for item in full["files"]:
        entry = {"size": item["size"], "mtime_ns": item["mtime_ns"], "hash": rng.choice([None, "h"])}
        if rng.random() < 0.3:
            entry["grep"] = None
        kind = rng.choice(["same", "same", "size", "time", "absent"])
        if kind == "size":
            entry["size"] += 1
        elif kind == "time":
            entry["mtime_ns"] -= 1
        if kind != "absent":
            files[item["path"]] = entry
        if kind != "same" or need_grep and "grep" not in entry:
            expected_changed.append(item)
    removed = sorted({"gone", "a/gone", "a/b/zz", "a.b/0"} - set(files), key=os.fsencode)
    for path in removed:
        files[path] = {"size": 1, "mtime_ns": 1, "hash": "h"}
    table = str(tmp_path / "table.files")
    file_table.write(table, {"files": files})
    config = {**json.loads(config_json(str(root))), "known_files": table, "known_need_grep": need_grep}
    reply = json.loads(vorpaline_core_py.scan_repository(json.dumps(config), 2))
    assert reply["files"] == expected_changed
    assert reply["removed"] == removed
    same = [files[item["path"]] for item in full["files"] if item not in expected_changed]
    assert reply["unchanged"] == sum(entry["hash"] is not None for entry in same)
    assert reply["unchanged_skipped"] == sum(entry["hash"] is None for entry in same)
    with open(table, "r+b") as handle:
        handle.truncate(60)
    with pytest.raises(ValueError, match="known_files.*is damaged"):
        vorpaline_core_py.scan_repository(json.dumps(config), 1)


@pytest.mark.parametrize("environment", [{}, {"VORPALINE_SPARSE_MAX_TEXT_CHARS": "1000"},
                                         {"VORPALINE_CODE_PRETOKENIZE": "false"},
                                         {"VORPALINE_SPARSE_PROFILE_VERSION": "bm25-v2"}])
def test_the_profile_without_the_sparse_module_is_the_shared_services(environment):
    import subprocess
    import sys

    script = ("import sys; from vorpaline.search import native; before = native.profile_json(); "
              "assert 'vorpaline.sparse' not in sys.modules; import vorpaline.sparse; "
              "print(before == vorpaline.sparse.get_sparse_service()._profile_json == native.profile_json())")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env={**os.environ, **environment}, timeout=60)
    assert run.stdout.strip() == "True", run.stderr


@pytest.mark.parametrize("damaged", [None, "segment", "grep", "table", "missing"])
def test_check_reads_every_file_of_the_index_against_its_checksum(tmp_path, capsys, damaged):
    from vorpaline.cli import main

    root, folder = tmp_path / "repo", tmp_path / "index"
    make_repository(root)
    assert main(["index", str(root), "--index", str(folder), "--quiet"]) == 0
    manifest = local._read_manifest(str(folder / "MANIFEST"))
    victim = {"segment": manifest["segments"][0]["name"], "grep": manifest["grep"]["segments"][0]["name"],
              "table": manifest["table"], "missing": manifest["segments"][-1]["name"]}.get(damaged)
    if damaged == "missing":
        os.unlink(folder / victim)
    elif victim is not None:
        data = bytearray((folder / victim).read_bytes())
        data[len(data) // 2] ^= 0x10  # inside the content: a search may never read it
        (folder / victim).write_bytes(bytes(data))
    capsys.readouterr()
    status = main(["index", str(root), "--index", str(folder), "--check"])
    out, err = capsys.readouterr()
    if damaged is None:
        assert status == 0 and "every one intact" in out
    else:
        assert status == 2 and victim in err and "--rebuild" in err
