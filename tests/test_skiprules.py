"""The scan configuration builder."""

import json
import sys
import types
from pathlib import Path, PurePosixPath

import pytest

from conftest import ScriptedSettings

KEYS = [
    "repo_root",
    "builtin_patterns",
    "extra_patterns",
    "ignore_mode",
    "use_gitignore",
    "use_vorpalineignore",
    "replace_builtin_patterns",
]
CHECK = ("ignore_builtin_replace", "builtin_ignore_replace=True")


def test_default_configuration(skiprules):
    config = skiprules.build_scan_config("/srv/repo")
    assert type(config) is dict and list(config) == KEYS
    assert json.dumps(config) == (
        '{"repo_root": "/srv/repo", "builtin_patterns": [".git", "node_modules", "*.pyc"], '
        '"extra_patterns": [], "ignore_mode": "git+vorpaline", "use_gitignore": true, '
        '"use_vorpalineignore": true, "replace_builtin_patterns": false}'
    )


class Text(str):
    pass


class Named:
    def __str__(self):
        return "named/repo"


@pytest.mark.parametrize(
    "repo_path, root",
    [
        ("/srv/repo", "/srv/repo"),
        (Path("/srv/repo"), "/srv/repo"),
        (Path("rel/dir"), "rel/dir"),
        (PurePosixPath("a//b/"), "a/b"),
        ("rel/../x", "rel/../x"),
        (Text("/t"), "/t"),
        (Named(), "named/repo"),
        (42, "42"),
        (None, "None"),
    ],
)
def test_repo_root_is_the_path_text(skiprules, repo_path, root):
    value = skiprules.build_scan_config(repo_path)["repo_root"]
    assert type(value) is str and value == root
    if type(repo_path) is str:
        assert value is repo_path


class Mode:
    """An ignore mode whose comparison answers with a non-bool."""

    def __eq__(self, other):
        return "compared with " + other

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "mode, use_gitignore",
    [
        ("git+vorpaline", True),
        ("vorpaline", False),
        ("GIT+VORPALINE", False),
        ("git+vorpaline ", False),
        ("", False),
        (None, False),
        (Mode(), "compared with git+vorpaline"),
    ],
)
def test_ignore_mode(skiprules, monkeypatch, mode, use_gitignore):
    monkeypatch.setattr(skiprules.settings, "ignore_mode", mode)
    config = skiprules.build_scan_config("/r")
    assert config["ignore_mode"] is mode
    assert config["use_gitignore"] == use_gitignore
    assert type(config["use_gitignore"]) is type(use_gitignore)
    assert config["use_vorpalineignore"] is True


def test_pattern_lists_are_fresh_copies(skiprules):
    settings = skiprules.settings
    first, second = skiprules.build_scan_config("/r"), skiprules.build_scan_config("/r")
    assert first is not second and first == second
    for key, setting in (("builtin_patterns", "builtin_ignore_patterns"), ("extra_patterns", "extra_ignore_patterns")):
        own = getattr(settings, setting)
        assert type(first[key]) is list and first[key] == own
        assert first[key] is not own and first[key] is not second[key]
        assert all(a is b for a, b in zip(first[key], own))
    first["builtin_patterns"].append("added")
    first["extra_patterns"].append("added")
    assert "added" not in settings.builtin_ignore_patterns + settings.extra_ignore_patterns


@pytest.mark.parametrize(
    "patterns, expected",
    [
        (("a", "b"), ["a", "b"]),
        (iter(["x"]), ["x"]),
        ({"k": 1}, ["k"]),
        ("ab", ["a", "b"]),
        ([], []),
    ],
)
def test_patterns_may_be_any_iterable(skiprules, monkeypatch, patterns, expected):
    monkeypatch.setattr(skiprules.settings, "builtin_ignore_patterns", patterns)
    monkeypatch.setattr(skiprules.settings, "extra_ignore_patterns", patterns)
    config = skiprules.build_scan_config("/r")
    assert config["builtin_patterns"] == expected
    # an iterator is consumed by the first copy
    assert config["extra_patterns"] == ([] if isinstance(patterns, type(iter([]))) else expected)


@pytest.fixture
def capability_check(monkeypatch):
    """A stand-in vorpaline.enginecheck whose require_capability records its calls."""
    calls = []
    standin = types.ModuleType("vorpaline.enginecheck")
    standin.require_capability = lambda *args, **kwargs: calls.append((args, kwargs))
    monkeypatch.setitem(sys.modules, "vorpaline.enginecheck", standin)
    return calls


class BlockEnginecheck:
    def find_spec(self, name, path=None, target=None):
        if name == "vorpaline.enginecheck":
            raise ImportError("capability checks are off in this test")


@pytest.mark.parametrize("flag", [False, 0, "", None, []])
def test_false_flag_skips_the_capability_check(skiprules, monkeypatch, flag):
    monkeypatch.delitem(sys.modules, "vorpaline.enginecheck", raising=False)
    monkeypatch.setattr(sys, "meta_path", [BlockEnginecheck()] + sys.meta_path)
    monkeypatch.setattr(skiprules.settings, "builtin_ignore_replace", flag)
    config = skiprules.build_scan_config("/r")
    assert config["replace_builtin_patterns"] is flag
    assert "vorpaline.enginecheck" not in sys.modules


@pytest.mark.parametrize("flag", [True, 1, "yes", [0]])
def test_true_flag_demands_the_capability_first(skiprules, monkeypatch, capability_check, flag):
    monkeypatch.setattr(skiprules.settings, "builtin_ignore_replace", flag)
    config = skiprules.build_scan_config("/r")
    assert capability_check == [(CHECK, {})]
    assert config["replace_builtin_patterns"] is flag


def test_settings_are_read_in_order_at_each_call(skiprules, monkeypatch, capability_check):
    scripted = ScriptedSettings()
    monkeypatch.setattr(skiprules, "settings", scripted)
    reads = [
        "builtin_ignore_replace",
        "builtin_ignore_patterns",
        "extra_ignore_patterns",
        "ignore_mode",
        "ignore_mode",
        "builtin_ignore_replace",
    ]
    skiprules.build_scan_config("/r")
    scripted.values["builtin_ignore_replace"] = True
    scripted.values["ignore_mode"] = "plain"
    config = skiprules.build_scan_config("/r")
    assert scripted.reads == reads + reads
    assert capability_check == [(CHECK, {})]
    assert (config["ignore_mode"], config["use_gitignore"], config["replace_builtin_patterns"]) == ("plain", False, True)


@pytest.mark.parametrize(
    "handshake, offered",
    [
        ('{"capabilities": ["ignore_builtin_replace", "sparse_embed"]}', True),
        ('{"capabilities": ["sparse_embed", "IGNORE_BUILTIN_REPLACE"]}', False),
        ('{"capabilities": ["builtin_ignore_replace"]}', False),
        ("{}", False),
        (None, False),
    ],
)
def test_replacement_with_the_real_capability_check(
    skiprules, enginecheck, install_core, monkeypatch, handshake, offered
):
    if handshake is None:
        monkeypatch.setitem(sys.modules, "vorpaline_core_py", None)
    else:
        install_core(handshake=handshake)
    monkeypatch.setattr(skiprules.settings, "builtin_ignore_replace", True)
    if offered:
        assert skiprules.build_scan_config("/r")["replace_builtin_patterns"] is True
        return
    with pytest.raises(RuntimeError) as excinfo:
        skiprules.build_scan_config("/r")
    message = str(excinfo.value)
    assert message.startswith(
        "Rust core capability 'ignore_builtin_replace' required for builtin_ignore_replace=True "
        "but not found. Available: "
    )
    assert message.endswith(". Rebuild the Rust extension: maturin develop --release")
