"""The core's replies over real corpora stay byte for byte what they were:
the standard library's sources, C/C++ headers and Markdown/reST files of this
machine, through the three embedding functions under a code, a plain and a
cutting profile, each kept as one checksum.

A checksum holds only for the corpus it was taken on, which is named by a
digest of its texts: on a machine whose files differ the check is skipped.
"""

import hashlib
import json
import os
import sysconfig

import pytest

import vorpaline_core_py as core

ROOTS = {
    "code": ((sysconfig.get_paths()["stdlib"],), (".py",)),
    "headers": (("/usr/include",), (".h", ".hh", ".hpp", ".hxx")),
    "prose": (("/usr/share/doc", "/usr/share/perl5", "/usr/lib/python3"), (".md", ".rst")),
}
SKIPPED_DIRS = frozenset({"site-packages", "dist-packages", "__pycache__"})
EVERY_NTH = 3  # a third of each corpus: every kind of file, in a few seconds

PROFILES = [
    {"max_text_chars": None},
    {"max_text_chars": None, "code_pretokenize": False},
    {"max_text_chars": 3000, "min_token_len": 3},
]

# Taken with the core of commit 37966c4 (corpus digest: replies digest).
CHECKSUMS = {
    "code": {"f5d0c725c18f56ae8354363d539c05dc972870003d884d61dd469e83a1811c00":
             "46ad8c95cdcf9ccbcb952d6d6844404275cf44022a173a8f5346c4c967cb7007"},  # CPython 3.11.7
    "headers": {"2cf190055758f183235e7d1367f6cb3fcf101e828a8a5773b260ebbddf5d6558":
                "5cc7b9699dc0990dd1ee3fc80adf4ee08ae7128ad5986ea74fe6c06c1adf7fa2"},  # Debian 12
    "prose": {"e6c05a5a20a0ce544fe7147226e31d89fe19ecfce16d357acaf715b3cff06339":
              "9c220b835a87b159333f23d68e9695311afec79c225b77f8a3784dfeb7740cf4"},  # Debian 12
}


def corpus_texts(name):
    roots, suffixes = ROOTS[name]
    paths = []
    for root in roots:
        for directory, subdirs, files in os.walk(root):
            subdirs[:] = sorted(d for d in subdirs if d not in SKIPPED_DIRS)
            paths.extend(os.path.join(directory, f) for f in sorted(files) if f.endswith(suffixes))
    texts = []
    for path in sorted(paths)[::EVERY_NTH]:
        try:
            with open(path, "rb") as handle:
                texts.append(handle.read().decode("utf-8"))
        except (OSError, UnicodeDecodeError):
            continue
    return texts


def digest_of_texts(texts):
    sha = hashlib.sha256()
    for text in texts:
        data = text.encode("utf-8")
        sha.update(len(data).to_bytes(8, "little") + data)
    return sha.hexdigest()


def digest_of_replies(texts):
    sha = hashlib.sha256()
    for profile in map(json.dumps, PROFILES):
        for start in range(0, len(texts), 64):
            sha.update(core.sparse_embed_batch(json.dumps(texts[start:start + 64]), profile).encode())
        for text in texts:
            sha.update(core.sparse_embed_single(text, profile).encode())
        for text in texts[::16]:
            sha.update(core.sparse_explain(text, profile).encode())
    return sha.hexdigest()


@pytest.mark.parametrize("name", sorted(CHECKSUMS))
def test_corpus_replies_are_those_of_before(name):
    texts = corpus_texts(name)
    corpus_digest = digest_of_texts(texts)
    if corpus_digest not in CHECKSUMS[name]:
        pytest.skip(f"no checksum for this machine's {name} corpus ({len(texts)} files, {corpus_digest[:12]})")
    assert digest_of_replies(texts) == CHECKSUMS[name][corpus_digest]


if __name__ == "__main__":  # prints the checksums of this machine's corpora, for CHECKSUMS
    for corpus_name in sorted(CHECKSUMS):
        corpus = corpus_texts(corpus_name)
        print(f'"{corpus_name}": {{"{digest_of_texts(corpus)}": "{digest_of_replies(corpus)}"}},  '
              f"# {len(corpus)} files, {sum(map(len, corpus)) / 1e6:.1f} M chars")
