"""Pickling and copying: functions of the modules by reference, as Python
functions; result records and services by value."""

import copy
import dataclasses
import json
import pickle

import pytest
from conftest import run_python

pytest.importorskip("vorpaline_core_py", reason="the native core is not built")

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.fixture(autouse=True)
def forget_slotnames():
    """Pickling or copying an instance makes copyreg cache `__slotnames__` on its
    class, as for any Python class; drop it so other tests see the class as built."""
    yield
    import vorpaline.sparse as sparse

    for cls in (sparse.SparseEmbeddingService, sparse.SparseResult):
        if "__slotnames__" in vars(cls):
            delattr(cls, "__slotnames__")


# (module, path of the function from the module): module functions, and
# functions taken from the class.
FUNCTIONS = [
    ("vorpaline.sparse", "get_sparse_service"),
    ("vorpaline.sparse", "reset_sparse_service"),
    ("vorpaline.sparse", "SparseEmbeddingService.__init__"),
    ("vorpaline.sparse", "SparseEmbeddingService.embed_single"),
    ("vorpaline.sparse", "SparseEmbeddingService.embed_batch"),
    ("vorpaline.sparse", "SparseEmbeddingService.embed_batch_list"),
    ("vorpaline.enginecheck", "_load_capabilities"),
    ("vorpaline.enginecheck", "require_capability"),
    ("vorpaline.skiprules", "build_scan_config"),
]


def resolve(module_name, path):
    obj = __import__(module_name, fromlist=["_"])
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.fixture(params=FUNCTIONS, ids=[f"{m}.{p}" for m, p in FUNCTIONS])
def function(request, settings):
    return resolve(*request.param)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_function_unpickles_as_the_same_object(function, protocol):
    assert pickle.loads(pickle.dumps(function, protocol)) is function


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copy_of_function_is_the_function(function, copier):
    assert copier(function) is function


@pytest.mark.parametrize("change", ["replaced", "deleted"])
def test_function_no_longer_reachable_by_its_name_does_not_pickle(skiprules, monkeypatch, change):
    # As for a Python function: pickling must not quietly send another object.
    original = skiprules.build_scan_config
    if change == "replaced":
        monkeypatch.setattr(skiprules, "build_scan_config", lambda repo_path: {})
    else:
        monkeypatch.delattr(skiprules, "build_scan_config")
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(original)


# --------------------------------------------------------------- records

RECORDS = [
    dict(indices=[3, 7], values=[0.5, 1.25]),
    dict(indices=[], values=[], truncated=False, original_chars=0, used_chars=0),
    dict(indices=[1, 2**40], values=[1e-300, 2.5], truncated=True, original_chars=10**6, used_chars=200000),
]


@pytest.mark.parametrize("fields", RECORDS)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_record_round_trips(sparse, fields, protocol):
    record = sparse.SparseResult(**fields)
    restored = pickle.loads(pickle.dumps(record, protocol))
    assert type(restored) is sparse.SparseResult
    assert restored == record
    assert dataclasses.asdict(restored) == {
        "truncated": None, "original_chars": None, "used_chars": None, **fields
    }


def test_record_copies(sparse):
    record = sparse.SparseResult([1, 2], [0.5, 0.25], True, 9, 4)
    shallow, deep = copy.copy(record), copy.deepcopy(record)
    assert shallow == record == deep
    assert shallow is not record and deep is not record
    assert shallow.indices is record.indices
    assert deep.indices is not record.indices and deep.values is not record.values


# --------------------------------------------------------------- services


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_service_round_trips_with_its_profile(sparse, settings, protocol):
    service = sparse.SparseEmbeddingService()
    restored = pickle.loads(pickle.dumps(service, protocol))
    assert type(restored) is sparse.SparseEmbeddingService
    assert vars(restored) == vars(service)
    assert restored.profile_version == service.profile_version


def test_unpickled_service_keeps_its_profile_whatever_the_settings(sparse, settings):
    service = sparse.SparseEmbeddingService()
    data = pickle.dumps(service)
    settings.sparse_max_text_chars = 5
    settings.sparse_profile_version = "other"
    restored = pickle.loads(data)
    assert restored._profile_json == service._profile_json
    assert json.loads(restored._profile_json)["max_text_chars"] != 5
    text = "a text longer than five characters"
    assert restored.embed_single(text) == service.embed_single(text)
    assert restored.embed_single(text).truncated is False


def test_unpickling_a_service_does_not_construct_one(sparse, monkeypatch):
    service = sparse.SparseEmbeddingService()
    data = pickle.dumps(service)
    calls = []
    monkeypatch.setattr(sparse.logger, "info", lambda *args: calls.append(args))
    pickle.loads(data)
    assert calls == []  # __init__ logs once per construction


@pytest.mark.parametrize("method", ["embed_single", "embed_batch", "embed_batch_list"])
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_bound_method_round_trips_and_embeds_alike(sparse, method, protocol):
    service = sparse.get_sparse_service()
    bound = getattr(service, method)
    restored = pickle.loads(pickle.dumps(bound, protocol))
    assert restored.__func__ is bound.__func__
    assert vars(restored.__self__) == vars(service)
    argument = "loadUserProfile(user_id)" if method == "embed_single" else ["loadUserProfile", "user id"]
    assert restored(argument) == bound(argument)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_service_copies_embed_alike(sparse, copier):
    service = sparse.get_sparse_service()
    copied = copier(service)
    assert copied is not service and vars(copied) == vars(service)
    assert copied.embed_single("parseHttpHeader") == service.embed_single("parseHttpHeader")


def test_fresh_interpreter_resolves_pickled_functions_and_services(sparse, tmp_path):
    # By reference means by import: a new process finds the same functions
    # under their names, and the service keeps the profile it was sent with.
    service = sparse.SparseEmbeddingService()
    payload = {
        "functions": [resolve(*spec) for spec in FUNCTIONS],
        "bound": service.embed_single,
        "record": sparse.SparseResult([1], [2.0], True, 3, 1),
        "expected": service.embed_single("parseHttpHeader(rawBytes)"),
    }
    (tmp_path / "payload.pickle").write_bytes(pickle.dumps(payload))
    out = run_python(
        f"""
        import importlib
        import pickle

        payload = pickle.loads(open("payload.pickle", "rb").read())
        for f in payload["functions"]:
            owner = importlib.import_module(f.__module__)
            for part in f.__qualname__.split("."):
                owner = getattr(owner, part)
            assert owner is f, f
        assert payload["bound"]("parseHttpHeader(rawBytes)") == payload["expected"]
        assert payload["bound"].__self__._profile_json == {service._profile_json!r}
        print(payload["record"])
        """,
        tmp_path,
    )
    assert out == "SparseResult(indices=[1], values=[2.0], truncated=True, original_chars=3, used_chars=1)\n"
