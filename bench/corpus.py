"""The benchmark corpus: the ``.py`` files of the running interpreter's standard library."""
from __future__ import annotations

import os
import sysconfig
import tokenize
from dataclasses import dataclass

# Third-party packages live under these; they are not the standard library.
EXCLUDED_DIRS = frozenset({"site-packages", "dist-packages", "__pycache__"})


@dataclass(frozen=True)
class Corpus:
    root: str
    paths: tuple[str, ...]
    texts: tuple[str, ...]
    skipped: tuple[str, ...]  # files whose source encoding cannot be decoded

    @property
    def utf8_bytes(self) -> int:
        """The size that throughput is measured against: the texts as UTF-8."""
        return sum(len(text.encode("utf-8")) for text in self.texts)


def stdlib_root() -> str:
    return sysconfig.get_paths()["stdlib"]


def source_paths(root: str) -> list[str]:
    """Every ``.py`` file under ``root`` outside the excluded directories, in a fixed order."""
    found = []
    for directory, subdirs, files in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs if d not in EXCLUDED_DIRS)
        found.extend(os.path.join(directory, name) for name in sorted(files) if name.endswith(".py"))
    return found


def read_source(path: str) -> str:
    """The file's text, decoded as Python decodes source (coding cookie, BOM, UTF-8 default)."""
    with tokenize.open(path) as handle:
        return handle.read()


def load(root: str | None = None) -> Corpus:
    root = root or stdlib_root()
    paths, texts, skipped = [], [], []
    for path in source_paths(root):
        try:
            text = read_source(path)
        except (SyntaxError, UnicodeDecodeError, LookupError):
            skipped.append(path)  # deliberately broken test inputs of the standard library
            continue
        paths.append(path)
        texts.append(text)
    return Corpus(root, tuple(paths), tuple(texts), tuple(skipped))
