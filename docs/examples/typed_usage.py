"""A typed program that uses each public part of vorpaline.

It passes `mypy --strict` against the package's stubs and runs as it is:

    python docs/examples/typed_usage.py
"""

import dataclasses
import json
from pathlib import Path

from vorpaline.config import settings
from vorpaline.enginecheck import require_capability
from vorpaline.skiprules import build_scan_config
from vorpaline.sparse import SparseEmbeddingService, SparseResult, get_sparse_service, reset_sparse_service


def weight_of(result: SparseResult, index: int) -> float:
    """The weight that a sparse vector gives one index, 0.0 when it has none."""
    weights = dict(zip(result.indices, result.values))
    return weights.get(index, 0.0)


def describe(result: SparseResult) -> str:
    size = f"{result.used_chars} of {result.original_chars} chars" if result.truncated else "whole text"
    return f"{len(result.indices)} terms, {size}"


def embed_documents(service: SparseEmbeddingService, documents: dict[str, str]) -> dict[str, SparseResult]:
    names = list(documents)
    results = service.embed_batch([documents[name] for name in names])
    return dict(zip(names, results))


def main() -> None:
    settings.sparse_max_text_chars = 40
    reset_sparse_service()  # the next service builds its profile from the settings above
    service = get_sparse_service()
    version: str = service.profile_version

    documents = {
        "loader": "def load_user_profile(user_id: int) -> UserProfile: ...",
        "note": "Profiles are cached per user.",
    }
    by_name = embed_documents(service, documents)
    query = service.embed_single("user profile")
    for name, result in sorted(by_name.items()):
        score = sum(weight_of(result, index) * value for index, value in zip(query.indices, query.values))
        print(f"{name}: {describe(result)}, score {score:.2f}")

    # Records are plain dataclasses: they convert to JSON-ready dicts.
    record = dataclasses.asdict(by_name["note"])
    assert set(record) == {"indices", "values", "truncated", "original_chars", "used_chars"}
    assert service.embed_batch_list(list(documents.values()), batch_size=8) == list(by_name.values())

    require_capability("sparse_embed", "typed_usage example")
    config: dict[str, object] = build_scan_config(Path("/srv/repo"))
    print(f"profile {version}; scan config keys: {', '.join(config)}")
    print(json.dumps(config["extra_patterns"]))


if __name__ == "__main__":
    main()
