"""The repository scan beyond what git can judge: its configuration, the walk's
own rules (links, special files, .git, unreadable paths), threads, the git
setup it finds, explanations, and the command line."""

import json
import os
import stat
import subprocess
import sys

import pytest

from conftest import make_tree

core = pytest.importorskip("vorpaline_core_py")
from vorpaline import scan as scan_api  # noqa: E402
from vorpaline.cli import main  # noqa: E402

GIT_ENV_KEYS = ("GIT_CONFIG_GLOBAL", "GIT_CONFIG_NOSYSTEM", "GIT_CONFIG_SYSTEM", "HOME", "XDG_CONFIG_HOME")


@pytest.fixture
def isolated(tmp_path, monkeypatch):
    """A home of the test's own, so the developer's git config cannot leak in."""
    home = tmp_path / "home"
    home.mkdir()
    for key in GIT_ENV_KEYS:
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    return home


def config(root, **changes):
    base = {
        "repo_root": str(root),
        "builtin_patterns": [".git", "node_modules", "*.pyc"],
        "extra_patterns": [],
        "ignore_mode": "git+vorpaline",
        "use_gitignore": True,
        "use_vorpalineignore": True,
        "replace_builtin_patterns": False,
    }
    base.update(changes)
    return base


def run_scan(root, threads=0, **changes):
    return json.loads(core.scan_repository(json.dumps(config(root, **changes)), threads))


def paths(reply):
    return [item["path"] for item in reply["files"]]


def explain(root, path, **changes):
    return json.loads(core.scan_explain(json.dumps(config(root, **changes)), path))


def git(root, *args, env=None):
    return subprocess.run(["git", "-C", str(root), *args], check=True, capture_output=True, env=env).stdout


# ---------------------------------------------------------------- configuration


@pytest.mark.parametrize(
    "change, message",
    [
        ({"repo_root": 1}, '"repo_root" must be a string, not a number'),
        ({"builtin_patterns": "x"}, '"builtin_patterns" must be an array of strings, not a string'),
        ({"extra_patterns": ["a", 2]}, '"extra_patterns" item 1 must be a string, not a number'),
        ({"ignore_mode": None}, '"ignore_mode" must be a string, not null'),
        ({"use_gitignore": 1}, '"use_gitignore" must be a boolean, not a number'),
        ({"use_vorpalineignore": "yes"}, '"use_vorpalineignore" must be a boolean, not a string'),
        ({"replace_builtin_patterns": None}, '"replace_builtin_patterns" must be a boolean, not null'),
        ({"repo_root": ""}, '"repo_root" is empty'),
    ],
)
def test_a_wrongly_typed_member_is_a_value_error_naming_it(tmp_path, change, message):
    with pytest.raises(ValueError, match="^scan configuration: " + message.replace("(", r"\(")):
        core.scan_repository(json.dumps(config(tmp_path, **change)))


@pytest.mark.parametrize("key", list(config("/x")))
def test_every_member_is_required(tmp_path, key):
    document = config(tmp_path)
    del document[key]
    with pytest.raises(ValueError, match=f'"{key}" is missing'):
        core.scan_repository(json.dumps(document))


@pytest.mark.parametrize(
    "text, message",
    [("{", "not valid JSON"), ("[]", "must be a JSON object, not an array"), ("", "not valid JSON")],
)
def test_malformed_configuration_text(text, message):
    with pytest.raises(ValueError, match=message):
        core.scan_repository(text)


def test_a_missing_or_non_directory_root(tmp_path):
    (tmp_path / "file").write_text("x")
    for root in (tmp_path / "absent", tmp_path / "file"):
        with pytest.raises(ValueError, match=r'"repo_root" is not a readable directory: .*' + root.name):
            run_scan(root)


@pytest.mark.parametrize(
    "args, error",
    [((), TypeError), (("{}", 1, 2), TypeError), ((b"{}",), TypeError), (("{}", "2"), TypeError), (("{}", -1), ValueError)],
)
def test_scan_repository_arguments(args, error):
    with pytest.raises(error):
        core.scan_repository(*args)


# ---------------------------------------------------------------- what the walk lists


def test_records_carry_size_and_modification_time(tmp_path, isolated):
    make_tree(tmp_path, {"a.txt": "hello", "d/b.bin": b"\0" * 1000})
    os.utime(tmp_path / "a.txt", ns=(1, 1_234_567_890_123_456_789))
    os.utime(tmp_path / "d/b.bin", ns=(1, -5_000_000_001))  # before 1970
    reply = run_scan(tmp_path)
    assert reply["root"] == str(tmp_path)
    assert reply["files"] == [
        {"path": "a.txt", "size": 5, "mtime_ns": 1_234_567_890_123_456_789},
        {"path": "d/b.bin", "size": 1000, "mtime_ns": -5_000_000_001},
    ]
    assert reply["skipped"] == []


def test_links_special_files_and_git_folders_are_never_listed(tmp_path, isolated):
    make_tree(tmp_path, {"kept.py": "", "real/x.py": "", "sub/.git/config": "", "sub/y.py": ""})
    (tmp_path / "worktree").mkdir()
    (tmp_path / "worktree" / ".git").write_text("gitdir: /nowhere\n")
    os.symlink("kept.py", tmp_path / "file-link")
    os.symlink("real", tmp_path / "folder-link")
    os.symlink("/etc", tmp_path / "outside-link")
    os.mkfifo(tmp_path / "pipe")
    # Even with the built-in patterns replaced by nothing.
    reply = run_scan(tmp_path, replace_builtin_patterns=True)
    assert paths(reply) == ["kept.py", "real/x.py", "sub/y.py"]
    assert reply["skipped"] == []


def test_a_nested_repository_is_part_of_the_outer_tree(tmp_path, isolated):
    make_tree(tmp_path, {"top.py": "", "vendor/lib/.gitignore": "*.tmp\n", "vendor/lib/a.py": "", "vendor/lib/b.tmp": ""})
    git(tmp_path, "init", "-q")
    git(tmp_path / "vendor" / "lib", "init", "-q")
    make_tree(tmp_path, {"vendor/lib/.git/info/exclude": "a.py\n"})  # the inner repository's own: not read
    assert paths(run_scan(tmp_path)) == ["top.py", "vendor/lib/.gitignore", "vendor/lib/a.py"]
    assert paths(run_scan(tmp_path, extra_patterns=["vendor/"])) == ["top.py"]


@pytest.mark.parametrize(
    "name",
    ["space name.py", 'quo"te\\back.py', "new\nline", "tab\there", "ünïcödé.py", "emoji-\U0001f600.py", "ctrl-\x01"],
)
def test_names_come_through_the_reply_exactly(tmp_path, isolated, name):
    make_tree(tmp_path, {name: "x"})
    reply_text = core.scan_repository(json.dumps(config(tmp_path)))
    assert reply_text.isascii()  # written straight into the returned str
    assert paths(json.loads(reply_text)) == [name]


@pytest.mark.parametrize("threads", [1, 3])
def test_paths_sort_bytewise_on_utf8(tmp_path, isolated, threads):
    # a folder's files interleave with its subfolders' ("a.c" < "a/b" < "a0")
    names = ["a/b", "a/f", "a.c", "a-b", "B", "\u00e9", "\uff21", "\U0001f600", "a b", "a0",
             "a/b.c", "a/b-c/d", "a/b0/c", "a/b0/c.d/e", "ab/c", "a/\u00e9/x", "a/z"]
    make_tree(tmp_path, dict.fromkeys(names, ""))
    listed = paths(run_scan(tmp_path, threads=threads))
    assert listed == sorted(names, key=lambda path: path.encode())


def test_a_name_that_is_not_utf8_is_skipped_with_its_bytes(tmp_path, isolated):
    raw_root = os.fsencode(tmp_path)
    for name in (b"bad-\xff.py", b"dir-\xe9"):
        path = os.path.join(raw_root, name)
        if name.startswith(b"dir"):
            os.mkdir(path)
            open(os.path.join(path, b"inside.py"), "wb").close()
        else:
            open(path, "wb").close()
    make_tree(tmp_path, {"good.py": ""})
    reply = run_scan(tmp_path)
    assert paths(reply) == ["good.py"]
    assert [(os.fsencode(item["path"]), item["reason"]) for item in reply["skipped"]] == [
        (b"bad-\xff.py", "name is not valid UTF-8"),
        (b"dir-\xe9", "name is not valid UTF-8"),
    ]


def _as_user(name, work):
    """The str `work` returns, run in a thread of this process that has become user `name`.

    Linux keeps credentials per thread, and the raw system calls change only the calling thread's
    (glibc's wrappers would change every thread's): the threads the core starts for the work inherit
    them, and the rest of the process stays root. A forked child would do as well in a process with
    no other threads, but a test worker has several, and a child forked among them can hang or take
    the worker down with it.
    """
    import ctypes
    import platform
    import pwd
    import threading

    if platform.machine() != "x86_64":
        pytest.skip("the system call numbers here are x86-64's")
    setgroups, setresgid, setresuid = 116, 119, 117
    libc = ctypes.CDLL(None, use_errno=True)
    user = pwd.getpwnam(name)
    result = {}

    def run():
        try:
            for call, *arguments in ((setgroups, 0, None), (setresgid, *[user.pw_gid] * 3),
                                     (setresuid, *[user.pw_uid] * 3)):
                if libc.syscall(call, *arguments) != 0:
                    raise OSError(ctypes.get_errno(), "cannot become " + name)
            result["text"] = work()
        except BaseException as error:  # noqa: BLE001 - reported in the test's own thread
            result["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join(timeout=120)
    assert not thread.is_alive(), "the work as another user did not finish"
    if "error" in result:
        raise result["error"]
    assert os.getuid() == 0  # the test's own thread kept its credentials
    return result["text"]


@pytest.mark.skipif(os.geteuid() != 0, reason="becomes another user to meet permissions; needs root")
def test_unreadable_folders_and_files_are_skipped_and_the_scan_goes_on(tmp_path_factory, monkeypatch):
    root = tmp_path_factory.mktemp("perm")
    for key in GIT_ENV_KEYS:
        monkeypatch.delenv(key, raising=False)
    monkeypatch.setenv("HOME", "/nonexistent")
    os.chmod(root, 0o755)
    for parent in root.parents:  # the scanning user must reach the tree
        if str(parent).startswith(("/tmp", "/var")) and parent != parent.parent:
            os.chmod(parent, os.stat(parent).st_mode | 0o755)
    make_tree(root, {"ok.py": "", "locked/hidden.py": "", "secret.py": "", "open/.gitignore": "*.log\n", "open/a.log": ""})
    for path in (root, root / "open", root / "locked"):
        os.chmod(path, 0o755)
    os.chmod(root / "locked", 0o700)
    os.chmod(root / "secret.py", 0o600)
    os.chmod(root / "ok.py", 0o644)
    os.chmod(root / "open" / ".gitignore", 0o600)  # exists but cannot be read
    document = json.dumps(config(root))
    reply = json.loads(_as_user("nobody", lambda: core.scan_repository(document)))
    assert paths(reply) == ["ok.py", "open/a.log"]
    assert reply["skipped"] == [
        {"path": "locked", "reason": "permission denied"},
        {"path": "open/.gitignore", "reason": "cannot read ignore file: permission denied"},
        {"path": "secret.py", "reason": "permission denied"},
    ]


def test_the_result_does_not_depend_on_the_number_of_threads(tmp_path, isolated):
    files = {f"d{i % 7}/s{i % 13}/f{i}.{'py' if i % 3 else 'log'}": str(i) for i in range(600)}
    files |= {"d1/.gitignore": "*.log\n!s3/\n", "d2/.vorpalineignore": "s5/\n", ".gitignore": "/d6/s0/\n"}
    make_tree(tmp_path, files)
    replies = {threads: core.scan_repository(json.dumps(config(tmp_path)), threads) for threads in (1, 2, 3, 8, 0)}
    assert len(set(replies.values())) == 1
    assert len(json.loads(replies[1])["files"]) > 400


# ---------------------------------------------------------------- layers


def test_vorpalineignore_takes_precedence_over_gitignore_at_any_depth(tmp_path, isolated):
    make_tree(tmp_path, {
        ".vorpalineignore": "!keep.log\nbig/\n",
        "src/.gitignore": "*.log\n!big/\n",
        "src/keep.log": "", "src/drop.log": "", "src/big/x": "",
        "build/out.js": "",
        "gen/.vorpalineignore": "!build/\n", "gen/build/made.py": "",
    })
    git(tmp_path, "init", "-q")
    assert paths(run_scan(tmp_path, builtin_patterns=["build"])) == [
        ".vorpalineignore", "gen/.vorpalineignore", "gen/build/made.py", "src/.gitignore", "src/keep.log",
    ]


def test_the_layers_can_be_turned_off(tmp_path, isolated):
    make_tree(tmp_path, {".gitignore": "a\n", ".vorpalineignore": "b\n", "a": "", "b": "", "c.pyc": ""})
    assert paths(run_scan(tmp_path)) == [".gitignore", ".vorpalineignore"]
    assert paths(run_scan(tmp_path, use_gitignore=False)) == [".gitignore", ".vorpalineignore", "a"]
    assert paths(run_scan(tmp_path, use_gitignore=False, use_vorpalineignore=False, replace_builtin_patterns=True)) == [
        ".gitignore", ".vorpalineignore", "a", "b", "c.pyc",
    ]


def test_a_subfolder_scan_honours_the_ignore_files_above_it(tmp_path, isolated):
    make_tree(tmp_path, {
        ".gitignore": "*.log\n/pkg/src/gen/\n",
        "pkg/.gitignore": "tmp/\n",
        "pkg/src/a.py": "", "pkg/src/a.log": "", "pkg/src/gen/g.py": "", "pkg/src/tmp/t.py": "",
        "pkg/src/.vorpalineignore": "!a.log\n",
    })
    git(tmp_path, "init", "-q")
    make_tree(tmp_path, {".git/info/exclude": "src/a.py\n"})  # relative to the top: matches nothing here
    sub = tmp_path / "pkg" / "src"
    assert paths(run_scan(sub)) == [".vorpalineignore", "a.log", "a.py"]
    listed = git(sub, "ls-files", "-z", "--others", "--exclude-standard").split(b"\0")
    assert sorted(path.decode() for path in listed if path) == paths(run_scan(sub, use_vorpalineignore=False))
    assert explain(sub, "gen/g.py")["source"] == "../../.gitignore"


def test_a_linked_worktree_reads_the_common_info_exclude_and_config(tmp_path, isolated):
    main_tree = tmp_path / "main"
    main_tree.mkdir()
    git(main_tree, "init", "-q")
    git(main_tree, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "--allow-empty", "-m", "x")
    git(main_tree, "worktree", "add", "-q", str(tmp_path / "linked"))
    make_tree(main_tree, {".git/info/exclude": "*.secret\n"})
    make_tree(tmp_path, {"home/ignored-globally": "*.glob\n"})
    git(main_tree, "config", "core.excludesFile", str(tmp_path / "home" / "ignored-globally"))
    linked = make_tree(tmp_path / "linked", {"a.py": "", "b.secret": "", "c.glob": ""})
    assert paths(run_scan(linked)) == ["a.py"]


@pytest.mark.parametrize(
    "config_text, excludes",
    [
        ('[core]\n\texcludesFile = ~/my ignore\n', "my ignore"),
        ('[Core]\n  ExcludesFile = "~/quoted name" ; comment\n', "quoted name"),
        ('[core]\nexcludesfile = ~/first\n[core]\nexcludesfile = ~/second\n', "second"),
        ('[include]\n\tpath = ~/included.cfg\n', "from-include"),
        ('[core "sub"]\nexcludesFile = ~/first\n', "default"),
        ("", "default"),
    ],
)
def test_core_excludes_file_is_read_from_git_config(tmp_path, isolated, monkeypatch, config_text, excludes):
    root = make_tree(tmp_path / "repo", {name: "" for name in ("my ignore", "quoted name", "second", "from-include", "default", "first", "keep")})
    git(root, "init", "-q")
    home = isolated
    for name in ("my ignore", "quoted name", "second", "from-include", "first"):
        make_tree(home, {name: name + "\n"})
    make_tree(home, {".config/git/ignore": "default\n", "included.cfg": "[core]\nexcludesFile = ~/from-include\n"})
    make_tree(home, {"global.cfg": config_text})
    monkeypatch.setenv("GIT_CONFIG_GLOBAL", str(home / "global.cfg"))
    listed = paths(run_scan(root))
    assert excludes not in listed and "keep" in listed
    git_listed = git(root, "ls-files", "-z", "--others", "--exclude-standard").decode().split("\0")
    assert sorted(filter(None, git_listed)) == listed


# ---------------------------------------------------------------- explanations


@pytest.mark.parametrize(
    "path, expected",
    [
        ("a.log", (True, ".gitignore", 1, "*.log", "a.log", None)),
        ("keep.log", (False, ".gitignore", 2, "!keep.log", "keep.log", None)),
        ("out/deep/x.py", (True, "<extra>", 1, "out/", "out", None)),
        ("sub/deep/x.py", (True, "sub/.gitignore", 1, "/deep/", "sub/deep", None)),
        ("sub/lib.pyc", (True, "<builtin>", 3, "*.pyc", "sub/lib.pyc", None)),
        ("src/main.py", (False, None, None, None, None, None)),
        ("./src//main.py", (False, None, None, None, None, None)),
        ("missing-folder/", (False, None, None, None, None, None)),
        (".git/config", (True, None, None, None, None, "a .git folder is never listed or entered")),
        ("link", (True, None, None, None, None, "symbolic links are not followed or listed")),
    ],
)
def test_explain_names_the_deciding_pattern(tmp_path, isolated, path, expected):
    make_tree(tmp_path, {".gitignore": "*.log\n!keep.log\n", "sub/.gitignore": "/deep/\n", "src/main.py": ""})
    git(tmp_path, "init", "-q")
    os.symlink("src", tmp_path / "link")
    reply = explain(tmp_path, path, extra_patterns=["out/"])
    assert (reply["ignored"], reply["source"], reply["line"], reply["pattern"], reply["matched"], reply["note"]) == expected


@pytest.mark.parametrize("path", ["/etc/passwd", "../x", "a/../../b"])
def test_explain_refuses_paths_outside_the_root(tmp_path, path):
    with pytest.raises(ValueError, match="scan_explain"):
        explain(tmp_path, path)


# ---------------------------------------------------------------- Python API and command line


def test_the_python_api_uses_the_settings(tmp_path, isolated, monkeypatch):
    from vorpaline.config import settings

    make_tree(tmp_path, {"a.py": "x", "b.tmp": "", "node_modules/m.js": ""})
    monkeypatch.setattr(settings, "extra_ignore_patterns", ["*.tmp"])
    files = scan_api.scan(tmp_path)
    assert [(f.path, f.size) for f in files] == [("a.py", 1)]
    assert files[0].mtime_ns == os.stat(tmp_path / "a.py").st_mtime_ns
    monkeypatch.setattr(settings, "builtin_ignore_replace", True)  # the core really replaces now
    assert [f.path for f in scan_api.scan(str(tmp_path), threads=1)] == ["a.py", "node_modules/m.js"]
    assert scan_api.explain(tmp_path, "b.tmp").source == "<extra>"


def test_files_command(tmp_path, isolated, monkeypatch, capsys):
    make_tree(tmp_path, {"src/a.py": "", "src/b.log": "", ".gitignore": "*.log\n"})
    git(tmp_path, "init", "-q")
    monkeypatch.chdir(tmp_path)
    assert main(["files"]) == 0
    assert capsys.readouterr().out == ".gitignore\nsrc/a.py\n"
    assert main(["files", "src", "-z"]) == 0
    assert capsys.readouterr().out == "src/a.py\0"
    assert main(["files", "--json", "--threads", "1"]) == 0
    assert [f["path"] for f in json.loads(capsys.readouterr().out)["files"]] == [".gitignore", "src/a.py"]


@pytest.mark.parametrize(
    "argv, status, out",
    [
        (["files", "--explain", "src/b.log"], 0, ".gitignore:1:*.log\tsrc/b.log\n"),
        (["files", "--explain", "src/a.py"], 1, "::\tsrc/a.py\n"),
        (["files", "src", "--explain", "src/b.log"], 0, "../.gitignore:1:*.log\tsrc/b.log\n"),
    ],
)
def test_files_explain(tmp_path, isolated, monkeypatch, capsys, argv, status, out):
    make_tree(tmp_path, {"src/a.py": "", "src/b.log": "", ".gitignore": "*.log\n"})
    git(tmp_path, "init", "-q")
    monkeypatch.chdir(tmp_path)
    assert main(argv) == status
    assert capsys.readouterr().out == out


@pytest.mark.parametrize(
    "argv, message",
    [
        (["files", "absent"], "vorpaline: error: cannot scan absent: no such directory\n"),
        (["files", "--explain", "/"], "vorpaline: error: / is outside the scanned folder .\n"),
    ],
)
def test_files_errors(tmp_path, isolated, monkeypatch, capsys, argv, message):
    monkeypatch.chdir(tmp_path)
    assert main(argv) == 2
    assert capsys.readouterr().err == message
