"""The HTTP server: its API's answers, what it refuses and why, the MCP endpoint, and `vorpaline serve` itself."""

import asyncio
import os
import socket
import subprocess
import sys
import time

import pytest
from conftest import git_repository

pytest.importorskip("vorpaline_core_py")
pytest.importorskip("starlette")
httpx = pytest.importorskip("httpx")

from starlette.testclient import TestClient  # noqa: E402

from vorpaline.server.http import MAX_BODY_BYTES, allowed_hosts_for, build_app  # noqa: E402
from vorpaline.server.library import Library  # noqa: E402
from vorpaline.server.mcp_tools import build_mcp  # noqa: E402

SERVE = [sys.executable, "-m", "vorpaline", "serve"]
BASE = "http://127.0.0.1:7900"


@pytest.fixture
def repository(tmp_path):
    root = git_repository(tmp_path / "app", {
        "settings/loader.py": "def parse_config(path):\n    return read_settings(path)\n",
        "main.py": "from settings.loader import parse_config\nparse_config('app.toml')\n",
        "page.html": "<script>alert('parse config')</script>\n",
        ".gitignore": ".env\n",
        ".env": "API_KEY=secret\n",
    })
    (tmp_path / "outside.txt").write_text("outside secret\n")
    (root / "link.txt").symlink_to(tmp_path / "outside.txt")
    return root


def client_for(repository, **options):
    library = Library.open([repository])
    library.update()
    return TestClient(build_app(library, watch=False, **options), base_url=BASE)


@pytest.fixture
def client(repository):
    with client_for(repository) as client:
        yield client


@pytest.mark.parametrize("params, expected", [
    ({"q": "parse_config"}, {("main.py", 1), ("main.py", 2), ("settings/loader.py", 1)}),
    ({"q": "PARSE CONFIG", "case": "insensitive", "fixed": "1"}, {("page.html", 1)}),
    ({"q": "parse", "path": "settings/**", "word": "0"}, {("settings/loader.py", 1)}),
    ({"q": "API_KEY"}, set()),  # .env is ignored, and never read
])
def test_grep_endpoint_answers_as_rg(client, params, expected):
    answer = client.get("/api/grep", params=params).json()
    assert {(f["path"], line["line"]) for f in answer["files"] for line in f["lines"] if line["match"]} == expected


def test_grep_endpoint_refuses_a_bad_pattern(client):
    answer = client.get("/api/grep", params={"q": "("})
    assert answer.status_code == 400 and "regex parse error" in answer.json()["error"]


def test_the_api_answers_with_the_records(client):
    found = client.get("/api/search", params={"q": "parse config", "k": 3}).json()
    best = found["hits"][0]
    assert (best["path"], best["line"], best["snippet"][0]) == ("settings/loader.py", 1, "def parse_config(path):")
    assert best["definitions"][0]["name"] == "parse_config" and found["several"] is False
    assert [hit["path"] for hit in client.get("/api/search", params={"q": "parse config", "lang": "html"})
            .json()["hits"]] == ["page.html"]
    assert client.get("/api/definitions", params={"name": "parse_config"}).json()["definitions"] == [
        {"repository": "app", "path": "settings/loader.py", "name": "parse_config", "kind": "function", "line": 1,
         "first_line": 1, "last_line": 2, "scope": ""}]
    assert [r["path"] for r in client.get("/api/references", params={"name": "parse_config"}).json()["references"]] \
        == ["main.py"]
    read = client.get("/api/file", params={"path": "main.py", "first": 2}).json()
    assert (read["lines"], read["first"], read["last"], read["total_lines"]) == (
        ["parse_config('app.toml')"], 2, 2, 2)
    status = client.get("/api/status").json()["repositories"][0]
    assert (status["repository"], status["files"], status["stale_files"]) == ("app", 4, 0)
    assert client.post("/api/update", json={}).json()["updated"][0]["unchanged"] == 4


def test_path_globs_keep_any_of_several(client):
    paths = {hit["path"] for hit in client.get("/api/search", params=[
        ("q", "parse config"), ("path", "main.*"), ("path", "*.html")]).json()["hits"]}
    assert paths == {"main.py", "page.html"}


@pytest.mark.parametrize("method, url, options, status, message", [
    ("get", "/api/search", {}, 400, "'q' is missing"),
    ("get", "/api/search?q=x&k=0", {}, 400, "from 1 to 1000"),
    ("get", "/api/search?q=x&k=abc", {}, 400, "whole number"),
    ("get", "/api/search?q=x&k=1000000", {}, 400, "from 1 to 1000"),
    ("get", "/api/search?q=x&files=maybe", {}, 400, "1 or 0"),
    ("get", "/api/search?q=" + "x" * 1001, {}, 400, "at most 1000 characters"),
    ("get", "/api/search?q=x&repository=other", {}, 404, "no repository 'other'"),
    ("get", "/api/file?path=../outside.txt", {}, 404, "is not a file"),
    ("get", "/api/file?path=/etc/passwd", {}, 404, "is not a file"),
    ("get", "/api/file?path=.env", {}, 404, "is not a file"),
    ("get", "/api/file?path=link.txt", {}, 404, "is not a file"),
    ("get", "/api/file?path=.vorpaline/MANIFEST", {}, 404, "is not a file"),
    ("get", "/api/file?path=main.py&first=0", {}, 400, "count from 1"),
    ("get", "/api/definitions", {}, 400, "'name' is missing"),
    ("post", "/api/update", {"content": b"{not json"}, 400, "no JSON"),
    ("post", "/api/update", {"content": b"[1]"}, 400, "JSON object"),
    ("post", "/api/update", {"content": b"x" * (MAX_BODY_BYTES + 1)}, 413, "at most"),
    ("post", "/api/search", {}, 405, "Method Not Allowed"),
    ("get", "/api/nothing", {}, 404, "Not Found"),
    ("get", "/api/status", {"headers": {"Host": "evil.example:7900"}}, 403, "does not answer for host"),
    ("get", "/api/status", {"headers": {"Host": "127.0.0.1.nip.io:7900"}}, 403, "does not answer for host"),
    ("get", "/api/status", {"headers": {"Origin": "http://evil.example"}}, 403, "not allowed"),
    ("get", "/api/status", {"headers": {"Origin": "http://localhost:7901"}}, 403, "not allowed"),
    ("get", "/api/status", {"headers": {"Origin": "127.0.0.1:7900"}}, 403, "not allowed"),
    ("get", "/api/status", {"headers": {"Origin": "https://127.0.0.1:7900"}}, 403, "not allowed"),
])
def test_a_bad_or_hostile_request_gets_a_clear_4xx(client, method, url, options, status, message):
    reply = getattr(client, method)(url, **options)
    assert (reply.status_code, reply.headers["content-type"]) == (status, "application/json")
    assert message in reply.json()["error"] and "Traceback" not in reply.text


def test_the_page_and_an_allowed_origin_are_served(client):
    assert client.get("/api/status", headers={"Origin": "http://localhost:7900"}).status_code == 200
    page = client.get("/")
    assert page.status_code == 200 and "text/html" in page.headers["content-type"]
    assert "default-src 'self'" in page.headers["content-security-policy"]
    assert client.get("/static/app.js").status_code == 200


@pytest.mark.parametrize("authorization, status", [(None, 401), ("Bearer wrong", 401), ("secret-token", 401),
                                                   ("Bearer secret-token", 200)])
def test_a_token_is_asked_of_every_api_request(repository, authorization, status):
    with client_for(repository, token="secret-token") as client:
        headers = {} if authorization is None else {"Authorization": authorization}
        assert client.get("/api/search", params={"q": "parse"}, headers=headers).status_code == status
        assert client.get("/").status_code == 200  # the page itself; it sends the token on its calls


def test_the_hosts_a_server_answers():
    assert allowed_hosts_for("127.0.0.1", 8000)[:3] == ["127.0.0.1:8000", "localhost:8000", "[::1]:8000"]
    assert "10.0.0.5:8000" in allowed_hosts_for("10.0.0.5", 8000)
    assert not any(host.startswith("0.0.0.0") for host in allowed_hosts_for("0.0.0.0", 8000))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def served(repository):
    port = free_port()
    child = subprocess.Popen(SERVE + [str(repository), "--port", str(port)], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                if httpx.get(url + "/api/status").json()["repositories"][0]["chunks"]:
                    break
            except (httpx.TransportError, ValueError, KeyError):
                pass
            time.sleep(0.05)
        yield url
    finally:
        child.terminate()
        child.wait(10)


def test_serve_finds_a_saved_file_within_a_second_and_serves_mcp(served, repository):
    (repository / "fresh.py").write_text("def freshly_saved_name():\n    pass\n")
    started = time.monotonic()
    while not httpx.get(served + "/api/search", params={"q": "freshly_saved_name"}).json()["hits"]:
        assert time.monotonic() - started < 5, "the saved file was not found"
        time.sleep(0.02)
    assert time.monotonic() - started < 2.0  # a second in the goal; slack for a loaded machine

    from mcp import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    async def through_mcp():
        async with streamable_http_client(served + "/mcp/") as streams:
            async with ClientSession(streams[0], streams[1]) as session:
                await session.initialize()
                return await session.call_tool("search", {"query": "freshly_saved_name"})

    result = asyncio.run(through_mcp())
    assert not result.is_error and result.structured_content["hits"][0]["path"] == "fresh.py"


@pytest.mark.parametrize("arguments, message", [
    (["--host", "0.0.0.0"], "give --token"),
    (["--port", "70000"], "no port 70000"),
])
def test_serve_refuses_an_unsafe_or_impossible_bind(repository, arguments, message):
    done = subprocess.run(SERVE + [str(repository), *arguments], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and message in done.stderr and "Traceback" not in done.stderr


def test_the_mcp_endpoint_checks_hosts_as_the_api_does(repository):
    library = Library.open([repository])
    with TestClient(build_app(library, watch=False, mcp=build_mcp(library, watch=False)), base_url=BASE) as client:
        reply = client.post("/mcp/", json={}, headers={"Host": "evil.example"})
        assert reply.status_code == 403
    assert os.path.isdir(repository / ".vorpaline")
