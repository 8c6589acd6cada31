"""
Native core of vorpaline: code-aware tokenising and log-TF sparse weighting.

Functions take and return JSON text (read_repository_file gives bytes); the embedding functions release
the interpreter lock while they work and may run in several threads at once.
"""

from collections.abc import Callable
from typing import final

__version__: str

def handshake() -> str:
    """Return a JSON object text: {"capabilities": [names...], "version": str}."""

def sparse_embed_single(text: str, profile_json: str, /) -> str:
    """Embed one text; return a JSON object text with "indices", "values",
    "truncated", "original_chars" and "used_chars"."""

def sparse_embed_batch(texts_json: str, profile_json: str, /) -> str:
    """Embed a JSON array of texts; return {"embeddings": [...]} as JSON text,
    one embedding per text in order, each as sparse_embed_single gives it."""

def sparse_explain(text: str, profile_json: str, /) -> str:
    """Show how a text embeds: a JSON object text whose "tokens" lists each
    token with its index, its own tf and the weight of its index."""

def scan_repository(config_json: str, threads: int = 0, /) -> str:
    """List the files of a repository under its ignore rules. config_json is the
    JSON text of vorpaline.skiprules.build_scan_config(); threads 0 uses one
    per core. Return {"root", "files": [{"path", "size", "mtime_ns"}],
    "skipped": [{"path", "reason"}]} as JSON text, paths sorted."""

def scan_explain(config_json: str, path: str, /) -> str:
    """Say which pattern of which ignore file decides a path relative to the root:
    {"path", "ignored", "source", "line", "pattern", "matched", "note"}."""

def chunk_text(text: str, /) -> str:
    """Split a text into chunks of whole lines for the index: its units (definitions,
    paragraphs), long ones split and short ones merged. Return
    {"chunks": [[first_line, last_line], ...]} as JSON text, lines 1-based and
    inclusive, as text.split('\\n') numbers them; blank lines between chunks
    belong to none."""

def chunk_text_with_definitions(text: str, spans_json: str, limits_json: str | None = None, /) -> str:
    """Split a text into chunks as chunk_text does, but following its definitions:
    spans_json is [[first_line, last_line], ...], 1-based and inclusive, in any
    order; each definition within the limits is one chunk, a longer one is cut at
    its inner definitions. limits_json, an object of any of "max_lines",
    "min_lines", "merge_lines" and "max_bytes", changes the limits. Return
    {"chunks": [[first_line, last_line], ...]} as chunk_text does."""

def index_build_segment(path: str, profile_json: str, texts_json: str, metadata_json: str, /) -> str:
    """Tokenise each text of the JSON array texts_json under the profile and write
    one index segment to path (which must not exist), each document keeping the
    string of the same place in metadata_json. Return {"documents", "postings"}."""

def listing_unchanged(root: str, stamps_json: str, threads: int, /) -> bool:
    """Whether the file list of the scan of root whose reply carried stamps_json (its
    "stamps", as JSON text) still stands: every folder and source keeps its stamp and
    none is racy. threads: 0 for one per core. False whenever it cannot tell."""

def hit_snippets(request_json: str, profile_json: str, /) -> str:
    """The snippets of a search's hits: each hit's chunk read as its file holds it now
    (bytes [begin, end) when its size and mtime are the indexed ones, else its lines
    first..last of the whole file), or cut from a given text or lines; its lines
    tokenised under the profile, the best line and the snippet around it chosen.
    request_json: {"root", "terms", "snippets", "lines", "hits": [{"path", "first",
    "last", "begin", "end", "size", "mtime_ns", "defined_at"} or {"text"} or
    {"lines"}]}. Return {"hits": [{"gone": true} or {"stale", "count", "best", "start",
    "snippet", "lines"}]} as JSON text. Runs with the interpreter lock released."""

def read_repository_file(root: str, path: str, begin: int, end: int, /) -> tuple[bytes, int, int]:
    """Read bytes [begin, end) (clipped to the file's size) of the file at path, '/'-separated
    below root, opened a component at a time without following a link or blocking.
    Return (data, size, mtime_ns) with the opened file's size and mtime. A path that
    is not a regular file inside root raises OSError(errno, reason, path); a path that
    is empty, absolute or has '.', '..' or empty components raises ValueError."""

def symbols_register_language(name: str, language: object, tags_query: str, extensions_json: str, /) -> None:
    """Register a tree-sitter grammar (the "tree_sitter.Language" capsule of its module's
    language()) with its tags query for the file names of extensions_json: [".py", ...]
    suffixes, any case, or exact names such as "Rakefile". A query that does not compile
    is a ValueError with its byte offset. Registering a name again replaces it."""

def symbols_of_text(path: str, text: str, /) -> str:
    """The definitions and references of a text, by the language registered for path's
    file name: {"language": name or null, "definitions": [[name, kind, line, first_line,
    last_line, scope]...], "references": [[name, kind, line]...]}, lines 1-based, scope
    the enclosing definitions' names joined by '.'. A text over 1 MiB has none."""

def index_open(segments_json: str, /) -> Searcher:
    """Open segments for search: segments_json is [{"path", "deleted": [doc ids]}].
    Each file's layout is checked, and what a search reads as it reads it; a damaged
    file is a ValueError naming it. index_verify_segment() checks every byte."""

def index_verify_segment(path: str, /) -> None:
    """Check every byte of the segment at path: its checksum, layout and postings.
    Return None; a damaged file is a ValueError naming it."""

@final
class Searcher:
    """Open index segments, searched with BM25; made by index_open()."""

    @property
    def documents(self) -> int:
        """The documents searched: those not deleted."""
    def search(self, query: str, profile_json: str, k: int, k1: float, b: float, ranking_json: str = "{}", /) -> str:
        """The k best documents for the query under BM25F, best first, as the JSON text
        {"hits": [{"segment", "doc", "score", "roles", "metadata", "symbols"}]}.
        ranking_json weighs the names and path fields, the file roles and definitions."""
    def with_symbols(self, name: str, profile_json: str, field: str, /) -> str:
        """The documents with symbols whose field ('names' or 'text') holds every term of
        name, unscored, as search() replies: where its definitions or references are."""

def index_build_files(root: str, files_json: str, folder: str, prefix: str, profile_json: str, limits_json: str,
                      threads: int, progress: Callable[[int, int], object] | None, /) -> str:
    """Index the files [[path, size], ...] under root with `threads` threads: each file
    read, chunked and tokenised, consecutive files of about limits_json's
    "segment_bytes" making one segment folder/prefix-NNNN. Return {"segments":
    [{"name", "documents"}], "files": [{"status", "bytes", "hash", "segment",
    "first", "count", "grep"}], "grep_segments": [{"name", "files"}]}, one per file
    in order. With limits_json's "grep": true the same reads also make the trigram
    segment folder/prefix.grep (files up to "grep_max_file_bytes", binary ones left
    out). progress, when not None, is called now and then with (files done, their
    listed bytes); what it raises stops the build."""

def index_merge_segments(path: str, segments_json: str, /) -> str:
    """Write the documents of segments_json ([{"path", "deleted"}]) that are not
    deleted into one new segment at path, in order. Return {"documents", "postings"}."""

def index_term_vectors(path: str, /) -> str:
    """The documents of the segment at path as term vectors: {"documents": [{"metadata",
    "length", "terms", "tfs"}]}, each document's terms ascending."""

def index_term_vectors_packed(path: str, weighting_json: str, /) -> tuple[list[str], list[str], bytes, bytes, bytes,
                                                                             bytes]:
    """The term vectors of index_term_vectors packed in native byte order: (metadata,
    symbols, records, starts, pairs, weights), the first two a str per document,
    records 4 uint32 per document (its fields' lengths, its roles), starts doc_count + 1
    uint64 bounds of each document's pairs, pairs 4 uint32 runs of their count (terms,
    then text, names and path frequencies). With weighting_json ({"k1", "fields":
    [[weight, b] x 3], "averages": [3]}), weights holds each pair's saturated
    BM25F frequency as a float64; with "" only records is read, the rest empty."""

def grep_search(request_json: str, threads: int, /) -> tuple[
        list[tuple[str, list[tuple[int, int, bytes, tuple[tuple[int, int], ...] | None]] | int | None]],
        dict[str, int]]:
    """Search the files of grep segments (and the request's extra files) for an RE2
    pattern, reading only the docs the trigram query lets through and those changed
    since they were indexed. Returns (files, stats): files in ripgrep's --sort path
    order as (path, result), result a list of (line_number, offset, text, submatches
    or None for context), an int (mode count) or None (mode files). ValueError for a
    bad request or pattern, OSError for a segment that cannot be read or is damaged."""

def grep_merge_segments(out_path: str, inputs_json: str, /) -> str:
    """Write one grep segment holding the live docs of each input ([{"path", "deleted"}])
    in order; returns {"files": N}."""

def grep_verify_segment(path: str, /) -> None:
    """Check every byte of a grep segment against its checksums; OSError names a damaged file."""

def path_filter_compile(globs: list[str] | tuple[str, ...], type_globs: list[str] | tuple[str, ...], /) -> PathFilter:
    """Read ripgrep's -g globs (a list of str, in order, '!' to leave out) and the
    file-name globs of the -t types (a '!' on those of -T types) into a PathFilter,
    whose keeps(path) says whether ripgrep searches that file. Globs are matched
    with git's wildmatch; one ripgrep refuses is a ValueError."""

@final
class PathFilter:
    """ripgrep's -g globs and -t/-T types, read once; made by path_filter_compile()."""

    def keeps(self, path: str, /) -> bool:
        """Whether ripgrep, given these globs and types, searches the file at path
        ('/'-separated, relative to the root)."""
