"""The core's grep index: trigram segments written by the file builder and
grep_search over them, checked against ripgrep and a Python model."""

from __future__ import annotations

import json
import os
import shutil
import subprocess

import pytest

core = pytest.importorskip("vorpaline_core_py")
if not hasattr(core, "grep_search"):
    pytest.skip("this core has no grep index", allow_module_level=True)

PROFILE = json.dumps({"version": "bm25-v1", "code_pretokenize": True, "min_token_len": 2})
RG = shutil.which("rg")

TREE = {
    "a.txt": "hello world\nfoo bar\nbaz qux\n",
    "crlf.txt": "alpha foo\r\nbeta\r\n\r\nfoo gamma\r\n",
    "no_newline.txt": "first line\nlast foo line",
    "empty_lines.txt": "\n\nfoo\n\n\nbar\n",
    "unicode.txt": "été à Paris\nnaïve café foo\n日本語のテキスト\nStraße ÉTÉ\n",
    "dir/nested.py": "def foo():\n    return 'FOO'\n\nclass Bar:\n    pass\n",
    "dir/sub/deep.md": "# Title\nsome foo text\nmore text\nfoo foo foo\n",
    "dir-x/after.txt": "foo in a folder whose name sorts after dir/\n",
    "dir.txt": "a file named like a folder foo\n",
    "empty.txt": "",
    "one.txt": "x",
    "long.txt": "".join(f"line {i} {'foo' if i % 7 == 0 else 'bar'}\n" for i in range(1, 60)),
}

# (pattern, literal every match holds or None): the query is true, or the literal's trigrams.
PATTERNS = [
    ("foo", "foo"),
    ("FOO", "foo"),
    ("(?i)foo", "foo"),
    ("foo|bar", None),
    ("^foo", "foo"),
    ("foo$", "foo"),
    ("^$", None),
    ("^", None),
    ("$", None),
    ("a*", None),
    ("o*", None),
    ("x?", None),
    ("été", "été"),
    ("(?i)été", None),
    ("日本語", "日本語"),
    ("[^ ]+ text", " text"),
    ("caf.", "caf"),
    (r"\d+", None),
    ("line [0-9]+ foo", "line "),
    ("b.", None),
    ("\r", None),
    (" +", None),
    ("o", None),
]


def key(three: bytes) -> int:
    low = bytes(b + 32 if 65 <= b <= 90 else b for b in three)
    return (low[0] << 16) | (low[1] << 8) | low[2]


def keys_of(data: bytes) -> set[int]:
    return {key(data[i:i + 3]) for i in range(len(data) - 2)}


def write_tree(root, tree):
    for name, text in tree.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode())


def build(root, folder, names, prefix="g", threads=1, **limits):
    folder.mkdir(exist_ok=True)
    files = [[name, os.path.getsize(root / name)] for name in names]
    reply = core.index_build_files(str(root), json.dumps(files), str(folder), prefix, PROFILE,
                                   json.dumps({"grep": True, **limits}), threads, None)
    return json.loads(reply)


def search(root, segments, pattern, query=True, threads=2, **options):
    request = {"root": str(root), "segments": segments, "listing": None, "extra": [], "prefixes": None,
               "globs": [], "type_globs": [], "pattern": "(?m)" + pattern, "query": query, "mode": "lines",
               "before": 0, "after": 0, "max_count": None}
    request.update(options)
    return core.grep_search(json.dumps(request), threads)


def rg_lines(root, pattern, *flags):
    """ripgrep's answer in the shape grep_search gives."""
    run = subprocess.run([RG, "--no-config", "--no-ignore", "--sort", "path", "-n", "--json", *flags, "-e", pattern],
                         cwd=root, capture_output=True)
    assert run.returncode in (0, 1), run.stderr
    files: dict[str, list] = {}
    for line in run.stdout.splitlines():
        event = json.loads(line)
        if event["type"] not in ("match", "context"):
            continue
        data = event["data"]
        text = data["lines"]["text"].encode()
        matches = tuple((m["start"], m["end"]) for m in data["submatches"]) if event["type"] == "match" else None
        files.setdefault(data["path"]["text"], []).append((data["line_number"], data["absolute_offset"], text, matches))
    return list(files.items())


def rg_order(path):
    return path.encode().replace(b"/", b"\0")


def trigram_query(literal):
    if literal is None:
        return True
    return {"and": sorted(keys_of(literal.lower().encode()))}


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    write_tree(root, TREE)
    folder = tmp_path_factory.mktemp("index")
    reply = build(root, folder, sorted(TREE), threads=2)
    return root, [{"path": str(folder / reply["grep_segments"][0]["name"]), "deleted": []}], reply


def test_build_reply_numbers_grep_docs_in_file_order(indexed):
    _, _, reply = indexed
    names = sorted(TREE)
    docs = [f["grep"] for f in reply["files"]]
    assert docs == list(range(len(names)))
    assert reply["grep_segments"][0]["files"] == len(names)


@pytest.mark.skipif(RG is None, reason="needs ripgrep")
@pytest.mark.parametrize("pattern, literal", PATTERNS)
def test_lines_match_ripgrep(indexed, pattern, literal):
    root, segments, _ = indexed
    expected = rg_lines(root, pattern)
    for query in (True, trigram_query(literal)):
        files, stats = search(root, segments, pattern, query)
        assert files == expected
        assert stats["matched_lines"] == sum(len(lines) for _, lines in expected)


@pytest.mark.skipif(RG is None, reason="needs ripgrep")
@pytest.mark.parametrize("flags, options", [
    (["-B", "1"], {"before": 1}),
    (["-A", "2"], {"after": 2}),
    (["-C", "3"], {"before": 3, "after": 3}),
    (["-A", "1", "-B", "2"], {"before": 2, "after": 1}),
    (["-m", "2"], {"max_count": 2}),
    (["-m", "1", "-A", "1"], {"max_count": 1, "after": 1}),
])
@pytest.mark.parametrize("pattern", ["foo", "^$", "bar"])
def test_context_and_max_count_match_ripgrep(indexed, flags, options, pattern):
    root, segments, _ = indexed
    files, _ = search(root, segments, pattern, **options)
    assert files == rg_lines(root, pattern, *flags)


@pytest.mark.skipif(RG is None, reason="needs ripgrep")
def test_files_and_count_modes_match_ripgrep(indexed):
    root, segments, _ = indexed
    listed = subprocess.run([RG, "--no-config", "--no-ignore", "--sort", "path", "-l", "-e", "foo"], cwd=root,
                            capture_output=True, text=True).stdout.split()
    files, _ = search(root, segments, "foo", mode="files")
    assert files == [(path, None) for path in listed]
    counted = subprocess.run([RG, "--no-config", "--no-ignore", "--sort", "path", "-c", "-e", "o"], cwd=root,
                             capture_output=True, text=True).stdout.split()
    files, _ = search(root, segments, "o", mode="count")
    assert [f"{path}:{count}" for path, count in files] == counted


def test_each_key_selects_the_files_holding_it(indexed):
    """The index against a Python model: a key's docs are the files with that trigram."""
    root, segments, _ = indexed
    contents = {name: text.encode() for name, text in TREE.items()}
    probes = set()
    for data in contents.values():
        probes |= set(sorted(keys_of(data))[:5])
    probes |= {key(b"zzz"), key(b"FOO"), key("é".encode() + b" ")}
    for probe in sorted(probes):
        files, stats = search(root, segments, "", probe, mode="files")
        expected = sorted((n for n, d in contents.items() if probe in keys_of(d)), key=rg_order)
        assert [path for path, _ in files] == expected, probe
    files, stats = search(root, segments, "", {"or": [key(b"zzz"), {"and": [key(b"foo"), key(b"def")]}]}, mode="files")
    assert [path for path, _ in files] == ["dir/nested.py"]
    assert stats["candidates"] == 1 and stats["stale"] == 0


def make_indexed(tmp_path, tree, **limits):
    root = tmp_path / "tree"
    write_tree(root, tree)
    reply = build(root, tmp_path / "index", sorted(tree), **limits)
    segment = str(tmp_path / "index" / reply["grep_segments"][0]["name"]) if reply["grep_segments"] else None
    return root, segment, reply


def test_stale_files_are_searched_as_they_are_now(tmp_path):
    tree = {f"f{i}.txt": f"nothing {i} here\n" for i in range(6)}
    root, segment, _ = make_indexed(tmp_path, tree)
    (root / "f0.txt").write_text("nothing 0 here\nneedle\n")             # grown
    (root / "f1.txt").write_text("needle 1 here\n")                       # same size
    os.utime(root / "f1.txt", ns=(1, 123456789))
    (root / "f2.txt").unlink()                                            # gone
    (root / "f3.txt").unlink()
    (root / "f3.txt").symlink_to("f0.txt")                                # now a link
    (root / "f4.txt").write_text("needle\n")
    stat = os.stat(root / "f5.txt")
    os.utime(root / "f4.txt", ns=(stat.st_atime_ns, stat.st_mtime_ns))   # shrunk, mtime kept
    files, stats = search(root, [{"path": segment, "deleted": []}], "needle", key(b"nee"))
    assert [path for path, _ in files] == ["f0.txt", "f1.txt", "f4.txt"]
    assert files[0][1] == [(2, 15, b"needle\n", ((0, 6),))]
    assert stats["docs"] == 6 and stats["stale"] == 5 and stats["candidates"] == 3


def test_extra_files_are_read_unless_unchanged(tmp_path):
    root, segment, _ = make_indexed(tmp_path, {"a.txt": "needle\n"})
    (root / "new.txt").write_text("a needle\n")
    (root / "same.txt").write_text("needle too\n")
    (root / "link.txt").symlink_to("new.txt")
    same = os.lstat(root / "same.txt")
    extra = [["new.txt", None, None], ["same.txt", same.st_size, same.st_mtime_ns], ["gone.txt", None, None],
             ["link.txt", None, None]]
    files, stats = search(root, [{"path": segment, "deleted": []}], "needle", extra=extra)
    assert [path for path, _ in files] == ["a.txt", "new.txt"]
    assert stats["extra_read"] == 1
    files, _ = search(root, [], "needle", extra=[["same.txt", same.st_size + 1, same.st_mtime_ns]])
    assert files == [("same.txt", [(1, 0, b"needle too\n", ((0, 6),))])]


@pytest.mark.parametrize("options, expected", [
    ({"listing": ["b/x.py", "c.md", "missing"]}, ["b/x.py", "c.md"]),
    ({"prefixes": ["b"]}, ["b/x.py", "b/y.txt"]),
    ({"prefixes": ["b/", "c.md"]}, ["b/x.py", "b/y.txt", "c.md"]),
    ({"prefixes": ["b/x"]}, []),
    ({"globs": ["*.py"]}, ["b/x.py", "bb.py"]),
    ({"globs": ["!b/"]}, ["a.txt", "bb.py", "c.md"]),
    ({"type_globs": ["*.md"]}, ["c.md"]),
    ({"listing": ["a.txt", "bb.py"], "globs": ["*.py"]}, ["bb.py"]),
])
def test_listing_prefixes_and_globs(tmp_path, options, expected):
    tree = {name: "needle\n" for name in ["a.txt", "b/x.py", "b/y.txt", "bb.py", "c.md"]}
    root, segment, _ = make_indexed(tmp_path, tree)
    files, _ = search(root, [{"path": segment, "deleted": []}], "needle", mode="files", **options)
    assert [path for path, _ in files] == expected


def test_deleted_docs_and_later_segments_win(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"a.txt": "needle old\n", "b.txt": "needle\n", "c.txt": "needle\n"})
    first = build(root, tmp_path / "i", ["a.txt", "b.txt", "c.txt"], prefix="one")
    (root / "a.txt").write_text("needle new\n")
    second = build(root, tmp_path / "i", ["a.txt"], prefix="two")
    segments = [{"path": str(tmp_path / "i" / "one.grep"), "deleted": [2]},
                {"path": str(tmp_path / "i" / "two.grep"), "deleted": []}]
    files, stats = search(root, segments, "needle", key(b"new"))
    assert [path for path, _ in files] == ["a.txt"]
    assert stats["docs"] == 2
    assert first["files"][2]["grep"] == 2 and second["grep_segments"] == [{"name": "two.grep", "files": 1}]


def test_merge_answers_as_its_inputs(tmp_path):
    root = tmp_path / "tree"
    tree = {f"{c}{i}.txt": f"{c * 3} {i} common {'rare' if i == 3 else ''}\n" for c in "abc" for i in range(40)}
    write_tree(root, tree)
    names = sorted(tree)
    build(root, tmp_path / "i", names[:50], prefix="one")
    build(root, tmp_path / "i", names[50:], prefix="two")
    inputs = [{"path": str(tmp_path / "i" / "one.grep"), "deleted": [0, 7]},
              {"path": str(tmp_path / "i" / "two.grep"), "deleted": [69, 5000]}]
    assert json.loads(core.grep_merge_segments(str(tmp_path / "m.grep"), json.dumps(inputs))) == {"files": 117}
    merged = [{"path": str(tmp_path / "m.grep"), "deleted": []}]
    for query in [key(b"aaa"), key(b"rar"), {"and": [key(b"ccc"), key(b"rar")]}, {"or": [key(b"bbb"), key(b"aaa")]},
                  key(b"com"), True, False]:
        assert search(root, merged, "", query, mode="files") == search(root, inputs, "", query, mode="files")


def test_binary_and_oversized_files(tmp_path):
    tree = {"bin.dat": b"needle\n" + b"x" * 9000 + b"\x00", "big.txt": "needle\n" * 400, "ok.txt": "needle\n",
            "huge.txt": "needle\n" * 2000}
    root, segment, reply = make_indexed(tmp_path, tree, max_file_bytes=1000, grep_max_file_bytes=10000)
    by_name = dict(zip(sorted(tree), reply["files"]))
    assert by_name["bin.dat"]["grep"] is None and by_name["huge.txt"]["grep"] is None
    assert by_name["big.txt"]["status"] == "too large" and by_name["big.txt"]["grep"] is not None
    files, _ = search(root, [{"path": segment, "deleted": []}], "needle", mode="count",
                      extra=[["bin.dat", None, None]])
    assert files == [("big.txt", 400), ("ok.txt", 1)]


def test_grep_off_writes_nothing(tmp_path):
    root = tmp_path / "tree"
    write_tree(root, {"a.txt": "text\n"})
    reply = json.loads(core.index_build_files(str(root), '[["a.txt", 5]]', str(tmp_path), "s", PROFILE, "{}", 1, None))
    assert reply["grep_segments"] == [] and reply["files"][0]["grep"] is None
    assert not (tmp_path / "s.grep").exists()


@pytest.mark.parametrize("cut", ["truncate", "flip-table", "flip-dictionary", "flip-postings", "empty", "garbage"])
def test_damaged_segment_raises_cleanly(tmp_path, cut):
    tree = {f"f{i}.txt": f"needle {i} " * (i + 1) + "\n" for i in range(30)}
    root, segment, _ = make_indexed(tmp_path, tree)
    data = bytearray(open(segment, "rb").read())
    if cut == "truncate":
        data = data[:len(data) // 2]
    elif cut == "flip-table":
        data[70] ^= 0xFF
    elif cut == "flip-dictionary":
        data[-5] ^= 0x40
    elif cut == "flip-postings":
        data = data  # a postings byte: only merge reads the postings' checksum
        data[len(data) // 2] ^= 0x01
    elif cut == "empty":
        data = bytearray()
    else:
        data = bytearray(os.urandom(len(data)))
    open(segment, "wb").write(bytes(data))
    segments = [{"path": segment, "deleted": []}]
    if cut == "flip-postings":
        try:
            search(root, segments, "needle", {"or": list(keys_of(b"needle 1 2 3 4 5 6 7 8 9"))})
        except OSError:
            pass
        with pytest.raises(OSError, match="damaged"):
            core.grep_merge_segments(str(tmp_path / "m.grep"), json.dumps(segments))
        return
    with pytest.raises(OSError, match="damaged|short"):
        search(root, segments, "needle")
    with pytest.raises(OSError):
        core.grep_merge_segments(str(tmp_path / "m.grep"), json.dumps(segments))
    assert not (tmp_path / "m.grep").exists()


@pytest.mark.parametrize("change, error", [
    ({"pattern": "(unclosed"}, ValueError),
    ({"query": {"xor": []}}, ValueError),
    ({"query": 1 << 24}, ValueError),
    ({"query": "foo"}, ValueError),
    ({"mode": "words"}, ValueError),
    ({"segments": [{"path": "/nonexistent/x.grep", "deleted": []}]}, OSError),
    ({"globs": ["[unclosed"]}, ValueError),
])
def test_bad_requests(indexed, change, error):
    root, segments, _ = indexed
    request = {"root": str(root), "segments": segments, "pattern": "foo", "query": True, "mode": "lines", **change}
    with pytest.raises(error):
        core.grep_search(json.dumps(request), 1)
    with pytest.raises(ValueError):
        core.grep_search("[]", 1)


def test_results_do_not_depend_on_threads(tmp_path):
    tree = {f"d{i % 5}/f{i}.txt": f"word{i}\n" * (i % 4) + "needle\n" for i in range(200)}
    root = tmp_path / "tree"
    write_tree(root, tree)
    one = build(root, tmp_path / "a", sorted(tree), threads=1, segment_bytes=500)
    two = build(root, tmp_path / "b", sorted(tree), threads=2, segment_bytes=500)
    assert [f["grep"] for f in one["files"]] == [f["grep"] for f in two["files"]]
    assert open(tmp_path / "a" / "g.grep", "rb").read() == open(tmp_path / "b" / "g.grep", "rb").read()
    files, _ = search(root, [{"path": str(tmp_path / "a" / "g.grep"), "deleted": []}], "needle", mode="files",
                      threads=0)
    assert [p for p, _ in files] == sorted(tree, key=rg_order)


def random_tree(seed, count=25):
    import random
    rng = random.Random(seed)
    words = ["foo", "Foo", "FOO", "bar", "été", "日本", "x", "", " ", "\t", "a", "aa", "ab", "\r", "Ünï", "fo", "oo"]
    tree = {}
    for i in range(count):
        lines = ["".join(rng.choice(words) for _ in range(rng.randrange(6))) for _ in range(rng.randrange(8))]
        text = rng.choice(["\n", "\r\n"]).join(lines) + rng.choice(["", "\n"])
        tree[f"{rng.choice(['', 'd/', 'd/e/', 'd-e/'])}r{i}.txt"] = text
    return tree


@pytest.mark.skipif(RG is None, reason="needs ripgrep")
@pytest.mark.parametrize("seed", range(3))
def test_random_trees_match_ripgrep(tmp_path, seed):
    tree = random_tree(seed)
    root, segment, _ = make_indexed(tmp_path, tree)
    segments = [{"path": segment, "deleted": []}]
    for pattern, literal in [("foo", "foo"), ("(?i)foo", "foo"), ("a*", None), ("^a", None), ("o$", None),
                             ("été|日本", None), ("fo+", "fo"), ("^$", None), ("b?", None), ("Ün.", "Ün")]:
        expected = rg_lines(root, pattern)
        assert search(root, segments, pattern, trigram_query(literal) if literal != "Ün" else True)[0] == expected
        assert search(root, segments, pattern, before=1, after=1)[0] == rg_lines(root, pattern, "-C", "1"), pattern


@pytest.mark.parametrize("data", [
    b"",
    b"ab",
    b"abc",
    b"ABCabc\n",
    b"\x80\xff\xfe\x80\xff",
    "Ünïcode ÄÖÜ äöü".encode(),
    b"line one\nline two\r\nLINE three",
    bytes(range(1, 256)) * 2,
])
def test_index_holds_exactly_the_model_keys(tmp_path, data):
    """Every key the model finds selects the file, and keys near them that it lacks do not."""
    root, segment, reply = make_indexed(tmp_path, {"f.bin": data, "other.txt": "zzz\n"})
    segments = [{"path": segment, "deleted": []}]
    model = keys_of(data)
    probes = sorted(model)[:40] + [k ^ 1 for k in sorted(model)[:40]] + [key(b"zzz")]
    present = {k for k in probes if search(root, segments, "", k, mode="files")[0][:1] == [("f.bin", None)]}
    assert present == {k for k in probes if k in model}


def test_every_flipped_byte_is_caught_or_harmless(tmp_path):
    tree = {f"f{i}.txt": f"needle {i} word{i * 7} " * (i % 5 + 1) + "\n" for i in range(40)}
    root, segment, _ = make_indexed(tmp_path, tree)
    original = open(segment, "rb").read()
    query = {"or": sorted(keys_of(b"needle word1 word2 word3 0123456789"))}
    for position in range(0, len(original), max(1, len(original) // 300)):
        data = bytearray(original)
        data[position] ^= 0x5A
        open(segment, "wb").write(bytes(data))
        try:
            search(root, [{"path": segment, "deleted": []}], "needle", query, mode="count")
        except OSError as error:
            assert "damaged" in str(error)
