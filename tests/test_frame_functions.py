"""Function objects of the extension modules: what introspection sees, which
attributes can be assigned, how arguments bind and which types are refused."""

import copy
import decimal
import inspect
import pickle
import warnings

import pytest

from conftest import entry, module_entries

BUILD_SCAN_CONFIG_DOC = (
    "Build a scan config dict for the Rust ignore matcher.\n"
    "\n"
    "    Args:\n"
    "        repo_path: Absolute path to the repository root.\n"
    "\n"
    "    Returns:\n"
    "        Dict ready for JSON serialization and passing to Rust scan APIs.\n"
    "\n"
    "    Raises:\n"
    "        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust\n"
    "            extension lacks the ``IgnoreBuiltinReplace`` capability.\n"
    "    "
)

# module, qualified name, first line, signature, docstring
FUNCTIONS = [
    ("sparse", "SparseEmbeddingService.__init__", 39, "(self) -> 'None'", None),
    (
        "sparse",
        "SparseEmbeddingService.profile_version",
        51,
        "(self) -> 'str'",
        "Return the profile version string for cache tagging.",
    ),
    (
        "sparse",
        "SparseEmbeddingService.embed_single",
        56,
        "(self, text: 'str') -> 'SparseResult'",
        "Embed a single text into a sparse vector.",
    ),
    (
        "sparse",
        "SparseEmbeddingService.embed_batch",
        68,
        "(self, texts: 'list[str]') -> 'list[SparseResult]'",
        "Embed a batch of texts into sparse vectors.",
    ),
    (
        "sparse",
        "SparseEmbeddingService.embed_batch_list",
        86,
        "(self, texts: 'list[str]', batch_size: 'int | None' = None) -> 'list[SparseResult]'",
        "Embed a batch of texts and return as a list (batch_size ignored).",
    ),
    (
        "sparse",
        "get_sparse_service",
        97,
        "() -> 'SparseEmbeddingService'",
        "Get or create the sparse embedding service singleton.",
    ),
    (
        "sparse",
        "reset_sparse_service",
        105,
        "() -> 'None'",
        "Reset the sparse service singleton (for testing).",
    ),
    ("enginecheck", "_load_capabilities", 16, "() -> 'set[str]'", None),
    (
        "enginecheck",
        "require_capability",
        30,
        "(name: 'str', context: 'str') -> 'None'",
        "Raise RuntimeError if the named capability is not available.",
    ),
    (
        "skiprules",
        "build_scan_config",
        14,
        "(repo_path: 'Path') -> 'dict[str, object]'",
        BUILD_SCAN_CONFIG_DOC,
    ),
]


def resolve(module, qualname):
    """The function object behind a qualified name; a property yields its getter."""
    obj = module
    for part in qualname.split("."):
        obj = vars(obj)[part]
    return obj.fget if isinstance(obj, property) else obj


@pytest.fixture
def modules(sparse, enginecheck, skiprules):
    return {"sparse": sparse, "enginecheck": enginecheck, "skiprules": skiprules}


@pytest.mark.parametrize(
    "module_name, qualname, first_line, signature, doc",
    FUNCTIONS,
    ids=[row[1] for row in FUNCTIONS],
)
def test_function_object_introspection(modules, module_name, qualname, first_line, signature, doc):
    module = modules[module_name]
    func = resolve(module, qualname)
    short_name = qualname.rsplit(".", 1)[-1]
    params = list(inspect.signature(func).parameters)

    assert str(inspect.signature(func)) == signature
    assert (func.__name__, func.__qualname__, func.__module__) == (
        short_name,
        qualname,
        "vorpaline." + module_name,
    )
    assert func.__doc__ == doc
    assert func.__globals__ is vars(module)
    assert func.__closure__ is None
    assert func.__kwdefaults__ is None
    assert func.__defaults__ == ((None,) if short_name == "embed_batch_list" else None)
    # every parameter but self is annotated
    assert list(func.__annotations__) == [p for p in params if p != "self"] + ["return"]
    assert all(type(text) is str for text in func.__annotations__.values())

    code = func.__code__
    assert code.co_argcount == len(params)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_varnames[: len(params)] == tuple(params)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_firstlineno == first_line
    assert code.co_filename == "src/vorpaline/" + module_name
    assert code.co_name == code.co_qualname == short_name


def test_methods_bind_to_instances_like_python_functions(sparse, service):
    cls = sparse.SparseEmbeddingService
    method = service.embed_single
    assert method.__self__ is service
    assert method.__func__ is vars(cls)["embed_single"]
    assert cls.embed_single is vars(cls)["embed_single"]
    # Through the class, the instance is an ordinary first argument.
    assert cls.embed_single(service, "ab") == service.embed_single("ab")
    assert cls.embed_single(self=service, text="ab") == service.embed_single(text="ab")
    assert cls.embed_batch_list(service, texts=["ab"], batch_size=4) == service.embed_batch(["ab"])


@pytest.mark.parametrize("qualname", [row[1] for row in FUNCTIONS if "profile" not in row[1]])
def test_functions_copy_and_pickle_by_reference(modules, qualname):
    module_name = next(row[0] for row in FUNCTIONS if row[1] == qualname)
    func = resolve(modules[module_name], qualname)
    assert copy.copy(func) is func and copy.deepcopy(func) is func
    assert pickle.loads(pickle.dumps(func)) is func


# ---------------------------------------------------------------- assignable attributes


@pytest.mark.parametrize(
    "attribute, message",
    [
        ("__name__", "__name__ must be set to a string object"),
        ("__qualname__", "__qualname__ must be set to a string object"),
        ("__defaults__", "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", "__annotations__ must be set to a dict object"),
    ],
)
def test_attribute_assignment_of_wrong_type_is_refused(sparse, attribute, message):
    func = sparse.get_sparse_service
    before = getattr(func, attribute)
    with pytest.raises(TypeError, match=f"^{message}$"):
        setattr(func, attribute, 7)
    assert getattr(func, attribute) == before


@pytest.mark.parametrize("attribute", ["__globals__", "__closure__", "__code__"])
def test_read_only_attributes(sparse, attribute):
    func = sparse.get_sparse_service
    with pytest.raises(AttributeError):
        setattr(func, attribute, getattr(func, attribute))


def test_writable_attributes_read_back(sparse, monkeypatch):
    func = sparse.SparseEmbeddingService.embed_single
    monkeypatch.setattr(func, "__name__", "renamed")
    monkeypatch.setattr(func, "__qualname__", "Other.renamed")
    monkeypatch.setattr(func, "tag", 5, raising=False)
    monkeypatch.delattr(func, "__doc__")
    assert (func.__name__, func.__qualname__, func.tag, func.__doc__) == (
        "renamed",
        "Other.renamed",
        5,
        None,
    )
    assert func.__dict__ == {"tag": 5}

    monkeypatch.setattr(func, "__annotations__", {"text": "bytes"})
    assert func.__annotations__ == {"text": "bytes"}
    func.__annotations__ = None
    assert func.__annotations__ == {}


def test_assigned_defaults_warn_and_calls_keep_the_original_ones(service):
    func = type(service).embed_batch_list
    try:
        with pytest.warns(RuntimeWarning):
            func.__defaults__ = ("not an int",)
        with pytest.warns(RuntimeWarning):
            func.__kwdefaults__ = {"batch_size": "x"}
        # A default of "not an int" would be refused as batch_size if it were used.
        assert service.embed_batch_list(["ab"]) == service.embed_batch(["ab"])
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            func.__defaults__ = (None,)
            func.__kwdefaults__ = None


# ---------------------------------------------------------------- argument binding

SPARSE = "sparse"
SVC = "SparseEmbeddingService"

# target, args, kwargs, message, traceback entry (module, function, line) or None
BINDING_ERRORS = [
    ("svc.embed_single", (), {}, "embed_single() takes exactly 2 positional arguments (1 given)", (SPARSE, f"{SVC}.embed_single", 56)),
    ("svc.embed_single", ("a", "b"), {}, "embed_single() takes exactly 2 positional arguments (3 given)", (SPARSE, f"{SVC}.embed_single", 56)),
    ("svc.embed_single", ("a",), {"text": "b"}, "embed_single() got multiple values for keyword argument 'text'", (SPARSE, f"{SVC}.embed_single", 56)),
    ("svc.embed_single", (), {"texts": "a"}, "embed_single() got an unexpected keyword argument 'texts'", (SPARSE, f"{SVC}.embed_single", 56)),
    ("cls.embed_single", (), {"text": "a"}, "embed_single() takes exactly 2 positional arguments (0 given)", (SPARSE, f"{SVC}.embed_single", 56)),
    ("svc.embed_batch", (), {"text": ["a"]}, "embed_batch() got an unexpected keyword argument 'text'", (SPARSE, f"{SVC}.embed_batch", 68)),
    ("svc.embed_batch_list", (), {}, "embed_batch_list() takes at least 2 positional arguments (1 given)", (SPARSE, f"{SVC}.embed_batch_list", 86)),
    ("svc.embed_batch_list", ([], 1, 2), {}, "embed_batch_list() takes at most 3 positional arguments (4 given)", (SPARSE, f"{SVC}.embed_batch_list", 86)),
    ("svc.embed_batch_list", ([], 1, 2), {"x": 1}, "embed_batch_list() takes at most 3 positional arguments (4 given)", (SPARSE, f"{SVC}.embed_batch_list", 86)),
    ("svc.embed_batch_list", (), {"batch_size": 1}, "embed_batch_list() takes at least 2 positional arguments (1 given)", (SPARSE, f"{SVC}.embed_batch_list", 86)),
    ("svc.embed_batch_list", ([], 1), {"batch_size": 2}, "embed_batch_list() got multiple values for keyword argument 'batch_size'", (SPARSE, f"{SVC}.embed_batch_list", 86)),
    ("svc.embed_batch_list", ([],), {"self": 2}, "embed_batch_list() got multiple values for keyword argument 'self'", (SPARSE, f"{SVC}.embed_batch_list", 86)),
    ("cls.embed_batch_list", (), {"texts": []}, "embed_batch_list() takes at least 2 positional arguments (0 given)", (SPARSE, f"{SVC}.embed_batch_list", 86)),
    ("cls", (1,), {}, "__init__() takes exactly 1 positional argument (2 given)", (SPARSE, f"{SVC}.__init__", 39)),
    ("cls", (), {"x": 1}, "__init__() got an unexpected keyword argument 'x'", (SPARSE, f"{SVC}.__init__", 39)),
    ("sparse.get_sparse_service", (1,), {}, "get_sparse_service() takes no arguments (1 given)", None),
    ("sparse.get_sparse_service", (), {"x": 1}, "get_sparse_service() takes no keyword arguments", None),
    ("sparse.get_sparse_service", (1,), {"x": 1}, "get_sparse_service() takes no keyword arguments", None),
    ("sparse.reset_sparse_service", (1, 2), {}, "reset_sparse_service() takes no arguments (2 given)", None),
    ("enginecheck._load_capabilities", (None,), {}, "_load_capabilities() takes no arguments (1 given)", None),
    ("enginecheck.require_capability", ("a",), {}, "require_capability() takes exactly 2 positional arguments (1 given)", ("enginecheck", "require_capability", 30)),
    ("enginecheck.require_capability", (), {"context": "c"}, "require_capability() takes exactly 2 positional arguments (0 given)", ("enginecheck", "require_capability", 30)),
    ("enginecheck.require_capability", (), {"name": "a", "ctx": "c"}, "require_capability() got an unexpected keyword argument 'ctx'", ("enginecheck", "require_capability", 30)),
    ("enginecheck.require_capability", ("a",), {"name": "b"}, "require_capability() got multiple values for keyword argument 'name'", ("enginecheck", "require_capability", 30)),
    ("skiprules.build_scan_config", (), {}, "build_scan_config() takes exactly 1 positional argument (0 given)", ("skiprules", "build_scan_config", 14)),
    ("skiprules.build_scan_config", ("a", "b"), {}, "build_scan_config() takes exactly 1 positional argument (2 given)", ("skiprules", "build_scan_config", 14)),
    ("skiprules.build_scan_config", (), {"path": "a"}, "build_scan_config() got an unexpected keyword argument 'path'", ("skiprules", "build_scan_config", 14)),
]


@pytest.fixture
def targets(sparse, service, enginecheck, skiprules, install_core):
    core = install_core()
    roots = {
        "svc": service,
        "cls": sparse.SparseEmbeddingService,
        "sparse": sparse,
        "enginecheck": enginecheck,
        "skiprules": skiprules,
    }

    def lookup(path):
        root, *rest = path.split(".")
        obj = roots[root]
        for name in rest:
            obj = getattr(obj, name)
        return obj

    lookup.core = core
    lookup.sparse_core = sparse.vorpaline_core_py
    return lookup


@pytest.mark.parametrize(
    "target, args, kwargs, message, expected_entry",
    BINDING_ERRORS,
    ids=[f"{row[0]}-{row[3]}" for row in BINDING_ERRORS],
)
def test_binding_errors(targets, enginecheck, target, args, kwargs, message, expected_entry):
    with pytest.raises(TypeError) as excinfo:
        targets(target)(*args, **kwargs)
    assert str(excinfo.value) == message
    assert module_entries(excinfo) == ([entry(*expected_entry)] if expected_entry else [])
    # Nothing ran: no core call, no capability load.
    assert targets.core.calls == [] and targets.sparse_core.calls == []
    assert enginecheck._cached_capabilities is None


@pytest.mark.parametrize(
    "target",
    ["svc.embed_single", "sparse.get_sparse_service", "enginecheck.require_capability"],
)
def test_keyword_dict_with_non_str_key_is_refused(targets, target):
    with pytest.raises(TypeError, match="keywords must be strings"):
        targets(target)(**{1: "a"})


# Literal keywords reach the function through vectorcall with keyword names; a
# ** dict goes through the generic call path. Both must bind alike.
KEYWORD_CALLS = {
    "embed_single": lambda t: t("svc.embed_single")(text="ab"),
    "embed_single-dict": lambda t: t("svc.embed_single")(**{"text": "ab"}),
    "embed_single-unshared-name": lambda t: t("svc.embed_single")(**{"".join(["te", "xt"]): "ab"}),
    "embed_single-class": lambda t: t("cls.embed_single")(self=t("svc"), text="ab"),
    "embed_batch_list": lambda t: t("svc.embed_batch_list")(batch_size=3, texts=["ab"]),
    "require_capability": lambda t: t("enginecheck.require_capability")(
        context="c", name="sparse_embed"
    ),
    "build_scan_config": lambda t: t("skiprules.build_scan_config")(repo_path="/r"),
    "no-parameters-empty-dict": lambda t: t("sparse.get_sparse_service")(**{}),
}


@pytest.mark.parametrize("call", KEYWORD_CALLS.values(), ids=KEYWORD_CALLS.keys())
def test_keyword_calls_bind(targets, call):
    call(targets)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t("svc.embed_single")("a", text="b"), "embed_single() got multiple values for keyword argument 'text'"),
        (lambda t: t("svc.embed_single")(texts="a"), "embed_single() got an unexpected keyword argument 'texts'"),
        (lambda t: t("svc.embed_batch_list")(batch_size=1), "embed_batch_list() takes at least 2 positional arguments (1 given)"),
        (lambda t: t("sparse.get_sparse_service")(x=1), "get_sparse_service() takes no keyword arguments"),
    ],
)
def test_binding_errors_with_literal_keywords(targets, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(targets)
    assert str(excinfo.value) == message


# ---------------------------------------------------------------- argument types


class Text(str):
    pass


class Texts(list):
    pass


NOTE = ". Subclasses of built-in types are not accepted for annotated arguments."


def incorrect(name, expected, got, note=""):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got}){note}"


# target, args, message (these refusals leave no traceback entry)
EXACT_TYPE_ERRORS = [
    ("svc.embed_single", (None,), incorrect("text", "str", "NoneType")),
    ("svc.embed_single", (b"ab",), incorrect("text", "str", "bytes")),
    ("svc.embed_single", (Text("ab"),), incorrect("text", "str", "Text", NOTE)),
    ("svc.embed_batch", (("a",),), incorrect("texts", "list", "tuple")),
    ("svc.embed_batch", (None,), incorrect("texts", "list", "NoneType")),
    ("svc.embed_batch", (Texts(["a"]),), incorrect("texts", "list", "Texts", NOTE)),
    ("svc.embed_batch_list", (("a",), 5), incorrect("texts", "list", "tuple")),
    ("enginecheck.require_capability", (None, "c"), incorrect("name", "str", "NoneType")),
    ("enginecheck.require_capability", ("n", 5), incorrect("context", "str", "int")),
    ("enginecheck.require_capability", (Text("n"), "c"), incorrect("name", "str", "Text", NOTE)),
    ("enginecheck.require_capability", (1, 2), incorrect("name", "str", "int")),
]


@pytest.mark.parametrize(
    "target, args, message", EXACT_TYPE_ERRORS, ids=[row[2] for row in EXACT_TYPE_ERRORS]
)
def test_annotated_arguments_must_be_exactly_their_type(targets, enginecheck, target, args, message):
    with pytest.raises(TypeError) as excinfo:
        targets(target)(*args)
    assert str(excinfo.value) == message
    assert module_entries(excinfo) == []
    assert targets.core.calls == [] and targets.sparse_core.calls == []
    assert enginecheck._cached_capabilities is None


class Countable:
    """Supports the number protocol through __index__ and counts conversions."""

    def __init__(self, value):
        self.value = value
        self.conversions = 0

    def __index__(self):
        self.conversions += 1
        return self.value


@pytest.mark.parametrize(
    "batch_size", [None, 0, 5, -3, 2.7, True, decimal.Decimal("2.9"), 10**30, Countable(4)]
)
def test_numeric_batch_size_is_accepted_and_ignored(service, core, batch_size):
    class Recording(type(service)):
        def embed_batch(self, *args, **kwargs):
            seen.append((args, kwargs))
            return super().embed_batch(*args)

    seen = []
    texts = ["ab", "cde"]
    recording = Recording()
    assert recording.embed_batch_list(texts, batch_size) == service.embed_batch(texts)
    assert seen == [((texts,), {})]  # batch_size goes no further, texts unchanged
    assert seen[0][0][0] is texts
    if isinstance(batch_size, Countable):
        assert batch_size.conversions == 1


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


BATCH_SIZE_ERRORS = [
    ("3", TypeError, incorrect("batch_size", "int", "str")),
    (b"3", TypeError, incorrect("batch_size", "int", "bytes")),
    ([2], TypeError, incorrect("batch_size", "int", "list")),
    (object(), TypeError, incorrect("batch_size", "int", "object")),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (1j, TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
    (BadIndex(), ZeroDivisionError, "no index"),
]


@pytest.mark.parametrize("texts", [["a"], ("not", "a", "list")])
@pytest.mark.parametrize("batch_size, error, message", BATCH_SIZE_ERRORS)
def test_batch_size_is_settled_first(service, core, texts, batch_size, error, message):
    with pytest.raises(error) as excinfo:
        service.embed_batch_list(texts, batch_size)
    assert str(excinfo.value) == message
    assert module_entries(excinfo) == [entry("sparse", f"{SVC}.embed_batch_list", 87)]
    assert core.calls == []
