"""The shared store's former place: ``vorpaline.search.qdrant`` holds it now."""

from vorpaline.search.qdrant import QdrantStore, StoreError, parse_store_url

__all__ = ["QdrantStore", "StoreError", "parse_store_url"]
