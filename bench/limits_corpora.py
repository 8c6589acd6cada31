"""The limits benchmark's three corpora: the standard library's ``.py`` files,
C and C++ headers under ``/usr/include``, and Markdown and reStructuredText
files found on the machine.

Each is read in a fixed order (sorted paths), as UTF-8 (a file that is not is
skipped), and thinned to about ``MAX_BYTES`` by taking every n-th file, so
that every library keeps its share. Prose is made up to ``MIN_BYTES`` from its
own paragraphs, shuffled with a fixed seed, when the machine holds too little.
"""
from __future__ import annotations

import hashlib
import math
import os
import random
from dataclasses import dataclass

from . import corpus as stdlib_corpus

MAX_BYTES = 32 << 20
MIN_BYTES = 8 << 20
HEADER_ROOT = "/usr/include"
HEADER_SUFFIXES = (".h", ".hh", ".hpp", ".hxx")
PROSE_ROOTS = ("/usr/share", "/usr/lib", "/usr/local", "/opt")
PROSE_SUFFIXES = (".md", ".rst")
NAMES = ("code", "headers", "prose")
LABELS = {"code": "standard library .py", "headers": "C/C++ headers, /usr/include", "prose": "Markdown and reST"}


@dataclass(frozen=True)
class LimitsCorpus:
    name: str
    texts: tuple[str, ...]
    files: int  # files read; texts may be more when prose was made up
    generated: bool

    @property
    def utf8_bytes(self) -> int:
        return sum(len(text.encode("utf-8")) for text in self.texts)

    def digest(self) -> str:
        """Names the corpus's content: the texts, in order."""
        sha = hashlib.sha256()
        for text in self.texts:
            data = text.encode("utf-8")
            sha.update(len(data).to_bytes(8, "little"))
            sha.update(data)
        return sha.hexdigest()


def files_under(roots: tuple[str, ...], suffixes: tuple[str, ...]) -> list[str]:
    """Regular files with one of the suffixes, sorted; symbolic links are not followed."""
    found = []
    for root in roots:
        for directory, subdirs, names in os.walk(root):
            subdirs.sort()
            found.extend(os.path.join(directory, name) for name in names if name.endswith(suffixes))
    return sorted(path for path in found if os.path.isfile(path) and not os.path.islink(path))


def read_utf8(paths: list[str]) -> list[str]:
    texts, seen = [], set()
    for path in paths:
        try:
            with open(path, "rb") as handle:
                data = handle.read()
            text = data.decode("utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        digest = hashlib.sha1(data).digest()
        if text and digest not in seen:  # packages ship the same licence and readme many times
            seen.add(digest)
            texts.append(text)
    return texts


def thinned(texts: list[str], max_bytes: int) -> list[str]:
    """Every n-th text, n the smallest that brings the total under max_bytes."""
    total = sum(len(text.encode("utf-8")) for text in texts)
    stride = max(1, math.ceil(total / max_bytes))
    return texts[::stride]


def made_up_to(texts: list[str], min_bytes: int, seed: int = 20261208) -> tuple[list[str], bool]:
    """The texts, then documents of their paragraphs shuffled, until min_bytes."""
    total = sum(len(text.encode("utf-8")) for text in texts)
    paragraphs = [p for text in texts for p in text.split("\n\n") if p.strip()]
    if total >= min_bytes or not paragraphs:
        return texts, False
    rng = random.Random(seed)
    made = list(texts)
    while total < min_bytes:
        document = "\n\n".join(rng.choice(paragraphs) for _ in range(40))
        made.append(document)
        total += len(document.encode("utf-8"))
    return made, True


def load(name: str) -> LimitsCorpus:
    if name == "code":
        texts = list(stdlib_corpus.load().texts)
        return LimitsCorpus(name, tuple(thinned(texts, MAX_BYTES)), len(texts), False)
    if name == "headers":
        texts = read_utf8(files_under((HEADER_ROOT,), HEADER_SUFFIXES))
        return LimitsCorpus(name, tuple(thinned(texts, MAX_BYTES)), len(texts), False)
    if name == "prose":
        texts = read_utf8(files_under(PROSE_ROOTS, PROSE_SUFFIXES))
        kept, generated = made_up_to(thinned(texts, MAX_BYTES), MIN_BYTES)
        return LimitsCorpus(name, tuple(kept), len(texts), generated)
    raise ValueError(f"no corpus named {name!r}")
