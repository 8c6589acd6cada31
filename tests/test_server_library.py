"""The served repositories: what a client may read, searches across repositories, fresh indexes."""

import asyncio
import os
import threading
import time

import pytest
from conftest import git_repository

pytest.importorskip("vorpaline_core_py")
pytest.importorskip("watchfiles")

from vorpaline.search import Index, Status, UpdateCounts  # noqa: E402
from vorpaline.server.library import MAX_READ_LINES, Library, NotServed, Repository, _names  # noqa: E402


FILES = {
    "parser.py": "def parse_config(path):\n    return load_settings(path)\n",
    "db/store.py": "class RecordStore:\n    def save_record(self, record):\n        return parse_config(record)\n",
    "notes.md": "# Notes\nThe parse_config function reads settings.\n",
    ".gitignore": ".env\nbuild/\n",
    ".env": "API_KEY=secret\n",
    "build/out.py": "def parse_config_generated(): pass\n",
    "sub/deep.txt": "\n".join(f"line {n}" for n in range(1, 11)) + "\n",
}


@pytest.fixture
def library(tmp_path):
    root = git_repository(tmp_path / "app", FILES)
    outside = tmp_path / "outside.txt"
    outside.write_text("outside secret\n")
    (root / "link_out.txt").symlink_to(outside)
    (root / "linked").symlink_to(tmp_path)
    served = Library.open([root])
    served.update()
    return served


@pytest.mark.parametrize("path", [
    "../outside.txt", "/etc/passwd", ".env", "build/out.py", "link_out.txt", "linked/outside.txt",
    ".vorpaline/MANIFEST", ".git/HEAD", "sub", "sub/", "missing.py", "", "parser.py\x00", "sub/../parser.py",
    "./../app/parser.py",
])
def test_only_files_the_scan_lists_are_read(library, path):
    with pytest.raises(NotServed):
        library.read(None, path)


@pytest.mark.parametrize("first, last, expected", [
    (1, None, [f"line {n}" for n in range(1, 11)]),
    (3, 4, ["line 3", "line 4"]),
    (9, 50, ["line 9", "line 10"]),
    (11, None, []),
    (10, 10, ["line 10"]),
])
def test_a_read_gives_the_lines_asked(library, first, last, expected):
    read = library.read(None, "sub/deep.txt", first, last)
    assert (read.lines, read.total, read.path) == (expected, 10, "sub/deep.txt")
    assert read.last == first + len(expected) - 1
    assert library.read("app", "./sub/deep.txt", first, last).lines == expected


@pytest.mark.parametrize("first, last", [(0, None), (5, 4), (-1, 2)])
def test_a_read_of_no_range_is_refused(library, first, last):
    with pytest.raises(ValueError, match="count from 1"):
        library.read(None, "sub/deep.txt", first, last)


def test_a_read_is_capped(tmp_path):
    root = git_repository(tmp_path / "big", {"long.txt": "x\n" * (MAX_READ_LINES + 10)})
    read = Library.open([root]).read(None, "long.txt")
    assert len(read.lines) == MAX_READ_LINES and read.total == MAX_READ_LINES + 10


@pytest.mark.parametrize("k", [0, -1, 1001, "3", 2.0, True, None])
def test_counts_out_of_bounds_are_refused(library, k):
    with pytest.raises(ValueError, match="from 1 to 1000"):
        library.search("parse config", k=k)


def test_a_search_keeps_to_a_language_and_to_path_globs(library):
    assert {hit.path for hit in library.search("parse config")} == {"parser.py", "db/store.py", "notes.md"}
    assert {hit.path for hit in library.search("parse config", language="markdown")} == {"notes.md"}
    assert {hit.path for hit in library.search("parse config", path_glob=["db/*", "*.md"])} == {"db/store.py",
                                                                                               "notes.md"}
    assert library.search("parse config", language="rust") == []


def test_several_repositories_are_searched_together_and_named(tmp_path):
    first = git_repository(tmp_path / "one" / "app", {"a.py": "def parse_config(): pass\n"})
    second = git_repository(tmp_path / "two" / "app", {"b.py": "def parse_config_file(): pass\nparse_config()\n"})
    served = Library.open([first, second])
    served.update()
    assert sorted(served.repositories) == ["one/app", "two/app"]
    hits = served.search("parse_config")
    assert {(hit.repository, hit.path) for hit in hits} == {("one/app", "a.py"), ("two/app", "b.py")}
    assert [hit.score for hit in hits] == sorted((hit.score for hit in hits), reverse=True)
    assert [(name, d.path) for name, d in served.definitions("parse_config")] == [("one/app", "a.py")]
    assert [(name, r.path) for name, r in served.references("parse_config")] == [("two/app", "b.py")]
    assert [hit.repository for hit in served.search("parse_config", repository="two/app")] == ["two/app"]
    with pytest.raises(NotServed, match="one/app, two/app"):
        served.search("parse_config", repository="three")
    with pytest.raises(NotServed, match="name one of"):
        served.read(None, "a.py")
    assert served.read("one/app", "a.py").lines == ["def parse_config(): pass"]


@pytest.mark.parametrize("roots, names", [
    (["/x/app", "/y/app"], ["x/app", "y/app"]),
    (["/x/one", "/x/two"], ["one", "two"]),
    (["/a/b/c", "/d/b/c", "/e"], ["a/b/c", "d/b/c", "e"]),
    (["/"], ["/"]),
])
def test_repositories_are_named_by_the_fewest_folders_that_tell_them_apart(roots, names):
    assert _names(roots) == names


def test_a_root_given_twice_is_refused():
    with pytest.raises(ValueError):
        _names(["/x/app", "/x/app"])


def test_the_status_names_what_changed_since_the_update(library):
    root = library.repositories["app"].root
    (name, status), = library.status()
    assert (name, status.files, status.stale, status.root) == ("app", 5, (), root)
    with open(os.path.join(root, "parser.py"), "a") as changed:
        changed.write("# more\n")
    os.remove(os.path.join(root, "notes.md"))
    with open(os.path.join(root, "new.py"), "w") as added:
        added.write("x = 1\n")
    assert library.status()[0][1].stale == ("new.py", "notes.md", "parser.py")


class SlowBackend:
    """A backend whose update waits until the test lets it commit."""

    def __init__(self, generation, gate):
        self.generation, self.gate = generation, gate

    def search(self, query, k=10, path_glob=None, *, files=False):
        from vorpaline.search import Hit
        return [Hit("a.py", 1, 1, float(self.generation), "text")]

    def update(self, root, *, progress=None):
        self.gate.wait(10)
        return UpdateCounts(1, 0, 0, 0, 1, 1, 0.0)

    def status(self, root=None):
        return Status("memory", root, 1, 1, None)

    definitions = references = files = None


def test_searches_read_the_old_index_while_an_update_runs():
    gate = threading.Event()
    made = []

    def open_backend():
        made.append(SlowBackend(len(made), gate))
        return made[-1]

    served = Library([Repository("app", "/nowhere", open_backend)])
    updating = threading.Thread(target=served.update)
    updating.start()
    deadline = time.monotonic() + 5
    while len(made) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert [hit.score for hit in served.search("q")] == [0.0]  # answered while the update waits
    gate.set()
    updating.join(5)
    assert [hit.score for hit in served.search("q")] == [1.0]  # the writer, committed, is the reader now


def test_a_watched_repository_is_searchable_soon_after_a_save(tmp_path):
    root = git_repository(tmp_path / "app", {"a.py": "def old_name(): pass\n"})
    served = Library.open([root])

    async def scenario():
        stop = asyncio.Event()
        watching = asyncio.create_task(served.watch(stop=stop))
        try:
            assert await found(lambda: served.search("old_name"))  # the first update builds the index
            (root / "b.py").write_text("def freshly_saved_name(): pass\n")
            assert await found(lambda: served.search("freshly_saved_name"))
            (root / "a.py").unlink()
            assert await found(lambda: not served.search("old_name"))
            (root / ".env").write_text("freshly_saved_name\n")  # ignored? not by .gitignore here: indexed
            assert await found(lambda: any(hit.path == ".env" for hit in served.search("freshly_saved_name")))
        finally:
            stop.set()
            await asyncio.wait_for(watching, 10)

    asyncio.run(scenario())
    assert Index.open(root / ".vorpaline").documents == 2


async def found(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        await asyncio.sleep(0.02)
    return False
