"""The index as an application embeds it: opened in a with-block and closed, reading what another
writer (object or process) committed, documents kept with their text and metadata and filtered by
it, coroutines over it, and wrong argument types refused by name."""

from __future__ import annotations

import asyncio
import os
import threading

import pytest

pytest.importorskip("vorpaline_core_py")

from conftest import run_python  # noqa: E402
from vorpaline.search import AsyncIndex, Hit, Index, local  # noqa: E402

DOCUMENTS = {
    "guide": ("how to retry a request\nwith backoff", {"kind": "doc", "lang": "en"}),
    "faq": ("retry questions", {"kind": "faq", "lang": "de"}),
    "note": ("retry later", None),
    "memo": ("Retry the build", {"kind": "Doc"}),
}


@pytest.fixture(autouse=True)
def _pinned_settings(settings, sparse):
    """Every test tokenises and ranks under the documented defaults."""


@pytest.fixture
def filled(tmp_path):
    index = Index.create(tmp_path / "index")
    ids = list(DOCUMENTS)
    index.add_documents(ids, [DOCUMENTS[i][0] for i in ids], [DOCUMENTS[i][1] for i in ids])
    return index


def found_ids(hits):
    return sorted(hit.id for hit in hits)


# ---------------------------------------------------------------- closing

CALLS = {
    "search": lambda index: index.search("retry"),
    "search k=0": lambda index: index.search("retry", k=0),
    "definitions": lambda index: index.definitions("retry"),
    "references": lambda index: index.references("retry"),
    "files": lambda index: index.files(),
    "status": lambda index: index.status(),
    "refresh": lambda index: index.refresh(),
    "add_documents": lambda index: index.add_documents(["x"], ["text"]),
    "delete_documents": lambda index: index.delete_documents(["guide"]),
    "update": lambda index: index.update(index.folder),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_closed_index_refuses_every_call(filled, call):
    with Index.open(filled.folder) as index:
        assert found_ids(index.search("retry")) == ["faq", "guide", "memo", "note"]
    assert index.closed
    index.close()  # again: nothing happens
    with pytest.raises(ValueError, match="closed index"):
        call(index)
    with pytest.raises(ValueError, match="closed index"), index:
        pass
    assert found_ids(Index.open(filled.folder).search("retry")) == ["faq", "guide", "memo", "note"]  # data intact


def test_a_search_running_when_the_index_closes_finishes(filled):
    searcher = filled._open_searcher()
    filled.close()
    assert filled._searcher is None and searcher.documents == 4  # the native searcher is still whole for its user


# ---------------------------------------------------------------- another writer's commits

def test_refresh_and_each_search_see_another_objects_commits(filled):
    reader = Index.open(filled.folder)
    assert reader.refresh() is False
    filled.add_documents(["late"], ["retry at last"])
    assert reader.refresh() is True and reader.refresh() is False
    assert "late" in found_ids(reader.search("retry"))
    filled.delete_documents(["late", "note"])
    assert found_ids(reader.search("retry")) == ["faq", "guide", "memo"]  # without refresh(): the search did it
    assert reader.status().chunks == 3 and reader.documents == 3


def test_every_commit_in_a_quick_run_is_seen(tmp_path):
    # Commits close together have manifests of the same size, often within one tick of the file
    # times' clock: each must still be seen by the next search.
    writer, reader = Index.create(tmp_path / "index"), None
    for number in range(30):
        writer.add_documents([f"d{number:02d}"], [f"needle {number:02d}"])
        reader = reader or Index.open(tmp_path / "index")
        assert len(reader.search("needle", k=100)) == number + 1


def test_a_search_after_segments_were_merged_away_reads_the_new_manifest(tmp_path, monkeypatch):
    writer = Index.create(tmp_path / "index")
    writer.add_documents(["first"], ["needle first"])
    reader = Index.open(tmp_path / "index")
    old_segment = reader._committed["segments"][0]["name"]
    for number in range(local.MAX_SEGMENTS + 2):  # enough to merge the first segment away
        writer.add_documents([f"d{number}"], [f"needle {number}"])
    assert not os.path.exists(os.path.join(writer.folder, old_segment))
    # The commit lands between the search's look at the manifest and its opening of the segments:
    # the first look sees nothing new, the segments it names are gone, and the search reads again.
    looks = []
    real_refresh = reader.refresh

    def refresh():
        looks.append(1)
        return len(looks) > 1 and real_refresh()

    monkeypatch.setattr(reader, "refresh", refresh)
    assert len(reader.search("needle", k=50)) == local.MAX_SEGMENTS + 3 and len(looks) == 2


def test_another_process_commits_are_seen_by_an_open_index(tmp_path, filled):
    reader = Index.open(filled.folder)
    assert len(reader.search("retry", k=50)) == 4
    run_python(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(local.__file__).rsplit(os.sep, 2)[0]!r})
        from vorpaline.search import Index
        index = Index.open({filled.folder!r})
        index.add_documents(["other"], ["retry from another process"], [{{"kind": "doc"}}])
    """, tmp_path)
    hits = reader.search("retry", k=50, metadata={"kind": "doc"})
    assert found_ids(hits) == ["guide", "other"]


def test_searches_from_threads_during_writes_through_the_same_object(filled):
    # Each search sees one committed state whole: the four documents, plus the first n added ones.
    errors, stop = [], threading.Event()

    def search_on():
        while not stop.is_set():
            try:
                ids = found_ids(filled.search("retry", k=100))
                added = [i for i in ids if i.startswith("w")]
                assert set(ids) - set(added) == set(DOCUMENTS) and added == [f"w{n:02d}" for n in range(len(added))]
            except Exception as error:  # noqa: BLE001 - reported by the main thread
                errors.append(error)
                return

    threads = [threading.Thread(target=search_on) for _ in range(3)]
    for thread in threads:
        thread.start()
    for number in range(12):
        filled.add_documents([f"w{number:02d}"], [f"retry {number}"])
    stop.set()
    for thread in threads:
        thread.join()
    assert errors == []


# ---------------------------------------------------------------- metadata and kept text

@pytest.mark.parametrize("wanted, ids", [
    ({"kind": "doc"}, ["guide"]),
    ({"kind": "[dD]oc"}, ["guide", "memo"]),
    ({"kind": ["faq", "Doc"]}, ["faq", "memo"]),
    ({"kind": "*"}, ["faq", "guide", "memo"]),  # "note" has no metadata, so no key
    ({"lang": "*"}, ["faq", "guide"]),  # "memo" has no "lang"
    ({"kind": "doc", "lang": "en"}, ["guide"]),
    ({"kind": "doc", "lang": "de"}, []),
    ({"kind": "DOC"}, []),  # case-sensitive
    ({"kind": []}, []),
    ({}, ["faq", "guide", "memo", "note"]),
])
def test_a_metadata_filter_keeps_the_documents_it_matches(filled, wanted, ids):
    assert found_ids(filled.search("retry", k=10, metadata=wanted)) == ids


def test_hits_carry_their_documents_metadata_and_best_lines(filled):
    hits = {hit.id: hit for hit in filled.search("backoff")}
    assert hits["guide"].metadata == {"kind": "doc", "lang": "en"}
    assert hits["guide"].snippet == "with backoff" and hits["guide"].line == 2
    assert {hit.id: hit.metadata for hit in filled.search("later")} == {"note": None}


def test_a_filter_still_gives_k_hits_when_the_best_are_filtered_out(tmp_path):
    index = Index.create(tmp_path / "index")
    ids = [f"d{n:03d}" for n in range(200)]
    # the best-ranked documents are of kind "a"; only every tenth is of kind "b"
    index.add_documents(ids, ["needle " * (1 + n % 10) for n in range(200)],
                        [{"kind": "b" if n % 10 == 0 else "a"} for n in range(200)])
    hits = index.search("needle", k=15, metadata={"kind": "b"})
    assert len(hits) == 15 and {hit.metadata["kind"] for hit in hits} == {"b"}


def test_text_and_metadata_survive_replacement_merges_and_reopening(tmp_path):
    index = Index.create(tmp_path / "index")
    for number in range(local.MAX_SEGMENTS + 3):
        index.add_documents([f"d{number}", "same"], [f"needle {number}", f"needle same {number}"],
                            [{"n": str(number)}, {"n": str(number)}])
    assert len(index._committed["segments"]) <= local.MAX_SEGMENTS
    last = str(local.MAX_SEGMENTS + 2)
    hits = {hit.id: hit for hit in Index.open(tmp_path / "index").search("needle", k=100)}
    assert len(hits) == local.MAX_SEGMENTS + 4
    assert hits["same"].metadata == {"n": last} and hits["same"].snippet == f"needle same {last}"
    assert all(hits[f"d{n}"].metadata == {"n": str(n)} and hits[f"d{n}"].snippet == f"needle {n}"
               for n in range(local.MAX_SEGMENTS + 3))
    assert index.delete_documents(["same", "d0", "nothing"]) == 2
    assert "same" not in found_ids(index.search("needle", k=100))


def test_documents_an_older_version_added_still_read(tmp_path, monkeypatch):
    # Its records end at the id: no kept text, no metadata. They are found, deleted, and filtered out.
    index = Index.create(tmp_path / "index")
    with monkeypatch.context() as patch:
        patch.setattr(local, "_document_record", lambda doc_id, text, _: local._metadata(None, 1, 1, doc_id))
        index.add_documents(["old"], ["retry old"])
    index.add_documents(["new"], ["retry new"], [{"kind": "doc"}])
    hits = {hit.id: hit for hit in Index.open(tmp_path / "index").search("retry")}
    assert (hits["old"].snippet, hits["old"].metadata) == ("", None)
    assert (hits["new"].snippet, hits["new"].metadata) == ("retry new", {"kind": "doc"})
    assert found_ids(index.search("retry", metadata={"kind": "*"})) == ["new"]
    assert index.delete_documents(["old"]) == 1 and found_ids(index.search("retry")) == ["new"]


@pytest.mark.parametrize("texts, metadata", [(["needle \udcff"], None), (["needle"], [{"k": "\udcff"}]),
                                             (["needle"], [{"\ud800": "v"}]), (["needle"], None)])
def test_text_or_metadata_that_is_not_utf8_is_refused_before_anything_is_written(filled, texts, metadata):
    doc_id = "odd" if metadata or texts[0] != "needle" else "\ud800"  # the last case: an id no quoting could encode
    with pytest.raises(ValueError, match="not valid UTF-8"):
        filled.add_documents([doc_id], texts, metadata)
    assert "odd" not in found_ids(filled.search("needle retry", k=10))


# ---------------------------------------------------------------- coroutines

def test_async_index_answers_as_the_index_does(filled):
    expected = filled.search("retry", k=10)

    async def use():
        async with await AsyncIndex.open(filled.folder) as index:
            together = await asyncio.gather(*(index.search("retry", k=10) for _ in range(8)))
            await index.add_documents(["late"], ["retry late"], [{"kind": "doc"}])
            filtered = await index.search("retry", metadata={"kind": "doc"})
            removed = await index.delete_documents(["late"])
            status = await index.status()
            looked_up = await index.definitions("retry"), await index.references("retry"), await index.files()
            changed = await index.refresh()
        return index, together, filtered, removed, status, looked_up, changed

    index, together, filtered, removed, status, looked_up, changed = asyncio.run(use())
    assert all(hits == expected for hits in together)
    assert found_ids(filtered) == ["guide", "late"] and removed == 1 and status.chunks == 4
    assert looked_up == ([], [], []) and changed is False
    assert index.backend.closed
    with pytest.raises(ValueError, match="closed index"):
        asyncio.run(index.search("retry"))


def test_async_index_over_a_store_says_documents_are_not_for_it():
    qdrant_client = pytest.importorskip("qdrant_client")
    from vorpaline.search.qdrant import QdrantStore

    async def use():
        async with AsyncIndex(QdrantStore(qdrant_client.QdrantClient(":memory:"), "code")) as store:
            with pytest.raises(NotImplementedError, match="local Index"):
                await store.add_documents(["a"], ["text"])
            assert await store.search("retry", metadata={"kind": "doc"}) == []
        return store

    store = asyncio.run(use())
    assert store.backend.closed
    with pytest.raises(ValueError, match="closed store"):
        store.backend.files()


# ---------------------------------------------------------------- argument types

WRONG_TYPES = [
    ("query", lambda index: index.search(None)),
    ("query", lambda index: index.search(b"retry")),
    ("k", lambda index: index.search("retry", k="3")),
    ("k", lambda index: index.search("retry", k=True)),
    ("k", lambda index: index.search("retry", k=2.0)),
    ("path_glob", lambda index: index.search("retry", path_glob=3)),
    ("path_glob", lambda index: index.search("retry", path_glob=["*.py", None])),
    ("files", lambda index: index.search("retry", files="yes")),
    ("metadata", lambda index: index.search("retry", metadata="kind=doc")),
    ("metadata", lambda index: index.search("retry", metadata={"kind": 3})),
    ("metadata", lambda index: index.search("retry", metadata={3: "doc"})),
    ("name", lambda index: index.definitions(None)),
    ("name", lambda index: index.references(b"retry")),
    ("ignore_case", lambda index: index.definitions("retry", ignore_case="no")),
    ("texts", lambda index: index.add_documents(["a"], [None])),
    ("texts", lambda index: index.add_documents(["a"], "x")),
    ("ids", lambda index: index.add_documents("ab", ["x", "y"])),
    ("ids", lambda index: index.add_documents([1], ["x"])),
    ("metadata", lambda index: index.add_documents(["a"], ["x"], {"kind": "doc"})),
    ("metadata", lambda index: index.add_documents(["a"], ["x"], [{"kind": 1}])),
    ("metadata", lambda index: index.add_documents(["a"], ["x"], ["kind=doc"])),
    ("wait", lambda index: index.add_documents(["a"], ["x"], wait="1")),
    ("ids", lambda index: index.delete_documents(3)),
    ("ids", lambda index: index.delete_documents("guide")),
    ("root", lambda index: index.update(None)),
    ("folder", lambda index: Index.open(3)),
    ("folder", lambda index: Index.create(b"/tmp/x")),
]


@pytest.mark.parametrize("parameter, call", WRONG_TYPES, ids=[f"{p}-{n}" for n, (p, _) in enumerate(WRONG_TYPES)])
def test_a_wrong_type_is_a_type_error_naming_the_parameter(filled, parameter, call):
    with pytest.raises(TypeError, match=rf"\b{parameter}\b"):
        call(filled)
    assert found_ids(filled.search("retry")) == ["faq", "guide", "memo", "note"]  # nothing was written


STORE_WRONG_TYPES = [(parameter, call) for parameter, call in WRONG_TYPES
                     if parameter in ("query", "k", "path_glob", "files", "name", "ignore_case")]


@pytest.mark.parametrize("parameter, call", STORE_WRONG_TYPES,
                         ids=[f"{p}-{n}" for n, (p, _) in enumerate(STORE_WRONG_TYPES)])
def test_the_store_refuses_the_same_wrong_types(parameter, call):
    qdrant_client = pytest.importorskip("qdrant_client")
    from vorpaline.search.qdrant import QdrantStore

    with QdrantStore(qdrant_client.QdrantClient(":memory:"), "code") as store, \
            pytest.raises(TypeError, match=rf"\b{parameter}\b"):
        call(store)


@pytest.mark.parametrize("k", [0, -1])
def test_k_below_one_finds_nothing(filled, k):
    assert filled.search("retry", k=k) == []


def test_a_hit_built_by_position_keeps_its_old_fields():
    hit = Hit(None, 1, 1, 1.0, "text", "id", None, False, 1, 1, (), ())
    assert hit.metadata is None and hit.definitions == () and hit._replace(metadata={"a": "b"}).metadata == {"a": "b"}
