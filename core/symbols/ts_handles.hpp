// Owning handles for the tree-sitter runtime's objects: each is freed by the
// runtime's own function when its handle goes.
#pragma once

#include <tree_sitter/api.h>

#include <memory>

namespace vorpaline_core::symbols {

struct ParserFree {
  void operator()(TSParser* parser) const { ts_parser_delete(parser); }
};
struct TreeFree {
  void operator()(TSTree* tree) const { ts_tree_delete(tree); }
};
struct QueryFree {
  void operator()(TSQuery* query) const { ts_query_delete(query); }
};
struct QueryCursorFree {
  void operator()(TSQueryCursor* cursor) const { ts_query_cursor_delete(cursor); }
};

using ParserHandle = std::unique_ptr<TSParser, ParserFree>;
using TreeHandle = std::unique_ptr<TSTree, TreeFree>;
using QueryHandle = std::unique_ptr<TSQuery, QueryFree>;
using QueryCursorHandle = std::unique_ptr<TSQueryCursor, QueryCursorFree>;

}  // namespace vorpaline_core::symbols
