"""Search through the server: latency over HTTP and MCP, freshness after a save, a watch's idle cost, load.

One tree, a hard-linked copy of the interpreter's library folder with site-packages (new files
are added to the copy only; no file of the original is written). It is indexed once; then:
- latency: the same identifier and sentence queries through ``vorpaline serve``'s HTTP API (one
  keep-alive client), through its MCP endpoint (the SDK's own client, streamable HTTP), and as a
  whole ``vorpaline search`` process each; ``csearch`` (codesearch, a trigram index over the same
  tree) answers the identifiers as a process too;
- freshness: a new file holding a fresh name is saved, and the server asked every 10 ms until a
  search finds it;
- the idle watch: the server's CPU time over IDLE_SECONDS with nothing changing;
- load: LOAD_CLIENTS clients searching for LOAD_SECONDS while files are saved over and over; every
  request must answer 200, each file's last saved name must be defined there in the index and no
  earlier one anywhere, and the server's resident memory must level off: the peak of the run's last
  quarter at most LOAD_GROWTH times the first quarter's.
"""
from __future__ import annotations

import asyncio
import datetime
import os
import random
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

from . import code_cost, corpus, identifiers, machine, timing

PROCESS_QUERIES = 20  # each a whole process: they take long
SERVER_QUERIES = 100  # of each kind, per round
IDLE_SECONDS = 20.0
FRESH_SAVES = 10
LOAD_CLIENTS = 4
LOAD_SECONDS = 60.0
LOAD_GROWTH = 1.25  # the server's resident memory after the load, against before it
TARGET_P99_MS = 20.0
TARGET_VS_PROCESS = 20.0
TARGET_FRESH_S = 1.0
TARGET_IDLE_SHARE = 0.01


def log(message: str) -> None:
    print(f"bench: serving: {message}", file=sys.stderr, flush=True)


def percentile(samples: list[float], share: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def latency(samples: list[float]) -> dict[str, float]:
    return {"p50_ms": percentile(samples, 0.5) * 1e3, "p99_ms": percentile(samples, 0.99) * 1e3,
            "count": len(samples)}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


vorpaline = timing.vorpaline


def cpu_seconds_of(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_bytes(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    return 0


class Server:
    """``vorpaline serve`` over the tree, as a child process on a free loopback port."""

    def __init__(self, tree: Path, index: Path, *, watch: bool) -> None:
        import httpx

        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        command = vorpaline("serve", str(tree), "--index", str(index), "--port", str(self.port))
        self.child = subprocess.Popen(command + ([] if watch else ["--no-watch"]), stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE)
        self.client = httpx.Client(base_url=self.url, timeout=60)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            try:
                if self.client.get("/api/health").status_code == 200:
                    return
            except httpx.TransportError:
                time.sleep(0.1)
        self.close()
        raise RuntimeError("vorpaline serve did not come up")

    def search(self, query: str, k: int = 10) -> list[dict[str, object]]:
        reply = self.client.get("/api/search", params={"q": query, "k": k})
        reply.raise_for_status()
        return reply.json()["hits"]

    def close(self) -> None:
        self.client.close()
        self.child.terminate()
        try:
            self.child.wait(10)
        except subprocess.TimeoutExpired:
            self.child.kill()


def timed(call, queries: list[str]) -> list[float]:
    samples = []
    for query in queries:
        started = time.perf_counter()
        call(query)
        samples.append(time.perf_counter() - started)
    return samples


def through_mcp(url: str, queries: list[str]) -> list[float]:
    """Each query's time as the SDK's client calls the server's search tool, one session for all."""
    from mcp import ClientSession
    from mcp.client.streamable_http import streamable_http_client

    async def session_times() -> list[float]:
        async with streamable_http_client(url) as streams:
            async with ClientSession(streams[0], streams[1]) as session:
                await session.initialize()
                samples = []
                for query in queries:
                    started = time.perf_counter()
                    result = await session.call_tool("search", {"query": query, "k": 10})
                    samples.append(time.perf_counter() - started)
                    if result.is_error:
                        raise RuntimeError(f"the search tool failed: {result.content}")
                return samples

    return asyncio.run(session_times())


def process_times(tree: Path, index: Path, queries: list[str]) -> list[float]:
    return timed(lambda query: subprocess.run(vorpaline("search", query, str(tree), "--index", str(index)),
                                              stdout=subprocess.DEVNULL, check=True), queries)


def csearch_times(index: Path, queries: list[str]) -> list[float]:
    env = {**os.environ, "CSEARCHINDEX": str(index)}
    return timed(lambda query: subprocess.run(["csearch", "-l", query], env=env, stdout=subprocess.DEVNULL), queries)


def freshness(server: Server, tree: Path, saves: int) -> list[float]:
    """Seconds from a new file's save to the first search that finds its name."""
    samples = []
    for number in range(saves):
        name = f"freshly_saved_{number}_{random.randrange(1 << 30)}"
        path = tree / f"vorpaline_fresh_{number}.py"
        started = time.perf_counter()
        path.write_text(f"def {name}():\n    return {number}\n")
        while not any(hit["path"] == path.name for hit in server.search(name, 5)):
            if time.perf_counter() - started > 30:
                raise RuntimeError(f"{name} not found 30 s after its save")
            time.sleep(0.01)
        samples.append(time.perf_counter() - started)
        path.unlink()
        time.sleep(0.5)  # the removal's update, out of the next save's way
    return samples


def idle_share(server: Server, seconds: float) -> float:
    before = cpu_seconds_of(server.child.pid)
    time.sleep(seconds)
    return (cpu_seconds_of(server.child.pid) - before) / seconds


def load(server: Server, tree: Path, queries: list[str], seconds: float) -> dict[str, object]:
    """LOAD_CLIENTS clients searching while a writer saves and removes files; every answer counted."""
    import httpx

    stop = time.monotonic() + seconds
    answers: list[int] = []
    failures: list[str] = []
    rss_before = rss_bytes(server.child.pid)

    def client(seed: int) -> None:
        draw = random.Random(seed)
        with httpx.Client(base_url=server.url, timeout=30) as http:
            while time.monotonic() < stop:
                try:
                    reply = http.get("/api/search", params={"q": draw.choice(queries), "k": 10})
                    answers.append(reply.status_code)
                except httpx.HTTPError as error:
                    failures.append(repr(error))

    saved: list[str] = []
    rss: list[int] = []

    def writer() -> None:
        number = 0
        while time.monotonic() < stop:
            path = tree / f"vorpaline_load_{number % 5}.py"
            name = f"load_saved_{number}"
            path.write_text(f"def {name}():\n    pass\n")
            saved.append(name)
            number += 1
            rss.append(rss_bytes(server.child.pid))
            time.sleep(0.25)

    threads = [threading.Thread(target=client, args=(seed,)) for seed in range(LOAD_CLIENTS)]
    threads.append(threading.Thread(target=writer))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Once the last saves settle, each file's chunk defines the name saved last in it, and no
    # chunk defines a name saved before (the definitions are the index's, not the file's now).
    last = {f"vorpaline_load_{n % 5}.py": f"load_saved_{n}" for n in range(len(saved))}

    def defining(name: str) -> list[dict[str, object]]:
        return [hit for hit in server.search(name, 20) if any(d["name"] == name for d in hit["definitions"])]

    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not all(defining(name) for name in last.values()):
        time.sleep(0.1)
    found_last = all([hit["path"] for hit in defining(name)] == [path] for path, name in last.items())
    stale = [name for name in saved if name not in last.values() and defining(name)]
    for path in last:
        (tree / path).unlink(missing_ok=True)
    quarter = max(1, len(rss) // 4)
    return {"requests": len(answers), "failed": len(failures) + sum(status != 200 for status in answers),
            "failures": failures[:5], "found_last": found_last, "stale_hits": len(stale),
            "rss_before": rss_before, "rss_first_quarter": max(rss[:quarter]), "rss_last_quarter": max(rss[-quarter:]),
            "rss_after": rss_bytes(server.child.pid)}


def run(build_dir: Path, rounds: int = 3, library_root: str | None = None, quick: bool = False) -> dict[str, object]:
    measured_at = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                   "load_average": machine.load_average()}
    root = Path(library_root or corpus.stdlib_root())
    work = build_dir.resolve() / "serving"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    paths = code_cost.text_files(root)
    tree = identifiers.copied_tree(root, paths, work / "tree")
    subprocess.run(["git", "init", "-q", str(tree)], check=True)
    index = work / "index"
    log(f"{len(paths):,} files; indexing the copy")
    started = time.perf_counter()
    subprocess.run(vorpaline("index", str(tree), "--index", str(index)), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    build_seconds = time.perf_counter() - started
    queries = code_cost.tree_queries(root, paths)
    names, sentences = queries["identifiers"], queries["sentences"]
    csearch_index = work / "csearchindex"
    has_csearch = shutil.which("cindex") is not None and shutil.which("csearch") is not None
    if has_csearch:
        subprocess.run(["cindex", str(tree)], env={**os.environ, "CSEARCHINDEX": str(csearch_index)},
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    samples: dict[str, list[float]] = {"http identifiers": [], "http sentences": [], "mcp identifiers": [],
                                       "mcp sentences": [], "process": [], "csearch": []}
    server = Server(tree, index, watch=False)
    try:
        server.search(names[0])  # the searcher opened
        for number in range(rounds):
            log(f"latency, round {number + 1} of {rounds}")
            samples["http identifiers"] += timed(server.search, names[:SERVER_QUERIES])
            samples["http sentences"] += timed(server.search, sentences[:SERVER_QUERIES])
            samples["mcp identifiers"] += through_mcp(server.url + "/mcp/", names[:SERVER_QUERIES])
            samples["mcp sentences"] += through_mcp(server.url + "/mcp/", sentences[:SERVER_QUERIES])
            samples["process"] += process_times(tree, index, names[:PROCESS_QUERIES // 2] +
                                                sentences[:PROCESS_QUERIES // 2])
            if has_csearch:
                samples["csearch"] += csearch_times(csearch_index, names[:PROCESS_QUERIES])
    finally:
        server.close()
    log("freshness, the idle watch and load")
    server = Server(tree, index, watch=True)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not all(s["watching"] for s in server.client.get("/api/status").json()
                                                      ["repositories"]):
            time.sleep(0.1)
        time.sleep(2.0)  # the first update, bringing nothing new, done
        fresh = freshness(server, tree, 3 if quick else FRESH_SAVES)
        idle = idle_share(server, 5.0 if quick else IDLE_SECONDS)
        loaded = load(server, tree, names + sentences, 15.0 if quick else LOAD_SECONDS)
    finally:
        server.close()
    shutil.rmtree(work / "tree", ignore_errors=True)
    return {"status": "measured", **measured_at, "load_average_after": machine.load_average(), "rounds": rounds,
            "root": str(root), "files": len(paths), "build_seconds": build_seconds,
            "latency": {name: latency(times) for name, times in samples.items() if times},
            "freshness_s": {"median": percentile(fresh, 0.5), "high": max(fresh), "low": min(fresh),
                            "count": len(fresh)},
            "idle_share": idle, "load": loaded, "load_seconds": 15.0 if quick else LOAD_SECONDS,
            "query_examples": {"identifiers": names[:3], "sentences": sentences[:3]}}


def section(result: dict[str, object]) -> str:
    """The section of docs/benchmarks.md."""
    from .report import table, verdict

    if result["status"] != "measured":
        return f"### 12. Search through the server\n\nNot measured: {result['status']}."
    rows = result["latency"]
    process = rows["process"]["p50_ms"]
    lines = [[name, f"{row['p50_ms']:.2f}", f"{row['p99_ms']:.2f}", str(row["count"]),
              f"{process / row['p50_ms']:.0f}x" if name not in ("process",) else "1x"]
             for name, row in rows.items()]
    fresh, loaded = result["freshness_s"], result["load"]
    worst_server_p99 = max(row["p99_ms"] for name, row in rows.items() if name.startswith(("http", "mcp")))
    slowest_p50 = max(row["p50_ms"] for name, row in rows.items() if name.startswith(("http", "mcp")))
    growth = loaded["rss_last_quarter"] / max(1, loaded["rss_first_quarter"])
    goals = [
        [f"p99 through the server below {TARGET_P99_MS:g} ms", f"{worst_server_p99:.2f} ms",
         verdict(worst_server_p99 < TARGET_P99_MS)],
        [f"at least {TARGET_VS_PROCESS:g}x faster than `vorpaline search` as a process (p50)",
         f"{process / slowest_p50:.0f}x", verdict(process / slowest_p50 >= TARGET_VS_PROCESS)],
        [f"a save found within {TARGET_FRESH_S:g} s", f"{fresh['median']:.2f} s median, {fresh['high']:.2f} s worst",
         verdict(fresh["high"] < TARGET_FRESH_S)],
        [f"an idle watch under {TARGET_IDLE_SHARE:.0%} of a core", f"{result['idle_share']:.2%}",
         verdict(result["idle_share"] < TARGET_IDLE_SHARE)],
        [f"{LOAD_CLIENTS} clients for {result['load_seconds']:g} s while files change: no failed request",
         f"{loaded['requests']:,} requests, {loaded['failed']} failed", verdict(loaded["failed"] == 0)],
        ["no stale hit after the final update: each file's last name defined there, no earlier one anywhere",
         f"last names found: {loaded['found_last']}, earlier names still defined: {loaded['stale_hits']}",
         verdict(loaded["found_last"] and loaded["stale_hits"] == 0)],
        [f"memory flat: the last quarter's peak at most {LOAD_GROWTH:g}x the first's",
         f"{loaded['rss_first_quarter'] / 2**20:.0f} MiB, then {loaded['rss_last_quarter'] / 2**20:.0f} MiB "
         f"({growth:.2f}x; {loaded['rss_before'] / 2**20:.0f} MiB before the load)", verdict(growth <= LOAD_GROWTH)],
    ]
    return ("### 12. Search through the server\n\n"
            f"Search through `vorpaline serve` on a hard-linked copy of {result['root']} ({result['files']:,} files, "
            f"indexed in {result['build_seconds']:.0f} s), {result['rounds']} rounds, measured {result['date']}, load "
            f"average {result['load_average']} (after: {result['load_average_after']}). HTTP: one keep-alive client "
            "asking `/api/search` (k=10, snippets included); MCP: the SDK's client calling the `search` tool over "
            "the server's streamable HTTP endpoint; process: `vorpaline search` started anew for each query "
            "(identifiers and sentences); csearch: codesearch's `csearch -l` over its trigram index of the same "
            "tree, for the identifiers (it has no ranking to ask sentences of). Examples: "
            f"{', '.join(result['query_examples']['identifiers'])}; "
            f"\"{result['query_examples']['sentences'][0]}\".\n\n"
            + table(["path", "p50 ms", "p99 ms", "queries", "vs the process (p50)"], lines) + "\n\n"
            + table(["goal", "measured", "outcome"], goals))
