"""The sparse embedding module: the result record, the service and the shared
instance, run against a fake core whose replies each test chooses."""

import builtins
import dataclasses
import gc
import json
import logging
import types
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import (
    DEFAULT_PROFILE_JSON,
    FakeCore,
    RecordingLogger,
    ScriptedSettings,
    embedding_for,
    entry,
    module_entries,
)

FIELDS = ("indices", "values", "truncated", "original_chars", "used_chars")
LOG_FORMAT = "Sparse embedding: using Rust backend (profile=%s)"
SERVICE_DOC = (
    "\n    Sparse embeddings via Rust vorpaline-core.\n"
    "\n    Uses deterministic tokenization and log-TF weighting. The Rust backend\n"
    "    releases the GIL during computation, so it's safe to call from async\n"
    "    executor contexts.\n    "
)


def field_values(record):
    return tuple(getattr(record, name) for name in FIELDS)


class Text(str):
    pass


# ---------------------------------------------------------------- the result record


def test_record_class(sparse):
    cls = sparse.SparseResult
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("vorpaline.sparse", "SparseResult", "SparseResult")
    assert cls.__doc__ == "Sparse embedding result with plain Python lists."
    assert cls.__bases__ == (object,) and type(cls) is type
    assert list(vars(cls))[:6] == [
        "__module__", "__doc__", "__annotations__", "truncated", "original_chars", "used_chars",
    ]
    assert cls.__annotations__ == {
        "indices": "list[int]",
        "values": "list[float]",
        "truncated": "bool | None",
        "original_chars": "int | None",
        "used_chars": "int | None",
    }
    assert [(f.name, f.type) for f in dataclasses.fields(cls)] == list(cls.__annotations__.items())
    assert cls.__match_args__ == FIELDS
    params = cls.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.unsafe_hash, params.frozen) == (
        True, True, True, False, False, False,
    )
    assert cls.__hash__ is None and not hasattr(cls, "__slots__")


def test_record_defaults_and_repr(sparse):
    record = sparse.SparseResult([3, 7], [0.5, 1.25])
    assert field_values(record) == ([3, 7], [0.5, 1.25], None, None, None)
    assert repr(record) == (
        "SparseResult(indices=[3, 7], values=[0.5, 1.25], truncated=None, "
        "original_chars=None, used_chars=None)"
    )


@pytest.mark.parametrize(
    "other, equal",
    [
        (lambda R: R(indices=[1], values=[1.0], truncated=None), True),
        (lambda R: R([1], [1.0], None, None, None), True),
        (lambda R: R([1], [1.0], False), False),
        (lambda R: R([1], [1.0], used_chars=0), False),
        (lambda R: ([1], [1.0], None, None, None), False),
        (lambda R: {"indices": [1], "values": [1.0]}, False),
    ],
)
def test_record_equality(sparse, other, equal):
    record = sparse.SparseResult([1], [1.0])
    assert (record == other(sparse.SparseResult)) is equal


def test_record_is_plain_mutable_and_unchecked(sparse):
    record = sparse.SparseResult("ab", "cd", "yes", 1.5, [])
    assert field_values(record) == ("ab", "cd", "yes", 1.5, [])
    record.truncated = True
    assert record.truncated is True
    with pytest.raises(TypeError):
        hash(record)
    with pytest.raises(TypeError):
        record < record  # noqa: B015 - no ordering
    with pytest.raises(TypeError):
        sparse.SparseResult([1])
    match record:
        case sparse.SparseResult(indices, values, truncated):
            assert (indices, values, truncated) == ("ab", "cd", True)


# ---------------------------------------------------------------- the service class


def test_service_class(sparse):
    cls = sparse.SparseEmbeddingService
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (
        "vorpaline.sparse", "SparseEmbeddingService", "SparseEmbeddingService",
    )
    assert cls.__doc__ == SERVICE_DOC
    assert cls.__bases__ == (object,) and type(cls) is type
    own = [k for k in vars(cls) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == ["__init__", "profile_version", "embed_single", "embed_batch", "embed_batch_list"]
    prop = vars(cls)["profile_version"]
    assert type(prop) is property and prop.fset is None and prop.fdel is None
    assert prop.__doc__ == prop.fget.__doc__ == "Return the profile version string for cache tagging."
    assert not hasattr(cls, "__slots__")


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "changes, profile_json",
    [
        ({}, DEFAULT_PROFILE_JSON),
        (
            {"sparse_profile_version": "bm25-é", "sparse_max_text_chars": 10, "code_pretokenize": False},
            '{"version": "bm25-\\u00e9", "max_text_chars": 10, "code_pretokenize": false, "min_token_len": 2}',
        ),
        (
            {"sparse_profile_version": None, "sparse_max_text_chars": None, "code_pretokenize": None},
            '{"version": null, "max_text_chars": null, "code_pretokenize": null, "min_token_len": 2}',
        ),
        (
            {"sparse_profile_version": 7, "sparse_max_text_chars": [2.5], "code_pretokenize": "yes"},
            '{"version": 7, "max_text_chars": [2.5], "code_pretokenize": "yes", "min_token_len": 2}',
        ),
    ],
)
def test_profile_is_built_from_settings(sparse, monkeypatch, changes, profile_json):
    for name, value in changes.items():
        monkeypatch.setattr(sparse.settings, name, value)
    service = sparse.SparseEmbeddingService()
    assert service._profile_json == profile_json
    assert set(vars(service)) == {"_profile_json", "_profile_version"}


def test_construction_reads_settings_in_order(sparse, monkeypatch):
    scripted = ScriptedSettings()
    monkeypatch.setattr(sparse, "settings", scripted)
    sparse.SparseEmbeddingService()
    assert scripted.reads == [
        "sparse_profile_version", "sparse_max_text_chars", "code_pretokenize", "sparse_profile_version",
    ]


def test_construction_logs_one_info_record(sparse, caplog):
    caplog.set_level(logging.DEBUG, logger="vorpaline.sparse")
    sparse.SparseEmbeddingService()
    assert [(r.name, r.levelno, r.msg, r.args, r.getMessage()) for r in caplog.records] == [
        (
            "vorpaline.sparse",
            logging.INFO,
            LOG_FORMAT,
            ("bm25-v1",),
            "Sparse embedding: using Rust backend (profile=bm25-v1)",
        )
    ]


def test_construction_logs_through_the_module_logger(sparse, monkeypatch):
    recorder = RecordingLogger()
    monkeypatch.setattr(sparse, "logger", recorder)
    sparse.SparseEmbeddingService()
    assert recorder.calls == [((LOG_FORMAT, "bm25-v1"), {})]


@pytest.mark.parametrize(
    "name, value", [("sparse_max_text_chars", object()), ("code_pretokenize", {1, 2})]
)
def test_failed_construction_logs_nothing(sparse, monkeypatch, caplog, name, value):
    caplog.set_level(logging.DEBUG, logger="vorpaline.sparse")
    monkeypatch.setattr(sparse.settings, name, value)
    with pytest.raises(TypeError, match="is not JSON serializable"):
        sparse.SparseEmbeddingService()
    monkeypatch.delattr(sparse.settings, name)
    with pytest.raises(AttributeError):
        sparse.SparseEmbeddingService()
    assert caplog.records == []


# ---------------------------------------------------------------- profile_version


@pytest.mark.parametrize("version", ["bm25-v1", "", "é-2", None])
def test_profile_version_is_fixed_at_construction(sparse, monkeypatch, version):
    monkeypatch.setattr(sparse.settings, "sparse_profile_version", version)
    service = sparse.SparseEmbeddingService()
    monkeypatch.setattr(sparse.settings, "sparse_profile_version", 5)  # would be refused if read now
    assert service.profile_version is version
    assert json.loads(service._profile_json)["version"] == version
    monkeypatch.setattr(sparse.settings, "sparse_profile_version", "bm25-v2")
    assert sparse.SparseEmbeddingService().profile_version == "bm25-v2"
    assert service.profile_version is version


@pytest.mark.parametrize(
    "version, type_name", [(3, "int"), (2.5, "float"), (["v"], "list"), (Text("v1"), "Text")]
)
def test_profile_version_must_be_exactly_str(sparse, monkeypatch, version, type_name):
    monkeypatch.setattr(sparse.settings, "sparse_profile_version", version)
    service = sparse.SparseEmbeddingService()  # construction does not mind
    with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$"):
        service.profile_version


def test_profile_version_is_read_only(service):
    with pytest.raises(AttributeError):
        service.profile_version = "other"
    with pytest.raises(AttributeError):
        del service.profile_version
    assert service.profile_version == "bm25-v1"


# ---------------------------------------------------------------- embed_single


@pytest.mark.parametrize("text", ["helloWorld snake_case", "", "é" * 3, "x" * 10000])
def test_embed_single_passes_text_and_profile_to_the_core(service, core, text):
    result = service.embed_single(text)
    assert core.calls == [("sparse_embed_single", text, DEFAULT_PROFILE_JSON)]
    _, sent_text, sent_profile = core.calls[0]
    assert sent_text is text and sent_profile is service._profile_json
    assert field_values(result) == tuple(embedding_for(text).values())


# reply text, repr of the record's fields
REPLIES = [
    ('{"indices": [3, 7], "values": [0.5, 1.25]}', ([3, 7], [0.5, 1.25], None, None, None)),
    (
        '{"indices": [], "values": [], "truncated": true, "original_chars": 9, "used_chars": 4}',
        ([], [], True, 9, 4),
    ),
    # members in any order; extras ignored; values taken as decoded (2 stays an int)
    ('{"used_chars": 1, "values": [2], "extra": 0, "indices": [1], "truncated": null}', ([1], [2], None, None, 1)),
    ('{"indices": [1.5, "x"], "values": [true, null], "truncated": "no", "original_chars": 2.5}', ([1.5, "x"], [True, None], "no", 2.5, None)),
    # whatever they decode to, members of equal lengths are taken as they are
    ('{"indices": "ab", "values": [1.0, 2.0]}', ("ab", [1.0, 2.0], None, None, None)),
    ('{"indices": [1], "values": {"a": 1}}', ([1], {"a": 1}, None, None, None)),
    ('{"indices": null, "values": []}', (None, [], None, None, None)),
]


@pytest.mark.parametrize("reply, fields", REPLIES)
def test_embed_single_turns_the_reply_into_a_record(sparse, service, core, reply, fields):
    core.single = reply
    result = service.embed_single("t")
    assert type(result) is sparse.SparseResult
    assert repr(field_values(result)) == repr(fields)


class RecordingJson:
    """Stands in for the json module, keeping what loads decoded."""

    dumps = staticmethod(json.dumps)

    def __init__(self, wrap=None):
        self.decoded = []
        self.wrap = wrap

    def loads(self, text):
        value = json.loads(text)
        self.decoded.append(value)
        return value if self.wrap is None else self.wrap(value)


def test_records_keep_the_decoded_lists(sparse, service, core, monkeypatch):
    decoder = RecordingJson()
    monkeypatch.setattr(sparse, "json", decoder)
    single = service.embed_single("ab")
    batch = service.embed_batch(["a", "bc"])
    single_reply, batch_reply = decoder.decoded
    assert single.indices is single_reply["indices"] and single.values is single_reply["values"]
    for record, element in zip(batch, batch_reply["embeddings"], strict=True):
        assert record.indices is element["indices"] and record.values is element["values"]


class Reply:
    """A mapping-like reply that logs how it is read."""

    def __init__(self, members, log):
        self.members, self.log = members, log

    def __getitem__(self, key):
        self.log.append(("item", key))
        return self.members[key]

    def get(self, *args):
        self.log.append(("get",) + args)
        return self.members.get(*args)


def reply_reader(log):
    def wrap(value):
        if isinstance(value, dict):
            return Reply({k: wrap(v) for k, v in value.items()}, log)
        if isinstance(value, list):
            return [wrap(v) for v in value]
        return value

    return wrap


READS = [("item", "indices"), ("item", "values"), ("get", "truncated"), ("get", "original_chars"), ("get", "used_chars")]


def test_reply_is_read_by_subscription_then_get(sparse, service, core, monkeypatch):
    log = []
    monkeypatch.setattr(sparse, "json", RecordingJson(wrap=reply_reader(log)))
    service.embed_single("ab")
    assert log == READS

    log.clear()
    core.single = '{"indices": [1], "truncated": true}'
    with pytest.raises(KeyError):
        service.embed_single("ab")
    assert log == READS[:2]

    log.clear()
    service.embed_batch(["a", "b"])
    assert log == [("item", "embeddings")] + READS + READS


def test_core_and_record_class_are_looked_up_at_each_call(sparse, service, monkeypatch):
    first, second = FakeCore(), FakeCore()
    monkeypatch.setattr(sparse, "vorpaline_core_py", first)
    service.embed_single("a")
    monkeypatch.setattr(sparse, "vorpaline_core_py", second)
    service.embed_single("b")
    service.embed_batch(["c"])
    assert [c[:2] for c in first.calls] == [("sparse_embed_single", "a")]
    assert [c[:2] for c in second.calls] == [("sparse_embed_single", "b"), ("sparse_embed_batch", '["c"]')]

    monkeypatch.setattr(sparse, "SparseResult", lambda **fields: ("made", sorted(fields)))
    made = ("made", sorted(FIELDS))
    assert service.embed_single("a") == made  # the record is returned unchecked
    assert service.embed_batch(["a", "b"]) == [made, made]


def test_replaced_globals_are_not_kept_alive(sparse, service, monkeypatch):
    replaced = FakeCore()
    monkeypatch.setattr(sparse, "vorpaline_core_py", replaced)
    service.embed_single("a")
    gone = weakref.ref(replaced)
    sparse.vorpaline_core_py = FakeCore()  # restored by monkeypatch afterwards
    del replaced
    gc.collect()
    assert gone() is None


# ---------------------------------------------------------------- embed_batch


def test_embed_batch_is_one_core_call_with_a_json_array(sparse, service, core):
    texts = ["a", "bé", "", "a"]
    result = service.embed_batch(texts)
    assert core.calls == [("sparse_embed_batch", '["a", "b\\u00e9", "", "a"]', DEFAULT_PROFILE_JSON)]
    assert core.calls[0][2] is service._profile_json
    assert type(result) is list
    assert result == [sparse.SparseResult(**embedding_for(t)) for t in texts]
    assert texts == ["a", "bé", "", "a"]


def test_embed_batch_keeps_the_reply_order_and_ignores_extras(service, core):
    core.batch = json.dumps({"embeddings": [{"indices": [2], "values": [2.0]}, {"indices": [1], "values": [1.0], "x": 0}], "extra": 1})
    assert [r.indices for r in service.embed_batch(["first", "second"])] == [[2], [1]]


def test_embed_batch_does_not_check_the_elements(service, core):
    core.batch = lambda texts_json, profile: json.dumps(
        {"embeddings": [{"indices": [], "values": []}] * len(json.loads(texts_json))}
    )
    assert len(service.embed_batch([1, None, ["x"], "t"])) == 4
    assert core.calls[0][1] == '[1, null, ["x"], "t"]'


def test_large_batch_is_still_one_core_call(service, core):
    texts = [f"text {i}" for i in range(3000)]
    assert len(service.embed_batch_list(texts, 10)) == 3000
    assert core.names() == ["sparse_embed_batch"]


def test_empty_batch_touches_nothing(sparse, core, monkeypatch):
    blank = sparse.SparseEmbeddingService.__new__(sparse.SparseEmbeddingService)
    monkeypatch.setattr(sparse, "json", object())
    texts = []
    first, second = blank.embed_batch(texts), blank.embed_batch_list(texts)
    assert first == [] and second == []
    assert first is not texts and second is not texts and first is not second
    assert core.calls == []


@pytest.mark.parametrize(
    "embeddings",
    [
        lambda items: tuple(items),
        lambda items: iter(items),
        lambda items: (item for item in items),
    ],
    ids=["tuple", "iterator", "generator"],
)
def test_embeddings_may_be_any_iterable(sparse, service, core, monkeypatch, embeddings):
    def wrap(value):
        if "embeddings" in value:
            value["embeddings"] = embeddings(value["embeddings"])
        return value

    monkeypatch.setattr(sparse, "json", RecordingJson(wrap=wrap))
    assert service.embed_batch(["a", "bb"]) == [sparse.SparseResult(**embedding_for(t)) for t in ("a", "bb")]


# ---------------------------------------------------------------- embed_batch_list


def test_embed_batch_list_runs_the_instance_embed_batch(service, core):
    answer = ["from the instance"]
    service.embed_batch = lambda texts: answer
    assert service.embed_batch_list(["a"], 3) is answer
    assert core.calls == []


class Texts(list):
    pass


@pytest.mark.parametrize(
    "returned, message",
    [
        (lambda: ("a",), "Expected list, got tuple"),
        (lambda: Texts(), "Expected list, got Texts"),
        (lambda: {}, "Expected list, got dict"),
        (lambda: None, None),
        (lambda: [1, "x"], None),
    ],
)
def test_embed_batch_list_checks_what_it_returns(sparse, core, returned, message):
    value = returned()

    class Custom(sparse.SparseEmbeddingService):
        def embed_batch(self, texts):
            return value

    if message is None:
        assert Custom().embed_batch_list(["a"]) is value
        return
    with pytest.raises(TypeError) as excinfo:
        Custom().embed_batch_list(["a"])
    assert str(excinfo.value) == message
    assert module_entries(excinfo) == [entry("sparse", "SparseEmbeddingService.embed_batch_list", 90)]


# ---------------------------------------------------------------- the shared service


def test_shared_service_is_built_once_per_reset(sparse, core, caplog):
    caplog.set_level(logging.INFO, logger="vorpaline.sparse")
    first = sparse.get_sparse_service()
    assert sparse.get_sparse_service() is first is sparse._sparse_service
    assert type(first) is sparse.SparseEmbeddingService
    assert len(caplog.records) == 1

    assert sparse.reset_sparse_service() is None
    assert sparse._sparse_service is None
    second = sparse.get_sparse_service()
    assert second is not first and len(caplog.records) == 2
    assert first.embed_single("still usable") == second.embed_single("still usable")


def test_reset_before_any_request(sparse):
    assert sparse.reset_sparse_service() is None
    assert sparse.reset_sparse_service() is None
    assert sparse._sparse_service is None


def test_new_shared_service_takes_the_current_settings(sparse, monkeypatch):
    before = sparse.get_sparse_service()
    monkeypatch.setattr(sparse.settings, "sparse_profile_version", "bm25-v9")
    assert sparse.get_sparse_service() is before and before.profile_version == "bm25-v1"
    sparse.reset_sparse_service()
    assert sparse.get_sparse_service().profile_version == "bm25-v9"


def test_failed_construction_leaves_the_slot_empty(sparse, monkeypatch):
    monkeypatch.delattr(sparse.settings, "code_pretokenize")
    with pytest.raises(AttributeError):
        sparse.get_sparse_service()
    assert sparse._sparse_service is None
    monkeypatch.undo()
    assert type(sparse.get_sparse_service()) is sparse.SparseEmbeddingService


@pytest.mark.parametrize("stored", [42, 0, False, "", []])
def test_stored_object_is_returned_unchecked(sparse, monkeypatch, stored):
    monkeypatch.setattr(sparse, "_sparse_service", stored)
    assert sparse.get_sparse_service() is stored  # an identity test, not a truth test


def test_deleted_slot_falls_back_to_builtins_and_reset_recreates_it(sparse, monkeypatch):
    marker = object()
    monkeypatch.delattr(sparse, "_sparse_service")
    monkeypatch.setattr(builtins, "_sparse_service", marker, raising=False)
    assert sparse.get_sparse_service() is marker
    builtins._sparse_service = other = object()  # a change of builtins is seen too
    assert sparse.get_sparse_service() is other
    monkeypatch.delattr(builtins, "_sparse_service")
    sparse.reset_sparse_service()
    assert sparse._sparse_service is None
    assert type(sparse.get_sparse_service()) is sparse.SparseEmbeddingService


# ---------------------------------------------------------------- threads


def test_one_service_serves_many_threads(sparse, service, core):
    core.record = False

    def work(worker):
        for i in range(200):
            text = f"worker {worker} text {i}"
            if service.embed_single(text) != sparse.SparseResult(**embedding_for(text)):
                return False
            if len(service.embed_batch([text, text])) != 2:
                return False
        return True

    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(work, range(8)))


# ---------------------------------------------------------------- replies checked against what was sent


def appended_by_the_core(texts):
    """A core during whose work another thread appends to the list."""

    def embed(texts_json, profile):
        texts.append("late")
        return json.dumps({"embeddings": [embedding_for(t) for t in json.loads(texts_json)]})

    return embed


def dumps_that_appends(texts):
    def dumps(obj):
        text = json.dumps(obj)
        obj.append("late")
        return text

    return dumps


@pytest.mark.parametrize("where", ["core", "dumps"])
def test_embed_batch_counts_the_texts_it_sent(sparse, service, core, monkeypatch, where):
    texts = ["a", "b"]
    if where == "core":
        core.batch = appended_by_the_core(texts)
    else:
        monkeypatch.setattr(sparse, "json", types.SimpleNamespace(dumps=dumps_that_appends(texts), loads=json.loads))
    assert [r.indices for r in service.embed_batch(texts)] == [[1, 2], [1, 2]]
    assert texts == ["a", "b", "late"]


def test_embed_batch_refuses_a_short_reply_to_a_list_that_grew(service, core):
    texts = ["a", "b"]
    core.batch = lambda texts_json, profile: (texts.append("late"), json.dumps({"embeddings": [GOOD_EMBEDDING]}))[1]
    with pytest.raises(ValueError, match="^sparse_embed_batch returned 1 embeddings for 2 texts$"):
        service.embed_batch(texts)


GOOD_EMBEDDING = {"indices": [1, 2], "values": [0.5, 0.25]}


class ListSubclass(list):
    pass


class Sized:
    """A sequence of its own: a length and items, nothing else."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def decoder_giving(make):
    """A json stand-in whose loads turns every decoded array into make(items)."""

    def convert(value):
        if isinstance(value, list):
            return make([convert(v) for v in value])
        if isinstance(value, dict):
            return {k: convert(v) for k, v in value.items()}
        return value

    return types.SimpleNamespace(dumps=json.dumps, loads=lambda text: convert(json.loads(text)))


SEQUENCE_MAKERS = [tuple, ListSubclass, Sized]


@pytest.mark.parametrize("make", SEQUENCE_MAKERS, ids=["tuple", "list-subclass", "sized"])
def test_indices_and_values_of_any_sequence_must_pair_up(sparse, service, core, monkeypatch, make):
    monkeypatch.setattr(sparse, "json", decoder_giving(make))
    core.single = json.dumps({"indices": [1, 2, 3], "values": [0.5, 0.25]})
    with pytest.raises(ValueError, match="^sparse_embed_single returned 3 indices but 2 values$"):
        service.embed_single("x")
    core.batch = json.dumps({"embeddings": [GOOD_EMBEDDING, {"indices": [1], "values": []}]})
    with pytest.raises(ValueError, match="^sparse_embed_batch returned 1 indices but 0 values for text 1$"):
        service.embed_batch(["x", "y"])
    core.single = json.dumps(GOOD_EMBEDDING)
    record = service.embed_single("x")
    assert type(record.indices) is type(record.values) is type(make([]))


def test_a_failing_length_is_reported_as_it_is(sparse, service, core, monkeypatch):
    class Unsized(Sized):
        def __len__(self):
            raise LookupError("no length")

    monkeypatch.setattr(sparse, "json", decoder_giving(Unsized))
    with pytest.raises(LookupError, match="no length"):
        service.embed_single("x")
