"""`vorpaline mcp` as an MCP client sees it: a server process on stdio, asked through the SDK's own
client, answering what the library itself answers, refusing what is not served, and kept fresh."""

import asyncio
import concurrent.futures
import os
import subprocess
import sys
import threading
import time

import pytest
from conftest import git_repository

pytest.importorskip("mcp")

from mcp import ClientSession  # noqa: E402
from mcp.client import Client  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402

from vorpaline.server.library import Library, NotServed  # noqa: E402
from vorpaline.server.mcp_tools import build_mcp  # noqa: E402

MCP = [sys.executable, "-m", "vorpaline", "mcp"]
TIMEOUT = 30


class Served:
    """One server process and one client session to it, driven by an event loop in a thread of its own."""

    def __init__(self, *arguments, errlog):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self._ready = concurrent.futures.Future()
        self._serving = asyncio.run_coroutine_threadsafe(self._serve([*MCP[1:], *map(str, arguments)], errlog),
                                                         self.loop)
        self.session, self._stop = self._ready.result(timeout=TIMEOUT)

    async def _serve(self, arguments, errlog):
        try:
            params = StdioServerParameters(command=MCP[0], args=arguments, env=dict(os.environ))
            async with stdio_client(params, errlog=errlog) as (read, write), ClientSession(read, write) as session:
                await session.initialize()
                stop = asyncio.Event()
                self._ready.set_result((session, stop))
                await stop.wait()
        except BaseException as error:
            if not self._ready.done():
                self._ready.set_exception(error)
            raise

    def ask(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout=TIMEOUT)

    def call(self, tool, **arguments):
        return self.ask(self.session.call_tool(tool, arguments))

    def close(self):
        self.loop.call_soon_threadsafe(self._stop.set)
        self._serving.result(timeout=TIMEOUT)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(TIMEOUT)


APP = ("def load_user(user_id):\n    return fetch_profile(user_id)\n\n\nclass Cache:\n"
       "    def get(self, key):\n        return load_user(key)\n")
ORDERS = {f"orders/o{number}.py": f"def order_total_{number}(order):\n    return order.total + {number}\n"
          for number in range(14)}


@pytest.fixture(scope="module")
def served_tree(tmp_path_factory):
    base = tmp_path_factory.mktemp("mcp")
    (base / "outside.txt").write_text("not served\n")
    alpha = git_repository(base / "alpha", {
        "app.py": APP, ".gitignore": ".env\n", ".env": "SECRET=1\n", "lib/util.py": "def helper():\n    load_user(1)\n",
        "README.md": "# Orders\n\nThe order total is computed per order.\n",
        "twins.py": "def twin():\n    pass\n\n" * 120, "long.txt": "".join(f"line {n}\n" for n in range(1, 701)),
        **ORDERS})
    (alpha / "link.py").symlink_to(base / "outside.txt")
    beta = git_repository(base / "beta", {"billing.py": "def order_invoice(order):\n    return order.total\n"})
    for root in (alpha, beta):
        Library.open([root]).update()
    return base, alpha, beta


@pytest.fixture(scope="module")
def alpha_server(served_tree, tmp_path_factory):
    _, alpha, _ = served_tree
    with open(tmp_path_factory.mktemp("log") / "stderr", "w") as errlog:
        server = Served(alpha, errlog=errlog)
        server.call("update")  # waits for the watch's first update: the index on disk is the server's then
        yield server, Library.open([alpha])
        server.close()


def text_of(result):
    return result.content[0].text


# ---------------------------------------------------------------- the tools and their inputs

TOOL_INPUTS = {
    "search": ({"query"}, {"query", "k", "path", "files", "repository", "language", "max_tokens"}),
    "definitions": ({"name"}, {"name", "ignore_case", "path", "repository"}),
    "references": ({"name"}, {"name", "ignore_case", "path", "repository"}),
    "read": ({"path"}, {"path", "repository", "first", "last"}),
    "status": (set(), {"repository"}),
    "update": (set(), {"repository"}),
    "grep": ({"pattern"}, {"pattern", "fixed", "ignore_case", "word", "path", "context", "max_lines", "repository",
                           "max_tokens"}),
}


def test_grep_gives_every_matching_line_and_says_what_it_left_out(alpha_server):
    server, _ = alpha_server
    result = server.call("grep", pattern=r"def \w+\(\):", path="twins.py", max_lines=5)
    lines = text_of(result).splitlines()
    assert lines[:5] == [f"twins.py:{3 * n + 1}:def twin():" for n in range(5)]
    assert "left out" in lines[-1] and result.structured_content["truncated"]
    assert text_of(server.call("grep", pattern="SECRET")).startswith("no line matches")  # .env is ignored
    assert server.call("grep", pattern="(").is_error


def test_tools_and_their_input_schemas(alpha_server):
    server, _ = alpha_server
    tools = {tool.name: tool for tool in server.ask(server.session.list_tools()).tools}
    assert set(tools) == set(TOOL_INPUTS)
    for name, (required, properties) in TOOL_INPUTS.items():
        schema = tools[name].input_schema
        assert set(schema.get("required", [])) == required, name
        assert set(schema["properties"]) == properties, name
        assert len(tools[name].description) > 80, name  # it tells an agent what the tool is for
        assert tools[name].output_schema["type"] == "object"
    assert tools["search"].input_schema["properties"]["k"]["minimum"] == 1
    assert tools["search"].annotations.read_only_hint and not tools["update"].annotations.read_only_hint


# ---------------------------------------------------------------- answers against the library's own

@pytest.mark.parametrize("arguments", [
    {"query": "order total"},
    {"query": "order", "k": 3},
    {"query": "load user"},
    {"query": "order", "path": "orders/o1*.py"},
    {"query": "order", "path": ["app.py", "orders/o2.py", "README.md"]},
    {"query": "order", "files": True, "k": 20},
    {"query": "order", "language": "markdown"},
    {"query": "nothingmatchesthisword"},
])
def test_search_answers_the_library_hits_compactly(alpha_server, arguments):
    server, library = alpha_server
    result = server.call("search", **arguments)
    assert not result.is_error
    options = {"path_glob" if key == "path" else key: value for key, value in arguments.items() if key != "query"}
    expected = library.search(arguments["query"], **options)
    hits = result.structured_content["hits"]
    assert [(hit["path"], hit["line"], hit["score"]) for hit in hits] == \
           [(hit.path, hit.line or hit.start_line, round(hit.score, 2)) for hit in expected]
    for hit, want in zip(hits, expected):
        snippet = want.snippet.split("\n")[:3]
        assert hit["lines"] == [{"line": want.snippet_line + n, "text": text[:200]} for n, text in enumerate(snippet)]
        assert [(d["name"], d["kind"]) for d in hit["definitions"]] == [(d.name, d.kind) for d in want.definitions][:8]
        assert "repository" not in hit  # one repository served: hits need not name it
    text = text_of(result)
    assert [block.split("\n")[0].split("  ")[0] for block in text.split("\n\n")] == \
           [f"{hit['path']}:{hit['line']}" for hit in hits] or not hits and text.startswith("no hits")


@pytest.mark.parametrize("tool, name, options", [
    ("definitions", "load_user", {}),
    ("definitions", "LOAD_USER", {"ignore_case": True}),
    ("definitions", "order_total_3", {"path": "orders/*"}),
    ("definitions", "order_total_3", {"path": "lib/*"}),
    ("references", "load_user", {}),
    ("references", "load_user", {"path": ["lib/*"]}),
    ("definitions", "no_such_name", {}),
])
def test_symbols_are_the_library_ones(alpha_server, tool, name, options):
    server, library = alpha_server
    result = server.call(tool, name=name, **options)
    look_up = library.definitions if tool == "definitions" else library.references
    expected = [found for _, found in look_up(name, ignore_case=options.get("ignore_case", False),
                                              path_glob=options.get("path"))]
    assert [(item["path"], item["line"], item["kind"]) for item in result.structured_content[tool]] == \
           [(found.path, found.line, found.kind) for found in expected]
    lines = [f"{found.path}:{found.line} {found.kind} {getattr(found, 'scope', '')}".rstrip() for found in expected]
    assert text_of(result) == ("\n".join(lines) or f"no {tool} of {name!r} found")


def test_many_definitions_are_capped_and_the_rest_counted(alpha_server):
    server, _ = alpha_server
    result = server.call("definitions", name="twin")
    lines = text_of(result).split("\n")
    assert len(lines) == 101 and lines[-1].startswith("(20 more definitions not shown")
    assert len(result.structured_content["definitions"]) == 100 and result.structured_content["more"] == 20


@pytest.mark.parametrize("first, last", [(1, None), (2, 4), (7, 7), (6, 100), (100, None)])
def test_read_shows_the_library_lines_numbered(alpha_server, first, last):
    server, library = alpha_server
    result = server.call("read", path="app.py", first=first, **({} if last is None else {"last": last}))
    expected = library.read(None, "app.py", first, last)
    assert result.structured_content["lines"] == expected.lines
    assert result.structured_content["total_lines"] == expected.total == 7
    numbered = [f"{first + n}: {line}" for n, line in enumerate(expected.lines)]
    assert text_of(result) == ("\n".join(numbered) or "app.py has 7 lines: none from line 100")


def test_a_long_read_is_capped_and_says_where_to_go_on(alpha_server):
    server, _ = alpha_server
    result = server.call("read", path="long.txt", first=101)
    text = text_of(result).split("\n")
    assert text[0] == "101: line 101" and text[-2] == "600: line 600"
    assert text[-1] == "(lines 101-600 of 700 shown: read on with first=601)"
    assert result.structured_content["last"] == 600


@pytest.mark.parametrize("path, options, refusal", [
    ("../outside.txt", {}, "is not a file of repository 'alpha'"),
    ("{base}/outside.txt", {}, "is not a file of repository 'alpha'"),
    ("{base}/alpha/app.py", {}, "is not a file of repository 'alpha'"),
    ("link.py", {}, "is not a file of repository 'alpha'"),
    (".env", {}, "is not a file of repository 'alpha'"),
    (".vorpaline/MANIFEST", {}, "is not a file of repository 'alpha'"),
    ("lib", {}, "is not a file of repository 'alpha'"),
    ("lib/../app.py", {}, "is not a file of repository 'alpha'"),
    ("missing.py", {}, "is not a file of repository 'alpha'"),
    ("", {}, "name a file by its path"),
    ("app.py", {"repository": "gamma"}, "no repository 'gamma' is served; these are: alpha"),
    ("app.py", {"first": 5, "last": 2}, "no range of lines"),
    ("app.py", {"first": 0}, "greater than or equal to 1"),
])
def test_hostile_reads_are_refused_with_a_clear_message(alpha_server, served_tree, path, options, refusal):
    server, _ = alpha_server
    result = server.call("read", path=path.format(base=served_tree[0]), **options)
    assert result.is_error and refusal in text_of(result)
    assert "Traceback" not in text_of(result) and "not served" not in text_of(result)


@pytest.mark.parametrize("max_tokens", [40, 60, 100, 200, 400, 100_000])
def test_max_tokens_leaves_out_the_last_hits(alpha_server, max_tokens):
    server, _ = alpha_server
    everything = server.call("search", query="order total", k=20).structured_content["hits"]
    assert len(everything) >= 12
    result = server.call("search", query="order total", k=20, max_tokens=max_tokens)
    kept, left_out = result.structured_content["hits"], result.structured_content["left_out"]
    assert kept == everything[:len(kept)] and left_out == len(everything) - len(kept)
    assert len(text_of(result)) <= max_tokens * 4
    if left_out:
        assert text_of(result).endswith(f"({left_out} more hits left out to keep within max_tokens={max_tokens})")
    assert (left_out == 0) == (max_tokens == 100_000)


def test_status_and_update_answer_the_library_counts(alpha_server, served_tree):
    server, library = alpha_server
    [record] = server.call("status").structured_content["repositories"]
    [(name, now)] = library.status()
    assert (record["repository"], record["files"], record["chunks"], record["where"]) == \
           (name, now.files, now.chunks, now.where)
    assert record["watching"] and record["stale_files"] == 0 and record["last_error"] is None
    assert text_of(server.call("status")).startswith(f"alpha: {now.files} files, {now.chunks} chunks")
    [counts] = server.call("update").structured_content["repositories"]
    assert (counts["repository"], counts["indexed"], counts["unchanged"]) == ("alpha", 0, now.files)
    result = server.call("status", repository="gamma")
    assert result.is_error and "no repository 'gamma' is served" in text_of(result)


# ---------------------------------------------------------------- freshness and several repositories

def test_a_saved_file_is_found_once_the_watch_has_updated(tmp_path):
    root = git_repository(tmp_path / "fresh", {"first.py": "def first():\n    pass\n"})
    with open(tmp_path / "stderr", "w") as errlog:
        server = Served(root, errlog=errlog)
        try:
            (root / "saved.py").write_text("def zanzibar_quux():\n    return 42\n")
            deadline = time.monotonic() + 5
            while True:
                hits = server.call("search", query="zanzibar_quux").structured_content["hits"]
                if hits or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            assert [hit["path"] for hit in hits] == ["saved.py"]
        finally:
            server.close()


def test_two_repositories_are_served_and_named(served_tree, tmp_path):
    _, alpha, beta = served_tree
    library = Library.open([alpha, beta])
    with open(tmp_path / "stderr", "w") as errlog:
        server = Served(alpha, beta, "--no-watch", errlog=errlog)
        try:
            result = server.call("search", query="order total", k=30)
            hits = result.structured_content["hits"]
            assert [(hit["repository"], hit["path"]) for hit in hits] == \
                   [(hit.repository, hit.path) for hit in library.search("order total", k=30)]
            assert {hit["repository"] for hit in hits} == {"alpha", "beta"}
            assert all(block.startswith(("alpha:", "beta:")) for block in text_of(result).split("\n\n"))
            only_beta = server.call("search", query="order", repository="beta").structured_content["hits"]
            assert [(hit["repository"], hit["path"]) for hit in only_beta] == [("beta", "billing.py")]
            assert text_of(server.call("definitions", name="order_invoice")) == "beta:billing.py:1 function"
            refused = server.call("read", path="billing.py")
            assert refused.is_error and "several repositories are served; name one of: alpha, beta" in text_of(refused)
            assert server.call("read", path="billing.py", repository="beta").structured_content["total_lines"] == 2
            statuses = server.call("status").structured_content["repositories"]
            assert [(s["repository"], s["watching"]) for s in statuses] == [("alpha", False), ("beta", False)]
        finally:
            server.close()


# ---------------------------------------------------------------- failures

@pytest.mark.parametrize("failure, shown", [
    (RuntimeError("a detail for the log"), "internal error"),
    (KeyError("a detail for the log"), "internal error"),
    (ValueError("k must be a whole number"), "k must be a whole number"),
    (NotServed("no repository 'x' is served"), "no repository 'x' is served"),
])
def test_failures_become_tool_errors(served_tree, monkeypatch, caplog, failure, shown):
    library = Library.open([served_tree[1]])

    def failing(*args, **kwargs):
        raise failure

    monkeypatch.setattr(library, "search", failing)

    async def call():
        async with Client(build_mcp(library, watch=False)) as client:
            return await client.call_tool("search", {"query": "order"})

    result = asyncio.run(call())
    assert result.is_error and text_of(result) == shown
    assert ("a detail for the log" in caplog.text) == (shown == "internal error")


@pytest.mark.parametrize("arguments, message", [
    (["{base}/nowhere"], "nowhere is not a folder"),
    (["{base}/alpha", "{base}/beta", "--index", "{base}/index"], "an index folder can be given for one repository"),
])
def test_a_command_line_it_cannot_serve_fails_on_stderr_alone(served_tree, arguments, message):
    run = subprocess.run([*MCP, *(argument.format(base=served_tree[0]) for argument in arguments)],
                         capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=TIMEOUT)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.startswith("vorpaline: error: ") and message in run.stderr
