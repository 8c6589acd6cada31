"""Shared helpers for the extension-module tests: a fake native core, scripted
settings, traceback inspection and fresh interpreters.

The extension modules are imported inside fixtures, never at collection, so the
other test files run even where they have not been built.
"""

import ctypes
import importlib
import json
import subprocess
import sys
import textwrap
import traceback

import pytest

# The documented defaults; tests pin them so that VORPALINE_* variables in the
# environment cannot change what the tests see.
DEFAULT_SETTINGS = {
    "sparse_profile_version": "bm25-v1",
    "sparse_max_text_chars": 200000,
    "code_pretokenize": True,
    "builtin_ignore_replace": False,
    "builtin_ignore_patterns": [".git", "node_modules", "*.pyc"],
    "extra_ignore_patterns": [],
    "ignore_mode": "git+vorpaline",
}

DEFAULT_PROFILE_JSON = (
    '{"version": "bm25-v1", "max_text_chars": 200000, '
    '"code_pretokenize": true, "min_token_len": 2}'
)

CORE_CAPABILITIES = ["sparse_embed", "sparse_embed_batch", "sparse_explain"]


class Boom(Exception):
    """An error that only a test raises, so its identity can be followed."""


def embedding_for(text):
    """The reply member set the fake core gives for one text: easy to predict."""
    return {
        "indices": [len(text), len(text) + 1],
        "values": [0.5, 1.25],
        "truncated": False,
        "original_chars": len(text),
        "used_chars": len(text),
    }


class FakeCore:
    """Stands in for vorpaline_core_py.

    Each reply is a str (returned as is), an exception instance (raised) or a
    callable taking the call's arguments; None means a well-formed answer built
    by embedding_for. Calls are recorded unless record is false.
    """

    def __init__(self, single=None, batch=None, handshake=None, record=True):
        self.single = single
        self.batch = batch
        self.handshake_reply = handshake
        self.record = record
        self.calls = []

    def _answer(self, reply, default, *args):
        if reply is None:
            return default(*args)
        if isinstance(reply, BaseException):
            # a fresh traceback each time, or the same instance's would keep growing
            raise reply.with_traceback(None)
        if callable(reply):
            return reply(*args)
        return reply

    def _note(self, *call):
        if self.record:
            self.calls.append(call)

    def handshake(self):
        self._note("handshake")
        return self._answer(
            self.handshake_reply,
            lambda: json.dumps({"capabilities": CORE_CAPABILITIES, "version": "test"}),
        )

    def sparse_embed_single(self, text, profile_json):
        self._note("sparse_embed_single", text, profile_json)
        return self._answer(
            self.single, lambda t, p: json.dumps(embedding_for(t)), text, profile_json
        )

    def sparse_embed_batch(self, texts_json, profile_json):
        self._note("sparse_embed_batch", texts_json, profile_json)
        return self._answer(
            self.batch,
            lambda t, p: json.dumps({"embeddings": [embedding_for(x) for x in json.loads(t)]}),
            texts_json,
            profile_json,
        )

    def names(self):
        return [call[0] for call in self.calls]


class ScriptedSettings:
    """A settings object that records every attribute read, in order, and can
    fail the n-th read of one attribute (fail_at=(name, n), n counted from 1)."""

    def __init__(self, values=None, fail_at=None):
        self.values = dict(DEFAULT_SETTINGS if values is None else values)
        self.fail_at = fail_at
        self.reads = []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        self.reads.append(name)
        if self.fail_at == (name, self.reads.count(name)):
            raise AttributeError(f"scripted failure reading {name}")
        try:
            return self.values[name]
        except KeyError:
            raise AttributeError(name) from None


class RecordingLogger:
    def __init__(self):
        self.calls = []

    def info(self, *args, **kwargs):
        self.calls.append((args, kwargs))


# ---------------------------------------------------------------- tracebacks


def module_entries(excinfo_or_tb):
    """The traceback entries that the extension modules added, outermost first,
    as (source path, function name, line) triples."""
    tb = getattr(excinfo_or_tb, "tb", excinfo_or_tb)
    return [
        (entry.filename, entry.name, entry.lineno)
        for entry in traceback.extract_tb(tb)
        if entry.filename.startswith("src/vorpaline/")
    ]


def entry(module, function, line):
    """The entry that a failure inside a module function leaves."""
    return ("src/vorpaline/" + module, f"vorpaline.{module}.{function}", line)


# ---------------------------------------------------------------- fixtures


@pytest.fixture
def settings(monkeypatch):
    from vorpaline.config import FIELDS, settings

    # Every field is restored after the test, also one a test assigns directly: the next test in
    # this process must not rank or tokenise under another test's settings.
    for field in FIELDS:
        monkeypatch.setattr(settings, field.name, getattr(settings, field.name))
    for name, value in DEFAULT_SETTINGS.items():
        monkeypatch.setattr(settings, name, list(value) if isinstance(value, list) else value)
    return settings


@pytest.fixture
def sparse(settings):
    sparse = importlib.import_module("vorpaline.sparse")

    sparse.reset_sparse_service()
    yield sparse
    sparse.reset_sparse_service()


@pytest.fixture
def core(sparse, monkeypatch):
    fake = FakeCore()
    monkeypatch.setattr(sparse, "vorpaline_core_py", fake)
    return fake


@pytest.fixture
def service(sparse, core):
    return sparse.SparseEmbeddingService()


@pytest.fixture
def enginecheck(monkeypatch):
    enginecheck = importlib.import_module("vorpaline.enginecheck")

    monkeypatch.setattr(enginecheck, "_cached_capabilities", None)
    return enginecheck


@pytest.fixture
def install_core(monkeypatch):
    """Put a fake core (or None, which makes importing it fail) where
    `import vorpaline_core_py` finds it."""

    def install(core=None, **replies):
        fake = FakeCore(**replies) if core is None else core
        monkeypatch.setitem(sys.modules, "vorpaline_core_py", fake)
        return fake

    return install


@pytest.fixture
def skiprules(settings):
    skiprules = importlib.import_module("vorpaline.skiprules")

    return skiprules


# ---------------------------------------------------------------- the documented index


def _documented_token_index():
    """XXH32 of a token's UTF-8, seed 0, masked to 31 bits, from the system's
    libxxhash; None where the library is missing."""
    try:
        library = ctypes.CDLL("libxxhash.so.0")
    except OSError:
        return None
    library.XXH32.restype = ctypes.c_uint32
    library.XXH32.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint32]

    def token_index(token):
        data = token.encode()
        return library.XXH32(data, len(data), 0) & 0x7FFFFFFF

    return token_index


token_index = _documented_token_index()


# ---------------------------------------------------------------- fresh interpreters


def run_python(code, tmp_path, expect_ok=True):
    """Run code in a fresh interpreter, outside the source tree; return stdout."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    if expect_ok:
        assert proc.returncode == 0, proc.stderr
    return proc.stdout


def call_and_longest_stall(call):
    """(seconds `call` took in a thread, the longest this thread went without running meanwhile):
    a call that keeps the interpreter lock stalls this thread for all of it."""
    import threading
    import time

    duration = {}

    def timed():
        started = time.perf_counter()
        call()
        duration["call"] = time.perf_counter() - started

    worker = threading.Thread(target=timed)
    worker.start()
    longest_gap = 0.0
    last = time.perf_counter()
    while worker.is_alive():
        now = time.perf_counter()
        longest_gap = max(longest_gap, now - last)
        last = now
    worker.join()
    return duration["call"], longest_gap


def run_threads(work, count):
    """``work(i)`` for i in range(count), each in a thread of its own, all started before any is joined."""
    import threading

    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def make_tree(root, files):
    """``files`` ({path: text or bytes}) written under ``root``."""
    for path, text in files.items():
        target = root / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(text if isinstance(text, bytes) else text.encode())
    return root


def git_repository(root, files):
    """A git work tree at ``root`` holding ``files`` ({path: text}), nothing committed."""
    root.mkdir(parents=True)
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root
