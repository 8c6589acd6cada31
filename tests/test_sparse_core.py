"""The sparse service, capability check and scan configuration on the real
native core, end to end."""

import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

TEXTS = [
    "def load_user_profile(user_id): return profileCache.get(user_id)",
    "std::optional<T> RingBuffer<T>::tryPop()",
    "Быстрая бурая лиса",
    "",
    "a",
]


@pytest.fixture
def real(sparse, enginecheck):
    import vorpaline_core_py

    assert sparse.vorpaline_core_py is vorpaline_core_py is sys.modules["vorpaline_core_py"]
    return sparse.get_sparse_service()


@pytest.mark.parametrize("text", TEXTS)
def test_single_embedding_is_a_sparse_vector(sparse, real, text):
    record = real.embed_single(text)
    assert type(record) is sparse.SparseResult
    assert type(record.indices) is list and type(record.values) is list
    assert len(record.indices) == len(record.values)
    assert all(type(i) is int for i in record.indices)
    assert all(type(v) is float for v in record.values)
    assert record.truncated is False
    assert record.original_chars == record.used_chars == len(text)
    assert real.embed_single(text) == record  # deterministic


def test_batch_agrees_with_single_embeddings(real):
    assert real.embed_batch(TEXTS) == [real.embed_single(t) for t in TEXTS]
    assert real.embed_batch_list(TEXTS, 2) == real.embed_batch(TEXTS)


def test_long_text_is_cut_to_the_profile_limit(sparse, monkeypatch):
    monkeypatch.setattr(sparse.settings, "sparse_max_text_chars", 10)
    record = sparse.SparseEmbeddingService().embed_single("x" * 25 + " tail words")
    assert (record.truncated, record.original_chars, record.used_chars) == (True, 36, 10)


def test_threads_share_the_real_core(real):
    expected = [real.embed_single(t) for t in TEXTS]

    def work(_):
        return [real.embed_single(t) for t in TEXTS] == expected and real.embed_batch(TEXTS) == expected

    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(work, range(16)))


def test_capabilities_of_the_real_core(enginecheck, skiprules, real, monkeypatch):
    caps = enginecheck._load_capabilities()
    assert {"sparse_embed", "sparse_embed_batch", "sparse_explain"} <= caps
    assert enginecheck.require_capability("sparse_embed_batch", "batch embedding") is None
    monkeypatch.setattr(skiprules.settings, "builtin_ignore_replace", True)
    if "ignore_builtin_replace" in caps:
        assert skiprules.build_scan_config("/r")["replace_builtin_patterns"] is True
    else:
        with pytest.raises(RuntimeError, match=r"^Rust core capability 'ignore_builtin_replace'"):
            skiprules.build_scan_config("/r")
