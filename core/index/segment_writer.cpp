#include "segment_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "segment_format.hpp"

namespace vorpaline_core::index {

namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;

std::uint32_t clamped(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

void put_varint(std::string& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Writes through a buffer, hashing every byte, and removes the file unless
// finished: a segment is on disk whole or not at all.
class SegmentFile {
 public:
  explicit SegmentFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + path);
    XXH3_64bits_reset(&hash_);
    buffer_.reserve(kWriteBuffer);
  }
  SegmentFile(const SegmentFile&) = delete;
  SegmentFile& operator=(const SegmentFile&) = delete;
  ~SegmentFile() {
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(path_.c_str());
    }
  }

  std::uint64_t offset() const { return written_ + buffer_.size(); }

  void put(const void* data, std::size_t size) {
    XXH3_64bits_update(&hash_, data, size);
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const std::size_t room = kWriteBuffer - buffer_.size();
      const std::size_t taken = std::min(room, size);
      buffer_.append(bytes, taken);
      bytes += taken;
      size -= taken;
      if (buffer_.size() == kWriteBuffer) flush();
    }
  }
  template <class T>
  void put_value(const T& value) {
    put(&value, sizeof value);
  }
  void align() {
    static constexpr char kZeros[8] = {};
    put(kZeros, (8 - offset() % 8) % 8);
  }

  // The checksum footer, then the bytes made durable.
  void finish() {
    SegmentFooter footer{};
    footer.checksum = XXH3_64bits_digest(&hash_);
    std::memcpy(footer.magic, kFooterMagic, sizeof footer.magic);
    buffer_.append(reinterpret_cast<const char*>(&footer), sizeof footer);
    flush();
    if (::fsync(fd_) != 0) fail("cannot make durable");
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      ::unlink(path_.c_str());
      throw std::system_error(errno, std::generic_category(), "cannot close " + path_);
    }
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path_);
  }

  void flush() {
    const char* data = buffer_.data();
    std::size_t left = buffer_.size();
    while (left > 0) {
      const ssize_t done = ::write(fd_, data, left);
      if (done < 0) {
        if (errno == EINTR) continue;
        fail("cannot write");
      }
      data += done;
      left -= static_cast<std::size_t>(done);
    }
    written_ += buffer_.size();
    buffer_.clear();
  }

  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  std::uint64_t written_ = 0;
  XXH3_state_t hash_;
};

}  // namespace

std::uint32_t SegmentWriter::add_record(const DocumentRecord& record, std::string_view metadata,
                                        std::string_view symbols) {
  const std::uint32_t doc = doc_count();
  records_.push_back(record);
  for (std::size_t field = 0; field < kFieldCount; ++field) total_lengths_[field] += record.lengths[field];
  metadata_.add(metadata);
  symbols_.add(symbols);
  return doc;
}

std::uint32_t SegmentWriter::add(const FieldTerms& fields, std::string_view metadata, std::string_view symbols,
                                 std::uint32_t roles) {
  const std::uint32_t doc = doc_count();
  DocumentRecord record{{}, roles};
  for (std::uint32_t field = 0; field < kFieldCount; ++field) {
    std::uint64_t length = 0;
    for (const TermCount& term : fields[field]) {
      postings_.push_back({term.index, doc, clamped(term.tf), field});
      length += term.tf;
    }
    record.lengths[field] = clamped(length);
  }
  return add_record(record, metadata, symbols);
}

std::uint32_t SegmentWriter::add(std::span<const TermCount> text, std::string_view metadata) {
  const FieldTerms fields = {text, {}, {}};
  return add(fields, metadata);
}

std::uint32_t SegmentWriter::add_document(const DocumentRecord& record, std::string_view metadata,
                                          std::string_view symbols) {
  return add_record(record, metadata, symbols);
}

void SegmentWriter::add_posting(std::uint32_t term, std::uint32_t doc, const FieldFrequencies& frequencies) {
  for (std::uint32_t field = 0; field < kFieldCount; ++field) {
    if (frequencies.tf[field] != 0) postings_.push_back({term, doc, frequencies.tf[field], field});
  }
}

// Stable by term in two passes of 16 bits: the documents of each term stay
// in the order they were added, ascending.
template <class Posting>
void sort_by_term(std::vector<Posting>& postings) {
  std::vector<Posting> other(postings.size());
  std::vector<std::uint32_t> counts(1 << 16);
  for (const int shift : {0, 16}) {
    std::fill(counts.begin(), counts.end(), 0);
    for (const Posting& posting : postings) ++counts[(posting.term >> shift) & 0xFFFF];
    std::uint32_t start = 0;
    for (std::uint32_t& count : counts) start += std::exchange(count, start);
    for (const Posting& posting : postings) other[counts[(posting.term >> shift) & 0xFFFF]++] = posting;
    postings.swap(other);
  }
}

namespace {

// The posting of one document: its gap, then the text frequency with flags
// for the other fields, then theirs.
void put_posting(std::string& out, std::uint32_t gap, const FieldFrequencies& frequencies) {
  put_varint(out, gap);
  const bool names = frequencies.tf[kNamesField] != 0;
  const bool path = frequencies.tf[kPathField] != 0;
  put_varint(out, clamped(std::uint64_t{frequencies.tf[kTextField]} << 2 | (names ? 1u : 0u) | (path ? 2u : 0u)));
  if (names) put_varint(out, frequencies.tf[kNamesField]);
  if (path) put_varint(out, frequencies.tf[kPathField]);
}

void put_strings(SegmentFile& file, const std::vector<std::uint64_t>& offsets, const std::string& blob) {
  file.put(offsets.data(), offsets.size() * sizeof(std::uint64_t));
  file.put(blob.data(), blob.size());
  file.align();
}

}  // namespace

void SegmentWriter::write(const std::string& path) {
  sort_by_term(postings_);
  const std::vector<Posting>& sorted = postings_;
  std::vector<TermEntry> terms;
  std::string encoded;
  encoded.reserve(sorted.size() * 2);
  for (std::size_t i = 0; i < sorted.size();) {
    TermEntry entry{sorted[i].term, 0, encoded.size()};
    std::uint32_t previous = 0;
    while (i < sorted.size() && sorted[i].term == entry.term) {
      // Tokens of one document may share an index, in one field or several:
      // one posting, each field's counts added.
      const std::uint32_t doc = sorted[i].doc;
      std::uint64_t tf[kFieldCount] = {};
      for (; i < sorted.size() && sorted[i].term == entry.term && sorted[i].doc == doc; ++i) {
        tf[sorted[i].field] += sorted[i].tf;
      }
      put_posting(encoded, doc - previous, FieldFrequencies{{clamped(tf[0]), clamped(tf[1]), clamped(tf[2])}});
      previous = doc;
      ++entry.df;
    }
    terms.push_back(entry);
  }

  SegmentFile file(path);
  SegmentHeader header{};
  std::memcpy(header.magic, kSegmentMagic, sizeof header.magic);
  header.format = kSegmentFormat;
  header.doc_count = doc_count();
  header.term_count = static_cast<std::uint32_t>(terms.size());
  for (std::size_t field = 0; field < kFieldCount; ++field) header.total_lengths[field] = total_lengths_[field];
  const auto aligned = [](std::uint64_t offset) { return (offset + 7) / 8 * 8; };
  const auto strings_size = [](const StoredStrings& strings) {
    return strings.offsets.size() * sizeof(std::uint64_t) + strings.blob.size();
  };
  header.terms_offset = sizeof header;
  header.postings_offset = header.terms_offset + terms.size() * sizeof(TermEntry);
  header.documents_offset = aligned(header.postings_offset + encoded.size());
  header.metadata_offset = header.documents_offset + records_.size() * sizeof(DocumentRecord);
  header.symbols_offset = aligned(header.metadata_offset + strings_size(metadata_));
  file.put_value(header);
  file.put(terms.data(), terms.size() * sizeof(TermEntry));
  file.put(encoded.data(), encoded.size());
  file.align();
  file.put(records_.data(), records_.size() * sizeof(DocumentRecord));
  put_strings(file, metadata_.offsets, metadata_.blob);
  put_strings(file, symbols_.offsets, symbols_.blob);
  file.finish();
}

}  // namespace vorpaline_core::index
