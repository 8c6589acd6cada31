import json
import os
import subprocess
import sys

import pytest

from vorpaline import config
from vorpaline.config import Settings


def _clean_environ(**overrides: str) -> dict[str, str]:
    environ = {key: value for key, value in os.environ.items() if not key.startswith("VORPALINE_")}
    environ.update(overrides)
    return environ


def _import_in_subprocess(**overrides: str) -> subprocess.CompletedProcess:
    script = (
        "import json\n"
        "from vorpaline.config import FIELDS, settings\n"
        "print(json.dumps({field.name: getattr(settings, field.name) for field in FIELDS}))\n"
    )
    return subprocess.run([sys.executable, "-c", script], env=_clean_environ(**overrides),
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(("name", "default"), [
    ("sparse_profile_version", "bm25-v1"),
    ("sparse_max_text_chars", 200_000),
    ("code_pretokenize", True),
    ("builtin_ignore_replace", False),
    ("extra_ignore_patterns", []),
    ("ignore_mode", "git+vorpaline"),
])
def test_defaults_have_their_values_and_exact_types(name, default):
    value = getattr(Settings(), name)
    assert value == default
    assert type(value) is type(default)


def test_builtin_patterns_are_a_list_of_distinct_common_patterns():
    patterns = Settings().builtin_ignore_patterns
    assert type(patterns) is list
    assert 20 <= len(patterns) <= 40
    assert len(set(patterns)) == len(patterns)
    assert all(isinstance(pattern, str) and pattern.strip() == pattern != "" for pattern in patterns)
    assert {".git", "node_modules", "__pycache__", "*.pyc", ".venv", "dist", "build"} <= set(patterns)


def test_import_without_overrides_gives_the_defaults():
    done = _import_in_subprocess()
    assert done.returncode == 0, done.stderr
    expected = Settings()
    assert json.loads(done.stdout) == {field.name: getattr(expected, field.name) for field in config.FIELDS}


@pytest.mark.parametrize(("variable", "text", "name", "expected"), [
    ("VORPALINE_SPARSE_PROFILE_VERSION", " bm25-v2 ", "sparse_profile_version", "bm25-v2"),
    ("VORPALINE_SPARSE_MAX_TEXT_CHARS", "5000", "sparse_max_text_chars", 5000),
    ("VORPALINE_SPARSE_MAX_TEXT_CHARS", " 0 ", "sparse_max_text_chars", 0),
    ("VORPALINE_CODE_PRETOKENIZE", "FALSE", "code_pretokenize", False),
    ("VORPALINE_CODE_PRETOKENIZE", " no", "code_pretokenize", False),
    ("VORPALINE_CODE_PRETOKENIZE", "0", "code_pretokenize", False),
    ("VORPALINE_BUILTIN_IGNORE_REPLACE", "True", "builtin_ignore_replace", True),
    ("VORPALINE_BUILTIN_IGNORE_REPLACE", "YES", "builtin_ignore_replace", True),
    ("VORPALINE_BUILTIN_IGNORE_REPLACE", "1", "builtin_ignore_replace", True),
    ("VORPALINE_BUILTIN_IGNORE_PATTERNS", " .git , ,*.log,,", "builtin_ignore_patterns", [".git", "*.log"]),
    ("VORPALINE_BUILTIN_IGNORE_PATTERNS", "", "builtin_ignore_patterns", []),
    ("VORPALINE_EXTRA_IGNORE_PATTERNS", "vendor/", "extra_ignore_patterns", ["vendor/"]),
    ("VORPALINE_EXTRA_IGNORE_PATTERNS", " , ", "extra_ignore_patterns", []),
    ("VORPALINE_IGNORE_MODE", "vorpaline", "ignore_mode", "vorpaline"),
])
def test_environment_overrides_one_setting(variable, text, name, expected):
    overridden = Settings.from_environ({variable: text})
    value = getattr(overridden, name)
    assert value == expected and type(value) is type(expected)
    untouched = [field.name for field in config.FIELDS if field.name != name]
    assert all(getattr(overridden, other) == getattr(Settings(), other) for other in untouched)


def test_overrides_are_read_from_the_environment_at_import():
    done = _import_in_subprocess(
        VORPALINE_SPARSE_MAX_TEXT_CHARS="123",
        VORPALINE_CODE_PRETOKENIZE="no",
        VORPALINE_EXTRA_IGNORE_PATTERNS="a, b",
        VORPALINE_IGNORE_MODE="vorpaline",
        VORPALINE_NOT_A_SETTING="whatever",
    )
    assert done.returncode == 0, done.stderr
    values = json.loads(done.stdout)
    assert values["sparse_max_text_chars"] == 123
    assert values["code_pretokenize"] is False
    assert values["extra_ignore_patterns"] == ["a", "b"]
    assert values["ignore_mode"] == "vorpaline"
    assert values["sparse_profile_version"] == "bm25-v1"


MALFORMED = [
    ("VORPALINE_CODE_PRETOKENIZE", "maybe"),
    ("VORPALINE_CODE_PRETOKENIZE", ""),
    ("VORPALINE_BUILTIN_IGNORE_REPLACE", "2"),
    ("VORPALINE_SPARSE_MAX_TEXT_CHARS", "12k"),
    ("VORPALINE_SPARSE_MAX_TEXT_CHARS", "1.5"),
    ("VORPALINE_SPARSE_MAX_TEXT_CHARS", "-1"),
    ("VORPALINE_SPARSE_MAX_TEXT_CHARS", ""),
    ("VORPALINE_SPARSE_PROFILE_VERSION", "   "),
    ("VORPALINE_IGNORE_MODE", ""),
]


@pytest.mark.parametrize(("variable", "text"), MALFORMED)
def test_malformed_value_is_rejected_naming_variable_and_value(variable, text):
    with pytest.raises(ValueError) as caught:
        Settings.from_environ({variable: text})
    assert f"{variable}={text!r}" in str(caught.value)


@pytest.mark.parametrize(("variable", "text"), [MALFORMED[0], MALFORMED[3]])
def test_malformed_value_fails_the_import(variable, text):
    done = _import_in_subprocess(**{variable: text})
    assert done.returncode != 0
    last_line = done.stderr.strip().splitlines()[-1]
    assert last_line.startswith("ValueError: ") and f"{variable}={text!r}" in last_line


@pytest.mark.parametrize("make", [
    Settings,
    lambda: Settings.from_environ({}),
    lambda: Settings.from_environ({"VORPALINE_EXTRA_IGNORE_PATTERNS": "x", "VORPALINE_BUILTIN_IGNORE_PATTERNS": "y"}),
])
@pytest.mark.parametrize("name", ["builtin_ignore_patterns", "extra_ignore_patterns"])
def test_each_object_owns_its_lists(make, name):
    first, second = make(), make()
    assert getattr(first, name) is not getattr(second, name)
    before = list(getattr(second, name))
    getattr(first, name).append("mutated")
    assert getattr(second, name) == before
    assert "mutated" not in getattr(Settings(), name)


def test_a_list_given_to_the_constructor_is_copied():
    mine = ["a"]
    settings = Settings(extra_ignore_patterns=mine)
    mine.append("b")
    assert settings.extra_ignore_patterns == ["a"]


def test_attributes_are_assignable_but_misspelt_names_fail():
    settings = Settings()
    settings.sparse_max_text_chars = 10
    assert settings.sparse_max_text_chars == 10
    with pytest.raises(AttributeError):
        settings.sparse_max_txt_chars = 10
    with pytest.raises(TypeError, match="sparse_max_txt_chars"):
        Settings(sparse_max_txt_chars=10)


def test_repr_shows_every_value():
    text = repr(Settings(ignore_mode="vorpaline"))
    assert text.startswith("Settings(")
    assert all(f"{field.name}=" in text for field in config.FIELDS)
    assert "ignore_mode='vorpaline'" in text
