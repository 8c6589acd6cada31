"""The core's replies stay byte for byte what they were when these digests
were taken: a generated corpus of code, prose, identifiers of every shape and
non-ASCII text, under several profiles, through all three embedding functions.

Non-ASCII tokens fold as the installed utf8proc's Unicode version says, so the
digests are kept per Unicode version; another version skips the check.
"""

import ctypes
import hashlib
import json
import random

import pytest

import vorpaline_core_py as core

CHUNKS = ["get", "User", "HTTP", "Server", "utf", "8", "42", "x", "I", "ABc", "aB", "Xml", "_",
          "__", ".", "-", "..", " ", "  ", "\n", "\t", "(", ")", "=", "self", "MAX", "SIZE",
          "sha256", "v2", "0x1F", "parseXMLToJSON", "ahmup", "akevj", "\x00", "a1",
          "é", "ß", "Σ", "σ", "ж", "Ж", "строка", "Имя", "变量名", "नमस्ते", "\u0301", "😀",
          "\u00a0", "Ｆｕｌｌ", "ﬁ", "٣", "\ufdfa", "각", "\u1100\u1161", "Ǆ", "İ",
          "\u0316", "\u0345", "\u05b0", "\u3099", "か", "ㄱ", "ㅏ", "\u0b47\u0b3e"]

# Words long enough to be folded a piece at a time, and long runs of marks.
LONG_WORDS = ["Привет" * 5000, ("строкаИмя" + "\u0301\u0316") * 2000, "\ufdfa" * 3000,
              "ㄱㅏ" * 3000, "\u1100\u1161\u11a8" * 3000, "a" + "\u0301\u0316" * 3000,
              ("é" + "\u0316\u0301\u0345\u05b0") * 1500, "ß" * 10000, "ΣΑΣ" * 3000,
              "か\u3099" * 4000, "\u0b47\u0b3e" * 4000, "Ǆ" * 5000 + "x" + "İ" * 5000,
              # Longer than 64 KB: counted by an index made while folding.
              "Привет" * 8000, "\ufdfa" * 30000, "é\u0316\u0301" * 20000 + " " + "ж" * 40000]


def generated_texts(count=1500, seed=20261207):
    """Texts of every length up to a few windows, and some far longer."""
    rng = random.Random(seed)
    texts = [""]
    for i in range(count):
        pieces = rng.randrange(1, 40 if i % 10 else 900)
        texts.append("".join(rng.choice(CHUNKS) for _ in range(pieces)))
    for length in (17, 40, 300):  # long tokens go by index
        texts.append(" ".join("".join(rng.choice("abcxyz09") for _ in range(length))
                              for _ in range(200)))
    texts.append(" ".join(f"w{i:x}" for i in range(30000)))  # many distinct terms
    texts.append("getUserName " * 5000 + "a1" * 20000)
    return texts + LONG_WORDS


PROFILES = [
    {"max_text_chars": None},
    {"max_text_chars": None, "code_pretokenize": False},
    {"max_text_chars": 100, "min_token_len": 1},
    {"max_text_chars": 7, "min_token_len": 3},
    {"min_token_len": 0},
]


def digest_of_replies():
    sha = hashlib.sha256()
    texts = generated_texts()
    for profile in map(json.dumps, PROFILES):
        for text in texts:
            sha.update(core.sparse_embed_single(text, profile).encode())
            sha.update(core.sparse_explain(text, profile).encode())
        for start in range(0, len(texts), 97):
            sha.update(core.sparse_embed_batch(json.dumps(texts[start:start + 97]), profile).encode())
    return sha.hexdigest()


def unicode_version():
    try:
        library = ctypes.CDLL("libutf8proc.so.2")
    except OSError:
        return None
    library.utf8proc_unicode_version.restype = ctypes.c_char_p
    return library.utf8proc_unicode_version().decode()


# Taken with the core of commit 9f383ce.
DIGESTS = {
    "15.0.0": "c7c44b5cff73a6d1227b564167586494a60fd753117c8513ae7e4fd3b106906e",
}


def test_replies_are_byte_for_byte_those_of_before():
    version = unicode_version()
    if version not in DIGESTS:
        pytest.skip(f"no digest for Unicode {version}")
    assert digest_of_replies() == DIGESTS[version]
