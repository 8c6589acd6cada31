#include "snippets/chunk_reading.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vorpaline_core::snippets {

namespace {

bool stamps_differ(const FileChunk& chunk, const scan::GuardedFile& file) {
  return chunk.size.has_value() && (*chunk.size != file.size || chunk.mtime_ns != file.mtime_ns);
}

// Bytes [begin, min(end, size)) of an open file; false when a read fails.
// A file that shrank meanwhile gives what it still holds.
bool read_range(const scan::GuardedFile& file, std::uint64_t begin, std::uint64_t end, std::string* out) {
  const std::uint64_t stop = std::min(end, file.size);
  out->resize(begin < stop ? static_cast<std::size_t>(stop - begin) : 0);
  std::size_t got = 0;
  while (got < out->size()) {
    const ssize_t count =
        ::pread(file.fd.get(), out->data() + got, out->size() - got, static_cast<off_t>(begin + got));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  out->resize(got);
  return true;
}

std::size_t line_count(const FileChunk& chunk) {
  return static_cast<std::size_t>(chunk.last - chunk.first + 1);
}

}  // namespace

ChunkReader::ChunkReader(std::string_view root) {
  if (root.find('\0') == std::string_view::npos) root_.emplace(root);
}

ReadChunk ChunkReader::read(const FileChunk& chunk) {
  ReadChunk result;
  if (!root_ || scan::malformed_path_reason(chunk.path) != nullptr) {
    result.gone = true;
    return result;
  }
  if (chunk.begin.has_value()) {
    if (*chunk.begin < 0 || *chunk.end < *chunk.begin) {
      result.gone = true;
      return result;
    }
    const scan::GuardedOpen opened = root_->open(chunk.path);
    std::string bytes;
    if (!opened.opened() || !read_range(opened.file, static_cast<std::uint64_t>(*chunk.begin), static_cast<std::uint64_t>(*chunk.end), &bytes)) {
      result.gone = true;
      return result;
    }
    if (!stamps_differ(chunk, opened.file)) {
      result.lines = ChunkLines::of_bytes(bytes, 0, line_count(chunk));
      return result;
    }
  }
  const WholeFile* file = whole(chunk);
  if (file == nullptr) {
    result.gone = true;
    return result;
  }
  result.stale = file->stale;
  result.lines = ChunkLines::of_bytes(file->text, static_cast<std::size_t>(chunk.first - 1), line_count(chunk));
  return result;
}

const ChunkReader::WholeFile* ChunkReader::whole(const FileChunk& chunk) {
  const auto known = whole_.find(chunk.path);
  if (known != whole_.end()) return known->second.get();
  std::unique_ptr<WholeFile> file;
  const scan::GuardedOpen opened = root_->open(chunk.path);
  if (opened.opened()) {
    file = std::make_unique<WholeFile>();
    if (read_range(opened.file, 0, kWholeFileLimit, &file->text)) {
      file->stale = stamps_differ(chunk, opened.file);
    } else {
      file.reset();
    }
  }
  return whole_.emplace(std::string(chunk.path), std::move(file)).first->second.get();
}

}  // namespace vorpaline_core::snippets
