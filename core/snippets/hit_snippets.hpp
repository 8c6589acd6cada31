// The snippets of a search's hits: each hit's lines as its file holds them
// now (or as the caller gives them), the line that best matches the query,
// and the lines shown around it.
//
// Contract of the request (a JSON object):
//   "root": the repository's root, for hits of files ("root_hex": its bytes
//           in hex, for a name that is not UTF-8); "terms": the query's term indices;
//   "snippets": false to skip choosing (default true); "lines": true to
//           have each hit's lines too (default false);
//   "hits": a list, each one of
//     {"path" | "path_hex", "first", "last", ["begin", "end"], ["size",
//      "mtime_ns"], ["defined_at"]}: a file's chunk, lines first to last
//      (1-based), read as chunk_reading.hpp says; size and mtime_ns are the
//      indexed file's, null or missing when the index has no record of it;
//     {"text", ["defined_at"]}: a text kept in the index, cut into lines as
//      a file's bytes are;
//     {"lines", ["defined_at"]}: the lines themselves, taken as they are.
//   "defined_at" lists the offsets (0-based in the chunk) of lines that
//   define a name.
// The reply: {"hits": [...]}, in the request's order, each {"gone": true}
// for a file that cannot be read, else {"stale", "count" (its lines), and
// with snippets "best" and "start" (offsets of the best line and of the
// snippet's first), "snippet" (its lines joined by "\n"); with lines
// "lines"}. Lines are tokenised as sparse_embed tokenises a text under the
// profile; the choice is best_line.hpp's.
// Bad requests throw InputError. Runs without the interpreter lock.
#pragma once

#include <string_view>

#include "embed/profile.hpp"
#include "reply_buffer.hpp"

namespace vorpaline_core::snippets {

void write_hit_snippets(std::string_view request_json, std::string_view profile_json, ReplyBuffer& reply);

}  // namespace vorpaline_core::snippets
