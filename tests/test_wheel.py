"""The distributions: the repaired wheel installs and runs where simdjson,
utf8proc and xxHash are absent, and the source distribution holds what a build
needs and builds.

`make wheel-check` builds both and runs this file with their paths in
VORPALINE_WHEEL (the repaired wheel), VORPALINE_UNREPAIRED_WHEEL and
VORPALINE_SDIST; without them these tests skip. The absent libraries are
simulated by tools/without-native-libs.sh (a private mount namespace in which
they and their -dev files are covered by empty files). `make wheel-check-chroot`
also installs the wheel into a fresh Debian tree (VORPALINE_CHROOT_TREE).
"""

import json
import math
import os
import re
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parent.parent
WITHOUT_NATIVE_LIBS = REPOSITORY / "tools" / "without-native-libs.sh"
SO = "cpython-311-x86_64-linux-gnu.so"
NATIVE_MODULES = [f"vorpaline/sparse.{SO}", f"vorpaline/enginecheck.{SO}", f"vorpaline/skiprules.{SO}", f"vorpaline_core_py.{SO}"]


def _given(variable, target="wheel-check"):
    value = os.environ.get(variable)
    if not value:
        pytest.skip(f"{variable} is not set (`make {target}` makes what it names and sets it)")
    path = Path(value).resolve()
    assert path.exists(), f"{variable}={value} does not exist"
    return path


@pytest.fixture(scope="module")
def wheel():
    return _given("VORPALINE_WHEEL")


@pytest.fixture(scope="module")
def unrepaired_wheel():
    return _given("VORPALINE_UNREPAIRED_WHEEL")


@pytest.fixture(scope="module")
def sdist():
    return _given("VORPALINE_SDIST")


def without_native_libs(args, **kwargs):
    """Runs args where the libraries are hidden; a namespace that cannot be made is a failure,
    not a skip, since a distribution was given to be checked."""
    completed = subprocess.run(["bash", str(WITHOUT_NATIVE_LIBS), *args], capture_output=True, text=True, **kwargs)
    assert "without-native-libs: covered" in completed.stderr, (
        "could not hide the libraries (a mount namespace needs root or unprivileged user namespaces):\n"
        + completed.stderr
    )
    return completed


# What the wheel must carry, as patterns over its member names.
WHEEL_MEMBERS = [
    *(re.escape(name) for name in NATIVE_MODULES),
    r"vorpaline/(sparse|enginecheck|skiprules|config)\.pyi",
    r"vorpaline/py\.typed",
    r"vorpaline_core_py-stubs/__init__\.pyi",
    r"vorpaline/(__init__|__main__|config|scan|search/__init__|search/snippets)\.py",
    r"vorpaline/(cli/__init__|cli/serve|cli/mcp|server/http|server/mcp_tools)\.py",
    r"vorpaline/server/static/(index\.html|app\.js|style\.css)",
    # The libraries the core links, copied in by auditwheel under hashed names.
    r"vorpaline\.libs/libsimdjson-[0-9a-f]+\.so[.0-9]*",
    r"vorpaline\.libs/libutf8proc-[0-9a-f]+\.so[.0-9]*",
    r"vorpaline\.libs/libre2-[0-9a-f]+\.so[.0-9]*",
]


@pytest.mark.parametrize("pattern", WHEEL_MEMBERS)
def test_the_wheel_carries(wheel, pattern):
    names = zipfile.ZipFile(wheel).namelist()
    assert any(re.fullmatch(pattern, name) for name in names), f"no member matches {pattern}: {names}"


def test_the_wheel_carries_no_sources_and_names_a_manylinux_tag(wheel):
    archive = zipfile.ZipFile(wheel)
    names = archive.namelist()
    assert not [n for n in names if n.endswith((".cpp", ".hpp", ".h", ".o", ".a"))]
    assert re.fullmatch(r"vorpaline-[^-]+-cp311-cp311-manylinux_2_\d+_x86_64\.whl", wheel.name)
    metadata = archive.read(next(n for n in names if n.endswith(".dist-info/WHEEL"))).decode()
    assert re.findall(r"^Tag: (.*)$", metadata, re.M) == ["-".join(wheel.name[:-4].split("-")[2:])]


def test_the_wheels_binaries_have_no_debug_information(wheel, tmp_path):
    archive = zipfile.ZipFile(wheel)
    binaries = [n for n in archive.namelist() if re.search(r"\.so(\.|$)", n)]
    assert len(binaries) >= len(NATIVE_MODULES)
    for name in binaries:
        sections = subprocess.run(["readelf", "-S", "-W", archive.extract(name, tmp_path)],
                                  capture_output=True, text=True, check=True).stdout
        assert ".debug_info" not in sections and ".symtab" not in sections, f"{name} is not stripped"


# Run by the fresh venv's interpreter where the libraries are absent: it imports
# the modules, embeds, builds a scan configuration and reports what it found.
CHECK_INSTALLED = textwrap.dedent("""
    import json, sys
    import vorpaline, vorpaline_core_py
    import vorpaline.sparse, vorpaline.enginecheck, vorpaline.skiprules
    vorpaline.enginecheck.require_capability("sparse_embed", "the wheel check")
    result = vorpaline.sparse.get_sparse_service().embed_single("hello Straße STRASSE")
    config = vorpaline.skiprules.build_scan_config(sys.argv[1])
    with open("/proc/self/maps") as maps:
        mapped = sorted({line.split()[-1] for line in maps if "simdjson" in line or "utf8proc" in line})
    print(json.dumps({
        "files": [m.__file__ for m in (vorpaline, vorpaline_core_py, vorpaline.sparse,
                                       vorpaline.enginecheck, vorpaline.skiprules)],
        "embedding": dict(zip(result.indices, result.values)),
        "scan_root": config["repo_root"],
        "mapped": mapped,
    }))
""")

SOURCE = "def parse_url(text):\n    scheme, rest = text.split('://')\n    return scheme, rest\n"


def _make_repo(parent):
    repo = parent / "repo"
    repo.mkdir()
    (repo / "urls.py").write_text(SOURCE)
    (repo / "notes.txt").write_text("shopping list: bread, milk\n")
    (parent / "check.py").write_text(CHECK_INSTALLED)
    return repo


def _install_and_run(python, work, wheel, pip_options=""):
    """A shell script: a fresh venv in work, the wheel installed, the check, index and search."""
    # -I: nothing from the environment or the working folder reaches the imports.
    return f"""
        set -e
        {python} -m venv {work}/venv
        {work}/venv/bin/python -m pip install -q --disable-pip-version-check {pip_options} {wheel}
        cd {work}
        {work}/venv/bin/python -I check.py {work}/repo
        {work}/venv/bin/vorpaline index {work}/repo --quiet
        {work}/venv/bin/vorpaline search "parse a url" {work}/repo --json --top 1
    """


def _assert_installed_and_working(completed, work):
    assert completed.returncode == 0, completed.stdout + completed.stderr
    report_line, hit_line = completed.stdout.strip().splitlines()[-2:]
    report = json.loads(report_line)

    site_packages = Path(work) / "venv" / "lib" / "python3.11" / "site-packages"
    assert all(Path(f).is_relative_to(site_packages) for f in report["files"]), report["files"]
    # The core runs on the copies in the wheel, not on anything of the system's.
    assert len(report["mapped"]) == 2
    assert all(Path(p).parent == site_packages / "vorpaline.libs" for p in report["mapped"]), report["mapped"]
    # XXH32 of "hello" (xxHash compiled in), and ß folded to ss by the bundled utf8proc.
    embedding = {int(k): v for k, v in report["embedding"].items()}
    assert embedding[2063628281] == 1.0
    assert sorted(embedding.values()) == [1.0, pytest.approx(1 + math.log(2))]
    assert report["scan_root"] == f"{work}/repo"

    hit = json.loads(hit_line)
    assert (hit["path"], hit["start_line"]) == ("urls.py", 1)


def test_the_repaired_wheel_installs_and_runs_without_the_libraries(wheel, tmp_path):
    _make_repo(tmp_path)
    script = _install_and_run(sys.executable, tmp_path, wheel)
    completed = without_native_libs(["bash", "-c", script], cwd=tmp_path, timeout=600)
    _assert_installed_and_working(completed, tmp_path)


def test_the_repaired_wheel_installs_and_runs_in_a_fresh_debian(wheel, tmp_path):
    # A bookworm tree from debootstrap (tools/bookworm-chroot.sh) that never had the
    # build's packages: its own Python 3.11, and orjson and tqdm from its /wheels.
    chroot = _given("VORPALINE_CHROOT_TREE", "wheel-check-chroot")
    libraries = [p.name for p in (chroot / "usr/lib/x86_64-linux-gnu").iterdir() if "simdjson" in p.name or "utf8proc" in p.name]
    assert not libraries, f"the tree has {libraries}"
    work = Path("/tmp") / f"wheel-check-{os.getpid()}"
    outside = chroot / work.relative_to("/")
    outside.mkdir()
    try:
        _make_repo(outside)
        (outside / wheel.name).write_bytes(wheel.read_bytes())
        script = _install_and_run("/usr/bin/python3", work, work / wheel.name, "--no-index --find-links /wheels")
        # /proc for the check's look at the mapped libraries; the namespace takes the mount away.
        completed = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             f'mount -t proc proc "$1/proc" && exec chroot "$1" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 bash -c "$2"',
             "sh", str(chroot), script],
            capture_output=True, text=True, timeout=600)
        _assert_installed_and_working(completed, work)
    finally:
        subprocess.run(["rm", "-rf", str(outside)], check=True)


def test_the_unrepaired_wheel_fails_without_the_libraries(unrepaired_wheel, tmp_path):
    # The same core loads where the libraries are visible, and fails where they are
    # hidden: so the hiding works and the test above proves the copies are used.
    unpacked = tmp_path / "unpacked"
    zipfile.ZipFile(unrepaired_wheel).extractall(unpacked)
    load = ["-I", "-c", f"import sys; sys.path.insert(0, {str(unpacked)!r}); import vorpaline_core_py"]
    visible = subprocess.run([sys.executable, *load], capture_output=True, text=True, cwd=tmp_path)
    assert visible.returncode == 0, visible.stderr
    hidden = without_native_libs([sys.executable, *load], cwd=tmp_path)
    assert hidden.returncode != 0
    assert re.search(r"ImportError: \S*/lib(simdjson|utf8proc)\S*: (file too short|cannot open)", hidden.stderr), hidden.stderr


# What a build from the sdist needs, and what has no place in it.
SDIST_NEEDS = ["pyproject.toml", "CMakeLists.txt", "PKG-INFO", "README.md", "frame/CMakeLists.txt",
               "frame/frame.h", "core/CMakeLists.txt", "core/module.cpp", "src/vorpaline/sparse.cpp",
               "src/vorpaline/sparse.pyi", "src/vorpaline/py.typed", "stubs/vorpaline_core_py.pyi",
               "tools/debian-deps.sh", "tests/conftest.py", "third_party/tree-sitter/src/lib.c",
               "third_party/tree-sitter/LICENSE"]
SDIST_LACKS = [r"build/", r"dist/", r"\.venv", r"bench/", r"fuzz/", r"\.vorpaline/", r".*\.so$",
               r".*__pycache__", r".*\.png$", r"\.git/"]


def _sdist_members(sdist):
    with tarfile.open(sdist) as archive:
        names = archive.getnames()
    prefix = sdist.name.removesuffix(".tar.gz") + "/"
    assert all(n.startswith(prefix) or n == prefix[:-1] for n in names)
    return [n[len(prefix):] for n in names if n.startswith(prefix)]


@pytest.mark.parametrize("member", SDIST_NEEDS)
def test_the_sdist_carries(sdist, member):
    assert member in _sdist_members(sdist)


@pytest.mark.parametrize("pattern", SDIST_LACKS)
def test_the_sdist_leaves_out(sdist, pattern):
    assert not [n for n in _sdist_members(sdist) if re.match(pattern, n)]


def test_the_sdist_builds_a_wheel_where_the_libraries_are(sdist, tmp_path):
    # In an isolated build environment, as `pip install vorpaline-....tar.gz` would.
    completed = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "-q", "--disable-pip-version-check", "--no-deps", "-w", str(tmp_path), str(sdist)],
        capture_output=True, text=True, cwd=tmp_path, timeout=900)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    (built,) = tmp_path.glob("vorpaline-*.whl")
    names = zipfile.ZipFile(built).namelist()
    assert set(NATIVE_MODULES) <= set(names)
