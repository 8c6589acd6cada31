"""The core's guarded reads of a repository's files: read_repository_file and
the indexer never follow a link below the root, never block on a FIFO, and
read only regular files."""

from __future__ import annotations

import errno
import functools
import json
import os
import socket
import threading

import pytest

core = pytest.importorskip("vorpaline_core_py")

PROFILE = json.dumps({"version": "bm25-v1", "code_pretokenize": True, "min_token_len": 2})
CONTENTS = b"def get_user():\n    return user\n"
SECRET = b"outsidesecrettoken = 1\n"
BLOCKED_AFTER = 5.0  # seconds: anything slower than this blocked


@pytest.fixture
def tree(tmp_path):
    """A repository `repo` with src/app.py, and a folder `outside` beside it holding a secret."""
    repo, outside = tmp_path / "repo", tmp_path / "outside"
    (repo / "src").mkdir(parents=True)
    (repo / "src" / "app.py").write_bytes(CONTENTS)
    outside.mkdir()
    (outside / "app.py").write_bytes(SECRET)
    return repo, outside


def unblock_fifo(path):
    """Lets a reader stuck opening the FIFO at `path` go on."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
    except OSError:
        pass


def within_time(call, fifo=None):
    """call() in a thread: fails, rather than hangs, when it blocks."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call()
        except BaseException as exc:  # handed to the test's thread
            outcome["error"] = exc

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(BLOCKED_AFTER)
    if thread.is_alive():
        if fifo is not None:
            unblock_fifo(fifo)
        thread.join(BLOCKED_AFTER)
        pytest.fail(f"the call blocked for more than {BLOCKED_AFTER} s")
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


# --- read_repository_file ------------------------------------------------------

@pytest.mark.parametrize(
    "begin, end, expected",
    [
        (0, len(CONTENTS), CONTENTS),
        (0, 1 << 40, CONTENTS),  # clipped to the size
        (0, 2**70, CONTENTS),  # past 64 bits is the end too
        (4, 12, CONTENTS[4:12]),
        (5, 5, b""),
        (len(CONTENTS) - 3, len(CONTENTS) + 10, CONTENTS[-3:]),
        (len(CONTENTS), len(CONTENTS) + 1, b""),
        (1000, 2000, b""),
    ],
)
def test_a_regular_file_is_read_by_range_with_its_size_and_mtime(tree, begin, end, expected):
    repo, _ = tree
    data, size, mtime_ns = core.read_repository_file(str(repo), "src/app.py", begin, end)
    status = os.stat(repo / "src" / "app.py")
    assert (data, size, mtime_ns) == (expected, status.st_size, status.st_mtime_ns)
    assert type(data) is bytes


def make_last_link_outside(repo, outside):
    os.symlink(outside / "app.py", repo / "src" / "linked.py")
    return "src/linked.py"


def make_last_link_inside(repo, outside):
    os.symlink("app.py", repo / "src" / "linked.py")
    return "src/linked.py"


def make_folder_link_outside(repo, outside):
    os.symlink(outside, repo / "lib")
    return "lib/app.py"


def make_deep_folder_link(repo, outside):
    (repo / "a" / "b").mkdir(parents=True)
    os.symlink(outside, repo / "a" / "b" / "c")
    return "a/b/c/app.py"


def make_folder_a_file(repo, outside):
    (repo / "plain").write_bytes(b"x")
    return "plain/app.py"


def make_missing_file(repo, outside):
    return "src/gone.py"


def make_missing_folder(repo, outside):
    return "nowhere/app.py"


def make_folder(repo, outside):
    return "src"


def make_fifo(repo, outside):
    os.mkfifo(repo / "src" / "pipe")
    return "src/pipe"


def make_socket(repo, outside):
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(repo / "src" / "sock"))
    listener.close()
    return "src/sock"


@pytest.mark.parametrize(
    "make, error, reason",
    [
        (make_last_link_outside, errno.ELOOP, "became a symbolic link during the scan"),
        (make_last_link_inside, errno.ELOOP, "became a symbolic link during the scan"),
        (make_folder_link_outside, errno.ELOOP, "a folder on its path became a symbolic link"),
        (make_deep_folder_link, errno.ELOOP, "a folder on its path became a symbolic link"),
        (make_folder_a_file, errno.ENOTDIR, "a folder on its path is no longer a folder"),
        (make_missing_file, errno.ENOENT, "vanished during the scan"),
        (make_missing_folder, errno.ENOENT, "vanished during the scan"),
        (make_folder, errno.EISDIR, "not a regular file"),
        (make_fifo, errno.EINVAL, "not a regular file"),
        (make_socket, errno.ENXIO, "not a regular file"),
    ],
    ids=lambda value: value.__name__[5:] if callable(value) else None,
)
def test_what_is_not_a_regular_file_inside_the_root_is_refused(tree, make, error, reason):
    repo, outside = tree
    path = make(repo, outside)
    fifo = repo / path if make is make_fifo else None
    with pytest.raises(OSError) as raised:
        within_time(lambda: core.read_repository_file(str(repo), path, 0, 1 << 20), fifo)
    assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (error, reason, path)
    if error == errno.ENOENT:
        assert isinstance(raised.value, FileNotFoundError)


def test_a_root_that_cannot_be_opened_is_refused(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        core.read_repository_file(str(tmp_path / "missing"), "a.py", 0, 1)
    assert raised.value.strerror.startswith("cannot open the repository root: ")


def test_the_root_itself_may_be_a_link(tree, tmp_path):
    repo, _ = tree
    os.symlink(repo, tmp_path / "root-link")
    assert core.read_repository_file(str(tmp_path / "root-link"), "src/app.py", 0, 3)[0] == CONTENTS[:3]


@pytest.mark.parametrize(
    "path",
    ["", "/etc/passwd", "..", "../outside/app.py", "src/../src/app.py", "./src/app.py", "src/.",
     "src//app.py", "src/", "src/app.py\0"],
)
def test_a_malformed_path_is_a_value_error(tree, path):
    repo, _ = tree
    with pytest.raises(ValueError, match="no path below the root"):
        core.read_repository_file(str(repo), path, 0, 10)


@pytest.mark.parametrize(
    "arguments, exception, message",
    [
        (("src/app.py", -1, 10), ValueError, "'begin'.*negative"),
        (("src/app.py", 0, -(2**70)), ValueError, "'end'.*negative"),
        (("src/app.py", 8, 7), ValueError, "less than 'begin'"),
        ((b"src/app.py", 0, 1), TypeError, "must be str"),
        (("src/app.py", 0.0, 1), TypeError, "integer"),
        (("src/\ud800.py", 0, 1), ValueError, "surrogates"),  # a lone surrogate names no bytes
    ],
)
def test_bad_arguments_are_refused(tree, arguments, exception, message):
    repo, _ = tree
    with pytest.raises(exception, match=message):
        core.read_repository_file(str(repo), *arguments)


def test_names_that_are_not_utf8_are_read(tmp_path):
    root = tmp_path / os.fsdecode(b"repo\xfe")
    folder = root / os.fsdecode(b"dir\xfa")
    folder.mkdir(parents=True)
    (folder / os.fsdecode(b"bad\xff.py")).write_bytes(CONTENTS)
    path = os.fsdecode(b"dir\xfa/bad\xff.py")
    assert core.read_repository_file(str(root), path, 0, 100)[0] == CONTENTS


def test_allocation_failures_raise_memory_error_and_leak_nothing(tree):
    oom = pytest.importorskip("test_reliability_oom")
    repo, _ = tree
    for path, expected in [("src/app.py", ()), ("src/gone.py", (FileNotFoundError,)), ("..", (ValueError,))]:
        # the function itself, not a lambda: CPython answers a failing frame set-up with SystemError
        sweep = oom.Sweep(functools.partial(core.read_repository_file, str(repo), path, 0, 100), expected=expected)
        points = sweep.count_points()

        def sweeps(times):
            for _ in range(times):
                sweep.run(points, "single")
                sweep.run(points, "persistent")

        sweeps(2)
        first = oom.counters()
        sweeps(1)
        second = oom.counters()
        sweeps(3)
        third = oom.counters()
        assert third[0] - second[0] <= max(second[0] - first[0], 0) + oom.NOISE
        assert not sweep.attempt(2**31 - 1, "persistent")


# --- the indexer ---------------------------------------------------------------

def index_files(repo, folder, names):
    files = json.dumps([[name, 1] for name in names])
    reply = core.index_build_files(str(repo), files, str(folder), "seg", PROFILE, "{}", 1, None)
    return json.loads(reply)


def segment_paths_and_hits(folder, reply, query):
    """The paths the documents of a build's segments name, and the hits for `query`."""
    segments = [str(folder / segment["name"]) for segment in reply["segments"]]
    paths = [json.loads(document["metadata"])[0] for segment in segments
             for document in json.loads(core.index_term_vectors(segment))["documents"]]
    searcher = core.index_open(json.dumps([{"path": segment, "deleted": []} for segment in segments]))
    return paths, json.loads(searcher.search(query, PROFILE, 5, 1.2, 0.75))["hits"]


@pytest.mark.parametrize(
    "make, reason",
    [
        (make_folder_link_outside, "a folder on its path became a symbolic link"),
        (make_deep_folder_link, "a folder on its path became a symbolic link"),
        (make_last_link_outside, "became a symbolic link during the scan"),
        (make_fifo, "not a regular file"),
        (make_socket, "not a regular file"),
        (make_folder, "not a regular file"),
        (lambda repo, outside: "../outside/app.py", "path with a '.' or '..' component"),
    ],
    ids=["folder-link", "deep-folder-link", "last-link", "fifo", "socket", "folder", "dot-dot"],
)
def test_the_indexer_skips_what_the_guarded_open_refuses(tree, tmp_path, make, reason):
    repo, outside = tree
    path = make(repo, outside)  # swapped in since the scan listed it
    (tmp_path / "index").mkdir()
    fifo = repo / path if make is make_fifo else None
    reply = within_time(lambda: index_files(repo, tmp_path / "index", ["src/app.py", path, "src/app.py"]), fifo)
    assert [(f["status"], f["hash"]) for f in reply["files"][1:]] == [(reason, None), ("indexed", reply["files"][0]["hash"])]
    paths, hits = segment_paths_and_hits(tmp_path / "index", reply, "outsidesecrettoken")
    assert (paths, hits) == (["src/app.py", "src/app.py"], [])


def test_the_indexer_reads_below_a_root_given_through_a_link(tree, tmp_path):
    repo, _ = tree
    os.symlink(repo, tmp_path / "root-link")
    (tmp_path / "index").mkdir()
    reply = index_files(tmp_path / "root-link", tmp_path / "index", ["src/app.py"])
    assert [f["status"] for f in reply["files"]] == ["indexed"]
