"""What an index survives: an update killed at any moment leaves the index
as it was (or as the update made it, once committed) and the next run
finishes the work; searches during an update see the old index or the new
one; updates take turns; damaged or foreign files are refused by name.
"""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

search = pytest.importorskip("vorpaline.search")
local = pytest.importorskip("vorpaline.search.local")
index_folder = pytest.importorskip("vorpaline.search.index_folder")
pytest.importorskip("vorpaline_core_py")

WORDS = ("parse_config load_user render_page cache_lookup flush_buffer retry_request token_bucket quota limit "
         "queue worker schedule timeout payload header checksum segment manifest cursor offset").split()
QUERIES = ["parse_config", "retry_request timeout", "segment manifest", "quota limit worker", "fresh_marker"]
# These tests run whole indexing processes, killed and raced: Python-level
# durability. Under the sanitizers every such process takes tens of seconds,
# and the native code they drive is checked there by the core's own tests.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="whole indexing processes; too slow under the sanitizers")

FILES = 1500
ALL_HITS = 100_000


# Every hit of each query as [path, first line, last line, score], from the ranking alone: what
# the index holds, whatever the files hold now (a search reads them for its snippets and leaves out
# those that are gone). Shared with the searching process below.
RESULTS = r"""
import json
from vorpaline.search.queries import prepared_query
from vorpaline.config import settings

def ranked(index, queries, k):
    if not index._manifest["segments"]:
        return {query: [] for query in queries}
    searcher, profile = index._open_searcher(), index._manifest["profile"]
    answer = {}
    for query in queries:
        reply = json.loads(searcher.search(prepared_query(query), profile, k, settings.search_k1,
                                           settings.search_b))
        answer[query] = sorted(json.loads(hit["metadata"])[:3] + [round(hit["score"], 9)] for hit in reply["hits"])
    return answer
"""
exec(RESULTS)


def results(index):
    return {query: [tuple(hit) for hit in hits] for query, hits in ranked(index, QUERIES, ALL_HITS).items()}


def write_tree(root, seed, files, marker=""):
    rng = random.Random(seed)
    for number in files:
        folder = root / f"d{number % 40}"
        folder.mkdir(parents=True, exist_ok=True)
        lines = rng.randint(3, 70)
        text = "".join(" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 7))) + "\n" for _ in range(lines))
        path = folder / f"f{number}.txt"
        path.write_text(marker + text)
        os.utime(path, ns=(10**18 + seed, 10**18 + seed))


class Snapshot:
    """A tree, an index of its first version, and the answers before and after its change."""

    def __init__(self, base):
        self.root = base / "repo"
        write_tree(self.root, 1, range(FILES))
        self.old_index = base / "old-index"
        search.Index.create(self.old_index).update(self.root)
        self.old = results(search.Index.open(self.old_index))
        # the change: a third of the files rewritten, some deleted, some added
        write_tree(self.root, 2, range(0, FILES, 3), marker="fresh_marker\n")
        for number in range(1, FILES, 7):
            (self.root / f"d{number % 40}" / f"f{number}.txt").unlink()
        write_tree(self.root, 3, range(FILES, FILES + 300))
        fresh = base / "fresh-index"
        search.Index.create(fresh).update(self.root)
        self.new = results(search.Index.open(fresh))
        assert self.old != self.new

    def copy_old_index(self, folder):
        shutil.copytree(self.old_index, folder)
        return folder


@pytest.fixture(scope="module")
def snapshot(tmp_path_factory):
    return Snapshot(tmp_path_factory.mktemp("durability"))


def index_command(root, folder, *options):
    return [sys.executable, "-m", "vorpaline", "index", str(root), "--index", str(folder), "--quiet", *options]


def run_index(root, folder, *options, env=None):
    return subprocess.run(index_command(root, folder, *options), capture_output=True, text=True, timeout=300,
                          env={**os.environ, **(env or {})})


def leftovers(folder):
    """Files of the folder that its manifest does not name."""
    named = local._named_segments(local._read_manifest(str(folder / "MANIFEST")))
    return sorted(set(os.listdir(folder)) - named - {"MANIFEST", "lock", index_folder.MARKER, index_folder.GITIGNORE})


def finish_and_check(snapshot, folder):
    done = run_index(snapshot.root, folder)
    assert done.returncode == 0, done.stderr
    assert results(search.Index.open(folder)) == snapshot.new
    assert leftovers(folder) == []


# ---------------------------------------------------------------- killed updates

MODES = {"update": (), "rebuild": ("--rebuild",)}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("step, committed, leftover", [
    ("segment-written", False, "seg-"),
    ("manifest-written", False, ".tmp"),
    ("manifest-replaced", True, "seg-"),
])
def test_a_kill_at_each_step_leaves_the_old_or_the_new_index(snapshot, tmp_path, mode, step, committed, leftover):
    folder = snapshot.copy_old_index(tmp_path / "index")
    killed = run_index(snapshot.root, folder, *MODES[mode], env={"VORPALINE_TEST_CRASH_AT": step})
    assert killed.returncode == 99, killed.stderr
    assert results(search.Index.open(folder)) == (snapshot.new if committed else snapshot.old)
    if not committed or mode == "rebuild":  # a committed update still needs every old segment
        assert any(leftover in name for name in leftovers(folder))
    finish_and_check(snapshot, folder)


@pytest.mark.parametrize("mode", MODES)
# A native build of the tree takes a tenth of a second or so: the kills fall
# before, inside and after it. VORPALINE_LONG_TESTS=1 tries many more moments.
@pytest.mark.parametrize("delay", [0.005 * 1.12 ** n for n in range(40)] if os.environ.get("VORPALINE_LONG_TESTS")
                         else [0.01 * 2.5 ** n for n in range(4)])
def test_a_kill_at_any_moment_leaves_the_old_or_the_new_index(snapshot, tmp_path, mode, delay):
    folder = snapshot.copy_old_index(tmp_path / "index")
    process = subprocess.Popen(index_command(snapshot.root, folder, *MODES[mode]), stderr=subprocess.PIPE)
    time.sleep(delay)
    process.send_signal(signal.SIGKILL)
    process.wait(timeout=60)
    assert results(search.Index.open(folder)) in (snapshot.old, snapshot.new)
    finish_and_check(snapshot, folder)


# ---------------------------------------------------------------- concurrency

SEARCHING_PROCESS = RESULTS + r"""
import os, sys
from vorpaline.search import Index
folder, stop = sys.argv[1], sys.argv[2]
queries = json.loads(sys.argv[3])
stopping = False
while not stopping:  # the last search begins once the stop file is there
    stopping = os.path.exists(stop)
    print(json.dumps(ranked(Index.open(folder), queries, 100000)), flush=True)
"""


def test_searches_during_an_update_see_the_old_or_the_new_index(snapshot, tmp_path):
    folder = snapshot.copy_old_index(tmp_path / "index")
    stop = tmp_path / "stop"
    seen: list[dict] = []
    failures: list[BaseException] = []

    def search_in_a_loop():
        try:
            stopping = False
            while not stopping:  # the last search begins once the stop file is there
                stopping = stop.exists()
                seen.append(results(search.Index.open(folder)))
        except BaseException as error:  # noqa: BLE001 - reported by the test below
            failures.append(error)

    threads = [threading.Thread(target=search_in_a_loop) for _ in range(2)]
    other = subprocess.Popen([sys.executable, "-c", SEARCHING_PROCESS, str(folder), str(stop), json.dumps(QUERIES)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for thread in threads:
        thread.start()
    time.sleep(0.3)
    update = run_index(snapshot.root, folder)
    stop.touch()
    for thread in threads:
        thread.join()
    out, err = other.communicate(timeout=60)

    assert update.returncode == 0, update.stderr
    assert failures == [] and other.returncode == 0, (failures, err)
    from_process = [{q: sorted(tuple(hit) for hit in hits) for q, hits in json.loads(line).items()}
                    for line in out.splitlines()]
    for answer in seen + from_process:
        assert answer in (snapshot.old, snapshot.new)
    assert seen[0] == snapshot.old and seen[-1] == snapshot.new
    assert from_process[0] == snapshot.old and from_process[-1] == snapshot.new


def test_an_index_opened_before_an_update_still_searches_after_it(snapshot, tmp_path):
    folder = snapshot.copy_old_index(tmp_path / "index")
    opened = search.Index.open(folder)
    assert run_index(snapshot.root, folder, "--rebuild").returncode == 0  # no old segment is needed any more
    assert results(opened) in (snapshot.old, snapshot.new)


def test_a_second_update_waits_for_the_first_or_gives_up(snapshot, tmp_path):
    folder = snapshot.copy_old_index(tmp_path / "index")
    holder = index_folder.FolderLock(str(folder), wait=None)  # an update in progress, as far as the others can tell
    try:
        started = time.monotonic()
        refused = run_index(snapshot.root, folder, "--wait", "0.2")
        assert refused.returncode == 2 and refused.stdout == ""
        assert refused.stderr.count("\n") == 1 and refused.stderr.startswith("vorpaline: error: another update")
        assert time.monotonic() - started < 30
        waiting = subprocess.Popen(index_command(snapshot.root, folder), stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)
        assert waiting.poll() is None
        assert results(search.Index.open(folder)) == snapshot.old
    finally:
        holder.release()
    assert waiting.wait(timeout=120) == 0, waiting.stderr.read()
    assert results(search.Index.open(folder)) == snapshot.new


def test_two_updates_at_once_end_as_a_fresh_build(snapshot, tmp_path):
    folder = snapshot.copy_old_index(tmp_path / "index")
    first, second = (subprocess.Popen(index_command(snapshot.root, folder, *options), stderr=subprocess.PIPE)
                     for options in ((), ("--rebuild",)))
    assert first.wait(timeout=120) == 0 and second.wait(timeout=120) == 0
    assert results(search.Index.open(folder)) == snapshot.new
    assert leftovers(folder) == []


@pytest.mark.parametrize("lock_content", [None, b"", b"\0garbage\xff" * 100])
def test_a_missing_or_garbage_lock_file_is_harmless(snapshot, tmp_path, lock_content):
    folder = snapshot.copy_old_index(tmp_path / "index")
    lock = folder / "lock"
    if lock_content is None:
        lock.unlink(missing_ok=True)
    else:
        lock.write_bytes(lock_content)
    assert results(search.Index.open(folder)) == snapshot.old
    finish_and_check(snapshot, folder)


# ---------------------------------------------------------------- damaged and foreign files


def small_index(tmp_path, name="index"):
    root = tmp_path / "repo"
    if not root.exists():
        write_tree(root, 5, range(40))
    folder = tmp_path / name
    search.Index.create(folder).update(root)
    return root, folder


def only_segment(folder):
    (name,) = [segment["name"] for segment in local._read_manifest(str(folder / "MANIFEST"))["segments"]]
    return folder / name


def search_cli(root, folder, query="quota"):
    return subprocess.run([sys.executable, "-m", "vorpaline", "search", query, str(root), "--index", str(folder)],
                          capture_output=True, text=True, timeout=120)


def truncate_to(fraction):
    def damage(data):
        return data[:int(len(data) * fraction)]
    damage.__name__ = f"truncated to {fraction}"
    return damage


def flip_bit_at(fraction, bit=0):
    def damage(data):
        at = min(len(data) - 1, int(len(data) * fraction))
        return data[:at] + bytes([data[at] ^ (1 << bit)]) + data[at + 1:]
    damage.__name__ = f"bit {bit} flipped at {fraction}"
    return damage


# What an open checks, the file's size, ends and layout: a search refuses it.
SEGMENT_DAMAGE = [truncate_to(0), truncate_to(0.5), truncate_to(0.999), flip_bit_at(0), flip_bit_at(1.0, 5),
                  lambda data: data + b"\0" * 8]
# Inside postings or stored strings: an open does not read them, a check of every byte refuses them.
CONTENT_DAMAGE = [flip_bit_at(0.1, 3), flip_bit_at(0.5, 7), flip_bit_at(0.9, 1)]


@pytest.mark.parametrize("damage", SEGMENT_DAMAGE, ids=[d.__name__ for d in SEGMENT_DAMAGE])
def test_a_damaged_segment_is_refused_by_name(tmp_path, settings, sparse, damage):
    root, folder = small_index(tmp_path)
    segment = only_segment(folder)
    segment.write_bytes(damage(segment.read_bytes()))
    with pytest.raises(ValueError, match=f"{segment}.*damaged.*vorpaline index --rebuild"):
        search.Index.open(folder).search("quota")
    failed = search_cli(root, folder)
    assert failed.returncode == 2 and failed.stdout == ""
    assert failed.stderr.count("\n") == 1 and str(segment) in failed.stderr
    rebuilt = run_index(root, folder, "--rebuild")
    assert rebuilt.returncode == 0, rebuilt.stderr
    assert search.Index.open(folder).search("quota")


@pytest.mark.parametrize("damage", CONTENT_DAMAGE, ids=[d.__name__ for d in CONTENT_DAMAGE])
def test_damage_inside_a_segment_is_found_by_its_check(tmp_path, settings, sparse, damage):
    import vorpaline_core_py as core

    root, folder = small_index(tmp_path)
    segment = only_segment(folder)
    segment.write_bytes(damage(segment.read_bytes()))
    with pytest.raises(ValueError, match=f"{segment}.*damaged"):
        core.index_verify_segment(str(segment))
    try:
        search.Index.open(folder).search("quota")
    except ValueError as error:  # the search read the damage
        assert f"index file {segment} is damaged" in str(error)
    rebuilt = run_index(root, folder, "--rebuild")
    assert rebuilt.returncode == 0, rebuilt.stderr
    core.index_verify_segment(str(only_segment(folder)))


def test_a_missing_segment_is_named(tmp_path, settings, sparse):
    root, folder = small_index(tmp_path)
    segment = only_segment(folder)
    segment.unlink()
    with pytest.raises(search.IndexUnusable, match=f"{segment}.*missing.*vorpaline index --rebuild"):
        search.Index.open(folder).search("quota")
    failed = search_cli(root, folder)
    assert failed.returncode == 2 and str(segment) in failed.stderr and failed.stderr.count("\n") == 1


def edit_json(change):
    """The manifest's JSON changed, its checksum line left as it was."""
    def damage(text):
        body, checksum = text.rstrip("\n").rsplit("\n", 1)
        manifest = json.loads(body)
        change(manifest)
        return json.dumps(manifest) + "\n" + checksum + "\n"
    return damage


def first_deleted_id_changed(manifest):
    manifest["segments"][0]["deleted"][0] += 1


def a_segment_renamed(manifest):
    manifest["segments"][0]["name"] += "x"


MANIFEST_DAMAGE = {
    "empty": lambda text: "",
    "truncated": lambda text: text[:len(text) // 2],
    "one byte short": lambda text: text[:-1],
    "not JSON": lambda text: "\0\1garbage",
    "a list": lambda text: "[1, 2]",
    "no segments": edit_json(lambda m: m.pop("segments")),
    "segments not a list": edit_json(lambda m: m.update(segments={"a": 1})),
    "a segment without its name": edit_json(lambda m: m["segments"][0].pop("name")),
    "files not an object": edit_json(lambda m: m.update(files=3)),
    "k1 a string": edit_json(lambda m: m.update(k1="1.2")),
    "a deleted id changed": edit_json(first_deleted_id_changed),
    "a segment renamed": edit_json(a_segment_renamed),
}


CLI_CHECKED = [MANIFEST_DAMAGE[name] for name in ("truncated", "a list", "a segment renamed")] \
    if not os.environ.get("VORPALINE_LONG_TESTS") else list(MANIFEST_DAMAGE.values())


@pytest.mark.parametrize("damage", MANIFEST_DAMAGE.values(), ids=MANIFEST_DAMAGE.keys())
def test_a_damaged_manifest_says_to_rebuild(tmp_path, settings, sparse, damage):
    root, folder = small_index(tmp_path)
    (root / "d1" / "f1.txt").write_text("quota\n")  # a second segment, and a document deleted from the first
    os.utime(root / "d1" / "f1.txt", ns=(2 * 10**18, 2 * 10**18))
    search.Index.open(folder).update(root)
    manifest = folder / "MANIFEST"
    manifest.write_text(damage(manifest.read_text()))
    with pytest.raises(search.IndexUnusable, match=f"{manifest}.*vorpaline index --rebuild"):
        search.Index.open(folder).search("quota")
    if damage not in CLI_CHECKED:  # the commands report every damage through the same error
        return
    for command in (search_cli(root, folder), run_index(root, folder)):
        assert command.returncode == 2 and command.stdout == ""
        assert command.stderr.count("\n") == 1 and "vorpaline index --rebuild" in command.stderr
    rebuilt = run_index(root, folder, "--rebuild")
    assert rebuilt.returncode == 0, rebuilt.stderr
    assert len(search.Index.open(folder).search("quota", k=ALL_HITS)) == len(
        search.Index.open(small_index(tmp_path, "fresh")[1]).search("quota", k=ALL_HITS))


def test_an_index_of_another_format_or_profile_says_to_rebuild(tmp_path, settings, sparse, monkeypatch):
    root = tmp_path / "repo"
    write_tree(root, 5, range(40))
    for name, env in [("other-profile", {"VORPALINE_SPARSE_MAX_TEXT_CHARS": "1000"}), ("other-format", {})]:
        folder = tmp_path / name
        with monkeypatch.context() as patch:
            if name == "other-format":
                patch.setattr(local, "FORMAT", local.FORMAT + 1)
                search.Index.create(folder).update(root)
            else:
                assert run_index(root, folder, env=env).returncode == 0
        with pytest.raises(search.IndexUnusable, match="vorpaline index --rebuild"):
            search.Index.open(folder)
        for command in (search_cli(root, folder), run_index(root, folder)):
            assert command.returncode == 2 and "vorpaline index --rebuild" in command.stderr
        assert run_index(root, folder, "--rebuild").returncode == 0
        assert search.Index.open(folder).search("quota")
