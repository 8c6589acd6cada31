#include "file_builder.hpp"

#include <unistd.h>

#include <simdjson.h>
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "chunk/chunker.hpp"
#include "chunk/definition_chunks.hpp"
#include "chunk_fields.hpp"
#include "document_text.hpp"
#include "file_roles.hpp"
#include "grep/collector.hpp"
#include "embed/embedder.hpp"
#include "scan/file_reading.hpp"
#include "scan/guarded_open.hpp"
#include "scan/json_text.hpp"
#include "segment_writer.hpp"

namespace vorpaline_core::index {

namespace {

constexpr std::size_t kBinaryProbe = 8192;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

struct Batch {
  std::size_t first_file;
  std::size_t end_file;
};

// Consecutive files of about `segment_bytes`, cut where the sizes say: the
// same batches whatever the thread count.
std::vector<Batch> batches_of(const std::vector<FileToIndex>& files, std::uint64_t segment_bytes) {
  std::vector<Batch> batches;
  std::uint64_t filled = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (batches.empty() || filled >= segment_bytes) {
      batches.push_back({i, i});
      filled = 0;
    }
    batches.back().end_file = i + 1;
    filled += files[i].size;
  }
  return batches;
}

// Reads at most `limit` + 1 bytes of an open file: enough to know it is over
// the limit. Returns 0 or the errno of the failure.
int read_capped(int fd, std::uint64_t limit, std::string* data) {
  data->clear();
  char buffer[64 * 1024];
  while (data->size() <= limit) {
    const std::size_t wanted = std::min<std::uint64_t>(sizeof buffer, limit + 1 - data->size());
    const ssize_t got = ::read(fd, buffer, wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    data->append(buffer, static_cast<std::size_t>(got));
  }
  return 0;
}

// The text with every byte that is not part of a UTF-8 character replaced by U+FFFD.
std::string_view valid_utf8(const std::string& data, std::string* repaired) {
  if (simdjson::validate_utf8(data.data(), data.size())) return data;
  repaired->clear();
  const std::string_view bytes = data;
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t length = 1;
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      repaired->push_back(bytes[i]);
    } else if (scan::decode_utf8(bytes.substr(i), &length) >= 0) {
      repaired->append(bytes.substr(i, length));
    } else {
      repaired->append(kReplacement);
      length = 1;
    }
    i += length;
  }
  return *repaired;
}

std::string hex_digest(const std::string& data) {
  const XXH128_hash_t hash = XXH3_128bits(data.data(), data.size());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    const std::uint64_t half = i < 8 ? hash.high64 : hash.low64;
    const unsigned byte = static_cast<unsigned>(half >> (8 * (7 - i % 8))) & 0xFF;
    text[2 * i] = kHex[byte >> 4];
    text[2 * i + 1] = kHex[byte & 15];
  }
  return text;
}

// ["path", first_line, last_line, null] and, when the chunk's bytes are the
// file's own (nothing was replaced in it), their range [begin, end): a
// snippet is then read without scanning the file's lines.
std::string chunk_metadata(const std::string& path, const chunk::Chunk& piece, bool file_offsets) {
  scan::StringSink sink;
  sink.put('[');
  scan::put_string(sink, path);
  sink.put(',');
  scan::put_number(sink, piece.first_line);
  sink.put(',');
  scan::put_number(sink, piece.last_line);
  sink.put(",null");
  if (file_offsets) {
    sink.put(',');
    scan::put_number(sink, static_cast<std::int64_t>(piece.begin));
    sink.put(',');
    scan::put_number(sink, static_cast<std::int64_t>(piece.end));
  }
  sink.put(']');
  return std::move(sink.text);
}

class Builder {
 public:
  Builder(const std::string& root, const std::vector<FileToIndex>& files, const std::string& folder,
          const std::string& prefix, const Profile& profile, const BuildLimits& limits,
          const BuildProgress& progress)
      : root_(root), files_(files), folder_(folder), prefix_(prefix), profile_(profile), limits_(limits),
        progress_(progress), batches_(batches_of(files, limits.segment_bytes)) {
    result_.files.resize(files.size());
    built_.resize(batches_.size());
    if (limits.grep) grep_.emplace(files.size());
  }

  BuildResult run(unsigned threads) {
    threads_ = std::max(1u, threads);
    std::vector<std::thread> helpers;
    const unsigned wanted = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(batches_.size())));
    for (unsigned i = 1; i < wanted; ++i) {
      try {
        helpers.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads, the same segments
      }
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    if (failure_) std::rethrow_exception(failure_);
    if (stopped_.load()) throw BuildStopped();
    // Segments in batch order; a batch without chunks has none.
    std::vector<std::int64_t> number(batches_.size(), -1);
    for (std::size_t b = 0; b < batches_.size(); ++b) {
      if (built_[b].documents == 0) continue;
      number[b] = static_cast<std::int64_t>(result_.segments.size());
      result_.segments.push_back(built_[b]);
    }
    for (std::size_t b = 0; b < batches_.size(); ++b) {
      for (std::size_t f = batches_[b].first_file; f < batches_[b].end_file; ++f) {
        if (result_.files[f].count > 0) result_.files[f].segment = number[b];
      }
    }
    if (grep_) write_grep();
    return std::move(result_);
  }

 private:
  void work() {
    try {
      Embedder embedder(profile_);
      chunk::ChunkScratch scratch;
      std::vector<chunk::Chunk> chunks;
      std::string data;
      std::string repaired;
      FieldCounter counter(embedder);
      ChunkFields fields;
      for (;;) {
        const std::size_t b = next_batch_.fetch_add(1);
        if (b >= batches_.size() || stopped_.load()) return;
        build_batch(b, counter, fields, scratch, chunks, data, repaired);
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      stopped_.store(true);
    }
  }

  void write_grep() {
    const std::string name = prefix_ + ".grep";
    std::vector<std::int64_t> docs;
    const std::uint32_t count = grep_->write(folder_ + "/" + name, docs, threads_);
    for (std::size_t f = 0; f < docs.size(); ++f) result_.files[f].grep = docs[f];
    if (count > 0) result_.grep_segments.push_back({name, count});
  }

  // The bytes to read of each file: enough for the grep index too when it is built.
  std::uint64_t read_limit() const {
    return grep_ ? std::max(limits_.max_file_bytes, limits_.grep_max_file_bytes) : limits_.max_file_bytes;
  }

  void add_to_grep(std::size_t f, const scan::GuardedFile& opened, const std::string& data) {
    if (!grep_ || data.size() > limits_.grep_max_file_bytes) return;
    if (std::memchr(data.data(), '\0', data.size()) != nullptr) return;
    grep_->add(f, files_[f].path, opened.size, opened.mtime_ns, data);
  }

  // A file is done: the progress is told, at most every 50 ms and by one thread at a time.
  void done(const FileToIndex& file) noexcept {
    files_done_.fetch_add(1);
    bytes_done_.fetch_add(file.size);
    if (!progress_) return;
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::int64_t last = last_report_.load();
    if (now - last < kReportEvery || !last_report_.compare_exchange_strong(last, now)) return;
    std::unique_lock lock(report_mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    bool go_on = false;
    try {
      go_on = progress_(files_done_.load(), bytes_done_.load());
    } catch (...) {
    }
    if (!go_on) stopped_.store(true);
  }

  void build_batch(std::size_t b, FieldCounter& counter, ChunkFields& fields, chunk::ChunkScratch& scratch,
                   std::vector<chunk::Chunk>& chunks, std::string& data, std::string& repaired) {
    SegmentWriter writer;
    for (std::size_t f = batches_[b].first_file; f < batches_[b].end_file; ++f) {
      if (stopped_.load()) throw BuildStopped();
      const FileToIndex& file = files_[f];
      FileOutcome& outcome = result_.files[f];
      struct Done {
        Builder& builder;
        const FileToIndex& file;
        ~Done() { builder.done(file); }
      } counted{*this, file};
      // Opened component by component: a folder swapped for a link since the
      // scan cannot lead outside the root, and a FIFO cannot block the build.
      const scan::GuardedOpen opened = root_.open(file.path);
      if (!opened.opened()) {
        outcome.status = opened.reason;
        continue;
      }
      if (const int error = read_capped(opened.file.fd.get(), read_limit(), &data); error != 0) {
        outcome.status = scan::reason_for(error);
        continue;
      }
      add_to_grep(f, opened.file, data);
      outcome.bytes = std::min<std::uint64_t>(data.size(), limits_.max_file_bytes + 1);
      if (data.size() > limits_.max_file_bytes) {
        outcome.status = "too large";
        continue;
      }
      if (std::memchr(data.data(), '\0', std::min(data.size(), kBinaryProbe)) != nullptr) {
        outcome.status = "binary";
        continue;
      }
      outcome.hash = hex_digest(data);
      if (!file.known_hash.empty() && outcome.hash == file.known_hash) {
        outcome.status = "unchanged";  // only touched: the index keeps the chunks it has
        continue;
      }
      outcome.status = "indexed";
      const std::string_view text = valid_utf8(data, &repaired);
      const bool parsed = fields.read_symbols(file.path, text);
      if (parsed) {
        chunk::chunk_with_definitions(text, fields.spans(), chunk::ChunkLimits{}, scratch, chunks);
      } else {
        chunk::chunk_text(text, chunk::ChunkLimits{}, scratch, chunks);
      }
      const std::uint32_t roles = file_roles(file.path, text);
      outcome.first = writer.doc_count();
      for (const chunk::Chunk& piece : chunks) {
        const std::string_view chunk_text = text.substr(piece.begin, piece.end - piece.begin);
        if (parsed) fields.select(piece.first_line, piece.last_line);
        counter.add(writer, {chunk_text, parsed ? std::string_view(fields.names()) : head_line(chunk_text), file.path},
                    chunk_metadata(file.path, piece, text.data() == data.data()),
                    parsed ? std::string_view(fields.symbols_json()) : std::string_view(), roles);
      }
      outcome.count = writer.doc_count() - outcome.first;
    }
    BuiltSegment& built = built_[b];
    built.documents = writer.doc_count();
    if (built.documents == 0) return;
    char number[32];
    std::snprintf(number, sizeof number, "-%04zu", b);
    built.name = prefix_ + number;
    writer.write(folder_ + "/" + built.name);
  }

  const scan::RepositoryRoot root_;
  const std::vector<FileToIndex>& files_;
  const std::string& folder_;
  const std::string& prefix_;
  const Profile& profile_;
  const BuildLimits limits_;
  const BuildProgress& progress_;
  const std::vector<Batch> batches_;
  static constexpr std::int64_t kReportEvery =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::milliseconds(50)).count();
  std::atomic<std::uint64_t> files_done_{0};
  std::atomic<std::uint64_t> bytes_done_{0};
  std::atomic<std::int64_t> last_report_{0};
  std::mutex report_mutex_;
  BuildResult result_;
  std::vector<BuiltSegment> built_;
  std::optional<grep::GrepCollector> grep_;
  unsigned threads_ = 1;
  std::atomic<std::size_t> next_batch_{0};
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::exception_ptr failure_;
};

}  // namespace

BuildResult build_from_files(const std::string& root, const std::vector<FileToIndex>& files,
                             const std::string& folder, const std::string& prefix, const Profile& profile,
                             const BuildLimits& limits, unsigned threads, const BuildProgress& progress) {
  return Builder(root, files, folder, prefix, profile, limits, progress).run(threads);
}

}  // namespace vorpaline_core::index
