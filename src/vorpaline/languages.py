"""The languages of source files, and which of them have a parser here.

``LANGUAGES`` names the common languages by their file names; those with a
tree-sitter grammar package (``tree_sitter_python``, ...) also name its
module and language function. ``ensure_registered()`` hands each installed
grammar with its tags query to the native core, which then finds the
definitions and references of files in that language; a grammar that is
not installed leaves its language without a parser, and is no error.

A path's language is decided by its file name: an exact name first
("Rakefile"), then the suffix from its last dot, lower-cased, as the core
decides it.
"""

from __future__ import annotations

import importlib
import importlib.util
import json
import threading
from collections.abc import Iterable
from typing import NamedTuple

__all__ = ["LANGUAGES", "Language", "display_name", "ensure_registered", "ensure_registered_for", "installed",
           "language_of"]


class Language(NamedTuple):
    name: str
    display_name: str
    file_names: tuple[str, ...]  # ".py"-style suffixes, lower-case, or exact names
    grammar_module: str | None = None
    language_function: str = "language"
    # A language whose tags query is read first: TypeScript's only adds to JavaScript's.
    query_base: str | None = None


LANGUAGES: tuple[Language, ...] = (
    Language("python", "Python", (".py", ".pyi", ".pyw"), "tree_sitter_python"),
    Language("c", "C", (".c", ".h"), "tree_sitter_c"),
    Language("cpp", "C++", (".cc", ".cpp", ".cxx", ".c++", ".hh", ".hpp", ".hxx", ".h++", ".ipp", ".inl"),
             "tree_sitter_cpp", query_base="c"),
    Language("javascript", "JavaScript", (".js", ".mjs", ".cjs", ".jsx"), "tree_sitter_javascript"),
    Language("typescript", "TypeScript", (".ts", ".mts", ".cts"), "tree_sitter_typescript",
             "language_typescript", query_base="javascript"),
    Language("tsx", "TSX", (".tsx",), "tree_sitter_typescript", "language_tsx", query_base="javascript"),
    Language("go", "Go", (".go",), "tree_sitter_go"),
    Language("rust", "Rust", (".rs",), "tree_sitter_rust"),
    Language("java", "Java", (".java",), "tree_sitter_java"),
    Language("ruby", "Ruby", (".rb", ".rake", ".gemspec", ".ru", "Rakefile", "Gemfile", "Guardfile", "Vagrantfile"),
             "tree_sitter_ruby"),
    Language("php", "PHP", (".php", ".phtml")),
    Language("csharp", "C#", (".cs",)),
    Language("kotlin", "Kotlin", (".kt", ".kts")),
    Language("swift", "Swift", (".swift",)),
    Language("scala", "Scala", (".scala", ".sc")),
    Language("shell", "Shell", (".sh", ".bash", ".zsh", ".ksh")),
    Language("lua", "Lua", (".lua",)),
    Language("perl", "Perl", (".pl", ".pm")),
    Language("r", "R", (".r",)),
    Language("objective-c", "Objective-C", (".m", ".mm")),
    Language("dart", "Dart", (".dart",)),
    Language("elixir", "Elixir", (".ex", ".exs")),
    Language("erlang", "Erlang", (".erl", ".hrl")),
    Language("haskell", "Haskell", (".hs",)),
    Language("ocaml", "OCaml", (".ml", ".mli")),
    Language("clojure", "Clojure", (".clj", ".cljs", ".cljc")),
    Language("julia", "Julia", (".jl",)),
    Language("zig", "Zig", (".zig",)),
    Language("fsharp", "F#", (".fs", ".fsx")),
    Language("groovy", "Groovy", (".groovy", ".gradle")),
    Language("powershell", "PowerShell", (".ps1",)),
    Language("sql", "SQL", (".sql",)),
)

_BY_NAME = {language.name: language for language in LANGUAGES}
_BY_FILE_NAME = {file_name: language.name for language in LANGUAGES for file_name in language.file_names}

_lock = threading.Lock()
_registered: dict[str, bool] = {}


def language_of(path: str) -> str | None:
    """The name of the language of ``path`` ('/'-separated), or None."""
    name = path.rsplit("/", 1)[-1]
    if not name.startswith(".") and name in _BY_FILE_NAME:
        return _BY_FILE_NAME[name]
    dot = name.rfind(".")
    if dot <= 0:
        return None
    return _BY_FILE_NAME.get(name[dot:].lower())


def display_name(name: str) -> str:
    """How a language of LANGUAGES is called in messages: "C++" for "cpp"."""
    return _BY_NAME[name].display_name


def ensure_registered(wanted: Iterable[str] | None = None) -> dict[str, bool]:
    """Register in the core the installed grammars of the languages ``wanted`` (names of
    LANGUAGES; all of them by default), each once per process; return {language name: whether it
    has a parser} for those. Compiling a grammar's query takes up to a tenth of a second: an
    update registers only the languages its files are in."""
    names = [language.name for language in LANGUAGES] if wanted is None else list(wanted)
    answers: dict[str, bool] = {}
    with _lock:
        for name in names:
            if name not in _registered:
                registered = _register(_BY_NAME[name])
                if registered is None:  # failed for now (short of memory or files, say): tried again next time,
                    registered = False  # so a long-lived server does not lose a language for good
                else:
                    _registered[name] = registered
            else:
                registered = _registered[name]
            answers[name] = registered
        return answers


def installed() -> list[str]:
    """The languages whose grammar is installed, found without importing it."""
    return [language.name for language in LANGUAGES
            if language.grammar_module is not None and importlib.util.find_spec(language.grammar_module) is not None]


def ensure_registered_for(paths: Iterable[str]) -> dict[str, bool]:
    """ensure_registered() for the languages of ``paths`` ('/'-separated)."""
    return ensure_registered({language for path in paths if (language := language_of(path)) is not None})


def _tags_query(module_name: str) -> str:
    import importlib.resources

    return (importlib.resources.files(module_name) / "queries" / "tags.scm").read_text(encoding="utf-8")


def _register(language: Language) -> bool | None:
    """Whether the language has a parser now; None when loading its grammar failed in a way that may pass."""
    if language.grammar_module is None:
        return False
    try:
        module = importlib.import_module(language.grammar_module)
        capsule = getattr(module, language.language_function)()
        query = _tags_query(language.grammar_module)
    except (ModuleNotFoundError, AttributeError):
        return False  # not installed, or not a grammar this knows
    except (ImportError, OSError, MemoryError):
        return None
    import vorpaline_core_py

    file_names = json.dumps(language.file_names)
    base = _BY_NAME[language.query_base] if language.query_base else None
    if base is not None and base.grammar_module is not None:
        try:
            combined = _tags_query(base.grammar_module) + "\n" + query
            vorpaline_core_py.symbols_register_language(language.name, capsule, combined, file_names)
            return True
        except (ImportError, OSError, ValueError):
            pass  # the base query does not fit this grammar: its own query alone
    try:
        vorpaline_core_py.symbols_register_language(language.name, capsule, query, file_names)
    except ValueError:
        return False  # a grammar of an ABI this runtime does not read, or a query it cannot compile: no parser
    return True
