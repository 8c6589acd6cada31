"""The part of qdrant-client's interface the store calls, served by Qdrant's embedded engine
(qdrant-edge-py): the store's requests then run through the engine's own segments, sparse
index and IDF, as on a server, without one. Used by the tests only."""

from __future__ import annotations

import os
import shutil
from types import SimpleNamespace
from typing import Any

import qdrant_edge as edge
from qdrant_client import models


def _filter(value: Any) -> Any:
    if value is None:
        return None
    if isinstance(value, models.Filter):
        return edge.Filter(must=[_filter(c) for c in value.must or []] or None,
                           should=[_filter(c) for c in value.should or []] or None,
                           must_not=[_filter(c) for c in value.must_not or []] or None)
    if isinstance(value, models.FieldCondition):
        match = range_ = None
        if isinstance(value.match, models.MatchValue):
            match = edge.MatchValue(value.match.value)
        elif isinstance(value.match, models.MatchAny):
            match = edge.MatchAny(value.match.any)
        if value.range is not None:
            range_ = edge.RangeFloat(gte=value.range.gte, gt=value.range.gt, lte=value.range.lte, lt=value.range.lt)
        return edge.FieldCondition(value.key, match=match, range=range_)
    raise TypeError(f"no engine form for {value!r}")


def _vector(vector: Any) -> Any:
    return {name: edge.SparseVector(v.indices, v.values) for name, v in (vector or {}).items()}


def _record(record: Any) -> Any:
    vector = {name: SimpleNamespace(indices=list(v.indices), values=list(v.values))
              for name, v in (record.vector or {}).items()} if isinstance(record.vector, dict) else None
    return SimpleNamespace(id=str(record.id), payload=record.payload, vector=vector,
                           score=getattr(record, "score", None))


_SCHEMAS = {models.PayloadSchemaType.KEYWORD: edge.PayloadSchemaType.Keyword,
            models.PayloadSchemaType.INTEGER: edge.PayloadSchemaType.Integer,
            models.PayloadSchemaType.FLOAT: edge.PayloadSchemaType.Float}


class EdgeClient:
    """One shard in ``folder`` standing for one collection."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.shard: Any = None
        self.collection: str | None = None
        self.sparse_vectors: dict[str, Any] = {}

    def info(self) -> Any:
        return SimpleNamespace(version="1.16.0")

    def collection_exists(self, collection_name: str) -> bool:
        return self.shard is not None and collection_name == self.collection

    def create_collection(self, collection_name: str, vectors_config: Any, sparse_vectors_config: Any,
                          on_disk_payload: bool) -> None:
        assert vectors_config == {} and self.shard is None
        sparse = {name: edge.EdgeSparseVectorParams(modifier=edge.Modifier.Idf if p.modifier == models.Modifier.IDF
                                                    else None) for name, p in sparse_vectors_config.items()}
        self.shard = edge.EdgeShard.create(self.folder, edge.EdgeConfig(sparse_vectors=sparse,
                                                                         on_disk_payload=on_disk_payload))
        self.collection = collection_name
        self.sparse_vectors = dict(sparse_vectors_config)

    def get_collection(self, collection_name: str) -> Any:
        params = SimpleNamespace(vectors={}, sparse_vectors=self.sparse_vectors)
        return SimpleNamespace(config=SimpleNamespace(params=params), points_count=self.shard.info().points_count)

    def delete_collection(self, collection_name: str) -> None:
        self.shard.close()
        self.shard = None
        shutil.rmtree(self.folder)
        os.makedirs(self.folder)

    def create_payload_index(self, collection_name: str, field_name: str, field_schema: Any, wait: bool) -> None:
        if isinstance(field_schema, models.KeywordIndexParams):
            schema = edge.KeywordIndexParams(is_tenant=field_schema.is_tenant)
        else:
            schema = _SCHEMAS[field_schema]
        self.shard.update(edge.UpdateOperation.create_field_index(field_name, schema))

    def upsert(self, collection_name: str, points: list[Any], wait: bool) -> None:
        self.shard.update(edge.UpdateOperation.upsert_points(
            [edge.Point(point.id, _vector(point.vector), point.payload) for point in points]))

    def delete(self, collection_name: str, points_selector: Any, wait: bool) -> None:
        if isinstance(points_selector, models.PointIdsList):
            self.shard.update(edge.UpdateOperation.delete_points(list(points_selector.points)))
        else:
            self.shard.update(edge.UpdateOperation.delete_points_by_filter(_filter(points_selector.filter)))

    def batch_update_points(self, collection_name: str, update_operations: list[Any], wait: bool) -> None:
        for operation in update_operations:
            self.shard.update(edge.UpdateOperation.set_payload(list(operation.set_payload.points),
                                                               operation.set_payload.payload))

    def retrieve(self, collection_name: str, ids: list[str], with_payload: Any) -> list[Any]:
        return [_record(r) for r in self.shard.retrieve(ids, with_payload=with_payload, with_vector=False)]

    def scroll(self, collection_name: str, scroll_filter: Any, limit: int, offset: Any, with_payload: Any,
               with_vectors: Any) -> tuple[list[Any], Any]:
        records, next_offset = self.shard.scroll(edge.ScrollRequest(
            offset=offset, limit=limit, filter=_filter(scroll_filter), with_payload=with_payload,
            with_vector=with_vectors))
        return [_record(r) for r in records], next_offset

    def count(self, collection_name: str, exact: bool, count_filter: Any = None) -> Any:
        return SimpleNamespace(count=self.shard.count(edge.CountRequest(exact=exact, filter=_filter(count_filter))))

    def query_points(self, collection_name: str, query: Any, using: str, query_filter: Any, limit: int,
                     with_payload: Any, search_params: Any = None) -> Any:
        params = None
        if search_params is not None and search_params.idf is not None:
            params = edge.SearchParams(idf=edge.IdfParams(corpus=_filter(search_params.idf.corpus)))
        found = self.shard.query(edge.QueryRequest(
            limit=limit, query=edge.Query.Nearest(edge.SparseVector(query.indices, query.values), using=using),
            filter=_filter(query_filter), with_payload=with_payload, params=params))
        return SimpleNamespace(points=[_record(point) for point in found])
