"""Code search through a Qdrant collection: the store answers as the local index does
(same hits, scores within 1e-4), keeps up with a changing tree sending only what
changed, weights chunks again when the collection's average length drifts, and
talks to a server patiently and clearly. Runs on qdrant-client's local mode and,
when it is installed, on Qdrant's embedded engine."""

from __future__ import annotations

import importlib.util
import json
import os
import pathlib
import shutil
import tempfile
import time

import pytest

vorpaline_core_py = pytest.importorskip("vorpaline_core_py")
qdrant_client = pytest.importorskip("qdrant_client")

from qdrant_client.http.exceptions import ResponseHandlingException, UnexpectedResponse  # noqa: E402

from conftest import DEFAULT_SETTINGS, run_python  # noqa: E402
from test_search_index import ALL_HITS, MAX_FILE_BYTES, QUERIES, STEPS, counts_of, make_repository  # noqa: E402
from vorpaline.search import qdrant, qdrant_calls  # noqa: E402
from vorpaline.search.path_filters import required_folder  # noqa: E402
from vorpaline.cli import main  # noqa: E402
from vorpaline.search import Index, IndexUnusable  # noqa: E402

SCORE_TOLERANCE = 1e-4
ENGINES = ["local", "edge"]
LONG = os.environ.get("VORPALINE_LONG_TESTS") == "1"
# The engine of the heavier cases, each an update after update: the embedded one, as a server's segments
# (deleted points and all) where it is installed; both with VORPALINE_LONG_TESTS=1.
ONE_ENGINE = ENGINES if LONG else ["edge" if importlib.util.find_spec("qdrant_edge") else "local"]


class CountingClient:
    """A client that counts the points each kind of request carries."""

    def __init__(self, client):
        self._client = client
        self.sent = {"upsert": 0, "delete": 0, "set_payload": 0}

    def __getattr__(self, name):
        return getattr(self._client, name)

    def upsert(self, collection_name, points, wait):
        self.sent["upsert"] += len(points)
        return self._client.upsert(collection_name=collection_name, points=points, wait=wait)

    def delete(self, collection_name, points_selector, wait):
        self.sent["delete"] += len(getattr(points_selector, "points", [None]))
        return self._client.delete(collection_name=collection_name, points_selector=points_selector, wait=wait)

    def batch_update_points(self, collection_name, update_operations, wait):
        self.sent["set_payload"] += len(update_operations)
        return self._client.batch_update_points(collection_name=collection_name,
                                                update_operations=update_operations, wait=wait)


def _shard_folder(tmp_path):
    """Where the embedded engine keeps a shard: in memory when the machine has a tmpfs, as the engine
    syncs each payload index it makes to disk (seconds a collection, on a busy disk)."""
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        return tempfile.mkdtemp(prefix="vorpaline-edge-", dir="/dev/shm")
    tmp_path.mkdir(parents=True, exist_ok=True)
    return str(tmp_path)


def _remove_shard_folder(folder):
    if folder.startswith("/dev/shm/"):  # the rest goes with pytest's temporary folders
        shutil.rmtree(folder, ignore_errors=True)


def _client(engine, folder):
    """A client of ``engine`` with no collection yet; the embedded engine's shard goes in ``folder``."""
    if engine == "local":
        return qdrant_client.QdrantClient(":memory:")
    pytest.importorskip("qdrant_edge")
    from qdrant_edge_client import EdgeClient

    return EdgeClient(str(folder / "edge-shard"))


@pytest.fixture(params=ENGINES)
def make_store(request, tmp_path, settings, sparse):
    """Stores over fresh collections, all of one engine: qdrant-client's local mode or the embedded engine."""
    settings.search_store_avglen_drift = 0.0  # every chunk weighted with the current average: exact scores
    made = []

    def make(**options):
        folder = _shard_folder(tmp_path / f"engine-{len(made)}")
        made.append(folder)
        return qdrant.QdrantStore(CountingClient(_client(request.param, pathlib.Path(folder))), "code",
                                        **options)

    yield make
    for folder in made:
        _remove_shard_folder(folder)


@pytest.fixture(scope="module")
def module_settings():
    """The settings the settings fixture pins, held for the stores a module's tests share."""
    from vorpaline import sparse
    from vorpaline.config import settings

    with pytest.MonkeyPatch.context() as patch:
        for name, value in DEFAULT_SETTINGS.items():
            patch.setattr(settings, name, list(value) if isinstance(value, list) else value)
        patch.setattr(settings, "search_store_avglen_drift", 0.0)
        sparse.reset_sparse_service()
        yield settings
    sparse.reset_sparse_service()


@pytest.fixture(scope="module", params=ENGINES)
def engine(request):
    return request.param


def _store_and_index(engine, root, folder, **options):
    """(store, local index, their first updates' counts) of ``root``, made once for tests that only search them."""
    shard = _shard_folder(folder / "engine")
    store = qdrant.QdrantStore(_client(engine, pathlib.Path(shard)), "code")
    counts = store.update(root, **options)
    local = Index.create(folder / "index")
    yield store, local, (counts_of(counts), counts_of(local.update(root, **options)))
    _remove_shard_folder(shard)


@pytest.fixture
def repository(tmp_path, settings, sparse):
    return make_repository(tmp_path / "repo")


# Where updates follow updates, fewer queries: the broadest, and those of the words the changes write.
CHANGE_QUERIES = ["parse_config", "quota", "zebra", "banana split_lines", "cursor offset payload", "é données"]


def local_results(root, folder, queries=CHANGE_QUERIES):
    shutil.rmtree(folder, ignore_errors=True)
    index = Index.create(folder)
    index.update(root, max_file_bytes=MAX_FILE_BYTES)
    return {query: index.search(query, k=ALL_HITS) for query in queries}


def assert_same_hits(found, expected):
    """The same chunks with the same scores (to SCORE_TOLERANCE), whatever the order among equal scores,
    for each query of ``expected``."""
    for query in expected:
        ours = sorted(found[query], key=lambda h: (h.path, h.start_line))
        theirs = sorted(expected[query], key=lambda h: (h.path, h.start_line))
        assert [(h.path, h.start_line, h.end_line) for h in ours] == \
               [(h.path, h.start_line, h.end_line) for h in theirs], query
        for mine, other in zip(ours, theirs):
            assert mine.score == pytest.approx(other.score, abs=SCORE_TOLERANCE), (query, mine.path)
        scores = [hit.score for hit in found[query]]
        assert scores == sorted(scores, reverse=True), query


def store_results(store, queries=CHANGE_QUERIES, **options):
    return {query: store.search(query, k=ALL_HITS, **options) for query in queries}


@pytest.fixture(scope="module")
def built(engine, module_settings, tmp_path_factory):
    """A store and a local index of the repository of test_search_index.py."""
    folder = tmp_path_factory.mktemp("built")
    yield from _store_and_index(engine, make_repository(folder / "repo"), folder, max_file_bytes=MAX_FILE_BYTES)


def test_the_store_finds_what_the_local_index_finds(built):
    store, local, (counts, local_counts) = built
    assert counts == local_counts
    expected = {query: local.search(query, k=ALL_HITS) for query in QUERIES}
    assert_same_hits(store_results(store, QUERIES), expected)
    assert_same_hits(store_results(store, QUERIES, repository="repo"), expected)
    # the first hits as a user sees them: same order, same snippets
    for query in QUERIES:
        mine, theirs = store.search(query, k=3), local.search(query, k=3)
        assert [(h.path, h.start_line, h.snippet) for h in mine] == [(h.path, h.start_line, h.snippet) for h in theirs]
        assert all(hit.repository == "repo" for hit in mine)


def test_a_store_updated_first_in_its_process_parses_as_the_local_index(tmp_path):
    # the grammars are registered by whichever build comes first: here the store's
    root = tmp_path / "repo"
    root.mkdir()
    (root / "config.py").write_text("def parse_config(path):\n    return path\n\n\nvalue = parse_config(1)\n")
    shown = run_python(f"""
        import qdrant_client
        from vorpaline.search import qdrant
        from vorpaline.search import Index
        store = qdrant.QdrantStore(qdrant_client.QdrantClient(":memory:"), "code")
        store.update({str(root)!r})
        local = Index.create({str(tmp_path / "index")!r})
        local.update({str(root)!r})
        for found in (store, local):
            print([(h.start_line, h.end_line, round(h.score, 4), h.definitions) for h in found.search("parse_config")],
                  [(d.path, d.line) for d in found.definitions("parse_config")])
        """, tmp_path).splitlines()
    assert shown[0] == shown[1] and "('config.py', 1)" in shown[0]


def _repository_of_roles_and_definitions(root):
    """Files of several roles, defining and using a few names: what the priors and the symbols weigh."""
    files = {
        "src/config.py": "def parse_config(path):\n    return load_user(path)\n\n\nclass Worker:\n"
                         "    def retry_request(self, timeout):\n        return parse_config(timeout)\n",
        "src/users.py": "def load_user(name):\n    return parse_config(name) or Worker()\n",
        "src/notes.py": "# parse_config and load_user, retry_request with a timeout\nvalue = 1\n",
        "tests/test_config.py": "def test_parse_config():\n    assert parse_config('a')\n",
        "docs/guide.md": "# Guide\n\nparse_config reads a config; load_user a user; a Worker retries.\n",
        "CHANGELOG.md": "# Changes\n\n- parse_config added\n- retry_request timeout\n",
        "vendor/lib/retry.py": "def retry_request(timeout):\n    return timeout\n",
    }
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


# Each asks for other priors: roles weighed down or asked for, names defined, a word no file holds.
PRIOR_QUERIES = ["parse_config", "test parse_config", "docs load_user", "retry_request", "retry_request timeout",
                 "parse_config notawordanywhere", "changelog retry_request", "vendored retry", "Worker"]


@pytest.fixture(scope="module")
def both_of_roles(engine, module_settings, tmp_path_factory):
    """A store and a local index of the repository of roles and definitions."""
    folder = tmp_path_factory.mktemp("roles")
    for store, local, _ in _store_and_index(engine, _repository_of_roles_and_definitions(folder / "roles"), folder):
        yield store, local


def test_roles_and_definitions_weigh_in_the_store_as_in_the_local_index(both_of_roles):
    store, local = both_of_roles
    expected = {query: local.search(query, k=ALL_HITS) for query in PRIOR_QUERIES}
    found = {query: store.search(query, k=ALL_HITS) for query in PRIOR_QUERIES}
    assert_same_hits(found, expected)
    assert {hit.roles for hits in found.values() for hit in hits} >= {(), ("test",), ("documentation",)}
    for query in PRIOR_QUERIES:
        def shown(hits):
            return [(h.path, h.start_line, h.line, h.snippet_line, h.roles, h.definitions, round(h.score, 4))
                    for h in hits]

        assert shown(store.search(query, k=2)) == shown(local.search(query, k=2)), query
        assert shown(store.search(query, k=3, files=True)) == shown(local.search(query, k=3, files=True)), query
        files = [hit.path for hit in store.search(query, k=ALL_HITS, files=True)]
        assert len(files) == len(set(files)) == len({hit.path for hit in found[query]}), query


def test_the_boost_and_the_role_weights_are_the_settings_at_query_time(both_of_roles, settings, monkeypatch):
    store, local = both_of_roles
    for boost, weights in [(1.0, ["test=1"]), (5.0, ["test=0.1", "documentation=0"]), (0.5, ["vendored=3"])]:
        # Through monkeypatch, so that the tests after this one, in this process, rank as the settings say.
        monkeypatch.setattr(settings, "search_definition_boost", boost)
        monkeypatch.setattr(settings, "search_role_weights", weights)
        assert_same_hits({query: store.search(query, k=ALL_HITS) for query in PRIOR_QUERIES},
                         {query: local.search(query, k=ALL_HITS) for query in PRIOR_QUERIES})


@pytest.mark.parametrize("name", ["parse_config", "retry_request", "Worker", "worker", "load_user", "absent_name"])
def test_definitions_and_references_are_the_local_indexs(both_of_roles, name):
    store, local = both_of_roles
    if not local.definitions("parse_config"):
        pytest.skip("this core's chunks carry no symbols")
    for ignore_case in (False, True):
        for glob in (None, "src/*"):
            options = {"ignore_case": ignore_case, "path_glob": glob}
            assert store.definitions(name, **options) == local.definitions(name, **options), options
            assert store.references(name, **options) == local.references(name, **options), options


@pytest.mark.parametrize("glob", ["src/*", "lib/deep/*.py", "*file1?.py", "docs/file0[0-4].py", "nowhere/*",
                                  "lib/**", ["lib/**", "!lib/deep"], ["!docs", "!src"], ["src/**", "docs/*"]])
def test_a_path_glob_keeps_what_it_keeps_locally(built, glob):
    store, local, _ = built
    for query in QUERIES:
        mine, theirs = store.search(query, k=4, path_glob=glob), local.search(query, k=4, path_glob=glob)
        assert [(h.path, h.start_line) for h in mine] == [(h.path, h.start_line) for h in theirs], query


@pytest.mark.parametrize("make_store", ONE_ENGINE, indirect=True)
def test_every_change_in_turn_is_sent_and_answers_as_the_local_index(make_store, repository, tmp_path):
    store = make_store()
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    local = Index.create(tmp_path / "index")
    local.update(repository, max_file_bytes=MAX_FILE_BYTES)
    for step, _, _ in STEPS:
        step(repository)
        counts = counts_of(store.update(repository, max_file_bytes=MAX_FILE_BYTES))
        # the local index, updated alike, answers as a fresh build would (test_search_index.py)
        assert counts == counts_of(local.update(repository, max_file_bytes=MAX_FILE_BYTES)), step.__name__
        assert_same_hits(store_results(store), {query: local.search(query, k=ALL_HITS) for query in CHANGE_QUERIES})

        sent = dict(store.client.sent)
        again = store.update(repository, max_file_bytes=MAX_FILE_BYTES)
        assert counts_of(again) == (0, counts[1], counts[0] + counts[2], 0)
        assert store.client.sent == sent  # nothing goes out when nothing changed


@pytest.mark.parametrize("make_store", ONE_ENGINE, indirect=True)
def test_an_update_stopped_between_sending_and_deleting_is_mended_by_the_next(make_store, repository, tmp_path,
                                                                            monkeypatch):
    store = make_store()
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    (repository / "src/file00.py").write_text("zebra banana\nsplit_lines quota\n" * 4)
    os.utime(repository / "src/file00.py", ns=(1, 1))

    def stop(ids):
        raise KeyboardInterrupt

    with monkeypatch.context() as patch:
        patch.setattr(store, "_delete_ids", stop)
        with pytest.raises(KeyboardInterrupt):
            store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    # the file's new chunks are in, and so are its old ones: both are found until the next update
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert_same_hits(store_results(store), local_results(repository, tmp_path / "fresh"))


def _chunks_held(store):
    """{(repository, path, hash, part): point id} of every chunk in the collection."""
    return {(r.payload["repository"], r.payload["path"], r.payload["hash"], r.payload["part"]): r.id
            for r in store._scroll(store._filter(kind="chunk"), ["repository", "path", "hash", "part"])}


def _many_chunks(word, lines=300):
    return "".join(f"{word} line_{number} quota worker {number % 7}\n" for number in range(lines))


def _change_files_of_several_chunks(root):
    (root / "src/file04.py").write_text(_many_chunks("zebra"))  # changed
    (root / "docs/file06.py").unlink()  # removed
    (root / "lib/deep/file05.py").write_bytes(b"\0binary\0" * 10)  # skipped from now on
    (root / "file15.py").write_text("")  # blank: nothing to find


# Where an update stops, and what it had done of that step: the next updates must leave what a fresh build has.
@pytest.mark.parametrize("make_store", ONE_ENGINE, indirect=True)
@pytest.mark.parametrize("stop", ["deleting, first chunks left", "deleting, first chunks gone", "sending a new file"])
def test_an_update_stopped_anywhere_leaves_no_chunk_behind(make_store, repository, tmp_path, monkeypatch, stop):
    (repository / "src/file04.py").write_text(_many_chunks("banana"))
    store = make_store()
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    before = {point_id: part for (_, _, _, part), point_id in _chunks_held(store).items()}
    if stop == "sending a new file":
        (repository / "src/new.py").write_text(_many_chunks("zebra"))
    else:
        _change_files_of_several_chunks(repository)
    real_delete, real_upsert = store._delete_ids, store._upsert

    def stopped_deleting(ids):
        assert ids and all(point_id in before for point_id in ids)
        real_delete([i for i in ids if (before[i] == 0) == (stop == "deleting, first chunks gone")])
        raise KeyboardInterrupt

    def stopped_sending(points):
        points = list(points)
        assert len(points) > 4
        real_upsert(points[:len(points) // 2])
        raise KeyboardInterrupt

    with monkeypatch.context() as patch:
        patch.setattr(store, "_upsert" if stop == "sending a new file" else "_delete_ids",
                      stopped_sending if stop == "sending a new file" else stopped_deleting)
        with pytest.raises(KeyboardInterrupt):
            store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    for _ in range(2):
        store.update(repository, max_file_bytes=MAX_FILE_BYTES)

    fresh = make_store()
    fresh.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert sorted(_chunks_held(store)) == sorted(_chunks_held(fresh))
    found = store_results(store)
    for query, hits in found.items():
        assert len({(h.path, h.start_line) for h in hits}) == len(hits), query  # no chunk found twice
    assert_same_hits(found, local_results(repository, tmp_path / "fresh"))


def _link_a_folder_out_of_the_tree(root, outside):
    """one/ swapped for a link to a folder outside, holding a file of the same name."""
    outside.mkdir()
    (outside / "file.py").write_text("outside_secret quota\n" * 3)
    os.rename(root / "one", root.parent / "one-moved")
    os.symlink(outside, root / "one")


def _file_changed_since_read(root, outside):
    (root / "one/file.py").write_text("outside_secret quota\n" * 3)


# What happens to one/file.py after the core has read it, before its chunks' texts are read.
@pytest.mark.parametrize("after_read", [
    lambda root, outside: (root / "one/file.py").unlink(),
    _link_a_folder_out_of_the_tree,
    _file_changed_since_read,
], ids=["removed", "a folder linked out of the tree", "changed"])
def test_a_file_not_read_again_as_the_core_read_it_is_skipped(make_store, tmp_path, after_read):
    repository = _small_repository(tmp_path / "repo")
    (repository / "one").mkdir()
    (repository / "one/file.py").write_text("inside quota\n")
    local = Index.create(tmp_path / "index").update(repository, max_file_bytes=MAX_FILE_BYTES)
    store = make_store()
    real_upsert = store._upsert

    def upsert_after_the_change(points):
        after_read(repository, tmp_path / "outside")
        store._upsert = real_upsert
        return real_upsert(points)

    store._upsert = upsert_after_the_change
    counts = store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert counts_of(counts) == (local.indexed - 1, local.skipped + 1, 0, 0)
    held = store._scroll(store._filter(kind="chunk"), ["path", "text"])
    assert not [r for r in held if r.payload["path"] == "one/file.py" or "outside_secret" in r.payload["text"]]
    assert store.repositories()["repo"]["skipped"].get("one/file.py")


def test_a_copy_of_a_repository_is_searched_with_its_own_statistics(make_store, repository, tmp_path):
    store = make_store()
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    copy = shutil.copytree(repository, tmp_path / "copy")
    store.update(copy, max_file_bytes=MAX_FILE_BYTES)
    assert sorted(store.repositories()) == ["copy", "repo"]

    expected = local_results(repository, tmp_path / "fresh")
    # each repository's own IDF, and the collection's average length is the repository's here
    assert_same_hits(store_results(store, repository="repo"), expected)
    assert {hit.repository for hit in store.search("quota", k=ALL_HITS, repository="copy")} == {"copy"}
    both = store.search("quota", k=ALL_HITS)
    assert {hit.repository for hit in both} == {"copy", "repo"}
    assert len(both) == 2 * len(expected["quota"])


@pytest.mark.parametrize("drift, reweighted", [(0.0, True), (0.9, False)])
def test_chunks_are_weighted_again_when_the_average_drifts_past_the_share(make_store, repository, tmp_path,
                                                                        settings, drift, reweighted):
    store = make_store()
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    first = store.repositories()["repo"]
    old_average = first["total_lengths"][0] / first["documents"]
    long_chunks = tmp_path / "long"
    long_chunks.mkdir()
    (long_chunks / "long.txt").write_text(("quota limit worker payload " * 30 + "\n") * 50)
    settings.search_store_avglen_drift = drift
    store.update(long_chunks)
    stats = store.repositories().values()
    average = sum(m["total_lengths"][0] for m in stats) / sum(m["documents"] for m in stats)
    assert abs(average / old_average - 1) > 0.1  # the second repository moved the average

    averages = {record.payload["avglen"] for record in store._scroll(store._filter(kind="chunk", repository="repo"),
                                                                    ["avglen"])}
    assert sorted(averages) == pytest.approx([average if reweighted else old_average])


def test_dry_run_writes_nothing_and_says_what_it_would_send(make_store, tmp_path, capsys):
    repository = _small_repository(tmp_path / "repo")
    store = make_store()
    counts = store.update(repository, dry_run=True)
    assert not store.client.collection_exists("code") and store.client.sent["upsert"] == 0
    lines = capsys.readouterr().out.splitlines()
    assert "+ a.py" in " ".join(lines) and lines[-1].startswith(f"would send {counts.chunks} points")

    store.update(repository)
    (repository / "a.py").write_text("zebra\n")
    (repository / "b.md").unlink()
    sent = dict(store.client.sent)
    store.update(repository, dry_run=True)
    assert store.client.sent == sent
    out = capsys.readouterr().out
    assert "~ a.py  (1 chunks)" in out and "- b.md" in out


def test_a_collection_of_another_profile_is_refused_until_rebuilt(make_store, tmp_path):
    repository = _small_repository(tmp_path / "repo")
    store = make_store()
    store.update(repository)
    store._write_meta(store._collection_id(), {**store._read_meta(), "profile": "another"})
    with pytest.raises(IndexUnusable, match="another tokenisation profile.*--rebuild"):
        store.search("quota")
    with pytest.raises(IndexUnusable):
        store.update(repository)
    rebuilt = qdrant.QdrantStore(store.client, "code", rebuild=True)
    rebuilt.update(repository)
    assert store.search("quota", k=1)


def _small_repository(root):
    root.mkdir()
    (root / "a.py").write_text("def parse_config(quota):\n    return quota\n")
    (root / "b.md").write_text("zebra banana split_lines\n")
    return root


def _foreign_collection(client, points, sparse_name):
    from qdrant_client import models

    client.create_collection("code", vectors_config={}, on_disk_payload=True,
                             sparse_vectors_config={sparse_name: models.SparseVectorParams()})
    if points:
        client.upsert(collection_name="code", points=[models.PointStruct(id=n, vector={}, payload={"note": n})
                                                       for n in range(points)], wait=True)


@pytest.mark.parametrize("points, sparse_name", [(100, qdrant.VECTOR), (0, "words")])
def test_a_collection_vorpaline_did_not_make_is_replaced_only_when_forced(make_store, tmp_path, points, sparse_name):
    root = _small_repository(tmp_path / "small")
    client = make_store().client
    _foreign_collection(client, points, sparse_name)
    with pytest.raises(IndexUnusable, match="was not made by vorpaline$"):
        qdrant.QdrantStore(client, "code").update(root)
    with pytest.raises(IndexUnusable, match="not made by vorpaline; `--rebuild` would delete it: give --force to"):
        qdrant.QdrantStore(client, "code", rebuild=True).update(root)
    assert client.count(collection_name="code", exact=True).count == points

    store = qdrant.QdrantStore(client, "code", rebuild=True, force=True)
    store.update(root)
    assert [hit.path for hit in store.search("parse_config")] == ["a.py"]
    assert not store._call("count", count_filter=store._filter(must_not={"kind": ["chunk", "collection",
                                                                                  "repository"]}), exact=True).count


# The calls that make a collection: create_collection, its payload indexes, then the bookkeeping point.
CREATION_CALLS = 14


# Stopped at each call with VORPALINE_LONG_TESTS=1, else at the first, at a payload index's, the last one's and the
# bookkeeping point's.
@pytest.mark.parametrize("stopped_at", range(1, CREATION_CALLS + 1) if LONG else [1, 2, CREATION_CALLS - 1,
                                                                                  CREATION_CALLS])
def test_a_collection_whose_making_stopped_is_finished_by_the_next_update(make_store, tmp_path, stopped_at):
    root = _small_repository(tmp_path / "small")
    store = make_store()
    calls = []

    def stopping(real):
        def call(**arguments):
            calls.append(real.__name__)
            if len(calls) == stopped_at:
                raise KeyboardInterrupt
            return real(**arguments)
        return call

    for name in ["create_collection", "create_payload_index", "upsert"]:
        setattr(store.client, name, stopping(getattr(store.client, name)))
    with pytest.raises(KeyboardInterrupt):
        store.update(root)
    assert calls[0] == "create_collection" and calls[-1] == ("upsert" if stopped_at == CREATION_CALLS
                                                              else "create_payload_index" if stopped_at > 1
                                                              else "create_collection")
    for name in ["create_collection", "create_payload_index", "upsert"]:
        delattr(store.client, name)
    with pytest.raises(FileNotFoundError, match="vorpaline index --store"):
        store.search("parse_config")
    counts = qdrant.QdrantStore(store.client, "code").update(root)
    assert counts_of(counts) == (2, 0, 0, 0)
    assert [hit.path for hit in store.search("zebra")] == ["b.md"]


def _tree_with_names_not_utf8(root):
    _small_repository(root)
    (root / os.fsdecode(b"bad\xff.py")).write_text("parse_config zebra\n")
    (root / os.fsdecode(b"dir\xfe")).mkdir()
    (root / os.fsdecode(b"dir\xfe") / "inside.py").write_text("zebra\n")
    return root


NAMES_SKIPPED = ['  "bad\\377.py"  (skipped: name is not valid UTF-8)', '  "dir\\376"  (skipped: name is not valid UTF-8)']


def test_names_that_are_not_utf8_are_reported_as_skipped_and_the_rest_indexed(make_store, tmp_path):
    root = _tree_with_names_not_utf8(tmp_path / "small")
    store = make_store()
    said = []
    store.update(root, dry_run=True, report=said.append)
    assert said[:2] == NAMES_SKIPPED and said[-1].startswith("would send 2 points for 2 files")
    said.clear()
    assert counts_of(store.update(root, report=said.append)) == (2, 0, 0, 0)
    assert said == NAMES_SKIPPED
    assert [hit.path for hit in store.search("zebra")] == ["b.md"]
    assert store.search("zebra", path_glob=os.fsdecode(b"dir\xfe/*")) == []


@pytest.mark.parametrize("folder, repository, message", [
    (os.fsdecode(b"dir\xfe"), None, r"the repository's path \".*/dir\\376\" is not valid UTF-8: the scan reads"),
    ("small", os.fsdecode(b"name\xfe"), r"the repository's name \"name\\376\" is not valid UTF-8: give --repository"),
])
def test_a_repository_path_or_name_not_utf8_is_refused_before_anything_is_written(make_store, tmp_path, folder,
                                                                                  repository, message):
    root = _small_repository(tmp_path / folder)
    store = make_store()
    with pytest.raises(ValueError, match=message):
        store.update(root, repository=repository)
    assert not store.client.collection_exists("code")
    with pytest.raises(ValueError, match="not valid UTF-8: no repository is named so"):
        store.search("zebra", repository=os.fsdecode(b"name\xfe"))


def test_search_of_a_missing_collection_says_how_to_make_it(make_store):
    with pytest.raises(FileNotFoundError, match="vorpaline index --store"):
        make_store().search("quota")


# ---------------------------------------------------------------- the command line


def test_the_commands_print_the_same_hits_through_a_store(repository, settings, sparse, monkeypatch, capsys):
    settings.search_store_avglen_drift = 0.0
    client = qdrant_client.QdrantClient(":memory:")
    urls = []

    def connect(url, rebuild=False, force=False):
        urls.append(url)
        return qdrant.QdrantStore(client, qdrant.parse_store_url(url)[1], rebuild=rebuild, force=force)

    monkeypatch.setattr(qdrant.QdrantStore, "connect", staticmethod(connect))
    url = "qdrant://localhost:6333/code"
    (repository / "large.txt").unlink()  # its equal chunks score alike, and ties may be listed in either order
    assert main(["index", str(repository)]) == 0
    local_counts = capsys.readouterr().out.split(";")[0]
    assert main(["index", str(repository), "--store", url, "--repository", "mine"]) == 0
    assert capsys.readouterr().out.split(";")[0] == local_counts
    for query in ["parse_config", "retry request timeout"]:
        assert main(["search", query, str(repository)]) == 0
        local = capsys.readouterr().out
        assert main(["search", query, "--store", url, "--repository", "mine"]) == 0
        assert capsys.readouterr().out == local
    assert main(["search", "quota", "--store", url, "--json", "--top", "2"]) == 0
    assert [json.loads(line)["repository"] for line in capsys.readouterr().out.splitlines()] == ["mine", "mine"]
    assert main(["index", str(repository), "--store", url, "--dry-run"]) == 0  # a second repository's name
    assert capsys.readouterr().out.splitlines()[-1].startswith("would send")
    assert main(["index", str(repository), "--store", url, "--quiet"]) == 0
    assert main(["search", "quota", "--store", url]) == 0  # hits of two repositories name theirs
    headers = [hit.splitlines()[0] for hit in capsys.readouterr().out.split("\n\n")]  # each hit's first line
    assert {header.split(":")[0] for header in headers} == {"mine", "repo"}
    assert urls == [url] * 7


def test_index_replaces_a_collection_it_did_not_make_only_with_force(tmp_path, settings, sparse, monkeypatch,
                                                                      capsys):
    root = _small_repository(tmp_path / "small")
    client = qdrant_client.QdrantClient(":memory:")
    _foreign_collection(client, 3, "words")
    monkeypatch.setattr(qdrant.QdrantStore, "connect", staticmethod(
        lambda url, rebuild=False, force=False: qdrant.QdrantStore(client, "code", rebuild=rebuild, force=force)))
    url = "qdrant://localhost:6333/code"
    assert main(["index", str(root), "--store", url, "--rebuild"]) != 0
    assert "`--rebuild` would delete it: give --force to replace it" in capsys.readouterr().err
    assert client.count(collection_name="code", exact=True).count == 3
    assert main(["index", str(root), "--store", url, "--rebuild", "--force", "--quiet"]) == 0
    assert main(["search", "zebra", "--store", url]) == 0 and "b.md" in capsys.readouterr().out


def test_index_through_a_store_prints_the_names_it_skipped(tmp_path, settings, sparse, monkeypatch, capsys):
    root = _tree_with_names_not_utf8(tmp_path / "small")
    client = qdrant_client.QdrantClient(":memory:")
    monkeypatch.setattr(qdrant.QdrantStore, "connect", staticmethod(
        lambda url, rebuild=False, force=False: qdrant.QdrantStore(client, "code")))
    assert main(["index", str(root), "--store", "qdrant://localhost:6333/code"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == NAMES_SKIPPED and lines[2].startswith("indexed 2 files, skipped 0, unchanged 0, removed 0")


@pytest.mark.parametrize("argv, message", [
    (["index", ".", "--repository", "x"], "--repository goes with --store"),
    (["index", ".", "--dry-run"], "--dry-run goes with --store"),
    (["search", "q", "--index", "i", "--store", "qdrant://h:1/c"], "--index and --store"),
    (["search", "q", "--store", "qdrant://h:1"], "expected qdrant://HOST:PORT/COLLECTION"),
])
def test_store_options_misused_are_refused(argv, message, capsys, settings, sparse):
    assert main(argv) != 0
    assert message in capsys.readouterr().err


# ---------------------------------------------------------------- talking to a server


@pytest.mark.parametrize("url, server, collection", [
    ("qdrant://localhost:6333/code", "http://localhost:6333", "code"),
    ("qdrant://search.example.org/code", "http://search.example.org:6333", "code"),
    ("https://cluster.example.org:443/repos/", "https://cluster.example.org:443", "repos"),
    ("qdrant://[::1]:7000/c", "http://[::1]:7000", "c"),
])
def test_store_urls(url, server, collection):
    assert qdrant.parse_store_url(url) == (server, collection)


@pytest.mark.parametrize("url", ["qdrant://host:6333", "qdrant://host/a/b", "ftp://host/c", "qdrant:///c", "code"])
def test_store_urls_refused(url):
    with pytest.raises(ValueError, match="--store"):
        qdrant.parse_store_url(url)


def _http_error(status):
    return UnexpectedResponse(status, "reason", b'{"status": {"error": "said the server"}}', None)


@pytest.mark.parametrize("failures, attempts_made, outcome", [
    ([_http_error(503), ResponseHandlingException(ConnectionError("refused"))], 3, "done"),
    ([_http_error(429)] * 5, 6, "done"),
    ([_http_error(502)] * 6, 6, "answered 502"),
    ([ResponseHandlingException(TimeoutError("timed out"))] * 6, 6, "could not be reached"),
    ([_http_error(400)], 1, "answered 400: {\"status\": {\"error\": \"said the server\"}}"),
    ([_http_error(401)], 1, "refused the request (401): set VORPALINE_QDRANT_API_KEY"),
    ([_http_error(403)], 1, "refused the request (403)"),
    ([ResponseHandlingException(qdrant_calls.DeadlinePassed(60))] * 6, 6, "did not answer within 60 s"),
    ([ResponseHandlingException(ValueError("Expecting value"))], 1, "sent a malformed reply: Expecting value"),
    ([json.JSONDecodeError("Expecting value", "", 0)], 1, "sent a malformed reply: Expecting value"),
    ([ResponseHandlingException(qdrant_calls.ReplyTooLarge(256 << 20))], 1, "larger than the 256 MiB vorpaline reads"),
])
def test_transient_failures_are_retried_with_backoff_and_the_rest_explained(failures, attempts_made, outcome):
    attempts, delays = [], []

    def call():
        attempts.append(1)
        if len(attempts) <= len(failures):
            raise failures[len(attempts) - 1]
        return "done"

    try:
        result = qdrant_calls.call_with_retries(call, "Qdrant at http://h:1", sleep=delays.append)
    except qdrant_calls.StoreError as error:
        result = f"could not: {error}"
        assert str(error).startswith("Qdrant at http://h:1 ")
    assert len(attempts) == attempts_made and outcome in result
    assert all(0.25 * 2 ** n <= delay <= 0.5 * 2 ** n for n, delay in enumerate(delays))


@pytest.mark.parametrize("sizes, max_items, max_bytes, expected", [
    ([1] * 5, 2, 100, [2, 2, 1]),
    ([40, 40, 40], 10, 100, [2, 1]),
    ([500, 1, 1], 10, 100, [1, 2]),  # one item over the budget still goes, alone
    ([], 10, 100, []),
])
def test_batches_keep_to_their_count_and_bytes(sizes, max_items, max_bytes, expected):
    runs = list(qdrant_calls.batches(sizes, lambda size: size, max_items=max_items, max_bytes=max_bytes))
    assert [len(run) for run in runs] == expected and [s for run in runs for s in run] == sizes


def test_a_server_too_old_for_the_idf_modifier_is_named():
    class Old:
        def info(self):
            return type("Info", (), {"version": "1.9.4"})()

    store = qdrant.QdrantStore(Old(), "code", where="Qdrant at http://h:1")
    with pytest.raises(qdrant_calls.StoreError, match="runs Qdrant 1.9.4; vorpaline needs 1.11 or newer"):
        store._check_server()


@pytest.mark.parametrize("glob, folder", [("src/*.py", "src"), ("lib/deep/*", "lib/deep"), ("*.py", None),
                                          ("lib/de*/x.py", "lib"), ("docs/a[0-9]/*", "docs"), ("exact.py", None)])
def test_a_globs_literal_folder_is_filtered_by_the_server(glob, folder):
    assert required_folder(glob) == folder


class FakeServer:
    """An HTTP server on the loopback answering as Qdrant would at its root, after ``failures``
    answers of 503; or as ``answer(handler)`` does."""

    def __init__(self, version="1.16.0", api_key=None, failures=0, answer=None):
        import http.server
        import threading

        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.requests.append(self.headers.get("api-key"))
                if answer is not None:
                    return answer(self)
                if len(server.requests) <= failures:
                    status, body = 503, b'{"status": {"error": "starting"}}'
                elif api_key is not None and self.headers.get("api-key") != api_key:
                    status, body = 401, b'{"status": {"error": "Invalid api-key"}}'
                else:
                    status, body = 200, b'{"title": "qdrant", "version": "%s"}' % version.encode()
                self.send_response(status)
                self.send_header("content-type", "application/json")
                self.send_header("content-length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.requests = []
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True).start()
        self.url = f"qdrant://127.0.0.1:{self.httpd.server_address[1]}/code"

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.mark.parametrize("server_options, key, message", [
    ({"version": "1.9.2"}, None, "runs Qdrant 1.9.2; vorpaline needs 1.11 or newer"),
    ({"api_key": "secret"}, "wrong", r"refused the request \(401\): set VORPALINE_QDRANT_API_KEY"),
    ({"api_key": "secret"}, "secret", None),
    ({"failures": 2}, None, None),  # retried through a restart
])
def test_connecting_checks_the_server_and_the_key(server_options, key, message, monkeypatch, settings, sparse):
    import warnings

    monkeypatch.setattr(qdrant_calls.time, "sleep", lambda seconds: None)
    if key is None:
        monkeypatch.delenv("VORPALINE_QDRANT_API_KEY", raising=False)
    else:
        monkeypatch.setenv("VORPALINE_QDRANT_API_KEY", key)
    server = FakeServer(**server_options)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # an API key over plain HTTP draws qdrant-client's warning
            if message is None:
                assert qdrant.QdrantStore.connect(server.url).collection == "code"
            else:
                with pytest.raises(qdrant_calls.StoreError, match=message):
                    qdrant.QdrantStore.connect(server.url)
    finally:
        server.close()
    assert set(server.requests) == {key}


def _answer(handler, body, length=None):
    handler.send_response(200)
    handler.send_header("content-type", "application/json")
    if length is not None:
        handler.send_header("content-length", str(length))
    handler.end_headers()
    try:
        handler.wfile.write(body)
    except OSError:
        pass  # the client gave up, as it should


def _trickling(handler):
    """A byte every 0.1 s, for 10 s at most: each read is quick, the reply never ends."""
    handler.send_response(200)
    handler.send_header("content-length", "1000")
    handler.end_headers()
    for _ in range(100):
        try:
            handler.wfile.write(b" ")
            handler.wfile.flush()
        except OSError:
            return
        time.sleep(0.1)


def _store_error(url, **options):
    started = time.monotonic()
    with pytest.raises(qdrant_calls.StoreError) as error:
        qdrant.QdrantStore.connect(url, **options)
    return str(error.value), time.monotonic() - started


@pytest.mark.parametrize("options, said, seconds", [
    ({"timeout": 0.5}, "did not answer within 0.5 s", 0.5),  # one request's time, all of its reads
    ({"timeout": 5.0, "deadline": 1.0}, "did not answer within 1 s", 1.0),  # the command's time
])
@pytest.mark.parametrize("through_a_proxy", [False, True])
def test_a_server_trickling_its_reply_is_given_up_on_at_the_deadline(options, said, seconds, through_a_proxy,
                                                                     monkeypatch):
    monkeypatch.setattr(qdrant_calls, "RETRY_SECONDS", 0.6)
    for name in ("HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy", "NO_PROXY", "no_proxy"):
        monkeypatch.delenv(name, raising=False)
    server = FakeServer(answer=_trickling)
    url = server.url
    if through_a_proxy:  # the stand-in answers as the proxy would, a byte at a time
        monkeypatch.setenv("HTTP_PROXY", "http://" + url.split("/")[2])
        url = "qdrant://qdrant.invalid:6333/code"
    try:
        message, took = _store_error(url, **options)
    finally:
        server.close()
    assert message == f"Qdrant at http://{url.split('/')[2]} {said}"
    assert seconds <= took < seconds + 0.5


@pytest.mark.parametrize("answer, said", [
    (lambda handler: _answer(handler, b'{"title": "qdrant", "vers', 25), "sent a malformed reply: Unterminated string"),
    (lambda handler: _answer(handler, b'{"title": 5}', 12), "sent a malformed reply: 2 validation errors"),
    (lambda handler: _answer(handler, b"{" * 1024, 1 << 31),
     "sent a reply of 2147483648 bytes, over the 65536 bytes vorpaline reads: refused"),
    (lambda handler: _answer(handler, b" " * (1 << 20)), "sent a reply larger than the 65536 bytes vorpaline reads"),
])
def test_a_reply_malformed_or_too_large_is_said_so_and_not_asked_again(answer, said, monkeypatch):
    monkeypatch.setattr(qdrant_calls, "MAX_REPLY_BYTES", 64 << 10)
    server = FakeServer(answer=answer)
    try:
        message, took = _store_error(server.url)
    finally:
        server.close()
    assert said in message and took < 1.0
    assert len(server.requests) == 1
