"""Each width of the byte classification gives the core's replies byte for
byte: the narrower loops are held to by VORPALINE_CORE_SIMD in a fresh
interpreter, so that they are tested on a machine that has wider ones."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import test_core_corpus_checksums as corpus_checksums
import test_core_replies_unchanged as replies_unchanged

HERE = Path(__file__).resolve().parent
DIGESTS = """
import test_core_corpus_checksums as c, test_core_replies_unchanged as r
print(r.digest_of_replies())
print(c.digest_of_replies(c.corpus_texts("code")[::4]))
"""


@pytest.fixture(scope="module")
def widest_digests():
    return [replies_unchanged.digest_of_replies(),
            corpus_checksums.digest_of_replies(corpus_checksums.corpus_texts("code")[::4])]


@pytest.mark.parametrize("simd", ["sse2", "avx2", "unknown-width"])
def test_narrower_classification_gives_the_same_replies(simd, widest_digests):
    env = dict(os.environ, VORPALINE_CORE_SIMD=simd)
    out = subprocess.run([sys.executable, "-c", DIGESTS], cwd=HERE, env=env, capture_output=True, text=True,
                         check=True).stdout
    assert out.split() == widest_digests
