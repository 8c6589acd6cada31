#include "snippets/chunk_reading.hpp"

#include "snippets/beneath_open.hpp"

#include <fcntl.h>
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

ChunkReader::ChunkReader(std::string_view root) : root_(root) {
  // Opened as scan::RepositoryRoot opens it: links followed, the user's own choice.
  if (root.find('\0') == std::string_view::npos) root_fd_.reset(::open(root_.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY));
}

std::optional<scan::GuardedFile> ChunkReader::open(std::string_view path) {
  if (!root_fd_.valid() || scan::malformed_path_reason(path) != nullptr) return std::nullopt;
  scan::GuardedFile file;
  switch (open_beneath(root_fd_.get(), path, &file)) {
    case BeneathOpen::opened:
      return file;
    case BeneathOpen::refused:
      return std::nullopt;
    case BeneathOpen::unavailable:
      break;
  }
  if (!walked_root_) walked_root_.emplace(root_);
  scan::GuardedOpen opened = walked_root_->open(path);
  if (!opened.opened()) return std::nullopt;
  return std::move(opened.file);
}

ReadChunk ChunkReader::read(const FileChunk& chunk) {
  ReadChunk result;
  if (chunk.begin.has_value()) {
    if (*chunk.begin < 0 || *chunk.end < *chunk.begin) {
      result.gone = true;
      return result;
    }
    const std::optional<scan::GuardedFile> opened = open(chunk.path);
    std::string bytes;
    if (!opened || !read_range(*opened, static_cast<std::uint64_t>(*chunk.begin), static_cast<std::uint64_t>(*chunk.end), &bytes)) {
      result.gone = true;
      return result;
    }
    if (!stamps_differ(chunk, *opened)) {
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
  if (const std::optional<scan::GuardedFile> opened = open(chunk.path)) {
    file = std::make_unique<WholeFile>();
    if (read_range(*opened, 0, kWholeFileLimit, &file->text)) {
      file->stale = stamps_differ(chunk, *opened);
    } else {
      file.reset();
    }
  }
  return whole_.emplace(std::string(chunk.path), std::move(file)).first->second.get();
}

}  // namespace vorpaline_core::snippets
