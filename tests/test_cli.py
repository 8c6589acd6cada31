import json
import math
import os
import subprocess
import sys
import zlib

import pytest

from vorpaline.cli import main

# A stand-in for the native core with a tokeniser simple enough to predict: lowercase \w+ words
# of at least min_token_len characters, index crc32(word), weight 1 + ln(tf). Texts holding a
# marker word make it misbehave; every profile text it receives is appended to $FAKE_CORE_LOG.
FAKE_CORE = r'''
import json, math, os, re, zlib
from collections import Counter

def _log(profile_json):
    if os.environ.get("FAKE_CORE_LOG"):
        with open(os.environ["FAKE_CORE_LOG"], "a") as log:
            log.write(profile_json + "\n")

def _analyse(text, profile_json):
    _log(profile_json)
    profile = json.loads(profile_json)
    if "BOOM" in text:
        raise ValueError("text rejected by the core")
    used = text[:profile["max_text_chars"]]
    counts = Counter(w.lower() for w in re.findall(r"\w+", used) if len(w) >= profile["min_token_len"])
    tokens = [{"token": w, "index": zlib.crc32(w.encode()), "tf": n, "value": 1 + math.log(n)}
              for w, n in sorted(counts.items(), reverse=True)]
    return tokens, {"truncated": len(used) < len(text), "original_chars": len(text), "used_chars": len(used)}

def _embedding(text, profile_json):
    tokens, lengths = _analyse(text, profile_json)
    return {"indices": [t["index"] for t in tokens], "values": [t["value"] for t in tokens],
            "extra": "ignored", **lengths}

def handshake():
    return json.dumps({"capabilities": []})

def sparse_embed_single(text, profile_json):
    return json.dumps(_embedding(text, profile_json))

def sparse_embed_batch(texts_json, profile_json):
    texts = json.loads(texts_json)
    if any("NOTJSON" in text for text in texts):
        return "{"
    embeddings = [_embedding(text, profile_json) for text in texts]
    if any("SHORT" in text for text in texts):
        embeddings.pop()
    if any("NOVALUES" in text for text in texts):
        del embeddings[0]["values"]
    return json.dumps({"embeddings": embeddings})

def sparse_explain(text, profile_json):
    tokens, lengths = _analyse(text, profile_json)
    if "NOTOKENS" in text:
        return json.dumps(lengths)
    return json.dumps({"tokens": tokens, **lengths})
'''

DEFAULT_PROFILE = '{"version": "bm25-v1", "max_text_chars": 200000, "code_pretokenize": true, "min_token_len": 2}'
EMBEDDING_KEYS = ["indices", "values", "truncated", "original_chars", "used_chars"]


@pytest.fixture(scope="module")
def fake_core_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("fake_core")
    (directory / "vorpaline_core_py.py").write_text(FAKE_CORE)
    return directory


@pytest.fixture(scope="module")
def broken_core_dir(tmp_path_factory):
    directory = tmp_path_factory.mktemp("broken_core")
    (directory / "vorpaline_core_py.py").write_text('raise ImportError("core built for another Python")\n')
    return directory


def _environ(core_dir=None, **overrides):
    environ = {key: value for key, value in os.environ.items() if not key.startswith("VORPALINE_")}
    if core_dir is not None:
        environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(core_dir), environ.get("PYTHONPATH")]))
    environ.update(overrides)
    return environ


def run_cli(*args, core_dir=None, stdin=b"", **env):
    done = subprocess.run([sys.executable, "-m", "vorpaline", *map(str, args)], input=stdin,
                          env=_environ(core_dir, **env), capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")


def expected_weights(text):
    counts = {}
    for word in text.lower().split():
        counts[word] = counts.get(word, 0) + 1
    return {zlib.crc32(word.encode()): 1 + math.log(n) for word, n in counts.items() if len(word) >= 2}


def embeddings_of(stdout):
    lines = [json.loads(line) for line in stdout.splitlines()]
    assert all(list(line) == EMBEDDING_KEYS for line in lines)
    return lines


@pytest.mark.parametrize("texts", [
    ["alpha beta beta"],
    ["alpha", "", "gamma gamma gamma x", "Ünïcode wörds wörds"],
])
def test_embed_prints_one_json_object_per_argument(fake_core_dir, texts):
    status, stdout, stderr = run_cli("embed", *texts, core_dir=fake_core_dir)
    assert (status, stderr) == (0, "")
    embeddings = embeddings_of(stdout)
    assert len(embeddings) == len(texts)
    for text, embedding in zip(texts, embeddings):
        assert dict(zip(embedding["indices"], embedding["values"])) == pytest.approx(expected_weights(text))
        assert (embedding["truncated"], embedding["original_chars"], embedding["used_chars"]) == (
            False, len(text), len(text))


def test_embed_reads_one_text_per_line_from_stdin(fake_core_dir):
    lines = ["first line", "", "second\r", "tail without newline"]
    status, stdout, stderr = run_cli("embed", "-", core_dir=fake_core_dir, stdin="\n".join(lines).encode())
    assert (status, stderr) == (0, "")
    embeddings = embeddings_of(stdout)
    assert [embedding["original_chars"] for embedding in embeddings] == [10, 0, 6, 20]
    assert embeddings[1]["indices"] == []


def test_embed_stdin_keeps_order_across_core_calls(fake_core_dir):
    words = [f"word{number}" for number in range(600)]  # more than one chunk
    status, stdout, _ = run_cli("embed", "-", core_dir=fake_core_dir, stdin="\n".join(words).encode())
    assert status == 0
    assert [embedding["indices"] for embedding in embeddings_of(stdout)] == [
        [zlib.crc32(word.encode())] for word in words]


def test_embed_files_whole_after_the_arguments(fake_core_dir, tmp_path):
    first, second = tmp_path / "a.py", tmp_path / "b.txt"
    first.write_text("def parse_config():\r\n    return None\n", newline="")
    second.write_text("", encoding="utf-8")
    status, stdout, stderr = run_cli("embed", "--file", first, "solo", "--file", second, core_dir=fake_core_dir)
    assert (status, stderr) == (0, "")
    embeddings = embeddings_of(stdout)
    assert [embedding["original_chars"] for embedding in embeddings] == [4, 37, 0]
    assert set(embeddings[1]["indices"]) == {zlib.crc32(w) for w in (b"def", b"parse_config", b"return", b"none")}


@pytest.mark.parametrize(("env", "profile"), [
    ({}, DEFAULT_PROFILE),
    ({"VORPALINE_SPARSE_PROFILE_VERSION": "v9", "VORPALINE_SPARSE_MAX_TEXT_CHARS": "5",
      "VORPALINE_CODE_PRETOKENIZE": "no"},
     '{"version": "v9", "max_text_chars": 5, "code_pretokenize": false, "min_token_len": 2}'),
])
def test_profile_comes_from_settings(fake_core_dir, tmp_path, env, profile):
    log = tmp_path / "profiles.log"
    status, stdout, _ = run_cli("embed", "abcdefgh", core_dir=fake_core_dir, FAKE_CORE_LOG=str(log), **env)
    assert status == 0
    assert log.read_text().splitlines() == [profile]
    limit = json.loads(profile)["max_text_chars"]
    embedding = embeddings_of(stdout)[0]
    assert (embedding["truncated"], embedding["used_chars"]) == (limit < 8, min(limit, 8))


def _top_rows(stdout):
    lines = stdout.splitlines()
    header = next(number for number, line in enumerate(lines) if line.split() == ["weight", "tf", "index", "token"])
    rows = []
    for line in lines[header + 1:]:
        if not line.strip():
            break
        weight, tf, index, token = line.split()
        rows.append((token, float(weight), int(tf), int(index)))
    return rows


@pytest.mark.parametrize(("top", "tokens"), [
    (1, ["alpha"]),
    (2, ["alpha", "beta"]),
    (10, ["alpha", "beta", "delta", "gamma"]),  # ties by token
])
def test_top_prints_the_heaviest_tokens_in_order(fake_core_dir, top, tokens):
    text = "gamma beta beta alpha alpha alpha delta"
    status, stdout, stderr = run_cli("embed", "--top", top, text, core_dir=fake_core_dir)
    assert (status, stderr) == (0, "")
    assert stdout.startswith("== argument 1: ")
    assert "39 chars, 4 distinct tokens" in stdout.splitlines()[0]
    rows = _top_rows(stdout)
    assert [row[0] for row in rows] == tokens
    assert all(row[1] == pytest.approx(round(1 + math.log(row[2]), 4)) for row in rows)
    assert all(row[3] == zlib.crc32(row[0].encode()) for row in rows)


def test_top_labels_each_source(fake_core_dir, tmp_path):
    path = tmp_path / "notes.md"
    path.write_text("notes here")
    status, stdout, _ = run_cli("embed", "--top", "3", "-", "--file", path, core_dir=fake_core_dir,
                                stdin=b"one\ntwo two\n", VORPALINE_SPARSE_MAX_TEXT_CHARS="5")
    assert status == 0
    headers = [line for line in stdout.splitlines() if line.startswith("== ")]
    assert [header.split(":")[0] for header in headers] == ["== stdin line 1", "== stdin line 2", f"== {path}"]
    assert "(10 chars, truncated to 5, 1 distinct tokens)" in headers[2]


def test_top_on_a_text_without_tokens(fake_core_dir):
    status, stdout, _ = run_cli("embed", "--top", "5", "a !", core_dir=fake_core_dir)
    assert status == 0
    assert "(no tokens)" in stdout


def test_demo_shows_every_sample(fake_core_dir):
    status, stdout, stderr = run_cli("demo", "--top", "3", core_dir=fake_core_dir)
    assert (status, stderr) == (0, "")
    assert DEFAULT_PROFILE in stdout
    headers = [line for line in stdout.splitlines() if line.startswith("== ")]
    assert [header.split(" sample")[0] for header in headers] == ["== Python", "== C++", "== prose", "== Russian"]
    assert "быстрая" in stdout  # case-folded non-Latin token
    blocks = stdout.split("\n== ")[1:]
    assert all(len(block.strip().splitlines()) == 1 + 1 + 3 for block in blocks)


USAGE = FAILURE = 2  # as grep and rg: a usage error and a failure both exit 2


@pytest.mark.parametrize(("args", "stdin", "status", "message"), [
    ([], b"", USAGE, "required: COMMAND"),
    (["bogus"], b"", USAGE, "invalid choice"),
    (["embed"], b"", USAGE, "nothing to embed"),
    (["embed", "-", "more"], b"", USAGE, "'-' (standard input) must be the only text argument"),
    (["embed", "--top", "0", "x"], b"", USAGE, "must be at least 1"),
    (["embed", "--top", "many", "x"], b"", USAGE, "not an integer"),
    (["embed", "--file", "/nonexistent/file.txt", "x"], b"", FAILURE, "cannot read /nonexistent/file.txt"),
    (["embed", "-"], b"fine\n\xff\xfe\n", FAILURE, "standard input line 2: not UTF-8"),
    (["embed", "ok", "BOOM"], b"", FAILURE, "text rejected by the core"),
    (["embed", "--top", "2", "BOOM"], b"", FAILURE, "text rejected by the core"),
    (["embed", "a SHORT reply"], b"", FAILURE, "sparse_embed_batch returned 0 embeddings for 1 texts"),
    (["embed", "NOVALUES"], b"", FAILURE, "has no member 'values'"),
    (["embed", "NOTJSON"], b"", FAILURE, "not JSON text"),
    (["embed", "--top", "1", "NOTOKENS"], b"", FAILURE, "no \"tokens\" list"),
])
def test_errors_are_one_line_without_traceback(fake_core_dir, args, stdin, status, message):
    got_status, _, stderr = run_cli(*args, core_dir=fake_core_dir, stdin=stdin)
    assert got_status == status
    assert len(stderr.splitlines()) == 1, stderr
    assert stderr.startswith("vorpaline: error: ") and message in stderr


def test_unreadable_file_fails_before_any_output(fake_core_dir, tmp_path):
    binary = tmp_path / "image.bin"
    binary.write_bytes(b"GIF89a\x00\xff\xfe")
    status, stdout, stderr = run_cli("embed", "first", "--file", binary, core_dir=fake_core_dir)
    assert (status, stdout) == (FAILURE, "")
    assert stderr == f"vorpaline: error: cannot read {binary}: not UTF-8 text (byte 7)\n"


@pytest.mark.parametrize(("core", "env", "message"), [
    ("broken", {}, "cannot import vorpaline.sparse (core built for another Python)"),
    ("fake", {"VORPALINE_SPARSE_MAX_TEXT_CHARS": "lots"}, "VORPALINE_SPARSE_MAX_TEXT_CHARS='lots': expected an integer"),
])
def test_environment_problems_are_one_line(fake_core_dir, broken_core_dir, core, env, message):
    core_dir = fake_core_dir if core == "fake" else broken_core_dir
    status, stdout, stderr = run_cli("embed", "text", core_dir=core_dir, **env)
    assert (status, stdout) == (FAILURE, "")
    assert len(stderr.splitlines()) == 1 and stderr.startswith(f"vorpaline: error: {message}")


def test_closed_output_pipe_ends_quietly(fake_core_dir):
    lines = "\n".join(f"line {number}" for number in range(5000)).encode()
    with subprocess.Popen([sys.executable, "-m", "vorpaline", "embed", "-"], env=_environ(fake_core_dir),
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        process.stdin.write(lines)
        process.stdin.close()
        assert json.loads(process.stdout.readline())["original_chars"] == 6
        process.stdout.close()
        stderr = process.stderr.read()
        process.wait(timeout=120)
    assert b"Traceback" not in stderr and stderr == b""


@pytest.mark.parametrize(("argv", "status", "output"), [
    (["--version"], 0, "vorpaline 0.1.0"),
    (["--help"], 0, "usage: vorpaline"),
    (["embed", "--help"], 0, "--file PATH"),
    (["embed"], USAGE, "nothing to embed"),
])
def test_main_returns_the_exit_status(capsys, argv, status, output):
    assert main(argv) == status
    captured = capsys.readouterr()
    assert output in captured.out + captured.err


def _real_core_available():
    probe = subprocess.run([sys.executable, "-c", "import vorpaline_core_py"], env=_environ(), capture_output=True)
    return probe.returncode == 0


needs_real_core = pytest.mark.skipif(not _real_core_available(), reason="the native core is not built")


@needs_real_core
def test_demo_runs_on_the_real_core():
    status, stdout, stderr = run_cli("demo")
    assert (status, stderr) == (0, "")
    assert len([line for line in stdout.splitlines() if line.startswith("== ")]) == 4


@needs_real_core
def test_real_core_top_tokens_are_in_the_embedding():
    text = "def parseConfigFile(config_path):\n    return load_yaml(config_path)\n"
    status, stdout, stderr = run_cli("embed", text)
    assert (status, stderr) == (0, "")
    embedding = embeddings_of(stdout)[0]
    weights = dict(zip(embedding["indices"], embedding["values"]))
    assert len(weights) == len(embedding["values"]) > 0
    status, stdout, _ = run_cli("embed", "--top", "100", text)
    rows = _top_rows(stdout)
    assert status == 0 and len(rows) == len(weights)
    assert all(weights[index] == pytest.approx(weight, abs=1e-4) for _, weight, _, index in rows)
