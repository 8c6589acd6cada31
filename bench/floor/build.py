"""Compiles the floor extension ``vorpaline_floor`` into a build directory and imports it."""
from __future__ import annotations

import importlib.util
import os
import shlex
import subprocess
import sysconfig
from pathlib import Path
from types import ModuleType

SOURCE_DIR = Path(__file__).resolve().parent
SOURCES = ("module.cpp", "names.cpp", "functions.cpp", "service.cpp", "dispatch.cpp")
HEADERS = ("floor.h",)
# The package's own flags: the floor is held to the same compiler and warnings.
FLAGS = ("-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared", "-fvisibility=hidden",
         "-Wall", "-Wextra", "-Werror")


def library_path(build_dir: Path) -> Path:
    return build_dir / ("vorpaline_floor" + sysconfig.get_config_var("EXT_SUFFIX"))


def compile_command(build_dir: Path) -> list[str]:
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    include = sysconfig.get_paths()["include"]
    sources = [str(SOURCE_DIR / name) for name in SOURCES]
    return [*compiler, *FLAGS, f"-I{include}", *sources, "-o", str(library_path(build_dir))]


def is_stale(build_dir: Path) -> bool:
    target = library_path(build_dir)
    if not target.exists():
        return True
    built = target.stat().st_mtime
    return any((SOURCE_DIR / name).stat().st_mtime > built for name in SOURCES + HEADERS)


def build(build_dir: Path) -> Path:
    """Compiles when a source is newer than the library; returns the library's path."""
    build_dir.mkdir(parents=True, exist_ok=True)
    if is_stale(build_dir):
        subprocess.run(compile_command(build_dir), check=True)
    return library_path(build_dir)


def load(build_dir: Path) -> ModuleType:
    path = build(build_dir)
    spec = importlib.util.spec_from_file_location("vorpaline_floor", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
