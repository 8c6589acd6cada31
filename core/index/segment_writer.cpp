#include "segment_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "block_codec.hpp"
#include "segment_format.hpp"

namespace vorpaline_core::index {

namespace {

constexpr std::size_t kWriteBuffer = 1 << 20;

std::uint32_t clamped(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
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

// A term's postings in blocks, each with its skip entry when there are more than one.
class TermEncoder {
 public:
  explicit TermEncoder(std::span<const DocumentRecord> records) : records_(records) {}

  void add(std::uint32_t doc, const FieldFrequencies& frequencies) {
    docs_.push_back(doc);
    frequencies_.push_back(frequencies);
  }

  // Appends the term's bytes to `out` and starts the next term.
  void finish(std::string& out) {
    const std::size_t count = docs_.size();
    const std::size_t blocks = (count + kBlockSize - 1) / kBlockSize;
    blocks_.clear();
    std::vector<SkipEntry> skips;
    for (std::size_t first = 0; first < count; first += kBlockSize) {
      const std::size_t size = std::min<std::size_t>(kBlockSize, count - first);
      const std::span<const std::uint32_t> docs(docs_.data() + first, size);
      const std::uint32_t base = first == 0 ? 0 : docs_[first - 1] + 1;
      encode_block(blocks_, base, docs, {frequencies_.data() + first, size});
      if (blocks > 1) skips.push_back(skip_entry(docs, {frequencies_.data() + first, size}, blocks_.size()));
    }
    if (blocks_.size() > UINT32_MAX) throw std::length_error("a term's postings exceed 4 GiB");
    out.append(reinterpret_cast<const char*>(skips.data()), skips.size() * sizeof(SkipEntry));
    out += blocks_;
    docs_.clear();
    frequencies_.clear();
  }

 private:
  SkipEntry skip_entry(std::span<const std::uint32_t> docs, std::span<const FieldFrequencies> frequencies,
                       std::size_t end) const {
    SkipEntry skip{};
    skip.last_doc = docs.back();
    skip.end = static_cast<std::uint32_t>(end);
    std::uint32_t min_length[kFieldCount] = {UINT32_MAX, UINT32_MAX, UINT32_MAX};
    for (std::size_t i = 0; i < docs.size(); ++i) {
      const DocumentRecord& record = records_[docs[i]];
      skip.roles |= static_cast<std::uint8_t>(record.roles & 0x3F);
      for (std::size_t field = 0; field < kFieldCount; ++field) {
        const std::uint32_t tf = frequencies[i].tf[field];
        if (tf == 0) continue;
        skip.max_tf[field] = static_cast<std::uint8_t>(std::max<std::uint32_t>(skip.max_tf[field], std::min(tf, 255u)));
        min_length[field] = std::min(min_length[field], record.lengths[field]);
      }
    }
    for (std::size_t field = 0; field < kFieldCount; ++field) {
      skip.min_length[field] = min_length[field] == UINT32_MAX ? 0 : length_code(min_length[field]);
    }
    return skip;
  }

  std::span<const DocumentRecord> records_;
  std::vector<std::uint32_t> docs_;
  std::vector<FieldFrequencies> frequencies_;
  std::string blocks_;
};

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
  TermEncoder term_encoder(records_);
  for (std::size_t i = 0; i < sorted.size();) {
    TermEntry entry{sorted[i].term, 0, encoded.size()};
    while (i < sorted.size() && sorted[i].term == entry.term) {
      // Tokens of one document may share an index, in one field or several:
      // one posting, each field's counts added.
      const std::uint32_t doc = sorted[i].doc;
      std::uint64_t tf[kFieldCount] = {};
      for (; i < sorted.size() && sorted[i].term == entry.term && sorted[i].doc == doc; ++i) {
        tf[sorted[i].field] += sorted[i].tf;
      }
      term_encoder.add(doc, FieldFrequencies{{clamped(tf[0]), clamped(tf[1]), clamped(tf[2])}});
      ++entry.df;
    }
    term_encoder.finish(encoded);
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
  header.postings_size = encoded.size();
  header.documents_offset = aligned(header.postings_offset + encoded.size());
  std::vector<std::uint32_t> checks(records_.size());
  for (std::size_t doc = 0; doc < checks.size(); ++doc) {
    const auto stored = [doc](const StoredStrings& strings) {
      return std::string_view(strings.blob).substr(strings.offsets[doc], strings.offsets[doc + 1] - strings.offsets[doc]);
    };
    checks[doc] = stored_check(stored(metadata_), stored(symbols_));
  }
  header.metadata_offset = aligned(header.documents_offset + records_.size() * sizeof(DocumentRecord) +
                                   checks.size() * sizeof(std::uint32_t));
  header.symbols_offset = aligned(header.metadata_offset + strings_size(metadata_));
  file.put_value(header);
  file.put(terms.data(), terms.size() * sizeof(TermEntry));
  file.put(encoded.data(), encoded.size());
  file.align();
  file.put(records_.data(), records_.size() * sizeof(DocumentRecord));
  file.put(checks.data(), checks.size() * sizeof(std::uint32_t));
  file.align();
  put_strings(file, metadata_.offsets, metadata_.blob);
  put_strings(file, symbols_.offsets, symbols_.blob);
  file.finish();
}

}  // namespace vorpaline_core::index
