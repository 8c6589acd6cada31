"""Capability cache and check, against fake cores registered as the importable
vorpaline_core_py."""

import logging
import sys

import pytest

from conftest import Boom

REBUILD = ". Rebuild the Rust extension: maturin develop --release"


def missing_message(name, context, listed):
    return f"Rust core capability '{name}' required for {context} but not found. Available: {listed}{REBUILD}"


def test_handshake_runs_once_and_the_cache_is_shared(enginecheck, install_core):
    core = install_core(handshake='{"capabilities": ["a", "b"], "version": "1.2"}')
    caps = enginecheck._load_capabilities()
    assert type(caps) is set and caps == {"a", "b"}
    assert enginecheck._load_capabilities() is caps
    assert enginecheck._cached_capabilities is caps
    assert enginecheck.require_capability("a", "x") is None
    assert enginecheck.require_capability(context="x", name="b") is None
    assert core.names() == ["handshake"]
    # Callers get the cache itself, not a copy.
    caps.add("c")
    assert enginecheck.require_capability("c", "x") is None


@pytest.mark.parametrize(
    "reply, expected",
    [
        ('{"capabilities": ["a", "b"]}', {"a", "b"}),
        ('{"capabilities": ["a", "a"]}', {"a"}),
        ('{"capabilities": []}', set()),
        ("{}", set()),
        ('{"version": "2", "caps": ["a"]}', set()),
        ('{"capabilities": "ab"}', {"a", "b"}),
        ('{"capabilities": {"x": 1}}', {"x"}),
        ('{"capabilities": [1, "a", null]}', {1, "a", None}),
    ],
)
def test_capability_set_from_the_handshake(enginecheck, install_core, reply, expected):
    install_core(handshake=reply)
    caps = enginecheck._load_capabilities()
    assert type(caps) is set and caps == expected


@pytest.mark.parametrize(
    "caps, listed",
    [
        ({"b", "a", "B"}, "['B', 'a', 'b']"),
        (set(), "[]"),
        ({"it's"}, '["it\'s"]'),
        ({"é", "z", "Z"}, "['Z', 'z', 'é']"),
        ({"ignore_builtin_replace"}, "['ignore_builtin_replace']"),
    ],
)
@pytest.mark.parametrize(
    "name, context",
    [
        ("IGNORE_BUILTIN_REPLACE", "builtin_ignore_replace=True"),
        ("%s{0}", "100% {context}"),
        ("", ""),
    ],
)
def test_missing_capability_message(enginecheck, monkeypatch, caps, listed, name, context):
    monkeypatch.setattr(enginecheck, "_cached_capabilities", set(caps))
    with pytest.raises(RuntimeError) as excinfo:
        enginecheck.require_capability(name, context)
    assert excinfo.value.args == (missing_message(name, context, listed),)


def test_check_goes_through_the_module_loader(enginecheck, install_core, monkeypatch):
    core = install_core()
    monkeypatch.setattr(enginecheck, "_load_capabilities", lambda: ["listed"])
    assert enginecheck.require_capability("listed", "c") is None
    with pytest.raises(RuntimeError, match=r"Available: \['listed'\]\."):
        enginecheck.require_capability("other", "c")
    assert core.calls == []


class BlockCore:
    def find_spec(self, name, path=None, target=None):
        if name == "vorpaline_core_py":
            raise ImportError("no core here")


def core_marked_missing(install_core, monkeypatch):
    monkeypatch.setitem(sys.modules, "vorpaline_core_py", None)


def core_not_found(install_core, monkeypatch):
    monkeypatch.delitem(sys.modules, "vorpaline_core_py", raising=False)
    monkeypatch.setattr(sys, "meta_path", [BlockCore()] + sys.meta_path)


def handshake_raising(error):
    return lambda install_core, monkeypatch: install_core(handshake=error)


@pytest.mark.parametrize(
    "make_unavailable",
    [
        core_marked_missing,
        core_not_found,
        handshake_raising(ImportError("symbol missing")),
        handshake_raising(ModuleNotFoundError("helper missing")),
    ],
    ids=["none-in-sys-modules", "not-found", "handshake-import-error", "handshake-module-not-found"],
)
def test_unavailable_core_gives_a_lasting_empty_set(
    enginecheck, install_core, monkeypatch, caplog, make_unavailable
):
    caplog.set_level(logging.DEBUG)
    make_unavailable(install_core, monkeypatch)
    caps = enginecheck._load_capabilities()
    assert type(caps) is set and caps == set()
    # Once empty, it stays empty even when a core shows up.
    core = install_core()
    assert enginecheck._load_capabilities() is caps
    with pytest.raises(RuntimeError) as excinfo:
        enginecheck.require_capability("sparse_embed", "ctx")
    assert str(excinfo.value) == missing_message("sparse_embed", "ctx", "[]")
    assert core.calls == []
    assert caplog.records == []


def test_failed_load_is_tried_again(enginecheck, install_core, caplog):
    caplog.set_level(logging.DEBUG)
    raised = Boom("handshake failed")
    core = install_core(handshake=raised)
    for _ in range(2):
        with pytest.raises(Boom) as excinfo:
            enginecheck.require_capability("a", "b")
        assert excinfo.value is raised
        assert enginecheck._cached_capabilities is None
    core.handshake_reply = '{"capabilities": ["a"]}'
    assert enginecheck.require_capability("a", "b") is None
    assert core.names() == ["handshake"] * 3
    assert enginecheck._cached_capabilities == {"a"}
    assert caplog.records == []


def test_unorderable_capabilities_fail_only_the_missing_case(enginecheck, install_core):
    install_core(handshake='{"capabilities": ["a", 1]}')
    assert enginecheck.require_capability("a", "c") is None
    with pytest.raises(TypeError, match="not supported between instances"):
        enginecheck.require_capability("b", "c")


def test_outside_assignment_of_the_cache(enginecheck, install_core, monkeypatch):
    core = install_core(handshake='{"capabilities": ["fresh"]}')
    mine = {"mine"}
    monkeypatch.setattr(enginecheck, "_cached_capabilities", mine)
    assert enginecheck._load_capabilities() is mine
    assert core.calls == []
    enginecheck._cached_capabilities = None
    assert enginecheck._load_capabilities() == {"fresh"}
    assert core.names() == ["handshake"]


class Capabilities(set):
    pass


@pytest.mark.parametrize(
    "cache, type_name", [(frozenset({"a"}), "frozenset"), (Capabilities({"a"}), "Capabilities"), (["a"], "list")]
)
def test_cache_must_be_exactly_a_set(enginecheck, monkeypatch, cache, type_name):
    monkeypatch.setattr(enginecheck, "_cached_capabilities", cache)
    for call in (enginecheck._load_capabilities, lambda: enginecheck.require_capability("a", "c")):
        with pytest.raises(TypeError, match=f"^Expected set, got {type_name}$"):
            call()
    assert enginecheck._cached_capabilities is cache


def test_json_is_looked_up_at_each_load(enginecheck, install_core, monkeypatch):
    install_core(handshake="ignored")

    class Decoder:
        @staticmethod
        def loads(text):
            return {"capabilities": ["decoded " + text]}

    monkeypatch.setattr(enginecheck, "json", Decoder)
    assert enginecheck._load_capabilities() == {"decoded ignored"}


def test_import_does_not_touch_the_core(tmp_path):
    from conftest import run_python

    out = run_python(
        """
        import sys
        sys.modules["vorpaline_core_py"] = None
        import vorpaline.enginecheck as enginecheck
        print(enginecheck._cached_capabilities, enginecheck._load_capabilities())
        """,
        tmp_path,
    )
    assert out.split() == ["None", "set()"]
