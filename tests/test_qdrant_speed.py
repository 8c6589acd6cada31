"""What makes the store's updates cheap stays exact: the core's packed term vectors and weights are
the JSON ones and the Python weighting, to the bit; point ids are uuid5's; the re-weighting pass runs
exactly when a chunk drifted; an unchanged update asks for two points and answers as a full one,
and an update stopped midway leaves the next one to look at everything."""

from __future__ import annotations

import json
import os
import random
import shutil
import uuid

import pytest

vorpaline_core_py = pytest.importorskip("vorpaline_core_py")
qdrant_client = pytest.importorskip("qdrant_client")

from test_qdrant_store import CountingClient, assert_same_hits, local_results, store_results  # noqa: E402
from test_search_index import MAX_FILE_BYTES, counts_of, make_repository  # noqa: E402
from vorpaline.search import qdrant  # noqa: E402
from vorpaline.search.native import core, loads, profile_json  # noqa: E402

WORDS = ["parse", "config", "quota", "données", "Straße", "HTTPServer", "snake_case_id", "x", "é", "zebra"]


def _random_tree(root, rng):
    """Python and text files of random words and definitions, in random folders: all three fields vary."""
    for number in range(rng.randint(3, 12)):
        folder = root / rng.choice(["", "src", "lib/deep", rng.choice(WORDS)])
        folder.mkdir(parents=True, exist_ok=True)
        lines = []
        for _ in range(rng.randint(1, 80)):
            words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(0, 12)))
            lines.append(f"def {rng.choice(WORDS[:3])}_{rng.randint(0, 9)}():\n    return '{words}'" if rng.random() < 0.3
                         else words)
        (folder / f"{rng.choice(WORDS)}{number}.{rng.choice(['py', 'txt', 'md'])}").write_text("\n".join(lines))


def _segments(root, folder):
    listed, _ = qdrant._listed(qdrant._scan(str(root)))
    built = loads(core().index_build_files(str(root), json.dumps([[f.path, f.size] for f in listed]), str(folder),
                                           "batch", profile_json(), '{"max_file_bytes": 1000000}', 1, None))
    return [os.path.join(folder, segment["name"]) for segment in built["segments"]]


@pytest.mark.parametrize("seed", range(4))
def test_packed_term_vectors_and_weights_are_the_json_ones_and_pythons(tmp_path, seed, settings):
    rng = random.Random(seed)
    _random_tree(tmp_path / "tree", rng)
    (tmp_path / "segments").mkdir()
    weighting = {"k1": rng.uniform(0.5, 2.0), "fields": [[1.0, rng.random()], [rng.uniform(0, 3), rng.random()],
                                                         [rng.choice([0.0, 0.7]), rng.random()]],
                 "averages": rng.choice([[0.0] * 3, [rng.uniform(1, 90) for _ in range(3)]])}
    for segment in _segments(tmp_path / "tree", tmp_path / "segments"):
        documents = json.loads(core().index_term_vectors(segment))["documents"]
        packed = qdrant._SegmentVectors(segment, weighting)
        lengths = [[d["length"], d["names_length"], d["path_length"]] for d in documents]
        assert qdrant._SegmentVectors(segment).lengths() == packed.lengths() == lengths
        assert packed.metadata == [d["metadata"] for d in documents]
        assert packed.symbols == [d["symbols"] for d in documents]
        for number, (document, length) in enumerate(zip(documents, lengths)):
            begin, end = packed.starts[number], packed.starts[number + 1]
            tfs = [document["tfs"], document["names_tfs"], document["path_tfs"]]
            assert packed.terms[begin:end].tolist() == document["terms"]
            assert [field[begin:end].tolist() for field in packed.tfs] == tfs
            assert packed.records[4 * number + 3] == document["roles"]
            # the same doubles, not close ones: what the collection is sent stays as it was
            assert packed.weights[begin:end].tolist() == qdrant.term_weights(
                tfs, length, weighting["averages"], weighting["k1"], weighting["fields"])


@pytest.mark.parametrize("weighting", ["{}", "[]", '{"k1": 1.2, "fields": [[1, 0.7], [1, 0.7]], "averages": [1, 1, 1]}',
                                       '{"k1": -1, "fields": [[1, 0.7], [1, 0.7], [1, 0.7]], "averages": [1, 1, 1]}',
                                       '{"k1": 1, "fields": [[1, 0.7], [1, 0.7], [1]], "averages": [1, 1, 1]}',
                                       '{"k1": 1, "fields": [[1, 0], [1, 0], [1, 0]], "averages": [1, 1, 1], "b": 1}'])
def test_a_malformed_weighting_is_refused(tmp_path, weighting):
    path = str(tmp_path / "segment")
    core().index_build_segment(path, profile_json(), '["a b"]', '["m"]')
    with pytest.raises(ValueError, match="weighting_json must be"):
        core().index_term_vectors_packed(path, weighting)


def test_point_ids_are_uuid5s_of_their_names():
    rng = random.Random(5)
    for _ in range(300):
        repository, path = ("".join(rng.choice("aé\0/x.") for _ in range(rng.randint(0, 9))) for _ in range(2))
        parts = rng.randint(1, 12)
        expected = [str(uuid.uuid5(qdrant._NAMESPACE, f"{repository}\0{path}\0h\0{part}")) for part in range(parts)]
        assert qdrant._point_ids(repository, path, "h", parts) == expected
        assert qdrant._point_id(repository, path, "h", parts - 1) == expected[-1]


class CallCounter(CountingClient):
    """Counts each method called, and the scrolls that read vectors: the re-weighting pass's."""

    def __init__(self, client):
        super().__init__(client)
        self.calls = {}

    def __getattribute__(self, name):
        if not name.startswith("_") and name not in ("calls", "sent"):
            calls = object.__getattribute__(self, "calls")
            calls[name] = calls.get(name, 0) + 1
        return object.__getattribute__(self, name)

    def scroll(self, **arguments):
        if arguments.get("with_vectors"):
            self.calls["re-weighting"] = self.calls.get("re-weighting", 0) + 1
        return self._client.scroll(**arguments)


@pytest.fixture
def store(settings, sparse):
    settings.search_store_avglen_drift = 0.0
    return qdrant.QdrantStore(CallCounter(qdrant_client.QdrantClient(":memory:")), "code")


def _long_chunks(root):
    root.mkdir()
    (root / "long.txt").write_text(("quota limit worker payload " * 30 + "\n") * 20)  # under MAX_FILE_BYTES
    return root


def _touched(root):
    os.utime(root / "src" / "file00.py", ns=(7, 7))
    return root


# (what the second update sends, the drift allowed, whether any chunk drifted)
@pytest.mark.parametrize("second, drift, drifted", [
    (lambda repository, tmp: shutil.copytree(repository, tmp / "copy"), 0.0, False),  # the same averages
    (lambda repository, tmp: _touched(repository), 0.0, False),  # a file's time, nothing sent
    (lambda repository, tmp: _long_chunks(tmp / "long"), 0.9, False),  # moved, within the share
    (lambda repository, tmp: _long_chunks(tmp / "long"), 0.0, True),
])
def test_the_re_weighting_pass_runs_only_when_a_chunk_drifted(store, tmp_path, settings, second, drift, drifted):
    repository = make_repository(tmp_path / "repo")
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert store.client.calls.get("re-weighting", 0) == 0  # a new collection's chunks are all of one average
    settings.search_store_avglen_drift = drift
    store.client.calls.clear()
    store.update(second(repository, tmp_path), max_file_bytes=MAX_FILE_BYTES)
    assert store.client.calls.get("re-weighting", 0) == int(drifted)
    if drifted:  # the pass weighted every chunk with the new averages: scores are exact again
        weighted = {record.payload["avglen"] for record in store._scroll(store._filter(kind="chunk"), ["avglen"])}
        assert weighted == {store._read_meta()["averages"][0]}


def test_an_unchanged_update_reads_two_points_and_counts_as_a_full_one(store, tmp_path):
    repository = make_repository(tmp_path / "repo")
    first = store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    store.client.calls.clear()
    again = store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert store.client.calls == {"collection_exists": 1, "retrieve": 2}
    assert counts_of(again) == (0, first.skipped, first.indexed, 0)
    # a stamp recorded by another version's update, or none: the full look, which records it again
    for stamp in ({"digest": "other", "files": 1}, None):
        point = store._repository_id("repo")
        store.client.set_payload(collection_name="code", payload={"listing": stamp}, points=[point])
        store.client.calls.clear()
        sent = dict(store.client.sent)
        assert counts_of(store.update(repository, max_file_bytes=MAX_FILE_BYTES)) == counts_of(again)
        assert store.client.calls["scroll"] and store.client.sent["upsert"] == sent["upsert"] + 1  # the stamp alone
        store.client.calls.clear()
        store.update(repository, max_file_bytes=MAX_FILE_BYTES)
        assert store.client.calls == {"collection_exists": 1, "retrieve": 2}


@pytest.mark.parametrize("stopped", ["rebuilding, its chunks deleted", "sending a changed file"])
def test_an_update_stopped_midway_leaves_the_next_one_to_look_at_everything(store, tmp_path, monkeypatch, stopped):
    repository = make_repository(tmp_path / "repo")
    store.update(repository, max_file_bytes=MAX_FILE_BYTES)
    if stopped.startswith("rebuilding"):
        stopping = qdrant.QdrantStore(store.client, "code", rebuild=True)
    else:
        stopping = store
        (repository / "src" / "file00.py").write_text("zebra banana\nsplit_lines quota\n" * 4)

    def stop(points):
        raise KeyboardInterrupt

    with monkeypatch.context() as patch:
        patch.setattr(stopping, "_upsert", stop)
        with pytest.raises(KeyboardInterrupt):
            stopping.update(repository, max_file_bytes=MAX_FILE_BYTES)
    # Another repository's update settles the collection; for a rebuild the files are those of the stamp:
    # only the stamp withdrawn before anything was deleted tells that chunks are missing. (The copy keeps the
    # averages the repository's own, and its scores exact.)
    store.update(shutil.copytree(repository, tmp_path / "copy"), max_file_bytes=MAX_FILE_BYTES)
    qdrant.QdrantStore(store.client, "code").update(repository, max_file_bytes=MAX_FILE_BYTES)
    assert_same_hits(store_results(store, repository="repo"), local_results(repository, tmp_path / "fresh"))


@pytest.mark.parametrize("model, fields", [
    ("SparseVector", {"indices": [3, 9], "values": [0.5, 1.25]}),
    ("PointStruct", {"id": "5b0d6f9e-8c1a-4f3e-9a57-6c0e2d4b7a11", "vector": {}, "payload": {"text": "é", "n": [1]}}),
])
def test_points_made_unvalidated_are_what_model_construct_makes(model, fields):
    from qdrant_client import models

    cls = getattr(models, model)
    make = qdrant._unvalidated(cls)
    assert make is not cls.model_construct  # this pydantic keeps its models' state as the maker does
    made, constructed = make(**fields), cls.model_construct(**fields)
    assert made == constructed and made.model_fields_set == constructed.model_fields_set
    assert made.model_dump_json(exclude_unset=True) == constructed.model_dump_json(exclude_unset=True)
