"""`vorpaline mcp` as an MCP client meets it: started as a subprocess, spoken to with the SDK's own client."""

import asyncio
import json
import os
import subprocess
import sys
import time

import pytest

pytest.importorskip("vorpaline_core_py")
pytest.importorskip("mcp")

from mcp import ClientSession, StdioServerParameters  # noqa: E402
from mcp.client.stdio import stdio_client  # noqa: E402

MCP = [sys.executable, "-m", "vorpaline", "mcp"]
TOOLS = {"search", "definitions", "references", "read", "status", "update"}


def make_repository(root, files):
    root.mkdir(parents=True)
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


@pytest.fixture
def repository(tmp_path):
    root = make_repository(tmp_path / "app", {
        "settings/loader.py": "def parse_config(path):\n    return read_settings(path)\n\n\n"
                              "def read_settings(path):\n    return open(path).read()\n",
        "main.py": "from settings.loader import parse_config\n\nparse_config('app.toml')\n",
        "notes.md": "# Notes\n" + "".join(f"parse config note {n}\n" for n in range(200)),
        ".gitignore": ".env\n",
        ".env": "API_KEY=secret\n",
    })
    (tmp_path / "outside.txt").write_text("outside secret\n")
    (root / "link.txt").symlink_to(tmp_path / "outside.txt")
    return root


def session_with(*roots, calls):
    """Runs ``calls(session)`` against a `vorpaline mcp` over ``roots``, once its first update is done."""
    async def scenario():
        parameters = StdioServerParameters(command=MCP[0], args=[*MCP[1:], *map(str, roots)],
                                           env={**os.environ, "PYTHONUNBUFFERED": "1"})
        with open(os.devnull, "w") as quiet:
            async with stdio_client(parameters, errlog=quiet) as streams:
                async with ClientSession(streams[0], streams[1]) as session:
                    await session.initialize()
                    deadline = time.monotonic() + 30
                    while time.monotonic() < deadline:
                        state = await call(session, "status")
                        if all(repository["chunks"] for repository in state["repositories"]):
                            break
                        await asyncio.sleep(0.1)
                    return await calls(session)
    return asyncio.run(scenario())


async def call(session, tool, **arguments):
    result = await session.call_tool(tool, arguments)
    if result.is_error:
        return {"error": result.content[0].text}
    if result.structured_content is not None:
        return result.structured_content.get("result", result.structured_content)
    return result.content[0].text


def test_the_tools_answer_as_an_agent_needs(repository):
    async def calls(session):
        listed = await session.list_tools()
        return ({tool.name: tool for tool in listed.tools},
                await call(session, "search", query="parse config", k=5),
                await call(session, "definitions", name="parse_config"),
                await call(session, "references", name="parse_config"),
                await call(session, "read", path="settings/loader.py", first=5, last=6),
                await call(session, "search", query="parse config note", k=50, max_tokens=60),
                await call(session, "update"))

    tools, found, defined, used, read, budgeted, updated = session_with(repository, calls=calls)
    assert set(tools) == TOOLS
    assert "query" in tools["search"].input_schema["properties"] and tools["search"].description
    best = found["hits"][0]
    assert best["at"] == "settings/loader.py:1" and "function parse_config" in best["defines"]
    assert best["lines"][0] == "1: def parse_config(path):"
    assert defined == {"definitions": ["settings/loader.py:1: function"]}
    assert used["references"] == ["main.py:3: call"]
    assert read == "settings/loader.py (lines 5-6 of 6)\n5: def read_settings(path):\n6:     return open(path).read()"
    assert len(json.dumps(budgeted["hits"])) <= 60 * 4 and "left out" in budgeted["left_out"]
    assert updated["updated"][0]["unchanged"] == 4  # the symbolic link is no file of the scan's


@pytest.mark.parametrize("path", ["../outside.txt", "/etc/passwd", ".env", "link.txt", ".vorpaline/MANIFEST",
                                  "settings", "missing.py", "settings/../../outside.txt"])
def test_read_refuses_what_is_not_served(repository, path):
    async def calls(session):
        return await call(session, "read", path=path)

    refused = session_with(repository, calls=calls)
    assert "is not a file of repository" in refused["error"] and "secret" not in refused["error"]


def test_bad_arguments_are_tool_errors_with_a_reason(repository):
    async def calls(session):
        return [await call(session, "search", query="x", k=0), await call(session, "read", path="main.py", first=0),
                await call(session, "status", repository="other")]

    errors = [answer["error"] for answer in session_with(repository, calls=calls)]
    reasons = ["k must be a whole number from 1 to 1000, not 0", "they count from 1",
               "no repository 'other' is served; these are: app"]
    assert all(reason in error and "Traceback" not in error for reason, error in zip(reasons, errors)), errors


def test_a_saved_file_is_found_and_two_repositories_are_named(repository, tmp_path):
    other = make_repository(tmp_path / "lib", {"util.py": "def parse_config_file(): pass\n"})

    async def calls(session):
        (repository / "fresh.py").write_text("def freshly_saved_name(): pass\n")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            found = await call(session, "search", query="freshly_saved_name")
            if found["hits"]:
                return found, await call(session, "search", query="parse_config_file parse_config", k=10)
            await asyncio.sleep(0.1)
        return found, None

    fresh, both = session_with(repository, other, calls=calls)
    assert [(hit["repository"], hit["at"]) for hit in fresh["hits"]] == [("app", "fresh.py:1")]
    assert {hit["repository"] for hit in both["hits"]} == {"app", "lib"}
